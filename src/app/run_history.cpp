#include "app/run_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "platform/text.h"

namespace tessel {
namespace {

constexpr char kSeparator = '\t';
constexpr size_t kFieldCount = 10;
// Only the user who ran the backups may read what they did.
constexpr mode_t kHistoryFileMode = 0600;
constexpr const char* kCannotWrite = "Cannot write ";
constexpr const char* kNoRunsYet = "no runs yet";
constexpr const char* kColumnGap = "  ";
constexpr const char* kDeleted = "удалены старые архивы: ";
constexpr const char* kNotDeleted = "не удалены: ";
constexpr const char* kListSeparator = ", ";
constexpr const char* kMessageSeparator = "; ";
constexpr const char* kLastRun = "Последний запуск: ";
// The window's words for the statuses, in the order of the file's words.
constexpr std::array<std::pair<const char*, const char*>, 4> kStatusWords = {{
    {kStatusOk, "успешно"},
    {kStatusPartial, "с пропусками"},
    {kStatusFailed, "ошибка"},
    {kStatusStopped, "остановлен"},
}};

constexpr std::array<const char*, kFieldCount> kHeadings = {
    "Start", "Status", "Seconds", "Archive", "Written", "Carried", "Left out", "Bytes read", "Archive bytes", "Message"};
// The order in which the table shows the fields (the archive's path and the
// message, whose lengths vary most, come last), and which are numbers
// (aligned to the right).
constexpr std::array<size_t, kFieldCount> kColumnOrder = {0, 1, 2, 4, 5, 6, 7, 8, 3, 9};
constexpr std::array<bool, kFieldCount> kNumeric = {false, false, true, false, true, true, true, true, true, false};

std::string Escaped(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (const char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescaped(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    switch (field[++i]) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: out += field[i];
    }
  }
  return out;
}

bool ToNumber(std::string_view text, int64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

std::array<std::string, kFieldCount> FieldsOf(const HistoryEntry& e) {
  return {e.StartTime,
          e.Status,
          std::to_string(e.Seconds),
          e.ArchivePath,
          std::to_string(e.EntriesWritten),
          std::to_string(e.EntriesCarried),
          std::to_string(e.FilesLeftOut),
          std::to_string(e.BytesRead),
          std::to_string(e.ArchiveBytes),
          e.Message};
}

// The entries of one file, in its order.
void ReadHistoryFile(const std::string& path, std::vector<HistoryEntry>& entries) {
  std::string text;
  if (!ReadWholeFile(path, text)) return;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    HistoryEntry entry;
    if (ParseHistoryLine(std::string_view(text).substr(start, end - start), entry)) entries.push_back(std::move(entry));
    start = end + 1;
  }
}

const char* StatusOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::roSucceeded: return kStatusOk;
    case RunOutcome::roPartial: return kStatusPartial;
    case RunOutcome::roStopped: return kStatusStopped;
    default: return kStatusFailed;
  }
}

// "a, b, c" of the items, each through `text`.
template <class Items, class Text> std::string Listed(const Items& items, Text text) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += kListSeparator;
    out += text(item);
  }
  return out;
}

}  // namespace

HistoryEntry HistoryEntryOf(const RunReport& report) {
  HistoryEntry entry;
  entry.StartTime = IsoLocalTime(report.StartTime);
  entry.Status = StatusOf(report.Outcome);
  entry.Seconds = report.Seconds;
  entry.ArchivePath = report.ArchivePath;
  if (!report.ArchiveWritten()) {
    entry.Message = report.Message;
    return entry;
  }
  entry.EntriesWritten = report.FilesWritten;
  entry.EntriesCarried = report.EntriesCarried;
  entry.FilesLeftOut = static_cast<int64_t>(report.Skipped.size());
  entry.BytesRead = report.BytesRead;
  // An archive left as it was: no byte of it was written.
  entry.ArchiveBytes = report.ArchiveUnchanged ? 0 : report.ArchiveBytes;
  if (!report.DeletedArchives.empty())
    entry.Message = kDeleted + Listed(report.DeletedArchives, [](const std::string& path) { return BaseName(path); });
  if (!report.RetentionFailures.empty()) {
    if (!entry.Message.empty()) entry.Message += kMessageSeparator;
    entry.Message += kNotDeleted + Listed(report.RetentionFailures, [](const std::string& failure) { return failure; });
  }
  return entry;
}

std::string LastRunLine(const HistoryEntry& entry) {
  // "2026-12-08T03:00:00+03:00": the date and time the run began where it ran.
  const std::string& t = entry.StartTime;
  std::string line = kLastRun;
  if (t.size() >= 16) line += t.substr(8, 2) + "." + t.substr(5, 2) + "." + t.substr(0, 4) + " " + t.substr(11, 5);
  const char* word = entry.Status.c_str();
  for (const auto& [status, text] : kStatusWords) {
    if (entry.Status == status) word = text;
  }
  line += std::string(", ") + word;
  if (entry.Status == kStatusOk || entry.Status == kStatusPartial)
    line += ", " + FormatFileCount(entry.EntriesWritten + entry.EntriesCarried);
  return line;
}

std::string IsoLocalTime(time_t moment) {
  struct tm local {};
  localtime_r(&moment, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[48];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return std::string(text) + zone;
}

std::string FormatHistoryLine(const HistoryEntry& entry) {
  std::string line;
  for (const std::string& field : FieldsOf(entry)) {
    line += Escaped(field);
    line += kSeparator;
  }
  line.back() = '\n';
  return line;
}

bool ParseHistoryLine(std::string_view line, HistoryEntry& entry) {
  std::array<std::string, kFieldCount> fields;
  size_t start = 0;
  for (size_t i = 0; i < kFieldCount; ++i) {
    const bool last = i + 1 == kFieldCount;
    const size_t end = last ? line.size() : line.find(kSeparator, start);
    if (end == std::string_view::npos) return false;
    const std::string_view field = line.substr(start, end - start);
    // A tab of a field is written escaped: one more is one field too many.
    if (last && field.find(kSeparator) != std::string_view::npos) return false;
    fields[i] = Unescaped(field);
    start = end + 1;
  }
  HistoryEntry e;
  e.StartTime = fields[0];
  e.Status = fields[1];
  e.ArchivePath = fields[3];
  e.Message = fields[9];
  if (!ToNumber(fields[2], e.Seconds) || !ToNumber(fields[4], e.EntriesWritten) ||
      !ToNumber(fields[5], e.EntriesCarried) || !ToNumber(fields[6], e.FilesLeftOut) ||
      !ToNumber(fields[7], e.BytesRead) || !ToNumber(fields[8], e.ArchiveBytes))
    return false;
  entry = std::move(e);
  return true;
}

std::string HistoryPath(const std::string& state_folder) { return JoinPath(state_folder, kHistoryFileName); }

std::string AppendHistory(const std::string& path, const HistoryEntry& entry) {
  try {
    const std::string line = FormatHistoryLine(entry);
    MakeFolders(DirName(path));
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kHistoryFileMode);
    if (fd < 0) return kCannotWrite + path + ": " + std::strerror(errno);
    // One write, so that the lines of runs that end at once never mix.
    ssize_t written = 0;
    do {
      written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    const int write_error = written < 0 ? errno : 0;
    struct stat st {};
    const bool full = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > kHistoryRotateSize;
    const bool closed = ::close(fd) == 0;
    if (written < 0) return kCannotWrite + path + ": " + std::strerror(write_error);
    if (static_cast<size_t>(written) != line.size() || !closed)
      return kCannotWrite + path + ": " + std::strerror(written >= 0 && closed ? ENOSPC : errno);
    if (full) ::rename(path.c_str(), (path + kHistoryOldSuffix).c_str());
    return {};
  } catch (const std::exception& error) {
    return error.what();
  }
}

std::vector<HistoryEntry> ReadHistory(const std::string& path, size_t count) {
  std::vector<HistoryEntry> entries;
  ReadHistoryFile(path + kHistoryOldSuffix, entries);
  ReadHistoryFile(path, entries);
  if (entries.size() > count) entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(count));
  return entries;
}

std::string FormatHistoryTable(const std::vector<HistoryEntry>& entries) {
  if (entries.empty()) return std::string(kNoRunsYet) + "\n";
  std::vector<std::array<std::string, kFieldCount>> rows;
  std::array<std::string, kFieldCount> heading;
  for (size_t i = 0; i < kFieldCount; ++i) heading[i] = kHeadings[i];
  rows.push_back(heading);
  // Line breaks and tabs of a message stay on its row, written as in the file.
  for (const HistoryEntry& entry : entries) {
    rows.push_back(FieldsOf(entry));
    for (std::string& cell : rows.back()) cell = Escaped(cell);
  }
  std::array<size_t, kFieldCount> width{};
  for (const auto& row : rows) {
    for (size_t i = 0; i < kFieldCount; ++i) width[i] = std::max(width[i], Utf8Count(row[i]));
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < kFieldCount; ++c) {
      const size_t i = kColumnOrder[c];
      const bool last = c + 1 == kFieldCount;
      const size_t pad = width[i] - Utf8Count(row[i]);
      if (c > 0) line += kColumnGap;
      if (kNumeric[i]) line.append(pad, ' ');
      line += row[i];
      if (!kNumeric[i] && !last) line.append(pad, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    table += line + "\n";
  }
  return table;
}

}  // namespace tessel
