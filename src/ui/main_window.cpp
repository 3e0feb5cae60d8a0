#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "app/run_history.h"
#include "app/window_state.h"
#include "platform/paths.h"

#include "ui/about_box.h"
#include "ui/folder_chooser.h"
#include "ui/folder_text.h"
#include "ui/settings_dialog.h"
#include "ui/template_editor.h"
#include "ui/tile_picture.h"

namespace tessel {
namespace {

constexpr char kIncludeHeading[] = "Что включать в архив";
constexpr char kIncludeColumn[] = "Маска входимости";
constexpr char kExcludeHeading[] = "Что не включать в архив";
constexpr char kExcludeColumn[] = "Маска исключения";
constexpr char kTemplateHeading[] = "Маска выходного архива";
constexpr char kTemplateButton[] = "...";
constexpr char kTemplateHint[] = "Настройка маски";
constexpr char kCurrentFileHeading[] = "Текущий архивируемый файл";
// The four buttons' captions with their keyboard mnemonics (Alt+letter).
constexpr char kCreate[] = "&Создать архив";
constexpr char kStop[] = "&Остановить";
constexpr char kAbout[] = "О &программе";
constexpr char kSettings[] = "&Настройки";
constexpr char kFileBar[] = "Файл";
constexpr char kTotalBar[] = "Всего";
constexpr char kBarFormat[] = "%p%";
// The total bar's caption in front of its percentage, while it stands for
// something other than the files.
constexpr char kStageFormat[] = "%1 %p%";
constexpr char kOpenFolder[] = "Открыть папку";
constexpr char kStopAndClose[] = "Остановить архивацию и закрыть окно?";
constexpr char kTime[] = "Время:";
constexpr char kElapsed[] = "Прошло";
constexpr char kRemaining[] = "Осталось";
constexpr char kDeleteQuestion[] = "Удалить запись?";
constexpr char kDone[] = "Архивация закончена";
constexpr char kSkippedCount[] = "Пропущено файлов, которые не удалось прочитать: %1.";
constexpr char kSkippedMore[] = "и ещё %1";
// The widest time text the two time labels must hold without moving.
constexpr char kWidestTime[] = "9999 ч. 59 м. 59 с.";
constexpr char kUnknownTime[] = "Неопределено";
constexpr size_t kSkippedShown = 5;

constexpr QRgb kIncludeBackground = 0xE0FFE0;
constexpr QRgb kExcludeBackground = 0xFFE0E0;
constexpr int kWindowWidth = 539;
// The rows a list shows at the reference size; it shows more when the
// window grows.
constexpr int kGridRows = 3;
constexpr int kProgressHeight = 16;
// How long a report of the run waits before the window shows it: the window
// follows the run 25 times a second, however fast the run reports.
constexpr int kRefreshMs = 40;
// More dialogs than can be open over one another at once.
constexpr int kMaxModalDialogs = 16;

QLabel* Heading(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setAlignment(Qt::AlignHCenter);
  return label;
}

QProgressBar* ProgressBar(QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(true);
  bar->setFormat(QString::fromLatin1(kBarFormat));
  bar->setAlignment(Qt::AlignCenter);
  bar->setMinimumHeight(kProgressHeight);
  bar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return bar;
}

// A progress bar with its caption in front of it; the captions of the bars
// share one width, so that the bars line up.
QHBoxLayout* CaptionedBar(const char* caption, QProgressBar* bar, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(caption), parent);
  label->setBuddy(bar);
  label->setMinimumWidth(std::max(label->fontMetrics().horizontalAdvance(QString::fromUtf8(kFileBar)),
                                  label->fontMetrics().horizontalAdvance(QString::fromUtf8(kTotalBar))));
  auto* row = new QHBoxLayout;
  row->setSpacing(6);
  row->addWidget(label);
  row->addWidget(bar, 1);
  return row;
}

int GridHeight(const TMaskGrid& grid) {
  return grid.horizontalHeader()->sizeHint().height() +
         kGridRows * grid.verticalHeader()->defaultSectionSize() + 2 * grid.frameWidth();
}

}  // namespace

TPathLabel::TPathLabel(QWidget* parent) : QLabel(parent) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  setMinimumWidth(1);
  setFixedHeight(fontMetrics().height());
}

void TPathLabel::SetPath(const QString& text) {
  setText(text);
  setToolTip(text);
}

void TPathLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
}

TForm1::TForm1(const StartupOptions& options, QWidget* parent)
    : QWidget(parent, Qt::Window), options_(options), hooks_(DefaultUiHooks()) {
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  setWindowIcon(TileIcon());
  // The engine and its set-up come first, then the job from the file.
  controller_ = std::make_unique<RunController>(job_, *this, options_);
  session_ = std::make_unique<RunSession>(*controller_);
  LoadSettings(job_, options_.ConfigPath);
  include_model_ = new TMaskModel(job_.IncludeMasks, QString::fromUtf8(kIncludeColumn), this);
  exclude_model_ = new TMaskModel(job_.ExcludeMasks, QString::fromUtf8(kExcludeColumn), this);
  BuildControls();
  file_name_mask_->setText(ToQ(job_.FileNameMask));
  Guarded([this] { controller_->ApplyEngineSettings(); });
  // What keeps the loaded job from running is said as soon as the window is
  // up; a batch run reports it as its error instead.
  if (const std::string warning = JobFileWarning(job_, options_.ConfigPath); !warning.empty() && !options_.Batch) {
    QMetaObject::invokeMethod(this, [this, warning] { ShowError(warning); }, Qt::QueuedConnection);
  }

  if (!options_.Batch) {
    controller_->SetChooseArchive([this](const std::string& initial_folder, std::string& chosen) {
      // Asked on the worker: the dialog opens on the window's thread, and
      // the run waits for the answer.
      bool accepted = false;
      QString file;
      QMetaObject::invokeMethod(
          this, [&] { accepted = hooks_.ChooseArchive(this, ToQ(initial_folder), file); },
          OnWindowThreadNow() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
      if (accepted) chosen = FromQ(file);
      return accepted;
    });
    // The dialogs exist only in the interactive mode, created in this order.
    about_ = std::make_unique<TAbout>(hooks_, this);
    folders_ = std::make_unique<TForm3>(this);
    template_editor_ = std::make_unique<TForm4>(*folders_, hooks_, this);
    settings_ = std::make_unique<TForm5>(this);
  }
  UpdateControls();
  ShowLastRun();
  MoveToCentre();
  RestoreGeometry();
}

TForm1::~TForm1() {
  // The run must not report to a window that is going away.
  session_.reset();
}

void TForm1::BuildControls() {
  auto* include_heading = Heading(kIncludeHeading, this);
  include_grid_ = new TMaskGrid(*include_model_, QColor(kIncludeBackground), this);
  auto* exclude_heading = Heading(kExcludeHeading, this);
  exclude_grid_ = new TMaskGrid(*exclude_model_, QColor(kExcludeBackground), this);
  auto* template_heading = Heading(kTemplateHeading, this);
  file_name_mask_ = new QLineEdit(this);
  template_button_ = new QToolButton(this);
  template_button_->setText(QString::fromUtf8(kTemplateButton));
  template_button_->setToolTip(QString::fromUtf8(kTemplateHint));
  template_button_->setFocusPolicy(Qt::NoFocus);
  template_button_->setFixedHeight(file_name_mask_->sizeHint().height());
  auto* current_heading = new QLabel(QString::fromUtf8(kCurrentFileHeading), this);
  current_file_ = new TPathLabel(this);
  file_progress_ = ProgressBar(this);
  archive_name_ = new TPathLabel(this);
  total_progress_ = ProgressBar(this);
  create_button_ = new QPushButton(QString::fromUtf8(kCreate), this);
  stop_button_ = new QPushButton(QString::fromUtf8(kStop), this);
  about_button_ = new QPushButton(QString::fromUtf8(kAbout), this);
  settings_button_ = new QPushButton(QString::fromUtf8(kSettings), this);
  auto* time_caption = new QLabel(QString::fromUtf8(kTime), this);
  auto* elapsed_caption = new QLabel(QString::fromUtf8(kElapsed), this);
  auto* remaining_caption = new QLabel(QString::fromUtf8(kRemaining), this);
  elapsed_ = new QLabel(this);
  remaining_ = new QLabel(this);
  const int time_width = std::max(fontMetrics().horizontalAdvance(QString::fromUtf8(kWidestTime)),
                                  fontMetrics().horizontalAdvance(QString::fromUtf8(kUnknownTime)));
  elapsed_->setMinimumWidth(time_width);
  remaining_->setMinimumWidth(time_width);
  summary_ = new TPathLabel(this);
  open_folder_button_ = new QPushButton(QString::fromUtf8(kOpenFolder), this);
  open_folder_button_->setAutoDefault(false);
  open_folder_button_->hide();
  // The line keeps its height whether the button shows or not.
  summary_->setFixedHeight(open_folder_button_->sizeHint().height());
  last_run_ = new TPathLabel(this);
  last_run_->hide();

  // The lists share the height the window gains; at the reference size each
  // shows its few rows.
  for (TMaskGrid* grid : {include_grid_, exclude_grid_}) {
    grid->setMinimumHeight(GridHeight(*grid));
    grid->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  }
  include_grid_->setMinimumWidth(kWindowWidth);

  auto* template_row = new QHBoxLayout;
  template_row->setSpacing(3);
  template_row->addWidget(file_name_mask_, 1);
  template_row->addWidget(template_button_);

  auto* times = new QGridLayout;
  times->setHorizontalSpacing(6);
  times->setVerticalSpacing(0);
  times->addWidget(time_caption, 0, 0, 2, 1, Qt::AlignVCenter);
  times->addWidget(elapsed_caption, 0, 1);
  times->addWidget(elapsed_, 0, 2);
  times->addWidget(remaining_caption, 1, 1);
  times->addWidget(remaining_, 1, 2);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(0);
  for (QPushButton* button : {create_button_, stop_button_, about_button_, settings_button_}) {
    button->setAutoDefault(false);
    buttons->addWidget(button);
  }
  buttons->addSpacing(8);
  buttons->addStretch(1);
  buttons->addLayout(times);

  // The bottom of the window: one row per status line, the last run's
  // summary first.
  auto* summary_row = new QHBoxLayout;
  summary_row->setSpacing(6);
  summary_row->addWidget(summary_, 1);
  summary_row->addWidget(open_folder_button_);
  status_lines_ = new QVBoxLayout;
  status_lines_->setSpacing(2);
  status_lines_->addLayout(summary_row);
  status_lines_->addWidget(last_run_);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 4);
  layout->setSpacing(2);
  layout->addWidget(include_heading);
  layout->addWidget(include_grid_, 1);
  layout->addWidget(exclude_heading);
  layout->addWidget(exclude_grid_, 1);
  layout->addWidget(template_heading);
  layout->addLayout(template_row);
  layout->addSpacing(2);
  layout->addWidget(current_heading);
  layout->addWidget(current_file_);
  layout->addLayout(CaptionedBar(kFileBar, file_progress_, this));
  layout->addWidget(archive_name_);
  layout->addLayout(CaptionedBar(kTotalBar, total_progress_, this));
  layout->addSpacing(2);
  layout->addLayout(buttons);
  layout->addLayout(status_lines_);

  setTabOrder(create_button_, include_grid_);
  setTabOrder(include_grid_, file_name_mask_);
  setTabOrder(file_name_mask_, file_progress_);
  setTabOrder(file_progress_, total_progress_);
  setTabOrder(total_progress_, stop_button_);
  setTabOrder(stop_button_, exclude_grid_);
  setTabOrder(exclude_grid_, about_button_);
  setTabOrder(about_button_, settings_button_);

  connect(create_button_, &QPushButton::clicked, this, &TForm1::CreateArchive);
  connect(stop_button_, &QPushButton::clicked, this, &TForm1::StopArchive);
  connect(about_button_, &QPushButton::clicked, this, &TForm1::OpenAbout);
  connect(settings_button_, &QPushButton::clicked, this, &TForm1::OpenSettings);
  connect(template_button_, &QToolButton::clicked, this, &TForm1::EditTemplate);
  connect(open_folder_button_, &QPushButton::clicked, this, &TForm1::OpenArchiveFolder);
  connect(file_name_mask_, &QLineEdit::textChanged, this,
          [this](const QString& text) { job_.FileNameMask = FromQ(text); });
  for (TMaskGrid* grid : {include_grid_, exclude_grid_}) {
    connect(grid, &TMaskGrid::DeleteRequested, this, [this, grid] { DeleteListRow(*grid); });
    connect(grid, &TMaskGrid::EllipsisClicked, this, [this, grid] { ChooseListFolder(*grid); });
  }
  // Ctrl+Q closes as the close box does.
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
  quit->setContext(Qt::WindowShortcut);
  connect(quit, &QShortcut::activated, this, &QWidget::close);
}

void TForm1::MoveToCentre() {
  resize(minimumSizeHint());
  if (const QScreen* screen = this->screen()) {
    QRect area = geometry();
    area.moveCenter(screen->availableGeometry().center());
    move(area.topLeft());
  }
}

void TForm1::RestoreGeometry() {
  const WindowGeometry geometry = LoadWindowGeometry(WindowStatePath());
  if (!geometry.HasSize()) return;
  const QSize minimum = minimumSizeHint();
  QRect area(geometry.Left, geometry.Top, std::max(geometry.Width, minimum.width()),
             std::max(geometry.Height, minimum.height()));
  // A place on a screen that is no longer there gives the centre of this one.
  const QScreen* screen = QGuiApplication::screenAt(area.center());
  if (screen == nullptr && this->screen() != nullptr) {
    area.moveCenter(this->screen()->availableGeometry().center());
  }
  setGeometry(area);
  restore_maximized_ = geometry.Maximized;
}

void TForm1::SaveGeometry() const {
  if (!was_shown_) return;
  const QRect area = isMaximized() ? normalGeometry() : geometry();
  WindowGeometry geometry;
  geometry.Left = area.left();
  geometry.Top = area.top();
  geometry.Width = area.width();
  geometry.Height = area.height();
  geometry.Maximized = isMaximized();
  SaveWindowGeometry(WindowStatePath(), geometry);
}

void TForm1::ShowWindow() {
  if (restore_maximized_) {
    showMaximized();
  } else {
    show();
  }
}

bool TForm1::OnWindowThreadNow() const { return QThread::currentThread() == thread(); }

template <class Change> void TForm1::UpdateShown(Change change) {
  {
    std::lock_guard lock(shown_mutex_);
    change(shown_);
  }
  if (OnWindowThreadNow()) {
    RefreshShown();
  } else {
    ScheduleRefresh();
  }
}

void TForm1::ScheduleRefresh() {
  // At most one refresh waits at a time; it shows whatever is latest then.
  if (refresh_pending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        QTimer::singleShot(kRefreshMs, this, [this] {
          refresh_pending_.store(false);
          RefreshShown();
        });
      },
      Qt::QueuedConnection);
}

void TForm1::RefreshShown() {
  ShownRun shown;
  {
    std::lock_guard lock(shown_mutex_);
    shown = shown_;
  }
  // The labels are one line: a name's line break or tab shows as an escape.
  current_file_->SetPath(ToQ(EscapeControls(shown.CurrentFile)));
  archive_name_->SetPath(ToQ(EscapeControls(shown.ArchiveName)));
  file_progress_->setValue(shown.FilePercent);
  total_progress_->setValue(shown.TotalPercent);
  total_progress_->setFormat(shown.TotalStage.empty() ? QString::fromLatin1(kBarFormat)
                                                      : QString::fromUtf8(kStageFormat).arg(ToQ(shown.TotalStage)));
  elapsed_->setText(ToQ(shown.Elapsed));
  remaining_->setText(ToQ(shown.Remaining));
}

template <class Action> void TForm1::Guarded(Action action) {
  try {
    action();
  } catch (const std::exception& error) {
    ShowError(error.what());
  }
}

void TForm1::ShowError(const std::string& message) { hooks_.ShowError(this, ErrorBoxText(ToQ(message))); }

void TForm1::ShowCurrentFile(const std::string& text) {
  UpdateShown([&](ShownRun& shown) { shown.CurrentFile = text; });
}

void TForm1::ShowArchiveName(const std::string& text) {
  UpdateShown([&](ShownRun& shown) { shown.ArchiveName = text; });
}

void TForm1::SetFileProgress(int percent) {
  UpdateShown([&](ShownRun& shown) { shown.FilePercent = percent; });
}

void TForm1::SetTotalProgress(int percent) {
  UpdateShown([&](ShownRun& shown) { shown.TotalPercent = percent; });
}

void TForm1::ShowTotalStage(const std::string& text) {
  UpdateShown([&](ShownRun& shown) { shown.TotalStage = text; });
}

void TForm1::ShowElapsed(const std::string& text) {
  UpdateShown([&](ShownRun& shown) { shown.Elapsed = text; });
}

void TForm1::ShowRemaining(const std::string& text) {
  UpdateShown([&](ShownRun& shown) { shown.Remaining = text; });
}

void TForm1::ShowDoneMessage() { done_message_wanted_.store(true); }

void TForm1::RequestClose() {
  close_requested_.store(true);
  // Outside a run the request is handled later, as a close from the user;
  // during one it waits for the run's end.
  if (OnWindowThreadNow() && !run_active_) {
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
  }
}

QString TForm1::DoneMessageText(const RunReport& report) const {
  QString text = QString::fromUtf8(kDone);
  if (report.NothingSelected) text += QStringLiteral("\n\n") + QString::fromUtf8(kMsgNothingSelected);
  const std::vector<SkippedFile>& skipped = report.Skipped;
  if (skipped.empty()) return text;
  text += QStringLiteral("\n\n") + QString::fromUtf8(kSkippedCount).arg(skipped.size());
  // One line per file: a line break in a name must not pass for another file.
  for (size_t i = 0; i < skipped.size() && i < kSkippedShown; ++i) {
    text += u'\n' + ToQ(EscapeControls(skipped[i].Path));
    if (!skipped[i].Reason.empty()) text += QStringLiteral(": ") + ToQ(skipped[i].Reason);
  }
  if (skipped.size() > kSkippedShown) {
    text += u'\n' + QString::fromUtf8(kSkippedMore).arg(skipped.size() - kSkippedShown);
  }
  return text;
}

void TForm1::CommitEdits() {
  for (TMaskGrid* grid : {include_grid_, exclude_grid_}) {
    grid->CommitCellEditor();
    grid->Model().Post();
  }
  job_.FileNameMask = FromQ(file_name_mask_->text());
}

void TForm1::FollowCurrentEntries() {
  for (TMaskModel* model : {include_model_, exclude_model_}) {
    if (!model->IsEditing()) model->Reload();
  }
}

void TForm1::UpdateControls() {
  const bool running = run_active_;
  // The dialogs change the job the run is reading; in the batch modes they
  // do not exist.
  const bool dialogs = !options_.Batch && !running;
  create_button_->setEnabled(!running);
  stop_button_->setEnabled(running);
  about_button_->setEnabled(dialogs);
  settings_button_->setEnabled(dialogs);
  template_button_->setEnabled(dialogs);
  include_grid_->SetReadOnly(running);
  exclude_grid_->SetReadOnly(running);
  file_name_mask_->setReadOnly(running);
}

bool TForm1::BeginRun() {
  if (run_active_) return false;
  CommitEdits();
  done_message_wanted_.store(false);
  const uint64_t run = ++run_number_;
  summary_->SetPath(QString());
  open_folder_button_->hide();
  last_run_->hide();
  const bool started = session_->Start([this, run] {
    QMetaObject::invokeMethod(this, [this, run] { OnRunEnded(run); }, Qt::QueuedConnection);
  });
  // The window's run lasts until it has dealt with the end, however soon
  // the worker is done.
  run_active_ = started;
  UpdateControls();
  // A run refused at the start (a stop signal came first) ends here.
  if (!started) OnRunEnded(run);
  return started;
}

void TForm1::OnRunEnded(uint64_t run) {
  if (run != run_number_ || ended_run_ == run) return;
  ended_run_ = run;
  run_active_ = false;
  session_->Wait();
  const RunReport& report = session_->Report();
  UpdateControls();
  // A stop cleared the display when it was pressed, but the run may have
  // reported once more before it noticed.
  if (report.Outcome == RunOutcome::roStopped) {
    std::lock_guard lock(shown_mutex_);
    shown_ = ShownRun{};
  }
  RefreshShown();
  FollowCurrentEntries();
  ShowSummary(report);

  // Nobody is asked anything on the way out: a stop signal or a close that
  // stopped the run ends the program without a box.
  const bool leaving = stop_signal_ || close_after_run_ || session_->Signal() != 0;
  if (!leaving) {
    if (report.ArchiveWritten() && done_message_wanted_.load()) hooks_.ShowMessage(this, DoneMessageText(report));
    // The batch mode with a window ends a failed run without a message; a
    // batch run that was stopped closes instead.
    const bool quiet_batch = options_.Batch && (options_.ShowWindow || close_requested_.load());
    if (!report.ArchiveWritten() && report.Outcome != RunOutcome::roNone && !quiet_batch) {
      ShowError(report.Message);
    }
  }
  if (leaving || close_requested_.load()) close();
}

void TForm1::ShowSummary(const RunReport& report) {
  summary_->SetPath(ToQ(EscapeControls(SummaryLine(report))));
  const std::string folder = report.ArchivePath.empty() ? std::string() : DirName(report.ArchivePath);
  summary_folder_ = ToQ(folder);
  open_folder_button_->setVisible(!folder.empty() && FolderExists(folder));
}

void TForm1::ShowLastRun() {
  const std::vector<HistoryEntry> last = ReadHistory(HistoryPath(ProgramStateFolder()), 1);
  last_run_->SetPath(last.empty() ? QString() : ToQ(LastRunLine(last.back())));
  last_run_->setVisible(!last.empty());
}

void TForm1::OpenArchiveFolder() {
  if (summary_folder_.isEmpty()) return;
  hooks_.OpenUrl(QUrl::fromLocalFile(summary_folder_).toString());
}

void TForm1::CreateArchive() { BeginRun(); }

void TForm1::StopArchive() {
  if (!run_active_) return;
  Guarded([this] { session_->Stop(); });
}

void TForm1::OpenAbout() {
  if (options_.Batch || !about_ || run_active_) return;
  hooks_.ExecDialog(*about_);
}

void TForm1::OpenSettings() {
  if (options_.Batch || !settings_ || run_active_) return;
  Guarded([this] {
    settings_->ShowSettings(job_);
    if (hooks_.ExecDialog(*settings_) != QDialog::Accepted) return;
    settings_->TakeSettings(job_);
    controller_->ApplyEngineSettings();
  });
}

void TForm1::EditTemplate() {
  if (options_.Batch || !template_editor_ || run_active_) return;
  template_editor_->SetTemplate(file_name_mask_->text());
  if (hooks_.ExecDialog(*template_editor_) == QDialog::Accepted) {
    file_name_mask_->setText(template_editor_->Template());
  }
}

void TForm1::ChooseListFolder(TMaskGrid& grid) {
  if (options_.Batch || !folders_ || grid.IsReadOnly()) return;
  grid.CommitCellEditor();
  TMaskModel& model = grid.Model();
  const std::string text = FromQ(model.CurrentText());
  folders_->SetFolder(FolderPartOf(text));
  if (hooks_.ExecDialog(*folders_) != QDialog::Accepted) return;
  // The new text stays pending in the row until the user leaves it.
  if (!model.IsEditing()) model.Edit();
  model.SetPendingText(ToQ(MaskInFolder(text, folders_->GetFolder())));
}

void TForm1::DeleteListRow(TMaskGrid& grid) {
  if (grid.IsReadOnly()) return;
  TMaskModel& model = grid.Model();
  if (model.RecordCount() == 0 && !model.IsEditing()) return;
  if (hooks_.AskYesNo(this, QString::fromUtf8(kDeleteQuestion))) model.DeleteCurrent();
}

bool TForm1::RunHiddenBatch() {
  if (!BeginRun()) return false;
  session_->Wait();
  OnRunEnded(run_number_);
  return session_->Report().ArchiveWritten();
}

void TForm1::OnStopSignal() {
  stop_signal_ = true;
  // A dialog or box left open would keep the program alive after a logout;
  // each is cancelled as its Escape key would.
  for (int open = 0; open < kMaxModalDialogs; ++open) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == this) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
  }
  if (run_active_) {
    // The handler has asked the engine to stop already; this clears the
    // display, and the close follows the end of the run.
    close_after_run_ = true;
    session_->Stop();
  } else {
    close();
  }
}

int TForm1::ExitStatus() const {
  if (!options_.Batch) return signal_save_failed_ ? kExitFailed : kExitSuccess;
  if (signal_save_failed_) return kExitFailed;
  return ExitStatusOf(session_->Report());
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  was_shown_ = true;
  if (options_.Batch && options_.ShowWindow && !worker_started_on_show_) {
    worker_started_on_show_ = true;
    BeginRun();
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (run_active_) {
    event->ignore();
    // A stop is already on its way and the close follows it.
    if (close_after_run_ || close_requested_.load()) return;
    if (!hooks_.AskYesNo(this, QString::fromUtf8(kStopAndClose))) return;
    close_after_run_ = true;
    Guarded([this] { session_->Stop(); });
    return;
  }
  CommitEdits();
  bool may_close = false;
  try {
    may_close = controller_->QueryClose();
  } catch (const std::exception& error) {
    if (!stop_signal_) {
      ShowError(error.what());
    } else {
      // Ending on a signal (a logout): nobody is there to read a box.
      WriteProgramMessage(stderr, error.what());
      signal_save_failed_ = true;
      may_close = true;
    }
  }
  if (!may_close) {
    // A close the run asked for is used up; the next one is the user's.
    close_requested_.store(false);
    close_after_run_ = false;
    event->ignore();
    return;
  }
  SaveGeometry();
  closed_ = true;
  event->accept();
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_main_window.cpp"
