#include "ui/folder_chooser.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QStorageInfo>
#include <QVBoxLayout>

#include "platform/paths.h"
#include "ui/folder_text.h"
#include "ui/ui_hooks.h"

namespace tessel {
namespace {

constexpr char kChoose[] = "Выбрать";
constexpr char kCancel[] = "Отмена";
constexpr char kRoot[] = "/";
constexpr int kTreeWidth = 205;
constexpr int kTreeHeight = 257;

// The nearest folder at or above path that exists.
QString ExistingFolderAt(QString path) {
  path = QDir::cleanPath(path);
  while (!path.isEmpty() && path != QLatin1String(kRoot) && !QFileInfo(path).isDir()) {
    const qsizetype slash = path.lastIndexOf(u'/');
    path = slash <= 0 ? QString::fromLatin1(kRoot) : path.left(slash);
  }
  return path.isEmpty() ? QString::fromLatin1(kRoot) : path;
}

}  // namespace

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
  model_->setRootPath(QString::fromLatin1(kRoot));
  model_->setReadOnly(true);

  tree_ = new QTreeView(this);
  tree_->setModel(model_);
  for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
  tree_->setHeaderHidden(true);
  tree_->setSortingEnabled(true);
  tree_->sortByColumn(0, Qt::AscendingOrder);
  tree_->setMinimumSize(kTreeWidth, kTreeHeight);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);

  places_ = new QComboBox(this);
  places_->addItem(QString::fromLatin1(kRoot), QString::fromLatin1(kRoot));
  const QString home = QDir::homePath();
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    const QString root = volume.rootPath();
    if (root != QLatin1String(kRoot) && volume.isValid() && volume.isReady()) places_->addItem(root, root);
  }
  if (places_->findData(home) < 0) places_->addItem(home, home);

  choose_ = new QPushButton(QString::fromUtf8(kChoose), this);
  cancel_ = new QPushButton(QString::fromUtf8(kCancel), this);
  choose_->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(choose_);
  buttons->addWidget(cancel_);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_, 1);
  layout->addWidget(places_);
  layout->addLayout(buttons);

  connect(choose_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { FolderChanged(current); });
  connect(places_, &QComboBox::activated, this, &TForm3::PlaceChosen);

  // At the first opening the tree stands on the process's current folder.
  ShowFolder(ExistingFolderAt(ToQ(CurrentFolder())));
}

void TForm3::SetFolder(const std::string& folder) {
  if (folder.empty()) return;
  const QString target = ExistingFolderAt(ToQ(folder));
  if (target == folder_) return;
  ShowFolder(target);
}

std::string TForm3::GetFolder() const { return WithoutTrailingSlash(FromQ(folder_)); }

void TForm3::ShowFolder(const QString& folder) {
  const QModelIndex index = model_->index(folder);
  if (index.isValid()) {
    tree_->setCurrentIndex(index);
    tree_->expand(index);
    tree_->scrollTo(index, QAbstractItemView::PositionAtCenter);
  }
  folder_ = folder;
  ShowPlaceOf(folder);
}

void TForm3::FolderChanged(const QModelIndex& current) {
  if (!current.isValid()) return;
  folder_ = model_->filePath(current);
  ShowPlaceOf(folder_);
}

void TForm3::PlaceChosen(int item) {
  const QString place = places_->itemData(item).toString();
  if (QFileInfo(place).isDir() && QFileInfo(place).isReadable()) {
    ShowFolder(place);
  } else {
    // An unreadable place: the box goes back to where the tree stands.
    ShowPlaceOf(folder_);
  }
}

void TForm3::ShowPlaceOf(const QString& folder) {
  // The deepest place that holds the folder.
  int best = 0;
  qsizetype best_length = 0;
  for (int i = 0; i < places_->count(); ++i) {
    const QString place = places_->itemData(i).toString();
    const bool holds = place == QLatin1String(kRoot) || folder == place ||
                       folder.startsWith(place + u'/');
    if (holds && place.size() > best_length) {
      best = i;
      best_length = place.size();
    }
  }
  places_->setCurrentIndex(best);
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_folder_chooser.cpp"
