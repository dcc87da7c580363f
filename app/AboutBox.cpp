#include "AboutBox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Icons.h"
#include "MainWindow.h"
#include "UserDialogs.h"

namespace {

QLabel* LinkLabel(const QString& text, const QString& url, TUserDialogs& dialogs, QWidget* parent) {
  auto* label = new QLabel(
      "<a href=\"" + url + "\" style=\"color: blue; text-decoration: underline;\">" + text + "</a>",
      parent);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setCursor(Qt::PointingHandCursor);
  label->setAccessibleName(text);
  QObject::connect(label, &QLabel::linkActivated, parent,
                   [&dialogs](const QString& link) { dialogs.OpenUrl(QUrl(link)); });
  return label;
}

}  // namespace

TFormAbout::TFormAbout(QWidget* parent, TUserDialogs& dialogs) : QDialog(parent) {
  setWindowTitle("About");
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);

  auto* icon = new QLabel(this);
  icon->setPixmap(CommandIcon(TIconKind::Program).pixmap(48, 48));
  icon->setAccessibleName("Program icon");

  auto* name = new QLabel(kProductName, this);
  QFont bold = name->font();
  bold.setBold(true);
  bold.setPointSize(bold.pointSize() + 2);
  name->setFont(bold);
  auto* version = new QLabel("Version " QUORVIN_VERSION, this);

  auto* text = new QVBoxLayout;
  text->addWidget(name);
  text->addWidget(version);
  text->addSpacing(8);
  text->addWidget(LinkLabel("Visit Quorvin Software Website", kWebSiteUrl, dialogs, this));
  text->addWidget(LinkLabel("Contact Support Department", kSupportMailUrl, dialogs, this));

  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addLayout(text);

  auto* ok = new QPushButton("OK", this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(ok, 0, Qt::AlignRight);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}
