#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/paths.h"

namespace tessel {
namespace {

// Asked for a new file; the umask (and a folder's default ACL) take their
// part, as for any file the user's programs make.
constexpr uint32_t kNewFileMode = 0666;
// While it is written, only its owner may read the content.
constexpr uint32_t kPrivateMode = 0600;
constexpr size_t kCopyBlockSize = 131072;

// Writes all of data at the descriptor's position; false with errno set.
bool WriteAll(int fd, const uint8_t* data, size_t size, const WriteFunction& write_function) {
  while (size > 0) {
    const ssize_t n = write_function ? write_function(fd, data, size) : ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ReplacementTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

AtomicFileWriter::AtomicFileWriter(const std::string& path, std::string_view prefix,
                                   const std::string& temp_folder)
    : target_(ReplacementTarget(path)), prefix_(prefix) {
  TempFile temp = MakeTempFile(temp_folder.empty() ? DirName(target_) : temp_folder, prefix, kNewFileMode);
  temp_path_ = std::move(temp.Path);
  handle_ = std::move(temp.Handle);
  // The bits it was made with are those of any new file there; reading them
  // back tells the umask without setting it, which would race with other
  // threads making files meanwhile.
  struct stat st {};
  if (::fstat(handle_.Get(), &st) != 0 || ::fchmod(handle_.Get(), kPrivateMode) != 0) {
    const int error = errno;
    ::unlink(temp_path_.c_str());
    ThrowHostError("Cannot set the mode of", temp_path_, error);
  }
  new_file_mode_ = st.st_mode & 07777;
}

AtomicFileWriter::~AtomicFileWriter() {
  if (!committed_ && !keep_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void AtomicFileWriter::KeepTemporary(std::string_view suffix) {
  keep_ = true;
  const std::string kept = temp_path_ + std::string(suffix);
  if (::rename(temp_path_.c_str(), kept.c_str()) == 0) temp_path_ = kept;
}

FileHandle AtomicFileWriter::DuplicateHandle() const {
  FileHandle copy(::fcntl(handle_.Get(), F_DUPFD_CLOEXEC, 0));
  if (!copy.IsOpen()) ThrowHostError("Cannot open", temp_path_);
  return copy;
}

void AtomicFileWriter::ApplyOwnerAndMode(int fd, const std::string& path, const struct stat* old) const {
  if (old != nullptr) {
    // Root updating another user's file must not take it from its owner. An
    // ordinary user may only give the group, and only one of their own;
    // otherwise the file becomes theirs, as any file they write does.
    struct stat now {};
    if (::fstat(fd, &now) == 0 && (now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
        ::fchown(fd, old->st_uid, old->st_gid) != 0) {
      ::fchown(fd, static_cast<uid_t>(-1), old->st_gid);
    }
  }
  // After the owner, since a change of owner clears the set-id bits.
  const uint32_t mode = old != nullptr ? old->st_mode & 07777 : new_file_mode_;
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) ThrowHostError("Cannot set the mode of", path);
}

void AtomicFileWriter::Commit() {
  struct stat old {};
  const bool exists = ::stat(target_.c_str(), &old) == 0;
  ApplyOwnerAndMode(handle_.Get(), temp_path_, exists ? &old : nullptr);
  FsyncFile(handle_.Get(), temp_path_);
  if (::rename(temp_path_.c_str(), target_.c_str()) == 0) {
    committed_ = true;
  } else {
    if (errno != EXDEV) ThrowHostError("Cannot rename " + temp_path_ + " to", target_);
    crossed_ = true;
    CopyBesideTarget(exists ? &old : nullptr);
    ::unlink(temp_path_.c_str());
    committed_ = true;
  }
  handle_.Close();
  // The new content is in place; a folder that refuses a sync keeps it all
  // the same.
  FsyncDirectory(DirName(target_));
}

void AtomicFileWriter::CopyBesideTarget(const struct stat* old) {
  TempFile beside = MakeTempFile(DirName(target_), prefix_, kPrivateMode);
  // Whatever fails, no half copy stays beside the target.
  struct Remover {
    const std::string* path;
    ~Remover() {
      if (path != nullptr) ::unlink(path->c_str());
    }
  } remover{&beside.Path};

  struct stat st {};
  if (::fstat(handle_.Get(), &st) != 0) ThrowHostError("Cannot examine", temp_path_);
  std::vector<uint8_t> block(kCopyBlockSize);
  uint64_t copied = 0;
  for (;;) {
    const ssize_t n = ::pread(handle_.Get(), block.data(), block.size(), static_cast<off_t>(copied));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowHostError("Cannot read", temp_path_);
    }
    if (n == 0) break;
    if (!WriteAll(beside.Handle.Get(), block.data(), static_cast<size_t>(n), {}))
      ThrowHostError("Cannot write", beside.Path);
    copied += static_cast<uint64_t>(n);
  }
  if (copied != static_cast<uint64_t>(st.st_size)) {
    throw EHostError("Cannot copy " + temp_path_ + " to " + target_ + ": the copy is incomplete", EIO);
  }
  ApplyOwnerAndMode(beside.Handle.Get(), beside.Path, old);
  FsyncFile(beside.Handle.Get(), beside.Path);
  if (!beside.Handle.Close()) ThrowHostError("Cannot close", beside.Path);
  RenameFile(beside.Path, target_);
  remover.path = nullptr;
}

void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const WriteFunction& write_function) {
  const std::string target = ReplacementTarget(path);
  // A rename would slip past a write-protected file; honour the protection.
  if (::access(target.c_str(), W_OK) != 0 && errno != ENOENT) ThrowHostError("Cannot write", target);
  AtomicFileWriter writer(target, "." + BaseName(target) + ".");
  if (!WriteAll(writer.Fd(), reinterpret_cast<const uint8_t*>(data.data()), data.size(), write_function))
    ThrowHostError("Cannot write", writer.TempPath());
  writer.Commit();
}

}  // namespace tessel
