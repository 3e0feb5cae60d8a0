#include "app/retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "app/archive_guard.h"
#include "platform/errors.h"
#include "platform/file_lock.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

constexpr const char* kReasonBusy = "архив занят другим запуском";
constexpr const char* kReasonChanged = "файл заменён во время удаления";
// The lock file taken while an old archive is deleted; nobody else's.
constexpr uint32_t kLockFileMode = 0600;

struct OldArchive {
  std::string Name;
  int64_t Seconds = 0;
  int32_t Nanoseconds = 0;
  uint64_t Device = 0;
  uint64_t Inode = 0;
};

// Regular files only: folders, links and anything else are never archives
// to delete.
bool RegularFileAt(int folder, const std::string& name, struct stat& st) {
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

RetentionResult ApplyRetention(const std::string& archive, std::string_view file_name_template, int32_t keep) {
  RetentionResult result;
  if (keep <= 0) return result;
  const ArchiveNamePattern pattern = ArchiveNamePattern::Exact(BaseName(file_name_template));
  if (!pattern.HasTokens()) return result;
  const size_t slash = archive.rfind('/');
  if (slash == std::string::npos) return result;
  const std::string folder = slash == 0 ? std::string("/") : archive.substr(0, slash);
  const std::string own_name = archive.substr(slash + 1);
  FileInfo own;
  Stat(archive, own);

  const std::unique_ptr<DIR, int (*)(DIR*)> owned(::opendir(folder.c_str()), ::closedir);
  DIR* listing = owned.get();
  if (listing == nullptr) {
    result.Failed.push_back(folder + ": " + std::strerror(errno));
    return result;
  }
  const int folder_fd = ::dirfd(listing);
  std::vector<OldArchive> old;
  while (const dirent* e = ::readdir(listing)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == own_name || !pattern.Fits(name)) continue;
    struct stat st {};
    if (!RegularFileAt(folder_fd, name, st)) continue;
    const FileInfo info = FileInfoFromStat(st);
    // Another name of the archive just written is that archive.
    if (IsSameFile(info, own)) continue;
    old.push_back({name, info.MTimeSeconds, info.MTimeNanoseconds, info.Device, info.Inode});
  }

  if (old.size() + 1 > static_cast<size_t>(keep)) {
    std::sort(old.begin(), old.end(), [](const OldArchive& a, const OldArchive& b) {
      if (a.Seconds != b.Seconds) return a.Seconds < b.Seconds;
      if (a.Nanoseconds != b.Nanoseconds) return a.Nanoseconds < b.Nanoseconds;
      return a.Name < b.Name;
    });
    const size_t excess = old.size() + 1 - static_cast<size_t>(keep);
    for (size_t i = 0; i < excess; ++i) {
      const std::string path = JoinPath(folder, old[i].Name);
      // A run that is writing this archive holds its lock: it stays.
      LockFile lock;
      try {
        if (!lock.TryAcquire(path + kArchiveLockSuffix, kLockFileMode)) {
          result.Failed.push_back(path + ": " + kReasonBusy);
          continue;
        }
      } catch (const EHostError& error) {
        result.Failed.push_back(error.what());
        continue;
      }
      // Still the file that was listed, not something put in its place.
      struct stat st {};
      if (!RegularFileAt(folder_fd, old[i].Name, st) || static_cast<uint64_t>(st.st_dev) != old[i].Device ||
          static_cast<uint64_t>(st.st_ino) != old[i].Inode) {
        result.Failed.push_back(path + ": " + kReasonChanged);
        continue;
      }
      if (::unlinkat(folder_fd, old[i].Name.c_str(), 0) != 0) {
        result.Failed.push_back(path + ": " + std::strerror(errno));
        continue;
      }
      result.Deleted.push_back(path);
    }
  }
  return result;
}

}  // namespace tessel
