#pragma once
// The program with its window.
#include "app/command_line.h"

class QCoreApplication;

namespace tessel {

// Runs the program with its window: the interactive mode, the batch mode with a window ("/b" "/s")
// and the hidden batch mode when a display exists; every run on its worker thread. Returns the
// process exit status: 0 after success and in the interactive mode, 1 when a batch run failed or
// was cancelled, 2 when the archive was written but some files had to be left out.
int RunGuiApplication(int argc, char** argv, const StartupOptions& options);

// The interface is Russian whatever the desktop's language: Qt's own texts (standard buttons,
// context menus) come from its Russian translation, and dates, month and day names from the
// Russian locale. Call before the first widget is made. False when the translation is missing.
bool UseRussianInterface(QCoreApplication& application);

}  // namespace tessel
