// Compresses arbitrary input and checks that zlib inflates it back exactly.
// The first byte picks the level (1..9) and how many bytes each read
// returns; one set of buffers and tables serves every run, as one zip
// operation serves all its entries.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/deflate.h"

namespace {

class FuzzIO : public tessel::DeflateIO {
 public:
  FuzzIO(const uint8_t* data, size_t size, uint32_t max_read) : data_(data), size_(size), max_read_(max_read) {}
  uint32_t read_source(uint8_t* dst, uint32_t count) override {
    if (count > 65534) std::abort();
    const size_t n = std::min<size_t>({count, max_read_, size_ - pos_});
    std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return static_cast<uint32_t>(n);
  }
  void write_output(const uint8_t* src, uint32_t count) override { out.insert(out.end(), src, src + count); }
  std::vector<uint8_t> out;

 private:
  const uint8_t* data_;
  size_t size_;
  uint32_t max_read_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto buffers = tessel::AllocateDeflateBuffers();
  static tessel::DeflateTables tables;
  if (size == 0) return 0;
  const int level = data[0] % 9 + 1;
  static const uint32_t kReads[4] = {65534, 1, 100, 4096};
  const uint32_t max_read = kReads[(data[0] / 9) % 4];
  data++;
  size--;

  FuzzIO io(data, size, max_read);
  tessel::DeflateHeader header;
  const uint64_t written = tessel::deflate_entry(level, header, *buffers, tables, io);
  if (written != io.out.size()) std::abort();
  if (header.InternalAttributes > 1) std::abort();
  if (header.CompressionMethod == 0) {
    if (io.out.size() != size || (size != 0 && std::memcmp(io.out.data(), data, size) != 0)) std::abort();
    return 0;
  }
  if (header.CompressionMethod != 8) std::abort();

  std::vector<uint8_t> back(size + 1);
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) std::abort();
  zs.next_in = io.out.data();
  zs.avail_in = static_cast<uInt>(io.out.size());
  zs.next_out = back.data();
  zs.avail_out = static_cast<uInt>(back.size());
  const int rc = inflate(&zs, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && zs.avail_in == 0 && zs.total_out == size &&
                  (size == 0 || std::memcmp(back.data(), data, size) == 0);
  inflateEnd(&zs);
  if (!ok) std::abort();
  return 0;
}
