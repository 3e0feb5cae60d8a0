#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace tessel {
namespace {

TEST(CommandLine, Switches) {
  struct Case {
    std::vector<std::string> args;
    bool batch, show, message;
  } const cases[] = {
      {{}, false, false, false},
      {{"/b"}, true, false, false},
      {{"/B"}, true, false, false},
      {{"/b", "/s"}, true, true, false},
      {{"/s", "/b"}, true, true, false},
      {{"/s"}, false, true, false},
      {{"/b", "/+m", "/-m"}, true, false, false},
      {{"/b", "/-m", "/+m"}, true, false, true},
      {{"/+M"}, false, false, true},
      // Switches must stand alone and use "/".
      {{"-b", "/bs", "/b ", " /b", "b", "/", "/+", "/m", "/sb"}, false, false, false},
  };
  for (const Case& c : cases) {
    const StartupOptions o = ParseCommandLine(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    EXPECT_EQ(o.Batch, c.batch) << joined;
    EXPECT_EQ(o.ShowWindow, c.show) << joined;
    EXPECT_EQ(o.ShowCompletionMessage, c.message) << joined;
    EXPECT_EQ(o.ConfigPath, DefaultConfigPath()) << joined;
  }
}

TEST(CommandLine, ConfigPath) {
  EXPECT_EQ(ParseCommandLine({"/i=/Jobs/Night.ini"}).ConfigPath, "/Jobs/Night.ini");
  EXPECT_EQ(ParseCommandLine({"/I=/Jobs/Night.ini"}).ConfigPath, "/Jobs/Night.ini");
  EXPECT_EQ(ParseCommandLine({"/i=/My Files/Задание.INI"}).ConfigPath, "/My Files/Задание.INI");
  EXPECT_EQ(ParseCommandLine({"/i="}).ConfigPath, "");
  EXPECT_EQ(ParseCommandLine({"/i=/a.ini", "/b", "/i=/b.ini"}).ConfigPath, "/b.ini");
  // "/i=/b" sets the path only, not the batch mode.
  EXPECT_FALSE(ParseCommandLine({"/i=/b"}).Batch);

  char* cwd = ::getcwd(nullptr, 0);
  EXPECT_EQ(ParseCommandLine({"/i=jobs/night.ini"}).ConfigPath, std::string(cwd) + "/jobs/night.ini");
  std::free(cwd);
}

TEST(CommandLine, ArgvSkipsProgramName) {
  char prog[] = "/b";  // argv[0] is never a switch
  char show[] = "/s";
  char path[] = "/i=/x.ini";
  char* argv[] = {prog, show, path, nullptr};
  const StartupOptions o = ParseCommandLine(3, argv);
  EXPECT_FALSE(o.Batch);
  EXPECT_TRUE(o.ShowWindow);
  EXPECT_EQ(o.ConfigPath, "/x.ini");
}

TEST(CommandLine, DefaultConfigPathFollowsXdg) {
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old_xdg ? old_xdg : "";
  const char* old_home = std::getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(DefaultConfigPath(), "/xdg/tessel-backup/Config.ini");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DefaultConfigPath(), "/home/u/.config/tessel-backup/Config.ini");
  EXPECT_EQ(ParseCommandLine(std::vector<std::string>{}).ConfigPath, "/home/u/.config/tessel-backup/Config.ini");
  if (old_xdg) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  if (old_home) ::setenv("HOME", saved_home.c_str(), 1); else ::unsetenv("HOME");
}

}  // namespace
}  // namespace tessel
