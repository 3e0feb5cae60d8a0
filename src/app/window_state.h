#pragma once
// Where the main window was and how large, kept between runs of the program
// in a state file of its own: it belongs to this desktop, not to the job.
#include <cstdint>
#include <string>

namespace tessel {

struct WindowGeometry {
  int32_t Left = 0;    // the window's inner area on the desktop
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  bool Maximized = false;

  // A size was remembered (a file without one gives the reference layout).
  bool HasSize() const { return Width > 0 && Height > 0; }
};

// $XDG_STATE_HOME/tessel-backup (~/.local/state/tessel-backup when unset):
// the program's state on this desktop, the window's place and the run history.
std::string ProgramStateFolder();
// $XDG_STATE_HOME/tessel-backup/window.ini (~/.local/state/... when unset).
std::string WindowStatePath();

// The geometry in the file; a missing or unreadable file, or a value that is
// not a number, gives no size.
WindowGeometry LoadWindowGeometry(const std::string& path);
// Writes the geometry to the file (and its folder, when missing), replacing
// it whole. False when it cannot be written: the window's place is not worth
// an error message.
bool SaveWindowGeometry(const std::string& path, const WindowGeometry& geometry);

}  // namespace tessel
