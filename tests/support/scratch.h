#pragma once
// A fresh folder for one test, removed with everything in it at the end.
#include <string>
#include <string_view>

namespace tessel::test {

class Scratch {
public:
  // Makes a new folder under $TMPDIR (or /tmp), open to every user for
  // entering, so that a test's unprivileged child can reach its files.
  Scratch();
  // Removes the folder, also what a test locked away (folders without
  // permission bits are opened first).
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` below the folder.
  std::string operator/(std::string_view name) const;
  // Makes the folder `relative` below this one, with its parents, and
  // returns its path.
  std::string MakeFolder(std::string_view relative) const;

  // Removes a file, a link or a whole folder tree; nothing when it is missing.
  static void Remove(const std::string& path);

private:
  std::string path_;
};

}  // namespace tessel::test
