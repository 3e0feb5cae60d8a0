// The zip engine and the data it must neither lose nor leak: archives of
// other users, names that are not UTF-8, kernel file systems, and temporary
// archives left by killed runs.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::NamesOf;
using enginetest::ParseFile;
using ::testing::ElementsAre;

constexpr uid_t kNobody = 65534;

class SafetyTest : public enginetest::EngineFixture {
protected:
  // An engine that stores paths below the scratch folder.
  void Prepare(TZipWriter& zip) {
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir.path());
    zip.SetZipName(Archive());
  }
};

TEST_F(SafetyTest, RootUpdatingAnotherUsersArchiveKeepsItsOwnerGroupAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  Put("a.txt", "a");
  {
    TZipWriter zip;
    Prepare(zip);
    Zip(zip, {dir / "a.txt"});
  }
  ASSERT_EQ(::chown(Archive().c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(Archive().c_str(), 0640), 0);
  Put("b.txt", "b");
  TZipWriter zip;
  Prepare(zip);
  EXPECT_EQ(Zip(zip, {dir / "b.txt"}), 1);
  struct stat st {};
  ASSERT_EQ(::stat(Archive().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("a.txt", "b.txt"));
}

TEST_F(SafetyTest, NamesThatAreNotUtf8AreStoredRawWithoutTheUtf8Flag) {
  Put("bad\xff.txt", "raw bytes");
  Put("Отчёт.txt", "utf-8");
  TZipWriter zip;
  Prepare(zip);
  EXPECT_EQ(Zip(zip, {dir / "*.txt"}), 2);
  const enginetest::ParsedArchive archive = ParseFile(Archive());
  ASSERT_EQ(archive.Entries.size(), 2u);
  const enginetest::ParsedEntry* raw = archive.Find("bad\xff.txt");
  const enginetest::ParsedEntry* utf8 = archive.Find("Отчёт.txt");
  ASSERT_NE(raw, nullptr);
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(raw->Flags & 0x0800, 0);
  EXPECT_EQ(utf8->Flags & 0x0800, 0x0800);

  // Every reader opens the archive; Python's zipfile refused all of it when
  // one name carried the flag without being UTF-8.
  if (test::HaveTool("python3")) {
    EXPECT_EQ(enginetest::Shell(test::Python() + " -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                                     "assert z.testzip() is None; assert len(z.namelist()) == 2' '" +
                    Archive() + "'"),
              0);
  }
  // The raw name still meets its file in the next update.
  TZipWriter update;
  Prepare(update);
  update.ZipAction = zaUpdate;
  EXPECT_EQ(Zip(update, {dir / "*.txt"}), 0);
  EXPECT_EQ(ParseFile(Archive()).Entries.size(), 2u);
}

TEST_F(SafetyTest, KernelFileSystemsAreNeverOpened) {
  struct stat proc {};
  if (::stat("/proc/self/status", &proc) != 0) GTEST_SKIP() << "no /proc";
  Put("a.txt", "a");
  // A regression would block on a read for ever: end the test instead.
  ::alarm(120);
  TZipWriter zip;
  zip.SetZipName(Archive());
  zip.SetStorePaths(true);
  // Named files, a wildcard search and a recursive one over kernel file
  // systems: none of it holds data to back up, and some of it blocks a read.
  EXPECT_EQ(Zip(zip, {dir / "a.txt", "/proc/self/status", "/proc/self/*.*", "|/proc/self/stat",
                      ">/proc/sys/kernel/*", ">/sys/kernel/*.*"}),
            1);
  ::alarm(0);
  EXPECT_EQ(ParseFile(Archive()).Entries.size(), 1u);
}

// A temporary archive left by a killed run: a name of the form the engine
// makes, in the archive's folder, that nobody holds.
void LeaveTemporaryArchive(const std::string& path) { enginetest::WriteBytes(path, "PK\x03\x04 half an archive"); }

TEST_F(SafetyTest, StaleTemporaryArchivesGoAndAreNeverPacked) {
  Put("data/a.txt", "a");
  const std::string temp = dir / "temp";
  ::mkdir(temp.c_str(), 0700);
  LeaveTemporaryArchive(dir / "QWXaB3dE9");       // beside the archive
  LeaveTemporaryArchive(temp + "/QWXzz1200");     // in TempPath
  LeaveTemporaryArchive(dir / "data/QWX123456");  // in a folder the job covers
  Put("QWXnotmine.txt", "a user's file");         // not a name the engine makes
  // One that a run still writing holds: it is neither packed nor touched.
  LeaveTemporaryArchive(dir / "QWXlive00");
  const int live = ::open((dir / "QWXlive00").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(::flock(live, LOCK_EX | LOCK_NB), 0);

  TZipWriter zip;
  Prepare(zip);
  zip.TempPath = temp;
  EXPECT_EQ(Zip(zip, {dir / "*.*"}), 2);
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("QWXnotmine.txt", "data/a.txt"));
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("QWXlive00", "QWXnotmine.txt", "data", "out.zip", "temp"));
  EXPECT_TRUE(ListFolder(temp).empty());
  // A run never removes one outside the archive's folder and TempPath.
  EXPECT_THAT(ListFolder(dir / "data"), ElementsAre("QWX123456", "a.txt"));
  ::close(live);
}

}  // namespace
}  // namespace tessel
