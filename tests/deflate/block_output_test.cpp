// Block output: the static tables, the bit writer's bytes, the tally's block
// limits and a block whose literal tree needs the length repair.
#include "deflate/block_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "deflate/deflate_support.h"

namespace tessel::test {
namespace {

TEST(StaticTables, LengthAndDistanceCodes) {
  DeflateTables t;
  build_static_tables(t);
  ASSERT_TRUE(t.built);
  // value = length - 3 -> code index
  const std::pair<int, int> lengths[] = {{0, 0}, {7, 7}, {8, 8}, {9, 8}, {10, 9}, {254, 27}, {255, 28}};
  for (auto [value, code] : lengths) EXPECT_EQ(t.length_code[value], code) << value;
  EXPECT_EQ(t.base_length[8], 8);
  EXPECT_EQ(t.base_length[27], 224);
  EXPECT_EQ(t.base_length[28], 255);
  // x = distance - 1 -> code
  const std::pair<unsigned, unsigned> dists[] = {{0, 0},   {3, 3},   {4, 4},    {5, 4},    {6, 5},
                                                 {255, 15}, {256, 16}, {383, 16}, {384, 17}, {24576, 29}};
  for (auto [x, code] : dists) EXPECT_EQ(distance_code(t, x), code) << x;
  // The greatest distance, 32506, goes through entry 256 + (32505 >> 7) = 509.
  EXPECT_EQ(256 + (32505 >> 7), 509);
  EXPECT_EQ(t.dist_code[509], 29);
  EXPECT_EQ(distance_code(t, 32505), 29u);
  EXPECT_EQ(t.base_dist[16], 256);
  EXPECT_EQ(t.base_dist[29], 24576);
  // Fixed codes, bit-reversed.
  EXPECT_EQ(t.static_ltree[0].dl, 8);
  EXPECT_EQ(t.static_ltree[0].fc, reverse_bits(0x30, 8));
  EXPECT_EQ(t.static_ltree[144].dl, 9);
  EXPECT_EQ(t.static_ltree[144].fc, reverse_bits(0x190, 9));
  EXPECT_EQ(t.static_ltree[256].dl, 7);
  EXPECT_EQ(t.static_ltree[256].fc, 0);
  EXPECT_EQ(t.static_ltree[287].fc, reverse_bits(0xC7, 8));
  EXPECT_EQ(t.static_dtree[1].fc, 16);
  EXPECT_EQ(t.static_dtree[29].dl, 5);
}

class RecordingIO : public DeflateIO {
 public:
  uint32_t read_source(uint8_t*, uint32_t) override { return 0; }
  void write_output(const uint8_t* src, uint32_t count) override {
    bytes.insert(bytes.end(), src, src + count);
    largest = std::max(largest, count);
    calls++;
  }
  Bytes bytes;
  uint32_t largest = 0;
  int calls = 0;
};

TEST(BitWriter, PacksLeastSignificantBitFirst) {
  RecordingIO io;
  uint8_t buffer[kOutputBufferSize];
  BitWriter w(buffer, &io);
  w.send_bits(0b101, 3);
  w.send_bits(0x3FF, 10);
  w.send_bits(0, 3);
  w.send_bits(1, 1);
  w.align_bits();  // one bit pending: a padded byte
  EXPECT_EQ(Hex(io.bytes), "FD 1F 01");
  const uint8_t data[] = {'h', 'i'};
  w.copy_stored(data, 2, true);
  EXPECT_EQ(Hex(io.bytes), "FD 1F 01 02 00 FD FF 68 69");
  // The stored bytes come straight from the caller in a call of their own.
  EXPECT_EQ(io.calls, 3);
}

TEST(BitWriter, DrainsThroughItsBuffer) {
  RecordingIO io;
  uint8_t buffer[kOutputBufferSize];
  BitWriter w(buffer, &io);
  for (int i = 0; i < 3000; i++) w.send_bits(static_cast<uint32_t>(0xA5 ^ (i & 0xFF)), 8);
  w.send_bits(0x5, 4);
  w.align_bits();
  ASSERT_EQ(io.bytes.size(), 3001u);
  for (int i = 0; i < 3000; i++) ASSERT_EQ(io.bytes[static_cast<size_t>(i)], (0xA5 ^ (i & 0xFF))) << i;
  EXPECT_EQ(io.bytes[3000], 0x05);
  EXPECT_LE(io.largest, kOutputBufferSize);
}

struct BlockFixture {
  DeflateTables tables;
  std::unique_ptr<deflate_buffers> buffers = AllocateDeflateBuffers();
  DeflateHeader header;
  RecordingIO io;
  BlockOutput out;
  explicit BlockFixture(int level) { ct_init(out, tables, *buffers, header, io, level); }
};

TEST(Tally, BlockLimits) {
  // Levels 1 and 2 run to 32767 tallies.
  for (int level : {1, 2}) {
    BlockFixture f(level);
    int full_at = 0;
    for (int i = 1; i <= 32767 && !full_at; i++) {
      if (ct_tally(f.out, 0, 'a', 100000, 0)) full_at = i;
    }
    EXPECT_EQ(full_at, 32767) << level;
  }
  // From level 3 on, a multiple of 4096 tallies ends the block when the
  // estimate (1 byte per literal here) is below half the input covered; with
  // the input fixed, a block that went on at 4096 goes on to 32767.
  struct Case {
    int level;
    unsigned pos;  // input covered = pos - block start
    int full_at;
  };
  const Case cases[] = {{3, 8194, 4096}, {9, 8194, 4096}, {3, 8193, 32767}, {6, 16385, 4096}, {2, 8194, 32767}};
  for (const Case& c : cases) {
    BlockFixture f(c.level);
    int full_at = 0;
    for (int i = 1; i <= 32767 && !full_at; i++) {
      if (ct_tally(f.out, 0, 'a', c.pos, 0)) full_at = i;
    }
    EXPECT_EQ(full_at, c.full_at) << c.level << " " << c.pos;
  }
  // Half of the tallies or more being matches keeps the block going.
  {
    BlockFixture f(6);
    bool full = false;
    for (int i = 0; i < 4096; i++) full = ct_tally(f.out, i % 2 ? 0 : 1, 0, 1000000, 0);
    EXPECT_FALSE(full);
  }
}

TEST(EmitBlock, RepairedLiteralTreeInflates) {
  // Literal frequencies in a Fibonacci progression would need codes of more
  // than 15 bits; the repaired code must still decode.
  // The end-of-block code is the progression's first 1.
  Bytes input;
  uint32_t a = 1, b = 2;
  for (int sym = 0; sym < 20; sym++) {  // 28655 literals, one block
    input.insert(input.end(), a, static_cast<uint8_t>('A' + sym));
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  std::mt19937 rng(5);
  std::shuffle(input.begin(), input.end(), rng);
  BlockFixture f(1);
  std::copy(input.begin(), input.end(), f.buffers->window);
  for (uint8_t c : input) ct_tally(f.out, 0, c, 0, 0);
  const uint64_t size = emit_block(f.out, nullptr, input.size(), true);
  EXPECT_EQ(size, f.io.bytes.size());
  EXPECT_TRUE(ZlibInflates(f.io.bytes, input));
  const ProbeResult p = ProbeStream(f.io.bytes.data(), f.io.bytes.size());
  ASSERT_TRUE(p.ok) << p.error;
  ASSERT_EQ(p.blocks.size(), 1u);
  EXPECT_EQ(p.blocks[0].type, 2);
  EXPECT_EQ(*std::max_element(p.blocks[0].lit_lengths.begin(), p.blocks[0].lit_lengths.end()), 15);
}

TEST(EmitBlock, EqualSizesGoToTheSimplerForm) {
  struct Case {
    const char* input;
    const char* hex;
    uint16_t method;
  };
  const Case cases[] = {
      // Two literals and a match of 3: 38 bits, 5 bytes, no shorter than the
      // 5 raw bytes, so the raw bytes win.
      {"aaaaa", "61 61 61 61 61", 0},
      // Two literals and a match of 4 at distance 1, fixed codes, 5 bytes < 6.
      {"aaaaaa", "4B 4C 04 01 00", 8},
  };
  for (const Case& c : cases) {
    const Compressed r = CompressFresh(6, FromString(c.input));
    EXPECT_EQ(Hex(r.bytes), c.hex) << c.input;
    EXPECT_EQ(r.header.CompressionMethod, c.method) << c.input;
  }
}

TEST(EmitBlock, LastBlockClearsTheWindowButItsLastByte) {
  BlockFixture f(6);
  std::fill(std::begin(f.buffers->window), std::end(f.buffers->window), 0x77);
  ct_tally(f.out, 0, 0x77, 1, 0);
  emit_block(f.out, f.buffers->window, 1, true);
  EXPECT_TRUE(std::all_of(f.buffers->window, f.buffers->window + 65535, [](uint8_t v) { return v == 0; }));
  EXPECT_EQ(f.buffers->window[65535], 0x77);
}

}  // namespace
}  // namespace tessel::test
