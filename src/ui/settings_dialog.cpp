#include "ui/settings_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "ui/ui_hooks.h"

namespace tessel {
namespace {

constexpr char kLevelCaption[] = "Степень сжатия";
constexpr char kThreadsCaption[] = "Потоков сжатия";
constexpr char kThreadsAuto[] = "авто";
constexpr char kReplaceCaption[] = "Действия в случае если архив существует";
constexpr std::array<const char*, 4> kReplaceModes = {
    "Удалять старый архив",
    "Заменять более старые файлы",
    "Заменять файлы не взирая на дату",
    "Обновлять только существующие файлы",
};
constexpr char kIncludeSubDirs[] = "Включать подкаталоги";
constexpr char kStorePaths[] = "Сохранять пути к файлам";
constexpr char kVerify[] = "Проверять архив после записи";
constexpr char kKeepArchives[] = "Хранить архивов";
// Shown for 0: every archive is kept.
constexpr char kKeepAll[] = "все";
constexpr int kMostArchivesKept = 99999;
constexpr char kSave[] = "Сохранить";
constexpr char kCancel[] = "Отмена";
constexpr int kMinLevel = 0;
constexpr int kMaxLevel = 9;

}  // namespace

TForm5::TForm5(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  auto* level_caption = new QLabel(QString::fromUtf8(kLevelCaption), this);
  level_ = new QSpinBox(this);
  level_->setRange(kMinLevel, kMaxLevel);
  level_->setSingleStep(1);
  level_caption->setBuddy(level_);

  auto* threads_caption = new QLabel(QString::fromUtf8(kThreadsCaption), this);
  threads_ = new QSpinBox(this);
  threads_->setRange(0, kMaxThreads);
  threads_->setSingleStep(1);
  // 0 lets the program take one thread per core.
  threads_->setSpecialValueText(QString::fromUtf8(kThreadsAuto));
  threads_caption->setBuddy(threads_);

  replace_box_ = new QGroupBox(QString::fromUtf8(kReplaceCaption), this);
  replace_mode_ = new QButtonGroup(this);
  replace_mode_->setExclusive(true);
  auto* replace_layout = new QVBoxLayout(replace_box_);
  for (size_t mode = 0; mode < kReplaceModes.size(); ++mode) {
    auto* item = new QRadioButton(QString::fromUtf8(kReplaceModes[mode]), replace_box_);
    replace_mode_->addButton(item, static_cast<int>(mode));
    replace_layout->addWidget(item);
  }

  include_sub_dirs_ = new QCheckBox(QString::fromUtf8(kIncludeSubDirs), this);
  store_paths_ = new QCheckBox(QString::fromUtf8(kStorePaths), this);
  verify_ = new QCheckBox(QString::fromUtf8(kVerify), this);
  auto* keep_caption = new QLabel(QString::fromUtf8(kKeepArchives), this);
  keep_archives_ = new QSpinBox(this);
  keep_archives_->setRange(0, kMostArchivesKept);
  keep_archives_->setSpecialValueText(QString::fromUtf8(kKeepAll));
  keep_caption->setBuddy(keep_archives_);
  save_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QString::fromUtf8(kSave), this);
  cancel_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                            QString::fromUtf8(kCancel), this);
  save_->setDefault(true);

  auto* level_row = new QHBoxLayout;
  level_row->addWidget(level_caption);
  level_row->addWidget(level_);
  level_row->addStretch(1);
  auto* threads_row = new QHBoxLayout;
  threads_row->addWidget(threads_caption);
  threads_row->addWidget(threads_);
  threads_row->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(save_);
  buttons->addWidget(cancel_);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(level_row);
  layout->addLayout(threads_row);
  layout->addWidget(replace_box_);
  layout->addWidget(include_sub_dirs_);
  layout->addWidget(store_paths_);
  layout->addWidget(verify_);
  auto* keep_row = new QHBoxLayout;
  keep_row->addWidget(keep_caption);
  keep_row->addWidget(keep_archives_);
  keep_row->addStretch(1);
  layout->addLayout(keep_row);
  layout->addStretch(1);
  layout->addLayout(buttons);

  connect(save_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void TForm5::ShowSettings(JobSettings& job) {
  job.ReplaceMode = NormalizeReplaceMode(job.ReplaceMode);
  replace_mode_->button(job.ReplaceMode)->setChecked(true);
  // The box shows a level outside its range as the nearest bound.
  level_->setValue(job.Level);
  job.Threads = NormalizeThreads(job.Threads);
  threads_->setValue(job.Threads);
  include_sub_dirs_->setChecked(job.IncludeSubDirs);
  store_paths_->setChecked(job.StorePaths);
  verify_->setChecked(job.Verify);
  // A negative number in the file keeps every archive, as 0 does.
  keep_archives_->setValue(std::max(job.KeepArchives, 0));
}

void TForm5::TakeSettings(JobSettings& job) const {
  job.Level = LevelValue();
  job.Threads = threads_->value();
  job.IncludeSubDirs = include_sub_dirs_->isChecked();
  job.StorePaths = store_paths_->isChecked();
  job.Verify = verify_->isChecked();
  job.KeepArchives = keep_archives_->value();
  const int mode = replace_mode_->checkedId();
  job.ReplaceMode = NormalizeReplaceMode(mode);
}

int TForm5::LevelValue() const {
  bool is_number = false;
  const int typed = level_->cleanText().trimmed().toInt(&is_number);
  return is_number ? typed : 0;
}

void TForm5::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  level_->setFocus(Qt::OtherFocusReason);
  level_->selectAll();
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_settings_dialog.cpp"
