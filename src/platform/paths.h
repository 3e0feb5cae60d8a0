#pragma once
// Paths of the host: the user's home and configuration folders, splitting a
// path into folder and name, creating folders, reading a whole file and
// replacing a file atomically.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tessel {

// $HOME when set and not empty, else the password database's home folder,
// else "/". Never ends in "/" unless it is the root.
std::string HomeFolder();
// $XDG_STATE_HOME when it is an absolute path, else HomeFolder() + "/.local/state".
std::string StateFolder();
// $XDG_CONFIG_HOME when it is an absolute path, else HomeFolder() + "/.config".
std::string ConfigFolder();
// The process's current folder ("/" when it cannot be found).
std::string CurrentFolder();

// Everything before the last "/" ("/" for a name in the root, "" when the
// path has no "/"). "a/b/c" -> "a/b", "/x" -> "/", "x" -> "".
std::string DirName(std::string_view path);
// Everything after the last "/". "a/b/c" -> "c", "a/" -> "", "x" -> "x".
std::string BaseName(std::string_view path);
// folder + "/" + name, without doubling a "/" at the end of folder.
std::string JoinPath(std::string_view folder, std::string_view name);
// A relative path taken from the current folder; absolute and empty paths are
// returned as they are. The path is not normalised.
std::string AbsolutePath(std::string_view path);

bool FileExists(const std::string& path);    // a regular file (links followed)
bool FolderExists(const std::string& path);  // a folder (links followed)

// Creates the folder and every missing parent (mode 0777 before umask).
// An empty path, "/" and an existing folder count as present. Returns false
// with errno set when a folder cannot be created.
bool MakeFolders(const std::string& path);

// Reads the whole file into data. False with errno set on failure.
bool ReadWholeFile(const std::string& path, std::string& data);

// The write call through which ReplaceFileAtomically writes its data; tests
// pass one that fails or stops half-way. Same contract as POSIX write(2).
using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

// Replaces the file at path with data so that the path always names either
// the old or the complete new content: writes a temporary file in the same
// folder, flushes it, gives it the old file's permission bits, renames it over
// the path and flushes the folder. A symbolic link at path is kept and its
// target replaced; a file that the process may not write is left alone.
// Throws EHostError (the temporary file removed) on failure.
void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const WriteFunction& write_function = {});

}  // namespace tessel
