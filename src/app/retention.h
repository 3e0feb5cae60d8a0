#pragma once
// Keeps the last archives of the job and deletes older ones: after a run that
// wrote its archive, the archives in its folder whose names the template
// could have produced are counted with it, and the oldest go until the number
// the job keeps remains.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

struct RetentionResult {
  std::vector<std::string> Deleted;  // paths, oldest first
  // Archives that were due to go but stay: "path: reason".
  std::vector<std::string> Failed;
};

// After a run that wrote `archive` (the path the template gave this run):
// lists the regular files in its folder, other than the archive itself,
// whose names the template's name part could have produced for some other
// moment (ArchiveNamePattern::Exact). When, counted with the archive, there
// are more than `keep`, the oldest by modification time (then by name) are
// deleted until `keep` remain. Nothing is deleted for keep <= 0 or a name
// part without a token; folders, links, files the template cannot name and
// anything outside the folder are never touched, and an archive that another
// run holds (its lock file is taken) is left for later. Never throws.
RetentionResult ApplyRetention(const std::string& archive, std::string_view file_name_template, int32_t keep);

}  // namespace tessel
