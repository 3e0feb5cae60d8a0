#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>

namespace tessel {
namespace {

using namespace std::string_literals;

std::string Repeat(std::string_view unit, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) s += unit;
  return s;
}

TEST(ProfileRead, LookupRules) {
  const ProfileFile p = ProfileFile::Parse(
      "top=before any section\n"
      "[Config]\n"
      "  ZipName  =  /tmp/x.zip  \n"
      "Double=\"  spaced  \"\n"
      "Single=' quoted '\n"
      "Mixed=\"half'\n"
      "TwoPairs=\"\"inner\"\"\n"
      "Lone=\"\n"
      "Equals=a=b=c\n"
      "Empty=\n"
      "; comment=not a key\n"
      "no equals sign here\n"
      "=nameless\n"
      "Tab\t=\tvalue\t\n"
      "[ Other ]\n"
      "zipname=other section\n");
  struct Case {
    const char* section;
    const char* key;
    std::string expected;
  } const cases[] = {
      {"Config", "ZipName", "/tmp/x.zip"},
      {"CONFIG", "zipNAME", "/tmp/x.zip"},
      {"Config", "Double", "  spaced  "},
      {"Config", "Single", " quoted "},
      {"Config", "Mixed", "\"half'"},
      {"Config", "TwoPairs", "\"inner\""},
      {"Config", "Lone", "\""},
      {"Config", "Equals", "a=b=c"},
      {"Config", "Empty", ""},
      {"Config", "Tab", "value"},
      {"other", "ZipName", "other section"},
      {"Config", "; comment", "<none>"},
      {"Config", "no equals sign here", "<none>"},
      {"Config", "", "<none>"},
      {"Config", "top", "<none>"},
      {"Missing", "ZipName", "<none>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(p.ReadString(c.section, c.key, "<none>"), c.expected) << c.section << "/" << c.key;
  }
  EXPECT_EQ(p.KeyNames("config"),
            (std::vector<std::string>{"ZipName", "Double", "Single", "Mixed", "TwoPairs", "Lone", "Equals", "Empty",
                                      "Tab"}));
  EXPECT_EQ(p.SectionNames(), (std::vector<std::string>{"Config", "Other"}));
}

TEST(ProfileRead, DuplicatesFirstWins) {
  const ProfileFile p = ProfileFile::Parse(
      "[Files]\n1=first\n1=second\nA=x\n[files]\n1=third\nB=y\n");
  EXPECT_EQ(p.ReadString("Files", "1", ""), "first");
  EXPECT_EQ(p.ReadString("Files", "B", "none"), "none");  // only the first section counts
  EXPECT_EQ(p.KeyNames("Files"), (std::vector<std::string>{"1", "1", "A"}));
  EXPECT_EQ(p.SectionNames(), (std::vector<std::string>{"Files"}));
}

TEST(ProfileRead, ValueLimitCountsCharacters) {
  const std::string cyrillic = Repeat("я", 3000);
  const ProfileFile p = ProfileFile::Parse("[S]\nLong=" + cyrillic + "\nAscii=" + std::string(100000, 'a') +
                                           "\nAfter=ok\n");
  EXPECT_EQ(p.ReadString("S", "Long", ""), Repeat("я", 2047));
  EXPECT_EQ(p.ReadString("S", "Ascii", ""), std::string(2047, 'a'));
  EXPECT_EQ(p.ReadString("S", "After", ""), "ok");
}

// A caller must be able to tell a value that the limit would cut, and an
// integer is never read from a cut text.
TEST(ProfileRead, WholeValuesAndIntegersBeyondTheLimit) {
  const std::string stars = std::string(10000, '*') + "x";
  const ProfileFile p = ProfileFile::Parse("[S]\nMask=  '" + stars + "'  \nZeros=" + std::string(3000, '0') +
                                           "42\nShort=ok\n");
  EXPECT_EQ(p.ReadWholeString("S", "Mask", ""), stars);
  EXPECT_EQ(p.ReadString("S", "Mask", ""), std::string(2047, '*'));
  EXPECT_EQ(p.ReadWholeString("S", "Short", ""), "ok");
  EXPECT_EQ(p.ReadWholeString("S", "Missing", "fallback"), "fallback");
  EXPECT_EQ(p.ReadInteger("S", "Zeros", -1), 42);
}

TEST(ProfileRead, KeyValuesInOnePass) {
  const ProfileFile p = ProfileFile::Parse(
      "[Files]\nb= /second \n; note\nA=\"quoted\"\nb=shadowed\na=also shadowed\n[Other]\nc=3\n[files]\nd=4\n");
  using Entries = std::vector<std::pair<std::string, std::string>>;
  // A repeated name reads the first one's value, as a lookup by name does.
  EXPECT_EQ(p.KeyValues("FILES"),
            (Entries{{"b", "/second"}, {"A", "quoted"}, {"b", "/second"}, {"a", "quoted"}}));
  EXPECT_EQ(p.KeyValues("Missing"), Entries{});
}

TEST(ProfileRead, NulEndsValueAndLine) {
  const ProfileFile p = ProfileFile::Parse("[S]\nLevel=7\0junk\nA\0=1\nB=2\n"s);
  EXPECT_EQ(p.ReadString("S", "Level", ""), "7");
  EXPECT_FALSE(p.HasKey("S", "A"));
  EXPECT_EQ(p.ReadInteger("S", "B", 0), 2);
}

TEST(ProfileRead, IntegerRules) {
  struct Case {
    const char* text;
    int32_t expected;
  } const cases[] = {
      {"6", 6},           {"+7", 7},          {"-12", -12},        {"007", 7},
      {"2147483647", 2147483647},             {"-2147483648", INT32_MIN},
      {"2147483648", -99},                    {"-2147483649", -99},
      {"99999999999999999999", -99},          {"0x10", 16},        {"0X1f", 31},
      {"0x0", 0},         {"0x7FFFFFFF", 2147483647},              {"0x80000000", -99},
      {"0x", -99},        {"0xg", -99},       {"0x-1", -99},       {"$FF", 255},
      {"$", -99},         {"$-1", -99},       {"", -99},           {"-", -99},
      {"yes", -99},       {"12a", -99},       {"1 2", -99},        {"  42  ", 42},
      {"'5'", 5},         {"\"0x20\"", 32},   {"1.5", -99},
  };
  for (const Case& c : cases) {
    const ProfileFile p = ProfileFile::Parse("[S]\nK=" + std::string(c.text) + "\n");
    EXPECT_EQ(p.ReadInteger("S", "K", -99), c.expected) << "'" << c.text << "'";
  }
  EXPECT_EQ(ProfileFile().ReadInteger("S", "K", 5), 5);
}

TEST(ProfileRead, BooleanRules) {
  struct Case {
    const char* text;
    bool fallback;
    bool expected;
  } const cases[] = {
      {"1", false, true},   {"0", true, false},    {"2", false, true},   {"-1", false, true},
      {"0x0", true, false}, {"0x10", false, true}, {"yes", true, true},  {"yes", false, false},
      {"", true, true},     {"no", false, false},  {"$0", true, false},
  };
  for (const Case& c : cases) {
    const ProfileFile p = ProfileFile::Parse("[S]\nK=" + std::string(c.text) + "\n");
    EXPECT_EQ(p.ReadBool("S", "K", c.fallback), c.expected) << c.text << " fallback " << c.fallback;
  }
}

TEST(ProfileRead, KeyNamesAreListedWhole) {
  // Far more than 16384 bytes of key names.
  std::string image = "[Files]\n";
  for (int i = 0; i < 5000; ++i) image += "mask_number_" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
  const ProfileFile p = ProfileFile::Parse(image);
  const std::vector<std::string> names = p.KeyNames("Files");
  ASSERT_EQ(names.size(), 5000u);
  EXPECT_EQ(names.back(), "mask_number_4999");
  EXPECT_EQ(p.ReadString("Files", names.back(), ""), "v4999");
}

TEST(ProfileRead, Windows1251Fallback) {
  // "Архив" in Windows-1251: no valid multi-byte UTF-8 sequence in the file.
  const ProfileFile legacy = ProfileFile::Parse("[Files]\r\n1=/home/\xC0\xF0\xF5\xE8\xE2/*.*\r\n");
  EXPECT_EQ(legacy.ReadString("Files", "1", ""), "/home/Архив/*.*");
  EXPECT_EQ(legacy.Serialize(), "[Files]\r\n1=/home/Архив/*.*\r\n");
  // One valid UTF-8 sequence makes the whole file UTF-8; a stray byte stays.
  const ProfileFile utf8 = ProfileFile::Parse("[Files]\n1=Архив\xC0\n");
  EXPECT_EQ(utf8.ReadString("Files", "1", ""), "Архив\xC0");
  // So does a byte order mark.
  const ProfileFile marked = ProfileFile::Parse("\xEF\xBB\xBF[Files]\n1=\xC0\n");
  EXPECT_EQ(marked.ReadString("Files", "1", ""), "\xC0");
}

TEST(ProfileWrite, NewFileImage) {
  ProfileFile p;
  EXPECT_TRUE(p.WriteString("Config", "ZipName", "/b/%yyyy%.zip"));
  p.WriteInteger("Config", "Level", -3);
  p.WriteBool("Config", "StorePaths", false);
  p.WriteString("Files", "1", "/data/*.txt");
  p.WriteString("Config", "Version", "1.3");
  EXPECT_EQ(p.Serialize(),
            "[Config]\nZipName=/b/%yyyy%.zip\nLevel=-3\nStorePaths=0\nVersion=1.3\n\n[Files]\n1=/data/*.txt\n");
}

TEST(ProfileWrite, EditsTouchOnlyTheirLines) {
  const std::string image =
      "\xEF\xBB\xBF; kept comment\r\n"
      "[Config]\r\n"
      "zipname = old   \r\n"
      "Custom=stays\r\n"
      "\r\n"
      "[Other]\r\n"
      "x=1\r\n"
      "[Files]\r\n"
      "b=2\r\n"
      "a=3";
  ProfileFile p = ProfileFile::Parse(image);
  EXPECT_EQ(p.Serialize(), image);
  p.WriteString("CONFIG", "ZipName", "new");
  p.WriteString("Config", "Level", "6");
  EXPECT_TRUE(p.DeleteKey("files", "B"));
  EXPECT_FALSE(p.DeleteKey("Files", "missing"));
  p.WriteString("Files", "1", "one");
  EXPECT_EQ(p.Serialize(),
            "\xEF\xBB\xBF; kept comment\r\n"
            "[Config]\r\n"
            "zipname=new\r\n"
            "Custom=stays\r\n"
            "Level=6\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n"
            "[Files]\r\n"
            "a=3\r\n"
            "1=one\r\n");
  EXPECT_TRUE(p.DeleteKey("Files", "a"));
  EXPECT_TRUE(p.DeleteKey("Files", "1"));
  EXPECT_EQ(p.KeyNames("Files").size(), 0u);
  EXPECT_EQ(p.SectionNames().back(), "Files");  // the header stays
}

// Replacing a section's keys at once gives the image of deleting them one by
// one and writing the new ones one by one, whatever lines surround them.
TEST(ProfileWrite, ReplaceKeysEqualsKeyByKeyWrites) {
  const std::string images[] = {
      "",
      "[Config]\nZipName=/a.zip\n",
      "[Files]\n1=a\n2=b\n3=c\n\n[FilesNotInclude]\n1=*.tmp\n",
      "[Files]\r\n; kept\r\nb=x\r\n\r\n\r\n[Next]\r\nk=v\r\n",
      "[Files]\nno equals\n1=a\n1=dup\n\n",
      "[Files]\n1=a\n2=last line without end",
      "[Files]\n; only a comment, no end",
      "x=before\n[files]\n1=a\n[Other]\n[Files]\n1=second occurrence\n",
      "[Config]\nLevel=1",
  };
  using Entries = std::vector<std::pair<std::string, std::string>>;
  const Entries replacements[] = {{}, {{"1", "one"}}, {{"1", " padded "}, {"2", ""}, {"3", "three"}}};
  for (const std::string& image : images) {
    for (const Entries& entries : replacements) {
      ProfileFile key_by_key = ProfileFile::Parse(image);
      for (const std::string& key : key_by_key.KeyNames("Files")) key_by_key.DeleteKey("Files", key);
      for (const auto& [key, value] : entries) key_by_key.WriteString("Files", key, value);
      ProfileFile at_once = ProfileFile::Parse(image);
      EXPECT_TRUE(at_once.ReplaceKeys("Files", entries));
      EXPECT_EQ(at_once.Serialize(), key_by_key.Serialize()) << image << " / " << entries.size();
    }
  }
  ProfileFile p = ProfileFile::Parse("[Files]\n1=a\n");
  EXPECT_FALSE(p.ReplaceKeys("Files", {{"ok", "1"}, {"bad=name", "2"}}));
  EXPECT_EQ(p.Serialize(), "[Files]\nok=1\n");
}

TEST(ProfileWrite, ValuesReadBackExactly) {
  const std::string cases[] = {
      "plain", "", " leading", "trailing ", "\ttab\t", "\"quoted\"", "'single'", "\"", "'", "\"open",
      "close'", "in \"the\" middle", "=starts with equals", "[looks like a section]", "; not a comment",
      "кириллица", std::string(600, 'x'),
  };
  for (const std::string& value : cases) {
    ProfileFile p;
    ASSERT_TRUE(p.WriteString("S", "K", value));
    p.WriteString("S", "Next", "after");
    const ProfileFile back = ProfileFile::Parse(p.Serialize());
    EXPECT_EQ(back.ReadString("S", "K", "<none>"), value) << "[" << value << "]";
    EXPECT_EQ(back.ReadString("S", "Next", ""), "after");
  }
}

TEST(ProfileWrite, LineBreaksInValuesBecomeBlanks) {
  ProfileFile p;
  p.WriteString("S", "K", "one\r\ntwo\nthree\r[Evil]\nx=1");
  p.WriteString("S", "Cut", "visible\0hidden"s);
  const ProfileFile back = ProfileFile::Parse(p.Serialize());
  EXPECT_EQ(back.ReadString("S", "K", ""), "one  two three [Evil] x=1");
  EXPECT_EQ(back.ReadString("S", "Cut", ""), "visible");
  EXPECT_EQ(back.SectionNames(), std::vector<std::string>{"S"});
  EXPECT_EQ(back.KeyNames("S"), (std::vector<std::string>{"K", "Cut"}));
}

TEST(ProfileWrite, RejectsNamesThatCannotReadBack) {
  const std::pair<std::string, std::string> bad[] = {
      {"", "k"},   {"S", ""},     {" S", "k"},   {"S", "k "},  {"S]", "k"}, {"S", "a=b"},
      {"S", "[k"}, {"S", ";k"},   {"S\n", "k"},  {"S", "k\r"}, {"S", "k\0"s},
  };
  for (const auto& [section, key] : bad) {
    ProfileFile p;
    EXPECT_FALSE(p.WriteString(section, key, "v")) << section << "/" << key;
    EXPECT_EQ(p.Serialize(), "");
  }
}

TEST(ProfileWrite, LineEndStyleAndLastLine) {
  ProfileFile lf = ProfileFile::Parse("[S]\na=1");
  lf.WriteString("S", "b", "2");
  EXPECT_EQ(lf.Serialize(), "[S]\na=1\nb=2\n");
  ProfileFile crlf = ProfileFile::Parse("[S]\r\na=1\r\n");
  crlf.WriteString("T", "b", "2");
  EXPECT_EQ(crlf.Serialize(), "[S]\r\na=1\r\n\r\n[T]\r\nb=2\r\n");
}

TEST(ProfileLoad, MissingOrFolderGivesEmptyProfile) {
  EXPECT_EQ(ProfileFile::Load("/nonexistent/dir/Config.ini").Serialize(), "");
  EXPECT_EQ(ProfileFile::Load("/").Serialize(), "");
  EXPECT_EQ(ProfileFile::Load("").Serialize(), "");
}

}  // namespace
}  // namespace tessel
