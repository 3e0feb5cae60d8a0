#include "ui/application.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>

#include "app/run_report.h"
#include "app/run_session.h"
#include "ui/main_window.h"
#include "ui/tile_picture.h"

namespace tessel {
namespace {

constexpr char kQtTranslation[] = "qtbase";
constexpr char kTranslationSeparator[] = "_";

}  // namespace

bool UseRussianInterface(QCoreApplication& application) {
  const QLocale russian(QLocale::Russian, QLocale::Russia);
  QLocale::setDefault(russian);
  auto* translator = new QTranslator(&application);
  if (!translator->load(russian, QString::fromLatin1(kQtTranslation), QString::fromLatin1(kTranslationSeparator),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

int RunGuiApplication(int argc, char** argv, const StartupOptions& options) {
  // QApplication keeps a reference to the count for its whole life.
  int qt_argc = argc;
  QApplication application(qt_argc, argv);
  UseRussianInterface(application);
  // Window titles then read "Tessel Backup" without the program's name added.
  application.setApplicationDisplayName(QString::fromUtf8(kWindowCaption));
  application.setWindowIcon(TileIcon());

  TForm1 window(options);
  // A stop signal wakes the window's thread through the signals' pipe.
  QSocketNotifier signal_notifier(StopSignals::Fd(), QSocketNotifier::Read);
  signal_notifier.setEnabled(StopSignals::Fd() >= 0);
  QObject::connect(&signal_notifier, &QSocketNotifier::activated, &window, [&window] {
    if (StopSignals::Take() != 0) window.OnStopSignal();
  });

  bool closed = false;
  if (options.Batch && !options.ShowWindow) {
    // The hidden run happens before the window is shown. It ends with the
    // window closed, unless an error keeps it open with the batch rules.
    window.RunHiddenBatch();
    closed = window.WasClosed();
  }
  if (!closed) {
    window.ShowWindow();
    application.exec();
  }
  // A batch run leaves nothing out without a word: its error and the files
  // it could not read go to standard error for the scheduler's log.
  if (options.Batch) WriteRunReport(stderr, window.Session().Report());
  return window.ExitStatus();
}

}  // namespace tessel
