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
constexpr uint32_t kNoLine = UINT32_MAX;
// The longest link target read; longer ones are not made by any file system.
constexpr size_t kMaxLinkTarget = 65535;

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

// The current source is not a regular file after all (a FIFO or device put
// in its place since it was listed): it is left out without a word, as such
// files are. Never escapes the operation.
struct NotARegularFile {};

// Whether a file changed while it was read, from what its listing said, what
// fstat says now, the bytes read and when it was opened: its size now is
// not what was read, or it changed since it was listed and that change came
// after it was opened (one made before was read whole).
bool ChangedWhileRead(const FileInfo& listed, const FileInfo& now, uint64_t bytes_read, FileTime opened) {
  if (now.Size != bytes_read) return true;
  const bool differs = now.Size != listed.Size || now.MTime() != listed.MTime() ||
                       now.CTime() != listed.CTime() || now.Inode != listed.Inode || now.Device != listed.Device;
  return differs && (now.MTime() >= opened || now.CTime() >= opened);
}

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
  w_.left_as_it_was_ = false;
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
  if (carry_over_) {
    MatchEntriesToLines();
    // Nothing to change: the archive stays as it is, untouched (a stop that
    // came meanwhile still ends the run as stopped).
    if (WouldWriteTheSameArchive()) {
      w_.CheckForStop();
      w_.left_as_it_was_ = true;
      return result_;
    }
  }
  OpenOutput();
  if (carry_over_) MergeExistingEntries();
  Announce();
  AddRemainingFiles();
  ReportLostEntries();
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
  auto poll = [this] { w_.CheckForStop(); };
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
}

void TZipWriter::Operation::MatchEntriesToLines() {
  // Lines by the name they would be stored under, each name's lines chained
  // in list order (the first not yet met, the last); an entry takes the
  // first line of its name that no earlier entry took, so the matching
  // stays linear however long the list is.
  struct NameLines {
    uint32_t Next;
    uint32_t Last;
    bool InArchive;
  };
  const auto& lines = w_.lines_;
  std::vector<uint32_t> same_name(lines.size(), kNoLine);
  std::unordered_map<std::string, NameLines> by_name;
  by_name.reserve(lines.size());
  for (uint32_t j = 0; j < lines.size(); ++j) {
    std::string name = w_.StoredNameOf(lines[j].Path);
    if (name.empty()) continue;
    auto [it, added] = by_name.try_emplace(std::move(name), NameLines{j, j, false});
    if (!added) {
      same_name[it->second.Last] = j;
      it->second.Last = j;
    }
  }

  named_in_archive_.assign(lines.size(), false);
  TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  matches_.assign(static_cast<size_t>(count), kNoLine);
  for (int32_t i = 0; i < count; ++i) {
    const TZipHeaderInfo& old = *entries->Get(i);
    if (old.StatusBytes[1] == 2) continue;  // marked to be dropped on rewrite
    auto found = by_name.find(old.FullName());
    if (found == by_name.end()) continue;
    NameLines& chain = found->second;
    if (!chain.InArchive) {
      chain.InArchive = true;
      for (uint32_t j = chain.Next; j != kNoLine; j = same_name[j]) named_in_archive_[j] = true;
    }
    if (chain.Next == kNoLine) continue;
    matches_[static_cast<size_t>(i)] = chain.Next;
    chain.Next = same_name[chain.Next];
  }
}

bool TZipWriter::Operation::EntryStays(const TZipHeaderInfo& old, const TFileLine& line) const {
  if (w_.ZipAction == zaReplace) return false;
  FileInfo info = line.Info;
  if (line.Path.back() == '/') {
    std::string folder = line.Path.substr(0, line.Path.size() - 1);
    if (folder.empty()) folder = "/";
    Stat(folder, info);
  }
  const uint32_t file_dos = RepairDosDateTime(DosFromFileTime(static_cast<time_t>(info.MTimeSeconds)));
  return DosToDateTimeOrNow(old.LastModDateTime) >= DosToDateTimeOrNow(file_dos);
}

bool TZipWriter::Operation::LaidOutAsARewrite() const {
  // A rewrite starts at offset 0, writes central headers of its own (no
  // extra field but ZIP64's, only where needed), ZIP64 end records only
  // where needed, and nothing after the end record. An archive laid out
  // otherwise (a stub in front, foreign extra fields, bytes at the end) would
  // come out different, and is written.
  const TEndCentral& end = w_.EndCentral();
  if (w_.RepairFlag() || !w_.LostEntries().empty() || end.ThisDisk != 0) return false;
  const TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  if (count == 0 ? end.CentralDirOffset != 0 : entries->Get(0)->RelativeOffset != 0) return false;
  uint64_t directory = 0;
  for (int32_t i = 0; i < count; ++i) directory += entries->Get(i)->CentralSizeToWrite();
  if (directory != end.CentralDirSize) return false;
  TEndCentral rewritten = end;
  rewritten.TotalEntries = rewritten.EntriesThisDisk = static_cast<uint64_t>(count);
  const uint64_t records = (rewritten.NeedsZip64() ? kZip64EndCentralSize + kZip64LocatorSize : 0) +
                           end.EndRecordSize();
  return w_.ArchiveStamp().Size == end.CentralDirOffset + end.CentralDirSize + records;
}

bool TZipWriter::Operation::WouldWriteTheSameArchive() {
  if (w_.ZipAction == zaReplace || !LaidOutAsARewrite()) return false;
  auto& lines = w_.lines_;
  const TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  std::vector<bool> met(lines.size(), false);
  for (int32_t i = 0; i < count; ++i) {
    const TZipHeaderInfo& old = *entries->Get(i);
    if (old.StatusBytes[1] == 2) return false;
    const uint32_t j = matches_[static_cast<size_t>(i)];
    if (j == kNoLine) continue;
    if (!EntryStays(old, lines[j])) return false;
    met[j] = true;
  }
  // The lines that meet no entry: each must be one that is not written.
  for (uint32_t j = 0; j < lines.size(); ++j) {
    TFileLine& line = lines[j];
    if (met[j] || line.Deleted) continue;
    if (line.Path.back() == '/' && !w_.store_paths_) continue;
    const std::unique_ptr<TZipHeaderInfo> entry = NewEntry(line);
    if (!entry) continue;
    if (named_in_archive_[j]) {
      // Its name is an entry that stays: a duplicate.
      bool retry = false;  // ignored
      if (w_.OnSkippingFile) w_.OnSkippingFile(w_, srDuplicate, line.Path, -1, retry, kReasonDuplicate);
    } else {
      bool skip = false;
      if (w_.OnStartZip) w_.OnStartZip(w_, line.Path, *entry, skip);
      if (!skip) {
        line.Accepted = true;
        return false;
      }
    }
    LeaveOut(line);
    line.Deleted = true;
  }
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t j = matches_[static_cast<size_t>(i)];
    if (j == kNoLine) continue;
    if (w_.OnUpdate) w_.OnUpdate(w_, udKeep, i);
    lines[j].Deleted = true;
  }
  return true;
}

void TZipWriter::Operation::MergeExistingEntries() {
  TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  for (int32_t i = 0; i < count; ++i) {
    w_.CheckForStop();
    const TZipHeaderInfo& old = *entries->Get(i);
    if (old.StatusBytes[1] == 2) continue;  // marked to be dropped on rewrite
    const uint32_t j = matches_[static_cast<size_t>(i)];
    if (j == kNoLine) {
      CopyExistingEntry(old);
      continue;
    }
    TFileLine& line = w_.lines_[j];
    if (EntryStays(old, line)) {
      if (w_.OnUpdate) w_.OnUpdate(w_, udKeep, i);
      CopyExistingEntry(old);
      line.Deleted = true;
      continue;
    }
    if (w_.OnUpdate) w_.OnUpdate(w_, udReplace, i);
    source_failed_ = false;
    if (AddOneFile(line)) {
      ++result_;
    } else if (source_failed_ && names_.count(&old) == 0) {
      // The file could not be read this time (gone, unreadable, a
      // read error): the copy the archive already holds is the last good one
      // and stays.
      CopyExistingEntry(old);
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

std::unique_ptr<TZipHeaderInfo> TZipWriter::Operation::NewEntry(const TFileLine& line) const {
  const std::string& path = line.Path;
  auto entry = std::make_unique<TZipHeaderInfo>();
  entry->VersionMadeBy = kVersionMadeByUnix;
  if (path.back() == '/') {
    std::string dir = path.substr(0, path.size() - 1);
    if (dir.empty()) dir = "/";
    struct stat st {};
    if (sys::Stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), R_OK | X_OK) == 0) {
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
    // The listing's facts; a file that is read takes its time and mode
    // again once it has been read (CheckFileAfterReading).
    struct stat st {};
    st.st_mode = static_cast<mode_t>(line.Info.Mode);
    entry->ExternalAttributes = ExternalAttributesFromStat(st, path);
    entry->LastModDateTime = DosFromFileTime(static_cast<time_t>(line.Info.MTimeSeconds));
    entry->UncompressedSize = line.Info.IsRegular() ? line.Info.Size : 0;
    entry->InternalAttributes = 2;
  }
  entry->SetFilename(LastComponent(path));
  entry->SetDirectory(w_.store_paths_ ? StoredDirectory(path, w_.root_dir_, w_.relative_paths_,
                                                        w_.store_volumes_)
                                      : std::string());
  if (entry->FullName().empty()) return nullptr;
  entry->MarkUtf8NameIfNeeded();
  entry->DiskNumberStart = 0;
  return entry;
}

bool TZipWriter::Operation::OpenSource(const TFileLine& line, FileHandle& handle) {
  const std::string& path = line.Path;
  // A search's file is opened as the file it listed, never through a link
  // put in its place; a file named whole is opened as its name leads.
  for (;;) {
    // A change of the file from here on is a change while it is read.
    source_opened_ = FileClockNow();
    OpenedFile opened = OpenListedFile(path, line.NamedWhole);
    if (opened.Status == OpenStatus::osOpened) {
      handle = std::move(opened.Handle);
      return true;
    }
    // No longer a file since it was listed (a link or FIFO in its place):
    // nothing of it is written, and an entry the archive holds stays.
    if (opened.Status == OpenStatus::osNotRegular) {
      source_failed_ = true;
      return false;
    }
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
}

bool TZipWriter::Operation::AddOneFile(TFileLine& line) {
  // A stop ends the run at the next file, also among files without data.
  w_.CheckForStop();
  const std::string& path = line.Path;
  const bool folder = path.back() == '/';
  // Without stored paths a folder entry would have an empty name.
  if (folder && !w_.store_paths_) return false;
  // Only regular files are read: a line that is neither folder nor link
  // but no regular file (a folder named without its "/") is left out.
  const bool link = !folder && line.Info.IsLink();
  if (!folder && !link && !line.Info.IsRegular()) return false;
  FileHandle handle;
  if (!folder && !link && !OpenSource(line, handle)) return false;
  file_size_ = line.Info.Size;

  std::unique_ptr<TZipHeaderInfo> entry = NewEntry(line);
  if (!entry) return false;
  entry->RelativeOffset = out_->Position();

  if (names_.count(entry.get()) != 0) {
    bool retry = false;  // ignored
    if (w_.OnSkippingFile) w_.OnSkippingFile(w_, srDuplicate, path, -1, retry, kReasonDuplicate);
    LeaveOut(line);
    return false;
  }
  if (!line.Accepted) {
    bool skip = false;
    if (w_.OnStartZip) w_.OnStartZip(w_, path, *entry, skip);
    if (skip) {
      LeaveOut(line);
      return false;
    }
  }

  if (folder) {
    entry->SaveLocal(*out_);
    AddWritten(std::move(entry));
    if (w_.OnEndZip) w_.OnEndZip(w_, path, 0, 0, 0);
    return true;
  }
  if (link) {
    if (!WriteLinkData(*entry, path)) return false;
  } else {
    entry->SetLocalZip64(file_size_ >= kZip64Marker32 - kZip64LocalMargin);
    if (!WriteFileData(*entry, std::move(handle), line)) return false;
  }
  const int64_t uncompressed = static_cast<int64_t>(entry->UncompressedSize);
  const int64_t compressed = static_cast<int64_t>(entry->CompressedSize);
  AddWritten(std::move(entry));
  if (w_.OnEndZip) w_.OnEndZip(w_, path, uncompressed, compressed, static_cast<int64_t>(out_->Position()));
  return true;
}

bool TZipWriter::Operation::WriteLinkData(TZipHeaderInfo& entry, const std::string& path) {
  std::string target(kMaxLinkTarget + 1, '\0');
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  if (length < 0) {
    // Gone since the listing, or no longer a link (an entry the archive
    // holds then stays).
    if (errno == ENOENT || errno == ENOTDIR) {
      Report(srVanished, path, std::strerror(errno));
    } else if (errno == EINVAL) {
      source_failed_ = true;
    } else {
      Report(srReadError, path, std::strerror(errno));
    }
    return false;
  }
  if (static_cast<size_t>(length) > kMaxLinkTarget) {
    Report(srReadError, path, std::strerror(ENAMETOOLONG));
    return false;
  }
  target.resize(static_cast<size_t>(length));
  // Stored as unzip and its kin expect a link: the target's bytes as the
  // data, the mode with S_IFLNK in the external attributes.
  entry.CompressionMethod = 0;
  entry.InternalAttributes = 0;
  entry.Crc32 = ~Crc32Update(kCrc32Initial, reinterpret_cast<const uint8_t*>(target.data()), target.size());
  entry.UncompressedSize = target.size();
  entry.CompressedSize = target.size();
  entry.SaveLocal(*out_);
  out_->WriteBuffer(target.data(), target.size());
  return true;
}

bool TZipWriter::Operation::WriteFileData(TZipHeaderInfo& entry, FileHandle handle, const TFileLine& line) {
  const std::string& path = line.Path;
  auto file = std::make_unique<TFileHandleStream>(handle.Release(), path);
  // A signal that interrupts a read (a stop signal) ends the run when a
  // stop is pending; any other lets the read go on.
  file->OnInterrupted = [this] { w_.CheckForStop(); };
  source_fd_ = file->Fd();
  source_ = std::move(file);
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
      growth_checked_ = false;
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
    } catch (const NotARegularFile&) {
      DiscardEntryData(entry, store);
      source_.reset();
      entry_ = nullptr;
      source_failed_ = true;
      return false;
    }
  }
  const bool regular = CheckFileAfterReading(entry, line);
  source_.reset();
  entry_ = nullptr;
  if (!regular) {
    DiscardEntryData(entry, store);
    source_failed_ = true;
    return false;
  }

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


bool TZipWriter::Operation::CheckFileAfterReading(TZipHeaderInfo& entry, const TFileLine& line) {
  // One fstat of the open file, after its last byte, tells what was read.
  FileInfo now;
  if (!FStat(source_fd_, now)) return true;
  if (!now.IsRegular()) return false;
  // Swapped for a file of another file system since the listing: a kernel
  // file system's files hold no data to back up.
  if (now.Device != line.Info.Device && IsPseudoFileSystem(source_fd_)) return false;
  struct stat st {};
  st.st_mode = static_cast<mode_t>(now.Mode);
  entry.ExternalAttributes = ExternalAttributesFromStat(st, line.Path);
  entry.LastModDateTime = DosFromFileTime(static_cast<time_t>(now.MTimeSeconds));
  // The entry holds the bytes read, sound in itself; but they may be no
  // version of the file that ever existed, and the user must hear of it.
  if (ChangedWhileRead(line.Info, now, read_total_, source_opened_)) Tell(srChanged, line.Path, kReasonChanged);
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

void TZipWriter::Operation::CopyExistingEntry(const TZipHeaderInfo& old) {
  auto copy = std::make_unique<TZipHeaderInfo>(old);
  // A stop ends even the copy of a large entry within a block or two.
  CopyEntryData(*w_.ArchiveStream(), *out_, *copy, std::span<uint8_t>(staging_.get(), kStagingSize),
                [this] { w_.CheckForStop(); });
  AddWritten(std::move(copy));
}

void TZipWriter::Operation::ReportLostEntries() {
  for (const TLostEntry& lost : w_.LostEntries()) {
    TZipHeaderInfo name;
    name.SetFullName(lost.Name);
    // Written again from its file: nothing of it is lost.
    if (names_.count(&name) != 0) continue;
    Tell(srDamaged, lost.Name, lost.Reason);
  }
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

  // The last moment a stop can still keep the old archive: one that came
  // while the directory was written or the archive flushed ends the
  // operation here, like one during the files.
  if (w_.TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
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
  } catch (const EUserCanceled&) {
    throw;  // a stop while the read was blocked
  } catch (const Error& error) {
    throw SourceFailure{srReadError, ReasonOf(error)};
  }
  if (n == 0) return 0;
  if (!entry_->LocalZip64 && read_total_ + n >= kZip64Marker32) throw Zip64Restart{};
  if (!growth_checked_ && read_total_ + n > file_size_) {
    // More than the listing found: a file that grows, or a FIFO or device
    // put in its place, which would never end; only a file goes on.
    growth_checked_ = true;
    FileInfo now;
    if (FStat(source_fd_, now) && !now.IsRegular()) throw NotARegularFile{};
  }
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
  w_.CheckForStop();
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

void TZipWriter::Operation::Tell(TSkipReason reason, const std::string& path, const std::string& text) {
  bool retry = false;
  if (w_.OnSkippingFile) w_.OnSkippingFile(w_, reason, path, -1, retry, text);
}

void TZipWriter::Operation::Report(TSkipReason reason, const std::string& path,
                                   const std::string& text) {
  source_failed_ = true;
  Tell(reason, path, text);
}

void TZipWriter::Operation::LeaveOut(const TFileLine& line) { w_.AddTotal(-line.CountedSize); }

}  // namespace tessel
