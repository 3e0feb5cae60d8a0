// The run controller with the real engine on scratch folders, watched through
// a display that records every call; archives are checked with unzip.
#include "app/run_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/archive_guard.h"
#include "app/mask.h"
#include "platform/errors.h"
#include "support/error_text.h"
#include "support/files.h"
#include "support/leased_file.h"
#include "support/processes.h"
#include "support/scratch.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using test::ReadBytes;
using test::WriteBytes;

// Every display call as one text, in order; a hook may act on each.
class RecordingDisplay : public RunDisplay {
public:
  std::vector<std::string> Calls;
  std::function<void(const std::string& call)> Hook;

  void ShowCurrentFile(const std::string& text) override { Record("file:" + text); }
  void ShowArchiveName(const std::string& text) override { Record("archive:" + text); }
  void SetFileProgress(int percent) override { Record("filepct:" + std::to_string(percent)); }
  void SetTotalProgress(int percent) override { Record("totalpct:" + std::to_string(percent)); }
  void ShowTotalStage(const std::string& text) override { Record("stage:" + text); }
  void ShowElapsed(const std::string& text) override { Record("elapsed:" + text); }
  void ShowRemaining(const std::string& text) override { Record("remaining:" + text); }
  void ShowDoneMessage() override { Record("done"); }
  void RequestClose() override { Record("close"); }

  std::vector<std::string> WithPrefix(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& call : Calls) {
      if (call.starts_with(prefix)) out.push_back(call.substr(prefix.size()));
    }
    return out;
  }

private:
  void Record(const std::string& call) {
    Calls.push_back(call);
    if (Hook) Hook(call);
  }
};

const std::vector<std::string> kCompletionClearing = {
    "stage:", "elapsed:", "remaining:", "totalpct:0", "filepct:0", "file:", "archive:"};

std::string Repeated(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

// What unzip writes for its arguments; the test fails when it fails.
std::string Unzip(const std::string& arguments) {
  const test::ShellResult result = test::ShellOutput("unzip " + arguments);
  EXPECT_EQ(result.Status, 0) << "unzip " << arguments << "\n" << result.Output;
  return result.Output;
}

class RunControllerTest : public ::testing::Test {
protected:
  void SetUp() override {
    data_ = root_ / "data";
    out_ = root_ / "out";
    fs::create_directories(data_);
    options_.ConfigPath = (root_ / "Config.ini").string();
    job_.FileNameMask = (out_ / "backup.zip").string();
    job_.IncludeMasks.Append((data_ / "*.*").string());
  }

  // The stored names of the archive, each without the stored form of the
  // data folder in front.
  std::set<std::string> Entries(const fs::path& archive) const {
    const std::string prefix = data_.string().substr(1) + "/";
    std::set<std::string> names;
    std::istringstream lines(Unzip("-Z1 '" + archive.string() + "'"));
    for (std::string line; std::getline(lines, line);) {
      names.insert(line.starts_with(prefix) ? line.substr(prefix.size()) : line);
    }
    return names;
  }

  std::string EntryData(const fs::path& archive, const std::string& relative) const {
    return Unzip("-p '" + archive.string() + "' '" + data_.string().substr(1) + "/" + relative + "'");
  }

  std::vector<std::string> OutFolder() const {
    std::vector<std::string> names;
    if (!fs::exists(out_)) return names;
    for (const auto& e : fs::directory_iterator(out_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::Scratch scratch_;
  fs::path root_ = scratch_.path();
  fs::path data_, out_;
  JobSettings job_;
  StartupOptions options_;
  RecordingDisplay display_;
};

TEST(FormatDurationTest, HoursMinutesSecondsWithoutLeadingZeros) {
  const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {
      {0, "0 ч. 0 м. 0 с."},          {59, "0 ч. 0 м. 59 с."},
      {60, "0 ч. 1 м. 0 с."},         {3725, "1 ч. 2 м. 5 с."},
      {86399, "23 ч. 59 м. 59 с."},   {90061, "25 ч. 1 м. 1 с."},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.text) << c.seconds;
}

TEST_F(RunControllerTest, ExcludeMasksOfEveryShape) {
  for (const char* name : {"a.txt", "b.Log", "отчет.doc", "ОТЧЕТ.doc", "c.o", "keep.md", "d.bak1"}) {
    WriteBytes(data_ / name, name);
  }
  for (const std::string& mask : {std::string("*.LOG"), std::string("*отчет.doc"), (data_ / "c.o").string(),
                                  std::string("*.bak[0-9]"), std::string("*.nothing")}) {
    job_.ExcludeMasks.Append(mask);
  }
  RunController controller(job_, display_, options_);
  controller.StartRun();
  EXPECT_EQ(Entries(out_ / "backup.zip"), (std::set<std::string>{"a.txt", "ОТЧЕТ.doc", "keep.md"}));
}

TEST_F(RunControllerTest, EngineSetUpAndJobSettings) {
  RunController controller(job_, display_, options_);
  TZipWriter& engine = controller.Engine();
  EXPECT_FALSE(engine.AddDirEntriesOnRecurse);
  EXPECT_TRUE(engine.ReplaceReadOnly);
  EXPECT_TRUE(engine.RelativePaths());
  EXPECT_TRUE(engine.StorePaths());
  EXPECT_TRUE(engine.Recurse);

  job_.Level = 9;
  job_.Threads = 3;
  job_.IncludeSubDirs = false;
  job_.StorePaths = false;
  controller.ApplyEngineSettings();
  EXPECT_EQ(engine.PackLevel, 9);
  EXPECT_EQ(engine.Threads, 3);
  EXPECT_FALSE(engine.Recurse);
  EXPECT_FALSE(engine.StorePaths());
  EXPECT_FALSE(engine.RelativePaths());
}

TEST_F(RunControllerTest, RunShowsFilesProgressAndClearsAtTheEnd) {
  WriteBytes(data_ / "a.txt", Repeated("alpha beta gamma\n", 4000));
  WriteBytes(data_ / "skip.tmp", "left out");
  WriteBytes(data_ / "sub" / "c.txt", "sub file\n");
  WriteBytes(data_ / "sub" / "deep.TMP", "left out too");
  job_.ExcludeMasks.Append("*.tmp");
  job_.Verify = false;  // the check's own display is below
  RunController controller(job_, display_, options_);
  const DateTime before = Now();
  controller.StartRun();
  const DateTime after = Now();

  const std::string archive = (out_ / "backup.zip").string();
  ASSERT_FALSE(display_.Calls.empty());
  EXPECT_EQ(display_.Calls.front(), "archive:" + archive);
  EXPECT_THAT(display_.WithPrefix("file:"),
              ElementsAre((data_ / "a.txt").string(), (data_ / "sub" / "c.txt").string(), ""));
  // Each total progress report is followed by the remaining and elapsed time.
  for (size_t i = 0; i + 6 < display_.Calls.size(); ++i) {
    if (!display_.Calls[i].starts_with("totalpct:")) continue;
    EXPECT_THAT(display_.Calls[i + 1], StartsWith("remaining:"));
    EXPECT_THAT(display_.Calls[i + 2], StartsWith("elapsed:"));
    EXPECT_THAT(display_.Calls[i + 2], HasSubstr(" ч. "));
  }
  std::vector<std::string> expected = kCompletionClearing;
  expected.push_back("done");
  std::vector<std::string> tail(display_.Calls.end() - static_cast<long>(expected.size()), display_.Calls.end());
  EXPECT_EQ(tail, expected);

  EXPECT_EQ(Entries(archive), (std::set<std::string>{"a.txt", "sub/c.txt"}));
  EXPECT_EQ(EntryData(archive, "a.txt"), Repeated("alpha beta gamma\n", 4000));
  Unzip("-tq '" + archive + "'");
  EXPECT_THAT(controller.ExclusionList(), ElementsAre("*.tmp"));
  EXPECT_GE(controller.RunStartTime(), before);
  EXPECT_LE(controller.RunStartTime(), after);
  EXPECT_TRUE(controller.SkippedFiles().empty());
  EXPECT_TRUE(fs::exists(options_.ConfigPath));
}

// The exclude masks and the earlier-archive guard are asked while the list is
// built: what they leave out is never opened (the engine's source wrapper
// never sees it) and its size never counts; every written file is shown, in
// the order of the archive, whatever the number of threads.
TEST_F(RunControllerTest, ExcludedFilesAreNeverOpenedAndWrittenOnesAreShownInOrder) {
  job_.FileNameMask = (data_ / "backup" / "%yyyy%%my%%dd%-%qwartr%.zip").string();
  WriteBytes(data_ / "a.txt", Repeated("a", 100));
  WriteBytes(data_ / "b.tmp", Repeated("b", 5000));
  WriteBytes(data_ / "backup" / "20200101-I.zip", "an earlier archive");
  WriteBytes(data_ / "sub" / "c.txt", Repeated("c", 30));
  WriteBytes(data_ / "sub" / "d.TMP", Repeated("d", 7000));
  WriteBytes(data_ / "z.txt", Repeated("z", 7));
  job_.ExcludeMasks.Append("*.tmp");
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    fs::remove_all(data_ / "backup");
    WriteBytes(data_ / "backup" / "20200101-I.zip", "an earlier archive");
    job_.Threads = threads;
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    std::mutex mutex;
    std::set<std::string> opened;
    controller.Engine().SourceStreamWrapper = [&](std::unique_ptr<TStream> inner) {
      std::lock_guard lock(mutex);
      opened.insert(fs::path(inner->Name()).filename().string());
      return inner;
    };
    int64_t total = -1;
    controller.Engine().OnStartZipInfo = [&](TZipWriter&, int32_t, int64_t bytes, TEndCentral&, bool&) {
      total = bytes;
    };
    controller.StartRun();
    EXPECT_EQ(opened, (std::set<std::string>{"a.txt", "c.txt", "z.txt"}));
    EXPECT_EQ(total, 137);
    std::vector<std::string> shown = display.WithPrefix("file:");
    std::erase(shown, "");  // the clearing at the check and at the end
    EXPECT_THAT(shown, ElementsAre((data_ / "a.txt").string(), (data_ / "sub" / "c.txt").string(),
                                   (data_ / "z.txt").string()));
    EXPECT_TRUE(controller.SkippedFiles().empty());
  }
}

TEST_F(RunControllerTest, OnlyFilesTheJobWantedAreReportedAsLeftOut) {
  WriteBytes(data_ / "a.txt", "kept");
  WriteBytes(data_ / "gone.txt", "vanishes");
  WriteBytes(data_ / "gone.tmp", "vanishes, but is excluded anyway");
  job_.ExcludeMasks.Append("*.tmp");
  RunController controller(job_, display_, options_);
  // Both go after the list is built: the engine finds them missing when it
  // opens them, before it asks whether they are wanted.
  controller.Engine().OnStartZipInfo = [&](TZipWriter&, int32_t, int64_t, TEndCentral&, bool&) {
    fs::remove(data_ / "gone.txt");
    fs::remove(data_ / "gone.tmp");
  };
  controller.StartRun();
  ASSERT_EQ(controller.SkippedFiles().size(), 1u);
  EXPECT_EQ(controller.SkippedFiles()[0].Path, (data_ / "gone.txt").string());
  EXPECT_EQ(controller.SkippedFiles()[0].Reason, "No such file or directory");
  EXPECT_EQ(Entries(out_ / "backup.zip"), (std::set<std::string>{"a.txt"}));
}

TEST_F(RunControllerTest, MissingSourcesAreReportedAndTheRestIsBackedUp) {
  WriteBytes(data_ / "a.txt", "kept");
  job_.IncludeMasks.Append((data_ / "unmounted" / "*.*").string());   // a folder gone missing
  job_.IncludeMasks.Append(">" + (data_ / "renamed" / "*.doc").string());
  job_.IncludeMasks.Append((data_ / "missing.txt").string());         // a file gone missing
  job_.IncludeMasks.Append("|" + (data_ / "report.doc").string());    // the same, searched here only
  job_.IncludeMasks.Append(">" + (data_ / "old.doc").string());       // and with sub-folders
  job_.IncludeMasks.Append("");                                        // an empty row says nothing
  RunController controller(job_, display_, options_);
  controller.StartRun();
  std::vector<std::string> reported;
  for (const SkippedFile& file : controller.SkippedFiles()) {
    EXPECT_EQ(file.Reason, "No such file or directory");
    reported.push_back(file.Path);
  }
  EXPECT_EQ(reported, (std::vector<std::string>{(data_ / "unmounted").string() + "/",
                                                (data_ / "renamed").string() + "/",
                                                (data_ / "missing.txt").string(),
                                                (data_ / "report.doc").string(),
                                                (data_ / "old.doc").string()}));
  EXPECT_EQ(Entries(out_ / "backup.zip"), (std::set<std::string>{"a.txt"}));
}

TEST_F(RunControllerTest, RemainingTimeUndeterminedBelowOnePercentAndZeroAtTheEnd) {
  // Stored in 32768-byte blocks, the first block of 4 MiB is 0.78 % done.
  WriteBytes(data_ / "big.bin", std::string(4 << 20, 'x'));
  job_.Level = 0;
  RunController controller(job_, display_, options_);
  controller.StartRun();
  const std::vector<std::string> remaining = display_.WithPrefix("remaining:");
  ASSERT_GE(remaining.size(), 3u);
  EXPECT_EQ(remaining.front(), "Неопределено");
  EXPECT_EQ(remaining[remaining.size() - 2], "0 ч. 0 м. 0 с.");  // at 100 %
  EXPECT_EQ(remaining.back(), "");                              // the clearing
  EXPECT_EQ(display_.WithPrefix("totalpct:").rbegin()[1], "100");
}

// The times come from the controller's monotonic clock, never from the
// system's date and time: here a run of a fraction of a second reads as
// 3725 seconds, because the injected clock says so.
TEST_F(RunControllerTest, ElapsedAndRemainingTimeComeFromTheMonotonicClock) {
  WriteBytes(data_ / "big.bin", std::string(4 << 20, 'x'));
  job_.Level = 0;
  RunController controller(job_, display_, options_);
  const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1000);
  int reads = 0;
  controller.SetClock([&] { return reads++ == 0 ? start : start + std::chrono::seconds(3725); });
  controller.StartRun();
  std::vector<std::string> elapsed = display_.WithPrefix("elapsed:");
  ASSERT_GE(elapsed.size(), 3u);
  EXPECT_EQ(elapsed.back(), "");  // the clearing
  elapsed.pop_back();
  for (const std::string& text : elapsed) EXPECT_EQ(text, "1 ч. 2 м. 5 с.");
  // At 50 % done, as much again remains.
  const std::vector<std::string> totals = display_.WithPrefix("totalpct:");
  const std::vector<std::string> remaining = display_.WithPrefix("remaining:");
  const auto half = std::find(totals.begin(), totals.end(), "50");
  ASSERT_NE(half, totals.end());
  EXPECT_EQ(remaining[static_cast<size_t>(half - totals.begin())], "1 ч. 2 м. 5 с.");
}

TEST_F(RunControllerTest, RemainingTimeUndeterminedWithoutBytesToRead) {
  RunController controller(job_, display_, options_);
  TZipWriter& engine = controller.Engine();
  ASSERT_EQ(engine.TotalBytes(), 0);
  engine.OnTotalPercentDone(engine, 0);
  EXPECT_THAT(display_.Calls, ElementsAre("totalpct:0", "remaining:Неопределено", StartsWith("elapsed:")));
}

TEST_F(RunControllerTest, CompletionByStartupOptions) {
  WriteBytes(data_ / "a.txt", "a");
  const struct {
    bool batch, message;
    std::vector<std::string> after_clearing;
  } cases[] = {
      {false, false, {"done"}},
      {false, true, {"done"}},
      {true, false, {"close"}},
      {true, true, {"done", "close"}},
  };
  for (const auto& c : cases) {
    RecordingDisplay display;
    StartupOptions options = options_;
    options.Batch = c.batch;
    options.ShowCompletionMessage = c.message;
    RunController controller(job_, display, options);
    // The close request may be handled at once: closing must be allowed then.
    bool may_close = false;
    display.Hook = [&](const std::string& call) {
      if (call == "close" || call == "done") may_close = !controller.IsBusy() && controller.QueryClose();
    };
    controller.StartRun();
    EXPECT_TRUE(may_close);
    std::vector<std::string> expected = kCompletionClearing;
    expected.insert(expected.end(), c.after_clearing.begin(), c.after_clearing.end());
    const std::vector<std::string> tail(display.Calls.end() - static_cast<long>(expected.size()),
                                        display.Calls.end());
    EXPECT_EQ(tail, expected) << "batch " << c.batch << " message " << c.message;
  }
}

// A job without an include line that says something is saved, as every run
// saves it, and then fails before anything else happens.
TEST_F(RunControllerTest, AJobWithoutIncludeMasksIsSavedAndWritesNoArchive) {
  WriteBytes(data_ / "a.txt", "a");
  for (const std::vector<std::string>& masks : {std::vector<std::string>{}, {"", "   "}}) {
    fs::remove(options_.ConfigPath);
    job_.IncludeMasks.Items = masks;
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    EXPECT_EQ(test::ErrorText<Error>([&] { controller.StartRun(); }), "В задании нет ни одной маски включения");
    EXPECT_TRUE(fs::exists(options_.ConfigPath));
    EXPECT_TRUE(display.Calls.empty());
    EXPECT_FALSE(fs::exists(out_));
    EXPECT_FALSE(controller.IsBusy());
  }
}

// What a completed run counts as selected: files packed, entries kept because
// their file has not changed, and files that could not be read; not what the
// exclude masks leave out. A run that selects nothing still completes.
TEST_F(RunControllerTest, FilesSelectedCountsWhatTheIncludeLinesTook) {
  WriteBytes(data_ / "a.txt", "a");
  WriteBytes(data_ / "b.txt", "b");
  fs::create_directories(data_ / "empty");
  const fs::path archive = out_ / "backup.zip";
  const struct {
    const char* what;
    std::string include;
    const char* exclude;
    int32_t replace_mode;
    bool archive_before;
    int32_t selected;
  } cases[] = {
      {"two files", (data_ / "*.*").string(), "", 2, false, 2},
      {"a folder without files", (data_ / "empty" / "*.*").string(), "", 2, false, 0},
      {"all excluded", (data_ / "*.*").string(), "*", 2, false, 0},
      {"update, nothing changed", (data_ / "*.*").string(), "", 1, true, 2},
      {"freshen, only a.txt in the archive", (data_ / "*.*").string(), "", 3, true, 1},
      {"freshen, no file in the archive", (data_ / "empty" / "*.*").string(), "", 3, true, 0},
  };
  for (const auto& c : cases) {
    fs::remove_all(out_);
    if (c.archive_before) {
      job_.IncludeMasks.Items = {(data_ / "a.txt").string()};
      job_.ExcludeMasks.Clear();
      job_.ReplaceMode = 2;
      RecordingDisplay display;
      RunController first(job_, display, options_);
      first.StartRun();
    }
    job_.IncludeMasks.Items = {c.include};
    job_.ExcludeMasks.Clear();
    if (*c.exclude != '\0') job_.ExcludeMasks.Append(c.exclude);
    job_.ReplaceMode = c.replace_mode;
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    controller.StartRun();
    EXPECT_EQ(controller.FilesSelected(), c.selected) << c.what;
    EXPECT_TRUE(fs::exists(archive)) << c.what;
    ASSERT_FALSE(display.Calls.empty());
    EXPECT_EQ(display.Calls.back(), "done") << c.what;
  }

  // A file that cannot be opened was selected, though not packed.
  fs::remove_all(out_);
  job_.IncludeMasks.Items = {(data_ / "*.*").string()};
  job_.ExcludeMasks.Clear();
  job_.ReplaceMode = 2;
  test::LeasedFile lease((data_ / "a.txt").string());
  ASSERT_TRUE(lease.Held());
  RunController controller(job_, display_, options_);
  controller.StartRun();
  EXPECT_EQ(controller.FilesSelected(), 2);
  EXPECT_EQ(controller.FilesWritten(), 1);
}

TEST_F(RunControllerTest, InvalidExcludeMaskEndsTheRunAndWritesNoArchive) {
  WriteBytes(data_ / "a.txt", "a");
  WriteBytes(data_ / "b.txt", "b");
  // A mask that fits comes first: the invalid one is still reached.
  for (const char* first : {"", "*"}) {
    RecordingDisplay display;
    job_.ExcludeMasks.Clear();
    if (*first != '\0') job_.ExcludeMasks.Append(first);
    job_.ExcludeMasks.Append("[");
    RunController controller(job_, display, options_);
    try {
      controller.StartRun();
      ADD_FAILURE() << "the run did not fail";
    } catch (const EMaskException& e) {
      EXPECT_THAT(e.what(), StartsWith("'[' is an invalid mask at ("));
    }
    EXPECT_TRUE(display.WithPrefix("file:").empty());
    EXPECT_TRUE(display.WithPrefix("done").empty());
    EXPECT_TRUE(OutFolder().empty()) << OutFolder().front();
    EXPECT_FALSE(controller.IsBusy());
  }
}

// A job whose file holds a value longer than the job may hold, or whose file
// is no job file at all, is never run: nothing is written, not even the job.
TEST_F(RunControllerTest, JobThatDoesNotStandForItsFileIsNeverRun) {
  WriteBytes(data_ / "a.txt", "a");
  const std::string cut_mask = "[Config]\nZipName=" + (out_ / "backup.zip").string() + "\n[Files]\n1=" +
                               (data_ / "*.*").string() + "\n[FilesNotInclude]\n1=" + std::string(10000, '*') +
                               "x\n";
  const std::string photo = std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11) + "[Files]\n1=/\n";
  const struct {
    std::string image;
    const char* message;
  } cases[] = {
      {cut_mask, "[FilesNotInclude] 1: длиннее 500 символов"},
      {photo, "не является файлом задания"},
  };
  for (const auto& c : cases) {
    RecordingDisplay display;
    WriteBytes(options_.ConfigPath, c.image);
    LoadSettings(job_, options_.ConfigPath);
    RunController controller(job_, display, options_);
    try {
      controller.StartRun();
      ADD_FAILURE() << "the run did not fail";
    } catch (const Error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
    EXPECT_TRUE(display.Calls.empty());
    EXPECT_TRUE(OutFolder().empty());
    EXPECT_EQ(ReadBytes(options_.ConfigPath), c.image);
  }
  // Closing does not save over a file that is no job file; the user was told.
  RunController controller(job_, display_, options_);
  job_.IncludeMasks.Append("/changed/*.*");
  EXPECT_TRUE(controller.QueryClose());
  EXPECT_EQ(ReadBytes(options_.ConfigPath), photo);
}

TEST_F(RunControllerTest, TemplateWithoutFolderFailsBeforeTheEngineRuns) {
  WriteBytes(data_ / "a.txt", "a");
  job_.FileNameMask = "backup-%yyyy%.zip";
  RunController controller(job_, display_, options_);
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  try {
    controller.StartRun();
    ADD_FAILURE() << "the run did not fail";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
  fs::current_path(cwd);
  EXPECT_EQ(display_.WithPrefix("file:").size(), 0u);
  EXPECT_EQ(display_.WithPrefix("archive:").size(), 1u);
  EXPECT_TRUE(controller.Engine().FilesList().empty());
  for (const auto& e : fs::directory_iterator(root_)) EXPECT_NE(e.path().extension(), ".zip");
}

TEST_F(RunControllerTest, CreatesTheArchiveFolderWithItsParents) {
  WriteBytes(data_ / "a.txt", "a");
  job_.FileNameMask = (out_ / "%yyyy%" / "deeper" / "b.zip").string();
  RunController controller(job_, display_, options_);
  controller.StartRun();
  bool found = false;
  for (const auto& e : fs::recursive_directory_iterator(out_)) found |= e.path().filename() == "b.zip";
  EXPECT_TRUE(found);
}

TEST_F(RunControllerTest, ReplaceModesOnAnExistingArchive) {
  const struct {
    int32_t mode;
    std::set<std::string> entries;
  } cases[] = {
      {0, {"a.txt", "c.txt"}},           // only this run's files
      {1, {"a.txt", "b.txt", "c.txt"}},  // update: untouched b kept, c added
      {2, {"a.txt", "b.txt", "c.txt"}},  // replace: untouched b kept
      {3, {"a.txt", "b.txt"}},           // freshen: nothing new added
      {7, {"a.txt", "b.txt", "c.txt"}},  // out of range: as 2
  };
  const fs::path archive = out_ / "backup.zip";
  for (const auto& c : cases) {
    fs::remove_all(data_);
    fs::remove_all(out_);
    WriteBytes(data_ / "a.txt", "old a");
    WriteBytes(data_ / "b.txt", "old b");
    job_.ReplaceMode = 2;
    {
      RecordingDisplay display;
      RunController first(job_, display, options_);
      first.StartRun();
    }
    ASSERT_EQ(Entries(archive), (std::set<std::string>{"a.txt", "b.txt"}));
    fs::remove(data_ / "b.txt");
    WriteBytes(data_ / "a.txt", "new a, longer than before");
    // The new content must count as newer for update and freshen.
    fs::last_write_time(data_ / "a.txt", fs::last_write_time(data_ / "a.txt") + std::chrono::hours(1));
    WriteBytes(data_ / "c.txt", "new c");

    job_.ReplaceMode = c.mode;
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    controller.StartRun();
    EXPECT_EQ(Entries(archive), c.entries) << "mode " << c.mode;
    EXPECT_EQ(EntryData(archive, "a.txt"), "new a, longer than before") << "mode " << c.mode;
    if (c.entries.count("b.txt") != 0) {
      EXPECT_EQ(EntryData(archive, "b.txt"), "old b");
    }
    EXPECT_EQ(OutFolder(), std::vector<std::string>{"backup.zip"}) << "mode " << c.mode;
    EXPECT_EQ(job_.ReplaceMode, c.mode == 7 ? 2 : c.mode);
    Unzip("-tq '" + archive.string() + "'");
  }
}

TEST_F(RunControllerTest, ReplaceModeZeroKeepsTheOldArchiveWhenTheRunFails) {
  WriteBytes(data_ / "a.txt", Repeated("first run\n", 1000));
  {
    RunController first(job_, display_, options_);
    first.StartRun();
  }
  const fs::path archive = out_ / "backup.zip";
  const std::string before = ReadBytes(archive);
  ASSERT_FALSE(before.empty());

  WriteBytes(data_ / "b.txt", Repeated("second run\n", 100000));
  job_.ReplaceMode = 0;
  RecordingDisplay display;
  RunController controller(job_, display, options_);
  // Stopped in the middle of the second run's writing.
  display.Hook = [&](const std::string& call) {
    if (call == "file:" + (data_ / "b.txt").string()) controller.StopRun();
  };
  try {
    controller.StartRun();
    ADD_FAILURE() << "the run was not stopped";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Пользователь прервал операцию");
  }
  EXPECT_EQ(ReadBytes(archive), before);
  EXPECT_EQ(OutFolder(), std::vector<std::string>{"backup.zip"});
}

TEST_F(RunControllerTest, ReplaceModeZeroWithAMissingSourceKeepsTheArchive) {
  WriteBytes(data_ / "a.txt", "a");
  WriteBytes(root_ / "disk" / "b.txt", "b");
  WriteBytes(root_ / "disk" / "c.txt", "c");
  const fs::path archive = out_ / "backup.zip";
  const struct {
    std::string line;     // an include line whose source goes missing
    fs::path missing;     // what the run names
  } cases[] = {
      {(root_ / "disk" / "*.*").string(), root_ / "disk/"},             // an unmounted disk
      {(root_ / "disk" / "b.txt").string(), root_ / "disk" / "b.txt"},  // a named file
      {"|" + (root_ / "disk" / "c.txt").string(), root_ / "disk" / "c.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    fs::remove_all(out_);
    WriteBytes(root_ / "disk" / "b.txt", "b");
    WriteBytes(root_ / "disk" / "c.txt", "c");
    job_.IncludeMasks.Items = {(data_ / "*.*").string(), c.line};
    job_.ReplaceMode = 2;
    {
      RecordingDisplay display;
      RunController first(job_, display, options_);
      first.StartRun();
    }
    const std::string before = ReadBytes(archive);
    fs::remove_all(root_ / "disk");
    job_.ReplaceMode = 0;
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    try {
      controller.StartRun();
      ADD_FAILURE() << "a run with a missing source replaced the archive";
    } catch (const Error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.missing.string()));
    }
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_EQ(OutFolder(), std::vector<std::string>{"backup.zip"});
    EXPECT_FALSE(controller.IsBusy());
  }
  // Without an archive to keep, the run backs up what it finds and names
  // the rest.
  fs::remove_all(out_);
  RunController controller(job_, display_, options_);
  controller.StartRun();
  EXPECT_EQ(Entries(archive), (std::set<std::string>{"a.txt"}));
  ASSERT_EQ(controller.SkippedFiles().size(), 1u);
  EXPECT_EQ(controller.SkippedFiles()[0].Path, (root_ / "disk" / "c.txt").string());
}

TEST_F(RunControllerTest, ARunWaitsForABusyArchiveAndSaysSo) {
  WriteBytes(data_ / "a.txt", "a");
  const std::string waiting = "file:Ожидание: этот архив записывает другой запуск";
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop);
    // Another run holds the archive's lock.
    fs::create_directories(out_);
    const int held = ::open((out_ / "backup.zip.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    // The stop button ends the wait; else the other run ends and this one
    // follows.
    display.Hook = [&](const std::string& call) {
      if (call != waiting) return;
      if (stop) controller.StopRun();
      else ::close(held);
    };
    if (stop) {
      EXPECT_THROW(controller.StartRun(), EUserCanceled);
      EXPECT_EQ(OutFolder(), std::vector<std::string>{"backup.zip.lock"});
      ::close(held);
    } else {
      controller.StartRun();
      EXPECT_EQ(Entries(out_ / "backup.zip"), std::set<std::string>{"a.txt"});
      EXPECT_EQ(OutFolder(), std::vector<std::string>{"backup.zip"});
    }
    EXPECT_EQ(std::count(display.Calls.begin(), display.Calls.end(), waiting), 1);
  }
}

TEST_F(RunControllerTest, TheArchiveIsReadBackUnderItsOwnCaptionAndDamageIsReported) {
  WriteBytes(data_ / "a.txt", Repeated("alpha beta gamma\n", 40000));
  WriteBytes(data_ / "b.txt", Repeated("delta epsilon\n", 40000));
  job_.ReplaceMode = 1;
  {
    RunController first(job_, display_, options_);
    first.StartRun();
  }
  // One byte of b.txt's data changed on disk, and b.txt gone since.
  const fs::path archive = out_ / "backup.zip";
  std::string bytes = ReadBytes(archive);
  const std::string stored_b = data_.string().substr(1) + "/b.txt";
  const size_t b_name = bytes.find(stored_b);
  ASSERT_NE(b_name, std::string::npos);
  bytes[b_name + stored_b.size() + 40] ^= 0x04;
  WriteBytes(archive, bytes);
  fs::remove(data_ / "b.txt");
  // A new file: an update that changed nothing would leave the archive as
  // it is, unread.
  WriteBytes(data_ / "c.txt", "new");

  display_.Calls.clear();
  RunController controller(job_, display_, options_);
  controller.StartRun();
  const auto stage = std::find(display_.Calls.begin(), display_.Calls.end(), "stage:Проверка архива");
  ASSERT_NE(stage, display_.Calls.end());
  // The reading of files is over: its line and bar are empty, and the total
  // bar runs again from 0 to 100 for the check.
  EXPECT_EQ(*(stage - 2), "file:");
  EXPECT_EQ(*(stage - 1), "filepct:0");
  EXPECT_EQ(*(stage + 1), "totalpct:0");
  const auto end = std::find(stage, display_.Calls.end(), "stage:");
  ASSERT_NE(end, display_.Calls.end());
  EXPECT_EQ(*(end - 1), "totalpct:100");
  ASSERT_EQ(controller.SkippedFiles().size(), 1u);
  EXPECT_EQ(controller.SkippedFiles()[0].Path, stored_b);
  EXPECT_EQ(controller.SkippedFiles()[0].Reason, "повреждён в старом архиве");
  EXPECT_EQ(Entries(archive), (std::set<std::string>{"a.txt", "c.txt"}));
  Unzip("-tq '" + archive.string() + "'");
}

TEST_F(RunControllerTest, OnlyTheNewestArchivesOfTheTemplateAreKept) {
  WriteBytes(data_ / "a.txt", "a");
  job_.FileNameMask = (out_ / "%yyyy%%my%%dd%%hh%%mm%%ss%.zip").string();
  job_.KeepArchives = 2;
  // Three earlier archives, an hour apart, and files the template cannot name.
  const auto now = fs::file_time_type::clock::now();
  for (int i = 1; i <= 3; ++i) {
    const fs::path old = out_ / ("2020010100000" + std::to_string(i) + ".zip");
    WriteBytes(old, "old");
    fs::last_write_time(old, now - std::chrono::hours(10 - i));
  }
  WriteBytes(out_ / "notes.zip", "keep");
  WriteBytes(out_ / "20200101000009.zip.part", "keep");
  fs::last_write_time(out_ / "notes.zip", now - std::chrono::hours(100));

  // A run that fails deletes nothing.
  job_.ExcludeMasks.Append("[");
  {
    RunController failing(job_, display_, options_);
    EXPECT_THROW(failing.StartRun(), EMaskException);
    EXPECT_TRUE(failing.DeletedArchives().empty());
  }
  EXPECT_EQ(OutFolder().size(), 5u);

  job_.ExcludeMasks.Clear();
  RunController controller(job_, display_, options_);
  controller.StartRun();
  EXPECT_THAT(controller.DeletedArchives(),
              ElementsAre((out_ / "20200101000001.zip").string(), (out_ / "20200101000002.zip").string()));
  EXPECT_TRUE(controller.RetentionFailures().empty());
  const std::vector<std::string> left = OutFolder();
  ASSERT_EQ(left.size(), 4u);
  EXPECT_EQ(left[0], "20200101000003.zip");
  EXPECT_EQ(left[1], "20200101000009.zip.part");
  EXPECT_EQ(left[3], "notes.zip");
}

TEST_F(RunControllerTest, StopRunEndsTheRunAndClearsTheDisplay) {
  WriteBytes(data_ / "a.txt", Repeated("some text to compress\n", 50000));
  WriteBytes(data_ / "b.txt", Repeated("more text to compress\n", 50000));
  options_.Batch = true;
  RunController controller(job_, display_, options_);
  bool stopped = false;
  display_.Hook = [&](const std::string& call) {
    if (!stopped && call.starts_with("filepct:") && call != "filepct:0") {
      stopped = true;
      controller.StopRun();
    }
  };
  EXPECT_THROW(controller.StartRun(), EUserCanceled);
  const std::vector<std::string> expected = {"close",    "stage:",   "totalpct:0", "filepct:0",
                                             "file:",    "archive:", "elapsed:",   "remaining:"};
  const auto at = std::search(display_.Calls.begin(), display_.Calls.end(), expected.begin(), expected.end());
  EXPECT_NE(at, display_.Calls.end());
  EXPECT_TRUE(display_.WithPrefix("done").empty());
  EXPECT_TRUE(OutFolder().empty());
  EXPECT_FALSE(controller.IsBusy());
}

TEST_F(RunControllerTest, SecondStartDuringARunDoesNothing) {
  WriteBytes(data_ / "a.txt", "a");
  WriteBytes(data_ / "b.txt", "b");
  RunController controller(job_, display_, options_);
  bool inner_busy = false;
  display_.Hook = [&](const std::string& call) {
    if (call.starts_with("file:/")) {
      inner_busy = controller.IsBusy() && controller.QueryClose() == false;
      controller.StartRun();
    }
  };
  controller.StartRun();
  EXPECT_TRUE(inner_busy);
  EXPECT_EQ(display_.WithPrefix("archive:").size(), 2u);  // the start and the clearing
  EXPECT_EQ(display_.WithPrefix("done").size(), 1u);
  EXPECT_EQ(Entries(out_ / "backup.zip"), (std::set<std::string>{"a.txt", "b.txt"}));
  EXPECT_TRUE(controller.QueryClose());
}

TEST_F(RunControllerTest, EarlierArchivesOfTheJobAreNotPacked) {
  // The backup folder lies inside the data that is backed up.
  job_.FileNameMask = (data_ / "backup" / "%yyyy%%my%%dd%-%qwartr%.zip").string();
  WriteBytes(data_ / "a.txt", "a");
  WriteBytes(data_ / "backup" / "20200101-I.zip", "an earlier archive");
  WriteBytes(data_ / "backup" / "20200101-I.zip.txt", "not an archive name");
  WriteBytes(data_ / "backup" / "notes.txt", "kept");
  WriteBytes(data_ / "other" / "20200101-I.zip", "same name, another folder");
  for (int run = 0; run < 2; ++run) {
    RecordingDisplay display;
    RunController controller(job_, display, options_);
    controller.StartRun();
    for (const std::string& file : display.WithPrefix("file:")) {
      EXPECT_FALSE(file.starts_with((data_ / "backup").string()) && file.ends_with(".zip")) << file;
    }
  }
  std::vector<fs::path> archives;
  for (const auto& e : fs::directory_iterator(data_ / "backup")) {
    const std::string name = e.path().filename().string();
    if (name != "20200101-I.zip" && name.ends_with(".zip")) archives.push_back(e.path());
  }
  ASSERT_EQ(archives.size(), 1u);  // both runs wrote the same name
  EXPECT_EQ(Entries(archives.front()),
            (std::set<std::string>{"a.txt", "backup/20200101-I.zip.txt", "backup/notes.txt",
                                   "other/20200101-I.zip"}));
}

TEST(ArchiveNamePatternTest, TokensStandForDigitsRomanLettersAndBlanks) {
  const struct {
    const char* name_part;
    const char* name;
    bool fits;
  } cases[] = {
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip", "20260305070409.zip", true},
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip", "2026030507040.zip", true},  // lengths are not fixed
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip", "12345.zip", false},        // six tokens need six characters
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip", "20260305070409.ZIP", false},
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip", "2026x305070409.zip", false},
      {"%yyyy%%my%%dd%%hh%%mm%%ss%.zip", "20260305070409.zip.bak", false},
      {"q%qwartr3%-%yy%.zip", "q IV-26.zip", true},
      {"q%qwartr3%-%yy%.zip", "qIII-26.zip", true},
      {"q%qwartr3%-%yy%.zip", "qX-26.zip", false},
      {"q%qwartr3%-%yy%.zip", "q-26.zip", false},
      {"day-%dcht%%%.zip", "day-1%%.zip", true},  // percent signs that form no token stay
      {"%MM%-%dd%.zip", "%MM%-05.zip", true},     // "%MM%" is no token
      {"%MM%-%dd%.zip", "03-05.zip", false},
      {"fixed.zip", "fixed.zip", true},
      {"fixed.zip", "Fixed.zip", false},
      {"", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ArchiveNamePattern(c.name_part).Fits(c.name), c.fits) << c.name_part << " / " << c.name;
  }
}

TEST_F(RunControllerTest, ArchiveGuardKnowsTheFolderBySpellingAndIdentity) {
  fs::create_directories(out_);
  fs::create_symlink(out_, root_ / "link");
  ArchiveGuard guard((out_ / "2026.zip").string(), "/anything/%yyyy%.zip");
  EXPECT_TRUE(guard.IsEarlierArchive((out_ / "2025.zip").string()));
  EXPECT_TRUE(guard.IsEarlierArchive(out_.string() + "//2025.zip"));
  EXPECT_TRUE(guard.IsEarlierArchive((root_ / "link" / "2025.zip").string()));
  EXPECT_FALSE(guard.IsEarlierArchive((out_ / "sub" / "2025.zip").string()));
  EXPECT_FALSE(guard.IsEarlierArchive((root_ / "2025.zip").string()));
  EXPECT_FALSE(guard.IsEarlierArchive((out_ / "notes.zip").string()));
}

TEST_F(RunControllerTest, BatchRunNeverAsksForAnArchiveName) {
  WriteBytes(data_ / "a.txt", "a");
  job_.FileNameMask = (out_ / "pick?").string();
  options_.Batch = true;
  RunController controller(job_, display_, options_);
  bool asked = false;
  controller.SetChooseArchive([&](const std::string&, std::string& chosen) {
    asked = true;
    chosen = (out_ / "chosen.zip").string();
    return true;
  });
  try {
    controller.StartRun();
    ADD_FAILURE() << "the run did not fail";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Пользователь прервал ввод имени архива.");
  }
  EXPECT_FALSE(asked);
}

TEST_F(RunControllerTest, InteractiveRunAsksForAnArchiveName) {
  WriteBytes(data_ / "a.txt", "a");
  fs::create_directories(out_);
  job_.FileNameMask = (out_ / "pick?").string();
  RunController controller(job_, display_, options_);
  std::string initial;
  controller.SetChooseArchive([&](const std::string& folder, std::string& chosen) {
    initial = folder;
    chosen = (out_ / "chosen.zip").string();
    return true;
  });
  controller.StartRun();
  EXPECT_EQ(initial, out_.string() + "/");
  EXPECT_EQ(Entries(out_ / "chosen.zip"), std::set<std::string>{"a.txt"});
}

}  // namespace
}  // namespace tessel
