#include "monitor/config_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "monitor/message_boxes.h"
#include "monitor/monitor_state.h"

Config::Config(QWidget* parent, MessageBoxes& boxes)
    : QDialog(parent), boxes_(boxes), timeout_(new QLineEdit(this)) {
  setObjectName(QStringLiteral("Config"));
  setWindowTitle(QStringLiteral("Настройки"));
  timeout_->setObjectName(QStringLiteral("edit1014"));
  timeout_->setValidator(new QIntValidator(0, 0x7FFFFFFF, timeout_));
  timeout_->setText(QStringLiteral("5"));
  auto* reset = new QPushButton(QStringLiteral("Сброс"), this);
  reset->setObjectName(QStringLiteral("button1015"));
  auto* apply = new QPushButton(QStringLiteral("Подтвердить"), this);
  apply->setObjectName(QStringLiteral("button1018"));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("IDOK"));
  ok->setDefault(true);
  auto* exit = new QPushButton(QStringLiteral("Выход"), this);
  exit->setObjectName(QStringLiteral("IDCANCEL"));

  auto* fields = new QGridLayout;
  auto* timeoutLabel = new QLabel(QStringLiteral("Таймаут монитора (сек.):"), this);
  timeoutLabel->setObjectName(QStringLiteral("static1016"));
  auto* resetLabel = new QLabel(QStringLiteral("Сброс реестра:"), this);
  resetLabel->setObjectName(QStringLiteral("static1017"));
  fields->addWidget(timeoutLabel, 0, 0);
  fields->addWidget(timeout_, 0, 1);
  fields->addWidget(resetLabel, 1, 0);
  fields->addWidget(reset, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(apply);
  buttons->addWidget(exit);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addStretch();
  layout->addLayout(buttons);

  connect(reset, &QPushButton::clicked, this, &Config::OnResetMarks);
  connect(apply, &QPushButton::clicked, this, [this] { ApplySettings(); });
  connect(ok, &QPushButton::clicked, this, &Config::accept);
  connect(exit, &QPushButton::clicked, this, &QDialog::reject);
}

bool Config::OnInitDialog() {
  RegistryKey key;
  if (LSTATUS error = OpenMonitorStateKey(key); error != ERROR_SUCCESS) {
    ReportStateKeyFailure(boxes_.Unowned(), 0, error, kMonitorStateKeyPath);
    return false;
  }
  int seconds = 5;
  monitor::ReadDwordValue(key.Handle(), "Monitor timeout", seconds, boxes_.ErrorOwner(this), 5);
  timeout_->setText(QString::number(seconds));
  return true;
}

void Config::OnResetMarks() {
  const QString question = QStringLiteral(
      "Вы уверены, что хотите сбросить данные реестра о последних операциях пользователей?");
  if (AskQuestion(boxes_, this, question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  DeleteStoredMarks(boxes_.ErrorOwner(this));
}

int Config::ApplySettings() {
  const int seconds = timeout_->text().toInt();
  if (seconds == 0) {
    ShowWarningBox(boxes_, this, QStringLiteral("Пожалуйста, выберите таймаут монитора."));
    return 0;
  }
  RegistryKey key;
  if (LSTATUS error = OpenMonitorStateKey(key); error != ERROR_SUCCESS) {
    ReportStateKeyFailure(boxes_.ErrorOwner(this), 0, error, kMonitorStateKeyPath);
    reject();
    return 0;
  }
  monitor::WriteDwordValue(key.Handle(), "Monitor timeout", seconds, boxes_.ErrorOwner(this));
  timeout_->setText(QString::number(seconds));
  return 1;
}

void Config::accept() {
  if (ApplySettings() == 1) QDialog::accept();
}
