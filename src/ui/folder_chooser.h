#pragma once
// The folder chooser: a folder tree of the whole file system with a box of
// places (the mounted file systems and the home folder) in the role of the
// drive box, and "Выбрать" / "Отмена".
#include <QComboBox>
#include <QDialog>
#include <QFileSystemModel>
#include <QPushButton>
#include <QTreeView>
#include <string>

namespace tessel {

class TForm3 : public QDialog {
  Q_OBJECT

public:
  explicit TForm3(QWidget* parent = nullptr);

  // Shows folder in the tree. An empty text, or the folder already shown,
  // leaves the tree where it is; a folder that does not exist shows its
  // nearest existing parent.
  void SetFolder(const std::string& folder);
  // The tree's current folder without a trailing "/"; the root stays "/".
  std::string GetFolder() const;

  QTreeView* DirectoryListBox1() const { return tree_; }
  QComboBox* DriveComboBox1() const { return places_; }
  QPushButton* Button1() const { return choose_; }
  QPushButton* Button2() const { return cancel_; }

private:
  void ShowFolder(const QString& folder);
  void FolderChanged(const QModelIndex& current);
  void PlaceChosen(int item);
  void ShowPlaceOf(const QString& folder);

  QFileSystemModel* model_;
  QTreeView* tree_;
  QComboBox* places_;
  QPushButton* choose_;
  QPushButton* cancel_;
  QString folder_;
};

}  // namespace tessel
