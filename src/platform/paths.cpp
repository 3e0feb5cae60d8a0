#include "platform/paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/file_system.h"

namespace tessel {
namespace {

// Drops trailing "/" characters but keeps a lone root.
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return WithoutTrailingSlashes(home);
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr && *result->pw_dir != '\0') {
    return WithoutTrailingSlashes(result->pw_dir);
  }
  return "/";
}

std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return WithoutTrailingSlashes(xdg);
  return JoinPath(HomeFolder(), ".config");
}

std::string StateFolder() {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return WithoutTrailingSlashes(xdg);
  return JoinPath(HomeFolder(), ".local/state");
}

std::string CurrentFolder() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::string DirName(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string result(folder);
  if (!result.empty() && result.back() != '/') result += '/';
  result += name;
  return result;
}

std::string AbsolutePath(std::string_view path) {
  if (path.empty() || path.front() == '/') return std::string(path);
  const std::string here = CurrentFolder();
  return here.empty() ? std::string(path) : JoinPath(here, path);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return sys::Stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return sys::Stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolders(const std::string& path) {
  const std::string folder = WithoutTrailingSlashes(path);
  if (folder.empty() || folder == "/" || FolderExists(folder)) return true;
  const std::string parent = DirName(folder);
  if (!parent.empty() && parent != folder && !MakeFolders(parent)) return false;
  if (::mkdir(folder.c_str(), 0777) == 0) return true;
  // Another process may have made it in the meantime.
  const int error = errno;
  if (error == EEXIST && FolderExists(folder)) return true;
  errno = error == EEXIST ? ENOTDIR : error;
  return false;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
  data.clear();
  FileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      data.clear();
      return false;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace tessel
