#include "app/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowIcon(QIcon(QStringLiteral(":/tandrel/tandrel.png")));
  DialogUnits du(font());
  setFixedSize(du.X(170), du.Y(62));
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon(QStringLiteral(":/tandrel/tandrel.png")).pixmap(du.Y(20), du.Y(20)));
  icon->setGeometry(du.Rect(11, 17, 20, 20));
  auto* line = new QLabel(QString::fromUtf8(kVersionLine), this);
  line->setObjectName(QStringLiteral("version"));
  line->setGeometry(du.Rect(40, 14, 119, 8));
  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  ok->setGeometry(du.Rect(113, 41, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
