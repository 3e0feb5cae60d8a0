#include "app/my_thread.h"

#include "app/run_controller.h"

namespace tessel {

TMyThread::TMyThread(RunController& controller, std::function<void()> finished)
    : controller_(controller), on_finished_(std::move(finished)) {}

TMyThread::~TMyThread() { Release(); }

void TMyThread::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Work(); });
}

void TMyThread::Release() {
  if (thread_.joinable()) thread_.join();
}

void TMyThread::Work() {
  // The run's error stays with the thread: the window decides what to make of
  // it once the worker has been released.
  try {
    controller_.StartRun();
  } catch (const std::exception& e) {
    error_ = std::current_exception();
    error_message_ = e.what();
  } catch (...) {
    error_ = std::current_exception();
    error_message_ = "Unknown error";
  }
  finished_ = true;
  if (on_finished_) on_finished_();
}

}  // namespace tessel
