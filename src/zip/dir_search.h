#pragma once
// The folder walker behind wildcard include lines: lists the files of a
// folder whose names match a pattern and, when recursing, the files of every
// sub-folder below it, depth first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace tessel {

// One folder level of a search, and the record through which NextFile hands
// the facts of the path it returns to its caller.
struct TSearchData {
  std::string Path;                      // the folder, ending in "/" (or "" for the current folder)
  std::vector<DirectoryEntry> Entries;   // the folder's listing, sorted by name
  size_t Current = 0;                    // index of the current entry
  bool Opened = false;                   // the listing could be read
  int Error = 0;                         // errno when it could not

  // The entry last returned: its name and what the listing's one fstatat
  // says of it (a link is the link itself, ftSymlink).
  std::string Name;
  FileInfo Info;

  // The entry's modification time as a DOS date-time stamp (local time).
  uint32_t DosDateTime() const;
  // The 64-bit size of the entry last returned.
  uint64_t Size() const { return Info.Size; }
};

// One search over a start folder. On this host every folder below the start
// is entered, hidden ones (".name") included, at any depth (the levels live
// on the heap). A symbolic link whose name matches is returned as the link
// itself, whatever it leads to (a file, a folder, nothing): it is never
// followed, so a search neither leaves its tree nor loops. FIFOs, sockets and
// devices are never returned. A folder that cannot be read counts as empty.
// Kernel file systems (IsPseudoFileSystem) are neither searched nor entered.
// Each folder is listed once, and each entry examined by one fstatat.
class TDirSearch {
public:
  // start_folder gets a "/" when it lacks one; an empty start folder searches
  // the current folder and returns paths relative to it. Names without a "."
  // are matched with a "." appended, so that "*.*" and "*." match them.
  TDirSearch(std::string_view start_folder, bool recurse, std::string_view pattern);

  // The next path: a matching file or link (folder path + name), or, when
  // recursing, a sub-folder as it is entered (its path ending in "/"), before
  // its content; an empty string when the search is over. record receives the
  // name and the listing's facts of the returned path. An entry that vanished
  // between the listing and its fstatat is passed over.
  std::string NextFile(TSearchData& record);

  bool Recurse() const { return recurse_; }
  const std::string& Pattern() const { return pattern_; }
  // Number of open levels: 1 at the start folder, 0 when the search is over
  // (at once for a start folder on a kernel file system).
  size_t Depth() const { return levels_.size(); }
  // Why the folder entered last (the start folder, before the first
  // NextFile) could not be listed: errno, 0 when it could.
  int FolderError() const { return levels_.empty() ? 0 : levels_.back().Error; }

private:
  void OpenLevel(std::string path);
  bool NameMatches(std::string_view name);
  // Whether a listing keeps an entry of this name and type.
  bool Wanted(std::string_view name, FileType type);

  std::vector<TSearchData> levels_;
  PseudoFileSystems pseudo_;
  std::string pattern_;
  bool recurse_;
  std::string name_buffer_;  // a name with "." appended, reused
};

}  // namespace tessel
