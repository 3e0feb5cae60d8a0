// Opens arbitrary bytes as an archive in every IncompleteZipMode, then walks
// the directory: sort views, comments and a copy of every entry. Only the
// engine's own errors may escape the reader.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "zip/archive_check.h"
#include "zip/header_info.h"
#include "zip/zip_reader.h"

namespace {

std::string MakeTempFile(const char* suffix) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz_zip_XXXXXX" + suffix;
  const int fd = ::mkstemps(path.data(), static_cast<int>(std::string(suffix).size()));
  if (fd < 0) std::abort();
  ::close(fd);
  return path;
}

struct TempFiles {
  std::string zip = MakeTempFile(".zip");
  std::string exe = MakeTempFile(".exe");
  ~TempFiles() {
    ::unlink(zip.c_str());
    ::unlink(exe.c_str());
  }
};

void Store(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void Walk(tessel::TZipReader& reader) {
  tessel::TLFNFileStream archive(reader.ZipName(), tessel::TFileOpenMode::fmOpenRead, 4096);
  for (int mode : {tessel::ByName, tessel::ByDate, tessel::ByRate, tessel::ByNone}) {
    reader.SetSortMode(static_cast<tessel::TZipSortMode>(mode));
    for (int32_t i = 0; i < reader.Count(); ++i) {
      reader.EntryDateTime(i);
      reader.EntryComment(i);
    }
  }
  reader.ZipComment();
  // Every entry copied as an update carries it over, its data inflated and
  // checked on the way as with Verify.
  tessel::TEntryCheck check;
  for (int32_t i = 0; i < reader.Count(); ++i) {
    tessel::TZipHeaderInfo entry = reader.Entry(i);
    tessel::TMemoryStream out;
    check.Begin(entry);
    try {
      tessel::CopyEntryData(archive, out, entry, {}, &check);
    } catch (const tessel::EBadZipFile&) {
    }
    check.Finish();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TempFiles files;
  // The first byte picks the name: ".exe" names are searched from 14000.
  const std::string& path = size > 0 && (data[0] & 1) != 0 ? files.exe : files.zip;
  Store(path, data, size);
  for (auto mode : {tessel::izAssumeMulti, tessel::izAssumeBad, tessel::izAssumeNotAZip}) {
    tessel::TZipReader reader;
    reader.IncompleteZipMode = mode;
    reader.ProcessInput = [] {};
    try {
      reader.SetZipName(path);
      reader.ReadDirectory();
      Walk(reader);
    } catch (const tessel::Error&) {
      // The reader's verdict on bad input.
    }
  }
  return 0;
}
