#pragma once
// The folder walker behind wildcard specifications: lists the files of a
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

  // The entry last returned: its name and what stat says of it (links
  // followed, so a link to a file reports the file).
  std::string Name;
  FileInfo Info;

  // The entry's modification time as a DOS date-time stamp (local time).
  uint32_t DosDateTime() const;
  // The 64-bit size of the entry last returned.
  uint64_t Size() const { return Info.Size; }
};

// One search over a start folder. On this host every folder below the start
// is entered, hidden ones (".name") included, at any depth (the levels live
// on the heap); links to folders are never followed, so there are no loops;
// FIFOs, sockets, devices and dangling links are never returned; a link to a
// file is returned as a file. A folder that cannot be read counts as empty.
// Kernel file systems (IsPseudoFileSystem) are neither searched nor entered.
class TDirSearch {
public:
  // start_folder gets a "/" when it lacks one; an empty start folder searches
  // the current folder and returns paths relative to it. Names without a "."
  // are matched with a "." appended, so that "*.*" and "*." match them.
  TDirSearch(std::string_view start_folder, bool recurse, std::string_view pattern);

  // The next path: a matching file (folder path + name), or, when recursing,
  // a sub-folder as it is entered (its path ending in "/"), before its
  // content; an empty string when the search is over. record receives the
  // name and stat facts of the returned path (Info of a sub-folder that cannot
  // be examined keeps Type ftMissing). A file that vanishes between the
  // listing and its stat is passed over.
  std::string NextFile(TSearchData& record);

  bool Recurse() const { return recurse_; }
  const std::string& Pattern() const { return pattern_; }
  // Number of open levels: 1 at the start folder, 0 when the search is over
  // (at once for a start folder on a kernel file system).
  size_t Depth() const { return levels_.size(); }

private:
  void OpenLevel(std::string path);
  bool NameMatches(const std::string& name);

  std::vector<TSearchData> levels_;
  std::string pattern_;
  bool recurse_;
  std::string name_buffer_;  // a name with "." appended, reused
};

}  // namespace tessel
