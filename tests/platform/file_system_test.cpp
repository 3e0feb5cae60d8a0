#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file_lock.h"
#include "support/error_text.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/scratch.h"
#include "support/stat_counting.h"

namespace tessel {
namespace {

using test::CountingStatCalls;
using test::ErrorText;
using test::ListFolder;
using test::RunAsNobody;
using test::Scratch;
using test::WriteBytes;


TEST(FileSystem, StatReportsTypeSizeTimeModeAndIdentity) {
  Scratch tmp;
  WriteBytes(tmp / "a.txt", "hello");
  ASSERT_EQ(::chmod((tmp / "a.txt").c_str(), 0640), 0);
  const struct timespec times[2] = {{1600000000, 123456789}, {1600000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "a.txt").c_str(), times, 0), 0);
  ASSERT_EQ(::symlink("a.txt", (tmp / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);

  FileInfo info;
  ASSERT_TRUE(Stat(tmp / "a.txt", info));
  EXPECT_EQ(info.Type, FileType::ftRegular);
  EXPECT_EQ(info.Size, 5u);
  EXPECT_EQ(info.MTimeSeconds, 1600000000);
  EXPECT_EQ(info.MTimeNanoseconds, 123456789);
  EXPECT_EQ(info.Mode, static_cast<uint32_t>(S_IFREG | 0640));

  FileInfo through_link;
  ASSERT_TRUE(Stat(tmp / "link", through_link));
  EXPECT_TRUE(IsSameFile(info, through_link));
  ASSERT_TRUE(LStat(tmp / "link", through_link));
  EXPECT_EQ(through_link.Type, FileType::ftSymlink);
  ASSERT_TRUE(LStat(tmp / "fifo", info));
  EXPECT_EQ(info.Type, FileType::ftFifo);

  EXPECT_FALSE(Stat(tmp / "missing", info));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(info.Type, FileType::ftMissing);
  EXPECT_EQ(ErrorText<EHostError>([&] { StatOrThrow(tmp / "missing"); }),
            "Cannot examine " + (tmp / "missing") + ": No such file or directory");
  EXPECT_TRUE(PathExists(tmp / "fifo"));
  EXPECT_FALSE(PathExists(tmp / "missing"));
  EXPECT_TRUE(DirectoryExists(tmp.path()));
  EXPECT_FALSE(DirectoryExists(tmp / "a.txt"));
}

TEST(FileSystem, IsSameFileComparesIdentityNotText) {
  Scratch tmp;
  WriteBytes(tmp / "a.zip", "x");
  WriteBytes(tmp / "A.zip", "x");
  ASSERT_EQ(::link((tmp / "a.zip").c_str(), (tmp / "hard.zip").c_str()), 0);
  EXPECT_TRUE(IsSameFile(tmp / "a.zip", tmp.path() + "//./a.zip"));
  EXPECT_TRUE(IsSameFile(tmp / "a.zip", tmp / "hard.zip"));
  EXPECT_FALSE(IsSameFile(tmp / "a.zip", tmp / "A.zip"));
  EXPECT_FALSE(IsSameFile(tmp / "missing", tmp / "missing"));
}

TEST(FileSystem, OpensListedFilesWithoutFollowingLinksOrWaiting) {
  Scratch tmp;
  WriteBytes(tmp / "data.bin", "abc");
  ASSERT_EQ(::symlink("data.bin", (tmp / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);

  // Named whole, a link leads to its file; listed as a file, a name that
  // has become a link since is not followed.
  OpenedFile file = OpenListedFile(tmp / "link", true);
  ASSERT_EQ(file.Status, OpenStatus::osOpened);
  EXPECT_EQ(file.Reason(), "");
  char buffer[8];
  EXPECT_EQ(::read(file.Handle.Get(), buffer, sizeof buffer), 3);
  const OpenedFile swapped = OpenListedFile(tmp / "link", false);
  EXPECT_EQ(swapped.Status, OpenStatus::osNotRegular);
  EXPECT_FALSE(swapped.Handle.IsOpen());
  EXPECT_EQ(swapped.Reason(), "not a regular file");

  // A FIFO put in a file's place is opened without waiting for a writer,
  // and an fstat of it tells what it is.
  ::alarm(30);
  OpenedFile fifo = OpenListedFile(tmp / "fifo", false);
  ::alarm(0);
  ASSERT_EQ(fifo.Status, OpenStatus::osOpened);
  FileInfo info;
  ASSERT_TRUE(FStat(fifo.Handle.Get(), info));
  EXPECT_EQ(info.Type, FileType::ftFifo);
  EXPECT_EQ(::read(fifo.Handle.Get(), buffer, sizeof buffer), 0);

  const OpenedFile missing = OpenListedFile(tmp / "missing", true);
  EXPECT_EQ(missing.Status, OpenStatus::osFailed);
  EXPECT_EQ(missing.ErrorNumber, ENOENT);
  EXPECT_EQ(missing.Reason(), "No such file or directory");
}

TEST(FileSystem, UnreadableFileFailsWithTheReason) {
  Scratch tmp;
  WriteBytes(tmp / "secret", "x");
  ASSERT_EQ(::chmod((tmp / "secret").c_str(), 0600), 0);
  const std::string path = tmp / "secret";
  EXPECT_EQ(RunAsNobody([&] {
    const OpenedFile file = OpenListedFile(path, false);
    return file.Status == OpenStatus::osFailed && file.ErrorNumber == EACCES &&
                   file.Reason() == "Permission denied"
               ? 0
               : 1;
  }), 0);
}

TEST(FileSystem, ListsEntriesSortedByBytesEachExaminedOnceAsItIs) {
  Scratch tmp;
  for (const char* name : {"B.txt", "a", "ä.txt", ".hidden", "_x"}) WriteBytes(tmp / name, "");
  WriteBytes(tmp / "b.txt", "12345");
  ASSERT_EQ(::mkdir((tmp / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("b.txt", (tmp / "to_file").c_str()), 0);
  ASSERT_EQ(::symlink("sub", (tmp / "to_dir").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (tmp / "dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);

  std::vector<DirectoryEntry> entries;
  {
    CountingStatCalls counting;
    ASSERT_TRUE(ReadDirectory(tmp.path(), entries));
    EXPECT_EQ(CountingStatCalls::Count(), 11);
  }
  std::vector<std::string> names;
  for (const DirectoryEntry& e : entries) names.push_back(e.Name);
  const std::vector<std::string> expected = {".hidden", "B.txt", "_x",  "a",      "b.txt", "dangling",
                                             "fifo",    "sub",   "to_dir", "to_file", "ä.txt"};
  EXPECT_EQ(names, expected);
  auto find = [&](const std::string& name) {
    for (const DirectoryEntry& e : entries)
      if (e.Name == name) return e;
    return DirectoryEntry{};
  };
  // Each entry as it is: a link is a link, whatever it leads to.
  EXPECT_EQ(find("sub").Info.Type, FileType::ftDirectory);
  EXPECT_EQ(find("b.txt").Info.Type, FileType::ftRegular);
  EXPECT_EQ(find("b.txt").Info.Size, 5u);
  for (const char* link : {"to_file", "to_dir", "dangling"}) EXPECT_EQ(find(link).Info.Type, FileType::ftSymlink) << link;
  EXPECT_EQ(find("to_file").Info.Size, 5u);  // the length of "b.txt"
  EXPECT_EQ(find("fifo").Info.Type, FileType::ftFifo);

  // A filter keeps entries by name and type; those it drops are never examined.
  {
    CountingStatCalls counting;
    ASSERT_TRUE(ReadDirectory(tmp.path(), entries, [](std::string_view name, FileType type) {
      return type == FileType::ftDirectory || name.ends_with(".txt");
    }));
    EXPECT_EQ(CountingStatCalls::Count(), 4);
  }
  names.clear();
  for (const DirectoryEntry& e : entries) names.push_back(e.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"B.txt", "b.txt", "sub", "ä.txt"}));

  EXPECT_FALSE(ReadDirectory(tmp / "missing", entries));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(ReadDirectory(tmp / "a", entries));
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(FileSystem, TempFilesDeleteRenameAndFolders) {
  Scratch tmp;
  TempFile first = MakeTempFile(tmp.path(), "QWX");
  TempFile second = MakeTempFile(tmp.path() + "/", "QWX");
  EXPECT_NE(first.Path, second.Path);
  EXPECT_EQ(first.Path.rfind(tmp / "QWX", 0), 0u) << first.Path;
  EXPECT_EQ(first.Path.size(), (tmp / "QWX").size() + 6);
  FileInfo info = StatOrThrow(first.Path);
  EXPECT_EQ(info.Size, 0u);
  EXPECT_EQ(info.Mode & 0777, 0600u);
  SetFileMode(first.Handle.Get(), 0100644, first.Path);
  EXPECT_EQ(StatOrThrow(first.Path).Mode & 07777, 0644u);
  ASSERT_EQ(::write(first.Handle.Get(), "zip", 3), 3);
  FsyncFile(first.Handle.Get(), first.Path);
  EXPECT_TRUE(FsyncDirectory(tmp.path()));

  RenameFile(first.Path, tmp / "archive.zip");
  EXPECT_EQ(StatOrThrow(tmp / "archive.zip").Size, 3u);
  EXPECT_FALSE(PathExists(first.Path));
  DeleteFile(tmp / "archive.zip");
  EXPECT_FALSE(PathExists(tmp / "archive.zip"));
  EXPECT_FALSE(TryDeleteFile(tmp / "archive.zip"));
  EXPECT_EQ(errno, ENOENT);

  EXPECT_EQ(ErrorText<EHostError>([&] { DeleteFile(tmp / "archive.zip"); }),
            "Cannot delete " + (tmp / "archive.zip") + ": No such file or directory");
  EXPECT_EQ(ErrorText<EHostError>([&] { RenameFile(tmp / "none", tmp / "other"); }),
            "Cannot rename " + (tmp / "none") + " to " + (tmp / "other") + ": No such file or directory");
  EXPECT_EQ(ErrorText<EHostError>([&] { MakeTempFile(tmp / "missing", "QWX"); }),
            "Cannot create " + (tmp / "missing/QWXXXXXXX") + ": No such file or directory");
}

TEST(TempFiles, OnlyStaleOnesOfTheGivenFormAreRemoved) {
  Scratch tmp;
  for (const char* name : {"QWXabc123", "QWXzzzzzz", "QWXshort", "QWXtoolong1", "QWXab.c12", "XQWabc123"})
    WriteBytes(tmp / name, "x");
  ASSERT_EQ(::symlink("QWXabc123", (tmp / "QWXlink00").c_str()), 0);
  TempFile live = MakeTempFile(tmp.path(), "QWX");
  EXPECT_EQ(RemoveStaleTempFiles(tmp.path(), "QWX"), 2u);
  std::vector<std::string> left = {BaseName(live.Path), "QWXab.c12", "QWXlink00", "QWXshort", "QWXtoolong1",
                                    "XQWabc123"};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(ListFolder(tmp.path()), left);
  // Once its holder is gone, it is stale too.
  live.Handle.Close();
  EXPECT_EQ(RemoveStaleTempFiles(tmp.path(), "QWX"), 1u);
}

TEST(FileSystem, KernelFileSystemsAreRecognised) {
  Scratch tmp;
  EXPECT_FALSE(IsPseudoFileSystem(tmp.path()));
  for (const char* path : {"/proc", "/proc/self/status", "/sys", "/dev/pts"}) {
    struct stat st {};
    if (::stat(path, &st) == 0) {
      EXPECT_TRUE(IsPseudoFileSystem(path)) << path;
    }
  }
  EXPECT_FALSE(IsPseudoFileSystem(tmp / "missing"));

  // Asked by device, statfs runs once for each.
  struct stat proc {};
  if (::stat("/proc/self/status", &proc) != 0) return;
  struct stat here {};
  ASSERT_EQ(::stat(tmp.path().c_str(), &here), 0);
  PseudoFileSystems known;
  CountingStatCalls counting;
  EXPECT_TRUE(known.Contains("/proc/self/status", proc.st_dev));
  EXPECT_TRUE(known.Contains("/proc/self/stat", proc.st_dev));
  EXPECT_FALSE(known.Contains(tmp.path(), here.st_dev));
  EXPECT_FALSE(known.Contains(tmp / "x", here.st_dev));
  EXPECT_EQ(CountingStatCalls::Count(), 2);
}

TEST(LockFile, OneHolderAtATimeAndNoFileLeftBehind) {
  Scratch tmp;
  const std::string path = tmp / "a.zip.lock";
  LockFile first, second;
  EXPECT_TRUE(first.TryAcquire(path, 0600));
  EXPECT_FALSE(second.TryAcquire(path, 0600));
  first.Release();
  EXPECT_FALSE(PathExists(path));
  EXPECT_TRUE(second.TryAcquire(path, 0600));
  EXPECT_EQ(StatOrThrow(path).Mode & 0777, 0600u);
  second.Release();
  EXPECT_TRUE(ListFolder(tmp.path()).empty());
  EXPECT_EQ(ErrorText<EHostError>([&] { first.TryAcquire(tmp / "missing/a.zip.lock", 0600); }),
            "Cannot lock " + (tmp / "missing/a.zip.lock") + ": No such file or directory");
}

TEST(LockFile, AKilledHolderLeavesNoLockThatBlocks) {
  Scratch tmp;
  const std::string path = tmp / "a.zip.lock";
  ASSERT_TRUE(test::EndsBySignal([&] {
    LockFile lock;
    if (lock.TryAcquire(path, 0600)) ::raise(SIGKILL);
  }));
  EXPECT_TRUE(PathExists(path));  // the file stays, its lock does not
  LockFile lock;
  EXPECT_TRUE(lock.TryAcquire(path, 0600));
}

TEST(LockFile, AWaiterIsToldOnceAndMayGiveUp) {
  Scratch tmp;
  const std::string path = tmp / "a.zip.lock";
  LockFile holder;
  ASSERT_TRUE(holder.TryAcquire(path, 0600));
  LockFile waiter;
  int told = 0, polls = 0;
  // The holder lets go after a few looks: the waiter then has it.
  waiter.Acquire(path, 0600, [&] { ++told; }, [&] {
    if (++polls == 3) holder.Release();
  });
  EXPECT_TRUE(waiter.Held());
  EXPECT_EQ(told, 1);
  EXPECT_GE(polls, 3);
  // A poll that throws ends the wait without the lock.
  LockFile late;
  EXPECT_THROW(late.Acquire(path, 0600, {}, [] { throw std::runtime_error("stop"); }), std::runtime_error);
  EXPECT_FALSE(late.Held());
  EXPECT_TRUE(waiter.Held());
}

}  // namespace
}  // namespace tessel
