// The built tessel-backup program, run as cron runs it: an empty environment
// but HOME and PATH, no display, no terminal. Archives are checked with unzip.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/leased_file.h"
#include "support/processes.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using tessel::test::kNobody;
using tessel::test::LeasedFile;
using tessel::test::ReadBytes;
using tessel::test::Scratch;
using tessel::test::ShellOutput;
using tessel::test::WriteBytes;

const char* const kProgram = TESSEL_BINARY_DIR "/src/tessel-backup";

struct Result {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out, err;
};

// Runs the program in a child with its output in files; wait says whether
// to wait for it here.
class Child {
public:
  // extra_env: more "NAME=value" entries for the child's environment.
  Child(const fs::path& scratch, const std::vector<std::string>& args, bool as_nobody,
        const std::vector<std::string>& extra_env = {})
      : scratch_(scratch) {
    std::vector<std::string> argv;
    std::string program = kProgram;
    if (as_nobody) {
      argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
      // The build folder may lie where the unprivileged user cannot reach it
      // (below /root, say): run a copy from the scratch folder instead.
      program = (scratch / "bin" / "tessel-backup").string();
      if (!fs::exists(program)) tessel::test::CopyRunnable(kProgram, program);
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"HOME=" + (scratch / "home").string(), "PATH=/usr/bin:/bin"};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) env.push_back(std::string(keep) + "=" + value);
    }
    pid_ = fork();
    if (pid_ == 0) {
      const int in = open("/dev/null", O_RDONLY);
      const int out = open((scratch / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      const int err = open((scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> a, e;
      for (std::string& s : argv) a.push_back(s.data());
      for (std::string& s : env) e.push_back(s.data());
      a.push_back(nullptr);
      e.push_back(nullptr);
      execve(a[0], a.data(), e.data());
      _exit(127);
    }
  }
  pid_t Pid() const { return pid_; }
  Result Wait() {
    int raw = 0;
    waitpid(pid_, &raw, 0);
    Result result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadBytes(scratch_ / "stdout");
    result.err = ReadBytes(scratch_ / "stderr");
    return result;
  }

private:
  fs::path scratch_;
  pid_t pid_ = -1;
};

class ProgramTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kProgram)) << "build the tessel-backup target first";
    data_ = scratch_ / "data";
    out_ = scratch_ / "out";
    fs::create_directories(scratch_ / "home");
    fs::create_directories(data_);
  }
  // A job file: template, include masks, compression level, replace mode.
  void WriteJob(const fs::path& path, const std::string& name_template, const std::vector<std::string>& include,
                int level = 6, int mode = 2) const {
    std::string text = "[Config]\nZipName=" + name_template + "\nVersion=1.3\nLevel=" + std::to_string(level) +
                       "\nIncludeSubDirs=1\nStorePaths=1\nZipAction=" + std::to_string(mode) + "\n\n[Files]\n";
    for (size_t i = 0; i < include.size(); ++i) text += std::to_string(i + 1) + "=" + include[i] + "\n";
    WriteBytes(path, text);
  }

  Result Run(const std::vector<std::string>& args, bool as_nobody = false) const {
    return Child(scratch_, args, as_nobody).Wait();
  }

  std::vector<fs::path> OutFiles() const {
    std::vector<fs::path> files;
    if (fs::exists(out_)) {
      for (const auto& e : fs::directory_iterator(out_)) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  fs::path Job() const { return scratch_ / "job.ini"; }
  std::string JobSwitch() const { return "/i=" + Job().string(); }

  // The environment of a desktop session on Qt's offscreen platform.
  // Whether the program was built with its window (a build for the thread
  // sanitizer is not).
  static bool ProgramHasWindow() {
#ifdef TESSEL_HAVE_UI
    return true;
#else
    return false;
#endif
  }
  std::vector<std::string> DesktopEnv() const {
    const fs::path runtime = scratch_ / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    return {"QT_QPA_PLATFORM=offscreen", "LC_ALL=C.UTF-8", "XDG_RUNTIME_DIR=" + runtime.string()};
  }
  // A file of random bytes: level 9 takes the compressor a while over it.
  void WriteRandomFile(const fs::path& path, int mebibytes) const {
    std::ofstream big(path, std::ios::binary);
    std::mt19937_64 random(12345);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    for (int i = 0; i < mebibytes; ++i) {
      for (uint64_t& word : block) word = random();
      big.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
  }
  // Waits until done() holds, for at most a minute.
  static bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // The size of the temporary archive being written in out/, 0 while none.
  uintmax_t TemporaryArchiveSize() const {
    for (const fs::path& file : OutFiles()) {
      std::error_code ignored;
      if (file.filename().string().starts_with("QWX")) return fs::file_size(file, ignored);
    }
    return 0;
  }

  Scratch folder_;
  fs::path scratch_ = folder_.path();
  fs::path data_, out_;
};

TEST_F(ProgramTest, VersionAndHelp) {
  Result version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, TESSEL_VERSION "\n");
  Result help = Run({"/b", "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"/b", "/s", "/+m", "/-m", "/i="}) EXPECT_THAT(help.out, HasSubstr(word));
  EXPECT_TRUE(OutFiles().empty());
}

TEST_F(ProgramTest, TheHistoryKeepsEveryRunAndOldArchivesGo) {
  Result none = Run({"--history"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "no runs yet\n");
  EXPECT_THAT(Run({"--help"}).out, HasSubstr("--history"));

  WriteBytes(data_ / "a.txt", "alpha\n");
  WriteJob(Job(), (out_ / "%yyyy%%my%%dd%%hh%%mm%%ss%.zip").string(), {(data_ / "*.*").string()});
  std::string job = ReadBytes(Job());
  WriteBytes(Job(), job.insert(job.find("ZipAction="), "KeepArchives=1\n"));
  WriteBytes(out_ / "20200101000000.zip", "an old archive");
  WriteBytes(out_ / "notes.zip", "not one of the job's");
  Result run = Run({"/b", JobSwitch()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(fs::exists(out_ / "20200101000000.zip"));
  EXPECT_TRUE(fs::exists(out_ / "notes.zip"));
  EXPECT_EQ(OutFiles().size(), 2u);

  const std::string log = ReadBytes(scratch_ / "home" / ".local" / "state" / "tessel-backup" / "history.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_THAT(log, HasSubstr("\tok\t"));
  EXPECT_THAT(log, HasSubstr("\tудалены старые архивы: 20200101000000.zip\n"));
  Result table = Run({"--history"});
  EXPECT_EQ(table.status, 0);
  EXPECT_THAT(table.out, ::testing::StartsWith("Start "));
  EXPECT_THAT(table.out, HasSubstr("  ok  "));
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 2) << table.out;

  // A state folder that cannot be made: one line on standard error, the
  // run's outcome as it was.
  WriteBytes(scratch_ / "state", "a file");
  Result unwritable = Child(scratch_, {"/b", JobSwitch()}, false, {"XDG_STATE_HOME=" + (scratch_ / "state").string()}).Wait();
  EXPECT_EQ(unwritable.status, 0);
  EXPECT_EQ(unwritable.err, "tessel-backup: Cannot write " + (scratch_ / "state" / "tessel-backup" / "history.log").string() +
                                ": Not a directory\n");
}

TEST_F(ProgramTest, BatchRunFromTheDefaultConfigurationEndsSilently) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  WriteBytes(data_ / "sub" / "b.log", std::string(300000, 'b'));
  const fs::path config = scratch_ / "home" / ".config" / "tessel-backup" / "Config.ini";
  WriteJob(config, (out_ / "backup-%yyyy%%my%%dd%.zip").string(), {(data_ / "*.*").string()});
  // The configuration must be saved anew at the end.
  std::string old = ReadBytes(config);
  WriteBytes(config, old.replace(old.find("Version=1.3"), 11, "Version=1.2"));

  Result result = Run({"/B"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(ReadBytes(config), HasSubstr("Version=1.3"));
  const std::vector<fs::path> files = OutFiles();
  ASSERT_EQ(files.size(), 1u);
  const auto [status, text] = ShellOutput("unzip -t '" + files[0].string() + "'");
  EXPECT_EQ(status, 0) << text;
  EXPECT_THAT(text, HasSubstr("a.txt"));
  EXPECT_THAT(text, HasSubstr("sub/b.log"));
}

TEST_F(ProgramTest, CompletionMessageWithPlusM) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.*").string()});
  Result result = Run({"/b", "/-m", "/+m", JobSwitch()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Архивация закончена\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(ProgramTest, FailingJobsReportTheirErrorAndExitOne) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  const struct {
    std::string name_template;
    const char* message;
  } cases[] = {
      {"no-folder-%yyyy%.zip", "tessel-backup: Unable to create directory\n"},
      {(out_ / "choose?").string(), "tessel-backup: Пользователь прервал ввод имени архива.\n"},
  };
  for (const auto& c : cases) {
    WriteJob(Job(), c.name_template, {(data_ / "*.*").string()});
    Result result = Run({"/b", "/+m", JobSwitch()});
    EXPECT_EQ(result.status, 1) << c.name_template;
    EXPECT_EQ(result.err, c.message);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(OutFiles().empty());
}

// A value the reading rules would cut, and a file that is no job file: the
// batch run ends with status 1 before writing anything, the job file included.
TEST_F(ProgramTest, JobFileThatCannotBeTakenAsItStandsFailsAndStaysUnchanged) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.*").string()});
  const std::string job = ReadBytes(Job());
  const std::string long_name = (out_ / std::string(2100, 'n')).string() + ".zip";
  std::string jpeg = "\xFF\xD8\xFF\xE0";
  jpeg += std::string(1, '\0') + "\x10JFIF" + std::string(3, '\0') + "[Config]\nZipName=/tmp/x.zip\n";
  const struct {
    std::string image;
    std::string message;
  } cases[] = {
      {job + "[FilesNotInclude]\n1=" + std::string(10000, '*') + "x\n", "[FilesNotInclude] 1: длиннее 500 символов"},
      {"[Config]\nZipName=" + long_name + job.substr(job.find("\nVersion")), "[Config] ZipName: длиннее 2047 символов"},
      {jpeg, "Файл " + Job().string() + " не является файлом задания; он не перезаписывается\n"},
  };
  for (const auto& c : cases) {
    WriteBytes(Job(), c.image);
    Result result = Run({"/b", "/+m", JobSwitch()});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_THAT(result.err, ::testing::StartsWith("tessel-backup: "));
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(ReadBytes(Job()), c.image);
    EXPECT_TRUE(OutFiles().empty());
  }
}

// A job without include masks is saved and then fails; one whose masks select
// no file writes its archive but says so and does not end as a success.
TEST_F(ProgramTest, AJobThatSelectsNothingIsNoSuccess) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  WriteJob(Job(), (out_ / "x.zip").string(), {});
  std::string old = ReadBytes(Job());
  WriteBytes(Job(), old.replace(old.find("Version=1.3"), 11, "Version=1.2"));
  Result empty = Run({"/b", "/+m", JobSwitch()});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "tessel-backup: В задании нет ни одной маски включения\n");
  EXPECT_EQ(empty.out, "");
  EXPECT_THAT(ReadBytes(Job()), HasSubstr("Version=1.3"));
  EXPECT_TRUE(OutFiles().empty());

  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.none").string()});
  Result nothing = Run({"/b", JobSwitch()});
  EXPECT_EQ(nothing.status, 2);
  EXPECT_EQ(nothing.err, "tessel-backup: Не выбрано ни одного файла\n");
  EXPECT_EQ(OutFiles(), std::vector<fs::path>{out_ / "x.zip"});
}

// A file name holding control characters reaches standard error escaped: it
// cannot forge a line of the report or drive the terminal of whoever reads it.
TEST_F(ProgramTest, ControlCharactersOfANameReachTheReportEscaped) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  const fs::path named = data_ / "b\nc.txt: Permission denied\033[2J\tx.txt";
  WriteBytes(named, "held\n");
  LeasedFile lease(named.string());
  ASSERT_TRUE(lease.Held());
  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.*").string()});
  Result result = Run({"/b", JobSwitch()});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_THAT(result.err, ::testing::StartsWith(data_.string() + "/b\\nc.txt: Permission denied\\033[2J\\tx.txt: "));
  EXPECT_EQ(result.err.find_first_of("\033\t"), std::string::npos);
}

TEST_F(ProgramTest, WithoutBatchAndWithoutDisplayItSaysSo) {
  Result result = Run({"/s"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("tessel-backup: "));
}

TEST_F(ProgramTest, UnreadableFileIsNamedAndExitsTwo) {
  // Permission bits stop nobody but an unprivileged user.
  const bool root = geteuid() == 0;
  fs::permissions(scratch_, fs::perms::all);
  fs::permissions(scratch_ / "home", fs::perms::all);
  fs::permissions(data_, fs::perms::all);
  WriteBytes(data_ / "open.txt", "readable\n");
  WriteBytes(data_ / "secret.txt", "nobody may read this\n");
  fs::permissions(data_ / "open.txt", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(data_ / "secret.txt", fs::perms::none);
  // A folder that cannot be listed hides its files: they are missed as well.
  WriteBytes(data_ / "locked" / "inner.txt", "nobody may list this\n");
  fs::permissions(data_ / "locked", fs::perms::none);
  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.*").string()});
  fs::permissions(Job(), fs::perms::all);
  if (root && Run({"--version"}, true).status != 0) {
    GTEST_SKIP() << "the program cannot be run as user " << kNobody;
  }
  Result result = Run({"/b", JobSwitch()}, root);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_THAT(result.err, HasSubstr((data_ / "secret.txt").string() + ": Permission denied"));
  EXPECT_THAT(result.err, HasSubstr((data_ / "locked").string() + "/: Permission denied"));
  const std::vector<fs::path> files = OutFiles();
  ASSERT_EQ(files.size(), 1u);
  const auto [status, text] = ShellOutput("unzip -Z1 '" + files[0].string() + "'");
  EXPECT_EQ(status, 0);
  EXPECT_THAT(text, HasSubstr("open.txt"));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("secret.txt")));
}

TEST_F(ProgramTest, TerminationSignalStopsTheRunAndLeavesNothing) {
  // Random data at level 9 takes the compressor long enough to be stopped.
  WriteRandomFile(data_ / "random.bin", 80);
  WriteJob(Job(), (out_ / "big.zip").string(), {(data_ / "*.*").string()}, 9);
  Child child(scratch_, {"/b", JobSwitch()}, false);
  // Wait until the archive is being written, then stop it as a scheduler would.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (OutFiles().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
  Result result = child.Wait();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.err, "tessel-backup: Пользователь прервал операцию\n");
  EXPECT_TRUE(OutFiles().empty()) << OutFiles().front();
}

// True once the process catches SIGTERM: its handlers are in place.
bool CatchesTerm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
  }
  return false;
}

TEST_F(ProgramTest, BatchWithWindowStoppedAtAnyMomentEndsWithStatusOne) {
  if (!ProgramHasWindow()) GTEST_SKIP() << "the program is built without its window";
  WriteRandomFile(data_ / "random.bin", 64);
  const struct {
    const char* moment;
    std::function<bool()> reached;
  } moments[] = {
      // The run has begun: it has saved the job, and has not read a file yet
      // or has only just begun the first.
      {"as the run begins", [&] { return ReadBytes(Job()).find("Version=1.3") != std::string::npos; }},
      {"inside a large file", [&] { return TemporaryArchiveSize() > (2u << 20); }},
  };
  for (const auto& m : moments) {
    SCOPED_TRACE(m.moment);
    WriteJob(Job(), (out_ / "big.zip").string(), {(data_ / "*.*").string()}, 9);
    std::string job = ReadBytes(Job());
    WriteBytes(Job(), job.replace(job.find("Version=1.3"), 11, "Version=1.2"));
    Child child(scratch_, {"/b", "/s", JobSwitch()}, false, DesktopEnv());
    ASSERT_TRUE(WaitFor([&] { return CatchesTerm(child.Pid()) && m.reached(); }));
    ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
    Result result = child.Wait();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_THAT(result.err, HasSubstr("tessel-backup: Пользователь прервал операцию\n"));
    EXPECT_TRUE(OutFiles().empty()) << OutFiles().front();
  }
}

TEST_F(ProgramTest, BatchWithWindowCompletesAndNamesWhatItLeftOut) {
  if (!ProgramHasWindow()) GTEST_SKIP() << "the program is built without its window";
  WriteBytes(data_ / "a.txt", "alpha\n");
  // Cannot be opened while another process holds it.
  WriteBytes(data_ / "unreadable.bin", "held");
  LeasedFile lease((data_ / "unreadable.bin").string());
  ASSERT_TRUE(lease.Held());
  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.*").string()});
  Result result = Child(scratch_, {"/b", "/s", JobSwitch()}, false, DesktopEnv()).Wait();
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_THAT(result.err, HasSubstr((data_ / "unreadable.bin").string() + ": "));
  const auto [status, text] = ShellOutput("unzip -Z1 '" + (out_ / "x.zip").string() + "'");
  EXPECT_EQ(status, 0) << text;
  EXPECT_THAT(text, HasSubstr("a.txt"));
  // The window's place is remembered, and only in the state folder.
  EXPECT_TRUE(fs::exists(scratch_ / "home" / ".local" / "state" / "tessel-backup" / "window.ini"));
}

TEST_F(ProgramTest, TheWindowSavesTheJobAndEndsOnSigterm) {
  if (!ProgramHasWindow()) GTEST_SKIP() << "the program is built without its window";
  WriteJob(Job(), (out_ / "x.zip").string(), {(data_ / "*.*").string()});
  std::string job = ReadBytes(Job());
  WriteBytes(Job(), job.replace(job.find("Version=1.3"), 11, "Version=1.2"));
  for (const int signal_number : {SIGTERM, SIGHUP}) {
    Child child(scratch_, {JobSwitch()}, false, DesktopEnv());
    ASSERT_TRUE(WaitFor([&] { return CatchesTerm(child.Pid()); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the window is up
    ASSERT_EQ(kill(child.Pid(), signal_number), 0);
    Result result = child.Wait();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(ReadBytes(Job()), HasSubstr("Version=1.3"));  // saved as a close saves
    WriteBytes(Job(), job);
  }
  EXPECT_TRUE(OutFiles().empty());
}

TEST_F(ProgramTest, EarlierArchivesInTheBackedUpFolderAreLeftOut) {
  // The archives go into a folder that the include mask covers.
  WriteBytes(data_ / "a.txt", "alpha\n");
  const fs::path backups = data_ / "backups";
  WriteJob(Job(), (backups / "%yyyy%%my%%dd%%hh%%mm%%ss%.zip").string(), {(data_ / "*.*").string()});
  ASSERT_EQ(Run({"/b", JobSwitch()}).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Result second = Run({"/b", JobSwitch()});
  ASSERT_EQ(second.status, 0) << second.err;
  std::vector<fs::path> archives;
  for (const auto& e : fs::directory_iterator(backups)) archives.push_back(e.path());
  std::sort(archives.begin(), archives.end());
  ASSERT_EQ(archives.size(), 2u);
  for (const fs::path& archive : archives) {
    const auto [status, text] = ShellOutput("unzip -Z1 '" + archive.string() + "'");
    EXPECT_EQ(status, 0) << text;
    EXPECT_THAT(text, HasSubstr("a.txt"));
    EXPECT_THAT(text, ::testing::Not(HasSubstr(".zip"))) << archive;
  }
}

TEST_F(ProgramTest, TwoRunsOnOneArchiveLoseNothing) {
  // Two jobs with one archive name, started at the same moment as a
  // scheduler would: the second waits for the first and updates its result.
  const fs::path archive = out_ / "shared.zip";
  std::vector<std::string> expected;
  for (const char* job : {"one", "two"}) {
    std::vector<std::string> include;
    for (int i = 0; i < 3; ++i) {
      const std::string name = std::string(job) + std::to_string(i) + ".txt";
      WriteBytes(data_ / job / name, name + " of job " + job);
      expected.push_back(data_.relative_path().string() + "/" + job + "/" + name);
    }
    WriteJob(scratch_ / (std::string(job) + ".ini"), archive.string(), {(data_ / job / "*.*").string()});
    fs::create_directories(scratch_ / job / "home");
  }
  std::sort(expected.begin(), expected.end());
  for (int trial = 0; trial < 20; ++trial) {
    SCOPED_TRACE(trial);
    fs::remove_all(out_);
    Child one(scratch_ / "one", {"/b", "/i=" + (scratch_ / "one.ini").string()}, false);
    Child two(scratch_ / "two", {"/b", "/i=" + (scratch_ / "two.ini").string()}, false);
    const Result first = one.Wait();
    const Result second = two.Wait();
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(second.status, 0) << second.err;
    const auto [status, text] = ShellOutput("unzip -Z1 '" + archive.string() + "'");
    ASSERT_EQ(status, 0) << text;
    std::vector<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) names.push_back(line);
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names, expected);
    ASSERT_EQ(OutFiles(), std::vector<fs::path>{archive});
  }
}

TEST_F(ProgramTest, TerminationSignalEndsTheWaitForABusyArchive) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  const fs::path archive = out_ / "busy.zip";
  WriteJob(Job(), archive.string(), {(data_ / "*.*").string()});
  // Another run holds the archive's lock file.
  fs::create_directories(out_);
  const int held = open((archive.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  Child child(scratch_, {"/b", JobSwitch()}, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
  const auto stopped = std::chrono::steady_clock::now();
  Result result = child.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(500));
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.err, "tessel-backup: Пользователь прервал операцию\n");
  EXPECT_FALSE(fs::exists(archive));
  close(held);
}

TEST_F(ProgramTest, AnEntryLostByADamagedArchiveIsNamedAndExitsTwo) {
  WriteBytes(data_ / "a.txt", "alpha\n");
  WriteBytes(data_ / "b.txt", "bravo\n");
  const fs::path archive = out_ / "kept.zip";
  WriteJob(Job(), archive.string(), {(data_ / "*.*").string()}, 6, 1);
  ASSERT_EQ(Run({"/b", JobSwitch()}).status, 0);
  // The second directory record is made to point at the first entry's data.
  std::string bytes = ReadBytes(archive);
  auto le = [&](size_t at, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return value;
  };
  const size_t central = le(bytes.size() - 22 + 16, 4);
  const size_t second = central + 46 + le(central + 28, 2);
  for (size_t i = 0; i < 4; ++i) bytes[second + 42 + i] = '\0';
  WriteBytes(archive, bytes);
  fs::remove(data_ / "b.txt");

  const Result result = Run({"/b", JobSwitch()});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_THAT(result.err, HasSubstr("b.txt: в старом архиве указывает на данные другой записи\n"));
  const auto [status, text] = ShellOutput("unzip -Z1 '" + archive.string() + "'");
  EXPECT_EQ(status, 0) << text;
  EXPECT_THAT(text, HasSubstr("a.txt"));
}

}  // namespace
