#include "app/run_report.h"

#include <array>
#include <cinttypes>
#include <cmath>

#include "platform/text.h"

namespace tessel {
namespace {

constexpr const char* kDoneIn = "Готово за ";
constexpr const char* kArrow = " → ";
constexpr const char* kSkippedCount = ", пропущено: ";
constexpr const char* kOldArchiveKept = "старый архив не удалён: ";
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
  if (report.NothingSelected) return kMsgNothingSelected;
  std::string line = kDoneIn + FormatDuration(report.Seconds) + ": " + FormatFileCount(report.FilesWritten) +
                     ", " + FormatByteSize(report.BytesRead) + kArrow + FormatByteSize(report.ArchiveBytes);
  if (!report.Skipped.empty()) line += kSkippedCount + GroupedDigits(static_cast<int64_t>(report.Skipped.size()));
  return line;
}

void WriteRunReport(std::FILE* err, const RunReport& report) {
  if (report.Outcome == RunOutcome::roFailed || report.Outcome == RunOutcome::roStopped) {
    WriteProgramMessage(err, report.Message);
  }
  // Files left out of an archive that was never written were not lost to it.
  if (report.ArchiveWritten()) {
    if (report.NothingSelected) WriteProgramMessage(err, kMsgNothingSelected);
    for (const SkippedFile& file : report.Skipped) {
      std::fprintf(err, "%s: %s\n", EscapeControls(file.Path).c_str(), EscapeControls(file.Reason).c_str());
    }
  }
  for (const std::string& failure : report.RetentionFailures) {
    WriteProgramMessage(err, kOldArchiveKept + failure);
  }
  if (!report.HistoryError.empty()) WriteProgramMessage(err, report.HistoryError);
  std::fflush(err);
}

void WriteProgramMessage(std::FILE* err, std::string_view message) {
  std::fprintf(err, "%s: %s\n", kProgramName, EscapeControls(message).c_str());
  std::fflush(err);
}

std::string EscapeControls(std::string_view text) {
  constexpr uint32_t kFirstPrintable = 0x20;
  constexpr uint32_t kDelete = 0x7F;
  constexpr uint32_t kLastC1 = 0x9F;
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const uint32_t cp = Utf8Next(text, pos);
    switch (cp) {
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      default:
        break;
    }
    if (cp >= kFirstPrintable && (cp < kDelete || cp > kLastC1) && cp < kInvalidByteBase) {
      out.append(text, start, pos - start);
      continue;
    }
    // Every byte of the character as three octal digits: a C1 control
    // written as UTF-8 becomes "\302\233", an invalid byte "\377".
    for (size_t i = start; i < pos; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      out += '\\';
      out += static_cast<char>('0' + (byte >> 6));
      out += static_cast<char>('0' + ((byte >> 3) & 7));
      out += static_cast<char>('0' + (byte & 7));
    }
  }
  return out;
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
