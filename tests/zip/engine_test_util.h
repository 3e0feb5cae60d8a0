#pragma once
// Helpers of the zip engine tests: an archive parser of its own (independent
// of the engine's reader) that checks every record and inflates every entry
// with zlib, test data, and stream wrappers that fail; on the tests' shared
// helpers for folders, files and commands.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zip/buffer_stream.h"
#include "zip/format_test_util.h"

namespace tessel::enginetest {

// The tests' shared helpers, under the names the engine's tests use.
using test::ListFolder;
using test::ReadBytes;
using test::Scratch;
using test::SetMTime;
using test::Shell;
using test::WriteBytes;

// ASCII text that compresses well, and bytes that do not.
inline std::string TextOf(size_t size, unsigned seed = 1) {
  std::string s;
  s.reserve(size);
  const char* words[] = {"archive ", "backup ", "zip ", "data ", "file ", "line\n", "copy "};
  while (s.size() < size) s += words[((seed = seed * 1103515245u + 12345u) >> 16) % 7];
  s.resize(size);
  return s;
}
inline std::string NoiseOf(size_t size, unsigned seed = 7) {
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  return s;
}

inline uint16_t Le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}
inline uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(Le16(b, at)) | static_cast<uint32_t>(Le16(b, at + 2)) << 16;
}
inline uint64_t Le64(const std::string& b, size_t at) {
  return static_cast<uint64_t>(Le32(b, at)) | static_cast<uint64_t>(Le32(b, at + 4)) << 32;
}

// The values of the ZIP64 extra field (tag 1) in `extra` for the fields whose
// classic value is marked (0xFFFFFFFF, 0xFFFF for the disk), in their order;
// the marked values in `values` are replaced. Throws when it is missing or short.
inline void Zip64Values(const std::string& extra, std::vector<std::pair<uint64_t*, bool>> values) {
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    const uint16_t tag = Le16(extra, at), size = Le16(extra, at + 2);
    if (at + 4 + size > extra.size()) break;
    if (tag == 1) {
      size_t p = at + 4;
      for (auto& [value, wide] : values) {
        const bool marked = wide ? *value == 0xFFFFFFFFu : *value == 0xFFFFu;
        if (!marked) continue;
        if (p + (wide ? 8 : 4) > at + 4 + size) throw std::runtime_error("ZIP64 field too short");
        *value = wide ? Le64(extra, p) : Le32(extra, p);
        p += wide ? 8 : 4;
      }
      return;
    }
    at += 4 + size;
  }
  for (auto& [value, wide] : values)
    if (wide ? *value == 0xFFFFFFFFu : *value == 0xFFFFu) throw std::runtime_error("no ZIP64 field");
}

// One entry as the archive's own records describe it.
struct ParsedEntry {
  std::string Name;  // stored bytes
  uint16_t VersionMadeBy = 0, Flags = 0, Method = 0, Internal = 0;
  uint32_t DosTime = 0, Crc = 0, External = 0;
  uint64_t CompressedSize = 0, UncompressedSize = 0, Offset = 0;
  uint16_t VersionNeeded = 0, LocalVersionNeeded = 0;
  bool LocalZip64 = false;  // the local header has a ZIP64 field
  std::string Comment;
  std::string Data;  // inflated (or stored) bytes
  std::string Raw;   // the entry's data as it stands in the archive
};

struct ParsedArchive {
  std::vector<ParsedEntry> Entries;
  std::string Comment;
  std::map<std::string, size_t> ByName;
  bool Zip64End = false;  // the archive ends with the ZIP64 end record and locator
  const ParsedEntry* Find(const std::string& name) const {
    auto it = ByName.find(name);
    return it == ByName.end() ? nullptr : &Entries[it->second];
  }
};

inline std::string Inflate(const std::string& data, size_t expected) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
  std::string out(expected + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const size_t produced = out.size() - z.avail_out;
  const bool all_in = z.avail_in == 0;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || !all_in) throw std::runtime_error("bad deflate stream");
  out.resize(produced);
  return out;
}

// Parses a whole archive strictly: the end record must close the file, the
// central directory must lie right before it (or before the ZIP64 end record
// and its locator, which then must stand right before it and hold the
// values), every local header must match its central header, entries must
// follow one another without gaps from offset 0, and every entry's data must
// inflate to its size and CRC. Values marked in a classic field are taken from
// the ZIP64 extra field, a local header's with both sizes.
// Throws std::runtime_error with the reason otherwise.
inline ParsedArchive ParseArchive(const std::string& bytes) {
  auto fail = [](const std::string& why) { throw std::runtime_error(why); };
  ParsedArchive archive;
  if (bytes.size() < 22) fail("too short");
  size_t eocd = std::string::npos;
  for (size_t p = bytes.size() - 22 + 1; p-- > 0;) {
    if (Le32(bytes, p) == 0x06054B50u) {
      eocd = p;
      break;
    }
  }
  if (eocd == std::string::npos) fail("no end record");
  uint64_t total = Le16(bytes, eocd + 10);
  if (Le16(bytes, eocd + 8) != total) fail("entry counts differ");
  uint64_t cd_size = Le32(bytes, eocd + 12), cd_offset = Le32(bytes, eocd + 16);
  const uint16_t comment_length = Le16(bytes, eocd + 20);
  if (eocd + 22 + comment_length != bytes.size()) fail("bytes after the end record");
  archive.Comment = bytes.substr(eocd + 22, comment_length);
  size_t directory_end = eocd;
  if (eocd >= 76 && Le32(bytes, eocd - 20) == 0x07064B50u) {
    const size_t z = eocd - 76;
    if (Le64(bytes, eocd - 12) != z || Le32(bytes, z) != 0x06064B50u) fail("ZIP64 locator");
    if (Le64(bytes, z + 4) != 44 || Le32(bytes, eocd - 16) != 0 || Le32(bytes, eocd - 4) != 1)
      fail("ZIP64 end record fields");
    if (Le64(bytes, z + 24) != Le64(bytes, z + 32)) fail("ZIP64 entry counts differ");
    auto agrees = [](uint64_t classic, uint64_t marker, uint64_t wide) {
      return classic == marker || classic == wide;
    };
    if (!agrees(total, 0xFFFF, Le64(bytes, z + 32)) || !agrees(cd_size, 0xFFFFFFFFu, Le64(bytes, z + 40)) ||
        !agrees(cd_offset, 0xFFFFFFFFu, Le64(bytes, z + 48)))
      fail("ZIP64 end record contradicts the classic one");
    total = Le64(bytes, z + 32);
    cd_size = Le64(bytes, z + 40);
    cd_offset = Le64(bytes, z + 48);
    directory_end = z;
    archive.Zip64End = true;
  }
  if (cd_offset + cd_size != directory_end) fail("central directory not before end");
  size_t p = cd_offset;
  uint64_t expected_offset = 0;
  for (uint64_t i = 0; i < total; ++i) {
    if (p + 46 > directory_end || Le32(bytes, p) != 0x02014B50u) fail("bad central header");
    ParsedEntry e;
    e.VersionMadeBy = Le16(bytes, p + 4);
    e.VersionNeeded = Le16(bytes, p + 6);
    e.Flags = Le16(bytes, p + 8);
    e.Method = Le16(bytes, p + 10);
    e.DosTime = Le32(bytes, p + 12);
    e.Crc = Le32(bytes, p + 16);
    e.CompressedSize = Le32(bytes, p + 20);
    e.UncompressedSize = Le32(bytes, p + 24);
    const uint16_t n = Le16(bytes, p + 28), x = Le16(bytes, p + 30), c = Le16(bytes, p + 32);
    e.Internal = Le16(bytes, p + 36);
    e.External = Le32(bytes, p + 38);
    e.Offset = Le32(bytes, p + 42);
    e.Name = bytes.substr(p + 46, n);
    e.Comment = bytes.substr(p + 46 + n + x, c);
    uint64_t disk = Le16(bytes, p + 34);
    Zip64Values(bytes.substr(p + 46 + n, x),
                {{&e.UncompressedSize, true}, {&e.CompressedSize, true}, {&e.Offset, true}, {&disk, false}});
    p += 46 + n + x + c;
    if (e.Offset != expected_offset) fail("gap or overlap before " + e.Name);
    const size_t l = e.Offset;
    if (l + 30 > bytes.size() || Le32(bytes, l) != 0x04034B50u) fail("bad local header " + e.Name);
    const uint16_t ln = Le16(bytes, l + 26), lx = Le16(bytes, l + 28);
    if (bytes.substr(l + 30, ln) != e.Name) fail("local name differs " + e.Name);
    if (Le16(bytes, l + 6) != e.Flags || Le16(bytes, l + 8) != e.Method ||
        Le32(bytes, l + 10) != e.DosTime)
      fail("local header differs " + e.Name);
    const bool descriptor = (e.Flags & 8) != 0;
    uint64_t local_compressed = Le32(bytes, l + 18), local_uncompressed = Le32(bytes, l + 22);
    const std::string local_extra = bytes.substr(l + 30 + ln, lx);
    e.LocalZip64 = local_compressed == 0xFFFFFFFFu || local_uncompressed == 0xFFFFFFFFu;
    if (e.LocalZip64 && (local_compressed != 0xFFFFFFFFu || local_uncompressed != 0xFFFFFFFFu))
      fail("a local ZIP64 field without both sizes " + e.Name);
    Zip64Values(local_extra, {{&local_uncompressed, true}, {&local_compressed, true}});
    e.LocalVersionNeeded = Le16(bytes, l + 4);
    if (!descriptor && (Le32(bytes, l + 14) != e.Crc || local_compressed != e.CompressedSize ||
                        local_uncompressed != e.UncompressedSize))
      fail("local sizes differ " + e.Name);
    const uint64_t data = l + 30 + ln + lx;
    if (data + e.CompressedSize > cd_offset) fail("data runs into the directory " + e.Name);
    const std::string raw = bytes.substr(data, e.CompressedSize);
    e.Raw = raw;
    if (e.Method == 0) {
      if (e.CompressedSize != e.UncompressedSize) fail("stored sizes differ " + e.Name);
      e.Data = raw;
    } else if (e.Method == 8) {
      e.Data = Inflate(raw, e.UncompressedSize);
    } else {
      fail("unknown method " + e.Name);
    }
    if (e.Data.size() != e.UncompressedSize) fail("size differs " + e.Name);
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.Data.data()), static_cast<uInt>(e.Data.size())));
    if (crc != e.Crc) fail("CRC differs " + e.Name);
    expected_offset = data + e.CompressedSize;
    if (descriptor) {
      const size_t d = expected_offset;
      expected_offset += (Le32(bytes, d) == 0x08074B50u ? 4 : 0) + (e.LocalZip64 ? 20 : 12);
    }
    archive.ByName[e.Name] = archive.Entries.size();
    archive.Entries.push_back(std::move(e));
  }
  if (expected_offset != cd_offset) fail("bytes between the last entry and the directory");
  if (p != directory_end) fail("central directory size");
  return archive;
}

inline ParsedArchive ParseFile(const std::string& path) { return ParseArchive(ReadBytes(path)); }

inline std::vector<std::string> NamesOf(const ParsedArchive& archive) {
  std::vector<std::string> names;
  for (const ParsedEntry& e : archive.Entries) names.push_back(e.Name);
  return names;
}

// A stream that passes everything to another and refuses writes once a
// byte budget is spent (ENOSPC), or fails reads after a budget (EIO).
class FailingStream : public TStream {
public:
  FailingStream(std::unique_ptr<TStream> inner, int64_t write_budget, int64_t read_budget)
      : inner_(std::move(inner)), write_budget_(write_budget), read_budget_(read_budget) {}
  size_t Read(void* buffer, size_t count) override {
    if (read_budget_ >= 0) {
      if (read_budget_ == 0) throw EHostError("Cannot read " + inner_->Name() + ": Input/output error", EIO);
      count = std::min<size_t>(count, static_cast<size_t>(read_budget_));
      const size_t n = inner_->Read(buffer, count);
      read_budget_ -= static_cast<int64_t>(n);
      return n;
    }
    return inner_->Read(buffer, count);
  }
  size_t Write(const void* buffer, size_t count) override {
    if (write_budget_ >= 0 && static_cast<int64_t>(count) > write_budget_) {
      const size_t taken = inner_->Write(buffer, static_cast<size_t>(write_budget_));
      write_budget_ = 0;
      error_ = ENOSPC;
      return taken;
    }
    if (write_budget_ >= 0) write_budget_ -= static_cast<int64_t>(count);
    return inner_->Write(buffer, count);
  }
  uint64_t Seek(int64_t offset, int origin) override { return inner_->Seek(offset, origin); }
  uint64_t Size() override { return inner_->Size(); }
  int LastError() const override { return error_ != 0 ? error_ : inner_->LastError(); }
  std::string Name() const override { return inner_->Name(); }

private:
  std::unique_ptr<TStream> inner_;
  int64_t write_budget_;
  int64_t read_budget_;
  int error_ = 0;
};

inline TStreamWrapper FailWritesAfter(int64_t budget) {
  return [budget](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
    return std::make_unique<FailingStream>(std::move(inner), budget, -1);
  };
}
inline TStreamWrapper FailReadsAfter(int64_t budget) {
  return [budget](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
    return std::make_unique<FailingStream>(std::move(inner), -1, budget);
  };
}

// Writes an archive at path with Python's zipfile through a stream that
// cannot seek, so that every entry has a data descriptor after its data;
// `entries` are Python statements on the open ZipFile `z`, one per line, and
// `method` the default method ("zipfile.ZIP_STORED" or "zipfile.ZIP_DEFLATED").
// Returns Python's exit status.
inline int WriteStreamedArchive(const std::string& path, const std::string& method, const std::string& entries) {
  std::string script =
      "import sys, zipfile\n"
      "class Pipe:\n"
      "    def __init__(s, f): s.f = f\n"
      "    def write(s, b): return s.f.write(b)\n"
      "    def flush(s): s.f.flush()\n"
      "with open(sys.argv[1], 'wb') as f, zipfile.ZipFile(Pipe(f), 'w', " + method + ") as z:\n";
  size_t start = 0;
  while (start < entries.size()) {
    size_t end = entries.find('\n', start);
    if (end == std::string::npos) end = entries.size();
    script += "    " + entries.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return test::Shell(test::Python() + " -c \"" + script + "\" '" + path + "'");
}

// Hex dumps as the format tests have them.
using test::ToHex;

}  // namespace tessel::enginetest
