#include "platform/thread_interrupter.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

namespace tessel {
namespace {

static_assert(std::atomic<pid_t>::is_always_lock_free, "a signal handler reads the thread's id");

extern "C" void OnThreadWake(int) {}

pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

}  // namespace

int ThreadWakeSignal() { return SIGURG; }

ThreadInterrupter::ThreadInterrupter() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = OnThreadWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked call returns EINTR
    ::sigaction(ThreadWakeSignal(), &action, nullptr);
  });
}

void ThreadInterrupter::Attach() { thread_id_.store(CurrentThreadId()); }

void ThreadInterrupter::Detach() { thread_id_.store(0); }

void ThreadInterrupter::Interrupt() const {
  const pid_t thread = thread_id_.load();
  // tgkill names the thread by the kernel's id within this process: a thread
  // that has just ended is no longer there (ESRCH), nothing else is hit.
  if (thread == 0 || thread == CurrentThreadId()) return;
  ::syscall(SYS_tgkill, ::getpid(), thread, ThreadWakeSignal());
}

}  // namespace tessel
