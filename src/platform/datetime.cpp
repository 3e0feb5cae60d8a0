#include "platform/datetime.h"

#include <cmath>
#include <sys/time.h>

namespace tessel {
namespace {

constexpr int64_t kMillisecondsPerDay = 86400000;
// 1970-01-01 counted from 1899-12-30.
constexpr int64_t kUnixEpochDays = 25569;

// Civil date from days since 1970-01-01 (H. Hinnant's algorithm).
void CivilFromUnixDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

int64_t UnixDaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int64_t DaysFromCivil(int year, int month, int day) {
  return UnixDaysFromCivil(year, month, day) + kUnixEpochDays;
}

int IsoWeekday(int year, int month, int day) {
  // 1970-01-01 was a Thursday (4).
  const int64_t days = UnixDaysFromCivil(year, month, day);
  int64_t w = (days + 3) % 7;
  if (w < 0) w += 7;
  return static_cast<int>(w) + 1;
}

DateTime EncodeDateTime(const CivilTime& t) {
  const double days = static_cast<double>(DaysFromCivil(t.year, t.month, t.day));
  const double frac =
      (((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond) / kMillisecondsPerDay;
  // Before the epoch the fraction still counts forward from midnight.
  return days >= 0 ? days + frac : days - frac;
}

CivilTime DecodeDateTime(DateTime value) {
  // Whole milliseconds since the epoch, the fraction's sign following the day
  // part as the format defines it; nearbyint rounds halves to even.
  const double whole = std::trunc(value);
  const double frac = std::fabs(value - whole);
  int64_t ms = static_cast<int64_t>(std::nearbyint(frac * kMillisecondsPerDay));
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= kMillisecondsPerDay) {
    ms -= kMillisecondsPerDay;
    days += value < 0 ? -1 : 1;
  }
  CivilTime t;
  CivilFromUnixDays(days - kUnixEpochDays, t.year, t.month, t.day);
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

CivilTime LocalTimeOf(time_t seconds, long nanoseconds) {
  struct tm tm {};
  localtime_r(&seconds, &tm);
  CivilTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  t.millisecond = static_cast<int>(nanoseconds / 1000000);
  return t;
}

CivilTime LocalNow() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return LocalTimeOf(ts.tv_sec, ts.tv_nsec);
}

DateTime Now() { return EncodeDateTime(LocalNow()); }

uint32_t DosFromCivil(const CivilTime& t) {
  if (t.year < 1980 || t.year > 2107) return 0;
  const uint32_t date = static_cast<uint32_t>(((t.year - 1980) << 9) | (t.month << 5) | t.day);
  const uint32_t time = static_cast<uint32_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
  return (date << 16) | time;
}

bool DosToDateTime(uint32_t dos, DateTime& out) {
  const int second = static_cast<int>(dos & 0x1F) * 2;
  const int minute = static_cast<int>((dos >> 5) & 0x3F);
  const int hour = static_cast<int>((dos >> 11) & 0x1F);
  const int day = static_cast<int>((dos >> 16) & 0x1F);
  const int month = static_cast<int>((dos >> 21) & 0x0F);
  const int year = static_cast<int>((dos >> 25) & 0x7F) + 1980;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  CivilTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  out = EncodeDateTime(t);
  return true;
}

uint32_t DosFromFileTime(time_t seconds) {
  CivilTime t = LocalTimeOf(seconds);
  if (t.year < 1980) return DosFromCivil(CivilTime{1980, 1, 1, 0, 0, 0, 0});
  if (t.year > 2099) return DosFromCivil(CivilTime{2099, 12, 31, 23, 59, 58, 0});
  return DosFromCivil(t);
}

}  // namespace tessel
