#include "zip/dir_search.h"

#include <utility>

#include "platform/datetime.h"
#include "zip/wildcard.h"

namespace tessel {

uint32_t TSearchData::DosDateTime() const { return DosFromFileTime(static_cast<time_t>(Info.MTimeSeconds)); }

TDirSearch::TDirSearch(std::string_view start_folder, bool recurse, std::string_view pattern)
    : pattern_(pattern), recurse_(recurse) {
  std::string path(start_folder);
  if (!path.empty() && path.back() != '/') path += '/';
  // A kernel file system holds no data to back up: its search is over at once.
  if (!IsPseudoFileSystem(path)) OpenLevel(std::move(path));
}

void TDirSearch::OpenLevel(std::string path) {
  TSearchData level;
  level.Path = std::move(path);
  // A folder that cannot be listed is searched as an empty one.
  level.Opened = ReadDirectory(level.Path, level.Entries);
  levels_.push_back(std::move(level));
}

bool TDirSearch::NameMatches(const std::string& name) {
  if (name.find('.') != std::string::npos) return WildcardMatch(pattern_, name);
  name_buffer_.assign(name);
  name_buffer_ += '.';
  return WildcardMatch(pattern_, name_buffer_);
}

std::string TDirSearch::NextFile(TSearchData& record) {
  while (!levels_.empty()) {
    TSearchData& level = levels_.back();
    if (level.Current >= level.Entries.size()) {
      levels_.pop_back();
      if (levels_.empty()) return {};
      // The parent stayed on the folder just finished.
      ++levels_.back().Current;
      continue;
    }
    const DirectoryEntry& entry = level.Entries[level.Current];
    if (entry.Type == FileType::ftDirectory) {
      // A link to a folder is never entered: it could lead back up the tree.
      // Nor is a kernel file system mounted below (/proc under a search of /).
      if (!recurse_ || entry.IsLink || IsPseudoFileSystem(level.Path + entry.Name)) {
        ++level.Current;
        continue;
      }
      std::string path = level.Path + entry.Name;
      record.Path = level.Path;
      record.Name = entry.Name;
      Stat(path, record.Info);
      path += '/';
      OpenLevel(path);  // invalidates `level` and `entry`
      return path;
    }
    if (entry.Type == FileType::ftRegular && NameMatches(entry.Name)) {
      std::string path = level.Path + entry.Name;
      ++level.Current;
      // It may have vanished or changed into something else since the listing.
      if (!Stat(path, record.Info) || !record.Info.IsRegular()) continue;
      record.Path = level.Path;
      record.Name = entry.Name;
      return path;
    }
    ++level.Current;
  }
  return {};
}

}  // namespace tessel
