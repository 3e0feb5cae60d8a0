// The progress line that a batch run draws on a terminal.
#include "app/batch_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/files.h"

namespace tessel {
namespace {

// A file name drives neither the cursor nor the colours, and cannot start a
// line of its own: the only control sequences on the terminal are the
// line's own carriage return and erase.
TEST(BatchDisplayTest, ProgressLineShowsControlCharactersOfANameEscaped) {
  std::FILE* err = std::tmpfile();
  ASSERT_NE(err, nullptr);
  BatchDisplay display(nullptr, err, /*terminal=*/true, 200);
  display.SetTotalProgress(42);
  display.ShowCurrentFile("/data/\033[2J\033[31mred\nfake line\x7F\xC2\x9B" "1A.txt");
  EXPECT_EQ(display.ProgressLine(),
            "42% | /data/\\033[2J\\033[31mred\\nfake line\\177\\302\\2331A.txt");
  const std::string drawn = test::ReadBack(err);
  EXPECT_EQ(drawn, "\r" + display.ProgressLine() + "\033[K");
  std::fclose(err);

  // Cut to the terminal's width from the front, still escaped.
  BatchDisplay narrow(nullptr, nullptr, /*terminal=*/false, 20);
  narrow.ShowCurrentFile("/data/long folder/x\ty.txt");
  EXPECT_EQ(narrow.ProgressLine(), "0% | …lder/x\\ty.txt");
}

}  // namespace
}  // namespace tessel
