#pragma once
// Ends a system call that blocks on another thread: a read of a FIFO or of a
// hung network file returns early with EINTR once the thread is sent a
// signal whose handler does nothing and is installed without SA_RESTART.
// The caller then decides, as after any EINTR, whether to stop or to go on.
#include <sys/types.h>

#include <atomic>

namespace tessel {

// The signal that wakes a thread. Its default action is to do nothing, and
// the program uses no socket's urgent data, so a stray one harms nothing.
int ThreadWakeSignal();

class ThreadInterrupter {
public:
  // Installs the wake signal's handler (once for the process).
  ThreadInterrupter();
  ThreadInterrupter(const ThreadInterrupter&) = delete;
  ThreadInterrupter& operator=(const ThreadInterrupter&) = delete;

  // Called on the thread to interrupt, when it starts and when it ends.
  void Attach();
  void Detach();
  // Wakes the attached thread; nothing when none is attached or when called
  // on that thread itself (its own call is not blocked). Async-signal-safe:
  // a stop signal's handler may call it.
  void Interrupt() const;

private:
  std::atomic<pid_t> thread_id_{0};
};

}  // namespace tessel
