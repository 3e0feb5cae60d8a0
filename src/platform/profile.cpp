#include "platform/profile.h"

#include <iterator>
#include <limits>
#include <unordered_map>

#include "platform/paths.h"
#include "platform/text.h"

namespace tessel {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The blanks that the reader trims around names and values.
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
constexpr bool IsQuote(char c) { return c == '"' || c == '\''; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The part of a line that the reader sees: everything before a NUL byte.
std::string_view UpToNul(std::string_view s) {
  const size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses the integer forms of the reading rules; false for anything else or
// for a value outside the 32-bit signed range.
bool ParseInteger(std::string_view s, int32_t& out) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  bool negative = false;
  if ((s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) || (!s.empty() && s[0] == '$')) {
    s.remove_prefix(s[0] == '$' ? 1 : 2);
    if (s.empty()) return false;
    for (char c : s) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value * 16 + digit;
      if (value > kMax) return false;
    }
  } else {
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
      negative = s[0] == '-';
      s.remove_prefix(1);
    }
    if (s.empty()) return false;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
      if (value > kMax + 1) return false;
    }
    if (negative) value = -value;
    if (value > kMax) return false;
  }
  out = static_cast<int32_t>(value);
  return true;
}

bool ValidSectionName(std::string_view name) {
  if (name.empty() || Trim(name).size() != name.size()) return false;
  return name.find_first_of(std::string_view("]\r\n\0", 4)) == std::string_view::npos;
}

bool ValidKeyName(std::string_view name) {
  if (name.empty() || Trim(name).size() != name.size()) return false;
  if (name.front() == '[' || name.front() == ';') return false;
  return name.find_first_of(std::string_view("=\r\n\0", 4)) == std::string_view::npos;
}

}  // namespace

ProfileFile::Line ProfileFile::ParseLine(std::string text) {
  Line line;
  const std::string_view visible = UpToNul(text);
  const std::string_view t = Trim(visible);
  if (!t.empty() && t.front() == '[') {
    std::string_view name = t.substr(1);
    name = name.substr(0, name.find(']'));
    line.kind = LineKind::Section;
    line.name = Trim(name);
  } else if (!t.empty() && t.front() != ';') {
    const size_t eq = visible.find('=');
    if (eq != std::string_view::npos) {
      const std::string_view name = Trim(visible.substr(0, eq));
      if (!name.empty()) {
        line.kind = LineKind::Key;
        line.name = name;
        line.value_pos = eq + 1;
      }
    }
  }
  line.text = std::move(text);
  return line;
}

ProfileFile ProfileFile::Parse(std::string_view image) {
  ProfileFile profile;
  if (image.starts_with(kByteOrderMark)) {
    profile.byte_order_mark_ = true;
    image.remove_prefix(kByteOrderMark.size());
  }
  std::string converted;
  bool high_bytes = false;
  for (char c : image) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      high_bytes = true;
      break;
    }
  }
  // A byte order mark declares the file UTF-8 whatever follows.
  if (high_bytes && !profile.byte_order_mark_ && !HasMultiByteUtf8(image)) {
    converted = Cp1251ToUtf8(image);
    image = converted;
  }
  const size_t first_end = image.find('\n');
  if (first_end != std::string_view::npos && first_end > 0 && image[first_end - 1] == '\r') {
    profile.line_end_ = "\r\n";
  }
  size_t pos = 0;
  while (pos < image.size()) {
    size_t end = image.find('\n', pos);
    const bool terminated = end != std::string_view::npos;
    if (!terminated) end = image.size();
    std::string_view text = image.substr(pos, end - pos);
    // An unterminated last line takes the file's style if a line is added.
    bool crlf = !terminated && std::string_view(profile.line_end_) == "\r\n";
    if (terminated && !text.empty() && text.back() == '\r') {
      text.remove_suffix(1);
      crlf = true;
    }
    Line line = ParseLine(std::string(text));
    line.crlf = crlf;
    profile.lines_.push_back(std::move(line));
    profile.final_line_end_ = terminated;
    pos = end + 1;
  }
  return profile;
}

ProfileFile ProfileFile::Load(const std::string& path) {
  std::string image;
  if (!ReadWholeFile(path, image)) return {};
  return Parse(image);
}

size_t ProfileFile::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == LineKind::Section && SameName(lines_[i].name, section)) return i;
  }
  return std::string::npos;
}

size_t ProfileFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && lines_[i].kind != LineKind::Section) ++i;
  return i;
}

size_t ProfileFile::FindKey(std::string_view section, std::string_view key) const {
  const size_t header = FindSection(section);
  if (header == std::string::npos) return std::string::npos;
  const size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind == LineKind::Key && SameName(lines_[i].name, key)) return i;
  }
  return std::string::npos;
}

std::string_view ProfileFile::ValueOf(const Line& line) {
  std::string_view value = Trim(UpToNul(std::string_view(line.text).substr(line.value_pos)));
  if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

std::string ProfileFile::ReadWholeString(std::string_view section, std::string_view key,
                                         std::string_view fallback) const {
  const size_t index = FindKey(section, key);
  return std::string(index == std::string::npos ? fallback : ValueOf(lines_[index]));
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
  const size_t index = FindKey(section, key);
  if (index == std::string::npos) return std::string(fallback);
  return std::string(Utf8Prefix(ValueOf(lines_[index]), kMaxProfileValue));
}

int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const {
  const size_t index = FindKey(section, key);
  int32_t value = 0;
  return index != std::string::npos && ParseInteger(ValueOf(lines_[index]), value) ? value : fallback;
}

bool ProfileFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

bool ProfileFile::HasKey(std::string_view section, std::string_view key) const {
  return FindKey(section, key) != std::string::npos;
}

std::vector<std::string> ProfileFile::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  const size_t header = FindSection(section);
  if (header == std::string::npos) return names;
  const size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind == LineKind::Key) names.push_back(lines_[i].name);
  }
  return names;
}

std::vector<std::pair<std::string, std::string>> ProfileFile::KeyValues(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> entries;
  const size_t header = FindSection(section);
  if (header == std::string::npos) return entries;
  const size_t end = SectionEnd(header);
  // The first line of each name, by its name folded to lower case.
  std::unordered_map<std::string, size_t> first;
  for (size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind != LineKind::Key) continue;
    const size_t line = first.try_emplace(AsciiLower(lines_[i].name), i).first->second;
    entries.emplace_back(lines_[i].name, ValueOf(lines_[line]));
  }
  return entries;
}

std::vector<std::string> ProfileFile::SectionNames() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == LineKind::Section && FindSection(lines_[i].name) == i) names.push_back(lines_[i].name);
  }
  return names;
}

std::string ProfileFile::EncodeValue(std::string_view value) {
  std::string encoded(UpToNul(value));
  for (char& c : encoded) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (!encoded.empty() && (IsBlank(encoded.front()) || IsBlank(encoded.back()) || IsQuote(encoded.front()) ||
                           IsQuote(encoded.back()))) {
    encoded = '"' + encoded + '"';
  }
  return encoded;
}

ProfileFile::Line ProfileFile::NewLine(std::string text) const {
  Line line = ParseLine(std::move(text));
  line.crlf = std::string_view(line_end_) == "\r\n";
  return line;
}

void ProfileFile::InsertLine(size_t index, std::string text) {
  Line line = NewLine(std::move(text));
  if (index >= lines_.size()) {
    final_line_end_ = true;
    lines_.push_back(std::move(line));
  } else {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
  }
}

size_t ProfileFile::KeyInsertPosition(size_t header) const {
  size_t position = SectionEnd(header);
  while (position > header + 1 && Trim(UpToNul(lines_[position - 1].text)).empty()) --position;
  return position;
}

void ProfileFile::AppendSection(std::string_view section) {
  if (!lines_.empty() && !Trim(lines_.back().text).empty()) InsertLine(lines_.size(), "");
  InsertLine(lines_.size(), "[" + std::string(section) + "]");
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (!ValidSectionName(section) || !ValidKeyName(key)) return false;
  const size_t index = FindKey(section, key);
  if (index != std::string::npos) {
    // Keep the name as the file spells it.
    Line& line = lines_[index];
    const bool crlf = line.crlf;
    line = ParseLine(line.name + "=" + EncodeValue(value));
    line.crlf = crlf;
    return true;
  }
  std::string text = std::string(key) + "=" + EncodeValue(value);
  const size_t header = FindSection(section);
  if (header == std::string::npos) {
    AppendSection(section);
    InsertLine(lines_.size(), std::move(text));
  } else {
    InsertLine(KeyInsertPosition(header), std::move(text));
  }
  return true;
}

void ProfileFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void ProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool ProfileFile::DeleteKey(std::string_view section, std::string_view key) {
  const size_t index = FindKey(section, key);
  if (index == std::string::npos) return false;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
  if (index == lines_.size()) final_line_end_ = true;
  return true;
}

bool ProfileFile::ReplaceKeys(std::string_view section,
                              const std::vector<std::pair<std::string, std::string>>& entries) {
  bool all_written = ValidSectionName(section);
  std::vector<Line> new_keys;
  new_keys.reserve(entries.size());
  for (const auto& [key, value] : entries) {
    if (!all_written || !ValidKeyName(key)) {
      all_written = false;
      continue;
    }
    new_keys.push_back(NewLine(key + "=" + EncodeValue(value)));
  }
  size_t header = FindSection(section);
  if (header == std::string::npos) {
    if (new_keys.empty()) return all_written;
    AppendSection(section);
    header = lines_.size() - 1;
  }
  const size_t end = SectionEnd(header);
  // Deleting the file's last line gives the file a final line end.
  if (end == lines_.size() && end > header + 1 && lines_.back().kind == LineKind::Key) final_line_end_ = true;
  // The section's other lines stay; the keys go after the last one that is
  // not blank, where writing them one by one would put them.
  std::vector<Line> kept;
  for (size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind != LineKind::Key) kept.push_back(std::move(lines_[i]));
  }
  size_t split = kept.size();
  while (split > 0 && Trim(UpToNul(kept[split - 1].text)).empty()) --split;
  if (end == lines_.size() && split == kept.size() && !new_keys.empty()) final_line_end_ = true;

  std::vector<Line> section_lines;
  section_lines.reserve(kept.size() + new_keys.size());
  std::move(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(split), std::back_inserter(section_lines));
  std::move(new_keys.begin(), new_keys.end(), std::back_inserter(section_lines));
  std::move(kept.begin() + static_cast<std::ptrdiff_t>(split), kept.end(), std::back_inserter(section_lines));
  const auto first = lines_.begin() + static_cast<std::ptrdiff_t>(header + 1);
  lines_.erase(first, lines_.begin() + static_cast<std::ptrdiff_t>(end));
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(header + 1), std::make_move_iterator(section_lines.begin()),
                std::make_move_iterator(section_lines.end()));
  return all_written;
}

std::string ProfileFile::Serialize() const {
  size_t size = byte_order_mark_ ? kByteOrderMark.size() : 0;
  for (const Line& line : lines_) size += line.text.size() + 2;
  std::string image;
  image.reserve(size);
  if (byte_order_mark_) image += kByteOrderMark;
  for (size_t i = 0; i < lines_.size(); ++i) {
    image += lines_[i].text;
    if (i + 1 < lines_.size() || final_line_end_) image += lines_[i].crlf ? "\r\n" : "\n";
  }
  return image;
}

}  // namespace tessel
