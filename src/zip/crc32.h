#pragma once
// The zip CRC-32 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// final complement).
#include <cstddef>
#include <cstdint>

namespace tessel {

inline constexpr uint32_t kCrc32Initial = 0xFFFFFFFFu;

// Advances a running accumulator over n bytes. The accumulator is kept
// uncomplemented: start from kCrc32Initial and complement the final value.
// Picks the fastest path the processor offers (carry-less multiplication
// folding where available, else slicing by 16).
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t n);

// The finished CRC-32 of one buffer ("123456789" gives 0xCBF43926).
uint32_t Crc32Of(const void* data, size_t n);

// The portable table-driven path alone, for tests and comparison.
uint32_t Crc32UpdatePortable(uint32_t crc, const uint8_t* data, size_t n);

// True when Crc32Update uses the carry-less multiplication path on this machine.
bool Crc32HasHardwarePath();

}  // namespace tessel
