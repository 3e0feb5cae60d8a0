#pragma once
// The common ground of the engine's tests: a scratch folder in UTC, files with
// fixed time stamps, and one zip operation over a list of specifications.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel::enginetest {

constexpr time_t kFixedTime = 1714979290;  // 2024-05-06 07:08:10 UTC

class EngineFixture : public ::testing::Test {
protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  // Writes a file below the scratch folder with a fixed time stamp.
  std::string Put(const std::string& name, const std::string& bytes, time_t mtime = kFixedTime) {
    const std::string path = dir / name;
    WriteBytes(path, bytes);
    SetMTime(path, mtime);
    return path;
  }
  // Runs one operation over the given specifications.
  int32_t Zip(TZipWriter& zip, const std::vector<std::string>& specs) {
    zip.FilesList() = specs;
    return zip.ZipFiles();
  }
  std::string Archive() const { return dir / "out.zip"; }

  Scratch dir;
};

}  // namespace tessel::enginetest
