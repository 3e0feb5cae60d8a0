#include "app/mask.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tessel {
namespace {

struct FitCase {
  const char* mask;
  const char* name;
  bool fits;
};

void PrintTo(const FitCase& c, std::ostream* os) { *os << "mask \"" << c.mask << "\" name \"" << c.name << '"'; }

class MaskTable : public testing::TestWithParam<FitCase> {};

TEST_P(MaskTable, Fits) {
  const FitCase& c = GetParam();
  EXPECT_EQ(TMask(c.mask).Fits(c.name), c.fits);
  EXPECT_EQ(FitsMask(c.name, c.mask), c.fits);
}

INSTANTIATE_TEST_SUITE_P(Paths, MaskTable, testing::Values(
    FitCase{"*.tmp", "/data/a.TMP", true},
    FitCase{"*.tmp", "/data/sub/b.tmp", true},
    FitCase{"*.tmp", "/data/a.tmpx", false},
    FitCase{"/data/Temp/*", "/data/Temp/x.txt", true},
    FitCase{"/data/Temp/*", "/data/Temp/sub/deep/y", true},  // "/" is an ordinary character
    FitCase{"/data/Temp/*", "/DATA/temp/x.txt", true},
    FitCase{"/data/Temp/*", "/data/Tempo/x.txt", false},
    FitCase{"a.txt", "/data/a.txt", false},                 // the whole path must match
    FitCase{"*/a.txt", "/data/a.txt", true},
    FitCase{"*", "", true},
    FitCase{"*", "/any/path", true},
    FitCase{"", "", true},
    FitCase{"", "a", false},
    FitCase{"?", "", false},
    FitCase{"a?", "a", false},
    FitCase{"a?", "ab", true},
    FitCase{"*?", "", true},      // the question mark after a star is dropped
    FitCase{"a*?b", "ab", true},
    FitCase{"**x", "x", true},
    FitCase{"*a*b*", "xxbxxaxx", false},
    FitCase{"*a*b*", "xxaxxbxx", true}));

INSTANTIATE_TEST_SUITE_P(Sets, MaskTable, testing::Values(
    FitCase{"[a-c]x", "Bx", true},
    FitCase{"[a-c]x", "bX", true},
    FitCase{"[a-c]x", "dx", false},
    FitCase{"[!a-c]x", "dx", true},
    FitCase{"[!a-c]x", "ax", false},
    FitCase{"[!a-c]x", "x", false},
    FitCase{"[a-]]", "b", true},   // one set: A up to "]" by code
    FitCase{"[a-]]", "]", true},
    FitCase{"[a-]]", "b]", false},
    FitCase{"[c-a]x", "cx", true},  // a reversed range adds nothing, the "c" stays
    FitCase{"[c-a]x", "bx", false},
    FitCase{"[a-c-e]", "d", true},  // the range start stays "a"
    FitCase{"[xyz]", "Y", true},
    FitCase{"[*?]", "?", true},
    FitCase{"[*?]", "a", false}));

// The unit is the character; case folding stops at ASCII.
INSTANTIATE_TEST_SUITE_P(Cyrillic, MaskTable, testing::Values(
    FitCase{"*отчет*", "/data/2024 отчет.doc", true},
    FitCase{"*отчет*", "/data/2024 ОТЧЕТ.doc", false},
    FitCase{"*ОТЧЕТ*", "/data/отчет.doc", false},
    FitCase{"ж", "ж", true},
    FitCase{"ж", "з", false},        // same first byte, another character
    FitCase{"?", "я", true},
    FitCase{"??", "я", false},
    FitCase{"/data/?.txt", "/data/ж.txt", true},
    FitCase{"*[а-я].txt", "/d/ж.txt", true},
    FitCase{"*[а-я].txt", "/d/Ж.txt", false},
    FitCase{"*[а-я].txt", "/d/z.txt", false},
    FitCase{"*[!а-я].txt", "/d/Ж.txt", true},
    FitCase{"[а-яё]", "ё", true},
    FitCase{"[0-я]", "ф", true},    // a range across ASCII and Cyrillic
    FitCase{"[0-я]", "5", true},
    FitCase{"?", "\xFF", true},      // a stray byte is one character
    FitCase{"??", "\xD0", false},
    FitCase{"[\xFF]", "\xFF", true},
    FitCase{"[\xFF]", "\xFE", false}));

struct InvalidCase {
  const char* mask;
  size_t position;
};

class InvalidMaskTable : public testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidMaskTable, ReportsThePosition) {
  const InvalidCase& c = GetParam();
  try {
    TMask mask(c.mask);
    FAIL() << "accepted " << c.mask;
  } catch (const EMaskException& e) {
    EXPECT_EQ(e.Position(), c.position);
    EXPECT_EQ(std::string(e.what()),
              "'" + std::string(c.mask) + "' is an invalid mask at (" + std::to_string(c.position) + ")");
  }
  EXPECT_THROW(FitsMask("anything", c.mask), EMaskException);
}

INSTANTIATE_TEST_SUITE_P(Masks, InvalidMaskTable, testing::Values(
    InvalidCase{"[a-]", 5},
    InvalidCase{"[]", 2},
    InvalidCase{"[!]", 3},
    InvalidCase{"[abc", 5},
    InvalidCase{"[-a]", 2},
    InvalidCase{"[", 2},
    InvalidCase{"[a-", 4},
    InvalidCase{"x[!-a]", 4},
    InvalidCase{"[ж", 3},           // positions count characters, not bytes
    InvalidCase{"отчет[", 7}));

std::string StarGroups(int count) {
  std::string mask;
  for (int i = 0; i < count; ++i) mask += "*x";
  return mask;
}

TEST(Mask, ThirtyStarGroupsAndNoMore) {
  const TMask thirty(StarGroups(30));
  EXPECT_TRUE(thirty.Fits(std::string(30, 'x')));
  EXPECT_TRUE(thirty.Fits("a" + std::string(30, 'x')));
  EXPECT_FALSE(thirty.Fits(std::string(30, 'x') + "b"));
  EXPECT_FALSE(thirty.Fits(std::string(29, 'x')));
  try {
    TMask invalid(StarGroups(31));
    FAIL();
  } catch (const EMaskException& e) {
    EXPECT_EQ(e.Position(), 62u);  // the "x" of the 31st group
  }
  // A trailing star makes the end of the name the 31st starred element.
  try {
    TMask invalid(StarGroups(30) + "*");
    FAIL();
  } catch (const EMaskException& e) {
    EXPECT_EQ(e.Position(), 62u);
  }
  // Stars in a row and "?" after a star add no element.
  EXPECT_NO_THROW(TMask(StarGroups(29) + "***??x"));
}

TEST(Mask, LongPathsWithManyStarsStayFast) {
  const TMask mask(StarGroups(30) + "y");
  std::string name(4000, 'x');
  EXPECT_FALSE(mask.Fits(name));
  name.back() = 'y';
  EXPECT_TRUE(mask.Fits(name));
}

// The plain reading of the matching rules, on decoded characters: try every
// way through the stars. Tokens: '*' star, '?' any, 'S'/'N' set (negated) of
// the next two characters, 'L' a literal.
struct RefToken {
  char kind;
  uint32_t a, b;
};

std::vector<uint32_t> Decode(const std::string& text) {
  std::vector<uint32_t> chars;
  for (size_t pos = 0; pos < text.size();) chars.push_back(AsciiUpper(Utf8Next(text, pos)));
  return chars;
}

std::vector<RefToken> RefCompile(const std::string& text) {
  const std::vector<uint32_t> mask = Decode(text);
  std::vector<RefToken> tokens;
  bool star = false;
  for (size_t i = 0; i < mask.size(); ++i) {
    const uint32_t c = mask[i];
    if (c == '*') {
      if (!star) tokens.push_back({'*', 0, 0});
      star = true;
      continue;
    }
    if (c == '?' && star) continue;
    star = false;
    if (c == '[') {
      const bool negate = mask[i + 1] == '!';
      tokens.push_back({negate ? 'N' : 'S', mask[i + 1 + negate], mask[i + 2 + negate]});
      i += 3 + negate;
      continue;
    }
    tokens.push_back({c == '?' ? '?' : 'L', c, 0});
  }
  return tokens;
}

bool RefMatch(const std::vector<RefToken>& t, size_t ti, const std::vector<uint32_t>& name, size_t ni) {
  if (ti == t.size()) return ni == name.size();
  const RefToken& token = t[ti];
  if (token.kind == '*') {
    for (size_t k = ni; k <= name.size(); ++k)
      if (RefMatch(t, ti + 1, name, k)) return true;
    return false;
  }
  if (ni >= name.size()) return false;
  const uint32_t c = name[ni];
  bool ok = true;
  if (token.kind == 'L') ok = c == token.a;
  if (token.kind == 'S') ok = c == token.a || c == token.b;
  if (token.kind == 'N') ok = c != token.a && c != token.b;
  return ok && RefMatch(t, ti + 1, name, ni + 1);
}

TEST(Mask, AgreesWithAFullBacktrackingSearch) {
  std::mt19937 random(20240601);
  // Names mix ASCII, Cyrillic and stray bytes that may or may not join into
  // characters; masks hold literals of each kind, sets, stars and "?".
  const std::vector<std::string> pieces = {"a",  "b",    "A",      "/",  "ж",  "о", "\xBE", "*",
                                           "*",  "?",    "[ab]",   "[!a/]", "[жо]", "[!Ао]", "**", "*?", ".t"};
  const std::vector<std::string> letters = {"a", "b", "A", "B", "/", "ж", "Ж", "о", "\xD0", "\xBE", ".", "t", "T"};
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  for (int round = 0; round < 30000; ++round) {
    std::string mask;
    for (size_t i = pick(8); i > 0; --i) mask += pieces[pick(pieces.size())];
    std::string name;
    for (size_t i = pick(12); i > 0; --i) name += letters[pick(letters.size())];
    const TMask compiled(mask);
    ASSERT_EQ(compiled.Fits(name), RefMatch(RefCompile(mask), 0, Decode(name), 0))
        << "mask " << mask << " name " << name;
  }
}

// A set of masks answers exactly what trying each mask would, whichever
// masks it files by their plain text and whichever it tries on every name.
TEST(MaskSet, AgreesWithTryingEveryMask) {
  std::mt19937 random(20250117);
  const std::vector<std::string> pieces = {"*",   "?",   "[ab]", "[!a/]", "/",    "a",   "b",    "ж",
                                           "dat", "DAT", ".tmp", "/abc/", "отчет", "\xBE", "[жо]", "xyz"};
  const std::vector<std::string> letters = {"a", "b", "A", "/", "ж", "Ж", "\xD0", "\xBE", ".tmp", ".TMP",
                                            "dat", "abc", "отчет", "xyz", "XyZ", "t"};
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  for (int round = 0; round < 400; ++round) {
    std::vector<std::string> masks;
    for (size_t m = 1 + pick(12); m > 0; --m) {
      std::string mask;
      for (size_t i = pick(7); i > 0; --i) mask += pieces[pick(pieces.size())];
      masks.push_back(mask);
    }
    std::vector<TMask> each;
    for (const std::string& mask : masks) each.emplace_back(mask);
    const TMaskSet set(masks);
    ASSERT_FALSE(set.Failure());
    for (int n = 0; n < 60; ++n) {
      std::string name;
      for (size_t i = pick(10); i > 0; --i) name += letters[pick(letters.size())];
      bool any = false;
      for (const TMask& mask : each) any = any || mask.Fits(name);
      ASSERT_EQ(set.Fits(name), any) << "name " << name << " first mask " << masks[0];
    }
  }
}

TEST(MaskSet, PlainTextMasksAndInvalidOnes) {
  const TMaskSet set({"*.tmp", "/data/Cache/*", "*/build/*.o", "[", "*отчет*", "[abc"});
  // The first invalid mask in list order is the set's error; it fits nothing.
  ASSERT_TRUE(set.Failure());
  try {
    std::rethrow_exception(set.Failure());
  } catch (const EMaskException& e) {
    EXPECT_EQ(std::string(e.what()), "'[' is an invalid mask at (2)");
  }
  EXPECT_TRUE(set.Fits("/home/a.TMP"));
  EXPECT_TRUE(set.Fits("/DATA/cache/x/y"));
  EXPECT_FALSE(set.Fits("/data/Cache"));
  EXPECT_TRUE(set.Fits("/src/build/sub/main.o"));
  EXPECT_FALSE(set.Fits("/src/build/main.oo"));
  EXPECT_TRUE(set.Fits("/d/2024 отчет.doc"));
  EXPECT_FALSE(set.Fits("/d/2024 ОТЧЕТ.doc"));
  EXPECT_FALSE(set.Fits(""));
  EXPECT_FALSE(TMaskSet().Fits("anything"));
  EXPECT_TRUE(TMaskSet({""}).Fits(""));
}

}  // namespace
}  // namespace tessel
