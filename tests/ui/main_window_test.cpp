// The main window over the real run controller and engine, on temporary
// folders: list editing, the Delete rules, the folder choice, the dialogs,
// the batch restrictions, the three run modes with every run on its worker,
// and what the window shows and allows before, during and after a run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string_view>
#include <thread>

#include "app/run_history.h"
#include "app/settings.h"
#include "app/window_state.h"
#include "support/files.h"
#include "support/leased_file.h"
#include "support/scratch.h"
#include "ui/folder_chooser.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ui/template_editor.h"
#include "ui_test_util.h"
#include "zip/zip_writer.h"

namespace tessel {
namespace {

using test::RecordingHooks;
using test::Scratch;

constexpr int kWaitMs = 60000;

// A caption as the user reads it, without its mnemonic mark.
QString Caption(const QAbstractButton* button) { return button->text().remove(u'&'); }

// A file of `size` random bytes.
void WriteRandom(const std::string& path, size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  test::WriteBytes(path, data);
}

// A window on a job of its own in a temporary folder, with recording hooks.
struct Window {
  explicit Window(bool batch = false, bool show_window = false) {
    options.Batch = batch;
    options.ShowWindow = show_window;
    options.ConfigPath = temp.path() + "/Config.ini";
    form = std::make_unique<TForm1>(options);
    recorder.InstallInto(form->Hooks());
  }
  // A job that backs up data/ into out/backup.zip.
  void UseJob(size_t file_size = 4096, const std::string& templ = "") {
    WriteRandom(temp.path() + "/data/one.bin", file_size, 1);
    WriteRandom(temp.path() + "/data/two.txt", 100, 2);
    JobSettings& job = form->Job();
    job.IncludeMasks.Clear();
    job.IncludeMasks.Append(temp.path() + "/data/*.*");
    form->dbgFiles()->Model().Reload();
    form->eFileNameMask()->setText(ToQ(templ.empty() ? temp.path() + "/out/backup.zip" : templ));
  }
  std::string Archive() const { return temp.path() + "/out/backup.zip"; }
  // Presses "Создать архив" and waits until the run has ended and the window
  // has dealt with its end.
  void RunToEnd() {
    form->Button1()->click();
    WaitForEnd();
  }
  void WaitForEnd() {
    QTRY_VERIFY_WITH_TIMEOUT(!form->IsRunning() && form->Button1()->isEnabled(), kWaitMs);
  }

  Scratch temp;
  StartupOptions options;
  std::unique_ptr<TForm1> form;
  RecordingHooks recorder;
};

TEST(MainWindowTest, ControlsCaptionsAndColours) {
  Window window;
  TForm1& form = *window.form;
  EXPECT_EQ(form.windowTitle(), QString("Tessel Backup"));
  EXPECT_EQ(Caption(form.Button1()), QString::fromUtf8("Создать архив"));
  EXPECT_EQ(Caption(form.Button2()), QString::fromUtf8("Остановить"));
  EXPECT_EQ(Caption(form.Button3()), QString::fromUtf8("О программе"));
  EXPECT_EQ(Caption(form.Button4()), QString::fromUtf8("Настройки"));
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
}

TEST(MainWindowTest, MnemonicsAndCtrlQ) {
  Window window;
  TForm1& form = *window.form;
  form.show();
  QApplication::setActiveWindow(&form);
  // Alt and the underlined letter press each button; the four letters differ.
  EXPECT_EQ(form.Button1()->shortcut(), QKeySequence(Qt::ALT | Qt::Key(0x0421)));  // С
  EXPECT_EQ(form.Button2()->shortcut(), QKeySequence(Qt::ALT | Qt::Key(0x041E)));  // О
  EXPECT_EQ(form.Button3()->shortcut(), QKeySequence(Qt::ALT | Qt::Key(0x041F)));  // П
  EXPECT_EQ(form.Button4()->shortcut(), QKeySequence(Qt::ALT | Qt::Key(0x041D)));  // Н
  form.Button4()->setFocus();
  QTest::sendKeyEvent(QTest::Click, &form, Qt::Key(0x041F), QString::fromUtf8("п"), Qt::AltModifier);
  QTRY_COMPARE_WITH_TIMEOUT(window.recorder.DialogsRun, 1, kWaitMs);  // the About box
  // Ctrl+Q closes as the close box does: the job is saved.
  form.dbgNotInclude()->Model().AddRow("*.bak");
  QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(form.WasClosed());
  JobSettings saved;
  LoadSettings(saved, window.options.ConfigPath);
  EXPECT_EQ(saved.ExcludeMasks.Items, std::vector<std::string>{"*.bak"});
}

TEST(MainWindowTest, TabOrder) {
  Window window;
  TForm1& form = *window.form;
  form.show();
  std::vector<QWidget*> chain;
  QWidget* widget = form.Button1();
  do {
    if ((widget->focusPolicy() & Qt::TabFocus) && widget->isVisible()) chain.push_back(widget);
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
  window.RunToEnd();
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
  window.RunToEnd();
  EXPECT_EQ(window.recorder.Errors, QStringList{"Unable to create directory."});
  EXPECT_TRUE(window.recorder.Messages.isEmpty());
}

TEST(MainWindowTest, ANameEndingInAQuestionMarkAsksForTheArchive) {
  Window window;
  window.UseJob(100, "");
  const std::string chosen = window.temp.path() + "/out/picked.zip";
  std::filesystem::create_directories(window.temp.path() + "/out");
  QString initial;
  window.form->Hooks().ChooseArchive = [&](QWidget*, const QString& folder, QString& file) {
    initial = folder;
    file = ToQ(chosen);
    return true;
  };
  window.form->eFileNameMask()->setText(ToQ(window.temp.path() + "/out/?"));
  window.RunToEnd();
  EXPECT_TRUE(window.recorder.Errors.isEmpty()) << window.recorder.Errors.join("\n").toStdString();
  EXPECT_TRUE(std::filesystem::exists(chosen));
}

TEST(MainWindowTest, ARunGoesOnItsWorkerAndTheWindowStaysFree) {
  Window window;
  window.UseJob(48u << 20);
  TForm1& form = *window.form;
  form.show();
  auto states = [&] {
    return std::vector<bool>{form.Button1()->isEnabled(), form.Button2()->isEnabled(), form.Button3()->isEnabled(),
                             form.Button4()->isEnabled(), form.SpeedButton1()->isEnabled(),
                             form.eFileNameMask()->isReadOnly(), form.dbgFiles()->IsReadOnly(),
                             form.dbgNotInclude()->IsReadOnly()};
  };
  const std::vector<bool> idle = {true, false, true, true, true, false, false, false};
  const std::vector<bool> running = {false, true, false, false, false, true, true, true};
  EXPECT_EQ(states(), idle);
  // The button returns at once; the run goes on while the window's thread
  // handles its events.
  form.Button1()->click();
  ASSERT_TRUE(form.IsRunning());
  EXPECT_EQ(states(), running);
  QTRY_VERIFY_WITH_TIMEOUT(form.pbTotal()->value() > 0, kWaitMs);
  // No cell opens for editing, whatever asks for it.
  TMaskGrid* grid = form.dbgFiles();
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(grid->model()->index(0, 0)).center());
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_F2);
  form.dbgFiles()->StartCellEdit();
  EXPECT_EQ(form.dbgFiles()->CellEditor(), nullptr);
  EXPECT_FALSE(form.dbgFiles()->AddAction()->isEnabled());
  // A second start is refused.
  form.CreateArchive();
  EXPECT_TRUE(form.IsRunning());

  // Closing asks first; "Нет" keeps the run and the window.
  window.recorder.Answer = false;
  form.close();
  EXPECT_EQ(window.recorder.Questions, QStringList{QString::fromUtf8("Остановить архивацию и закрыть окно?")});
  EXPECT_FALSE(form.WasClosed());
  EXPECT_TRUE(form.IsRunning());

  form.Button2()->click();  // "Остановить"
  window.WaitForEnd();
  EXPECT_EQ(window.recorder.Errors, QStringList{QString::fromUtf8("Пользователь прервал операцию.")});
  EXPECT_TRUE(window.recorder.Messages.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(window.Archive()));
  EXPECT_EQ(states(), idle);
  // The stop leaves nothing of the run on the bars, only its line.
  EXPECT_EQ(form.pbFile()->value(), 0);
  EXPECT_EQ(form.pbTotal()->value(), 0);
  EXPECT_TRUE(form.Label1()->text().isEmpty());
  EXPECT_TRUE(form.l_PrTime()->text().isEmpty());
  EXPECT_EQ(form.SummaryLabel()->text(), QString::fromUtf8("Пользователь прервал операцию"));
  // After the run the close saves and goes through without a question.
  form.close();
  EXPECT_TRUE(form.WasClosed());
  EXPECT_EQ(window.recorder.Questions.size(), 1);
  EXPECT_TRUE(std::filesystem::exists(window.options.ConfigPath));
}

TEST(MainWindowTest, ClosingDuringARunStopsItAndClosesOnceItHasEnded) {
  Window window;
  window.UseJob(48u << 20);
  TForm1& form = *window.form;
  form.show();
  form.Button1()->click();
  QTRY_VERIFY_WITH_TIMEOUT(form.pbTotal()->value() > 0, kWaitMs);
  window.recorder.Answer = true;
  form.close();
  EXPECT_FALSE(form.WasClosed());  // not before the run has ended
  QTRY_VERIFY_WITH_TIMEOUT(form.WasClosed(), kWaitMs);
  EXPECT_FALSE(form.IsRunning());
  EXPECT_TRUE(window.recorder.Errors.isEmpty());  // nobody is asked about the stop
  EXPECT_FALSE(std::filesystem::exists(window.Archive()));
  EXPECT_EQ(form.Session().Report().Outcome, RunOutcome::roStopped);
  EXPECT_EQ(form.ExitStatus(), 0);  // the interactive mode
}

TEST(MainWindowTest, TheSummaryLineStaysUntilTheNextRun) {
  Window window;
  window.UseJob(300000);
  TForm1& form = *window.form;
  form.show();
  EXPECT_TRUE(form.SummaryLabel()->text().isEmpty());
  EXPECT_FALSE(form.OpenFolderButton()->isVisibleTo(&form));
  window.RunToEnd();
  // "Готово за 0 ч. 0 м. 0 с.: 2 файла, 293 КБ → 293 КБ"
  const QString line = form.SummaryLabel()->text();
  const QRegularExpression pattern(QString::fromUtf8(
      "^Готово за \\d+ ч\\. \\d+ м\\. \\d+ с\\.: 2 файла, 293 КБ → \\d+ КБ$"));
  EXPECT_TRUE(pattern.match(line).hasMatch()) << line.toStdString();
  EXPECT_EQ(form.SummaryLabel()->toolTip(), line);
  ASSERT_TRUE(form.OpenFolderButton()->isVisibleTo(&form));
  form.OpenFolderButton()->click();
  EXPECT_EQ(window.recorder.OpenedUrls, QStringList{QUrl::fromLocalFile(ToQ(window.temp.path() + "/out")).toString()});

  // A failure leaves its message instead.
  window.form->eFileNameMask()->setText("backup.zip");
  window.RunToEnd();
  EXPECT_EQ(form.SummaryLabel()->text(), QString("Unable to create directory"));
}

TEST(MainWindowTest, TheBarsCarryTheirCaptionsAndPercentages) {
  Window window;
  TForm1& form = *window.form;
  for (QProgressBar* bar : {form.pbFile(), form.pbTotal()}) {
    EXPECT_TRUE(bar->isTextVisible());
    bar->setValue(37);
    EXPECT_EQ(bar->text(), QString("37%"));
  }
  QStringList captions;
  for (const QLabel* label : form.findChildren<QLabel*>()) {
    if (label->buddy() == form.pbFile() || label->buddy() == form.pbTotal()) captions << label->text();
  }
  captions.sort();
  EXPECT_EQ(captions, (QStringList{QString::fromUtf8("Всего"), QString::fromUtf8("Файл")}));
}

TEST(MainWindowTest, TheTotalBarNamesTheCheckOfTheArchive) {
  Window window;
  TForm1& form = *window.form;
  form.ShowTotalStage("Проверка архива");
  form.SetTotalProgress(37);
  EXPECT_EQ(form.pbTotal()->text(), QString::fromUtf8("Проверка архива 37%"));
  form.ShowTotalStage("");
  EXPECT_EQ(form.pbTotal()->text(), QString("37%"));

  // A run with the check leaves the bar plain again at its end.
  window.UseJob(2000000);
  form.Job().Verify = true;
  window.RunToEnd();
  EXPECT_EQ(form.pbTotal()->text(), QString("0%"));
  EXPECT_TRUE(std::filesystem::exists(window.Archive()));
}

TEST(MainWindowTest, TheLastRunOfTheHistoryShowsWhenTheWindowOpens) {
  const std::string history = HistoryPath(ProgramStateFolder());
  std::filesystem::remove(history);
  std::filesystem::remove(history + ".1");
  {
    Window window;
    EXPECT_FALSE(window.form->LastRunLabel()->isVisibleTo(window.form.get()));
  }
  HistoryEntry entry;
  entry.StartTime = "2026-12-08T03:00:41+03:00";
  entry.Status = kStatusOk;
  entry.EntriesWritten = 1200;
  entry.EntriesCarried = 34;
  ASSERT_EQ(AppendHistory(history, entry), "");
  Window window;
  TForm1& form = *window.form;
  ASSERT_TRUE(form.LastRunLabel()->isVisibleTo(&form));
  EXPECT_EQ(form.LastRunLabel()->text(), QString::fromUtf8("Последний запуск: 08.12.2026 03:00, успешно, 1 234 файла"));
  // A run here tells of itself in the summary line, and adds its own line
  // to the history, which the next window shows.
  window.UseJob();
  window.RunToEnd();
  EXPECT_FALSE(form.LastRunLabel()->isVisibleTo(&form));
  Window next;
  EXPECT_TRUE(next.form->LastRunLabel()->text().endsWith(QString::fromUtf8(", успешно, 2 файла")));
  std::filesystem::remove(history);
}

TEST(MainWindowTest, TheWindowGrowsAndRemembersItsPlace) {
  QSize reference;
  {
    Window window;
    TForm1& form = *window.form;
    form.show();
    reference = form.size();
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_LT(form.minimumSize().height(), form.maximumSize().height());
    const int list_height = form.dbgFiles()->height();
    const int template_width = form.eFileNameMask()->width();
    const int bar_width = form.pbTotal()->width();
    form.resize(reference + QSize(200, 300));
    QApplication::processEvents();
    // The lists share the height, the template box and the bars the width.
    EXPECT_GE(form.dbgFiles()->height(), list_height + 140);
    EXPECT_GE(form.dbgNotInclude()->height(), list_height + 140);
    EXPECT_EQ(form.eFileNameMask()->width(), template_width + 200);
    EXPECT_GE(form.pbTotal()->width(), bar_width + 190);
    form.move(30, 40);
    form.close();
    ASSERT_TRUE(form.WasClosed());
  }
  const WindowGeometry saved = LoadWindowGeometry(WindowStatePath());
  EXPECT_EQ(saved.Width, reference.width() + 200);
  EXPECT_EQ(saved.Height, reference.height() + 300);
  EXPECT_FALSE(saved.Maximized);
  {
    Window window;
    TForm1& form = *window.form;
    form.ShowWindow();
    EXPECT_EQ(form.size(), reference + QSize(200, 300));
    EXPECT_EQ(form.geometry().topLeft(), QPoint(saved.Left, saved.Top));
    form.showMaximized();
    QApplication::processEvents();
    form.close();
  }
  EXPECT_TRUE(LoadWindowGeometry(WindowStatePath()).Maximized);
  // A state file that says nothing usable gives the reference size.
  std::ofstream(WindowStatePath()) << "[Window]\nWidth=x\nHeight=-5\n";
  {
    Window window;
    window.form->show();
    EXPECT_EQ(window.form->size(), reference);
  }
}

TEST(MainWindowTest, DroppedFoldersAndFilesBecomeRows) {
  Window window;
  TForm1& form = *window.form;
  const std::string folder = window.temp.MakeFolder("photos");
  const std::string file = window.temp.path() + "/notes.txt";
  std::ofstream(file) << "x";
  form.show();
  TMaskGrid* grid = form.dbgFiles();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(ToQ(folder)), QUrl::fromLocalFile(ToQ(file)), QUrl("https://example.org/")});
  const QPoint spot = grid->viewport()->rect().center();
  QDragEnterEvent enter(spot, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(grid->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(spot), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(grid->viewport(), &drop);
  EXPECT_TRUE(drop.isAccepted());
  EXPECT_EQ(form.Job().IncludeMasks.Items, (std::vector<std::string>{folder + "/*.*", file}));
  EXPECT_EQ(grid->model()->rowCount(), 2);

  // Text that names no local file is refused.
  QMimeData text;
  text.setText("hello");
  QDragEnterEvent refused(spot, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.dbgNotInclude()->viewport(), &refused);
  EXPECT_FALSE(refused.isAccepted());
}

TEST(MainWindowTest, TheListsRightClickMenu) {
  Window window;
  TForm1& form = *window.form;
  form.Job().ExcludeMasks.Append("*.tmp");
  form.Job().ExcludeMasks.Append("*.bak");
  form.Job().ExcludeMasks.Current = 0;
  TMaskGrid* grid = form.dbgNotInclude();
  grid->Model().Reload();
  form.show();
  QApplication::setActiveWindow(&form);

  // Opens the menu over a row and picks one of its entries by its text.
  auto pick = [&](int row, const char* entry) {
    QStringList shown;
    QTimer::singleShot(0, grid, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(menu, nullptr);
      QAction* chosen = nullptr;
      for (QAction* action : menu->actions()) {
        shown << action->text() + (action->isEnabled() ? "" : "-");
        if (action->text() == QString::fromUtf8(entry)) chosen = action;
      }
      menu->close();
      if (chosen != nullptr) chosen->trigger();
    });
    const QPoint at = row < 0 ? grid->viewport()->rect().bottomLeft() - QPoint(-2, 2)
                              : grid->visualRect(grid->model()->index(row, 0)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
    QApplication::sendEvent(grid->viewport(), &event);
    return shown;
  };
  const QStringList all = {QString::fromUtf8("Добавить"), QString::fromUtf8("Изменить"), QString::fromUtf8("Удалить")};
  EXPECT_EQ(pick(1, "Удалить"), all);
  EXPECT_EQ(window.recorder.Questions, QStringList{QString::fromUtf8("Удалить запись?")});
  EXPECT_EQ(form.Job().ExcludeMasks.Items, std::vector<std::string>{"*.tmp"});  // the row under the pointer

  pick(0, "Изменить");
  ASSERT_NE(grid->CellEditor(), nullptr);
  EXPECT_EQ(grid->CellEditor()->Text()->text(), QString("*.tmp"));
  QTest::keyClick(grid->CellEditor()->Text(), Qt::Key_End);
  QTest::keyClicks(grid->CellEditor()->Text(), "~");
  QTest::keyClick(grid->CellEditor()->Text(), Qt::Key_Return);
  grid->Model().Post();
  EXPECT_EQ(form.Job().ExcludeMasks.Items, std::vector<std::string>{"*.tmp~"});

  pick(0, "Добавить");
  ASSERT_NE(grid->CellEditor(), nullptr);
  QTest::keyClicks(grid->CellEditor()->Text(), "*.old");
  QTest::keyClick(grid->CellEditor()->Text(), Qt::Key_Return);
  grid->Model().Post();
  EXPECT_EQ(form.Job().ExcludeMasks.Items, (std::vector<std::string>{"*.tmp~", "*.old"}));

  // In an empty list only «Добавить» can happen.
  form.Job().IncludeMasks.Clear();
  form.dbgFiles()->Model().Reload();
  form.dbgFiles()->UpdateActions();
  EXPECT_TRUE(form.dbgFiles()->AddAction()->isEnabled());
  EXPECT_FALSE(form.dbgFiles()->ChangeAction()->isEnabled());
  EXPECT_FALSE(form.dbgFiles()->DeleteAction()->isEnabled());
}

TEST(MainWindowTest, EscapeAndEnterInACellLeaveNoWarning) {
  // Each Qt warning fails the test (see ui_test_main.cpp).
  Window window;
  TForm1& form = *window.form;
  form.show();
  QApplication::setActiveWindow(&form);
  TMaskGrid* grid = form.dbgFiles();
  grid->setFocus();
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Enter}) {
    grid->StartCellEdit();
    ASSERT_NE(grid->CellEditor(), nullptr);
    QTest::keyClicks(grid->CellEditor()->Text(), "/x/*.*");
    QTest::keyClick(grid->CellEditor()->Text(), key);
    QApplication::processEvents();
    EXPECT_EQ(grid->CellEditor(), nullptr);
  }
}

TEST(MainWindowTest, DisplayCallsFromTheWorkerReachTheWidgetsOnTheWindowsThread) {
  Window window;
  TForm1& form = *window.form;
  std::thread worker([&] {
    form.ShowCurrentFile("/data/a.txt");
    form.SetFileProgress(40);
    form.ShowElapsed(FormatDuration(3725));
  });
  worker.join();
  EXPECT_TRUE(form.Label1()->text().isEmpty());  // not touched from the worker
  QTRY_COMPARE_WITH_TIMEOUT(form.Label1()->text(), QString("/data/a.txt"), kWaitMs);
  EXPECT_EQ(form.pbFile()->value(), 40);
  EXPECT_EQ(form.l_PrTime()->text(), QString::fromUtf8("1 ч. 2 м. 5 с."));
}

// A TStream that hands every call to the stream it wraps, and shows the
// watcher each write's bytes and the count of bytes asked for by reads so far
// before passing the call on.
class Tripwire : public TStream {
public:
  using Watcher = std::function<void(std::string_view written, size_t read)>;
  Tripwire(std::unique_ptr<TStream> inner, Watcher watch) : inner_(std::move(inner)), watch_(std::move(watch)) {}
  size_t Read(void* buffer, size_t count) override {
    watch_({}, read_ += count);
    return inner_->Read(buffer, count);
  }
  size_t Write(const void* buffer, size_t count) override {
    watch_(std::string_view(static_cast<const char*>(buffer), count), read_);
    return inner_->Write(buffer, count);
  }
  uint64_t Seek(int64_t offset, int origin) override { return inner_->Seek(offset, origin); }
  uint64_t Size() override { return inner_->Size(); }
  int LastError() const override { return inner_->LastError(); }
  std::string Name() const override { return inner_->Name(); }

private:
  std::unique_ptr<TStream> inner_;
  Watcher watch_;
  size_t read_ = 0;
};

// Presses "Остановить" on the window's thread and lets the run, which calls
// this on its worker, go on only once the button has been pressed.
void PressStopFromTheRun(TForm1& form) {
  std::atomic<bool> pressed{false};
  QMetaObject::invokeMethod(
      &form,
      [&] {
        form.Button2()->click();
        pressed = true;
      },
      Qt::QueuedConnection);
  while (!pressed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(MainWindowTest, BatchWithWindowStopAtAnyMomentClosesTheWindowWithStatusOne) {
  enum Moment { kBeforeTheFirstFile, kInsideALargeFile, kWhileTheDirectoryIsWritten };
  for (const Moment moment : {kBeforeTheFirstFile, kInsideALargeFile, kWhileTheDirectoryIsWritten}) {
    SCOPED_TRACE(moment);
    Window window(/*batch=*/true, /*show_window=*/true);
    window.UseJob(8u << 20);
    TForm1& form = *window.form;
    TZipWriter& engine = form.Controller().Engine();
    std::atomic<bool> once{false};
    switch (moment) {
      case kBeforeTheFirstFile: {
        auto original = engine.OnStartZip;
        engine.OnStartZip = [&, original](TZipWriter& w, const std::string& path, TZipHeaderInfo& info, bool& skip) {
          if (!once.exchange(true)) PressStopFromTheRun(form);
          original(w, path, info, skip);
        };
        break;
      }
      case kInsideALargeFile:
        engine.SourceStreamWrapper = [&](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
          return std::make_unique<Tripwire>(std::move(inner), [&](std::string_view, size_t read) {
            if (read > (1u << 20) && !once.exchange(true)) PressStopFromTheRun(form);
          });
        };
        break;
      case kWhileTheDirectoryIsWritten:
        engine.OutputStreamWrapper = [&](std::unique_ptr<TStream> inner) -> std::unique_ptr<TStream> {
          return std::make_unique<Tripwire>(std::move(inner), [&](std::string_view written, size_t) {
            if (written.find(std::string_view("PK\1\2", 4)) != std::string_view::npos && !once.exchange(true)) {
              PressStopFromTheRun(form);
            }
          });
        };
        break;
    }
    form.ShowWindow();  // starts the run
    QTRY_VERIFY_WITH_TIMEOUT(form.WasClosed(), kWaitMs);
    EXPECT_TRUE(once.load());
    EXPECT_FALSE(form.IsRunning());
    EXPECT_EQ(form.Session().Report().Outcome, RunOutcome::roStopped);
    EXPECT_EQ(form.ExitStatus(), 1);
    EXPECT_TRUE(window.recorder.Errors.isEmpty());
    EXPECT_TRUE(window.recorder.Messages.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(window.Archive()));
  }
}

TEST(MainWindowTest, BatchWithWindowRunsOnTheWorkerAndClosesWhenDone) {
  Window window(/*batch=*/true, /*show_window=*/true);
  window.options.ShowCompletionMessage = true;
  window.form = std::make_unique<TForm1>(window.options);
  window.recorder.InstallInto(window.form->Hooks());
  window.UseJob(1u << 20);
  // A file the run cannot open: the completion message names it, as the
  // interactive one does.
  const std::string lost = window.temp.path() + "/data/lost.txt";
  { std::ofstream(lost) << "held"; }
  test::LeasedFile lease(lost);
  ASSERT_TRUE(lease.Held());
  TForm1& form = *window.form;
  EXPECT_FALSE(form.Button3()->isEnabled());  // nothing to open in a batch mode
  EXPECT_FALSE(form.Button4()->isEnabled());
  form.show();  // starts the run
  EXPECT_TRUE(form.IsRunning());
  EXPECT_FALSE(form.Button1()->isEnabled());
  EXPECT_TRUE(form.Button2()->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(form.WasClosed(), kWaitMs);
  ASSERT_EQ(window.recorder.Messages.size(), 1);
  EXPECT_TRUE(window.recorder.Messages[0].startsWith(QString::fromUtf8("Архивация закончена\n\n")));
  EXPECT_TRUE(window.recorder.Messages[0].contains(ToQ(window.temp.path() + "/data/lost.txt")));
  EXPECT_TRUE(std::filesystem::exists(window.Archive()));
  EXPECT_EQ(form.ExitStatus(), 2);
}

TEST(MainWindowTest, BatchWithWindowStaysOpenAfterAFailedRun) {
  Window window(/*batch=*/true, /*show_window=*/true);
  window.UseJob(100, "backup.zip");
  TForm1& form = *window.form;
  form.show();
  window.WaitForEnd();
  EXPECT_TRUE(window.recorder.Errors.isEmpty());  // the worker ends without a message
  EXPECT_FALSE(form.WasClosed());
  EXPECT_EQ(form.Session().Report().Message, "Unable to create directory");
  EXPECT_TRUE(form.Button1()->isEnabled());
  EXPECT_FALSE(form.Button2()->isEnabled());
  form.close();
  EXPECT_TRUE(form.WasClosed());
  EXPECT_EQ(form.ExitStatus(), 1);
}

TEST(MainWindowTest, AStopSignalEndsABatchRunAndClosesTheWindow) {
  Window window(/*batch=*/true, /*show_window=*/true);
  window.UseJob(64u << 20);
  TForm1& form = *window.form;
  form.show();
  QTRY_VERIFY_WITH_TIMEOUT(form.pbTotal()->value() > 0, kWaitMs);
  form.OnStopSignal();
  QTRY_VERIFY_WITH_TIMEOUT(form.WasClosed(), kWaitMs);
  EXPECT_TRUE(window.recorder.Errors.isEmpty());
  EXPECT_EQ(form.ExitStatus(), 1);
  EXPECT_FALSE(std::filesystem::exists(window.Archive()));
}

TEST(MainWindowTest, AStopSignalSavesTheInteractiveJobAndEnds) {
  Window window;
  window.UseJob(64u << 20);
  TForm1& form = *window.form;
  form.show();
  // An edit not yet committed, as closing would find it.
  form.dbgNotInclude()->StartCellEdit();
  QTest::keyClicks(form.dbgNotInclude()->CellEditor()->Text(), "*.tmp");
  // A dialog left open does not keep the program alive.
  QDialog dialog(&form);
  QTimer::singleShot(0, &form, [&] { form.OnStopSignal(); });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
  EXPECT_TRUE(form.WasClosed());
  JobSettings saved;
  LoadSettings(saved, window.options.ConfigPath);
  EXPECT_EQ(saved.ExcludeMasks.Items, std::vector<std::string>{"*.tmp"});
  EXPECT_EQ(form.ExitStatus(), 0);

  // During a run: the run stops first, then the job is saved, without a box.
  Window running;
  running.UseJob(64u << 20);
  running.form->show();
  running.form->Button1()->click();
  QTRY_VERIFY_WITH_TIMEOUT(running.form->pbTotal()->value() > 0, kWaitMs);
  running.form->OnStopSignal();
  QTRY_VERIFY_WITH_TIMEOUT(running.form->WasClosed(), kWaitMs);
  EXPECT_TRUE(running.recorder.Errors.isEmpty());
  EXPECT_TRUE(running.recorder.Questions.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(running.Archive()));
}

TEST(MainWindowTest, TheDoneMessageNamesFilesThatCouldNotBeRead) {
  Window window;
  window.UseJob();
  // A line break in the name must not make it look like two files.
  const std::string lost = window.temp.path() + "/data/lost\nfound.txt";
  { std::ofstream(lost) << "held"; }
  test::LeasedFile lease(lost);
  ASSERT_TRUE(lease.Held());
  window.form->Button1()->click();
  window.WaitForEnd();
  ASSERT_EQ(window.recorder.Messages.size(), 1);
  const QString message = window.recorder.Messages[0];
  EXPECT_TRUE(message.startsWith(QString::fromUtf8("Архивация закончена\n\n"))) << message.toStdString();
  EXPECT_TRUE(message.contains(QString::fromUtf8("не удалось прочитать: 1."))) << message.toStdString();
  EXPECT_TRUE(message.endsWith(u'\n' + ToQ(window.temp.path() + "/data/lost\\nfound.txt: ") +
                               QString::fromUtf8(std::strerror(EWOULDBLOCK))))
      << message.toStdString();
}

// A job without include masks fails with its reason; one whose masks select
// no file writes its archive, but neither the box nor the summary line call
// that done.
TEST(MainWindowTest, AJobThatSelectsNothingIsNeverReportedAsDone) {
  Window window;
  window.UseJob();
  TForm1& form = *window.form;
  form.Job().IncludeMasks.Clear();
  form.dbgFiles()->Model().Reload();
  window.RunToEnd();
  EXPECT_EQ(window.recorder.Errors, QStringList{QString::fromUtf8("В задании нет ни одной маски включения.")});
  EXPECT_TRUE(window.recorder.Messages.isEmpty());
  EXPECT_EQ(form.SummaryLabel()->text(), QString::fromUtf8("В задании нет ни одной маски включения"));
  EXPECT_FALSE(std::filesystem::exists(window.Archive()));

  form.Job().IncludeMasks.Append(window.temp.path() + "/data/*.none");
  form.dbgFiles()->Model().Reload();
  window.RunToEnd();
  EXPECT_EQ(window.recorder.Errors.size(), 1);
  EXPECT_EQ(window.recorder.Messages,
            QStringList{QString::fromUtf8("Архивация закончена\n\nНе выбрано ни одного файла")});
  EXPECT_EQ(form.SummaryLabel()->text(), QString::fromUtf8("Не выбрано ни одного файла"));
  EXPECT_TRUE(std::filesystem::exists(window.Archive()));
}

TEST(MainWindowTest, HiddenBatchRun) {
  {
    Window window(/*batch=*/true);
    window.UseJob();
    TForm1& form = *window.form;
    EXPECT_TRUE(form.RunHiddenBatch());
    EXPECT_TRUE(window.recorder.Messages.isEmpty());  // no "/+m"
    EXPECT_FALSE(form.isVisible());
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

// The window says at once what keeps the loaded job from running: a value
// that would be cut, or a file that is no job file, which it never saves over.
TEST(MainWindowTest, WarnsOfAJobFileItCannotTakeAsItStands) {
  const std::string stars = std::string(10000, '*') + "x";
  const std::string photo = std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
  for (const bool is_photo : {false, true}) {
    Scratch temp;
    const std::string cut = "[Config]\nZipName=" + temp.path() + "/out/x.zip\n[FilesNotInclude]\n1=" + stars + "\n";
    const std::string& image = is_photo ? photo : cut;
    StartupOptions options;
    options.ConfigPath = temp.path() + "/Config.ini";
    std::ofstream(options.ConfigPath, std::ios::binary) << image;
    TForm1 form(options);
    RecordingHooks recorder;
    recorder.InstallInto(form.Hooks());
    QCoreApplication::processEvents();
    ASSERT_EQ(recorder.Errors.size(), 1);
    const std::string said = FromQ(recorder.Errors[0]);
    EXPECT_EQ(said, JobFileWarning(form.Job(), options.ConfigPath) + ".");
    form.CreateArchive();  // refused with the same words
    QTRY_VERIFY_WITH_TIMEOUT(!form.IsRunning() && form.Button1()->isEnabled(), kWaitMs);
    EXPECT_EQ(recorder.Errors.size(), 2);
    EXPECT_EQ(FromQ(recorder.Errors[1]), said);
    EXPECT_FALSE(std::filesystem::exists(temp.path() + "/out"));
    form.close();
    EXPECT_TRUE(form.WasClosed());
    if (is_photo) {
      EXPECT_EQ(test::ReadBytes(options.ConfigPath), photo);
    } else {
      // The cut mask is kept whole; only the job around it is written.
      EXPECT_NE(test::ReadBytes(options.ConfigPath).find("\n1=" + stars + "\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tessel
