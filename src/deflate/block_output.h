#pragma once
// The lower half of the compressor: the tally of literals and matches, the
// decision where a block ends, the choice between raw, stored, fixed and
// dynamic blocks, and the bit writer that hands the bytes to the zip writer.
#include <bit>
#include <cstdint>
#include <cstring>

#include "deflate/deflate.h"
#include "deflate/deflate_check.h"
#include "deflate/trees.h"

namespace tessel {

inline constexpr uint32_t kOutputBufferSize = 1024;
inline constexpr uint32_t kTallyLimit = kTallyBufferSize - 1;  // 32767 tallies end a block
inline constexpr uint32_t kMatchLimit = kTallyBufferSize;      // 32768 matches end a block
inline constexpr uint32_t kEarlyEndInterval = 4096;            // tallies between early-end checks
inline constexpr uint16_t kInternalUnknown = 2;
inline constexpr uint16_t kInternalBinary = 0;
inline constexpr uint16_t kInternalText = 1;

// Packs bits least significant first and collects the bytes in a
// 1024-byte buffer. The byte stream is that of a 16-bit bit buffer flushed a
// word at a time. Here a 64-bit buffer holds fewer than 8 pending bits between
// calls, so one call takes a whole match (length and distance codes with
// their extra bits, at most 48 bits) and writes its complete bytes with one
// 8-byte store. The output buffer lives outside the writer: a coding loop
// works on a local copy of it, whose fields then stay in registers.
struct BitWriter {
  uint64_t bit_buffer = 0;
  uint32_t bit_count = 0;  // pending bits in bit_buffer, below 8 between calls
  uint32_t fill = 0;       // bytes in out
  uint8_t* out;            // kOutputBufferSize bytes
  DeflateIO* io;

  BitWriter(uint8_t* buffer, DeflateIO* sink) : out(buffer), io(sink) {}

  // Passes the buffered bytes to write_output and empties the buffer.
  void drain_output() {
    if (fill != 0) {
      const uint32_t n = fill;
      fill = 0;
      io->write_output(out, n);
    }
  }

  void put_byte(uint8_t b) {
    if (fill >= kOutputBufferSize) drain_output();
    out[fill++] = b;
  }

  void put_short(uint16_t w) {
    if (fill >= kOutputBufferSize - 1) drain_output();
    out[fill] = static_cast<uint8_t>(w);
    out[fill + 1] = static_cast<uint8_t>(w >> 8);
    fill += 2;
  }

  // Appends `length` bits (up to kMaxPutBits) of `value`; value must fit in them.
  void put_bits(uint64_t value, uint32_t length) {
    bit_buffer |= value << bit_count;
    bit_count += length;
    // The store writes 8 bytes and keeps the complete ones.
    if (fill > kOutputBufferSize - 8) drain_output();
    uint64_t word = bit_buffer;
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(out + fill, &word, 8);
    fill += bit_count >> 3;
    bit_buffer >>= bit_count & ~7u;
    bit_count &= 7;
  }
  static constexpr uint32_t kMaxPutBits = 56;

  // One symbol or field of the stream, 1 to 15 bits.
  void send_bits(uint32_t value, uint32_t length) {
    TESSEL_DEFLATE_CHECK(length >= 1 && length <= 15, "invalid length in send_bits");
    put_bits(value, length);
  }

  // Writes out the pending bits, the last byte padded with zeros, and drains.
  void align_bits() {
    if (bit_count > 0) put_byte(static_cast<uint8_t>(bit_buffer));
    drain_output();
    bit_buffer = 0;
    bit_count = 0;
  }

  // Writes a stored block's bytes straight from the window in one call, after
  // its length and the length's complement when `header` is set.
  void copy_stored(const uint8_t* bytes, uint32_t length, bool header) {
    align_bits();
    if (header) {
      put_short(static_cast<uint16_t>(length));
      put_short(static_cast<uint16_t>(~length));
    }
    drain_output();
    if (length != 0) io->write_output(bytes, length);
  }
};

// The per-entry state of the block coder.
struct BlockOutput {
  DeflateTables* tables = nullptr;
  deflate_buffers* buffers = nullptr;
  DeflateHeader* header = nullptr;
  int level = 0;

  TreeNode dyn_ltree[kHeapSize];
  TreeNode dyn_dtree[2 * kDistanceSymbols + 1];
  TreeNode bl_tree[2 * kBitLengthSymbols + 1];
  TreeDesc l_desc;
  TreeDesc d_desc;
  TreeDesc bl_desc;
  TreeWork work;

  uint32_t last_lit = 0;    // tally count
  uint32_t last_dist = 0;   // match count
  uint32_t last_flags = 0;  // complete flag bytes stored
  uint8_t flags = 0;        // the flag byte being built
  uint8_t flag_bit = 1;     // the bit of it the next tally uses

  uint64_t compressed_len = 0;  // bits written for the entry so far
  uint8_t output_buffer[kOutputBufferSize];
  BitWriter bits{output_buffer, nullptr};
};

// Builds the static tables of `tables` unless they exist.
void build_static_tables(DeflateTables& tables);

// Starts an entry: static tables on first use, tree descriptors, compressed
// length 0, an empty bit writer and the first block.
void ct_init(BlockOutput& b, DeflateTables& tables, deflate_buffers& buffers, DeflateHeader& header,
             DeflateIO& io, int level);

// Clears the frequencies and tally counters for a new block.
void open_block(BlockOutput& b);

// The distance code of x = distance - 1.
inline unsigned distance_code(const DeflateTables& t, unsigned x) {
  return x < 256 ? t.dist_code[x] : t.dist_code[256 + (x >> 7)];
}

// Records a literal (dist 0, lc the byte) or a match (dist 1..32506, lc the
// length - 3). Returns whether the block should end now. `pos` and
// `block_start` are the match finder's current position and block start.
inline bool ct_tally(BlockOutput& b, unsigned dist, unsigned lc, unsigned pos, int32_t block_start) {
  deflate_buffers& buf = *b.buffers;
  buf.literal_buffer[b.last_lit++] = static_cast<uint8_t>(lc);
  if (dist == 0) {
    b.dyn_ltree[lc].fc++;
  } else {
    dist--;
    const unsigned dcode = distance_code(*b.tables, dist);
    TESSEL_DEFLATE_CHECK(dist < 32506 && lc <= 255 && dcode < kDistanceSymbols, "ct_tally: bad match");
    b.dyn_ltree[b.tables->length_code[lc] + kLiteralCount + 1].fc++;
    b.dyn_dtree[dcode].fc++;
    buf.distance_buffer[b.last_dist++] = static_cast<uint16_t>(dist);
    b.flags |= b.flag_bit;
  }
  b.flag_bit = static_cast<uint8_t>(b.flag_bit << 1);
  if ((b.last_lit & 7) == 0) {
    buf.flag_buffer[b.last_flags++] = b.flags;
    b.flags = 0;
    b.flag_bit = 1;
  }
  if (b.level > 2 && (b.last_lit & (kEarlyEndInterval - 1)) == 0) {
    // End early when the distances look costly next to the input covered.
    uint64_t out_length = static_cast<uint64_t>(b.last_lit) * 8;
    const int64_t in_length = static_cast<int64_t>(pos) - block_start;
    for (int dcode = 0; dcode < kDistanceSymbols; dcode++) {
      out_length += static_cast<uint64_t>(b.dyn_dtree[dcode].fc) * (5 + kExtraDistanceBits[dcode]);
    }
    out_length >>= 3;
    if (b.last_dist < b.last_lit / 2 && static_cast<int64_t>(out_length) < in_length / 2) return true;
  }
  return b.last_lit == kTallyLimit || b.last_dist == kMatchLimit;
}

// Sets the header's internal attributes from the literal frequencies of the
// block being ended: 0 (binary) or 1 (text).
void classify_data(BlockOutput& b);

// Sends the dynamic block header: counts, bit-length code lengths and the two
// trees' code lengths in run code.
void send_all_trees(BlockOutput& b, int lcodes, int dcodes, int blcodes);

// Sends the block's tallies with the given trees, then the end-of-block code.
void compress_block(BlockOutput& b, const TreeNode* ltree, const TreeNode* dtree);

// Ends the block whose input is `stored_len` bytes at `bytes` (null when no
// longer in the window), writing it in the cheapest form, and opens the next.
// Returns the entry's compressed length so far in bytes, rounded down; after
// the last block it is the entry's compressed size.
uint64_t emit_block(BlockOutput& b, const uint8_t* bytes, uint64_t stored_len, bool last);

}  // namespace tessel
