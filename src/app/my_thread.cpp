#include "app/my_thread.h"

#include "app/run_controller.h"
#include "platform/thread_interrupter.h"

namespace tessel {

TMyThread::TMyThread(RunController& controller, std::function<void()> finished, ThreadInterrupter* interrupter)
    : controller_(controller), on_finished_(std::move(finished)), interrupter_(interrupter) {}

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
  if (interrupter_ != nullptr) interrupter_->Attach();
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
  if (interrupter_ != nullptr) interrupter_->Detach();
  finished_ = true;
  if (on_finished_) on_finished_();
}

}  // namespace tessel
