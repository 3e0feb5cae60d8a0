#pragma once
// The main window: shows and edits the job (the two mask lists and the
// archive name template), starts and stops a run, shows its progress and
// opens the other dialogs. It implements RunDisplay for the run controller
// and owns the controller with its engine.
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/command_line.h"
#include "app/my_thread.h"
#include "app/run_controller.h"
#include "app/run_display.h"
#include "app/settings.h"
#include "ui/mask_grid.h"
#include "ui/mask_model.h"
#include "ui/ui_hooks.h"

namespace tessel {

class TAbout;
class TForm3;
class TForm4;
class TForm5;

// A one-line label that shows a long path shortened in the middle, the whole
// text in its tooltip, without ever widening its window.
class TPathLabel : public QLabel {
  Q_OBJECT

public:
  explicit TPathLabel(QWidget* parent);
  void SetPath(const QString& text);

protected:
  void paintEvent(QPaintEvent* event) override;
};

class TForm1 : public QWidget, public RunDisplay {
  Q_OBJECT

public:
  // Creates the engine through the controller, loads the job from the
  // configuration file and, without "/b", the four dialogs.
  explicit TForm1(const StartupOptions& options, QWidget* parent = nullptr);
  ~TForm1() override;

  // RunDisplay; callable from the worker thread of the batch mode with a
  // window, in which case the change is posted to the window's thread.
  void ShowCurrentFile(const std::string& text) override;
  void ShowArchiveName(const std::string& text) override;
  void SetFileProgress(int percent) override;
  void SetTotalProgress(int percent) override;
  void ShowElapsed(const std::string& text) override;
  void ShowRemaining(const std::string& text) override;
  void ShowDoneMessage() override;
  void RequestClose() override;

  // The actions of the controls; errors are shown in the error box.
  void CreateArchive();                   // "Создать архив"
  void StopArchive();                     // "Остановить"
  void OpenAbout();                       // "О программе"
  void OpenSettings();                    // "Настройки"
  void EditTemplate();                    // "..." beside the template
  void ChooseListFolder(TMaskGrid& grid); // ellipsis of a list cell
  void DeleteListRow(TMaskGrid& grid);    // Delete in a list

  // The hidden batch mode: the run, on the window's thread, before the window
  // is shown. False when it failed (the error has been shown).
  bool RunHiddenBatch();
  // The batch mode with a window: starts the worker (done when first shown).
  void StartWorker();
  // Waits for the worker, if one was started.
  void ReleaseWorker();
  // A stop signal (SIGINT, SIGTERM, SIGHUP) in a batch mode: the run is
  // stopped as by "Остановить", its error goes to standard error instead of a
  // box, and the window closes once the run has ended.
  void StopOnSignal();
  bool StoppedBySignal() const { return stopped_by_signal_; }
  // True once a close has been accepted.
  bool WasClosed() const { return closed_; }
  // The process exit status after the window has closed: 0, 1 for a failed
  // or cancelled batch run, 2 when a batch run had to leave files out.
  int ExitStatus() const;
  // Moves the window to the centre of its screen.
  void MoveToCentre();

  UiHooks& Hooks() { return hooks_; }
  JobSettings& Job() { return job_; }
  RunController& Controller() { return *controller_; }
  const StartupOptions& Options() const { return options_; }
  TMyThread* Worker() const { return worker_.get(); }
  TAbout* About() const { return about_.get(); }
  TForm3* FolderChooser() const { return folders_.get(); }
  TForm4* TemplateEditor() const { return template_editor_.get(); }
  TForm5* SettingsDialog() const { return settings_.get(); }

  TMaskGrid* dbgFiles() const { return include_grid_; }
  TMaskGrid* dbgNotInclude() const { return exclude_grid_; }
  QLineEdit* eFileNameMask() const { return file_name_mask_; }
  QToolButton* SpeedButton1() const { return template_button_; }
  QLabel* Label1() const { return current_file_; }
  QLabel* Label7() const { return archive_name_; }
  QProgressBar* pbFile() const { return file_progress_; }
  QProgressBar* pbTotal() const { return total_progress_; }
  QPushButton* Button1() const { return create_button_; }
  QPushButton* Button2() const { return stop_button_; }
  QPushButton* Button3() const { return about_button_; }
  QPushButton* Button4() const { return settings_button_; }
  QLabel* l_PrTime() const { return elapsed_; }
  QLabel* l_OstTime() const { return remaining_; }

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  template <class Change> void OnWindowThread(Change change);
  bool OnWindowThreadNow() const;
  // Runs an action; an error escaping it is shown in the error box.
  template <class Action> void Guarded(Action action);
  void ShowError(const std::string& message);
  // Hands every pending edit of the grids and the template box to the job.
  void CommitEdits();
  // The grids follow the lists' current entries after a save.
  void FollowCurrentEntries();
  // While the worker runs, the job is its own: the grids and the template
  // box take no edits.
  void SetEditingLocked(bool locked);
  void WorkerFinished();
  QString DoneMessageText() const;
  void BuildControls();

  StartupOptions options_;
  UiHooks hooks_;
  JobSettings job_;
  std::unique_ptr<RunController> controller_;
  TMaskModel* include_model_ = nullptr;
  TMaskModel* exclude_model_ = nullptr;

  TMaskGrid* include_grid_ = nullptr;
  TMaskGrid* exclude_grid_ = nullptr;
  QLineEdit* file_name_mask_ = nullptr;
  QToolButton* template_button_ = nullptr;
  TPathLabel* current_file_ = nullptr;
  TPathLabel* archive_name_ = nullptr;
  QProgressBar* file_progress_ = nullptr;
  QProgressBar* total_progress_ = nullptr;
  QPushButton* create_button_ = nullptr;
  QPushButton* stop_button_ = nullptr;
  QPushButton* about_button_ = nullptr;
  QPushButton* settings_button_ = nullptr;
  QLabel* elapsed_ = nullptr;
  QLabel* remaining_ = nullptr;

  std::unique_ptr<TAbout> about_;
  std::unique_ptr<TForm3> folders_;
  std::unique_ptr<TForm4> template_editor_;
  std::unique_ptr<TForm5> settings_;

  QElapsedTimer pump_clock_;
  bool closed_ = false;
  bool hidden_run_failed_ = false;
  bool stopped_by_signal_ = false;
  bool worker_started_on_show_ = false;
  // Set on the worker thread when the completed run asks for the close.
  std::atomic<bool> close_from_run_{false};
  // The worker's wait for the completion message box to be closed.
  std::mutex done_mutex_;
  std::condition_variable done_closed_;
  bool done_pending_ = false;
  bool shutting_down_ = false;
  std::unique_ptr<TMyThread> worker_;
};

}  // namespace tessel
