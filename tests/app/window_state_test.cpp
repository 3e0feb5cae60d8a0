// The main window's remembered size and place.
#include "app/window_state.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/files.h"
#include "support/scratch.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

class WindowStateTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_STATE_HOME")) saved_ = old;
  }
  void TearDown() override {
    if (saved_.empty()) {
      ::unsetenv("XDG_STATE_HOME");
    } else {
      ::setenv("XDG_STATE_HOME", saved_.c_str(), 1);
    }
  }
  test::Scratch scratch_;
  fs::path root_ = scratch_.path();
  std::string saved_;
};

TEST_F(WindowStateTest, KeptInTheStateFolderAndReadBack) {
  ::setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
  const std::string path = WindowStatePath();
  EXPECT_EQ(path, (root_ / "state" / "tessel-backup" / "window.ini").string());
  EXPECT_FALSE(LoadWindowGeometry(path).HasSize());

  const WindowGeometry geometry{-20, 35, 900, 640, true};
  ASSERT_TRUE(SaveWindowGeometry(path, geometry));  // the folders are made
  const WindowGeometry read = LoadWindowGeometry(path);
  EXPECT_EQ(read.Left, -20);
  EXPECT_EQ(read.Top, 35);
  EXPECT_EQ(read.Width, 900);
  EXPECT_EQ(read.Height, 640);
  EXPECT_TRUE(read.Maximized);
  // Other lines of the file stay.
  std::ofstream(path, std::ios::app) << "[Other]\nKey=1\n";
  ASSERT_TRUE(SaveWindowGeometry(path, WindowGeometry{1, 2, 3, 4, false}));
  const std::string text = test::ReadBytes(path);
  EXPECT_NE(text.find("[Other]\nKey=1\n"), std::string::npos) << text;
}

TEST_F(WindowStateTest, NothingUsableGivesNoSizeAndAFailedSaveSaysSo) {
  const std::string path = (root_ / "window.ini").string();
  std::ofstream(path) << "[Window]\nLeft=5\nTop=5\nWidth=wide\nHeight=300\n";
  EXPECT_FALSE(LoadWindowGeometry(path).HasSize());
  std::ofstream(path) << "[Window]\nWidth=0\nHeight=300\n";
  EXPECT_FALSE(LoadWindowGeometry(path).HasSize());
  // A state folder that cannot be made (a file stands in its place).
  std::ofstream(root_ / "blocked") << "x";
  EXPECT_FALSE(SaveWindowGeometry((root_ / "blocked" / "window.ini").string(), WindowGeometry{0, 0, 10, 10, false}));
}

}  // namespace
}  // namespace tessel
