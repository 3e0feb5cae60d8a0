#include "platform/paths.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/scratch.h"

namespace tessel {
namespace {

using test::ListFolder;
using test::ReadBytes;
using test::Scratch;
using test::WriteBytes;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(Paths, SplitAndJoin) {
  struct Case {
    const char* path;
    const char* dir;
    const char* base;
  } const cases[] = {
      {"/home/u/Config.ini", "/home/u", "Config.ini"},
      {"/Config.ini", "/", "Config.ini"},
      {"Config.ini", "", "Config.ini"},
      {"a/b/", "a/b", ""},
      {"", "", ""},
      {"/", "/", ""},
      {"/дом/файл.ini", "/дом", "файл.ini"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DirName(c.path), c.dir) << c.path;
    EXPECT_EQ(BaseName(c.path), c.base) << c.path;
  }
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
}

TEST(Paths, AbsolutePathUsesCurrentFolder) {
  Scratch tmp;
  char* old = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  const std::string here = CurrentFolder();
  EXPECT_EQ(AbsolutePath("job.ini"), here + "/job.ini");
  EXPECT_EQ(AbsolutePath("sub/job.ini"), here + "/sub/job.ini");
  EXPECT_EQ(AbsolutePath("/etc/job.ini"), "/etc/job.ini");
  EXPECT_EQ(AbsolutePath(""), "");
  // A current folder that is gone is no folder to resolve against: "/job.ini"
  // would name another file.
  ASSERT_TRUE(MakeFolders(tmp / "gone"));
  ASSERT_EQ(::chdir((tmp / "gone").c_str()), 0);
  ASSERT_EQ(::rmdir((tmp / "gone").c_str()), 0);
  EXPECT_EQ(CurrentFolder(), "");
  EXPECT_EQ(AbsolutePath("job.ini"), "job.ini");
  ASSERT_EQ(::chdir(old), 0);
  std::free(old);
}

TEST(Paths, HomeAndConfigFolderFromEnvironment) {
  const char* old_home = std::getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "";

  ::setenv("HOME", "/home/tester/", 1);
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(HomeFolder(), "/home/tester");
  EXPECT_EQ(ConfigFolder(), "/home/tester/.config");
  ::setenv("XDG_CONFIG_HOME", "/xdg/conf", 1);
  EXPECT_EQ(ConfigFolder(), "/xdg/conf");
  ::setenv("XDG_CONFIG_HOME", "relative/conf", 1);  // not absolute: ignored
  EXPECT_EQ(ConfigFolder(), "/home/tester/.config");
  const char* old_state = std::getenv("XDG_STATE_HOME");
  const std::string saved_state = old_state ? old_state : "";
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(StateFolder(), "/home/tester/.local/state");
  ::setenv("XDG_STATE_HOME", "/xdg/state/", 1);
  EXPECT_EQ(StateFolder(), "/xdg/state");
  ::setenv("XDG_STATE_HOME", "state", 1);
  EXPECT_EQ(StateFolder(), "/home/tester/.local/state");
  if (old_state) ::setenv("XDG_STATE_HOME", saved_state.c_str(), 1); else ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", "", 1);
  EXPECT_FALSE(HomeFolder().empty());  // from the password database

  if (old_home) ::setenv("HOME", saved_home.c_str(), 1); else ::unsetenv("HOME");
  if (old_xdg) ::setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
}

TEST(Paths, MakeFolders) {
  Scratch tmp;
  EXPECT_TRUE(MakeFolders(tmp / "a/b/c/"));
  EXPECT_TRUE(FolderExists(tmp / "a/b/c"));
  EXPECT_TRUE(MakeFolders(tmp / "a/b/c"));
  EXPECT_TRUE(MakeFolders(""));
  EXPECT_TRUE(MakeFolders("/"));
  WriteBytes(tmp / "file", "x");
  errno = 0;
  EXPECT_FALSE(MakeFolders(tmp / "file"));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(MakeFolders(tmp / "file/below/deeper"));
}

TEST(Paths, ReadWholeFileRefusesFoldersAndMissing) {
  Scratch tmp;
  std::string data = "stale";
  EXPECT_FALSE(ReadWholeFile(tmp.path(), data));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(ReadWholeFile(tmp / "missing", data));
  EXPECT_EQ(errno, ENOENT);
  WriteBytes(tmp / "f", std::string("a\0b", 3));
  EXPECT_EQ(ReadBytes(tmp / "f"), std::string("a\0b", 3));
}

TEST(ReplaceFile, CreatesAndReplacesKeepingMode) {
  Scratch tmp;
  const std::string path = tmp / "Config.ini";
  const mode_t mask = ::umask(022);
  ReplaceFileAtomically(path, "first\n");
  EXPECT_EQ(ReadBytes(path), "first\n");
  EXPECT_EQ(ModeOf(path), 0644u);
  ::chmod(path.c_str(), 0600);
  ReplaceFileAtomically(path, "second\n");
  EXPECT_EQ(ReadBytes(path), "second\n");
  EXPECT_EQ(ModeOf(path), 0600u);
  ::umask(mask);
  EXPECT_EQ(ListFolder(tmp.path()), std::vector<std::string>{"Config.ini"});
}

TEST(ReplaceFile, KeepsSymbolicLink) {
  Scratch tmp;
  ASSERT_TRUE(MakeFolders(tmp / "real"));
  WriteBytes(tmp / "real/target.ini", "old");
  ASSERT_EQ(::symlink("real/target.ini", (tmp / "link.ini").c_str()), 0);
  ReplaceFileAtomically(tmp / "link.ini", "new");
  struct stat st {};
  ASSERT_EQ(::lstat((tmp / "link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadBytes(tmp / "real/target.ini"), "new");
}

TEST(ReplaceFile, FailedWriteLeavesOldFileAndNoTemporary) {
  Scratch tmp;
  const std::string path = tmp / "Config.ini";
  WriteBytes(path, "old content\n");
  const std::string data(100000, 'n');
  size_t written = 0;
  auto half_then_fail = [&](int fd, const void* p, size_t size) -> ssize_t {
    if (written >= data.size() / 2) {
      errno = ENOSPC;
      return -1;
    }
    const size_t n = std::min(size, size_t{4096});
    written += n;
    return ::write(fd, p, n);
  };
  try {
    ReplaceFileAtomically(path, data, half_then_fail);
    FAIL() << "no error";
  } catch (const EHostError& e) {
    EXPECT_EQ(e.ErrorNumber(), ENOSPC);
    EXPECT_NE(std::string(e.what()).find(tmp.path()), std::string::npos);
  }
  EXPECT_EQ(ReadBytes(path), "old content\n");
  EXPECT_EQ(ListFolder(tmp.path()), std::vector<std::string>{"Config.ini"});
}

TEST(ReplaceFile, ProcessKilledMidWriteLeavesOldFile) {
  Scratch tmp;
  const std::string path = tmp / "Config.ini";
  WriteBytes(path, "old content\n");
  ASSERT_TRUE(test::EndsBySignal([&] {
    size_t written = 0;
    auto write_then_die = [&](int fd, const void* p, size_t size) -> ssize_t {
      if (written > 0) ::raise(SIGKILL);
      written = ::write(fd, p, size / 2);
      return static_cast<ssize_t>(written);
    };
    ReplaceFileAtomically(path, std::string(50000, 'n'), write_then_die);
  }));
  EXPECT_EQ(ReadBytes(path), "old content\n");
}

TEST(ReplaceFile, FailuresAreReported) {
  Scratch tmp;
  WriteBytes(tmp / "file", "x");
  ASSERT_TRUE(MakeFolders(tmp / "folder"));
  EXPECT_THROW(ReplaceFileAtomically(tmp / "missing/Config.ini", "x"), EHostError);
  EXPECT_THROW(ReplaceFileAtomically(tmp / "file/Config.ini", "x"), EHostError);
  EXPECT_THROW(ReplaceFileAtomically(tmp / "folder", "x"), EHostError);
  EXPECT_TRUE(FolderExists(tmp / "folder"));
  EXPECT_EQ(ReadBytes(tmp / "file"), "x");
  EXPECT_EQ(ListFolder(tmp.path()).size(), 2u);
}

// Whether some other open file description holds an flock on the file, as
// another process would find (flock locks belong to the open file, so one
// more open() in this process meets them too).
bool IsHeld(const std::string& path) {
  FileHandle probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return probe.IsOpen() && ::flock(probe.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

TEST(AtomicFileWriter, WritesBesideTheTargetAndReplacesItWhole) {
  Scratch tmp;
  const std::string target = tmp / "archive.zip";
  WriteBytes(target, "old");
  ::chmod(target.c_str(), 0640);
  {
    AtomicFileWriter writer(target, "QWX");
    EXPECT_EQ(DirName(writer.TempPath()), tmp.path());
    EXPECT_TRUE(IsTempFileName(BaseName(writer.TempPath()), "QWX"));
    // Nobody else may read the content, or take the file for a stale one.
    EXPECT_EQ(ModeOf(writer.TempPath()), 0600u);
    EXPECT_TRUE(IsHeld(writer.TempPath()));
    ASSERT_EQ(::write(writer.Fd(), "new", 3), 3);
    EXPECT_EQ(ReadBytes(target), "old");
    writer.Commit();
  }
  EXPECT_EQ(ReadBytes(target), "new");
  EXPECT_EQ(ModeOf(target), 0640u);
  EXPECT_EQ(ListFolder(tmp.path()), std::vector<std::string>{"archive.zip"});

  // Unfinished: the temporary file goes with the writer, the target stays.
  {
    AtomicFileWriter writer(target, "QWX");
    ASSERT_EQ(::write(writer.Fd(), "half", 4), 4);
  }
  EXPECT_EQ(ReadBytes(target), "new");
  EXPECT_EQ(ListFolder(tmp.path()), std::vector<std::string>{"archive.zip"});
}

TEST(AtomicFileWriter, ANewFileGetsTheBitsOfTheUmaskWhichStaysAsItWas) {
  Scratch tmp;
  const mode_t saved = ::umask(027);
  AtomicFileWriter writer(tmp / "new.zip", "QWX");
  writer.Commit();
  EXPECT_EQ(ModeOf(tmp / "new.zip"), 0640u);
  EXPECT_EQ(::umask(saved), 027u);
}

TEST(AtomicFileWriter, AKeptTemporaryFileIsNoLongerTakenForAStaleOne) {
  Scratch tmp;
  std::string kept;
  {
    AtomicFileWriter writer(tmp / "a.zip", "QWX");
    writer.KeepTemporary(".zip");
    kept = writer.TempPath();
  }
  EXPECT_EQ(RemoveStaleTempFiles(tmp.path(), "QWX"), 0u);
  EXPECT_EQ(ListFolder(tmp.path()), std::vector<std::string>{BaseName(kept)});
  EXPECT_TRUE(kept.ends_with(".zip"));
}

}  // namespace
}  // namespace tessel
