#pragma once
// One backup run at a time, on its worker thread, for every run mode (the
// window, the batch run with its window and the hidden batch run): starting
// it, stopping it, the stop signals, and the report of how it ended.
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "app/my_thread.h"
#include "app/run_controller.h"
#include "app/run_report.h"
#include "platform/thread_interrupter.h"

namespace tessel {

class RunSession;

// SIGINT, SIGTERM and SIGHUP as stop requests, for the life of the object
// (the earlier handlers come back afterwards). The handlers are installed
// without SA_RESTART, so a system call that blocks when a signal arrives
// returns early; by then the running session's engine already holds the
// cancel request. A signal that another thread receives is passed on to the
// running session's worker, so that a read it is blocked in returns too. Each signal also makes Fd() readable, so that a thread
// that waits for events (the window's) hears of it. One object at a time.
class StopSignals {
public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable after a signal; Take() empties it.
  static int Fd();
  // The last signal that arrived since the previous Take (0 for none), and
  // empties Fd().
  static int Take();
  // The first signal that arrived since installation, 0 while none did.
  static int Received();

private:
  struct sigaction previous_[3] {};
};

class RunSession {
public:
  // The session runs controller's job; while it exists, a stop signal stops
  // its run.
  explicit RunSession(RunController& controller);
  // Stops a run that is still going and waits for it.
  ~RunSession();
  RunSession(const RunSession&) = delete;
  RunSession& operator=(const RunSession&) = delete;

  // Starts a run on a new worker thread and returns at once. `ended` is
  // called on the worker when the run is over and Report() tells how. A stop
  // pressed while no run was going does not reach this one. False, with
  // nothing started, while a run is going; after a stop signal no run
  // starts (the report then says stopped).
  bool Start(std::function<void()> ended = {});
  // The stop button: the running operation is asked to end (the controller's
  // StopRun, which also clears the display and, in a batch mode, asks for
  // the window to close), and a system call its worker is blocked in returns.
  void Stop();
  // From Start until the run is over and its report written.
  bool IsRunning() const { return running_.load(); }
  // Waits for the worker to end (at once when none runs).
  void Wait();
  // How the last run ended; complete once it is over.
  const RunReport& Report() const { return report_; }
  // The stop signal this session has seen, 0 for none.
  int Signal() const { return signal_.load(); }
  // The history file each run that ends adds its line to ("" for none);
  // the program's state folder's history.log by default.
  void SetHistoryPath(std::string path) { history_path_ = std::move(path); }

  // Called from the signal handler: only lock-free stores and a signal to
  // the worker.
  void OnSignal(int signal_number);

private:
  void Finish(const TMyThread& worker);

  RunController& controller_;
  // Wakes the worker from a blocked read when a stop comes; outlives it.
  ThreadInterrupter interrupter_;
  std::unique_ptr<TMyThread> worker_;
  std::function<void()> ended_;
  std::atomic<bool> running_{false};
  std::atomic<int> signal_{0};
  std::chrono::steady_clock::time_point started_;
  time_t started_at_ = 0;
  std::string history_path_;
  RunReport report_;
};

}  // namespace tessel
