// How the window keeps up with a run: during a level-9 run over one large
// file of random bytes (300 MB by default) it asks the window to repaint
// every 10 ms and measures the longest time between two repaints; after
// "Остановить" it measures how long the run took to end; then it times a whole run made from the window against the
// same run made by the engine alone, without any window, and prints the
// ratio (the cost of showing the progress).
//
//   bench_window [--size MB] [--work FOLDER] [--seconds N]
//
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM names another.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ui/application.h"
#include "ui/main_window.h"
#include "zip/zip_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRepaintTargetMs = 100;
constexpr double kStopTargetMs = 500;
constexpr int kLevel = 9;

// Counts the window's repaints and keeps the longest gap between two.
class RepaintWatch : public QObject {
public:
  explicit RepaintWatch(QWidget& window) { window.installEventFilter(this); }
  void Reset() {
    clock_.start();
    longest_ms_ = 0;
    paints_ = 0;
  }
  double LongestGapMs() const { return std::max<double>(longest_ms_, static_cast<double>(clock_.elapsed())); }
  int Paints() const { return paints_; }

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint || event->type() == QEvent::UpdateRequest) {
      if (event->type() == QEvent::Paint) ++paints_;
      longest_ms_ = std::max<qint64>(longest_ms_, clock_.restart());
    }
    return false;
  }

private:
  QElapsedTimer clock_;
  qint64 longest_ms_ = 0;
  int paints_ = 0;
};

void WriteRandomFile(const std::string& path, int mebibytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size == static_cast<off_t>(mebibytes) << 20) return;
  std::printf("writing %d MB of random bytes to %s ...\n", mebibytes, path.c_str());
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(2024);
  std::vector<uint64_t> block(1 << 17);
  for (int i = 0; i < mebibytes; ++i) {
    for (uint64_t& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
  }
}

// Waits in the window's event loop, which sleeps between events, until
// done() holds.
template <class Done> void Await(Done done) {
  if (done()) return;
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  check.start(5);
  loop.exec();
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
  int size_mb = 300;
  int watch_seconds = 5;
  std::string work = "/tmp/tessel_bench_window";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--size") size_mb = std::atoi(argv[i + 1]);
    if (option == "--work") work = argv[i + 1];
    if (option == "--seconds") watch_seconds = std::atoi(argv[i + 1]);
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The window's place and the runs' history stay in the work folder.
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString(work + "/state"));
  std::filesystem::create_directories(work + "/data");
  const std::string data = work + "/data/random.bin";
  const std::string archive = work + "/out/backup.zip";
  WriteRandomFile(data, size_mb);

  QApplication application(argc, argv);
  tessel::UseRussianInterface(application);
  tessel::StartupOptions options;
  options.ConfigPath = work + "/Config.ini";
  tessel::TForm1 window(options);
  window.Hooks().ShowMessage = [](QWidget*, const QString&) {};
  window.Hooks().ShowError = [](QWidget*, const QString&) {};
  tessel::JobSettings& job = window.Job();
  job.IncludeMasks.Clear();
  job.IncludeMasks.Append(work + "/data/*.*");
  job.ExcludeMasks.Clear();
  job.Level = kLevel;
  window.dbgFiles()->Model().Reload();
  window.dbgNotInclude()->Model().Reload();
  window.eFileNameMask()->setText(QString::fromStdString(archive));
  window.Controller().ApplyEngineSettings();
  window.show();
  RepaintWatch watch(window);
  // A repaint is asked for far more often than the target allows between two.
  QTimer ask;
  QObject::connect(&ask, &QTimer::timeout, &window, [&window] { window.update(); });
  ask.start(10);

  // 1. Repaints during the run, then the stop.
  std::filesystem::remove(archive);
  watch.Reset();
  window.Button1()->click();
  const auto watch_end = Clock::now() + std::chrono::seconds(watch_seconds);
  Await([&] { return Clock::now() >= watch_end || !window.IsRunning(); });
  const double longest_gap = watch.LongestGapMs();
  const int paints = watch.Paints();
  const bool stopped_in_time = window.IsRunning();
  const auto stop_start = Clock::now();
  window.Button2()->click();
  Await([&] { return !window.IsRunning(); });
  const double stop_ms = Seconds(stop_start) * 1000;
  Await([&] { return window.Button1()->isEnabled(); });
  ask.stop();

  // 2. A whole run from the window against the engine alone.
  const auto window_start = Clock::now();
  window.Button1()->click();
  Await([&] { return !window.IsRunning() && window.Button1()->isEnabled(); });
  const double window_seconds = Seconds(window_start);
  const bool window_ok = window.Session().Report().ArchiveWritten();

  std::filesystem::remove(archive);
  tessel::TZipWriter engine;
  engine.SetRelativePaths(true);
  engine.PackLevel = kLevel;
  engine.SetZipName(archive);
  engine.FilesList() = {work + "/data/*.*"};
  const auto engine_start = Clock::now();
  bool engine_ok = true;
  try {
    engine.ZipFiles();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "engine failed: %s\n", error.what());
    engine_ok = false;
  }
  const double engine_seconds = Seconds(engine_start);

  std::printf("\nlevel %d over %d MB of random bytes\n", kLevel, size_mb);
  std::printf("%-44s %10s %10s\n", "", "ours", "target");
  std::printf("%-44s %8.0f ms %7.0f ms%s\n", "longest time without a repaint during a run", longest_gap,
              kRepaintTargetMs, longest_gap <= kRepaintTargetMs ? "" : "  MISSED");
  std::printf("%-44s %10d\n", "repaints during the watch", paints);
  if (stopped_in_time) {
    std::printf("%-44s %8.0f ms %7.0f ms%s\n", "from \"Остановить\" to the end of the run", stop_ms, kStopTargetMs,
                stop_ms <= kStopTargetMs ? "" : "  MISSED");
  } else {
    std::printf("the run ended before it could be stopped: use a larger --size\n");
  }
  std::printf("\n%-44s %10s %10s %8s\n", "whole run", "window", "engine", "ratio");
  std::printf("%-44s %9.2fs %9.2fs %8.3f%s\n", "time", window_seconds, engine_seconds,
              engine_seconds > 0 ? window_seconds / engine_seconds : 0.0,
              window_ok && engine_ok ? "" : "  (a run failed)");
  std::filesystem::remove(archive);
  return window_ok && engine_ok ? 0 : 1;
}
