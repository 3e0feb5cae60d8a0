#include "ui/mask_model.h"

#include <algorithm>

#include "platform/text.h"
#include "ui/ui_hooks.h"

namespace tessel {
namespace {

QString CutToMaskLength(const QString& text) {
  const std::string utf8 = FromQ(text);
  return ToQ(Utf8Prefix(utf8, kMaxMaskLength));
}

}  // namespace

TMaskModel::TMaskModel(MaskList& list, const QString& title, QObject* parent)
    : QAbstractTableModel(parent), list_(list), title_(title) {
  current_ = list_.Count() == 0 ? 0 : static_cast<int>(std::min(list_.Current, list_.Count() - 1));
}

int TMaskModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return RecordCount() + (state_ == State::Insert ? 1 : 0);
}

int TMaskModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant TMaskModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
  const int row = index.row();
  if (row == current_ && state_ != State::Browse) return pending_;
  if (row < 0 || row >= RecordCount()) return {};
  return ToQ(list_.Items[static_cast<size_t>(row)]);
}

QVariant TMaskModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Horizontal) return section == 0 ? QVariant(title_) : QVariant();
  return {};
}

Qt::ItemFlags TMaskModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

bool TMaskModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::EditRole) return false;
  if (index.row() != current_) SetCurrentRow(index.row());
  SetPendingText(value.toString());
  return true;
}

void TMaskModel::SetCurrentRow(int row) {
  // Views move their current row while rows are being removed; the store
  // decides the current row itself then.
  if (row == current_ || reshaping_) return;
  Post();
  // Posting may have dropped an untouched added row below the target.
  current_ = std::clamp(row, 0, std::max(0, RecordCount() - 1));
  SyncListCurrent();
  if (current_ != row) emit CurrentRowMoved(current_);
}

void TMaskModel::Edit() {
  if (state_ != State::Browse) return;
  if (RecordCount() == 0) {
    Append();
    return;
  }
  state_ = State::Edit;
  pending_ = ToQ(list_.Items[static_cast<size_t>(current_)]);
  modified_ = false;
}

void TMaskModel::Append() {
  Post();
  const int row = RecordCount();
  reshaping_ = true;
  beginInsertRows({}, row, row);
  state_ = State::Insert;
  current_ = row;
  pending_.clear();
  modified_ = false;
  endInsertRows();
  reshaping_ = false;
  emit CurrentRowMoved(current_);
}

void TMaskModel::AddRow(const QString& text) {
  Post();
  const int row = RecordCount();
  reshaping_ = true;
  beginInsertRows({}, row, row);
  list_.Append(FromQ(CutToMaskLength(text)));
  current_ = row;
  endInsertRows();
  reshaping_ = false;
  SyncListCurrent();
  emit CurrentRowMoved(current_);
}

QString TMaskModel::CurrentText() const {
  if (state_ != State::Browse) return pending_;
  if (RecordCount() == 0) return {};
  return ToQ(list_.Items[static_cast<size_t>(current_)]);
}

void TMaskModel::SetPendingText(const QString& text) {
  if (state_ == State::Browse) Edit();
  pending_ = CutToMaskLength(text);
  modified_ = true;
  const QModelIndex cell = index(current_, 0);
  emit dataChanged(cell, cell);
}

void TMaskModel::Post() {
  switch (state_) {
    case State::Browse:
      return;
    case State::Edit:
      state_ = State::Browse;
      if (modified_) {
        list_.Items[static_cast<size_t>(current_)] = FromQ(pending_);
        const QModelIndex cell = index(current_, 0);
        emit dataChanged(cell, cell);
      }
      break;
    case State::Insert:
      if (!modified_) {
        Cancel();
        return;
      }
      state_ = State::Browse;
      list_.Append(FromQ(pending_));
      break;
  }
  pending_.clear();
  modified_ = false;
  SyncListCurrent();
}

void TMaskModel::Cancel() {
  if (state_ == State::Browse) return;
  if (state_ == State::Insert) {
    const int row = RecordCount();
    reshaping_ = true;
    beginRemoveRows({}, row, row);
    state_ = State::Browse;
    current_ = std::max(0, RecordCount() - 1);
    pending_.clear();
    modified_ = false;
    endRemoveRows();
    reshaping_ = false;
    SyncListCurrent();
    emit CurrentRowMoved(current_);
    return;
  }
  state_ = State::Browse;
  pending_.clear();
  modified_ = false;
  const QModelIndex cell = index(current_, 0);
  emit dataChanged(cell, cell);
}

void TMaskModel::DeleteCurrent() {
  if (state_ == State::Insert) {
    Cancel();
    return;
  }
  state_ = State::Browse;
  pending_.clear();
  modified_ = false;
  if (RecordCount() == 0) return;
  const int row = current_;
  reshaping_ = true;
  beginRemoveRows({}, row, row);
  list_.Items.erase(list_.Items.begin() + row);
  current_ = std::clamp(row, 0, std::max(0, RecordCount() - 1));
  endRemoveRows();
  reshaping_ = false;
  SyncListCurrent();
  emit CurrentRowMoved(current_);
}

void TMaskModel::Reload() {
  reshaping_ = true;
  beginResetModel();
  state_ = State::Browse;
  pending_.clear();
  modified_ = false;
  current_ = list_.Count() == 0 ? 0 : static_cast<int>(std::min(list_.Current, list_.Count() - 1));
  endResetModel();
  reshaping_ = false;
  emit CurrentRowMoved(current_);
}

void TMaskModel::SyncListCurrent() {
  list_.Current = RecordCount() == 0 ? 0 : static_cast<size_t>(std::min(current_, RecordCount() - 1));
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_mask_model.cpp"
