// Message texts and folder texts of the windows.
#include <gtest/gtest.h>

#include "ui/folder_text.h"
#include "ui/ui_hooks.h"
#include "ui_test_util.h"

namespace tessel {
namespace {

TEST(ApplicationTitleTest, NameUpToTheFirstFullStopInSentenceCase) {
  const struct {
    const char* path;
    const char* title;
  } cases[] = {
      {"/usr/bin/tessel-backup", "Tessel-backup"},
      {"/opt/TESSEL.BACKUP.exe", "Tessel"},
      {"tessel", "Tessel"},
      {"/x/.hidden", ""},
      {"/x/Копия.bin", "Копия"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplicationTitleOf(QString::fromUtf8(c.path)), QString::fromUtf8(c.title)) << c.path;
  }
}

TEST(ErrorBoxTextTest, FullStopAfterCharactersAboveTheFullStop) {
  const struct {
    const char* message;
    const char* shown;
  } cases[] = {
      {"Unable to create directory", "Unable to create directory."},
      {"Это не Zip файл!", "Это не Zip файл!"},  // '!' is below '.'
      {"Пользователь прервал ввод имени архива.", "Пользователь прервал ввод имени архива."},
      {"Ошибка", "Ошибка."},
      {"'[' is an invalid mask at (1)", "'[' is an invalid mask at (1)"},  // ')' is below '.'
      {"/data/x/", "/data/x/."},                                           // '/' is above '.'
      {"code 9", "code 9."},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorBoxText(QString::fromUtf8(c.message)), QString::fromUtf8(c.shown)) << c.message;
  }
}

TEST(FolderTextTest, MasksAndTemplatesMoveToTheChosenFolder) {
  const struct {
    const char* text;
    const char* folder;
    const char* mask;
    const char* templ;
  } cases[] = {
      {"/docs/*.doc", "/work", "/work/*.doc", "/work/*.doc"},
      {"/docs/", "/work", "/work/*.*", "/work/"},
      {"", "/work", "/work/*.*", "/work/"},
      {"*.txt", "/work/", "/work/*.txt", "/work/*.txt"},
      {"/backup/%yyyy%.zip", "/", "/%yyyy%.zip", "/%yyyy%.zip"},
      {"/a/b/c.zip", "/", "/c.zip", "/c.zip"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskInFolder(c.text, c.folder), c.mask) << c.text;
    EXPECT_EQ(TemplateInFolder(c.text, c.folder), c.templ) << c.text;
  }
  EXPECT_EQ(MaskInFolder("/docs/", "/"), "/*.*");
  EXPECT_EQ(FolderPartOf("/docs/*.doc"), "/docs");
  EXPECT_EQ(FolderPartOf("/x"), "/");
  EXPECT_EQ(FolderPartOf("x"), "");
  EXPECT_EQ(WithoutTrailingSlash("/"), "/");
  EXPECT_EQ(WithoutTrailingSlash("/home//"), "/home");
}

}  // namespace
}  // namespace tessel
