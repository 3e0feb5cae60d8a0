// Entry point of every window test program: one QApplication on the
// offscreen platform (unless the caller chose another) with the program's
// Russian interface, the window state kept in a scratch folder, and every
// Qt warning turned into a test failure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include "ui/application.h"

namespace {

// Messages of the offscreen platform itself, which a desktop never shows.
bool IsOffscreenPlatformNoise(const QString& message) {
  return message.contains(QLatin1String("This plugin does not support"));
}

void FailOnWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtDebugMsg || type == QtInfoMsg) return;
  if (IsOffscreenPlatformNoise(message)) return;
  fprintf(stderr, "Qt: %s\n", qPrintable(message));
  ADD_FAILURE() << "Qt warning: " << message.toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The window's remembered place goes to a scratch folder, never to the
  // home folder of whoever runs the tests.
  QTemporaryDir state;
  qputenv("XDG_STATE_HOME", QFile::encodeName(state.path() + QStringLiteral("/state")));
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    QDir().mkpath(state.path() + QStringLiteral("/runtime"));
    QFile::setPermissions(state.path() + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(state.path() + QStringLiteral("/runtime")));
  }
  testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  if (!tessel::UseRussianInterface(application)) {
    fprintf(stderr, "Qt's Russian translation (qtbase_ru.qm) is missing: install qt6-translations-l10n\n");
    return 1;
  }
  qInstallMessageHandler(FailOnWarnings);
  return RUN_ALL_TESTS();
}
