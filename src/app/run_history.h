#pragma once
// The run history: one line per run, from the window or a batch run, in
// $XDG_STATE_HOME/tessel-backup/history.log, so that a run under cron leaves
// a trace of what it did. The file moves to history.log.1 once it passes
// 1 MiB; "--history" prints the last runs as a table.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_report.h"

namespace tessel {

inline constexpr const char* kHistoryFileName = "history.log";
// What the full file's name becomes when it is moved aside.
inline constexpr const char* kHistoryOldSuffix = ".1";
inline constexpr uint64_t kHistoryRotateSize = uint64_t{1} << 20;
inline constexpr size_t kHistoryShown = 20;

inline constexpr const char* kStatusOk = "ok";
inline constexpr const char* kStatusPartial = "partial";
inline constexpr const char* kStatusFailed = "failed";
inline constexpr const char* kStatusStopped = "stopped";

// One run as the history keeps it: the fields of its line, in order.
struct HistoryEntry {
  std::string StartTime;  // ISO 8601 with the UTC offset: "2026-12-08T03:00:00+03:00"
  std::string Status;     // kStatusOk, kStatusPartial, kStatusFailed or kStatusStopped
  int64_t Seconds = 0;
  std::string ArchivePath;
  int64_t EntriesWritten = 0;
  int64_t EntriesCarried = 0;
  int64_t FilesLeftOut = 0;
  int64_t BytesRead = 0;
  int64_t ArchiveBytes = 0;
  // The failure's text, or the names of the old archives deleted, or "".
  std::string Message;
};

// The moment in local time with its offset from UTC, "2026-12-08T03:00:00+03:00".
std::string IsoLocalTime(time_t moment);

// The line of an entry: its fields joined by tabs, ended by a newline. A
// backslash, tab, carriage return or newline inside a field is written as
// "\\", "\t", "\r" or "\n", so that every run is one line of ten fields.
std::string FormatHistoryLine(const HistoryEntry& entry);
// Reads a line back (without its newline); false when it does not hold ten
// fields with numbers where numbers belong.
bool ParseHistoryLine(std::string_view line, HistoryEntry& entry);

// The history's entry of a run that has ended: its status from the outcome,
// its figures, and as its message the failure's text, or the names of the
// old archives KeepArchives deleted (and those it could not), or "".
HistoryEntry HistoryEntryOf(const RunReport& report);
// The main window's line for the last run: "Последний запуск: 08.12.2026
// 03:00, успешно, 1 234 файла" (the files the archive holds after it), the
// status alone for a run that wrote no archive.
std::string LastRunLine(const HistoryEntry& entry);

// The history file in the state folder.
std::string HistoryPath(const std::string& state_folder);
// Appends the entry's line to the file at path in one write (the file and its
// folder are made when missing, readable by the user alone), then moves the
// file to path + ".1" when it has passed kHistoryRotateSize. Returns "" when
// the line was written, else the reason in words; never throws.
std::string AppendHistory(const std::string& path, const HistoryEntry& entry);
// The last `count` runs, oldest first, from path + ".1" and path; lines that
// cannot be read are passed over.
std::vector<HistoryEntry> ReadHistory(const std::string& path, size_t count = kHistoryShown);

// The runs as a table for a terminal: a heading, then one row per run, the
// columns aligned by characters; "no runs yet" for none. Ends in a newline.
std::string FormatHistoryTable(const std::vector<HistoryEntry>& entries);

}  // namespace tessel
