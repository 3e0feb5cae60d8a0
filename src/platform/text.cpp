#include "platform/text.h"

#include <algorithm>

namespace tessel {
namespace {

// Unicode code points of the bytes 0x80..0xFF of the Russian DOS code page.
constexpr char16_t kCp866[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

// Unicode code points of the bytes 0x80..0xFF of the Windows Cyrillic code
// page; its one undefined byte (0x98) keeps its value as a C1 control.
constexpr char16_t kCp1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

std::string DecodeSingleByte(std::string_view bytes, const char16_t (&high)[128]) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      Utf8Append(out, high[b - 0x80]);
    }
  }
  return out;
}

bool EncodeSingleByte(std::string_view text, const char16_t (&high)[128], std::string& out) {
  out.clear();
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = pos;
    const uint32_t cp = Utf8Next(text, pos);
    if (cp < 0x80 && pos - start == 1) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    const auto* it = std::find(std::begin(high), std::end(high), static_cast<char16_t>(cp));
    if (cp > 0xFFFF || it == std::end(high)) return false;
    out.push_back(static_cast<char>(0x80 + (it - std::begin(high))));
  }
  return true;
}

}  // namespace

size_t Utf8CharLength(std::string_view s, size_t pos) {
  size_t next = pos;
  Utf8Next(s, next);
  return next - pos;
}

uint32_t Utf8Next(std::string_view s, size_t& pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  size_t need = 0;
  uint32_t cp = 0;
  uint32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    need = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kInvalidByteBase + b0;
  }
  if (pos + need >= s.size()) {
    ++pos;
    return kInvalidByteBase + b0;
  }
  for (size_t i = 1; i <= need; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return kInvalidByteBase + b0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kInvalidByteBase + b0;
  }
  pos += need + 1;
  return cp;
}

void Utf8Append(std::string& out, uint32_t cp) {
  if (cp >= kInvalidByteBase && cp < kInvalidByteBase + 0x100) {
    out.push_back(static_cast<char>(cp - kInvalidByteBase));
  } else if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

size_t Utf8Count(std::string_view s) {
  size_t n = 0;
  for (size_t pos = 0; pos < s.size(); ++n) Utf8Next(s, pos);
  return n;
}

std::string_view Utf8Prefix(std::string_view s, size_t chars) {
  size_t pos = 0;
  for (size_t n = 0; n < chars && pos < s.size(); ++n) Utf8Next(s, pos);
  return s.substr(0, pos);
}

size_t Utf8ByteOffset(std::string_view s, size_t chars) { return Utf8Prefix(s, chars).size(); }

bool IsValidUtf8(std::string_view s) {
  for (size_t pos = 0; pos < s.size();) {
    if (Utf8Next(s, pos) >= kInvalidByteBase) return false;
  }
  return true;
}

bool HasMultiByteUtf8(std::string_view s) {
  for (size_t pos = 0; pos < s.size();) {
    const size_t start = pos;
    const uint32_t cp = Utf8Next(s, pos);
    if (cp < kInvalidByteBase && pos - start > 1) return true;
  }
  return false;
}

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string Cp866ToUtf8(std::string_view bytes) { return DecodeSingleByte(bytes, kCp866); }
bool Utf8ToCp866(std::string_view text, std::string& out) { return EncodeSingleByte(text, kCp866, out); }
std::string Cp1251ToUtf8(std::string_view bytes) { return DecodeSingleByte(bytes, kCp1251); }
bool Utf8ToCp1251(std::string_view text, std::string& out) { return EncodeSingleByte(text, kCp1251, out); }

}  // namespace tessel
