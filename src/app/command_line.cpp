#include "app/command_line.h"

#include "platform/paths.h"
#include "platform/text.h"

namespace tessel {
namespace {

constexpr const char* kConfigFolderName = "tessel-backup";
constexpr const char* kConfigFileName = "Config.ini";

constexpr std::string_view kBatchSwitch = "/b";
constexpr std::string_view kShowWindowSwitch = "/s";
constexpr std::string_view kNoMessageSwitch = "/-m";
constexpr std::string_view kMessageSwitch = "/+m";
constexpr std::string_view kConfigSwitch = "/i=";

}  // namespace

std::string DefaultConfigPath() {
  return JoinPath(JoinPath(ConfigFolder(), kConfigFolderName), kConfigFileName);
}

StartupOptions ParseCommandLine(const std::vector<std::string>& args) {
  StartupOptions options;
  options.ConfigPath = DefaultConfigPath();
  for (const std::string& arg : args) {
    // Only ASCII letters fold, so a Cyrillic path after "/i=" stays as written.
    const std::string lower = AsciiLower(arg);
    if (lower == kBatchSwitch) {
      options.Batch = true;
    } else if (lower == kShowWindowSwitch) {
      options.ShowWindow = true;
    } else if (lower == kNoMessageSwitch) {
      options.ShowCompletionMessage = false;
    } else if (lower == kMessageSwitch) {
      options.ShowCompletionMessage = true;
    } else if (lower.starts_with(kConfigSwitch)) {
      options.ConfigPath = AbsolutePath(std::string_view(arg).substr(kConfigSwitch.size()));
    }
  }
  return options;
}

StartupOptions ParseCommandLine(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr) args.emplace_back(argv[i]);
  }
  return ParseCommandLine(args);
}

}  // namespace tessel
