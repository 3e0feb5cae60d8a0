// Which names a template can produce, exactly, and the deletion of a job's
// oldest archives beside the one just written.
#include "app/retention.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/archive_guard.h"
#include "platform/file_lock.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

TEST(ExactArchiveNames, EachTokenStandsForTheValuesItCanTake) {
  struct Case {
    const char* name_part;
    std::vector<const char*> fits;
    std::vector<const char*> does_not;
  };
  const Case cases[] = {
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip",
       {"20260305070409.zip", "00011231235959.zip"},
       {"20261305070409.zip", "20260300070409.zip", "20260305240409.zip", "20260305070460.zip",
        "2026030507040.zip", "202603050704099.zip", "2026030507040a.zip", "20260305070409.zip.part",
        "notes.zip", "20260305070409.ZIP"}},
      {"backup-%qwartr%.zip", {"backup-I.zip", "backup-IV.zip", "backup-III.zip"},
       {"backup-V.zip", "backup-IIII.zip", "backup-.zip", "backup-1.zip"}},
      {"%qwartr3%.zip", {"  I.zip", " IV.zip", "III.zip"}, {"I.zip", "  IV.zip"}},
      {"%wy%-%wm%-%qwart%.zip", {"53-5-4.zip", "01-1-1.zip"}, {"54-1-1.zip", "00-1-1.zip", "01-6-1.zip", "01-1-5.zip"}},
      {"%dcht%%mcht%%ycht%%yyy%%yy%%y%.zip", {"121026266.zip"}, {"131026266.zip", "12102626.zip"}},
      // The expansion replaces %mm% before %ss%: here it takes the middle,
      // and the rest stays as it is written.
      {"%ss%mm%.zip", {"%ss07.zip"}, {"09mm%.zip", "0907.zip"}},
      {"%y%y%.zip", {"6y%.zip"}, {"66.zip"}},
      {"a%b%my%.zip", {"a%b12.zip"}, {"a%b%my%.zip"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name_part);
    const ArchiveNamePattern pattern = ArchiveNamePattern::Exact(c.name_part);
    EXPECT_TRUE(pattern.HasTokens());
    for (const char* name : c.fits) EXPECT_TRUE(pattern.Fits(name)) << name;
    for (const char* name : c.does_not) EXPECT_FALSE(pattern.Fits(name)) << name;
  }
  // One name only: no tokens ("%MM%" is none).
  for (const char* name_part : {"archive.zip", "%MM%.zip"}) {
    const ArchiveNamePattern pattern = ArchiveNamePattern::Exact(name_part);
    EXPECT_FALSE(pattern.HasTokens());
    EXPECT_TRUE(pattern.Fits(name_part));
    EXPECT_FALSE(pattern.Fits("other.zip"));
  }
  // No name at all: an empty name part, or a quarter token that a year digit
  // could complete ("%qwartr" "3" "%"), whose names cannot be told apart.
  for (const char* name_part : {"", "x%qwartr%y%%.zip"}) {
    SCOPED_TRACE(name_part);
    const ArchiveNamePattern pattern = ArchiveNamePattern::Exact(name_part);
    EXPECT_FALSE(pattern.HasTokens());
    EXPECT_FALSE(pattern.Fits("x%qwartr5%.zip"));
    EXPECT_FALSE(pattern.Fits("x IV.zip"));
  }
}

class RetentionTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/tessel_retention_XXXXXX";
    folder_ = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // A file in the folder, modified `age` hours before a fixed moment.
  std::string Put(const std::string& name, int age) {
    const std::string path = Path(name);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << name;
    const timeval when{1767225600 - age * 3600, 0};
    const timeval times[2] = {when, when};
    ::utimes(path.c_str(), times);
    return path;
  }
  std::string Path(const std::string& name) const { return folder_ + "/" + name; }
  std::string Template() const { return folder_ + "/%yyyy%%my%%dd%.zip"; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string folder_;
};

TEST_F(RetentionTest, TheNewestRemainAndNothingElseIsTouched) {
  Put("20260101.zip", 40);
  Put("20260102.zip", 30);
  Put("20260103.zip", 50);  // older than its name says
  const std::string archive = Put("20260104.zip", 0);
  // Beside them: names the template cannot produce, a folder and a link
  // named like archives, an archive one folder down.
  Put("notes.zip", 100);
  Put("2026.zip.part", 100);
  Put("20261301.zip", 100);
  Put("sub/20250101.zip", 100);
  fs::create_directory(Path("20251231.zip"));
  fs::create_symlink(Path("20260102.zip"), Path("20251230.zip"));

  const RetentionResult result = ApplyRetention(archive, Template(), 2);
  EXPECT_THAT(result.Deleted, ElementsAre(Path("20260103.zip"), Path("20260101.zip")));
  EXPECT_THAT(result.Failed, IsEmpty());
  EXPECT_THAT(Names(), ElementsAre("20251230.zip", "20251231.zip", "2026.zip.part", "20260102.zip", "20260104.zip",
                                   "20261301.zip", "notes.zip", "sub"));
  EXPECT_TRUE(fs::exists(Path("sub/20250101.zip")));

  // Already within the number: nothing more goes.
  EXPECT_THAT(ApplyRetention(archive, Template(), 2).Deleted, IsEmpty());
  EXPECT_THAT(ApplyRetention(archive, Template(), 5).Deleted, IsEmpty());
}

TEST_F(RetentionTest, TheArchiveJustWrittenStaysWhateverItsAge) {
  Put("20260101.zip", 1);
  Put("20260102.zip", 2);
  const std::string archive = Put("20260103.zip", 99);
  ::link(archive.c_str(), Path("20250101.zip").c_str());  // another name of it
  const RetentionResult result = ApplyRetention(archive, Template(), 1);
  EXPECT_THAT(result.Deleted, UnorderedElementsAre(Path("20260101.zip"), Path("20260102.zip")));
  EXPECT_THAT(Names(), ElementsAre("20250101.zip", "20260103.zip"));
}

TEST_F(RetentionTest, NothingGoesWithoutANumberOrATokenOrWhileAnotherRunHoldsIt) {
  Put("20260101.zip", 10);
  Put("20260102.zip", 5);
  const std::string archive = Put("20260103.zip", 0);
  EXPECT_THAT(ApplyRetention(archive, Template(), 0).Deleted, IsEmpty());
  EXPECT_THAT(ApplyRetention(archive, Template(), -3).Deleted, IsEmpty());
  Put("fixed.zip", 0);
  EXPECT_THAT(ApplyRetention(Path("fixed.zip"), folder_ + "/fixed.zip", 1).Deleted, IsEmpty());
  // The folder part of the template may hold tokens; only the name part counts.
  EXPECT_THAT(ApplyRetention(Path("fixed.zip"), folder_ + "/%yyyy%/fixed.zip", 1).Deleted, IsEmpty());
  EXPECT_EQ(Names().size(), 4u);

  LockFile held;
  ASSERT_TRUE(held.TryAcquire(Path("20260101.zip.lock"), 0600));
  const RetentionResult result = ApplyRetention(archive, Template(), 1);
  EXPECT_THAT(result.Deleted, ElementsAre(Path("20260102.zip")));
  ASSERT_EQ(result.Failed.size(), 1u);
  EXPECT_THAT(result.Failed[0], HasSubstr(Path("20260101.zip")));
  EXPECT_TRUE(fs::exists(Path("20260101.zip")));
}

}  // namespace
}  // namespace tessel
