#pragma once
// The program with its window.
#include "app/command_line.h"

namespace tessel {

// Runs the program with its window: the interactive mode, the batch mode with a window ("/b" "/s",
// TMyThread) and the hidden batch mode when a display exists. Returns the process exit status:
// 0 after success and in the interactive mode, 1 when a batch run failed or was cancelled,
// 2 when the archive was written but some files had to be left out.
int RunGuiApplication(int argc, char** argv, const StartupOptions& options);

}  // namespace tessel
