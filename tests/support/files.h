#pragma once
// Whole files as the tests write and check them.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace tessel::test {

// The file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& path);
// Writes the file anew, making missing folders on the way.
void WriteBytes(const std::string& path, const std::string& bytes);
// Everything written to a stream (a std::tmpfile, say), read from its start.
std::string ReadBack(std::FILE* stream);
// Sets the file's access and modification times to `seconds`.
void SetMTime(const std::string& path, time_t seconds);
// The names in a folder (not below it) without "." and "..", sorted by
// bytes; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);

}  // namespace tessel::test
