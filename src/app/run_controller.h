#pragma once
// Turns the backup job into one zip operation and follows it to its end:
// exclusions, progress, elapsed and remaining time, completion and stop.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/run_display.h"
#include "app/settings.h"
#include "platform/datetime.h"

namespace tessel {

class TZipWriter;

// The clock of a run's elapsed and remaining times: monotonic, so that a
// change of the system clock (daylight saving, an adjustment) during a run
// does not make them jump.
using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

// A file that the engine had to leave out, with the reason in words.
struct SkippedFile {
  std::string Path;
  std::string Reason;
};

class RunController {
public:
  RunController(JobSettings& job, RunDisplay& display, const StartupOptions& options);
  ~RunController();
  RunController(const RunController&) = delete;
  RunController& operator=(const RunController&) = delete;

  // Performs a whole run and returns when it has ended; the run's error
  // reaches the caller. Does nothing while the engine is busy.
  void StartRun();
  // Asks the running operation to stop and clears the display.
  void StopRun();
  // False while a run is in progress; otherwise saves the job and says yes.
  // A file that is no job file is not saved over.
  bool QueryClose();
  bool IsBusy() const;
  // Level, sub-folders and paths of the job reach the engine now.
  void ApplyEngineSettings();

  TZipWriter& Engine();
  const std::vector<std::string>& ExclusionList() const;
  DateTime RunStartTime() const;
  // What the last run could not back up as it was, each with its reason:
  // files left out because they could not be read, files that changed while
  // they were read (kept as read), entries a damaged old archive lost.
  const std::vector<SkippedFile>& SkippedFiles() const;
  // What the job's KeepArchives removed after the last run that wrote its
  // archive (paths), and the old archives that were due to go but stay
  // ("path: reason").
  const std::vector<std::string>& DeletedArchives() const;
  const std::vector<std::string>& RetentionFailures() const;
  // The archive the last run wrote or meant to write ("" when it ended
  // before its name was known) and the files it packed.
  const std::string& ArchiveName() const;
  int32_t FilesWritten() const;
  // The files the last run's include lines selected and its exclusions let
  // through: packed, kept unchanged from the old archive, or left out because
  // they could not be read. 0 after a completed run means the job selected
  // nothing.
  int32_t FilesSelected() const;
  // Asks the user for an archive when the expanded name ends in "?";
  // returns false when the user cancels.
  void SetChooseArchive(std::function<bool(const std::string& initial_folder, std::string& chosen)> choose);
  // Replaces the steady clock that times a run (tests pass one of their own).
  void SetClock(MonotonicClock clock);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The total bar's caption while the finished archive is read back.
inline constexpr const char* kVerifyingArchive = "Проверка архива";

// "1 ч. 2 м. 5 с." for 3725 seconds.
std::string FormatDuration(int64_t seconds);

}  // namespace tessel
