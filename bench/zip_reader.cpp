// Reading the directory of a 65000-entry archive, and CRC-32 throughput side
// by side with zlib's crc32 on the same 256 MB buffer.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/header_info.h"
#include "zip/object_list.h"
#include "zip/zip_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

constexpr int kEntries = 65000;
constexpr size_t kCrcBytes = size_t{256} << 20;

// Writes an archive of kEntries small stored files with names like
// "folder17/file_00042.txt"; returns its path.
std::string BuildArchive() {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/bench_zip_XXXXXX.zip";
  const int fd = ::mkstemps(path.data(), 4);
  if (fd < 0) {
    std::perror("mkstemps");
    std::exit(1);
  }
  tessel::TLFNFileStream out(fd, path);
  tessel::TSortedZip entries(tessel::dupRefuse, tessel::ByNone);
  const std::string data = "some file content\n";
  for (int i = 0; i < kEntries; ++i) {
    auto e = std::make_unique<tessel::TZipHeaderInfo>();
    e->VersionMadeBy = tessel::kVersionMadeByUnix;
    e->CompressionMethod = 0;
    e->LastModDateTime = 0x58A16B2F;
    e->Crc32 = tessel::Crc32Of(data.data(), data.size());
    e->CompressedSize = e->UncompressedSize = data.size();
    e->ExternalAttributes = 0x81A40020;
    char name[64];
    std::snprintf(name, sizeof name, "folder%02d/file_%05d.txt", i % 97, i);
    e->SetFullName(name);
    e->SaveLocal(out);
    out.WriteBuffer(data.data(), data.size());
    entries.Add(std::move(e));
  }
  tessel::TEndCentral end;
  end.CentralDirOffset = out.Position();
  for (tessel::TZipHeaderInfo* e : entries) e->SaveCentral(out);
  end.CentralDirSize = out.Position() - end.CentralDirOffset;
  end.TotalEntries = end.EntriesThisDisk = static_cast<uint16_t>(kEntries);
  end.SaveToStream(out);
  if (!out.Close()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  return path;
}

}  // namespace

int main() {
  const std::string path = BuildArchive();
  double best = 1e9;
  double best_sorted = 1e9;
  for (int run = 0; run < 5; ++run) {
    tessel::TZipReader reader;
    reader.SetZipName(path);
    const auto t0 = Clock::now();
    reader.ReadDirectory();
    const auto t1 = Clock::now();
    reader.SetSortMode(tessel::ByName);
    const auto t2 = Clock::now();
    if (reader.Count() != kEntries) {
      std::fprintf(stderr, "read %d entries\n", reader.Count());
      return 1;
    }
    best = std::min(best, Seconds(t0, t1));
    best_sorted = std::min(best_sorted, Seconds(t1, t2));
  }
  ::unlink(path.c_str());
  std::printf("directory of %d entries: %.1f ms (ByName view: %.1f ms more)\n", kEntries,
              best * 1e3, best_sorted * 1e3);

  std::vector<uint8_t> buffer(kCrcBytes);
  std::mt19937_64 random(1);
  for (size_t i = 0; i < buffer.size(); i += 8) {
    const uint64_t v = random();
    std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, buffer.data() + i);
  }
  double ours = 1e9, theirs = 1e9;
  uint32_t crc_ours = 0, crc_theirs = 0;
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    crc_ours = tessel::Crc32Of(buffer.data(), buffer.size());
    auto t1 = Clock::now();
    uLong z = crc32(0L, Z_NULL, 0);
    for (size_t at = 0; at < buffer.size(); at += 1u << 30)
      z = crc32(z, buffer.data() + at, static_cast<uInt>(std::min<size_t>(1u << 30, buffer.size() - at)));
    crc_theirs = static_cast<uint32_t>(z);
    auto t2 = Clock::now();
    ours = std::min(ours, Seconds(t0, t1));
    theirs = std::min(theirs, Seconds(t1, t2));
  }
  if (crc_ours != crc_theirs) {
    std::fprintf(stderr, "CRC mismatch: %08x vs %08x\n", crc_ours, crc_theirs);
    return 1;
  }
  const double gb = static_cast<double>(buffer.size()) / 1e9;
  std::printf("CRC-32 of 256 MB (%s): ours %.2f GB/s, zlib %.2f GB/s, ratio %.2f\n",
              tessel::Crc32HasHardwarePath() ? "carry-less multiply" : "slicing by 16", gb / ours,
              gb / theirs, theirs / ours);
  std::printf("CRC-32 portable path alone: ");
  auto t0 = Clock::now();
  const uint32_t portable = ~tessel::Crc32UpdatePortable(tessel::kCrc32Initial, buffer.data(), buffer.size());
  auto t1 = Clock::now();
  std::printf("%.2f GB/s%s\n", gb / Seconds(t0, t1), portable == crc_theirs ? "" : " (MISMATCH)");
  return 0;
}
