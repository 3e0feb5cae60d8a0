#pragma once
// Keeps the earlier archives of the job out of a new one. A job whose include
// masks cover its own backup folder would otherwise pack yesterday's archive
// into today's, and every run would grow by the sum of all runs before it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// The names that the name part of an archive name template can produce: each
// template token stands for a run of digits, the letters I and V and blanks
// (all that a token's value ever holds); every other character stands for
// itself, compared exactly as file names are.
class ArchiveNamePattern {
public:
  ArchiveNamePattern() = default;
  // Builds the pattern from a name part (the text after the template's last
  // "/"). An empty name part gives a pattern that fits nothing.
  explicit ArchiveNamePattern(std::string_view name_part);
  // The exact names of a name part: each token stands for exactly the values
  // it can take ("%yyyy%" four digits, "%my%" "01" to "12", "%qwartr%" "I"
  // to "IV", ...), found where the expansion finds it (token by token in the
  // table's order), and every other character for itself. A name part in
  // which a token's value could complete another token ("%qwartr", then a
  // one-character token, then "%") gives names that cannot be told from
  // literal text: its pattern fits nothing and has no tokens.
  static ArchiveNamePattern Exact(std::string_view name_part);

  // Whether the file name (no folder) could have come from the template.
  bool Fits(std::string_view name) const;
  // The pattern stands for more than one name.
  bool HasTokens() const;

private:
  // One element: a literal text; a run of at least MinLength token
  // characters (adjacent tokens join into one run); or, in an exact pattern,
  // the token of kTemplateTokens at index Token.
  struct Element {
    bool IsRun = false;
    size_t MinLength = 0;
    std::string Literal;
    int Token = -1;
  };
  // Marks in `next` every end of a match of the element that starts at p.
  static bool Advance(const Element& element, std::string_view name, size_t p, std::vector<char>& next);

  std::vector<Element> elements_;
  bool empty_ = true;
  // Scratch rows of the match, kept so that a check allocates nothing once
  // the longest name has been seen.
  mutable std::vector<char> reachable_, next_;
};

// Decides, file by file, whether a path is an earlier archive of the job: a
// file directly in the archive's folder whose name fits the template's name
// part. The folder is recognised by identity (device and inode), so a path
// spelled with "//" or through a link to the folder is still caught; the last
// folder looked at is remembered, since a search reports a folder's files one
// after the other.
class ArchiveGuard {
public:
  ArchiveGuard() = default;
  // archive_name: the archive's path for this run; file_name_template: the
  // job's template, whose part after the last "/" gives the name pattern.
  ArchiveGuard(const std::string& archive_name, std::string_view file_name_template);

  bool IsEarlierArchive(const std::string& path);

private:
  bool IsArchiveFolder(const std::string& folder);

  ArchiveNamePattern pattern_;
  std::string archive_folder_;
  bool active_ = false;
  bool folder_known_ = false;
  uint64_t folder_device_ = 0;
  uint64_t folder_inode_ = 0;
  std::string last_folder_;
  bool last_folder_valid_ = false;
  bool last_folder_matches_ = false;
};

}  // namespace tessel
