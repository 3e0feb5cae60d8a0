#include "zip/zip_reader.h"

#include <sys/stat.h>

#include "platform/paths.h"
#include "platform/text.h"

namespace tessel {
namespace {

constexpr uint8_t kLocalSignatureBytes[4] = {0x50, 0x4B, 0x03, 0x04};

// The extension of the last path part, with its dot ("" when there is none).
std::string_view ExtensionOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < base) return {};
  return path.substr(dot);
}

}  // namespace

TArchiveStamp TArchiveStamp::FromStat(const struct stat& st) {
  TArchiveStamp stamp;
  stamp.Valid = true;
  stamp.MTimeSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.MTimeNanoseconds = static_cast<int64_t>(st.st_mtim.tv_nsec);
  stamp.Size = static_cast<uint64_t>(st.st_size);
  stamp.Device = static_cast<uint64_t>(st.st_dev);
  stamp.Inode = static_cast<uint64_t>(st.st_ino);
  stamp.Time = EncodeDateTime(LocalTimeOf(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
  return stamp;
}

TZipReader::TZipReader() = default;
TZipReader::~TZipReader() = default;

std::string TZipReader::ZipConfigFileName(const std::string& archive) {
  const std::string_view extension = ExtensionOf(archive);
  return archive.substr(0, archive.size() - extension.size()) + kZipConfigExtension;
}

void TZipReader::SetZipName(const std::string& name) {
  if (name == zip_name_) return;
  std::string chosen = name;
  if (!name.empty() && name.back() == '?') {
    const std::string_view stem(name.data(), name.size() - 1);
    const size_t slash = stem.rfind('/');
    std::string folder(slash == std::string_view::npos ? std::string_view() : stem.substr(0, slash + 1));
    if (folder.empty() || !FolderExists(folder)) folder.assign(1, '/');
    chosen.clear();
    if (!ChooseArchive || !ChooseArchive(folder, chosen)) throw EUserCanceled(kMsgUserCanceledName);
    if (chosen == zip_name_) return;
  }
  zip_name_ = std::move(chosen);
  CloseArchive();
  DropDirectory();
  repaired_ = false;
}

void TZipReader::SetSortMode(TZipSortMode mode) {
  sort_mode_ = mode;
  RebuildSortedView();
}

void TZipReader::RebuildSortedView() {
  sorted_ = nullptr;
  sorted_view_.reset();
  if (!entries_ || sort_mode_ == ByNone) return;
  sorted_view_ = std::make_unique<TSortedZip>(dupAccept, sort_mode_, false);
  sorted_view_->BuildFrom(*entries_);
  sorted_ = sorted_view_.get();
}

void TZipReader::DropDirectory() {
  sorted_ = nullptr;
  sorted_view_.reset();
  entries_.reset();
  end_central_.Clear();
  stamp_ = TArchiveStamp();
  lost_.clear();
  current_disk_ = 0;
  number_of_disks_ = 1;
}

void TZipReader::CloseArchive() { archive_.reset(); }

void TZipReader::ReleaseArchive() {
  if (!KeepZipOpen) CloseArchive();
}

void TZipReader::CloseAndForget() {
  CloseArchive();
  DropDirectory();
  repaired_ = false;
}

void TZipReader::CloseOnFailure() {
  CloseAndForget();
  zip_name_.clear();
}

void TZipReader::OpenArchive() {
  if (!archive_) {
    archive_ = std::make_unique<TLFNFileStream>(zip_name_, TFileOpenMode::fmOpenRead,
                                                TS_BufferStream::kDefaultBufferSize,
                                                ArchiveStreamWrapper);
    if (entries_ && stamp_ == TArchiveStamp::FromStat(archive_->FileStat())) return;
  } else if (entries_) {
    return;
  }
  try {
    LoadDirectory();
  } catch (...) {
    archive_.reset();
    throw;
  }
}

void TZipReader::ReadDirectory() {
  OpenArchive();
  ReleaseArchive();
}

void TZipReader::AdoptDirectory(std::unique_ptr<TSortedZip> entries, const TEndCentral& end,
                                const TArchiveStamp& stamp) {
  // The open stream (if any) shows the file that was replaced.
  CloseArchive();
  sorted_ = nullptr;
  sorted_view_.reset();
  entries_ = std::move(entries);
  lost_.clear();
  end_central_.Clear();
  end_central_.CopyValuesFrom(end);
  end_central_.CommentModified = false;
  stamp_ = stamp;
  repaired_ = false;
  current_disk_ = end.ThisDisk;
  number_of_disks_ = end.ThisDisk + 1;
  RebuildSortedView();
}

void TZipReader::ProcessMessagesAndCheckCancel() {
  if (!DoProcessMessages) return;
  if (ProcessInput) ProcessInput();
  if (TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
}

void TZipReader::LoadDirectory() {
  TLFNFileStream& archive = *archive_;
  stamp_ = TArchiveStamp::FromStat(archive.CurrentStat());
  sorted_ = nullptr;
  sorted_view_.reset();
  entries_.reset();
  lost_.clear();
  end_central_.Clear();
  // Every read starts afresh: a repair of an earlier read says nothing about
  // the file as it is now.
  repaired_ = false;

  std::unique_ptr<TLFNFileStream> config;
  TS_BufferStream* directory = &archive;
  bool found = end_central_.LocateAndRead(archive);
  if (!found) {
    const std::string side_file = ZipConfigFileName(zip_name_);
    if (FileExists(side_file)) {
      try {
        config = std::make_unique<TLFNFileStream>(side_file, TFileOpenMode::fmOpenRead);
      } catch (const EHostError&) {
        config.reset();
      }
    }
    if (config && end_central_.LocateAndRead(*config)) {
      found = true;
      directory = config.get();
    } else {
      config.reset();
      end_central_.Clear();
    }
  }

  // The ZIP64 records of an archive sit in front of its end record; a side
  // file holds none.
  if (found && !config && !end_central_.ReadZip64Records(archive)) {
    CloseOnFailure();
    throw EBadZipFile();
  }
  if (found) {
    current_disk_ = config ? 0 : end_central_.ThisDisk;
    if (end_central_.TotalEntries != 0)
      directory->Seek(config ? 0 : static_cast<int64_t>(end_central_.CentralDirOffset), soFromBeginning);
  } else {
    TIncompleteZipMode mode = IncompleteZipMode;
    if (OnInCompleteZip) OnInCompleteZip(*this, mode);
    switch (mode) {
      case izAssumeNotAZip:
        throw ENotAZipFile();
      case izAssumeBad:
        if (!RebuildFromLocalHeaders(archive)) {
          CloseOnFailure();
          throw EBadZipFile();
        }
        break;
      case izAssumeMulti:
      default:
        throw EIncompleteZip();
    }
  }

  if (!entries_) entries_ = std::make_unique<TSortedZip>(dupRefuse, ByNone, true);
  ReadCentralHeaders(*directory, config != nullptr);

  if (end_central_.HasComment() && (config || end_central_.ThisDisk != 0))
    end_central_.FetchComment(config ? static_cast<TStream&>(*config) : archive);
  number_of_disks_ = end_central_.ThisDisk + 1;
  current_disk_ = config ? 0 : end_central_.ThisDisk;
  RebuildSortedView();
}

void TZipReader::ReadCentralHeaders(TS_BufferStream& first, bool from_config_file) {
  TS_BufferStream* stream = &first;
  bool load_comments = from_config_file;
  // A failed read is mended once by a rebuild from the local headers, after
  // which the headers are read again from where the rebuild stopped.
  auto rebuild_or_fail = [&]() {
    if (repaired_ || end_central_.ThisDisk != 0 || !RebuildFromLocalHeaders(*archive_)) {
      CloseOnFailure();
      throw EBadZipFile();
    }
    stream = archive_.get();
    load_comments = false;
    lost_.clear();
  };
  // In a mended directory, the entries that a record has already named.
  std::vector<bool> named;
  uint64_t i = 0;
  while (i < end_central_.TotalEntries) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!entry->ReadCentral(*stream, load_comments)) {
      if (repaired_) break;
      rebuild_or_fail();
      i = 0;
      continue;
    }
    if (repaired_) {
      const int32_t index = entries_->FindPosition(entry->DiskNumberStart, entry->RelativeOffset);
      named.resize(static_cast<size_t>(entries_->ItemCount()));
      if (index >= 0 && named[static_cast<size_t>(index)]) {
        lost_.push_back({entry->FullName(), kReasonSharedLocalHeader});
      } else if (index >= 0) {
        named[static_cast<size_t>(index)] = true;
        TZipHeaderInfo* held = entries_->Get(index);
        const uint64_t offset = held->RelativeOffset;
        held->CopyValuesFrom(*entry);
        held->RelativeOffset = offset;
      } else {
        lost_.push_back({entry->FullName(), kReasonNoLocalHeader});
      }
    } else {
      try {
        // One local header, one entry: a second record for it is refused,
        // and named, so that it is never lost without a word.
        std::string name = entry->FullName();
        if (entries_->Add(std::move(entry)) < 0) lost_.push_back({std::move(name), kReasonSharedLocalHeader});
      } catch (const EListError&) {
        rebuild_or_fail();
        i = 0;
        continue;
      }
    }
    ++i;
  }
}

bool TZipReader::RebuildFromLocalHeaders(TS_BufferStream& stream) {
  if (repaired_) return false;
  repaired_ = true;
  sorted_ = nullptr;
  sorted_view_.reset();
  entries_.reset();

  const std::string_view extension = ExtensionOf(zip_name_);
  const uint64_t start = AsciiUpper(extension) == ".EXE" ? kSfxSearchStart : 0;
  const uint64_t file_size = stream.Size();
  if (start >= file_size) return false;
  stream.Seek(static_cast<int64_t>(start), soFromBeginning);

  // Byte-by-byte search for a local header whose "version needed" is sane.
  int matched = 0;
  uint32_t plain_bytes = 0;
  for (;;) {
    const int c = stream.ReadByte();
    if (c < 0) return false;
    if (c == kLocalSignatureBytes[matched]) {
      if (++matched < 4) continue;
      const int low = stream.ReadByte();
      const int high = stream.ReadByte();
      if (low < 0 || high < 0) return false;
      if (high < 10) break;
      matched = 0;
      continue;
    }
    if (matched > 0) {
      matched = 0;
      if (c == kLocalSignatureBytes[0]) {
        matched = 1;
        continue;
      }
    }
    if (++plain_bytes == kScanCheckInterval) {
      plain_bytes = 0;
      ProcessMessagesAndCheckCancel();
    }
  }
  stream.Seek(-6, soFromCurrent);

  entries_ = std::make_unique<TSortedZip>(dupRefuse, ByNone, true);
  for (;;) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!entry->ReadLocal(stream)) break;
    // Such a header holds no sizes: the length of its data is unknown, so the
    // chain cannot be followed without guessing.
    if (entry->HasDataDescriptor()) return false;
    const uint64_t data = stream.Position() + entry->LocalExtraLength;
    if (data > file_size || entry->CompressedSize > file_size - data) {
      // Data cut short by the end of the file: the entry is not kept.
      stream.Seek(static_cast<int64_t>(entry->RelativeOffset), soFromBeginning);
      break;
    }
    const uint64_t next = data + entry->CompressedSize;
    try {
      entries_->Add(std::move(entry));
    } catch (const EListError&) {
      return false;
    }
    stream.Seek(static_cast<int64_t>(next), soFromBeginning);
  }
  end_central_.ThisDisk = 0;
  end_central_.CentralDirOffset = stream.Position();
  end_central_.TotalEntries = static_cast<uint64_t>(entries_->ItemCount());
  current_disk_ = 0;
  number_of_disks_ = 1;
  return true;
}

int32_t TZipReader::Count() const {
  const TSortedZip* list = SortedEntries();
  return list != nullptr ? list->ItemCount() : 0;
}

TZipHeaderInfo& TZipReader::Entry(int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(FormatListMessage(kMsgIndexOutOfRange, index));
  return *SortedEntries()->Get(index);
}

DateTime TZipReader::EntryDateTime(int32_t index) const {
  DateTime value = 0;
  if (!DosToDateTime(Entry(index).LastModDateTime, value)) return Now();
  return value;
}

std::string TZipReader::EntryComment(int32_t index) {
  TZipHeaderInfo& entry = Entry(index);
  if (entry.CommentPending()) {
    const bool was_open = archive_ != nullptr;
    if (!was_open)
      archive_ = std::make_unique<TLFNFileStream>(zip_name_, TFileOpenMode::fmOpenRead,
                                                  TS_BufferStream::kDefaultBufferSize,
                                                  ArchiveStreamWrapper);
    entry.FetchComment(*archive_);
    if (!was_open) ReleaseArchive();
  }
  return entry.FileComment().value_or(std::string());
}

std::string TZipReader::ZipComment() {
  if (end_central_.HasComment() && !end_central_.ZipComment) {
    const bool was_open = archive_ != nullptr;
    if (!was_open)
      archive_ = std::make_unique<TLFNFileStream>(zip_name_, TFileOpenMode::fmOpenRead,
                                                  TS_BufferStream::kDefaultBufferSize,
                                                  ArchiveStreamWrapper);
    end_central_.FetchComment(*archive_);
    if (!was_open) ReleaseArchive();
  }
  return end_central_.ZipComment.value_or(std::string());
}

}  // namespace tessel
