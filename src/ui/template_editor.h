#pragma once
// The archive name template editor: the token list, insertion of a token by
// double-click, the folder choice and a live preview of the expanded name for
// a date and time of the user's choice.
#include <QDateEdit>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimeEdit>

#include "platform/datetime.h"
#include "ui/ui_hooks.h"

namespace tessel {

class TForm3;

class TForm4 : public QDialog {
  Q_OBJECT

public:
  // folders is the folder chooser that "Выбор каталога" opens through hooks.
  TForm4(TForm3& folders, UiHooks& hooks, QWidget* parent = nullptr);

  void SetTemplate(const QString& text) { edit_->setText(text); }
  QString Template() const { return edit_->text(); }
  // The moment of the two pickers: the date of the first, the time of day of
  // the second.
  DateTime PreviewMoment() const;
  // Expands the template for the pickers' moment into the result label and
  // its tooltip.
  void RefreshPreview();
  // Puts the token of the list's current line at the text box's caret (in
  // place of the selection), as a double-click does, and gives the text box
  // the keyboard focus with the caret after the token.
  void InsertSelectedToken();
  // The folder choice of "Выбор каталога".
  void ChooseFolder();

  QLineEdit* Edit1() const { return edit_; }
  QListWidget* ListBox1() const { return tokens_; }
  QPushButton* Button1() const { return folder_button_; }
  QDateEdit* DateTimePicker1() const { return date_; }
  QTimeEdit* DateTimePicker2() const { return time_; }
  QPushButton* Button2() const { return save_; }
  QPushButton* Button3() const { return cancel_; }
  QLabel* Label1() const { return result_; }

protected:
  bool event(QEvent* event) override;

private:
  TForm3& folders_;
  UiHooks& hooks_;
  QLineEdit* edit_;
  QListWidget* tokens_;
  QPushButton* folder_button_;
  QLabel* moment_caption_;
  QDateEdit* date_;
  QTimeEdit* time_;
  QPushButton* save_;
  QPushButton* cancel_;
  QLabel* result_caption_;
  QLabel* result_;
};

}  // namespace tessel
