// An update costs what changed: one that would write exactly the archive
// that exists leaves the file untouched, and a run examines each file at most
// twice (one fstatat in the folder's listing, one fstat of the open file).
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "support/stat_counting.h"
#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::NamesOf;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::SetMTime;
using enginetest::WriteBytes;
using test::CountingStatCalls;
using ::testing::ElementsAre;

constexpr time_t kLater = enginetest::kFixedTime + 3600;

// What shows that a file was written: its inode, its time stamp to the
// nanosecond and its bytes.
struct FileState {
  ino_t Inode = 0;
  timespec MTime{};
  std::string Bytes;

  static FileState Of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {st.st_ino, st.st_mtim, ReadBytes(path)};
  }
  bool operator==(const FileState& other) const {
    return Inode == other.Inode && MTime.tv_sec == other.MTime.tv_sec && MTime.tv_nsec == other.MTime.tv_nsec &&
           Bytes == other.Bytes;
  }
};

class UnchangedUpdateTest : public enginetest::EngineFixture {
protected:
  void SetUp() override {
    EngineFixture::SetUp();
    for (int i = 0; i < 6; ++i) Put("src/f" + std::to_string(i) + ".txt", enginetest::TextOf(3000 + i, i));
    Put("src/sub/deep.txt", "deep");
    ASSERT_EQ(::symlink("f1.txt", (dir / "src/link.txt").c_str()), 0);
    ::mkdir((dir / "temp").c_str(), 0755);
    TZipWriter maker;
    Prepare(maker);
    ASSERT_EQ(Zip(maker, {dir / "src/*.*"}), 8);
  }
  void Prepare(TZipWriter& zip) {
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir / "src");
    zip.SetZipName(Archive());
    // A temporary archive would be made, and removed, in this folder.
    zip.TempPath = dir / "temp";
  }
  // Runs an update of the whole tree; true when the archive was left as it
  // was, which the file itself must confirm.
  bool LeftAsItWas(TZipAction action, int32_t* written = nullptr,
                   const std::vector<std::string>& specs = {}) {
    const FileState archive = FileState::Of(Archive());
    const FileState temp = FileState::Of(dir / "temp");
    TZipWriter zip;
    Prepare(zip);
    zip.ZipAction = action;
    // With workers, which would open files ahead of their turn.
    zip.Threads = 2;
    std::atomic<int> opened{0};  // counted on the workers
    zip.SourceStreamWrapper = [&opened](std::unique_ptr<TStream> inner) {
      ++opened;
      return inner;
    };
    int32_t completed = -1;
    zip.OnZipComplete = [&](TZipWriter&, int32_t count) { completed = count; };
    const int32_t result = Zip(zip, specs.empty() ? std::vector<std::string>{dir / "src/*.*"} : specs);
    EXPECT_EQ(completed, result);
    if (written != nullptr) *written = result;
    const bool untouched = FileState::Of(Archive()) == archive && FileState::Of(dir / "temp") == temp;
    EXPECT_EQ(zip.LeftAsItWas(), untouched);
    if (zip.LeftAsItWas()) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(opened.load(), 0) << "no file is opened for an archive left as it was";
    }
    return zip.LeftAsItWas();
  }
};

TEST_F(UnchangedUpdateTest, AnUpdateOfAnUnchangedTreeLeavesTheArchive) {
  for (const TZipAction action : {zaUpdate, zaFreshen}) {
    SCOPED_TRACE(static_cast<int>(action));
    EXPECT_TRUE(LeftAsItWas(action));
    // A name given twice, or a file the job leaves out, changes nothing.
    EXPECT_TRUE(LeftAsItWas(action, nullptr, {dir / "src/*.*", dir / "src/f2.txt"}));
  }
  // Replacing rewrites every entry by definition.
  EXPECT_FALSE(LeftAsItWas(zaReplace));
}

TEST_F(UnchangedUpdateTest, AChangedOrNewFileStillRewritesIt) {
  int32_t written = 0;
  // A newer file: both update modes write it.
  Put("src/f3.txt", "changed", kLater);
  EXPECT_FALSE(LeftAsItWas(zaUpdate, &written));
  EXPECT_EQ(written, 1);
  Put("src/f4.txt", "changed too", kLater);
  EXPECT_FALSE(LeftAsItWas(zaFreshen, &written));
  EXPECT_EQ(written, 1);
  EXPECT_EQ(ParseFile(Archive()).Find("f4.txt")->Data, "changed too");
  EXPECT_TRUE(LeftAsItWas(zaUpdate));

  // A new file: the update adds it; freshen takes only files it holds.
  Put("src/new.txt", "new");
  EXPECT_TRUE(LeftAsItWas(zaFreshen));
  EXPECT_FALSE(LeftAsItWas(zaUpdate, &written));
  EXPECT_EQ(written, 1);
  EXPECT_EQ(ParseFile(Archive()).Find("new.txt")->Data, "new");

  // A file that is gone drops nothing in an update: its entry stays.
  ::unlink((dir / "src/f0.txt").c_str());
  EXPECT_TRUE(LeftAsItWas(zaUpdate));
  EXPECT_NE(ParseFile(Archive()).Find("f0.txt"), nullptr);
}

TEST_F(UnchangedUpdateTest, AFileTheJobLeavesOutChangesNothing) {
  Put("src/new.tmp", "scratch");
  TZipWriter zip;
  Prepare(zip);
  int asked = 0;
  zip.OnStartZip = [&](TZipWriter&, const std::string& path, TZipHeaderInfo&, bool& skip) {
    ++asked;
    skip = path.ends_with(".tmp");
  };
  const FileState before = FileState::Of(Archive());
  EXPECT_EQ(Zip(zip, {dir / "src/*.*"}), 0);
  EXPECT_TRUE(zip.LeftAsItWas());
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(FileState::Of(Archive()) == before);

  // One the job takes is asked about once, and written.
  Put("src/new.txt", "new");
  asked = 0;
  TZipWriter again;
  Prepare(again);
  again.OnStartZip = zip.OnStartZip;
  EXPECT_EQ(Zip(again, {dir / "src/*.*"}), 1);
  EXPECT_FALSE(again.LeftAsItWas());
  EXPECT_EQ(asked, 2);
  EXPECT_THAT(NamesOf(ParseFile(Archive())),
              ElementsAre("f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt", "link.txt", "sub/deep.txt",
                          "new.txt"));
}

TEST_F(UnchangedUpdateTest, AnArchiveLaidOutOtherwiseIsWrittenAnew) {
  // Bytes after the end record: a rewrite leaves them out, so the archive
  // is not what a rewrite would give.
  const std::string sound = ReadBytes(Archive());
  WriteBytes(Archive(), sound + "trailing bytes");
  EXPECT_FALSE(LeftAsItWas(zaUpdate));
  EXPECT_EQ(ReadBytes(Archive()), sound);
  EXPECT_TRUE(LeftAsItWas(zaUpdate));
}

// The stat-family calls of one run over a tree, on `threads` threads.
int StatCallsOfARun(const std::string& tree, const std::string& archive, TZipAction action, int threads) {
  TZipWriter zip;
  zip.Threads = threads;
  zip.SetRelativePaths(true);
  zip.SetRootDir(tree);
  zip.SetZipName(archive);
  zip.ZipAction = action;
  zip.FilesList() = {tree + "/*.*"};
  CountingStatCalls counting;
  zip.ZipFiles();
  return CountingStatCalls::Count();
}

TEST(RunCost, AtMostTwoStatCallsPerFile) {
  enginetest::Scratch dir;
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  constexpr int kSmall = 100;
  auto make_tree = [&](const std::string& name, int files) {
    for (int i = 0; i < files; ++i) {
      const std::string path = dir / (name + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt");
      WriteBytes(path, "data " + std::to_string(i));
      SetMTime(path, enginetest::kFixedTime);
    }
  };
  make_tree("small", kSmall);
  make_tree("large", 2 * kSmall);
  // Every phase: a new archive, an unchanged update, an update of changed
  // files, and one that replaces every entry. The calls that one more file
  // adds, whatever a run costs besides.
  struct Phase {
    const char* name;
    TZipAction action;
    bool touch;
  };
  // On one thread and with workers that open and read the files.
  for (const int threads : {1, 2}) {
    for (const Phase phase : {Phase{"new", zaUpdate, false}, Phase{"unchanged", zaUpdate, false},
                              Phase{"changed", zaUpdate, true}, Phase{"replace", zaReplace, false}}) {
      SCOPED_TRACE(std::string(phase.name) + ", threads " + std::to_string(threads));
      int calls[2] = {0, 0};
      int k = 0;
      for (const char* tree : {"small", "large"}) {
        if (phase.touch) {
          for (int i = 0; i < (k + 1) * kSmall; ++i)
            SetMTime(dir / (std::string(tree) + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt"),
                     kLater + 2 * k + 10 * threads);
        }
        const std::string archive = dir / (std::string(tree) + std::to_string(threads) + ".zip");
        calls[k++] = StatCallsOfARun(dir / tree, archive, phase.action, threads);
      }
      const double per_file = static_cast<double>(calls[1] - calls[0]) / kSmall;
      EXPECT_LE(per_file, 2.0) << calls[0] << " and " << calls[1] << " calls";
      if (std::string(phase.name) == "unchanged") {
        EXPECT_LE(per_file, 1.0);
      }
    }
  }
}

}  // namespace
}  // namespace tessel
