#include "ui/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <cstdio>

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
constexpr char kCreate[] = "Создать архив";
constexpr char kStop[] = "Остановить";
constexpr char kAbout[] = "О программе";
constexpr char kSettings[] = "Настройки";
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
constexpr int kGridRows = 3;
constexpr int kProgressHeight = 16;
// How often the engine's work lets the window handle its input.
constexpr qint64 kPumpIntervalMs = 50;

QLabel* Heading(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setAlignment(Qt::AlignHCenter);
  return label;
}

QProgressBar* ProgressBar(QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setFixedHeight(kProgressHeight);
  return bar;
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
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      options_(options),
      hooks_(DefaultUiHooks()) {
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  setWindowIcon(TileIcon());
  // The engine and its set-up come first, then the job from the file.
  controller_ = std::make_unique<RunController>(job_, *this, options_);
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

  controller_->SetProcessInput([this] {
    // Only a run on the window's thread pumps; the worker has no window.
    if (!OnWindowThreadNow()) return;
    if (pump_clock_.isValid() && pump_clock_.elapsed() < kPumpIntervalMs) return;
    pump_clock_.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  });
  if (!options_.Batch) {
    controller_->SetChooseArchive([this](const std::string& initial_folder, std::string& chosen) {
      QString file;
      if (!hooks_.ChooseArchive(this, ToQ(initial_folder), file)) return false;
      chosen = FromQ(file);
      return true;
    });
    // The dialogs exist only in the interactive mode, created in this order.
    about_ = std::make_unique<TAbout>(hooks_, this);
    folders_ = std::make_unique<TForm3>(this);
    template_editor_ = std::make_unique<TForm4>(*folders_, hooks_, this);
    settings_ = std::make_unique<TForm5>(this);
  }
  MoveToCentre();
}

TForm1::~TForm1() {
  {
    // A worker waiting for the completion box must not wait for a window
    // that is going away.
    std::lock_guard lock(done_mutex_);
    shutting_down_ = true;
  }
  done_closed_.notify_all();
  ReleaseWorker();
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

  include_grid_->setFixedHeight(GridHeight(*include_grid_));
  exclude_grid_->setFixedHeight(GridHeight(*exclude_grid_));
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

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 4);
  layout->setSpacing(2);
  layout->addWidget(include_heading);
  layout->addWidget(include_grid_);
  layout->addWidget(exclude_heading);
  layout->addWidget(exclude_grid_);
  layout->addWidget(template_heading);
  layout->addLayout(template_row);
  layout->addSpacing(2);
  layout->addWidget(current_heading);
  layout->addWidget(current_file_);
  layout->addWidget(file_progress_);
  layout->addWidget(archive_name_);
  layout->addWidget(total_progress_);
  layout->addSpacing(2);
  layout->addLayout(buttons);
  // No resizing, no maximising: the window keeps the size of its layout.
  layout->setSizeConstraint(QLayout::SetFixedSize);

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
  connect(file_name_mask_, &QLineEdit::textChanged, this,
          [this](const QString& text) { job_.FileNameMask = FromQ(text); });
  for (TMaskGrid* grid : {include_grid_, exclude_grid_}) {
    connect(grid, &TMaskGrid::DeleteRequested, this, [this, grid] { DeleteListRow(*grid); });
    connect(grid, &TMaskGrid::EllipsisClicked, this, [this, grid] { ChooseListFolder(*grid); });
  }
}

void TForm1::MoveToCentre() {
  adjustSize();
  if (const QScreen* screen = this->screen()) {
    QRect area = geometry();
    area.moveCenter(screen->availableGeometry().center());
    move(area.topLeft());
  }
}

bool TForm1::OnWindowThreadNow() const { return QThread::currentThread() == thread(); }

template <class Change> void TForm1::OnWindowThread(Change change) {
  if (OnWindowThreadNow()) {
    change();
  } else {
    QMetaObject::invokeMethod(this, std::move(change), Qt::QueuedConnection);
  }
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
  OnWindowThread([this, value = ToQ(text)] { current_file_->SetPath(value); });
}

void TForm1::ShowArchiveName(const std::string& text) {
  OnWindowThread([this, value = ToQ(text)] { archive_name_->SetPath(value); });
}

void TForm1::SetFileProgress(int percent) {
  OnWindowThread([this, percent] { file_progress_->setValue(percent); });
}

void TForm1::SetTotalProgress(int percent) {
  OnWindowThread([this, percent] { total_progress_->setValue(percent); });
}

void TForm1::ShowElapsed(const std::string& text) {
  OnWindowThread([this, value = ToQ(text)] { elapsed_->setText(value); });
}

void TForm1::ShowRemaining(const std::string& text) {
  OnWindowThread([this, value = ToQ(text)] { remaining_->setText(value); });
}

QString TForm1::DoneMessageText() const {
  QString text = QString::fromUtf8(kDone);
  if (options_.Batch) return text;
  const std::vector<SkippedFile>& skipped = controller_->SkippedFiles();
  if (skipped.empty()) return text;
  text += QStringLiteral("\n\n") + QString::fromUtf8(kSkippedCount).arg(skipped.size());
  for (size_t i = 0; i < skipped.size() && i < kSkippedShown; ++i) {
    text += u'\n' + ToQ(skipped[i].Path);
    if (!skipped[i].Reason.empty()) text += QStringLiteral(": ") + ToQ(skipped[i].Reason);
  }
  if (skipped.size() > kSkippedShown) {
    text += u'\n' + QString::fromUtf8(kSkippedMore).arg(skipped.size() - kSkippedShown);
  }
  return text;
}

void TForm1::ShowDoneMessage() {
  // The text is made on the run's own thread, where the skipped files live.
  const QString text = DoneMessageText();
  if (OnWindowThreadNow()) {
    hooks_.ShowMessage(this, text);
    return;
  }
  // From the worker: the run goes on only after the box has been closed.
  {
    std::lock_guard lock(done_mutex_);
    if (shutting_down_) return;
    done_pending_ = true;
  }
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        hooks_.ShowMessage(this, text);
        {
          std::lock_guard lock(done_mutex_);
          done_pending_ = false;
        }
        done_closed_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(done_mutex_);
  done_closed_.wait(lock, [this] { return !done_pending_ || shutting_down_; });
}

void TForm1::RequestClose() {
  if (!OnWindowThreadNow()) close_from_run_ = true;
  QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
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

void TForm1::CreateArchive() {
  if (controller_->IsBusy()) return;
  CommitEdits();
  Guarded([this] { controller_->StartRun(); });
  FollowCurrentEntries();
}

void TForm1::StopArchive() {
  Guarded([this] { controller_->StopRun(); });
}

void TForm1::OpenAbout() {
  if (options_.Batch || !about_) return;
  hooks_.ExecDialog(*about_);
}

void TForm1::OpenSettings() {
  if (options_.Batch || !settings_) return;
  Guarded([this] {
    settings_->ShowSettings(job_);
    if (hooks_.ExecDialog(*settings_) != QDialog::Accepted) return;
    settings_->TakeSettings(job_);
    // Confirmed settings reach the engine at once, also during a run.
    controller_->ApplyEngineSettings();
  });
}

void TForm1::EditTemplate() {
  if (options_.Batch || !template_editor_) return;
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
  CommitEdits();
  try {
    controller_->StartRun();
  } catch (const std::exception& error) {
    hidden_run_failed_ = true;
    if (stopped_by_signal_) {
      std::fprintf(stderr, "%s\n", error.what());
    } else {
      ShowError(error.what());
    }
  }
  FollowCurrentEntries();
  return !hidden_run_failed_;
}

void TForm1::StartWorker() {
  if (worker_) return;
  CommitEdits();
  SetEditingLocked(true);
  worker_ = std::make_unique<TMyThread>(*controller_, [this] {
    QMetaObject::invokeMethod(this, [this] { WorkerFinished(); }, Qt::QueuedConnection);
  });
  worker_->Start();
}

void TForm1::ReleaseWorker() {
  if (worker_) worker_->Release();
}

void TForm1::WorkerFinished() {
  ReleaseWorker();
  SetEditingLocked(false);
  FollowCurrentEntries();
  if (stopped_by_signal_) close();
}

void TForm1::StopOnSignal() {
  if (!options_.Batch) return;
  stopped_by_signal_ = true;
  if (controller_->IsBusy() || (worker_ && !worker_->Finished())) {
    StopArchive();  // the end of the run closes the window
  } else {
    close();
  }
}

void TForm1::SetEditingLocked(bool locked) {
  include_grid_->SetReadOnly(locked);
  exclude_grid_->SetReadOnly(locked);
  file_name_mask_->setReadOnly(locked);
}

int TForm1::ExitStatus() const {
  if (!options_.Batch) return 0;
  if (hidden_run_failed_) return 1;
  if (worker_) {
    if (!worker_->Finished() || worker_->Failed()) return 1;
  } else if (options_.ShowWindow) {
    return 1;  // the window closed before the run could start
  }
  return controller_->SkippedFiles().empty() ? 0 : 2;
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (options_.Batch && options_.ShowWindow && !worker_started_on_show_) {
    worker_started_on_show_ = true;
    StartWorker();
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  // While the worker runs the job is its own; only the completed run's own
  // close request gets through before the worker has ended.
  if (worker_ && !worker_->Finished() && !close_from_run_) {
    event->ignore();
    return;
  }
  CommitEdits();
  bool may_close = false;
  try {
    may_close = controller_->QueryClose();
  } catch (const std::exception& error) {
    ShowError(error.what());
  }
  if (!may_close) {
    event->ignore();
    return;
  }
  closed_ = true;
  event->accept();
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_main_window.cpp"
