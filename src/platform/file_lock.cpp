#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/errors.h"

namespace tessel {
namespace {

constexpr const char* kCannotLock = "Cannot lock";
// A waiter looks again after 1 ms, then ever less often, up to this pause:
// quick when the holder is nearly done, cheap when it runs for hours, and
// still prompt enough to notice a stop.
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{50};

// Opens the lock file, making it when missing. A file that another user
// made may still be opened for reading, and an flock needs no more.
int OpenLockFile(const std::string& path, uint32_t mode) {
  const int flags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | flags, static_cast<mode_t>(mode & 0666));
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | flags);
  return fd;
}

}  // namespace

bool LockFile::TryAcquire(const std::string& path, uint32_t mode) {
  Release();
  for (;;) {
    FileHandle handle(OpenLockFile(path, mode));
    if (!handle.IsOpen()) ThrowHostError(kCannotLock, path);
    while (::flock(handle.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return false;
      if (errno != EINTR) ThrowHostError(kCannotLock, path);
    }
    // A holder deletes the file when it lets the lock go; whoever opened it
    // before that holds a lock on a file that no name leads to any more, and
    // starts again with the file now under the name.
    struct stat by_name {}, held {};
    if (::fstat(handle.Get(), &held) == 0 && ::lstat(path.c_str(), &by_name) == 0 &&
        by_name.st_dev == held.st_dev && by_name.st_ino == held.st_ino) {
      handle_ = std::move(handle);
      path_ = path;
      return true;
    }
  }
}

void LockFile::Acquire(const std::string& path, uint32_t mode, const std::function<void()>& on_wait,
                       const std::function<void()>& poll) {
  if (TryAcquire(path, mode)) return;
  if (on_wait) on_wait();
  auto pause = kFirstPause;
  for (;;) {
    if (poll) poll();
    std::this_thread::sleep_for(pause);
    if (TryAcquire(path, mode)) return;
    pause = std::min(pause * 2, kLongestPause);
  }
}

void LockFile::Release() {
  if (!handle_.IsOpen()) return;
  // Deleted while still held, so that nobody takes the lock of a file that
  // is about to go.
  ::unlink(path_.c_str());
  handle_.Close();
  path_.clear();
}

}  // namespace tessel
