#pragma once
// A file that no other process can open while the test holds it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace tessel::test {

// Keeps a file from being opened by any other process, root included: a
// child holds a write lease on it, so a non-blocking open elsewhere fails
// with EWOULDBLOCK for as long as the child lives.
class LeasedFile {
public:
  explicit LeasedFile(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::signal(SIGIO, SIG_IGN);  // a lease break must not end the holder
      const int fd = ::open(path.c_str(), O_RDWR);
      const char ok = (fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) ? '1' : '0';
      (void)!::write(ready[1], &ok, 1);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char ok = '0';
    held_ = child_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
  }
  ~LeasedFile() {
    if (child_ <= 0) return;
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
  LeasedFile(const LeasedFile&) = delete;
  LeasedFile& operator=(const LeasedFile&) = delete;
  bool Held() const { return held_; }

private:
  pid_t child_ = -1;
  bool held_ = false;
};

}  // namespace tessel::test
