// Large archives: the switch to the ZIP64 records at exactly the classic
// limits, archives within those limits unchanged, and updates of archives
// that use the ZIP64 records.
#include <sys/stat.h>
#include <zlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ReadBytes;

class Zip64Test : public enginetest::EngineFixture {};

uint32_t CrcOf(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// An archive within the classic limits is, to the byte, what the engine wrote
// before it knew the ZIP64 records: a folder entry, small files, and one large
// enough to be written behind a provisional header. Stored, so that the
// figure does not depend on the compressor's choices.
TEST_F(Zip64Test, ClassicArchiveIsUnchanged) {
  Put("a.txt", enginetest::TextOf(5000));
  Put("sub/b.bin", enginetest::NoiseOf(300000));
  Put("sub/c.jpg", "not compressed");
  ::chmod((dir / "a.txt").c_str(), 0644);
  ::chmod((dir / "sub/b.bin").c_str(), 0600);
  ::chmod((dir / "sub/c.jpg").c_str(), 0644);
  ::chmod((dir / "sub").c_str(), 0755);
  enginetest::SetMTime(dir / "sub", enginetest::kFixedTime);
  TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(dir.path());
  zip.AddDirEntriesOnRecurse = true;
  zip.PackLevel = 0;
  zip.SetZipName(dir / "out.zip");
  ASSERT_EQ(Zip(zip, {dir / "*.*"}), 4);
  const std::string bytes = ReadBytes(dir / "out.zip");
  EXPECT_EQ(bytes.size(), 305394u);
  EXPECT_EQ(CrcOf(bytes), 0xEE4A94E5u);
}

}  // namespace
}  // namespace tessel
