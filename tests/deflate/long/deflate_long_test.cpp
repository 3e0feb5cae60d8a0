// Multi-megabyte inputs that slide the window many times, at every level,
// and an entry whose compressed data passes 512 MiB.
#include <gtest/gtest.h>

#include "deflate/deflate_support.h"

namespace tessel::test {
namespace {

std::vector<CorpusItem> LargeInputs() {
  std::vector<CorpusItem> c;
  c.push_back({"text", SyntheticText(4u << 20, 31)});
  Bytes exe;
  for (int i = 0; exe.size() < (4u << 20) && i < 8; i++) {
    const Bytes part = Executable(2u << 20, i);
    exe.insert(exe.end(), part.begin(), part.end());
  }
  c.push_back({"executables", exe});
  Bytes mix;
  for (int i = 0; mix.size() < (3u << 20); i++) {
    const Bytes part = i % 2 ? RandomBytes(50000, static_cast<uint32_t>(i)) : SyntheticText(70000, static_cast<uint32_t>(i));
    mix.insert(mix.end(), part.begin(), part.end());
  }
  c.push_back({"mix", mix});
  // Long runs: one block spans megabytes, so its start slides out of the
  // window and only coded forms remain.
  Bytes runs(3u << 20, 0);
  for (size_t i = 0; i < runs.size(); i += 1u << 20) runs[i] = 1;
  c.push_back({"runs", runs});
  return c;
}

TEST(DeflateLong, EveryLevelOnLargeInputs) {
  const auto inputs = LargeInputs();
  Writer w;
  for (int level = 1; level <= 9; level++) {
    for (const auto& item : inputs) {
      const Compressed c = w.Compress(level, item.data);
      CheckEntry(level, item.data, c, item.name);
      if (HasFatalFailure()) return;
    }
  }
}

// Endless incompressible data, generated as it is read; the output is only
// counted.
class StreamingIO : public DeflateIO {
 public:
  explicit StreamingIO(uint64_t total) : left_(total) {}
  uint32_t read_source(uint8_t* dst, uint32_t count) override {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, left_));
    for (uint32_t i = 0; i < n; i++) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      dst[i] = static_cast<uint8_t>(state_ >> 24);
    }
    left_ -= n;
    return n;
  }
  void write_output(const uint8_t*, uint32_t count) override { written += count; }
  uint64_t written = 0;

 private:
  uint64_t left_;
  uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

TEST(DeflateLong, CompressedSizePast512MiBIsExact) {
  const uint64_t input = 530ull << 20;  // stored blocks: a little more output than input
  Writer w;
  StreamingIO io(input);
  DeflateHeader h;
  const uint64_t size = deflate_entry(1, h, *w.buffers, w.tables, io);
  EXPECT_EQ(size, io.written);
  EXPECT_GT(size, input);
  EXPECT_EQ(h.CompressionMethod, 8);
}

}  // namespace
}  // namespace tessel::test
