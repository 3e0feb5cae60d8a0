#include "app/archive_guard.h"

#include <algorithm>

#include "app/name_template.h"
#include "platform/file_system.h"
#include "platform/paths.h"

namespace tessel {
namespace {

// Every character that a token's value may hold: the digits of numbers, the
// Roman quarter ("I" to "IV") and the blanks that right-align it.
bool IsTokenCharacter(char c) { return (c >= '0' && c <= '9') || c == 'I' || c == 'V' || c == ' '; }

// The length of the longest token that starts at pos, or 0.
size_t TokenAt(std::string_view text, size_t pos) {
  size_t longest = 0;
  for (const TemplateToken& token : kTemplateTokens) {
    const std::string_view t(token.Token);
    if (t.size() > longest && text.substr(pos, t.size()) == t) longest = t.size();
  }
  return longest;
}

}  // namespace

ArchiveNamePattern::ArchiveNamePattern(std::string_view name_part) : empty_(name_part.empty()) {
  size_t pos = 0;
  while (pos < name_part.size()) {
    const size_t token = TokenAt(name_part, pos);
    if (token > 0) {
      if (elements_.empty() || !elements_.back().IsRun) elements_.push_back({true, 0, {}});
      ++elements_.back().MinLength;
      pos += token;
      continue;
    }
    if (elements_.empty() || elements_.back().IsRun) elements_.push_back({false, 0, {}});
    elements_.back().Literal.push_back(name_part[pos]);
    ++pos;
  }
}

bool ArchiveNamePattern::Fits(std::string_view name) const {
  if (empty_) return false;
  // reachable[p]: the elements so far can match the first p bytes of name.
  const size_t n = name.size();
  std::vector<char>& reachable = reachable_;
  std::vector<char>& next = next_;
  reachable.assign(n + 1, 0);
  next.resize(n + 1);
  reachable[0] = 1;
  for (const Element& element : elements_) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (size_t p = 0; p <= n; ++p) {
      if (!reachable[p]) continue;
      if (!element.IsRun) {
        if (name.substr(p, element.Literal.size()) == element.Literal) {
          next[p + element.Literal.size()] = 1;
          any = true;
        }
        continue;
      }
      for (size_t q = p; q < n && IsTokenCharacter(name[q]); ++q) {
        if (q + 1 - p >= element.MinLength) {
          next[q + 1] = 1;
          any = true;
        }
      }
    }
    if (!any) return false;
    reachable.swap(next);
  }
  return reachable[n] != 0;
}

ArchiveGuard::ArchiveGuard(const std::string& archive_name, std::string_view file_name_template)
    : pattern_(BaseName(file_name_template)) {
  const size_t slash = archive_name.rfind('/');
  if (slash == std::string::npos || BaseName(file_name_template).empty()) return;
  archive_folder_ = slash == 0 ? "/" : archive_name.substr(0, slash);
  FileInfo info;
  folder_known_ = Stat(archive_folder_, info) && info.IsDirectory();
  folder_device_ = info.Device;
  folder_inode_ = info.Inode;
  active_ = true;
}

bool ArchiveGuard::IsArchiveFolder(const std::string& folder) {
  if (last_folder_valid_ && folder == last_folder_) return last_folder_matches_;
  bool matches = folder == archive_folder_;
  if (!matches && folder_known_) {
    FileInfo info;
    matches = Stat(folder, info) && info.IsDirectory() && info.Device == folder_device_ &&
              info.Inode == folder_inode_;
  }
  last_folder_ = folder;
  last_folder_valid_ = true;
  last_folder_matches_ = matches;
  return matches;
}

bool ArchiveGuard::IsEarlierArchive(const std::string& path) {
  if (!active_) return false;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  if (!pattern_.Fits(std::string_view(path).substr(slash + 1))) return false;
  return IsArchiveFolder(slash == 0 ? std::string("/") : path.substr(0, slash));
}

}  // namespace tessel
