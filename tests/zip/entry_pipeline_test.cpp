// The zip engine on several threads: the archive is the one a one-thread run
// writes, to the byte, whatever the order of sizes, the levels, updates,
// files that change while they are read and files that fail; memory stays
// bounded (data wait in a spill file); cancels and failures leave nothing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/file_system.h"
#include "zip/crc32.h"
#include "zip/entry_pipeline.h"
#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::NamesOf;
using enginetest::NoiseOf;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::TextOf;
using enginetest::WriteBytes;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr time_t kBase = enginetest::kFixedTime;
const int kThreadCounts[] = {1, 2, 3, 8};

// Ends the process when a run takes far longer than it can: a deadlock must
// fail the test, not hang the suite.
class Watchdog {
public:
  explicit Watchdog(std::chrono::seconds limit) {
    thread_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
        std::fprintf(stderr, "watchdog: the run did not end within %lld s\n", static_cast<long long>(limit.count()));
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// A source that yields what its file holds, then `extra` more bytes as if
// the file had grown while it was read; or, with a negative count, ends that
// many bytes early as if it had shrunk. The same bytes on every thread.
class ChangingStream : public TStream {
public:
  ChangingStream(std::unique_ptr<TStream> inner, int64_t change) : inner_(std::move(inner)), change_(change) {
    if (change_ < 0) limit_ = static_cast<int64_t>(inner_->Size()) + change_;
  }
  size_t Read(void* buffer, size_t count) override {
    auto* out = static_cast<uint8_t*>(buffer);
    if (limit_ >= 0) count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), limit_ - position_));
    size_t n = inner_->Read(out, count);
    if (n < count && change_ > 0 && grown_ < change_) {
      const size_t more = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count - n), change_ - grown_));
      for (size_t i = 0; i < more; ++i) out[n + i] = static_cast<uint8_t>("grown "[(grown_ + static_cast<int64_t>(i)) % 6]);
      grown_ += static_cast<int64_t>(more);
      n += more;
    }
    position_ += static_cast<int64_t>(n);
    return n;
  }
  size_t Write(const void*, size_t) override { return 0; }
  uint64_t Seek(int64_t offset, int origin) override {
    if (origin == soFromBeginning && offset == 0) {
      position_ = 0;
      grown_ = 0;
    }
    return inner_->Seek(offset, origin);
  }
  std::string Name() const override { return inner_->Name(); }

private:
  std::unique_ptr<TStream> inner_;
  int64_t change_;
  int64_t limit_ = -1;
  int64_t position_ = 0;
  int64_t grown_ = 0;
};

// Files whose names end in "grow.log" grow by 70000 bytes while they are
// read, those ending in "shrink.log" lose their last 5000.
TStreamWrapper GrowAndShrink() {
  return [](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
    const std::string name = inner->Name();
    if (name.ends_with("grow.log")) return std::make_unique<ChangingStream>(std::move(inner), 70000);
    if (name.ends_with("shrink.log")) return std::make_unique<ChangingStream>(std::move(inner), -5000);
    return inner;
  };
}

// Holds the reads of one file back until another file has been opened (or
// ten seconds have passed), so that the workers' order is fixed: whatever
// lies between them is made while the held file waits for its data.
class HoldBack {
public:
  HoldBack(std::string held, std::string release) : held_(std::move(held)), release_(std::move(release)) {}

  TStreamWrapper Wrapper() {
    return [this](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      const std::string name = inner->Name();
      if (name.ends_with(release_)) {
        {
          std::lock_guard lock(mutex_);
          released_ = true;
        }
        cv_.notify_all();
      }
      if (!name.ends_with(held_)) return inner;
      return std::make_unique<Held>(std::move(inner), *this);
    };
  }

private:
  class Held : public TStream {
  public:
    Held(std::unique_ptr<TStream> inner, HoldBack& owner) : inner_(std::move(inner)), owner_(owner) {}
    size_t Read(void* buffer, size_t count) override {
      std::unique_lock lock(owner_.mutex_);
      owner_.cv_.wait_for(lock, std::chrono::seconds(10), [this] { return owner_.released_; });
      lock.unlock();
      return inner_->Read(buffer, count);
    }
    size_t Write(const void*, size_t) override { return 0; }
    uint64_t Seek(int64_t offset, int origin) override { return inner_->Seek(offset, origin); }
    std::string Name() const override { return inner_->Name(); }

  private:
    std::unique_ptr<TStream> inner_;
    HoldBack& owner_;
  };

  std::string held_, release_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

class ParallelTest : public enginetest::EngineFixture {
protected:
  void SetUp() override {
    EngineFixture::SetUp();
    ::mkdir((dir / "out").c_str(), 0755);
  }
  // An archive out/a.zip made on one thread from one small file t/name;
  // returns its bytes.
  std::string OldArchive(const std::string& name) {
    Put("t/" + name, name);
    EXPECT_EQ(RunOn(dir / "out/a.zip", 1, 6), 1);
    return ReadBytes(dir / "out/a.zip");
  }
  // A tree of text and binary files, empty ones, a file that grows and one
  // that shrinks while read, and one large file among the small ones, which
  // comes first, in the middle or last in the order of the archive.
  void MakeTree(const std::string& large_name = "m_large.txt") {
    for (int i = 0; i < 24; ++i) {
      const std::string n = std::to_string(i);
      Put("t/d" + std::to_string(i % 3) + "/text" + n + ".txt", TextOf(static_cast<size_t>(i) * 1700 + 1, i + 1));
      Put("t/d" + std::to_string(i % 3) + "/bin" + n + ".bin", NoiseOf(static_cast<size_t>(i) * 900 + 3, i + 5));
    }
    for (const char* name : {"t/empty1", "t/d1/empty2", "t/d2/empty3.txt"}) Put(name, "");
    Put("t/d0/grow.log", TextOf(40000, 77));
    Put("t/d1/shrink.log", TextOf(60000, 78));
    Put("t/" + large_name, TextOf(600000, 99) + NoiseOf(300000, 98) + TextOf(400000, 97));
  }

  // One run over the tree into archive with the given threads and level.
  TZipWriter& Configure(TZipWriter& zip, const std::string& archive, int threads, int level) {
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir / "t");
    zip.SetZipName(archive);
    zip.Threads = threads;
    zip.PackLevel = level;
    zip.SourceStreamWrapper = GrowAndShrink();
    zip.NoCompressList = {"*.bin"};  // stored files in the mix
    return zip;
  }
  int32_t RunOn(const std::string& archive, int threads, int level, uint64_t memory = 0,
                TZipAction action = zaReplace) {
    TZipWriter zip;
    Configure(zip, archive, threads, level);
    zip.ZipAction = action;
    if (memory != 0) zip.WaitingMemoryPerThread = memory;
    zip.FilesList() = {dir / "t/*.*"};
    Watchdog watchdog(std::chrono::seconds(300));
    return zip.ZipFiles();
  }
};

TEST_F(ParallelTest, EveryThreadCountWritesTheSameArchiveNewAndUpdated) {
  MakeTree();
  for (int level : {0, 1, 6, 9}) {
    SCOPED_TRACE(level);
    // New archives.
    std::string reference;
    for (int threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      const std::string archive = dir / ("out/new" + std::to_string(threads) + ".zip");
      ASSERT_EQ(RunOn(archive, threads, level), 54);
      const std::string bytes = ReadBytes(archive);
      if (threads == 1) {
        reference = bytes;
        const auto parsed = ParseFile(archive);
        // Sizes and CRC are those of the bytes read, not of the size at opening.
        const std::string& grown = parsed.Find("d0/grow.log")->Data;
        ASSERT_EQ(grown.size(), 110000u);
        EXPECT_EQ(grown.substr(0, 40000), TextOf(40000, 77));
        EXPECT_EQ(grown.substr(40000, 12), "grown grown ");
        EXPECT_EQ(parsed.Find("d1/shrink.log")->Data, TextOf(60000, 78).substr(0, 55000));
      } else {
        EXPECT_TRUE(bytes == reference) << "differs from the one-thread archive";
      }
      ::unlink(archive.c_str());
    }
  }
  // Updates of one older archive: changed files replace their entries (in
  // place), new files are added at the end, the rest is carried over.
  const std::string base = dir / "out/base.zip";
  RunOn(base, 1, 6);
  const std::string old_bytes = ReadBytes(base);
  Put("t/d0/text3.txt", TextOf(20000, 1234), kBase + 100);
  Put("t/d1/bin4.bin", NoiseOf(7000, 1235), kBase + 100);
  Put("t/d2/new.txt", TextOf(30000, 1236), kBase + 100);
  Put("t/m_large.txt", TextOf(900000, 1237), kBase + 100);
  for (TZipAction action : {zaUpdate, zaReplace}) {
    for (int level : {1, 9}) {
      std::string reference;
      for (int threads : kThreadCounts) {
        SCOPED_TRACE(std::to_string(action) + "/" + std::to_string(level) + "/" + std::to_string(threads));
        const std::string archive = dir / "out/update.zip";
        WriteBytes(archive, old_bytes);
        RunOn(archive, threads, level, 0, action);
        const std::string bytes = ReadBytes(archive);
        if (threads == 1) {
          reference = bytes;
          const auto parsed = ParseFile(archive);
          EXPECT_EQ(parsed.Entries.size(), 55u);
          EXPECT_EQ(parsed.Entries.back().Name, "d2/new.txt");
        } else {
          EXPECT_TRUE(bytes == reference) << "differs from the one-thread archive";
        }
      }
    }
  }
}

// A large file first, in the middle or last among many small ones, with so
// little memory that whatever is made ahead of its turn waits in the spill
// file, or with so little room there too that the workers wait: no deadlock,
// no reordering, the same archive.
TEST_F(ParallelTest, LargeFileFirstOrLastWithLittleMemory) {
  struct Run {
    int Threads;
    uint64_t Disk;  // WaitingDiskPerThread; 0 leaves the default
  };
  const Run runs[] = {{1, 0}, {2, 0}, {3, 0}, {2, 20000}, {3, 20000}};
  for (const std::string large : {"a_first.bin", "z_last.bin", "m_middle.bin"}) {
    SCOPED_TRACE(large);
    enginetest::Scratch::Remove(dir / "t");
    for (int i = 0; i < 300; ++i) Put("t/s" + std::to_string(100 + i) + ".txt", TextOf(3000 + static_cast<size_t>(i) * 7, i));
    // Large and incompressible: its data pass the small pipe in many chunks.
    Put("t/" + large, NoiseOf(6 << 20, 3));
    std::string reference;
    for (const Run& run : runs) {
      SCOPED_TRACE(std::to_string(run.Threads) + "/" + std::to_string(run.Disk));
      const std::string archive = dir / ("out/l" + std::to_string(run.Threads) + ".zip");
      TZipWriter zip;
      Configure(zip, archive, run.Threads, 1);
      zip.WaitingMemoryPerThread = 16384;
      if (run.Disk != 0) zip.WaitingDiskPerThread = run.Disk;
      // With workers and room on disk, the large file waits for its data
      // until the last small one is open, so that everything between them is
      // made ahead of its turn.
      HoldBack hold(large, "s399.txt");
      if (run.Threads > 1 && run.Disk == 0) zip.SourceStreamWrapper = hold.Wrapper();
      zip.FilesList() = {dir / "t/*.*"};
      std::vector<std::string> started;
      zip.OnStartZip = [&](TZipWriter&, const std::string& name, TZipHeaderInfo&, bool&) {
        started.push_back(name.substr(dir.path().size() + 3));
      };
      {
        Watchdog watchdog(std::chrono::seconds(300));
        ASSERT_EQ(zip.ZipFiles(), 301);
      }
      const std::string bytes = ReadBytes(archive);
      EXPECT_THAT(NamesOf(ParseFile(archive)), ElementsAreArray(started));
      if (run.Threads == 1) {
        reference = bytes;
        EXPECT_EQ(zip.SpilledBytes(), 0u);
      } else {
        EXPECT_TRUE(bytes == reference) << "differs from the one-thread archive";
        // Whatever was made ahead of the large file waited on disk.
        if (large != "z_last.bin" && run.Disk == 0) {
          EXPECT_GT(zip.SpilledBytes(), 0u);
        }
      }
      EXPECT_THAT(ListFolder(dir / "out"), ElementsAre("l" + std::to_string(run.Threads) + ".zip"));
      ::unlink(archive.c_str());
    }
  }
}

// The ZIP64 field of a local header follows the same rule on every thread
// count: a file within 64 MiB of 4 GiB when it is opened gets the field
// before its data, and keeps it when its data go straight to the archive; a
// header written after data that fit in memory needs no room to grow and
// has none. Here such a file shrinks while it is read, to 100 bytes and to
// 400 KB (stored, so that the data outgrow what is gathered in memory).
TEST_F(ParallelTest, TheLocalZip64FieldFollowsOneRule) {
  constexpr uint64_t kNear = (uint64_t{1} << 32) - (32 << 20);
  ::mkdir((dir / "t").c_str(), 0755);
  for (const char* name : {"t/a_near.img", "t/b_near.img"}) {
    const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kNear)), 0);
    ::close(fd);
  }
  Put("t/c.txt", "after");
  std::string reference;
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    const std::string archive = dir / "out/z.zip";
    ::unlink(archive.c_str());
    TZipWriter zip;
    Configure(zip, archive, threads, 0);
    zip.SourceStreamWrapper = [](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      const std::string name = inner->Name();
      if (name.ends_with("a_near.img")) return std::make_unique<ChangingStream>(std::move(inner), 100 - int64_t{kNear});
      if (name.ends_with("b_near.img")) return std::make_unique<ChangingStream>(std::move(inner), 400000 - int64_t{kNear});
      return inner;
    };
    zip.FilesList() = {dir / "t/*.*"};
    ASSERT_EQ(zip.ZipFiles(), 3);
    const auto parsed = ParseFile(archive);
    EXPECT_FALSE(parsed.Find("a_near.img")->LocalZip64);
    EXPECT_EQ(parsed.Find("a_near.img")->UncompressedSize, 100u);
    EXPECT_TRUE(parsed.Find("b_near.img")->LocalZip64);
    EXPECT_EQ(parsed.Find("b_near.img")->UncompressedSize, 400000u);
    const std::string bytes = ReadBytes(archive);
    if (threads == 1) {
      reference = bytes;
    } else {
      EXPECT_TRUE(bytes == reference);
    }
  }
}

// A kept entry found damaged while it is copied is made afresh from its
// file, which no worker was given: it is read on the operation's thread
// while the workers go on with the new files, and the archive is the one a
// one-thread run writes.
TEST_F(ParallelTest, AFileReadOutOfTurnLeavesTheOrderAlone) {
  for (const char* name : {"t/a.txt", "t/b.txt", "t/c.txt"}) Put(name, TextOf(20000, name[2]));
  std::string damaged;
  {
    TZipWriter maker;
    Configure(maker, dir / "out/a.zip", 1, 6);
    maker.FilesList() = {dir / "t/*.*"};
    ASSERT_EQ(maker.ZipFiles(), 3);
    damaged = ReadBytes(dir / "out/a.zip");
    const auto b = *ParseFile(dir / "out/a.zip").Find("b.txt");
    damaged[b.Offset + 30 + b.Name.size() + b.CompressedSize / 2] ^= 0x08;
  }
  for (int i = 0; i < 6; ++i) Put("t/new" + std::to_string(i) + ".txt", TextOf(30000, 40 + i));
  std::string reference;
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    WriteBytes(dir / "out/a.zip", damaged);
    TZipWriter zip;
    Configure(zip, dir / "out/a.zip", threads, 6);
    zip.ZipAction = zaUpdate;  // a, b and c are not newer: kept
    zip.Verify = true;
    zip.FilesList() = {dir / "t/*.*"};
    EXPECT_EQ(zip.ZipFiles(), 7);
    const auto parsed = ParseFile(dir / "out/a.zip");
    EXPECT_THAT(NamesOf(parsed), ElementsAre("a.txt", "b.txt", "c.txt", "new0.txt", "new1.txt", "new2.txt",
                                             "new3.txt", "new4.txt", "new5.txt"));
    EXPECT_EQ(parsed.Find("b.txt")->Data, TextOf(20000, 'b'));
    const std::string bytes = ReadBytes(dir / "out/a.zip");
    if (threads == 1) {
      reference = bytes;
    } else {
      EXPECT_TRUE(bytes == reference);
    }
  }
}

// The spill file lives beside the temporary archive, named and locked like
// it, so that a stale-file sweep of another run leaves it alone; it is gone
// when the run ends.
TEST_F(ParallelTest, TheSpillFileIsALockedTemporaryFile) {
  Put("t/a_big.bin", NoiseOf(3 << 20, 11));
  for (int i = 0; i < 40; ++i) Put("t/s" + std::to_string(i) + ".txt", TextOf(20000, i));
  TZipWriter zip;
  Configure(zip, dir / "out/a.zip", 2, 6);
  zip.WaitingMemoryPerThread = 4096;
  HoldBack hold("a_big.bin", "s9.txt");
  zip.SourceStreamWrapper = hold.Wrapper();
  zip.FilesList() = {dir / "t/*.*"};
  std::vector<std::string> seen;
  size_t swept = 0;
  zip.OnEndZip = [&](TZipWriter&, const std::string& name, int64_t, int64_t, int64_t) {
    if (!name.ends_with("s39.txt")) return;
    seen = ListFolder(dir / "out");
    swept = RemoveStaleTempFiles(dir / "out", "QWX");
  };
  EXPECT_EQ(zip.ZipFiles(), 41);
  EXPECT_GT(zip.SpilledBytes(), 0u);
  ASSERT_EQ(seen.size(), 3u) << ::testing::PrintToString(seen);  // the lock file and two temporary files
  EXPECT_EQ(seen[0].substr(0, 3), "QWX");
  EXPECT_EQ(seen[1].substr(0, 3), "QWX");
  EXPECT_EQ(seen[2], "a.zip.lock");
  EXPECT_EQ(swept, 0u);
  EXPECT_THAT(ListFolder(dir / "out"), ElementsAre("a.zip"));
}

// OnStartZip comes for every entry in the order of the archive, on the
// operation's thread; a skip there leaves the file out as with one thread.
// Progress: the total reaches every byte read, the file bar follows the
// entry being written.
TEST_F(ParallelTest, EventsComeInArchiveOrderOnTheCallersThread) {
  MakeTree();
  std::string reference;
  std::vector<std::string> reference_started;
  for (int threads : {1, 3}) {
    SCOPED_TRACE(threads);
    const std::string archive = dir / ("out/e" + std::to_string(threads) + ".zip");
    TZipWriter zip;
    Configure(zip, archive, threads, 6);
    zip.FilesList() = {dir / "t/*.*"};
    const std::thread::id caller = std::this_thread::get_id();
    bool elsewhere = false;
    std::vector<std::string> started;
    std::vector<int> total;
    int large_percent = -1;
    std::string current;
    zip.OnStartZip = [&](TZipWriter&, const std::string& name, TZipHeaderInfo&, bool& skip) {
      elsewhere |= std::this_thread::get_id() != caller;
      current = name;
      started.push_back(name.substr(dir.path().size() + 3));
      skip = name.ends_with("text5.txt") || name.ends_with("bin7.bin");
    };
    zip.OnFilePercentDone = [&](TZipWriter&, int percent) {
      elsewhere |= std::this_thread::get_id() != caller;
      if (current.ends_with("m_large.txt")) large_percent = std::max(large_percent, percent);
    };
    zip.OnTotalPercentDone = [&](TZipWriter&, int percent) {
      elsewhere |= std::this_thread::get_id() != caller;
      total.push_back(percent);
    };
    EXPECT_EQ(zip.ZipFiles(), 52);
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(large_percent, 100);
    ASSERT_FALSE(total.empty());
    // The grown file reads more than its size at opening, so the total ends
    // at its cap; bytes of skipped files are not counted.
    EXPECT_EQ(total.back(), 100);
    EXPECT_EQ(zip.BytesDone(), zip.TotalBytes() + 70000 - 5000);
    const std::string bytes = ReadBytes(archive);
    const auto names = NamesOf(ParseFile(archive));
    EXPECT_EQ(names.size(), 52u);
    EXPECT_EQ(std::count(names.begin(), names.end(), "d2/text5.txt"), 0);
    if (threads == 1) {
      reference = bytes;
      reference_started = started;
    } else {
      EXPECT_TRUE(bytes == reference);
      EXPECT_EQ(started, reference_started);
    }
  }
}

// A cancel (the stop button on another thread) ends a parallel run within
// half a second, with every worker stopped, and leaves the old archive as it
// was and no temporary file.
TEST_F(ParallelTest, ACancelStopsEverythingAndLeavesTheOldArchive) {
  const std::string before = OldArchive("old.txt");
  const std::string archive = dir / "out/a.zip";
  for (int i = 0; i < 8; ++i) Put("t/n" + std::to_string(i) + ".txt", TextOf(4 << 20, i));
  for (int threads : {2, 3}) {
    SCOPED_TRACE(threads);
    TZipWriter zip;
    Configure(zip, archive, threads, 9);
    zip.WaitingMemoryPerThread = 65536;
    zip.FilesList() = {dir / "t/*.*"};
    std::atomic<bool> reading{false};
    zip.OnTotalPercentDone = [&](TZipWriter&, int) { reading = true; };
    std::chrono::steady_clock::time_point asked;
    std::thread stopper([&] {
      while (!reading) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      asked = std::chrono::steady_clock::now();
      zip.RequestCancel();
    });
    EXPECT_THROW(zip.ZipFiles(), EUserCanceled);
    const auto ended = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_LT(ended - asked, std::chrono::milliseconds(500));
    EXPECT_FALSE(zip.IsBusy());
    EXPECT_TRUE(ReadBytes(archive) == before);
    EXPECT_THAT(ListFolder(dir / "out"), ElementsAre("a.zip"));
  }
}

// A write of the archive failing anywhere in a parallel update (also while
// data wait in the spill file) leaves the old archive byte for byte and no
// temporary file.
TEST_F(ParallelTest, AWriteFailureLeavesTheOldArchive) {
  const std::string before = OldArchive("a.txt");
  const std::string archive = dir / "out/a.zip";
  Put("t/a.txt", TextOf(50000, 5), kBase + 10);
  Put("t/big.bin", NoiseOf(1 << 20, 6));
  for (int i = 0; i < 30; ++i) Put("t/s" + std::to_string(i) + ".txt", TextOf(5000, i));
  uint64_t full = 0;
  {
    WriteBytes(dir / "copy.zip", before);
    TZipWriter probe;
    Configure(probe, dir / "copy.zip", 1, 6);
    probe.FilesList() = {dir / "t/*.*"};
    probe.ZipFiles();
    full = ReadBytes(dir / "copy.zip").size();
    ::unlink((dir / "copy.zip").c_str());
  }
  for (uint64_t budget = 0; budget < full; budget += full / 37 + 1) {
    SCOPED_TRACE(budget);
    TZipWriter zip;
    Configure(zip, archive, 3, 6);
    zip.WaitingMemoryPerThread = 8192;
    zip.OutputStreamWrapper = enginetest::FailWritesAfter(static_cast<int64_t>(budget));
    zip.FilesList() = {dir / "t/*.*"};
    EXPECT_THROW(zip.ZipFiles(), ENotEnoughRoom);
    ASSERT_TRUE(ReadBytes(archive) == before);
    ASSERT_THAT(ListFolder(dir / "out"), ElementsAre("a.zip"));
  }
}

// A file dropped while its worker waits to hand a full chunk over: the
// worker goes on with the next file and delivers it whole.
TEST_F(ParallelTest, AWorkerWhoseFileIsDroppedGoesOnWithTheNext) {
  const std::string big = Put("t/big.bin", NoiseOf(8 << 20, 3));
  const std::string text = TextOf(300000, 4);
  const std::string next = Put("t/next.txt", text);
  FileInfo big_info;
  FileInfo next_info;
  ASSERT_TRUE(Stat(big, big_info));
  ASSERT_TRUE(Stat(next, next_info));
  PipelineSettings settings;
  settings.Workers = 1;
  settings.Level = 0;
  EntryPipeline pipeline(settings, {{&big, &big_info, false}, {&next, &next_info, false}});
  pipeline.Release(2);
  {
    EntryPipeline::Ticket first = pipeline.Next();
    // The worker fills the pipe of the file being written, then waits.
    uint64_t read = 0;
    for (int i = 0; i < 200; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const uint64_t now = first.BytesRead();
      if (now > 0 && now == read) break;
      read = now;
    }
    ASSERT_LT(read, big_info.Size);
  }  // the ticket goes undelivered: the file is dropped
  struct Collect : EntrySink {
    std::string data;
    void Begin(bool) override { data.clear(); }
    void Write(const uint8_t* bytes, uint32_t count) override { data.append(reinterpret_cast<const char*>(bytes), count); }
    void Discard() override { data.clear(); }
  } sink;
  EntryPipeline::Ticket second = pipeline.Next();
  ASSERT_EQ(second.Opened([] {}).Status, OpenStatus::osOpened);
  const EncodedEntry entry = second.Deliver(sink, [] {});
  EXPECT_FALSE(entry.ReadFailed);
  EXPECT_EQ(sink.data, text);  // stored
  EXPECT_EQ(entry.Crc32, Crc32Of(text.data(), text.size()));
}

// A file that fails to read drops its entry alone, and the archive is the
// one a one-thread run writes; the reports come in the same order.
TEST_F(ParallelTest, AReadFailureDropsOnlyThatEntryAsWithOneThread) {
  Put("t/a_small.txt", "small");
  Put("t/b_large.bin", NoiseOf(700000));
  Put("t/c_mid.txt", TextOf(40000));
  Put("t/d_large.txt", TextOf(2000000));
  Put("t/e_tail.txt", TextOf(3000, 4));
  for (int level : {0, 6}) {
    std::string reference;
    std::vector<std::string> reference_skipped;
    for (int threads : {1, 2, 3}) {
      SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(threads));
      const std::string archive = dir / "out/r.zip";
      ::unlink(archive.c_str());
      TZipWriter zip;
      Configure(zip, archive, threads, level);
      zip.SourceStreamWrapper = enginetest::FailReadsAfter(50000);
      std::vector<std::string> skipped;
      zip.OnSkippingFile = [&](TZipWriter&, TSkipReason reason, const std::string& name, int32_t, bool&,
                               const std::string& text) {
        skipped.push_back(std::to_string(reason) + " " + name.substr(dir.path().size() + 3) + ": " + text);
      };
      zip.FilesList() = {dir / "t/*.*"};
      EXPECT_EQ(zip.ZipFiles(), 3);
      EXPECT_THAT(skipped, ElementsAre("5 b_large.bin: Input/output error", "5 d_large.txt: Input/output error"));
      const std::string bytes = ReadBytes(archive);
      EXPECT_THAT(NamesOf(ParseFile(archive)), ElementsAre("a_small.txt", "c_mid.txt", "e_tail.txt"));
      if (threads == 1) {
        reference = bytes;
      } else {
        EXPECT_TRUE(bytes == reference);
      }
    }
  }
}

// OnExcludeFile is asked while the list is built: an excluded file is never
// opened or read, never reported, and its size is not counted; a FIFO is
// excluded before anything looks at it.
TEST_F(ParallelTest, ExcludedFilesAreNeitherOpenedNorReported) {
  Put("t/keep.txt", "keep");
  Put("t/skip.tmp", std::string(5000, 'x'));
  Put("t/sub/skip.tmp", "sub");
  ASSERT_EQ(::mkfifo((dir / "t/pipe.tmp").c_str(), 0644), 0);
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    TZipWriter zip;
    Configure(zip, dir / "out/x.zip", threads, 6);
    std::vector<std::string> asked, opened, reported;
    zip.OnExcludeFile = [&](TZipWriter&, const std::string& name, bool& exclude) {
      asked.push_back(name.substr(dir.path().size() + 3));
      exclude = name.ends_with(".tmp");
    };
    std::mutex mutex;
    zip.SourceStreamWrapper = [&](std::unique_ptr<TStream> inner) {
      std::lock_guard lock(mutex);
      opened.push_back(inner->Name().substr(dir.path().size() + 3));
      return inner;
    };
    zip.OnSkippingFile = [&](TZipWriter&, TSkipReason, const std::string& name, int32_t, bool&,
                             const std::string&) { reported.push_back(name); };
    int64_t total = -1;
    zip.OnStartZipInfo = [&](TZipWriter&, int32_t, int64_t bytes, TEndCentral&, bool&) { total = bytes; };
    // The FIFO named on its own: a search passes FIFOs over anyway.
    zip.FilesList() = {dir / "t/*.*", dir / "t/pipe.tmp"};
    EXPECT_EQ(zip.ZipFiles(), 1);
    // The search's folders are asked about before they are listed for a
    // report.
    EXPECT_THAT(asked, ElementsAre("pipe.tmp", "", "keep.txt", "skip.tmp", "sub/", "sub/skip.tmp"));
    EXPECT_THAT(opened, ElementsAre("keep.txt"));
    EXPECT_THAT(reported, IsEmpty());
    EXPECT_EQ(total, 4);
    EXPECT_THAT(NamesOf(ParseFile(dir / "out/x.zip")), ElementsAre("keep.txt"));
    ::unlink((dir / "out/x.zip").c_str());
  }
}

}  // namespace
}  // namespace tessel
