// tessel-deflate LEVEL OUTDIR FILE...
// Compresses each FILE in order as one zip operation would (one set of
// buffers and tables for all of them), writes the stream of file number k to
// OUTDIR/k.deflate and prints one line per file:
//   k in=BYTES out=BYTES method=M internal=A flags=F
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "deflate/deflate.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class FileIO : public tessel::DeflateIO {
 public:
  FileIO(std::FILE* in, std::FILE* out, const std::string& in_name, const std::string& out_name)
      : in_(in), out_(out), in_name_(in_name), out_name_(out_name) {}

  uint32_t read_source(uint8_t* dst, uint32_t count) override {
    const size_t n = std::fread(dst, 1, count, in_);
    if (n < count && std::ferror(in_)) Fail("Cannot read", in_name_);
    bytes_in_ += n;
    return static_cast<uint32_t>(n);
  }

  void write_output(const uint8_t* src, uint32_t count) override {
    if (std::fwrite(src, 1, count, out_) != count) Fail("Cannot write", out_name_);
  }

  uint64_t bytes_in() const { return bytes_in_; }

  [[noreturn]] static void Fail(const char* what, const std::string& path) {
    throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(errno));
  }

 private:
  std::FILE* in_;
  std::FILE* out_;
  std::string in_name_;
  std::string out_name_;
  uint64_t bytes_in_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tessel-deflate LEVEL OUTDIR FILE...\n");
    return 2;
  }
  char* end = nullptr;
  const long level = std::strtol(argv[1], &end, 10);
  if (*argv[1] == '\0' || *end != '\0' || level < 1 || level > 9) {
    std::fprintf(stderr, "tessel-deflate: LEVEL must be 1 to 9\n");
    return 2;
  }
  const std::string outdir = argv[2];
  try {
    auto buffers = tessel::AllocateDeflateBuffers();
    tessel::DeflateTables tables;
    for (int k = 1; k + 2 < argc; k++) {
      const std::string in_name = argv[k + 2];
      const std::string out_name = outdir + "/" + std::to_string(k) + ".deflate";
      File in(std::fopen(in_name.c_str(), "rb"));
      if (!in) FileIO::Fail("Cannot open", in_name);
      File out(std::fopen(out_name.c_str(), "wb"));
      if (!out) FileIO::Fail("Cannot create", out_name);
      FileIO io(in.get(), out.get(), in_name, out_name);
      tessel::DeflateHeader header;
      const uint64_t size = tessel::deflate_entry(static_cast<int>(level), header, *buffers, tables, io);
      if (std::fclose(out.release()) != 0) FileIO::Fail("Cannot write", out_name);
      std::printf("%d in=%llu out=%llu method=%u internal=%u flags=%u\n", k,
                  static_cast<unsigned long long>(io.bytes_in()), static_cast<unsigned long long>(size),
                  header.CompressionMethod, header.InternalAttributes, header.GeneralPurposeFlags);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessel-deflate: %s\n", e.what());
    return 1;
  }
  return 0;
}
