#include "monitor/lights_dialog.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "monitor/icons.h"

namespace {

constexpr int kGreen = 0;
constexpr int kRed = 1;
constexpr int kGrey = 2;
constexpr int kImageRole = Qt::UserRole + 1;

QIcon LampIcon(int image) {
  static const QIcon icons[] = {MakeMonitorIcon(MonitorIcon::GreenLamp),
                                MakeMonitorIcon(MonitorIcon::RedLamp),
                                MakeMonitorIcon(MonitorIcon::GreyLamp)};
  return icons[image];
}

}  // namespace

LightsDialog::LightsDialog(AlarmSink& alarm, QWidget* window, QWidget* parent)
    : QWidget(parent),
      alarm_(alarm),
      window_(window),
      list_(new QTreeWidget(this)),
      clear_(new QPushButton(QStringLiteral("Сброс"), this)) {
  setObjectName(QStringLiteral("LightsDialog"));
  list_->setObjectName(QStringLiteral("list1011"));
  clear_->setObjectName(QStringLiteral("button1003"));
  list_->setColumnCount(3);
  list_->setHeaderLabels({QStringLiteral(" "), QStringLiteral(" "), QStringLiteral("Профиль: ")});
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->header()->setStretchLastSection(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(clear_);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(list_);
  layout->addLayout(buttons);
  list_->viewport()->installEventFilter(this);
  connect(clear_, &QPushButton::clicked, this, &LightsDialog::OnClear);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int column) {
    if (item != nullptr && (column == 0 || column == 1)) {
      emit showPage(list_->indexOfTopLevelItem(item), column);
    }
  });
  LayOutColumns();
}

void LightsDialog::AddLampRow(const QString& name) {
  auto* item = new QTreeWidgetItem(list_);
  item->setText(2, name);
  SetLamps(list_->topLevelItemCount() - 1, kGreen, kGrey);
  LayOutColumns();
}

void LightsDialog::SetLamps(int row, int first, int second) {
  QTreeWidgetItem* item = list_->topLevelItem(row);
  if (item == nullptr) return;
  const int before = AlarmCount();
  item->setIcon(0, LampIcon(first));
  item->setData(0, kImageRole, first);
  item->setIcon(1, LampIcon(second));
  item->setData(1, kImageRole, second);
  if (const int after = AlarmCount(); after != before) emit alarmCountChanged(after);
}

int LightsDialog::LampImage(int row, int lamp) const {
  const QTreeWidgetItem* item = list_->topLevelItem(row);
  return item == nullptr ? -1 : item->data(lamp, kImageRole).toInt();
}

void LightsDialog::OnRaiseAlarm(int pairIndex) {
  SetLamps(pairIndex, kGrey, kRed);
  LayOutColumns();
  alarm_.PlayAlarmSound();
  alarm_.FlashTaskbar(window_);
}

void LightsDialog::OnClear() {
  for (int row = 0; row < list_->topLevelItemCount(); ++row) {
    if (!list_->topLevelItem(row)->isSelected()) continue;
    SetLamps(row, kGreen, kGrey);
    LayOutColumns();
    emit acknowledge(row);
  }
}

void LightsDialog::LayOutColumns() {
  const int w = list_->viewport()->width();
  const int c0 = w / 30;
  const int c1 = (w - c0) / 30;
  list_->header()->resizeSection(0, c0);
  list_->header()->resizeSection(1, c1);
  list_->header()->resizeSection(2, w - c0 - c1);
}

int LightsDialog::AlarmCount() const {
  int count = 0;
  for (int row = 0; row < list_->topLevelItemCount(); ++row) {
    if (LampImage(row, 1) == kRed) ++count;
  }
  return count;
}

bool LightsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport() && event->type() == QEvent::Resize) LayOutColumns();
  return QWidget::eventFilter(watched, event);
}

void LightsDialog::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  LayOutColumns();
}
