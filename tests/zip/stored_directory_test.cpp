#include "zip/stored_directory.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

struct StoredCase {
  const char* path;
  const char* root_dir;
  bool relative_paths;
  const char* expected;
};

void PrintTo(const StoredCase& c, std::ostream* os) {
  *os << '"' << c.path << "\" root \"" << c.root_dir << "\" relative " << c.relative_paths;
}

class StoredDirectoryTable : public testing::TestWithParam<StoredCase> {};

TEST_P(StoredDirectoryTable, GivesTheEntryFolder) {
  const StoredCase& c = GetParam();
  EXPECT_EQ(StoredDirectory(c.path, c.root_dir, c.relative_paths, false), c.expected);
  // There are no drives or shares: keeping volumes changes nothing.
  EXPECT_EQ(StoredDirectory(c.path, c.root_dir, c.relative_paths, true), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, StoredDirectoryTable, testing::Values(
    StoredCase{"/data/sub/a.txt", "", true, "data/sub/"},
    StoredCase{"/data/sub/a.txt", "/data/", true, "sub/"},
    StoredCase{"/data/sub/a.txt", "/data", true, "sub/"},
    StoredCase{"/data/sub/a.txt", "/data/", false, "data/sub/"},
    StoredCase{"/data/a.txt", "/data/", true, ""},
    StoredCase{"/a.txt", "", true, ""},
    StoredCase{"/a.txt", "/data/", true, ""},
    StoredCase{"a.txt", "", false, ""},
    StoredCase{"sub/a.txt", "", true, "sub/"},
    StoredCase{"sub/deep/a.txt", "sub/", true, "deep/"},
    StoredCase{"/data/sub/", "/data/", true, "sub/"},
    StoredCase{"/data/sub/a.txt", "/", true, "data/sub/"}));

INSTANTIATE_TEST_SUITE_P(OutsideRoot, StoredDirectoryTable, testing::Values(
    StoredCase{"/other/x/a.txt", "/data/", true, "other/x/"},
    StoredCase{"/database/a.txt", "/data/", true, "database/"},
    StoredCase{"/Data/sub/a.txt", "/data/", true, "Data/sub/"},  // another folder on this host
    StoredCase{"/data/sub/a.txt", "/data/sub/more/", true, "data/sub/"}));

// Empty, "." and ".." components never reach a stored name.
INSTANTIATE_TEST_SUITE_P(Spelling, StoredDirectoryTable, testing::Values(
    StoredCase{"//data//sub///a.txt", "", true, "data/sub/"},
    StoredCase{"/data//a.txt", "", true, "data/"},
    StoredCase{"//a.txt", "", true, ""},
    StoredCase{"/data//sub/a.txt", "/data/", true, "sub/"},
    StoredCase{"/data/sub/a.txt", "//data//", true, "sub/"},
    StoredCase{"/data/./sub/a.txt", "", true, "data/sub/"},
    StoredCase{"./a.txt", "", true, ""},
    StoredCase{"/data/../etc/a.txt", "", true, "etc/"},
    StoredCase{"../../x/a.txt", "", true, "x/"},
    StoredCase{"/../a.txt", "", true, ""}));

TEST(StoredDirectory, FolderPartAndLastComponent) {
  EXPECT_EQ(FolderPart("/data/sub/a.txt"), "/data/sub/");
  EXPECT_EQ(FolderPart("/a.txt"), "/");
  EXPECT_EQ(FolderPart("a.txt"), "");
  EXPECT_EQ(FolderPart("/data/sub/"), "/data/sub/");
  EXPECT_EQ(LastComponent("/data/sub/a.txt"), "a.txt");
  EXPECT_EQ(LastComponent("a.txt"), "a.txt");
  EXPECT_EQ(LastComponent("/data/sub/"), "");
  EXPECT_EQ(LastComponent("/data/отчет.doc"), "отчет.doc");
}

}  // namespace
}  // namespace tessel
