#include "app/settings.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/errors.h"
#include "platform/paths.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/scratch.h"

namespace tessel {
namespace {

using namespace std::string_literals;
using test::ListFolder;
using test::ReadBytes;
using test::RunAsNobody;
using test::WriteBytes;

// A fresh folder that any user may enter and write (the unprivileged child
// processes below use it), with HOME pointing into it.
class SettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    ::chmod(scratch_.path().c_str(), 0777);
    const char* home = std::getenv("HOME");
    had_home_ = home != nullptr;
    if (had_home_) saved_home_ = home;
    ::setenv("HOME", "/home/tester", 1);
  }
  void TearDown() override {
    if (had_home_) ::setenv("HOME", saved_home_.c_str(), 1); else ::unsetenv("HOME");
  }
  std::string Path(std::string_view name) const { return scratch_ / name; }
  JobSettings Loaded(const std::string& image) {
    WriteBytes(Path("Config.ini"), image);
    JobSettings job;
    LoadSettings(job, Path("Config.ini"));
    return job;
  }
  static void ExpectDefaults(const JobSettings& job) {
    EXPECT_EQ(job.FileNameMask, "/home/tester/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip");
    EXPECT_EQ(job.Level, 6);
    EXPECT_TRUE(job.IncludeSubDirs);
    EXPECT_TRUE(job.StorePaths);
    EXPECT_EQ(job.ReplaceMode, 2);
    EXPECT_TRUE(job.Verify);
    EXPECT_EQ(job.KeepArchives, 0);
    EXPECT_EQ(job.IncludeMasks.Count(), 0u);
    EXPECT_EQ(job.ExcludeMasks.Count(), 0u);
  }

  test::Scratch scratch_;
  std::string saved_home_;
  bool had_home_ = false;
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndFirstSaveCreatesIt) {
  const std::string path = Path("deep/er/Config.ini");
  JobSettings job;
  job.IncludeMasks.Append("stale");
  LoadSettings(job, path);
  ExpectDefaults(job);
  SaveSettings(job, path);
  EXPECT_EQ(ReadBytes(path),
            "[Config]\n"
            "ZipName=/home/tester/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip\n"
            "Version=1.3\n"
            "Level=6\n"
            "IncludeSubDirs=1\n"
            "StorePaths=1\n"
            "ZipAction=2\n"
            "Threads=0\n"
            "Verify=1\n"
            "KeepArchives=0\n");
  job.ExcludeMasks.Append("*.tmp");
  job.IncludeMasks.Append("/data/*.*");
  job.StorePaths = false;
  SaveSettings(job, path);
  EXPECT_EQ(ReadBytes(path),
            "[Config]\n"
            "ZipName=/home/tester/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip\n"
            "Version=1.3\n"
            "Level=6\n"
            "IncludeSubDirs=1\n"
            "StorePaths=0\n"
            "ZipAction=2\n"
            "Threads=0\n"
            "Verify=1\n"
            "KeepArchives=0\n"
            "\n"
            "[Files]\n"
            "1=/data/*.*\n"
            "\n"
            "[FilesNotInclude]\n"
            "1=*.tmp\n");
}

TEST_F(SettingsTest, VersionMigration) {
  struct Case {
    std::string image;
    std::string expected;
  } const cases[] = {
      {"[Config]\nVersion=1.0\nZipName=/Arhiv/BackUp/%yyyy%%MM%%dd%%hh%%mm%%ss%.zip\n",
       "/Arhiv/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip"},
      {"[Config]\nZipName=/a/%MM%-%MM%.zip\n", "/a/%my%-%my%.zip"},
      {"[Config]\nVersion=1.3\nZipName=/a/%MM%.zip\n", "/a/%MM%.zip"},
      {"[Config]\nVersion=1.00\nZipName=/a/%MM%.zip\n", "/a/%MM%.zip"},
      {"[Config]\nVersion=1.0\n", "/home/tester/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip"},
      {"[Config]\nVersion=2.0\n", "/home/tester/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip"},
  };
  for (const Case& c : cases) EXPECT_EQ(Loaded(c.image).FileNameMask, c.expected) << c.image;

  JobSettings job = Loaded(cases[0].image);
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(ReadBytes(Path("Config.ini")),
            "[Config]\nVersion=1.3\nZipName=/Arhiv/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip\n"
            "Level=6\nIncludeSubDirs=1\nStorePaths=1\nZipAction=2\nThreads=0\nVerify=1\nKeepArchives=0\n");
}

TEST_F(SettingsTest, NumbersAndBooleans) {
  JobSettings job = Loaded(
      "[config]\nlevel=0x0C\nincludesubdirs=yes\nstorepaths=0x0\nzipaction=7\n");
  EXPECT_EQ(job.Level, 12);  // taken as read
  EXPECT_TRUE(job.IncludeSubDirs);
  EXPECT_FALSE(job.StorePaths);
  EXPECT_EQ(job.ReplaceMode, 2);
  job = Loaded("[Config]\nLevel=abc\nIncludeSubDirs=0\nStorePaths=0x10\nZipAction=-1\n");
  EXPECT_EQ(job.Level, 6);
  EXPECT_FALSE(job.IncludeSubDirs);
  EXPECT_TRUE(job.StorePaths);
  EXPECT_EQ(job.ReplaceMode, 2);
  EXPECT_EQ(Loaded("[Config]\nZipAction=3\n").ReplaceMode, 3);
  EXPECT_EQ(Loaded("[Config]\nZipAction=0\n").ReplaceMode, 0);

  job.ReplaceMode = 9;
  job.Level = -5;
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(job.ReplaceMode, 2);
  const std::string saved = ReadBytes(Path("Config.ini"));
  EXPECT_NE(saved.find("ZipAction=2\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Level=-5\n"), std::string::npos) << saved;
  EXPECT_EQ(NormalizeReplaceMode(4), 2);
  EXPECT_EQ(NormalizeReplaceMode(INT32_MIN), 2);
  EXPECT_EQ(NormalizeReplaceMode(1), 1);
}

// The thread count: decimal or hexadecimal like any number, at most 64,
// anything unreadable (or below zero) the default, 0; written after ZipAction.
TEST_F(SettingsTest, ThreadsAreReadBoundedAndSavedAfterZipAction) {
  const std::pair<const char*, int32_t> cases[] = {
      {"", 0},         {"Threads=1\n", 1},     {"Threads=8\n", 8},       {"Threads=0x10\n", 16},
      {"Threads=64\n", 64}, {"Threads=65\n", 64}, {"Threads=100000\n", 64}, {"Threads=-2\n", 0},
      {"Threads=many\n", 0}, {"Threads=99999999999\n", 0},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(Loaded(std::string("[Config]\n") + line).Threads, expected) << line;
  }
  JobSettings job = Loaded("[Config]\nThreads=3\nZipAction=1\nVersion=1.3\n");
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(ReadBytes(Path("Config.ini")),
            "[Config]\nThreads=3\nZipAction=1\nVersion=1.3\n"
            "ZipName=/home/tester/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip\n"
            "Level=6\nIncludeSubDirs=1\nStorePaths=1\nVerify=1\nKeepArchives=0\n");
  job.Threads = 200;
  SaveSettings(job, Path("Fresh.ini"));
  EXPECT_EQ(job.Threads, 64);
  EXPECT_NE(ReadBytes(Path("Fresh.ini")).find("ZipAction=1\nThreads=64\n"), std::string::npos);
}

TEST_F(SettingsTest, VerifyAndKeepArchives) {
  JobSettings job = Loaded("[Config]\n");
  EXPECT_TRUE(job.Verify);
  EXPECT_EQ(job.KeepArchives, 0);
  job = Loaded("[Config]\nverify=0\nkeeparchives=14\n");
  EXPECT_FALSE(job.Verify);
  EXPECT_EQ(job.KeepArchives, 14);
  job = Loaded("[Config]\nVerify=yes\nKeepArchives=many\n");
  EXPECT_TRUE(job.Verify);
  EXPECT_EQ(job.KeepArchives, 0);
  // Written after the keys that were there before them, in this order.
  job = Loaded("[Config]\nKeepArchives=3\nVerify=0\nZipName=/a/%yyyy%.zip\n");
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(ReadBytes(Path("Config.ini")),
            "[Config]\nKeepArchives=3\nVerify=0\nZipName=/a/%yyyy%.zip\nVersion=1.3\nLevel=6\n"
            "IncludeSubDirs=1\nStorePaths=1\nZipAction=2\nThreads=0\n");
  job = Loaded("[Config]\n");
  job.Verify = false;
  job.KeepArchives = 7;
  SaveSettings(job, Path("new.ini"));
  EXPECT_NE(ReadBytes(Path("new.ini")).find("ZipAction=2\nThreads=0\nVerify=0\nKeepArchives=7\n"), std::string::npos);
}

TEST_F(SettingsTest, MaskListsKeepFileOrderAndAreRenumbered) {
  JobSettings job = Loaded("[Files]\nb=/second/*.*\na=/first/*.*\n[FilesNotInclude]\nz=*.tmp\n");
  ASSERT_EQ(job.IncludeMasks.Items, (std::vector<std::string>{"/second/*.*", "/first/*.*"}));
  EXPECT_EQ(job.ExcludeMasks.Items, std::vector<std::string>{"*.tmp"});
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(job.IncludeMasks.Current, 0u);
  const std::string saved = ReadBytes(Path("Config.ini"));
  EXPECT_NE(saved.find("[Files]\n1=/second/*.*\n2=/first/*.*\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[FilesNotInclude]\n1=*.tmp\n"), std::string::npos) << saved;
}

TEST_F(SettingsTest, ShrunkListsLeaveOnlyTheirKeys) {
  JobSettings job;
  for (int i = 1; i <= 5; ++i) {
    job.IncludeMasks.Append("/in/" + std::to_string(i));
    job.ExcludeMasks.Append("*.x" + std::to_string(i));
  }
  SaveSettings(job, Path("Config.ini"));
  job.IncludeMasks.Items.resize(2);
  job.ExcludeMasks.Items.resize(2);
  job.IncludeMasks.Current = 1;
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(job.IncludeMasks.Current, 0u);
  JobSettings back;
  LoadSettings(back, Path("Config.ini"));
  EXPECT_EQ(back.IncludeMasks.Items, (std::vector<std::string>{"/in/1", "/in/2"}));
  EXPECT_EQ(back.ExcludeMasks.Items, (std::vector<std::string>{"*.x1", "*.x2"}));
  const std::string saved = ReadBytes(Path("Config.ini"));
  EXPECT_EQ(saved.find("3="), std::string::npos) << saved;
}

TEST_F(SettingsTest, MasksAreCutTo500Characters) {
  const std::string ascii(600, 'm');
  std::string cyrillic;
  for (int i = 0; i < 600; ++i) cyrillic += "ж";
  JobSettings job = Loaded("[Files]\n1=" + ascii + "\n2=" + cyrillic + "\n");
  EXPECT_EQ(job.IncludeMasks.Items[0], std::string(500, 'm'));
  EXPECT_EQ(job.IncludeMasks.Items[1], cyrillic.substr(0, 1000));
  MaskList list;
  list.Append(cyrillic + "x");
  EXPECT_EQ(list.Items[0].size(), 1000u);
  EXPECT_EQ(list.Current, 0u);
  list.Append("");
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Current, 1u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.Current, 0u);
}

// Today's example: an exclude mask of 10,000 stars and an x, cut to 500
// stars, would exclude every file. A cut value is named, refused and kept
// whole in the file until the user changes it.
TEST_F(SettingsTest, CutValuesAreNamedRefusedAndKeptWhole) {
  const std::string stars = std::string(10000, '*') + "x";
  const std::string long_name = "/backup/" + std::string(2100, 'n') + ".zip";
  std::string cyrillic;
  for (int i = 0; i < 501; ++i) cyrillic += "ж";
  const std::string image = "[Config]\nZipName=" + long_name + "\nVersion=1.3\n[Files]\nb=/data/" + cyrillic +
                            "\na=/data/*.*\n[FilesNotInclude]\n1=*.tmp\n2=" + stars + "\n";
  JobSettings job = Loaded(image);
  EXPECT_EQ(job.ExcludeMasks.Items[1], std::string(500, '*'));
  EXPECT_EQ(job.FileNameMask.size(), 2047u);
  const std::string warning = JobFileWarning(job, Path("Config.ini"));
  EXPECT_NE(warning.find(Path("Config.ini")), std::string::npos) << warning;
  for (const char* line : {"\n[Config] ZipName: длиннее 2047 символов", "\n[Files] b: длиннее 500 символов",
                           "\n[FilesNotInclude] 2: длиннее 500 символов"}) {
    EXPECT_NE(warning.find(line), std::string::npos) << warning;
  }
  EXPECT_THROW(CheckJobFile(job, Path("Config.ini")), Error);

  // Saved unchanged, the file keeps every whole text (under the new key
  // numbers) and loads as the same refused job.
  SaveSettings(job, Path("Config.ini"));
  const std::string saved = ReadBytes(Path("Config.ini"));
  EXPECT_NE(saved.find("ZipName=" + long_name + "\n"), std::string::npos);
  EXPECT_NE(saved.find("1=/data/" + cyrillic + "\n2=/data/*.*\n"), std::string::npos);
  EXPECT_NE(saved.find("2=" + stars + "\n"), std::string::npos);
  JobSettings again;
  LoadSettings(again, Path("Config.ini"));
  EXPECT_EQ(again.CutValues.size(), 3u);

  // Entries the user changed are the user's: the warning is gone and they
  // are saved as they stand.
  job.ExcludeMasks.Items[1] = "*.bak";
  job.FileNameMask = "/backup/short.zip";
  job.IncludeMasks.Items.erase(job.IncludeMasks.Items.begin());
  EXPECT_EQ(JobFileWarning(job, Path("Config.ini")), "");
  EXPECT_NO_THROW(CheckJobFile(job, Path("Config.ini")));
  SaveSettings(job, Path("Config.ini"));
  JobSettings edited;
  LoadSettings(edited, Path("Config.ini"));
  EXPECT_TRUE(edited.CutValues.empty());
  EXPECT_EQ(edited.ExcludeMasks.Items, (std::vector<std::string>{"*.tmp", "*.bak"}));
  EXPECT_EQ(edited.IncludeMasks.Items, std::vector<std::string>{"/data/*.*"});
}

TEST_F(SettingsTest, ManyCutValuesAreCounted) {
  std::string image = "[FilesNotInclude]\n";
  for (int i = 1; i <= 13; ++i) image += std::to_string(i) + "=" + std::string(501, 'a') + "\n";
  const std::string warning = JobFileWarning(Loaded(image), Path("Config.ini"));
  EXPECT_NE(warning.find("[FilesNotInclude] 10: "), std::string::npos);
  EXPECT_EQ(warning.find("[FilesNotInclude] 11: "), std::string::npos);
  EXPECT_NE(warning.find("\nи ещё 3"), std::string::npos) << warning;
}

// "/i=" pointed at a photo or a document: the file is never written.
TEST_F(SettingsTest, FileWithNulBytesIsNoJobFileAndIsNeverWritten) {
  const std::string photo = "\x89PNG\r\n\x1A\n\0\0\0\rIHDR[Config]\nLevel=3\n"s;
  JobSettings job = Loaded(photo);
  EXPECT_TRUE(job.NotAJobFile);
  const std::string text = "Файл " + Path("Config.ini") + " не является файлом задания; он не перезаписывается";
  EXPECT_EQ(JobFileWarning(job, Path("Config.ini")), text);
  job.IncludeMasks.Append("/data/*.*");
  try {
    SaveSettings(job, Path("Config.ini"));
    ADD_FAILURE() << "saved over the file";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
  EXPECT_EQ(ReadBytes(Path("Config.ini")), photo);
  // A text file, even one from Windows, is a job file.
  EXPECT_FALSE(Loaded("[Files]\r\n1=/\xC4\xE0\r\n").NotAJobFile);
  EXPECT_FALSE(Loaded("").NotAJobFile);
}

TEST_F(SettingsTest, OtherSectionsAndKeysStayUntouched) {
  const std::string image =
      "; my notes\r\n"
      "[Config]\r\n"
      "Window=100,200\r\n"
      "ZipName=/old.zip\r\n"
      "[Extra]\r\n"
      "Files=not the mask section\r\n"
      "[Files]\r\n"
      "x=/a\r\n";
  JobSettings job = Loaded(image);
  job.IncludeMasks.Append("/b");
  SaveSettings(job, Path("Config.ini"));
  EXPECT_EQ(ReadBytes(Path("Config.ini")),
            "; my notes\r\n"
            "[Config]\r\n"
            "Window=100,200\r\n"
            "ZipName=/old.zip\r\n"
            "Version=1.3\r\n"
            "Level=6\r\n"
            "IncludeSubDirs=1\r\n"
            "StorePaths=1\r\n"
            "ZipAction=2\r\n"
            "Threads=0\r\n"
            "Verify=1\r\n"
            "KeepArchives=0\r\n"
            "[Extra]\r\n"
            "Files=not the mask section\r\n"
            "[Files]\r\n"
            "1=/a\r\n"
            "2=/b\r\n");
}

TEST_F(SettingsTest, AwkwardTextsRoundTrip) {
  JobSettings job;
  job.FileNameMask = " /spaced name/%yyyy%.zip ";
  const std::vector<std::string> masks = {"\"/quoted/*.*\"", "'/single'", " lead", "trail ", "", "/дом/*.txt",
                                          "a=b", "[x]", ";semi"};
  for (const auto& m : masks) job.IncludeMasks.Append(m);
  job.ExcludeMasks.Append("line\nbreak\r\nhere");
  SaveSettings(job, Path("Config.ini"));
  JobSettings back;
  LoadSettings(back, Path("Config.ini"));
  EXPECT_EQ(back.FileNameMask, job.FileNameMask);
  EXPECT_EQ(back.IncludeMasks.Items, masks);
  EXPECT_EQ(back.ExcludeMasks.Items, std::vector<std::string>{"line break  here"});
}

TEST_F(SettingsTest, Windows1251FileIsReadAndSavedAsUtf8) {
  JobSettings job = Loaded("[Config]\r\nVersion=1.3\r\n[Files]\r\n1=/\xC4\xE0\xED\xED\xFB\xE5/*.*\r\n");
  ASSERT_EQ(job.IncludeMasks.Items, std::vector<std::string>{"/Данные/*.*"});
  SaveSettings(job, Path("Config.ini"));
  EXPECT_NE(ReadBytes(Path("Config.ini")).find("1=/Данные/*.*\r\n"), std::string::npos);
}

TEST_F(SettingsTest, MalformedFilesLoadWithDefaults) {
  std::string garbage;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245 + 12345;
    garbage += static_cast<char>(x >> 24);
  }
  ExpectDefaults(Loaded(garbage));
  ExpectDefaults(Loaded("no equals\nat all\n[Config\nZipName\n"));
  ExpectDefaults(Loaded(std::string(100000, 'q') + "\n\0\0\0"s));

  // Good lines still count around the bad ones.
  JobSettings job = Loaded("[Config]\n" + std::string(100000, '=') + "\nLevel=3\0ignored\n"s +
                           "Level=4\n[Config]\nStorePaths=0\n[Files]\nno equals\n1=/a\n1=/b\n");
  EXPECT_EQ(job.Level, 3);         // the first of two keys
  EXPECT_TRUE(job.StorePaths);     // a repeated section is not looked at
  EXPECT_EQ(job.IncludeMasks.Items, (std::vector<std::string>{"/a", "/a"}));  // both names, first value
}

TEST_F(SettingsTest, FolderAtThePath) {
  ASSERT_TRUE(MakeFolders(Path("Config.ini")));
  JobSettings job;
  LoadSettings(job, Path("Config.ini"));
  ExpectDefaults(job);
  try {
    SaveSettings(job, Path("Config.ini"));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path("Config.ini"));
  }
  EXPECT_TRUE(FolderExists(Path("Config.ini")));
}

TEST_F(SettingsTest, PathThroughARegularFile) {
  WriteBytes(Path("plain"), "x");
  JobSettings job;
  LoadSettings(job, Path("plain/Config.ini"));
  ExpectDefaults(job);
  EXPECT_THROW(
      {
        try {
          SaveSettings(job, Path("plain/sub/Config.ini"));
        } catch (const Error& e) {
          EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path("plain/sub/Config.ini"));
          throw;
        }
      },
      Error);
  EXPECT_THROW(SaveSettings(job, ""), Error);
  EXPECT_EQ(ReadBytes(Path("plain")), "x");
}

TEST_F(SettingsTest, UnreadableFileGivesDefaultsAndIsNotOverwritten) {
  const std::string path = Path("Config.ini");
  WriteBytes(path, "[Config]\nLevel=9\n[Keep]\nme=1\n");
  ::chmod(path.c_str(), 0200);  // write only
  const int status = RunAsNobody([&] {
    JobSettings job;
    LoadSettings(job, path);
    if (job.Level != 6) return 1;
    try {
      SaveSettings(job, path);
      return 2;
    } catch (const Error& e) {
      return std::string(e.what()) == "Unable to write to " + path ? 0 : 3;
    }
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadBytes(path), "[Config]\nLevel=9\n[Keep]\nme=1\n");
}

TEST_F(SettingsTest, WriteProtectedFileAndFolderGiveTheError) {
  const std::string path = Path("Config.ini");
  WriteBytes(path, "[Config]\nLevel=9\n");
  ::chmod(path.c_str(), 0444);
  ASSERT_TRUE(MakeFolders(Path("locked")));
  ::chmod(Path("locked").c_str(), 0555);
  const std::string locked = Path("locked/Config.ini");
  const std::string unmade = Path("locked/new/Config.ini");
  const int status = RunAsNobody([&] {
    int result = 0;
    for (const std::string& p : {path, locked, unmade}) {
      JobSettings job;
      LoadSettings(job, p);
      try {
        SaveSettings(job, p);
        result |= 1;
      } catch (const Error& e) {
        if (std::string(e.what()) != "Unable to write to " + p) result |= 2;
      }
    }
    return result;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadBytes(path), "[Config]\nLevel=9\n");
  EXPECT_FALSE(FileExists(locked));
}

TEST_F(SettingsTest, InterruptedSaveLeavesTheOldFile) {
  const std::string path = Path("Config.ini");
  const std::string old = "[Config]\nLevel=9\n[Files]\n1=/a\n2=/b\n";
  WriteBytes(path, old);
  JobSettings job;
  for (int i = 0; i < 200; ++i) job.IncludeMasks.Append("/mask/number/" + std::to_string(i));

  size_t written = 0;
  const WriteFunction fail_half_way = [&](int fd, const void* data, size_t size) -> ssize_t {
    if (written > 0) {
      errno = EIO;
      return -1;
    }
    written = size / 2;
    return ::write(fd, data, written);
  };
  try {
    SaveSettings(job, path, fail_half_way);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_EQ(ReadBytes(path), old);
  EXPECT_EQ(ListFolder(scratch_.path()), std::vector<std::string>{"Config.ini"});

  // A process killed in the middle of the write.
  EXPECT_TRUE(test::EndsBySignal([&] {
    size_t done = 0;
    SaveSettings(job, path, [&](int fd, const void* data, size_t size) -> ssize_t {
      if (done > 0) ::raise(SIGKILL);
      done = size / 2;
      return ::write(fd, data, done);
    });
  }));
  EXPECT_EQ(ReadBytes(path), old);

  SaveSettings(job, path);
  JobSettings back;
  LoadSettings(back, path);
  EXPECT_EQ(back.IncludeMasks.Items, job.IncludeMasks.Items);
}

}  // namespace
}  // namespace tessel
