#pragma once
// The record store behind one mask grid: the rows of a MaskList, a current
// row, and one pending change (an edited or an added row) that is committed
// when the user leaves the row or the job is saved, or discarded.
#include <QAbstractTableModel>
#include <QString>

#include "app/settings.h"

namespace tessel {

class TMaskModel : public QAbstractTableModel {
  Q_OBJECT

public:
  enum class State { Browse, Edit, Insert };

  TMaskModel(MaskList& list, const QString& title, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // An edit of a cell: makes its row current and the text the pending change.
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  State GetState() const { return state_; }
  bool IsEditing() const { return state_ != State::Browse; }
  // Rows committed to the list (an added row is not counted until committed).
  int RecordCount() const { return static_cast<int>(list_.Count()); }
  // The current row; RecordCount() while a row is being added.
  int CurrentRow() const { return current_; }
  // Commits the pending change, then makes row current (clamped to the rows).
  void SetCurrentRow(int row);
  // Starts editing the current row; in an empty list this adds a row.
  void Edit();
  // Commits the pending change and adds a new empty row at the end.
  void Append();
  // The current row's text, with the pending change.
  QString CurrentText() const;
  // Replaces the pending text of the current row (starting an edit if needed);
  // cut to the mask length limit.
  void SetPendingText(const QString& text);
  // Commits the pending change and adds a committed row with text at the
  // end (cut to the mask length limit), which becomes the current row.
  void AddRow(const QString& text);
  // Writes the pending change into the list. An added row that was never
  // given a text is discarded instead, as leaving an untouched new row does.
  void Post();
  // Throws the pending change away (an added row disappears).
  void Cancel();
  // Deletes the current row; a row being added is discarded.
  void DeleteCurrent();
  // Shows the list afresh after it was changed from outside (a load or a
  // save); any pending change is lost, the list's current entry is taken over.
  void Reload();

signals:
  // The current row changed by the store itself (append, delete, reload).
  void CurrentRowMoved(int row);

private:
  void SyncListCurrent();

  MaskList& list_;
  QString title_;
  State state_ = State::Browse;
  int current_ = 0;
  QString pending_;
  bool modified_ = false;
  bool reshaping_ = false;  // rows being inserted, removed or reset
};

}  // namespace tessel
