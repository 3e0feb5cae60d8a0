#include "ui/mask_grid.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

#include "app/settings.h"
#include "ui/folder_text.h"
#include "ui/ui_hooks.h"

namespace tessel {
namespace {

constexpr char kEllipsis[] = "...";
constexpr char kAddRow[] = "Добавить";
constexpr char kChangeRow[] = "Изменить";
constexpr char kDeleteRow[] = "Удалить";
constexpr auto kEditTriggers = QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                               QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked;

}  // namespace

TMaskCellEditor::TMaskCellEditor(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  text_ = new QLineEdit(this);
  text_->setFrame(false);
  text_->setMaxLength(static_cast<int>(kMaxMaskLength));
  button_ = new QToolButton(this);
  button_->setText(QString::fromUtf8(kEllipsis));
  button_->setFocusPolicy(Qt::NoFocus);
  button_->setAutoRaise(false);
  layout->addWidget(text_, 1);
  layout->addWidget(button_);
  setFocusProxy(text_);
  setAutoFillBackground(true);
  text_->installEventFilter(this);
  connect(button_, &QToolButton::clicked, this, &TMaskCellEditor::EllipsisClicked);
}

bool TMaskCellEditor::eventFilter(QObject* watched, QEvent* event) {
  if (watched == text_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_Tab:
      case Qt::Key_Backtab:
        Finish(true);
        return true;
      case Qt::Key_Escape:
        Finish(false);
        return true;
      default:
        break;
    }
  }
  if (watched == text_ && event->type() == QEvent::FocusOut) {
    // Leaving the editor for another control keeps what was typed; a popup
    // or a focus change inside the editor does not end the edit.
    const auto* focus = static_cast<QFocusEvent*>(event);
    QWidget* next = QApplication::focusWidget();
    if (focus->reason() != Qt::PopupFocusReason && (next == nullptr || !isAncestorOf(next))) {
      Finish(true);
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TMaskCellEditor::Finish(bool commit) {
  if (finished_) return;
  finished_ = true;
  if (commit) {
    emit Commit();
  } else {
    emit Revert();
  }
}

QWidget* TMaskDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                     const QModelIndex&) const {
  auto* editor = new TMaskCellEditor(parent);
  connect(editor, &TMaskCellEditor::EllipsisClicked, this, &TMaskDelegate::EllipsisClicked);
  auto* self = const_cast<TMaskDelegate*>(this);
  connect(editor, &TMaskCellEditor::Commit, self, [self, editor] {
    emit self->commitData(editor);
    emit self->closeEditor(editor, QAbstractItemDelegate::NoHint);
  });
  connect(editor, &TMaskCellEditor::Revert, self, [self, editor] {
    emit self->closeEditor(editor, QAbstractItemDelegate::RevertModelCache);
  });
  return editor;
}

void TMaskDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  static_cast<TMaskCellEditor*>(editor)->Text()->setText(index.data(Qt::EditRole).toString());
}

void TMaskDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                 const QModelIndex& index) const {
  const QString text = static_cast<TMaskCellEditor*>(editor)->Text()->text();
  // Opening and leaving the editor without a change leaves the row as it is.
  if (text != index.data(Qt::EditRole).toString()) model->setData(index, text, Qt::EditRole);
}

void TMaskDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                         const QModelIndex&) const {
  editor->setGeometry(option.rect);
}

TMaskGrid::TMaskGrid(TMaskModel& model, const QColor& background, QWidget* parent)
    : QTableView(parent), model_(model), delegate_(new TMaskDelegate(this)) {
  setModel(&model_);
  setItemDelegate(delegate_);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(kEditTriggers);
  setTabKeyNavigation(false);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
  horizontalHeader()->setStretchLastSection(true);
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setHighlightSections(false);
  QPalette colours = palette();
  colours.setColor(QPalette::Base, background);
  setPalette(colours);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(false);
  connect(delegate_, &TMaskDelegate::EllipsisClicked, this, &TMaskGrid::EllipsisClicked);
  connect(&model_, &TMaskModel::CurrentRowMoved, this, &TMaskGrid::ShowCurrentRow);

  add_action_ = new QAction(QString::fromUtf8(kAddRow), this);
  change_action_ = new QAction(QString::fromUtf8(kChangeRow), this);
  delete_action_ = new QAction(QString::fromUtf8(kDeleteRow), this);
  connect(add_action_, &QAction::triggered, this, [this] {
    if (read_only_) return;
    model_.Append();
    StartCellEdit();
  });
  connect(change_action_, &QAction::triggered, this, [this] {
    if (!read_only_ && model_.rowCount() > 0) StartCellEdit();
  });
  connect(delete_action_, &QAction::triggered, this, [this] {
    if (!read_only_) emit DeleteRequested();
  });
  ShowCurrentRow(model_.CurrentRow());
}

TMaskCellEditor* TMaskGrid::CellEditor() const {
  if (!currentIndex().isValid()) return nullptr;
  return qobject_cast<TMaskCellEditor*>(indexWidget(currentIndex()));
}

void TMaskGrid::StartCellEdit() {
  if (read_only_) return;
  if (model_.rowCount() == 0) model_.Append();
  const QModelIndex cell = model_.index(model_.CurrentRow(), 0);
  setCurrentIndex(cell);
  edit(cell);
}

void TMaskGrid::CommitCellEditor() {
  TMaskCellEditor* editor = CellEditor();
  if (editor == nullptr) return;
  commitData(editor);
  closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void TMaskGrid::SetReadOnly(bool read_only) {
  if (read_only) CommitCellEditor();
  read_only_ = read_only;
  setEditTriggers(read_only ? QAbstractItemView::NoEditTriggers : kEditTriggers);
  UpdateActions();
}

void TMaskGrid::UpdateActions() {
  const bool has_rows = model_.rowCount() > 0;
  add_action_->setEnabled(!read_only_);
  change_action_->setEnabled(!read_only_ && has_rows);
  delete_action_->setEnabled(!read_only_ && has_rows);
}

bool TMaskGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  // The lists belong to the run while it goes: no cell opens for editing,
  // whatever asks for it.
  if (read_only_) return false;
  return QTableView::edit(index, trigger, event);
}

void TMaskGrid::contextMenuEvent(QContextMenuEvent* event) {
  // The row under the pointer is the one the menu acts on; the menu key
  // acts on the current row.
  if (event->reason() != QContextMenuEvent::Keyboard && !IsEditingText()) {
    const QModelIndex cell = indexAt(event->pos());
    if (cell.isValid()) setCurrentIndex(cell);
  }
  UpdateActions();
  QMenu menu(this);
  menu.addAction(add_action_);
  menu.addAction(change_action_);
  menu.addAction(delete_action_);
  menu.exec(event->globalPos());
  event->accept();
}

bool TMaskGrid::AcceptsDrop(const QMimeData* data) const {
  if (read_only_ || data == nullptr || !data->hasUrls()) return false;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) return true;
  }
  return false;
}

bool TMaskGrid::AddDroppedUrls(const QList<QUrl>& urls) {
  if (read_only_) return false;
  bool added = false;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    const QString path = url.toLocalFile();
    if (path.isEmpty()) continue;
    CommitCellEditor();
    model_.AddRow(ToQ(MaskForDroppedPath(FromQ(path), QFileInfo(path).isDir())));
    added = true;
  }
  return added;
}

void TMaskGrid::dragEnterEvent(QDragEnterEvent* event) { dragMoveEvent(event); }

void TMaskGrid::dragMoveEvent(QDragMoveEvent* event) {
  // The dropped paths are copied into the list, never moved.
  if (!AcceptsDrop(event->mimeData())) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TMaskGrid::dropEvent(QDropEvent* event) {
  if (!AcceptsDrop(event->mimeData()) || !AddDroppedUrls(event->mimeData()->urls())) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TMaskGrid::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers =
      event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
  if (event->key() == Qt::Key_Delete) {
    // Ctrl+Delete is swallowed so that it never deletes a row.
    if (modifiers == Qt::NoModifier && !IsEditingText() && !read_only_) emit DeleteRequested();
    event->accept();
    return;
  }
  if (read_only_) {
    QTableView::keyPressEvent(event);
    return;
  }
  const bool on_last_row = model_.rowCount() == 0 || model_.CurrentRow() >= model_.rowCount() - 1;
  if (modifiers == Qt::NoModifier && event->key() == Qt::Key_Down && on_last_row) {
    // Moving below the last row adds a row, unless that row is a new one
    // that has not been given a text yet.
    if (!(model_.GetState() == TMaskModel::State::Insert && model_.CurrentText().isEmpty())) {
      model_.Append();
    }
    event->accept();
    return;
  }
  if (modifiers == Qt::NoModifier && event->key() == Qt::Key_Insert) {
    model_.Append();
    event->accept();
    return;
  }
  if (modifiers == Qt::NoModifier && event->key() == Qt::Key_Escape && model_.IsEditing()) {
    model_.Cancel();
    event->accept();
    return;
  }
  if (model_.rowCount() == 0) {
    const bool starts_edit = event->key() == Qt::Key_F2 || event->key() == Qt::Key_Return ||
                             event->key() == Qt::Key_Enter ||
                             (!event->text().isEmpty() && event->text().at(0).isPrint() &&
                              !(modifiers & (Qt::ControlModifier | Qt::AltModifier)));
    if (starts_edit) {
      model_.Append();
      if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        StartCellEdit();
        event->accept();
        return;
      }
    }
  }
  QTableView::keyPressEvent(event);
}

void TMaskGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  if (model_.rowCount() == 0 && !read_only_) {
    StartCellEdit();
    event->accept();
    return;
  }
  QTableView::mouseDoubleClickEvent(event);
}

void TMaskGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTableView::currentChanged(current, previous);
  // While read-only (a run reads the list) the highlighted row is the view's
  // own; the list's current entry follows again after the run.
  if (current.isValid() && !read_only_) model_.SetCurrentRow(current.row());
}

void TMaskGrid::ShowCurrentRow(int row) {
  if (model_.rowCount() == 0) return;
  const QModelIndex cell = model_.index(row, 0);
  if (currentIndex() != cell) setCurrentIndex(cell);
  scrollTo(cell);
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_mask_grid.cpp"
