// tessel-backup: parses the command line, picks the run mode, starts the program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/batch_run.h"
#include "app/command_line.h"
#include "app/run_history.h"
#include "app/window_state.h"
#include "app/run_session.h"

#ifdef TESSEL_HAVE_UI
#include "ui/application.h"
#endif

namespace {

constexpr const char* kVersion = TESSEL_VERSION;
constexpr std::string_view kHelpOption = "--help";
constexpr std::string_view kVersionOption = "--version";
constexpr std::string_view kHistoryOption = "--history";

constexpr const char* kUsage =
    "Usage: tessel-backup [/b] [/s] [/+m | /-m] [/i=CONFIG]\n"
    "       tessel-backup --history | --help | --version\n"
    "\n"
    "Backs up the files of the configured job into one zip archive.\n"
    "Without /b the window opens and the job is edited and run there.\n"
    "\n"
    "  /b         run the configured backup at once and end (for a scheduler)\n"
    "  /s         with /b: show the window during the run\n"
    "  /+m        with /b: report \"Архивация закончена\" when the run has completed\n"
    "  /-m        with /b: no completion message (the default)\n"
    "  /i=CONFIG  use the configuration file CONFIG instead of\n"
    "             $XDG_CONFIG_HOME/tessel-backup/Config.ini (~/.config/...)\n"
    "  --history  print the last 20 runs from the run history and end\n"
    "  --help     print this text and end\n"
    "  --version  print the version and end\n"
    "\n"
    "Switches are case-blind. Exit status: 0 success, 1 the run failed or was\n"
    "stopped (or the job has no include mask), 2 the archive was written but\n"
    "some files could not be read or no file was selected.\n"
    "\n"
    "Keys of the job file's [Config] section for speed, checks and old archives:\n"
    "  Threads=N       compress on N threads (0: one per online core, at most 64);\n"
    "                  the archive is the same whatever N is\n"
    "  Verify=1        read every kept entry and the finished archive back before\n"
    "                  it replaces the old one (0: no check)\n"
    "  KeepArchives=N  keep the N newest archives the template named in the\n"
    "                  archive's folder, delete older ones (0: keep all)\n"
    "\n"
    "Every run adds one line to $XDG_STATE_HOME/tessel-backup/history.log\n"
    "(~/.local/state/tessel-backup/history.log): start, status, seconds,\n"
    "archive, entries written and carried over, files left out, bytes read,\n"
    "archive bytes and a message, separated by tabs; past 1 MiB the file\n"
    "becomes history.log.1.\n";

constexpr const char* kNoDisplay = "no display: the window cannot open (use /b for a run without it)";
#ifndef TESSEL_HAVE_UI
constexpr const char* kNoWindow = "the window is not available in this build (use /b for a batch run)";
#endif

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// A window system to open a window on. QT_QPA_PLATFORM names one explicitly
// (offscreen among them), so it counts too.
bool HasDisplay() { return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"); }

void Complain(const char* message) { tessel::WriteProgramMessage(stderr, message); }

}  // namespace

int main(int argc, char** argv) {
  const tessel::StartupOptions options = tessel::ParseCommandLine(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == kHelpOption) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argv[i] == kVersionOption) {
      std::puts(kVersion);
      return 0;
    }
    if (argv[i] == kHistoryOption) {
      const std::string table =
          tessel::FormatHistoryTable(tessel::ReadHistory(tessel::HistoryPath(tessel::ProgramStateFolder())));
      std::fputs(table.c_str(), stdout);
      return 0;
    }
  }

  // From here on a stop signal stops the run, whichever mode follows.
  const tessel::StopSignals signals;
  const bool display = HasDisplay();
  if (options.Batch && !options.ShowWindow && !display) return tessel::RunBatch(options);

#ifdef TESSEL_HAVE_UI
  if (!display && !IsSet("QT_QPA_PLATFORM")) {
    Complain(kNoDisplay);
    return tessel::kExitFailed;
  }
  return tessel::RunGuiApplication(argc, argv, options);
#else
  // Without the window a hidden batch run needs no display either.
  if (options.Batch && !options.ShowWindow) return tessel::RunBatch(options);
  Complain(display ? kNoWindow : kNoDisplay);
  return tessel::kExitFailed;
#endif
}
