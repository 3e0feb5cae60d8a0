#pragma once
// Counts the stat-family calls (stat, lstat, fstat, fstatat, statfs,
// fstatfs) that the program makes through its file system layer while an
// object of this class is in place.
#include <sys/stat.h>
#include <sys/statfs.h>

#include <atomic>

#include "platform/file_system.h"

namespace tessel::test {

class CountingStatCalls {
public:
  CountingStatCalls() {
    count_ = 0;
    previous_ = SetStatCalls(&kTable);
  }
  ~CountingStatCalls() { SetStatCalls(previous_); }
  CountingStatCalls(const CountingStatCalls&) = delete;
  CountingStatCalls& operator=(const CountingStatCalls&) = delete;

  static int Count() { return count_.load(); }

private:
  static int Counted(int result) {
    ++count_;
    return result;
  }
  static inline std::atomic<int> count_{0};
  static constexpr StatCalls kTable = {
      [](const char* p, struct stat* st) { return Counted(SystemStatCalls().Stat(p, st)); },
      [](const char* p, struct stat* st) { return Counted(SystemStatCalls().LStat(p, st)); },
      [](int fd, struct stat* st) { return Counted(SystemStatCalls().FStat(fd, st)); },
      [](int dir, const char* p, struct stat* st, int flags) {
        return Counted(SystemStatCalls().FStatAt(dir, p, st, flags));
      },
      [](const char* p, struct statfs* fs) { return Counted(SystemStatCalls().StatFs(p, fs)); },
      [](int fd, struct statfs* fs) { return Counted(SystemStatCalls().FStatFs(fd, fs)); },
  };
  const StatCalls* previous_ = nullptr;
};

}  // namespace tessel::test
