#pragma once
// Huffman trees of the compressor: building length-limited codes from symbol
// frequencies, canonical code assignment, and the run coding of code lengths
// that a dynamic block header carries.
#include <cstdint>

namespace tessel {

inline constexpr int kMaxCodeBits = 15;        // longest literal/length or distance code
inline constexpr int kMaxBitLengthBits = 7;    // longest code of the bit-length tree
inline constexpr int kLiteralCount = 256;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kLengthCodeCount = 29;
inline constexpr int kLitLenSymbols = kLiteralCount + 1 + kLengthCodeCount;  // 286
inline constexpr int kDistanceSymbols = 30;
inline constexpr int kBitLengthSymbols = 19;
inline constexpr int kFixedLitLenSymbols = 288;
inline constexpr int kHeapSize = 2 * kLitLenSymbols + 1;  // 573: enough for every tree
inline constexpr int kRepeatPrevious = 16;   // repeat the previous length 3..6 times
inline constexpr int kRepeatZero3to10 = 17;  // 3..10 zero lengths
inline constexpr int kRepeatZero11to138 = 18;

// One node. While a tree is built, `fc` is the frequency and `dl` the parent
// node; afterwards `fc` is the code (bit-reversed, ready to be sent least
// significant bit first) and `dl` the code length.
struct TreeNode {
  uint16_t fc;
  uint16_t dl;
};

// What make_tree needs to know about one dynamic tree.
struct TreeDesc {
  TreeNode* dyn_tree;
  const TreeNode* static_tree;  // its fixed counterpart, or null (bit-length tree)
  const uint8_t* extra_bits;    // extra bits per symbol, from extra_base on
  int extra_base;
  int elems;                    // number of symbols
  int max_length;               // length limit
  int max_code;                 // largest symbol with a nonzero frequency, set by make_tree
};

// Working arrays reused for every tree, and the two cost accumulators of the
// block being ended (in bits; unsigned 32-bit arithmetic, as transient
// negative corrections rely on wraparound).
struct TreeWork {
  uint16_t heap[kHeapSize];
  int heap_len;
  int heap_max;
  uint8_t depth[kHeapSize];
  uint16_t bl_count[kMaxCodeBits + 1];
  uint32_t opt_len;     // dynamic cost
  uint32_t static_len;  // fixed cost
};

// The low `len` bits of `code` in reverse order (len 1..15).
uint32_t reverse_bits(uint32_t code, int len);

// Assigns canonical codes to symbols 0..max_code from their code lengths and
// the count of codes per length.
void gencodes(TreeNode* tree, int max_code, const uint16_t* bl_count);

// Builds the tree of `desc` from the frequencies in its leaves: sets max_code,
// the length and code of every symbol up to it, and adds to both costs.
void make_tree(TreeWork& work, TreeDesc& desc);

// Turns the built tree (parents stored at the heap top) into code lengths no
// longer than the limit, counting lengths and adding to both costs.
void fit_lengths(TreeWork& work, TreeDesc& desc);

// The run walk over code lengths 0..max_code, shared by the counting and the
// sending of a tree. For each closed run it calls either
// sink.lengths(length, count) (that length written count times) or
// sink.repeat(symbol, value, extra_bits) (code 16, 17 or 18 with its extra value).
template <class Sink>
inline void walk_runs(const TreeNode* tree, int max_code, Sink& sink) {
  int prevlen = -1;
  int nextlen = tree[0].dl;
  int count = 0;
  int max_count = 7;
  int min_count = 4;
  if (nextlen == 0) {
    max_count = 138;
    min_count = 3;
  }
  for (int n = 0; n <= max_code; n++) {
    const int curlen = nextlen;
    // The length after the last symbol differs from every real length.
    nextlen = n < max_code ? tree[n + 1].dl : -1;
    if (++count < max_count && curlen == nextlen) continue;
    if (count < min_count) {
      sink.lengths(curlen, count);
    } else if (curlen != 0) {
      if (curlen != prevlen) {
        sink.lengths(curlen, 1);
        count--;
      }
      sink.repeat(kRepeatPrevious, count - 3, 2);
    } else if (count <= 10) {
      sink.repeat(kRepeatZero3to10, count - 3, 3);
    } else {
      sink.repeat(kRepeatZero11to138, count - 11, 7);
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138;
      min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6;
      min_count = 3;
    } else {
      max_count = 7;
      min_count = 4;
    }
  }
}

// Adds the run codes of a tree's code lengths to the bit-length tree's frequencies.
void count_runs(const TreeNode* tree, int max_code, TreeNode* bl_tree);

// Counts the runs of both trees, builds the bit-length tree, adds the header
// cost and returns the sending position of the last code-length code length
// that must be sent (3..18).
int make_length_tree(TreeWork& work, const TreeDesc& ltree, const TreeDesc& dtree,
                     TreeDesc& bltree);

// RFC 1951 tables.
extern const uint8_t kExtraLengthBits[kLengthCodeCount];
extern const uint8_t kExtraDistanceBits[kDistanceSymbols];
extern const uint8_t kExtraBitLengthBits[kBitLengthSymbols];
extern const uint8_t kBitLengthOrder[kBitLengthSymbols];

}  // namespace tessel
