// The compressor end to end: byte-exact vectors, the entry header fields, and
// every level on a varied corpus, inflated back and checked block by block.
#include "deflate/deflate.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "deflate/deflate_support.h"

namespace tessel::test {
namespace {

struct Vector {
  const char* name;
  int level;
  Bytes input;
  const char* hex;
  uint16_t method;
  uint16_t internal;
};

TEST(DeflateEntry, ByteExactVectors) {
  const Vector vectors[] = {
      // Two literals, a match of 18 at distance 1 (the first match starts at
      // index 2: position 0 is never a match source), end of block; fixed codes.
      {"twenty a", 6, Bytes(20, 'a'), "4B 4C C4 04 00", 8, 1},
      {"twenty a, greedy", 1, Bytes(20, 'a'), "4B 4C C4 04 00", 8, 1},
      {"empty", 6, Bytes{}, "", 0, 1},
      {"empty, level 1", 1, Bytes{}, "", 0, 1},
      {"one byte", 6, Bytes{'x'}, "78", 0, 1},
      {"one binary byte", 9, Bytes{0x01}, "01", 0, 0},
      {"short text", 6, FromString("abc"), "61 62 63", 0, 1},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.name);
    const Compressed c = CompressFresh(v.level, v.input);
    EXPECT_EQ(Hex(c.bytes), v.hex);
    EXPECT_EQ(c.size, c.bytes.size());
    EXPECT_EQ(c.header.CompressionMethod, v.method);
    EXPECT_EQ(c.header.InternalAttributes, v.internal);
  }
}

TEST(DeflateEntry, RandomDataAtLevel1BecomesTwoStoredBlocks) {
  const Bytes input = RandomBytes(40000, 7);
  const Compressed c = CompressFresh(1, input);
  EXPECT_EQ(c.size, 40010u);
  EXPECT_EQ(c.header.CompressionMethod, 8);  // more than one block is never raw
  EXPECT_EQ(c.header.InternalAttributes, 0);
  const ProbeResult p = ProbeStream(c.bytes.data(), c.bytes.size());
  ASSERT_TRUE(p.ok) << p.error;
  ASSERT_EQ(p.blocks.size(), 2u);
  // The first block ends at 32767 tallies (a few chance matches among them);
  // each stored block adds 5 bytes: header padded to a byte, LEN and NLEN.
  EXPECT_EQ(p.blocks[0].type, 0);
  EXPECT_FALSE(p.blocks[0].final);
  EXPECT_GE(p.blocks[0].out_len, 32767u);
  EXPECT_EQ(p.blocks[1].type, 0);
  EXPECT_TRUE(p.blocks[1].final);
  EXPECT_EQ(p.blocks[0].end_bit, (5 + p.blocks[0].out_len) * 8);
  EXPECT_EQ(p.output, input);
  EXPECT_EQ(c.bytes[0], 0x00);  // not final, type 0, padding
  EXPECT_EQ(c.bytes[1] | c.bytes[2] << 8, static_cast<int>(p.blocks[0].out_len));
}

TEST(DeflateEntry, FlagBitsPerLevel) {
  const uint16_t expected[10] = {0, 4, 4, 0, 0, 0, 0, 0, 2, 2};
  const Bytes input = SyntheticText(5000, 3);
  Writer w;
  for (int level = 1; level <= 9; level++) {
    SCOPED_TRACE(level);
    EXPECT_EQ(w.Compress(level, input).header.GeneralPurposeFlags, expected[level]);
    // Bits the writer set already (encryption, UTF-8 name) are kept.
    DeflateHeader h;
    h.GeneralPurposeFlags = 0x0801;
    EXPECT_EQ(w.Compress(level, input, h).header.GeneralPurposeFlags, 0x0801 | expected[level]);
    // The flag is set whatever the outcome, a raw entry included.
    EXPECT_EQ(w.Compress(level, Bytes{'q'}).header.GeneralPurposeFlags, expected[level]);
  }
}

// A sequence over k symbols from `first` on in which no three consecutive
// symbols repeat (k^3 long).
Bytes NoRepeatedTriples(int k = 16, uint8_t first = 'a') {
  const int n = 3;
  std::vector<int> a(static_cast<size_t>(k * n), 0);
  Bytes seq;
  auto db = [&](auto&& self, int t, int p) -> void {
    if (t > n) {
      if (n % p == 0) {
        for (int j = 1; j <= p; j++) seq.push_back(static_cast<uint8_t>(first + a[static_cast<size_t>(j)]));
      }
    } else {
      a[static_cast<size_t>(t)] = a[static_cast<size_t>(t - p)];
      self(self, t + 1, p);
      for (int j = a[static_cast<size_t>(t - p)] + 1; j < k; j++) {
        a[static_cast<size_t>(t)] = j;
        self(self, t + 1, t);
      }
    }
  };
  db(db, 1, 1);
  return seq;
}

TEST(DeflateEntry, InternalAttributesFromTheFirstBlock) {
  Writer w;
  EXPECT_EQ(w.Compress(6, SyntheticText(20000, 4)).header.InternalAttributes, 1);
  EXPECT_EQ(w.Compress(6, RandomBytes(20000, 4)).header.InternalAttributes, 0);
  // Binary count must exceed a quarter of the text count: 25 control bytes
  // against 100 letters is still text, 26 is binary (no matches in either).
  const Bytes letters = NoRepeatedTriples();
  const Bytes controls = NoRepeatedTriples(7, 0);
  for (const auto& [control, expected] : {std::pair{25, 1}, std::pair{26, 0}}) {
    Bytes b(letters.begin(), letters.begin() + 100);
    b.insert(b.end(), controls.begin(), controls.begin() + control);
    EXPECT_EQ(w.Compress(6, b).header.InternalAttributes, expected) << control;
  }
  // A header that already knows is left alone.
  DeflateHeader known;
  known.InternalAttributes = 0;
  EXPECT_EQ(w.Compress(6, SyntheticText(1000, 6), known).header.InternalAttributes, 0);
}

TEST(DeflateEntry, DynamicBlockWithoutMatchesAnnouncesTwoDistanceCodes) {
  const Bytes input = NoRepeatedTriples();
  ASSERT_EQ(input.size(), 4096u);
  for (int level : {1, 6, 9}) {
    SCOPED_TRACE(level);
    const Compressed c = CompressFresh(level, input);
    const ProbeResult p = ProbeStream(c.bytes.data(), c.bytes.size());
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.blocks.size(), 1u);
    const ProbeBlock& b = p.blocks[0];
    EXPECT_EQ(b.type, 2);
    EXPECT_EQ(b.matches, 0u);
    EXPECT_EQ(b.literals, 4096u);
    EXPECT_EQ(b.hdist, 2);
    EXPECT_EQ(b.dist_lengths, (std::vector<uint8_t>{1, 1}));
    // 16 letters of length 4 and the end of block: symbol 256 ends the tree.
    EXPECT_EQ(b.hlit, 257);
    CheckEntry(level, input, c, "no repeated triples");
  }
}

TEST(DeflateEntry, FarShortMatchesOnlyOnTheGreedyLevels) {
  // "xyz" again 5003 bytes later, with nothing else around it to match.
  Bytes input = FromString("xyz!");
  const Bytes filler = RandomBytes(5000, 8);
  for (uint8_t b : filler) input.push_back(static_cast<uint8_t>('0' + b % 10));
  for (char ch : std::string("xyz?")) input.push_back(static_cast<uint8_t>(ch));
  for (int level = 1; level <= 9; level++) {
    SCOPED_TRACE(level);
    const Compressed c = CompressFresh(level, input);
    const ProbeResult p = ProbeStream(c.bytes.data(), c.bytes.size());
    ASSERT_TRUE(p.ok) << p.error;
    uint32_t far = 0;
    for (const auto& b : p.blocks) far += b.far_short_matches;
    if (level <= 3) {
      EXPECT_GE(far, 1u);
    } else {
      EXPECT_EQ(far, 0u);
    }
  }
}

TEST(DeflateEntry, RunsOfOneByte) {
  const Bytes input(100000, 'z');
  for (int level = 1; level <= 9; level++) {
    SCOPED_TRACE(level);
    const Compressed c = CompressFresh(level, input);
    const ProbeResult p = ProbeStream(c.bytes.data(), c.bytes.size());
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.blocks.size(), 1u);
    EXPECT_EQ(p.blocks[0].literals, 2u);
    // 99998 bytes in matches of 258, the last one shorter.
    EXPECT_EQ(p.blocks[0].matches, (99998u + 257) / 258);
    // The lazy levels insert every position, so every match is at distance 1.
    // The greedy levels skip the positions inside a long match: after the
    // first match, the newest chained position is the previous match's start.
    EXPECT_EQ(p.blocks[0].max_distance, level >= 4 ? 1u : 258u);
  }
}

TEST(DeflateEntry, FirstReadAsksForHalfTheWindow) {
  Writer w;
  const Bytes input = SyntheticText(100000, 9);
  MemoryIO io(input);
  DeflateHeader h;
  deflate_entry(6, h, *w.buffers, w.tables, io);
  EXPECT_EQ(io.first_read_, 32768u);
}

TEST(DeflateEntry, EveryLevelOnTheCorpus) {
  const auto corpus = Corpus();
  Writer w;  // one writer for everything, as in one zip operation
  for (int level = 1; level <= 9; level++) {
    for (const auto& item : corpus) {
      const Compressed c = w.Compress(level, item.data);
      CheckEntry(level, item.data, c, item.name);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(DeflateEntry, OutputDoesNotDependOnEarlierEntries) {
  const auto corpus = Corpus();
  for (int level : {1, 3, 6, 9}) {
    Writer shared;
    for (const auto& item : corpus) {
      SCOPED_TRACE(item.name + " at level " + std::to_string(level));
      const Compressed after_others = shared.Compress(level, item.data);
      const Compressed alone = CompressFresh(level, item.data);
      EXPECT_EQ(after_others.bytes, alone.bytes);
      EXPECT_EQ(after_others.header.CompressionMethod, alone.header.CompressionMethod);
    }
  }
  // Nor on the level of earlier entries: the fast and the other levels keep
  // their chains in tables of their own.
  Writer mixed;
  const Bytes text = SyntheticText(100000, 5);
  for (int level : {9, 1, 6, 2, 3, 1, 9}) {
    EXPECT_EQ(mixed.Compress(level, text).bytes, CompressFresh(level, text).bytes) << "level " << level;
  }
}

TEST(DeflateEntry, ShortReadsStillRoundTrip) {
  const Bytes input = SyntheticText(200000, 11);
  Writer w;
  for (uint32_t max_read : {1u, 7u, 300u, 4096u}) {
    const Compressed c = w.Compress(6, input, {}, max_read);
    CheckEntry(6, input, c, "reads of " + std::to_string(max_read));
  }
}

TEST(DeflateEntry, CallbackExceptionsPassThrough) {
  Writer w;
  const Bytes input = SyntheticText(300000, 12);
  const Compressed reference = CompressFresh(6, input);
  {
    MemoryIO io(input);
    io.throw_after_ = 5000;
    DeflateHeader h;
    EXPECT_THROW(deflate_entry(6, h, *w.buffers, w.tables, io), std::runtime_error);
  }
  {
    class FailingRead : public DeflateIO {
     public:
      uint32_t read_source(uint8_t*, uint32_t) override { throw std::logic_error("read failed"); }
      void write_output(const uint8_t*, uint32_t) override {}
    } io;
    DeflateHeader h;
    EXPECT_THROW(deflate_entry(6, h, *w.buffers, w.tables, io), std::logic_error);
  }
  // The writer's buffers are fit for the next entry.
  EXPECT_EQ(w.Compress(6, input).bytes, reference.bytes);
}

TEST(DeflateEntry, StoredBlocksGoOutInOneWriteFromTheWindow) {
  // Random data at level 1: each stored block's bytes arrive in one call.
  class CountingIO : public MemoryIO {
   public:
    using MemoryIO::MemoryIO;
    void write_output(const uint8_t* src, uint32_t count) override {
      largest = std::max(largest, count);
      MemoryIO::write_output(src, count);
    }
    uint32_t largest = 0;
  };
  const Bytes input = RandomBytes(40000, 13);
  Writer w;
  CountingIO io(input);
  DeflateHeader h;
  deflate_entry(1, h, *w.buffers, w.tables, io);
  const ProbeResult p = ProbeStream(io.output.data(), io.output.size());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(io.largest, p.blocks[0].out_len);
}

// SHA-256 of everything one level writes for the inputs below: each entry's
// size, method, internal attributes and flag bits, then its bytes.
class LevelDigest {
 public:
  LevelDigest() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr); }
  void Add(const Compressed& c) {
    const uint16_t h[3] = {c.header.CompressionMethod, c.header.InternalAttributes, c.header.GeneralPurposeFlags};
    uint8_t fields[14];
    for (int i = 0; i < 8; i++) fields[i] = static_cast<uint8_t>(c.size >> (8 * i));
    for (int i = 0; i < 3; i++) {
      fields[8 + 2 * i] = static_cast<uint8_t>(h[i]);
      fields[9 + 2 * i] = static_cast<uint8_t>(h[i] >> 8);
    }
    EVP_DigestUpdate(ctx_.get(), fields, sizeof fields);
    EVP_DigestUpdate(ctx_.get(), c.bytes.data(), c.bytes.size());
  }
  Bytes Final() {
    Bytes d(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_.get(), d.data(), &n);
    d.resize(n);
    return d;
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

// The compressed form of fixed inputs must never change: a faster match
// finder, tally or bit writer has to write the very same bytes. The digests
// were taken from the compressor as first released.
TEST(DeflateEntry, OutputUnchangedAtEveryLevel) {
  const char* const expected[10] = {
      nullptr,
      "EB E2 C7 F0 C9 A9 BE 7B 62 78 E5 0D 51 7A A3 49 5F 9A 6F 17 DC 26 B2 BE 68 AF A6 2F C8 B9 AD 92",
      "97 55 10 04 22 75 17 82 0E 05 A3 92 5E C8 99 3A B7 F2 95 31 AB D5 AC 6F 20 F5 89 1B 05 0F 84 C0",
      "10 40 46 88 57 B5 8E E8 2E 5D F9 E3 69 01 35 96 A1 36 D3 C5 48 DB D3 6B 2D D3 F4 C8 BA 7C CA CC",
      "02 BF 73 75 DA 26 C3 CE 4F C5 E4 D9 FC C5 65 33 26 7D 08 EB 8C 9E 24 C7 EE BD E3 15 CB 24 3A CC",
      "DD 25 5B 7C A1 8C 5F 23 61 72 C1 BD 45 19 70 ED 28 F3 AE 97 0D 1A 48 0F 89 DA 1E 40 FE 18 D7 00",
      "11 A9 B4 2F C5 87 29 5A 98 B0 EB F9 9B 3C 2A 64 53 E4 5E 2A 4D BD DE 18 F7 C6 A0 C3 97 2F 8C CF",
      "9F E3 BB 8D F6 DC 6C 33 78 C2 06 B3 5F 1A 34 29 C0 25 AB 6C 12 0C 49 50 B7 80 37 15 EF 5E CB 54",
      "32 52 55 71 05 92 2D F1 58 E4 B9 7C 28 11 32 10 16 50 82 D1 A3 D9 1C 32 04 FA B5 C4 E6 D0 A2 B8",
      "E8 B9 E5 E3 A7 95 98 99 E5 D1 97 CD 52 15 89 48 53 94 A5 7A 95 E4 DC 5E 09 0F B9 1F 7A 3D 68 3F",
  };
  const Bytes text = SyntheticText(300000, 1);
  // Random bytes with copies exactly at and just inside the greatest distance.
  Bytes far = RandomBytes(100000, 4);
  std::copy_n(far.begin() + 1000, 600, far.begin() + 1000 + 32506);
  std::copy_n(far.begin() + 9000, 600, far.begin() + 9000 + 32505);
  Bytes runs(70000, 'a');
  runs.insert(runs.end(), 40000, 0);
  for (int i = 0; i < 200; i++) runs.insert(runs.end(), static_cast<size_t>(i % 7 + 1) * 37, static_cast<uint8_t>(i));
  Bytes mix;
  for (int i = 0; i < 12; i++) {
    const uint32_t seed = 30 + static_cast<uint32_t>(i);
    const Bytes part = i % 3 == 0 ? RandomBytes(7000, seed) : i % 3 == 1 ? SyntheticText(9000, seed)
                                                                         : StructuredBinary(11000, seed);
    mix.insert(mix.end(), part.begin(), part.end());
  }
  const Bytes inputs[] = {text, StructuredBinary(300000, 5), far, runs, mix, RandomBytes(70000, 2),
                          Bytes(text.begin(), text.begin() + 1), Bytes(text.begin(), text.begin() + 3),
                          Bytes(text.begin(), text.begin() + 262), Bytes(text.begin(), text.begin() + 32768),
                          Bytes(text.begin(), text.begin() + 65275)};
  for (int level = 1; level <= 9; level++) {
    Writer w;  // one writer for all entries of a level, as in one zip operation
    LevelDigest digest;
    for (const Bytes& input : inputs) digest.Add(w.Compress(level, input));
    digest.Add(w.Compress(level, text, {}, 777));  // short reads
    EXPECT_EQ(Hex(digest.Final()), expected[level]) << "level " << level;
  }
}

}  // namespace
}  // namespace tessel::test
