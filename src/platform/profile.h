#pragma once
// Profile (INI) files: "[Section]" lines open sections, "key=value" lines
// hold values. A file is parsed once into its lines, every line kept as it
// was, so that writing one key and serialising changes that line only.
//
// Reading rules:
// - Section and key names are compared without regard to ASCII case; the
//   names are taken without the blanks around them.
// - A value is returned without the blanks around it, and one pair of
//   enclosing double or single quotes is removed; ReadString sees at most
//   kMaxProfileValue characters of it, ReadWholeString all of it, so that a
//   caller can tell a value that would be cut. An integer is parsed from the
//   whole value. A NUL byte ends the value, as it would end the text in a
//   character buffer.
// - When a section name occurs more than once, only its first occurrence is
//   the section (later ones are kept in the file but never looked at); when a
//   key occurs twice in a section, the first wins.
// - Lines before the first section, lines beginning with ";" and lines
//   without "=" (or with nothing before it) hold no key; they are kept.
// - Lines may end in LF or CRLF; each line keeps its own line end, and a
//   UTF-8 byte order mark is kept.
//
// Writing rules:
// - WriteString replaces the first key line of that name in the section or
//   adds one after the section's last line, creating the section at the end
//   of the file; a new file or section uses the file's line-end style (LF for
//   a new file).
// - A value never breaks the file's structure: each CR and each LF in it is
//   written as a blank, and the value ends at a NUL byte.
// - A value that begins or ends with a blank or a quote is written inside one
//   pair of double quotes, which the reader removes, so it reads back exactly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel {

constexpr size_t kMaxProfileValue = 2047;  // characters of a value that a read sees

class ProfileFile {
public:
  ProfileFile() = default;
  // Parses a file image. A text with bytes of 0x80 or above but not one
  // valid multi-byte UTF-8 sequence (nor a byte order mark) is taken as
  // Windows-1251 and converted to UTF-8; anything else is taken as UTF-8 as
  // it is. Never fails.
  static ProfileFile Parse(std::string_view image);
  // Reads and parses the file at path; a missing or unreadable file (or a
  // folder) gives an empty profile. Never fails.
  static ProfileFile Load(const std::string& path);

  // The value of a key cut to kMaxProfileValue characters, or fallback when
  // the section or key is absent.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback) const;
  // The same value however long it is.
  std::string ReadWholeString(std::string_view section, std::string_view key, std::string_view fallback) const;
  // A decimal integer with optional sign, or hexadecimal after "0x"/"0X"
  // (with at least one digit) or "$"; fallback for any other text and for a
  // value outside the 32-bit signed range.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  // An integer with default 1 or 0; any non-zero result is true.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;
  bool HasKey(std::string_view section, std::string_view key) const;
  // The key names of a section in file order, all of them (duplicates too).
  std::vector<std::string> KeyNames(std::string_view section) const;
  // Every key of a section in file order with its whole value, each value
  // looked up by its name as ReadWholeString does (a repeated name gives the
  // first one's value), in one pass over the section.
  std::vector<std::pair<std::string, std::string>> KeyValues(std::string_view section) const;
  // Section names in file order, each name once (as first written).
  std::vector<std::string> SectionNames() const;

  // Sets a key, creating the key and the section as needed. False (nothing
  // changed) when a name could not be read back: empty, with blanks around
  // it, a line break or NUL, "=" in a key, "]" in a section, or a key that
  // begins with "[" or ";".
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);
  // Removes the key's line; the section header stays. False when absent.
  bool DeleteKey(std::string_view section, std::string_view key);
  // Gives the section exactly these keys, in one pass over the file: the
  // image is the one that deleting every key of the section one by one and
  // then writing the entries in order with WriteString would give. The key
  // names must differ from each other; an entry whose name WriteString would
  // refuse is left out, and the result is then false.
  bool ReplaceKeys(std::string_view section, const std::vector<std::pair<std::string, std::string>>& entries);

  // The file image: every line as parsed or written, in order.
  std::string Serialize() const;

  // A value as WriteString puts it after the "=" sign.
  static std::string EncodeValue(std::string_view value);

private:
  enum class LineKind : uint8_t { Other, Section, Key };
  struct Line {
    std::string text;    // without its line end
    LineKind kind = LineKind::Other;
    std::string name;    // section or key name, trimmed
    size_t value_pos = 0;  // for a key line: offset of the text after "="
    bool crlf = false;     // ends in CR LF rather than LF
  };

  static Line ParseLine(std::string text);
  // Index of the first header of the section, or npos.
  size_t FindSection(std::string_view section) const;
  // Index of the line after the section's last line.
  size_t SectionEnd(size_t header) const;
  // Index of the first key line of that name in the section, or npos.
  size_t FindKey(std::string_view section, std::string_view key) const;
  // The value of a key line as the reader sees it: trimmed, one pair of
  // quotes removed, whole.
  static std::string_view ValueOf(const Line& line);
  // A line as the writers make it, in the file's line-end style.
  Line NewLine(std::string text) const;
  void InsertLine(size_t index, std::string text);
  // Where a new key of the section goes: after its last line that is not
  // blank, so that the blank lines before the next section stay in place.
  size_t KeyInsertPosition(size_t header) const;
  // Adds the section at the end of the file, after a blank line.
  void AppendSection(std::string_view section);

  std::vector<Line> lines_;
  const char* line_end_ = "\n";
  bool byte_order_mark_ = false;
  bool final_line_end_ = true;  // the last line ends in a line end
};

}  // namespace tessel
