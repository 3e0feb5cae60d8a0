#pragma once
// The file system of the host: file facts (type, size, time stamp, mode,
// identity), folder listings, opening source files safely, temporary files,
// deleting, renaming and flushing. Functions named Try... or returning bool
// report failure with errno set; the others raise EHostError with a text such
// as "Cannot open /data/x.txt: Permission denied".
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace tessel {

enum class FileType : uint8_t {
  ftMissing,      // nothing there (or a link that leads nowhere)
  ftRegular,
  ftDirectory,
  ftSymlink,      // only from LStat: the link itself
  ftFifo,
  ftSocket,
  ftCharDevice,
  ftBlockDevice,
  ftOther,
};

// What stat tells about one file.
struct FileInfo {
  FileType Type = FileType::ftMissing;
  uint64_t Size = 0;              // bytes; 64-bit whatever the archive format holds
  int64_t MTimeSeconds = 0;       // last modification, seconds since the epoch
  int32_t MTimeNanoseconds = 0;
  uint32_t Mode = 0;              // st_mode: type and permission bits
  uint64_t Device = 0;            // st_dev and st_ino identify the file
  uint64_t Inode = 0;

  bool IsRegular() const { return Type == FileType::ftRegular; }
  bool IsDirectory() const { return Type == FileType::ftDirectory; }
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
  osOpened,      // a regular file, open for reading
  osNotRegular,  // a folder, FIFO, socket or device: holds nothing to back up
  osFailed,      // could not be examined or opened (ErrorNumber tells why)
};

struct OpenedFile {
  FileHandle Handle;                 // open only with osOpened
  FileInfo Info;                     // fstat of the open file (stat for osNotRegular)
  OpenStatus Status = OpenStatus::osFailed;
  int ErrorNumber = 0;               // errno with osFailed
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

// Opens a source file for reading without ever blocking on or reading from
// anything but a regular file: the path is examined first (a FIFO, socket or
// device, or any file of a kernel file system, is never opened), then opened
// with O_NONBLOCK and kept only when fstat and fstatfs of the descriptor
// still agree (a file swapped for a FIFO in between is caught). Links are
// followed. Never throws.
OpenedFile OpenRegularFileForReading(const std::string& path);

// One entry of a folder listing.
struct DirectoryEntry {
  std::string Name;
  // The type of what the name leads to: a link to a file is ftRegular, a link
  // to a folder ftDirectory, a dangling link ftMissing.
  FileType Type = FileType::ftMissing;
  bool IsLink = false;  // the name itself is a symbolic link
};

// Lists every entry of a folder except "." and "..", sorted by name in byte
// order so that a listing is the same from run to run. False with errno set
// (entries empty) when the folder cannot be read. An empty folder text lists
// the current folder.
bool ReadDirectory(const std::string& folder, std::vector<DirectoryEntry>& entries);

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
