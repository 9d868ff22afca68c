#include "monitor/read_operation.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "monitor/icons.h"
#include "monitor/journal_pages.h"

ReadOperation::ReadOperation(QWidget* parent, const QString& name, int kind,
                             JournalPage* operationsPage, JournalPage* errorsPage)
    : QDialog(parent),
      kind_(kind),
      page_(kind == 0 ? operationsPage : errorsPage),
      time_(new QLabel(this)),
      data_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("ReadOperation"));
  setWindowTitle(QStringLiteral("Подробная информация"));
  setSizeGripEnabled(true);
  setMinimumSize(440, 320);
  time_->setObjectName(QStringLiteral("static1023"));
  auto* journal = new QLabel(name, this);
  journal->setObjectName(QStringLiteral("static1009"));
  data_->setObjectName(QStringLiteral("edit1019"));
  data_->setReadOnly(true);
  data_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* up = new QPushButton(MakeMonitorIcon(MonitorIcon::Up), QString(), this);
  up->setObjectName(QStringLiteral("button1024"));
  auto* down = new QPushButton(MakeMonitorIcon(MonitorIcon::Down), QString(), this);
  down->setObjectName(QStringLiteral("button1025"));
  auto* exit = new QPushButton(QStringLiteral("Выход"), this);
  exit->setObjectName(QStringLiteral("IDCANCEL"));

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(QStringLiteral("Время и дата:"), this), 0, 0);
  fields->addWidget(time_, 0, 1);
  fields->addWidget(new QLabel(QStringLiteral("Профиль: "), this), 1, 0);
  fields->addWidget(journal, 1, 1);
  fields->addWidget(new QLabel(QStringLiteral("Данные:"), this), 2, 0, Qt::AlignTop);
  fields->addWidget(data_, 2, 1);
  fields->setColumnStretch(1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(up);
  buttons->addWidget(down);
  buttons->addStretch();
  buttons->addWidget(exit);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);

  connect(up, &QPushButton::clicked, this, &ReadOperation::OnUp);
  connect(down, &QPushButton::clicked, this, &ReadOperation::OnDown);
  connect(exit, &QPushButton::clicked, this, &QDialog::reject);

  if (page_ != nullptr && page_->SelectedRow() >= 0) {
    current_ = page_->SelectedRow() + 1;
    LoadRow();
  }
}

void ReadOperation::LoadRow() {
  timeText_ = page_->TimeText(current_ - 1);
  dataText_ = DetailsText(page_->DataText(current_ - 1), kind_);
  time_->setText(timeText_);
  QString shown = dataText_;
  data_->setPlainText(shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void ReadOperation::OnUp() {
  if (current_ < 2) return;
  page_->SelectRow(current_ - 2);
  current_ = page_->SelectedRow() + 1;
  LoadRow();
}

void ReadOperation::OnDown() {
  if (current_ == 0 || current_ == page_->RowCount()) return;
  page_->SelectRow(current_);
  current_ = page_->SelectedRow() + 1;
  LoadRow();
}
