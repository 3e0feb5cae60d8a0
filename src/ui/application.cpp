#include "ui/application.h"

#include <QApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "ui/main_window.h"
#include "ui/tile_picture.h"

namespace tessel {
namespace {

// How often the window's thread looks for a stop signal.
constexpr int kSignalPollMs = 100;

// Set by the signal handler, read by the window's thread.
volatile std::sig_atomic_t g_stop_signal = 0;

void OnStopSignal(int) { g_stop_signal = 1; }

// SIGINT, SIGTERM and SIGHUP stop a batch run as "Остановить" does.
void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

// A batch run leaves nothing out without a word: the files it could not read
// and its error go to standard error for the scheduler's log.
void ReportBatchRun(TForm1& window) {
  for (const SkippedFile& file : window.Controller().SkippedFiles()) {
    std::fprintf(stderr, "%s: %s\n", file.Path.c_str(), file.Reason.c_str());
  }
  if (const TMyThread* worker = window.Worker(); worker != nullptr && worker->Failed()) {
    std::fprintf(stderr, "%s\n", worker->ErrorMessage().c_str());
  }
}

}  // namespace

int RunGuiApplication(int argc, char** argv, const StartupOptions& options) {
  // QApplication keeps a reference to the count for its whole life.
  int qt_argc = argc;
  QApplication application(qt_argc, argv);
  // Window titles then read "Tessel Backup" without the program's name added.
  application.setApplicationDisplayName(QString::fromUtf8(kWindowCaption));
  application.setWindowIcon(TileIcon());

  TForm1 window(options);
  QTimer signal_watch;
  if (options.Batch) {
    InstallStopSignals();
    QObject::connect(&signal_watch, &QTimer::timeout, &window, [&window] {
      if (g_stop_signal == 0) return;
      g_stop_signal = 0;
      window.StopOnSignal();
    });
    signal_watch.start(kSignalPollMs);
  }
  if (options.Batch && !options.ShowWindow) {
    // The hidden run happens while the window is being created. After a
    // success its close request is handled at once, without showing the
    // window; after an error the window stays open with the batch rules.
    const bool succeeded = window.RunHiddenBatch();
    if (succeeded || window.StoppedBySignal()) {
      if (succeeded) {
        QCoreApplication::sendPostedEvents(&window);
      } else {
        window.close();  // stopped by a signal: nobody is there to close it
      }
      if (window.WasClosed()) {
        ReportBatchRun(window);
        return window.ExitStatus();
      }
    }
  }
  window.show();
  application.exec();
  window.ReleaseWorker();
  if (options.Batch) ReportBatchRun(window);
  return window.ExitStatus();
}

}  // namespace tessel
