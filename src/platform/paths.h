#pragma once
// Paths of the host: the user's home and configuration folders, splitting a
// path into folder and name, creating folders and reading a whole file.
// Files are replaced through AtomicFileWriter (atomic_file.h).
#include <cstddef>
#include <string>
#include <string_view>

namespace tessel {

// $HOME when set and not empty, else the password database's home folder,
// else "/". Never ends in "/" unless it is the root.
std::string HomeFolder();
// $XDG_STATE_HOME when it is an absolute path, else HomeFolder() + "/.local/state".
std::string StateFolder();
// $XDG_CONFIG_HOME when it is an absolute path, else HomeFolder() + "/.config".
std::string ConfigFolder();
// The process's current folder; "" (errno set) when it cannot be found: it
// was deleted, or a folder above it may not be read.
std::string CurrentFolder();

// Everything before the last "/" ("/" for a name in the root, "" when the
// path has no "/"). "a/b/c" -> "a/b", "/x" -> "/", "x" -> "".
std::string DirName(std::string_view path);
// Everything after the last "/". "a/b/c" -> "c", "a/" -> "", "x" -> "x".
std::string BaseName(std::string_view path);
// folder + "/" + name, without doubling a "/" at the end of folder.
std::string JoinPath(std::string_view folder, std::string_view name);
// A relative path taken from the current folder; absolute and empty paths are
// returned as they are, and so is every path while the current folder cannot
// be found (the system then resolves it, or fails with its own error). The
// path is not normalised.
std::string AbsolutePath(std::string_view path);

bool FileExists(const std::string& path);    // a regular file (links followed)
bool FolderExists(const std::string& path);  // a folder (links followed)

// Creates the folder and every missing parent (mode 0777 before umask).
// An empty path, "/" and an existing folder count as present. Returns false
// with errno set when a folder cannot be created.
bool MakeFolders(const std::string& path);

// Reads the whole file into data. False with errno set on failure.
bool ReadWholeFile(const std::string& path, std::string& data);

}  // namespace tessel
