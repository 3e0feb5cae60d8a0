// The zip engine component: properties, the file list expansion, new and
// updated archives, events, counters and cancellation.
#include "zip/zip_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::Scratch;
using enginetest::SetMTime;
using enginetest::WriteBytes;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

constexpr time_t kMay2024 = enginetest::kFixedTime;  // 2024-05-06 07:08:10 UTC

class ZipWriterTest : public enginetest::EngineFixture {};

// ---------------------------------------------------------------- properties

TEST_F(ZipWriterTest, DefaultsAndCoupledSetters) {
  TZipWriter zip;
  EXPECT_EQ(zip.PackLevel, 6);
  EXPECT_FALSE(zip.Recurse);
  EXPECT_FALSE(zip.StorePaths());
  EXPECT_FALSE(zip.RelativePaths());
  EXPECT_FALSE(zip.StoreVolumes());
  EXPECT_EQ(zip.ZipAction, zaUpdate);
  EXPECT_TRUE(zip.DoProcessMessages);
  EXPECT_FALSE(zip.KeepZipOpen);
  EXPECT_FALSE(zip.IsBusy());

  zip.SetRelativePaths(true);
  EXPECT_TRUE(zip.StorePaths());
  EXPECT_TRUE(zip.Recurse);
  zip.SetStorePaths(false);
  EXPECT_FALSE(zip.RelativePaths());
  EXPECT_TRUE(zip.Recurse);
  zip.SetStoreVolumes(true);
  EXPECT_TRUE(zip.StorePaths());
  EXPECT_FALSE(zip.RelativePaths());
  // The program's start-up order: RelativePaths first, then StorePaths.
  TZipWriter program;
  program.SetRelativePaths(true);
  program.SetStorePaths(true);
  EXPECT_TRUE(program.RelativePaths() && program.StorePaths() && program.Recurse);

  zip.SetRootDir("/data");
  EXPECT_EQ(zip.RootDir(), "/data/");
  zip.SetRootDir("/data/");
  EXPECT_EQ(zip.RootDir(), "/data/");
  zip.SetRootDir("");
  EXPECT_EQ(zip.RootDir(), "");
}

TEST_F(ZipWriterTest, AssignCopiesPropertiesListsAndHandlers) {
  TZipWriter source;
  source.PackLevel = 3;
  source.SetRelativePaths(true);
  source.ZipAction = zaFreshen;
  source.TempPath = "/tmp";
  source.ExcludeList = {"*.tmp"};
  source.NoCompressList = {"*.jpg"};
  source.FilesList() = {"/a/*.*"};
  source.SetRootDir("/a");
  source.SetZipName("/a/b.zip");
  source.DiscardExistingEntries = true;
  int calls = 0;
  source.OnNoSuchFile = [&](TZipWriter&, const std::string&) { ++calls; };

  TZipWriter copy;
  copy.Assign(source);
  EXPECT_EQ(copy.PackLevel, 3);
  EXPECT_TRUE(copy.RelativePaths() && copy.StorePaths() && copy.Recurse);
  EXPECT_EQ(copy.ZipAction, zaFreshen);
  EXPECT_EQ(copy.TempPath, "/tmp");
  EXPECT_THAT(copy.ExcludeList, ElementsAre("*.tmp"));
  EXPECT_THAT(copy.NoCompressList, ElementsAre("*.jpg"));
  EXPECT_THAT(copy.FilesList(), ElementsAre("/a/*.*"));
  EXPECT_EQ(copy.RootDir(), "/a/");
  EXPECT_EQ(copy.ZipName(), "/a/b.zip");
  EXPECT_TRUE(copy.DiscardExistingEntries);
  ASSERT_TRUE(copy.OnNoSuchFile);
  copy.OnNoSuchFile(copy, "x");
  EXPECT_EQ(calls, 1);
}

TEST_F(ZipWriterTest, ZipNameKeepsTheDirectoryOnlyForTheExactSameName) {
  Put("a.txt", "a");
  TZipWriter zip;
  zip.SetZipName(Archive());
  Zip(zip, {dir / "a.txt"});
  ASSERT_TRUE(zip.HasDirectory());
  zip.SetZipName(Archive());
  EXPECT_TRUE(zip.HasDirectory());
  zip.SetZipName(dir / "OUT.zip");  // another file on this host
  EXPECT_FALSE(zip.HasDirectory());
}

// ---------------------------------------------------------------- expansion

class ExpandTest : public ZipWriterTest {
protected:
  void SetUp() override {
    ZipWriterTest::SetUp();
    Put("d/a.txt", "aaaa");
    Put("d/B.TXT", "bb");
    Put("d/noext", "n");
    Put("d/.hidden", "h");
    Put("d/sub/c.txt", "ccc");
    Put("d/.cache/x.txt", "x");
    Put("d/файл.тхт", "ф");
  }
  // The expanded list with the scratch folder cut off.
  std::vector<std::string> Expand(TZipWriter& zip, const std::vector<std::string>& specs) {
    zip.FilesList() = specs;
    zip.ExpandFilesList();
    std::vector<std::string> out;
    for (const std::string& path : zip.FilesList())
      out.push_back(path.rfind(dir.path() + "/", 0) == 0 ? path.substr(dir.path().size() + 1) : path);
    return out;
  }
};

TEST_F(ExpandTest, WildcardLines) {
  struct Case {
    std::vector<std::string> specs;
    bool recurse;
    std::vector<std::string> expected;
  };
  const std::string d = dir / "d/";
  const Case cases[] = {
      {{d + "*.*"}, false, {"d/.hidden", "d/B.TXT", "d/a.txt", "d/noext", "d/файл.тхт"}},
      {{d + "*.*"},
       true,
       {"d/.cache/x.txt", "d/.hidden", "d/B.TXT", "d/a.txt", "d/noext", "d/sub/c.txt", "d/файл.тхт"}},
      {{d + "*."}, false, {"d/noext"}},
      {{d + "*.TXT"}, false, {"d/B.TXT", "d/a.txt"}},
      // Only the ASCII letters are folded.
      {{d + "*.ТХТ"}, false, {}},
      {{"|" + d + "a.txt", "|" + d + "missing.txt"}, true, {"d/a.txt"}},
      {{">" + d + "*.txt"}, false, {"d/.cache/x.txt", "d/B.TXT", "d/a.txt", "d/sub/c.txt"}},
      {{"|" + d + "*.txt"}, true, {"d/B.TXT", "d/a.txt"}},
      {{dir / "d*/*.txt"}, true, {}},
      {{dir / "nothere/*.*"}, true, {}},
      // Explicit lines first, then the searches in their order.
      {{d + "sub/*.txt", d + "noext", d + "a.txt"}, false, {"d/noext", "d/a.txt", "d/sub/c.txt"}},
  };
  for (const Case& c : cases) {
    TZipWriter zip;
    zip.Recurse = c.recurse;
    int missing = 0;
    zip.OnNoSuchFile = [&](TZipWriter&, const std::string&) { ++missing; };
    EXPECT_THAT(Expand(zip, c.specs), ElementsAreArray(c.expected)) << c.specs[0];
    EXPECT_EQ(missing, 0);
  }
}

TEST_F(ExpandTest, ExplicitLinesRootDirExclusionsAndSizes) {
  TZipWriter zip;
  std::vector<std::string> missing;
  zip.OnNoSuchFile = [&](TZipWriter&, const std::string& name) { missing.push_back(name); };
  zip.SetRootDir(dir / "d");
  EXPECT_THAT(Expand(zip, {"a.txt", dir / "d/gone.txt", dir / "d/sub", dir / "d/sub/"}),
              ElementsAre("d/a.txt", "d/sub", "d/sub/"));
  EXPECT_THAT(missing, ElementsAre(dir / "d/gone.txt"));
  EXPECT_EQ(zip.TotalBytes(), 4);  // the folder line adds nothing

  zip.ExcludeList = {"*.TXT", dir / "d/sub/*"};
  zip.Recurse = true;
  EXPECT_THAT(Expand(zip, {dir / "d/*.*", dir / "d/B.TXT"}), ElementsAre("d/.hidden", "d/noext", "d/файл.тхт"));
  EXPECT_EQ(zip.TotalBytes(), 1 + 1 + 2);
}

TEST_F(ExpandTest, TheArchiveIsNeverAddedToItself) {
  TZipWriter zip;
  zip.SetZipName(dir / "d/self.zip");
  Put("d/self.zip", "");
  {
    TZipWriter maker;
    maker.SetZipName(dir / "d/self.zip");
    ::unlink((dir / "d/self.zip").c_str());
    Zip(maker, {dir / "d/a.txt"});
  }
  // The same file spelled another way: by identity, not by text.
  zip.SetZipName(dir.path() + "//d/./self.zip");
  auto names = Expand(zip, {dir / "d/*.zip", dir / "d/self.zip", dir.path() + "/d/../d/self.zip"});
  EXPECT_TRUE(names.empty()) << names[0];
}

// ---------------------------------------------------------------- new archives

TEST_F(ZipWriterTest, StoredEntryIsByteExact) {
  const std::string file = Put("a.txt", "hi");
  ::chmod(file.c_str(), 0644);
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.SetZipName(Archive());
  EXPECT_EQ(Zip(zip, {file}), 1);
  EXPECT_EQ(enginetest::ToHex(ReadBytes(Archive())),
            "50 4b 03 04 14 00 00 00 00 00 05 39 a6 58 ac 2a 93 d8 02 00 00 00 02 00 00 00 05 00 "
            "00 00 61 2e 74 78 74 68 69 50 4b 01 02 14 03 14 00 00 00 00 00 05 39 a6 58 ac 2a 93 "
            "d8 02 00 00 00 02 00 00 00 05 00 00 00 00 00 00 00 00 00 20 00 a4 81 00 00 00 00 61 "
            "2e 74 78 74 50 4b 05 06 00 00 00 00 01 00 01 00 33 00 00 00 25 00 00 00 00 00");
}

TEST_F(ZipWriterTest, NewArchiveEntriesByLevel) {
  const std::string text = enginetest::TextOf(200000);
  const std::string noise = enginetest::NoiseOf(70000);
  Put("src/text.txt", text, kMay2024 + 1);  // an odd second is rounded down
  Put("src/noise.bin", noise);
  Put("src/empty", "");
  Put("src/Отчёт.jpg", text.substr(0, 5000));
  struct Case { int level; uint16_t level_flags; };
  for (const Case c : {Case{0, 0}, Case{1, 4}, Case{6, 0}, Case{9, 2}, Case{12, 2}, Case{-3, 0}}) {
    SCOPED_TRACE(c.level);
    ::unlink(Archive().c_str());
    TZipWriter zip;
    zip.PackLevel = c.level;
    zip.NoCompressList = {"*.JPG"};
    zip.SetZipName(Archive());
    EXPECT_EQ(Zip(zip, {dir / "src/*.*"}), 4);
    EXPECT_EQ(zip.PackLevel, c.level);
    const auto archive = ParseFile(Archive());
    EXPECT_THAT(enginetest::NamesOf(archive), ElementsAre("empty", "noise.bin", "text.txt", "Отчёт.jpg"));
    const bool stores = c.level <= 0;
    for (const auto& e : archive.Entries) {
      EXPECT_EQ(e.VersionMadeBy, 0x0314);
      struct stat st {};
      ::stat((dir / ("src/" + e.Name)).c_str(), &st);
      EXPECT_EQ(e.External >> 16, st.st_mode);
      EXPECT_EQ(e.External & 0xFF, 0x20u);
      EXPECT_EQ(e.Data, ReadBytes(dir / ("src/" + e.Name)));
    }
    const auto* t = archive.Find("text.txt");
    EXPECT_EQ(t->DosTime, 0x58a63905u);
    EXPECT_EQ(t->Method, stores ? 0 : 8);
    EXPECT_EQ(t->Flags, stores ? 0 : c.level_flags);
    EXPECT_EQ(t->Internal, stores ? 0 : 1);  // text
    if (!stores) {
      EXPECT_LT(t->CompressedSize, text.size() / 3);
    }
    const auto* n = archive.Find("noise.bin");
    EXPECT_EQ(n->Internal, 0);
    const auto* e = archive.Find("empty");
    EXPECT_EQ(e->Crc, 0u);
    EXPECT_EQ(e->CompressedSize, 0u);
    EXPECT_EQ(e->Method, 0);
    // Never compressed, and its UTF-8 name is flagged.
    const auto* j = archive.Find("Отчёт.jpg");
    EXPECT_EQ(j->Method, 0);
    EXPECT_EQ(j->Flags & 0x0800, 0x0800);
    EXPECT_EQ(j->Flags & ~0x0800, 0);
    // Nothing but the archive was added to the folder.
    EXPECT_THAT(ListFolder(dir.path()), ElementsAre("out.zip", "src"));
  }
}

TEST_F(ZipWriterTest, AttributesModeAndStoredPaths) {
  const std::string ro = Put("root/sub/ro.sh", "#!/bin/sh\n");
  ::chmod(ro.c_str(), 0555);
  Put("root/.dot", "x");
  ::umask(022);
  TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.AddDirEntriesOnRecurse = true;
  zip.SetRootDir(dir / "root");
  zip.SetZipName(Archive());
  EXPECT_EQ(Zip(zip, {dir / "root/*.*"}), 3);
  const auto archive = ParseFile(Archive());
  EXPECT_THAT(enginetest::NamesOf(archive), ElementsAre(".dot", "sub/", "sub/ro.sh"));
  EXPECT_EQ(archive.Find("sub/ro.sh")->External, (0100555u << 16) | 0x21u);
  EXPECT_EQ(archive.Find(".dot")->External & 0xFF, 0x22u);
  const auto* folder = archive.Find("sub/");
  EXPECT_EQ(folder->External, (040755u << 16) | 0x20u);
  EXPECT_EQ(folder->Method, 0);
  EXPECT_EQ(folder->CompressedSize, 0u);
  struct stat st {};
  ::stat(Archive().c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // Without paths a folder line would have an empty name: it is left out.
  ::unlink(Archive().c_str());
  TZipWriter flat;
  flat.SetZipName(Archive());
  EXPECT_EQ(Zip(flat, {dir / "root/sub/", dir / "root/sub/ro.sh"}), 1);
  EXPECT_THAT(enginetest::NamesOf(ParseFile(Archive())), ElementsAre("ro.sh"));
}

TEST_F(ZipWriterTest, BlankNameDoesNothingButComplete) {
  TZipWriter zip;
  zip.SetZipName("   ");
  int completions = -1;
  zip.OnZipComplete = [&](TZipWriter&, int32_t count) { completions = count; };
  EXPECT_EQ(Zip(zip, {"/x/*.*"}), 0);
  EXPECT_EQ(completions, 0);
  EXPECT_THAT(zip.FilesList(), ElementsAre("/x/*.*"));
}

TEST_F(ZipWriterTest, EventsCountersAndBusyFlag) {
  Put("s/one.txt", std::string(100000, 'a'));
  Put("s/two.txt", "two");
  TZipWriter zip;
  zip.SetZipName(Archive());
  std::vector<std::string> log;
  zip.OnStartZipInfo = [&](TZipWriter& w, int32_t n, int64_t total, TEndCentral&, bool&) {
    EXPECT_TRUE(w.IsBusy());
    log.push_back("info " + std::to_string(n) + " " + std::to_string(total));
  };
  zip.OnStartZip = [&](TZipWriter&, const std::string& name, TZipHeaderInfo& h, bool&) {
    log.push_back("start " + h.Filename() + (name.empty() ? "?" : ""));
  };
  zip.OnEndZip = [&](TZipWriter&, const std::string&, int64_t u, int64_t c, int64_t size) {
    EXPECT_GT(size, c);
    log.push_back("end " + std::to_string(u));
  };
  int last_total = -1;
  std::vector<int> file_percents;
  zip.OnFilePercentDone = [&](TZipWriter&, int p) { file_percents.push_back(p); };
  zip.OnTotalPercentDone = [&](TZipWriter&, int p) { last_total = p; };
  bool busy_at_completion = true;
  zip.OnZipComplete = [&](TZipWriter& w, int32_t n) {
    busy_at_completion = w.IsBusy();
    log.push_back("complete " + std::to_string(n));
  };
  EXPECT_EQ(Zip(zip, {dir / "s/*.txt"}), 2);
  EXPECT_THAT(log, ElementsAre("info 2 100003", "start one.txt", "end 100000", "start two.txt",
                               "end 3", "complete 2"));
  EXPECT_FALSE(busy_at_completion);
  EXPECT_EQ(last_total, 100);
  EXPECT_EQ(zip.BytesDone(), 100003);
  EXPECT_EQ(zip.TotalBytes(), 100003);
  EXPECT_EQ(file_percents.back(), 100);
  EXPECT_TRUE(zip.FilesList().empty());

  // No total-progress handler: BytesDone does not move.
  TZipWriter quiet;
  quiet.SetZipName(dir / "q.zip");
  EXPECT_EQ(Zip(quiet, {dir / "s/*.txt"}), 2);
  EXPECT_EQ(quiet.BytesDone(), 0);
  EXPECT_EQ(quiet.TotalBytes(), 100003);
}

TEST_F(ZipWriterTest, DuplicatesAreWrittenOnceAndLeaveTheTotal) {
  Put("a/x.txt", "12345");
  Put("b/x.txt", "123");
  TZipWriter zip;
  zip.SetZipName(Archive());
  std::vector<std::pair<TSkipReason, std::string>> skipped;
  zip.OnSkippingFile = [&](TZipWriter&, TSkipReason r, const std::string& name, int32_t index,
                           bool&, const std::string&) {
    EXPECT_EQ(index, -1);
    skipped.emplace_back(r, name);
  };
  // Without paths two files of the same name: only the first.
  EXPECT_EQ(Zip(zip, {dir / "a/x.txt", dir / "a/*.txt", dir / "b/x.txt"}), 1);
  EXPECT_EQ(zip.TotalBytes(), 5);
  // The explicit lines come first, the search's finds after them.
  EXPECT_THAT(skipped, ElementsAre(std::make_pair(srDuplicate, dir / "b/x.txt"),
                                   std::make_pair(srDuplicate, dir / "a/x.txt")));
  EXPECT_EQ(ParseFile(Archive()).Find("x.txt")->Data, "12345");
}

TEST_F(ZipWriterTest, CancelDuringTheSecondFileLeavesNoArchive) {
  Put("c/1.txt", "first");
  Put("c/2.txt", enginetest::TextOf(300000));
  TZipWriter zip;
  zip.SetZipName(Archive());
  int starts = 0;
  zip.OnStartZip = [&](TZipWriter& w, const std::string&, TZipHeaderInfo&, bool&) {
    if (++starts == 2) w.RequestCancel();
  };
  try {
    Zip(zip, {dir / "c/*.*"});
    FAIL() << "no cancellation";
  } catch (const EUserCanceled& e) {
    EXPECT_STREQ(e.what(), "Пользователь прервал операцию");
  }
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("c"));
  EXPECT_FALSE(zip.IsBusy());
  EXPECT_TRUE(zip.FilesList().empty());
  EXPECT_FALSE(zip.CancelRequested());

  // StopNow in the announcement.
  zip.OnStartZip = nullptr;
  zip.OnStartZipInfo = [](TZipWriter&, int32_t, int64_t, TEndCentral&, bool& stop) { stop = true; };
  try {
    Zip(zip, {dir / "c/*.*"});
    FAIL();
  } catch (const EUserCanceled& e) {
    EXPECT_STREQ(e.what(), "Пользователь прервал архивирование");
  }
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("c"));
}

// ---------------------------------------------------------------- updates

class UpdateTest : public ZipWriterTest {
protected:
  void SetUp() override {
    ZipWriterTest::SetUp();
    for (int i = 0; i < 10; ++i) Put("u/f" + std::to_string(i) + ".txt", "old " + std::to_string(i));
    TZipWriter maker;
    maker.SetZipName(Archive());
    ASSERT_EQ(Zip(maker, {dir / "u/*.txt"}), 10);
  }
};

TEST_F(UpdateTest, UpdateKeepsEqualTimesWithoutReadingAndReplacesNewer) {
  // Same time, other content: kept, and the file is not read.
  WriteBytes(dir / "u/f3.txt", "new 3 but same time");
  SetMTime(dir / "u/f3.txt", kMay2024);
  Put("u/f5.txt", "new 5", kMay2024 + 60);
  Put("u/f9.txt", "new 9", kMay2024 + 120);
  Put("u/added.txt", "added");
  TZipWriter zip;  // a fresh component: the directory is read at the start
  zip.SetZipName(Archive());
  std::vector<std::string> events;
  zip.OnUpdate = [&](TZipWriter&, TUpdateAction a, int32_t i) {
    if (i == 3 || i == 5 || i == 9) events.push_back((a == udKeep ? "keep " : "replace ") + std::to_string(i));
  };
  int32_t completed = -1;
  zip.OnZipComplete = [&](TZipWriter&, int32_t n) { completed = n; };
  std::vector<std::string> read;
  zip.OnStartZip = [&](TZipWriter&, const std::string& name, TZipHeaderInfo&, bool&) { read.push_back(name); };
  EXPECT_EQ(Zip(zip, {dir / "u/*.txt"}), 3);
  EXPECT_EQ(completed, 3);
  EXPECT_THAT(events, ElementsAre("keep 3", "replace 5", "replace 9"));
  EXPECT_THAT(read, ElementsAre(dir / "u/f5.txt", dir / "u/f9.txt", dir / "u/added.txt"));
  const auto archive = ParseFile(Archive());
  EXPECT_EQ(archive.Entries.size(), 11u);
  EXPECT_EQ(archive.Find("f3.txt")->Data, "old 3");
  EXPECT_EQ(archive.Find("f5.txt")->Data, "new 5");
  EXPECT_EQ(archive.Entries[5].Name, "f5.txt");  // in its old place
  EXPECT_EQ(archive.Entries.back().Name, "added.txt");
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("out.zip", "u"));
}

TEST_F(UpdateTest, ReplaceRewritesUnchangedFiles) {
  WriteBytes(dir / "u/f2.txt", "same time, new bytes");
  SetMTime(dir / "u/f2.txt", kMay2024);
  TZipWriter zip;
  zip.ZipAction = zaReplace;
  zip.SetZipName(Archive());
  std::vector<TUpdateAction> actions;
  zip.OnUpdate = [&](TZipWriter&, TUpdateAction a, int32_t) { actions.push_back(a); };
  EXPECT_EQ(Zip(zip, {dir / "u/f2.txt"}), 1);
  EXPECT_THAT(actions, ElementsAre(udReplace));
  EXPECT_EQ(ParseFile(Archive()).Find("f2.txt")->Data, "same time, new bytes");
}

TEST_F(UpdateTest, FreshenOnAFreshStartTakesOnlyFilesWithEntries) {
  Put("u/f1.txt", "fresh 1", kMay2024 + 10);
  Put("u/new.txt", "not wanted", kMay2024 + 10);
  TZipWriter zip;
  zip.ZipAction = zaFreshen;
  zip.SetZipName(Archive());
  EXPECT_EQ(Zip(zip, {dir / "u/*.txt", dir / "u/new.txt"}), 1);
  const auto archive = ParseFile(Archive());
  EXPECT_EQ(archive.Entries.size(), 10u);
  EXPECT_EQ(archive.Find("f1.txt")->Data, "fresh 1");
  EXPECT_EQ(archive.Find("new.txt"), nullptr);
}

TEST_F(UpdateTest, RefusedFileDropsItsOldEntry) {
  Put("u/f4.txt", "newer", kMay2024 + 10);
  TZipWriter zip;
  zip.SetZipName(Archive());
  zip.OnStartZip = [](TZipWriter&, const std::string&, TZipHeaderInfo& h, bool& skip) {
    skip = h.Filename() == "f4.txt";
  };
  EXPECT_EQ(Zip(zip, {dir / "u/f4.txt"}), 0);
  const auto archive = ParseFile(Archive());
  EXPECT_EQ(archive.Entries.size(), 9u);
  EXPECT_EQ(archive.Find("f4.txt"), nullptr);
  EXPECT_EQ(zip.TotalBytes(), 0);
}

TEST_F(UpdateTest, StoredPathsMatchTheirEntries) {
  // The archive holds the bare names; an update with paths stored meets them
  // only where the stored name is the same. Without paths the bare name is
  // what matches, so an update refreshes the entry instead of skipping it.
  Put("u/f6.txt", "six", kMay2024 + 10);
  TZipWriter zip;
  zip.SetZipName(Archive());
  EXPECT_EQ(Zip(zip, {dir / "u/f6.txt"}), 1);
  auto archive = ParseFile(Archive());
  EXPECT_EQ(archive.Entries.size(), 10u);
  EXPECT_EQ(archive.Find("f6.txt")->Data, "six");

  TZipWriter with_paths;
  with_paths.SetRelativePaths(true);
  with_paths.SetRootDir(dir.path());
  with_paths.SetZipName(Archive());
  EXPECT_EQ(Zip(with_paths, {dir / "u/f6.txt"}), 1);
  archive = ParseFile(Archive());
  EXPECT_EQ(archive.Entries.size(), 11u);
  EXPECT_EQ(archive.Find("u/f6.txt")->Data, "six");
}

TEST_F(UpdateTest, EmptyListRewritesTheArchiveUnchanged) {
  const std::string before = ReadBytes(Archive());
  ::chmod(Archive().c_str(), 0640);
  TZipWriter zip;
  zip.SetZipName(Archive());
  EXPECT_EQ(Zip(zip, {}), 0);
  EXPECT_EQ(ReadBytes(Archive()), before);
  struct stat st {};
  ::stat(Archive().c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(zip.Count(), 10);  // the new directory is held
}

TEST_F(UpdateTest, DiscardingTheOldArchiveReplacesItAtTheEnd) {
  Put("other.txt", "other");
  ::chmod(Archive().c_str(), 0600);
  TZipWriter zip;
  zip.DiscardExistingEntries = true;
  zip.ZipAction = zaReplace;
  zip.SetZipName(Archive());
  zip.TempPath = dir / "u";  // same file system
  bool archive_replaced_at_completion = false;
  zip.OnZipComplete = [&](TZipWriter&, int32_t) {
    archive_replaced_at_completion = enginetest::NamesOf(ParseFile(Archive())).size() == 1;
  };
  EXPECT_EQ(Zip(zip, {dir / "other.txt", dir / "*.zip"}), 1);
  EXPECT_TRUE(archive_replaced_at_completion);
  EXPECT_THAT(enginetest::NamesOf(ParseFile(Archive())), ElementsAre("other.txt"));
  struct stat st {};
  ::stat(Archive().c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ListFolder(dir / "u").size(), 10u);  // no temporary file left
}

TEST_F(UpdateTest, CancelWhileUpdatingLeavesTheOldArchive) {
  const std::string before = ReadBytes(Archive());
  Put("u/big.txt", enginetest::TextOf(400000));
  TZipWriter zip;
  zip.SetZipName(Archive());
  zip.OnStartZip = [](TZipWriter& w, const std::string&, TZipHeaderInfo&, bool&) { w.RequestCancel(); };
  EXPECT_THROW(Zip(zip, {dir / "u/big.txt"}), EUserCanceled);
  EXPECT_EQ(ReadBytes(Archive()), before);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("out.zip", "u"));
  EXPECT_EQ(zip.Count(), 10);  // the old directory is still the one held
}

TEST_F(UpdateTest, CancelAfterTheLastFileStillKeepsTheOldArchive) {
  // The stop comes once every file is written: no write of file data is left
  // to notice it, only the directory and the installation of the archive.
  const std::string before = ReadBytes(Archive());
  Put("u/new.txt", "new");
  TZipWriter zip;
  zip.SetZipName(Archive());
  bool completed = false;
  zip.OnEndZip = [](TZipWriter& w, const std::string&, int64_t, int64_t, int64_t) { w.RequestCancel(); };
  zip.OnZipComplete = [&](TZipWriter&, int32_t) { completed = true; };
  EXPECT_THROW(Zip(zip, {dir / "u/new.txt"}), EUserCanceled);
  EXPECT_FALSE(completed);
  EXPECT_EQ(ReadBytes(Archive()), before);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("out.zip", "u"));
  EXPECT_FALSE(zip.CancelRequested());
}

TEST_F(UpdateTest, HeldDirectoryIsReusedAndRereadWhenTheFileChanges) {
  TZipWriter zip;
  zip.SetZipName(Archive());
  Put("u/g.txt", "g");
  EXPECT_EQ(Zip(zip, {dir / "u/g.txt"}), 1);
  EXPECT_EQ(zip.Count(), 11);
  // Another program rewrites the archive: the stamp differs, it is read again.
  {
    TZipWriter other;
    other.SetZipName(Archive());
    Put("u/h.txt", "h");
    Zip(other, {dir / "u/h.txt"});
  }
  Put("u/i.txt", "i");
  EXPECT_EQ(Zip(zip, {dir / "u/i.txt"}), 1);
  EXPECT_EQ(ParseFile(Archive()).Entries.size(), 13u);
}

TEST_F(ZipWriterTest, TempPathInAnotherFileSystemIsCopiedBesideTheArchive) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system";
  const std::string temp = "/dev/shm/engine_temp_" + std::to_string(::getpid());
  ::mkdir(temp.c_str(), 0700);
  Put("a.txt", "a");
  {
    TZipWriter maker;
    maker.SetZipName(Archive());
    Zip(maker, {dir / "a.txt"});
  }
  Put("b.txt", "b");
  TZipWriter zip;
  zip.TempPath = temp;
  zip.SetZipName(Archive());
  EXPECT_EQ(Zip(zip, {dir / "b.txt"}), 1);
  EXPECT_THAT(enginetest::NamesOf(ParseFile(Archive())), ElementsAre("a.txt", "b.txt"));
  EXPECT_TRUE(ListFolder(temp).empty());
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.txt", "b.txt", "out.zip"));
  ::rmdir(temp.c_str());
}

TEST_F(ZipWriterTest, AFailedCopyFromAnotherFileSystemLeavesNoUnannouncedFile) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system";
  const std::string temp = "/dev/shm/engine_temp_" + std::to_string(::getpid());
  ::mkdir(temp.c_str(), 0700);
  Put("a.txt", "a");
  for (bool told : {false, true}) {
    SCOPED_TRACE(told);
    ::rmdir(Archive().c_str());
    {
      TZipWriter maker;
      maker.SetZipName(Archive());
      Zip(maker, {dir / "a.txt"});
    }
    // A newer file, so that the update writes.
    SetMTime(dir / "a.txt", enginetest::kFixedTime + (told ? 20 : 10));
    TZipWriter zip;
    zip.TempPath = temp;
    zip.SetZipName(Archive());
    // A folder takes the archive's place while the run goes on: the copy
    // made beside it cannot be renamed to its name.
    zip.OnUpdate = [&](TZipWriter&, TUpdateAction, int32_t) {
      ::unlink(Archive().c_str());
      ::mkdir(Archive().c_str(), 0700);
    };
    std::vector<std::string> messages;
    if (told) zip.ShowMessage = [&](const std::string&, const std::string& text) { messages.push_back(text); };
    EXPECT_ANY_THROW(Zip(zip, {dir / "a.txt"}));
    EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.txt", "out.zip"));
    const std::vector<std::string> left = ListFolder(temp);
    if (!told) {
      EXPECT_TRUE(left.empty());  // nobody was told of it
      EXPECT_TRUE(messages.empty());
    } else {
      // The finished archive stays for the user, and the message names it.
      ASSERT_EQ(left.size(), 1u);
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_THAT(messages[0], HasSubstr(temp + "/" + left[0]));
      ::unlink((temp + "/" + left[0]).c_str());
    }
  }
  ::rmdir(Archive().c_str());
  ::rmdir(temp.c_str());
}

}  // namespace
}  // namespace tessel
