// The zip engine and the data it must neither lose nor leak: archives of
// other users, names that are not UTF-8, kernel file systems, temporary
// archives left by killed runs, symbolic links, damaged directories and files
// that change while they are read.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::NamesOf;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::WriteBytes;
using ::testing::ElementsAre;

constexpr uid_t kNobody = 65534;

class SafetyTest : public enginetest::EngineFixture {
protected:
  // An engine that stores paths below the scratch folder.
  void Prepare(TZipWriter& zip) {
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir.path());
    zip.SetZipName(Archive());
  }
  // Records every file the engine reports, as "reason name: text", the name
  // below the scratch folder.
  void Record(TZipWriter& zip) {
    zip.OnSkippingFile = [this](TZipWriter&, TSkipReason r, const std::string& name, int32_t, bool&,
                                const std::string& text) {
      const std::string shown = name.rfind(dir.path(), 0) == 0 ? name.substr(dir.path().size() + 1) : name;
      reported.push_back(std::to_string(r) + " " + shown + ": " + text);
    };
  }

  std::vector<std::string> reported;
};

TEST_F(SafetyTest, RootUpdatingAnotherUsersArchiveKeepsItsOwnerGroupAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  Put("a.txt", "a");
  {
    TZipWriter zip;
    Prepare(zip);
    Zip(zip, {dir / "a.txt"});
  }
  ASSERT_EQ(::chown(Archive().c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(Archive().c_str(), 0640), 0);
  Put("b.txt", "b");
  TZipWriter zip;
  Prepare(zip);
  EXPECT_EQ(Zip(zip, {dir / "b.txt"}), 1);
  struct stat st {};
  ASSERT_EQ(::stat(Archive().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("a.txt", "b.txt"));
}

TEST_F(SafetyTest, NamesThatAreNotUtf8AreStoredRawWithoutTheUtf8Flag) {
  Put("bad\xff.txt", "raw bytes");
  Put("Отчёт.txt", "utf-8");
  TZipWriter zip;
  Prepare(zip);
  EXPECT_EQ(Zip(zip, {dir / "*.txt"}), 2);
  const enginetest::ParsedArchive archive = ParseFile(Archive());
  ASSERT_EQ(archive.Entries.size(), 2u);
  const enginetest::ParsedEntry* raw = archive.Find("bad\xff.txt");
  const enginetest::ParsedEntry* utf8 = archive.Find("Отчёт.txt");
  ASSERT_NE(raw, nullptr);
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(raw->Flags & 0x0800, 0);
  EXPECT_EQ(utf8->Flags & 0x0800, 0x0800);

  // Every reader opens the archive; Python's zipfile refused all of it when
  // one name carried the flag without being UTF-8.
  if (test::HaveTool("python3")) {
    EXPECT_EQ(enginetest::Shell(test::Python() + " -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                                     "assert z.testzip() is None; assert len(z.namelist()) == 2' '" +
                    Archive() + "'"),
              0);
  }
  // The raw name still meets its file in the next update.
  TZipWriter update;
  Prepare(update);
  update.ZipAction = zaUpdate;
  EXPECT_EQ(Zip(update, {dir / "*.txt"}), 0);
  EXPECT_EQ(ParseFile(Archive()).Entries.size(), 2u);
}

TEST_F(SafetyTest, KernelFileSystemsAreNeverOpened) {
  struct stat proc {};
  if (::stat("/proc/self/status", &proc) != 0) GTEST_SKIP() << "no /proc";
  Put("a.txt", "a");
  // A regression would block on a read for ever: end the test instead.
  ::alarm(120);
  TZipWriter zip;
  zip.SetZipName(Archive());
  zip.SetStorePaths(true);
  // Named files, a wildcard search and a recursive one over kernel file
  // systems: none of it holds data to back up, and some of it blocks a read.
  EXPECT_EQ(Zip(zip, {dir / "a.txt", "/proc/self/status", "/proc/self/*.*", "|/proc/self/stat",
                      ">/proc/sys/kernel/*", ">/sys/kernel/*.*"}),
            1);
  ::alarm(0);
  EXPECT_EQ(ParseFile(Archive()).Entries.size(), 1u);
}

// A temporary archive left by a killed run: a name of the form the engine
// makes, in the archive's folder, that nobody holds.
void LeaveTemporaryArchive(const std::string& path) { enginetest::WriteBytes(path, "PK\x03\x04 half an archive"); }

TEST_F(SafetyTest, StaleTemporaryArchivesGoAndAreNeverPacked) {
  Put("data/a.txt", "a");
  const std::string temp = dir / "temp";
  ::mkdir(temp.c_str(), 0700);
  LeaveTemporaryArchive(dir / "QWXaB3dE9");       // beside the archive
  LeaveTemporaryArchive(temp + "/QWXzz1200");     // in TempPath
  LeaveTemporaryArchive(dir / "data/QWX123456");  // in a folder the job covers
  Put("QWXnotmine.txt", "a user's file");         // not a name the engine makes
  // One that a run still writing holds: it is neither packed nor touched.
  LeaveTemporaryArchive(dir / "QWXlive00");
  const int live = ::open((dir / "QWXlive00").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(::flock(live, LOCK_EX | LOCK_NB), 0);

  TZipWriter zip;
  Prepare(zip);
  zip.TempPath = temp;
  EXPECT_EQ(Zip(zip, {dir / "*.*"}), 2);
  EXPECT_THAT(NamesOf(ParseFile(Archive())), ElementsAre("QWXnotmine.txt", "data/a.txt"));
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("QWXlive00", "QWXnotmine.txt", "data", "out.zip", "temp"));
  EXPECT_TRUE(ListFolder(temp).empty());
  // A run never removes one outside the archive's folder and TempPath.
  EXPECT_THAT(ListFolder(dir / "data"), ElementsAre("QWX123456", "a.txt"));
  ::close(live);
}

TEST_F(SafetyTest, LinksMetByASearchAreStoredAsLinksAndNamedOnesFollowed) {
  Put("outside/secret.txt", "top secret");
  Put("job/plain.txt", "plain");
  Put("job/zplain.txt", "plain too");
  const std::string secret_target = dir / "outside/secret.txt";
  ASSERT_EQ(::symlink(secret_target.c_str(), (dir / "job/secret.lnk").c_str()), 0);
  ASSERT_EQ(::symlink("../outside", (dir / "job/folder.lnk").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "job/dangling").c_str()), 0);
  ASSERT_EQ(::symlink("job", (dir / "job.lnk").c_str()), 0);

  // On one thread, and with workers reading the files between the links:
  // the same archive.
  std::string bytes;
  for (const int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    ::unlink(Archive().c_str());
    TZipWriter zip;
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir / "job");
    zip.SetZipName(Archive());
    zip.Threads = threads;
    EXPECT_EQ(Zip(zip, {dir / "job/*.*"}), 5);
    if (threads == 1) {
      bytes = ReadBytes(Archive());
    } else {
      EXPECT_EQ(ReadBytes(Archive()), bytes);
    }
  }
  const enginetest::ParsedArchive archive = enginetest::ParseArchive(bytes);
  EXPECT_THAT(NamesOf(archive), ElementsAre("dangling", "folder.lnk", "plain.txt", "secret.lnk", "zplain.txt"));
  // Each link is the link itself: its type and bits in the high 16 bits of
  // the external attributes, its target as the data; what it points to is
  // never read.
  const std::vector<std::pair<std::string, std::string>> links = {
      {"secret.lnk", secret_target}, {"folder.lnk", "../outside"}, {"dangling", "nowhere"}};
  for (const auto& [name, target] : links) {
    SCOPED_TRACE(name);
    const enginetest::ParsedEntry* entry = archive.Find(name);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ((entry->External >> 16) & S_IFMT, static_cast<uint32_t>(S_IFLNK));
    EXPECT_EQ(entry->VersionMadeBy >> 8, 3);
    EXPECT_EQ(entry->Data, target);
  }
  EXPECT_EQ(bytes.find("top secret"), std::string::npos);

  // An update meets each link in its old entry and leaves it.
  TZipWriter update;
  update.SetRelativePaths(true);
  update.SetRootDir(dir / "job");
  update.SetZipName(Archive());
  EXPECT_EQ(Zip(update, {dir / "job/*.*"}), 0);
  EXPECT_EQ(ReadBytes(Archive()), bytes);

  // A link named whole, as a file or as the folder a search starts in, is
  // what the user asked for: it is followed.
  ::unlink(Archive().c_str());
  TZipWriter named;
  named.SetZipName(Archive());
  EXPECT_EQ(Zip(named, {dir / "job/secret.lnk", dir / "job.lnk/*.txt"}), 3);
  const enginetest::ParsedArchive followed = ParseFile(Archive());
  ASSERT_NE(followed.Find("secret.lnk"), nullptr);
  EXPECT_EQ(followed.Find("secret.lnk")->Data, "top secret");
  EXPECT_EQ((followed.Find("secret.lnk")->External >> 16) & S_IFMT, static_cast<uint32_t>(S_IFREG));
  ASSERT_NE(followed.Find("plain.txt"), nullptr);
  EXPECT_EQ(followed.Find("plain.txt")->Data, "plain");
}

TEST_F(SafetyTest, AFileSwappedAfterTheSearchIsNeitherFollowedNorWaitedForAndKeepsItsEntry) {
  Put("outside/secret.txt", "top secret");
  for (const int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    ::unlink(Archive().c_str());
    Put("job/a.txt", "first version");
    Put("job/b.txt", "first version");
    Put("job/c.txt", "first version");
    TZipWriter maker;
    Prepare(maker);
    ASSERT_EQ(Zip(maker, {dir / "job/*.*"}), 3);
    for (const char* name : {"job/a.txt", "job/b.txt", "job/c.txt"})
      Put(name, "second version", enginetest::kFixedTime + 10);
    TZipWriter zip;
    Prepare(zip);
    zip.Threads = threads;
    // Between the search and the read (the list is built before any file
    // is opened, by a worker or not), a.txt becomes a link to a secret and
    // b.txt a FIFO that nobody writes to.
    zip.OnExcludeFile = [&](TZipWriter&, const std::string& path, bool&) {
      if (path == dir / "job/a.txt") {
        ::unlink(path.c_str());
        ASSERT_EQ(::symlink((dir / "outside/secret.txt").c_str(), path.c_str()), 0);
      } else if (path == dir / "job/b.txt") {
        ::unlink(path.c_str());
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      }
    };
    EXPECT_EQ(Zip(zip, {dir / "job/*.*"}), 1);
    const std::string bytes = ReadBytes(Archive());
    EXPECT_EQ(bytes.find("top secret"), std::string::npos);
    const enginetest::ParsedArchive archive = enginetest::ParseArchive(bytes);
    EXPECT_EQ(archive.Find("job/a.txt")->Data, "first version");
    EXPECT_EQ(archive.Find("job/b.txt")->Data, "first version");
    EXPECT_EQ(archive.Find("job/c.txt")->Data, "second version");
    ::unlink((dir / "job/a.txt").c_str());
    ::unlink((dir / "job/b.txt").c_str());
  }
}

// An archive whose directory holds a second record for the first entry's
// local header, under the name of the second entry.
std::string ShareTheFirstLocalHeader(const std::string& bytes) {
  const enginetest::ParsedArchive parsed = enginetest::ParseArchive(bytes);
  const size_t end = bytes.size() - 22;
  const size_t central = enginetest::Le32(bytes, end + 16);
  size_t second = central + 46 + parsed.Entries[0].Name.size();
  std::string damaged = bytes;
  for (int i = 0; i < 4; ++i) damaged[second + 42 + i] = '\0';
  return damaged;
}

TEST_F(SafetyTest, EveryEntryOfADamagedDirectoryIsCarriedOverOrReported) {
  Put("s/a.txt", "alpha");
  Put("s/b.txt", "bravo");
  Put("s/c.txt", "charlie");
  {
    TZipWriter maker;
    Prepare(maker);
    ASSERT_EQ(Zip(maker, {dir / "s/a.txt", dir / "s/b.txt"}), 2);
  }
  const std::string damaged = ShareTheFirstLocalHeader(ReadBytes(Archive()));
  for (const bool rewrite_b : {false, true}) {
    SCOPED_TRACE(rewrite_b);
    WriteBytes(Archive(), damaged);
    reported.clear();
    TZipWriter zip;
    Prepare(zip);
    Record(zip);
    std::vector<std::string> specs = {dir / "s/c.txt"};
    if (rewrite_b) specs.push_back(dir / "s/b.txt");
    Zip(zip, specs);
    const enginetest::ParsedArchive archive = ParseFile(Archive());
    if (rewrite_b) {
      // b.txt is written again from its file: nothing of it is lost.
      EXPECT_TRUE(reported.empty());
      EXPECT_THAT(NamesOf(archive), ElementsAre("s/a.txt", "s/c.txt", "s/b.txt"));
      EXPECT_EQ(archive.Find("s/b.txt")->Data, "bravo");
    } else {
      EXPECT_THAT(reported, ElementsAre("6 s/b.txt: в старом архиве указывает на данные другой записи"));
      EXPECT_THAT(NamesOf(archive), ElementsAre("s/a.txt", "s/c.txt"));
    }
    EXPECT_EQ(archive.Find("s/a.txt")->Data, "alpha");
  }
}

TEST_F(SafetyTest, AFileThatChangesWhileItIsReadIsKeptAsReadAndReported) {
  const std::string big = enginetest::TextOf(3000000);
  struct Change {
    const char* what;
    const char* command;  // run by another process once the first bytes are read
    bool shorter;
  };
  // Cut short, or given another modification time with its size unchanged.
  for (const Change change : {Change{"truncated", "truncate -s 1000", true},
                              Change{"touched", "touch -m -d 2001-02-03", false}}) {
    // Read on the operation's thread, and by a worker.
    for (const int threads : {1, 2}) {
      for (const int level : {0, 6}) {
        SCOPED_TRACE(std::string(change.what) + " " + std::to_string(level) + ", threads " +
                     std::to_string(threads));
        const std::string path = Put("c/growing.log", big);
        Put("c/quiet.txt", "quiet");
        ::unlink(Archive().c_str());
        reported.clear();
        TZipWriter zip;
        Prepare(zip);
        zip.PackLevel = level;
        zip.Threads = threads;
        Record(zip);
        std::string read;
        const std::string command = std::string(change.command) + " '" + path + "'";
        zip.SourceStreamWrapper = [&](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
          struct Tap : TStream {
            Tap(std::unique_ptr<TStream> in, std::string& seen, std::string file, std::string change)
                : inner(std::move(in)), bytes(seen), target(std::move(file)), command(std::move(change)) {}
            size_t Read(void* buffer, size_t count) override {
              const size_t n = inner->Read(buffer, count);
              if (inner->Name() == target) {
                bytes.append(static_cast<const char*>(buffer), n);
                if (!changed && n > 0) {
                  changed = true;
                  EXPECT_EQ(enginetest::Shell(command), 0);
                }
              }
              return n;
            }
            size_t Write(const void*, size_t) override { return 0; }
            uint64_t Seek(int64_t offset, int origin) override { return inner->Seek(offset, origin); }
            std::string Name() const override { return inner->Name(); }
            std::unique_ptr<TStream> inner;
            std::string& bytes;
            std::string target;
            std::string command;
            bool changed = false;
          };
          return std::make_unique<Tap>(std::move(inner), read, path, command);
        };
        EXPECT_EQ(Zip(zip, {dir / "c/*.*"}), 2);
        EXPECT_THAT(reported, ElementsAre("7 c/growing.log: изменился во время чтения"));
        const enginetest::ParsedArchive archive = ParseFile(Archive());
        ASSERT_NE(archive.Find("c/growing.log"), nullptr);
        EXPECT_EQ(archive.Find("c/growing.log")->Data, read);
        EXPECT_EQ(read.size() < big.size(), change.shorter);
        EXPECT_EQ(archive.Find("c/quiet.txt")->Data, "quiet");
      }
    }
  }
}

}  // namespace
}  // namespace tessel
