#include "platform/datetime.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

TEST(DateTime, EpochAndKnownDays) {
  EXPECT_EQ(DaysFromCivil(1899, 12, 30), 0);
  EXPECT_EQ(DaysFromCivil(1900, 1, 1), 2);
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 25569);
  EXPECT_EQ(DaysFromCivil(2026, 3, 5), 46086);
}

TEST(DateTime, RoundsToNearestMillisecondIntoNextDay) {
  const double day = static_cast<double>(DaysFromCivil(2026, 12, 31));
  const CivilTime t = DecodeDateTime(day + 1.0 - 0.0004 / 86400.0);
  EXPECT_EQ(t.year, 2027);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(t.millisecond, 0);
}

TEST(DateTime, EncodeDecodeRoundTrip) {
  const CivilTime in{2026, 3, 5, 7, 4, 9, 250};
  const CivilTime out = DecodeDateTime(EncodeDateTime(in));
  EXPECT_EQ(out.year, 2026);
  EXPECT_EQ(out.month, 3);
  EXPECT_EQ(out.day, 5);
  EXPECT_EQ(out.hour, 7);
  EXPECT_EQ(out.minute, 4);
  EXPECT_EQ(out.second, 9);
  EXPECT_EQ(out.millisecond, 250);
}

TEST(DateTime, Weekdays) {
  EXPECT_EQ(IsoWeekday(2027, 1, 1), 5);    // Friday
  EXPECT_EQ(IsoWeekday(2024, 12, 30), 1);  // Monday
  EXPECT_EQ(IsoWeekday(2026, 3, 1), 7);    // Sunday
}

TEST(DateTime, DosStamps) {
  EXPECT_EQ(DosFromCivil(CivilTime{1979, 12, 31, 0, 0, 0, 0}), 0u);
  EXPECT_EQ(DosFromCivil(CivilTime{1980, 1, 1, 0, 0, 0, 0}), 0x00210000u);
  DateTime v = 0;
  EXPECT_TRUE(DosToDateTime(0x00210000u, v));
  EXPECT_EQ(v, static_cast<double>(DaysFromCivil(1980, 1, 1)));
  EXPECT_FALSE(DosToDateTime(0, v));  // month 0
}

}  // namespace
}  // namespace tessel
