#include "zip/zip_operation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "platform/datetime.h"
#include "zip/crc32.h"
#include "zip/stored_directory.h"
#include "zip/wildcard.h"

namespace tessel {
namespace {

constexpr size_t kStagingSize = 262144;
// The lock file of a new archive is its creator's alone; that of an
// existing one may be opened by whoever may read the archive.
constexpr uint32_t kNewLockFileMode = 0600;
constexpr uint32_t kReadWriteBits = 0666;
// Added to the name of a finished archive kept for the user.
constexpr const char* kKeptArchiveSuffix = ".zip";
constexpr int kMaxLevel = 9;
// A file whose size at opening comes this close to 4 GiB gets a ZIP64 field
// in its local header before its data is written: deflate's worst growth (a
// few bytes per stored block, well under 1 MiB at 4 GiB) and 63 MiB or more
// of growth while the file is read stay inside it. An entry that still
// outgrows a header without the field is written again (Zip64Restart).
constexpr uint64_t kZip64LocalMargin = uint64_t{64} << 20;

// A failure of the current source file (a read error in the middle): the
// entry is dropped and the operation goes on. Never escapes the operation.
struct SourceFailure {
  TSkipReason Reason;
  std::string Text;
};

// The data of the current entry has outgrown 4 GiB behind a local header
// without a ZIP64 field: the entry starts again with one. Never escapes the
// operation.
struct Zip64Restart {};

std::string ReasonOf(const Error& error) {
  if (const auto* host = dynamic_cast<const EHostError*>(&error); host && host->ErrorNumber() != 0)
    return std::strerror(host->ErrorNumber());
  return error.what();
}

// The folder a path lies in, as the file system functions want it ("" for
// the current folder).
std::string FolderOf(const std::string& path) { return DirName(path); }

DateTime DosToDateTimeOrNow(uint32_t dos) {
  DateTime value = 0;
  if (!DosToDateTime(dos, value)) return Now();
  return value;
}

uint32_t NowAsDos() { return DosFromCivil(LocalNow()); }

}  // namespace

TZipWriter::Operation::Operation(TZipWriter& writer)
    : w_(writer), saved_sort_mode_(writer.SortMode()), saved_keep_open_(writer.KeepZipOpen) {
  w_.busy_.store(true);
  w_.entries_carried_.store(0, std::memory_order_relaxed);
  w_.KeepZipOpen = true;
  w_.SetSortMode(ByNone);
}

TZipWriter::Operation::~Operation() {
  try {
    source_.reset();
    out_.reset();
  } catch (...) {
  }
  writer_.reset();  // an unfinished temporary archive goes
  buffers_.reset();
  staging_.reset();
  store_block_.reset();
  w_.KeepZipOpen = saved_keep_open_;
  try {
    w_.SetSortMode(saved_sort_mode_);
  } catch (...) {
  }
  try {
    w_.ReleaseArchive();
  } catch (...) {
  }
  w_.lines_.clear();
  w_.files_list_.clear();
  w_.freshen_names_.clear();
  lock_.Release();
  w_.busy_.store(false);
}

int32_t TZipWriter::Operation::Run() {
  LockArchive();
  RemoveStaleTemporaryArchives();
  // The old directory is read first, so that freshen can test the files
  // against it and its comment is at hand for the new end record.
  InspectOldArchive();
  // The expanded lines are all the operation needs: a copy of their paths in
  // FilesList would only double what a large job holds. FilesList is emptied
  // at the end as always.
  w_.ExpandLines();
  OpenOutput();
  if (carry_over_) MergeExistingEntries();
  Announce();
  AddRemainingFiles();
  WriteDirectory();
  Finish();
  return result_;
}

// ---------------------------------------------------------------- stages

void TZipWriter::Operation::LockArchive() {
  // A link to the archive stays; the file it leads to is replaced, and its
  // lock lies beside that file, where every way to the archive meets it.
  target_ = ReplacementTarget(w_.ZipName());
  FileInfo info;
  const uint32_t mode = Stat(target_, info) ? info.Mode & kReadWriteBits : kNewLockFileMode;
  // While it waits, the operation stays as stoppable as while it writes.
  auto poll = [this] {
    if (w_.DoProcessMessages && w_.ProcessInput) w_.ProcessInput();
    if (w_.TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
  };
  const std::string lock_path = target_ + kArchiveLockSuffix;
  auto tell = [&] {
    if (w_.OnWaitForArchive) w_.OnWaitForArchive(w_, lock_path);
  };
  lock_.Acquire(lock_path, mode, tell, poll);
}

void TZipWriter::Operation::RemoveStaleTemporaryArchives() {
  // Temporary archives that nobody holds were left by killed runs.
  RemoveStaleTempFiles(FolderOf(target_), kTempArchivePrefix);
  if (!w_.TempPath.empty() && DirectoryExists(w_.TempPath)) RemoveStaleTempFiles(w_.TempPath, kTempArchivePrefix);
}

void TZipWriter::Operation::InspectOldArchive() {
  FileInfo info;
  if (Stat(target_, info)) {
    if (!info.IsRegular()) throw EHostError("Cannot open " + w_.ZipName() + ": not a regular file", 0);
    old_exists_ = true;
    if (!w_.DiscardExistingEntries) {
      w_.OpenArchive();
      carry_over_ = true;
    }
  } else if (errno != ENOENT && errno != ENOTDIR) {
    ThrowHostError("Cannot examine", w_.ZipName());
  }
}

void TZipWriter::Operation::OpenOutput() {
  const bool elsewhere = old_exists_ && !w_.TempPath.empty() && DirectoryExists(w_.TempPath);
  writer_ = std::make_unique<AtomicFileWriter>(target_, kTempArchivePrefix, elsewhere ? w_.TempPath : std::string());
  out_ = std::make_unique<TLFNFileStream>(writer_->DuplicateHandle().Release(), writer_->TempPath(),
                                          kStreamBufferSize, w_.OutputStreamWrapper);
  end_.Clear();
  if (carry_over_) {
    w_.ZipComment();  // loads the comment text so that it is carried over
    end_.CopyValuesFrom(w_.EndCentral());
    end_.EntriesThisDisk = 0;
    end_.TotalEntries = 0;
    end_.CommentModified = false;
  }
  buffers_ = AllocateDeflateBuffers();
  if (!w_.tables_) w_.tables_ = std::make_unique<DeflateTables>();
  staging_ = std::make_unique<uint8_t[]>(kStagingSize);
  store_block_ = std::make_unique<uint8_t[]>(kStoreBlockSize);
  if (w_.Verify) check_ = std::make_unique<TEntryCheck>();
}

void TZipWriter::Operation::MergeExistingEntries() {
  // Lines by the name they would be stored under, each name's lines chained
  // in list order (the first not yet taken, the last); a line taken by an
  // entry is marked, never erased, so the merge stays linear however long
  // the list is, and small for every line.
  constexpr uint32_t kNoLine = UINT32_MAX;
  struct NameLines {
    uint32_t Next;
    uint32_t Last;
  };
  std::vector<uint32_t> same_name(w_.lines_.size(), kNoLine);
  std::unordered_map<std::string, NameLines> by_name;
  by_name.reserve(w_.lines_.size());
  for (uint32_t j = 0; j < w_.lines_.size(); ++j) {
    std::string name = w_.StoredNameOf(w_.lines_[j].Path);
    if (name.empty()) continue;
    auto [it, added] = by_name.try_emplace(std::move(name), NameLines{j, j});
    if (!added) {
      same_name[it->second.Last] = j;
      it->second.Last = j;
    }
  }

  TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  for (int32_t i = 0; i < count; ++i) {
    const TZipHeaderInfo& old = *entries->Get(i);
    if (old.StatusBytes[1] == 2) continue;  // marked to be dropped on rewrite
    auto found = by_name.find(old.FullName());
    if (found == by_name.end() || found->second.Next == kNoLine) {
      CarryOver(old);
      continue;
    }
    TFileLine& line = w_.lines_[found->second.Next];
    found->second.Next = same_name[found->second.Next];
    if (w_.ZipAction != zaReplace) {
      FileInfo info = line.Info;
      if (line.Path.back() == '/') {
        std::string folder = line.Path.substr(0, line.Path.size() - 1);
        if (folder.empty()) folder = "/";
        Stat(folder, info);
      }
      const uint32_t file_dos =
          RepairDosDateTime(DosFromFileTime(static_cast<time_t>(info.MTimeSeconds)));
      if (DosToDateTimeOrNow(old.LastModDateTime) >= DosToDateTimeOrNow(file_dos)) {
        if (w_.OnUpdate) w_.OnUpdate(w_, udKeep, i);
        line.Deleted = true;
        if (CopyExistingEntry(old)) continue;
        // The kept copy is damaged: the file gives it afresh.
        if (w_.OnUpdate) w_.OnUpdate(w_, udReplace, i);
        if (AddOneFile(line)) ++result_;
        continue;
      }
    }
    if (w_.OnUpdate) w_.OnUpdate(w_, udReplace, i);
    source_failed_ = false;
    if (AddOneFile(line)) {
      ++result_;
    } else if (source_failed_ && names_.count(&old) == 0) {
      // The file could not be read this time (gone, unreadable, a
      // read error): the copy the archive already holds is the last good one
      // and stays, unless it is damaged too.
      CarryOver(old);
    }
    line.Deleted = true;
  }
}

void TZipWriter::Operation::Announce() {
  const auto remaining = std::count_if(w_.lines_.begin(), w_.lines_.end(),
                                       [](const TFileLine& line) { return !line.Deleted; });
  if (remaining == 0 || !w_.OnStartZipInfo) return;
  bool stop_now = false;
  w_.OnStartZipInfo(w_, static_cast<int32_t>(std::min<int64_t>(remaining, INT32_MAX)), w_.TotalBytes(),
                    end_, stop_now);
  if (stop_now) throw EUserCanceled(kMsgUserStoppedZip);
}

void TZipWriter::Operation::AddRemainingFiles() {
  for (TFileLine& line : w_.lines_) {
    if (line.Deleted) continue;
    if (AddOneFile(line)) ++result_;
    line.Deleted = true;
  }
}

bool TZipWriter::Operation::AddOneFile(TFileLine& line) {
  const std::string& path = line.Path;
  const bool folder = path.back() == '/';
  auto entry = std::make_unique<TZipHeaderInfo>();
  entry->VersionMadeBy = kVersionMadeByUnix;
  FileHandle handle;

  if (folder) {
    // Without stored paths a folder entry would have an empty name.
    if (!w_.store_paths_) return false;
    std::string dir = path.substr(0, path.size() - 1);
    if (dir.empty()) dir = "/";
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), R_OK | X_OK) == 0) {
      entry->LastModDateTime = DosFromFileTime(st.st_mtim.tv_sec);
      entry->ExternalAttributes = ExternalAttributesFromStat(st, dir);
    } else {
      entry->LastModDateTime = NowAsDos();
      entry->ExternalAttributes = DirectoryExternalAttributes(dir);
    }
    entry->CompressedSize = 0;
    entry->UncompressedSize = 0;
    entry->CompressionMethod = 0;
    entry->InternalAttributes = 0;
    entry->Crc32 = 0;
  } else {
    OpenedFile opened;
    for (;;) {
      opened = OpenRegularFileForReading(path);
      if (opened.Status == OpenStatus::osOpened) break;
      // FIFOs, sockets, devices and folders hold no data to back up.
      if (opened.Status == OpenStatus::osNotRegular) return false;
      if (opened.ErrorNumber == ENOENT || opened.ErrorNumber == ENOTDIR) {
        Report(srVanished, path, opened.Reason());
        return false;
      }
      bool retry = false;
      if (w_.OnSkippingFile) w_.OnSkippingFile(w_, srOpenFailed, path, -1, retry, opened.Reason());
      if (!retry) {
        source_failed_ = true;
        return false;
      }
    }
    handle = std::move(opened.Handle);
    struct stat st {};
    st.st_mode = static_cast<mode_t>(opened.Info.Mode);
    entry->ExternalAttributes = ExternalAttributesFromStat(st, path);
    entry->LastModDateTime = DosFromFileTime(static_cast<time_t>(opened.Info.MTimeSeconds));
    entry->UncompressedSize = opened.Info.Size;
    file_size_ = opened.Info.Size;
  }

  entry->SetFilename(LastComponent(path));
  entry->SetDirectory(w_.store_paths_ ? StoredDirectory(path, w_.root_dir_, w_.relative_paths_,
                                                        w_.store_volumes_)
                                      : std::string());
  if (entry->FullName().empty()) return false;
  entry->MarkUtf8NameIfNeeded();
  entry->DiskNumberStart = 0;
  entry->RelativeOffset = out_->Position();
  if (!folder) entry->InternalAttributes = 2;

  if (names_.count(entry.get()) != 0) {
    bool retry = false;  // ignored
    if (w_.OnSkippingFile) w_.OnSkippingFile(w_, srDuplicate, path, -1, retry, kReasonDuplicate);
    LeaveOut(line);
    return false;
  }
  bool skip = false;
  if (w_.OnStartZip) w_.OnStartZip(w_, path, *entry, skip);
  if (skip) {
    LeaveOut(line);
    return false;
  }

  const uint64_t position = out_->Position();
  if (folder) {
    entry->SaveLocal(*out_);
    AddWritten(std::move(entry));
    if (w_.OnEndZip) w_.OnEndZip(w_, path, 0, 0, 0);
    return true;
  }
  entry->RelativeOffset = position;
  entry->SetLocalZip64(file_size_ >= kZip64Marker32 - kZip64LocalMargin);
  if (!WriteFileData(*entry, std::move(handle), path)) return false;
  const int64_t uncompressed = static_cast<int64_t>(entry->UncompressedSize);
  const int64_t compressed = static_cast<int64_t>(entry->CompressedSize);
  AddWritten(std::move(entry));
  if (w_.OnEndZip) w_.OnEndZip(w_, path, uncompressed, compressed, static_cast<int64_t>(out_->Position()));
  return true;
}

bool TZipWriter::Operation::WriteFileData(TZipHeaderInfo& entry, FileHandle handle,
                                          const std::string& path) {
  source_ = std::make_unique<TFileHandleStream>(handle.Release(), path);
  if (w_.SourceStreamWrapper) source_ = w_.SourceStreamWrapper(std::move(source_));
  entry_ = &entry;

  const int level = std::min(w_.PackLevel, kMaxLevel);
  const bool store =
      level <= 0 || std::any_of(w_.NoCompressList.begin(), w_.NoCompressList.end(),
                                [&](const std::string& pattern) { return WildcardMatch(pattern, entry.Filename()); });
  bool again = false;
  for (;;) {
    try {
      if (again) {
        try {
          source_->Seek(0, soFromBeginning);
        } catch (const Error& error) {
          throw SourceFailure{srReadError, ReasonOf(error)};
        }
      }
      crc_ = kCrc32Initial;
      read_total_ = 0;
      file_progress_ = 0;
      file_done_ = 0;
      data_start_ = entry.RelativeOffset + entry.LocalSize();
      data_written_ = 0;
      staged_ = 0;
      direct_ = false;
      if (store) {
        for (;;) {
          const uint32_t n = read_source(store_block_.get(), kStoreBlockSize);
          if (n == 0) break;
          write_output(store_block_.get(), n);
        }
        entry.CompressionMethod = 0;
        entry.InternalAttributes = 0;
      } else {
        DeflateHeader header;
        header.GeneralPurposeFlags = entry.GeneralPurposeFlags;
        header.CompressionMethod = 8;
        header.InternalAttributes = 2;
        deflate_entry(level, header, *buffers_, *w_.tables_, *this);
        entry.GeneralPurposeFlags = header.GeneralPurposeFlags;
        entry.CompressionMethod = header.CompressionMethod;
        entry.InternalAttributes = header.InternalAttributes;
      }
      break;
    } catch (const Zip64Restart&) {
      // Its header cannot grow where it stands: back to the header, which is
      // written again with the field, and to the start of the file.
      DiscardEntryData(entry, store);
      entry.SetLocalZip64(true);
      again = true;
    } catch (const SourceFailure& failure) {
      // The entry goes, the archive stays sound: whatever of it reached the
      // output is overwritten by what follows and cut off at the end.
      DiscardEntryData(entry, store);
      source_.reset();
      entry_ = nullptr;
      Report(failure.Reason, path, failure.Text);
      return false;
    }
  }
  source_.reset();
  entry_ = nullptr;

  // Sizes and CRC are those of the bytes actually read, so a file that grew
  // or shrank while it was read still gives a sound entry.
  entry.Crc32 = ~crc_;
  entry.UncompressedSize = read_total_;
  entry.CompressedSize = data_written_;
  if (direct_) {
    const uint64_t end = out_->Position();
    SeekOutput(entry.RelativeOffset);
    entry.SaveLocal(*out_);
    SeekOutput(end);
    direct_ = false;
  } else {
    // A header written after its data needs no room to grow: a ZIP64 field
    // given for the size at opening goes again (the data is all staged, far
    // below 4 GiB).
    entry.SetLocalZip64(false);
    entry.SaveLocal(*out_);
    out_->WriteBuffer(staging_.get(), staged_);
    staged_ = 0;
  }
  return true;
}

void TZipWriter::Operation::DiscardEntryData(const TZipHeaderInfo& entry, bool stored) {
  if (direct_) SeekOutput(entry.RelativeOffset);
  staged_ = 0;
  direct_ = false;
  // Bytes read for the entry no longer count as done.
  w_.bytes_done_.fetch_sub(static_cast<int64_t>(file_done_), std::memory_order_relaxed);
  file_done_ = 0;
  // An interrupted compression leaves its buffers mid-entry; start afresh.
  if (!stored) buffers_ = AllocateDeflateBuffers();
}

bool TZipWriter::Operation::CopyExistingEntry(const TZipHeaderInfo& old) {
  auto copy = std::make_unique<TZipHeaderInfo>(old);
  const std::span<uint8_t> scratch(staging_.get(), kStagingSize);
  if (!check_) {
    CopyEntryData(*w_.ArchiveStream(), *out_, *copy, scratch);
  } else {
    const uint64_t start = out_->Position();
    bool damaged = false;
    check_->Begin(old);
    try {
      CopyEntryData(*w_.ArchiveStream(), *out_, *copy, scratch, check_.get());
      damaged = !check_->Finish().empty();
    } catch (const EBadZipFile&) {
      damaged = true;  // its local header or data lies outside the old archive
    }
    if (damaged) {
      // Whatever of it was written is overwritten by what follows.
      SeekOutput(start);
      return false;
    }
  }
  AddWritten(std::move(copy));
  w_.entries_carried_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void TZipWriter::Operation::CarryOver(const TZipHeaderInfo& old) {
  if (CopyExistingEntry(old)) return;
  bool retry = false;  // there is nothing to retry
  if (w_.OnSkippingFile) w_.OnSkippingFile(w_, srDamaged, old.FullName(), -1, retry, kReasonDamagedInOldArchive);
}

void TZipWriter::Operation::WriteDirectory() {
  end_.CentralDirOffset = out_->Position();
  for (const auto& entry : written_) entry->SaveCentral(*out_);
  end_.CentralDirSize = out_->Position() - end_.CentralDirOffset;
  end_.ThisDisk = 0;
  end_.CentralStartDisk = 0;
  end_.SaveToStream(*out_);
}

void TZipWriter::Operation::Finish() {
  const uint64_t end = out_->Position();
  if (!out_->Flush()) ThrowShortWrite(*out_);
  // A dropped entry may have left bytes behind the end record.
  if (!out_->Truncate(end)) ThrowHostError("Cannot truncate", writer_->TempPath());
  if (!out_->Close()) ThrowShortWrite(*out_);
  out_.reset();
  buffers_.reset();

  // A stop that came while the directory was written or the archive flushed
  // ends the operation here, like one during the files; the check that
  // follows hears one as it reads. The old archive is kept either way.
  if (w_.TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
  if (check_) VerifyOutput();
  w_.CloseArchive();
  InstallArchive();

  struct stat st {};
  if (::stat(target_.c_str(), &st) != 0) ThrowHostError("Cannot examine", target_);
  auto directory = std::make_unique<TSortedZip>(dupRefuse, ByNone, true);
  directory->SetCapacity(static_cast<int32_t>(written_.size()));
  for (auto& entry : written_) directory->Add(std::move(entry));
  written_.clear();
  w_.AdoptDirectory(std::move(directory), end_, TArchiveStamp::FromStat(st));
}

void TZipWriter::Operation::VerifyOutput() {
  if (w_.OnVerifyArchive) w_.OnVerifyArchive(w_, 0);
  // A stop is heard here as while the data was written.
  auto progress = [this](uint64_t done, uint64_t total) {
    if (w_.DoProcessMessages && w_.ProcessInput) w_.ProcessInput();
    if (w_.TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
    if (w_.OnVerifyArchive)
      w_.OnVerifyArchive(w_, PercentOf(static_cast<int64_t>(done), static_cast<int64_t>(total)));
  };
  VerifyArchive(writer_->TempPath(), w_.ZipName(), &written_, *check_, progress);
}

void TZipWriter::Operation::InstallArchive() {
  try {
    writer_->Commit();
  } catch (const EHostError& error) {
    // A finished archive that could not be copied from another file system
    // stays where it was written for the user to copy, when there is a user
    // to tell where it is; else it would only be a stray temporary file. Its
    // name then changes, so that no run takes it for a stale temporary archive.
    if (writer_->CrossedFileSystems() && w_.ShowMessage) {
      writer_->KeepTemporary(kKeptArchiveSuffix);
      w_.ShowMessage(kMsgCopyErrorCaption,
                     std::string(kMsgCannotCopyFrom) + writer_->TempPath() + kMsgCopyArrow + target_);
    }
    if (IsOutOfSpaceError(error.ErrorNumber())) throw ENotEnoughRoom();
    throw;
  }
}

// ----------------------------------------------------------- read / write

uint32_t TZipWriter::Operation::read_source(uint8_t* dst, uint32_t count) {
  if (!source_) return 0;
  size_t n = 0;
  try {
    n = source_->Read(dst, count);
  } catch (const Error& error) {
    throw SourceFailure{srReadError, ReasonOf(error)};
  }
  if (n == 0) return 0;
  if (!entry_->LocalZip64 && read_total_ + n >= kZip64Marker32) throw Zip64Restart{};
  read_total_ += n;
  crc_ = Crc32Update(crc_, dst, n);
  if (w_.OnFilePercentDone) {
    file_progress_ += n;
    w_.OnFilePercentDone(w_, PercentOf(static_cast<int64_t>(file_progress_), static_cast<int64_t>(file_size_)));
  }
  if (w_.OnTotalPercentDone) {
    file_done_ += n;
    w_.bytes_done_.fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
    w_.OnTotalPercentDone(w_, PercentOf(w_.BytesDone(), w_.TotalBytes()));
  }
  return static_cast<uint32_t>(n);
}

void TZipWriter::Operation::write_output(const uint8_t* src, uint32_t count) {
  if (!entry_->LocalZip64 && data_written_ + count >= kZip64Marker32) throw Zip64Restart{};
  if (!direct_ && staged_ + count > kStagingSize) SwitchToDirectOutput();
  if (direct_) {
    out_->WriteBuffer(src, count);
  } else {
    std::memcpy(staging_.get() + staged_, src, count);
    staged_ += count;
  }
  data_written_ += count;
  if (w_.DoProcessMessages && w_.ProcessInput) w_.ProcessInput();
  // A stop is honoured even where no input is processed (a worker thread).
  if (w_.TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
}

void TZipWriter::Operation::SwitchToDirectOutput() {
  // A provisional header now, the final one in its place at the end.
  entry_->SaveLocal(*out_);
  out_->WriteBuffer(staging_.get(), staged_);
  staged_ = 0;
  direct_ = true;
}

// --------------------------------------------------------------- helpers

size_t TZipWriter::Operation::NameHash::operator()(const TZipHeaderInfo* entry) const {
  // FNV-1a over Directory then Filename: the same as over the whole name,
  // whose split at its last "/" is the same for equal names.
  uint64_t hash = 14695981039346656037ULL;
  for (const std::string* part : {&entry->Directory(), &entry->Filename()})
    for (const char c : *part) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
  return static_cast<size_t>(hash);
}

void TZipWriter::Operation::AddWritten(std::unique_ptr<TZipHeaderInfo> entry) {
  names_.insert(entry.get());
  written_.push_back(std::move(entry));
  ++end_.EntriesThisDisk;
  ++end_.TotalEntries;
}

void TZipWriter::Operation::SeekOutput(uint64_t position) {
  // Flushed first, so that a full disk is reported as such and not as a
  // failed seek.
  if (!out_->Flush()) ThrowShortWrite(*out_);
  out_->Seek(static_cast<int64_t>(position), soFromBeginning);
}

void TZipWriter::Operation::Report(TSkipReason reason, const std::string& path,
                                   const std::string& text) {
  source_failed_ = true;
  bool retry = false;
  if (w_.OnSkippingFile) w_.OnSkippingFile(w_, reason, path, -1, retry, text);
}

void TZipWriter::Operation::LeaveOut(const TFileLine& line) { w_.AddTotal(-line.CountedSize); }

}  // namespace tessel
