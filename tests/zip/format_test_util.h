#pragma once
// Helpers shared by the zip format tests: scratch folders, file bytes, hex
// literals and running outside zip writers (Python's zipfile, 7z, bsdtar).
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tessel::test {

// A fresh folder under the temporary folder, removed with everything in it.
class ScratchDir {
public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zipfmt_XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~ScratchDir() { Remove(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  static void Remove(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(dir)) {
          const std::string name = e->d_name;
          if (name != "." && name != "..") Remove(path + "/" + name);
        }
        ::closedir(dir);
      }
      ::rmdir(path.c_str());
    } else {
      ::unlink(path.c_str());
    }
  }
  std::string path_;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// "50 4b 03 04" -> bytes; spaces and line breaks are ignored.
inline std::string FromHex(const std::string& hex) {
  std::string out;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : hex) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) continue;
    value = value * 16 + static_cast<unsigned>(v);
    if (++nibbles == 2) {
      out.push_back(static_cast<char>(value));
      nibbles = 0;
      value = 0;
    }
  }
  return out;
}

inline std::string ToHex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out.push_back(' ');
    const auto b = static_cast<unsigned char>(bytes[i]);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// Runs a shell command; returns its exit status (-1 when it did not exit).
inline int Run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Writes `script` to a file in `dir` and runs it with Python, the folder as
// its working directory. Returns the exit status.
inline int RunPython(const ScratchDir& dir, const std::string& script) {
  const std::string file = dir / "make_archive.py";
  WriteFileBytes(file, script);
  return Run("cd '" + dir.path() + "' && " + Python() + " '" + file + "' > /dev/null 2>&1");
}

inline bool HaveTool(const std::string& name) {
  return Run("command -v " + name + " > /dev/null 2>&1") == 0;
}

}  // namespace tessel::test
