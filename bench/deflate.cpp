// bench_deflate: our compressor against zlib's raw deflate (same window, hash
// size and level parameters) on text, executables and a mix of both, at
// levels 1, 6 and 9. Prints MB/s, compressed size and the time ratio
// ours/zlib, each the median of five runs. Times are the CPU time of the
// thread (the same as wall time on an idle machine, far steadier on a busy
// one). Our output is checked by inflating it with zlib, and the start of its
// SHA-256 is printed so that a change of output shows.
//
//   bench_deflate                 the table
//   bench_deflate --record FILE   writes the SHA-256 of our output for every
//                                 input at every level 1 to 9 to FILE, no timing
//   bench_deflate --check FILE    compares those digests with FILE (recorded
//                                 by an earlier version on this machine, whose
//                                 files make the inputs), then prints the
//                                 table; exits 1 when any output changed
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
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

std::string Sha256Hex(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) std::exit(1);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; i++) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

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

struct Input {
  const char* name;
  const Bytes* data;
};

// One line per input and level 1 to 9: "NAME LEVEL SIZE SHA256".
std::string Digests(const std::vector<Input>& inputs) {
  std::string lines;
  Bytes out;
  for (const Input& input : inputs) {
    for (int level = 1; level <= 9; level++) {
      double seconds = 0;
      RunOurs(*input.data, level, out, seconds);
      lines += std::string(input.name) + " " + std::to_string(level) + " " + std::to_string(out.size()) + " " +
               Sha256Hex(out) + "\n";
    }
  }
  return lines;
}

// Compares the digests line by line with the recorded ones; prints every difference.
bool SameDigests(const std::string& now, const std::string& recorded) {
  std::istringstream a(now), b(recorded);
  std::string la, lb;
  bool same = true;
  while (true) {
    const bool more_a = static_cast<bool>(std::getline(a, la));
    const bool more_b = static_cast<bool>(std::getline(b, lb));
    if (!more_a && !more_b) break;
    if (la != lb || more_a != more_b) {
      std::printf("OUTPUT CHANGED: now \"%s\", recorded \"%s\"\n", more_a ? la.c_str() : "",
                  more_b ? lb.c_str() : "");
      same = false;
    }
  }
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (argc != 1 && mode != "--record" && mode != "--check") {
    std::fprintf(stderr, "usage: bench_deflate [--record FILE | --check FILE]\n");
    return 2;
  }
  const Bytes text = Collect({"/usr/share/common-licenses", "/usr/share/doc", "/usr/include"}, kCorpusSize, false);
  const Bytes exe = Collect({"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"}, kCorpusSize, true);
  const Bytes mix = Mix(text, exe, kCorpusSize);
  std::vector<Input> inputs;
  for (const Input& input : {Input{"text", &text}, Input{"executables", &exe}, Input{"mix", &mix}}) {
    if (!input.data->empty()) inputs.push_back(input);
  }

  bool all_ok = true;
  if (mode == "--record") {
    std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
    file << Digests(inputs);
    file.close();
    if (!file) {
      std::fprintf(stderr, "bench_deflate: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (mode == "--check") {
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "bench_deflate: cannot read %s\n", argv[2]);
      return 1;
    }
    const std::string recorded((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    all_ok = SameDigests(Digests(inputs), recorded);
    std::printf("outputs at levels 1-9 against %s: %s\n", argv[2], all_ok ? "identical" : "CHANGED");
  }

  std::printf("%-12s %5s %9s | %9s %10s | %9s %10s | %6s  %s\n", "input", "level", "MB", "ours MB/s",
              "ours size", "zlib MB/s", "zlib size", "ratio", "ours sha256");
  for (const Input& input : inputs) {
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
      std::printf("%-12s %5d %9.2f | %9.1f %10zu | %9.1f %10zu | %6.3f  %.16s%s\n", input.name, level, mb,
                  mb / ot, ours_size, mb / zt, zlib_size, ot / zt, Sha256Hex(ours_out).c_str(),
                  ok ? "" : "  INFLATE FAILED");
    }
  }
  return all_ok ? 0 : 1;
}
