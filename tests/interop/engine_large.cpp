// The engine's large cases (the "long" test group): files, entries and
// archives past 4 GiB and the switch to the ZIP64 records there, checked by
// other zip readers. Source files are sparse; archives whose data is zeros
// are written sparse too (SparseOutput), so that only the 4.5 GiB archive
// takes its room on disk, and only while its test runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::ReadBytes;
using enginetest::Scratch;
using enginetest::Shell;
using enginetest::WriteBytes;
using ::testing::ElementsAre;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

void MakeSparse(const std::string& path, uint64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  // A few bytes at the end, so that the data is not all zeros.
  ASSERT_EQ(::pwrite(fd, "tail", 4, static_cast<off_t>(size - 4)), 4);
  ::close(fd);
}

// A stream of `size_` bytes that holds none of them: positions only.
class PositionsOnly : public TStream {
public:
  uint64_t Seek(int64_t offset, int origin) override {
    if (origin == soFromBeginning) position_ = static_cast<uint64_t>(offset);
    if (origin == soFromCurrent) position_ += static_cast<uint64_t>(offset);
    if (origin == soFromEnd) position_ = size_ - static_cast<uint64_t>(offset);
    return position_;
  }
  uint64_t Size() override { return size_; }

protected:
  uint64_t position_ = 0;
  uint64_t size_ = 0;
};

// Takes every byte and keeps none: the positions of a multi-gigabyte
// archive without the disk space.
class NullSink : public PositionsOnly {
public:
  explicit NullSink(std::unique_ptr<TStream> inner) : inner_(std::move(inner)) {}
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void*, size_t count) override {
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
  }

private:
  std::unique_ptr<TStream> inner_;
};

// Writes through to the archive file, but a block of zeros only moves the
// position: the archive's holes stay holes.
class SparseOutput : public TStream {
public:
  explicit SparseOutput(std::unique_ptr<TStream> inner) : inner_(std::move(inner)) {}
  size_t Read(void* buffer, size_t count) override { return inner_->Read(buffer, count); }
  size_t Write(const void* buffer, size_t count) override {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0; })) {
      high_ = std::max(high_, inner_->Seek(static_cast<int64_t>(count), soFromCurrent));
      return count;
    }
    const size_t n = inner_->Write(buffer, count);
    high_ = std::max(high_, inner_->Seek(0, soFromCurrent));
    return n;
  }
  uint64_t Seek(int64_t offset, int origin) override { return inner_->Seek(offset, origin); }
  uint64_t Size() override { return std::max(high_, inner_->Size()); }
  int LastError() const override { return inner_->LastError(); }
  std::string Name() const override { return inner_->Name(); }

private:
  std::unique_ptr<TStream> inner_;
  uint64_t high_ = 0;
};

// A source file that grows while it is read: whatever its size at opening,
// it delivers `size` bytes, zeros ending in "tail".
class GrowingSource : public PositionsOnly {
public:
  GrowingSource(std::unique_ptr<TStream> inner, uint64_t size) : inner_(std::move(inner)) { size_ = size; }
  size_t Read(void* buffer, size_t count) override {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, size_ - position_));
    auto* out = static_cast<uint8_t*>(buffer);
    std::fill(out, out + n, 0);
    for (uint64_t p = std::max(position_, size_ - 4); p < position_ + n; ++p)
      out[p - position_] = static_cast<uint8_t>("tail"[p - (size_ - 4)]);
    position_ += n;
    return n;
  }
  size_t Write(const void*, size_t) override { return 0; }

private:
  std::unique_ptr<TStream> inner_;
};

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Python's zipfile: the entries' names and sizes as "name:size:compressed"
// separated by spaces; `read` names entries whose data is read and compared
// with the file of that name in `folder`.
std::string PythonListing(const std::string& archive, const std::string& folder = "",
                          const std::string& read = "") {
  std::string text = test::ShellOutput("python3 -c \"import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "for n in filter(None, sys.argv[3].split(',')):\n"
        "    assert z.read(n) == open(sys.argv[2] + '/' + n, 'rb').read(), n\n"
        "print(' '.join('%s:%d:%d' % (i.filename, i.file_size, i.compress_size) for i in z.infolist()))\" " +
        Quote(archive) + " " + Quote(folder) + " " + Quote(read) + " 2>&1").Output;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The first `count` bytes of a file.
std::string Head(const std::string& path, size_t count) {
  std::string bytes(count, '\0');
  const int fd = ::open(path.c_str(), O_RDONLY);
  const ssize_t n = fd < 0 ? -1 : ::pread(fd, bytes.data(), count, 0);
  if (fd >= 0) ::close(fd);
  bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return bytes;
}

class LargeTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* tool : {"unzip", "7z", "bsdtar", "python3"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << "no " << tool;
  }
  std::vector<std::string> skipped;
  Scratch dir;
  void Record(TZipWriter& zip) {
    zip.OnSkippingFile = [this](TZipWriter&, TSkipReason r, const std::string& name, int32_t, bool&,
                                const std::string& text) {
      skipped.push_back(std::to_string(static_cast<int>(r)) + " " + name.substr(dir.path().size() + 1) +
                        ": " + text);
    };
  }
  static TStreamWrapper Sparse() {
    return [](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      return std::make_unique<SparseOutput>(std::move(inner));
    };
  }
  // unzip, 7z and bsdtar test or list the archive.
  void AllToolsAccept(const std::string& archive, bool unzip_test = true) {
    const std::string a = Quote(archive);
    EXPECT_EQ(Shell(std::string(unzip_test ? "unzip -tq " : "unzip -l ") + a + " > /dev/null"), 0) << "unzip";
    EXPECT_EQ(Shell("7z t " + a + " > /dev/null"), 0) << "7z t";
    EXPECT_EQ(Shell("bsdtar -tf " + a + " > /dev/null"), 0) << "bsdtar -tf";
  }
};

TEST_F(LargeTest, SeventyThousandFilesInOneArchive) {
  constexpr int kFiles = 70000;
  ::mkdir((dir / "tree").c_str(), 0755);
  for (int i = 0; i < kFiles; ++i) {
    const std::string folder = dir / ("tree/d" + std::to_string(i / 1000));
    if (i % 1000 == 0) ::mkdir(folder.c_str(), 0755);
    enginetest::WriteBytes(folder + "/f" + std::to_string(i) + ".txt", "file " + std::to_string(i) + "\n");
  }
  TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(dir / "tree");
  zip.SetZipName(dir / "many.zip");
  zip.FilesList() = {dir / "tree/*.*"};
  EXPECT_EQ(zip.ZipFiles(), kFiles);
  const std::string archive = dir / "many.zip";
  AllToolsAccept(archive);
  EXPECT_EQ(Shell("test $(bsdtar -tf " + Quote(archive) + " | wc -l) -eq " + std::to_string(kFiles)), 0);
  EXPECT_EQ(Shell("python3 -c \"import sys, zipfile\n"
                  "z = zipfile.ZipFile(sys.argv[1])\n"
                  "assert z.testzip() is None and len(z.infolist()) == 70000\n"
                  "for i in z.infolist(): assert z.read(i) == open(sys.argv[2] + '/' + i.filename, 'rb').read()\" " +
                  Quote(archive) + " " + Quote(dir / "tree")),
            0);
  ASSERT_EQ(Shell("unzip -q " + Quote(archive) + " -d " + Quote(dir / "out") + " && diff -r " +
                  Quote(dir / "tree") + " " + Quote(dir / "out")),
            0);
  // Read back and updated with one more file.
  enginetest::WriteBytes(dir / "tree/last.txt", "last");
  zip.FilesList() = {dir / "tree/last.txt"};
  EXPECT_EQ(zip.ZipFiles(), 1);
  EXPECT_EQ(zip.Count(), kFiles + 1);
  EXPECT_EQ(Shell("unzip -tq " + Quote(archive) + " > /dev/null"), 0);
}

TEST_F(LargeTest, SparseFileOf5GiBAtLevel1) {
  MakeSparse(dir / "big.img", 5 * k4GiB / 4);
  enginetest::WriteBytes(dir / "small.txt", "small");
  TZipWriter zip;
  zip.PackLevel = 1;
  zip.SetZipName(dir / "out.zip");
  Record(zip);
  zip.FilesList() = {dir / "*.*"};
  EXPECT_EQ(zip.ZipFiles(), 2);
  EXPECT_TRUE(skipped.empty());
  const std::string archive = dir / "out.zip";
  const std::string listing = PythonListing(archive, dir.path(), "small.txt");
  EXPECT_THAT(listing, ::testing::StartsWith("big.img:5368709120:"));
  EXPECT_THAT(listing, ::testing::EndsWith(" small.txt:5:5"));
  // The local header of the big entry carries both sizes in its ZIP64 field.
  const std::string head = Head(archive, 30 + 7 + 20);
  EXPECT_EQ(enginetest::Le16(head, 4), 45);
  EXPECT_EQ(enginetest::Le32(head, 22), 0xFFFFFFFFu);
  EXPECT_EQ(enginetest::Le64(head, 30 + 7 + 4), 5 * k4GiB / 4);
  AllToolsAccept(archive);
  ASSERT_EQ(Shell("cd " + Quote(dir.path()) + " && mkdir x && unzip -q out.zip small.txt -d x && cmp x/small.txt small.txt"), 0);
}

// A stored file of 4.5 GiB and small files behind it, whose local headers lie
// past 4 GiB; then updated: one file replaced, one added. The archive is
// real data on disk, removed at the end.
TEST_F(LargeTest, StoredFileOf4AndAHalfGiBThenUpdated) {
  if (Shell("test $(df --output=avail -B1 " + dir.path() + " | tail -1) -gt 12000000000") != 0)
    GTEST_SKIP() << "needs 12 GB free";
  MakeSparse(dir / "a.img", 9 * k4GiB / 8);
  enginetest::WriteBytes(dir / "b.txt", "bravo");
  enginetest::WriteBytes(dir / "c.txt", "charlie");
  enginetest::SetMTime(dir / "b.txt", 1700000000);
  const std::string archive = dir / "big.zip";
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.SetZipName(archive);
  zip.FilesList() = {dir / "a.img", dir / "b.txt", dir / "c.txt"};
  EXPECT_EQ(zip.ZipFiles(), 3);
  EXPECT_EQ(PythonListing(archive, dir.path(), "b.txt,c.txt"),
            "a.img:4831838208:4831838208 b.txt:5:5 c.txt:7:7");
  AllToolsAccept(archive);
  const uint64_t offset_c = zip.Entry(2).RelativeOffset;
  EXPECT_GT(offset_c, k4GiB);

  enginetest::WriteBytes(dir / "b.txt", "bravo, newer");
  enginetest::SetMTime(dir / "b.txt", 1700000100);
  enginetest::WriteBytes(dir / "d.txt", "delta");
  TZipWriter update;
  update.SetZipName(archive);
  update.FilesList() = {dir / "b.txt", dir / "d.txt"};
  EXPECT_EQ(update.ZipFiles(), 2);
  EXPECT_EQ(PythonListing(archive, dir.path(), "b.txt,c.txt,d.txt"),
            "a.img:4831838208:4831838208 b.txt:12:12 c.txt:7:7 d.txt:5:5");
  AllToolsAccept(archive);
  ASSERT_EQ(Shell("cd " + Quote(dir.path()) + " && mkdir x && unzip -q big.zip c.txt d.txt -d x && cmp x/c.txt c.txt && cmp x/d.txt d.txt"), 0);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.img", "b.txt", "big.zip", "c.txt", "d.txt", "x"));
  ::unlink(archive.c_str());
}

// A file that grows past 4 GiB while it is read, behind a local header
// written without a ZIP64 field: the entry is written again with one, and
// the progress counts its bytes once.
TEST_F(LargeTest, EntryThatOutgrowsItsHeaderIsWrittenAgain) {
  enginetest::WriteBytes(dir / "grow.bin", std::string(1000, 'g'));
  enginetest::WriteBytes(dir / "z.txt", "after");
  const uint64_t grown = k4GiB + (1 << 20);
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.Verify = true;  // the entry is read back with its local ZIP64 field
  zip.SetZipName(dir / "out.zip");
  zip.OutputStreamWrapper = Sparse();
  zip.SourceStreamWrapper = [grown](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
    if (inner->Name().find("grow.bin") == std::string::npos) return inner;
    return std::make_unique<GrowingSource>(std::move(inner), grown);
  };
  int percent = 0;
  zip.OnTotalPercentDone = [&](TZipWriter&, int p) { percent = p; };
  zip.FilesList() = {dir / "grow.bin", dir / "z.txt"};
  EXPECT_EQ(zip.ZipFiles(), 2);
  EXPECT_EQ(zip.BytesDone(), static_cast<int64_t>(grown + 5));
  EXPECT_EQ(percent, 100);
  const std::string archive = dir / "out.zip";
  EXPECT_EQ(PythonListing(archive, dir.path(), "z.txt"), "grow.bin:4296015872:4296015872 z.txt:5:5");
  const std::string head = Head(archive, 30 + 8 + 20);
  EXPECT_EQ(enginetest::Le16(head, 28), 20);
  EXPECT_EQ(enginetest::Le64(head, 30 + 8 + 4), grown);
  EXPECT_EQ(Shell("7z t " + Quote(archive) + " > /dev/null"), 0);
  EXPECT_EQ(Shell("unzip -l " + Quote(archive) + " > /dev/null"), 0);
}

// On one thread and on two, a file within 64 MiB of 4 GiB at opening gets
// the ZIP64 field in its local header before its data, and one that
// outgrows a header without it is made again with it: the archives are the
// same to the byte.
TEST_F(LargeTest, LargeEntriesAreTheSameOnOneAndTwoThreads) {
  MakeSparse(dir / "a_near.img", k4GiB - (32 << 20));
  enginetest::WriteBytes(dir / "b_grow.bin", std::string(1000, 'g'));
  enginetest::WriteBytes(dir / "c_small.txt", "small");
  const uint64_t grown = k4GiB + (1 << 20);
  std::string archives[2];
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    const std::string archive = dir / ("out" + std::to_string(threads) + ".zip");
    TZipWriter zip;
    zip.PackLevel = 1;
    zip.Threads = threads;
    zip.SetZipName(archive);
    zip.SourceStreamWrapper = [grown](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
      if (inner->Name().find("b_grow.bin") == std::string::npos) return inner;
      return std::make_unique<GrowingSource>(std::move(inner), grown);
    };
    zip.FilesList() = {dir / "a_near.img", dir / "b_grow.bin", dir / "c_small.txt"};
    EXPECT_EQ(zip.ZipFiles(), 3);
    archives[threads - 1] = ReadBytes(archive);
    const std::string listing = PythonListing(archive, dir.path(), "c_small.txt");
    EXPECT_THAT(listing, ::testing::StartsWith("a_near.img:4261412864:"));
    EXPECT_THAT(listing, ::testing::HasSubstr(" b_grow.bin:4296015872:"));
    EXPECT_THAT(listing, ::testing::EndsWith(" c_small.txt:5:5"));
  }
  EXPECT_TRUE(archives[0] == archives[1]);
  // Both large entries' local headers carry the field (version 45).
  const std::string& bytes = archives[0];
  EXPECT_EQ(enginetest::Le16(bytes, 4), 45);
  const size_t second = bytes.find(std::string("PK\x03\x04", 4), 30);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(enginetest::Le16(bytes, second + 4), 45);
}

// The central directory starting at 0xFFFFFFFE keeps the classic end record;
// at 0xFFFFFFFF it takes the ZIP64 end record. A file this close to 4 GiB
// gets a ZIP64 field in its local header before its data is written.
TEST_F(LargeTest, CentralDirectoryOffsetSwitchesAt0xFFFFFFFF) {
  const uint64_t header = 30 + 8 + 20;  // "edge.img" with the ZIP64 field
  for (uint64_t offset : {uint64_t{0xFFFFFFFE}, uint64_t{0xFFFFFFFF}}) {
    SCOPED_TRACE(offset);
    MakeSparse(dir / "edge.img", offset - header);
    const std::string archive = dir / "edge.zip";
    ::unlink(archive.c_str());
    TZipWriter zip;
    zip.PackLevel = 0;
    zip.Verify = true;  // the end records are read back on either side of the edge
    zip.SetZipName(archive);
    zip.OutputStreamWrapper = Sparse();
    zip.FilesList() = {dir / "edge.img"};
    EXPECT_EQ(zip.ZipFiles(), 1);
    const std::string head = Head(archive, header);
    EXPECT_EQ(enginetest::Le16(head, 28), 20);
    EXPECT_EQ(enginetest::Le64(head, 30 + 8 + 4), offset - header);
    struct stat st {};
    ::stat(archive.c_str(), &st);
    const bool zip64 = offset == 0xFFFFFFFF;
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), offset + 46 + 8 + 22 + (zip64 ? 56 + 20 : 0));
    EXPECT_EQ(PythonListing(archive), "edge.img:" + std::to_string(offset - header) + ":" +
                                          std::to_string(offset - header));
    EXPECT_EQ(Shell("unzip -l " + Quote(archive) + " > /dev/null"), 0);
    EXPECT_EQ(Shell("bsdtar -tf " + Quote(archive) + " > /dev/null"), 0);
    ::unlink(archive.c_str());
  }
}

// A failure far into a ZIP64 archive leaves the old archive as it was.
TEST_F(LargeTest, AFailurePast4GiBLeavesTheOldArchive) {
  enginetest::WriteBytes(dir / "small.txt", "small");
  {
    TZipWriter maker;
    maker.SetZipName(dir / "out.zip");
    maker.FilesList() = {dir / "small.txt"};
    maker.ZipFiles();
  }
  const std::string before = ReadBytes(dir / "out.zip");
  MakeSparse(dir / "a.img", k4GiB / 2 + 100000000);
  MakeSparse(dir / "b.img", k4GiB / 2 + 100000000);
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.SetZipName(dir / "out.zip");
  zip.OutputStreamWrapper = [](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
    return std::make_unique<enginetest::FailingStream>(std::make_unique<NullSink>(std::move(inner)),
                                                       int64_t{k4GiB} + 150000000, -1);
  };
  zip.FilesList() = {dir / "*.img"};
  EXPECT_THROW(zip.ZipFiles(), ENotEnoughRoom);
  EXPECT_TRUE(ReadBytes(dir / "out.zip") == before);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.img", "b.img", "out.zip", "small.txt"));
}

}  // namespace
}  // namespace tessel
