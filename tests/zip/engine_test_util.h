#pragma once
// Helpers of the zip engine tests: scratch trees, file times, an archive
// parser of its own (independent of the engine's reader) that checks every
// record and inflates every entry with zlib, and stream wrappers that fail.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
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

class Scratch {
public:
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/engine_XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
    ::chmod(path_.c_str(), 0755);
  }
  ~Scratch() { Remove(path_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  static void Remove(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      ::chmod(path.c_str(), 0700);
      if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(dir)) {
          const std::string name = e->d_name;
          if (name != "." && name != "..") Remove(path + "/" + name);
        }
        ::closedir(dir);
      }
      ::rmdir(path.c_str());
    } else {
      ::unlink(path.c_str());
    }
  }

private:
  std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Writes the file, creating missing folders on the way.
inline void WriteBytes(const std::string& path, const std::string& bytes) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void SetMTime(const std::string& path, time_t seconds) {
  timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ::utimes(path.c_str(), times);
}

inline time_t MTimeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mtime;
}

// Names of the files in a folder (not recursive), sorted.
inline std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

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

// One entry as the archive's own records describe it.
struct ParsedEntry {
  std::string Name;  // stored bytes
  uint16_t VersionMadeBy = 0, Flags = 0, Method = 0, Internal = 0;
  uint32_t DosTime = 0, Crc = 0, External = 0;
  uint32_t CompressedSize = 0, UncompressedSize = 0, Offset = 0;
  std::string Comment;
  std::string Data;  // inflated (or stored) bytes
};

struct ParsedArchive {
  std::vector<ParsedEntry> Entries;
  std::string Comment;
  std::map<std::string, size_t> ByName;
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
// central directory must lie right before it, every local header must match
// its central header, entries must follow one another without gaps from
// offset 0, and every entry's data must inflate to its size and CRC.
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
  const uint16_t total = Le16(bytes, eocd + 10);
  if (Le16(bytes, eocd + 8) != total) fail("entry counts differ");
  const uint32_t cd_size = Le32(bytes, eocd + 12), cd_offset = Le32(bytes, eocd + 16);
  const uint16_t comment_length = Le16(bytes, eocd + 20);
  if (eocd + 22 + comment_length != bytes.size()) fail("bytes after the end record");
  archive.Comment = bytes.substr(eocd + 22, comment_length);
  if (static_cast<uint64_t>(cd_offset) + cd_size != eocd) fail("central directory not before end");
  size_t p = cd_offset;
  uint64_t expected_offset = 0;
  for (uint16_t i = 0; i < total; ++i) {
    if (p + 46 > eocd || Le32(bytes, p) != 0x02014B50u) fail("bad central header");
    ParsedEntry e;
    e.VersionMadeBy = Le16(bytes, p + 4);
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
    if (!descriptor && (Le32(bytes, l + 14) != e.Crc || Le32(bytes, l + 18) != e.CompressedSize ||
                        Le32(bytes, l + 22) != e.UncompressedSize))
      fail("local sizes differ " + e.Name);
    const size_t data = l + 30 + ln + lx;
    if (data + e.CompressedSize > cd_offset) fail("data runs into the directory " + e.Name);
    const std::string raw = bytes.substr(data, e.CompressedSize);
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
      expected_offset += (Le32(bytes, d) == 0x08074B50u) ? 16 : 12;
    }
    archive.ByName[e.Name] = archive.Entries.size();
    archive.Entries.push_back(std::move(e));
  }
  if (expected_offset != cd_offset) fail("bytes between the last entry and the directory");
  if (p != eocd) fail("central directory size");
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

// Shell commands and hex dumps as the format tests have them.
using test::Run;
inline int Shell(const std::string& command) { return Run(command); }
using test::ToHex;

}  // namespace tessel::enginetest
