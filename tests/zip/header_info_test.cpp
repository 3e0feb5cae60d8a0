#include "zip/header_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "zip/format_test_util.h"

namespace tessel {
namespace {

using test::FromHex;
using test::ToHex;

TZipHeaderInfo SampleEntry() {
  TZipHeaderInfo e;
  e.VersionMadeBy = kVersionMadeByUnix;
  e.LastModDateTime = 0x58A16B2F;
  e.Crc32 = 0xCBF43926;
  e.CompressedSize = 7;
  e.UncompressedSize = 9;
  e.ExternalAttributes = 0x81A40020;
  e.SetDirectory("dir");
  e.SetFilename("a.txt");
  return e;
}

TEST(HeaderInfo, ClearDefaults) {
  TZipHeaderInfo e;
  EXPECT_EQ(e.VersionMadeBy, 20);
  EXPECT_EQ(e.VersionNeeded, 20);
  EXPECT_EQ(e.CompressionMethod, 8);
  EXPECT_EQ(e.Crc32, 0xFFFFFFFFu);
  EXPECT_EQ(e.InternalAttributes, 1);
  EXPECT_EQ(e.ExternalAttributes, 0x20u);
  EXPECT_FALSE(e.HasComment());
  EXPECT_EQ(e.FullName(), "");
}

TEST(HeaderInfo, LocalCentralAndEndRecordsByteForByte) {
  TZipHeaderInfo e = SampleEntry();
  EXPECT_EQ(e.Directory(), "dir/");
  EXPECT_EQ(e.FilenameLength, 9);
  TMemoryStream out;
  out.Write("xyz", 3);
  e.SaveLocal(out);
  EXPECT_EQ(e.RelativeOffset, 3u);
  EXPECT_EQ(ToHex(out.Data().substr(3)),
            ToHex(FromHex("50 4b 03 04 14 00 00 00 08 00 2f 6b a1 58 26 39 f4 cb"
                          "07 00 00 00 09 00 00 00 09 00 00 00 64 69 72 2f 61 2e 74 78 74")));
  EXPECT_EQ(e.LocalSize(), 39u);

  e.SetFileComment(std::string("x\0y", 3));
  TMemoryStream central;
  e.SaveCentral(central);
  EXPECT_EQ(ToHex(central.Data()),
            ToHex(FromHex("50 4b 01 02 14 03 14 00 00 00 08 00 2f 6b a1 58 26 39 f4 cb"
                          "07 00 00 00 09 00 00 00 09 00 00 00 03 00 00 00 01 00 20 00 a4 81"
                          "03 00 00 00 64 69 72 2f 61 2e 74 78 74 78 00 79")));
  EXPECT_EQ(e.CentralSize(), central.Data().size());

  TEndCentral end;
  end.EntriesThisDisk = 1;
  end.TotalEntries = 1;
  end.CentralDirSize = 0x3A;
  end.CentralDirOffset = 0x2A;
  end.SetComment(std::string("a\0bc", 4));
  TMemoryStream tail;
  end.SaveToStream(tail);
  EXPECT_EQ(ToHex(tail.Data()), ToHex(FromHex("50 4b 05 06 00 00 00 00 01 00 01 00 3a 00 00 00"
                                              "2a 00 00 00 04 00 61 00 62 63")));
  EXPECT_EQ(end.EndRecordSize(), 26u);

  // Read back: every field, the comment whole with its NUL byte.
  TMemoryStream in(central.Data() + "trailing");
  TZipHeaderInfo r;
  ASSERT_TRUE(r.ReadCentral(in));
  EXPECT_EQ(in.Position(), central.Data().size());
  EXPECT_EQ(r.VersionMadeBy, 0x0314);
  EXPECT_EQ(r.LastModDateTime, 0x58A16B2Fu);
  EXPECT_EQ(r.Crc32, 0xCBF43926u);
  EXPECT_EQ(r.CompressedSize, 7u);
  EXPECT_EQ(r.UncompressedSize, 9u);
  EXPECT_EQ(r.ExternalAttributes, 0x81A40020u);
  EXPECT_EQ(r.RelativeOffset, 3u);
  EXPECT_EQ(r.Directory(), "dir/");
  EXPECT_EQ(r.Filename(), "a.txt");
  EXPECT_EQ(r.FileCommentLength, 3);
  EXPECT_TRUE(r.CommentPending());
  ASSERT_TRUE(r.FetchComment(in));
  EXPECT_EQ(*r.FileComment(), std::string("x\0y", 3));

  TMemoryStream end_in(std::string("junk") + tail.Data());
  TEndCentral read_end;
  ASSERT_TRUE(read_end.LocateAndRead(end_in));
  EXPECT_EQ(read_end.TotalEntries, 1);
  EXPECT_EQ(read_end.CentralDirSize, 0x3Au);
  EXPECT_EQ(read_end.CentralDirOffset, 0x2Au);
  EXPECT_EQ(read_end.ZipCommentPos, 26u);
  ASSERT_TRUE(read_end.FetchComment(end_in));
  EXPECT_EQ(*read_end.ZipComment, std::string("a\0bc", 4));
}

TEST(HeaderInfo, CentralExtraFieldIsSkippedAndNotKept) {
  // Central header with a 4-byte extra field and a 2-byte comment.
  const std::string record = FromHex(
      "50 4b 01 02 14 00 14 00 00 00 00 00 00 00 21 00 00 00 00 00 00 00 00 00 00 00 00 00"
      "01 00 04 00 02 00 00 00 00 00 20 00 00 00 00 00 00 00 41 fe ca 00 00 68 69");
  TMemoryStream in(record + "NEXT");
  TZipHeaderInfo r;
  ASSERT_TRUE(r.ReadCentral(in, true));
  EXPECT_EQ(r.CentralExtraLength, 0);
  EXPECT_EQ(r.Filename(), "A");
  EXPECT_EQ(*r.FileComment(), "hi");
  EXPECT_EQ(in.Position(), record.size());
  EXPECT_EQ(r.LastModDateTime, 0x00210000u);  // repaired month and day

  // Damaged records: the reader says no and leaves the stream where it was.
  for (const std::string& bad : {std::string(), record.substr(0, 45), record.substr(0, 46),
                                 std::string("PK\x01\x03") + record.substr(4)}) {
    TMemoryStream s("ab" + bad);
    s.Seek(2, soFromBeginning);
    EXPECT_FALSE(r.ReadCentral(s));
    EXPECT_EQ(s.Position(), 2u);
    EXPECT_FALSE(r.ReadLocal(s));
    EXPECT_EQ(s.Position(), 2u);
  }
}

TEST(HeaderInfo, RepairDosDateTime) {
  struct Case {
    uint32_t in, out;
  };
  const Case cases[] = {
      {0x58A16B2F, 0x58A16B2F},  // valid: bit for bit
      {0x59A0CB2F, 0x5981BB2F},  // day 0, month 13, hour 25 -> 1, 12, 23
      {0x58A16B3E, 0x58A16B3D},  // second 60 -> 58
      {0x58A16B3F, 0x58A16B3D},  // second 62 -> 58
      {0x58A16F8F, 0x58A16F6F},  // minute 60 -> 59
      {0xF0A16B2F, 0xEEA16B2F},  // year 2100 -> 2099
      {0x00000000, 0x00210000},  // 1980-00-00 -> 1980-01-01
      {0xFFFFFFFF, 0xEF9FBF7D},  // -> 2099-12-31 23:59:58
  };
  for (const Case& c : cases) EXPECT_EQ(RepairDosDateTime(c.in), c.out) << std::hex << c.in;
}

// Progress and compression rate share this rounding.
TEST(HeaderInfo, PercentOfRoundsHalfToEvenAndCaps) {
  struct Case {
    int64_t part, whole;
    int percent;
  };
  const Case cases[] = {{0, 0, 0},    {5, 0, 0},     {5, -1, 0},   {-1, 10, 0},  {0, 100, 0},
                        {50, 100, 50}, {1, 200, 0},  {3, 200, 2},  {5, 200, 2},  {7, 200, 4},
                        {1, 3, 33},    {2, 3, 67},   {10, 10, 100}, {150, 100, 100},
                        {0xFFFFFFFELL, 0xFFFFFFFFLL, 100}, {int64_t{1} << 40, (int64_t{1} << 41) + 1, 50}};
  for (const Case& c : cases) EXPECT_EQ(PercentOf(c.part, c.whole), c.percent) << c.part << "/" << c.whole;
}

TEST(HeaderInfo, StoredNamesFollowFlagAndHost) {
  struct Case {
    std::string stored;
    uint16_t flags, made_by;
    std::string name;
  };
  const Case cases[] = {
      // CP866 from a DOS host without the flag: "Привет.txt", "\" separator.
      {FromHex("8f e0 a8 a2 a5 e2") + ".txt", 0, 20, "Привет.txt"},
      {"dir\\sub\\a.txt", 0, 0x0B14, "dir/sub/a.txt"},
      // Flag bit 11: UTF-8.
      {"Привет.txt", kFlagUtf8Name, 20, "Привет.txt"},
      // Unix host: the bytes as they are, even when not UTF-8.
      {"caf\xe9.txt", 0, 0x0314, "caf\xe9.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeStoredName(c.stored, c.flags, c.made_by), c.name);
    // An entry read from an archive stores exactly the bytes it came with.
    std::string record(kCentralHeaderSize, '\0');
    auto* r = reinterpret_cast<uint8_t*>(record.data());
    PutLE32(r, kCentralHeaderSignature);
    PutLE16(r + 4, c.made_by);
    PutLE16(r + 8, c.flags);
    PutLE16(r + 28, static_cast<uint16_t>(c.stored.size()));
    TZipHeaderInfo e;
    e.SetFromCentral(r, c.stored);
    EXPECT_EQ(e.FullName(), c.name);
    EXPECT_EQ(e.FilenameLength, c.stored.size());
    TMemoryStream out;
    e.SaveLocal(out);
    EXPECT_EQ(out.Data().substr(kLocalHeaderSize), c.stored);
  }
  // CP866 encodes one-to-one, so a name decoded from it goes back unchanged.
  std::string coded;
  ASSERT_TRUE(EncodeStoredName("Привет.txt", 0, 20, coded));
  EXPECT_EQ(coded, FromHex("8f e0 a8 a2 a5 e2") + ".txt");
}

TEST(HeaderInfo, NewEntryNames) {
  TZipHeaderInfo e;
  e.VersionMadeBy = kVersionMadeByUnix;
  e.SetFullName("Папка/файл.txt");
  e.MarkUtf8NameIfNeeded();
  EXPECT_EQ(e.GeneralPurposeFlags & kFlagUtf8Name, kFlagUtf8Name);
  EXPECT_EQ(e.Directory(), "Папка/");
  EXPECT_EQ(e.Filename(), "файл.txt");
  EXPECT_EQ(e.FilenameLength, std::string("Папка/файл.txt").size());
  TZipHeaderInfo ascii;
  ascii.SetFullName("plain.txt");
  ascii.MarkUtf8NameIfNeeded();
  EXPECT_EQ(ascii.GeneralPurposeFlags, 0);

  // A DOS-host entry whose name CP866 cannot hold is written as UTF-8 with
  // the flag rather than with lost characters.
  TZipHeaderInfo dos;
  dos.SetFullName("日本.txt");
  TMemoryStream out;
  dos.SaveLocal(out);
  EXPECT_EQ(dos.GeneralPurposeFlags & kFlagUtf8Name, kFlagUtf8Name);
  EXPECT_EQ(out.Data().substr(kLocalHeaderSize), "日本.txt");
  EXPECT_EQ(dos.FilenameLength, std::string("日本.txt").size());

  // Changing the name drops the stored bytes of the old one.
  e.SetFilename("other");
  EXPECT_EQ(e.FullName(), "Папка/other");
  EXPECT_TRUE(e.RawStoredName().empty());
}

// ------------------------------------------------------------------ ZIP64

TEST(HeaderInfo, Zip64LocalHeaderHoldsBothSizes) {
  TZipHeaderInfo e = SampleEntry();
  e.UncompressedSize = 0x100000009ULL;
  e.CompressedSize = 0x100000007ULL;
  TMemoryStream out;
  out.Write("xyz", 3);
  // Without the field such a header is never written.
  EXPECT_THROW(e.SaveLocal(out), Error);
  e.SetLocalZip64(true);
  EXPECT_EQ(e.LocalExtraLength, 20);
  e.SaveLocal(out);
  EXPECT_EQ(ToHex(out.Data().substr(3)),
            ToHex(FromHex("50 4b 03 04 2d 00 00 00 08 00 2f 6b a1 58 26 39 f4 cb"
                          "ff ff ff ff ff ff ff ff 09 00 14 00 64 69 72 2f 61 2e 74 78 74"
                          "01 00 10 00 09 00 00 00 01 00 00 00 07 00 00 00 01 00 00 00")));
  EXPECT_EQ(e.LocalSize(), 59u);

  TMemoryStream in(out.Data() + "DATA");
  in.Seek(3, soFromBeginning);
  TZipHeaderInfo r;
  ASSERT_TRUE(r.ReadLocal(in));
  EXPECT_EQ(in.Position(), 3u + 30 + 9);  // before the extra field
  EXPECT_TRUE(r.LocalZip64);
  EXPECT_EQ(r.LocalExtraLength, 20);
  EXPECT_EQ(r.UncompressedSize, 0x100000009ULL);
  EXPECT_EQ(r.CompressedSize, 0x100000007ULL);
  EXPECT_EQ(r.RelativeOffset, 3u);

  // The central header of the same entry: both sizes in its field, the
  // offset (3) in its classic field; version 4.5, made by keeps its host.
  TMemoryStream central;
  e.SaveCentral(central);
  EXPECT_EQ(ToHex(central.Data()),
            ToHex(FromHex("50 4b 01 02 2d 03 2d 00 00 00 08 00 2f 6b a1 58 26 39 f4 cb"
                          "ff ff ff ff ff ff ff ff 09 00 14 00 00 00 00 00 01 00 20 00 a4 81"
                          "03 00 00 00 64 69 72 2f 61 2e 74 78 74"
                          "01 00 10 00 09 00 00 00 01 00 00 00 07 00 00 00 01 00 00 00")));
  EXPECT_EQ(e.CentralExtraLength, 20);
}

TEST(HeaderInfo, Zip64CentralFieldHoldsOnlyWhatDoesNotFitInOrder) {
  TZipHeaderInfo e = SampleEntry();
  e.RelativeOffset = 0x123456789ULL;
  TMemoryStream central;
  e.SaveCentral(central);
  EXPECT_EQ(ToHex(central.Data()),
            ToHex(FromHex("50 4b 01 02 2d 03 2d 00 00 00 08 00 2f 6b a1 58 26 39 f4 cb"
                          "07 00 00 00 09 00 00 00 09 00 0c 00 00 00 00 00 01 00 20 00 a4 81"
                          "ff ff ff ff 64 69 72 2f 61 2e 74 78 74"
                          "01 00 08 00 89 67 45 23 01 00 00 00")));
  TMemoryStream in(central.Data());
  TZipHeaderInfo r;
  ASSERT_TRUE(r.ReadCentral(in));
  EXPECT_EQ(r.RelativeOffset, 0x123456789ULL);
  EXPECT_EQ(r.CompressedSize, 7u);
  EXPECT_EQ(r.CentralExtraLength, 0);
  EXPECT_EQ(in.Position(), central.Data().size());

  // All four, in the order uncompressed, compressed, offset, disk; another
  // extra field in front of it is passed over when reading.
  e.UncompressedSize = 0xFFFFFFFFULL;
  e.CompressedSize = 0x100000000ULL;
  e.RelativeOffset = 0x200000000ULL;
  e.DiskNumberStart = 0x10000;
  TMemoryStream all;
  e.SaveCentral(all);
  const std::string bytes = all.Data();
  EXPECT_EQ(ToHex(bytes.substr(20, 8)), "ff ff ff ff ff ff ff ff");
  EXPECT_EQ(ToHex(bytes.substr(30, 2)), "20 00");
  EXPECT_EQ(ToHex(bytes.substr(34, 2)), "ff ff");
  EXPECT_EQ(ToHex(bytes.substr(42, 4)), "ff ff ff ff");
  EXPECT_EQ(ToHex(bytes.substr(55)),
            ToHex(FromHex("01 00 1c 00 ff ff ff ff 00 00 00 00 00 00 00 00 01 00 00 00"
                          "00 00 00 00 02 00 00 00 00 00 01 00")));
  std::string other_first = bytes.substr(0, 55) + FromHex("fe ca 02 00 aa bb") + bytes.substr(55);
  other_first[30] = 0x26;
  TMemoryStream in_all(other_first);
  ASSERT_TRUE(r.ReadCentral(in_all));
  EXPECT_EQ(r.UncompressedSize, 0xFFFFFFFFULL);
  EXPECT_EQ(r.CompressedSize, 0x100000000ULL);
  EXPECT_EQ(r.RelativeOffset, 0x200000000ULL);
  EXPECT_EQ(r.DiskNumberStart, 0x10000u);
}

TEST(HeaderInfo, Zip64SwitchesAtExactly0xFFFFFFFF) {
  struct Case {
    uint64_t TZipHeaderInfo::*field;
    uint64_t value;
    uint16_t extra_length;  // of the central header
  };
  const Case cases[] = {
      {&TZipHeaderInfo::UncompressedSize, 0xFFFFFFFEULL, 0},
      {&TZipHeaderInfo::UncompressedSize, 0xFFFFFFFFULL, 12},
      {&TZipHeaderInfo::CompressedSize, 0xFFFFFFFEULL, 0},
      {&TZipHeaderInfo::CompressedSize, 0xFFFFFFFFULL, 12},
      {&TZipHeaderInfo::RelativeOffset, 0xFFFFFFFEULL, 0},
      {&TZipHeaderInfo::RelativeOffset, 0xFFFFFFFFULL, 12},
  };
  for (const Case& c : cases) {
    TZipHeaderInfo e = SampleEntry();
    e.*c.field = c.value;
    TMemoryStream central;
    e.SaveCentral(central);
    const std::string& b = central.Data();
    const auto* raw = reinterpret_cast<const uint8_t*>(b.data());
    EXPECT_EQ(GetLE16(raw + 30), c.extra_length) << c.value;
    EXPECT_EQ(GetLE16(raw + 6), c.extra_length != 0 ? 45 : 20) << c.value;
    EXPECT_EQ(b.size(), 46u + 9 + c.extra_length);
    TMemoryStream in(b);
    TZipHeaderInfo r;
    ASSERT_TRUE(r.ReadCentral(in));
    EXPECT_EQ(r.*c.field, c.value);
    // The local header: a size below the switch fits without the field.
    if (c.field != &TZipHeaderInfo::RelativeOffset) {
      TMemoryStream local;
      if (c.extra_length == 0) {
        e.SaveLocal(local);
        EXPECT_EQ(local.Data().size(), 30u + 9);
      } else {
        EXPECT_THROW(e.SaveLocal(local), Error);
      }
    }
  }
}

TEST(HeaderInfo, CentralHeaderWithAMarkedValueButNoZip64FieldIsRefused) {
  TZipHeaderInfo e = SampleEntry();
  e.RelativeOffset = 0x123456789ULL;
  TMemoryStream central;
  e.SaveCentral(central);
  const std::string good = central.Data();
  // The field dropped, cut short, or hidden in a block that runs past the end.
  std::string none = good.substr(0, 55);
  none[30] = 0;
  std::string short_field = good.substr(0, 55) + FromHex("01 00 04 00 89 67 45 23");
  short_field[30] = 8;
  std::string overrun = good.substr(0, 55) + FromHex("fe ca 10 00 01 00 08 00");
  overrun[30] = 8;
  for (const std::string& bad : {none, short_field, overrun}) {
    TMemoryStream in(bad + "rest");
    TZipHeaderInfo r;
    EXPECT_FALSE(r.ReadCentral(in)) << ToHex(bad);
    EXPECT_EQ(in.Position(), 0u);
  }
}

// The records after the central directory for a count, size and offset.
std::string EndRecords(uint64_t entries, uint64_t size, uint64_t offset, size_t position = 0) {
  TEndCentral end;
  end.EntriesThisDisk = end.TotalEntries = entries;
  end.CentralDirSize = size;
  end.CentralDirOffset = offset;
  TMemoryStream out;
  out.Write(std::string(position, 'x').data(), position);
  end.SaveToStream(out);
  return out.Data().substr(position);
}

TEST(HeaderInfo, Zip64EndRecordAndLocatorInHex) {
  // 65534 entries fit; 65535 do not, and only the counts are marked.
  EXPECT_EQ(ToHex(EndRecords(65534, 0x100, 0x200)),
            ToHex(FromHex("50 4b 05 06 00 00 00 00 fe ff fe ff 00 01 00 00 00 02 00 00 00 00")));
  EXPECT_EQ(ToHex(EndRecords(65535, 0x100, 0x200, 5)),
            ToHex(FromHex("50 4b 06 06 2c 00 00 00 00 00 00 00 2d 03 2d 00 00 00 00 00 00 00 00 00"
                          "ff ff 00 00 00 00 00 00 ff ff 00 00 00 00 00 00"
                          "00 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00"
                          "50 4b 06 07 00 00 00 00 05 00 00 00 00 00 00 00 01 00 00 00"
                          "50 4b 05 06 00 00 00 00 ff ff ff ff 00 01 00 00 00 02 00 00 00 00")));
  // The size and the offset switch at 0xFFFFFFFF.
  EXPECT_EQ(EndRecords(1, 0x100, 0xFFFFFFFEULL).size(), 22u);
  EXPECT_EQ(EndRecords(1, 0xFFFFFFFEULL, 0x100).size(), 22u);
  const std::string offset_full = EndRecords(1, 0x100, 0xFFFFFFFFULL);
  ASSERT_EQ(offset_full.size(), 56u + 20 + 22);
  EXPECT_EQ(ToHex(offset_full.substr(76)),
            ToHex(FromHex("50 4b 05 06 00 00 00 00 01 00 01 00 00 01 00 00 ff ff ff ff 00 00")));
  EXPECT_EQ(ToHex(offset_full.substr(48, 8)), "ff ff ff ff 00 00 00 00");
  EXPECT_EQ(EndRecords(1, 0xFFFFFFFFULL, 0x100).size(), 98u);
}

// An archive image whose directory is `entries` empty-named headers' worth of
// zero bytes, followed by the end records, so that the ZIP64 checks have
// a directory of a plausible size behind them.
struct Zip64Tail {
  std::string bytes;
  size_t zip64_end;  // offset of the ZIP64 end record
  size_t locator;
  size_t classic;
};

Zip64Tail MakeZip64Tail(uint64_t entries) {
  Zip64Tail t;
  const uint64_t size = entries * kCentralHeaderSize;
  t.bytes = std::string(size, '\0');
  t.zip64_end = t.bytes.size();
  t.bytes += EndRecords(entries, size, 0, t.bytes.size());
  t.locator = t.zip64_end + 56;
  t.classic = t.locator + 20;
  return t;
}

bool ReadsBack(const std::string& bytes, TEndCentral& end) {
  TMemoryStream in(bytes);
  return end.LocateAndRead(in) && end.ReadZip64Records(in);
}

TEST(HeaderInfo, Zip64EndRecordIsReadBackAndCheckedAgainstTheClassicOne) {
  const Zip64Tail good = MakeZip64Tail(70000);
  TEndCentral end;
  ASSERT_TRUE(ReadsBack(good.bytes, end));
  EXPECT_EQ(end.TotalEntries, 70000u);
  EXPECT_EQ(end.EntriesThisDisk, 70000u);
  EXPECT_EQ(end.CentralDirSize, 70000u * 46);
  EXPECT_EQ(end.CentralDirOffset, 0u);

  auto put64 = [](std::string b, size_t at, uint64_t v) {
    PutLE64(reinterpret_cast<uint8_t*>(b.data()) + at, v);
    return b;
  };
  auto put16 = [](std::string b, size_t at, uint16_t v) {
    PutLE16(reinterpret_cast<uint8_t*>(b.data()) + at, v);
    return b;
  };
  auto put32 = [](std::string b, size_t at, uint32_t v) {
    PutLE32(reinterpret_cast<uint8_t*>(b.data()) + at, v);
    return b;
  };
  const struct {
    const char* what;
    std::string bytes;
  } damaged[] = {
      {"locator past the end", put64(good.bytes, good.locator + 8, uint64_t{1} << 40)},
      {"record overlapping the locator", put64(good.bytes, good.locator + 8, good.locator - 40)},
      {"record signature", put32(good.bytes, good.zip64_end, 0x06054B50)},
      {"record size field too small", put64(good.bytes, good.zip64_end + 4, 40)},
      {"record size field past the locator", put64(good.bytes, good.zip64_end + 4, 1000)},
      {"classic count contradicts", put16(good.bytes, good.classic + 10, 4464)},
      {"more on this disk than in all", put64(good.bytes, good.zip64_end + 24, 70001)},
      {"directory runs into the record", put64(good.bytes, good.zip64_end + 48, 8)},
      {"more entries than the directory holds", put64(put64(good.bytes, good.zip64_end + 24, 70001),
                                                       good.zip64_end + 32, 70001)},
      {"locator names another disk", put32(good.bytes, good.locator + 4, 1)},
      {"marked offset without a locator",
       put32(put32(good.bytes, good.locator, 0), good.classic + 16, 0xFFFFFFFF)},
  };
  for (const auto& d : damaged) {
    TEndCentral e;
    EXPECT_FALSE(ReadsBack(d.bytes, e)) << d.what;
  }
  // Counts that fill their field exactly without a locator: a classic
  // archive of 65535 entries, taken as it stands.
  TEndCentral classic;
  ASSERT_TRUE(ReadsBack(put32(good.bytes, good.locator, 0), classic));
  EXPECT_EQ(classic.TotalEntries, 65535u);
}

TEST(HeaderInfo, CopyEntryRewritesTheOldZip64FieldAndKeepsTheOthers) {
  // The local header of another writer: sizes marked, a ZIP64 field with
  // both, then a field of its own; a data descriptor with 8-byte sizes.
  const std::string local = FromHex(
      "50 4b 03 04 2d 00 08 00 00 00 00 00 21 00 00 00 00 00 ff ff ff ff ff ff ff ff 05 00 1a 00"
      "61 2e 74 78 74"
      "01 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
      "fe ca 02 00 61 62");
  const std::string descriptor =
      FromHex("50 4b 07 08 44 33 22 11 05 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00");
  const std::string old = "STUB!" + local + "DATA!" + descriptor;
  TZipHeaderInfo entry;
  entry.VersionMadeBy = 0x0314;
  entry.VersionNeeded = 45;
  entry.GeneralPurposeFlags = kFlagDataDescriptor;
  entry.CompressionMethod = 0;
  entry.LastModDateTime = 0x58A16B2F;
  entry.Crc32 = 0x11223344;
  entry.CompressedSize = 5;
  entry.UncompressedSize = 5;
  entry.RelativeOffset = 5;
  entry.SetFilename("a.txt");
  TMemoryStream from(old + FromHex("50 4b 01 02"));
  TMemoryStream to;
  to.Write("NEW", 3);
  CopyEntryData(from, to, entry);
  EXPECT_TRUE(entry.LocalZip64);
  EXPECT_EQ(entry.LocalExtraLength, 26);
  EXPECT_EQ(ToHex(to.Data().substr(3)),
            ToHex(FromHex("50 4b 03 04 2d 00 08 00 00 00 2f 6b a1 58 44 33 22 11"
                          "ff ff ff ff ff ff ff ff 05 00 1a 00 61 2e 74 78 74"
                          "01 00 10 00 05 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00"
                          "fe ca 02 00 61 62") +
                  "DATA!" + descriptor));

  // A descriptor with 4-byte sizes after a header without the field.
  const std::string plain = FromHex("44 33 22 11 05 00 00 00 05 00 00 00");
  std::string classic_local = FromHex(
      "50 4b 03 04 14 00 08 00 00 00 00 00 21 00 00 00 00 00 00 00 00 00 00 00 00 00 05 00 00 00"
      "61 2e 74 78 74");
  TMemoryStream from_classic("STUB!" + classic_local + "DATA!" + plain + "PK\x01\x02");
  TMemoryStream to_classic;
  entry.LocalZip64 = false;
  entry.LocalExtraLength = 0;
  entry.RelativeOffset = 5;
  CopyEntryData(from_classic, to_classic, entry);
  EXPECT_FALSE(entry.LocalZip64);
  EXPECT_EQ(to_classic.Data().substr(35), "DATA!" + plain);
}

TEST(HeaderInfo, CopyValuesFrom) {
  TZipHeaderInfo a = SampleEntry();
  a.StatusBytes = {1, 2, 3};
  a.SetFileComment("note");
  TZipHeaderInfo b;
  b.SetFileComment("keep");
  b.CopyValuesFrom(a);
  EXPECT_EQ(b.FullName(), "dir/a.txt");
  EXPECT_EQ(b.StatusBytes, (std::array<uint8_t, 3>{1, 2, 3}));
  EXPECT_EQ(*b.FileComment(), "note");
  // A source without a comment text leaves the target's text alone.
  TZipHeaderInfo c = SampleEntry();
  TZipHeaderInfo d;
  d.SetFileComment("keep");
  d.CopyValuesFrom(c);
  EXPECT_EQ(*d.FileComment(), "keep");
}

TEST(HeaderInfo, ExternalAttributes) {
  struct Case {
    mode_t mode;
    std::string name;
    uint32_t attributes;
  };
  const Case cases[] = {
      {S_IFREG | 0644, "a/b.txt", 0x81A40020},
      {S_IFREG | 0444, "b.txt", 0x81240021},
      {S_IFREG | 0600, "dir/.hidden", 0x81800022},
      {S_IFDIR | 0755, "dir/", 0x41ED0020},
      {S_IFDIR | 0700, ".config/", 0x41C00020},
  };
  for (const Case& c : cases) {
    struct stat st {};
    st.st_mode = c.mode;
    EXPECT_EQ(ExternalAttributesFromStat(st, c.name), c.attributes) << c.name;
  }
  EXPECT_EQ(DirectoryExternalAttributes("x/"), 0x41ED0020u);
}

// An old archive: 5 bytes of stub, one local header with an extra field, the
// data, an optional data descriptor, and its central header.
struct OldArchive {
  std::string bytes;
  TZipHeaderInfo entry;
};

OldArchive MakeOld(uint16_t flags, const std::string& descriptor) {
  const std::string local = FromHex(
      "50 4b 03 04 14 00") + std::string(1, static_cast<char>(flags)) + FromHex(
      "00 00 00 21 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 05 00 08 00"
      "61 2e 74 78 74 fe ca 04 00 61 62 63 64");
  OldArchive old;
  old.bytes = "STUB!" + local + "DATA!" + descriptor;
  old.entry.VersionMadeBy = 0x0314;
  old.entry.GeneralPurposeFlags = flags;
  old.entry.CompressionMethod = 0;
  old.entry.LastModDateTime = 0x58A16B2F;
  old.entry.Crc32 = 0x11223344;
  old.entry.CompressedSize = 5;
  old.entry.UncompressedSize = 5;
  old.entry.RelativeOffset = 5;
  old.entry.SetFilename("a.txt");
  return old;
}

TEST(HeaderInfo, CopyEntryRebuildsTheLocalHeaderAndKeepsExtraAndData) {
  OldArchive old = MakeOld(0, "");
  TMemoryStream from(old.bytes + "central...");
  TMemoryStream to;
  to.Write("NEW", 3);
  CopyEntryData(from, to, old.entry);
  EXPECT_EQ(old.entry.RelativeOffset, 3u);
  EXPECT_EQ(old.entry.LocalExtraLength, 8);
  EXPECT_EQ(ToHex(to.Data().substr(3)),
            ToHex(FromHex("50 4b 03 04 14 00 00 00 00 00 2f 6b a1 58 44 33 22 11 05 00 00 00"
                          "05 00 00 00 05 00 08 00 61 2e 74 78 74 fe ca 04 00 61 62 63 64") +
                  "DATA!"));
}

TEST(HeaderInfo, CopyEntryCarriesTheDataDescriptor) {
  const std::string with_signature = FromHex("50 4b 07 08 44 33 22 11 05 00 00 00 05 00 00 00");
  const std::string without = FromHex("44 33 22 11 05 00 00 00 05 00 00 00");
  for (const std::string& descriptor : {with_signature, without}) {
    OldArchive old = MakeOld(kFlagDataDescriptor, descriptor);
    TMemoryStream from(old.bytes + FromHex("50 4b 01 02"));
    TMemoryStream to;
    CopyEntryData(from, to, old.entry);
    const std::string& out = to.Data();
    ASSERT_EQ(out.size(), 43u + 5u + descriptor.size());
    EXPECT_EQ(out.substr(43), "DATA!" + descriptor);
    // The rebuilt local header holds the real sizes and CRC.
    EXPECT_EQ(ToHex(out.substr(6, 2)), "08 00");
    EXPECT_EQ(ToHex(out.substr(14, 12)), "44 33 22 11 05 00 00 00 05 00 00 00");
  }
}

TEST(HeaderInfo, CopyEntryRefusesDamage) {
  struct Case {
    const char* what;
    std::string bytes;
    uint64_t compressed;
    uint16_t flags;
  };
  OldArchive good = MakeOld(0, "");
  std::string bad_signature = good.bytes;
  bad_signature[5 + 2] = 0x05;
  const Case cases[] = {
      {"signature", bad_signature, 5, 0},
      {"data past the end", good.bytes, 6, 0},
      {"huge size", good.bytes, 0xFFFFFFFF, 0},
      {"descriptor missing", good.bytes, 5, kFlagDataDescriptor},
      {"offset past the end", "STUB!", 5, 0},
  };
  for (const Case& c : cases) {
    OldArchive old = MakeOld(c.flags, "");
    old.entry.CompressedSize = c.compressed;
    TMemoryStream from(c.bytes);
    TMemoryStream to;
    try {
      CopyEntryData(from, to, old.entry);
      ADD_FAILURE() << c.what;
    } catch (const EBadZipFile& e) {
      EXPECT_STREQ(e.what(), "Это не Zip файл!") << c.what;
    }
    EXPECT_TRUE(to.Data().empty()) << c.what;
  }
}

}  // namespace
}  // namespace tessel
