#include "deflate/trees.h"

#include "deflate/deflate_check.h"

namespace tessel {

const uint8_t kExtraLengthBits[kLengthCodeCount] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint8_t kExtraDistanceBits[kDistanceSymbols] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kExtraBitLengthBits[kBitLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 2, 3, 7};
const uint8_t kBitLengthOrder[kBitLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};

uint32_t reverse_bits(uint32_t code, int len) {
  uint32_t res = 0;
  do {
    res |= code & 1;
    code >>= 1;
    res <<= 1;
  } while (--len > 0);
  return res >> 1;
}

void gencodes(TreeNode* tree, int max_code, const uint16_t* bl_count) {
  uint16_t next_code[kMaxCodeBits + 1];
  uint32_t code = 0;
  for (int bits = 1; bits <= kMaxCodeBits; bits++) {
    code = (code + bl_count[bits - 1]) << 1;
    next_code[bits] = static_cast<uint16_t>(code);
  }
  TESSEL_DEFLATE_CHECK(code + bl_count[kMaxCodeBits] - 1 == (1u << kMaxCodeBits) - 1,
                       "inconsistent bit counts-gencodes");
  for (int n = 0; n <= max_code; n++) {
    const int len = tree[n].dl;
    if (len == 0) continue;
    tree[n].fc = static_cast<uint16_t>(reverse_bits(next_code[len]++, len));
  }
}

namespace {

// Node a counts as smaller than node b: lower frequency, or equal frequency
// and depth lower or equal.
inline bool smaller(const TreeNode* tree, const uint8_t* depth, int a, int b) {
  return tree[a].fc < tree[b].fc || (tree[a].fc == tree[b].fc && depth[a] <= depth[b]);
}

// Restores the heap property from position k down.
void sift_down(TreeWork& w, const TreeNode* tree, int k) {
  const int v = w.heap[k];
  int j = k << 1;
  while (j <= w.heap_len) {
    if (j < w.heap_len && smaller(tree, w.depth, w.heap[j + 1], w.heap[j])) j++;
    if (smaller(tree, w.depth, v, w.heap[j])) break;
    w.heap[k] = w.heap[j];
    k = j;
    j <<= 1;
  }
  w.heap[k] = static_cast<uint16_t>(v);
}

}  // namespace

void fit_lengths(TreeWork& w, TreeDesc& desc) {
  TreeNode* tree = desc.dyn_tree;
  const TreeNode* stree = desc.static_tree;
  const int max_code = desc.max_code;
  const int max_length = desc.max_length;
  int overflow = 0;

  for (int bits = 0; bits <= kMaxCodeBits; bits++) w.bl_count[bits] = 0;
  tree[w.heap[w.heap_max]].dl = 0;  // the root

  // Parents come before their children at the heap top.
  int h = w.heap_max + 1;
  for (; h < kHeapSize; h++) {
    const int n = w.heap[h];
    int bits = tree[tree[n].dl].dl + 1;
    if (bits > max_length) {
      bits = max_length;
      overflow++;
    }
    tree[n].dl = static_cast<uint16_t>(bits);
    if (n > max_code) continue;  // internal node
    w.bl_count[bits]++;
    const uint32_t xbits = n >= desc.extra_base ? desc.extra_bits[n - desc.extra_base] : 0;
    const uint32_t f = tree[n].fc;
    w.opt_len += f * (bits + xbits);
    if (stree) w.static_len += f * (stree[n].dl + xbits);
  }
  if (overflow == 0) return;

  // Move leaves up from the deepest level until the counts describe a
  // complete code within the limit.
  do {
    int bits = max_length - 1;
    while (w.bl_count[bits] == 0) bits--;
    w.bl_count[bits]--;
    w.bl_count[bits + 1] += 2;
    w.bl_count[max_length]--;
    overflow -= 2;
  } while (overflow > 0);

  // Hand the lengths out again, lowest frequencies (end of the heap) first.
  for (int bits = max_length; bits != 0; bits--) {
    int n = w.bl_count[bits];
    while (n != 0) {
      const int m = w.heap[--h];
      if (m > max_code) continue;
      if (tree[m].dl != bits) {
        w.opt_len += static_cast<uint32_t>((bits - tree[m].dl) * static_cast<int>(tree[m].fc));
        tree[m].dl = static_cast<uint16_t>(bits);
      }
      n--;
    }
  }
}

void make_tree(TreeWork& w, TreeDesc& desc) {
  TreeNode* tree = desc.dyn_tree;
  const TreeNode* stree = desc.static_tree;
  const int elems = desc.elems;
  int max_code = -1;

  w.heap_len = 0;
  w.heap_max = kHeapSize;
  for (int n = 0; n < elems; n++) {
    if (tree[n].fc != 0) {
      w.heap[++w.heap_len] = static_cast<uint16_t>(n);
      max_code = n;
      w.depth[n] = 0;
    } else {
      tree[n].dl = 0;
    }
  }

  // A tree always gets at least two codes, so forced symbols of frequency 1
  // are added. Their cost is taken off again: they are never sent.
  while (w.heap_len < 2) {
    const int node = max_code < 2 ? ++max_code : 0;
    w.heap[++w.heap_len] = static_cast<uint16_t>(node);
    tree[node].fc = 1;
    w.depth[node] = 0;
    w.opt_len--;
    if (stree) w.static_len -= stree[node].dl;
  }
  desc.max_code = max_code;

  for (int n = w.heap_len / 2; n >= 1; n--) sift_down(w, tree, n);

  int node = elems;
  do {
    const int n = w.heap[1];
    w.heap[1] = w.heap[w.heap_len--];
    sift_down(w, tree, 1);
    const int m = w.heap[1];
    w.heap[--w.heap_max] = static_cast<uint16_t>(n);
    w.heap[--w.heap_max] = static_cast<uint16_t>(m);
    tree[node].fc = static_cast<uint16_t>(tree[n].fc + tree[m].fc);
    w.depth[node] = static_cast<uint8_t>((w.depth[n] >= w.depth[m] ? w.depth[n] : w.depth[m]) + 1);
    tree[n].dl = tree[m].dl = static_cast<uint16_t>(node);
    w.heap[1] = static_cast<uint16_t>(node++);
    sift_down(w, tree, 1);
  } while (w.heap_len >= 2);
  w.heap[--w.heap_max] = w.heap[1];

  fit_lengths(w, desc);
  gencodes(tree, max_code, w.bl_count);
}

namespace {

struct RunCounter {
  TreeNode* bl_tree;
  void lengths(int length, int count) { bl_tree[length].fc = static_cast<uint16_t>(bl_tree[length].fc + count); }
  void repeat(int symbol, int, int) { bl_tree[symbol].fc++; }
};

}  // namespace

void count_runs(const TreeNode* tree, int max_code, TreeNode* bl_tree) {
  RunCounter counter{bl_tree};
  walk_runs(tree, max_code, counter);
}

int make_length_tree(TreeWork& w, const TreeDesc& ltree, const TreeDesc& dtree, TreeDesc& bltree) {
  count_runs(ltree.dyn_tree, ltree.max_code, bltree.dyn_tree);
  count_runs(dtree.dyn_tree, dtree.max_code, bltree.dyn_tree);
  make_tree(w, bltree);
  int max_index = kBitLengthSymbols - 1;
  for (; max_index >= 3; max_index--) {
    if (bltree.dyn_tree[kBitLengthOrder[max_index]].dl != 0) break;
  }
  w.opt_len += 3 * (max_index + 1) + 5 + 5 + 4;
  return max_index;
}

}  // namespace tessel
