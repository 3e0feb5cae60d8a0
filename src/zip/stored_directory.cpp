#include "zip/stored_directory.h"

#include <cstddef>
#include <vector>

namespace tessel {
namespace {

constexpr char kSeparator = '/';

// The folder with every empty and "." component dropped and every ".."
// resolved against the component before it (or dropped when there is none):
// "/" for the root, "/a/b/" for an absolute folder, "a/b/" for a relative
// one, "" for a relative folder with nothing left.
std::string CleanFolder(std::string_view folder) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos < folder.size()) {
    size_t next = folder.find(kSeparator, pos);
    if (next == std::string_view::npos) next = folder.size();
    const std::string_view part = folder.substr(pos, next - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = next + 1;
  }
  std::string clean;
  clean.reserve(folder.size() + 1);
  if (!folder.empty() && folder.front() == kSeparator) clean += kSeparator;
  for (const std::string_view part : parts) {
    clean.append(part);
    clean += kSeparator;
  }
  return clean;
}

}  // namespace

std::string_view FolderPart(std::string_view path) {
  const size_t slash = path.rfind(kSeparator);
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string_view LastComponent(std::string_view path) {
  const size_t slash = path.rfind(kSeparator);
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string StoredDirectory(std::string_view path, std::string_view root_dir, bool relative_paths,
                            bool /*store_volumes*/) {
  std::string folder = CleanFolder(FolderPart(path));
  if (relative_paths && !root_dir.empty()) {
    const std::string root = CleanFolder(root_dir);
    if (!root.empty() && folder.compare(0, root.size(), root) == 0) folder.erase(0, root.size());
  }
  const size_t first = folder.find_first_not_of(kSeparator);
  folder.erase(0, first == std::string::npos ? folder.size() : first);
  return folder;
}

}  // namespace tessel
