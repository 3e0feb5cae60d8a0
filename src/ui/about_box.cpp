#include "ui/about_box.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/tile_picture.h"

namespace tessel {
namespace {

constexpr char kOrganisationCaption[] = "Организация";
constexpr char kOrganisation[] = "Tessel Backup Team";
constexpr char kProductCaption[] = "Программный продукт";
constexpr char kProduct[] = "Tessel Backup";
constexpr char kVersionCaption[] = "Версия";
constexpr char kVersion[] = TESSEL_VERSION;
constexpr char kCopyrightCaption[] = "Копирайт";
constexpr char kCopyright[] = "© 2026 Tessel Backup Team";
constexpr char kMailCaption[] = "E-mail";
constexpr char kMail[] = "team@tessel-backup.example";
constexpr char kSiteCaption[] = "Домашняя страница";
constexpr char kSite[] = "https://tessel-backup.example";
constexpr char kClose[] = "Закрыть";
constexpr QRgb kBackground = 0x0E9C95;
constexpr QRgb kLinkColour = 0x0000FF;
constexpr int kPictureWidth = 189;
constexpr int kPictureHeight = 173;
// The labels' font against the desktop's: 10 point against 8.
constexpr double kLabelFontScale = 1.25;

}  // namespace

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

QString TAbout::MailUrl() { return QStringLiteral("mailto:") + QString::fromUtf8(kMail); }
QString TAbout::SiteUrl() { return QString::fromUtf8(kSite); }

TAbout::TAbout(UiHooks& hooks, QWidget* parent) : QDialog(parent), hooks_(hooks) {
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(kBackground));
  colours.setColor(QPalette::WindowText, Qt::black);
  setPalette(colours);
  setAutoFillBackground(true);

  QFont label_font = font();
  label_font.setPointSizeF(label_font.pointSizeF() * kLabelFontScale);
  QFont bold_font = label_font;
  bold_font.setBold(true);

  auto* picture = new QLabel(this);
  picture->setFixedSize(kPictureWidth, kPictureHeight);
  picture->setPixmap(TilePicture(kPictureWidth, kPictureHeight, devicePixelRatioF()));
  close_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QString::fromUtf8(kClose), this);
  close_->setDefault(true);

  auto* texts = new QVBoxLayout;
  texts->setSpacing(1);
  const auto add_label = [&](QLabel* label, const QFont& label_font_used) {
    label->setFont(label_font_used);
    texts->addWidget(label);
    return label;
  };
  add_label(new QLabel(QString::fromUtf8(kOrganisationCaption), this), label_font);
  add_label(new QLabel(QString::fromUtf8(kOrganisation), this), bold_font);
  add_label(new QLabel(QString::fromUtf8(kProductCaption), this), label_font);
  add_label(new QLabel(QString::fromUtf8(kProduct), this), bold_font);
  add_label(new QLabel(QString::fromUtf8(kVersionCaption), this), label_font);
  version_ = add_label(new QLabel(this), bold_font);
  version_->setText(QString::fromUtf8(kVersion));
  add_label(new QLabel(QString::fromUtf8(kCopyrightCaption), this), label_font);
  add_label(new QLabel(QString::fromUtf8(kCopyright), this), bold_font);
  add_label(new QLabel(QString::fromUtf8(kMailCaption), this), label_font);
  mail_ = new TLinkLabel(QString::fromUtf8(kMail), this);
  add_label(mail_, bold_font);
  add_label(new QLabel(QString::fromUtf8(kSiteCaption), this), label_font);
  site_ = new TLinkLabel(QString::fromUtf8(kSite), this);
  add_label(site_, bold_font);
  texts->addStretch(1);
  for (TLinkLabel* link : {mail_, site_}) {
    QPalette link_colours = link->palette();
    link_colours.setColor(QPalette::WindowText, QColor(kLinkColour));
    link->setPalette(link_colours);
  }

  auto* left = new QVBoxLayout;
  left->addWidget(picture);
  left->addWidget(close_, 0, Qt::AlignHCenter);
  left->addStretch(1);
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left);
  layout->addSpacing(4);
  layout->addLayout(texts);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  connect(mail_, &TLinkLabel::clicked, this, [this] { hooks_.OpenUrl(MailUrl()); });
  connect(site_, &TLinkLabel::clicked, this, [this] { hooks_.OpenUrl(SiteUrl()); });
}

void TAbout::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the desktop, not on the window that opened it.
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

}  // namespace tessel

// The meta-object code of the header, compiled here so that each object file
// stands alone in the library.
#include "moc_about_box.cpp"
