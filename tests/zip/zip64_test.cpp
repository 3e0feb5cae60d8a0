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

using enginetest::ListFolder;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::Shell;
using enginetest::WriteBytes;
using ::testing::ElementsAre;

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

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Python's zipfile reads the archive, tests every entry and finds `count`
// entries, the last one named `last`.
int PythonChecks(const std::string& archive, size_t count, const std::string& last) {
  return Shell(test::Python() + " -c \"import sys, zipfile\n"
               "z = zipfile.ZipFile(sys.argv[1])\n"
               "names = z.namelist()\n"
               "sys.exit(0 if z.testzip() is None and len(names) == int(sys.argv[2]) and names[-1] == sys.argv[3] else 1)\" " +
               Quoted(archive) + " " + std::to_string(count) + " " + Quoted(last));
}

// The entry count switches the end of the archive to the ZIP64 records at
// 65535 entries, as updates carry an archive across it, and such an archive
// is read back, rewritten unchanged, and protected like any other.
TEST_F(Zip64Test, EntryCountSwitchesAt65535AndTheArchiveLivesOn) {
  const std::string archive = dir / "many.zip";
  ASSERT_EQ(Shell(test::Python() + " -c \"import sys, zipfile\n"
                  "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                  "    for i in range(65533): z.writestr('f%05d' % i, b'%d' % i)\" " + Quoted(archive)),
            0);
  const std::string python_bytes = ReadBytes(archive);
  TZipWriter zip;
  zip.SetZipName(archive);

  // 65534 entries: the classic end record still holds them.
  Put("new1.txt", "one");
  ASSERT_EQ(Zip(zip, {dir / "new1.txt"}), 1);
  auto parsed = ParseFile(archive);
  EXPECT_FALSE(parsed.Zip64End);
  ASSERT_EQ(parsed.Entries.size(), 65534u);
  std::string bytes = ReadBytes(archive);
  EXPECT_EQ(enginetest::Le16(bytes, bytes.size() - 12), 65534);
  EXPECT_EQ(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos);

  // 65535: the ZIP64 end record and locator; every old entry kept, and the
  // whole archive read back before it is put in place.
  Put("new2.txt", "two");
  zip.Verify = true;
  ASSERT_EQ(Zip(zip, {dir / "new2.txt"}), 1);
  zip.Verify = false;
  parsed = ParseFile(archive);
  EXPECT_TRUE(parsed.Zip64End);
  ASSERT_EQ(parsed.Entries.size(), 65535u);
  EXPECT_EQ(parsed.Entries[65533].Name, "new1.txt");
  EXPECT_EQ(parsed.Entries[65534].Name, "new2.txt");
  EXPECT_EQ(parsed.Entries[1234].Data, "1234");
  bytes = ReadBytes(archive);
  EXPECT_EQ(enginetest::Le16(bytes, bytes.size() - 12), 0xFFFF);
  EXPECT_EQ(enginetest::Le16(bytes, bytes.size() - 14), 0xFFFF);
  // The entries themselves need nothing of ZIP64.
  EXPECT_EQ(parsed.Entries[65534].VersionNeeded, 20);
  EXPECT_EQ(PythonChecks(archive, 65535, "new2.txt"), 0);
  // Each entry's local header and data are those Python wrote.
  const size_t directory = python_bytes.find(std::string("PK\x01\x02", 4));
  EXPECT_TRUE(bytes.substr(0, directory) == python_bytes.substr(0, directory));

  // Read back by a fresh engine and rewritten unchanged.
  {
    TZipWriter again;
    again.SetZipName(archive);
    EXPECT_EQ(Zip(again, {}), 0);
    EXPECT_EQ(again.Count(), 65535);
    EXPECT_TRUE(ReadBytes(archive) == bytes);
  }

  // Replace and freshen work on it as on any archive.
  {
    TZipWriter replace;
    replace.ZipAction = zaReplace;
    replace.SetZipName(archive);
    EXPECT_EQ(Zip(replace, {dir / "new1.txt"}), 1);
    Put("new2.txt", "two, newer", enginetest::kFixedTime + 60);
    Put("outsider.txt", "not in the archive");
    TZipWriter freshen;
    freshen.ZipAction = zaFreshen;
    freshen.SetZipName(archive);
    EXPECT_EQ(Zip(freshen, {dir / "new2.txt", dir / "outsider.txt"}), 1);
    const auto fresh = ParseFile(archive);
    ASSERT_EQ(fresh.Entries.size(), 65535u);
    EXPECT_EQ(fresh.Find("new2.txt")->Data, "two, newer");
    EXPECT_EQ(fresh.Find("outsider.txt"), nullptr);
    bytes = ReadBytes(archive);
    ::unlink((dir / "outsider.txt").c_str());
  }

  // A cancel while a file is written leaves the archive as it was.
  Put("big.txt", enginetest::TextOf(400000));
  {
    TZipWriter cancelled;
    cancelled.SetZipName(archive);
    cancelled.OnStartZip = [](TZipWriter& w, const std::string&, TZipHeaderInfo&, bool&) { w.RequestCancel(); };
    EXPECT_THROW(Zip(cancelled, {dir / "big.txt"}), EUserCanceled);
    EXPECT_TRUE(ReadBytes(archive) == bytes);
  }

  // Damaged ZIP64 records: the update is refused and the archive untouched.
  const size_t locator = bytes.size() - 22 - 20;
  auto damaged = [&](size_t at, uint64_t value, int width) {
    std::string b = bytes;
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
    return b;
  };
  const std::string cases[] = {
      damaged(locator + 8, uint64_t{1} << 40, 8),                  // locator outside the file
      damaged(locator - 56 + 32, 65536, 8),                        // one volume, two counts
      damaged(bytes.size() - 22 + 10, 65534, 2),                   // classic count against ZIP64's
      damaged(locator - 56 + 48, bytes.size(), 8),                 // directory after the record
  };
  for (const std::string& bad : cases) {
    WriteBytes(archive, bad);
    TZipWriter refused;
    refused.SetZipName(archive);
    try {
      Zip(refused, {dir / "new1.txt"});
      ADD_FAILURE() << "a damaged ZIP64 archive was updated";
    } catch (const EBadZipFile& e) {
      EXPECT_STREQ(e.what(), "Это не Zip файл!");
    }
    EXPECT_TRUE(ReadBytes(archive) == bad);
  }
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("big.txt", "many.zip", "new1.txt", "new2.txt"));
}

}  // namespace
}  // namespace tessel
