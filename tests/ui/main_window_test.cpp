// The main window over the real run controller and engine, on temporary
// folders: list editing, the Delete rules, the folder choice, the dialogs,
// the batch restrictions and the three run modes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QTest>
#include <QThread>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "app/settings.h"
#include "ui/folder_chooser.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ui/template_editor.h"
#include "ui_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using test::RecordingHooks;
using test::TempDir;

constexpr int kWaitMs = 60000;

void WriteFile(const std::string& path, size_t size, unsigned seed) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  std::ofstream(path, std::ios::binary) << data;
}

// A window on a job of its own in a temporary folder, with recording hooks.
struct Window {
  explicit Window(bool batch = false, bool show_window = false) {
    options.Batch = batch;
    options.ShowWindow = show_window;
    options.ConfigPath = temp.Path() + "/Config.ini";
    form = std::make_unique<TForm1>(options);
    recorder.InstallInto(form->Hooks());
  }
  // A job that backs up data/ into out/backup.zip.
  void UseJob(size_t file_size = 4096, const std::string& templ = "") {
    WriteFile(temp.Path() + "/data/one.bin", file_size, 1);
    WriteFile(temp.Path() + "/data/two.txt", 100, 2);
    JobSettings& job = form->Job();
    job.IncludeMasks.Clear();
    job.IncludeMasks.Append(temp.Path() + "/data/*.*");
    form->dbgFiles()->Model().Reload();
    form->eFileNameMask()->setText(ToQ(templ.empty() ? temp.Path() + "/out/backup.zip" : templ));
  }
  std::string Archive() const { return temp.Path() + "/out/backup.zip"; }

  TempDir temp;
  StartupOptions options;
  std::unique_ptr<TForm1> form;
  RecordingHooks recorder;
};

TEST(MainWindowTest, ControlsCaptionsAndColours) {
  Window window;
  TForm1& form = *window.form;
  EXPECT_EQ(form.windowTitle(), QString("Tessel Backup"));
  EXPECT_EQ(form.Button1()->text(), QString::fromUtf8("Создать архив"));
  EXPECT_EQ(form.Button2()->text(), QString::fromUtf8("Остановить"));
  EXPECT_EQ(form.Button3()->text(), QString::fromUtf8("О программе"));
  EXPECT_EQ(form.Button4()->text(), QString::fromUtf8("Настройки"));
  EXPECT_EQ(form.SpeedButton1()->toolTip(), QString::fromUtf8("Настройка маски"));
  EXPECT_EQ(form.dbgFiles()->model()->headerData(0, Qt::Horizontal).toString(),
            QString::fromUtf8("Маска входимости"));
  EXPECT_EQ(form.dbgNotInclude()->model()->headerData(0, Qt::Horizontal).toString(),
            QString::fromUtf8("Маска исключения"));
  EXPECT_EQ(form.dbgFiles()->palette().color(QPalette::Base), QColor(0xE0, 0xFF, 0xE0));
  EXPECT_EQ(form.dbgNotInclude()->palette().color(QPalette::Base), QColor(0xFF, 0xE0, 0xE0));
  QStringList texts;
  for (const QLabel* label : form.findChildren<QLabel*>()) texts << label->text();
  for (const char* text : {"Что включать в архив", "Что не включать в архив", "Маска выходного архива",
                           "Текущий архивируемый файл", "Время:", "Прошло", "Осталось"}) {
    EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << text;
  }
  EXPECT_TRUE(form.Label1()->text().isEmpty());
  EXPECT_TRUE(form.Label7()->text().isEmpty());
  EXPECT_TRUE(form.l_PrTime()->text().isEmpty());
  EXPECT_TRUE(form.l_OstTime()->text().isEmpty());
  EXPECT_EQ(form.eFileNameMask()->text(), ToQ(DefaultFileNameMask()));
  // Fixed size, no maximise button.
  form.show();
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST(MainWindowTest, TabOrder) {
  Window window;
  TForm1& form = *window.form;
  form.show();
  std::vector<QWidget*> chain;
  QWidget* widget = form.Button1();
  do {
    if (widget->focusPolicy() & Qt::TabFocus) chain.push_back(widget);
    widget = widget->nextInFocusChain();
  } while (widget != form.Button1() && chain.size() < 32);
  const std::vector<QWidget*> expected = {form.Button1(), form.dbgFiles(), form.eFileNameMask(),
                                          form.Button2(), form.dbgNotInclude(), form.Button3(),
                                          form.Button4()};
  EXPECT_EQ(chain, expected);
}

TEST(MainWindowTest, DeleteKeyRules) {
  Window window;
  TForm1& form = *window.form;
  form.show();
  TMaskGrid* grid = form.dbgFiles();
  grid->setFocus();
  // An empty list asks nothing.
  QTest::keyClick(grid, Qt::Key_Delete);
  EXPECT_TRUE(window.recorder.Questions.isEmpty());

  form.Job().IncludeMasks.Append("/a/*.*");
  form.Job().IncludeMasks.Append("/b/*.*");
  grid->Model().Reload();
  EXPECT_EQ(grid->Model().CurrentRow(), 1);
  EXPECT_EQ(grid->currentIndex().row(), 1);
  // Ctrl+Delete never deletes and never asks.
  QTest::keyClick(grid, Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_TRUE(window.recorder.Questions.isEmpty());
  EXPECT_EQ(form.Job().IncludeMasks.Count(), 2u);
  // No keeps the row, Yes deletes the current one.
  window.recorder.Answer = false;
  QTest::keyClick(grid, Qt::Key_Delete);
  EXPECT_EQ(window.recorder.Questions, QStringList{QString::fromUtf8("Удалить запись?")});
  EXPECT_EQ(form.Job().IncludeMasks.Count(), 2u);
  EXPECT_EQ(grid->Model().CurrentRow(), 1);
  window.recorder.Answer = true;
  QTest::keyClick(grid, Qt::Key_Delete);
  EXPECT_EQ(form.Job().IncludeMasks.Items, std::vector<std::string>{"/a/*.*"});
  QTest::keyClick(grid, Qt::Key_Delete);
  EXPECT_EQ(form.Job().IncludeMasks.Count(), 0u);
  EXPECT_EQ(window.recorder.Questions.size(), 3);

  // A row being added counts: Delete asks and discards it.
  QTest::keyClick(grid, Qt::Key_Down);
  EXPECT_EQ(grid->Model().GetState(), TMaskModel::State::Insert);
  QTest::keyClick(grid, Qt::Key_Delete);
  EXPECT_EQ(window.recorder.Questions.size(), 4);
  EXPECT_EQ(grid->model()->rowCount(), 0);

  // Inside the cell editor Delete edits the text instead.
  form.Job().ExcludeMasks.Append("*.tmp");
  form.dbgNotInclude()->Model().Reload();
  form.dbgNotInclude()->StartCellEdit();
  ASSERT_NE(form.dbgNotInclude()->CellEditor(), nullptr);
  QLineEdit* text = form.dbgNotInclude()->CellEditor()->Text();
  text->setCursorPosition(0);
  QTest::keyClick(text, Qt::Key_Delete);
  EXPECT_EQ(window.recorder.Questions.size(), 4);
  QTest::keyClick(text, Qt::Key_Return);
  EXPECT_EQ(form.dbgNotInclude()->Model().CurrentText(), QString(".tmp"));
}

TEST(MainWindowTest, TypingIntoAnEmptyListAddsARow) {
  Window window;
  TForm1& form = *window.form;
  form.show();
  TMaskGrid* grid = form.dbgNotInclude();
  grid->setFocus();
  QTest::keyClicks(grid, "*");
  ASSERT_NE(grid->CellEditor(), nullptr);
  QTest::keyClicks(grid->CellEditor()->Text(), ".bak");
  QTest::keyClick(grid->CellEditor()->Text(), Qt::Key_Return);
  EXPECT_EQ(grid->Model().CurrentText(), QString("*.bak"));
  EXPECT_EQ(form.Job().ExcludeMasks.Count(), 0u);  // pending until the row is left
  QTest::keyClick(grid, Qt::Key_Down);              // a new row below
  QTest::keyClick(grid, Qt::Key_Up);                // leaving the untouched one drops it
  EXPECT_EQ(form.Job().ExcludeMasks.Items, std::vector<std::string>{"*.bak"});
  EXPECT_EQ(grid->model()->rowCount(), 1);
}

TEST(MainWindowTest, EllipsisMovesTheEntryToTheChosenFolder) {
  Window window;
  TForm1& form = *window.form;
  const std::string work = window.temp.MakeFolder("work");
  window.recorder.OnDialog = [&](QDialog& dialog) {
    EXPECT_EQ(&dialog, form.FolderChooser());
    form.FolderChooser()->SetFolder(work);
    return int(QDialog::Accepted);
  };
  form.Job().IncludeMasks.Append("/docs/*.doc");
  form.dbgFiles()->Model().Reload();
  form.show();
  // Through the button of the cell editor.
  form.dbgFiles()->StartCellEdit();
  ASSERT_NE(form.dbgFiles()->CellEditor(), nullptr);
  form.dbgFiles()->CellEditor()->EllipsisButton()->click();
  TMaskModel& model = form.dbgFiles()->Model();
  EXPECT_EQ(FromQ(model.CurrentText()), work + "/*.doc");
  EXPECT_EQ(model.GetState(), TMaskModel::State::Edit);
  EXPECT_EQ(form.Job().IncludeMasks.Items[0], "/docs/*.doc");  // still pending
  model.Post();
  EXPECT_EQ(form.Job().IncludeMasks.Items[0], work + "/*.doc");

  // An empty list gets a new row with the folder and *.*.
  form.ChooseListFolder(*form.dbgNotInclude());
  EXPECT_EQ(form.dbgNotInclude()->Model().GetState(), TMaskModel::State::Insert);
  EXPECT_EQ(FromQ(form.dbgNotInclude()->Model().CurrentText()), work + "/*.*");

  // Cancelling the chooser changes nothing.
  window.recorder.OnDialog = [](QDialog&) { return int(QDialog::Rejected); };
  form.ChooseListFolder(*form.dbgFiles());
  EXPECT_EQ(form.Job().IncludeMasks.Items[0], work + "/*.doc");
  EXPECT_EQ(model.GetState(), TMaskModel::State::Browse);
}

TEST(MainWindowTest, TemplateEditorSaveAndCancel) {
  Window window;
  TForm1& form = *window.form;
  form.eFileNameMask()->setText("/backup/%yyyy%.zip");
  window.recorder.OnDialog = [&](QDialog& dialog) {
    EXPECT_EQ(&dialog, form.TemplateEditor());
    EXPECT_EQ(form.TemplateEditor()->Template(), QString("/backup/%yyyy%.zip"));
    form.TemplateEditor()->Edit1()->setText("/other/%dd%.zip");
    return int(QDialog::Rejected);
  };
  form.SpeedButton1()->click();
  EXPECT_EQ(window.recorder.DialogsRun, 1);
  EXPECT_EQ(form.eFileNameMask()->text(), QString("/backup/%yyyy%.zip"));
  EXPECT_EQ(form.Job().FileNameMask, "/backup/%yyyy%.zip");
  window.recorder.OnDialog = [&](QDialog&) {
    form.TemplateEditor()->Edit1()->setText("/other/%dd%.zip");
    return int(QDialog::Accepted);
  };
  form.SpeedButton1()->click();
  EXPECT_EQ(form.eFileNameMask()->text(), QString("/other/%dd%.zip"));
  EXPECT_EQ(form.Job().FileNameMask, "/other/%dd%.zip");
}

TEST(MainWindowTest, SettingsReachTheJobAndTheEngine) {
  Window window;
  TForm1& form = *window.form;
  form.Job().Level = 12;
  int shown_level = -1;
  window.recorder.OnDialog = [&](QDialog&) {
    shown_level = form.SettingsDialog()->SpinEdit1()->value();
    return int(QDialog::Rejected);
  };
  form.Button4()->click();
  EXPECT_EQ(shown_level, 9);
  EXPECT_EQ(form.Job().Level, 12);  // "Отмена" keeps it
  window.recorder.OnDialog = [](QDialog&) { return int(QDialog::Accepted); };
  form.Button4()->click();
  EXPECT_EQ(form.Job().Level, 9);
  EXPECT_EQ(form.Controller().Engine().PackLevel, 9);

  window.recorder.OnDialog = [&](QDialog&) {
    TForm5& dialog = *form.SettingsDialog();
    dialog.SpinEdit1()->findChild<QLineEdit*>()->clear();
    dialog.cbStorePaths()->setChecked(false);
    dialog.ReplaceModeButtons()->button(3)->setChecked(true);
    return int(QDialog::Accepted);
  };
  form.Button4()->click();
  EXPECT_EQ(form.Job().Level, 0);
  EXPECT_EQ(form.Job().ReplaceMode, 3);
  EXPECT_FALSE(form.Job().StorePaths);
  EXPECT_EQ(form.Controller().Engine().PackLevel, 0);
  EXPECT_FALSE(form.Controller().Engine().StorePaths());
}

TEST(MainWindowTest, AboutOpensModally) {
  Window window;
  window.form->Button3()->click();
  EXPECT_EQ(window.recorder.DialogsRun, 1);
}

TEST(MainWindowTest, BatchModeButtonsDoNothing) {
  Window window(/*batch=*/true);
  TForm1& form = *window.form;
  EXPECT_EQ(form.About(), nullptr);
  EXPECT_EQ(form.FolderChooser(), nullptr);
  EXPECT_EQ(form.TemplateEditor(), nullptr);
  EXPECT_EQ(form.SettingsDialog(), nullptr);
  form.Job().IncludeMasks.Append("/docs/*.doc");
  form.dbgFiles()->Model().Reload();
  form.Button3()->click();
  form.Button4()->click();
  form.SpeedButton1()->click();
  form.ChooseListFolder(*form.dbgFiles());
  form.ChooseListFolder(*form.dbgNotInclude());
  EXPECT_EQ(window.recorder.DialogsRun, 0);
  EXPECT_EQ(form.Job().IncludeMasks.Items[0], "/docs/*.doc");
  EXPECT_EQ(form.dbgFiles()->Model().GetState(), TMaskModel::State::Browse);
}

TEST(MainWindowTest, InteractiveRunShowsProgressAndTheDoneMessage) {
  Window window;
  window.UseJob();
  TForm1& form = *window.form;
  form.show();
  form.Button1()->click();
  EXPECT_TRUE(window.recorder.Errors.isEmpty()) << window.recorder.Errors.join("\n").toStdString();
  EXPECT_EQ(window.recorder.Messages, QStringList{QString::fromUtf8("Архивация закончена")});
  EXPECT_TRUE(std::filesystem::exists(window.Archive()));
  // Completion clears the display.
  EXPECT_EQ(form.pbFile()->value(), 0);
  EXPECT_EQ(form.pbTotal()->value(), 0);
  EXPECT_TRUE(form.Label1()->text().isEmpty());
  EXPECT_TRUE(form.Label7()->text().isEmpty());
  EXPECT_TRUE(form.l_PrTime()->text().isEmpty());
  // The run saved the job.
  EXPECT_TRUE(std::filesystem::exists(window.options.ConfigPath));
  form.close();
  EXPECT_TRUE(form.WasClosed());
}

TEST(MainWindowTest, ErrorsAreShownWithAFullStop) {
  Window window;
  window.UseJob(100, "backup.zip");  // no folder part
  window.form->Button1()->click();
  EXPECT_EQ(window.recorder.Errors, QStringList{"Unable to create directory."});
  EXPECT_TRUE(window.recorder.Messages.isEmpty());
}

TEST(MainWindowTest, ANameEndingInAQuestionMarkAsksForTheArchive) {
  Window window;
  window.UseJob(100, "");
  const std::string chosen = window.temp.Path() + "/out/picked.zip";
  std::filesystem::create_directories(window.temp.Path() + "/out");
  QString initial;
  window.form->Hooks().ChooseArchive = [&](QWidget*, const QString& folder, QString& file) {
    initial = folder;
    file = ToQ(chosen);
    return true;
  };
  window.form->eFileNameMask()->setText(ToQ(window.temp.Path() + "/out/?"));
  window.form->Button1()->click();
  EXPECT_TRUE(window.recorder.Errors.isEmpty()) << window.recorder.Errors.join("\n").toStdString();
  EXPECT_TRUE(std::filesystem::exists(chosen));
}

TEST(MainWindowTest, ClosingAndStartingAreRefusedDuringARunAndStopEndsIt) {
  Window window;
  window.UseJob(48u << 20);
  TForm1& form = *window.form;
  form.show();
  bool was_busy = false;
  bool closed_during_run = true;
  // Runs inside the engine's event pump, while the run is in progress.
  QMetaObject::invokeMethod(
      &form,
      [&] {
        was_busy = form.Controller().IsBusy();
        form.close();
        closed_during_run = form.WasClosed();
        form.Button1()->click();  // a second run is refused
        form.Button2()->click();  // "Остановить"
      },
      Qt::QueuedConnection);
  form.Button1()->click();
  EXPECT_TRUE(was_busy);
  EXPECT_FALSE(closed_during_run);
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(window.recorder.Errors, QStringList{QString::fromUtf8("Пользователь прервал операцию.")});
  EXPECT_TRUE(window.recorder.Messages.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(window.Archive()));
  // After the run the close saves and goes through.
  form.close();
  EXPECT_TRUE(form.WasClosed());
  EXPECT_TRUE(std::filesystem::exists(window.options.ConfigPath));
}

TEST(MainWindowTest, DisplayCallsFromAnotherThreadReachTheWidgetsOnTheWindowsThread) {
  Window window;
  TForm1& form = *window.form;
  std::thread worker([&] {
    form.ShowCurrentFile("/data/a.txt");
    form.SetFileProgress(40);
    form.ShowElapsed(FormatDuration(3725));
  });
  worker.join();
  EXPECT_TRUE(form.Label1()->text().isEmpty());  // not touched from the worker
  QCoreApplication::processEvents();
  EXPECT_EQ(form.Label1()->text(), QString("/data/a.txt"));
  EXPECT_EQ(form.pbFile()->value(), 40);
  EXPECT_EQ(form.l_PrTime()->text(), QString::fromUtf8("1 ч. 2 м. 5 с."));
}

TEST(MainWindowTest, BatchWithWindowRunsOnTheWorkerAndClosesWhenDone) {
  Window window(/*batch=*/true, /*show_window=*/true);
  window.options.ShowCompletionMessage = true;
  window.form = std::make_unique<TForm1>(window.options);
  window.recorder.InstallInto(window.form->Hooks());
  window.UseJob(1u << 20);
  TForm1& form = *window.form;
  form.show();  // starts the worker
  ASSERT_NE(form.Worker(), nullptr);
  EXPECT_TRUE(form.dbgFiles()->IsReadOnly() || form.Worker()->Finished());
  QTRY_VERIFY_WITH_TIMEOUT(form.WasClosed(), kWaitMs);
  form.ReleaseWorker();
  EXPECT_FALSE(form.Worker()->Failed()) << form.Worker()->ErrorMessage();
  EXPECT_EQ(window.recorder.Messages, QStringList{QString::fromUtf8("Архивация закончена")});
  EXPECT_TRUE(std::filesystem::exists(window.Archive()));
  EXPECT_EQ(form.ExitStatus(), 0);
}

TEST(MainWindowTest, BatchWithWindowStaysOpenAfterAFailedRun) {
  Window window(/*batch=*/true, /*show_window=*/true);
  window.UseJob(100, "backup.zip");
  TForm1& form = *window.form;
  form.show();
  QTRY_VERIFY_WITH_TIMEOUT(form.Worker()->Finished(), kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(!form.dbgFiles()->IsReadOnly(), kWaitMs);
  EXPECT_TRUE(window.recorder.Errors.isEmpty());  // the worker ends without a message
  EXPECT_FALSE(form.WasClosed());
  EXPECT_EQ(form.Worker()->ErrorMessage(), "Unable to create directory");
  form.close();
  EXPECT_TRUE(form.WasClosed());
  EXPECT_EQ(form.ExitStatus(), 1);
}

TEST(MainWindowTest, AStopSignalEndsABatchRunAndClosesTheWindow) {
  Window window(/*batch=*/true, /*show_window=*/true);
  window.UseJob(64u << 20);
  TForm1& form = *window.form;
  form.show();
  QTRY_VERIFY_WITH_TIMEOUT(form.Controller().IsBusy() || form.Worker()->Finished(), kWaitMs);
  ASSERT_TRUE(form.Controller().IsBusy()) << "the run ended before it could be stopped";
  form.StopOnSignal();
  QTRY_VERIFY_WITH_TIMEOUT(form.WasClosed(), kWaitMs);
  EXPECT_TRUE(window.recorder.Errors.isEmpty());
  EXPECT_EQ(form.ExitStatus(), 1);
  EXPECT_FALSE(std::filesystem::exists(window.Archive()));
}

// Keeps a file from being opened by any other process, root included: a
// child holds a write lease on it, so a non-blocking open elsewhere fails
// with EWOULDBLOCK for as long as the child lives.
class LeasedFile {
public:
  explicit LeasedFile(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::signal(SIGIO, SIG_IGN);  // a lease break must not end the holder
      const int fd = ::open(path.c_str(), O_RDWR);
      const char ok = (fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) ? '1' : '0';
      (void)!::write(ready[1], &ok, 1);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char ok = '0';
    held_ = child_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
  }
  ~LeasedFile() {
    if (child_ <= 0) return;
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
  LeasedFile(const LeasedFile&) = delete;
  LeasedFile& operator=(const LeasedFile&) = delete;
  bool Held() const { return held_; }

private:
  pid_t child_ = -1;
  bool held_ = false;
};

TEST(MainWindowTest, TheDoneMessageNamesFilesThatCouldNotBeRead) {
  Window window;
  window.UseJob();
  const std::string lost = window.temp.Path() + "/data/lost.txt";
  { std::ofstream(lost) << "held"; }
  LeasedFile lease(lost);
  ASSERT_TRUE(lease.Held());
  window.form->Button1()->click();
  ASSERT_EQ(window.recorder.Messages.size(), 1);
  const QString message = window.recorder.Messages[0];
  EXPECT_TRUE(message.startsWith(QString::fromUtf8("Архивация закончена\n\n"))) << message.toStdString();
  EXPECT_TRUE(message.contains(QString::fromUtf8("не удалось прочитать: 1."))) << message.toStdString();
  EXPECT_TRUE(message.contains(ToQ(window.temp.Path() + "/data/lost.txt"))) << message.toStdString();
}

TEST(MainWindowTest, HiddenBatchRun) {
  {
    Window window(/*batch=*/true);
    window.UseJob();
    TForm1& form = *window.form;
    EXPECT_TRUE(form.RunHiddenBatch());
    EXPECT_TRUE(window.recorder.Messages.isEmpty());  // no "/+m"
    EXPECT_FALSE(form.isVisible());
    QCoreApplication::sendPostedEvents(&form);  // the close request
    EXPECT_TRUE(form.WasClosed());
    EXPECT_EQ(form.ExitStatus(), 0);
    EXPECT_TRUE(std::filesystem::exists(window.Archive()));
  }
  {
    Window window(/*batch=*/true);
    window.UseJob(100, "backup.zip");
    TForm1& form = *window.form;
    EXPECT_FALSE(form.RunHiddenBatch());
    EXPECT_EQ(window.recorder.Errors, QStringList{"Unable to create directory."});
    QCoreApplication::sendPostedEvents(&form);
    EXPECT_FALSE(form.WasClosed());  // no close request: the window stays
    EXPECT_EQ(form.ExitStatus(), 1);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The window says at once what keeps the loaded job from running: a value
// that would be cut, or a file that is no job file, which it never saves over.
TEST(MainWindowTest, WarnsOfAJobFileItCannotTakeAsItStands) {
  const std::string stars = std::string(10000, '*') + "x";
  const std::string photo = std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
  for (const bool is_photo : {false, true}) {
    TempDir temp;
    const std::string cut = "[Config]\nZipName=" + temp.Path() + "/out/x.zip\n[FilesNotInclude]\n1=" + stars + "\n";
    const std::string& image = is_photo ? photo : cut;
    StartupOptions options;
    options.ConfigPath = temp.Path() + "/Config.ini";
    std::ofstream(options.ConfigPath, std::ios::binary) << image;
    TForm1 form(options);
    RecordingHooks recorder;
    recorder.InstallInto(form.Hooks());
    QCoreApplication::processEvents();
    ASSERT_EQ(recorder.Errors.size(), 1);
    const std::string said = FromQ(recorder.Errors[0]);
    EXPECT_EQ(said, JobFileWarning(form.Job(), options.ConfigPath) + ".");
    form.CreateArchive();  // refused with the same words
    EXPECT_EQ(recorder.Errors.size(), 2);
    EXPECT_EQ(FromQ(recorder.Errors[1]), said);
    EXPECT_FALSE(std::filesystem::exists(temp.Path() + "/out"));
    form.close();
    EXPECT_TRUE(form.WasClosed());
    if (is_photo) {
      EXPECT_EQ(ReadAll(options.ConfigPath), photo);
    } else {
      // The cut mask is kept whole; only the job around it is written.
      EXPECT_NE(ReadAll(options.ConfigPath).find("\n1=" + stars + "\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tessel
