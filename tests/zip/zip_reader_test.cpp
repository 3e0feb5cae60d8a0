#include "zip/zip_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "support/error_text.h"
#include "zip/format_test_util.h"

namespace tessel {
namespace {

using test::ErrorText;
using test::FromHex;
using test::ReadBytes;
using test::RunPython;
using test::Scratch;
using test::ToHex;
using test::WriteBytes;

// What Python's zipfile sees in an archive, one line per entry:
// raw name (hex), CRC, compressed size, size, header offset, flags,
// creating system, comment (hex), external attributes, DOS time.
const char* kListScript = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
with open(sys.argv[2], 'w') as out:
    out.write('C %s\n' % (z.comment.hex() or '-'))
    for i in z.infolist():
        raw = i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')
        y, mo, d, h, mi, s = i.date_time
        dos = ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | (s // 2)
        out.write('E %s %d %d %d %d %d %d %s %d %d\n' % (raw.hex(), i.CRC, i.compress_size,
            i.file_size, i.header_offset, i.flag_bits, i.create_system,
            i.comment.hex() or '-', i.external_attr, dos))
)";

std::string Hex(const std::string& bytes) {
  std::string h = ToHex(bytes);
  h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
  return h.empty() ? "-" : h;
}

// Reads `archive` with TZipReader and checks every entry against Python.
void ExpectSameAsPython(const Scratch& dir, const std::string& archive, size_t expected_entries) {
  const std::string listing = dir / "listing.txt";
  WriteBytes(dir / "list.py", kListScript);
  ASSERT_EQ(test::Shell(test::Python() + " '" + (dir / "list.py") + "' '" + archive + "' '" + listing + "'"), 0);
  std::istringstream lines(ReadBytes(listing));
  TZipReader reader;
  reader.SetZipName(archive);
  reader.ReadDirectory();
  ASSERT_TRUE(reader.HasDirectory());
  EXPECT_FALSE(reader.IsArchiveOpen());
  EXPECT_FALSE(reader.RepairFlag());
  ASSERT_EQ(static_cast<size_t>(reader.Count()), expected_entries);
  std::string kind, comment;
  lines >> kind >> comment;
  EXPECT_EQ(Hex(reader.ZipComment()), comment);
  for (int32_t i = 0; i < reader.Count(); ++i) {
    std::string name, entry_comment;
    uint64_t crc, csize, usize, offset, flags, system, attributes, dos;
    lines >> kind >> name >> crc >> csize >> usize >> offset >> flags >> system >> entry_comment >>
        attributes >> dos;
    ASSERT_EQ(kind, "E");
    const TZipHeaderInfo& e = reader.Entry(i);
    EXPECT_EQ(Hex(e.RawStoredName()), name);
    EXPECT_EQ(e.Crc32, crc) << name;
    EXPECT_EQ(e.CompressedSize, csize) << name;
    EXPECT_EQ(e.UncompressedSize, usize) << name;
    EXPECT_EQ(e.RelativeOffset, offset) << name;
    EXPECT_EQ(e.GeneralPurposeFlags, flags) << name;
    EXPECT_EQ(e.VersionMadeBy >> 8, system) << name;
    EXPECT_EQ(e.ExternalAttributes, attributes) << name;
    EXPECT_EQ(e.LastModDateTime, dos) << name;
    EXPECT_EQ(e.CentralExtraLength, 0) << name;
    EXPECT_EQ(e.FilenameLength, e.RawStoredName().size());
    EXPECT_EQ(Hex(reader.EntryComment(i)), entry_comment) << name;
  }
}

std::string EntryNames(const TZipReader& reader) {
  std::string names;
  for (int32_t i = 0; i < reader.Count(); ++i) names += reader.Entry(i).FullName() + ";";
  return names;
}


const char* kPythonArchive = R"(
import zipfile, io
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with zipfile.ZipFile('py.zip', 'w') as z:
    z.writestr('stored.txt', b'plain bytes', compress_type=zipfile.ZIP_STORED)
    z.writestr('deflated.txt', b'abc' * 1000, compress_type=zipfile.ZIP_DEFLATED)
    i = zipfile.ZipInfo('Папка/файл.txt', (2023, 7, 14, 10, 20, 30))
    i.comment = b'entry\x00comment'
    i.extra = b'\xfe\xca\x04\x00abcd'
    i.external_attr = 0o100644 << 16
    z.writestr(i, 'текст'.encode('utf-8'), compress_type=zipfile.ZIP_DEFLATED)
    z.writestr('dir/', b'')
    z.comment = bytes(range(256)) * 255 + b'\x00' * 255
with open('stream.zip', 'wb') as f:
    with zipfile.ZipFile(Unseekable(f), 'w', compression=zipfile.ZIP_DEFLATED) as z:
        z.writestr('one.txt', b'1' * 5000)
        with z.open('two.bin', 'w') as w:
            w.write(bytes(range(256)) * 40)
        z.writestr('three.txt', b'')
)";

TEST(ZipReader, ArchivesWrittenByPython) {
  Scratch dir;
  ASSERT_EQ(RunPython(dir, kPythonArchive), 0);
  ExpectSameAsPython(dir, dir / "py.zip", 4);
  TZipReader reader;
  reader.SetZipName(dir / "py.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.ZipComment().size(), 65535u);  // the longest comment
  EXPECT_EQ(reader.Entry(2).FullName(), "Папка/файл.txt");
  EXPECT_EQ(reader.Entry(2).Directory(), "Папка/");
  EXPECT_EQ(reader.EntryComment(2), std::string("entry\0comment", 13));
  EXPECT_EQ(reader.Entry(3).Directory(), "dir/");
  EXPECT_EQ(reader.Entry(3).Filename(), "");
  // Entries written to an unseekable stream carry data descriptors.
  ExpectSameAsPython(dir, dir / "stream.zip", 3);
  reader.SetZipName(dir / "stream.zip");
  reader.ReadDirectory();
  EXPECT_TRUE(reader.Entry(0).HasDataDescriptor());
}

TEST(ZipReader, ArchivesWrittenBy7zAndBsdtar) {
  Scratch dir;
  const std::string src = dir / "src";
  ASSERT_EQ(test::Shell("mkdir -p '" + src + "/Документы/sub' && cd '" + src +
                      "' && printf 'hello' > a.txt && head -c 100000 /dev/zero > Документы/нули.bin"
                      " && printf 'x' > Документы/sub/.hidden"),
            0);
  if (test::HaveTool("7z")) {
    ASSERT_EQ(test::Shell("cd '" + src + "' && LC_ALL=C.UTF-8 7z a -tzip '" + (dir / "7z.zip") +
                        "' . > /dev/null"),
              0);
    ExpectSameAsPython(dir, dir / "7z.zip", 5);
  }
  if (test::HaveTool("bsdtar")) {
    ASSERT_EQ(test::Shell("cd '" + src + "' && LC_ALL=C.UTF-8 bsdtar --format zip -cf '" +
                        (dir / "bsdtar.zip") + "' a.txt Документы"),
              0);
    ExpectSameAsPython(dir, dir / "bsdtar.zip", 5);
  }
}

// A minimal stored archive built byte by byte: entries (name, data), optional
// stub in front, archive comment.
struct HandMade {
  std::string bytes;
  uint64_t central_offset = 0;
};

HandMade Build(const std::vector<std::pair<std::string, std::string>>& entries,
               const std::string& stub = "", const std::string& comment = "",
               uint16_t made_by = 0x0314, uint16_t flags = 0) {
  HandMade out;
  out.bytes = stub;
  std::string central;
  for (const auto& [name, data] : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.bytes.size());
    std::string local(30, '\0');
    auto* l = reinterpret_cast<uint8_t*>(local.data());
    PutLE32(l, kLocalHeaderSignature);
    PutLE16(l + 4, 10);
    PutLE16(l + 6, flags);
    PutLE32(l + 10, 0x58A16B2F);
    PutLE32(l + 14, Crc32Of(data.data(), data.size()));
    PutLE32(l + 18, static_cast<uint32_t>(data.size()));
    PutLE32(l + 22, static_cast<uint32_t>(data.size()));
    PutLE16(l + 26, static_cast<uint16_t>(name.size()));
    out.bytes += local + name + data;
    std::string c(46, '\0');
    auto* p = reinterpret_cast<uint8_t*>(c.data());
    PutLE32(p, kCentralHeaderSignature);
    PutLE16(p + 4, made_by);
    PutLE16(p + 6, 10);
    PutLE16(p + 8, flags);
    PutLE32(p + 12, 0x58A16B2F);
    PutLE32(p + 16, Crc32Of(data.data(), data.size()));
    PutLE32(p + 20, static_cast<uint32_t>(data.size()));
    PutLE32(p + 24, static_cast<uint32_t>(data.size()));
    PutLE16(p + 28, static_cast<uint16_t>(name.size()));
    PutLE32(p + 38, 0x81A40020);
    PutLE32(p + 42, offset);
    central += c + name;
  }
  out.central_offset = out.bytes.size();
  std::string end(22, '\0');
  auto* e = reinterpret_cast<uint8_t*>(end.data());
  PutLE32(e, kEndCentralSignature);
  PutLE16(e + 8, static_cast<uint16_t>(entries.size()));
  PutLE16(e + 10, static_cast<uint16_t>(entries.size()));
  PutLE32(e + 12, static_cast<uint32_t>(central.size()));
  PutLE32(e + 16, static_cast<uint32_t>(out.central_offset));
  PutLE16(e + 20, static_cast<uint16_t>(comment.size()));
  out.bytes += central + end + comment;
  return out;
}

TEST(ZipReader, EmptyAndTinyFiles) {
  Scratch dir;
  TZipReader reader;
  WriteBytes(dir / "empty.zip", "");
  reader.SetZipName(dir / "empty.zip");
  reader.ReadDirectory();
  EXPECT_TRUE(reader.HasDirectory());
  EXPECT_EQ(reader.Count(), 0);

  for (size_t n = 1; n <= 21; ++n) {
    const std::string path = dir / ("tiny" + std::to_string(n) + ".zip");
    WriteBytes(path, std::string("PK\x05\x06", 4).substr(0, n) + std::string(n > 4 ? n - 4 : 0, '\0'));
    reader.SetZipName(path);
    EXPECT_EQ(ErrorText<EIncompleteZip>([&] { reader.ReadDirectory(); }), "Zip файл неполный") << n;
    EXPECT_FALSE(reader.HasDirectory());
    EXPECT_EQ(reader.ZipName(), path);  // kept
  }
  const std::string path = dir / "tiny5.zip";
  reader.SetZipName(path);
  reader.IncompleteZipMode = izAssumeNotAZip;
  EXPECT_EQ(ErrorText<ENotAZipFile>([&] { reader.ReadDirectory(); }), "Это не Zip файл!");
  reader.IncompleteZipMode = izAssumeBad;
  EXPECT_EQ(ErrorText<EBadZipFile>([&] { reader.ReadDirectory(); }), "Это не Zip файл!");
  EXPECT_EQ(reader.ZipName(), "");  // closed on failure
  // The handler may change the mode for this read.
  reader.SetZipName(path);
  reader.IncompleteZipMode = izAssumeMulti;
  int calls = 0;
  reader.OnInCompleteZip = [&](TZipReader& sender, TIncompleteZipMode& mode) {
    EXPECT_EQ(&sender, &reader);
    EXPECT_EQ(mode, izAssumeMulti);
    mode = izAssumeNotAZip;
    ++calls;
  };
  EXPECT_THROW(reader.ReadDirectory(), ENotAZipFile);
  EXPECT_EQ(calls, 1);
}

TEST(ZipReader, EndRecordSearch) {
  Scratch dir;
  TZipReader reader;
  // The longest comment still lets the record be found.
  HandMade longest = Build({{"a.txt", "A"}}, "", std::string(65535, 'c'));
  WriteBytes(dir / "long.zip", longest.bytes);
  reader.SetZipName(dir / "long.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.Count(), 1);
  EXPECT_EQ(reader.ZipComment(), std::string(65535, 'c'));
  // One byte more of trailing data puts the record out of reach.
  WriteBytes(dir / "far.zip", longest.bytes + "x");
  reader.SetZipName(dir / "far.zip");
  EXPECT_THROW(reader.ReadDirectory(), EIncompleteZip);
  // An end signature inside the comment, nearer the end, wins.
  const std::string fake = FromHex("50 4b 05 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  WriteBytes(dir / "fake.zip", Build({{"a.txt", "A"}}, "", "note " + fake).bytes);
  reader.SetZipName(dir / "fake.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.Count(), 0);
}

TEST(ZipReader, TwoCentralHeadersForOneLocalHeaderGiveOneEntry) {
  Scratch dir;
  HandMade one = Build({{"a.txt", "AAA"}});
  // Repeat the central header and count it twice.
  std::string central = one.bytes.substr(one.central_offset, 46 + 5);
  std::string bytes = one.bytes.substr(0, one.central_offset) + central + central;
  std::string end = one.bytes.substr(one.central_offset + central.size());
  PutLE16(reinterpret_cast<uint8_t*>(end.data()) + 8, 2);
  PutLE16(reinterpret_cast<uint8_t*>(end.data()) + 10, 2);
  PutLE32(reinterpret_cast<uint8_t*>(end.data()) + 12, static_cast<uint32_t>(2 * central.size()));
  WriteBytes(dir / "twice.zip", bytes + end);
  TZipReader reader;
  reader.SetZipName(dir / "twice.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.Count(), 1);
}

TEST(ZipReader, Cp866NamesWithoutTheFlag) {
  Scratch dir;
  const std::string stored = FromHex("8f a0 af aa a0 5c e4 a0 a9 ab") + ".txt";  // Папка\файл.txt
  WriteBytes(dir / "dos.zip", Build({{stored, "x"}}, "", "", 20).bytes);
  TZipReader reader;
  reader.SetZipName(dir / "dos.zip");
  reader.ReadDirectory();
  ASSERT_EQ(reader.Count(), 1);
  EXPECT_EQ(reader.Entry(0).Directory(), "Папка/");
  EXPECT_EQ(reader.Entry(0).Filename(), "файл.txt");
  EXPECT_EQ(reader.Entry(0).RawStoredName(), stored);
  ExpectSameAsPython(dir, dir / "dos.zip", 1);
  // The same bytes from a Unix host are taken as they are.
  WriteBytes(dir / "unix.zip", Build({{stored, "x"}}, "", "", 0x0314).bytes);
  reader.SetZipName(dir / "unix.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.Entry(0).FullName(), stored);
}

TEST(ZipReader, RebuildFromLocalHeaders) {
  Scratch dir;
  HandMade archive = Build({{"a.txt", "AAAA"}, {"b.txt", "BB"}, {"c.txt", ""}});
  // Cut inside the central directory, after the first central header.
  const std::string cut = archive.bytes.substr(0, archive.central_offset + 46 + 5 + 10);
  WriteBytes(dir / "cut.zip", cut);
  TZipReader reader;
  reader.SetZipName(dir / "cut.zip");
  EXPECT_THROW(reader.ReadDirectory(), EIncompleteZip);
  reader.IncompleteZipMode = izAssumeBad;
  reader.ReadDirectory();
  ASSERT_EQ(reader.Count(), 3);
  EXPECT_TRUE(reader.RepairFlag());
  EXPECT_EQ(EntryNames(reader), "a.txt;b.txt;c.txt;");
  EXPECT_EQ(reader.EndCentral().CentralDirOffset, archive.central_offset);
  // The central header that survived lends its values; the others have none.
  EXPECT_EQ(reader.Entry(0).VersionMadeBy, 0x0314);
  EXPECT_EQ(reader.Entry(0).ExternalAttributes, 0x81A40020u);
  EXPECT_EQ(reader.Entry(1).VersionMadeBy, 0);
  EXPECT_EQ(reader.Entry(1).ExternalAttributes, 0u);
  EXPECT_EQ(reader.Entry(1).RelativeOffset, 30u + 5 + 4);

  // A damaged central directory behind an intact end record is rebuilt in
  // any mode; a new read starts with the repair flag clear.
  std::string damaged = archive.bytes;
  damaged[archive.central_offset + 46 + 5 + 2] = 'X';  // second central signature
  WriteBytes(dir / "damaged.zip", damaged);
  TZipReader second;
  second.SetZipName(dir / "damaged.zip");
  second.ReadDirectory();
  EXPECT_EQ(second.Count(), 3);
  EXPECT_TRUE(second.RepairFlag());
  EXPECT_EQ(second.Entry(0).VersionMadeBy, 0x0314);  // first central header read before the rebuild
  WriteBytes(dir / "damaged.zip", archive.bytes + "");
  ::utimensat(AT_FDCWD, (dir / "damaged.zip").c_str(), nullptr, 0);
  second.ReadDirectory();
  EXPECT_FALSE(second.RepairFlag());
  EXPECT_EQ(second.Count(), 3);
  EXPECT_EQ(second.Entry(2).VersionMadeBy, 0x0314);
}

TEST(ZipReader, RebuildRefusesDataDescriptors) {
  Scratch dir;
  ASSERT_EQ(RunPython(dir, kPythonArchive), 0);
  std::string bytes = ReadBytes(dir / "stream.zip");
  const size_t central = bytes.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  WriteBytes(dir / "cut.zip", bytes.substr(0, central));
  TZipReader reader;
  reader.IncompleteZipMode = izAssumeBad;
  reader.SetZipName(dir / "cut.zip");
  EXPECT_EQ(ErrorText<EBadZipFile>([&] { reader.ReadDirectory(); }), "Это не Zip файл!");
  EXPECT_FALSE(reader.HasDirectory());
  EXPECT_EQ(reader.ZipName(), "");
}

TEST(ZipReader, SelfExtractorIsSearchedFrom14000) {
  Scratch dir;
  HandMade inner = Build({{"late.txt", "LATE"}, {"later.txt", "X"}});
  // A stub holding a local header of its own near the start.
  HandMade early = Build({{"early.txt", "E"}});
  std::string stub = early.bytes.substr(0, early.central_offset);
  stub += std::string(15000 - stub.size(), 'S');
  const std::string body = stub + inner.bytes.substr(0, inner.central_offset);
  WriteBytes(dir / "x.exe", body);
  WriteBytes(dir / "x.zip", body);
  TZipReader reader;
  reader.IncompleteZipMode = izAssumeBad;
  reader.SetZipName(dir / "x.exe");
  reader.ReadDirectory();
  EXPECT_EQ(EntryNames(reader), "late.txt;later.txt;");
  EXPECT_EQ(reader.Entry(0).RelativeOffset, 15000u);
  reader.SetZipName(dir / "x.zip");
  reader.ReadDirectory();
  EXPECT_EQ(EntryNames(reader), "early.txt;");
}

TEST(ZipReader, CancelDuringTheScan) {
  Scratch dir;
  WriteBytes(dir / "zeros.zip", std::string(100000, '\0'));
  TZipReader reader;
  reader.IncompleteZipMode = izAssumeBad;
  int calls = 0;
  reader.ProcessInput = [&] {
    if (++calls == 3) reader.RequestCancel();
  };
  reader.SetZipName(dir / "zeros.zip");
  EXPECT_EQ(ErrorText<EUserCanceled>([&] { reader.ReadDirectory(); }), "Пользователь прервал операцию");
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(reader.CancelRequested());
  EXPECT_EQ(reader.ZipName(), dir / "zeros.zip");
  // Without message processing the scan runs to the end of the file.
  reader.DoProcessMessages = false;
  calls = 0;
  EXPECT_THROW(reader.ReadDirectory(), EBadZipFile);
  EXPECT_EQ(calls, 0);
}

TEST(ZipReader, SideFileHoldsTheCentralDirectory) {
  Scratch dir;
  ASSERT_EQ(RunPython(dir, kPythonArchive), 0);
  const std::string bytes = ReadBytes(dir / "py.zip");
  const size_t central = bytes.find(std::string("PK\x01\x02", 4));
  WriteBytes(dir / "set.zip", bytes.substr(0, central));
  WriteBytes(dir / "set.zfc", bytes.substr(central));
  EXPECT_EQ(TZipReader::ZipConfigFileName(dir / "set.zip"), dir / "set.zfc");
  EXPECT_EQ(TZipReader::ZipConfigFileName("/a.b/name"), "/a.b/name.zfc");
  TZipReader reader;
  reader.SetZipName(dir / "set.zip");
  reader.ReadDirectory();
  ASSERT_EQ(reader.Count(), 4);
  EXPECT_EQ(reader.EntryComment(2), std::string("entry\0comment", 13));
  EXPECT_EQ(reader.ZipComment().size(), 65535u);
}

// ZIP64 records of Python's zipfile (entries forced to ZIP64, seekable and
// streaming) and an archive with every value in a ZIP64 record: sizes and
// offset in the central field, the ZIP64 end record, a fully marked end record.
const char* kZip64Archives = R"(
import zipfile, struct, zlib
class Out:
    def __init__(s, f): s.f = f
    def write(s, b): return s.f.write(b)
    def flush(s): s.f.flush()
for name, stream in (('forced.zip', False), ('stream.zip', True)):
    raw = open(name, 'wb')
    with zipfile.ZipFile(Out(raw) if stream else raw, 'w', zipfile.ZIP_DEFLATED) as z:
        for n, data in (('a.txt', b'alpha' * 100), ('dir/b.bin', bytes(range(256)) * 9)):
            with z.open(zipfile.ZipInfo(n, (2024, 5, 6, 7, 8, 10)), 'w', force_zip64=True) as w:
                w.write(data)
    raw.close()
data = b'hello zip64\n'
crc = zlib.crc32(data)
name = b'a.txt'
local = struct.pack('<IHHHHHIIIHH', 0x04034b50, 45, 0, 0, 0, 0x21, crc, 0xffffffff, 0xffffffff, len(name), 20)
local += name + struct.pack('<HHQQ', 1, 16, len(data), len(data)) + data
central = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x032d, 45, 0, 0, 0, 0x21, crc, 0xffffffff,
                      0xffffffff, len(name), 28, 0, 0, 0, 0o100644 << 16, 0xffffffff)
central += name + struct.pack('<HHQQQ', 1, 24, len(data), len(data), 0)
z64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 0x032d, 45, 0, 0, 1, 1, len(central), len(local))
loc = struct.pack('<IIQI', 0x07064b50, 0, len(local) + len(central), 1)
end = struct.pack('<IHHHHIIH', 0x06054b50, 0xffff, 0xffff, 0xffff, 0xffff, 0xffffffff, 0xffffffff, 0)
open('records.zip', 'wb').write(local + central + z64 + loc + end)
)";

TEST(ZipReader, Zip64ArchivesOfPythonAndEveryRecord) {
  Scratch dir;
  ASSERT_EQ(RunPython(dir, kZip64Archives), 0);
  ExpectSameAsPython(dir, dir / "forced.zip", 2);
  ExpectSameAsPython(dir, dir / "stream.zip", 2);
  ExpectSameAsPython(dir, dir / "records.zip", 1);
  TZipReader reader;
  reader.SetZipName(dir / "records.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.EndCentral().TotalEntries, 1u);
  EXPECT_EQ(reader.EndCentral().CentralDirOffset, 30u + 5 + 20 + 12);
  EXPECT_EQ(reader.Entry(0).UncompressedSize, 12u);
}

TEST(ZipReader, ClassicArchiveOf65535EntriesIsReadWhole) {
  // The count fills its 16-bit field exactly, with no ZIP64 record behind
  // it, as a classic writer leaves it.
  Scratch dir;
  std::vector<std::pair<std::string, std::string>> entries;
  for (int i = 0; i < 65535; ++i) entries.emplace_back("f" + std::to_string(i), "");
  WriteBytes(dir / "big.zip", Build(entries).bytes);
  TZipReader reader;
  reader.SetZipName(dir / "big.zip");
  reader.ReadDirectory();
  EXPECT_EQ(reader.Count(), 65535);
  EXPECT_EQ(reader.Entry(65534).FullName(), "f65534");
}

TEST(ZipReader, ArchiveBetween2And4GiB) {
  Scratch dir;
  const std::string path = dir / "large.zip";
  const uint64_t start = 0xC0000000ULL;  // 3 GiB of hole in front
  HandMade archive = Build({{"far.txt", "FAR"}});
  // Move every offset up by `start`.
  std::string bytes = archive.bytes;
  auto* central = reinterpret_cast<uint8_t*>(bytes.data()) + archive.central_offset;
  PutLE32(central + 42, static_cast<uint32_t>(start));
  auto* end = reinterpret_cast<uint8_t*>(bytes.data()) + bytes.size() - 22;
  PutLE32(end + 16, static_cast<uint32_t>(start + archive.central_offset));
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const bool sparse = ::ftruncate(fd, static_cast<off_t>(start)) == 0 &&
                      ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(start)) ==
                          static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!sparse) GTEST_SKIP() << "no room for a sparse 3 GiB file";
  TZipReader reader;
  reader.SetZipName(path);
  reader.ReadDirectory();
  ASSERT_EQ(reader.Count(), 1);
  TZipHeaderInfo entry = reader.Entry(0);
  EXPECT_EQ(entry.RelativeOffset, start);
  EXPECT_EQ(reader.EndCentral().CentralDirOffset, start + archive.central_offset);
  TLFNFileStream in(path, TFileOpenMode::fmOpenRead);
  TMemoryStream out;
  CopyEntryData(in, out, entry);
  EXPECT_EQ(out.Data().substr(out.Data().size() - 3), "FAR");
}

TEST(ZipReader, ZipNameRules) {
  Scratch dir;
  WriteBytes(dir / "a.zip", Build({{"a.txt", "A"}}).bytes);
  TZipReader reader;
  reader.SetZipName(dir / "a.zip");
  reader.ReadDirectory();
  TSortedZip* held = reader.Entries();
  reader.SetZipName(dir / "a.zip");
  EXPECT_EQ(reader.Entries(), held);
  reader.SetZipName(dir / "A.zip");  // another file on this host
  EXPECT_FALSE(reader.HasDirectory());

  // "?" asks for a name, starting in the name's folder when it exists.
  EXPECT_EQ(ErrorText<EUserCanceled>([&] { reader.SetZipName(dir / "?"); }),
            "Пользователь прервал ввод имени архива.");
  std::string seen;
  reader.ChooseArchive = [&](const std::string& folder, std::string& chosen) {
    seen = folder;
    chosen = dir / "a.zip";
    return true;
  };
  reader.SetZipName(dir / "?");
  EXPECT_EQ(seen, dir.path() + "/");
  EXPECT_EQ(reader.ZipName(), dir / "a.zip");
  reader.SetZipName("/no/such/folder/x?");
  EXPECT_EQ(seen, "/");
  reader.ChooseArchive = [](const std::string&, std::string&) { return false; };
  EXPECT_THROW(reader.SetZipName(dir / "b?"), EUserCanceled);
  EXPECT_EQ(reader.ZipName(), dir / "a.zip");
}

TEST(ZipReader, HeldDirectoryFollowsTheFilesStamp) {
  Scratch dir;
  const std::string path = dir / "a.zip";
  WriteBytes(path, Build({{"one.txt", "1"}}).bytes);
  TZipReader reader;
  reader.SetZipName(path);
  reader.ReadDirectory();
  TSortedZip* held = reader.Entries();
  reader.ReadDirectory();
  EXPECT_EQ(reader.Entries(), held);  // unchanged file: not read again
  EXPECT_TRUE(reader.ArchiveStamp().Valid);

  // Rewritten in place with the same size and the same second: only the
  // nanoseconds tell.
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  WriteBytes(path, Build({{"two.txt", "2"}}).bytes);
  timespec times[2] = {before.st_atim, before.st_mtim};
  times[1].tv_nsec = (before.st_mtim.tv_nsec + 1) % 1000000000;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  reader.ReadDirectory();
  EXPECT_EQ(EntryNames(reader), "two.txt;");

  // Replaced by another file with the very same time stamp: the inode tells.
  struct stat now {};
  ASSERT_EQ(::stat(path.c_str(), &now), 0);
  WriteBytes(dir / "new.zip", Build({{"six.txt", "6"}}).bytes);
  timespec same[2] = {now.st_atim, now.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "new.zip").c_str(), same, 0), 0);
  ASSERT_EQ(::rename((dir / "new.zip").c_str(), path.c_str()), 0);
  reader.ReadDirectory();
  EXPECT_EQ(EntryNames(reader), "six.txt;");
}

TEST(ZipReader, SortModesIndexAndAdoption) {
  Scratch dir;
  WriteBytes(dir / "s.zip", Build({{"b/x.txt", "12345"}, {"A/y.txt", "1"}, {"a/z.txt", "123"}}).bytes);
  TZipReader reader;
  reader.SetZipName(dir / "s.zip");
  reader.KeepZipOpen = true;
  reader.ReadDirectory();
  EXPECT_TRUE(reader.IsArchiveOpen());
  EXPECT_EQ(EntryNames(reader), "b/x.txt;A/y.txt;a/z.txt;");
  reader.SetSortMode(ByName);
  EXPECT_EQ(EntryNames(reader), "A/y.txt;a/z.txt;b/x.txt;");
  reader.SetSortMode(ByUnCompressedSize);
  EXPECT_EQ(EntryNames(reader), "b/x.txt;a/z.txt;A/y.txt;");
  EXPECT_EQ(ErrorText<EListError>([&] { reader.Entry(3); }), "Index 3 is out of range");
  EXPECT_EQ(ErrorText<EListError>([&] { reader.Entry(-1); }), "Index -1 is out of range");
  DateTime expected = 0;
  ASSERT_TRUE(DosToDateTime(0x58A16B2F, expected));
  EXPECT_EQ(reader.EntryDateTime(0), expected);

  auto adopted = std::make_unique<TSortedZip>(dupRefuse, ByNone);
  auto entry = std::make_unique<TZipHeaderInfo>();
  entry->SetFullName("new.txt");
  adopted->Add(std::move(entry));
  TEndCentral end;
  end.TotalEntries = 1;
  end.SetComment(std::string("c\0d", 3));
  reader.AdoptDirectory(std::move(adopted), end, TArchiveStamp());
  EXPECT_FALSE(reader.IsArchiveOpen());
  EXPECT_EQ(EntryNames(reader), "new.txt;");
  EXPECT_EQ(reader.ZipComment(), std::string("c\0d", 3));
  reader.CloseAndForget();
  EXPECT_EQ(reader.Count(), 0);
  EXPECT_EQ(reader.ZipName(), dir / "s.zip");
}

}  // namespace
}  // namespace tessel
