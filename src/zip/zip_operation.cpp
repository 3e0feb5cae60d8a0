#include "zip/zip_operation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
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
constexpr uint32_t kNoLine = UINT32_MAX;
// The longest link target read; longer ones are not made by any file system.
constexpr size_t kMaxLinkTarget = 65535;

bool IsFolderLine(const std::string& path) { return path.back() == '/'; }

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
  w_.entries_carried_.store(0, std::memory_order_relaxed);
  w_.KeepZipOpen = true;
  w_.SetSortMode(ByNone);
}

TZipWriter::Operation::~Operation() {
  // The workers go first: they read the file list and write the spill file.
  if (pipeline_) w_.spilled_bytes_ = pipeline_->SpilledBytes();
  pipeline_.reset();
  try {
    source_.reset();
    out_.reset();
  } catch (...) {
  }
  writer_.reset();  // an unfinished temporary archive goes
  encoder_.reset();
  staging_.reset();
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
    PlanMerge();
    // Nothing to change: the archive stays as it is, untouched, and no file
    // is opened (a stop that came meanwhile still ends the run as stopped).
    if (WouldWriteTheSameArchive()) {
      w_.CheckForStop();
      w_.left_as_it_was_ = true;
      return result_;
    }
  }
  OpenOutput();
  StartWorkers();
  if (carry_over_) MergeExistingEntries();
  Announce();
  if (pipeline_) pipeline_->Release(SIZE_MAX);
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
  staging_ = std::make_unique<uint8_t[]>(kStagingSize);
  if (w_.Verify) check_ = std::make_unique<TEntryCheck>();
}

void TZipWriter::Operation::PlanMerge() {
  // Lines by the name they would be stored under, each name's lines chained
  // in list order (the first not yet taken, the last); a line taken by an
  // entry is marked, never erased, so the merge stays linear however long
  // the list is, and small for every line.
  struct NameLines {
    uint32_t Next;
    uint32_t Last;
    bool InArchive;
  };
  auto& lines = w_.lines_;
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
  merge_.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const TZipHeaderInfo& old = *entries->Get(i);
    if (old.StatusBytes[1] == 2) continue;  // marked to be dropped on rewrite
    auto found = by_name.find(old.FullName());
    if (found != by_name.end() && !found->second.InArchive) {
      found->second.InArchive = true;
      for (uint32_t j = found->second.Next; j != kNoLine; j = same_name[j]) named_in_archive_[j] = true;
    }
    if (found == by_name.end() || found->second.Next == kNoLine) {
      merge_.push_back({i, nullptr, false});
      continue;
    }
    TFileLine& line = lines[found->second.Next];
    found->second.Next = same_name[found->second.Next];
    line.Deleted = true;
    merge_.push_back({i, &line, EntryStays(old, line)});
  }
}

bool TZipWriter::Operation::EntryStays(const TZipHeaderInfo& old, const TFileLine& line) const {
  if (w_.ZipAction == zaReplace) return false;
  FileInfo info = line.Info;
  if (IsFolderLine(line.Path)) {
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
  const TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  // Every entry stays: none is dropped, none replaced by its file.
  if (merge_.size() != static_cast<size_t>(count)) return false;
  for (const MergeStep& step : merge_) {
    if (step.Line != nullptr && !step.Keep) return false;
  }
  // The lines that meet no entry: each must be one that is not written.
  for (uint32_t j = 0; j < w_.lines_.size(); ++j) {
    TFileLine& line = w_.lines_[j];
    if (line.Deleted || !Writable(line)) continue;
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
  for (const MergeStep& step : merge_) {
    if (step.Line != nullptr && w_.OnUpdate) w_.OnUpdate(w_, udKeep, step.Entry);
  }
  // Every entry stays where it is, as it is.
  w_.entries_carried_.store(count, std::memory_order_relaxed);
  return true;
}

void TZipWriter::Operation::StartWorkers() {
  const unsigned threads = w_.EffectiveThreads();
  if (threads <= 1) return;
  // The files in the order AddOneFile opens them: those that replace old
  // entries, then the rest of the list. Folders and links are not opened.
  std::vector<PipelineFile> files;
  auto opened = [](const TFileLine& line) { return !IsFolderLine(line.Path) && line.Info.IsRegular(); };
  auto add = [&files](const TFileLine& line) { files.push_back({&line.Path, &line.Info, line.NamedWhole}); };
  for (const MergeStep& step : merge_) {
    if (step.Line != nullptr && !step.Keep && opened(*step.Line)) add(*step.Line);
  }
  const size_t merge_files = files.size();
  for (const TFileLine& line : w_.lines_) {
    if (!line.Deleted && opened(line)) add(line);
  }
  // One file gains nothing from a worker.
  if (files.size() < 2) return;
  PipelineSettings settings;
  settings.Workers = threads;
  settings.Level = std::min(w_.PackLevel, kMaxLevel);
  settings.NoCompressList = w_.NoCompressList;
  settings.SourceWrapper = w_.SourceStreamWrapper;
  settings.SpillFolder = FolderOf(writer_->TempPath());
  const uint64_t workers = std::min<uint64_t>(threads, files.size());
  settings.MemoryLimit = w_.WaitingMemoryPerThread * workers;
  settings.DiskLimit = w_.WaitingDiskPerThread * workers;
  settings.BytesDone = w_.OnTotalPercentDone ? &w_.bytes_done_ : nullptr;
  pipeline_ = std::make_unique<EntryPipeline>(std::move(settings), std::move(files));
  pipeline_->Release(merge_files);
}

std::vector<TZipWriter::Operation::Checked> TZipWriter::Operation::CheckEntriesToCarry() {
  std::vector<Checked> checked;
  if (!check_) return checked;
  TSortedZip* entries = w_.Entries();
  std::vector<const TZipHeaderInfo*> carried;
  for (const MergeStep& step : merge_) {
    if (step.Line == nullptr || step.Keep) carried.push_back(entries->Get(step.Entry));
  }
  if (carried.empty()) return checked;
  const std::vector<std::string> reasons =
      CheckEntryData(w_.ArchiveStream()->Path(), carried, static_cast<unsigned>(w_.EffectiveThreads()),
                     [this](uint64_t, uint64_t) { w_.CheckForStop(); });
  checked.reserve(merge_.size());
  size_t next = 0;
  for (const MergeStep& step : merge_) {
    if (step.Line == nullptr || step.Keep) {
      checked.push_back(reasons[next++].empty() ? Checked::kSound : Checked::kDamaged);
    } else {
      checked.push_back(Checked::kNot);
    }
  }
  return checked;
}

void TZipWriter::Operation::MergeExistingEntries() {
  TSortedZip* entries = w_.Entries();
  const std::vector<Checked> checked = CheckEntriesToCarry();
  for (size_t k = 0; k < merge_.size(); ++k) {
    const MergeStep& step = merge_[k];
    const Checked verdict = checked.empty() ? Checked::kNot : checked[k];
    w_.CheckForStop();
    const TZipHeaderInfo& old = *entries->Get(step.Entry);
    if (step.Line == nullptr) {
      CarryOver(old, verdict);
      continue;
    }
    if (step.Keep) {
      if (w_.OnUpdate) w_.OnUpdate(w_, udKeep, step.Entry);
      if (CopyExistingEntry(old, verdict)) continue;
      // The kept copy is damaged: the file gives it afresh (read on this
      // thread: no worker was given it).
      if (w_.OnUpdate) w_.OnUpdate(w_, udReplace, step.Entry);
      if (AddOneFile(*step.Line)) ++result_;
      continue;
    }
    if (w_.OnUpdate) w_.OnUpdate(w_, udReplace, step.Entry);
    source_failed_ = false;
    if (AddOneFile(*step.Line)) {
      ++result_;
    } else if (source_failed_ && names_.count(&old) == 0) {
      // The file could not be read this time (gone, unreadable, a
      // read error, no longer a regular file): the copy the archive already
      // holds is the last good one and stays, unless it is damaged too.
      CarryOver(old);
    }
  }
  merge_.clear();
  merge_.shrink_to_fit();
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

bool TZipWriter::Operation::Writable(const TFileLine& line) const {
  // A line that is neither folder nor link but no regular file (a folder
  // named without its "/", a FIFO named whole) holds nothing to back up.
  if (IsFolderLine(line.Path)) return w_.store_paths_;  // else the entry would have no name
  return line.Info.IsLink() || line.Info.IsRegular();
}

std::unique_ptr<TZipHeaderInfo> TZipWriter::Operation::NewEntry(const TFileLine& line) const {
  const std::string& path = line.Path;
  auto entry = std::make_unique<TZipHeaderInfo>();
  entry->VersionMadeBy = kVersionMadeByUnix;
  if (IsFolderLine(path)) {
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
    // again once it has been read (WriteFileData).
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

bool TZipWriter::Operation::OpenSource(const TFileLine& line, FileHandle& handle, FileTime& opened_at,
                                       std::optional<EntryPipeline::Ticket>& ticket) {
  const std::string& path = line.Path;
  for (;;) {
    OpenedFile opened;
    if (ticket) {
      opened = ticket->Opened([this] { WaitTick(nullptr); });
    } else {
      // A search's file is opened as the file it listed, never through a
      // link put in its place; a file named whole is opened as its name leads.
      opened = OpenListedFile(path, line.NamedWhole);
    }
    if (opened.Status == OpenStatus::osOpened) {
      handle = std::move(opened.Handle);
      opened_at = opened.OpenedAt;
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
    // The next try is made here, and the file read here too.
    ticket.reset();
  }
}

bool TZipWriter::Operation::AddOneFile(TFileLine& line) {
  // A stop ends the run at the next file, also among files without data.
  w_.CheckForStop();
  if (!Writable(line)) return false;
  const std::string& path = line.Path;
  const bool folder = IsFolderLine(path);
  const bool link = !folder && line.Info.IsLink();
  FileHandle handle;
  FileTime opened_at;
  // With workers, the file was opened (and is being read) by one of them;
  // its ticket tells what opening found and hands over the data.
  std::optional<EntryPipeline::Ticket> ticket;
  if (!folder && !link) {
    if (pipeline_ && pipeline_->NextIs(&line.Path)) ticket.emplace(pipeline_->Next());
    if (!OpenSource(line, handle, opened_at, ticket)) return false;
  }
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
  } else if (!WriteFileData(*entry, std::move(handle), opened_at, ticket ? &*ticket : nullptr, line)) {
    return false;
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

bool TZipWriter::Operation::WriteFileData(TZipHeaderInfo& entry, FileHandle handle, FileTime opened_at,
                                          EntryPipeline::Ticket* ticket, const TFileLine& line) {
  const std::string& path = line.Path;
  entry_ = &entry;
  file_progress_ = 0;
  file_done_ = 0;
  EncodedEntry result;
  if (ticket != nullptr) {
    WaitTick(ticket);
    result = ticket->Deliver(*this, [this, ticket] { WaitTick(ticket); });
  } else {
    const SourceFile facts{handle.Get(), line.Info, opened_at};
    auto file = std::make_unique<TFileHandleStream>(handle.Release(), path);
    // A signal that interrupts a read (a stop signal) ends the run when a
    // stop is pending; any other lets the read go on.
    file->OnInterrupted = [this] { w_.CheckForStop(); };
    source_ = std::move(file);
    if (w_.SourceStreamWrapper) source_ = w_.SourceStreamWrapper(std::move(source_));
    if (!encoder_) encoder_ = std::make_unique<EntryEncoder>();
    const int level = std::min(w_.PackLevel, kMaxLevel);
    result = encoder_->Encode(*source_, facts, StoresEntry(level, w_.NoCompressList, entry.Filename()), level,
                              *this, *this);
    source_.reset();
  }
  entry_ = nullptr;
  if (result.ReadFailed) {
    // The entry goes, the archive stays sound: whatever of it reached the
    // output is overwritten by what follows and cut off at the end.
    Report(srReadError, path, result.FailureText);
    return false;
  }
  if (result.NotRegular) {
    // No longer a file: left out without a word, as such files are; an
    // entry the archive holds stays.
    source_failed_ = true;
    return false;
  }
  if (result.After.Type != FileType::ftMissing) {
    // The file's time and mode once it was read.
    struct stat st {};
    st.st_mode = static_cast<mode_t>(result.After.Mode);
    entry.ExternalAttributes = ExternalAttributesFromStat(st, path);
    entry.LastModDateTime = DosFromFileTime(static_cast<time_t>(result.After.MTimeSeconds));
  }
  // The entry holds the bytes read, sound in itself; but they may be no
  // version of the file that ever existed, and the user must hear of it.
  if (result.Changed) Tell(srChanged, path, kReasonChangedWhileRead);
  entry.GeneralPurposeFlags |= result.AddedFlags;
  entry.CompressionMethod = result.CompressionMethod;
  entry.InternalAttributes = result.InternalAttributes;
  entry.Crc32 = result.Crc32;
  entry.UncompressedSize = result.UncompressedSize;
  entry.CompressedSize = result.CompressedSize;
  FinishEntryData(entry);
  return true;
}

void TZipWriter::Operation::FinishEntryData(TZipHeaderInfo& entry) {
  if (direct_) {
    const uint64_t end = out_->Position();
    SeekOutput(entry.RelativeOffset);
    entry.SaveLocal(*out_);
    SeekOutput(end);
    direct_ = false;
  } else {
    // A header written after its data needs no room to grow: a ZIP64 field
    // given for the size at opening goes again (the data are all staged,
    // far below 4 GiB).
    entry.SetLocalZip64(false);
    entry.SaveLocal(*out_);
    out_->WriteBuffer(staging_.get(), staged_);
    staged_ = 0;
  }
}

bool TZipWriter::Operation::CopyExistingEntry(const TZipHeaderInfo& old, Checked checked) {
  if (checked == Checked::kDamaged) return false;
  auto copy = std::make_unique<TZipHeaderInfo>(old);
  const std::span<uint8_t> scratch(staging_.get(), kStagingSize);
  // A stop ends even the copy of a large entry within a block or two.
  auto stop = [this] { w_.CheckForStop(); };
  if (!check_) {
    CopyEntryData(*w_.ArchiveStream(), *out_, *copy, scratch, nullptr, stop);
  } else {
    const uint64_t start = out_->Position();
    bool damaged = false;
    // Data checked beforehand are copied as they are; the finished archive
    // is read back whole all the same.
    TEntryCheck* check = checked == Checked::kSound ? nullptr : check_.get();
    if (check != nullptr) check->Begin(old);
    try {
      CopyEntryData(*w_.ArchiveStream(), *out_, *copy, scratch, check, stop);
      damaged = check != nullptr && !check->Finish().empty();
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

void TZipWriter::Operation::CarryOver(const TZipHeaderInfo& old, Checked checked) {
  if (CopyExistingEntry(old, checked)) return;
  bool retry = false;  // there is nothing to retry
  if (w_.OnSkippingFile) w_.OnSkippingFile(w_, srDamaged, old.FullName(), -1, retry, kReasonDamagedInOldArchive);
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
  encoder_.reset();

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
    w_.CheckForStop();
    if (w_.OnVerifyArchive)
      w_.OnVerifyArchive(w_, PercentOf(static_cast<int64_t>(done), static_cast<int64_t>(total)));
  };
  VerifyArchive(writer_->TempPath(), w_.ZipName(), &written_, *check_, progress,
                static_cast<unsigned>(w_.EffectiveThreads()));
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

void TZipWriter::Operation::Begin(bool local_zip64) {
  entry_->SetLocalZip64(local_zip64);
  staged_ = 0;
  direct_ = false;
}

void TZipWriter::Operation::Write(const uint8_t* data, uint32_t count) {
  if (!direct_ && staged_ + count > kStagingSize) SwitchToDirectOutput();
  if (direct_) {
    out_->WriteBuffer(data, count);
  } else {
    std::memcpy(staging_.get() + staged_, data, count);
    staged_ += count;
  }
  w_.CheckForStop();
}

void TZipWriter::Operation::Discard() {
  // Back to the header, which is written again with what follows.
  if (direct_) SeekOutput(entry_->RelativeOffset);
  staged_ = 0;
  direct_ = false;
}

void TZipWriter::Operation::Read(uint32_t count) {
  if (w_.OnFilePercentDone) {
    file_progress_ += count;
    w_.OnFilePercentDone(w_, PercentOf(static_cast<int64_t>(file_progress_), static_cast<int64_t>(file_size_)));
  }
  if (w_.OnTotalPercentDone) {
    file_done_ += count;
    w_.bytes_done_.fetch_add(static_cast<int64_t>(count), std::memory_order_relaxed);
    w_.OnTotalPercentDone(w_, PercentOf(w_.BytesDone(), w_.TotalBytes()));
  }
}

void TZipWriter::Operation::Void() {
  // Bytes read for a void attempt no longer count as done.
  w_.bytes_done_.fetch_sub(static_cast<int64_t>(file_done_), std::memory_order_relaxed);
  file_done_ = 0;
  file_progress_ = 0;
}

void TZipWriter::Operation::WaitTick(const EntryPipeline::Ticket* ticket) {
  if (ticket != nullptr && w_.OnFilePercentDone) {
    const uint64_t read = ticket->BytesRead();
    if (read != file_progress_) {
      file_progress_ = read;
      w_.OnFilePercentDone(w_, PercentOf(static_cast<int64_t>(read), static_cast<int64_t>(file_size_)));
    }
  }
  if (w_.OnTotalPercentDone) {
    const int64_t done = w_.BytesDone();
    if (done != total_shown_) {
      total_shown_ = done;
      w_.OnTotalPercentDone(w_, PercentOf(done, w_.TotalBytes()));
    }
  }
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
