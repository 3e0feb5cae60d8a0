#include "zip/buffer_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "zip/format_test_util.h"

namespace tessel {
namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

std::string ReadN(TStream& s, size_t n) {
  std::string out(n, '\0');
  out.resize(s.Read(out.data(), n));
  return out;
}

TEST(BufferStream, SeekFromEndTakesTheOffsetsMagnitude) {
  TMemoryStream memory(Pattern(200000));
  TS_BufferStream stream(&memory, 4096);
  EXPECT_EQ(stream.Seek(-65557, soFromEnd), 200000u - 65557u);
  EXPECT_EQ(ReadN(stream, 3), Pattern(200000).substr(200000 - 65557, 3));
  EXPECT_EQ(stream.Seek(65557, soFromEnd), 200000u - 65557u);
  EXPECT_EQ(stream.Seek(0, soFromEnd), 200000u);
  EXPECT_EQ(ReadN(stream, 5), "");
}

TEST(BufferStream, SizeCountsPendingBytesWithoutMovingTheStream) {
  TMemoryStream memory(Pattern(100));
  TS_BufferStream stream(&memory, 4096);
  stream.Seek(0, soFromEnd);
  ASSERT_EQ(stream.Write("0123456789", 10), 10u);
  EXPECT_EQ(memory.Size(), 100u);  // still pending
  EXPECT_EQ(stream.Size(), 110u);
  EXPECT_EQ(stream.Position(), 110u);
  EXPECT_EQ(stream.BufferState(), TS_BufferStream::bsWriting);
  // Asking for the end position with origin 2 also changes nothing.
  EXPECT_EQ(stream.Seek(0, soFromEnd), 110u);
  EXPECT_EQ(stream.BufferState(), TS_BufferStream::bsWriting);
  ASSERT_TRUE(stream.Finish());
  EXPECT_EQ(memory.Data(), Pattern(100) + "0123456789");
}

TEST(BufferStream, RewritingAHeaderLandsAtItsOffset) {
  TMemoryStream memory(Pattern(10000));
  TS_BufferStream stream(&memory, 1024);
  stream.Seek(5000, soFromBeginning);
  const uint64_t header = stream.Position();
  EXPECT_EQ(ReadN(stream, 30), Pattern(10000).substr(5000, 30));
  stream.Seek(static_cast<int64_t>(header), soFromBeginning);
  ASSERT_EQ(stream.Write("HEADER", 6), 6u);
  ASSERT_TRUE(stream.Finish());
  std::string expected = Pattern(10000);
  expected.replace(5000, 6, "HEADER");
  EXPECT_EQ(memory.Data(), expected);
}

TEST(BufferStream, ReadAfterWriteAndWriteAfterReadUseTheLogicalPosition) {
  const std::string base = Pattern(5000);
  TMemoryStream memory(base);
  TS_BufferStream stream(&memory, 256);
  ASSERT_EQ(stream.Write("XYZ", 3), 3u);
  // Read after write, no seek: the bytes after the written ones.
  EXPECT_EQ(ReadN(stream, 4), base.substr(3, 4));
  // Write after read, no seek: at the logical position (7), not where the
  // read-ahead left the underlying stream.
  ASSERT_EQ(stream.Write("!!", 2), 2u);
  EXPECT_EQ(stream.Position(), 9u);
  EXPECT_EQ(ReadN(stream, 2), base.substr(9, 2));
  ASSERT_TRUE(stream.Finish());
  std::string expected = base;
  expected.replace(0, 3, "XYZ");
  expected.replace(7, 2, "!!");
  EXPECT_EQ(memory.Data(), expected);
}

TEST(BufferStream, PutBackRules) {
  TMemoryStream memory("abcdef");
  TS_BufferStream stream(&memory, 16);
  try {
    stream.PutBack('x');
    FAIL() << "put back before any read";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Putback overflow");
  }
  EXPECT_EQ(ReadN(stream, 2), "ab");
  stream.PutBack('Q');
  EXPECT_EQ(stream.Position(), 1u);
  EXPECT_EQ(ReadN(stream, 3), "Qcd");
  stream.Seek(0, soFromBeginning);
  EXPECT_EQ(stream.ReadByte(), 'a');
  stream.PutBack('a');
  EXPECT_THROW(stream.PutBack('z'), EStreamError);  // at the buffer start
}

TEST(BufferStream, InvalidOriginAndFailedFlushRaise) {
  TMemoryStream memory;
  TS_BufferStream stream(&memory, 64);
  for (int origin : {-1, 3, 7}) {
    try {
      stream.Seek(0, origin);
      FAIL() << origin;
    } catch (const EStreamError& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid seek origin (" + std::to_string(origin) + ")");
    }
  }
  memory.WriteLimit = 10;
  ASSERT_EQ(stream.Write("0123456789ABCDEF", 16), 16u);  // still in the buffer
  try {
    stream.Seek(0, soFromBeginning);
    FAIL();
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Seek error");
  }
  EXPECT_EQ(memory.Data(), "0123456789");
}

TEST(BufferStream, ShortWritesAreReportedWithTheirCause) {
  TMemoryStream memory;
  memory.WriteLimit = 100;
  TS_BufferStream stream(&memory, 64);
  // Exactly one buffer: the bytes only reach the medium at the flush that
  // the full buffer triggers, and the count must say they did not.
  EXPECT_EQ(stream.Write(Pattern(64).data(), 64), 64u);
  const std::string more = Pattern(64);
  const size_t taken = stream.Write(more.data(), 64);
  EXPECT_LT(taken, 64u);
  EXPECT_EQ(stream.LastError(), ENOSPC);
  EXPECT_THROW(ThrowShortWrite(stream), ENotEnoughRoom);
  EXPECT_EQ(memory.Size(), 100u);

  TMemoryStream big;
  big.WriteLimit = 1000;
  TS_BufferStream direct(&big, 64);
  const std::string large = Pattern(5000);
  EXPECT_EQ(direct.Write(large.data(), large.size()), 1000u);
  // Later bytes wait in the buffer; the failure shows when they are flushed.
  direct.WriteBuffer(large.data(), 10);
  EXPECT_FALSE(direct.Finish());
}

// Random reads, writes and seeks through small buffers, checked against a
// plain byte string that models the file.
TEST(BufferStream, RandomOperationsMatchAModel) {
  std::mt19937 random(3);
  for (size_t buffer_size : {1u, 7u, 64u, 1000u}) {
    std::string model = Pattern(3000);
    TMemoryStream memory(model);
    TS_BufferStream stream(&memory, buffer_size);
    uint64_t pos = 0;
    for (int step = 0; step < 4000; ++step) {
      const int op = static_cast<int>(random() % 4);
      if (op == 0) {
        const size_t n = random() % 300;
        std::string got(n, '\0');
        got.resize(stream.Read(got.data(), n));
        const std::string want = pos < model.size() ? model.substr(pos, n) : std::string();
        ASSERT_EQ(got, want) << "step " << step;
        pos += want.size();
      } else if (op == 1) {
        const size_t n = random() % 300;
        std::string data(n, '\0');
        for (auto& c : data) c = static_cast<char>('A' + random() % 26);
        ASSERT_EQ(stream.Write(data.data(), n), n);
        if (model.size() < pos + n) model.resize(pos + n, '\0');
        model.replace(pos, n, data);
        pos += n;
      } else if (op == 2) {
        const int64_t target = static_cast<int64_t>(random() % (model.size() + 1));
        ASSERT_EQ(stream.Seek(target, soFromBeginning), static_cast<uint64_t>(target));
        pos = static_cast<uint64_t>(target);
      } else {
        ASSERT_EQ(stream.Position(), pos);
        ASSERT_EQ(stream.Size(), model.size());
      }
    }
    ASSERT_TRUE(stream.Finish());
    EXPECT_EQ(memory.Data(), model) << buffer_size;
  }
}

TEST(FileStream, OpenErrorsNameThePathAndTheCause) {
  test::Scratch dir;
  const std::string missing = dir / "missing.zip";
  try {
    TLFNFileStream stream(missing, TFileOpenMode::fmOpenRead);
    FAIL();
  } catch (const EHostError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open " + missing + ": " + std::strerror(ENOENT));
    EXPECT_EQ(e.ErrorNumber(), ENOENT);
  }
  // Sources must be regular files: a FIFO is never read (and opening it does
  // not block), nor is a folder.
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(TLFNFileStream(fifo, TFileOpenMode::fmOpenSource), ENotRegularFile);
  EXPECT_THROW(TLFNFileStream(dir.path(), TFileOpenMode::fmOpenSource), ENotRegularFile);
  // A path through a regular file.
  test::WriteBytes(dir / "plain", "x");
  EXPECT_THROW(TLFNFileStream(dir / "plain/inner", TFileOpenMode::fmCreate), EHostError);
}

TEST(FileStream, CreateWriteReopenAndStat) {
  test::Scratch dir;
  const std::string path = dir / "a.bin";
  test::WriteBytes(path, Pattern(5000));
  {
    TLFNFileStream out(path, TFileOpenMode::fmCreate);
    EXPECT_EQ(out.FileStat().st_size, 0);  // truncated
    out.WriteBuffer("hello", 5);
    EXPECT_TRUE(out.Close());
  }
  TLFNFileStream in(path, TFileOpenMode::fmOpenSource);
  EXPECT_EQ(in.FileStat().st_size, 5);
  EXPECT_TRUE(S_ISREG(in.FileStat().st_mode));
  EXPECT_EQ(ReadN(in, 10), "hello");

  // An adopted descriptor from mkstemp.
  std::string templ = dir / "QWXXXXXX";
  const int fd = ::mkstemp(templ.data());
  ASSERT_GE(fd, 0);
  {
    TLFNFileStream temp(fd, templ);
    temp.SyncOnClose = true;
    temp.WriteBuffer("temp", 4);
    EXPECT_TRUE(temp.Truncate(2));
    EXPECT_TRUE(temp.Finish());
  }
  EXPECT_EQ(test::ReadBytes(templ), "te");
}

TEST(FileStream, DiskFullIsVisibleToTheCaller) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TLFNFileStream full("/dev/full", TFileOpenMode::fmOpenReadWrite, 4096);
  const std::string data = Pattern(10000);
  EXPECT_LT(full.Write(data.data(), data.size()), data.size());
  EXPECT_EQ(full.LastError(), ENOSPC);
  EXPECT_THROW(ThrowShortWrite(full), ENotEnoughRoom);
}

// A stream put between the file and the buffer sees every byte.
class CountingStream : public TStream {
public:
  explicit CountingStream(std::unique_ptr<TStream> inner) : inner_(std::move(inner)) {}
  size_t Read(void* b, size_t n) override { return inner_->Read(b, n); }
  size_t Write(const void* b, size_t n) override {
    written += n;
    return inner_->Write(b, n);
  }
  uint64_t Seek(int64_t o, int origin) override { return inner_->Seek(o, origin); }
  uint64_t Size() override { return inner_->Size(); }
  size_t written = 0;

private:
  std::unique_ptr<TStream> inner_;
};

TEST(FileStream, WrapperSitsBetweenFileAndBuffer) {
  test::Scratch dir;
  CountingStream* counter = nullptr;
  TStreamWrapper wrap = [&](std::unique_ptr<TStream> file) {
    auto c = std::make_unique<CountingStream>(std::move(file));
    counter = c.get();
    return std::unique_ptr<TStream>(std::move(c));
  };
  TLFNFileStream out(dir / "w.bin", TFileOpenMode::fmCreate, 16, wrap);
  const std::string data = Pattern(40);
  for (size_t at = 0; at < data.size(); at += 5) out.WriteBuffer(data.data() + at, 5);
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(counter->written, 32u);  // two full buffers so far
  EXPECT_TRUE(out.Close());
  EXPECT_EQ(counter->written, 40u);
  EXPECT_EQ(test::ReadBytes(dir / "w.bin"), Pattern(40));
}

}  // namespace
}  // namespace tessel
