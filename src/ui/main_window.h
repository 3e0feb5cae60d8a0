#pragma once
// The main window: shows and edits the job (the two mask lists and the
// archive name template), starts and stops a run, shows its progress and
// opens the other dialogs. It implements RunDisplay for the run controller
// and owns the controller with its engine.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>
#include <QVBoxLayout>
#include <atomic>
#include <memory>
#include <mutex>

#include "app/command_line.h"
#include "app/run_controller.h"
#include "app/run_display.h"
#include "app/run_session.h"
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
  // configuration file and, without "/b", the four dialogs; takes the size
  // and place the window had when it was last closed.
  explicit TForm1(const StartupOptions& options, QWidget* parent = nullptr);
  // A run still going is stopped and waited for.
  ~TForm1() override;

  // RunDisplay. Every run reports from its worker thread: the calls only
  // note what is to be shown, and the window's thread shows it a moment
  // later. The completion message and the close request wait for the end of
  // the run. Called on the window's thread, a change shows at once.
  void ShowCurrentFile(const std::string& text) override;
  void ShowArchiveName(const std::string& text) override;
  void SetFileProgress(int percent) override;
  void SetTotalProgress(int percent) override;
  void ShowTotalStage(const std::string& text) override;
  void ShowElapsed(const std::string& text) override;
  void ShowRemaining(const std::string& text) override;
  void ShowDoneMessage() override;
  void RequestClose() override;

  // The actions of the controls; errors are shown in the error box.
  void CreateArchive();                   // "Создать архив": starts the run, returns at once
  void StopArchive();                     // "Остановить"
  void OpenAbout();                       // "О программе"
  void OpenSettings();                    // "Настройки"
  void EditTemplate();                    // "..." beside the template
  void ChooseListFolder(TMaskGrid& grid); // ellipsis of a list cell
  void DeleteListRow(TMaskGrid& grid);    // Delete in a list
  void OpenArchiveFolder();               // "Открыть папку" beside the run's summary

  // The hidden batch mode: the run, before the window is shown, while this
  // thread waits for it; then its end is handled as in every mode. False
  // when it did not write its archive.
  bool RunHiddenBatch();
  // Shows the window, maximised when it was so when last closed. In the batch
  // mode with a window, showing it starts the run.
  void ShowWindow();
  // SIGINT, SIGTERM or SIGHUP arrived: a run is stopped, and once it has
  // ended the window closes, saving the job as a close does. No box is shown
  // on the way; a failed save goes to standard error.
  void OnStopSignal();
  // True once a close has been accepted.
  bool WasClosed() const { return closed_; }
  // The process exit status after the window has closed: in a batch mode
  // that of the last run (1 when none ended); otherwise 0, or 1 when a stop
  // signal's save failed.
  int ExitStatus() const;
  // From the start of a run until the window has dealt with its end.
  bool IsRunning() const { return run_active_; }
  // Moves the window to the centre of its screen.
  void MoveToCentre();

  UiHooks& Hooks() { return hooks_; }
  JobSettings& Job() { return job_; }
  RunController& Controller() { return *controller_; }
  RunSession& Session() { return *session_; }
  const StartupOptions& Options() const { return options_; }
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
  // The line that tells how the last run ended, and its folder button.
  TPathLabel* SummaryLabel() const { return summary_; }
  // The line that tells of the last run in the history when the window
  // opened; hidden when there is none and once a run starts here.
  TPathLabel* LastRunLabel() const { return last_run_; }
  QPushButton* OpenFolderButton() const { return open_folder_button_; }
  // The status lines at the bottom of the window, one row each.
  QVBoxLayout* StatusLines() const { return status_lines_; }

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  // What the run last asked to show; written by the worker, shown by the
  // window's thread.
  struct ShownRun {
    std::string CurrentFile, ArchiveName, Elapsed, Remaining, TotalStage;
    int FilePercent = 0;
    int TotalPercent = 0;
  };

  bool OnWindowThreadNow() const;
  // Changes what is to be shown; on the window's thread the widgets follow
  // at once, from the worker a moment later.
  template <class Change> void UpdateShown(Change change);
  void ScheduleRefresh();
  void RefreshShown();
  // Runs an action; an error escaping it is shown in the error box.
  template <class Action> void Guarded(Action action);
  void ShowError(const std::string& message);
  // Hands every pending edit of the grids and the template box to the job.
  void CommitEdits();
  // The grids follow the lists' current entries after a save.
  void FollowCurrentEntries();
  // Starts a run on the worker; false when none started.
  bool BeginRun();
  // The end of a run, on the window's thread: the display, the summary, the
  // messages and the close that the run left.
  void OnRunEnded(uint64_t run);
  // Enables each button when its action can happen and locks the job's
  // controls while a run goes.
  void UpdateControls();
  void ShowSummary(const RunReport& report);
  void ShowLastRun();
  QString DoneMessageText(const RunReport& report) const;
  void RestoreGeometry();
  void SaveGeometry() const;
  void BuildControls();

  StartupOptions options_;
  UiHooks hooks_;
  JobSettings job_;
  std::unique_ptr<RunController> controller_;
  std::unique_ptr<RunSession> session_;
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
  TPathLabel* summary_ = nullptr;
  TPathLabel* last_run_ = nullptr;
  QPushButton* open_folder_button_ = nullptr;
  QVBoxLayout* status_lines_ = nullptr;
  QString summary_folder_;

  std::unique_ptr<TAbout> about_;
  std::unique_ptr<TForm3> folders_;
  std::unique_ptr<TForm4> template_editor_;
  std::unique_ptr<TForm5> settings_;

  std::mutex shown_mutex_;
  ShownRun shown_;
  std::atomic<bool> refresh_pending_{false};
  // Left by the run for its end: the completion message and the close.
  std::atomic<bool> done_message_wanted_{false};
  std::atomic<bool> close_requested_{false};
  uint64_t run_number_ = 0;
  uint64_t ended_run_ = 0;
  bool run_active_ = false;
  bool close_after_run_ = false;
  bool stop_signal_ = false;
  bool signal_save_failed_ = false;
  bool closed_ = false;
  bool was_shown_ = false;
  bool worker_started_on_show_ = false;
  bool restore_maximized_ = false;
};

}  // namespace tessel
