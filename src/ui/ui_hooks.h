#pragma once
// The message boxes, modal dialogs, file dialog and link opening of the
// windows, reached through replaceable functions so that tests drive them
// without ever blocking on a modal box.
#include <QString>
#include <functional>
#include <string>
#include <string_view>

class QDialog;
class QWidget;

namespace tessel {

struct UiHooks {
  // "Удалить запись?"-style question with Yes and No; true for Yes.
  std::function<bool(QWidget* parent, const QString& text)> AskYesNo;
  // The error message box; text is already finished (see ErrorBoxText).
  std::function<void(QWidget* parent, const QString& text)> ShowError;
  // A plain message box without icon and with one OK button.
  std::function<void(QWidget* parent, const QString& text)> ShowMessage;
  // Runs a dialog modally; returns QDialog::Accepted or QDialog::Rejected.
  std::function<int(QDialog& dialog)> ExecDialog;
  // The open-file dialog for an archive name ending in "?"; false on cancel.
  std::function<bool(QWidget* parent, const QString& initial_folder, QString& chosen)> ChooseArchive;
  // Opens a link with the desktop's default handler.
  std::function<void(const QString& url)> OpenUrl;
};

// Hooks that show the real boxes and dialogs of the toolkit.
UiHooks DefaultUiHooks();

// The caption of every message box: the executable's file name up to its
// first full stop, the first letter in upper case and every other letter in
// lower case ("tessel-backup" -> "Tessel-backup").
QString ApplicationTitleOf(const QString& executable_path);
// ApplicationTitleOf for the running program.
QString ApplicationTitle();
// The text of an error box: the message with a full stop appended when its
// last character's code is above that of the full stop.
QString ErrorBoxText(const QString& message);

inline QString ToQ(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string FromQ(const QString& text) { return text.toUtf8().toStdString(); }

// The caption of every window.
inline constexpr char kWindowCaption[] = "Tessel Backup";

}  // namespace tessel
