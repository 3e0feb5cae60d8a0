#pragma once
// One of the main window's two mask grids: a one-column table over a
// TMaskModel whose cell editor carries an ellipsis button, with the grid's
// own rules for the Delete key and for adding rows.
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
  QLineEdit* text_;
  QToolButton* button_;
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

  TMaskModel& Model() const { return model_; }
  // True while the text of a cell is being edited.
  bool IsEditingText() const { return state() == QAbstractItemView::EditingState; }
  // The open cell editor, or null.
  TMaskCellEditor* CellEditor() const;
  // Opens the cell editor on the current row (adding a row to an empty list).
  void StartCellEdit();
  // Hands the open cell editor's text to the store and closes the editor.
  void CommitCellEditor();
  // A read-only grid keeps its rows: no editing, no deletion, no new rows.
  void SetReadOnly(bool read_only);
  bool IsReadOnly() const { return read_only_; }

signals:
  // Delete was pressed outside the cell editor; the window asks and deletes.
  void DeleteRequested();
  void EllipsisClicked();

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
  void ShowCurrentRow(int row);

  TMaskModel& model_;
  TMaskDelegate* delegate_;
  bool read_only_ = false;
};

}  // namespace tessel
