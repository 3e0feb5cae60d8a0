#include "zip/wildcard.h"

#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "platform/text.h"

namespace tessel {
namespace {

constexpr std::string_view kWildcardCharacters = "*?<>|";
constexpr char kAnyRun = '*';
constexpr char kAnyOne = '?';
constexpr char kBracketOpen = '<';
constexpr char kBracketClose = '>';
constexpr char kRangeJoin = '-';

// The character at pos, with A-Z folded to a-z; pos moves past it.
uint32_t NextFolded(std::string_view s, size_t& pos) { return AsciiLower(Utf8Next(s, pos)); }

// A well-formed bracket expression: its members lie in [body, close), end is
// the offset just after the ">".
struct Bracket {
  size_t body = 0;
  size_t close = 0;
  size_t end = 0;
  bool negate = false;
};

// Reads the bracket whose "<" stands just before pos. False when it never
// matches anything: the pattern ends inside it, it is empty, or a range
// lacks its end character.
bool ParseBracket(std::string_view pattern, size_t pos, Bracket& bracket) {
  bracket.negate = pos < pattern.size() && (pattern[pos] == '!' || pattern[pos] == '^');
  if (bracket.negate) ++pos;
  bracket.body = pos;
  bool any_member = false;
  while (pos < pattern.size()) {
    if (pattern[pos] == kBracketClose) {
      if (!any_member) return false;
      bracket.close = pos;
      bracket.end = pos + 1;
      return true;
    }
    Utf8Next(pattern, pos);
    if (pos < pattern.size() && pattern[pos] == kRangeJoin) {
      ++pos;
      if (pos >= pattern.size() || pattern[pos] == kBracketClose) return false;
      Utf8Next(pattern, pos);
    }
    any_member = true;
  }
  return false;
}

// Whether the folded character c is a member of the bracket (before negation).
bool InBracket(std::string_view pattern, const Bracket& bracket, uint32_t c) {
  size_t pos = bracket.body;
  while (pos < bracket.close) {
    const uint32_t first = NextFolded(pattern, pos);
    uint32_t last = first;
    if (pos < bracket.close && pattern[pos] == kRangeJoin) {
      ++pos;
      last = NextFolded(pattern, pos);
    }
    if (c >= first && c <= last) return true;
  }
  return false;
}

bool Accepts(std::string_view pattern, const Bracket& bracket, uint32_t c) {
  return InBracket(pattern, bracket, c) != bracket.negate;
}

// A pattern without stars: each element takes one character.
bool MatchPlain(std::string_view pattern, std::string_view text) {
  size_t pi = 0;
  size_t ti = 0;
  while (pi < pattern.size()) {
    if (ti >= text.size()) return false;
    if (pattern[pi] == kAnyOne) {
      ++pi;
      Utf8Next(text, ti);
    } else if (pattern[pi] == kBracketOpen) {
      Bracket bracket;
      if (!ParseBracket(pattern, pi + 1, bracket)) return false;
      if (!Accepts(pattern, bracket, NextFolded(text, ti))) return false;
      pi = bracket.end;
    } else if (NextFolded(pattern, pi) != NextFolded(text, ti)) {
      return false;
    }
  }
  return ti >= text.size();
}

// One match of a pattern against a text. A star tries the rest of the
// pattern at many text positions, and different ways through earlier stars
// lead to the same (pattern offset, text offset) pairs again; each pair that
// failed once is remembered, so a pattern with many stars costs at most
// pattern length x text length tries of the rest instead of a number that
// grows with the power of the number of stars.
class Matcher {
public:
  Matcher(std::string_view pattern, std::string_view text)
      : pattern_(pattern), text_(text), columns_(text.size() + 1) {
    const size_t bits = (pattern.size() + 1) * columns_;
    const size_t words = (bits + 63) / 64;
    if (words <= kLocalWords) {
      failed_ = local_;
      std::fill(local_, local_ + words, uint64_t{0});
    } else {
      heap_.assign(words, 0);
      failed_ = heap_.data();
    }
  }
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  bool Run() { return MatchFrom(0, 0); }

private:
  static constexpr size_t kLocalWords = 512;  // 32768 pairs on the stack

  // MatchFrom reached from a star: answered from memory when it failed before.
  bool TryRest(size_t pi, size_t ti) {
    const size_t bit = pi * columns_ + ti;
    uint64_t& word = failed_[bit / 64];
    const uint64_t mask = uint64_t{1} << (bit % 64);
    if (word & mask) return false;
    if (MatchFrom(pi, ti)) return true;
    word |= mask;
    return false;
  }

  // Matches pattern[pi..] against text[ti..]. Recursion happens only at
  // stars, so its depth is bounded by the number of stars in the pattern.
  bool MatchFrom(size_t pi, size_t ti) {
    const std::string_view pattern = pattern_;
    const std::string_view text = text_;
    while (pi < pattern.size()) {
      if (ti >= text.size()) return pattern.substr(pi) == "*";
      const char pc = pattern[pi];
      if (pc == kAnyOne) {
        ++pi;
        Utf8Next(text, ti);
        continue;
      }
      if (pc == kBracketOpen) {
        Bracket bracket;
        if (!ParseBracket(pattern, pi + 1, bracket)) return false;
        if (!Accepts(pattern, bracket, NextFolded(text, ti))) return false;
        pi = bracket.end;
        continue;
      }
      if (pc == kAnyRun && pi + 1 < pattern.size() && pattern[pi + 1] == kBracketOpen) {
        // A run of characters from the set, as long as the rest needs.
        Bracket bracket;
        if (!ParseBracket(pattern, pi + 2, bracket)) return false;
        for (size_t pos = ti;;) {
          if (TryRest(bracket.end, pos)) return true;
          if (pos >= text.size() || !Accepts(pattern, bracket, NextFolded(text, pos))) return false;
        }
      }
      if (pc == kAnyRun) {
        ++pi;
        while (pi < pattern.size() && (pattern[pi] == kAnyRun || pattern[pi] == kAnyOne)) {
          if (pattern[pi] == kAnyOne) {
            if (ti >= text.size()) return false;
            Utf8Next(text, ti);
          }
          ++pi;
        }
        // The star takes whatever the question marks left, even nothing.
        if (pi >= pattern.size()) return true;
        if (pattern[pi] == kBracketOpen) {
          for (size_t pos = ti; pos < text.size(); Utf8Next(text, pos)) {
            if (TryRest(pi, pos)) return true;
          }
          return false;
        }
        size_t after = pi;
        const uint32_t wanted = NextFolded(pattern, after);
        for (size_t pos = ti; pos < text.size();) {
          const size_t start = pos;
          if (NextFolded(text, pos) == wanted && TryRest(pi, start)) return true;
        }
        return false;
      }
      if (NextFolded(pattern, pi) != NextFolded(text, ti)) return false;
    }
    return ti >= text.size();
  }

  std::string_view pattern_;
  std::string_view text_;
  size_t columns_;
  uint64_t* failed_ = nullptr;
  uint64_t local_[kLocalWords];
  std::vector<uint64_t> heap_;
};

}  // namespace

bool HasWildcards(std::string_view text) { return text.find_first_of(kWildcardCharacters) != std::string_view::npos; }

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  if (pattern == "*") return true;
  // Without a star there is nothing to remember: walk it directly.
  if (pattern.find(kAnyRun) == std::string_view::npos) return MatchPlain(pattern, text);
  Matcher matcher(pattern, text);
  return matcher.Run();
}

bool MatchesAnyPattern(const std::vector<std::string>& patterns, std::string_view path) {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  for (const std::string& pattern : patterns) {
    const bool whole_path = pattern.find('/') != std::string::npos;
    if (WildcardMatch(pattern, whole_path ? path : name)) return true;
  }
  return false;
}

}  // namespace tessel
