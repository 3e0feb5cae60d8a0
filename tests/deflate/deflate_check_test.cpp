// The compressor's consistency checks are compiled into the copy the tests
// use, in every build type: a broken condition stops the process with its
// text, whether the check sits in a library source or in an inline function
// of a header. (With the checks compiled out, none of these calls would stop.)
#include "deflate/deflate_check.h"

#include <gtest/gtest.h>

#include <memory>

#include "deflate/block_output.h"
#include "deflate/deflate_support.h"
#include "deflate/trees.h"

namespace tessel::test {
namespace {

class DiscardingIO : public DeflateIO {
 public:
  uint32_t read_source(uint8_t*, uint32_t) override { return 0; }
  void write_output(const uint8_t*, uint32_t) override {}
};

// In trees.cpp: one code of length 1 is not a complete code.
void AssignCodesToAnIncompleteCode() {
  TreeNode tree[2] = {{0, 1}, {0, 0}};
  uint16_t counts[kMaxCodeBits + 1] = {0, 1};
  gencodes(tree, 0, counts);
}

// Inline in block_output.h: a field of no bits.
void SendAFieldOfNoBits() {
  uint8_t buffer[kOutputBufferSize];
  DiscardingIO io;
  BitWriter w(buffer, &io);
  w.send_bits(1, 0);
}

// Inline in block_output.h: a match farther back than the window allows.
void TallyAMatchTooFarBack() {
  DeflateTables tables;
  auto buffers = AllocateDeflateBuffers();
  DeflateHeader header;
  DiscardingIO io;
  auto out = std::make_unique<BlockOutput>();
  ct_init(*out, tables, *buffers, header, io, 6);
  ct_tally(*out, 32507, 0, 40000, 0);
}

TEST(ConsistencyChecksDeathTest, BrokenConditionsStopWithTheirText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AssignCodesToAnIncompleteCode(), "deflate consistency check failed: inconsistent bit counts-gencodes");
  EXPECT_DEATH(SendAFieldOfNoBits(), "invalid length in send_bits");
  EXPECT_DEATH(TallyAMatchTooFarBack(), "ct_tally: bad match");
}

}  // namespace
}  // namespace tessel::test
