#pragma once
// One of the main window's two mask grids: a one-column table over a
// TMaskModel whose cell editor carries an ellipsis button, with the grid's
// own rules for the Delete key and for adding rows.
#include <QAction>
#include <QColor>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolButton>

#include "ui/mask_model.h"

namespace tessel {

// The in-place editor of a mask cell: a text box and the "..." button.
class TMaskCellEditor : public QWidget {
  Q_OBJECT

public:
  explicit TMaskCellEditor(QWidget* parent);
  QLineEdit* Text() const { return text_; }
  QToolButton* EllipsisButton() const { return button_; }

signals:
  void EllipsisClicked();
  void Commit();  // Enter, Tab or leaving the editor
  void Revert();  // Escape

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // Ends the edit once: the focus leaving an editor that Enter or Escape
  // has already closed must not hand its text to the view again.
  void Finish(bool commit);

  QLineEdit* text_;
  QToolButton* button_;
  bool finished_ = false;
};

class TMaskDelegate : public QStyledItemDelegate {
  Q_OBJECT

public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;

signals:
  void EllipsisClicked();
};

class TMaskGrid : public QTableView {
  Q_OBJECT

public:
  TMaskGrid(TMaskModel& model, const QColor& background, QWidget* parent = nullptr);
  using QTableView::edit;

  TMaskModel& Model() const { return model_; }
  // True while the text of a cell is being edited.
  bool IsEditingText() const { return state() == QAbstractItemView::EditingState; }
  // The open cell editor, or null.
  TMaskCellEditor* CellEditor() const;
  // Opens the cell editor on the current row (adding a row to an empty list).
  void StartCellEdit();
  // Hands the open cell editor's text to the store and closes the editor.
  void CommitCellEditor();
  // A read-only grid keeps its rows: no editing, no deletion, no new rows,
  // no drops.
  void SetReadOnly(bool read_only);
  bool IsReadOnly() const { return read_only_; }
  // Adds one row per local file or folder among urls (see
  // MaskForDroppedPath); false when none was added.
  bool AddDroppedUrls(const QList<QUrl>& urls);

  // The right-click menu's actions: «Добавить» adds a row and opens its
  // editor, «Изменить» opens the current row's editor, «Удалить» asks to
  // delete the current row. Their enabled state follows the grid.
  QAction* AddAction() const { return add_action_; }
  QAction* ChangeAction() const { return change_action_; }
  QAction* DeleteAction() const { return delete_action_; }
  void UpdateActions();

signals:
  // Delete was pressed outside the cell editor; the window asks and deletes.
  void DeleteRequested();
  void EllipsisClicked();

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

private:
  void ShowCurrentRow(int row);
  // True when a drop of this data would add rows.
  bool AcceptsDrop(const QMimeData* data) const;

  TMaskModel& model_;
  TMaskDelegate* delegate_;
  QAction* add_action_;
  QAction* change_action_;
  QAction* delete_action_;
  bool read_only_ = false;
};

}  // namespace tessel
