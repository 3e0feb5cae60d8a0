#pragma once
// The archive name template: tokens such as %yyyy% or %dd% replaced by parts
// of the moment of the run.
#include <array>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace tessel {

struct TemplateToken {
  const char* Token;
  const char* Description;
};

// Every token in the order in which the expansion applies them.
extern const std::array<TemplateToken, 17> kTemplateTokens;

// Expands every token of the template for the given moment; 0.0 means now.
std::string ExpandArchiveName(std::string_view templ, DateTime moment);

// The decimal number, padded on the left with fill to at least width characters.
std::string PadLeft(long long number, int width, char fill);
// The source with the first occurrence of token replaced (exact,
// case-sensitive match); an empty token is never found.
std::string ReplaceFirst(std::string_view source, std::string_view token, std::string_view replacement);
// Replaces the first occurrence again and again, each time searching from the
// start, until none is left, so an occurrence formed by a replacement and its
// surroundings is replaced too. Empty when the replacement holds the token.
std::string ReplaceAll(std::string_view source, std::string_view token, std::string_view replacement);

// Week of the year (ISO 8601: weeks begin on Monday, week 1 holds 4 January).
int YearWeekNumber(DateTime date);
// Week of the month, 1..5.
int MonthWeekNumber(DateTime date);

}  // namespace tessel
