// Loads and saves a backup job through its configuration file: once with a
// thousand masks in each list, once with a realistic few dozen. Each load
// reads the file once; each save reads it once and replaces it once.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "app/settings.h"
#include "platform/paths.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Measure(const std::string& folder, const char* label, int masks, int rounds) {
  const std::string path = tessel::JoinPath(folder, std::string(label) + ".ini");
  tessel::JobSettings job;
  job.FileNameMask = "/home/user/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip";
  for (int i = 0; i < masks; ++i) {
    job.IncludeMasks.Append("/home/user/Документы/проект " + std::to_string(i) + "/*.*");
    job.ExcludeMasks.Append("*/cache/" + std::to_string(i) + "/*.tmp");
  }
  tessel::SaveSettings(job, path);

  double load_total = 0, save_total = 0, worst = 0;
  for (int r = 0; r < rounds; ++r) {
    tessel::JobSettings loaded;
    const auto t0 = Clock::now();
    tessel::LoadSettings(loaded, path);
    const auto t1 = Clock::now();
    tessel::SaveSettings(loaded, path);
    const auto t2 = Clock::now();
    if (loaded.IncludeMasks.Count() != static_cast<size_t>(masks)) {
      std::fprintf(stderr, "lost masks\n");
      std::exit(1);
    }
    load_total += Milliseconds(t1 - t0);
    save_total += Milliseconds(t2 - t1);
    worst = std::max(worst, Milliseconds(t2 - t0));
  }
  std::string image;
  tessel::ReadWholeFile(path, image);
  std::printf("%-10s %5d masks per list, %7zu bytes: load %8.3f ms, save %8.3f ms, load+save %8.3f ms (worst %.3f)\n",
              label, masks, image.size(), load_total / rounds, save_total / rounds, (load_total + save_total) / rounds,
              worst);
}

}  // namespace

int main() {
  char name[] = "/tmp/tessel_bench_settings_XXXXXX";
  if (::mkdtemp(name) == nullptr) return 1;
  const std::string folder = name;
  Measure(folder, "large", 1000, 20);
  Measure(folder, "realistic", 30, 200);
  std::system(("rm -rf '" + folder + "'").c_str());
  std::printf("budget: large load+save under 1000 ms\n");
  return 0;
}
