// The engine's large cases (the "long" test group): files and archives at
// the 4 GiB limit of the archive's 32-bit fields. The files are sparse, so
// they take no room on disk.
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
using enginetest::Scratch;
using enginetest::Shell;
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

// Takes every byte and keeps none: the positions of a multi-gigabyte
// archive without the disk space.
class NullSink : public TStream {
public:
  explicit NullSink(std::unique_ptr<TStream> inner) : inner_(std::move(inner)) {}
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void*, size_t count) override {
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
  }
  uint64_t Seek(int64_t offset, int origin) override {
    if (origin == soFromBeginning) position_ = static_cast<uint64_t>(offset);
    if (origin == soFromCurrent) position_ += static_cast<uint64_t>(offset);
    if (origin == soFromEnd) position_ = size_ - static_cast<uint64_t>(offset);
    return position_;
  }
  uint64_t Size() override { return size_; }

private:
  std::unique_ptr<TStream> inner_;
  uint64_t position_ = 0;
  uint64_t size_ = 0;
};

class LargeTest : public ::testing::Test {
protected:
  std::vector<std::string> skipped;
  Scratch dir;
  void Record(TZipWriter& zip) {
    zip.OnSkippingFile = [this](TZipWriter&, TSkipReason r, const std::string& name, int32_t, bool&,
                                const std::string& text) {
      skipped.push_back(std::to_string(static_cast<int>(r)) + " " + name.substr(dir.path().size() + 1) +
                        ": " + text);
    };
  }
};

TEST_F(LargeTest, FileOf4GiBIsLeftOutAndReported) {
  MakeSparse(dir / "huge.img", k4GiB);
  enginetest::WriteBytes(dir / "small.txt", "small");
  TZipWriter zip;
  zip.PackLevel = 1;
  zip.SetZipName(dir / "out.zip");
  Record(zip);
  zip.FilesList() = {dir / "*.*"};
  EXPECT_EQ(zip.ZipFiles(), 1);
  EXPECT_THAT(skipped, ElementsAre("4 huge.img: File too large (4 GiB or more)"));
  EXPECT_EQ(zip.TotalBytes(), 5);
  EXPECT_THAT(enginetest::NamesOf(enginetest::ParseFile(dir / "out.zip")), ElementsAre("small.txt"));
}

TEST_F(LargeTest, ArchivePassing4GiBEndsTheRunAndKeepsTheOldArchive) {
  enginetest::WriteBytes(dir / "small.txt", "small");
  {
    TZipWriter maker;
    maker.SetZipName(dir / "out.zip");
    maker.FilesList() = {dir / "small.txt"};
    maker.ZipFiles();
  }
  const std::string before = enginetest::ReadBytes(dir / "out.zip");
  MakeSparse(dir / "a.img", k4GiB / 2 + 100000000);
  MakeSparse(dir / "b.img", k4GiB / 2 + 100000000);
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.SetZipName(dir / "out.zip");
  zip.OutputStreamWrapper = [](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
    return std::make_unique<NullSink>(std::move(inner));
  };
  zip.FilesList() = {dir / "*.img"};
  try {
    zip.ZipFiles();
    FAIL() << "an archive past 4 GiB was accepted";
  } catch (const EArchiveTooLarge& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("4 ГБ"));
  }
  EXPECT_EQ(enginetest::ReadBytes(dir / "out.zip"), before);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.img", "b.img", "out.zip", "small.txt"));
}

TEST_F(LargeTest, ArchiveJustBelow4GiBIsSound) {
  if (Shell("test $(df --output=avail -B1 " + dir.path() + " | tail -1) -gt 6000000000") != 0)
    GTEST_SKIP() << "needs 6 GB free";
  // Entry header 30 + 8, central 46 + 8, end record 22.
  const uint64_t size = k4GiB - 1 - (30 + 8) - (46 + 8) - 22;
  MakeSparse(dir / "edge.img", size);
  TZipWriter zip;
  zip.PackLevel = 0;
  zip.SetZipName(dir / "edge.zip");
  zip.FilesList() = {dir / "edge.img"};
  EXPECT_EQ(zip.ZipFiles(), 1);
  struct stat st {};
  ::stat((dir / "edge.zip").c_str(), &st);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), k4GiB - 1);
  EXPECT_EQ(Shell("unzip -tq '" + dir.path() + "/edge.zip' > /dev/null"), 0);
  EXPECT_EQ(Shell("python3 -c \"import zipfile,sys; i=zipfile.ZipFile(sys.argv[1]).infolist()[0]; "
                  "sys.exit(0 if i.file_size == " + std::to_string(size) + " and i.compress_size == i.file_size else 1)\" '" +
                  dir.path() + "/edge.zip'"),
            0);
  ::unlink((dir / "edge.zip").c_str());
}

}  // namespace
}  // namespace tessel
