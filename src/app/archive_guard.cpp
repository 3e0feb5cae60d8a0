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

// The values a token can take: a number from Low to High written with
// exactly Width digits, or one of Words.
struct TokenValues {
  std::string_view Token;
  int Width;
  int Low;
  int High;
  std::vector<std::string_view> Words;
};

const std::vector<TokenValues>& AllTokenValues() {
  static const std::vector<TokenValues> values = {
      {"%yyyy%", 4, 0, 9999, {}},
      {"%yyy%", 3, 0, 999, {}},
      {"%yy%", 2, 0, 99, {}},
      {"%y%", 1, 0, 9, {}},
      {"%my%", 2, 1, 12, {}},
      {"%dd%", 2, 1, 31, {}},
      {"%hh%", 2, 0, 23, {}},
      {"%mm%", 2, 0, 59, {}},
      {"%ss%", 2, 0, 59, {}},
      {"%wm%", 1, 1, 5, {}},
      {"%wy%", 2, 1, 53, {}},
      {"%qwart%", 1, 1, 4, {}},
      {"%qwartr%", 0, 0, 0, {"I", "II", "III", "IV"}},
      {"%qwartr3%", 0, 0, 0, {"  I", " II", "III", " IV"}},
      {"%dcht%", 1, 1, 2, {}},
      {"%mcht%", 1, 1, 2, {}},
      {"%ycht%", 1, 1, 2, {}},
  };
  return values;
}

const TokenValues& ValuesOf(int token) { return AllTokenValues()[static_cast<size_t>(token)]; }

// The token whose one-character value can complete "%qwartr" + value + "%"
// into the three-character quarter token: the one token text that holds a
// character a value can hold.
constexpr std::string_view kCompletedToken = "%qwartr3%";
constexpr std::string_view kCompletedStart = "%qwartr";
constexpr std::string_view kCompletedEnd = "%";
constexpr char kCompletingValue = '3';

bool CanBe(const TokenValues& values, char c) {
  return values.Width == 1 && c >= '0' && c <= '9' && c - '0' >= values.Low && c - '0' <= values.High;
}

}  // namespace

ArchiveNamePattern ArchiveNamePattern::Exact(std::string_view name_part) {
  ArchiveNamePattern pattern;
  pattern.empty_ = name_part.empty();
  std::vector<Element>& elements = pattern.elements_;
  if (!name_part.empty()) elements.push_back({false, 0, std::string(name_part), -1});
  // The expansion replaces each token everywhere before the next; a value
  // holds only digits, "I", "V" and blanks, so an occurrence lies within one
  // literal, except for the completion checked below.
  for (size_t k = 0; k < kTemplateTokens.size(); ++k) {
    const std::string_view token(kTemplateTokens[k].Token);
    if (token == kCompletedToken) {
      for (size_t i = 0; i + 2 < elements.size(); ++i) {
        const Element& before = elements[i];
        const Element& value = elements[i + 1];
        const Element& after = elements[i + 2];
        if (before.Token < 0 && before.Literal.ends_with(kCompletedStart) && value.Token >= 0 &&
            CanBe(ValuesOf(value.Token), kCompletingValue) && after.Token < 0 &&
            after.Literal.starts_with(kCompletedEnd)) {
          elements.clear();
          pattern.empty_ = true;
          return pattern;
        }
      }
    }
    for (size_t i = 0; i < elements.size(); ++i) {
      if (elements[i].Token >= 0) continue;
      const size_t at = elements[i].Literal.find(token);
      if (at == std::string::npos) continue;
      std::string rest = elements[i].Literal.substr(at + token.size());
      elements[i].Literal.resize(at);
      elements.insert(elements.begin() + static_cast<std::ptrdiff_t>(i) + 1, Element{false, 0, {}, static_cast<int>(k)});
      elements.insert(elements.begin() + static_cast<std::ptrdiff_t>(i) + 2, Element{false, 0, std::move(rest), -1});
      // The text after it may hold the token again.
      ++i;
    }
  }
  std::erase_if(elements, [](const Element& e) { return e.Token < 0 && e.Literal.empty(); });
  return pattern;
}

bool ArchiveNamePattern::HasTokens() const {
  return std::any_of(elements_.begin(), elements_.end(), [](const Element& e) { return e.IsRun || e.Token >= 0; });
}

bool ArchiveNamePattern::Advance(const Element& element, std::string_view name, size_t p, std::vector<char>& next) {
  const size_t n = name.size();
  bool any = false;
  auto reach = [&](size_t end) {
    next[end] = 1;
    any = true;
  };
  if (element.Token >= 0) {
    const TokenValues& values = ValuesOf(element.Token);
    for (const std::string_view word : values.Words) {
      if (name.substr(p, word.size()) == word) reach(p + word.size());
    }
    const size_t width = static_cast<size_t>(values.Width);
    if (width == 0 || n - p < width) return any;
    int number = 0;
    for (size_t q = p; q < p + width; ++q) {
      if (name[q] < '0' || name[q] > '9') return any;
      number = number * 10 + (name[q] - '0');
    }
    if (number >= values.Low && number <= values.High) reach(p + width);
    return any;
  }
  if (!element.IsRun) {
    if (name.substr(p, element.Literal.size()) == element.Literal) reach(p + element.Literal.size());
    return any;
  }
  for (size_t q = p; q < n && IsTokenCharacter(name[q]); ++q) {
    if (q + 1 - p >= element.MinLength) reach(q + 1);
  }
  return any;
}

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
      if (reachable[p] && Advance(element, name, p, next)) any = true;
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
