#include "platform/text.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

TEST(Text, CountsCharactersNotBytes) {
  EXPECT_EQ(Utf8Count("отчет.txt"), 9u);
  EXPECT_EQ(Utf8Prefix("ёжик", 2), "ёж");
  // A stray byte counts as one character and is kept as it is.
  EXPECT_EQ(Utf8Count("a\xFF" "b"), 3u);
  std::string round;
  for (size_t pos = 0; pos < 4;) Utf8Append(round, Utf8Next("a\xFF\xD0z", pos));
  EXPECT_EQ(round, "a\xFF\xD0z");
  EXPECT_FALSE(IsValidUtf8("\xD0"));
  EXPECT_TRUE(IsValidUtf8("Привет"));
  EXPECT_FALSE(HasMultiByteUtf8("plain \xE0\xEE"));
  EXPECT_TRUE(HasMultiByteUtf8("plain д"));
}

TEST(Text, AsciiFoldingLeavesCyrillicAlone) {
  EXPECT_EQ(AsciiUpper("abc-отчет"), "ABC-отчет");
  EXPECT_EQ(AsciiLower("ABC-ОТЧЕТ"), "abc-ОТЧЕТ");
}

TEST(Text, CodePages) {
  // "Отчёт" in the DOS code page and in the Windows Cyrillic code page.
  EXPECT_EQ(Cp866ToUtf8("\x8E\xE2\xE7\xF1\xE2"), "Отчёт");
  EXPECT_EQ(Cp1251ToUtf8("\xCE\xF2\xF7\xB8\xF2"), "Отчёт");
  std::string bytes;
  ASSERT_TRUE(Utf8ToCp866("Отчёт/a", bytes));
  EXPECT_EQ(bytes, "\x8E\xE2\xE7\xF1\xE2/a");
  EXPECT_FALSE(Utf8ToCp866("€", bytes));
  // Every byte of the DOS code page survives the round trip.
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    ASSERT_TRUE(Utf8ToCp866(Cp866ToUtf8(one), bytes)) << b;
    EXPECT_EQ(bytes, one) << b;
  }
}

}  // namespace
}  // namespace tessel
