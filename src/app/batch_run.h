#pragma once
// The hidden batch run ("/b" without "/s") without any window system, as a
// scheduler starts it: load the job, make the backup, report on the standard
// streams and end with a status that tells the scheduler what happened.
#include <chrono>
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/run_display.h"
#include "app/run_report.h"

namespace tessel {

// What a batch run shows: the completion message on standard output and, when
// standard error is a terminal, one progress line there (current file,
// percentage, elapsed and remaining time), redrawn in place at most about ten
// times a second. Not a terminal (cron, a log file): nothing at all, so that
// only errors reach the scheduler's mail.
class BatchDisplay : public RunDisplay {
public:
  // out receives the completion message, err the progress line when
  // terminal is true; width is the terminal's width in characters.
  BatchDisplay(std::FILE* out, std::FILE* err, bool terminal, size_t width);

  void ShowCurrentFile(const std::string& text) override;
  void ShowArchiveName(const std::string& text) override;
  void SetFileProgress(int percent) override;
  void SetTotalProgress(int percent) override;
  void ShowTotalStage(const std::string& text) override;
  void ShowElapsed(const std::string& text) override;
  void ShowRemaining(const std::string& text) override;
  void ShowDoneMessage() override;
  void RequestClose() override;

  bool CloseRequested() const { return close_requested_; }
  // Removes the progress line (before an error or the end of the program).
  void EraseLine();
  // The progress line as it would be drawn now, without "\r" and padding.
  std::string ProgressLine() const;

private:
  // Draws the line when the last drawing is old enough (or force is set).
  void Redraw(bool force);

  std::FILE* out_;
  std::FILE* err_;
  bool terminal_;
  size_t width_;
  std::string current_file_;
  int total_percent_ = 0;
  std::string stage_;  // what the percentage stands for, when not the files
  std::string elapsed_;
  std::string remaining_;
  bool line_shown_ = false;
  bool close_requested_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};

// Runs the job of options.ConfigPath once on the run's worker thread: errors
// go to standard error as "tessel-backup: <message>", files that could not be
// read as "path: reason"; "/+m" prints the completion text on standard output;
// the job is saved at the end. While StopSignals are installed, SIGINT,
// SIGTERM and SIGHUP stop the run as the stop button does. Returns
// kExitSuccess, kExitFailed or kExitFilesSkipped.
int RunBatch(const StartupOptions& options);

}  // namespace tessel
