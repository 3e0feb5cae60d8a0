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

TEST(HeaderInfo, ValuesBeyond32BitsAreRefused) {
  TZipHeaderInfo e = SampleEntry();
  e.UncompressedSize = 0x100000000ULL;
  TMemoryStream out;
  EXPECT_THROW(e.SaveLocal(out), Error);
  e.UncompressedSize = 0xFFFFFFFFULL;  // the largest that fits
  e.SaveLocal(out);
  TEndCentral end;
  end.CentralDirOffset = 0x100000000ULL;
  EXPECT_THROW(end.SaveToStream(out), Error);
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
