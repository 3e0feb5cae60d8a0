// Reading archives back: one entry's data against its CRC-32 and sizes, and
// whole archives (the engine's own, other writers' with data descriptors and
// ZIP64 fields) record by record, with the fault each kind of damage gives.
#include <zlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zip/archive_check.h"
#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::Le32;
using enginetest::ParseArchive;
using enginetest::ReadBytes;
using enginetest::TextOf;
using enginetest::WriteBytes;
using ::testing::HasSubstr;

std::string RawDeflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

uint32_t CrcOf(const std::string& data) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// The check's verdict on `data` given as the entry's data, fed whole and
// again one byte at a time (the two must agree).
std::string Verdict(TEntryCheck& check, const TZipHeaderInfo& entry, const std::string& data) {
  std::string whole, bytewise;
  for (const bool one_by_one : {false, true}) {
    if (!check.Begin(entry)) return "unchecked";
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    if (one_by_one) {
      for (size_t i = 0; i < data.size(); ++i) check.Feed(p + i, 1);
    } else {
      check.Feed(p, data.size());
    }
    (one_by_one ? bytewise : whole) = check.Finish();
  }
  EXPECT_EQ(whole, bytewise);
  return whole;
}

TEST(EntryCheck, DataAgainstItsCrcAndSizes) {
  const std::string text = TextOf(300000);
  const std::string deflated = RawDeflate(text);
  std::string flipped = deflated;
  flipped[deflated.size() / 2] ^= 0x40;
  struct Case {
    const char* what;
    uint16_t method;
    std::string data;
    int64_t size_change;
    uint32_t crc_change;
    std::string verdict;
  };
  const std::vector<Case> cases = {
      {"deflated", 8, deflated, 0, 0, ""},
      {"stored", 0, text, 0, 0, ""},
      {"a byte changed", 8, flipped, 0, 0, "?"},
      {"cut short", 8, deflated.substr(0, deflated.size() - 40), 0, 0, kReasonTruncatedData},
      {"bytes behind the stream", 8, deflated + "xyz", 0, 0, kReasonTrailingData},
      {"wrong CRC", 8, deflated, 0, 1, kReasonCrcMismatch},
      {"one byte more than the size", 8, deflated, -1, 0, kReasonSizeMismatch},
      {"one byte less than the size", 8, deflated, 1, 0, kReasonSizeMismatch},
      {"stored, wrong CRC", 0, text, 0, 1, kReasonCrcMismatch},
      {"stored, sizes differ", 0, text, 1, 0, kReasonStoredSizes},
      {"a method it cannot read", 12, "anything", 0, 0, "unchecked"},
  };
  TEntryCheck check;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TZipHeaderInfo entry;
    entry.CompressionMethod = c.method;
    entry.CompressedSize = c.data.size();
    entry.UncompressedSize = static_cast<uint64_t>(static_cast<int64_t>(text.size()) + c.size_change);
    entry.Crc32 = CrcOf(text) + c.crc_change;
    const std::string verdict = Verdict(check, entry, c.data);
    if (c.verdict == "?") {
      EXPECT_FALSE(verdict.empty());
    } else {
      EXPECT_EQ(verdict, c.verdict);
    }
  }
  // An encrypted entry is taken as it is.
  TZipHeaderInfo encrypted;
  encrypted.GeneralPurposeFlags = kFlagEncrypted;
  EXPECT_EQ(Verdict(check, encrypted, "12 bytes of x"), "unchecked");
}

TEST(EntryCheck, DataThatInflatesFarPastItsSizeStopsEarly) {
  // 64 MiB of zeros deflate to a few kilobytes; an entry that claims 10
  // bytes is stopped at the first output buffer, not inflated whole.
  const std::string bomb = RawDeflate(std::string(size_t{64} << 20, '\0'));
  TZipHeaderInfo entry;
  entry.CompressedSize = bomb.size();
  entry.UncompressedSize = 10;
  TEntryCheck check;
  ASSERT_TRUE(check.Begin(entry));
  check.Feed(reinterpret_cast<const uint8_t*>(bomb.data()), bomb.size());
  EXPECT_EQ(check.Finish(), kReasonSizeMismatch);
}

class VerifyTest : public enginetest::EngineFixture {
protected:
  // The check's message for the archive file, "" when it passes.
  std::string Check(const std::string& path,
                    const std::vector<std::unique_ptr<TZipHeaderInfo>>* expected = nullptr, unsigned threads = 1) {
    TEntryCheck check;
    progress.clear();
    try {
      VerifyArchive(
          path, "archive", expected, check,
          [this](uint64_t done, uint64_t total) { progress.emplace_back(done, total); }, threads);
    } catch (const EVerifyFailed& e) {
      return e.what();
    }
    return "";
  }
  // An archive of the engine: stored, deflated, an empty file and a folder.
  std::string MakeArchive() {
    Put("d/a.txt", TextOf(200000));
    Put("d/b.bin", enginetest::NoiseOf(3000));
    Put("d/empty", "");
    TZipWriter zip;
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir.path());
    zip.AddDirEntriesOnRecurse = true;
    zip.NoCompressList = {"*.bin"};
    zip.SetZipName(Archive());
    Zip(zip, {dir / "*.*"});
    return ReadBytes(Archive());
  }

  std::vector<std::pair<uint64_t, uint64_t>> progress;
};

TEST_F(VerifyTest, SoundArchivesPass) {
  MakeArchive();
  EXPECT_EQ(Check(Archive()), "");
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.front().first, 0u);
  EXPECT_EQ(progress.back().first, progress.back().second);

  // Another writer's archive: data descriptors after the data (the output
  // could not seek) and local ZIP64 fields.
  const std::string other = dir / "other.zip";
  ASSERT_EQ(enginetest::WriteStreamedArchive(other, "zipfile.ZIP_DEFLATED",
                                             "with z.open('big.txt', 'w', force_zip64=True) as e: e.write(b'data ' * 50000)\n"
                                             "z.writestr('small.txt', b'small')"),
            0);
  const std::string other_bytes = ReadBytes(other);
  ASSERT_NE(enginetest::Le16(other_bytes, 6) & 8, 0) << "no data descriptor";
  EXPECT_EQ(Check(other), "");
}

TEST_F(VerifyTest, EachKindOfDamageIsNamed) {
  const std::string bytes = MakeArchive();
  const auto parsed = ParseArchive(bytes);
  const auto& a = *parsed.Find("d/a.txt");
  const size_t a_data = a.Offset + 30 + a.Name.size();
  const size_t directory = bytes.find(std::string("PK\x01\x02", 4));
  const size_t a_central = bytes.find("d/a.txt", directory) - 46;
  const size_t end = bytes.size() - 22;
  struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    std::string message;
  };
  auto set32 = [](std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
  };
  const std::vector<Damage> damages = {
      {"a byte of deflated data", [&](std::string& b) { b[a_data + 100] ^= 0x10; }, "d/a.txt: "},
      {"the central CRC", [&](std::string& b) { b[a_central + 16] ^= 1; }, "d/a.txt: " + std::string(kReasonLocalDiffers)},
      {"the local name", [&](std::string& b) { b[a.Offset + 30] = 'X'; }, "d/a.txt: " + std::string(kReasonLocalDiffers)},
      {"the local signature", [&](std::string& b) { b[a.Offset] = 'X'; }, "d/a.txt: " + std::string(kReasonBadLocalHeader)},
      {"bytes after the end record", [](std::string& b) { b += "junk"; }, kReasonBytesAfterEnd},
      {"a gap before the directory",
       [&](std::string& b) {
         b.insert(directory, "gap!");
         set32(b, end + 4 + 16, static_cast<uint32_t>(directory + 4));
       },
       kReasonNotContiguous},
      {"the directory size", [&](std::string& b) { set32(b, end + 12, Le32(b, end + 12) - 1); },
       kReasonDirectoryPlace},
      {"a central signature", [&](std::string& b) { b[directory] = 'X'; }, kReasonBadCentralHeader},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::string damaged = bytes;
    d.apply(damaged);
    WriteBytes(Archive(), damaged);
    const std::string message = Check(Archive());
    EXPECT_THAT(message, HasSubstr(kMsgVerifyFailed));
    EXPECT_THAT(message, HasSubstr(d.message));
    EXPECT_EQ(Check(Archive(), nullptr, 3), message);
  }
}

// Many entries checked on several threads: the fault reported is the one a
// check from front to back meets first, a damaged record behind damaged data
// included; the check of old entries names every damaged one; a stop ends
// every thread.
TEST_F(VerifyTest, SeveralThreadsReportTheFirstFaultAndHearAStop) {
  // About 8 MiB that deflate cannot shrink: several runs of entries.
  for (unsigned i = 0; i < 60; ++i) Put("m/f" + std::to_string(100 + i) + ".txt", enginetest::NoiseOf(100000 + 1000 * i, i));
  TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(dir.path());
  zip.SetZipName(Archive());
  Zip(zip, {dir / "m/*.*"});
  const std::string bytes = ReadBytes(Archive());
  const auto parsed = ParseArchive(bytes);
  auto data_of = [&](const std::string& name) {
    const auto& entry = *parsed.Find(name);
    return entry.Offset + 30 + entry.Name.size();
  };
  for (const unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    EXPECT_EQ(Check(Archive(), nullptr, threads), "");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().first, progress.back().second);

    std::string damaged = bytes;
    damaged[data_of("m/f150.txt") + 500] ^= 0x20;
    damaged[data_of("m/f120.txt") + 500] ^= 0x20;
    WriteBytes(Archive(), damaged);
    EXPECT_THAT(Check(Archive(), nullptr, threads), HasSubstr("m/f120.txt: "));

    // A record spoilt behind damaged data: the data come first.
    damaged = bytes;
    damaged[data_of("m/f110.txt") + 500] ^= 0x20;
    damaged[parsed.Find("m/f140.txt")->Offset] = 'X';
    WriteBytes(Archive(), damaged);
    EXPECT_THAT(Check(Archive(), nullptr, threads), HasSubstr("m/f110.txt: "));

    // Old entries checked before they are carried over: every damaged one
    // is named, a header that is not where its entry says included.
    damaged = bytes;
    damaged[data_of("m/f150.txt") + 500] ^= 0x20;
    damaged[data_of("m/f120.txt") + 500] ^= 0x20;
    damaged[parsed.Find("m/f140.txt")->Offset] = 'X';
    WriteBytes(Archive(), damaged);
    TZipReader reader;
    reader.SetZipName(Archive());
    reader.ReadDirectory();
    std::vector<const TZipHeaderInfo*> old;
    for (int32_t i = 0; i < reader.Count(); ++i) old.push_back(&reader.Entry(i));
    const std::vector<std::string> reasons = CheckEntryData(Archive(), old, threads, {});
    ASSERT_EQ(reasons.size(), old.size());
    for (size_t i = 0; i < old.size(); ++i) {
      const std::string name = old[i]->FullName();
      if (name == "m/f120.txt" || name == "m/f150.txt") {
        EXPECT_EQ(reasons[i], kReasonCrcMismatch) << name;
      } else if (name == "m/f140.txt") {
        EXPECT_EQ(reasons[i], kReasonBadLocalHeader);
      } else {
        EXPECT_EQ(reasons[i], "") << name;
      }
    }

    WriteBytes(Archive(), bytes);
    TEntryCheck check;
    struct Stop {};
    EXPECT_THROW(VerifyArchive(
                     Archive(), "archive", nullptr, check,
                     [&](uint64_t done, uint64_t) {
                       if (done > 0) throw Stop{};
                     },
                     threads),
                 Stop);
  }
}

TEST_F(VerifyTest, TheDirectoryMustHoldWhatWasWritten) {
  MakeArchive();
  TZipReader reader;
  reader.SetZipName(Archive());
  reader.ReadDirectory();
  std::vector<std::unique_ptr<TZipHeaderInfo>> written;
  for (int32_t i = 0; i < reader.Count(); ++i) written.push_back(std::make_unique<TZipHeaderInfo>(reader.Entry(i)));
  EXPECT_EQ(Check(Archive(), &written), "");
  written[1]->Crc32 ^= 1;
  EXPECT_THAT(Check(Archive(), &written), HasSubstr(kReasonUnexpectedEntry));
  written.pop_back();
  EXPECT_THAT(Check(Archive(), &written), HasSubstr(kReasonEntryCount));
}

TEST_F(VerifyTest, DataDescriptorsMustAgree) {
  const std::string other = dir / "other.zip";
  ASSERT_EQ(enginetest::WriteStreamedArchive(other, "zipfile.ZIP_STORED",
                                             "z.writestr('one.txt', b'first entry')\n"
                                             "z.writestr('two.txt', b'second')"),
            0);
  std::string bytes = ReadBytes(other);
  // The descriptor of one.txt follows its data: signature, CRC, sizes.
  const size_t descriptor = bytes.find(std::string("PK\x07\x08", 4));
  ASSERT_NE(descriptor, std::string::npos);
  bytes[descriptor + 8] ^= 1;  // its compressed size
  WriteBytes(other, bytes);
  EXPECT_THAT(Check(other), HasSubstr("one.txt: " + std::string(kReasonBadDescriptor)));
}

}  // namespace
}  // namespace tessel
