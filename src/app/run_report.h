#pragma once
// What one backup run came to, told the same way in every run mode: the
// outcome, the figures of a completed run, the files it had to leave out, the
// one-line summary the window keeps after the run, the lines a batch run
// writes to standard error and the exit status a scheduler sees.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_controller.h"

namespace tessel {

// Exit statuses of the program.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;        // the run failed or was stopped
inline constexpr int kExitFilesSkipped = 2;  // the archive was written, some files were not read

inline constexpr const char* kProgramName = "tessel-backup";
// A written archive that holds no file of the job: its include lines selected
// none (or the exclude masks left none of them).
inline constexpr const char* kMsgNothingSelected = "Не выбрано ни одного файла";

enum class RunOutcome {
  roNone,       // no run has ended yet
  roSucceeded,  // the archive was written with every selected file
  roPartial,    // the archive was written, but some selected files could not be
                // read, or the job selected no file at all
  roFailed,     // an error ended the run; no new archive
  roStopped,    // a stop (button, close, signal) ended the run; no new archive
};

struct RunReport {
  RunOutcome Outcome = RunOutcome::roNone;
  // The error's text for a failed or stopped run.
  std::string Message;
  // The archive the run wrote or meant to write ("" when it ended before
  // the name was known).
  std::string ArchivePath;
  time_t StartTime = 0;      // when the run began, by the wall clock
  int32_t FilesWritten = 0;  // files this run packed into the archive
  int64_t EntriesCarried = 0;  // entries of the old archive kept as they were
  int64_t BytesRead = 0;     // bytes read from them
  int64_t ArchiveBytes = 0;  // the archive's size once written
  // An update that found nothing to change left the archive as it was: it
  // wrote nothing, and every entry stayed.
  bool ArchiveUnchanged = false;
  int64_t Seconds = 0;       // from the start of the run to its end
  std::vector<SkippedFile> Skipped;
  // What the job's KeepArchives deleted after the run (paths), and what it
  // had to leave ("path: reason").
  std::vector<std::string> DeletedArchives;
  std::vector<std::string> RetentionFailures;
  // Why the run's line could not be added to the history ("" when it was).
  std::string HistoryError;
  // The archive was written, but the job's include lines selected no file
  // (none written, none kept unchanged, none that failed to be read).
  bool NothingSelected = false;

  bool ArchiveWritten() const {
    return Outcome == RunOutcome::roSucceeded || Outcome == RunOutcome::roPartial;
  }
};

// The process's exit status after the run: 0 for a run that wrote its
// archive with every file, 2 when it had to leave files out, 1 for a failed
// or stopped run and when no run ended at all.
int ExitStatusOf(const RunReport& report);

// The run's line for the window: for a written archive "Готово за 0 ч. 0 м.
// 14 с.: 312 файлов, 1,2 ГБ → 400 МБ" (with the number of files left out when
// there are any), kMsgNothingSelected when the job selected no file,
// otherwise the run's message. Empty before any run.
std::string SummaryLine(const RunReport& report);

// Writes what a batch run must not keep to itself to `err`: a failed or
// stopped run's message, or that the job selected no file, as
// "tessel-backup: <message>", for an archive that was written every file
// that could not be read as "path: reason", and every old archive that
// KeepArchives could not delete and a history that could not be written as
// one "tessel-backup: ..." line each. Every text goes through
// EscapeControls, so each record is one line.
void WriteRunReport(std::FILE* err, const RunReport& report);
// Writes "tessel-backup: <message>" to `err`, the message escaped.
void WriteProgramMessage(std::FILE* err, std::string_view message);

// The text with everything that could drive a terminal or break a line of a
// log written as escapes: "\n", "\t" and "\r" for those three, the other
// control characters (C0, DEL, and C1 as well as UTF-8 U+0080 to U+009F) and
// bytes that are no valid UTF-8 as the octal value of each byte ("\033" for
// escape), and a backslash doubled so that the escapes are unambiguous.
// Printable text, non-ASCII letters included, stays as it is.
std::string EscapeControls(std::string_view text);

// "0 Б", "512 Б", "1,0 КБ", "1,2 ГБ", "400 МБ": binary units, rounded to
// one decimal (with a comma) below ten and to whole units from ten on.
std::string FormatByteSize(int64_t bytes);
// The count with the word "файл" in the form Russian grammar gives it:
// "1 файл", "3 файла", "312 файлов", "1 234 файла".
std::string FormatFileCount(int64_t count);

}  // namespace tessel
