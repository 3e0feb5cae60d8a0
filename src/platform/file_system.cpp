#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "platform/errors.h"

namespace tessel {
namespace {

int SystemStat(const char* path, struct stat* st) { return ::stat(path, st); }
int SystemLStat(const char* path, struct stat* st) { return ::lstat(path, st); }
int SystemFStat(int fd, struct stat* st) { return ::fstat(fd, st); }
int SystemFStatAt(int dir_fd, const char* name, struct stat* st, int flags) {
  return ::fstatat(dir_fd, name, st, flags);
}
int SystemStatFs(const char* path, struct statfs* fs) { return ::statfs(path, fs); }
int SystemFStatFs(int fd, struct statfs* fs) { return ::fstatfs(fd, fs); }

constexpr StatCalls kSystemStatCalls = {SystemStat,    SystemLStat,  SystemFStat,
                                        SystemFStatAt, SystemStatFs, SystemFStatFs};
std::atomic<const StatCalls*> g_stat_calls{&kSystemStatCalls};

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

// The random part of a temporary file's name.
constexpr char kTempNameCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kTempNameRandomLength = 6;
constexpr int kTempNameAttempts = 1000;

bool IsTempNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::string RandomTempNamePart() {
  uint8_t bytes[kTempNameRandomLength] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the kernel's generator: a clock and a counter still make names
    // that differ from try to try, and O_EXCL keeps them unique.
    static std::atomic<uint64_t> counter{0};
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (uint8_t& b : bytes) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      b = static_cast<uint8_t>(seed >> 56);
    }
  }
  std::string part(kTempNameRandomLength, ' ');
  for (size_t i = 0; i < kTempNameRandomLength; ++i) part[i] = kTempNameCharacters[bytes[i] % (sizeof kTempNameCharacters - 1)];
  return part;
}

// Takes an exclusive flock on a file just made. A file system without flock
// gives none (false); the file then cannot be told from a stale one, and
// RemoveStaleTempFiles, unable to lock it either, leaves it alone.
bool LockNewFile(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Whether the name in the folder still leads to the open file.
bool NameLeadsTo(const std::string& path, int fd) {
  struct stat by_name {}, by_fd {};
  return sys::LStat(path.c_str(), &by_name) == 0 && sys::FStat(fd, &by_fd) == 0 && by_name.st_dev == by_fd.st_dev &&
         by_name.st_ino == by_fd.st_ino;
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

const StatCalls& SystemStatCalls() { return kSystemStatCalls; }

const StatCalls* SetStatCalls(const StatCalls* calls) {
  return g_stat_calls.exchange(calls != nullptr ? calls : &kSystemStatCalls);
}

namespace sys {
const StatCalls& Calls() { return *g_stat_calls.load(std::memory_order_relaxed); }
}  // namespace sys

FileTime FileClockNow() {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return {static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec)};
}

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
  info.CTimeSeconds = static_cast<int64_t>(st.st_ctim.tv_sec);
  info.CTimeNanoseconds = static_cast<int32_t>(st.st_ctim.tv_nsec);
  info.Mode = static_cast<uint32_t>(st.st_mode);
  info.Device = static_cast<uint64_t>(st.st_dev);
  info.Inode = static_cast<uint64_t>(st.st_ino);
  return info;
}

bool Stat(const std::string& path, FileInfo& info) {
  struct stat st {};
  if (sys::Stat(path.c_str(), &st) != 0) {
    info = FileInfo();
    return false;
  }
  info = FileInfoFromStat(st);
  return true;
}

bool LStat(const std::string& path, FileInfo& info) {
  struct stat st {};
  if (sys::LStat(path.c_str(), &st) != 0) {
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
  return sys::Stat(path.c_str(), &st) == 0;
}

bool FStat(int fd, FileInfo& info) {
  struct stat st {};
  if (sys::FStat(fd, &st) != 0) {
    info = FileInfo();
    return false;
  }
  info = FileInfoFromStat(st);
  return true;
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
  return sys::StatFs(path.empty() ? "." : path.c_str(), &fs) == 0 && IsPseudoType(fs);
}

bool IsPseudoFileSystem(int fd) {
  struct statfs fs {};
  return sys::FStatFs(fd, &fs) == 0 && IsPseudoType(fs);
}

bool PseudoFileSystems::Contains(const std::string& path, uint64_t device) {
  for (const auto& [known_device, pseudo] : known_)
    if (known_device == device) return pseudo;
  const bool pseudo = IsPseudoFileSystem(path);
  known_.emplace_back(device, pseudo);
  return pseudo;
}

OpenedFile OpenListedFile(const std::string& path, bool follow_links) {
  OpenedFile result;
  result.OpenedAt = FileClockNow();
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
  FileHandle handle;
  do {
    handle = FileHandle(::open(path.c_str(), flags));
  } while (!handle.IsOpen() && errno == EINTR);
  if (!handle.IsOpen()) {
    // With O_NOFOLLOW, ELOOP says the name has become a link since it was
    // listed as a file.
    if (errno == ELOOP && !follow_links) {
      result.Status = OpenStatus::osNotRegular;
    } else {
      result.ErrorNumber = errno;
    }
    return result;
  }
  result.Handle = std::move(handle);
  result.Status = OpenStatus::osOpened;
  return result;
}

bool ReadDirectory(const std::string& folder, std::vector<DirectoryEntry>& entries, const DirectoryFilter& keep) {
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
    const FileType listed = FileTypeOfDirent(entry->d_type);
    if (keep && listed != FileType::ftMissing && !keep(name, listed)) continue;
    DirectoryEntry item;
    item.Name = name;
    struct stat st {};
    // Gone since the listing: kept as ftMissing, so the caller sees a name
    // that was there and is no more.
    if (sys::FStatAt(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) item.Info = FileInfoFromStat(st);
    if (keep && listed == FileType::ftMissing && !keep(name, item.Info.Type)) continue;
    entries.push_back(std::move(item));
  }
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.Name < b.Name; });
  return true;
}

TempFile MakeTempFile(const std::string& folder, std::string_view prefix, uint32_t mode) {
  std::string base = folder.empty() ? std::string() : JoinPath(folder, "");
  base.append(prefix);
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    TempFile file;
    file.Path = base + RandomTempNamePart();
    file.Handle = FileHandle(::open(file.Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                    static_cast<mode_t>(mode & 07777)));
    if (!file.Handle.IsOpen()) {
      if (errno == EEXIST) continue;
      ThrowHostError("Cannot create", base + "XXXXXX");
    }
    // A cleaner may have taken the file for a stale one between its creation
    // and the lock; then the name is gone, and another is tried.
    if (LockNewFile(file.Handle.Get()) && !NameLeadsTo(file.Path, file.Handle.Get())) continue;
    return file;
  }
  ThrowHostError("Cannot create", base + "XXXXXX", EEXIST);
}

bool IsTempFileName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kTempNameRandomLength || !name.starts_with(prefix)) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), IsTempNameCharacter);
}

size_t RemoveStaleTempFiles(const std::string& folder, std::string_view prefix) {
  std::vector<DirectoryEntry> entries;
  // Only the names such a file can have are examined.
  auto candidate = [prefix](std::string_view name, FileType type) {
    return (type == FileType::ftRegular || type == FileType::ftMissing) && IsTempFileName(name, prefix);
  };
  if (!ReadDirectory(folder, entries, candidate)) return 0;
  size_t removed = 0;
  for (const DirectoryEntry& entry : entries) {
    if (!entry.Info.IsRegular()) continue;
    const std::string path = folder.empty() ? entry.Name : JoinPath(folder, entry.Name);
    FileHandle handle(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!handle.IsOpen()) continue;
    struct stat st {};
    if (sys::FStat(handle.Get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Whoever writes the file holds its lock until the file is finished.
    if (::flock(handle.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    if (NameLeadsTo(path, handle.Get()) && ::unlink(path.c_str()) == 0) ++removed;
  }
  return removed;
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

}  // namespace tessel
