// Backs up one tree at level 6 with the zip engine on one and on two threads
// and with other writers (bsdtar, Python's zipfile at level 6, 7z at -mx=5 on
// two threads, and tar piped through pigz -6 on two threads, the parallel
// gzip anchor), each in a process of its own, and prints each one's wall
// time, CPU time, archive size and peak resident size, with the engine's
// two-thread time against each, and checks the targets: two threads at most
// 0.55 of one, at most 0.4 of bsdtar, no slower than tar and pigz. Then the
// peak resident size of a run whose first file is large, where everything
// behind it is compressed ahead of its turn; an update of the unchanged tree
// (replace mode 1) against zip -u; the engine's time per file and peak
// resident size for 10000, 50000 and 200000 small files, the first two
// against zip -6; then one sparse file of 5 GiB at level 1 (an entry and an
// archive past 4 GiB of input, written with the ZIP64 records) against
// Python's zipfile at level 1; then the cost of Verify: the tree at levels 6
// and 0 and an update of it, each with and without reading the archive back,
// the best of three runs each, beside unzip -t testing the same archive.
//
//   bench_backup [--tree FOLDER] [--work FOLDER] [--runs N] [--no-peers]
//                [--no-memory] [--no-scale] [--no-large] [--no-verify]
//                [--only-verify] [--only-cost]
//
// Without --tree a tree of at least 200 MB and 10000 files is copied once from
// /usr/include and /usr/share/doc into the work folder (default
// /tmp/tessel_bench). With --runs N every writer of the first table runs N
// times and the fastest run counts. --only-verify measures Verify alone;
// --only-cost the unchanged update and 10000 and 50000 small files, each
// beside zip.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "zip/zip_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

uint64_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Result {
  std::string Name;
  double Time = 0;  // wall clock, seconds
  double Cpu = 0;   // user + system, seconds, the process and everything it waited for
  uint64_t Size = 0;
  long PeakKb = 0;  // the largest resident size of the process or of one it waited for
  bool Ok = false;
  bool Unchanged = false;  // the engine left the archive as it was
};

// The engine as the program drives it: paths relative to the tree, every
// folder searched, progress handlers attached.
// With `update` the archive is kept and updated (every file unchanged: every
// entry is copied).
Result RunEngine(const std::string& tree, const std::string& archive, int level, int64_t* files = nullptr,
                 bool update = false, bool verify = false, int threads = 0) {
  if (!update) ::unlink(archive.c_str());
  tessel::TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(tree);
  zip.PackLevel = level;
  zip.Threads = threads;
  zip.Verify = verify;
  zip.SetZipName(archive);
  int last_percent = 0;
  zip.OnTotalPercentDone = [&](tessel::TZipWriter&, int p) { last_percent = p; };
  zip.OnFilePercentDone = [&](tessel::TZipWriter&, int) {};
  zip.OnStartZip = [](tessel::TZipWriter&, const std::string&, tessel::TZipHeaderInfo&, bool&) {};
  zip.FilesList() = {tree + "/*.*"};
  Result result{"tessel (level 6)"};
  const auto start = Clock::now();
  try {
    const int32_t n = zip.ZipFiles();
    if (files != nullptr) *files = n;
    result.Ok = true;
    result.Unchanged = zip.LeftAsItWas();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine failed: %s\n", e.what());
  }
  result.Time = Seconds(start);
  result.Size = SizeOf(archive);
  return result;
}

// Runs body in a child process and measures it there: wall time, CPU time
// and peak resident size of the child and of whatever it waited for. The
// archive is removed first unless it is to be updated; body's exit status 0
// (or ok_status) means success.
Result RunInChild(const std::string& name, const std::string& archive, const std::function<int()>& body,
                  bool update = false, int ok_status = 0) {
  if (!update) ::unlink(archive.c_str());
  Result result{name};
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  rusage usage {};
  ::wait4(child, &status, 0, &usage);
  result.Time = Seconds(start);
  result.Cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.PeakKb = usage.ru_maxrss;
  result.Ok = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == ok_status);
  result.Size = SizeOf(archive);
  return result;
}

Result RunEngineInChild(const std::string& name, const std::string& tree, const std::string& archive, int threads,
                        int level = 6) {
  return RunInChild(name, archive,
                    [&] { return RunEngine(tree, archive, level, nullptr, false, false, threads).Ok ? 0 : 1; });
}

Result RunShellInChild(const std::string& name, const std::string& command, const std::string& archive,
                       bool update = false, int ok_status = 0) {
  return RunInChild(
      name, archive,
      [&] {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        return 127;
      },
      update, ok_status);
}

// zip -r at level 6 of everything in tree, the peer of a new archive (mode
// "") and of an update (mode "-u", which ends with status 12, "nothing to
// do", when nothing changed).
Result RunZip(const std::string& tree, const std::string& archive, const char* mode) {
  const bool update = mode[0] != '\0';
  return RunShellInChild(std::string("zip ") + mode,
                         "cd " + Quote(tree) + " && zip " + mode + " -r -q -6 " + Quote(archive) + " . > /dev/null",
                         archive, update, update ? 12 : 0);
}

// The fastest of `runs` runs.
Result Best(int runs, const std::function<Result()>& run) {
  Result best = run();
  for (int i = 1; i < runs; ++i) {
    const Result r = run();
    if (r.Ok && (!best.Ok || r.Time < best.Time)) best = r;
  }
  return best;
}

void MakeTree(const std::string& tree) {
  if (Exists(tree + "/.complete")) return;
  std::printf("copying /usr/include and /usr/share/doc to %s ...\n", tree.c_str());
  Shell("rm -rf " + Quote(tree) + " && mkdir -p " + Quote(tree));
  Shell("cp -r /usr/include " + Quote(tree + "/include") + " 2>/dev/null");
  Shell("cp -r /usr/share/doc " + Quote(tree + "/doc") + " 2>/dev/null");
  // Links are handled differently by every tool; leave only files and folders.
  Shell("find " + Quote(tree) + " -type l -delete");
  Shell("touch " + Quote(tree + "/.complete"));
}

// Runs the engine in a child process, so that its peak resident size is that
// of this run alone (KiB); the number of files comes back through a pipe.
Result RunEngineAlone(const std::string& tree, const std::string& archive, int level, int64_t* files,
                      long* peak_kb, bool update = false) {
  int fds[2];
  if (::pipe(fds) != 0) return Result{"tessel"};
  if (update) Shell("cp " + Quote(archive) + " " + Quote(archive + ".keep"));
  const Result r = RunInChild("tessel", archive, [&] {
    ::close(fds[0]);
    if (update) ::rename((archive + ".keep").c_str(), archive.c_str());
    int64_t n = 0;
    const bool ok = RunEngine(tree, archive, level, &n, update).Ok;
    const ssize_t written = ::write(fds[1], &n, sizeof n);
    return ok && written == static_cast<ssize_t>(sizeof n) ? 0 : 1;
  });
  ::close(fds[1]);
  int64_t n = 0;
  if (::read(fds[0], &n, sizeof n) != static_cast<ssize_t>(sizeof n)) n = 0;
  ::close(fds[0]);
  *files = n;
  *peak_kb = r.PeakKb;
  return r;
}

// count small text files of 500 to 4000 bytes in folders of 100.
void MakeSmallFiles(const std::string& tree, int count) {
  const std::string marker = tree + "/.complete";
  if (Exists(marker)) return;
  Shell("rm -rf " + Quote(tree) + " && mkdir -p " + Quote(tree));
  unsigned seed = 12345;
  std::string text;
  const char* words[] = {"alpha ", "beta ", "gamma ", "delta ", "backup ", "archive\n", "file ", "zip "};
  for (int i = 0; i < count; ++i) {
    const std::string folder = tree + "/d" + std::to_string(i / 100);
    if (i % 100 == 0) ::mkdir(folder.c_str(), 0755);
    const size_t size = 500 + (seed = seed * 1103515245u + 12345u) % 3500;
    text.clear();
    while (text.size() < size) text += words[((seed = seed * 1103515245u + 12345u) >> 16) % 8];
    std::ofstream(folder + "/f" + std::to_string(i) + ".txt") << text;
  }
  std::ofstream(marker) << "";
}

// One line per writer: time, CPU time, archive size, peak resident size, and
// the writer at index `ours` against it.
void PrintResults(const char* title, const std::vector<Result>& results, size_t ours = 0) {
  std::printf("\n%s%-30s %9s %9s %14s %12s %11s\n", title, "writer", "time (s)", "CPU (s)", "size (bytes)",
              "peak (KiB)", "ours/this");
  for (const Result& r : results) {
    std::printf("%-30s %9.2f %9.2f %14llu %12ld %11.2f%s\n", r.Name.c_str(), r.Time, r.Cpu,
                static_cast<unsigned long long>(r.Size), r.PeakKb, results[ours].Time / r.Time,
                r.Ok ? "" : "  (FAILED)");
  }
}

// One target of the first table: the engine's time against another's.
void Target(const char* what, double ours, double theirs, double limit) {
  const double ratio = ours / theirs;
  std::printf("  %-44s %5.2f (target at most %.2f)  %s\n", what, ratio, limit, ratio <= limit ? "met" : "MISSED");
}

// A large file (text and noise) first, then many small ones: while one
// worker compresses the large file, the others run ahead and their data must
// wait, in memory only up to the limit.
void MakeLargeFirst(const std::string& tree) {
  if (Exists(tree + "/.complete")) return;
  Shell("rm -rf " + Quote(tree) + " && mkdir -p " + Quote(tree));
  std::ofstream big(tree + "/a_large.bin", std::ios::binary);
  unsigned seed = 99;
  std::string block(1 << 20, '\0');
  for (int mb = 0; mb < 384; ++mb) {
    for (char& c : block) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> (mb % 2 == 0 ? 16 : 29));
    big.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  big.close();
  MakeSmallFiles(tree + "/small", 20000);
  Shell("touch " + Quote(tree + "/.complete"));
}

void WarmCache(const std::string& tree) {
  Shell("find " + Quote(tree) + " -type f -exec cat {} + > /dev/null 2>&1");
}

// An update in replace mode 1 of the tree as it stands, which leaves the
// archive as it was, beside zip -u; the fastest of three runs each.
void MeasureUnchangedUpdate(const std::string& tree, const std::string& out, bool peers) {
  const std::string archive = out + "/unchanged.zip";
  RunEngine(tree, archive, 6);
  struct stat before {};
  ::stat(archive.c_str(), &before);
  std::vector<Result> results;
  results.push_back(Best(3, [&] {
    return RunInChild("tessel, mode 1", archive,
                      [&] { return RunEngine(tree, archive, 6, nullptr, true).Ok ? 0 : 1; }, true);
  }));
  // Untouched: the same file with the same time stamp.
  struct stat after {};
  const bool untouched = ::stat(archive.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                         after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                         after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
  results[0].Name += untouched ? " (untouched)" : " (REWRITTEN)";
  ::unlink(archive.c_str());
  if (peers) {
    const std::string zip_archive = out + "/zip.zip";
    RunZip(tree, zip_archive, "");
    results.push_back(Best(3, [&] { return RunZip(tree, zip_archive, "-u"); }));
    ::unlink(zip_archive.c_str());
  }
  PrintResults("update of the unchanged tree (target: no slower than zip -u):\n", results);
}

// The engine's time per file and peak resident size for small files, each
// count in a process of its own, the counts up to 50000 beside zip -6
// (target: faster); with all, 200000 files too, and an update of their
// archive that carries every entry over.
void MeasureSmallFiles(const std::string& work, const std::string& out, bool peers, bool all) {
  std::printf("\nsmall files (level 6):\n%-10s %10s %14s %16s %12s %12s\n", "files", "time (s)", "per file (us)",
              "peak RSS (KiB)", "zip (s)", "ours/zip");
  constexpr int kCounts[3] = {10000, 50000, 200000};
  // zip takes long over 200000 files; the first two are compared.
  constexpr int kComparedWithZip = 2;
  double per_file[3] = {0, 0, 0};
  for (int k = 0; k < (all ? 3 : 2); ++k) {
    const std::string small = work + "/small" + std::to_string(kCounts[k]);
    MakeSmallFiles(small, kCounts[k]);
    WarmCache(small);
    int64_t files = 0;
    long peak_kb = 0;
    const Result r = RunEngineAlone(small, out + "/small.zip", 6, &files, &peak_kb);
    per_file[k] = r.Time * 1e6 / static_cast<double>(kCounts[k]);
    std::printf("%-10lld %10.2f %14.1f %16ld", static_cast<long long>(files), r.Time, per_file[k], peak_kb);
    if (peers && k < kComparedWithZip) {
      const std::string zip_archive = out + "/zip_small.zip";
      const Result zip = RunZip(small, zip_archive, "");
      std::printf(" %12.2f %12.2f", zip.Time, r.Time / zip.Time);
      ::unlink(zip_archive.c_str());
    }
    std::printf("%s\n", r.Ok ? "" : "  (FAILED)");
  }
  if (all) {
    std::printf("time per file, 200000 against 10000: %.2f\n", per_file[2] / per_file[0]);
    // The same job again: the archive of 200000 entries is read and each
    // entry carried over.
    int64_t files = 0;
    long peak_kb = 0;
    const Result r = RunEngineAlone(work + "/small200000", out + "/small.zip", 6, &files, &peak_kb, true);
    std::printf("update of the 200000-entry archive: %.2f s, peak RSS %ld KiB%s\n", r.Time, peak_kb,
                r.Ok ? "" : "  (FAILED)");
  }
  ::unlink((out + "/small.zip").c_str());
}

// What Verify adds to a backup of the tree (a new archive at levels 6 and 0,
// and an update at level 6 in which one file is newer and every other entry
// is carried over), the runs
// with and without it taken in turn; the check alone beside unzip -t on the
// archive it read.
void MeasureVerify(const std::string& tree, const std::string& out) {
  constexpr int kRuns = 3;
  struct Case {
    const char* name;
    int level;
    bool update;
    double limit;  // the most the check may add, in per cent (0: no limit)
  };
  const Case cases[] = {{"new archive, level 6", 6, false, 25}, {"new archive, level 0", 0, false, 60},
                        {"update, all but one kept", 6, true, 0}};
  const std::string archive = out + "/verify.zip";
  std::printf("\nVerify (best of %d runs each):\n%-26s %10s %10s %10s %8s %12s %12s\n", kRuns, "backup", "without (s)",
              "with (s)", "added (%)", "limit", "unzip -t (s)", "check/unzip");
  // Made newer before each update, which then writes the archive anew (an
  // update that changes nothing leaves the archive as it is).
  std::string newer;
  for (const auto& item : std::filesystem::recursive_directory_iterator(tree)) {
    if (item.is_regular_file()) {
      newer = item.path().string();
      break;
    }
  }
  int touches = 0;
  for (const Case& c : cases) {
    if (c.update) RunEngine(tree, archive, c.level);
    auto run = [&](bool verify) {
      // Ten seconds on each time: a zip time counts whole pairs of seconds.
      if (c.update) Shell("touch -d @" + std::to_string(std::time(nullptr) + 10 * ++touches) + " " + Quote(newer));
      return RunEngine(tree, archive, c.level, nullptr, c.update, verify).Time;
    };
    double without = 0;
    double with = 0;
    // Alternating, so that a slow moment of the machine falls on both.
    for (int i = 0; i < kRuns; ++i) {
      const double a = run(false);
      const double b = run(true);
      if (i == 0 || a < without) without = a;
      if (i == 0 || b < with) with = b;
    }
    double unzip = 0;
    for (int i = 0; i < kRuns; ++i) {
      const auto start = Clock::now();
      Shell("unzip -tqq " + Quote(archive) + " > /dev/null");
      const double t = Seconds(start);
      if (i == 0 || t < unzip) unzip = t;
    }
    const double added = without > 0 ? (with - without) * 100.0 / without : 0;
    char limit[16] = "-";
    if (c.limit > 0) std::snprintf(limit, sizeof limit, "%.0f%%", c.limit);
    std::printf("%-26s %10.2f %10.2f %10.1f %8s %12.2f %12.2f%s\n", c.name, without, with, added, limit, unzip,
                unzip > 0 ? (with - without) / unzip : 0.0,
                c.limit > 0 && added > c.limit ? "  (OVER THE LIMIT)" : "");
  }
  ::unlink(archive.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree;
  std::string work = "/tmp/tessel_bench";
  int runs = 1;
  bool peers = true;
  bool memory = true;
  bool scale = true;
  bool large = true;
  bool verify = true;
  bool only_verify = false;
  bool only_cost = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tree" && i + 1 < argc) tree = argv[++i];
    else if (arg == "--work" && i + 1 < argc) work = argv[++i];
    else if (arg == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--no-peers") peers = false;
    else if (arg == "--no-memory") memory = false;
    else if (arg == "--no-scale") scale = false;
    else if (arg == "--no-large") large = false;
    else if (arg == "--no-verify") verify = false;
    else if (arg == "--only-verify") only_verify = true;
    else if (arg == "--only-cost") only_cost = true;
    else {
      std::fprintf(stderr,
                   "usage: %s [--tree FOLDER] [--work FOLDER] [--runs N] [--no-peers] [--no-memory] [--no-scale] "
                   "[--no-large] [--no-verify] [--only-verify] [--only-cost]\n",
                   argv[0]);
      return 2;
    }
  }
  Shell("mkdir -p " + Quote(work));
  if (tree.empty()) {
    tree = work + "/tree";
    MakeTree(tree);
  }
  const std::string out = work + "/out";
  Shell("mkdir -p " + Quote(out));
  std::printf("tree %s: ", tree.c_str());
  std::fflush(stdout);
  Shell("find " + Quote(tree) + " -type f | wc -l | tr -d '\\n'; echo -n ' files, '; du -sh " + Quote(tree) +
        " | cut -f1");
  WarmCache(tree);
  if (only_verify) {
    MeasureVerify(tree, out);
    return 0;
  }
  if (only_cost) {
    MeasureUnchangedUpdate(tree, out, peers);
    MeasureSmallFiles(work, out, peers, false);
    return 0;
  }

  std::vector<Result> results;
  results.push_back(Best(runs, [&] { return RunEngineInChild("tessel, 1 thread", tree, out + "/tessel1.zip", 1); }));
  results.push_back(Best(runs, [&] { return RunEngineInChild("tessel, 2 threads", tree, out + "/tessel2.zip", 2); }));
  if (results[0].Ok && results[1].Ok && ReadBytes(out + "/tessel1.zip") != ReadBytes(out + "/tessel2.zip")) {
    std::printf("the two archives of the engine DIFFER\n");
  }
  const size_t ours = 1;
  if (peers) {
    const std::string python =
        "import os, sys, zipfile\n"
        "root, archive = sys.argv[1], sys.argv[2]\n"
        "with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED, compresslevel=6, strict_timestamps=False) as z:\n"
        "    for folder, dirs, names in os.walk(root):\n"
        "        dirs.sort()\n"
        "        for n in sorted(names):\n"
        "            p = os.path.join(folder, n)\n"
        "            if os.path.isfile(p):\n"
        "                z.write(p, os.path.relpath(p, root))\n";
    std::ofstream(work + "/zip_tree.py") << python;
    const std::pair<std::string, std::string> commands[] = {
        {"bsdtar --format zip",
         "bsdtar --format zip -cf " + Quote(out + "/bsdtar.zip") + " -C " + Quote(tree) + " ."},
        {"python zipfile (level 6)",
         "python3 " + Quote(work + "/zip_tree.py") + " " + Quote(tree) + " " + Quote(out + "/python.zip")},
        {"7z -tzip -mx=5 -mmt=2",
         "cd " + Quote(tree) + " && 7z a -tzip -mx=5 -mmt=2 " + Quote(out + "/7z.zip") + " . > /dev/null"},
        {"tar | pigz -6 -p 2", "tar -cf - -C " + Quote(tree) + " . | pigz -6 -p 2 > " + Quote(out + "/pigz.tar.gz")},
    };
    const char* archives[] = {"/bsdtar.zip", "/python.zip", "/7z.zip", "/pigz.tar.gz"};
    for (size_t i = 0; i < std::size(commands); ++i) {
      const std::string archive = out + archives[i];
      results.push_back(
          Best(runs, [&] { return RunShellInChild(commands[i].first, commands[i].second, archive); }));
      ::unlink(archive.c_str());
    }
  }
  PrintResults("", results, ours);
  std::printf("targets:\n");
  Target("tessel 2 threads / tessel 1 thread", results[1].Time, results[0].Time, 0.55);
  if (peers) {
    Target("tessel 2 threads / bsdtar", results[1].Time, results[2].Time, 0.4);
    Target("tessel 2 threads / tar | pigz -p 2", results[1].Time, results[5].Time, 1.0);
  }
  ::unlink((out + "/tessel1.zip").c_str());
  ::unlink((out + "/tessel2.zip").c_str());

  if (memory) {
    // Peak resident size against 64 MB + 48 MB per thread.
    const std::string mixed = work + "/large_first";
    MakeLargeFirst(mixed);
    WarmCache(mixed);
    std::printf("\nlarge file first (384 MiB, then 20000 small files), level 6:\n%-10s %9s %12s %12s\n", "threads",
                "time (s)", "peak (KiB)", "limit (KiB)");
    for (int threads : {1, 2}) {
      const Result r = RunEngineInChild("tessel", mixed, out + "/mixed.zip", threads);
      const long limit = (64 + 48 * threads) * 1000000L / 1024;
      std::printf("%-10d %9.2f %12ld %12ld%s%s\n", threads, r.Time, r.PeakKb, limit, r.PeakKb < limit ? "" : "  OVER",
                  r.Ok ? "" : "  (FAILED)");
    }
    ::unlink((out + "/mixed.zip").c_str());
  }

  MeasureUnchangedUpdate(tree, out, peers);
  if (scale) MeasureSmallFiles(work, out, peers, true);

  if (large) {
    // Sparse: the file takes no room; its archives are small (zeros compress).
    const std::string big = work + "/large/big.img";
    Shell("mkdir -p " + Quote(work + "/large"));
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool made = fd >= 0 && ::ftruncate(fd, off_t{5} << 30) == 0;
    if (fd >= 0) ::close(fd);
    if (made) {
      // The first read of a hole makes the system fill its pages with zeros:
      // read once before timing, so that each writer meets the file cached.
      Shell("cat " + Quote(big) + " > /dev/null");
      std::vector<Result> sparse;
      sparse.push_back(RunEngineInChild("tessel (level 1)", work + "/large", out + "/large.zip", 0, 1));
      const std::string python =
          "import sys, zipfile\n"
          "with zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:\n"
          "    z.write(sys.argv[1], 'big.img')\n";
      std::ofstream(work + "/zip_one.py") << python;
      sparse.push_back(RunShellInChild("python zipfile (level 1)",
                                       "python3 " + Quote(work + "/zip_one.py") + " " + Quote(big) + " " +
                                           Quote(out + "/python_large.zip"),
                                       out + "/python_large.zip"));
      PrintResults("one sparse file of 5 GiB:\n", sparse);
    }
    ::unlink(big.c_str());
    ::unlink((out + "/large.zip").c_str());
    ::unlink((out + "/python_large.zip").c_str());
  }
  if (verify) MeasureVerify(tree, out);
  return 0;
}
