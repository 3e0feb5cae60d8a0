#pragma once
// The file system of the host: file facts (type, size, time stamp, mode,
// identity), folder listings, opening source files safely, temporary files,
// deleting, renaming and flushing. Functions named Try... or returning bool
// report failure with errno set; the others raise EHostError with a text such
// as "Cannot open /data/x.txt: Permission denied".
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/paths.h"

struct statfs;

namespace tessel {

// The stat family of system calls. Every look at a file's type, size or
// times that the folder walk and the zip operation make goes through this
// table, so that a test can count them by putting a table of its own in
// place; the program never changes it, and a call costs one pointer more.
struct StatCalls {
  int (*Stat)(const char* path, struct stat* st);
  int (*LStat)(const char* path, struct stat* st);
  int (*FStat)(int fd, struct stat* st);
  int (*FStatAt)(int dir_fd, const char* name, struct stat* st, int flags);
  int (*StatFs)(const char* path, struct statfs* fs);
  int (*FStatFs)(int fd, struct statfs* fs);
};
// The system's own calls.
const StatCalls& SystemStatCalls();
// Puts a table in place (nullptr: the system's) and returns the one before.
// For tests; the table must outlive its use.
const StatCalls* SetStatCalls(const StatCalls* calls);

namespace sys {
// The calls of the table in place.
const StatCalls& Calls();
inline int Stat(const char* path, struct stat* st) { return Calls().Stat(path, st); }
inline int LStat(const char* path, struct stat* st) { return Calls().LStat(path, st); }
inline int FStat(int fd, struct stat* st) { return Calls().FStat(fd, st); }
inline int FStatAt(int dir_fd, const char* name, struct stat* st, int flags) {
  return Calls().FStatAt(dir_fd, name, st, flags);
}
inline int StatFs(const char* path, struct statfs* fs) { return Calls().StatFs(path, fs); }
inline int FStatFs(int fd, struct statfs* fs) { return Calls().FStatFs(fd, fs); }
}  // namespace sys

enum class FileType : uint8_t {
  ftMissing,      // nothing there (or a link that leads nowhere)
  ftRegular,
  ftDirectory,
  ftSymlink,      // the link itself (LStat, folder listings)
  ftFifo,
  ftSocket,
  ftCharDevice,
  ftBlockDevice,
  ftOther,
};

// A time as file systems stamp files.
struct FileTime {
  int64_t Seconds = 0;
  int32_t Nanoseconds = 0;
  auto operator<=>(const FileTime&) const = default;
};
// Now on the clock file systems stamp files with (the coarse real-time
// clock): a file changed after this call gets a time stamp not below it on a
// file system that stamps to the nanosecond.
FileTime FileClockNow();

// What stat tells about one file.
struct FileInfo {
  FileType Type = FileType::ftMissing;
  uint64_t Size = 0;              // bytes; 64-bit whatever the archive format holds
  int64_t MTimeSeconds = 0;       // last modification, seconds since the epoch
  int32_t MTimeNanoseconds = 0;
  int64_t CTimeSeconds = 0;       // last change of content or attributes
  int32_t CTimeNanoseconds = 0;
  uint32_t Mode = 0;              // st_mode: type and permission bits
  uint64_t Device = 0;            // st_dev and st_ino identify the file
  uint64_t Inode = 0;

  bool IsRegular() const { return Type == FileType::ftRegular; }
  bool IsDirectory() const { return Type == FileType::ftDirectory; }
  bool IsLink() const { return Type == FileType::ftSymlink; }
  FileTime MTime() const { return {MTimeSeconds, MTimeNanoseconds}; }
  FileTime CTime() const { return {CTimeSeconds, CTimeNanoseconds}; }
};

FileType FileTypeOfMode(uint32_t mode);
FileInfo FileInfoFromStat(const struct stat& st);

// stat (links followed) and lstat (the link itself). False with errno set
// when the path cannot be examined; info is then reset.
bool Stat(const std::string& path, FileInfo& info);
bool LStat(const std::string& path, FileInfo& info);
// stat that raises EHostError "Cannot examine <path>: ..." on failure.
FileInfo StatOrThrow(const std::string& path);

// Anything that stat finds (links followed, so a dangling link is absent).
bool PathExists(const std::string& path);
// A folder (links followed); the same test as FolderExists of paths.h.
inline bool DirectoryExists(const std::string& path) { return FolderExists(path); }
// FileExists (a regular file, links followed) is declared in paths.h.

// True when both are the same file on the same device; false when either
// cannot be examined. Names differing in case or spelled with "//" or "./"
// are still recognised as one file.
bool IsSameFile(const std::string& a, const std::string& b);
inline bool IsSameFile(const FileInfo& a, const FileInfo& b) {
  return a.Type != FileType::ftMissing && b.Type != FileType::ftMissing && a.Device == b.Device &&
         a.Inode == b.Inode;
}

// Owns one open file descriptor and closes it when it goes.
class FileHandle {
public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() { Close(); }
  FileHandle(FileHandle&& other) noexcept : fd_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; false with errno set when close reports an error.
  bool Close();

private:
  int fd_ = -1;
};

enum class OpenStatus : uint8_t {
  osOpened,      // open for reading
  osNotRegular,  // no longer a regular file: holds nothing to back up
  osFailed,      // could not be opened (ErrorNumber tells why)
};

struct OpenedFile {
  FileHandle Handle;                 // open only with osOpened
  OpenStatus Status = OpenStatus::osFailed;
  int ErrorNumber = 0;               // errno with osFailed
  // When the open was asked for (FileClockNow): a change of the file from
  // then on is a change while it is read.
  FileTime OpenedAt;
  // The reason in words: strerror for osFailed, "not a regular file" for
  // osNotRegular, empty for osOpened.
  std::string Reason() const;
};

// Whether the path (links followed) or the open file lies on a kernel file
// system that shows the system's state instead of holding stored data: proc,
// sysfs, devpts, debugfs, tracefs, securityfs, cgroup and the like. Their
// files hold nothing to back up, and reading some of them blocks for ever
// (/proc/kmsg). False when statfs fails.
bool IsPseudoFileSystem(const std::string& path);
bool IsPseudoFileSystem(int fd);

// IsPseudoFileSystem asked once per device: the walk knows each entry's
// device from its listing, so statfs runs only where a search meets a file
// system it has not seen (a mount point).
class PseudoFileSystems {
public:
  // Whether the file at path, on the given device, lies on a kernel file system.
  bool Contains(const std::string& path, uint64_t device);

private:
  std::vector<std::pair<uint64_t, bool>> known_;
};

// Opens for reading a file that a listing (or a stat of its path) found to
// be a regular file on a file system that holds data, without examining it
// again: with O_NONBLOCK, so that a FIFO put in its place since is never
// waited for, and, unless follow_links, with O_NOFOLLOW, so that a link put
// in its place is never followed (osNotRegular). What the descriptor leads
// to is told by fstat of it once the file is read. Never throws.
OpenedFile OpenListedFile(const std::string& path, bool follow_links);

// fstat of an open file as a FileInfo; false with errno set on failure.
bool FStat(int fd, FileInfo& info);

// One entry of a folder listing: its name and what one fstatat of it (links
// not followed) tells. A link is ftSymlink whatever it leads to; an entry
// that vanished between the listing and its fstatat is ftMissing.
struct DirectoryEntry {
  std::string Name;
  FileInfo Info;
};

// Which entries a listing keeps, from the name and the type the folder
// itself reports (ftMissing when it reports none; the entry is then examined
// first and asked about again with its real type).
using DirectoryFilter = std::function<bool(std::string_view name, FileType type)>;

// Lists the entries of a folder except "." and ".." in one pass, with one
// fstatat of each entry kept (all of them without a filter), sorted by name
// in byte order so that a listing is the same from run to run. False with
// errno set (entries empty) when the folder cannot be read. An empty folder
// text lists the current folder.
bool ReadDirectory(const std::string& folder, std::vector<DirectoryEntry>& entries,
                   const DirectoryFilter& keep = {});

// A new, uniquely named empty file, open for reading and writing, with the
// name folder + "/" + prefix + six characters of A-Z, a-z and 0-9. The
// handle holds an exclusive flock on it, so that whoever clears away files
// left by killed processes can tell a live one (RemoveStaleTempFiles).
struct TempFile {
  FileHandle Handle;
  std::string Path;
};
// mode: the permission bits asked for, less the umask as for any new file.
// An empty folder text puts the file in the current folder. Raises EHostError
// "Cannot create <folder>/<prefix>XXXXXX: ..." on failure.
TempFile MakeTempFile(const std::string& folder, std::string_view prefix, uint32_t mode = 0600);
// Whether a file name has the form MakeTempFile gives with this prefix.
bool IsTempFileName(std::string_view name, std::string_view prefix);
// Deletes the files of the folder whose names MakeTempFile could have given
// with this prefix and that no process holds a flock on: they were left by a
// process that was killed while it wrote them. A file that is held, is not
// a regular file, or cannot be deleted stays. Returns the number deleted.
size_t RemoveStaleTempFiles(const std::string& folder, std::string_view prefix);

// unlink: raises "Cannot delete <path>: ...". TryDeleteFile returns false
// with errno set instead (for clean-up paths that must not throw).
void DeleteFile(const std::string& path);
bool TryDeleteFile(const std::string& path);
// rename(2), atomic within one file system: raises "Cannot rename <from> to
// <to>: ..." (EXDEV when the two lie in different file systems).
void RenameFile(const std::string& from, const std::string& to);
// fchmod to the permission bits of mode: raises "Cannot set the mode of <path>: ...".
void SetFileMode(int fd, uint32_t mode, const std::string& path);

// fsync of an open file: raises "Cannot flush <path>: ...".
void FsyncFile(int fd, const std::string& path);
// Puts a folder's entries (a rename just made in it) on disk. False with
// errno set on failure: some file systems refuse to sync folders, and the
// rename before it has already taken effect, so callers usually go on.
bool FsyncDirectory(const std::string& folder);

}  // namespace tessel
