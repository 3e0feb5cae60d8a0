#include "support/scratch.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tessel::test {
namespace {

constexpr mode_t kEnterable = 0755;
constexpr mode_t kOwnerAll = 0700;

}  // namespace

Scratch::Scratch() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tessel_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
  ::chmod(path_.c_str(), kEnterable);
}

Scratch::~Scratch() { Remove(path_); }

std::string Scratch::operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string Scratch::MakeFolder(std::string_view relative) const {
  const std::string folder = *this / relative;
  std::filesystem::create_directories(folder);
  return folder;
}

void Scratch::Remove(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  ::chmod(path.c_str(), kOwnerAll);
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") Remove(path + "/" + name);
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

}  // namespace tessel::test
