// Archives of the zip engine read by other zip tools: unzip, 7z, bsdtar and
// Python's zipfile must test them, list them, and extract them to the same
// bytes, times and permissions; archives made by those tools stay readable
// after the engine has updated them.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ReadBytes;
using enginetest::Scratch;
using enginetest::SetMTime;
using enginetest::Shell;
using enginetest::WriteBytes;

constexpr time_t kBase = 1714979291;  // an odd second

// mode zip ARCHIVE ROOT OURS [COMMENT]: the archive's files are exactly the
// regular files below ROOT with the same bytes; entries named in OURS (a
// comma-separated list, or "*") also carry the file's time (DOS resolution,
// local time) and mode. mode tree OUT ROOT OURS: an extracted tree holds the
// same files with the same bytes, and those in OURS the same time and mode.
constexpr const char* kChecker = R"PY(
import os, sys, time, zipfile

def fail(text):
    print(text)
    sys.exit(1)

def files_below(root):
    found = {}
    for folder, dirs, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                found[os.path.relpath(path, root)] = path
    return found

def dos_time(seconds):
    t = time.localtime(seconds)
    if t.tm_year < 1980:
        return (1980, 1, 1, 0, 0, 0)
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec - t.tm_sec % 2)

def restored_time(seconds):
    return int(time.mktime(dos_time(seconds) + (0, 0, -1)))

what, target, root, ours = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
files = files_below(root)
strict = lambda name: ours == '*' or name in ours.split(',')
if what == 'zip':
    z = zipfile.ZipFile(target)
    bad = z.testzip()
    if bad is not None:
        fail('testzip: ' + bad)
    infos = [i for i in z.infolist() if not i.filename.endswith('/')]
    names = sorted(i.filename for i in infos)
    if names != sorted(files):
        fail('names %r != %r' % (names, sorted(files)))
    for i in infos:
        path = files[i.filename]
        with open(path, 'rb') as f:
            if z.read(i) != f.read():
                fail('data of ' + i.filename)
        if strict(i.filename):
            st = os.stat(path)
            if i.date_time != dos_time(st.st_mtime):
                fail('time of %s: %r != %r' % (i.filename, i.date_time, dos_time(st.st_mtime)))
            if i.external_attr >> 16 != st.st_mode or i.create_system != 3:
                fail('mode of %s: %o' % (i.filename, i.external_attr >> 16))
    if len(sys.argv) > 5 and z.comment != sys.argv[5].encode():
        fail('comment %r' % z.comment)
else:
    out = files_below(target)
    if sorted(out) != sorted(files):
        fail('extracted %r != %r' % (sorted(out), sorted(files)))
    for name, path in files.items():
        with open(path, 'rb') as a, open(out[name], 'rb') as b:
            if a.read() != b.read():
                fail('extracted data of ' + name)
        if strict(name):
            src, dst = os.stat(path), os.stat(out[name])
            if int(dst.st_mtime) != restored_time(src.st_mtime):
                fail('extracted time of %s: %d vs %d' % (name, dst.st_mtime, src.st_mtime))
            if dst.st_mode & 0o7777 != src.st_mode & 0o7777:
                fail('extracted mode of %s: %o' % (name, dst.st_mode))
)PY";

class InteropTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ::setenv("LC_ALL", "C.UTF-8", 1);
    // Not UTC, so that a time written in the wrong zone shows.
    ::setenv("TZ", "Europe/Moscow", 1);
    ::tzset();
    ::umask(022);
  }
  void SetUp() override {
    for (const char* tool : {"unzip", "7z", "bsdtar", "python3"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << "no " << tool;
    WriteBytes(dir / "check.py", kChecker);
  }

  std::string Put(const std::string& name, const std::string& bytes, time_t mtime, mode_t mode = 0644) {
    const std::string path = dir / ("src/" + name);
    WriteBytes(path, bytes);
    ::chmod(path.c_str(), mode);
    SetMTime(path, mtime);
    return path;
  }
  void MakeTree() {
    Put("readme.txt", enginetest::TextOf(50000), kBase);
    Put("data/noise.bin", enginetest::NoiseOf(200000), kBase + 100, 0600);
    Put("data/empty.dat", "", kBase + 200);
    Put("data/big.txt", enginetest::TextOf(1500000, 5), kBase + 301);
    Put("run.sh", "#!/bin/sh\necho hi\n", kBase + 400, 0755);
    Put("Документы/Отчёт за май.txt", "Отчёт: всё хорошо\n", kBase + 500);
    Put("日本語/ファイル.txt", "テキスト", kBase + 600, 0640);
    Put(".hidden/conf", "x=1\n", 315532800 - 86400);  // before 1980: stored as 1980
  }
  TZipWriter& Engine(int level) {
    engine = std::make_unique<TZipWriter>();
    engine->PackLevel = level;
    engine->SetRelativePaths(true);
    engine->SetRootDir(dir / "src");
    return *engine;
  }
  void ZipInto(TZipWriter& zip, const std::string& archive, const std::vector<std::string>& lines) {
    zip.SetZipName(archive);
    zip.FilesList() = lines;
    zip.ZipFiles();
  }
  std::string Quote(const std::string& s) const { return "'" + s + "'"; }

  // Every reader tests, lists and extracts the archive.
  void CheckWithAllTools(const std::string& archive, const std::string& ours,
                         const std::string& comment = std::string()) {
    const std::string src = dir / "src";
    const std::string a = Quote(archive);
    EXPECT_EQ(Shell("unzip -tq " + a + " > /dev/null"), 0) << "unzip -t " << archive;
    EXPECT_EQ(Shell("7z t " + a + " > /dev/null"), 0) << "7z t " << archive;
    EXPECT_EQ(Shell("bsdtar -tf " + a + " > /dev/null"), 0) << "bsdtar -tf " << archive;
    const std::string check = "python3 " + Quote(dir / "check.py");
    EXPECT_EQ(Shell(check + " zip " + a + " " + Quote(src) + " " + Quote(ours) +
                    (comment.empty() ? "" : " " + Quote(comment))),
              0)
        << "zipfile " << archive;
    struct Extractor { const char* name; std::string command; };
    const std::string out = dir / "out";
    const Extractor extractors[] = {
        {"unzip", "unzip -q -o " + a + " -d " + Quote(out)},
        {"7z", "7z x -y -o" + Quote(out) + " " + a + " > /dev/null"},
        {"bsdtar", "mkdir -p " + Quote(out) + " && bsdtar -xf " + a + " -C " + Quote(out)},
    };
    for (const Extractor& e : extractors) {
      Scratch::Remove(out);
      ASSERT_EQ(Shell(e.command), 0) << e.name << " " << archive;
      EXPECT_EQ(Shell(check + " tree " + Quote(out) + " " + Quote(src) + " " + Quote(ours)), 0)
          << e.name << " extracting " << archive;
    }
    Scratch::Remove(out);
  }

  Scratch dir;
  std::unique_ptr<TZipWriter> engine;
};

TEST_F(InteropTest, NewAndUpdatedArchivesAtEveryLevelKind) {
  MakeTree();
  for (int level : {0, 1, 6, 9}) {
    SCOPED_TRACE(level);
    const std::string fresh = dir / ("new" + std::to_string(level) + ".zip");
    ZipInto(Engine(level), fresh, {dir / "src/*.*"});
    CheckWithAllTools(fresh, "*");

    // Update: an archive of part of the tree, then newer and further files.
    const std::string updated = dir / ("upd" + std::to_string(level) + ".zip");
    ZipInto(Engine(level), updated, {dir / "src/readme.txt", dir / "src/data/*.*", dir / "src/run.sh"});
    Put("readme.txt", enginetest::TextOf(60000, 9), kBase + 1001);
    ZipInto(Engine(level), updated, {dir / "src/*.*"});
    CheckWithAllTools(updated, "*");
    Put("readme.txt", enginetest::TextOf(50000), kBase);
  }
}

TEST_F(InteropTest, ArchivesOfOtherToolsStayReadableAfterAnUpdate) {
  MakeTree();
  const std::string src = dir / "src";
  const std::string top = "readme.txt data run.sh Документы 日本語 .hidden";
  struct Maker { const char* name; std::string command; std::string comment; };
  // Python writes data descriptors when it cannot seek back.
  const std::string python_stream =
      "import zipfile, sys, os\n"
      "class Out:\n"
      "    def __init__(self, f): self.f = f\n"
      "    def write(self, b): return self.f.write(b)\n"
      "    def flush(self): self.f.flush()\n"
      "with open(sys.argv[1], 'wb') as raw:\n"
      "    with zipfile.ZipFile(Out(raw), 'w', zipfile.ZIP_DEFLATED, strict_timestamps=False) as z:\n"
      "        for folder, dirs, names in os.walk('.'):\n"
      "            for n in names:\n"
      "                p = os.path.relpath(os.path.join(folder, n))\n"
      "                z.write(p)\n";
  const std::string python_comment =
      "import zipfile, sys, os\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED, strict_timestamps=False) as z:\n"
      "    for folder, dirs, names in os.walk('.'):\n"
      "        for n in names:\n"
      "            p = os.path.relpath(os.path.join(folder, n))\n"
      "            z.write(p)\n"
      "    z.comment = b'made by python'\n"
      "    z.infolist()[0].comment = b'first entry'\n";
  WriteBytes(dir / "stream.py", python_stream);
  WriteBytes(dir / "comment.py", python_comment);
  const Maker makers[] = {
      {"7z", "cd " + Quote(src) + " && 7z a -tzip " + Quote(dir / "7z.zip") + " " + top + " > /dev/null", ""},
      {"bsdtar", "cd " + Quote(src) + " && bsdtar --format zip -cf " + Quote(dir / "bsdtar.zip") + " " + top, ""},
      {"stream", "cd " + Quote(src) + " && python3 " + Quote(dir / "stream.py") + " " + Quote(dir / "stream.zip"), ""},
      {"comment", "cd " + Quote(src) + " && python3 " + Quote(dir / "comment.py") + " " + Quote(dir / "comment.zip"),
       "made by python"},
  };
  for (const Maker& m : makers) {
    SCOPED_TRACE(m.name);
    const std::string archive = dir / (std::string(m.name) + ".zip");
    ASSERT_EQ(Shell(m.command), 0);
    const auto made = enginetest::ParseFile(archive);
    const bool descriptors = std::any_of(made.Entries.begin(), made.Entries.end(),
                                         [](const auto& e) { return (e.Flags & 8) != 0; });
    if (std::string(m.name) == "stream") {
      ASSERT_TRUE(descriptors) << "the stream archive should carry data descriptors";
    }
    Put("run.sh", "#!/bin/sh\necho changed\n", kBase + 2001, 0755);
    Put("added/new file.txt", "new", kBase + 2003);
    ZipInto(Engine(6), archive, {dir / "src/run.sh", dir / "src/added/*.*"});
    CheckWithAllTools(archive, "run.sh,added/new file.txt", m.comment);
    Put("run.sh", "#!/bin/sh\necho hi\n", kBase + 400, 0755);
    Scratch::Remove(dir / "src/added");
  }
}

// Archives with ZIP64 records in their entries: each old entry keeps its
// data, CRC and method through an update, and every reader accepts the result.
TEST_F(InteropTest, Zip64ArchivesOfOtherToolsAreUpdatedKeepingEveryEntry) {
  MakeTree();
  const std::string src = dir / "src";
  const std::string top = "readme.txt data run.sh Документы 日本語 .hidden";
  // Python's zipfile with force_zip64, seekable and streaming (8-byte sizes in
  // the data descriptors).
  const std::string python_zip64 =
      "import zipfile, sys, os\n"
      "class Out:\n"
      "    def __init__(self, f): self.f = f\n"
      "    def write(self, b): return self.f.write(b)\n"
      "    def flush(self): self.f.flush()\n"
      "raw = open(sys.argv[1], 'wb')\n"
      "target = Out(raw) if sys.argv[2] == 'stream' else raw\n"
      "with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    for folder, dirs, names in os.walk('.'):\n"
      "        for n in names:\n"
      "            p = os.path.relpath(os.path.join(folder, n))\n"
      "            with open(p, 'rb') as f, z.open(zipfile.ZipInfo.from_file(p, strict_timestamps=False), 'w', force_zip64=True) as w:\n"
      "                w.write(f.read())\n"
      "raw.close()\n";
  WriteBytes(dir / "zip64.py", python_zip64);
  struct Maker { const char* name; std::string command; };
  const Maker makers[] = {
      {"python", "cd " + Quote(src) + " && python3 " + Quote(dir / "zip64.py") + " " + Quote(dir / "python.zip") + " seek"},
      {"pystream", "cd " + Quote(src) + " && python3 " + Quote(dir / "zip64.py") + " " + Quote(dir / "pystream.zip") + " stream"},
      // Info-ZIP marks no UTF-8 name with flag bit 11, which Python's zipfile
      // would then misread: its archive holds the other names only.
      {"zip", "mkdir -p " + Quote(dir / "aside") + " && cd " + Quote(src) + " && mv Документы 日本語 " +
                  Quote(dir / "aside") + " && zip -q -r -fz " + Quote(dir / "zip.zip") + " readme.txt data run.sh .hidden"},
      {"bsdtar", "cd " + Quote(src) + " && bsdtar --format zip --options zip:zip64 -cf " + Quote(dir / "bsdtar.zip") + " " + top},
      {"7z", "cd " + Quote(src) + " && 7z a -tzip " + Quote(dir / "7z.zip") + " " + top + " > /dev/null"},
  };
  for (const Maker& m : makers) {
    SCOPED_TRACE(m.name);
    const std::string archive = dir / (std::string(m.name) + ".zip");
    ASSERT_EQ(Shell(m.command), 0);
    const auto before = enginetest::ParseFile(archive);
    if (std::string(m.name) != "7z") {
      ASSERT_TRUE(std::any_of(before.Entries.begin(), before.Entries.end(),
                              [](const auto& e) { return e.LocalZip64; }))
          << "the archive should use ZIP64";
    }
    Put("run.sh", "#!/bin/sh\necho changed\n", kBase + 2001, 0755);
    Put("added/new file.txt", "new", kBase + 2003);
    ZipInto(Engine(6), archive, {dir / "src/run.sh", dir / "src/added/*.*"});
    const auto after = enginetest::ParseFile(archive);
    for (const auto& old : before.Entries) {
      if (old.Name == "run.sh" || old.Name == "./run.sh" || old.Name.back() == '/') continue;
      const auto* kept = after.Find(old.Name);
      ASSERT_NE(kept, nullptr) << old.Name;
      EXPECT_TRUE(kept->Raw == old.Raw) << old.Name;
      EXPECT_EQ(kept->Crc, old.Crc) << old.Name;
      EXPECT_EQ(kept->Method, old.Method) << old.Name;
      EXPECT_EQ(kept->LocalZip64, old.LocalZip64) << old.Name;
    }
    CheckWithAllTools(archive, "run.sh,added/new file.txt");
    Put("run.sh", "#!/bin/sh\necho hi\n", kBase + 400, 0755);
    Scratch::Remove(dir / "src/added");
    // An empty aside folder leaves nothing to move back.
    static_cast<void>(Shell("cd " + Quote(dir / "aside") + " 2>/dev/null && mv * " + Quote(src) + " 2>/dev/null"));
  }
}

TEST_F(InteropTest, LinksAreRestoredAsLinks) {
  Put("real.txt", "real", kBase);
  WriteBytes(dir / "outside.txt", "a file outside the job");
  const std::string outside = dir / "outside.txt";
  ASSERT_EQ(::symlink(outside.c_str(), (dir / "src/outside.lnk").c_str()), 0);
  ASSERT_EQ(::symlink("real.txt", (dir / "src/real.lnk").c_str()), 0);
  const std::string archive = dir / "links.zip";
  ZipInto(Engine(6), archive, {dir / "src/*.*"});
  const std::string a = Quote(archive);
  EXPECT_EQ(Shell("unzip -tq " + a + " > /dev/null"), 0);
  EXPECT_EQ(Shell("7z t " + a + " > /dev/null"), 0);
  EXPECT_EQ(Shell("bsdtar -tf " + a + " > /dev/null"), 0);

  struct Extractor { const char* name; std::string command; bool keeps_absolute; };
  const std::string out = dir / "out";
  // 7-Zip puts an absolute target below the folder it extracts into.
  const Extractor extractors[] = {
      {"unzip", "unzip -q -o " + a + " -d " + Quote(out), true},
      {"7z", "7z x -snl -y -o" + Quote(out) + " " + a + " > /dev/null", false},
      {"bsdtar", "mkdir -p " + Quote(out) + " && bsdtar -xf " + a + " -C " + Quote(out), true},
  };
  for (const Extractor& e : extractors) {
    SCOPED_TRACE(e.name);
    Scratch::Remove(out);
    ASSERT_EQ(Shell(e.command), 0);
    for (const auto& [name, target] : {std::pair<std::string, std::string>{"real.lnk", "real.txt"},
                                       std::pair<std::string, std::string>{"outside.lnk", outside}}) {
      struct stat st {};
      ASSERT_EQ(::lstat((out + "/" + name).c_str(), &st), 0) << name;
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << name;
      std::string restored(4096, '\0');
      const ssize_t n = ::readlink((out + "/" + name).c_str(), restored.data(), restored.size());
      ASSERT_GT(n, 0) << name;
      restored.resize(static_cast<size_t>(n));
      if (target == outside && !e.keeps_absolute) {
        EXPECT_TRUE(restored.ends_with(target)) << restored;
      } else {
        EXPECT_EQ(restored, target) << name;
      }
    }
    EXPECT_EQ(ReadBytes(out + "/real.txt"), "real");
  }
  Scratch::Remove(out);
}

}  // namespace
}  // namespace tessel
