// What the exclude masks cost a backup: small files backed up through the run
// controller with a thousand exclude masks of every usual shape and without
// any, side by side, and the ratio. Every file is checked against every mask
// (none fits, so both runs write the same archive).
//
//   bench_exclusions [files [masks]]     (default 10000 files, 1000 masks)
//   target: the run with 1000 masks costs under 2 times the run without
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/run_controller.h"
#include "app/run_display.h"
#include "app/settings.h"
#include "zip/zip_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kDefaultFiles = 10000;
constexpr size_t kDefaultMasks = 1000;
constexpr size_t kFilesPerFolder = 200;
constexpr int kRounds = 5;
constexpr double kTargetRatio = 2.0;

class QuietDisplay : public tessel::RunDisplay {
public:
  void ShowCurrentFile(const std::string& text) override { files += text.empty() ? 0 : 1; }
  void ShowArchiveName(const std::string&) override {}
  void SetFileProgress(int) override {}
  void SetTotalProgress(int) override {}
  void ShowElapsed(const std::string&) override {}
  void ShowRemaining(const std::string&) override {}
  void ShowDoneMessage() override {}
  void RequestClose() override {}
  size_t files = 0;
};

// count masks in the shapes people write: extensions, folders anywhere,
// folders below the backed-up one, name patterns with "?" and sets, and
// masks with several stars. None fits a file of the data folder.
std::vector<std::string> MakeMasks(const fs::path& data, size_t count) {
  std::vector<std::string> masks;
  for (size_t i = 0; masks.size() < count; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 8) {
      case 0: masks.push_back("*.x" + n); break;
      case 1: masks.push_back("*/cache" + n + "/*"); break;
      case 2: masks.push_back((data / ("folder" + n + "-old")).string() + "/*"); break;
      case 3: masks.push_back("*/~$*" + n + ".doc"); break;
      case 4: masks.push_back("*.log.[0-9]" + n); break;
      case 5: masks.push_back("*/backup-??\?\?-" + n + ".zip"); break;
      case 6: masks.push_back("*/node_modules" + n + "/*/*.js"); break;
      default: masks.push_back("*[Tt]humbs" + n + ".db"); break;
    }
  }
  return masks;
}

// Seconds taken by one backup of the data folder, and the files it showed.
double BackupOnce(const fs::path& root, const std::vector<std::string>& masks, size_t& shown) {
  const fs::path archive = root / "out" / "bench.zip";
  fs::remove(archive);
  tessel::JobSettings job;
  job.FileNameMask = archive.string();
  job.Level = 1;
  job.IncludeMasks.Append((root / "data" / "*.*").string());
  for (const std::string& mask : masks) job.ExcludeMasks.Append(mask);
  tessel::StartupOptions options;
  options.Batch = true;
  options.ConfigPath = (root / "bench.ini").string();
  QuietDisplay display;
  tessel::RunController controller(job, display, options);
  const auto start = std::chrono::steady_clock::now();
  controller.StartRun();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  shown = display.files;
  return took.count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t files = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : kDefaultFiles;
  const size_t mask_count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : kDefaultMasks;
  std::string templ = (fs::temp_directory_path() / "bench_exclusions_XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root = templ;
  std::printf("Creating %zu files of 200 to 1000 bytes...\n", files);
  for (size_t i = 0; i < files; ++i) {
    const fs::path folder = root / "data" / ("folder" + std::to_string(i / kFilesPerFolder));
    if (i % kFilesPerFolder == 0) fs::create_directories(folder);
    std::ofstream out(folder / ("document" + std::to_string(i) + ".txt"), std::ios::binary);
    const size_t size = 200 + (i * 7919) % 800;
    std::string text;
    while (text.size() < size) text += "line " + std::to_string(i) + " of a small text file\n";
    text.resize(size);
    out << text;
  }
  fs::create_directories(root / "out");
  const std::vector<std::string> masks = MakeMasks(root / "data", mask_count);

  int status = 0;
  try {
    size_t shown = 0;
    BackupOnce(root, {}, shown);  // warms the page cache
    std::vector<double> without, with;
    size_t shown_without = 0, shown_with = 0;
    for (int round = 0; round < kRounds; ++round) {
      without.push_back(BackupOnce(root, {}, shown_without));
      with.push_back(BackupOnce(root, masks, shown_with));
    }
    std::sort(without.begin(), without.end());
    std::sort(with.begin(), with.end());
    const std::string with_label = "with " + std::to_string(masks.size()) + " exclude masks";
    std::printf("files backed up: %zu without masks, %zu %s\n", shown_without, shown_with, with_label.c_str());
    std::printf("%-28s %10s %10s\n", "", "best s", "median s");
    std::printf("%-28s %10.3f %10.3f\n", "without exclude masks", without.front(), without[kRounds / 2]);
    std::printf("%-28s %10.3f %10.3f\n", with_label.c_str(), with.front(), with[kRounds / 2]);
    const double ratio = with[kRounds / 2] / without[kRounds / 2];
    std::printf("ratio (median with / median without): %.2f, target under %.0f: %s\n", ratio, kTargetRatio,
                ratio < kTargetRatio ? "met" : "MISSED");
    if (shown_without != shown_with || shown_without != files) status = 1;
    if (ratio >= kTargetRatio) status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_exclusions: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(root);
  return status;
}
