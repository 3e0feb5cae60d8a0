// The run history file: its lines, its one write per run, its rotation, a
// folder where it cannot be written, and the table of "--history".
#include "app/run_history.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/paths.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

HistoryEntry Sample(int64_t n) {
  HistoryEntry e;
  e.StartTime = "2026-12-08T03:00:0" + std::to_string(n % 10) + "+03:00";
  e.Status = kStatusOk;
  e.Seconds = n;
  e.ArchivePath = "/backup/" + std::to_string(n) + ".zip";
  e.EntriesWritten = n * 10;
  e.EntriesCarried = 2;
  e.FilesLeftOut = 0;
  e.BytesRead = 123456;
  e.ArchiveBytes = 4567;
  return e;
}

bool Same(const HistoryEntry& a, const HistoryEntry& b) {
  return a.StartTime == b.StartTime && a.Status == b.Status && a.Seconds == b.Seconds &&
         a.ArchivePath == b.ArchivePath && a.EntriesWritten == b.EntriesWritten &&
         a.EntriesCarried == b.EntriesCarried && a.FilesLeftOut == b.FilesLeftOut && a.BytesRead == b.BytesRead &&
         a.ArchiveBytes == b.ArchiveBytes && a.Message == b.Message;
}

TEST(HistoryLine, OneLineOfTenFieldsWhateverTheTextsHold) {
  HistoryEntry e = Sample(7);
  e.Status = kStatusFailed;
  e.ArchivePath = "/архив\\с\tтабуляцией/%yyyy%.zip";
  e.Message = "Архив не прошёл проверку: a.txt: CRC-32 не совпадает\nвторая строка\r\\";
  const std::string line = FormatHistoryLine(e);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 9);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  EXPECT_EQ(line.back(), '\n');
  HistoryEntry back;
  ASSERT_TRUE(ParseHistoryLine(std::string_view(line).substr(0, line.size() - 1), back));
  EXPECT_TRUE(Same(back, e));

  EXPECT_EQ(FormatHistoryLine(Sample(3)),
            "2026-12-08T03:00:03+03:00\tok\t3\t/backup/3.zip\t30\t2\t0\t123456\t4567\t\n");
  for (const char* bad : {"", "a\tb", "t\tok\t1\t/a\t1\t1\t1\t1\t1", "t\tok\tx\t/a\t1\t1\t1\t1\t1\t",
                          "t\tok\t1\t/a\t1\t1\t1\t1\t1\tm\textra"}) {
    HistoryEntry ignored;
    EXPECT_FALSE(ParseHistoryLine(bad, ignored)) << bad;
  }
}

TEST(HistoryLine, StartTimeCarriesItsOffset) {
  const char* saved = std::getenv("TZ");
  const std::string old = saved != nullptr ? saved : "";
  const time_t moment = 1796686800;  // 2026-12-07 23:40:00 UTC
  const std::pair<const char*, const char*> cases[] = {
      {"UTC", "2026-12-07T23:40:00+00:00"},
      {"Europe/Moscow", "2026-12-08T02:40:00+03:00"},
      {"America/St_Johns", "2026-12-07T20:10:00-03:30"},
  };
  for (const auto& [zone, expected] : cases) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    EXPECT_EQ(IsoLocalTime(moment), expected) << zone;
  }
  if (saved != nullptr) ::setenv("TZ", old.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
}

class HistoryFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/tessel_history_XXXXXX";
    folder_ = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string folder_;
};

TEST_F(HistoryFileTest, LinesAreAppendedAndTheFullFileMovesAside) {
  const std::string path = HistoryPath(folder_ + "/state/tessel-backup");
  EXPECT_EQ(path, folder_ + "/state/tessel-backup/history.log");
  EXPECT_THAT(ReadHistory(path), IsEmpty());
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(AppendHistory(path, Sample(i)), "");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto runs = ReadHistory(path);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_TRUE(Same(runs[0], Sample(1)));
  EXPECT_TRUE(Same(runs[2], Sample(3)));

  // Past 1 MiB the file becomes history.log.1 (replacing an older one), and
  // the next run starts a new file; the last runs are read from both.
  {
    std::ofstream pad(path, std::ios::app);
    pad << "not a run\n" << std::string(kHistoryRotateSize, 'x') << "\n";
  }
  ASSERT_EQ(AppendHistory(path, Sample(4)), "");
  EXPECT_FALSE(fs::exists(path));
  ASSERT_TRUE(fs::exists(path + ".1"));
  for (int i = 5; i <= 25; ++i) ASSERT_EQ(AppendHistory(path, Sample(i)), "");
  EXPECT_LT(fs::file_size(path), 4096u);
  runs = ReadHistory(path);
  ASSERT_EQ(runs.size(), kHistoryShown);
  EXPECT_TRUE(Same(runs.front(), Sample(6)));
  EXPECT_TRUE(Same(runs.back(), Sample(25)));
  runs = ReadHistory(path, 100);
  ASSERT_EQ(runs.size(), 25u);
  EXPECT_TRUE(Same(runs.front(), Sample(1)));
}

TEST_F(HistoryFileTest, AFolderThatCannotBeWrittenIsReportedNotThrown) {
  std::ofstream(folder_ + "/file") << "a file where the state folder should be";
  const std::string message = AppendHistory(HistoryPath(folder_ + "/file/tessel-backup"), Sample(1));
  EXPECT_THAT(message, ::testing::StartsWith("Cannot write " + folder_ + "/file/tessel-backup/history.log: "));
  EXPECT_THAT(ReadHistory(folder_ + "/file/tessel-backup/history.log"), IsEmpty());
}

TEST(HistoryTable, ColumnsLineUpByCharacters) {
  EXPECT_EQ(FormatHistoryTable({}), "no runs yet\n");
  HistoryEntry a = Sample(1);
  HistoryEntry b = Sample(12);
  b.Status = kStatusPartial;
  b.ArchivePath = "/резерв/12.zip";
  b.FilesLeftOut = 1;
  b.BytesRead = 5;
  b.Message = "удалены: 1.zip";
  EXPECT_EQ(FormatHistoryTable({a, b}),
            "Start                      Status   Seconds  Written  Carried  Left out  Bytes read  Archive bytes  "
            "Archive         Message\n"
            "2026-12-08T03:00:01+03:00  ok             1       10        2         0      123456           4567  "
            "/backup/1.zip\n"
            "2026-12-08T03:00:02+03:00  partial       12      120        2         1           5           4567  "
            "/резерв/12.zip  удалены: 1.zip\n");
}

}  // namespace
}  // namespace tessel
