#pragma once
// Start-up options taken from the program's arguments.
#include <string>
#include <vector>

namespace tessel {

struct StartupOptions {
  bool Batch = false;                  // "/b": run the job at once, then close
  bool ShowWindow = false;             // "/s": show the window during a batch run
  bool ShowCompletionMessage = false;  // "/+m" true, "/-m" false
  std::string ConfigPath;              // "/i=<path>", else DefaultConfigPath()
};

// Reads the arguments (without the program name). Switches are case-blind;
// unknown arguments are ignored. A relative "/i=" path is made absolute
// against the current folder.
StartupOptions ParseCommandLine(const std::vector<std::string>& args);
StartupOptions ParseCommandLine(int argc, char** argv);

// $XDG_CONFIG_HOME/tessel-backup/Config.ini, or ~/.config/tessel-backup/Config.ini.
std::string DefaultConfigPath();

}  // namespace tessel
