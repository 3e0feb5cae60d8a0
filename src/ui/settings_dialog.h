#pragma once
// The settings dialog: compression level, compression threads, what to do
// when the archive exists, the two path options of the job, the check of
// each archive and the number of archives kept.
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>

#include "app/settings.h"

namespace tessel {

class TForm5 : public QDialog {
  Q_OBJECT

public:
  explicit TForm5(QWidget* parent = nullptr);

  // Puts the job's values into the controls (ReplaceMode normalised first).
  void ShowSettings(JobSettings& job);
  // Takes the controls' values into the job.
  void TakeSettings(JobSettings& job) const;
  // The number in the level box: the text typed, 0 when empty or no number.
  int LevelValue() const;

  QSpinBox* SpinEdit1() const { return level_; }
  // "Потоков сжатия": 0 to 64, 0 shown as «авто».
  QSpinBox* seThreads() const { return threads_; }
  QGroupBox* rgReplaceMode() const { return replace_box_; }
  QButtonGroup* ReplaceModeButtons() const { return replace_mode_; }
  QCheckBox* cbIncludeSubDirs() const { return include_sub_dirs_; }
  QCheckBox* cbStorePaths() const { return store_paths_; }
  QCheckBox* cbVerify() const { return verify_; }
  QSpinBox* seKeepArchives() const { return keep_archives_; }
  QPushButton* BitBtn1() const { return save_; }
  QPushButton* BitBtn2() const { return cancel_; }

protected:
  void showEvent(QShowEvent* event) override;

private:
  QSpinBox* level_;
  QSpinBox* threads_;
  QGroupBox* replace_box_;
  QButtonGroup* replace_mode_;
  QCheckBox* include_sub_dirs_;
  QCheckBox* store_paths_;
  QCheckBox* verify_;
  QSpinBox* keep_archives_;
  QPushButton* save_;
  QPushButton* cancel_;
};

}  // namespace tessel
