#include "deflate/block_output.h"

namespace tessel {

namespace {

constexpr int kStoredBlock = 0;
constexpr int kFixedBlock = 1;
constexpr int kDynamicBlock = 2;
constexpr uint32_t kWindowClearSize = kWindowBufferSize - 1;  // all but the last window byte

}  // namespace

void build_static_tables(DeflateTables& t) {
  if (t.built) return;

  int length = 0;
  int code = 0;
  for (code = 0; code < kLengthCodeCount - 1; code++) {
    t.base_length[code] = static_cast<uint16_t>(length);
    for (int n = 0; n < (1 << kExtraLengthBits[code]); n++) t.length_code[length++] = static_cast<uint8_t>(code);
  }
  TESSEL_DEFLATE_CHECK(length == 256, "ct_init: length <> 256");
  // Length 258 (value 255) has a code of its own, 285, in place of the last
  // value of code 284.
  t.length_code[length - 1] = static_cast<uint8_t>(code);
  t.base_length[code] = static_cast<uint16_t>(length - 1);

  int dist = 0;
  for (code = 0; code < 16; code++) {
    t.base_dist[code] = static_cast<uint16_t>(dist);
    for (int n = 0; n < (1 << kExtraDistanceBits[code]); n++) t.dist_code[dist++] = static_cast<uint8_t>(code);
  }
  TESSEL_DEFLATE_CHECK(dist == 256, "ct_init: dist <> 256");
  dist >>= 7;  // from here on the table is indexed by distance - 1 shifted right by 7
  for (; code < kDistanceSymbols; code++) {
    t.base_dist[code] = static_cast<uint16_t>(dist << 7);
    for (int n = 0; n < (1 << (kExtraDistanceBits[code] - 7)); n++) {
      t.dist_code[256 + dist++] = static_cast<uint8_t>(code);
    }
  }
  TESSEL_DEFLATE_CHECK(dist == 256, "ct_init: 256+dist <> 512");

  uint16_t bl_count[kMaxCodeBits + 1] = {};
  int n = 0;
  for (; n <= 143; n++) t.static_ltree[n].dl = 8;
  for (; n <= 255; n++) t.static_ltree[n].dl = 9;
  for (; n <= 279; n++) t.static_ltree[n].dl = 7;
  for (; n <= 287; n++) t.static_ltree[n].dl = 8;
  bl_count[7] = 280 - 256;
  bl_count[8] = (144 - 0) + (288 - 280);
  bl_count[9] = 256 - 144;
  gencodes(t.static_ltree, kFixedLitLenSymbols - 1, bl_count);
  for (n = 0; n < kDistanceSymbols; n++) {
    t.static_dtree[n].dl = 5;
    t.static_dtree[n].fc = static_cast<uint16_t>(reverse_bits(static_cast<uint32_t>(n), 5));
  }
  t.built = true;
}

void open_block(BlockOutput& b) {
  for (int n = 0; n < kLitLenSymbols; n++) b.dyn_ltree[n].fc = 0;
  for (int n = 0; n < kDistanceSymbols; n++) b.dyn_dtree[n].fc = 0;
  for (int n = 0; n < kBitLengthSymbols; n++) b.bl_tree[n].fc = 0;
  b.dyn_ltree[kEndOfBlock].fc = 1;
  b.work.opt_len = 0;
  b.work.static_len = 0;
  b.last_lit = 0;
  b.last_dist = 0;
  b.last_flags = 0;
  b.flags = 0;
  b.flag_bit = 1;
}

void ct_init(BlockOutput& b, DeflateTables& tables, deflate_buffers& buffers, DeflateHeader& header,
             DeflateIO& io, int level) {
  build_static_tables(tables);
  b.tables = &tables;
  b.buffers = &buffers;
  b.header = &header;
  b.level = level;
  b.l_desc = TreeDesc{b.dyn_ltree, tables.static_ltree, kExtraLengthBits, kLiteralCount + 1,
                      kLitLenSymbols, kMaxCodeBits, 0};
  b.d_desc = TreeDesc{b.dyn_dtree, tables.static_dtree, kExtraDistanceBits, 0,
                      kDistanceSymbols, kMaxCodeBits, 0};
  b.bl_desc = TreeDesc{b.bl_tree, nullptr, kExtraBitLengthBits, 0, kBitLengthSymbols,
                       kMaxBitLengthBits, 0};
  b.compressed_len = 0;
  b.bits = BitWriter(b.output_buffer, &io);
  open_block(b);
}

void classify_data(BlockOutput& b) {
  uint32_t bin_freq = 0;
  uint32_t ascii_freq = 0;
  int n = 0;
  while (n < 7) bin_freq += b.dyn_ltree[n++].fc;
  while (n < 128) ascii_freq += b.dyn_ltree[n++].fc;
  while (n < kLiteralCount) bin_freq += b.dyn_ltree[n++].fc;
  b.header->InternalAttributes = bin_freq > (ascii_freq >> 2) ? kInternalBinary : kInternalText;
}

namespace {

// Writes the run walk's symbols with the bit-length tree's codes.
struct RunSender {
  BitWriter& bits;
  const TreeNode* bl_tree;
  void lengths(int length, int count) {
    do {
      bits.send_bits(bl_tree[length].fc, bl_tree[length].dl);
    } while (--count != 0);
  }
  void repeat(int symbol, int value, int extra) {
    TESSEL_DEFLATE_CHECK(symbol != kRepeatPrevious || (value >= 0 && value <= 3), " 3_6? - send_tree");
    bits.send_bits(bl_tree[symbol].fc, bl_tree[symbol].dl);
    bits.send_bits(static_cast<uint32_t>(value), static_cast<uint32_t>(extra));
  }
};

// Sends a tree's code lengths 0..max_code in run code.
void send_tree(BlockOutput& b, const TreeNode* tree, int max_code) {
  RunSender sender{b.bits, b.bl_tree};
  walk_runs(tree, max_code, sender);
}

}  // namespace

void send_all_trees(BlockOutput& b, int lcodes, int dcodes, int blcodes) {
  TESSEL_DEFLATE_CHECK(lcodes >= 257 && dcodes >= 1 && blcodes >= 4, "not enough codes-send_all_trees");
  TESSEL_DEFLATE_CHECK(lcodes <= kLitLenSymbols && dcodes <= kDistanceSymbols && blcodes <= kBitLengthSymbols,
                       "too many codes-send_all_trees");
  BitWriter& bits = b.bits;
  bits.send_bits(static_cast<uint32_t>(lcodes - 257), 5);
  bits.send_bits(static_cast<uint32_t>(dcodes - 1), 5);
  bits.send_bits(static_cast<uint32_t>(blcodes - 4), 4);
  for (int rank = 0; rank < blcodes; rank++) bits.send_bits(b.bl_tree[kBitLengthOrder[rank]].dl, 3);
  send_tree(b, b.dyn_ltree, lcodes - 1);
  send_tree(b, b.dyn_dtree, dcodes - 1);
}

void compress_block(BlockOutput& b, const TreeNode* ltree, const TreeNode* dtree) {
  const DeflateTables& t = *b.tables;
  const deflate_buffers& buf = *b.buffers;
  // Per block: for each literal (row 0) and each match length - 3 (row 1),
  // its code with any extra bits as one bit string (low 24 bits) and its bit
  // count (high 8 bits); per distance code, the code in the low 16 bits, its
  // length in bits 16-23 and its length with the extra bits in bits 24-31.
  constexpr uint32_t kLow24 = 0xFFFFFFu;
  uint32_t symbol_bits[2][256];
  for (uint32_t lc = 0; lc < 256; lc++) {
    symbol_bits[0][lc] = ltree[lc].fc | (uint32_t{ltree[lc].dl} << 24);
    const uint32_t code = t.length_code[lc];
    const TreeNode& node = ltree[code + kLiteralCount + 1];
    symbol_bits[1][lc] = (node.fc | ((lc - t.base_length[code]) << node.dl)) |
                         ((node.dl + uint32_t{kExtraLengthBits[code]}) << 24);
  }
  uint32_t distance_bits[kDistanceSymbols];
  for (uint32_t code = 0; code < kDistanceSymbols; code++) {
    const TreeNode& node = dtree[code];
    distance_bits[code] = node.fc | (uint32_t{node.dl} << 16) | ((node.dl + uint32_t{kExtraDistanceBits[code]}) << 24);
  }

  // A local copy keeps the writer's fields in registers: the byte stores
  // into the output buffer could otherwise alias them.
  BitWriter bits = b.bits;
  const uint32_t last_lit = b.last_lit;
  const uint8_t* flags = buf.flag_buffer;
  uint32_t dx = 0;
  uint32_t flag = 0;
  // Literals and matches follow each other at random, so there is no branch
  // on which one a tally is: a literal also codes the next distance (from the
  // zero-filled or written distance buffer) and then drops it.
  for (uint32_t lx = 0; lx < last_lit; lx++) {
    if ((lx & 7) == 0) flag = *flags++;
    const uint32_t is_match = flag & 1;
    const uint32_t sym = symbol_bits[is_match][buf.literal_buffer[lx]];
    const uint32_t dist = buf.distance_buffer[dx & (kTallyBufferSize - 1)];
    const uint32_t dcode = distance_code(t, dist);
    TESSEL_DEFLATE_CHECK(is_match == 0 || dcode < kDistanceSymbols, "bad d_code-compress_block");
    const uint32_t db = distance_bits[dcode];
    const uint64_t match_mask = uint64_t{0} - is_match;
    const uint64_t dvalue =
        ((db & 0xFFFFu) | (uint64_t{dist - t.base_dist[dcode]} << ((db >> 16) & 0xFFu))) & match_mask;
    const uint32_t dcount = (db >> 24) & static_cast<uint32_t>(match_mask);
    // A whole match, at most 20 + 28 bits, goes out in one step.
    bits.put_bits((sym & kLow24) | (dvalue << (sym >> 24)), (sym >> 24) + dcount);
    dx += is_match;
    flag >>= 1;
  }
  bits.put_bits(ltree[kEndOfBlock].fc, ltree[kEndOfBlock].dl);
  b.bits = bits;
}

uint64_t emit_block(BlockOutput& b, const uint8_t* bytes, uint64_t stored_len, bool last) {
  // The flags of the last, incomplete group of tallies.
  b.buffers->flag_buffer[b.last_flags] = b.flags;
  if (b.header->InternalAttributes == kInternalUnknown) classify_data(b);

  make_tree(b.work, b.l_desc);
  make_tree(b.work, b.d_desc);
  const int max_blindex = make_length_tree(b.work, b.l_desc, b.d_desc, b.bl_desc);

  const uint32_t opt_lenb = (b.work.opt_len + 3 + 7) >> 3;
  const uint32_t static_lenb = (b.work.static_len + 3 + 7) >> 3;
  const uint64_t best = static_lenb <= opt_lenb ? static_lenb : opt_lenb;
  const uint32_t last_bit = last ? 1 : 0;

  if (stored_len <= best && last && b.compressed_len == 0 && bytes != nullptr) {
    // Nothing gained on a one-block entry: the entry is its raw bytes.
    b.bits.copy_stored(bytes, static_cast<uint32_t>(stored_len), false);
    b.compressed_len = stored_len << 3;
    b.header->CompressionMethod = 0;
  } else if (stored_len + 4 <= best && bytes != nullptr) {
    b.bits.send_bits((kStoredBlock << 1) + last_bit, 3);
    b.compressed_len = (b.compressed_len + 3 + 7) & ~uint64_t{7};
    b.compressed_len += (stored_len + 4) << 3;
    b.bits.copy_stored(bytes, static_cast<uint32_t>(stored_len), true);
  } else if (static_lenb == best) {
    b.bits.send_bits((kFixedBlock << 1) + last_bit, 3);
    compress_block(b, b.tables->static_ltree, b.tables->static_dtree);
    b.compressed_len += 3 + uint64_t{b.work.static_len};
  } else {
    b.bits.send_bits((kDynamicBlock << 1) + last_bit, 3);
    send_all_trees(b, b.l_desc.max_code + 1, b.d_desc.max_code + 1, max_blindex + 1);
    compress_block(b, b.dyn_ltree, b.dyn_dtree);
    b.compressed_len += 3 + uint64_t{b.work.opt_len};
  }

  open_block(b);
  if (last) {
    std::memset(b.buffers->window, 0, kWindowClearSize);
    b.bits.align_bits();
    b.compressed_len += 7;
  }
  return b.compressed_len >> 3;
}

}  // namespace tessel
