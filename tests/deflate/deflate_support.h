#pragma once
// Shared helpers of the compressor tests: in-memory callbacks, a corpus of
// varied inputs, and the check that a compressed entry inflates back (with
// zlib and with our own probe) and that its blocks follow the block rules.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/stream_probe.h"
#include "support/files.h"

namespace tessel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t c : b) {
    if (!s.empty()) s += ' ';
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// Serves `input` in reads of at most `max_read` bytes and collects the output.
class MemoryIO : public DeflateIO {
 public:
  explicit MemoryIO(const Bytes& input, uint32_t max_read = 65534) : input_(input), max_read_(max_read) {}
  uint32_t read_source(uint8_t* dst, uint32_t count) override {
    EXPECT_LE(count, 65534u);
    if (first_read_ == 0) first_read_ = count;
    const size_t n = std::min<size_t>({count, max_read_, input_.size() - pos_});
    std::copy_n(input_.begin() + static_cast<std::ptrdiff_t>(pos_), n, dst);
    pos_ += n;
    return static_cast<uint32_t>(n);
  }
  void write_output(const uint8_t* src, uint32_t count) override {
    if (throw_after_ >= 0 && static_cast<int64_t>(output.size() + count) > throw_after_) {
      throw std::runtime_error("disk full");
    }
    output.insert(output.end(), src, src + count);
    writes++;
  }
  Bytes output;
  int writes = 0;
  int64_t throw_after_ = -1;  // throw once the output would pass this many bytes
  uint32_t first_read_ = 0;

 private:
  const Bytes& input_;
  uint32_t max_read_;
  size_t pos_ = 0;
};

struct Compressed {
  Bytes bytes;
  uint64_t size = 0;
  DeflateHeader header;
};

// One writer's state: buffers and tables reused for every entry.
struct Writer {
  std::unique_ptr<deflate_buffers> buffers = AllocateDeflateBuffers();
  DeflateTables tables;

  Compressed Compress(int level, const Bytes& input, DeflateHeader header = {}, uint32_t max_read = 65534) {
    MemoryIO io(input, max_read);
    Compressed c;
    c.header = header;
    c.size = deflate_entry(level, c.header, *buffers, tables, io);
    c.bytes = std::move(io.output);
    return c;
  }
};

inline Compressed CompressFresh(int level, const Bytes& input) {
  Writer w;
  return w.Compress(level, input);
}

inline bool ZlibInflates(const Bytes& stream, const Bytes& expected) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return false;
  Bytes out(expected.size() + 16);
  zs.next_in = const_cast<Bytef*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && zs.avail_in == 0 && zs.total_out == expected.size() &&
                  std::equal(expected.begin(), expected.end(), out.begin());
  inflateEnd(&zs);
  return ok;
}

// Checks a compressed entry against its input and the block rules.
inline void CheckEntry(int level, const Bytes& input, const Compressed& c, const std::string& what) {
  SCOPED_TRACE(what + " at level " + std::to_string(level));
  ASSERT_EQ(c.size, c.bytes.size());
  ASSERT_TRUE(c.header.InternalAttributes == 0 || c.header.InternalAttributes == 1);
  if (c.header.CompressionMethod == 0) {
    // Whole entry raw: only a one-block entry that did not shrink.
    ASSERT_EQ(c.bytes, input);
    ASSERT_LE(input.size(), 65535u);
    return;
  }
  ASSERT_EQ(c.header.CompressionMethod, 8);
  ASSERT_TRUE(ZlibInflates(c.bytes, input));
  const ProbeResult p = ProbeStream(c.bytes.data(), c.bytes.size());
  ASSERT_TRUE(p.ok) << p.error;
  ASSERT_EQ(p.output, input);
  for (size_t i = 0; i < p.blocks.size(); i++) {
    const ProbeBlock& b = p.blocks[i];
    SCOPED_TRACE("block " + std::to_string(i) + " type " + std::to_string(b.type));
    const bool last = i + 1 == p.blocks.size();
    ASSERT_EQ(b.final, last);
    const uint64_t s = b.out_len;
    const uint64_t coded_bytes = (b.end_bit - b.start_bit + 7) >> 3;  // header bits included
    const uint64_t fixed_bytes = (b.fixed_bits + 3 + 7) >> 3;
    // The block's input is still in the window unless it spans more than
    // the greatest distance; then neither stored form was possible.
    const bool may_have_slid_out = s > 32506;
    if (b.type == 2) {
      EXPECT_GT(fixed_bytes, coded_bytes) << "fixed codes were as cheap";
      EXPECT_TRUE(s + 4 > coded_bytes || may_have_slid_out) << "a stored block was as cheap";
      // The header is as short as the rules make it.
      EXPECT_NE(b.lit_lengths.back(), 0);
      EXPECT_NE(b.dist_lengths.back(), 0);
      EXPECT_GE(b.hclen, 4);
      EXPECT_TRUE(b.hclen == 4 || b.cl_sent.back() != 0);
      if (b.matches == 0) {
        EXPECT_EQ(b.hdist, 2);
        EXPECT_EQ(b.dist_lengths, (std::vector<uint8_t>{1, 1}));
      }
    } else if (b.type == 1) {
      EXPECT_TRUE(s + 4 > coded_bytes || may_have_slid_out) << "a stored block was as cheap";
    } else {
      EXPECT_LE(s, 65535u);
    }
    if (p.blocks.size() == 1) {
      // A one-block entry that does not shrink goes out raw instead.
      EXPECT_NE(b.type, 0);
      EXPECT_TRUE(s > coded_bytes || may_have_slid_out) << "the raw entry was as cheap";
    }
    if (b.type != 0) {
      EXPECT_LE(b.max_distance, 32506u);
      if (level >= 4) {
        EXPECT_EQ(b.far_short_matches, 0u);
      }
      if (!last) {
        if (level <= 2) {
          EXPECT_TRUE(b.tallies() == 32767 || b.matches == 32768) << b.tallies();
        } else {
          EXPECT_TRUE(b.tallies() == 32767 || (b.tallies() % 4096 == 0 && b.matches < b.tallies() / 2))
              << b.tallies() << " tallies, " << b.matches << " matches";
        }
      }
    }
  }
}

// ---- Corpus -----------------------------------------------------------------

inline Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

// Readable text from a fixed vocabulary, deterministic for a seed.
inline Bytes SyntheticText(size_t n, uint32_t seed) {
  static const char* words[] = {"архив", "backup", "the", "of", "file", "folder", "zip", "entry", "level",
                                "compress", "window", "match", "block", "tree", "code", "length", "distance",
                                "a", "is", "to", "and", "in", "данные", "копия", "time", "size", "header"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (sizeof words / sizeof *words)];
    const uint32_t r = rng() % 20;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  s.resize(n);
  return FromString(s);
}

// The first `limit` bytes of a file.
inline Bytes ReadFileBytes(const std::filesystem::path& p, size_t limit) {
  std::string bytes = ReadBytes(p);
  if (bytes.size() > limit) bytes.resize(limit);
  return FromString(bytes);
}

// The project's own sources, concatenated in name order.
inline Bytes SourceCode(size_t limit) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(fs::path(TESSEL_SOURCE_DIR) / "src")) {
    const auto ext = e.path().extension();
    if (e.is_regular_file() && (ext == ".cpp" || ext == ".h")) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  Bytes out;
  for (const auto& f : files) {
    const Bytes b = ReadFileBytes(f, limit - out.size());
    out.insert(out.end(), b.begin(), b.end());
    if (out.size() >= limit) break;
  }
  return out;
}

// The first of the machine's larger programs that exists, up to `limit` bytes.
inline Bytes Executable(size_t limit, int which = 0) {
  const char* candidates[] = {"/usr/bin/cmake", "/usr/bin/ctest", "/usr/bin/bash", "/bin/bash",
                              "/usr/bin/perl",  "/usr/bin/ls",    "/bin/ls"};
  for (const char* c : candidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(c, ec) && std::filesystem::file_size(c, ec) > 10000) {
      if (which-- == 0) return ReadFileBytes(c, limit);
    }
  }
  return SyntheticText(limit, 99);  // no programs here: stand in with something
}

// Machine-code-like bytes, deterministic for a seed: instruction patterns from
// a small set with varying operands, zero padding of any length and short
// stretches of noise, so that there are chains of every length, long runs and
// matches near and far.
inline Bytes StructuredBinary(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> patterns(48);
  for (auto& p : patterns) {
    p.resize(2 + rng() % 11);
    for (auto& c : p) c = static_cast<uint8_t>(rng());
  }
  Bytes b;
  while (b.size() < n) {
    const uint32_t r = rng() % 100;
    if (r < 80) {
      const Bytes& p = patterns[rng() % 24 + (rng() % 2) * (rng() % 24)];  // a few patterns dominate
      b.insert(b.end(), p.begin(), p.end());
      const uint32_t operand = rng() % 4096;
      b.push_back(static_cast<uint8_t>(operand));
      b.push_back(static_cast<uint8_t>(operand >> 8));
      if (r < 30) b.insert(b.end(), 2, 0);
    } else if (r < 84) {
      b.insert(b.end(), 1 + rng() % (r < 82 ? 16 : 600), 0);
    } else {
      for (uint32_t k = 1 + rng() % 24; k != 0; k--) b.push_back(static_cast<uint8_t>(rng()));
    }
  }
  b.resize(n);
  return b;
}

struct CorpusItem {
  std::string name;
  Bytes data;
};

inline std::vector<CorpusItem> Corpus() {
  std::vector<CorpusItem> c;
  const Bytes text = SyntheticText(300000, 1);
  c.push_back({"text", text});
  c.push_back({"source code", SourceCode(200000)});
  c.push_back({"executable", Executable(300000)});
  Bytes runs(70000, 'a');
  runs.insert(runs.end(), 40000, 0);
  for (int i = 0; i < 200; i++) runs.insert(runs.end(), static_cast<size_t>(i % 7 + 1) * 37, static_cast<uint8_t>(i));
  c.push_back({"runs", runs});
  c.push_back({"random", RandomBytes(100000, 2)});
  Bytes mix;
  for (int i = 0; i < 12; i++) {
    const Bytes part = i % 3 == 0 ? RandomBytes(7000, 10 + static_cast<uint32_t>(i)) : SyntheticText(9000, 20 + static_cast<uint32_t>(i));
    mix.insert(mix.end(), part.begin(), part.end());
  }
  c.push_back({"mix", mix});
  for (size_t n : {1u, 2u, 3u, 261u, 262u, 263u, 32767u, 32768u, 32769u, 65273u, 65274u, 65275u, 65535u,
                   65536u, 65537u}) {
    c.push_back({"text of " + std::to_string(n), Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n))});
  }
  c.push_back({"random of 65536", RandomBytes(65536, 3)});
  return c;
}

}  // namespace tessel::test
