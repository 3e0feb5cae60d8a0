// What the exclude masks cost a backup: 50000 small files backed up through
// the run controller with 20 typical exclude masks and without any, side by
// side. Every file is checked against every mask (none fits, so both runs
// write the same archive); the difference should stay within a few percent.
//
//   bench_exclusions [files]     (default 50000)
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

constexpr size_t kDefaultFiles = 50000;
constexpr size_t kFilesPerFolder = 200;
constexpr int kRounds = 3;

const char* const kMasks[] = {
    "*.tmp",         "*.bak",      "*~",          "*/.cache/*",    "*/node_modules/*",
    "*.o",           "*.obj",      "*/Temp/*",    "*.log.[0-9]",   "*/.git/*",
    "*.swp",         "*[Tt]humbs.db", "*/build/*", "*.pyc",        "*/__pycache__/*",
    "*.part",        "*.crdownload", "*/lost+found/*", "*.iso",    "*.[oa]",
};

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

// Seconds taken by one backup of the data folder, and the files it showed.
double BackupOnce(const fs::path& root, bool with_masks, size_t& shown) {
  const fs::path archive = root / "out" / "bench.zip";
  fs::remove(archive);
  tessel::JobSettings job;
  job.FileNameMask = archive.string();
  job.Level = 1;
  job.IncludeMasks.Append((root / "data" / "*.*").string());
  if (with_masks) {
    for (const char* mask : kMasks) job.ExcludeMasks.Append(mask);
  }
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

  int status = 0;
  try {
    size_t shown = 0;
    BackupOnce(root, false, shown);  // warms the page cache
    std::vector<double> without, with;
    size_t shown_without = 0, shown_with = 0;
    for (int round = 0; round < kRounds; ++round) {
      without.push_back(BackupOnce(root, false, shown_without));
      with.push_back(BackupOnce(root, true, shown_with));
    }
    std::sort(without.begin(), without.end());
    std::sort(with.begin(), with.end());
    std::printf("files backed up: %zu without masks, %zu with %zu masks\n", shown_without, shown_with,
                std::size(kMasks));
    std::printf("%-24s %10s %10s\n", "", "best s", "median s");
    std::printf("%-24s %10.3f %10.3f\n", "without exclude masks", without.front(), without[kRounds / 2]);
    std::printf("%-24s %10.3f %10.3f\n", "with 20 exclude masks", with.front(), with[kRounds / 2]);
    const double difference = (with.front() - without.front()) / without.front() * 100.0;
    std::printf("difference (best): %+.2f %%\n", difference);
    if (shown_without != shown_with) status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_exclusions: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(root);
  return status;
}
