// The zip engine and the data it must neither lose nor leak: names that are
// not UTF-8.
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

}  // namespace
}  // namespace tessel
