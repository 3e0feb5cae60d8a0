// A stop takes effect at once in every phase of an operation: while the
// folders are searched, while files without data are packed, while old
// entries are only copied, and while a read of a file blocks. The old archive
// stays as it was.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::ReadBytes;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

// How long a stop may take to end the operation.
constexpr auto kStopLimit = std::chrono::milliseconds(500);

class StopTest : public enginetest::EngineFixture {
protected:
  // Runs the operation and tells whether it ended with the stop.
  bool EndsStopped(TZipWriter& zip, const std::vector<std::string>& specs) {
    try {
      Zip(zip, specs);
    } catch (const EUserCanceled& e) {
      EXPECT_STREQ(e.what(), "Пользователь прервал операцию");
      return true;
    }
    return false;
  }
};

TEST_F(StopTest, AStopWhileTheFoldersAreSearchedEndsTheSearch) {
  for (int i = 0; i < 400; ++i) Put("tree/d" + std::to_string(i % 20) + "/f" + std::to_string(i) + ".txt", "x");
  TZipWriter zip;
  zip.SetZipName(Archive());
  zip.Recurse = true;
  int polls = 0;
  zip.ProcessInput = [&] {
    if (++polls == 2) zip.RequestCancel();
  };
  int started = 0;
  zip.OnStartZip = [&](TZipWriter&, const std::string&, TZipHeaderInfo&, bool&) { ++started; };
  EXPECT_TRUE(EndsStopped(zip, {dir / "tree/*.*"}));
  EXPECT_EQ(started, 0);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("tree"));
}

TEST_F(StopTest, AStopAmongFilesWithoutDataEndsAtTheNextFile) {
  for (int i = 0; i < 300; ++i) Put("empty/e" + std::to_string(1000 + i), "");
  for (const int level : {0, 6}) {
    SCOPED_TRACE(level);
    TZipWriter zip;
    zip.PackLevel = level;
    zip.SetZipName(Archive());
    int started = 0;
    zip.OnStartZip = [&](TZipWriter& w, const std::string&, TZipHeaderInfo&, bool&) {
      if (++started == 5) w.RequestCancel();
    };
    EXPECT_TRUE(EndsStopped(zip, {dir / "empty/*"}));
    EXPECT_LE(started, 6);
    EXPECT_THAT(ListFolder(dir.path()), ElementsAre("empty"));
  }
}

TEST_F(StopTest, AStopWhileOldEntriesAreCopiedEndsTheCopy) {
  // Many small entries, and one large one whose copy is long by itself.
  for (int i = 0; i < 300; ++i) Put("old/f" + std::to_string(1000 + i) + ".txt", "entry " + std::to_string(i));
  Put("old/zz_large.bin", enginetest::NoiseOf(8 << 20));
  {
    TZipWriter maker;
    maker.PackLevel = 0;
    maker.SetZipName(Archive());
    ASSERT_EQ(Zip(maker, {dir / "old/*.*"}), 301);
  }
  const std::string before = ReadBytes(Archive());
  Put("old/new.txt", "a new file makes the update write");

  // Among the small entries: each is kept and copied.
  {
    TZipWriter zip;
    zip.SetZipName(Archive());
    int kept = 0;
    zip.OnUpdate = [&](TZipWriter& w, TUpdateAction action, int32_t) {
      if (action == udKeep && ++kept == 5) w.RequestCancel();
    };
    EXPECT_TRUE(EndsStopped(zip, {dir / "old/*.*"}));
    EXPECT_LE(kept, 6);
  }
  EXPECT_EQ(ReadBytes(Archive()), before);

  // Inside the large entry: the copy stops within a few of its blocks.
  {
    const enginetest::ParsedArchive parsed = enginetest::ParseArchive(before);
    const enginetest::ParsedEntry* large = parsed.Find("zz_large.bin");
    ASSERT_NE(large, nullptr);
    const uint64_t data_start = large->Offset + 30 + large->Name.size();
    const uint64_t data_end = data_start + large->CompressedSize;
    TZipWriter zip;
    zip.SetZipName(Archive());
    uint64_t read = 0;
    // Counts the bytes read from the large entry's data and asks for the
    // stop once 1 MiB of it has been read.
    zip.ArchiveStreamWrapper = [&](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      struct Counting : TStream {
        Counting(std::unique_ptr<TStream> in, std::function<void(uint64_t, size_t)> seen)
            : inner(std::move(in)), on_read(std::move(seen)) {}
        size_t Read(void* buffer, size_t count) override {
          const uint64_t at = inner->Seek(0, soFromCurrent);
          const size_t n = inner->Read(buffer, count);
          on_read(at, n);
          return n;
        }
        size_t Write(const void*, size_t) override { return 0; }
        uint64_t Seek(int64_t offset, int origin) override { return inner->Seek(offset, origin); }
        uint64_t Size() override { return inner->Size(); }
        std::string Name() const override { return inner->Name(); }
        std::unique_ptr<TStream> inner;
        std::function<void(uint64_t, size_t)> on_read;
      };
      return std::make_unique<Counting>(std::move(inner), [&](uint64_t at, size_t n) {
        if (at < data_start || at >= data_end) return;
        read += n;
        if (read >= (1u << 20)) zip.RequestCancel();
      });
    };
    EXPECT_TRUE(EndsStopped(zip, {dir / "old/new.txt"}));
    EXPECT_LT(read, uint64_t{3} << 20);
  }
  EXPECT_EQ(ReadBytes(Archive()), before);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("old", "out.zip"));
}

// A handler that does nothing, installed without SA_RESTART: a signal sent to
// a thread then makes its blocked read return early, as the program's stop
// signals do.
extern "C" void NoteSignal(int) {}

class BlockedReadTest : public StopTest {
protected:
  void SetUp() override {
    StopTest::SetUp();
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous_), 0);
    // A write to a FIFO whose reader has gone must fail, not end the test.
    previous_pipe_ = ::signal(SIGPIPE, SIG_IGN);
    // The FIFO the file is read from: the test holds its writing end and
    // writes nothing, so a read of it blocks.
    fifo_ = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    Put("data.txt", "the bytes of the file itself");
  }
  void TearDown() override {
    if (writer_ >= 0) ::close(writer_.load());
    ::sigaction(SIGUSR1, &previous_, nullptr);
    ::signal(SIGPIPE, previous_pipe_);
  }

  // Runs the operation on a thread of its own, on `threads` threads, whose
  // reads of data.txt come from the FIFO; returns once a thread is inside
  // that read. specs: data.txt alone, unless given.
  std::future<bool> StartBlocked(TZipWriter& zip, int threads = 1, std::vector<std::string> specs = {}) {
    zip.SetZipName(Archive());
    zip.PackLevel = 0;
    zip.Threads = threads;
    if (specs.empty()) specs = {dir / "data.txt"};
    zip.SourceStreamWrapper = [this](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      auto* file = dynamic_cast<TFileHandleStream*>(inner.get());
      EXPECT_NE(file, nullptr);
      if (file != nullptr && file->Path().ends_with("/data.txt")) {
        const int reader = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        writer_ = ::open(fifo_.c_str(), O_WRONLY);
        ::fcntl(reader, F_SETFL, 0);  // blocking from here on
        ::dup2(reader, file->Fd());
        ::close(reader);
      }
      return inner;
    };
    std::promise<pthread_t> started;
    auto thread_id = started.get_future();
    auto result = std::async(std::launch::async, [this, &zip, &started, specs] {
      started.set_value(::pthread_self());
      return EndsStopped(zip, specs);
    });
    worker_ = thread_id.get();
    // Wait until the read blocks: the FIFO is open for writing.
    for (int i = 0; i < 500 && writer_.load() < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return result;
  }
  // Lets a read that never returned go on: bytes, then the end of the FIFO.
  // The bytes written, -1 when nobody reads the FIFO any more.
  ssize_t Release(const std::string& bytes) {
    if (writer_ < 0) return -1;
    const int writer = writer_.exchange(-1);
    const ssize_t written = ::write(writer, bytes.data(), bytes.size());
    ::close(writer);
    return written;
  }

  std::string fifo_;
  // Set on the thread that opens data.txt.
  std::atomic<int> writer_{-1};
  pthread_t worker_{};
  struct sigaction previous_ {};
  sighandler_t previous_pipe_ = SIG_DFL;
};

TEST_F(BlockedReadTest, AStopEndsARunWhoseReadBlocks) {
  TZipWriter zip;
  std::future<bool> stopped = StartBlocked(zip);
  ASSERT_GE(writer_.load(), 0);
  const auto start = Clock::now();
  zip.RequestCancel();
  ::pthread_kill(worker_, SIGUSR1);
  const bool in_time = stopped.wait_for(kStopLimit) == std::future_status::ready;
  EXPECT_TRUE(in_time) << "the blocked read was not ended by the stop";
  Release("late");
  EXPECT_TRUE(stopped.get());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("data.txt", "fifo"));
}

TEST_F(BlockedReadTest, AStopEndsTheWorkersWhenOneOfThemIsBlocked) {
  // A worker reads data.txt and blocks; the other makes more.txt ahead of
  // its turn, and with no memory to wait in, its data wait in the spill file.
  Put("more.txt", enginetest::NoiseOf(100000));
  TZipWriter zip;
  zip.WaitingMemoryPerThread = 0;
  std::future<bool> stopped = StartBlocked(zip, 2, {dir / "data.txt", dir / "more.txt"});
  ASSERT_GE(writer_.load(), 0);
  // The engine wakes its own workers: no signal from here.
  zip.RequestCancel();
  const bool in_time = stopped.wait_for(kStopLimit) == std::future_status::ready;
  EXPECT_TRUE(in_time) << "the blocked worker was not ended by the stop";
  Release("late");
  EXPECT_TRUE(stopped.get());
  EXPECT_GT(zip.SpilledBytes(), 0u);
  // Neither the temporary archive nor the spill file is left.
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("data.txt", "fifo", "more.txt"));
}

TEST_F(BlockedReadTest, ASignalWithoutAStopLetsTheReadGoOn) {
  TZipWriter zip;
  uint64_t bytes = 0;
  zip.OnFilePercentDone = [&](TZipWriter&, int) {};
  zip.OnTotalPercentDone = [&](TZipWriter& w, int) { bytes = static_cast<uint64_t>(w.BytesDone()); };
  std::future<bool> stopped = StartBlocked(zip);
  ASSERT_GE(writer_.load(), 0);
  ::pthread_kill(worker_, SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  const std::string sent = "came through the pipe";
  EXPECT_EQ(Release(sent), static_cast<ssize_t>(sent.size()));
  EXPECT_FALSE(stopped.get());
  // The read was made again after the signal and took what came.
  EXPECT_EQ(bytes, sent.size());
}

}  // namespace
}  // namespace tessel
