#include "app/name_template.h"

#include <cmath>

namespace tessel {
namespace {

// The range of calendar dates that a moment may name: 1 January 100 to
// 31 December 9999. A moment beyond it is taken at its edge, and NaN as now,
// so that no value breaks the calendar arithmetic.
constexpr DateTime kFirstMoment = -657434.0;
constexpr DateTime kLastMoment = 2958465.99999;

struct Date {
  int year, month, day;
};

Date DateOf(DateTime moment) {
  const CivilTime t = DecodeDateTime(moment);
  return {t.year, t.month, t.day};
}

DateTime Clamped(DateTime moment) {
  if (std::isnan(moment)) return Now();
  if (moment < kFirstMoment) return kFirstMoment;
  if (moment > kLastMoment) return kLastMoment;
  return moment;
}

int DayOfYear(const Date& d) {
  return static_cast<int>(DaysFromCivil(d.year, d.month, d.day) - DaysFromCivil(d.year, 1, 1)) + 1;
}

// A year has 53 weeks when it begins on a Thursday, or on a Wednesday in a
// leap year.
int IsoWeeksInYear(int year) {
  const int first = IsoWeekday(year, 1, 1);
  return first == 4 || (first == 3 && IsLeapYear(year)) ? 53 : 52;
}

int IsoWeek(const Date& d) {
  const int week = (DayOfYear(d) - IsoWeekday(d.year, d.month, d.day) + 10) / 7;
  if (week < 1) return IsoWeeksInYear(d.year - 1);
  if (week > IsoWeeksInYear(d.year)) return 1;
  return week;
}

int MonthWeek(const Date& d) {
  const int first = IsoWeekday(d.year, d.month, 1);
  const int k = first <= 4 ? d.day + first - 1 : d.day + first - 8;
  if (k <= 0) {
    // The week's Thursday lies in the previous month.
    const int year = d.month == 1 ? d.year - 1 : d.year;
    const int month = d.month == 1 ? 12 : d.month - 1;
    return MonthWeek({year, month, DaysInMonth(year, month)});
  }
  const int week = (k + 6) / 7;
  const int days = DaysInMonth(d.year, d.month);
  const int last = IsoWeekday(d.year, d.month, days);
  // The week's Thursday lies in the next month.
  if (last <= 3 && days - d.day < last) return 1;
  return week;
}

const char* Parity(int n) { return n % 2 != 0 ? "1" : "2"; }

}  // namespace

const std::array<TemplateToken, 17> kTemplateTokens = {{
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
}};

std::string PadLeft(long long number, int width, char fill) {
  std::string text = std::to_string(number);
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    text.insert(0, static_cast<size_t>(width) - text.size(), fill);
  }
  return text;
}

std::string ReplaceFirst(std::string_view source, std::string_view token, std::string_view replacement) {
  const size_t at = token.empty() ? std::string_view::npos : source.find(token);
  if (at == std::string_view::npos) return std::string(source);
  std::string result;
  result.reserve(source.size() - token.size() + replacement.size());
  result.append(source.substr(0, at));
  result.append(replacement);
  result.append(source.substr(at + token.size()));
  return result;
}

std::string ReplaceAll(std::string_view source, std::string_view token, std::string_view replacement) {
  if (token.empty()) return std::string(source);
  if (replacement.find(token) != std::string_view::npos) return {};
  // A replacement that does not hold the token changes the text whenever it
  // is applied, so an unchanged length and content means nothing was found.
  std::string text(source);
  for (;;) {
    std::string next = ReplaceFirst(text, token, replacement);
    if (next == text) return text;
    text = std::move(next);
  }
}

int YearWeekNumber(DateTime date) { return IsoWeek(DateOf(Clamped(date))); }

int MonthWeekNumber(DateTime date) { return MonthWeek(DateOf(Clamped(date))); }

std::string ExpandArchiveName(std::string_view templ, DateTime moment) {
  const DateTime fixed = moment == 0.0 ? Now() : Clamped(moment);
  const CivilTime t = DecodeDateTime(fixed);
  const Date date{t.year, t.month, t.day};
  const std::string year = PadLeft(t.year, 4, '0');
  const int quarter = (t.month - 1) / 3 + 1;
  static constexpr const char* kRoman[4] = {"I", "II", "III", "IV"};
  static constexpr const char* kRoman3[4] = {"  I", " II", "III", " IV"};

  const std::array<std::string, 17> values = {
      year,
      year.substr(1, 3),
      year.substr(2, 2),
      year.substr(3, 1),
      PadLeft(t.month, 2, '0'),
      PadLeft(t.day, 2, '0'),
      PadLeft(t.hour, 2, '0'),
      PadLeft(t.minute, 2, '0'),
      PadLeft(t.second, 2, '0'),
      PadLeft(MonthWeek(date), 1, '0'),
      PadLeft(IsoWeek(date), 2, '0'),
      std::to_string(quarter),
      kRoman[quarter - 1],
      kRoman3[quarter - 1],
      Parity(t.day),
      Parity(t.month),
      Parity(t.year),
  };
  std::string name(templ);
  for (size_t i = 0; i < kTemplateTokens.size(); ++i) name = ReplaceAll(name, kTemplateTokens[i].Token, values[i]);
  return name;
}

}  // namespace tessel
