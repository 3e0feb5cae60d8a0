#include "app/mask.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"

namespace tessel {
namespace {

constexpr char kAnyRun = '*';
constexpr char kAnyOne = '?';
constexpr char kSetOpen = '[';
constexpr char kSetClose = ']';
constexpr char kSetNegate = '!';
constexpr char kSetRange = '-';
constexpr uint32_t kAsciiLimit = 128;

std::string InvalidMaskText(std::string_view mask, size_t position) {
  return "'" + std::string(mask) + "' is an invalid mask at (" + std::to_string(position) + ")";
}

// The character at pos with a-z folded to A-Z; pos moves past it. ASCII,
// the usual case in paths, takes the short way.
inline uint32_t NextUpper(std::string_view s, size_t& pos) {
  const auto byte = static_cast<unsigned char>(s[pos]);
  if (byte < kAsciiLimit) {
    ++pos;
    return AsciiUpper(static_cast<uint32_t>(byte));
  }
  return Utf8Next(s, pos);
}

}  // namespace

EMaskException::EMaskException(std::string_view mask, size_t position)
    : Error(InvalidMaskText(mask, position)), position_(position) {}

TMask::TMask(std::string_view mask) : text_(mask) {
  bool skip_pending = false;
  size_t skip_elements = 0;
  size_t pos = 0;
  size_t chars = 0;  // characters before pos; positions in messages are chars + 1

  // Appends an element; the pending "*" goes to it and counts.
  auto write = [&](MaskState state, size_t position) {
    if (skip_pending) {
      if (++skip_elements > kMaxSkipElements) throw EMaskException(mask, position);
      state.Skip = true;
      skip_pending = false;
    }
    states_.push_back(state);
  };

  while (pos < mask.size()) {
    const size_t position = chars + 1;
    const char c = mask[pos];
    if (c == kAnyRun) {
      skip_pending = true;
      ++pos, ++chars;
      continue;
    }
    if (c == kAnyOne) {
      // After a star a "?" is dropped: the star already stands for it.
      ++pos, ++chars;
      if (!skip_pending) write(MaskState{.ElementKind = Kind::mkAny}, position);
      continue;
    }
    if (c == kSetOpen) {
      MaskState state{.ElementKind = Kind::mkSet};
      state.FirstRange = static_cast<uint32_t>(ranges_.size());
      ++pos, ++chars;
      if (pos < mask.size() && mask[pos] == kSetNegate) {
        state.Negate = true;
        ++pos, ++chars;
      }
      bool has_previous = false;
      uint32_t previous = 0;
      for (;;) {
        if (pos >= mask.size()) throw EMaskException(mask, chars + 1);
        if (mask[pos] == kSetClose && has_previous) {
          ++pos, ++chars;
          break;
        }
        if (mask[pos] == kSetClose) throw EMaskException(mask, chars + 1);  // an empty set
        if (mask[pos] == kSetRange) {
          if (!has_previous) throw EMaskException(mask, chars + 1);
          ++pos, ++chars;
          // The range end is taken as it comes, even a "]".
          if (pos >= mask.size()) throw EMaskException(mask, chars + 1);
          const uint32_t last = NextUpper(mask, pos);
          ++chars;
          if (last >= previous) AddToSet(state, previous, last);
          continue;
        }
        previous = NextUpper(mask, pos);
        ++chars;
        has_previous = true;
        AddToSet(state, previous, previous);
      }
      state.RangeCount = static_cast<uint32_t>(ranges_.size()) - state.FirstRange;
      write(state, position);
      continue;
    }
    write(MaskState{.ElementKind = Kind::mkLiteral, .Literal = NextUpper(mask, pos)}, position);
    ++chars;
  }
  write(MaskState{.ElementKind = Kind::mkEnd}, chars + 1);

  for (size_t i = 0; i < states_.size(); ++i) {
    if (i == 0 || states_[i].Skip) {
      if (!segments_.empty()) segments_.back().Last = static_cast<uint32_t>(i);
      segments_.push_back(Segment{.First = static_cast<uint32_t>(i)});
    }
  }
  segments_.back().Last = static_cast<uint32_t>(states_.size());
  for (Segment& segment : segments_) DescribeSegment(segment);
}

void TMask::DescribeSegment(Segment& segment) const {
  const MaskState& lead = states_[segment.First];
  // A stray byte of the mask may sit inside a character of the name, so it
  // cannot be searched for as bytes.
  if (lead.ElementKind == Kind::mkLiteral && lead.Literal < kInvalidByteBase) {
    std::string bytes;
    Utf8Append(bytes, lead.Literal);
    std::copy(bytes.begin(), bytes.end(), segment.Lead);
    segment.LeadLength = static_cast<uint8_t>(bytes.size());
    segment.LeadLetter = lead.Literal >= 'A' && lead.Literal <= 'Z';
  }
  segment.FixedLength = true;
  for (uint32_t i = segment.First; i < segment.Last && segment.FixedLength; ++i) {
    const MaskState& state = states_[i];
    if (state.ElementKind == Kind::mkEnd) continue;
    segment.FixedLength = (state.ElementKind == Kind::mkLiteral && state.Literal < kAsciiLimit) ||
                          (state.ElementKind == Kind::mkSet && !state.Negate && state.RangeCount == 0);
    ++segment.Bytes;
  }
}

void TMask::AddToSet(MaskState& state, uint32_t first, uint32_t last) {
  for (uint32_t c = first; c <= last && c < kAsciiLimit; ++c) state.Ascii[c / 64] |= uint64_t{1} << (c % 64);
  if (last >= kAsciiLimit) ranges_.push_back(CodeRange{std::max(first, kAsciiLimit), last});
}

bool TMask::Accepts(const MaskState& state, uint32_t c) const {
  switch (state.ElementKind) {
    case Kind::mkLiteral: return c == state.Literal;
    case Kind::mkAny: return true;
    case Kind::mkSet: {
      bool member = false;
      if (c < kAsciiLimit) {
        member = (state.Ascii[c / 64] >> (c % 64)) & 1;
      } else {
        const CodeRange* range = ranges_.data() + state.FirstRange;
        for (uint32_t i = 0; i < state.RangeCount && !member; ++i) member = c >= range[i].First && c <= range[i].Last;
      }
      return member != state.Negate;
    }
    case Kind::mkEnd: break;
  }
  return false;
}

bool TMask::MatchSegment(size_t first, size_t last, std::string_view name, size_t& pos) const {
  size_t p = pos;
  for (size_t i = first; i < last; ++i) {
    const MaskState& state = states_[i];
    if (state.ElementKind == Kind::mkEnd) {
      if (p != name.size()) return false;
      continue;
    }
    if (p >= name.size() || !Accepts(state, NextUpper(name, p))) return false;
  }
  pos = p;
  return true;
}

// A mask is a chain of segments: the first one anchored at the start of the
// name, each further one led by an element that "*" may precede, the last one
// ending with the end-of-name element. Every element of a segment takes one
// character, so placing each starred segment at its leftmost fit never loses
// a match that a later placement would have allowed (it leaves the most of
// the name to what follows), and the last one fits only where it ends with
// the name. This gives the answer of a full backtracking search over resume
// points without its cost: each segment is tried at most once per position.
bool TMask::Fits(std::string_view name) const {
  size_t pos = 0;
  for (size_t s = 0; s < segments_.size(); ++s) {
    const Segment& segment = segments_[s];
    const MaskState& lead = states_[segment.First];
    if (!lead.Skip) {
      if (!MatchSegment(segment.First, segment.Last, name, pos)) return false;
    } else if (lead.ElementKind == Kind::mkEnd) {
      return true;  // a trailing star: whatever is left fits
    } else if (!PlaceSegment(segment, s + 1 == segments_.size(), name, pos)) {
      return false;
    }
  }
  return true;
}

// Every byte below 0x80 or from 0xC0 on begins a character of the name (the
// decoder takes a whole valid sequence or a single byte, and neither kind of
// byte continues a sequence), so the byte searches below land on characters.
bool TMask::PlaceSegment(const Segment& segment, bool last, std::string_view name, size_t& pos) const {
  if (last && segment.FixedLength) {
    if (name.size() < pos + segment.Bytes) return false;
    pos = name.size() - segment.Bytes;
    return MatchSegment(segment.First, segment.Last, name, pos);
  }
  if (segment.LeadLength > 0) {
    const std::string_view lead(segment.Lead, segment.LeadLength);
    const char lower = AsciiLower(segment.Lead[0]);
    for (size_t start = pos; start < name.size(); ++start) {
      if (segment.LeadLetter) {
        while (start < name.size() && AsciiLower(name[start]) != lower) ++start;
      } else {
        start = name.find(lead, start);
      }
      if (start >= name.size()) return false;
      size_t p = start;
      if (MatchSegment(segment.First, segment.Last, name, p)) {
        pos = p;
        return true;
      }
    }
    return false;
  }
  for (size_t start = pos;;) {
    size_t p = start;
    if (MatchSegment(segment.First, segment.Last, name, p)) {
      pos = p;
      return true;
    }
    if (start >= name.size()) return false;
    NextUpper(name, start);
  }
}

TMask::Literals TMask::RequiredLiterals() const {
  Literals literals;
  literals.AtStart = states_.front().ElementKind == Kind::mkLiteral && !states_.front().Skip;
  std::string run;
  for (size_t i = 0; i < states_.size(); ++i) {
    const MaskState& state = states_[i];
    if (state.ElementKind == Kind::mkLiteral) {
      // A star before a literal ends the run before it.
      if (state.Skip && !run.empty()) literals.Runs.push_back(std::exchange(run, {}));
      Utf8Append(run, state.Literal);
      continue;
    }
    if (state.ElementKind == Kind::mkEnd) literals.AtEnd = !state.Skip && !run.empty();
    if (!run.empty()) literals.Runs.push_back(std::exchange(run, {}));
  }
  return literals;
}

bool FitsMask(std::string_view name, std::string_view mask) { return TMask(mask).Fits(name); }

namespace {

// Masks are filed by the last kKeyBytes bytes of their key, a window of the
// name is looked up as the same number, and a bit filter of kFilterBits
// answers most windows that file nothing without a lookup.
constexpr size_t kKeyBytes = 3;
constexpr uint32_t kWindowMask = 0xFFFFFF;
constexpr uint32_t kFilterBits = 1u << 16;
constexpr uint32_t kFilterShift = 16;        // 32 - log2(kFilterBits)
constexpr uint32_t kFilterHash = 0x9E3779B1u;  // Fibonacci hashing

constexpr uint32_t FilterSlot(uint32_t window) { return (window * kFilterHash) >> kFilterShift; }

// Whether the name holds the upped text at byte offset pos, a-z of the name
// upped too.
bool HoldsAt(std::string_view name, size_t pos, std::string_view upped) {
  if (pos > name.size() || name.size() - pos < upped.size()) return false;
  for (size_t i = 0; i < upped.size(); ++i) {
    if (AsciiUpper(name[pos + i]) != upped[i]) return false;
  }
  return true;
}

}  // namespace

TMaskSet::TMaskSet(const std::vector<std::string>& masks) {
  entries_.reserve(masks.size());
  for (const std::string& text : masks) {
    try {
      TMask mask(text);
      TMask::Literals literals = mask.RequiredLiterals();
      Entry entry{std::move(mask), {}, {}, {}};
      if (literals.AtStart) entry.Start = literals.Runs.front();
      if (literals.AtEnd) entry.End = literals.Runs.back();
      // The longest run, the last of equal ones: the end of a path tells
      // files apart best.
      for (std::string& run : literals.Runs) {
        if (run.size() >= entry.Key.size()) entry.Key = std::move(run);
      }
      entries_.push_back(std::move(entry));
    } catch (const EMaskException&) {
      if (!failure_) failure_ = std::current_exception();
    }
  }
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    const std::string& key = entries_[i].Key;
    if (key.size() < kKeyBytes) {
      unfiled_.push_back(i);
      continue;
    }
    uint32_t window = 0;
    for (size_t k = key.size() - kKeyBytes; k < key.size(); ++k) window = (window << 8) | static_cast<unsigned char>(key[k]);
    filed_[window].push_back(i);
    if (filed_bits_.empty()) filed_bits_.assign(kFilterBits / 64, 0);
    const uint32_t slot = FilterSlot(window);
    filed_bits_[slot / 64] |= uint64_t{1} << (slot % 64);
  }
}

bool TMaskSet::Tries(const Entry& entry, std::string_view name) {
  if (!HoldsAt(name, 0, entry.Start)) return false;
  if (name.size() < entry.End.size() || !HoldsAt(name, name.size() - entry.End.size(), entry.End)) return false;
  return entry.Mask.Fits(name);
}

bool TMaskSet::Fits(std::string_view name) const {
  for (uint32_t i : unfiled_) {
    if (Tries(entries_[i], name)) return true;
  }
  if (filed_.empty()) return false;
  uint32_t window = 0;
  for (size_t pos = 0; pos < name.size(); ++pos) {
    window = ((window << 8) | static_cast<unsigned char>(AsciiUpper(name[pos]))) & kWindowMask;
    if (pos + 1 < kKeyBytes) continue;
    const uint32_t slot = FilterSlot(window);
    if (((filed_bits_[slot / 64] >> (slot % 64)) & 1) == 0) continue;
    const auto found = filed_.find(window);
    if (found == filed_.end()) continue;
    // The window is the end of the key wherever the key occurs.
    const size_t end = pos + 1;
    for (uint32_t i : found->second) {
      const Entry& entry = entries_[i];
      if (end >= entry.Key.size() && HoldsAt(name, end - entry.Key.size(), entry.Key) && Tries(entry, name)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace tessel
