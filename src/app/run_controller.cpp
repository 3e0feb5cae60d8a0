#include "app/run_controller.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>

#include "app/archive_guard.h"
#include "app/mask.h"
#include "app/name_template.h"
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

constexpr double kSecondsPerDay = 86400.0;
// Below this fraction done the remaining time is too unsteady to tell.
constexpr long double kMinimumFraction = 0.01L;
constexpr int32_t kDefaultReplaceMode = 2;

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

// One exclude mask compiled for a run. An invalid mask keeps its error, which
// is raised when the mask's turn comes in the first file's check, exactly as
// compiling it there would.
struct CompiledMask {
  std::optional<TMask> Mask;
  std::exception_ptr Failure;
  // The plain characters that end the mask, upper-cased in a-z. A name that
  // fits must end in them (the last elements of a mask match the last
  // characters of the name, and equal characters are equal bytes), so a name
  // that does not is passed over without running the matcher: most masks
  // name an extension, and most files have another one.
  std::string RequiredEnd;

  bool CannotFit(std::string_view name) const {
    if (name.size() < RequiredEnd.size()) return true;
    const size_t start = name.size() - RequiredEnd.size();
    for (size_t i = 0; i < RequiredEnd.size(); ++i) {
      if (AsciiUpper(name[start + i]) != RequiredEnd[i]) return true;
    }
    return false;
  }
};

// Everything after the mask's last "*", "?", "[" or "]", upper-cased in a-z.
std::string PlainEnding(std::string_view mask) {
  const size_t special = mask.find_last_of("*?[]");
  return AsciiUpper(special == std::string_view::npos ? mask : mask.substr(special + 1));
}

}  // namespace

struct RunController::Impl {
  Impl(JobSettings& job_settings, RunDisplay& run_display, const StartupOptions& startup)
      : job(job_settings), display(run_display), options(startup) {}

  void OnStartZip(const std::string& path, bool& skip);
  void OnTotalPercentDone(int percent);
  void OnZipComplete();
  void OnSkippingFile(TSkipReason reason, const std::string& path, const std::string& reason_text);
  bool IsExcludedByMask(const std::string& path) const;
  void ReportMissing(const std::string& path);
  void ReportMissingFolders();
  void ClearDisplay();
  void ApplyEngineSettings();
  void CreateArchiveFolder(const std::string& name);
  void Run();

  JobSettings& job;
  RunDisplay& display;
  const StartupOptions& options;
  TZipWriter engine;
  std::vector<std::string> exclusion_list;
  std::vector<CompiledMask> compiled_masks;
  ArchiveGuard guard;
  DateTime run_start_time = 0;
  std::vector<SkippedFile> skipped_files;
  std::string archive_name;
  int32_t files_written = 0;
  // A StartRun is under way: set from its first step, before the engine
  // itself is busy, so that a second start or a close in between is refused.
  std::atomic<bool> running{false};
};

void RunController::Impl::OnStartZip(const std::string& path, bool& skip) {
  // Every mask is tried, also after a hit, so an invalid mask further down
  // ends the run at the first file whatever the masks before it say.
  for (const CompiledMask& mask : compiled_masks) {
    if (mask.Failure) std::rethrow_exception(mask.Failure);
    if (!mask.CannotFit(path) && mask.Mask->Fits(path)) skip = true;
  }
  if (!skip && guard.IsEarlierArchive(path)) skip = true;
  if (!skip) display.ShowCurrentFile(path);
}

void RunController::Impl::OnTotalPercentDone(int percent) {
  display.SetTotalProgress(percent);
  const int64_t total = engine.TotalBytes();
  long double fraction =
      total == 0 ? 0.0L : static_cast<long double>(engine.BytesDone()) / static_cast<long double>(total);
  if (fraction > 1.0L) fraction = 1.0L;
  if (fraction < kMinimumFraction) fraction = 0.0L;
  const long double elapsed_days = std::fabs(static_cast<long double>(Now()) - run_start_time);
  const auto elapsed = static_cast<int64_t>(std::trunc(static_cast<double>(elapsed_days * kSecondsPerDay)));
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
  display.SetTotalProgress(0);
  display.SetFileProgress(0);
  display.ShowCurrentFile("");
  display.ShowArchiveName("");
  display.ShowElapsed("");
  display.ShowRemaining("");
}

void RunController::Impl::OnZipComplete() {
  // The run is over: a close request that the window's thread handles while
  // the rest of this handler runs must find the controller idle.
  running = false;
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
  // nothing is lost. The engine tries to open a file (and lists folders)
  // before asking OnStartZip, so a file or folder the job leaves out anyway
  // (an exclude mask, an earlier archive) may be reported too: it was never
  // to be backed up. Everything else is data that did not get backed up.
  if (reason == srDuplicate || IsExcludedByMask(path) || guard.IsEarlierArchive(path)) return;
  skipped_files.push_back({path, reason_text});
}

void RunController::Impl::ReportMissing(const std::string& path) {
  if (path.find_first_not_of(' ') == std::string::npos || IsExcludedByMask(path)) return;
  skipped_files.push_back({path, std::strerror(ENOENT)});
}

// The engine passes over a search whose folder does not exist without a word;
// for a backup that is a source gone missing (an unmounted disk, a renamed
// folder), and the user hears of it like of an unreadable file.
void RunController::Impl::ReportMissingFolders() {
  for (const std::string& line : engine.FilesList()) {
    if (line.empty() || line.back() == '/' || !HasWildcards(line)) continue;
    std::string_view spec(line);
    if (spec.front() == '|' || spec.front() == '>') spec.remove_prefix(1);
    const std::string folder(FolderPart(spec));
    if (folder.empty() || HasWildcards(folder)) continue;
    FileInfo info;
    if (!Stat(folder, info) && (errno == ENOENT || errno == ENOTDIR)) ReportMissing(folder);
  }
}

bool RunController::Impl::IsExcludedByMask(const std::string& path) const {
  // An invalid mask ends the run at the first file's check; it excludes nothing.
  for (const CompiledMask& mask : compiled_masks) {
    if (!mask.Failure && !mask.CannotFit(path) && mask.Mask->Fits(path)) return true;
  }
  return false;
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
  archive_name.clear();
  files_written = 0;
  // Lines left behind by a run that failed before the engine started must
  // not add to this run's list.
  ScopeExit clear_files([this] {
    engine.FilesList().clear();
    compiled_masks.clear();
    guard = ArchiveGuard();
  });

  SaveSettings(job, options.ConfigPath);
  ApplyEngineSettings();

  exclusion_list = job.ExcludeMasks.Items;
  compiled_masks.clear();
  compiled_masks.reserve(exclusion_list.size());
  for (const std::string& text : exclusion_list) {
    CompiledMask mask;
    try {
      mask.Mask.emplace(text);
      mask.RequiredEnd = PlainEnding(text);
    } catch (const EMaskException&) {
      mask.Failure = std::current_exception();
    }
    compiled_masks.push_back(std::move(mask));
  }

  engine.FilesList().clear();
  for (const std::string& spec : job.IncludeMasks.Items) engine.FilesList().push_back(spec);
  ReportMissingFolders();

  const std::string name = ExpandArchiveName(job.FileNameMask, 0.0);
  engine.SetZipName(name);
  archive_name = engine.ZipName();
  display.ShowArchiveName(name);
  CreateArchiveFolder(name);
  run_start_time = Now();

  if (job.ReplaceMode < 0 || job.ReplaceMode > 3) job.ReplaceMode = kDefaultReplaceMode;
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
  guard = ArchiveGuard(engine.ZipName(), job.FileNameMask);
  engine.ZipFiles();
}

void RunController::Impl::ApplyEngineSettings() {
  engine.PackLevel = job.Level;
  engine.Recurse = job.IncludeSubDirs;
  engine.SetStorePaths(job.StorePaths);
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
  engine.OnStartZip = [impl](TZipWriter&, const std::string& path, TZipHeaderInfo&, bool& skip) {
    impl->OnStartZip(path, skip);
  };
  engine.OnNoSuchFile = [impl](TZipWriter&, const std::string& path) { impl->ReportMissing(path); };
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
  SaveSettings(impl_->job, impl_->options.ConfigPath);
  return true;
}

bool RunController::IsBusy() const { return impl_->running.load() || impl_->engine.IsBusy(); }

void RunController::ApplyEngineSettings() { impl_->ApplyEngineSettings(); }

TZipWriter& RunController::Engine() { return impl_->engine; }

const std::vector<std::string>& RunController::ExclusionList() const { return impl_->exclusion_list; }

DateTime RunController::RunStartTime() const { return impl_->run_start_time; }

const std::vector<SkippedFile>& RunController::SkippedFiles() const { return impl_->skipped_files; }

const std::string& RunController::ArchiveName() const { return impl_->archive_name; }

int32_t RunController::FilesWritten() const { return impl_->files_written; }

void RunController::SetChooseArchive(
    std::function<bool(const std::string& initial_folder, std::string& chosen)> choose) {
  // A batch run never waits for a person: without a chooser, a name ending
  // in "?" fails the run instead of opening a dialog.
  if (impl_->options.Batch) return;
  impl_->engine.ChooseArchive = std::move(choose);
}

std::string FormatDuration(int64_t seconds) {
  return std::to_string(seconds / 3600) + kHours + std::to_string((seconds / 60) % 60) + kMinutes +
         std::to_string(seconds % 60) + kSeconds;
}

}  // namespace tessel
