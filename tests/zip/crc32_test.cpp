#include "zip/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace tessel {
namespace {

TEST(Crc32, CheckValues) {
  struct Case {
    std::string text;
    uint32_t crc;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(32, '\0'), 0x190A55ADu},
      {std::string(32, '\xFF'), 0xFF6CAB0Bu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Crc32Of(c.text.data(), c.text.size()), c.crc) << c.text.size();
  }
}

// Every length from 0 to 300 at every alignment 0..15, and a few large ones,
// against zlib and against the portable path; exercises both the folding
// path's block and tail handling.
TEST(Crc32, MatchesReferenceAtEveryLengthAndAlignment) {
  std::vector<uint8_t> data(1 << 20);
  std::mt19937 random(7);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {1000u, 4095u, 4096u, 65537u, 1000003u}) lengths.push_back(n);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t n : lengths) {
      if (offset + n > data.size()) continue;
      const uint8_t* p = data.data() + offset;
      const uint32_t reference = static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
      ASSERT_EQ(Crc32Of(p, n), reference) << "n=" << n << " offset=" << offset;
      ASSERT_EQ(~Crc32UpdatePortable(kCrc32Initial, p, n), reference) << "n=" << n;
    }
  }
}

TEST(Crc32, IncrementalUpdatesEqualOneShot) {
  std::vector<uint8_t> data(5000);
  std::mt19937 random(11);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  const uint32_t whole = Crc32Of(data.data(), data.size());
  for (size_t split : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 2500u, 4999u, 5000u}) {
    uint32_t crc = kCrc32Initial;
    crc = Crc32Update(crc, data.data(), split);
    crc = Crc32Update(crc, data.data() + split, data.size() - split);
    EXPECT_EQ(~crc, whole) << split;
  }
  // Many small pieces of varying size.
  uint32_t crc = kCrc32Initial;
  size_t at = 0;
  for (size_t piece = 1; at < data.size(); piece = piece * 3 % 97 + 1) {
    const size_t n = std::min(piece, data.size() - at);
    crc = Crc32Update(crc, data.data() + at, n);
    at += n;
  }
  EXPECT_EQ(~crc, whole);
}

}  // namespace
}  // namespace tessel
