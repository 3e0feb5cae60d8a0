#include "support/processes.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace tessel::test {
namespace {

int ExitStatusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

// The status a child gives when it could not give up root.
constexpr int kCouldNotDropRoot = 127;

}  // namespace

int Shell(const std::string& command) { return ExitStatusOf(std::system(command.c_str())); }

ShellResult ShellOutput(const std::string& command) {
  ShellResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.Output.append(buffer, n);
  result.Status = ExitStatusOf(::pclose(pipe));
  return result;
}

bool HaveTool(const std::string& name) { return Shell("command -v '" + name + "' > /dev/null 2>&1") == 0; }

bool CopyRunnable(const std::string& program, const std::string& copy) {
  namespace fs = std::filesystem;
  constexpr fs::perms kEveryoneRuns = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec;
  std::error_code error;
  const fs::path folder = fs::path(copy).parent_path();
  fs::create_directories(folder, error);
  fs::permissions(folder, kEveryoneRuns, error);
  if (!fs::copy_file(program, copy, fs::copy_options::overwrite_existing, error)) return false;
  fs::permissions(copy, kEveryoneRuns, error);
  return !error;
}

int RunAsNobody(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(kCouldNotDropRoot);
    }
    ::_exit(body());
  }
  int raw = 0;
  if (::waitpid(child, &raw, 0) != child) return -1;
  const int status = ExitStatusOf(raw);
  return status == kCouldNotDropRoot ? -1 : status;
}

bool EndsBySignal(const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    body();
    ::_exit(0);
  }
  int raw = 0;
  return ::waitpid(child, &raw, 0) == child && WIFSIGNALED(raw);
}

}  // namespace tessel::test
