// How a run's end is told: sizes, file counts, the window's summary line, the
// batch run's lines on standard error and the exit status.
#include "app/run_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/files.h"

namespace tessel {
namespace {

TEST(RunReportTest, ByteSizesInBinaryUnitsWithADecimalCommaBelowTen) {
  // Sizes are rounded to the nearest tenth below ten units, else to the unit.
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 Б"},
      {1023, "1023 Б"},
      {1024, "1,0 КБ"},
      {1536, "1,5 КБ"},
      {1075, "1,0 КБ"},  // 1,0498
      {1076, "1,1 КБ"},  // 1,0508
      {10 * 1024 - 1, "10 КБ"},
      {10 * 1024, "10 КБ"},
      {1023 * 1024 + 511, "1023 КБ"},
      {400ll << 20, "400 МБ"},
      {(12ll << 30) / 10, "1,2 ГБ"},
      {3ll << 40, "3,0 ТБ"},
      {5000ll << 40, "5000 ТБ"},
      {-7, "0 Б"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatByteSize(c.bytes), c.text) << c.bytes;
}

TEST(RunReportTest, FileCountsTakeTheirRussianForm) {
  const struct {
    int64_t count;
    const char* text;
  } cases[] = {
      {0, "0 файлов"},     {1, "1 файл"},        {2, "2 файла"},        {4, "4 файла"},
      {5, "5 файлов"},     {11, "11 файлов"},    {12, "12 файлов"},     {14, "14 файлов"},
      {21, "21 файл"},     {22, "22 файла"},     {111, "111 файлов"},   {112, "112 файлов"},
      {312, "312 файлов"}, {1234, "1 234 файла"}, {1000001, "1 000 001 файл"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatFileCount(c.count), c.text) << c.count;
}

TEST(RunReportTest, SummaryLineAndExitStatusByOutcome) {
  RunReport report;
  EXPECT_EQ(SummaryLine(report), "");
  EXPECT_EQ(ExitStatusOf(report), 1);  // no run ended

  report.Outcome = RunOutcome::roSucceeded;
  report.Seconds = 14;
  report.FilesWritten = 312;
  report.BytesRead = (12ll << 30) / 10;
  report.ArchiveBytes = 400ll << 20;
  EXPECT_EQ(SummaryLine(report), "Готово за 0 ч. 0 м. 14 с.: 312 файлов, 1,2 ГБ → 400 МБ");
  EXPECT_EQ(ExitStatusOf(report), 0);

  report.Outcome = RunOutcome::roPartial;
  report.Skipped = {{"/data/a", "Permission denied"}, {"/data/b", "No such file or directory"}};
  EXPECT_EQ(SummaryLine(report), "Готово за 0 ч. 0 м. 14 с.: 312 файлов, 1,2 ГБ → 400 МБ, пропущено: 2");
  EXPECT_EQ(ExitStatusOf(report), 2);

  // An archive without a single file of the job is never told as done.
  report.Skipped.clear();
  report.FilesWritten = 0;
  report.NothingSelected = true;
  EXPECT_EQ(SummaryLine(report), "Не выбрано ни одного файла");
  EXPECT_EQ(ExitStatusOf(report), 2);
  report.NothingSelected = false;

  for (const RunOutcome outcome : {RunOutcome::roFailed, RunOutcome::roStopped}) {
    report.Outcome = outcome;
    report.Message = "Пользователь прервал операцию";
    EXPECT_EQ(SummaryLine(report), "Пользователь прервал операцию");
    EXPECT_EQ(ExitStatusOf(report), 1);
  }
}

std::string WrittenReport(const RunReport& report) {
  std::FILE* file = std::tmpfile();
  WriteRunReport(file, report);
  std::string text = test::ReadBack(file);
  std::fclose(file);
  return text;
}

TEST(RunReportTest, BatchLinesOnStandardError) {
  RunReport report;
  report.Outcome = RunOutcome::roSucceeded;
  EXPECT_EQ(WrittenReport(report), "");
  report.Outcome = RunOutcome::roPartial;
  report.Skipped = {{"/data/a", "Permission denied"}};
  EXPECT_EQ(WrittenReport(report), "/data/a: Permission denied\n");
  // A failed run wrote no archive: there is nothing the files were left out of.
  report.Outcome = RunOutcome::roFailed;
  report.Message = "Unable to create directory";
  EXPECT_EQ(WrittenReport(report), "tessel-backup: Unable to create directory\n");

  report.Outcome = RunOutcome::roPartial;
  report.Skipped.clear();
  report.NothingSelected = true;
  EXPECT_EQ(WrittenReport(report), "tessel-backup: Не выбрано ни одного файла\n");
}

TEST(RunReportTest, ControlCharactersAreEscaped) {
  const struct {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"/data/Отчёт 2024.txt", "/data/Отчёт 2024.txt"},  // printable text stays
      {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
      {"\033[2J\033]0;title\007", "\\033[2J\\033]0;title\\007"},
      {std::string("nul\0x", 5), "nul\\000x"},
      {"\x7F", "\\177"},
      {"\xC2\x9B" "31m", "\\302\\23331m"},      // C1 CSI as UTF-8
      {"\xC2\xA0\xC2\x80", "\xC2\xA0\\302\\200"},  // no-break space stays, U+0080 does not
      {"\x9B\xFF\xE0z", "\\233\\377\\340z"},  // bytes that are no UTF-8
      {"C:\\new", "C:\\\\new"},                  // a backslash cannot pass for an escape
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.text), c.escaped) << c.escaped;

  // A name cannot forge a line of the report or reach the terminal raw.
  RunReport report;
  report.Outcome = RunOutcome::roPartial;
  report.Skipped = {{"/data/x\n/data/y: Permission denied\033[1A", "No such file or directory"}};
  EXPECT_EQ(WrittenReport(report), "/data/x\\n/data/y: Permission denied\\033[1A: No such file or directory\n");
  report.Outcome = RunOutcome::roFailed;
  report.Message = "Cannot open /out/\ra.zip: Permission denied";
  EXPECT_EQ(WrittenReport(report), "tessel-backup: Cannot open /out/\\ra.zip: Permission denied\n");
}

}  // namespace
}  // namespace tessel
