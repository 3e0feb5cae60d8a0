#include "zip/zip_operation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unordered_map>

#include "platform/datetime.h"
#include "zip/crc32.h"
#include "zip/stored_directory.h"
#include "zip/wildcard.h"

namespace tessel {
namespace {

constexpr size_t kStagingSize = 262144;
constexpr size_t kCopyBlockSize = 131072;
// The list limit of an archive directory (one growth step short of 65534).
constexpr size_t kMaxEntries = 65520;
constexpr uint32_t kDefaultFileMode = 0666;
constexpr int kMaxLevel = 9;

// A failure of the current source file (a read error in the middle, or the
// file growing past what an entry can hold while it is read): the entry is
// dropped and the operation goes on. Never escapes the operation.
struct SourceFailure {
  TSkipReason Reason;
  std::string Text;
};

// The process's file creation mask, read without changing it where the
// system tells it (Linux 4.7 and later), else by the classic set-and-restore.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
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
  w_.KeepZipOpen = true;
  w_.SetSortMode(ByNone);
}

TZipWriter::Operation::~Operation() {
  try {
    source_.reset();
    out_.reset();
  } catch (...) {
  }
  if (!temp_path_.empty() && !keep_temp_) TryDeleteFile(temp_path_);
  if (!beside_path_.empty()) TryDeleteFile(beside_path_);
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
  w_.busy_.store(false);
}

int32_t TZipWriter::Operation::Run() {
  // The old directory is read first, so that freshen can test the files
  // against it and its comment is at hand for the new end record.
  InspectOldArchive();
  w_.ExpandFilesList();
  OpenOutput();
  if (carry_over_) MergeExistingEntries();
  Announce();
  AddRemainingFiles();
  WriteDirectory();
  Finish();
  return result_;
}

// ---------------------------------------------------------------- stages

void TZipWriter::Operation::InspectOldArchive() {
  const std::string& name = w_.ZipName();
  target_ = name;
  FileInfo link;
  if (LStat(name, link) && link.Type == FileType::ftSymlink) {
    // The link stays; the file it leads to is replaced.
    if (char* real = ::realpath(name.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    }
  }
  FileInfo info;
  if (Stat(target_, info)) {
    if (!info.IsRegular()) throw EHostError("Cannot open " + name + ": not a regular file", 0);
    old_exists_ = true;
    target_mode_ = info.Mode & 07777;
    if (!w_.DiscardExistingEntries) {
      w_.OpenArchive();
      carry_over_ = true;
    }
  } else {
    if (errno != ENOENT && errno != ENOTDIR) ThrowHostError("Cannot examine", name);
    target_mode_ = kDefaultFileMode & ~static_cast<uint32_t>(CurrentUmask());
  }
}

void TZipWriter::Operation::OpenOutput() {
  std::string folder = FolderOf(target_);
  if (old_exists_ && !w_.TempPath.empty() && DirectoryExists(w_.TempPath)) folder = w_.TempPath;
  TempFile temp = MakeTempFile(folder, kTempArchivePrefix);
  temp_path_ = temp.Path;
  out_ = std::make_unique<TLFNFileStream>(temp.Handle.Release(), temp_path_, kStreamBufferSize,
                                          w_.OutputStreamWrapper);
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

void TZipWriter::Operation::MergeExistingEntries() {
  // Lines by the name they would be stored under, each name's lines in list
  // order; a line taken by an entry is marked, never erased, so the merge
  // stays linear however long the list is.
  struct NameLines {
    std::vector<uint32_t> Lines;
    size_t Next = 0;
  };
  std::unordered_map<std::string, NameLines> by_name;
  by_name.reserve(w_.lines_.size());
  for (uint32_t j = 0; j < w_.lines_.size(); ++j) {
    std::string name = w_.StoredNameOf(w_.lines_[j].Path);
    if (!name.empty()) by_name[std::move(name)].Lines.push_back(j);
  }

  TSortedZip* entries = w_.Entries();
  const int32_t count = entries != nullptr ? entries->ItemCount() : 0;
  for (int32_t i = 0; i < count; ++i) {
    const TZipHeaderInfo& old = *entries->Get(i);
    if (old.StatusBytes[1] == 2) continue;  // marked to be dropped on rewrite
    auto found = by_name.find(old.FullName());
    if (found == by_name.end() || found->second.Next >= found->second.Lines.size()) {
      CopyExistingEntry(old);
      continue;
    }
    TFileLine& line = w_.lines_[found->second.Lines[found->second.Next++]];
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
        CopyExistingEntry(old);
        line.Deleted = true;
        continue;
      }
    }
    if (w_.OnUpdate) w_.OnUpdate(w_, udReplace, i);
    source_failed_ = false;
    if (AddOneFile(line)) {
      ++result_;
    } else if (source_failed_ && names_.count(old.FullName()) == 0) {
      // The file could not be read this time (gone, unreadable, too large, a
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

  if (names_.count(entry->FullName()) != 0) {
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
  if (!folder && entry->UncompressedSize > kMaxZip32) {
    Report(srTooLarge, path, kReasonTooLarge);
    LeaveOut(line);
    return false;
  }

  const uint64_t position = out_->Position();
  CheckRoom(position + entry->LocalSize());
  if (folder) {
    entry->SaveLocal(*out_);
    AddWritten(std::move(entry));
    if (w_.OnEndZip) w_.OnEndZip(w_, path, 0, 0, 0);
    return true;
  }
  entry->RelativeOffset = position;
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
  crc_ = kCrc32Initial;
  read_total_ = 0;
  file_progress_ = 0;
  data_start_ = entry.RelativeOffset + entry.LocalSize();
  data_written_ = 0;
  staged_ = 0;
  direct_ = false;

  const int level = std::min(w_.PackLevel, kMaxLevel);
  const bool store =
      level <= 0 || std::any_of(w_.NoCompressList.begin(), w_.NoCompressList.end(),
                                [&](const std::string& pattern) { return WildcardMatch(pattern, entry.Filename()); });
  try {
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
  } catch (const SourceFailure& failure) {
    // The entry goes, the archive stays sound: whatever of it reached the
    // output is overwritten by what follows and cut off at the end.
    if (direct_) SeekOutput(entry.RelativeOffset);
    staged_ = 0;
    direct_ = false;
    source_.reset();
    entry_ = nullptr;
    // An interrupted compression leaves its buffers mid-entry; start afresh.
    if (!store) buffers_ = AllocateDeflateBuffers();
    Report(failure.Reason, path, failure.Text);
    return false;
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
    entry.SaveLocal(*out_);
    out_->WriteBuffer(staging_.get(), staged_);
    staged_ = 0;
  }
  return true;
}

void TZipWriter::Operation::CopyExistingEntry(const TZipHeaderInfo& old) {
  CheckRoom(out_->Position() + old.LocalSize());
  auto copy = std::make_unique<TZipHeaderInfo>(old);
  CopyEntryData(*w_.ArchiveStream(), *out_, *copy, std::span<uint8_t>(staging_.get(), kStagingSize));
  CheckRoom(out_->Position());
  AddWritten(std::move(copy));
}

void TZipWriter::Operation::WriteDirectory() {
  end_.CentralDirOffset = out_->Position();
  CheckRoom(end_.CentralDirOffset);
  for (const auto& entry : written_) entry->SaveCentral(*out_);
  end_.CentralDirSize = out_->Position() - end_.CentralDirOffset;
  end_.ThisDisk = 0;
  end_.CentralStartDisk = 0;
  CheckRoom(out_->Position() + end_.EndRecordSize());
  end_.SaveToStream(*out_);
}

void TZipWriter::Operation::Finish() {
  const uint64_t end = out_->Position();
  if (!out_->Flush()) ThrowShortWrite(*out_);
  // A dropped entry may have left bytes behind the end record.
  if (!out_->Truncate(end)) ThrowHostError("Cannot truncate", temp_path_);
  SetFileMode(out_->Fd(), target_mode_, temp_path_);
  FsyncFile(out_->Fd(), temp_path_);
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
  if (::rename(temp_path_.c_str(), target_.c_str()) == 0) {
    temp_path_.clear();
  } else if (errno == EXDEV) {
    CopyAcrossFileSystems();
  } else {
    ThrowHostError("Cannot rename " + temp_path_ + " to", target_);
  }
  // The rename is done; a folder that refuses a sync keeps it all the same.
  const std::string folder = FolderOf(target_);
  FsyncDirectory(folder.empty() ? "." : folder);
}

void TZipWriter::Operation::CopyAcrossFileSystems() {
  try {
    TempFile beside = MakeTempFile(FolderOf(target_), kTempArchivePrefix);
    beside_path_ = beside.Path;
    FileHandle input(::open(temp_path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input.IsOpen()) ThrowHostError("Cannot open", temp_path_);
    TFileHandleStream from(input.Release(), temp_path_);
    TFileHandleStream to(beside.Handle.Release(), beside_path_);
    uint64_t copied = 0;
    for (;;) {
      const size_t n = from.Read(staging_.get(), std::min(kCopyBlockSize, kStagingSize));
      if (n == 0) break;
      to.WriteBuffer(staging_.get(), n);
      copied += n;
    }
    if (copied == 0) throw Error("Cannot copy " + temp_path_ + " to " + target_);
    SetFileMode(to.Fd(), target_mode_, beside_path_);
    FsyncFile(to.Fd(), beside_path_);
    if (!to.Close()) ThrowHostError("Cannot close", beside_path_, to.LastError());
    RenameFile(beside_path_, target_);
    beside_path_.clear();
  } catch (...) {
    // The finished archive stays where it was written for the user to copy,
    // when there is a user to tell where it is; else it would only be a
    // stray temporary file.
    keep_temp_ = static_cast<bool>(w_.ShowMessage);
    if (w_.ShowMessage)
      w_.ShowMessage(kMsgCopyErrorCaption,
                     std::string(kMsgCannotCopyFrom) + temp_path_ + kMsgCopyArrow + target_);
    throw;
  }
  TryDeleteFile(temp_path_);
  temp_path_.clear();
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
  if (read_total_ + n > kMaxZip32) throw SourceFailure{srTooLarge, kReasonTooLarge};
  read_total_ += n;
  crc_ = Crc32Update(crc_, dst, n);
  if (w_.OnFilePercentDone) {
    file_progress_ += n;
    w_.OnFilePercentDone(w_, PercentOf(static_cast<int64_t>(file_progress_), static_cast<int64_t>(file_size_)));
  }
  if (w_.OnTotalPercentDone) {
    w_.bytes_done_.fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
    w_.OnTotalPercentDone(w_, PercentOf(w_.BytesDone(), w_.TotalBytes()));
  }
  return static_cast<uint32_t>(n);
}

void TZipWriter::Operation::write_output(const uint8_t* src, uint32_t count) {
  CheckRoom(data_start_ + data_written_ + count);
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

void TZipWriter::Operation::AddWritten(std::unique_ptr<TZipHeaderInfo> entry) {
  if (written_.size() >= kMaxEntries)
    throw EListError(FormatListMessage(kMsgListIndex, static_cast<int32_t>(kMaxEntries)));
  names_.insert(entry->FullName());
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

void TZipWriter::Operation::CheckRoom(uint64_t end_position) const {
  if (end_position > kMaxZip32) throw EArchiveTooLarge(w_.ZipName());
}

void TZipWriter::Operation::Report(TSkipReason reason, const std::string& path,
                                   const std::string& text) {
  source_failed_ = true;
  bool retry = false;
  if (w_.OnSkippingFile) w_.OnSkippingFile(w_, reason, path, -1, retry, text);
}

void TZipWriter::Operation::LeaveOut(const TFileLine& line) { w_.AddTotal(-line.CountedSize); }

}  // namespace tessel
