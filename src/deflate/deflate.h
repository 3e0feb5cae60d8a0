#pragma once
// The deflate compressor (raw RFC 1951 streams) behind the zip writer's levels
// 1 to 9. It knows no archive: it reads and sets the few entry fields it needs
// through DeflateHeader, pulls its input and pushes its output through the
// writer's DeflateIO callbacks, and works in buffers the writer owns for one
// whole zip operation.
#include <cstdint>
#include <memory>

#include "deflate/trees.h"

namespace tessel {

// The entry fields the compressor reads and sets; the zip writer copies them
// into its header record afterwards.
struct DeflateHeader {
  uint16_t GeneralPurposeFlags = 0;  // levels 1-2 add bit 2 (4), levels 8-9 bit 1 (2)
  uint16_t CompressionMethod = 8;    // becomes 0 when the whole entry went out raw
  uint16_t InternalAttributes = 2;   // 2 = not yet known; set to 0 (binary) or 1 (text)
};

// The zip writer's callbacks. Exceptions thrown by either pass through
// deflate_entry unchanged.
class DeflateIO {
 public:
  virtual ~DeflateIO() = default;
  // Reads up to `count` (at most 65534) source bytes into dst; 0 = end of input.
  virtual uint32_t read_source(uint8_t* dst, uint32_t count) = 0;
  // Writes `count` compressed bytes in order.
  virtual void write_output(const uint8_t* src, uint32_t count) = 0;
};

inline constexpr uint32_t kWindowBufferSize = 65536;  // two halves of 32768
inline constexpr uint32_t kHashSize = 32768;
inline constexpr uint32_t kTallyBufferSize = 32768;
inline constexpr uint32_t kFlagBufferSize = 4096;

// The work buffers, allocated once per zip operation and reused by every
// entry. The window is zero-filled at allocation, so that the output never
// depends on uninitialised memory.
//
// A level uses one of two link tables, both indexed by position AND 32767.
// The fast levels, whose searches look at no more than 8 candidates, keep
// the previous position of each chain: inserting a position is then a single
// store. The other levels keep the four positions that precede p in its
// chain, the nearest in the low 16 bits: one load yields four chain steps,
// so a long search waits for a table read once per four candidates.
struct deflate_buffers {
  alignas(64) uint8_t window[kWindowBufferSize];   // input bytes; index = window position
  alignas(64) uint16_t link[kHashSize];             // previous position with the same hash
  alignas(64) uint64_t link4[kHashSize];            // four earlier positions with the same hash
  alignas(64) uint16_t head[kHashSize];             // newest position per hash; 0 = none
  alignas(64) uint8_t literal_buffer[kTallyBufferSize];    // literal or match length - 3
  alignas(64) uint16_t distance_buffer[kTallyBufferSize];  // match distance - 1
  alignas(64) uint8_t flag_buffer[kFlagBufferSize];        // one bit per tally, 1 = match
};

// Allocates zero-filled buffers; call once per zip operation.
std::unique_ptr<deflate_buffers> AllocateDeflateBuffers();

// The static code tables, built on the first entry a writer compresses and
// kept for the writer's lifetime. Default-construct one per writer.
class DeflateTables {
 public:
  bool built = false;
  uint8_t length_code[256];         // match length - 3 -> length code index 0..28
  uint8_t dist_code[512];           // see distance_code
  uint16_t base_length[kLengthCodeCount];  // smallest length - 3 per index
  uint16_t base_dist[kDistanceSymbols];    // smallest distance - 1 per code
  TreeNode static_ltree[kFixedLitLenSymbols];
  TreeNode static_dtree[kDistanceSymbols];
};

// Compresses one entry at level 1..9 (values outside are clamped): reads the
// whole source, writes the deflate stream (or, when nothing is gained, the raw
// bytes with CompressionMethod set to 0) and returns the number of bytes
// written. Sets the flag bits of the level and the internal attributes.
uint64_t deflate_entry(int level, DeflateHeader& header, deflate_buffers& buffers,
                       DeflateTables& tables, DeflateIO& io);

}  // namespace tessel
