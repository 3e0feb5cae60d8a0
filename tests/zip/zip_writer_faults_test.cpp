// The zip engine under failure: output writes and source reads that fail,
// damaged old archives, files that change while they are read, and trees
// holding things that cannot or must not be read.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::NamesOf;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::Scratch;
using enginetest::SetMTime;
using enginetest::WriteBytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr time_t kBase = enginetest::kFixedTime;

class FaultTest : public enginetest::EngineFixture {
protected:
  // Records every file the engine leaves out, as "reason path: text".
  void Record(TZipWriter& zip) {
    zip.OnSkippingFile = [this](TZipWriter&, TSkipReason r, const std::string& name, int32_t,
                                bool&, const std::string& text) {
      skipped.push_back(std::to_string(r) + " " + name.substr(dir.path().size() + 1) + ": " + text);
    };
  }

  std::vector<std::string> skipped;
};

TEST_F(FaultTest, AWriteFailingAtAnyPositionLeavesTheOldArchive) {
  Put("s/a.txt", "alpha alpha alpha");
  Put("s/b.txt", "bravo");
  {
    TZipWriter maker;
    maker.SetZipName(Archive());
    ASSERT_EQ(Zip(maker, {dir / "s/*.txt"}), 2);
  }
  const std::string before = ReadBytes(Archive());
  Put("s/b.txt", "bravo, newer", kBase + 10);
  Put("s/c.txt", "charlie");
  const std::vector<std::string> folder = ListFolder(dir.path());

  // The size of the finished update, from a run on a copy.
  uint64_t full_size = 0;
  {
    WriteBytes(dir / "copy.zip", before);
    TZipWriter probe;
    probe.SetZipName(dir / "copy.zip");
    Zip(probe, {dir / "s/*.txt"});
    full_size = ReadBytes(dir / "copy.zip").size();
    ::unlink((dir / "copy.zip").c_str());
  }
  ASSERT_GT(full_size, 100u);
  for (uint64_t budget = 0; budget < full_size; ++budget) {
    SCOPED_TRACE(budget);
    TZipWriter zip;
    zip.SetZipName(Archive());
    zip.OutputStreamWrapper = enginetest::FailWritesAfter(static_cast<int64_t>(budget));
    try {
      Zip(zip, {dir / "s/*.txt"});
      ADD_FAILURE() << "the failed write went unnoticed";
    } catch (const ENotEnoughRoom& e) {
      EXPECT_STREQ(e.what(), "Нет свободной памати для записи архива");
    }
    ASSERT_EQ(ReadBytes(Archive()), before);
    ASSERT_EQ(ListFolder(dir.path()), folder);
    EXPECT_FALSE(zip.IsBusy());
  }
  TZipWriter zip;
  zip.SetZipName(Archive());
  zip.OutputStreamWrapper = enginetest::FailWritesAfter(static_cast<int64_t>(full_size));
  EXPECT_EQ(Zip(zip, {dir / "s/*.txt"}), 2);
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("a.txt", "b.txt", "c.txt"));
}

TEST_F(FaultTest, AWriteFailingInsideALargeEntryLeavesNothing) {
  Put("big.bin", enginetest::NoiseOf(900000));
  for (int level : {0, 6}) {
    for (int64_t budget : {int64_t{0}, int64_t{300000}, int64_t{899999}}) {
      SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(budget));
      TZipWriter zip;
      zip.PackLevel = level;
      zip.SetZipName(Archive());
      zip.OutputStreamWrapper = enginetest::FailWritesAfter(budget);
      EXPECT_THROW(Zip(zip, {dir / "big.bin"}), ENotEnoughRoom);
      EXPECT_THAT(ListFolder(dir.path()), ElementsAre("big.bin"));
    }
  }
}

TEST_F(FaultTest, AReadErrorDropsOnlyThatEntry) {
  // Small files are gathered in memory, the large one goes straight to the
  // archive and must be taken back out of it.
  Put("r/a_small.txt", "small");
  Put("r/b_large.bin", enginetest::NoiseOf(700000));
  Put("r/c_mid.txt", enginetest::TextOf(40000));
  Put("r/d_large.txt", enginetest::TextOf(2000000));
  for (int level : {0, 1, 6}) {
    SCOPED_TRACE(level);
    skipped.clear();
    ::unlink(Archive().c_str());
    TZipWriter zip;
    zip.PackLevel = level;
    zip.SetZipName(Archive());
    zip.SourceStreamWrapper = enginetest::FailReadsAfter(50000);
    Record(zip);
    EXPECT_EQ(Zip(zip, {dir / "r/*.*"}), 2);
    EXPECT_THAT(skipped, ElementsAre("5 r/b_large.bin: Input/output error",
                                     "5 r/d_large.txt: Input/output error"));
    const auto archive = ParseFile(Archive());  // strict: no gaps, nothing after the end
    EXPECT_THAT(NamesOf(archive), ElementsAre("a_small.txt", "c_mid.txt"));
    EXPECT_EQ(archive.Find("c_mid.txt")->Data, ReadBytes(dir / "r/c_mid.txt"));
  }
}

TEST_F(FaultTest, AReadErrorDuringAnUpdateKeepsTheArchiveSound) {
  Put("r/a.txt", "a");
  Put("r/b.txt", "b");
  {
    TZipWriter maker;
    maker.SetZipName(Archive());
    Zip(maker, {dir / "r/*.txt"});
  }
  Put("r/a.txt", enginetest::NoiseOf(500000), kBase + 10);
  Put("r/c.txt", "c");
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.SetZipName(Archive());
  zip.SourceStreamWrapper = enginetest::FailReadsAfter(1000);
  Record(zip);
  EXPECT_EQ(Zip(zip, {dir / "r/*.txt"}), 1);
  EXPECT_THAT(skipped, ElementsAre("5 r/a.txt: Input/output error"));
  // The newer a.txt could not be read: the archive keeps the copy it had.
  const auto archive = ParseFile(Archive());
  EXPECT_THAT(NamesOf(archive), ElementsAre("a.txt", "b.txt", "c.txt"));
  ASSERT_NE(archive.Find("a.txt"), nullptr);
  EXPECT_EQ(archive.Find("a.txt")->Data, "a");
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("out.zip", "r"));
}

TEST_F(FaultTest, AFileThatVanishesDuringAnUpdateKeepsItsOldEntry) {
  Put("v/gone.txt", "old copy");
  Put("v/stays.txt", "stays");
  {
    TZipWriter maker;
    maker.SetZipName(Archive());
    Zip(maker, {dir / "v/*.txt"});
  }
  Put("v/gone.txt", "newer copy", kBase + 10);
  for (TZipAction action : {zaUpdate, zaReplace}) {
    SCOPED_TRACE(static_cast<int>(action));
    skipped.clear();
    TZipWriter zip;
    zip.ZipAction = action;
    // One thread: no worker opens the file before its turn.
    zip.Threads = 1;
    zip.SetZipName(Archive());
    Record(zip);
    // Listed, then gone before its turn.
    zip.OnUpdate = [&](TZipWriter&, TUpdateAction, int32_t) { ::unlink((dir / "v/gone.txt").c_str()); };
    Zip(zip, {dir / "v/*.txt"});
    EXPECT_THAT(skipped, ElementsAre("3 v/gone.txt: No such file or directory"));
    const auto archive = ParseFile(Archive());
    EXPECT_THAT(NamesOf(archive), ElementsAre("gone.txt", "stays.txt"));
    ASSERT_NE(archive.Find("gone.txt"), nullptr);
    EXPECT_EQ(archive.Find("gone.txt")->Data, "old copy");
    Put("v/gone.txt", "newer copy", kBase + 10);
  }
}

TEST_F(FaultTest, ADamagedOldEntryEndsTheRunAndKeepsTheArchive) {
  Put("s/a.txt", "alpha");
  Put("s/b.txt", "bravo");
  {
    TZipWriter maker;
    maker.SetZipName(Archive());
    Zip(maker, {dir / "s/*.txt"});
  }
  std::string bytes = ReadBytes(Archive());
  const auto parsed = enginetest::ParseArchive(bytes);
  struct Damage {
    const char* what;
    size_t at;
    char value;
  };
  // The second local header's signature, and a central compressed size that
  // points past the end of the file.
  const size_t second = parsed.Entries[1].Offset;
  const size_t central_size = bytes.size() - 22 - (46 + 5) + 20;
  for (const Damage d : {Damage{"signature", second, 'X'}, Damage{"size", central_size + 3, '\x7f'}}) {
    SCOPED_TRACE(d.what);
    std::string damaged = bytes;
    damaged[d.at] = d.value;
    WriteBytes(Archive(), damaged);
    Put("s/c.txt", "charlie");
    TZipWriter zip;
    zip.SetZipName(Archive());
    try {
      Zip(zip, {dir / "s/c.txt"});
      ADD_FAILURE() << "damage not noticed";
    } catch (const EBadZipFile& e) {
      EXPECT_STREQ(e.what(), "Это не Zip файл!");
    }
    EXPECT_EQ(ReadBytes(Archive()), damaged);
    EXPECT_THAT(ListFolder(dir.path()), ElementsAre("out.zip", "s"));
  }
}

TEST_F(FaultTest, FilesThatChangeWhileTheyAreReadGiveSoundEntries) {
  const std::string grow = Put("g/grow.log", enginetest::TextOf(100000));
  const std::string shrink = Put("g/shrink.log", enginetest::TextOf(300000));
  for (int level : {0, 6}) {
    SCOPED_TRACE(level);
    WriteBytes(grow, enginetest::TextOf(100000));
    WriteBytes(shrink, enginetest::TextOf(300000));
    ::unlink(Archive().c_str());
    TZipWriter zip;
    zip.PackLevel = level;
    // On one thread the files are open by now and change before their data
    // are read (workers would have read them already).
    zip.Threads = 1;
    zip.SetZipName(Archive());
    zip.OnStartZip = [&](TZipWriter&, const std::string& name, TZipHeaderInfo&, bool&) {
      if (name == grow) {
        std::ofstream(grow, std::ios::app) << enginetest::TextOf(500000, 3);
      } else {
        ::truncate(shrink.c_str(), 1234);
      }
    };
    EXPECT_EQ(Zip(zip, {dir / "g/*.*"}), 2);
    const auto archive = ParseFile(Archive());
    EXPECT_EQ(archive.Find("grow.log")->Data, ReadBytes(grow));
    EXPECT_EQ(archive.Find("grow.log")->UncompressedSize, 600000u);
    EXPECT_EQ(archive.Find("shrink.log")->Data, ReadBytes(shrink));
    EXPECT_EQ(archive.Find("shrink.log")->UncompressedSize, 1234u);
  }
}

TEST_F(FaultTest, TreeWithFifoLinksLoopsHiddenAndDeepFolders) {
  const std::string t = dir / "tree";
  Put("tree/plain.txt", "plain");
  Put("tree/.config/app/settings.ini", "[x]");
  std::string deep = "tree";
  for (int i = 0; i < 25; ++i) deep += "/l" + std::to_string(i);
  Put(deep + "/bottom.txt", "bottom");
  ASSERT_EQ(::mkfifo((t + "/pipe").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(".", (t + "/loop").c_str()), 0);
  ASSERT_EQ(::symlink("..", (t + "/.config/up").c_str()), 0);
  ASSERT_EQ(::symlink("plain.txt", (t + "/link.txt").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (t + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkdir((t + "/empty").c_str(), 0755), 0);

  TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(t);
  zip.SetZipName(Archive());
  Record(zip);
  int missing = 0;
  zip.OnNoSuchFile = [&](TZipWriter&, const std::string&) { ++missing; };
  // The FIFO named explicitly too: it is examined, never opened. The links
  // are stored as links, and none is followed: not the loops, not the
  // dangling one.
  EXPECT_EQ(Zip(zip, {t + "/*.*", t + "/pipe"}), 7);
  std::string deep_name = deep.substr(5) + "/bottom.txt";
  const auto archive = ParseFile(Archive());
  EXPECT_THAT(NamesOf(archive), ElementsAre(".config/app/settings.ini", ".config/up", "dangling", deep_name,
                                            "link.txt", "loop", "plain.txt"));
  EXPECT_EQ(archive.Find("link.txt")->Data, "plain.txt");
  EXPECT_EQ(archive.Find("loop")->Data, ".");
  EXPECT_TRUE(skipped.empty());
  EXPECT_EQ(missing, 0);
}

TEST_F(FaultTest, VanishedFilesAreReported) {
  Put("v/gone.txt", "soon gone");
  Put("v/stays.txt", "stays");
  TZipWriter zip;
  zip.SetZipName(Archive());
  Record(zip);
  zip.OnStartZipInfo = [&](TZipWriter&, int32_t, int64_t, TEndCentral&, bool&) {
    ::unlink((dir / "v/gone.txt").c_str());
  };
  EXPECT_EQ(Zip(zip, {dir / "v/*.*"}), 1);
  EXPECT_THAT(skipped, ElementsAre("3 v/gone.txt: No such file or directory"));
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("stays.txt"));
}

TEST_F(FaultTest, PathsThatCannotBeExaminedAreReportedNotCalledMissing) {
  Put("ok.txt", "ok");
  ASSERT_EQ(::symlink("loop", (dir / "loop").c_str()), 0);  // stat fails: ELOOP
  TZipWriter zip;
  zip.SetZipName(Archive());
  Record(zip);
  std::vector<std::string> missing;
  zip.OnNoSuchFile = [&](TZipWriter&, const std::string& name) { missing.push_back(name.substr(dir.path().size() + 1)); };
  EXPECT_EQ(Zip(zip, {dir / "ok.txt", dir / "loop", dir / "loop/*.*", dir / "none.txt", dir / "none/*.*"}), 1);
  EXPECT_THAT(skipped, ElementsAre("2 loop: Too many levels of symbolic links",
                                   "2 loop/: Too many levels of symbolic links"));
  EXPECT_THAT(missing, ElementsAre("none.txt"));
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("ok.txt"));
}

// ---------------------------------------------------------- unreadable files

// Run by the next test as an unprivileged user, in a child process: what the
// engine does with files and folders it may not read.
TEST(EngineUnprivileged, DISABLED_ChildRun) {
  const char* base = std::getenv("TESSEL_ENGINE_CHILD");
  ASSERT_NE(base, nullptr);
  const std::string root = base;
  ASSERT_NE(::geteuid(), 0u) << "meant to run without privileges";
  TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(root + "/tree");
  zip.SetZipName(root + "/out/a.zip");
  std::ofstream report(root + "/out/report.txt");
  // Asked to, the list build leaves out what may not be read: it is then
  // never opened, so never reported.
  if (std::getenv("TESSEL_ENGINE_EXCLUDE") != nullptr) {
    zip.OnExcludeFile = [](TZipWriter&, const std::string& name, bool& exclude) {
      exclude = name.find("/secret") != std::string::npos || name.find("/locked") != std::string::npos;
    };
  }
  int retries = 0;
  zip.OnSkippingFile = [&](TZipWriter&, TSkipReason r, const std::string& name, int32_t,
                           bool& retry, const std::string& text) {
    report << static_cast<int>(r) << " " << name.substr(root.size() + 1) << ": " << text << "\n";
    if (r == srOpenFailed && name.back() != '/' && retries++ == 0) retry = true;
  };
  zip.FilesList() = {root + "/tree/*.*"};
  EXPECT_EQ(zip.ZipFiles(), 1);
}

class UnprivilegedTest : public FaultTest {
protected:
  void SetUp() override {
    FaultTest::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    if (!test::HaveTool("setpriv")) GTEST_SKIP() << "no setpriv";
  }
  // Runs EngineUnprivileged.DISABLED_ChildRun as an unprivileged user over a
  // tree of a readable file, one it may not read and a folder it may not
  // list; `environment` goes in front of the command.
  void RunChild(const std::string& environment) {
    Put("tree/readable.txt", "yes");
    Put("tree/secret.txt", "no");
    Put("tree/locked/inner.txt", "no");
    ::chmod((dir / "tree/secret.txt").c_str(), 0);
    ::chmod((dir / "tree/locked").c_str(), 0);
    ::mkdir((dir / "out").c_str(), 0777);
    ::chmod((dir / "out").c_str(), 0777);
    // The program must be reachable for the unprivileged user, and the build
    // folder may not be (below /root, say): run a copy from the scratch folder.
    const std::string self = dir / "bin/child-test";
    ASSERT_TRUE(test::CopyRunnable("/proc/self/exe", self));
    const std::string command = environment + " TESSEL_ENGINE_CHILD='" + dir.path() +
                                "' setpriv --reuid=65534 --regid=65534 --clear-groups '" + self +
                                "' --gtest_also_run_disabled_tests "
                                "--gtest_filter=EngineUnprivileged.DISABLED_ChildRun > '" +
                                dir.path() + "/out/log.txt' 2>&1";
    const int status = enginetest::Shell(command);
    ASSERT_EQ(status, 0) << ReadBytes(dir / "out/log.txt");
  }
};

// An excluded file that may not be read, and an excluded folder that may not
// be listed, are neither opened nor reported.
TEST_F(UnprivilegedTest, ExcludedUnreadableFilesAreNeitherOpenedNorReported) {
  RunChild("TESSEL_ENGINE_EXCLUDE=1");
  EXPECT_EQ(ReadBytes(dir / "out/report.txt"), "");
  EXPECT_THAT(NamesOf(ParseFile(dir / "out/a.zip")), ElementsAre("readable.txt"));
}

TEST_F(UnprivilegedTest, UnreadableFilesAreLeftOutAndReported) {
  RunChild("");
  EXPECT_EQ(ReadBytes(dir / "out/report.txt"),
            "2 tree/locked/: Permission denied\n"
            "2 tree/secret.txt: Permission denied\n2 tree/secret.txt: Permission denied\n");
  EXPECT_THAT(NamesOf(ParseFile(dir / "out/a.zip")), ElementsAre("readable.txt"));
  EXPECT_THAT(ListFolder(dir / "out"), ElementsAre("a.zip", "log.txt", "report.txt"));
}

}  // namespace
}  // namespace tessel
