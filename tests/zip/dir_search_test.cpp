#include "zip/dir_search.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/processes.h"
#include "support/scratch.h"

namespace tessel {
namespace {

// A scratch tree, its root written with the trailing "/" that searches take.
class TempTree {
public:
  const std::string& root() const { return root_; }

  void File(const std::string& relative, const std::string& data = "") const { test::WriteBytes(root_ + relative, data); }
  void Folder(const std::string& relative) const { ASSERT_EQ(::mkdir((root_ + relative).c_str(), 0755), 0) << relative; }
  void Link(const std::string& target, const std::string& relative) const {
    ASSERT_EQ(::symlink(target.c_str(), (root_ + relative).c_str()), 0) << relative;
  }

private:
  test::Scratch scratch_;
  std::string root_ = scratch_.path() + "/";
};

// Every path a search returns, made relative to the root.
std::vector<std::string> Walk(const std::string& root, bool recurse, const std::string& pattern,
                              std::string start = {}) {
  TDirSearch search(start.empty() ? root : start, recurse, pattern);
  TSearchData record;
  std::vector<std::string> paths;
  for (std::string path = search.NextFile(record); !path.empty(); path = search.NextFile(record)) {
    paths.push_back(path.rfind(root, 0) == 0 ? path.substr(root.size()) : path);
  }
  EXPECT_EQ(search.Depth(), 0u);
  EXPECT_EQ(search.NextFile(record), "");
  return paths;
}

// A tree with the usual troubles: hidden folder, links of every kind, a FIFO.
class DirSearchTest : public testing::Test {
protected:
  void SetUp() override {
    tree_.File("b.txt", "12345");
    tree_.File("A.doc");
    tree_.File("noext");
    tree_.File("z.txt");
    tree_.Folder(".hidden");
    tree_.File(".hidden/inner.txt");
    tree_.Folder("sub");
    tree_.File("sub/c.txt");
    tree_.Folder("sub/deeper");
    tree_.File("sub/deeper/d.txt");
    tree_.Link("..", "sub/up");            // a loop back to the root
    tree_.Link("b.txt", "link_file");
    tree_.Link("sub", "link_dir");
    tree_.Link("nowhere", "dangling");
    ASSERT_EQ(::mkfifo((tree_.root() + "fifo").c_str(), 0600), 0);
  }
  TempTree tree_;
};

TEST_F(DirSearchTest, RecursesDepthFirstInNameOrderReturningLinksAsThemselves) {
  // A FIFO opened for reading would block: the alarm ends a hung test.
  ::alarm(30);
  // Links are returned, never entered or followed: "sub/up" leads back up
  // and "link_dir" to a folder, yet neither adds anything below it.
  const std::vector<std::string> expected = {
      ".hidden/", ".hidden/inner.txt", "A.doc",     "b.txt",       "dangling",         "link_dir", "link_file",
      "noext",    "sub/",              "sub/c.txt", "sub/deeper/", "sub/deeper/d.txt", "sub/up",   "z.txt"};
  EXPECT_EQ(Walk(tree_.root(), true, "*.*"), expected);
  ::alarm(0);
}

TEST_F(DirSearchTest, WithoutRecursionListsOnlyTheFolder) {
  const std::vector<std::string> expected = {"A.doc", "b.txt", "dangling", "link_dir", "link_file", "noext", "z.txt"};
  EXPECT_EQ(Walk(tree_.root(), false, "*.*"), expected);
  EXPECT_EQ(Walk(tree_.root(), false, "*"), expected);
}

TEST_F(DirSearchTest, PatternsSeeNamesWithoutExtensionWithADot) {
  EXPECT_EQ(Walk(tree_.root(), false, "*."),
            (std::vector<std::string>{"dangling", "link_dir", "link_file", "noext"}));
  EXPECT_EQ(Walk(tree_.root(), false, "*.TXT"), (std::vector<std::string>{"b.txt", "z.txt"}));
  EXPECT_EQ(Walk(tree_.root(), true, "*.txt"),
            (std::vector<std::string>{".hidden/", ".hidden/inner.txt", "b.txt", "sub/", "sub/c.txt",
                                      "sub/deeper/", "sub/deeper/d.txt", "z.txt"}));
  EXPECT_EQ(Walk(tree_.root(), false, "b.txt"), std::vector<std::string>{"b.txt"});
  EXPECT_TRUE(Walk(tree_.root(), false, "missing.txt").empty());
}

TEST_F(DirSearchTest, RecordCarriesTheFacts) {
  TDirSearch search(tree_.root(), true, "*.*");
  TSearchData record;
  std::string path;
  while ((path = search.NextFile(record)) != tree_.root() + "b.txt") ASSERT_FALSE(path.empty());
  EXPECT_EQ(record.Name, "b.txt");
  EXPECT_EQ(record.Size(), 5u);
  EXPECT_EQ(record.Info.Type, FileType::ftRegular);
  EXPECT_EQ(record.Path, tree_.root());
  EXPECT_NE(record.DosDateTime(), 0u);
  const FileInfo target = record.Info;
  // A link is the link itself, whatever it leads to: its size is the length
  // of the path it holds.
  EXPECT_EQ(search.NextFile(record), tree_.root() + "dangling");
  EXPECT_EQ(record.Info.Type, FileType::ftSymlink);
  EXPECT_EQ(record.Size(), 7u);
  EXPECT_EQ(search.NextFile(record), tree_.root() + "link_dir");
  EXPECT_EQ(record.Info.Type, FileType::ftSymlink);
  EXPECT_EQ(search.NextFile(record), tree_.root() + "link_file");
  EXPECT_EQ(record.Info.Type, FileType::ftSymlink);
  EXPECT_FALSE(IsSameFile(record.Info, target));
  EXPECT_EQ(search.NextFile(record), tree_.root() + "noext");
  EXPECT_EQ(search.NextFile(record), tree_.root() + "sub/");
  EXPECT_EQ(record.Name, "sub");
  EXPECT_EQ(record.Info.Type, FileType::ftDirectory);
  EXPECT_EQ(search.Depth(), 2u);
}

TEST_F(DirSearchTest, StartFolderSpellings) {
  std::string without_slash = tree_.root();
  without_slash.pop_back();
  EXPECT_EQ(Walk(tree_.root(), false, "b.txt", without_slash), std::vector<std::string>{"b.txt"});
  EXPECT_TRUE(Walk(tree_.root(), true, "*.*", tree_.root() + "missing").empty());
  EXPECT_TRUE(Walk(tree_.root(), true, "*.*", tree_.root() + "b.txt").empty());

  // An empty start folder is the current folder, and the paths stay relative.
  const std::string saved = CurrentFolder();
  ASSERT_EQ(::chdir((tree_.root() + "sub").c_str()), 0);
  TDirSearch search("", true, "*.txt");
  TSearchData record;
  std::vector<std::string> paths;
  for (std::string path = search.NextFile(record); !path.empty(); path = search.NextFile(record)) paths.push_back(path);
  ASSERT_EQ(::chdir(saved.c_str()), 0);
  EXPECT_EQ(paths, (std::vector<std::string>{"c.txt", "deeper/", "deeper/d.txt"}));
}

TEST(DirSearch, EntersFoldersAtAnyDepth) {
  TempTree tree;
  std::string folder;
  std::vector<std::string> expected;
  for (int level = 1; level <= 25; ++level) {
    folder += "level" + std::to_string(level) + "/";
    tree.Folder(folder);
    expected.push_back(folder);
  }
  tree.File(folder + "deep.txt", "x");
  expected.push_back(folder + "deep.txt");
  tree.File("top.txt");
  expected.push_back("top.txt");
  EXPECT_EQ(Walk(tree.root(), true, "*.*"), expected);
}

TEST(DirSearch, UnreadableFolderCountsAsEmpty) {
  TempTree tree;
  tree.Folder("a_locked");
  tree.File("a_locked/secret.txt");
  tree.Folder("b_open");
  tree.File("b_open/ok.txt");
  ASSERT_EQ(::chmod((tree.root() + "a_locked").c_str(), 0), 0);
  const std::string root = tree.root();
  EXPECT_EQ(test::RunAsNobody([&] {
    const std::vector<std::string> expected = {"a_locked/", "b_open/", "b_open/ok.txt"};
    const std::vector<std::string> found = Walk(root, true, "*.*");
    if (found != expected) {
      for (const std::string& path : found) std::fprintf(stderr, "found %s\n", path.c_str());
    }
    return found == expected ? 0 : 1;
  }), 0);
}

}  // namespace
}  // namespace tessel
