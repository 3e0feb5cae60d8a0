#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/errors.h"

namespace tessel {
namespace {

constexpr const char* kNotRegularReason = "not a regular file";

// Kernel file systems whose files show the system's state: the ones every
// Linux system mounts, and those the kernel offers for its own interfaces.
constexpr uint32_t kConfigFsMagic = 0x62656570;
constexpr uint32_t kFuseCtlMagic = 0x65735543;
constexpr uint32_t kMqueueMagic = 0x19800202;
constexpr uint32_t kRpcPipeFsMagic = 0x67596969;
constexpr uint32_t kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC,   SYSFS_MAGIC,     DEVPTS_SUPER_MAGIC, DEBUGFS_MAGIC,      TRACEFS_MAGIC,
    SECURITYFS_MAGIC,   CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC,    PSTOREFS_MAGIC,
    EFIVARFS_MAGIC,     SELINUX_MAGIC,   SMACK_MAGIC,        BINFMTFS_MAGIC,     NSFS_MAGIC,
    kConfigFsMagic,     kFuseCtlMagic,   kMqueueMagic,       kRpcPipeFsMagic,
};

bool IsPseudoType(const struct statfs& fs) {
  const auto type = static_cast<uint32_t>(fs.f_type);
  return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), type) !=
         std::end(kPseudoFileSystems);
}

// Closes a DIR stream when it goes out of scope.
class DirStream {
public:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  ~DirStream() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  DIR* Get() const { return dir_; }

private:
  DIR* dir_;
};

FileType FileTypeOfDirent(unsigned char d_type) {
  switch (d_type) {
    case DT_REG: return FileType::ftRegular;
    case DT_DIR: return FileType::ftDirectory;
    case DT_LNK: return FileType::ftSymlink;
    case DT_FIFO: return FileType::ftFifo;
    case DT_SOCK: return FileType::ftSocket;
    case DT_CHR: return FileType::ftCharDevice;
    case DT_BLK: return FileType::ftBlockDevice;
    default: return FileType::ftMissing;  // DT_UNKNOWN: ask stat
  }
}

}  // namespace

FileType FileTypeOfMode(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return FileType::ftRegular;
    case S_IFDIR: return FileType::ftDirectory;
    case S_IFLNK: return FileType::ftSymlink;
    case S_IFIFO: return FileType::ftFifo;
    case S_IFSOCK: return FileType::ftSocket;
    case S_IFCHR: return FileType::ftCharDevice;
    case S_IFBLK: return FileType::ftBlockDevice;
    default: return FileType::ftOther;
  }
}

FileInfo FileInfoFromStat(const struct stat& st) {
  FileInfo info;
  info.Type = FileTypeOfMode(st.st_mode);
  info.Size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  info.MTimeSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  info.MTimeNanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec);
  info.Mode = static_cast<uint32_t>(st.st_mode);
  info.Device = static_cast<uint64_t>(st.st_dev);
  info.Inode = static_cast<uint64_t>(st.st_ino);
  return info;
}

bool Stat(const std::string& path, FileInfo& info) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    info = FileInfo();
    return false;
  }
  info = FileInfoFromStat(st);
  return true;
}

bool LStat(const std::string& path, FileInfo& info) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    info = FileInfo();
    return false;
  }
  info = FileInfoFromStat(st);
  return true;
}

FileInfo StatOrThrow(const std::string& path) {
  FileInfo info;
  if (!Stat(path, info)) ThrowHostError("Cannot examine", path);
  return info;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  FileInfo ia, ib;
  return Stat(a, ia) && Stat(b, ib) && IsSameFile(ia, ib);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

bool FileHandle::Close() {
  if (fd_ < 0) return true;
  // Linux releases the descriptor even when close reports an error, so it
  // is never retried.
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

std::string OpenedFile::Reason() const {
  switch (Status) {
    case OpenStatus::osOpened: return {};
    case OpenStatus::osNotRegular: return kNotRegularReason;
    case OpenStatus::osFailed: break;
  }
  return std::strerror(ErrorNumber);
}

bool IsPseudoFileSystem(const std::string& path) {
  struct statfs fs {};
  return ::statfs(path.empty() ? "." : path.c_str(), &fs) == 0 && IsPseudoType(fs);
}

bool IsPseudoFileSystem(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 && IsPseudoType(fs);
}

OpenedFile OpenRegularFileForReading(const std::string& path) {
  OpenedFile result;
  // Looking first keeps FIFOs and devices closed: opening some devices has
  // effects of its own (a tape rewinds, a modem line is taken), and opening
  // some kernel files takes what they hold from whoever else reads them.
  if (!Stat(path, result.Info)) {
    result.ErrorNumber = errno;
    return result;
  }
  if (!result.Info.IsRegular() || IsPseudoFileSystem(path)) {
    result.Status = OpenStatus::osNotRegular;
    return result;
  }
  FileHandle handle(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!handle.IsOpen()) {
    result.ErrorNumber = errno;
    return result;
  }
  struct stat st {};
  if (::fstat(handle.Get(), &st) != 0) {
    result.ErrorNumber = errno;
    return result;
  }
  result.Info = FileInfoFromStat(st);
  if (!result.Info.IsRegular() || IsPseudoFileSystem(handle.Get())) {
    result.Status = OpenStatus::osNotRegular;
    return result;
  }
  // Reads of a regular file never block anyway; clearing the flag keeps the
  // descriptor ordinary for whoever reads it.
  const int flags = ::fcntl(handle.Get(), F_GETFL);
  if (flags >= 0) ::fcntl(handle.Get(), F_SETFL, flags & ~O_NONBLOCK);
  result.Handle = std::move(handle);
  result.Status = OpenStatus::osOpened;
  return result;
}

bool ReadDirectory(const std::string& folder, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  const std::string where = folder.empty() ? std::string(".") : folder;
  DirStream dir(::opendir(where.c_str()));
  if (dir.Get() == nullptr) return false;
  const int dir_fd = ::dirfd(dir.Get());
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.Get());
    if (entry == nullptr) {
      if (errno != 0) {
        const int error = errno;
        entries.clear();
        errno = error;
        return false;
      }
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    DirectoryEntry item;
    item.Name = name;
    item.Type = FileTypeOfDirent(entry->d_type);
    if (item.Type == FileType::ftMissing) {
      struct stat st {};
      if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) item.Type = FileTypeOfMode(st.st_mode);
    }
    if (item.Type == FileType::ftSymlink) {
      item.IsLink = true;
      struct stat st {};
      item.Type = ::fstatat(dir_fd, name, &st, 0) == 0 ? FileTypeOfMode(st.st_mode) : FileType::ftMissing;
    }
    entries.push_back(std::move(item));
  }
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.Name < b.Name; });
  return true;
}

void CreateDirectories(const std::string& path) {
  if (!MakeFolders(path)) ThrowHostError("Cannot create directory", path);
}

TempFile MakeTempFile(const std::string& folder, std::string_view prefix) {
  std::string name = folder.empty() ? std::string() : JoinPath(folder, "");
  name.append(prefix);
  name += "XXXXXX";
  const std::string name_template = name;  // mkostemp may change it even when it fails
  TempFile file;
  file.Handle = FileHandle(::mkostemp(name.data(), O_CLOEXEC));
  if (!file.Handle.IsOpen()) ThrowHostError("Cannot create", name_template);
  file.Path = std::move(name);
  return file;
}

void DeleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) ThrowHostError("Cannot delete", path);
}

bool TryDeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

void RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowHostError("Cannot rename " + from + " to", to);
}

void SetFileMode(int fd, uint32_t mode, const std::string& path) {
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) ThrowHostError("Cannot set the mode of", path);
}

void FsyncFile(int fd, const std::string& path) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) ThrowHostError("Cannot flush", path);
  }
}

bool FsyncDirectory(const std::string& folder) {
  FileHandle dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.IsOpen()) return false;
  while (::fsync(dir.Get()) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    const int error = errno;
    if (error != ERANGE || buffer.size() > (1u << 20)) {
      throw EHostError(std::string("Cannot get the current directory: ") + std::strerror(error), error);
    }
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace tessel
