// The template editor, the settings dialog, the folder chooser and the About
// box, each driven without the main window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <memory>
#include <QRadioButton>
#include <QTest>

#include "app/name_template.h"
#include "platform/datetime.h"
#include "support/scratch.h"
#include "ui/about_box.h"
#include "ui/folder_chooser.h"
#include "ui/settings_dialog.h"
#include "ui/template_editor.h"
#include "ui_test_util.h"

namespace tessel {
namespace {

using test::RecordingHooks;
using test::Scratch;

struct TemplateEditorTest : testing::Test {
  TemplateEditorTest() : editor(folders, hooks) { recorder.InstallInto(hooks); }
  RecordingHooks recorder;
  UiHooks hooks;
  TForm3 folders;
  TForm4 editor;

  void SetMoment(QDate date, QTime time) {
    editor.DateTimePicker1()->setDate(date);
    editor.DateTimePicker2()->setTime(time);
  }
  void SelectToken(const char* token) {
    for (int row = 0; row < editor.ListBox1()->count(); ++row) {
      if (editor.ListBox1()->item(row)->text().startsWith(QString::fromUtf8(token) + u'=')) {
        editor.ListBox1()->setCurrentRow(row);
        return;
      }
    }
    FAIL() << "no line for " << token;
  }
};

TEST_F(TemplateEditorTest, ListsEveryTokenWithItsDescription) {
  ASSERT_EQ(editor.ListBox1()->count(), 17);
  EXPECT_EQ(editor.ListBox1()->item(0)->text(), QString::fromUtf8("%yyyy%=год 4 цифры"));
  EXPECT_EQ(editor.ListBox1()->item(16)->text(),
            QString::fromUtf8("%ycht%=четность года (1-не четный, 2-четный)"));
  EXPECT_EQ(editor.DateTimePicker1()->displayFormat(), QString("dd.MM.yyyy"));
  EXPECT_EQ(editor.DateTimePicker2()->displayFormat(), QString("HH:mm:ss"));
}

TEST_F(TemplateEditorTest, TheCalendarAndTheTextMenuSpeakRussian) {
  QCalendarWidget* calendar = editor.DateTimePicker1()->calendarWidget();
  ASSERT_NE(calendar, nullptr);
  EXPECT_EQ(calendar->locale().language(), QLocale::Russian);
  EXPECT_EQ(calendar->locale().standaloneMonthName(3), QString::fromUtf8("март"));
  std::unique_ptr<QMenu> menu(editor.Edit1()->createStandardContextMenu());
  QStringList texts;
  for (const QAction* action : menu->actions()) texts << action->text().remove(u'&').section(u'\t', 0, 0);
  EXPECT_TRUE(texts.contains(QString::fromUtf8("Копировать"))) << texts.join(", ").toStdString();
  EXPECT_TRUE(texts.contains(QString::fromUtf8("Вставить"))) << texts.join(", ").toStdString();
}

TEST_F(TemplateEditorTest, PreviewFollowsTextAndPickers) {
  SetMoment(QDate(2026, 3, 5), QTime(7, 4, 9));
  editor.SetTemplate("/backup/%yyyy%%my%%dd%.zip");
  EXPECT_EQ(editor.Label1()->text(), QString("/backup/20260305.zip"));
  EXPECT_EQ(editor.Label1()->toolTip(), QString("/backup/20260305.zip"));
  editor.Edit1()->setText("/backup/%hh%%mm%%ss%");
  EXPECT_EQ(editor.Label1()->text(), QString("/backup/070409"));
  editor.DateTimePicker2()->setTime(QTime(23, 59, 58));
  EXPECT_EQ(editor.Label1()->text(), QString("/backup/235958"));
  editor.Edit1()->setText("%yyyy%-%dd%");
  editor.DateTimePicker1()->setDate(QDate(2027, 1, 1));
  EXPECT_EQ(editor.Label1()->text(), QString("2027-01"));
}

TEST_F(TemplateEditorTest, TheReservedZeroMomentPreviewsNow) {
  SetMoment(QDate(1899, 12, 30), QTime(0, 0, 0));
  EXPECT_EQ(editor.PreviewMoment(), 0.0);
  const CivilTime before = LocalNow();
  editor.SetTemplate("%yyyy%%my%%dd%");
  const CivilTime after = LocalNow();
  const auto day = [](const CivilTime& t) {
    return QString::asprintf("%04d%02d%02d", t.year, t.month, t.day);
  };
  EXPECT_TRUE(editor.Label1()->text() == day(before) || editor.Label1()->text() == day(after))
      << editor.Label1()->text().toStdString();
  // One second later is an ordinary moment again.
  editor.DateTimePicker2()->setTime(QTime(0, 0, 1));
  EXPECT_EQ(editor.Label1()->text(), QString("18991230"));
}

TEST_F(TemplateEditorTest, DoubleClickInsertsTheTokenAtTheCaret) {
  editor.show();
  QApplication::setActiveWindow(&editor);
  editor.SetTemplate("/backup/x");
  editor.Edit1()->setCursorPosition(editor.Edit1()->text().size());
  SelectToken("%dd%");
  QListWidget* list = editor.ListBox1();
  const QRect line = list->visualItemRect(list->currentItem());
  // A double-click is a click followed by the second press.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, line.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, line.center());
  EXPECT_EQ(editor.Template(), QString("/backup/x%dd%"));
  // The typing goes on in the text box, right after the token.
  EXPECT_TRUE(editor.Edit1()->hasFocus());
  QTest::keyClicks(QApplication::focusWidget(), ".zip");
  EXPECT_EQ(editor.Template(), QString("/backup/x%dd%.zip"));

  // In the middle, and in place of a selection.
  editor.Edit1()->setCursorPosition(8);
  SelectToken("%yyyy%");
  editor.InsertSelectedToken();
  EXPECT_EQ(editor.Template(), QString("/backup/%yyyy%x%dd%.zip"));
  editor.Edit1()->setSelection(8, 6);
  SelectToken("%qwartr3%");
  editor.InsertSelectedToken();
  EXPECT_EQ(editor.Template(), QString("/backup/%qwartr3%x%dd%.zip"));
}

TEST_F(TemplateEditorTest, FolderChoiceKeepsTheNamePart) {
  Scratch temp;
  const std::string work = temp.MakeFolder("work");
  std::string chosen = work;
  recorder.OnDialog = [&](QDialog& dialog) {
    EXPECT_EQ(&dialog, &folders);
    folders.SetFolder(chosen);
    return int(QDialog::Accepted);
  };
  editor.SetTemplate("/backup/%yyyy%.zip");
  editor.ChooseFolder();
  EXPECT_EQ(FromQ(editor.Template()), work + "/%yyyy%.zip");

  // The root gives exactly one "/".
  chosen = "/";
  editor.ChooseFolder();
  EXPECT_EQ(editor.Template(), QString("/%yyyy%.zip"));

  // A text without a name part keeps none.
  editor.SetTemplate(ToQ(work + "/"));
  editor.ChooseFolder();
  EXPECT_EQ(editor.Template(), QString("/"));

  // Cancelling changes nothing.
  recorder.OnDialog = [](QDialog&) { return int(QDialog::Rejected); };
  editor.SetTemplate("/backup/%yyyy%.zip");
  editor.ChooseFolder();
  EXPECT_EQ(editor.Template(), QString("/backup/%yyyy%.zip"));
}

TEST_F(TemplateEditorTest, SaveAndCancelCloseTheDialog) {
  editor.show();
  editor.Button2()->click();
  EXPECT_EQ(editor.result(), QDialog::Accepted);
  editor.show();
  editor.Button3()->click();
  EXPECT_EQ(editor.result(), QDialog::Rejected);
}

TEST(SettingsDialogTest, ShowsTheJobAndTakesItBack) {
  TForm5 dialog;
  JobSettings job;
  job.Level = 12;
  job.ReplaceMode = 7;
  job.IncludeSubDirs = false;
  job.StorePaths = true;
  dialog.ShowSettings(job);
  EXPECT_EQ(dialog.SpinEdit1()->value(), 9);
  EXPECT_EQ(dialog.SpinEdit1()->text(), QString("9"));
  EXPECT_EQ(job.ReplaceMode, 2);
  EXPECT_EQ(dialog.ReplaceModeButtons()->checkedId(), 2);
  EXPECT_FALSE(dialog.cbIncludeSubDirs()->isChecked());
  EXPECT_TRUE(dialog.cbStorePaths()->isChecked());
  EXPECT_EQ(job.Level, 12);  // showing alone changes nothing

  job.Level = -3;
  dialog.ShowSettings(job);
  EXPECT_EQ(dialog.SpinEdit1()->text(), QString("0"));

  dialog.ReplaceModeButtons()->button(0)->setChecked(true);
  dialog.cbIncludeSubDirs()->setChecked(true);
  dialog.cbStorePaths()->setChecked(false);
  dialog.SpinEdit1()->setValue(4);
  dialog.TakeSettings(job);
  EXPECT_EQ(job.Level, 4);
  EXPECT_EQ(job.ReplaceMode, 0);
  EXPECT_TRUE(job.IncludeSubDirs);
  EXPECT_FALSE(job.StorePaths);
}

// The thread box: 0 reads «авто», the range ends at 64, and its value goes
// back into the job only with the rest of the dialog.
TEST(SettingsDialogTest, ThreadsBoxShowsAutoForZeroAndTakesItsValueBack) {
  TForm5 dialog;
  EXPECT_EQ(dialog.seThreads()->minimum(), 0);
  EXPECT_EQ(dialog.seThreads()->maximum(), 64);
  JobSettings job;
  dialog.ShowSettings(job);
  EXPECT_EQ(dialog.seThreads()->value(), 0);
  EXPECT_EQ(dialog.seThreads()->text(), QString::fromUtf8("авто"));
  job.Threads = 3;
  dialog.ShowSettings(job);
  EXPECT_EQ(dialog.seThreads()->text(), QString("3"));
  job.Threads = 500;
  dialog.ShowSettings(job);
  EXPECT_EQ(dialog.seThreads()->value(), 64);
  dialog.seThreads()->setValue(2);
  EXPECT_EQ(job.Threads, 64);
  dialog.TakeSettings(job);
  EXPECT_EQ(job.Threads, 2);
  dialog.seThreads()->stepBy(-5);
  dialog.TakeSettings(job);
  EXPECT_EQ(job.Threads, 0);
}

TEST(SettingsDialogTest, TheCheckOfTheArchiveAndTheArchivesKept) {
  TForm5 dialog;
  EXPECT_EQ(dialog.cbVerify()->text(), QString::fromUtf8("Проверять архив после записи"));
  const QLabel* caption = nullptr;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->buddy() == dialog.seKeepArchives()) caption = label;
  }
  ASSERT_NE(caption, nullptr);
  EXPECT_EQ(caption->text(), QString::fromUtf8("Хранить архивов"));

  JobSettings job;
  dialog.ShowSettings(job);  // the defaults: checked, every archive kept
  EXPECT_TRUE(dialog.cbVerify()->isChecked());
  EXPECT_EQ(dialog.seKeepArchives()->value(), 0);
  EXPECT_EQ(dialog.seKeepArchives()->text(), QString::fromUtf8("все"));
  job.Verify = false;
  job.KeepArchives = 14;
  dialog.ShowSettings(job);
  EXPECT_FALSE(dialog.cbVerify()->isChecked());
  EXPECT_EQ(dialog.seKeepArchives()->text(), QString("14"));
  job.KeepArchives = -5;  // from the file: keeps everything, as 0
  dialog.ShowSettings(job);
  EXPECT_EQ(dialog.seKeepArchives()->value(), 0);

  dialog.cbVerify()->setChecked(true);
  dialog.seKeepArchives()->setValue(7);
  dialog.TakeSettings(job);
  EXPECT_TRUE(job.Verify);
  EXPECT_EQ(job.KeepArchives, 7);
}

TEST(SettingsDialogTest, TheTitlesAndItemsStandAsWritten) {
  TForm5 dialog;
  EXPECT_EQ(dialog.rgReplaceMode()->title(), QString::fromUtf8("Действия в случае если архив существует"));
  const char* items[] = {"Удалять старый архив", "Заменять более старые файлы",
                         "Заменять файлы не взирая на дату", "Обновлять только существующие файлы"};
  for (int id = 0; id < 4; ++id) {
    EXPECT_EQ(dialog.ReplaceModeButtons()->button(id)->text(), QString::fromUtf8(items[id]));
  }
  EXPECT_EQ(dialog.cbIncludeSubDirs()->text(), QString::fromUtf8("Включать подкаталоги"));
  EXPECT_EQ(dialog.cbStorePaths()->text(), QString::fromUtf8("Сохранять пути к файлам"));
  bool threads_caption_found = false;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->text() == QString::fromUtf8("Потоков сжатия")) threads_caption_found = label->buddy() == dialog.seThreads();
  }
  EXPECT_TRUE(threads_caption_found);
  EXPECT_EQ(dialog.BitBtn1()->text(), QString::fromUtf8("Сохранить"));
  EXPECT_EQ(dialog.BitBtn2()->text(), QString::fromUtf8("Отмена"));
}

TEST(SettingsDialogTest, AnEmptyLevelBoxCountsAsZero) {
  TForm5 dialog;
  JobSettings job;
  job.Level = 6;
  dialog.ShowSettings(job);
  dialog.show();
  QLineEdit* text = dialog.SpinEdit1()->findChild<QLineEdit*>();
  ASSERT_NE(text, nullptr);
  dialog.SpinEdit1()->setFocus();
  text->selectAll();
  QTest::keyClick(text, Qt::Key_Backspace);
  EXPECT_TRUE(dialog.SpinEdit1()->cleanText().isEmpty());
  EXPECT_EQ(dialog.LevelValue(), 0);
  dialog.TakeSettings(job);
  EXPECT_EQ(job.Level, 0);
  // Typed digits count as typed; the arrow keys step by one.
  QTest::keyClicks(text, "7");
  EXPECT_EQ(dialog.LevelValue(), 7);
  QTest::keyClick(dialog.SpinEdit1(), Qt::Key_Up);
  EXPECT_EQ(dialog.LevelValue(), 8);
  QTest::keyClicks(text, "x");
  EXPECT_EQ(dialog.LevelValue(), 8);
}

TEST(FolderChooserTest, GetFolderDropsTheTrailingSlashButKeepsTheRoot) {
  Scratch temp;
  const std::string inner = temp.MakeFolder("a/b");
  TForm3 chooser;
  chooser.SetFolder("/");
  EXPECT_EQ(chooser.GetFolder(), "/");
  chooser.SetFolder(inner + "/");
  EXPECT_EQ(chooser.GetFolder(), inner);
  // An empty text leaves the tree where it is.
  chooser.SetFolder("");
  EXPECT_EQ(chooser.GetFolder(), inner);
  // A folder that does not exist shows its nearest existing parent.
  chooser.SetFolder(inner + "/missing/deeper");
  EXPECT_EQ(chooser.GetFolder(), inner);
  // A folder picked in the tree is the one handed back.
  QFileSystemModel* model = qobject_cast<QFileSystemModel*>(chooser.DirectoryListBox1()->model());
  ASSERT_NE(model, nullptr);
  chooser.DirectoryListBox1()->setCurrentIndex(model->index(ToQ(temp.path() + "/a")));
  EXPECT_EQ(chooser.GetFolder(), temp.path() + "/a");
  EXPECT_EQ(chooser.Button1()->text(), QString::fromUtf8("Выбрать"));
  EXPECT_EQ(chooser.Button2()->text(), QString::fromUtf8("Отмена"));
}

TEST(AboutBoxTest, ShowsTheVersionAndOpensTheLinks) {
  RecordingHooks recorder;
  UiHooks hooks;
  recorder.InstallInto(hooks);
  TAbout about(hooks);
  about.show();
  EXPECT_EQ(about.lVersion()->text(), QString(TESSEL_VERSION));
  EXPECT_EQ(about.palette().color(QPalette::Window), QColor(0x0E, 0x9C, 0x95));
  QTest::mouseClick(about.Label9(), Qt::LeftButton);
  QTest::mouseClick(about.Label11(), Qt::LeftButton);
  ASSERT_EQ(recorder.OpenedUrls.size(), 2);
  EXPECT_EQ(recorder.OpenedUrls[0], QString("mailto:team@tessel-backup.example"));
  EXPECT_EQ(recorder.OpenedUrls[1], QString("https://tessel-backup.example"));
  EXPECT_EQ(about.Label9()->cursor().shape(), Qt::PointingHandCursor);
  about.BitBtn1()->click();
  EXPECT_FALSE(about.isVisible());
}

}  // namespace
}  // namespace tessel
