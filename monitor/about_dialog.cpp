#include "monitor/about_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "monitor/icons.h"

QString MonitorVersionLine() {
  const QString product = QStringLiteral("АК СКЗИ Квелла Сервис: монитор%1 Версия 2.0")
                              .arg(QStringLiteral(" (x64)"));
  return QStringLiteral("%1.0%2.%3").arg(product, QStringLiteral("457"), QStringLiteral("0"));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CAboutDlg"));
  setWindowTitle(QStringLiteral("О программе..."));
  auto* icon = new QLabel(this);
  icon->setPixmap(MakeMonitorIcon(MonitorIcon::Window).pixmap(32, 32));
  auto* company = new QLabel(QStringLiteral("ТОРВАК"), this);
  company->setObjectName(QStringLiteral("static1012"));
  auto* product = new QLabel(QStringLiteral("Клиент Квелла"), this);
  product->setObjectName(QStringLiteral("static1013"));
  auto* version = new QLabel(MonitorVersionLine(), this);
  version->setObjectName(QStringLiteral("static1028"));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("IDOK"));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* lines = new QVBoxLayout;
  lines->addWidget(company);
  lines->addWidget(product);
  lines->addWidget(version);
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(lines);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(ok, 0, Qt::AlignRight);
}
