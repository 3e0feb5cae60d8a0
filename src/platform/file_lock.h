#pragma once
// An exclusive lock that cooperating processes take through a lock file: an
// flock on it, which the system drops when its holder ends in any way, so a
// killed process never leaves a lock behind that blocks the next one.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_system.h"

namespace tessel {

class LockFile {
public:
  LockFile() = default;
  ~LockFile() { Release(); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Tries once to take the lock of the lock file at path, making the file
  // (with the permission bits of mode, less the umask) when it is missing.
  // True when taken; false when another holder has it. Raises EHostError
  // "Cannot lock <path>: ..." when the file can be neither made nor opened.
  bool TryAcquire(const std::string& path, uint32_t mode);
  // Takes the lock, waiting as long as another holder has it: on_wait is
  // called once when the wait begins, and poll between tries, a few times a
  // second at least; either may throw to give the wait up.
  void Acquire(const std::string& path, uint32_t mode, const std::function<void()>& on_wait,
               const std::function<void()>& poll);
  // Deletes the lock file and lets the lock go; nothing when not held.
  void Release();

  bool Held() const { return handle_.IsOpen(); }
  const std::string& Path() const { return path_; }

private:
  FileHandle handle_;
  std::string path_;
};

}  // namespace tessel
