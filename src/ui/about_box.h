#pragma once
// The About box: the picture, the product, version, maker and the links to
// the maker's e-mail and home site.
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "ui/ui_hooks.h"

namespace tessel {

// A label that reacts to a click like a link.
class TLinkLabel : public QLabel {
  Q_OBJECT

public:
  TLinkLabel(const QString& text, QWidget* parent);

signals:
  void clicked();

protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class TAbout : public QDialog {
  Q_OBJECT

public:
  TAbout(UiHooks& hooks, QWidget* parent = nullptr);

  QLabel* lVersion() const { return version_; }
  TLinkLabel* Label9() const { return mail_; }
  TLinkLabel* Label11() const { return site_; }
  QPushButton* BitBtn1() const { return close_; }

  // What a click on each link opens.
  static QString MailUrl();
  static QString SiteUrl();

protected:
  void showEvent(QShowEvent* event) override;

private:
  UiHooks& hooks_;
  QLabel* version_;
  TLinkLabel* mail_;
  TLinkLabel* site_;
  QPushButton* close_;
};

}  // namespace tessel
