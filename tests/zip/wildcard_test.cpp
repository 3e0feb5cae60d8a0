#include "zip/wildcard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessel {
namespace {

struct MatchCase {
  const char* pattern;
  const char* text;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << '"' << c.pattern << "\" vs \"" << c.text << '"'; }

class WildcardTable : public testing::TestWithParam<MatchCase> {};

TEST_P(WildcardTable, Matches) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.matches);
}

// Stars, question marks and the end of the text.
INSTANTIATE_TEST_SUITE_P(Stars, WildcardTable, testing::Values(
    MatchCase{"*", "", true},
    MatchCase{"*", "anything at all", true},
    MatchCase{"", "", true},
    MatchCase{"", "a", false},
    MatchCase{"a*", "a", true},
    MatchCase{"a**", "a", false},      // after the text only a single star can match
    MatchCase{"a**", "ab", true},
    MatchCase{"?", "", false},
    MatchCase{"a?", "a", false},
    MatchCase{"a?", "ab", true},
    MatchCase{"*?", "", false},
    MatchCase{"*?", "a", true},        // question marks that use up the text exactly
    MatchCase{"a*?", "ab", true},
    MatchCase{"a*?", "abc", true},
    MatchCase{"a*?", "a", false},
    MatchCase{"a*??", "ab", false},
    MatchCase{"a*?*", "ab", true},
    MatchCase{"*.txt", "notes.txt", true},
    MatchCase{"*.txt", "notes.txt.bak", false},
    MatchCase{"*a*b", "xaxxb", true},
    MatchCase{"*a*b", "xaxxbc", false},
    MatchCase{"a*c*e", "abcde", true},
    MatchCase{"a*c*e", "abdde", false}));

// What TDirSearch passes for names: a name without an extension gets a ".".
INSTANTIATE_TEST_SUITE_P(Extensions, WildcardTable, testing::Values(
    MatchCase{"*.*", "readme.", true},
    MatchCase{"*.*", "a.txt", true},
    MatchCase{"*.", "readme.", true},
    MatchCase{"*.", "a.txt", false},
    MatchCase{"*.doc", "report.doc", true},
    MatchCase{"*.doc", "report.", false}));

// Letter case: A-Z only; every other character exactly.
INSTANTIATE_TEST_SUITE_P(LetterCase, WildcardTable, testing::Values(
    MatchCase{"*.TXT", "a.txt", true},
    MatchCase{"README.*", "readme.md", true},
    MatchCase{"readme.*", "README.MD", true},
    MatchCase{"ОТЧЕТ.*", "отчет.doc", false},
    MatchCase{"отчет.*", "отчет.doc", true},
    MatchCase{"отчет.*", "Отчет.doc", false},
    MatchCase{"Ä*", "ä.txt", false}));

// The character is the unit, not the byte.
INSTANTIATE_TEST_SUITE_P(Characters, WildcardTable, testing::Values(
    MatchCase{"?", "я", true},
    MatchCase{"??", "я", false},
    MatchCase{"a?c", "aжc", true},
    MatchCase{"*ж", "ёж", true},
    MatchCase{"?.txt", "\xFF.txt", true},   // a stray byte is one character
    MatchCase{"??", "\xD0", false},
    MatchCase{"<а-я>*", "ж.txt", true},
    MatchCase{"<а-я>*", "Ж.txt", false},
    MatchCase{"<!а-я>*", "Ж.txt", true},
    MatchCase{"*<ё>", "ёёё", true}));

// Bracket expressions.
INSTANTIATE_TEST_SUITE_P(Brackets, WildcardTable, testing::Values(
    MatchCase{"a<b-d>c", "abc", true},
    MatchCase{"a<b-d>c", "adc", true},
    MatchCase{"a<b-d>c", "aec", false},
    MatchCase{"a<!b-d>c", "aec", true},
    MatchCase{"a<!b-d>c", "abc", false},
    MatchCase{"a<!b-d>c", "adc", false},
    MatchCase{"a<^b-d>c", "aec", true},
    MatchCase{"a<B-D>c", "aCc", true},
    MatchCase{"<xyz>", "y", true},
    MatchCase{"<xyz>", "w", false},
    MatchCase{"<-a>", "-", true},
    MatchCase{"<d-b>", "c", false},       // a reversed range holds nothing
    MatchCase{"<d-b>", "d", false},
    MatchCase{"<d-bx>", "x", true},
    MatchCase{"a<bc", "ab", false},       // the pattern ends inside the bracket
    MatchCase{"a<>b", "a>b", false},      // an empty bracket
    MatchCase{"a<!>b", "axb", false},
    MatchCase{"a<b->c", "abc", false},    // a range without its end
    MatchCase{"a<b-", "ab", false},
    MatchCase{"a<b-c>", "a", false}));

// A star before a bracket: a run of characters from the set.
INSTANTIATE_TEST_SUITE_P(StarBrackets, WildcardTable, testing::Values(
    MatchCase{"*<0-9>", "123", true},
    MatchCase{"*<0-9>", "12a", false},
    MatchCase{"x*<0-9>.log", "x12.log", true},
    MatchCase{"x*<0-9>.log", "x.log", true},
    MatchCase{"x*<0-9>.log", "x1a.log", false},
    MatchCase{"*<!0-9>", "abc", true},
    MatchCase{"*<!0-9>", "abc1", false},
    MatchCase{"*<a-", "a", false},
    MatchCase{"**<0-9>", "a1", true},     // a star group, then a bracket at some position
    MatchCase{"**<0-9>", "a1b", false},
    MatchCase{"*<>", "a", false}));

TEST(Wildcard, HasWildcards) {
  for (const char* text : {"*.txt", "a?", "<a>", "x>", "|/data/a.doc"}) EXPECT_TRUE(HasWildcards(text)) << text;
  for (const char* text : {"", "/data/report.doc", "[a]", "отчет"}) EXPECT_FALSE(HasWildcards(text)) << text;
}

TEST(Wildcard, ExclusionTestUsesNameOrWholePath) {
  const std::vector<std::string> patterns = {"*.tmp", "/data/cache/*"};
  EXPECT_TRUE(MatchesAnyPattern(patterns, "/data/sub/a.TMP"));
  EXPECT_TRUE(MatchesAnyPattern(patterns, "/data/cache/x.txt"));
  EXPECT_TRUE(MatchesAnyPattern(patterns, "/data/cache/deep/x.txt"));
  EXPECT_FALSE(MatchesAnyPattern(patterns, "/data/cached/x.txt"));
  // Without a "/" a pattern sees only the last component.
  EXPECT_FALSE(MatchesAnyPattern({"data*"}, "/data/x.txt"));
  EXPECT_TRUE(MatchesAnyPattern({"x.*"}, "/data/x.txt"));
  EXPECT_TRUE(MatchesAnyPattern({"x.*"}, "x.txt"));
  EXPECT_FALSE(MatchesAnyPattern({}, "/data/x.txt"));
}

TEST(Wildcard, ManyStarsEndWithoutBacktrackingForEver) {
  const std::string text(200, 'a');
  // Without the memory of failed tries these take longer than any test
  // run lasts.
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*b", text));
  EXPECT_FALSE(WildcardMatch("*<a>*<a>*<a>*<a>*<a>*<a>*b", text));
  EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*a", text));
  // A text long enough that the memory of failed tries leaves the stack.
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(2000, 'a')));
}

}  // namespace
}  // namespace tessel
