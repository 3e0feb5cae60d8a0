// Backs up one tree with the zip engine at level 6 and with other zip
// writers (Python's zipfile at level 6, 7z at -mx=5 on one thread, bsdtar),
// and prints each one's time, archive size and our time against theirs;
// then an update of the unchanged tree (replace mode 1) against zip -u;
// then the engine's time per file and peak resident size for 10000, 50000
// and 200000 small files (each run in a process of its own), the first two
// against zip -6; then one sparse file of 5 GiB at level 1 (an entry and an
// archive past 4 GiB of input, written with the ZIP64 records) against
// Python's zipfile at level 1.
//
//   bench_backup [--tree FOLDER] [--work FOLDER] [--no-peers] [--no-scale] [--no-large]
//
// Without --tree a tree of at least 200 MB and 10000 files is copied once from
// /usr/include and /usr/share/doc into the work folder (default
// /tmp/tessel_bench).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Result {
  std::string Name;
  double Time = 0;
  uint64_t Size = 0;
  bool Ok = false;
  bool Unchanged = false;  // the engine left the archive as it was
};

// The engine as the program drives it: paths relative to the tree, every
// folder searched, progress handlers attached.
// With `update` the archive is kept and updated (every file unchanged: every
// entry is copied).
Result RunEngine(const std::string& tree, const std::string& archive, int level, int64_t* files = nullptr,
                 bool update = false) {
  if (!update) ::unlink(archive.c_str());
  tessel::TZipWriter zip;
  zip.SetRelativePaths(true);
  zip.SetRootDir(tree);
  zip.PackLevel = level;
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

// ok_status: the exit status that means success besides 0 (zip says 12,
// "nothing to do", for an update that finds nothing to change).
Result RunPeer(const std::string& name, const std::string& command, const std::string& archive,
               bool keep_archive = false, int ok_status = 0) {
  if (!keep_archive) ::unlink(archive.c_str());
  Result result{name};
  const auto start = Clock::now();
  const int status = Shell(command);
  result.Ok = status == 0 || status == ok_status;
  result.Time = Seconds(start);
  result.Size = SizeOf(archive);
  return result;
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
// of this run alone (KiB); the child's result comes back through a pipe.
Result RunEngineAlone(const std::string& tree, const std::string& archive, int level, int64_t* files,
                      long* peak_kb, bool update = false) {
  int fds[2];
  if (::pipe(fds) != 0) return Result{"tessel"};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    int64_t n = 0;
    const Result r = RunEngine(tree, archive, level, &n, update);
    const double values[3] = {r.Ok ? 1.0 : 0.0, r.Time, static_cast<double>(n)};
    const ssize_t written = ::write(fds[1], values, sizeof values);
    ::_exit(written == static_cast<ssize_t>(sizeof values) ? 0 : 1);
  }
  ::close(fds[1]);
  double values[3] = {0, 0, 0};
  const ssize_t got = ::read(fds[0], values, sizeof values);
  ::close(fds[0]);
  int status = 0;
  rusage usage {};
  ::wait4(child, &status, 0, &usage);
  *peak_kb = usage.ru_maxrss;
  Result r{"tessel"};
  r.Ok = got == static_cast<ssize_t>(sizeof values) && values[0] == 1.0;
  r.Time = values[1];
  *files = static_cast<int64_t>(values[2]);
  r.Size = SizeOf(archive);
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

// One line per writer: time, archive size, and the first (ours) against it.
void PrintResults(const char* title, const std::vector<Result>& results) {
  std::printf("\n%s%-28s %10s %14s %12s\n", title, "writer", "time (s)", "size (bytes)", "ours/theirs");
  for (const Result& r : results) {
    std::printf("%-28s %10.2f %14llu %12.2f%s\n", r.Name.c_str(), r.Time,
                static_cast<unsigned long long>(r.Size), results[0].Time / r.Time, r.Ok ? "" : "  (FAILED)");
  }
}

void WarmCache(const std::string& tree) {
  Shell("find " + Quote(tree) + " -type f -exec cat {} + > /dev/null 2>&1");
}

// The run of the median time among `runs` runs of make().
template <typename Make>
Result Median(int runs, Make make) {
  std::vector<Result> all;
  for (int i = 0; i < runs; ++i) all.push_back(make());
  std::sort(all.begin(), all.end(), [](const Result& a, const Result& b) { return a.Time < b.Time; });
  return all[all.size() / 2];
}

// zip -r at level 6 of everything in tree, as the peer of a new archive.
std::string ZipCommand(const std::string& tree, const std::string& archive, const char* mode) {
  return "cd " + Quote(tree) + " && zip " + mode + " -r -q -6 " + Quote(archive) + " . > /dev/null";
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree;
  std::string work = "/tmp/tessel_bench";
  bool peers = true;
  bool scale = true;
  bool large = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tree" && i + 1 < argc) tree = argv[++i];
    else if (arg == "--work" && i + 1 < argc) work = argv[++i];
    else if (arg == "--no-peers") peers = false;
    else if (arg == "--no-scale") scale = false;
    else if (arg == "--no-large") large = false;
    else {
      std::fprintf(stderr, "usage: %s [--tree FOLDER] [--work FOLDER] [--no-peers] [--no-scale] [--no-large]\n",
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

  std::vector<Result> results;
  results.push_back(RunEngine(tree, out + "/tessel.zip", 6));
  rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  const long engine_peak_kb = usage.ru_maxrss;

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
    results.push_back(RunPeer("python zipfile (level 6)",
                              "python3 " + Quote(work + "/zip_tree.py") + " " + Quote(tree) + " " +
                                  Quote(out + "/python.zip"),
                              out + "/python.zip"));
    results.push_back(RunPeer("7z -tzip -mx=5 -mmt=1",
                              "cd " + Quote(tree) + " && 7z a -tzip -mx=5 -mmt=1 " + Quote(out + "/7z.zip") +
                                  " . > /dev/null",
                              out + "/7z.zip"));
    results.push_back(RunPeer("bsdtar --format zip",
                              "bsdtar --format zip -cf " + Quote(out + "/bsdtar.zip") + " -C " + Quote(tree) + " .",
                              out + "/bsdtar.zip"));
  }

  PrintResults("", results);
  std::printf("engine peak resident size: %ld KiB\n", engine_peak_kb);

  // An update of the tree as it stands: every entry stays; the engine then
  // leaves the archive as it was. The median of three runs each.
  {
    std::vector<Result> unchanged;
    Result ours = Median(3, [&] { return RunEngine(tree, out + "/tessel.zip", 6, nullptr, true); });
    ours.Name = ours.Unchanged ? "tessel, mode 1 (untouched)" : "tessel, mode 1 (REWRITTEN)";
    unchanged.push_back(ours);
    if (peers) {
      const std::string zip_archive = out + "/zip.zip";
      RunPeer("zip", ZipCommand(tree, zip_archive, ""), zip_archive);
      unchanged.push_back(Median(3, [&] {
        return RunPeer("zip -u", ZipCommand(tree, zip_archive, "-u"), zip_archive, true, 12);
      }));
      ::unlink(zip_archive.c_str());
    }
    PrintResults("update of the unchanged tree:\n", unchanged);
  }

  if (scale) {
    std::printf("\nsmall files (level 6):\n%-10s %10s %14s %16s %12s %12s\n", "files", "time (s)", "per file (us)",
                "peak RSS (KiB)", "zip (s)", "ours/zip");
    constexpr int kCounts[3] = {10000, 50000, 200000};
    double per_file[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
      const std::string small = work + "/small" + std::to_string(kCounts[k]);
      MakeSmallFiles(small, kCounts[k]);
      WarmCache(small);
      int64_t files = 0;
      long peak_kb = 0;
      const Result r = RunEngineAlone(small, out + "/small.zip", 6, &files, &peak_kb);
      per_file[k] = r.Time * 1e6 / static_cast<double>(kCounts[k]);
      std::printf("%-10lld %10.2f %14.1f %16ld", static_cast<long long>(files), r.Time, per_file[k], peak_kb);
      // zip takes long over 200000 files; the first two are compared.
      if (peers && k < 2) {
        const std::string zip_archive = out + "/zip_small.zip";
        const Result zip = RunPeer("zip", ZipCommand(small, zip_archive, ""), zip_archive);
        std::printf(" %12.2f %12.2f", zip.Time, r.Time / zip.Time);
        ::unlink(zip_archive.c_str());
      }
      std::printf("%s\n", r.Ok ? "" : "  (FAILED)");
    }
    std::printf("time per file, 200000 against 10000: %.2f\n", per_file[2] / per_file[0]);
    // The same job again: the archive of 200000 entries is read and every
    // entry stays.
    int64_t files = 0;
    long peak_kb = 0;
    const Result r = RunEngineAlone(work + "/small200000", out + "/small.zip", 6, &files, &peak_kb, true);
    std::printf("update of the 200000-entry archive: %.2f s, peak RSS %ld KiB%s\n", r.Time, peak_kb,
                r.Ok ? "" : "  (FAILED)");
  }
  ::unlink((out + "/small.zip").c_str());

  if (large) {
    // Sparse: the file takes no room; its archives are small (zeros compress).
    const std::string big = work + "/large/big.img";
    Shell("mkdir -p " + Quote(work + "/large"));
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool made = fd >= 0 && ::ftruncate(fd, off_t{5} << 30) == 0;
    if (fd >= 0) ::close(fd);
    if (made) {
      std::vector<Result> sparse;
      Result ours = RunEngine(work + "/large", out + "/large.zip", 1);
      ours.Name = "tessel (level 1)";
      sparse.push_back(ours);
      const std::string python =
          "import sys, zipfile\n"
          "with zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:\n"
          "    z.write(sys.argv[1], 'big.img')\n";
      std::ofstream(work + "/zip_one.py") << python;
      sparse.push_back(RunPeer("python zipfile (level 1)",
                               "python3 " + Quote(work + "/zip_one.py") + " " + Quote(big) + " " +
                                   Quote(out + "/python_large.zip"),
                               out + "/python_large.zip"));
      PrintResults("one sparse file of 5 GiB:\n", sparse);
    }
    ::unlink(big.c_str());
    ::unlink((out + "/large.zip").c_str());
    ::unlink((out + "/python_large.zip").c_str());
  }
  return 0;
}
