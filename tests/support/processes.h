#pragma once
// Running programs from a test: shell commands, the tools a test needs, and
// code run as an unprivileged user.
#include <sys/types.h>

#include <functional>
#include <string>

namespace tessel::test {

// The user "nobody": the machine and CI run the tests as root, where
// permission bits stop nothing.
inline constexpr uid_t kNobody = 65534;

struct ShellResult {
  int Status = -1;     // the exit status, -1 when the command did not exit
  std::string Output;  // what it wrote to standard output
};

// Runs a shell command; its exit status, -1 when it did not exit.
[[nodiscard]] int Shell(const std::string& command);
// Runs a shell command and keeps its standard output (add " 2>&1" to the
// command for its errors too).
ShellResult ShellOutput(const std::string& command);
// Whether the shell finds a program of that name.
bool HaveTool(const std::string& name);

// Copies the program at `program` (a link is followed) to the path `copy`,
// making its folder, so that every user may reach and run the copy: the
// build folder may lie where an unprivileged user cannot (below /root, say).
// False when the copy could not be made.
bool CopyRunnable(const std::string& program, const std::string& copy);

// Runs body in a child process that has given up root for "nobody" (when the
// test runs as root; otherwise as the test's own user). Returns the child's
// exit status, which is body's result, or -1 when the child could not give
// up root or did not exit.
int RunAsNobody(const std::function<int()>& body);

// Runs body in a child process, which ends when body returns; true when a
// signal ended the child instead (body killed itself half way, say).
bool EndsBySignal(const std::function<void()>& body);

}  // namespace tessel::test
