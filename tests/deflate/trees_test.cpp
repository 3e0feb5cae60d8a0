// Huffman tree building: tie-breaks, forced symbols, the repair of over-long
// codes, canonical codes and the run coding of code lengths.
#include "deflate/trees.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessel {
namespace {

TEST(Trees, ReverseBits) {
  struct Case {
    uint32_t code;
    int len;
    uint32_t expected;
  };
  const Case cases[] = {{1, 1, 1}, {0b0001, 4, 0b1000}, {0b1011, 4, 0b1101}, {0b110, 3, 0b011},
                        {1, 15, 0x4000}, {0x7FFE, 15, 0x3FFF}};
  for (const Case& c : cases) EXPECT_EQ(reverse_bits(c.code, c.len), c.expected) << c.code << "/" << c.len;
}

struct Fixture {
  TreeNode tree[kHeapSize] = {};
  TreeNode fixed[kHeapSize] = {};
  TreeWork work = {};
  TreeDesc desc{};

  // A tree of `elems` symbols, limit `limit`, with a fixed counterpart of
  // length 5 for every symbol when `with_fixed`.
  Fixture(int elems, int limit, bool with_fixed, const uint8_t* extra = nullptr, int extra_base = 0) {
    static const uint8_t no_extra[kHeapSize] = {};
    for (auto& n : fixed) n.dl = 5;
    desc = TreeDesc{tree, with_fixed ? fixed : nullptr, extra ? extra : no_extra, extra_base, elems, limit, 0};
  }
  std::vector<int> lengths(int n) const {
    std::vector<int> v;
    for (int i = 0; i < n; i++) v.push_back(tree[i].dl);
    return v;
  }
  // Sum of 2^(limit - length) over coded symbols: 2^limit for a complete code.
  uint32_t kraft(int limit) const {
    uint32_t sum = 0;
    for (int i = 0; i <= desc.max_code; i++) {
      if (tree[i].dl) sum += 1u << (limit - tree[i].dl);
    }
    return sum;
  }
};

TEST(Trees, EqualFrequenciesPreferTheShallowerNode) {
  // Symbol 3 (frequency 2, a leaf) beats the internal node of frequency 2
  // built from symbols 0 and 2, so all four codes get length 2 (a deeper
  // first choice would give lengths 3, 2, 3, 1).
  Fixture f(kBitLengthSymbols, kMaxBitLengthBits, false);
  const uint16_t freq[4] = {1, 1, 1, 2};
  for (int i = 0; i < 4; i++) f.tree[i].fc = freq[i];
  make_tree(f.work, f.desc);
  EXPECT_EQ(f.desc.max_code, 3);
  EXPECT_EQ(f.lengths(5), (std::vector<int>{2, 2, 2, 2, 0}));
  EXPECT_EQ(f.work.opt_len, 10u);
  // Canonical codes in symbol order, kept bit-reversed.
  EXPECT_EQ(f.tree[0].fc, reverse_bits(0b00, 2));
  EXPECT_EQ(f.tree[1].fc, reverse_bits(0b01, 2));
  EXPECT_EQ(f.tree[2].fc, reverse_bits(0b10, 2));
  EXPECT_EQ(f.tree[3].fc, reverse_bits(0b11, 2));
}

TEST(Trees, ForcedSymbolsGiveEveryTreeTwoCodes) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, uint16_t>> freqs;
    int max_code;
    std::vector<int> lengths;  // of symbols 0..5
    uint32_t opt_len;
    uint32_t static_len;
  };
  const Case cases[] = {
      // No symbol at all: symbols 0 and 1, taken off the costs again.
      {"empty", {}, 1, {1, 1, 0, 0, 0, 0}, 0, 0},
      // One symbol below 2: the next symbol joins it.
      {"symbol 0 only", {{0, 4}}, 1, {1, 1, 0, 0, 0, 0}, 4, 20},
      // One symbol of 2 or more: symbol 0 joins it.
      {"symbol 5 only", {{5, 3}}, 5, {1, 0, 0, 0, 0, 1}, 6, 18},
  };
  // Extra bits as for distances: symbol 5 has one.
  const uint8_t extra[kDistanceSymbols] = {0, 0, 0, 0, 1, 1};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(kDistanceSymbols, kMaxCodeBits, true, extra);
    for (auto [sym, freq] : c.freqs) f.tree[sym].fc = freq;
    make_tree(f.work, f.desc);
    EXPECT_EQ(f.desc.max_code, c.max_code);
    EXPECT_EQ(f.lengths(6), c.lengths);
    EXPECT_EQ(f.work.opt_len, c.opt_len);
    EXPECT_EQ(f.work.static_len, c.static_len);
  }
}

TEST(Trees, OverlongCodesAreRepairedIntoACompleteCode) {
  // Fibonacci frequencies would need codes of length n - 1 for n symbols.
  struct Case {
    int elems, limit, used;
  };
  const Case cases[] = {{kBitLengthSymbols, kMaxBitLengthBits, 19}, {kLitLenSymbols, kMaxCodeBits, 22},
                        {kDistanceSymbols, kMaxCodeBits, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    Fixture f(c.elems, c.limit, false);
    uint32_t a = 1, b = 1, expected_cost = 0;
    std::vector<uint16_t> freq;
    for (int i = 0; i < c.used; i++) {
      freq.push_back(static_cast<uint16_t>(a));
      const uint32_t next = a + b;
      a = b;
      b = next;
    }
    for (int i = 0; i < c.used; i++) f.tree[i].fc = freq[static_cast<size_t>(i)];
    make_tree(f.work, f.desc);
    int longest = 0;
    for (int i = 0; i < c.used; i++) {
      longest = std::max<int>(longest, f.tree[i].dl);
      EXPECT_GE(f.tree[i].dl, 1);
      expected_cost += freq[static_cast<size_t>(i)] * f.tree[i].dl;
    }
    EXPECT_EQ(longest, c.limit);
    EXPECT_EQ(f.kraft(c.limit), 1u << c.limit);
    EXPECT_EQ(f.work.opt_len, expected_cost);  // the cost follows the repaired lengths
    // The most frequent symbol keeps the shortest code.
    EXPECT_EQ(f.tree[c.used - 1].dl, 1);
  }
}

// Records the run walk's output as text: "L3x2" = length 3 twice, "16:3" =
// code 16 with extra value 3.
struct Recorder {
  std::string out;
  void lengths(int length, int count) { out += " L" + std::to_string(length) + "x" + std::to_string(count); }
  void repeat(int symbol, int value, int) { out += " " + std::to_string(symbol) + ":" + std::to_string(value); }
};

TEST(Trees, RunWalk) {
  struct Case {
    std::vector<int> lengths;
    const char* expected;
  };
  auto rep = [](int len, int n) { return std::vector<int>(static_cast<size_t>(n), len); };
  auto cat = [](std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {rep(3, 10), " L3x1 16:3 16:0"},                 // 1 + 6, then 3 more
      {rep(4, 9), " L4x1 16:3 L4x2"},                  // remainder of 2 sent as lengths
      {rep(5, 3), " L5x3"},                            // too short for a repeat
      {rep(5, 4), " L5x1 16:0"},
      {cat(cat(rep(1, 2), rep(2, 4)), rep(0, 3)), " L1x2 L2x1 16:0 17:0"},
      {cat(rep(0, 140), {5}), " 18:127 L0x2 L5x1"},   // zero runs are cut at 138
      {rep(0, 10), " 17:7"},
      {rep(0, 11), " 18:0"},
      {cat(rep(0, 2), {7}), " L0x2 L7x1"},
      {cat(cat(rep(6, 4), rep(6, 0)), {8, 8, 8, 8, 8, 8, 8, 8}), " L6x1 16:0 L8x1 16:3 L8x1"},
  };
  for (const Case& c : cases) {
    TreeNode tree[kHeapSize] = {};
    for (size_t i = 0; i < c.lengths.size(); i++) tree[i].dl = static_cast<uint16_t>(c.lengths[i]);
    // A length after the last symbol must not extend the final run.
    tree[c.lengths.size()].dl = static_cast<uint16_t>(c.lengths.back());
    Recorder r;
    walk_runs(tree, static_cast<int>(c.lengths.size()) - 1, r);
    EXPECT_EQ(r.out, c.expected);
  }
}

TEST(Trees, LengthTreeCountsRunsAndHeaderCost) {
  // Literal lengths 1 (symbol 0), 255 zeros, 1 (end of block); the two
  // forced distance codes. Code-length symbols: 1 four times, 18 twice.
  TreeNode ltree[kHeapSize] = {};
  TreeNode dtree[2 * kDistanceSymbols + 1] = {};
  TreeNode bltree[2 * kBitLengthSymbols + 1] = {};
  ltree[0].dl = 1;
  ltree[256].dl = 1;
  dtree[0].dl = 1;
  dtree[1].dl = 1;
  TreeDesc l{ltree, nullptr, kExtraLengthBits, 257, kLitLenSymbols, kMaxCodeBits, 256};
  TreeDesc d{dtree, nullptr, kExtraDistanceBits, 0, kDistanceSymbols, kMaxCodeBits, 1};
  TreeDesc bl{bltree, nullptr, kExtraBitLengthBits, 0, kBitLengthSymbols, kMaxBitLengthBits, 0};
  TreeWork w = {};
  const int max_index = make_length_tree(w, l, d, bl);
  // Length 1 stands at sending position 17, so 18 code-length lengths go out.
  EXPECT_EQ(max_index, 17);
  EXPECT_EQ(bltree[1].dl, 1);
  EXPECT_EQ(bltree[18].dl, 1);
  EXPECT_EQ(bltree[16].dl, 0);
  EXPECT_EQ(bltree[17].dl, 0);
  // 4 x 1 bit, 2 x (1 + 7 extra) bits, 18 x 3 bits of lengths, 5 + 5 + 4.
  EXPECT_EQ(w.opt_len, 4u + 16u + 54u + 14u);
}

}  // namespace
}  // namespace tessel
