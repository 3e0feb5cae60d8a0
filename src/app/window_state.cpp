#include "app/window_state.h"

#include <exception>

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace tessel {
namespace {

constexpr const char* kStateFolderName = "tessel-backup";
constexpr const char* kStateFileName = "window.ini";
constexpr const char* kSection = "Window";
constexpr const char* kLeft = "Left";
constexpr const char* kTop = "Top";
constexpr const char* kWidth = "Width";
constexpr const char* kHeight = "Height";
constexpr const char* kMaximized = "Maximized";

}  // namespace

std::string ProgramStateFolder() { return JoinPath(StateFolder(), kStateFolderName); }

std::string WindowStatePath() { return JoinPath(ProgramStateFolder(), kStateFileName); }

WindowGeometry LoadWindowGeometry(const std::string& path) {
  const ProfileFile file = ProfileFile::Load(path);
  WindowGeometry geometry;
  geometry.Width = file.ReadInteger(kSection, kWidth, 0);
  geometry.Height = file.ReadInteger(kSection, kHeight, 0);
  if (!geometry.HasSize()) return {};
  geometry.Left = file.ReadInteger(kSection, kLeft, 0);
  geometry.Top = file.ReadInteger(kSection, kTop, 0);
  geometry.Maximized = file.ReadBool(kSection, kMaximized, false);
  return geometry;
}

bool SaveWindowGeometry(const std::string& path, const WindowGeometry& geometry) {
  ProfileFile file = ProfileFile::Load(path);
  file.WriteInteger(kSection, kLeft, geometry.Left);
  file.WriteInteger(kSection, kTop, geometry.Top);
  file.WriteInteger(kSection, kWidth, geometry.Width);
  file.WriteInteger(kSection, kHeight, geometry.Height);
  file.WriteBool(kSection, kMaximized, geometry.Maximized);
  if (!MakeFolders(DirName(path))) return false;
  try {
    ReplaceFileAtomically(path, file.Serialize());
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace tessel
