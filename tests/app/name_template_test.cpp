#include "app/name_template.h"

#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <string>

namespace tessel {
namespace {

DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDateTime(CivilTime{y, mo, d, h, mi, s, ms});
}

TEST(NameTemplate, TokenTable) {
  const char* const expected[17][2] = {
      {"%yyyy%", "год 4 цифры"},
      {"%yyy%", "год 3 последние цифры"},
      {"%yy%", "год 2 последние цифры"},
      {"%y%", "год 1 последняя цифра"},
      {"%my%", "месяц 2 цифры"},
      {"%dd%", "день 2 цифры"},
      {"%hh%", "час 2 цифры"},
      {"%mm%", "минута 2 цифры"},
      {"%ss%", "секунда 2 цифры"},
      {"%wm%", "неделя месяца 1 цифра"},
      {"%wy%", "неделя года 2 цифры"},
      {"%qwart%", "квартал 1 цифры"},
      {"%qwartr%", "квартал римскими"},
      {"%qwartr3%", "квартал римскими 3 символа"},
      {"%dcht%", "четность дня (1-не четный, 2-четный)"},
      {"%mcht%", "четность месяца (1-не четный, 2-четный)"},
      {"%ycht%", "четность года (1-не четный, 2-четный)"},
  };
  for (size_t i = 0; i < 17; ++i) {
    EXPECT_STREQ(kTemplateTokens[i].Token, expected[i][0]) << i;
    EXPECT_STREQ(kTemplateTokens[i].Description, expected[i][1]) << i;
  }
}

TEST(NameTemplate, Expansion) {
  struct Case {
    const char* templ;
    DateTime moment;
    const char* expected;
  } const cases[] = {
      {"/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip", At(2026, 3, 5, 7, 4, 9), "/BackUp/20260305070409.zip"},
      {"", At(2026, 3, 5), ""},
      {"plain name.zip", At(2026, 3, 5), "plain name.zip"},
      {"%dd%-%dd%", At(2026, 3, 5), "05-05"},
      {"%yyyy%|%yyy%|%yy%|%y%", At(2026, 3, 5), "2026|026|26|6"},
      {"%yyyy%|%yyy%|%yy%|%y%", At(987, 1, 1), "0987|987|87|7"},
      {"%yyyy%", At(2027, 1, 1), "2027"},
      {"%wy% %wm%", At(2027, 1, 1), "53 5"},
      {"%yyyy% %wy% %wm%", At(2024, 12, 30), "2024 01 1"},
      {"%wm%", At(2026, 3, 1), "4"},
      {"%wm%", At(2026, 12, 6), "1"},
      {"%wy%", At(2026, 1, 5), "02"},
      {"%qwart%%qwartr%[%qwartr3%]", At(2026, 8, 1), "3III[III]"},
      {"%qwart%%qwartr%[%qwartr3%]", At(2026, 11, 30), "4IV[ IV]"},
      {"%qwart%%qwartr%[%qwartr3%]", At(2026, 1, 1), "1I[  I]"},
      {"%qwart%%qwartr%[%qwartr3%]", At(2026, 6, 30), "2II[ II]"},
      {"%dcht%", At(2026, 1, 31), "1"},
      {"%dcht%", At(2026, 1, 30), "2"},
      {"%mcht% %ycht%", At(2026, 3, 1), "1 2"},
      {"%mcht% %ycht%", At(2027, 12, 1), "2 1"},
      // No tokens: upper case, unknown names, a lone percent sign.
      {"%MM%%YYYY%%Dd%%foo%%", At(2026, 3, 5), "%MM%%YYYY%%Dd%%foo%%"},
      // A value completes a later token: "%y%" gives 3, forming "%qwartr3%".
      {"%qwartr%y%%", At(2023, 8, 1), "III"},
      {"%qwartr%y%%", At(2024, 8, 1), "%qwartr4%"},
      // Longer year tokens go first, so "%yyyy%" is not read as "%y%" pieces.
      {"%yy%yy%", At(2026, 3, 5), "26yy%"},
      // Milliseconds play no part; 0.4 ms before midnight is the next day.
      {"%yyyy%%my%%dd%%hh%%mm%%ss%", At(2026, 12, 31, 23, 59, 59, 999), "20261231235959"},
      {"%yyyy%%my%%dd%%hh%%mm%%ss%", At(2027, 1, 1) - 0.0004 / 86400.0, "20270101000000"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandArchiveName(c.templ, c.moment), c.expected) << c.templ;
}

TEST(NameTemplate, ZeroMeansNow) {
  const char* templ = "%yyyy%-%my%-%dd% %hh%:%mm%";
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string before = ExpandArchiveName(templ, Now());
    const std::string expanded = ExpandArchiveName(templ, 0.0);
    const std::string after = ExpandArchiveName(templ, Now());
    if (before != after) continue;  // a minute boundary passed
    EXPECT_EQ(expanded, before);
    EXPECT_NE(expanded, "1899-12-30 00:00");
    return;
  }
  FAIL() << "clock kept changing";
}

TEST(NameTemplate, ExtremeMomentsStayInTheCalendar) {
  EXPECT_EQ(ExpandArchiveName("%yyyy%", 1e300), "9999");
  EXPECT_EQ(ExpandArchiveName("%yyyy%", -1e300), "0100");
  EXPECT_EQ(ExpandArchiveName("%yyyy%%wy%", std::numeric_limits<double>::infinity()).size(), 6u);
}

TEST(TextOperations, PadLeft) {
  EXPECT_EQ(PadLeft(5, 3, '0'), "005");
  EXPECT_EQ(PadLeft(12345, 3, '0'), "12345");
  EXPECT_EQ(PadLeft(7, 1, '0'), "7");
  EXPECT_EQ(PadLeft(7, 0, '0'), "7");
  EXPECT_EQ(PadLeft(7, -4, '0'), "7");
  EXPECT_EQ(PadLeft(-5, 4, '0'), "00-5");
  EXPECT_EQ(PadLeft(3, 3, ' '), "  3");
}

TEST(TextOperations, ReplaceFirstAndAll) {
  EXPECT_EQ(ReplaceFirst("a-%x%-%x%", "%x%", "1"), "a-1-%x%");
  EXPECT_EQ(ReplaceFirst("abc", "", "X"), "abc");
  EXPECT_EQ(ReplaceFirst("%MM%", "%mm%", "X"), "%MM%");
  EXPECT_EQ(ReplaceFirst("abc", "abc", ""), "");
  EXPECT_EQ(ReplaceAll("a-%x%-%x%", "%x%", "1"), "a-1-1");
  EXPECT_EQ(ReplaceAll("abc", "", "X"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "b", "xbx"), "");   // replacement holds the token
  EXPECT_EQ(ReplaceAll("aabb", "ab", ""), "");    // occurrences formed by replacing
  EXPECT_EQ(ReplaceAll("%MM%MM%", "%MM%", "%my%"), "%my%my%");
  EXPECT_EQ(ReplaceAll("none here", "%x%", "1"), "none here");
}

// Independent ISO week: the C library's "%V".
int LibraryIsoWeek(int y, int m, int d) {
  struct tm tm {};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = 12;
  const time_t t = timegm(&tm);
  struct tm out {};
  gmtime_r(&t, &out);
  char buf[8];
  strftime(buf, sizeof buf, "%V", &out);
  return std::atoi(buf);
}

// Independent month week: the week belongs to the month holding its
// Thursday, and is numbered by that Thursday's place in the month.
int ThursdayMonthWeek(int y, int m, int d) {
  const int64_t days = DaysFromCivil(y, m, d);
  const int64_t thursday = days - IsoWeekday(y, m, d) + 4;
  const CivilTime t = DecodeDateTime(static_cast<DateTime>(thursday));
  return (t.day - 1) / 7 + 1;
}

TEST(WeekNumbers, EveryDayFrom1980To2100) {
  int checked = 0;
  for (int y = 1980; y <= 2100; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= DaysInMonth(y, m); ++d) {
        const DateTime date = At(y, m, d, 15, 30);
        ASSERT_EQ(YearWeekNumber(date), LibraryIsoWeek(y, m, d)) << y << "-" << m << "-" << d;
        const int wm = MonthWeekNumber(date);
        ASSERT_GE(wm, 1);
        ASSERT_LE(wm, 5);
        ASSERT_EQ(wm, ThursdayMonthWeek(y, m, d)) << y << "-" << m << "-" << d;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 44195);  // 121 years, 30 of them leap
}

TEST(WeekNumbers, Examples) {
  EXPECT_EQ(YearWeekNumber(At(2027, 1, 1)), 53);
  EXPECT_EQ(MonthWeekNumber(At(2027, 1, 1)), 5);
  EXPECT_EQ(YearWeekNumber(At(2024, 12, 30)), 1);
  EXPECT_EQ(MonthWeekNumber(At(2024, 12, 30)), 1);
  EXPECT_EQ(MonthWeekNumber(At(2026, 3, 1)), 4);
  EXPECT_EQ(MonthWeekNumber(At(2026, 12, 6)), 1);
  // Rounded to the millisecond first: 0.4 ms before a Monday is that Monday.
  EXPECT_EQ(YearWeekNumber(At(2024, 12, 30) - 0.0004 / 86400.0), 1);
  EXPECT_EQ(YearWeekNumber(At(2024, 12, 30) - 0.0006 / 86400.0), 52);
}

}  // namespace
}  // namespace tessel
