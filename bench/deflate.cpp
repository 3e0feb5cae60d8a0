// bench_deflate: our compressor against zlib's raw deflate (same window, hash
// size and level parameters) on text, executables and a mix of both, at
// levels 1, 6 and 9. Prints MB/s, compressed size and the time ratio
// ours/zlib, each the median of five runs. Times are the CPU time of the
// thread (the same as wall time on an idle machine, far steadier on a busy one). Our output is checked by inflating
// it with zlib, and its CRC-32 is printed so that a change of output shows.
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "deflate/deflate.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kCorpusSize = 8u << 20;
constexpr int kRuns = 5;

bool ReadFile(const fs::path& path, Bytes& out, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t take = std::min(data.size(), limit - out.size());
  out.insert(out.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
  return true;
}

bool LooksCompressed(const fs::path& p) {
  const std::string ext = p.extension().string();
  return ext == ".gz" || ext == ".xz" || ext == ".bz2" || ext == ".zst" || ext == ".png" || ext == ".jpg";
}

// Regular files under the roots, in name order, until `limit` bytes.
Bytes Collect(const std::vector<std::string>& roots, size_t limit, bool executables) {
  Bytes out;
  for (const std::string& root : roots) {
    std::error_code ec;
    if (!fs::exists(root, ec)) continue;
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (!it->is_regular_file(ec) || it->is_symlink(ec) || LooksCompressed(it->path())) continue;
      const auto size = it->file_size(ec);
      if (ec || size == 0) continue;
      if (executables && size < 100000) continue;  // the larger programs and libraries
      files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& p : files) {
      if (out.size() >= limit) return out;
      ReadFile(p, out, limit);
    }
  }
  return out;
}

Bytes Mix(const Bytes& a, const Bytes& b, size_t limit) {
  Bytes out;
  constexpr size_t kChunk = 48 * 1024;
  for (size_t i = 0; out.size() < limit && (i < a.size() || i < b.size()); i += kChunk) {
    if (i < a.size()) out.insert(out.end(), a.begin() + i, a.begin() + std::min(a.size(), i + kChunk));
    if (i < b.size()) out.insert(out.end(), b.begin() + i, b.begin() + std::min(b.size(), i + kChunk));
  }
  out.resize(std::min(out.size(), limit));
  return out;
}

class MemoryIO : public tessel::DeflateIO {
 public:
  MemoryIO(const Bytes& in, Bytes& out) : in_(in), out_(out) { out_.clear(); }
  uint32_t read_source(uint8_t* dst, uint32_t count) override {
    const size_t n = std::min<size_t>(count, in_.size() - pos_);
    std::memcpy(dst, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<uint32_t>(n);
  }
  void write_output(const uint8_t* src, uint32_t count) override { out_.insert(out_.end(), src, src + count); }

 private:
  const Bytes& in_;
  Bytes& out_;
  size_t pos_ = 0;
};

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

size_t RunOurs(const Bytes& in, int level, Bytes& out, double& seconds) {
  const double t0 = CpuSeconds();
  auto buffers = tessel::AllocateDeflateBuffers();
  tessel::DeflateTables tables;
  tessel::DeflateHeader header;
  MemoryIO io(in, out);
  const uint64_t size = tessel::deflate_entry(level, header, *buffers, tables, io);
  seconds = CpuSeconds() - t0;
  if (size != out.size() || header.CompressionMethod != 8) {
    std::fprintf(stderr, "unexpected result: size %llu, %zu written, method %u\n",
                 static_cast<unsigned long long>(size), out.size(), header.CompressionMethod);
    std::exit(1);
  }
  return out.size();
}

size_t RunZlib(const Bytes& in, int level, Bytes& out, double& seconds) {
  const double t0 = CpuSeconds();
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::exit(1);
  out.resize(deflateBound(&zs, in.size()));
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::exit(1);
  const size_t size = zs.total_out;
  deflateEnd(&zs);
  seconds = CpuSeconds() - t0;
  out.resize(size);
  return size;
}

bool InflatesTo(const Bytes& stream, const Bytes& expected) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return false;
  Bytes got(expected.size() + 1);
  zs.next_in = const_cast<Bytef*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  zs.next_out = got.data();
  zs.avail_out = static_cast<uInt>(got.size());
  const int rc = inflate(&zs, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && zs.total_out == expected.size() && zs.avail_in == 0 &&
                  std::memcmp(got.data(), expected.data(), expected.size()) == 0;
  inflateEnd(&zs);
  return ok;
}

}  // namespace

int main() {
  const Bytes text = Collect({"/usr/share/common-licenses", "/usr/share/doc", "/usr/include"}, kCorpusSize, false);
  const Bytes exe = Collect({"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"}, kCorpusSize, true);
  const Bytes mix = Mix(text, exe, kCorpusSize);
  struct Input {
    const char* name;
    const Bytes* data;
  };
  const Input inputs[] = {{"text", &text}, {"executables", &exe}, {"mix", &mix}};

  std::printf("%-12s %5s %9s | %9s %10s | %9s %10s | %6s  %s\n", "input", "level", "MB", "ours MB/s",
              "ours size", "zlib MB/s", "zlib size", "ratio", "ours crc32");
  bool all_ok = true;
  for (const Input& input : inputs) {
    if (input.data->empty()) continue;
    const double mb = static_cast<double>(input.data->size()) / 1e6;
    for (const int level : {1, 6, 9}) {
      std::vector<double> ours_t, zlib_t;
      Bytes ours_out, zlib_out;
      size_t ours_size = 0, zlib_size = 0;
      for (int run = 0; run < kRuns; run++) {
        double s = 0;
        ours_size = RunOurs(*input.data, level, ours_out, s);
        ours_t.push_back(s);
        zlib_size = RunZlib(*input.data, level, zlib_out, s);
        zlib_t.push_back(s);
      }
      const bool ok = InflatesTo(ours_out, *input.data);
      all_ok = all_ok && ok;
      const double ot = Median(ours_t), zt = Median(zlib_t);
      std::printf("%-12s %5d %9.2f | %9.1f %10zu | %9.1f %10zu | %6.3f  %08lx%s\n", input.name, level, mb,
                  mb / ot, ours_size, mb / zt, zlib_size, ot / zt,
                  crc32(0, ours_out.data(), static_cast<uInt>(ours_out.size())), ok ? "" : "  INFLATE FAILED");
    }
  }
  return all_ok ? 0 : 1;
}
