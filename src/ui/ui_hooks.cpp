#include "ui/ui_hooks.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace tessel {
namespace {

constexpr char kOpenZipTitle[] = "Открыть Zip файл";
constexpr char kOpenZipFilters[] =
    "Zip файлы (*.zip);;SFX файлы (*.exe);;Jar файлы (*.jar);;All файлы (*)";

}  // namespace

QString ApplicationTitleOf(const QString& executable_path) {
  QString name = QFileInfo(executable_path).fileName();
  const qsizetype dot = name.indexOf(u'.');
  if (dot >= 0) name.truncate(dot);
  if (name.isEmpty()) return name;
  return name.left(1).toUpper() + name.mid(1).toLower();
}

QString ApplicationTitle() {
  return ApplicationTitleOf(QCoreApplication::applicationFilePath());
}

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

UiHooks DefaultUiHooks() {
  UiHooks hooks;
  hooks.AskYesNo = [](QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, ApplicationTitle(), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  hooks.ShowError = [](QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), text, QMessageBox::Ok, parent);
    // Messages hold file names, which may look like markup; they are text.
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };
  hooks.ShowMessage = [](QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };
  hooks.ExecDialog = [](QDialog& dialog) { return dialog.exec(); };
  hooks.ChooseArchive = [](QWidget* parent, const QString& initial_folder, QString& chosen) {
    const QString folder = !initial_folder.isEmpty() && QFileInfo(initial_folder).isDir()
                               ? initial_folder
                               : QDir::homePath();
    const QString file = QFileDialog::getOpenFileName(
        parent, QString::fromUtf8(kOpenZipTitle), folder, QString::fromUtf8(kOpenZipFilters));
    if (file.isEmpty()) return false;
    chosen = file;
    return true;
  };
  hooks.OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  return hooks;
}

}  // namespace tessel
