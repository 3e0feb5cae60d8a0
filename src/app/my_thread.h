#pragma once
// The worker thread of the batch mode with a window: its only work is one
// run of the controller, while the window's thread keeps serving the window.
#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace tessel {

class RunController;
class ThreadInterrupter;

class TMyThread {
public:
  // finished, when given, is called on the worker thread right after the run
  // has ended, whether it succeeded or failed. interrupter, when given, has
  // the worker attached while the run lasts, so that a stop can end a system
  // call the run is blocked in.
  explicit TMyThread(RunController& controller, std::function<void()> finished = {},
                     ThreadInterrupter* interrupter = nullptr);
  // Releases the thread: waits until the run has ended.
  ~TMyThread();
  TMyThread(const TMyThread&) = delete;
  TMyThread& operator=(const TMyThread&) = delete;

  // Starts the worker; a second call does nothing.
  void Start();
  // Waits until the worker has finished; safe to call again or when the
  // worker was never started.
  void Release();

  bool Started() const { return started_; }
  // True once the run has ended (the finished callback may still be running).
  bool Finished() const { return finished_.load(); }
  // Valid after Release (or once Finished is true): whether the run raised an
  // error, the error itself and its text.
  bool Failed() const { return static_cast<bool>(error_); }
  std::exception_ptr Error() const { return error_; }
  const std::string& ErrorMessage() const { return error_message_; }

private:
  void Work();

  RunController& controller_;
  std::function<void()> on_finished_;
  ThreadInterrupter* interrupter_;
  std::thread thread_;
  bool started_ = false;
  std::atomic<bool> finished_{false};
  std::exception_ptr error_;
  std::string error_message_;
};

}  // namespace tessel
