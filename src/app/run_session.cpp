#include "app/run_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/run_history.h"
#include "app/window_state.h"
#include "zip/zip_errors.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler, read by everyone: the first signal since the
// handlers were installed and the last one not yet taken.
volatile std::sig_atomic_t g_first_signal = 0;
volatile std::sig_atomic_t g_last_signal = 0;
// The self-pipe that makes a signal an event: both ends non-blocking.
int g_pipe[2] = {-1, -1};
// The session whose run a signal stops.
std::atomic<RunSession*> g_session{nullptr};
static_assert(std::atomic<RunSession*>::is_always_lock_free, "the signal handler needs a lock-free pointer");
static_assert(std::atomic<bool>::is_always_lock_free, "the cancel request must be settable from a handler");

extern "C" void OnStopSignal(int signal_number) {
  const int saved_errno = errno;
  if (g_first_signal == 0) g_first_signal = signal_number;
  g_last_signal = signal_number;
  if (RunSession* session = g_session.load()) session->OnSignal(signal_number);
  if (g_pipe[1] >= 0) {
    const char byte = 1;
    // A full pipe already says that a signal is waiting.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
  }
  errno = saved_errno;
}

void ClosePipe() {
  for (int& fd : g_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

bool IsCancel(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EUserCanceled&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

StopSignals::StopSignals() {
  g_first_signal = 0;
  g_last_signal = 0;
  if (::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) g_pipe[0] = g_pipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read that blocks (a hung network share, say) returns
  // when the signal comes instead of carrying on as if nothing happened.
  action.sa_flags = 0;
  for (size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &action, &previous_[i]);
}

StopSignals::~StopSignals() {
  for (size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &previous_[i], nullptr);
  ClosePipe();
  g_first_signal = 0;
  g_last_signal = 0;
}

int StopSignals::Fd() { return g_pipe[0]; }

int StopSignals::Take() {
  char bytes[64];
  while (g_pipe[0] >= 0 && ::read(g_pipe[0], bytes, sizeof bytes) > 0) {
  }
  const int signal_number = g_last_signal;
  g_last_signal = 0;
  return signal_number;
}

int StopSignals::Received() { return g_first_signal; }

RunSession::RunSession(RunController& controller)
    : controller_(controller), history_path_(HistoryPath(ProgramStateFolder())) {
  g_session.store(this);
  // A signal that came while the job was being loaded stops the run to come.
  if (const int earlier = StopSignals::Received()) signal_.store(earlier);
}

RunSession::~RunSession() {
  RunSession* self = this;
  g_session.compare_exchange_strong(self, nullptr);
  if (IsRunning()) controller_.Engine().RequestCancel();
  Wait();
}

bool RunSession::Start(std::function<void()> ended) {
  if (IsRunning()) return false;
  Wait();
  // A stop pressed while no run was going belongs to no run.
  controller_.Engine().TakeCancelRequest();
  report_ = RunReport{};
  if (signal_.load() != 0) {
    report_.Outcome = RunOutcome::roStopped;
    report_.Message = kMsgUserCanceled;
    return false;
  }
  ended_ = std::move(ended);
  started_ = std::chrono::steady_clock::now();
  started_at_ = std::time(nullptr);
  running_.store(true);
  worker_ = std::make_unique<TMyThread>(controller_, [this] { Finish(*worker_); }, &interrupter_);
  worker_->Start();
  return true;
}

void RunSession::Stop() {
  controller_.StopRun();
  interrupter_.Interrupt();
}

void RunSession::Wait() {
  if (worker_) worker_->Release();
}

void RunSession::OnSignal(int signal_number) {
  signal_.store(signal_number);
  controller_.Engine().RequestCancel();
  // The signal may have come to another thread than the worker's.
  interrupter_.Interrupt();
}

void RunSession::Finish(const TMyThread& worker) {
  RunReport report;
  report.ArchivePath = controller_.ArchiveName();
  report.Skipped = controller_.SkippedFiles();
  report.Seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
  if (worker.Failed()) {
    report.Outcome = IsCancel(worker.Error()) ? RunOutcome::roStopped : RunOutcome::roFailed;
    report.Message = worker.ErrorMessage();
  } else {
    // An archive without a single file of the job is no backup, even when
    // nothing failed.
    report.NothingSelected = controller_.FilesSelected() == 0;
    report.Outcome =
        report.Skipped.empty() && !report.NothingSelected ? RunOutcome::roSucceeded : RunOutcome::roPartial;
    report.FilesWritten = controller_.FilesWritten();
    report.EntriesCarried = controller_.Engine().EntriesCarried();
    report.BytesRead = controller_.Engine().BytesDone();
    report.ArchiveBytes = FileSize(report.ArchivePath);
    report.ArchiveUnchanged = controller_.Engine().LeftAsItWas();
    report.DeletedArchives = controller_.DeletedArchives();
    report.RetentionFailures = controller_.RetentionFailures();
  }
  report.StartTime = started_at_;
  // Whatever becomes of the history, the run's outcome stays.
  if (!history_path_.empty()) report.HistoryError = AppendHistory(history_path_, HistoryEntryOf(report));
  report_ = std::move(report);
  running_.store(false);
  if (ended_) ended_();
}

}  // namespace tessel
