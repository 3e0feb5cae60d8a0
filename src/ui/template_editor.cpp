#include "ui/template_editor.h"

#include <QEvent>
#include <algorithm>
#include <QGridLayout>
#include <QStyle>
#include <QVBoxLayout>

#include "app/name_template.h"
#include "ui/folder_chooser.h"
#include "ui/folder_text.h"

namespace tessel {
namespace {

constexpr char kChooseFolder[] = "Выбор каталога";
constexpr char kMomentCaption[] = "Дата и время для просмотра результата обработки маски";
constexpr char kSave[] = "Сохранить";
constexpr char kCancel[] = "Отмена";
constexpr char kResultCaption[] = "Результат обработки маски";
constexpr char kDateFormat[] = "dd.MM.yyyy";
constexpr char kTimeFormat[] = "HH:mm:ss";
constexpr int kListWidth = 293;
constexpr int kListHeight = 189;
constexpr int kSideWidth = 94;
constexpr int kResultLines = 3;

}  // namespace

TForm4::TForm4(TForm3& folders, UiHooks& hooks, QWidget* parent)
    : QDialog(parent), folders_(folders), hooks_(hooks) {
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  edit_ = new QLineEdit(this);
  tokens_ = new QListWidget(this);
  for (const TemplateToken& token : kTemplateTokens) {
    tokens_->addItem(QString::fromUtf8(token.Token) + u'=' + QString::fromUtf8(token.Description));
  }
  // Wide enough for its longest line, so that no description is cut off.
  const int longest_line = tokens_->sizeHintForColumn(0) + 2 * tokens_->frameWidth() +
                           tokens_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
  tokens_->setMinimumSize(std::max(kListWidth, longest_line), kListHeight);
  tokens_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  folder_button_ = new QPushButton(QString::fromUtf8(kChooseFolder), this);
  moment_caption_ = new QLabel(QString::fromUtf8(kMomentCaption), this);
  moment_caption_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  moment_caption_->setWordWrap(true);
  date_ = new QDateEdit(this);
  date_->setDisplayFormat(QString::fromLatin1(kDateFormat));
  date_->setCalendarPopup(true);
  date_->setMinimumDate(QDate(100, 1, 1));
  time_ = new QTimeEdit(this);
  time_->setDisplayFormat(QString::fromLatin1(kTimeFormat));
  save_ = new QPushButton(QString::fromUtf8(kSave), this);
  cancel_ = new QPushButton(QString::fromUtf8(kCancel), this);
  save_->setAutoDefault(false);
  cancel_->setAutoDefault(false);
  result_caption_ = new QLabel(QString::fromUtf8(kResultCaption), this);
  result_ = new QLabel(this);
  result_->setWordWrap(true);
  result_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  result_->setFixedHeight(result_->fontMetrics().lineSpacing() * kResultLines + 2);
  result_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

  // The side column is as wide as its widest control, at least the pickers.
  const int side_width = std::max({kSideWidth, folder_button_->sizeHint().width(),
                                   date_->sizeHint().width(), time_->sizeHint().width()});
  moment_caption_->setFixedWidth(side_width);

  auto* side = new QVBoxLayout;
  side->addWidget(folder_button_);
  side->addSpacing(8);
  side->addWidget(moment_caption_);
  side->addWidget(date_);
  side->addWidget(time_);
  side->addSpacing(12);
  side->addWidget(save_);
  side->addWidget(cancel_);
  side->addStretch(1);
  auto* layout = new QGridLayout(this);
  layout->addWidget(edit_, 0, 0);
  layout->addWidget(tokens_, 1, 0);
  layout->addLayout(side, 0, 1, 2, 1);
  layout->addWidget(result_caption_, 2, 0, 1, 2);
  layout->addWidget(result_, 3, 0, 1, 2);
  layout->setColumnStretch(0, 1);
  layout->setRowStretch(1, 1);

  // Only the program start sets the pickers; they keep their values between
  // openings.
  const CivilTime now = LocalNow();
  date_->setDate(QDate(now.year, now.month, now.day));
  time_->setTime(QTime(now.hour, now.minute, now.second, now.millisecond));

  connect(edit_, &QLineEdit::textChanged, this, &TForm4::RefreshPreview);
  connect(date_, &QDateEdit::dateChanged, this, &TForm4::RefreshPreview);
  connect(time_, &QTimeEdit::timeChanged, this, &TForm4::RefreshPreview);
  connect(tokens_, &QListWidget::itemDoubleClicked, this, &TForm4::InsertSelectedToken);
  connect(folder_button_, &QPushButton::clicked, this, &TForm4::ChooseFolder);
  connect(save_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  RefreshPreview();
}

DateTime TForm4::PreviewMoment() const {
  const QDate date = date_->date();
  const QTime time = time_->time();
  CivilTime moment;
  moment.year = date.year();
  moment.month = date.month();
  moment.day = date.day();
  moment.hour = time.hour();
  moment.minute = time.minute();
  moment.second = time.second();
  moment.millisecond = time.msec();
  return EncodeDateTime(moment);
}

void TForm4::RefreshPreview() {
  const QString name = ToQ(ExpandArchiveName(FromQ(edit_->text()), PreviewMoment()));
  result_->setText(name);
  result_->setToolTip(name);
}

void TForm4::InsertSelectedToken() {
  const QListWidgetItem* item = tokens_->currentItem();
  if (item == nullptr) return;
  const QString line = item->text();
  // insert() replaces the selection, or inserts at the caret, and leaves the
  // caret just after the token; the typing goes on there.
  edit_->insert(line.left(line.indexOf(u'=')));
  edit_->setFocus(Qt::OtherFocusReason);
}

void TForm4::ChooseFolder() {
  const std::string text = FromQ(edit_->text());
  folders_.SetFolder(FolderPartOf(text));
  if (hooks_.ExecDialog(folders_) != QDialog::Accepted) return;
  edit_->setText(ToQ(TemplateInFolder(text, folders_.GetFolder())));
}

bool TForm4::event(QEvent* event) {
  // Each time the dialog comes to the front the preview is brought up to date.
  if (event->type() == QEvent::WindowActivate || event->type() == QEvent::Show) RefreshPreview();
  return QDialog::event(event);
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_template_editor.cpp"
