#pragma once
// Shared pieces of the window tests: temporary folders and recording hooks
// that stand in for every modal box and dialog.
#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "ui/ui_hooks.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tessel::test {

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessel-ui-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Creates the folder path/relative (with its parents) and returns its path.
  std::string MakeFolder(const std::string& relative) const {
    const std::string folder = path_ + "/" + relative;
    std::filesystem::create_directories(folder);
    return folder;
  }

private:
  std::string path_;
};

// Hooks that record every box instead of showing it. Dialogs are answered by
// OnDialog (Rejected when unset).
struct RecordingHooks {
  QStringList Questions, Errors, Messages, OpenedUrls;
  bool Answer = true;
  int DialogsRun = 0;
  std::function<int(QDialog&)> OnDialog;

  void InstallInto(UiHooks& hooks) {
    hooks.AskYesNo = [this](QWidget*, const QString& text) {
      Questions << text;
      return Answer;
    };
    hooks.ShowError = [this](QWidget*, const QString& text) { Errors << text; };
    hooks.ShowMessage = [this](QWidget*, const QString& text) { Messages << text; };
    hooks.ExecDialog = [this](QDialog& dialog) {
      ++DialogsRun;
      return OnDialog ? OnDialog(dialog) : int(QDialog::Rejected);
    };
    hooks.ChooseArchive = [](QWidget*, const QString&, QString&) { return false; };
    hooks.OpenUrl = [this](const QString& url) { OpenedUrls << url; };
  }
};

}  // namespace tessel::test
