#pragma once
// Text helpers. All text in memory is UTF-8; the unit of masks and limits is
// the character. Bytes that are not valid UTF-8 count as single characters and
// decode to kInvalidByteBase + byte, so they stay distinct from every real
// character and re-encode to the same byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessel {

constexpr uint32_t kInvalidByteBase = 0x110000;

// Decodes the character at byte offset pos (pos < s.size()) and advances pos
// past it.
uint32_t Utf8Next(std::string_view s, size_t& pos);
// Number of bytes of the character starting at pos.
size_t Utf8CharLength(std::string_view s, size_t pos);
// Appends a code point (or an invalid byte marker) as UTF-8.
void Utf8Append(std::string& out, uint32_t cp);
// Number of characters in s.
size_t Utf8Count(std::string_view s);
// The first `chars` characters of s; never splits a character.
std::string_view Utf8Prefix(std::string_view s, size_t chars);
// Byte offset of character number `chars` (or s.size()).
size_t Utf8ByteOffset(std::string_view s, size_t chars);
bool IsValidUtf8(std::string_view s);
// True when s holds at least one valid multi-byte UTF-8 sequence.
bool HasMultiByteUtf8(std::string_view s);

// ASCII-only case folding: a-z <-> A-Z; every other byte stays.
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
constexpr uint32_t AsciiUpper(uint32_t cp) { return cp >= 'a' && cp <= 'z' ? cp - 32 : cp; }
constexpr uint32_t AsciiLower(uint32_t cp) { return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp; }
std::string AsciiUpper(std::string_view s);
std::string AsciiLower(std::string_view s);

// The Russian DOS code page (stored names of old archives) and the Windows
// Cyrillic code page (configuration files brought over from Windows). Decoding
// never fails; encoding returns false when a character has no byte there.
std::string Cp866ToUtf8(std::string_view bytes);
bool Utf8ToCp866(std::string_view text, std::string& out);
std::string Cp1251ToUtf8(std::string_view bytes);
bool Utf8ToCp1251(std::string_view text, std::string& out);

}  // namespace tessel
