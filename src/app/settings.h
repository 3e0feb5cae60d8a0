#pragma once
// The backup job and its configuration file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/paths.h"

namespace tessel {

constexpr size_t kMaxMaskLength = 500;  // characters

// What a run does when its archive exists already: 0 deletes it first, 1
// replaces older files, 2 replaces every file, 3 updates existing files only.
constexpr int32_t kDefaultReplaceMode = 2;
constexpr int32_t kLastReplaceMode = 3;
// Compression threads: 0 stands for one per online core.
constexpr int32_t kDefaultThreads = 0;
constexpr int32_t kMaxThreads = 64;

// An ordered list of masks with a current entry.
struct MaskList {
  std::vector<std::string> Items;
  size_t Current = 0;  // index of the current entry (0 when empty)
  // Adds an entry at the end, cut to kMaxMaskLength characters (never inside
  // a character), and makes it the current one, as a table's append does.
  void Append(std::string_view text);
  void Clear();
  size_t Count() const;
};

// The default archive name template for a new job:
// $HOME + "/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip".
std::string DefaultFileNameMask();

// A value of the job file longer than the job may hold it (kMaxProfileValue
// characters for any value, kMaxMaskLength for a mask). The job holds it cut
// to Limit characters, but a cut value is never used: a run refuses the job
// while it holds CutText, and a save writes WholeText back for it, so the
// file keeps the whole text until the user changes that entry.
struct CutValue {
  std::string Section, Key;
  size_t Limit = 0;
  std::string CutText, WholeText;
};

struct JobSettings {
  std::string FileNameMask = DefaultFileNameMask();
  int32_t Level = 6;
  bool IncludeSubDirs = true;
  bool StorePaths = true;
  int32_t ReplaceMode = kDefaultReplaceMode;  // 0..3, anything else becomes 2 where read or written
  // Files compressed at once: 0 one per online core, 1 one at a time, at
  // most kMaxThreads.
  int32_t Threads = kDefaultThreads;
  // Check the carried-over entries and the finished archive of every run.
  bool Verify = true;
  // How many of the template's archives stay in the archive's folder after a
  // run that wrote one (0 keeps them all; a negative value counts as 0).
  int32_t KeepArchives = 0;
  MaskList IncludeMasks, ExcludeMasks;

  // Found by LoadSettings. The file holds NUL bytes (a photo, a document):
  // it is no job file and is never written.
  bool NotAJobFile = false;
  // The values that loading had to cut, in file order.
  std::vector<CutValue> CutValues;
};

// 0..3 unchanged, anything else 2.
int32_t NormalizeReplaceMode(int32_t mode);
// 0..kMaxThreads unchanged, more kMaxThreads, a negative count the default.
int32_t NormalizeThreads(int32_t threads);
// Fills the job from the configuration file, reading it once. Never fails: a
// missing or unreadable file or value gives that value's default. Notes in
// the job a file that is no job file and every value it had to cut.
void LoadSettings(JobSettings& job, const std::string& path);
// Why the job must not run, in the words shown to the user: the file at path
// is no job file, or the job still holds values cut on loading (each named
// by section, key and limit). Empty when the job may run.
std::string JobFileWarning(const JobSettings& job, const std::string& path);
// Throws Error with JobFileWarning's text when it is not empty.
void CheckJobFile(const JobSettings& job, const std::string& path);
// Writes the job into the configuration file, keeping its other sections and
// keys: the file is read once, every key is written to its image in memory,
// and the file (and its folder, when missing) is replaced once at the end, so
// an interrupted save leaves the old file whole. Sets an out-of-range
// ReplaceMode to 2 and makes the first entry of each mask list current. A
// value that the job still holds cut is written whole. Throws Error "Unable
// to write to <path>" when the file cannot be written, and the no-job-file
// error when the file holds NUL bytes (it is then left as it is).
void SaveSettings(JobSettings& job, const std::string& path);
// The same, writing the file through write_function (tests pass one that fails).
void SaveSettings(JobSettings& job, const std::string& path, const WriteFunction& write_function);

}  // namespace tessel
