#pragma once
// Shared pieces of the window tests: recording hooks that stand in for every
// modal box and dialog. Folders, files and commands come from tests/support.
#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <ostream>
#include <string>

#include "ui/ui_hooks.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tessel::test {

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
