#pragma once
// File-name masks of the exclude list: "*" any run of characters, "?" one
// character, "[...]" one character of a set ("[a-z]" a range by code point,
// "[!...]" a character outside the set). A mask describes the whole path; "/"
// is an ordinary character, so "*" runs across folders. Letters a-z match
// A-Z; every other character, Cyrillic included, must match exactly. The unit
// is the UTF-8 character; bytes that are not UTF-8 count as one character
// each.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"

namespace tessel {

// "'%s' is an invalid mask at (%d)": the mask and the 1-based character
// position at which compilation stopped.
class EMaskException : public Error {
public:
  EMaskException(std::string_view mask, size_t position);
  size_t Position() const { return position_; }

private:
  size_t position_;
};

// A compiled mask. Compile once, then Fits any number of names: matching
// never allocates and takes time proportional to the name's length times the
// mask's.
class TMask {
public:
  static constexpr size_t kMaxSkipElements = 30;

  // Compiles the mask; raises EMaskException for an invalid one ("[a-]",
  // "[]", "[!]", "[abc", "[-a]", more than 30 elements after stars).
  explicit TMask(std::string_view mask);

  // Whether the whole name matches.
  bool Fits(std::string_view name) const;

  const std::string& Text() const { return text_; }

  // What every name that fits holds, for passing over names quickly: the
  // runs of plain characters of the mask, each as UTF-8 with a-z upped to
  // A-Z. A name that fits holds each run, compared byte by byte with its own
  // a-z upped; the first run begins the name when AtStart is set, the last
  // one ends it when AtEnd is set.
  struct Literals {
    std::vector<std::string> Runs;
    bool AtStart = false, AtEnd = false;
  };
  Literals RequiredLiterals() const;

private:
  enum class Kind : uint8_t { mkLiteral, mkAny, mkSet, mkEnd };
  struct CodeRange {
    uint32_t First, Last;  // inclusive
  };
  struct MaskState {
    bool Skip = false;     // one or more "*" stood right before this element
    Kind ElementKind = Kind::mkLiteral;
    bool Negate = false;
    uint32_t Literal = 0;  // upper-cased code point of a literal
    uint64_t Ascii[2] = {0, 0};  // set members below 128
    uint32_t FirstRange = 0;     // set members from 128 on: ranges_[FirstRange, FirstRange + RangeCount)
    uint32_t RangeCount = 0;
  };

  // A segment: a run of elements that "*" may precede only at its start.
  struct Segment {
    uint32_t First = 0, Last = 0;  // states_[First, Last)
    // Bytes of a leading literal that a match must begin with, so that a
    // starred segment can jump to its candidates; LeadLetter is set when the
    // literal is an ASCII letter, found in either case.
    char Lead[4] = {0, 0, 0, 0};
    uint8_t LeadLength = 0;
    bool LeadLetter = false;
    // For the last segment: every element takes one ASCII byte, so a match
    // has this many bytes and can only start that far before the end.
    bool FixedLength = false;
    uint32_t Bytes = 0;
  };

  // Finds where a starred segment fits first, from byte offset pos on.
  bool PlaceSegment(const Segment& segment, bool last, std::string_view name, size_t& pos) const;
  // Whether the element accepts the (upper-cased) character c.
  bool Accepts(const MaskState& state, uint32_t c) const;
  // Whether the elements [first, last) match the name from byte offset pos
  // on; on success pos is advanced past them.
  bool MatchSegment(size_t first, size_t last, std::string_view name, size_t& pos) const;
  void AddToSet(MaskState& state, uint32_t first, uint32_t last);
  void DescribeSegment(Segment& segment) const;

  std::string text_;
  std::vector<MaskState> states_;
  std::vector<CodeRange> ranges_;
  // Segments start at element 0 and at every element with the skip flag.
  std::vector<Segment> segments_;
};

// Compiles mask and tests name once; EMaskException passes to the caller.
bool FitsMask(std::string_view name, std::string_view mask);

// A list of masks compiled once, asked whether any of them fits a name. The
// answer is that of trying every mask's Fits in turn, but a name is tried
// only against the masks whose plain text it holds, so a thousand masks cost
// a name little more than a few: each mask is filed under the last three
// bytes of its longest run of plain characters, and the name's own
// three-byte windows find the masks to try.
class TMaskSet {
public:
  // Compiles every mask. An invalid mask is kept as its error and fits
  // nothing.
  explicit TMaskSet(const std::vector<std::string>& masks = {});

  // Whether any valid mask fits the whole name.
  bool Fits(std::string_view name) const;
  // The error of the first invalid mask in list order, or null.
  std::exception_ptr Failure() const { return failure_; }

private:
  // A mask with the plain text that a name must hold to fit it.
  struct Entry {
    TMask Mask;
    std::string Start, End;  // must begin / end the name (upped a-z); may be empty
    std::string Key;         // must occur in the name; filed by its last three bytes
  };
  // Whether the name holds the entry's start and end, then whether it fits.
  static bool Tries(const Entry& entry, std::string_view name);

  std::vector<Entry> entries_;
  std::vector<uint32_t> unfiled_;  // entries without a key of three bytes: tried on every name
  std::unordered_map<uint32_t, std::vector<uint32_t>> filed_;  // last three key bytes -> entries
  std::vector<uint64_t> filed_bits_;  // a bit per hashed three-byte window that files an entry
  std::exception_ptr failure_;
};

}  // namespace tessel
