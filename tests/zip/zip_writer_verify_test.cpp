// The engine with Verify: damage in an old archive is never carried into the
// new one, and a finished archive that does not read back as written never
// takes the old one's place.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "zip/archive_check.h"
#include "zip/engine_fixture.h"
#include "zip/engine_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using enginetest::ListFolder;
using enginetest::NamesOf;
using enginetest::ParseFile;
using enginetest::ReadBytes;
using enginetest::Shell;
using enginetest::TextOf;
using enginetest::WriteBytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Passes everything through and flips one byte when the write that covers
// its position goes out.
class FlipStream : public TStream {
public:
  FlipStream(std::unique_ptr<TStream> inner, uint64_t at) : inner_(std::move(inner)), at_(at) {}
  size_t Read(void* buffer, size_t count) override { return Advance(inner_->Read(buffer, count)); }
  size_t Write(const void* buffer, size_t count) override {
    if (at_ >= position_ && at_ - position_ < count) {
      std::string copy(static_cast<const char*>(buffer), count);
      copy[at_ - position_] ^= 0x20;
      return Advance(inner_->Write(copy.data(), count));
    }
    return Advance(inner_->Write(buffer, count));
  }
  uint64_t Seek(int64_t offset, int origin) override { return position_ = inner_->Seek(offset, origin); }
  uint64_t Size() override { return inner_->Size(); }
  int LastError() const override { return inner_->LastError(); }
  std::string Name() const override { return inner_->Name(); }

private:
  size_t Advance(size_t n) {
    position_ += n;
    return n;
  }
  std::unique_ptr<TStream> inner_;
  uint64_t at_;
  uint64_t position_ = 0;
};

class EngineVerifyTest : public enginetest::EngineFixture {
protected:
  void Prepare(TZipWriter& zip) {
    zip.SetRelativePaths(true);
    zip.SetRootDir(dir.path());
    zip.SetZipName(Archive());
    zip.Verify = true;
    zip.OnSkippingFile = [this](TZipWriter&, TSkipReason r, const std::string& name, int32_t, bool&,
                                const std::string& text) {
      skipped.push_back(std::to_string(r) + " " + name + ": " + text);
    };
    zip.OnUpdate = [this](TZipWriter&, TUpdateAction action, int32_t index) {
      updates.push_back(std::string(action == udKeep ? "keep " : "replace ") + std::to_string(index));
    };
  }
  // An archive of s/a.txt, s/b.txt and s/c.txt whose b.txt has one byte of
  // its compressed data changed; returns its bytes.
  std::string DamagedArchive() {
    Put("s/a.txt", TextOf(5000, 1));
    Put("s/b.txt", TextOf(5000, 2));
    Put("s/c.txt", TextOf(5000, 3));
    {
      TZipWriter maker;
      maker.SetRelativePaths(true);
      maker.SetRootDir(dir.path());
      maker.SetZipName(Archive());
      Zip(maker, {dir / "s/*.txt"});
    }
    std::string bytes = ReadBytes(Archive());
    const auto parsed = ParseFile(Archive());
    const auto& b = *parsed.Find("s/b.txt");
    bytes[b.Offset + 30 + b.Name.size() + b.CompressedSize / 2] ^= 0x08;
    WriteBytes(Archive(), bytes);
    EXPECT_THROW(ParseFile(Archive()), std::runtime_error);
    return bytes;
  }

  std::vector<std::string> skipped;
  std::vector<std::string> updates;
};

TEST_F(EngineVerifyTest, ADamagedEntryWhoseFileIsSelectedIsReadAfresh) {
  const std::string damaged = DamagedArchive();
  TZipWriter zip;
  Prepare(zip);
  zip.ZipAction = zaUpdate;  // the files are not newer: every entry would be kept
  // An update that changes nothing leaves the archive as it is, unread: the
  // damage is found by the next run that writes the archive.
  EXPECT_EQ(Zip(zip, {dir / "s/*.txt"}), 0);
  EXPECT_TRUE(zip.LeftAsItWas());
  EXPECT_EQ(ReadBytes(Archive()), damaged);
  updates.clear();
  Put("s/d.txt", "new");
  EXPECT_EQ(Zip(zip, {dir / "s/*.txt"}), 2);
  EXPECT_TRUE(skipped.empty());
  EXPECT_THAT(updates, ElementsAre("keep 0", "keep 1", "replace 1", "keep 2"));
  const auto parsed = ParseFile(Archive());
  EXPECT_THAT(NamesOf(parsed), ElementsAre("s/a.txt", "s/b.txt", "s/c.txt", "s/d.txt"));
  EXPECT_EQ(parsed.Find("s/b.txt")->Data, TextOf(5000, 2));
  EXPECT_EQ(zip.EntriesCarried(), 2);
  EXPECT_EQ(Shell("unzip -tqq " + Quoted(Archive())), 0);
  EXPECT_EQ(Shell("7z t " + Quoted(Archive()) + " > /dev/null"), 0);
}

TEST_F(EngineVerifyTest, ADamagedEntryWithoutItsFileIsLeftOutAndReported) {
  DamagedArchive();
  ::unlink((dir / "s/b.txt").c_str());
  Put("s/d.txt", "new");
  TZipWriter zip;
  Prepare(zip);
  EXPECT_EQ(Zip(zip, {dir / "s/d.txt"}), 1);
  EXPECT_THAT(skipped, ElementsAre("6 s/b.txt: " + std::string(kReasonDamagedInOldArchive)));
  const auto parsed = ParseFile(Archive());
  EXPECT_THAT(NamesOf(parsed), ElementsAre("s/a.txt", "s/c.txt", "s/d.txt"));
  EXPECT_EQ(zip.EntriesCarried(), 2);
  EXPECT_EQ(Shell("unzip -tqq " + Quoted(Archive())), 0);
}

TEST_F(EngineVerifyTest, WithoutVerifyTheDamageIsCarriedOver) {
  const std::string damaged = DamagedArchive();
  Put("s/d.txt", "new");
  TZipWriter zip;
  Prepare(zip);
  zip.Verify = false;
  EXPECT_EQ(Zip(zip, {dir / "s/d.txt"}), 1);
  EXPECT_TRUE(skipped.empty());
  const std::string bytes = ReadBytes(Archive());
  // The old entries, b.txt's changed byte included, stand as they stood.
  const size_t entries_end = damaged.find(std::string("PK\x01\x02", 4));
  EXPECT_TRUE(bytes.substr(0, entries_end) == damaged.substr(0, entries_end));
  EXPECT_THROW(ParseFile(Archive()), std::runtime_error);
}

TEST_F(EngineVerifyTest, AFaultInTheNewArchiveKeepsTheOldOneAndLeavesNoTemporaryFile) {
  Put("a.txt", TextOf(40000, 4));
  Put("b.txt", TextOf(40000, 5));
  for (const bool old_exists : {false, true}) {
    for (const int level : {0, 6}) {
      SCOPED_TRACE(std::string(old_exists ? "update" : "new archive") + ", level " + std::to_string(level));
      ::unlink(Archive().c_str());
      if (old_exists) {
        TZipWriter maker;
        Prepare(maker);
        Zip(maker, {dir / "a.txt"});
      }
      const std::string before = old_exists ? ReadBytes(Archive()) : std::string();
      TZipWriter zip;
      Prepare(zip);
      zip.PackLevel = level;
      zip.ZipAction = zaReplace;
      // A byte inside the data of the first entry (b.txt in a new archive,
      // the copy of the old a.txt in an update), as it goes to the disk.
      zip.OutputStreamWrapper = [](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
        return std::make_unique<FlipStream>(std::move(inner), 30 + 5 + 200);
      };
      std::vector<int> percents;
      zip.OnVerifyArchive = [&](TZipWriter&, int percent) { percents.push_back(percent); };
      try {
        Zip(zip, {dir / "b.txt"});
        ADD_FAILURE() << "the fault passed";
      } catch (const EVerifyFailed& e) {
        EXPECT_THAT(e.what(), StartsWith(std::string(kMsgVerifyFailed) + (old_exists ? "a.txt: " : "b.txt: ")));
      }
      ASSERT_FALSE(percents.empty());
      EXPECT_EQ(percents.front(), 0);
      if (old_exists) {
        EXPECT_TRUE(ReadBytes(Archive()) == before);
        EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.txt", "b.txt", "out.zip"));
      } else {
        EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.txt", "b.txt"));
      }
    }
  }
}

TEST_F(EngineVerifyTest, ASoundArchiveIsReadBackAndAStopDuringTheCheckKeepsTheOldOne) {
  Put("a.txt", TextOf(3000000, 6));
  Put("b.txt", TextOf(3000000, 7));
  TZipWriter zip;
  Prepare(zip);
  std::vector<int> percents;
  zip.OnVerifyArchive = [&](TZipWriter&, int percent) { percents.push_back(percent); };
  EXPECT_EQ(Zip(zip, {dir / "a.txt"}), 1);
  ASSERT_GE(percents.size(), 2u);
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));

  const std::string before = ReadBytes(Archive());
  percents.clear();
  zip.OnVerifyArchive = [&](TZipWriter& sender, int percent) {
    percents.push_back(percent);
    sender.RequestCancel();
  };
  EXPECT_THROW(Zip(zip, {dir / "b.txt"}), EUserCanceled);
  EXPECT_EQ(percents.size(), 1u);
  EXPECT_TRUE(ReadBytes(Archive()) == before);
  EXPECT_THAT(ListFolder(dir.path()), ElementsAre("a.txt", "b.txt", "out.zip"));
}

TEST_F(EngineVerifyTest, EntriesWithDataDescriptorsAreCheckedAndCarriedOver) {
  ASSERT_EQ(enginetest::WriteStreamedArchive(Archive(), "zipfile.ZIP_DEFLATED",
                                             "with z.open('wide.txt', 'w', force_zip64=True) as e: e.write(b'wide ' * 9000)\n"
                                             "z.writestr('narrow.txt', b'narrow ' * 900)"),
            0);
  Put("new.txt", "new");
  TZipWriter zip;
  Prepare(zip);
  EXPECT_EQ(Zip(zip, {dir / "new.txt"}), 1);
  EXPECT_TRUE(skipped.empty());
  const auto parsed = ParseFile(Archive());
  EXPECT_THAT(NamesOf(parsed), ElementsAre("wide.txt", "narrow.txt", "new.txt"));
  EXPECT_EQ(parsed.Find("wide.txt")->Flags & 8, 8);
  EXPECT_EQ(Shell("unzip -tqq " + Quoted(Archive())), 0);
}

}  // namespace
}  // namespace tessel
