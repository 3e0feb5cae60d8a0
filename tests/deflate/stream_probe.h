#pragma once
// A small independent decoder for raw deflate streams, used by the tests to
// see what the compressor chose: every block's type, size, header fields,
// code lengths and symbol counts. It checks the stream as it goes (complete
// codes, LEN against NLEN, distances inside the output, zero padding).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tessel::test {

struct ProbeBlock {
  int type = -1;  // 0 stored, 1 fixed, 2 dynamic
  bool final = false;
  uint64_t start_bit = 0;
  uint64_t end_bit = 0;      // just after the end-of-block code (or the stored bytes)
  size_t out_start = 0;
  size_t out_len = 0;        // input bytes the block covers
  uint32_t literals = 0;
  uint32_t matches = 0;
  uint64_t fixed_bits = 0;   // the block's symbols in fixed codes, EOB included, header excluded
  uint32_t far_short_matches = 0;  // length-3 matches more than 4096 back
  uint32_t max_distance = 0;
  // Dynamic blocks only.
  int hlit = 0, hdist = 0, hclen = 0;
  std::vector<uint8_t> cl_sent;  // the code-length code lengths in sending order
  std::vector<uint8_t> lit_lengths, dist_lengths;
  uint32_t tallies() const { return literals + matches; }
};

struct ProbeResult {
  bool ok = false;
  std::string error;
  std::vector<uint8_t> output;
  std::vector<ProbeBlock> blocks;
  uint64_t bits = 0;  // bits consumed up to the final block's end
};

namespace probe_detail {

inline constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr uint8_t kClOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Fail {
  std::string what;
};

class Reader {
 public:
  Reader(const uint8_t* d, size_t n) : data_(d), size_(n) {}
  uint32_t bit() {
    if (pos_ >= size_ * 8) throw Fail{"stream ends early"};
    const uint32_t b = (data_[pos_ >> 3] >> (pos_ & 7)) & 1;
    pos_++;
    return b;
  }
  uint32_t bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v |= bit() << i;
    return v;
  }
  void align() {
    while (pos_ & 7) {
      if (bit() != 0) throw Fail{"nonzero padding"};
    }
  }
  uint64_t pos() const { return pos_; }
  const uint8_t* byte_ptr() const { return data_ + (pos_ >> 3); }
  void skip_bytes(size_t n) {
    if ((pos_ >> 3) + n > size_) throw Fail{"stored block runs past the end"};
    pos_ += n * 8;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  uint64_t pos_ = 0;
};

// Canonical Huffman decoding, one bit at a time.
class Code {
 public:
  void build(const uint8_t* lengths, int n, bool allow_single) {  // allow_single: one code of length 1
    std::memset(count_, 0, sizeof count_);
    for (int i = 0; i < n; i++) count_[lengths[i]]++;
    count_[0] = 0;
    int left = 1;
    int used = 0;
    for (int len = 1; len <= 15; len++) {
      left <<= 1;
      left -= count_[len];
      used += count_[len];
      if (left < 0) throw Fail{"oversubscribed code"};
    }
    if (left != 0 && !(allow_single && used == 1)) throw Fail{"incomplete code"};
    int offs[16];
    offs[1] = 0;
    for (int len = 1; len < 15; len++) offs[len + 1] = offs[len] + count_[len];
    symbols_.assign(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; i++) {
      if (lengths[i] != 0) symbols_[static_cast<size_t>(offs[lengths[i]]++)] = static_cast<uint16_t>(i);
    }
  }
  int decode(Reader& r) const {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; len++) {
      code |= static_cast<int>(r.bit());
      const int count = count_[len];
      if (code - count < first) return symbols_[static_cast<size_t>(index + (code - first))];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    throw Fail{"invalid code"};
  }

 private:
  int count_[16];
  std::vector<uint16_t> symbols_;
};

inline uint32_t FixedLitLength(int sym) { return sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8; }

inline void DecodeSymbols(Reader& r, const Code& lit, const Code& dist, ProbeBlock& b, std::vector<uint8_t>& out) {
  for (;;) {
    const int sym = lit.decode(r);
    b.fixed_bits += FixedLitLength(sym);
    if (sym < 256) {
      out.push_back(static_cast<uint8_t>(sym));
      b.literals++;
      continue;
    }
    if (sym == 256) return;
    const int li = sym - 257;
    if (li >= 29) throw Fail{"bad length symbol"};
    const uint32_t len = kLengthBase[li] + r.bits(kLengthExtra[li]);
    const int ds = dist.decode(r);
    if (ds >= 30) throw Fail{"bad distance symbol"};
    const uint32_t d = kDistBase[ds] + r.bits(kDistExtra[ds]);
    b.fixed_bits += kLengthExtra[li] + 5u + kDistExtra[ds];
    if (d > out.size()) throw Fail{"distance too far back"};
    for (uint32_t i = 0; i < len; i++) out.push_back(out[out.size() - d]);
    b.matches++;
    if (len == 3 && d > 4096) b.far_short_matches++;
    if (d > b.max_distance) b.max_distance = d;
  }
}

}  // namespace probe_detail

// Decodes the whole stream; on any fault ok is false and error tells why.
inline ProbeResult ProbeStream(const uint8_t* data, size_t size) {
  using namespace probe_detail;
  ProbeResult res;
  Reader r(data, size);
  try {
    for (;;) {
      ProbeBlock b;
      b.start_bit = r.pos();
      b.out_start = res.output.size();
      b.final = r.bit() != 0;
      b.type = static_cast<int>(r.bits(2));
      if (b.type == 0) {
        r.align();
        const uint32_t len = r.bits(16);
        const uint32_t nlen = r.bits(16);
        if ((len ^ 0xFFFF) != nlen) throw Fail{"LEN and NLEN disagree"};
        const uint8_t* p = r.byte_ptr();
        r.skip_bytes(len);
        res.output.insert(res.output.end(), p, p + len);
      } else if (b.type == 1) {
        uint8_t lens[288];
        for (int i = 0; i < 288; i++) lens[i] = static_cast<uint8_t>(FixedLitLength(i));
        uint8_t dl[32];  // codes 30 and 31 exist but are never valid
        std::memset(dl, 5, sizeof dl);
        Code lit, dist;
        lit.build(lens, 288, false);
        dist.build(dl, 32, false);
        DecodeSymbols(r, lit, dist, b, res.output);
      } else if (b.type == 2) {
        b.hlit = static_cast<int>(r.bits(5)) + 257;
        b.hdist = static_cast<int>(r.bits(5)) + 1;
        b.hclen = static_cast<int>(r.bits(4)) + 4;
        uint8_t cl[19] = {};
        for (int i = 0; i < b.hclen; i++) {
          cl[kClOrder[i]] = static_cast<uint8_t>(r.bits(3));
          b.cl_sent.push_back(cl[kClOrder[i]]);
        }
        Code clc;
        clc.build(cl, 19, false);
        std::vector<uint8_t> lens;
        while (static_cast<int>(lens.size()) < b.hlit + b.hdist) {
          const int sym = clc.decode(r);
          if (sym < 16) {
            lens.push_back(static_cast<uint8_t>(sym));
          } else if (sym == 16) {
            if (lens.empty()) throw Fail{"repeat without a previous length"};
            const uint8_t prev = lens.back();
            for (uint32_t n = 3 + r.bits(2); n; n--) lens.push_back(prev);
          } else {
            for (uint32_t n = sym == 17 ? 3 + r.bits(3) : 11 + r.bits(7); n; n--) lens.push_back(0);
          }
        }
        if (static_cast<int>(lens.size()) != b.hlit + b.hdist) throw Fail{"code lengths overrun"};
        b.lit_lengths.assign(lens.begin(), lens.begin() + b.hlit);
        b.dist_lengths.assign(lens.begin() + b.hlit, lens.end());
        Code lit, dist;
        lit.build(b.lit_lengths.data(), b.hlit, false);
        dist.build(b.dist_lengths.data(), b.hdist, false);
        DecodeSymbols(r, lit, dist, b, res.output);
      } else {
        throw Fail{"reserved block type"};
      }
      b.end_bit = r.pos();
      b.out_len = res.output.size() - b.out_start;
      res.blocks.push_back(std::move(b));
      if (res.blocks.back().final) break;
    }
    res.bits = r.pos();
    r.align();
    if (r.pos() != size * 8) throw Fail{"bytes after the final block"};
    res.ok = true;
  } catch (const Fail& f) {
    res.error = f.what;
  }
  return res;
}

}  // namespace tessel::test
