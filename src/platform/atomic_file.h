#pragma once
// The one way this program replaces a file, the job file and the archive
// alike: the new content goes into a temporary file, which is flushed to
// disk, given the old file's permission bits, owner and group, and renamed
// over the old file, and then the folder is flushed. The path therefore
// always names either the old or the complete new content, whatever fails
// and wherever the process is killed.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace tessel {

// The file that a replacement of path replaces: the file a symbolic link
// leads to (the link itself stays), else the path itself (also when a link
// leads nowhere: it is then replaced by the file).
std::string ReplacementTarget(const std::string& path);

class AtomicFileWriter {
public:
  // Creates the temporary file, named prefix + six characters
  // (MakeTempFile), in temp_folder, or beside the file that path names when
  // temp_folder is empty. Nobody else may read it while it is written; the
  // writer holds its lock until it is gone. Raises EHostError.
  AtomicFileWriter(const std::string& path, std::string_view prefix, const std::string& temp_folder = {});
  // Deletes the temporary file unless it was committed or is to be kept.
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  const std::string& Target() const { return target_; }
  const std::string& TempPath() const { return temp_path_; }
  // The writer's descriptor of the temporary file.
  int Fd() const { return handle_.Get(); }
  // Another descriptor of the temporary file, for a stream that writes it
  // and closes it when done; the lock stays with the writer. Raises EHostError.
  FileHandle DuplicateHandle() const;

  // Puts the written content in the target's place: gives the temporary
  // file the target's permission bits, owner and group (a new target: the
  // bits the system gives any new file in its place), flushes it, renames it
  // over the target and flushes the folder. A temporary file in another file
  // system is first copied into a new temporary file beside the target.
  // Raises EHostError; the target is then as it was.
  void Commit();
  // The temporary file stays when the writer goes (a finished result that
  // could not be put in place, for the user to rescue), under its name +
  // suffix, which RemoveStaleTempFiles never takes for one of its own;
  // TempPath tells the name. It keeps its name when it cannot be renamed.
  void KeepTemporary(std::string_view suffix);
  // Set once Commit found the temporary file in another file system than
  // the target.
  bool CrossedFileSystems() const { return crossed_; }

private:
  void ApplyOwnerAndMode(int fd, const std::string& path, const struct stat* old) const;
  void CopyBesideTarget(const struct stat* old);

  std::string target_;
  std::string prefix_;
  std::string temp_path_;
  FileHandle handle_;
  uint32_t new_file_mode_ = 0;  // what the system gives a new file in the temporary folder
  bool committed_ = false;
  bool keep_ = false;
  bool crossed_ = false;
};

// The write call through which ReplaceFileAtomically writes its data; tests
// pass one that fails or stops half-way. Same contract as POSIX write(2).
using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

// Replaces the file at path with data through an AtomicFileWriter (the
// temporary file beside it, named "." + its name + "." + six characters).
// A symbolic link at path is kept and its target replaced; a file that the
// process may not write is left alone. Throws EHostError (the temporary file
// removed) on failure.
void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const WriteFunction& write_function = {});

}  // namespace tessel
