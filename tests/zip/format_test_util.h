#pragma once
// Helpers of the zip format tests: hex literals and archives made by Python's
// zipfile, on the tests' shared helpers.
#include <unistd.h>

#include <string>

#include "support/files.h"
#include "support/processes.h"
#include "support/scratch.h"

namespace tessel::test {

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

inline std::string Python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Writes `script` to a file in `dir` and runs it with Python, the folder as
// its working directory. Returns the exit status.
inline int RunPython(const Scratch& dir, const std::string& script) {
  const std::string file = dir / "make_archive.py";
  WriteBytes(file, script);
  return Shell("cd '" + dir.path() + "' && " + Python() + " '" + file + "' > /dev/null 2>&1");
}

}  // namespace tessel::test
