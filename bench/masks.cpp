// Cost of the exclude-mask test of a backup run: every file path against
// every exclude mask, with the masks compiled once per run (TMask::Fits),
// compiled on every call (FitsMask) and asked as one set (TMaskSet, what a
// run does), and the engine's wildcard matcher on the file names for
// comparison.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/mask.h"
#include "zip/wildcard.h"

namespace {

constexpr int kFiles = 50000;
constexpr int kRepeats = 5;

// Paths like those of a home folder backup: a few folder levels, Latin and
// Cyrillic names, usual extensions.
std::vector<std::string> MakePaths() {
  const char* folders[] = {"Documents", "Проекты", "src", ".config", "Фото", "build", "notes", "2024"};
  const char* names[] = {"report", "отчет", "main", "index", "IMG_2041", "draft", "data", "письмо"};
  const char* extensions[] = {".txt", ".doc", ".cpp", ".h", ".jpg", ".tmp", ".bak", ".o", ""};
  std::mt19937 random(1);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  std::vector<std::string> paths;
  paths.reserve(kFiles);
  for (int i = 0; i < kFiles; ++i) {
    std::string path = "/home/user";
    for (size_t depth = 1 + pick(5); depth > 0; --depth) path += std::string("/") + folders[pick(8)];
    path += std::string("/") + names[pick(8)] + std::to_string(i % 100) + extensions[pick(9)];
    paths.push_back(std::move(path));
  }
  return paths;
}

const std::vector<std::string> kMasks = {
    "*.tmp",          "*.bak",           "*.o",          "*~",           "*/build/*",
    "*/.cache/*",     "*/node_modules/*", "*.log",        "*.swp",        "*/Trash/*",
    "*/.git/*",       "*[0-9][0-9].jpg",  "*отчет*.doc",  "*/Фото/*.raw", "*/tmp/*",
    "/home/user/Downloads/*", "*.iso",    "*/__pycache__/*", "*.pyc",     "*/Проекты/*/old/*",
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
  using tessel::TMask;
  const std::vector<std::string> paths = MakePaths();
  std::vector<TMask> compiled;
  for (const std::string& mask : kMasks) compiled.emplace_back(mask);

  size_t fits = 0;
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < kRepeats; ++r)
    for (const std::string& path : paths)
      for (const TMask& mask : compiled) fits += mask.Fits(path);
  const double compiled_time = Seconds(std::chrono::steady_clock::now() - start) / kRepeats;

  // The run's way: the whole list as one set, asked once per path.
  const tessel::TMaskSet set(kMasks);
  size_t excluded = 0;
  start = std::chrono::steady_clock::now();
  for (int r = 0; r < kRepeats; ++r)
    for (const std::string& path : paths) excluded += set.Fits(path);
  const double set_time = Seconds(std::chrono::steady_clock::now() - start) / kRepeats;
  size_t excluded_each = 0;
  for (const std::string& path : paths) {
    bool any = false;
    for (const TMask& mask : compiled) any = mask.Fits(path) || any;
    excluded_each += any;
  }

  size_t fits_each = 0;
  start = std::chrono::steady_clock::now();
  for (const std::string& path : paths)
    for (const std::string& mask : kMasks) fits_each += tessel::FitsMask(path, mask);
  const double per_call_time = Seconds(std::chrono::steady_clock::now() - start);

  size_t wild = 0;
  const std::vector<std::string> patterns = {"*.tmp", "*.bak", "*.o", "*~", "*<0-9><0-9>.jpg", "*.log"};
  start = std::chrono::steady_clock::now();
  for (const std::string& path : paths) wild += tessel::MatchesAnyPattern(patterns, path);
  const double wildcard_time = Seconds(std::chrono::steady_clock::now() - start);

  const double tests = static_cast<double>(paths.size() * kMasks.size());
  std::printf("exclude masks: %d paths x %zu masks (%zu fit)\n", kFiles, kMasks.size(), fits / kRepeats);
  std::printf("  TMask::Fits, compiled once   %8.1f ms  %6.1f ns per test\n", compiled_time * 1e3,
              compiled_time * 1e9 / tests);
  std::printf("  FitsMask, compiled per call  %8.1f ms  %6.1f ns per test\n", per_call_time * 1e3,
              per_call_time * 1e9 / tests);
  std::printf("  TMaskSet::Fits, one set      %8.1f ms  %6.1f ns per path (%zu paths excluded)\n", set_time * 1e3,
              set_time * 1e9 / static_cast<double>(paths.size()), excluded / kRepeats);
  std::printf("engine wildcards: %d names x %zu patterns (%zu match)  %8.1f ms\n", kFiles, patterns.size(), wild,
              wildcard_time * 1e3);
  return fits_each * kRepeats == fits && excluded == excluded_each * kRepeats ? 0 : 1;
}
