#include "zip/dir_search.h"

#include <cerrno>
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
  level.Opened = ReadDirectory(level.Path, level.Entries,
                               [this](std::string_view name, FileType type) { return Wanted(name, type); });
  if (!level.Opened) level.Error = errno;
  levels_.push_back(std::move(level));
}

bool TDirSearch::Wanted(std::string_view name, FileType type) {
  switch (type) {
    case FileType::ftDirectory: return recurse_;
    case FileType::ftRegular:
    case FileType::ftSymlink: return NameMatches(name);
    default: return false;  // FIFOs, sockets, devices hold nothing to back up
  }
}

bool TDirSearch::NameMatches(std::string_view name) {
  if (name.find('.') != std::string_view::npos) return WildcardMatch(pattern_, name);
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
    if (entry.Info.IsDirectory()) {
      std::string path = level.Path + entry.Name;
      // A kernel file system mounted below (/proc under a search of /) is
      // never entered.
      if (pseudo_.Contains(path, entry.Info.Device)) {
        ++level.Current;
        continue;
      }
      record.Path = level.Path;
      record.Name = entry.Name;
      record.Info = entry.Info;
      path += '/';
      OpenLevel(path);  // invalidates `level` and `entry`
      return path;
    }
    ++level.Current;
    // The listing kept only matching files and links; an entry gone before
    // its fstatat is passed over.
    if (!entry.Info.IsRegular() && !entry.Info.IsLink()) continue;
    record.Path = level.Path;
    record.Name = entry.Name;
    record.Info = entry.Info;
    return level.Path + entry.Name;
  }
  return {};
}

}  // namespace tessel
