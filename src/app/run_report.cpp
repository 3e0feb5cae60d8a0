#include "app/run_report.h"

#include <array>
#include <cinttypes>
#include <cmath>

namespace tessel {
namespace {

constexpr const char* kDoneIn = "Готово за ";
constexpr const char* kArrow = " → ";
constexpr const char* kSkippedCount = ", пропущено: ";
constexpr std::array<const char*, 5> kByteUnits = {"Б", "КБ", "МБ", "ГБ", "ТБ"};
constexpr double kUnitStep = 1024.0;
// Below this many units a size keeps one decimal.
constexpr double kDecimalBelow = 10.0;
constexpr const char* kFileOne = "файл";    // 1, 21, 101 ...
constexpr const char* kFileFew = "файла";   // 2-4, 22-24 ...
constexpr const char* kFileMany = "файлов";  // 0, 5-20, 25-30, 111-114 ...

// Digits in groups of three, parted by blanks: "1 234 567".
std::string GroupedDigits(int64_t value) {
  const std::string digits = std::to_string(value < 0 ? -value : value);
  std::string grouped = value < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ' ';
    grouped += digits[i];
  }
  return grouped;
}

}  // namespace

int ExitStatusOf(const RunReport& report) {
  switch (report.Outcome) {
    case RunOutcome::roSucceeded:
      return kExitSuccess;
    case RunOutcome::roPartial:
      return kExitFilesSkipped;
    default:
      return kExitFailed;
  }
}

std::string SummaryLine(const RunReport& report) {
  if (report.Outcome == RunOutcome::roNone) return {};
  if (!report.ArchiveWritten()) return report.Message;
  std::string line = kDoneIn + FormatDuration(report.Seconds) + ": " + FormatFileCount(report.FilesWritten) +
                     ", " + FormatByteSize(report.BytesRead) + kArrow + FormatByteSize(report.ArchiveBytes);
  if (!report.Skipped.empty()) line += kSkippedCount + GroupedDigits(static_cast<int64_t>(report.Skipped.size()));
  return line;
}

void WriteRunReport(std::FILE* err, const RunReport& report) {
  if (report.Outcome == RunOutcome::roFailed || report.Outcome == RunOutcome::roStopped) {
    std::fprintf(err, "%s: %s\n", kProgramName, report.Message.c_str());
  }
  // Files left out of an archive that was never written were not lost to it.
  if (report.ArchiveWritten()) {
    for (const SkippedFile& file : report.Skipped) {
      std::fprintf(err, "%s: %s\n", file.Path.c_str(), file.Reason.c_str());
    }
  }
  std::fflush(err);
}

std::string FormatByteSize(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  size_t unit = 0;
  double value = static_cast<double>(bytes);
  while (value >= kUnitStep && unit + 1 < kByteUnits.size()) {
    value /= kUnitStep;
    ++unit;
  }
  if (unit == 0) return std::to_string(bytes) + " " + kByteUnits[0];
  char text[32];
  const int64_t tenths = std::llround(value * 10.0);
  if (tenths < kDecimalBelow * 10) {
    std::snprintf(text, sizeof text, "%" PRId64 ",%" PRId64, tenths / 10, tenths % 10);
  } else {
    std::snprintf(text, sizeof text, "%" PRId64, static_cast<int64_t>(std::llround(value)));
  }
  return std::string(text) + " " + kByteUnits[unit];
}

std::string FormatFileCount(int64_t count) {
  const int64_t last_two = (count < 0 ? -count : count) % 100;
  const int64_t last = last_two % 10;
  const char* word = kFileMany;
  if (last_two < 11 || last_two > 14) {
    if (last == 1) {
      word = kFileOne;
    } else if (last >= 2 && last <= 4) {
      word = kFileFew;
    }
  }
  return GroupedDigits(count) + " " + word;
}

}  // namespace tessel
