#include "app/run_controller.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <unordered_set>

#include "app/archive_guard.h"
#include "app/mask.h"
#include "app/name_template.h"
#include "app/retention.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "zip/stored_directory.h"
#include "zip/wildcard.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

constexpr const char* kUnableToCreateDirectory = "Unable to create directory";
constexpr const char* kUndetermined = "Неопределено";
constexpr const char* kHours = " ч. ";
constexpr const char* kMinutes = " м. ";
constexpr const char* kSeconds = " с.";
constexpr const char* kWaitingForArchive = "Ожидание: этот архив записывает другой запуск";
constexpr const char* kMissingSourcesKeepArchive = "Архив оставлен без изменений, потому что не найдено: ";
constexpr const char* kListSeparator = ", ";
constexpr const char* kNoIncludeMask = "В задании нет ни одной маски включения";

// Below this fraction done the remaining time is too unsteady to tell.
constexpr long double kMinimumFraction = 0.01L;

// Runs a clean-up when the scope ends, however it ends.
template <typename F>
class ScopeExit {
public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

private:
  F f_;
};

// A job is its include lines: one without any line that says something
// would back up nothing, which is no backup.
bool HasIncludeMask(const JobSettings& job) {
  return std::any_of(job.IncludeMasks.Items.begin(), job.IncludeMasks.Items.end(),
                     [](const std::string& mask) { return mask.find_first_not_of(' ') != std::string::npos; });
}

}  // namespace

struct RunController::Impl {
  Impl(JobSettings& job_settings, RunDisplay& run_display, const StartupOptions& startup)
      : job(job_settings), display(run_display), options(startup) {}

  void OnExcludeFile(const std::string& path, bool& exclude);
  void OnTotalPercentDone(int percent);
  void OnZipComplete();
  void OnSkippingFile(TSkipReason reason, const std::string& path, const std::string& reason_text);
  bool IsExcludedByMask(const std::string& path) const;
  void ReportMissing(const std::string& path);
  std::vector<std::string> MissingSources() const;
  void CheckSourcesBeforeReplacing(const std::vector<std::string>& missing) const;
  void ClearDisplay();
  void ApplyEngineSettings();
  void CreateArchiveFolder(const std::string& name);
  void Run();

  JobSettings& job;
  RunDisplay& display;
  const StartupOptions& options;
  TZipWriter engine;
  std::vector<std::string> exclusion_list;
  // The exclude masks compiled once for the run.
  TMaskSet compiled_masks;
  ArchiveGuard guard;
  DateTime run_start_time = 0;
  MonotonicClock clock = [] { return std::chrono::steady_clock::now(); };
  std::chrono::steady_clock::time_point run_start_clock{};
  std::vector<SkippedFile> skipped_files;
  RetentionResult retention;
  // Files the include lines selected and the exclusions let through: packed,
  // kept unchanged from the old archive, or left out because unreadable.
  int32_t files_selected = 0;
  std::unordered_set<std::string> reported_missing;
  std::string archive_name;
  int32_t files_written = 0;
  // A StartRun is under way: set from its first step, before the engine
  // itself is busy, so that a second start or a close in between is refused.
  std::atomic<bool> running{false};
};

// Asked by the engine while it builds the file list, so that a file the job
// leaves out is never opened, read or reported, and its size never counts.
void RunController::Impl::OnExcludeFile(const std::string& path, bool& exclude) {
  // An invalid mask ends the run at the first file, whatever the masks
  // before it say.
  if (compiled_masks.Failure()) std::rethrow_exception(compiled_masks.Failure());
  exclude = compiled_masks.Fits(path) || guard.IsEarlierArchive(path);
}

void RunController::Impl::OnTotalPercentDone(int percent) {
  display.SetTotalProgress(percent);
  const int64_t total = engine.TotalBytes();
  long double fraction =
      total == 0 ? 0.0L : static_cast<long double>(engine.BytesDone()) / static_cast<long double>(total);
  if (fraction > 1.0L) fraction = 1.0L;
  if (fraction < kMinimumFraction) fraction = 0.0L;
  // Whole seconds, truncated; a monotonic clock never goes back.
  const auto elapsed = std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::seconds>(clock() - run_start_clock).count());
  if (fraction > 0.0L) {
    // nearbyint follows the default rounding mode: halves go to even.
    const long double remaining = std::nearbyint(static_cast<long double>(elapsed) * (1.0L - fraction) / fraction);
    display.ShowRemaining(FormatDuration(static_cast<int64_t>(remaining)));
  } else {
    display.ShowRemaining(kUndetermined);
  }
  display.ShowElapsed(FormatDuration(elapsed));
}

void RunController::Impl::ClearDisplay() {
  display.ShowTotalStage("");
  display.SetTotalProgress(0);
  display.SetFileProgress(0);
  display.ShowCurrentFile("");
  display.ShowArchiveName("");
  display.ShowElapsed("");
  display.ShowRemaining("");
}

void RunController::Impl::OnZipComplete() {
  // The archive is in place: the job's oldest archives beyond the number it
  // keeps go now, before the run is reported over.
  retention = ApplyRetention(engine.ZipName(), job.FileNameMask, job.KeepArchives);
  // The run is over: a close request that the window's thread handles while
  // the rest of this handler runs must find the controller idle.
  running = false;
  display.ShowTotalStage("");
  display.ShowElapsed("");
  display.ShowRemaining("");
  display.SetTotalProgress(0);
  display.SetFileProgress(0);
  display.ShowCurrentFile("");
  display.ShowArchiveName("");
  if (!options.Batch) {
    display.ShowDoneMessage();
    return;
  }
  if (options.ShowCompletionMessage) display.ShowDoneMessage();
  display.RequestClose();
}

void RunController::Impl::OnSkippingFile(TSkipReason reason, const std::string& path,
                                         const std::string& reason_text) {
  // A duplicate is the same file selected twice: it is in the archive once,
  // nothing is lost. Files and folders the job leaves out never come here
  // (OnExcludeFile); everything else is data that did not get backed up as
  // it stands: a file left out, one that changed while it was read, an
  // entry of a damaged old archive that could not be carried over.
  if (reason == srDuplicate) return;
  ++files_selected;
  skipped_files.push_back({path, reason_text});
}

void RunController::Impl::ReportMissing(const std::string& path) {
  if (path.find_first_not_of(' ') == std::string::npos || IsExcludedByMask(path)) return;
  // The run names what it finds missing before the engine starts, and the
  // engine names a missing file again when it lists it.
  if (!reported_missing.insert(path).second) return;
  skipped_files.push_back({path, std::strerror(ENOENT)});
}

// What the include lines name and is not there: the folder of a search, or
// the file a line names (with or without a "|" or ">" in front). The engine
// passes over a missing folder without a word, and over a missing file of a
// line with such a prefix, which it searches for; for a backup either is a
// source gone missing (an unmounted disk, a renamed folder). Lines that say
// nothing and paths the exclude masks leave out are not counted.
std::vector<std::string> RunController::Impl::MissingSources() const {
  std::vector<std::string> missing;
  for (const std::string& line : engine.FilesList()) {
    if (line.find_first_not_of(' ') == std::string::npos || line.back() == '/') continue;
    std::string_view mask(line);
    if (mask.front() == '|' || mask.front() == '>') mask.remove_prefix(1);
    std::string path(mask);
    if (HasWildcards(mask)) {
      path = FolderPart(mask);
      if (path.empty() || HasWildcards(path)) continue;
    }
    FileInfo info;
    if (Stat(path, info) || (errno != ENOENT && errno != ENOTDIR) || IsExcludedByMask(path)) continue;
    if (std::find(missing.begin(), missing.end(), path) == missing.end()) missing.push_back(std::move(path));
  }
  return missing;
}

// Replace mode 0 writes the archive anew from what it finds: with a source
// missing, that would put a partial backup in place of a complete one.
void RunController::Impl::CheckSourcesBeforeReplacing(const std::vector<std::string>& missing) const {
  if (job.ReplaceMode != 0 || missing.empty() || !FileExists(engine.ZipName())) return;
  std::string message = kMissingSourcesKeepArchive;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) message += kListSeparator;
    message += missing[i];
  }
  throw Error(message);
}

bool RunController::Impl::IsExcludedByMask(const std::string& path) const {
  // An invalid mask ends the run at the first file's check; it excludes nothing.
  return compiled_masks.Fits(path);
}

void RunController::Impl::CreateArchiveFolder(const std::string& name) {
  // A name without any "/" has no folder part to create the archive in.
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) throw Error(kUnableToCreateDirectory);
  // An empty folder text, "/" and an existing folder count as present. A
  // folder that cannot be made is reported by the engine when it fails to
  // create the archive there, with the system's reason.
  MakeFolders(slash == 0 ? std::string("/") : name.substr(0, slash));
}

void RunController::Impl::Run() {
  // A stop during the steps below reaches the engine, which acts on it at
  // its first write.
  skipped_files.clear();
  retention = RetentionResult();
  reported_missing.clear();
  archive_name.clear();
  files_written = 0;
  files_selected = 0;
  // Lines left behind by a run that failed before the engine started must
  // not add to this run's list.
  ScopeExit clear_files([this] {
    engine.FilesList().clear();
    compiled_masks = TMaskSet();
    guard = ArchiveGuard();
  });

  // A job that is no job file's, or still holds a value cut on loading, is
  // never run: it would back up something other than what the file says.
  CheckJobFile(job, options.ConfigPath);
  SaveSettings(job, options.ConfigPath);
  ApplyEngineSettings();
  if (!HasIncludeMask(job)) throw Error(kNoIncludeMask);

  exclusion_list = job.ExcludeMasks.Items;
  compiled_masks = TMaskSet(exclusion_list);

  engine.FilesList().clear();
  for (const std::string& mask : job.IncludeMasks.Items) engine.FilesList().push_back(mask);
  const std::vector<std::string> missing = MissingSources();

  const std::string name = ExpandArchiveName(job.FileNameMask, 0.0);
  engine.SetZipName(name);
  archive_name = engine.ZipName();
  display.ShowArchiveName(name);
  CreateArchiveFolder(name);
  run_start_time = Now();
  run_start_clock = clock();

  job.ReplaceMode = NormalizeReplaceMode(job.ReplaceMode);
  switch (job.ReplaceMode) {
    case 0:
      // Only this run's files, but the old archive is replaced only once the
      // new one is complete: a failed run leaves it as it was.
      engine.ZipAction = zaReplace;
      engine.DiscardExistingEntries = true;
      break;
    case 1:
      engine.ZipAction = zaUpdate;
      engine.DiscardExistingEntries = false;
      break;
    case 3:
      engine.ZipAction = zaFreshen;
      engine.DiscardExistingEntries = false;
      break;
    default:
      engine.ZipAction = zaReplace;
      engine.DiscardExistingEntries = false;
      break;
  }
  CheckSourcesBeforeReplacing(missing);
  for (const std::string& path : missing) ReportMissing(path);
  guard = ArchiveGuard(engine.ZipName(), job.FileNameMask);
  engine.ZipFiles();
}

void RunController::Impl::ApplyEngineSettings() {
  engine.PackLevel = job.Level;
  engine.Threads = job.Threads;
  engine.Recurse = job.IncludeSubDirs;
  engine.SetStorePaths(job.StorePaths);
  engine.Verify = job.Verify;
}

RunController::RunController(JobSettings& job, RunDisplay& display, const StartupOptions& options)
    : impl_(std::make_unique<Impl>(job, display, options)) {
  TZipWriter& engine = impl_->engine;
  engine.AddDirEntriesOnRecurse = false;
  engine.Recurse = true;
  engine.SetRelativePaths(true);
  engine.ReplaceReadOnly = true;
  Impl* impl = impl_.get();
  engine.OnTotalPercentDone = [impl](TZipWriter&, int percent) { impl->OnTotalPercentDone(percent); };
  engine.OnZipComplete = [impl](TZipWriter&, int32_t files) {
    impl->files_written = files;
    impl->OnZipComplete();
  };
  engine.OnFilePercentDone = [impl](TZipWriter&, int percent) { impl->display.SetFileProgress(percent); };
  engine.OnExcludeFile = [impl](TZipWriter&, const std::string& path, bool& exclude) {
    impl->OnExcludeFile(path, exclude);
  };
  // Every entry is shown as it is written; the exclusions were settled when
  // the list was built.
  engine.OnStartZip = [impl](TZipWriter&, const std::string& path, TZipHeaderInfo&, bool&) {
    ++impl->files_selected;
    impl->display.ShowCurrentFile(path);
  };
  engine.OnNoSuchFile = [impl](TZipWriter&, const std::string& path) { impl->ReportMissing(path); };
  engine.OnVerifyArchive = [impl](TZipWriter&, int percent) {
    if (percent == 0) {
      impl->display.ShowCurrentFile("");
      impl->display.SetFileProgress(0);
      impl->display.ShowTotalStage(kVerifyingArchive);
    }
    impl->display.SetTotalProgress(percent);
  };
  // An entry kept because its file has not changed is a file of the job too.
  engine.OnUpdate = [impl](TZipWriter&, TUpdateAction action, int32_t) {
    if (action == udKeep) ++impl->files_selected;
  };
  // Another run is writing the same archive; this one follows it. The line
  // of the current file tells why nothing moves meanwhile.
  engine.OnWaitForArchive = [impl](TZipWriter&, const std::string&) {
    impl->display.ShowCurrentFile(kWaitingForArchive);
  };
  engine.OnSkippingFile = [impl](TZipWriter&, TSkipReason reason, const std::string& path, int32_t,
                                 bool&, const std::string& reason_text) {
    impl->OnSkippingFile(reason, path, reason_text);
  };
}

RunController::~RunController() = default;

void RunController::StartRun() {
  if (IsBusy()) return;
  bool expected = false;
  if (!impl_->running.compare_exchange_strong(expected, true)) return;
  ScopeExit done([this] { impl_->running = false; });
  impl_->Run();
}

void RunController::StopRun() {
  impl_->engine.RequestCancel();
  if (impl_->options.Batch) impl_->display.RequestClose();
  impl_->ClearDisplay();
}

bool RunController::QueryClose() {
  if (IsBusy()) return false;
  // The user was told so when the job was loaded.
  if (impl_->job.NotAJobFile) return true;
  SaveSettings(impl_->job, impl_->options.ConfigPath);
  return true;
}

bool RunController::IsBusy() const { return impl_->running.load() || impl_->engine.IsBusy(); }

void RunController::ApplyEngineSettings() { impl_->ApplyEngineSettings(); }

TZipWriter& RunController::Engine() { return impl_->engine; }

const std::vector<std::string>& RunController::ExclusionList() const { return impl_->exclusion_list; }

DateTime RunController::RunStartTime() const { return impl_->run_start_time; }

const std::vector<SkippedFile>& RunController::SkippedFiles() const { return impl_->skipped_files; }

const std::vector<std::string>& RunController::DeletedArchives() const { return impl_->retention.Deleted; }

const std::vector<std::string>& RunController::RetentionFailures() const { return impl_->retention.Failed; }

const std::string& RunController::ArchiveName() const { return impl_->archive_name; }

int32_t RunController::FilesWritten() const { return impl_->files_written; }

int32_t RunController::FilesSelected() const { return impl_->files_selected; }

void RunController::SetChooseArchive(
    std::function<bool(const std::string& initial_folder, std::string& chosen)> choose) {
  // A batch run never waits for a person: without a chooser, a name ending
  // in "?" fails the run instead of opening a dialog.
  if (impl_->options.Batch) return;
  impl_->engine.ChooseArchive = std::move(choose);
}

void RunController::SetClock(MonotonicClock clock) { impl_->clock = std::move(clock); }

std::string FormatDuration(int64_t seconds) {
  return std::to_string(seconds / 3600) + kHours + std::to_string((seconds / 60) % 60) + kMinutes +
         std::to_string(seconds % 60) + kSeconds;
}

}  // namespace tessel
