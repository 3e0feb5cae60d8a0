#include "zip/zip_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/atomic_file.h"
#include "zip/dir_search.h"
#include "zip/stored_directory.h"
#include "zip/wildcard.h"
#include "zip/zip_operation.h"

namespace tessel {
namespace {

// A wildcard line with its search mode taken from a "|" (this
// folder only) or ">" (with sub-folders) in front.
struct WildcardLine {
  std::string Text;
  bool Recurse;
};

bool IsBlank(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

// A search looks for a stop at every folder and after this many files.
constexpr uint32_t kFilesBetweenStopChecks = 256;

}  // namespace

TZipWriter::TZipWriter() = default;
TZipWriter::~TZipWriter() = default;

void TZipWriter::SetZipName(const std::string& name) {
  if (name == ZipName()) return;
  TZipReader::SetZipName(name);
}

void TZipWriter::SetRootDir(const std::string& folder) {
  root_dir_ = folder;
  if (!root_dir_.empty() && root_dir_.back() != '/') root_dir_ += '/';
}

void TZipWriter::SetStorePaths(bool value) {
  if (value == store_paths_) return;
  store_paths_ = value;
  if (!value) {
    relative_paths_ = false;
    store_volumes_ = false;
  }
}

void TZipWriter::SetRelativePaths(bool value) {
  if (value == relative_paths_) return;
  relative_paths_ = value;
  if (value) {
    store_paths_ = true;
    Recurse = true;
  }
}

void TZipWriter::SetStoreVolumes(bool value) {
  if (value == store_volumes_) return;
  store_volumes_ = value;
  if (value) store_paths_ = true;
}

void TZipWriter::Assign(const TZipWriter& source) {
  if (&source == this) return;
  // Reader properties.
  SetZipName(source.ZipName());
  SetSortMode(source.SortMode());
  KeepZipOpen = source.KeepZipOpen;
  DoProcessMessages = source.DoProcessMessages;
  FlushFilesOnClose = source.FlushFilesOnClose;
  ReplaceReadOnly = source.ReplaceReadOnly;
  IncompleteZipMode = source.IncompleteZipMode;
  OnInCompleteZip = source.OnInCompleteZip;
  ProcessInput = source.ProcessInput;
  ChooseArchive = source.ChooseArchive;
  ArchiveStreamWrapper = source.ArchiveStreamWrapper;
  // Writer properties: the coupled flags are copied as they stand, so that
  // the copy ends with exactly the source's combination.
  root_dir_ = source.root_dir_;
  files_list_ = source.files_list_;
  PackLevel = source.PackLevel;
  Recurse = source.Recurse;
  store_paths_ = source.store_paths_;
  relative_paths_ = source.relative_paths_;
  store_volumes_ = source.store_volumes_;
  ZipAction = source.ZipAction;
  TempPath = source.TempPath;
  ExcludeList = source.ExcludeList;
  NoCompressList = source.NoCompressList;
  AddDirEntriesOnRecurse = source.AddDirEntriesOnRecurse;
  Threads = source.Threads;
  WaitingMemoryPerThread = source.WaitingMemoryPerThread;
  WaitingDiskPerThread = source.WaitingDiskPerThread;
  SkipIfArchiveBitNotSet = source.SkipIfArchiveBitNotSet;
  ResetArchiveBitOnZip = source.ResetArchiveBitOnZip;
  DiscardExistingEntries = source.DiscardExistingEntries;
  Verify = source.Verify;
  OnStartZip = source.OnStartZip;
  OnStartZipInfo = source.OnStartZipInfo;
  OnEndZip = source.OnEndZip;
  OnZipComplete = source.OnZipComplete;
  OnFilePercentDone = source.OnFilePercentDone;
  OnTotalPercentDone = source.OnTotalPercentDone;
  OnNoSuchFile = source.OnNoSuchFile;
  OnSkippingFile = source.OnSkippingFile;
  OnUpdate = source.OnUpdate;
  OnExcludeFile = source.OnExcludeFile;
  OnWaitForArchive = source.OnWaitForArchive;
  ShowMessage = source.ShowMessage;
  OnVerifyArchive = source.OnVerifyArchive;
  OutputStreamWrapper = source.OutputStreamWrapper;
  SourceStreamWrapper = source.SourceStreamWrapper;
}

// ------------------------------------------------------------ file list

void TZipWriter::CheckForStop() {
  if (DoProcessMessages && ProcessInput) ProcessInput();
  // A stop is honoured even where no input is processed (a worker thread).
  if (TakeCancelRequest()) throw EUserCanceled(kMsgUserCanceled);
}

void TZipWriter::ReportUnexamined(const std::string& path, int error_number) {
  bool retry = false;  // the list is being built: there is nothing to retry
  if (OnSkippingFile) OnSkippingFile(*this, srOpenFailed, path, -1, retry, std::strerror(error_number));
}

bool TZipWriter::IsExcluded(const std::string& path, bool folder_entry) {
  if (!folder_entry && !ExcludeList.empty() && MatchesAnyPattern(ExcludeList, path)) return true;
  bool exclude = false;
  if (OnExcludeFile) OnExcludeFile(*this, path, exclude);
  return exclude;
}

int TZipWriter::EffectiveThreads() const {
  int threads = Threads;
  if (threads <= 0) {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    threads = online > 0 ? static_cast<int>(std::min<long>(online, kMaxThreads)) : 1;
  }
  return std::min(threads, kMaxThreads);
}

std::string TZipWriter::StoredNameOf(const std::string& path) const {
  // Without stored paths an entry holds only the last component, and that is
  // the name under which it must meet its old entry.
  std::string name =
      store_paths_ ? StoredDirectory(path, root_dir_, relative_paths_, store_volumes_) : std::string();
  name.append(LastComponent(path));
  return name;
}

bool TZipWriter::FreshenAccepts(const std::string& path) const {
  return ZipAction != zaFreshen || freshen_names_.count(StoredNameOf(path)) != 0;
}

void TZipWriter::PrepareExpansion() {
  // Stat leaves an identity of nothing (ftMissing) when there is no such file.
  Stat(ZipName(), archive_identity_);
  lock_identity_ = FileInfo();
  if (!ZipName().empty()) Stat(ReplacementTarget(ZipName()) + kArchiveLockSuffix, lock_identity_);
  freshen_names_.clear();
  if (ZipAction == zaFreshen && !DiscardExistingEntries && Entries() != nullptr) {
    for (const TZipHeaderInfo* entry : *Entries()) freshen_names_.insert(entry->FullName());
  }
}

bool TZipWriter::IsArchiveItself(const std::string& path, const FileInfo& info) const {
  return path == ZipName() || IsTempFileName(LastComponent(path), kTempArchivePrefix) ||
         IsSameFile(info, archive_identity_) || IsSameFile(info, lock_identity_);
}

void TZipWriter::AppendLine(std::string path, const FileInfo& info, int64_t counted, bool named_whole) {
  TFileLine line;
  line.Path = std::move(path);
  line.Info = info;
  line.CountedSize = counted;
  line.NamedWhole = named_whole;
  lines_.push_back(std::move(line));
  AddTotal(counted);
}

void TZipWriter::ExpandFilesList() {
  ExpandLines();
  files_list_.clear();
  files_list_.reserve(lines_.size());
  for (const TFileLine& line : lines_) files_list_.push_back(line.Path);
}

void TZipWriter::ExpandLines() {
  total_bytes_.store(0, std::memory_order_relaxed);
  bytes_done_.store(0, std::memory_order_relaxed);
  PrepareExpansion();
  lines_.clear();
  lines_.reserve(files_list_.size());

  std::vector<WildcardLine> wildcards;
  PseudoFileSystems pseudo;
  for (const std::string& text : files_list_) {
    CheckForStop();
    if (text.empty()) continue;
    if (text.back() == '/') {
      if (!IsExcluded(text, true)) AppendLine(text, FileInfo(), 0);
      continue;
    }
    if (HasWildcards(text)) {
      if (text.front() == '|')
        wildcards.push_back({text.substr(1), false});
      else if (text.front() == '>')
        wildcards.push_back({text.substr(1), true});
      else
        wildcards.push_back({text, Recurse});
      continue;
    }
    const std::string path = FolderPart(text).empty() ? root_dir_ + text : text;
    if (IsExcluded(path)) continue;
    FileInfo info;
    if (!Stat(path, info)) {
      // Only a file that is not there is "no such file"; one that cannot be
      // examined (a folder on its way that may not be searched, a link
      // loop) is a file that could not be backed up.
      const int error = errno;
      if (error == ENOENT || error == ENOTDIR) {
        if (OnNoSuchFile) OnNoSuchFile(*this, path);
      } else {
        ReportUnexamined(path, error);
      }
      continue;
    }
    if (IsArchiveItself(path, info) || !FreshenAccepts(path) || pseudo.Contains(path, info.Device)) continue;
    AppendLine(path, info, info.IsRegular() ? static_cast<int64_t>(info.Size) : 0, true);
  }

  std::unordered_set<std::string> unlisted;  // folders reported as unreadable
  for (const WildcardLine& line : wildcards) {
    std::string folder(FolderPart(line.Text));
    if (folder.empty()) folder = root_dir_;
    // A wildcard in the folder part never names a folder.
    if (HasWildcards(folder)) continue;
    if (!folder.empty()) {
      FileInfo info;
      if (!Stat(folder, info)) {
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR && !IsExcluded(folder) && unlisted.insert(folder).second)
          ReportUnexamined(folder, error);
        continue;
      }
      if (!info.IsDirectory()) continue;
    }
    // A folder that cannot be listed is reported like a file that cannot be
    // opened (a retry is not offered: the search has passed it); the search
    // takes it for an empty one, and its files would go missing unheard of.
    auto report_unlisted = [this, &unlisted](const std::string& path, int error) {
      // Asked for every folder, as for every file: OnExcludeFile hears of each.
      if (!OnSkippingFile || IsExcluded(path) || error == 0 || !unlisted.insert(path).second) return;
      bool retry = false;
      OnSkippingFile(*this, srOpenFailed, path, -1, retry, std::strerror(error));
    };
    TDirSearch search(folder, line.Recurse, LastComponent(line.Text));
    report_unlisted(folder, search.FolderError());
    TSearchData record;
    uint32_t files = 0;
    for (std::string path = search.NextFile(record); !path.empty(); path = search.NextFile(record)) {
      if (path.back() == '/') {
        CheckForStop();
        report_unlisted(path, search.FolderError());
        if (AddDirEntriesOnRecurse && !IsExcluded(path, true)) AppendLine(std::move(path), record.Info, 0);
        continue;
      }
      if (++files % kFilesBetweenStopChecks == 0) CheckForStop();
      if (IsExcluded(path) || IsArchiveItself(path, record.Info) || !FreshenAccepts(path)) continue;
      // A link is stored as the link itself: its size is not the size of
      // what it leads to, and nothing of that is read.
      AppendLine(std::move(path), record.Info, record.Info.IsRegular() ? static_cast<int64_t>(record.Info.Size) : 0);
    }
  }
}

// ------------------------------------------------------------ the operation

int32_t TZipWriter::ZipFiles() {
  if (IsBlank(ZipName())) {
    if (OnZipComplete) OnZipComplete(*this, 0);
    return 0;
  }
  int32_t result = 0;
  {
    Operation operation(*this);
    result = operation.Run();
  }  // the clean-up has run: IsBusy is false, FilesList empty
  if (OnZipComplete) OnZipComplete(*this, result);
  return result;
}

}  // namespace tessel
