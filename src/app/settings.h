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

struct JobSettings {
  std::string FileNameMask = DefaultFileNameMask();
  int32_t Level = 6;
  bool IncludeSubDirs = true;
  bool StorePaths = true;
  int32_t ReplaceMode = 2;  // 0..3, anything else becomes 2 where read or written
  MaskList IncludeMasks, ExcludeMasks;
};

// 0..3 unchanged, anything else 2.
int32_t NormalizeReplaceMode(int32_t mode);
// Fills the job from the configuration file, reading it once. Never fails: a
// missing or unreadable file or value gives that value's default.
void LoadSettings(JobSettings& job, const std::string& path);
// Writes the job into the configuration file, keeping its other sections and
// keys: the file is read once, every key is written to its image in memory,
// and the file (and its folder, when missing) is replaced once at the end, so
// an interrupted save leaves the old file whole. Sets an out-of-range
// ReplaceMode to 2 and makes the first entry of each mask list current.
// Throws Error "Unable to write to <path>" when the file cannot be written.
void SaveSettings(JobSettings& job, const std::string& path);
// The same, writing the file through write_function (tests pass one that fails).
void SaveSettings(JobSettings& job, const std::string& path, const WriteFunction& write_function);

}  // namespace tessel
