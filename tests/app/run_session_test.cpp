// The run session: every run on its worker, its report, the stop button and
// the stop signals, with the real controller and engine on scratch folders.
#include "app/run_session.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "app/run_history.h"
#include "app/settings.h"
#include "support/files.h"
#include "support/leased_file.h"
#include "support/scratch.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

// A display that keeps the last file shown and the threads it was called on.
class WorkerDisplay : public RunDisplay {
public:
  void ShowCurrentFile(const std::string& text) override {
    std::lock_guard lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    file_ = text;
  }
  void ShowArchiveName(const std::string&) override {}
  void SetFileProgress(int) override {}
  void SetTotalProgress(int) override {}
  void ShowElapsed(const std::string&) override {}
  void ShowRemaining(const std::string&) override {}
  void ShowDoneMessage() override {}
  void RequestClose() override {}
  std::string File() {
    std::lock_guard lock(mutex_);
    return file_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

private:
  std::mutex mutex_;
  std::string file_;
  std::vector<std::thread::id> threads_;
};

void WriteRandom(const fs::path& path, size_t size) {
  std::mt19937_64 random(7);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  test::WriteBytes(path, data);
}

class RunSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    options_.ConfigPath = (root_ / "Config.ini").string();
    // The history of these runs goes to the scratch folder.
    if (const char* old = std::getenv("XDG_STATE_HOME")) saved_state_ = old;
    ::setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
    job_.FileNameMask = Archive();
    job_.IncludeMasks.Append((root_ / "data" / "*.*").string());
    job_.Level = 9;
  }
  void TearDown() override {
    if (saved_state_) ::setenv("XDG_STATE_HOME", saved_state_->c_str(), 1); else ::unsetenv("XDG_STATE_HOME");
  }
  std::string Archive() const { return (root_ / "out" / "backup.zip").string(); }
  std::string History() const { return (root_ / "state" / "tessel-backup" / "history.log").string(); }
  std::optional<std::string> saved_state_;

  test::Scratch scratch_;
  fs::path root_ = scratch_.path();
  JobSettings job_;
  StartupOptions options_;
  WorkerDisplay display_;
};

TEST_F(RunSessionTest, ARunGoesOnItsWorkerAndReportsItsFigures) {
  WriteRandom(root_ / "data" / "a.bin", 3000);
  WriteRandom(root_ / "data" / "b.bin", 5000);
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  std::thread::id ended_on;
  ASSERT_TRUE(session.Start([&] { ended_on = std::this_thread::get_id(); }));
  EXPECT_FALSE(session.Start());  // one run at a time
  session.Wait();
  EXPECT_FALSE(session.IsRunning());
  const RunReport& report = session.Report();
  EXPECT_EQ(report.Outcome, RunOutcome::roSucceeded) << report.Message;
  EXPECT_EQ(report.ArchivePath, Archive());
  EXPECT_EQ(report.FilesWritten, 2);
  EXPECT_EQ(report.BytesRead, 8000);
  EXPECT_EQ(report.ArchiveBytes, static_cast<int64_t>(fs::file_size(Archive())));
  EXPECT_NE(ended_on, std::this_thread::get_id());
  ASSERT_FALSE(display_.Threads().empty());
  for (const std::thread::id id : display_.Threads()) EXPECT_EQ(id, ended_on);
  EXPECT_EQ(ExitStatusOf(report), 0);
}

TEST_F(RunSessionTest, OutcomesOfFailedAndPartialRuns) {
  WriteRandom(root_ / "data" / "a.bin", 100);
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  job_.FileNameMask = "no-folder.zip";
  ASSERT_TRUE(session.Start());
  session.Wait();
  EXPECT_EQ(session.Report().Outcome, RunOutcome::roFailed);
  EXPECT_EQ(session.Report().Message, "Unable to create directory");

  // A file that cannot be opened is left out.
  job_.FileNameMask = Archive();
  { std::ofstream(root_ / "data" / "unreadable.bin") << "held"; }
  test::LeasedFile lease((root_ / "data" / "unreadable.bin").string());
  ASSERT_TRUE(lease.Held());
  ASSERT_TRUE(session.Start());
  session.Wait();
  const RunReport& report = session.Report();
  EXPECT_EQ(report.Outcome, RunOutcome::roPartial);
  ASSERT_EQ(report.Skipped.size(), 1u);
  EXPECT_EQ(report.Skipped[0].Path, (root_ / "data" / "unreadable.bin").string());
  EXPECT_EQ(report.FilesWritten, 1);
  EXPECT_FALSE(report.NothingSelected);
  EXPECT_EQ(ExitStatusOf(report), 2);

  // Include lines that select no file: the archive is written, but a backup
  // of nothing is no success.
  job_.IncludeMasks.Items = {(root_ / "data" / "*.none").string()};
  fs::remove(Archive());
  ASSERT_TRUE(session.Start());
  session.Wait();
  EXPECT_EQ(report.Outcome, RunOutcome::roPartial);
  EXPECT_TRUE(report.NothingSelected);
  EXPECT_TRUE(report.Skipped.empty());
  EXPECT_TRUE(fs::exists(Archive()));
  EXPECT_EQ(ExitStatusOf(report), 2);
}

TEST_F(RunSessionTest, TheStopButtonEndsTheRunButAStopOutsideARunDoesNot) {
  WriteRandom(root_ / "data" / "a.bin", 16u << 20);
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  session.Stop();  // nothing is running: this belongs to no run
  ASSERT_TRUE(session.Start());
  // However early the stop comes, the run ends stopped.
  session.Stop();
  session.Wait();
  EXPECT_EQ(session.Report().Outcome, RunOutcome::roStopped);
  EXPECT_EQ(session.Report().Message, "Пользователь прервал операцию");
  EXPECT_FALSE(fs::exists(Archive()));

  fs::resize_file(root_ / "data" / "a.bin", 1000);
  controller.StopRun();  // straight to the controller, between runs
  ASSERT_TRUE(session.Start());
  session.Wait();
  EXPECT_EQ(session.Report().Outcome, RunOutcome::roSucceeded) << session.Report().Message;
}

TEST_F(RunSessionTest, AStopSignalStopsTheRunAndEveryRunAfterIt) {
  WriteRandom(root_ / "data" / "a.bin", 32u << 20);
  StopSignals signals;
  struct sigaction installed {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &installed), 0);
  EXPECT_EQ(installed.sa_flags & SA_RESTART, 0);  // blocked calls return on a signal
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  ASSERT_TRUE(session.Start());
  for (int i = 0; i < 6000 && display_.File().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(::raise(SIGTERM), 0);
  // The signal's pipe wakes a thread that waits for it.
  pollfd wake{StopSignals::Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&wake, 1, 5000), 1);
  EXPECT_EQ(StopSignals::Take(), SIGTERM);
  EXPECT_EQ(::poll(&wake, 1, 0), 0);
  session.Wait();
  EXPECT_EQ(session.Signal(), SIGTERM);
  EXPECT_EQ(session.Report().Outcome, RunOutcome::roStopped);
  EXPECT_FALSE(fs::exists(Archive()));
  // No run starts after a stop signal, in this session or a new one.
  EXPECT_FALSE(session.Start());
  EXPECT_EQ(session.Report().Outcome, RunOutcome::roStopped);
  RunSession later(controller);
  EXPECT_FALSE(later.Start());
  EXPECT_EQ(ExitStatusOf(later.Report()), 1);
}

// Makes the engine's read of one file block, on whichever thread reads it:
// its descriptor is turned into a FIFO that this object holds open for
// writing and never writes to.
class BlockedRead {
public:
  BlockedRead(TZipWriter& engine, const fs::path& fifo, const std::string& file_name)
      : fifo_(fifo.string()), file_name_(file_name) {
    ::mkfifo(fifo_.c_str(), 0600);
    engine.SourceStreamWrapper = [this](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      auto* file = dynamic_cast<TFileHandleStream*>(inner.get());
      if (file != nullptr && fs::path(file->Path()).filename() == file_name_) {
        const int reader = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        writer_.store(::open(fifo_.c_str(), O_WRONLY));
        ::fcntl(reader, F_SETFL, 0);
        ::dup2(reader, file->Fd());
        ::close(reader);
      }
      return inner;
    };
  }
  ~BlockedRead() { Release(); }
  // Waits until the engine reads the FIFO.
  bool Blocked() {
    for (int i = 0; i < 1000 && writer_.load() < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return writer_.load() >= 0;
  }
  // The end of the FIFO: a read that still waits returns.
  void Release() {
    const int writer = writer_.exchange(-1);
    if (writer >= 0) ::close(writer);
  }

private:
  std::string fifo_;
  std::string file_name_;
  std::atomic<int> writer_{-1};
};

TEST_F(RunSessionTest, EveryStopEndsARunWhoseReadBlocksAtOnce) {
  WriteRandom(root_ / "data" / "a.bin", 1000);
  WriteRandom(root_ / "data" / "b.bin", 1000);
  // On the run's own thread, and on a worker that reads ahead.
  for (const int threads : {1, 2}) {
    for (const int stop : {SIGTERM, SIGINT, SIGHUP, 0}) {
      SCOPED_TRACE((stop == 0 ? std::string("stop button") : std::string(strsignal(stop))) + ", threads " +
                   std::to_string(threads));
      job_.Threads = threads;
      StopSignals signals;
      RunController controller(job_, display_, options_);
      BlockedRead blocked(controller.Engine(), root_ / ("fifo" + std::to_string(stop) + std::to_string(threads)),
                          "a.bin");
      RunSession session(controller);
      ASSERT_TRUE(session.Start());
      ASSERT_TRUE(blocked.Blocked());
      // raise() gives the signal to this thread, not to the worker's.
      if (stop == 0) {
        session.Stop();
      } else {
        ASSERT_EQ(::raise(stop), 0);
      }
      const auto asked = std::chrono::steady_clock::now();
      while (session.IsRunning() && std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(500))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_FALSE(session.IsRunning()) << "the blocked read was not ended within half a second";
      blocked.Release();
      session.Wait();
      EXPECT_EQ(session.Report().Outcome, RunOutcome::roStopped) << session.Report().Message;
      EXPECT_FALSE(fs::exists(Archive()));
      // Neither a temporary archive nor the workers' spill file is left.
      std::error_code error;
      for (const auto& item : fs::directory_iterator(fs::path(Archive()).parent_path(), error))
        EXPECT_FALSE(item.path().filename().string().starts_with(kTempArchivePrefix)) << item.path();
    }
  }
}

TEST_F(RunSessionTest, AnUnchangedUpdateIsARunThatWroteNothing) {
  WriteRandom(root_ / "data" / "a.bin", 3000);
  job_.ReplaceMode = 1;
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  for (int run = 0; run < 2; ++run) {
    session.Start();
    session.Wait();
  }
  EXPECT_TRUE(session.Report().ArchiveUnchanged);
  EXPECT_EQ(ExitStatusOf(session.Report()), 0);
  const std::vector<HistoryEntry> runs = ReadHistory(History());
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_GT(runs[0].ArchiveBytes, 3000);
  const HistoryEntry& unchanged = runs[1];
  EXPECT_EQ(unchanged.Status, "ok");
  EXPECT_EQ(unchanged.EntriesWritten, 0);
  EXPECT_EQ(unchanged.BytesRead, 0);
  EXPECT_EQ(unchanged.ArchiveBytes, 0);
  // Its one entry stayed: the window still counts it among the archive's.
  EXPECT_EQ(unchanged.EntriesCarried, 1);
  EXPECT_THAT(LastRunLine(unchanged), ::testing::EndsWith(", 1 файл"));
}

TEST_F(RunSessionTest, EveryRunLeavesItsLineInTheHistory) {
  WriteRandom(root_ / "data" / "a.bin", 3000);
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  const time_t before = std::time(nullptr);
  auto run = [&] {
    session.Start();
    session.Wait();
  };
  run();  // ok
  // Partial: a file that cannot be read; the archive's entry of a.bin is kept.
  job_.ReplaceMode = 1;
  { std::ofstream(root_ / "data" / "held.bin") << "held"; }
  {
    test::LeasedFile lease((root_ / "data" / "held.bin").string());
    ASSERT_TRUE(lease.Held());
    run();
  }
  fs::remove(root_ / "data" / "held.bin");
  job_.FileNameMask = "no-folder.zip";  // failed
  run();
  job_.FileNameMask = Archive();
  WriteRandom(root_ / "data" / "big.bin", 16u << 20);
  ASSERT_TRUE(session.Start());  // stopped
  session.Stop();
  session.Wait();
  ASSERT_EQ(session.Report().Outcome, RunOutcome::roStopped);

  const std::vector<HistoryEntry> runs = ReadHistory(History());
  ASSERT_EQ(runs.size(), 4u);
  const HistoryEntry& ok = runs[0];
  EXPECT_EQ(ok.Status, "ok");
  // Local time with its offset: the same zone sorts as text.
  EXPECT_GE(ok.StartTime, IsoLocalTime(before));
  EXPECT_LE(ok.StartTime, IsoLocalTime(std::time(nullptr)));
  EXPECT_EQ(ok.ArchivePath, Archive());
  EXPECT_EQ(ok.EntriesWritten, 1);
  EXPECT_EQ(ok.EntriesCarried, 0);
  EXPECT_EQ(ok.FilesLeftOut, 0);
  EXPECT_EQ(ok.BytesRead, 3000);
  EXPECT_GT(ok.ArchiveBytes, 3000);
  EXPECT_EQ(ok.Message, "");
  const HistoryEntry& partial = runs[1];
  EXPECT_EQ(partial.Status, "partial");
  EXPECT_EQ(partial.EntriesWritten, 0);
  EXPECT_EQ(partial.EntriesCarried, 1);
  EXPECT_EQ(partial.FilesLeftOut, 1);
  EXPECT_EQ(runs[2].Status, "failed");
  EXPECT_EQ(runs[2].Message, "Unable to create directory");
  EXPECT_EQ(runs[3].Status, "stopped");
  EXPECT_EQ(runs[3].Message, "Пользователь прервал операцию");
  EXPECT_EQ(runs[3].EntriesWritten, 0);
  for (const HistoryEntry& e : runs) EXPECT_TRUE(e.Seconds >= 0 && e.Seconds < 600);
}

TEST_F(RunSessionTest, AHistoryThatCannotBeWrittenChangesNothingElse) {
  WriteRandom(root_ / "data" / "a.bin", 3000);
  { std::ofstream(root_ / "state") << "a file where the state folder would be"; }
  RunController controller(job_, display_, options_);
  RunSession session(controller);
  session.Start();
  session.Wait();
  const RunReport& report = session.Report();
  EXPECT_EQ(report.Outcome, RunOutcome::roSucceeded);
  EXPECT_EQ(ExitStatusOf(report), 0);
  EXPECT_THAT(report.HistoryError, ::testing::StartsWith("Cannot write " + History() + ": "));
  char buffer[512] = {};
  FILE* err = fmemopen(buffer, sizeof buffer - 1, "w");
  WriteRunReport(err, report);
  std::fclose(err);
  EXPECT_EQ(std::string(buffer), "tessel-backup: " + report.HistoryError + "\n");
}

}  // namespace
}  // namespace tessel
