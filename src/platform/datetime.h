#pragma once
// The date-time value shared by the whole program: a double count of days
// since 30 December 1899 00:00, the fraction being the time of day.
#include <cstdint>
#include <ctime>

namespace tessel {

using DateTime = double;

struct CivilTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Days from 1899-12-30 to the given calendar date (proleptic Gregorian).
int64_t DaysFromCivil(int year, int month, int day);
// Builds a date-time value from calendar fields (no range checks).
DateTime EncodeDateTime(const CivilTime& t);
// Splits a value into calendar fields after rounding it to the nearest
// millisecond, halves to even; 0.4 ms before midnight is 00:00:00.000 of the
// next day.
CivilTime DecodeDateTime(DateTime value);
// Weekday of a date, Monday = 1 .. Sunday = 7.
int IsoWeekday(int year, int month, int day);
int DaysInMonth(int year, int month);
bool IsLeapYear(int year);

// The current local time of the system clock, to the millisecond.
CivilTime LocalNow();
DateTime Now();
// A POSIX time (seconds and nanoseconds since the epoch) in local time.
CivilTime LocalTimeOf(time_t seconds, long nanoseconds = 0);

// DOS date-time word: time in the low 16 bits, date in the high 16 bits.
// From calendar fields: 0 for years outside 1980..2107.
uint32_t DosFromCivil(const CivilTime& t);
// To a date-time value; false when the fields do not form a valid date/time.
bool DosToDateTime(uint32_t dos, DateTime& out);
// The stamp of a file's modification time: local time, odd seconds rounded
// down, before 1980 clamped to 1980-01-01 00:00:00 and after 2099 to
// 2099-12-31 23:59:58.
uint32_t DosFromFileTime(time_t seconds);

}  // namespace tessel
