// The zip engine and the data it must neither lose nor leak: names that are
// not UTF-8, and the files of kernel file systems.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ParseFile;

class SafetyTest : public enginetest::EngineFixture {
protected:
  // An engine that stores paths below the scratch folder.
  void Prepare(TZipWriter& zip) {
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir.path());
    zip.SetZipName(Archive());
  }
};

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

}  // namespace
}  // namespace tessel
