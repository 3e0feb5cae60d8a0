#include "platform/paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/errors.h"

namespace tessel {
namespace {

// Drops trailing "/" characters but keeps a lone root.
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }
  // Closes now; false (errno set) when close reports an error.
  bool Close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

private:
  int fd_;
};

// The file that a path finally names, following symbolic links, so that a
// replacement keeps a link in place; the path itself when it is no link or
// its target cannot be resolved (a dangling link is then replaced).
std::string ReplacementTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

// Flushes a folder's entries to disk; errors are not fatal after a rename
// (the new content is in place), so they are ignored.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
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
    if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
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
  return JoinPath(CurrentFolder(), path);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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

void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const WriteFunction& write_function) {
  const std::string target = ReplacementTarget(path);
  // A rename would slip past a write-protected file; honour the protection.
  if (::access(target.c_str(), W_OK) != 0 && errno != ENOENT) ThrowHostError("Cannot write", target);
  const std::string folder = DirName(target);
  std::string temp_name = JoinPath(folder, "." + BaseName(target) + ".XXXXXX");
  if (folder.empty()) temp_name = "." + BaseName(target) + ".XXXXXX";

  FileDescriptor fd(::mkstemp(temp_name.data()));
  if (fd.Get() < 0) ThrowHostError("Cannot create", temp_name);
  // From here on every failure removes the temporary file.
  auto fail = [&](const char* what, const std::string& name) {
    const int error = errno;
    fd.Close();
    ::unlink(temp_name.c_str());
    ThrowHostError(what, name, error);
  };

  // The new file keeps the old one's permission bits; a new file gets the
  // usual 0666 less the umask instead of mkstemp's 0600.
  struct stat st {};
  mode_t mode;
  if (::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd.Get(), mode) != 0) fail("Cannot set the mode of", temp_name);

  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write_function ? write_function(fd.Get(), data.data() + done, data.size() - done)
                                     : ::write(fd.Get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("Cannot write", temp_name);
    }
    if (n == 0) {
      errno = EIO;
      fail("Cannot write", temp_name);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.Get()) != 0) fail("Cannot flush", temp_name);
  if (!fd.Close()) fail("Cannot close", temp_name);
  if (::rename(temp_name.c_str(), target.c_str()) != 0) fail("Cannot replace", target);
  SyncFolder(folder);
}

}  // namespace tessel
