// Renders every window and dialog to a PNG under the build folder
// (screenshots/, with "@<factor>x" in the name under QT_SCALE_FACTOR), so
// that a person can look at them without a display, and checks that no
// caption is cut off: every label and button gets at least its wanted width.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <fstream>

#include "support/scratch.h"
#include "ui/about_box.h"
#include "ui/folder_chooser.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ui/template_editor.h"
#include "ui_test_util.h"

namespace tessel {
namespace {

using test::Scratch;

QString ScreenshotPath(const QString& name) {
  const QString folder = QStringLiteral(TESSEL_BINARY_DIR "/screenshots");
  QDir().mkpath(folder);
  const QString factor = qEnvironmentVariable("QT_SCALE_FACTOR");
  const QString suffix = factor.isEmpty() ? QString() : QStringLiteral("@") + factor + u'x';
  return folder + u'/' + name + suffix + QStringLiteral(".png");
}

// Shows the window, saves its picture and checks that every caption fits.
void Capture(QWidget& window, const QString& name) {
  window.show();
  QApplication::processEvents();
  const QPixmap picture = window.grab();
  ASSERT_FALSE(picture.isNull());
  EXPECT_TRUE(picture.save(ScreenshotPath(name))) << name.toStdString();

  for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
    if (!button->isVisible() || button->text().isEmpty()) continue;
    EXPECT_GE(button->width(), button->sizeHint().width())
        << name.toStdString() << ": " << button->text().toStdString();
  }
  for (const QLabel* label : window.findChildren<QLabel*>()) {
    if (!label->isVisible() || label->text().isEmpty() || qobject_cast<const TPathLabel*>(label)) continue;
    if (label->wordWrap()) {
      EXPECT_GE(label->height(), label->heightForWidth(label->width()))
          << name.toStdString() << ": " << label->text().toStdString();
    } else {
      EXPECT_GE(label->width(), label->sizeHint().width())
          << name.toStdString() << ": " << label->text().toStdString();
    }
  }
  for (const QGroupBox* box : window.findChildren<QGroupBox*>()) {
    EXPECT_GE(box->width(), box->minimumSizeHint().width()) << name.toStdString();
  }
}

// Puts the window in the middle of a run: the file, the bars, the times.
void ShowARunInProgress(TForm1& form, const std::string& file) {
  form.ShowCurrentFile(file);
  form.ShowArchiveName("/home/user/BackUp/20260305070409.zip");
  form.SetFileProgress(64);
  form.SetTotalProgress(37);
  form.ShowElapsed(FormatDuration(3725));
  form.ShowRemaining(FormatDuration(6330));
}

TEST(Screenshots, EveryWindow) {
  Scratch temp;
  StartupOptions options;
  options.ConfigPath = temp.path() + "/Config.ini";
  TForm1 form(options);
  JobSettings& job = form.Job();
  job.IncludeMasks.Clear();
  job.IncludeMasks.Append("/home/user/Документы/*.*");
  job.IncludeMasks.Append("/home/user/Проекты/*.cpp");
  job.IncludeMasks.Current = 0;
  job.ExcludeMasks.Clear();
  job.ExcludeMasks.Append("*.tmp");
  job.ExcludeMasks.Current = 0;
  form.dbgFiles()->Model().Reload();
  form.dbgNotInclude()->Model().Reload();
  form.eFileNameMask()->setText("/home/user/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip");
  ShowARunInProgress(form, "/home/user/Документы/Отчёт за квартал/итоги.odt");
  Capture(form, "main_window");

  TForm4& editor = *form.TemplateEditor();
  editor.SetTemplate("/home/user/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip");
  editor.DateTimePicker1()->setDate(QDate(2026, 3, 5));
  editor.DateTimePicker2()->setTime(QTime(7, 4, 9));
  Capture(editor, "template_editor");
  editor.hide();

  TForm5& settings = *form.SettingsDialog();
  settings.ShowSettings(job);
  Capture(settings, "settings_dialog");
  settings.hide();

  TForm3& folders = *form.FolderChooser();
  folders.SetFolder("/usr/share");
  Capture(folders, "folder_chooser");
  folders.hide();

  TAbout& about = *form.About();
  Capture(about, "about_box");
  about.hide();

  QMessageBox error(QMessageBox::Critical, ApplicationTitle(),
                    ErrorBoxText(QString::fromUtf8("Пользователь прервал операцию")), QMessageBox::Ok, &form);
  Capture(error, "error_box");
  error.hide();
  QMessageBox question(QMessageBox::Question, ApplicationTitle(), QString::fromUtf8("Удалить запись?"),
                       QMessageBox::Yes | QMessageBox::No, &form);
  Capture(question, "delete_question");
  // The standard buttons speak Russian.
  EXPECT_EQ(question.button(QMessageBox::Yes)->text().remove(u'&'), QString::fromUtf8("Да"));
  EXPECT_EQ(question.button(QMessageBox::No)->text().remove(u'&'), QString::fromUtf8("Нет"));
  question.hide();
  QMessageBox stop_question(QMessageBox::Question, ApplicationTitle(),
                            QString::fromUtf8("Остановить архивацию и закрыть окно?"),
                            QMessageBox::Yes | QMessageBox::No, &form);
  Capture(stop_question, "stop_question");
  stop_question.hide();
}

TEST(Screenshots, MainWindowEnlargedAndAfterARun) {
  Scratch temp;
  StartupOptions options;
  options.ConfigPath = temp.path() + "/Config.ini";
  const std::string data = temp.MakeFolder("Документы/Отчёты за квартал с длинным названием папки");
  std::ofstream(data + "/итоги.txt") << std::string(200000, 'x');
  std::ofstream(data + "/план.txt") << "план";
  TForm1 form(options);
  test::RecordingHooks recorder;
  recorder.InstallInto(form.Hooks());
  JobSettings& job = form.Job();
  job.IncludeMasks.Clear();
  job.IncludeMasks.Append(temp.path() + "/Документы/*.*");
  job.IncludeMasks.Append("/home/user/Проекты/*.cpp");
  job.IncludeMasks.Append("/home/user/Музыка/*.flac");
  job.IncludeMasks.Append("/home/user/Изображения/Отпуск/*.*");
  job.IncludeMasks.Current = 0;
  job.ExcludeMasks.Clear();
  for (const char* mask : {"*.tmp", "*.bak", "*~", "*/.cache/*"}) job.ExcludeMasks.Append(mask);
  job.ExcludeMasks.Current = 0;
  form.dbgFiles()->Model().Reload();
  form.dbgNotInclude()->Model().Reload();
  form.eFileNameMask()->setText(ToQ(temp.path() + "/BackUp/%yyyy%%my%%dd%%hh%%mm%%ss%.zip"));

  // Enlarged during a run: the lists show more rows, the long path fits.
  form.show();
  form.resize(form.size() + QSize(360, 220));
  ShowARunInProgress(form, data + "/итоги.txt");
  Capture(form, "main_window_enlarged");

  form.resize(form.minimumSizeHint());
  form.Button1()->click();
  QTRY_VERIFY_WITH_TIMEOUT(!form.IsRunning() && form.Button1()->isEnabled(), 60000);
  ASSERT_TRUE(form.SummaryLabel()->text().startsWith(QString::fromUtf8("Готово за ")))
      << form.SummaryLabel()->text().toStdString();
  Capture(form, "main_window_after_run");
}

}  // namespace
}  // namespace tessel
