#include "monitor/journal_pages.h"

#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>
#include <cmath>

#include "monitor/icons.h"

JournalRowsModel::JournalRowsModel(QStringList headers, std::vector<QIcon> images,
                                   QObject* parent)
    : QAbstractTableModel(parent), headers_(std::move(headers)), images_(std::move(images)) {}

int JournalRowsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int JournalRowsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant JournalRowsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const JournalRow& shown = rows_[static_cast<std::size_t>(index.row())];
  if (index.column() == 0) {
    if (role == Qt::DecorationRole) return images_[static_cast<std::size_t>(shown.image)];
    return {};
  }
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    return shown.texts.column(index.column() - 1);
  }
  return {};
}

QVariant JournalRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return headers_.value(section);
  return {};
}

void JournalRowsModel::AppendRows(std::vector<JournalRow> rows) {
  if (rows.empty()) return;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
  for (JournalRow& row : rows) rows_.push_back(std::move(row));
  endInsertRows();
}

void JournalRowsModel::RemoveFirstRows(int count) {
  if (count <= 0) return;
  beginRemoveRows(QModelIndex(), 0, count - 1);
  rows_.erase(rows_.begin(), rows_.begin() + count);
  endRemoveRows();
}

void JournalRowsModel::MapImages(const std::vector<int>& mapped) {
  if (rows_.empty()) return;
  for (JournalRow& row : rows_) row.image = mapped[static_cast<std::size_t>(row.image)];
  emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, 0),
                   {Qt::DecorationRole});
}

JournalPage::JournalPage(int pairIndex, int kind, const char* listName, QStringList headers,
                         std::vector<QIcon> images, std::vector<int> acknowledgedImages,
                         QWidget* parent)
    : QWidget(parent),
      pairIndex_(pairIndex),
      kind_(kind),
      acknowledgedImages_(std::move(acknowledgedImages)),
      list_(new QTreeView(this)),
      model_(new JournalRowsModel(std::move(headers), std::move(images), this)) {
  list_->setObjectName(QString::fromLatin1(listName));
  list_->setModel(model_);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setItemsExpandable(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setTextElideMode(Qt::ElideRight);
  list_->header()->setStretchLastSection(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(list_);
  connect(list_, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) emit showDetails(pairIndex_, kind_);
  });
}

int JournalPage::RowCount() const { return model_->rowCount(); }

QString JournalPage::TimeText(int row) const { return model_->row(row).texts.column(0); }

int JournalPage::SelectedRow() const {
  const QModelIndexList rows = list_->selectionModel()->selectedRows();
  int first = -1;
  for (const QModelIndex& index : rows) {
    if (first < 0 || index.row() < first) first = index.row();
  }
  return first;
}

void JournalPage::SelectRow(int row) {
  const QModelIndex index = model_->index(row, 0);
  list_->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect |
                                             QItemSelectionModel::Rows);
  list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  list_->scrollTo(index);
}

void JournalPage::Acknowledge(QString& first, QString& last) {
  first.clear();
  last.clear();
  const int rows = RowCount();
  if (rows == 0) return;
  if (rows > acknowledgedCount && acknowledgedCount > 0) model_->RemoveFirstRows(acknowledgedCount);
  acknowledgedCount = RowCount();
  model_->MapImages(acknowledgedImages_);
  first = TimeText(0);
  last = TimeText(RowCount() - 1);
}

void JournalPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOutColumns();
}

int JournalPage::ListWidth() const { return list_->viewport()->width(); }

OperationsDialog::OperationsDialog(int pairIndex, QWidget* parent)
    : JournalPage(pairIndex, 0, "list1005",
                  {QString(), QStringLiteral("Время и дата:"), QStringLiteral("Профиль: "),
                   QStringLiteral("Операция:")},
                  {MakeMonitorIcon(MonitorIcon::NewSuccess), MakeMonitorIcon(MonitorIcon::NewFailure),
                   MakeMonitorIcon(MonitorIcon::AcknowledgedSuccess),
                   MakeMonitorIcon(MonitorIcon::AcknowledgedFailure)},
                  {kAcknowledgedSuccessImage, kAcknowledgedFailureImage, kAcknowledgedSuccessImage,
                   kAcknowledgedFailureImage},
                  parent) {
  setObjectName(QStringLiteral("OperationsDialog"));
  list()->viewport()->installEventFilter(this);
  LayOutColumns();
}

QString OperationsDialog::DataText(int row) const { return rows()->row(row).texts.column(2); }

void OperationsDialog::LayOutColumns() {
  const int w = ListWidth();
  const int c0 = w / 30;
  const int c1 = (w - c0) * 2 / 13;
  const int r = w - c0 - c1;
  const int c2 = static_cast<int>(std::floor(r * 1.5 / 10 + 0.5));
  const int widths[] = {c0, c1, c2, r - c2};
  for (int column = 0; column < 4; ++column) list()->header()->resizeSection(column, widths[column]);
}

void OperationsDialog::AppendRecords(const std::vector<OperationRecord>& records,
                                     const std::vector<bool>& acknowledged) {
  std::vector<JournalRow> added;
  added.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const OperationRecord& record = records[i];
    const int image = acknowledged[i] ? (record.success ? kAcknowledgedSuccessImage
                                                        : kAcknowledgedFailureImage)
                                      : (record.success ? kNewSuccessImage : kNewFailureImage);
    added.push_back(JournalRow{image, record.texts});
  }
  rows()->AppendRows(std::move(added));
  LayOutColumns();
}

bool OperationsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list()->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::RightButton) {
      const QModelIndex index = list()->indexAt(mouse->position().toPoint());
      if (index.isValid()) {
        const QString time = TimeText(index.row());
        if (!time.isEmpty()) {
          jumpTime = time;
          emit showErrorAtTime(pairIndex());
        }
      }
      return true;
    }
  }
  return JournalPage::eventFilter(watched, event);
}

ErrorsDialog::ErrorsDialog(int pairIndex, QWidget* parent)
    : JournalPage(pairIndex, 1, "list1010",
                  {QString(), QStringLiteral("Время и дата:"), QStringLiteral("Данные:")},
                  {MakeMonitorIcon(MonitorIcon::NewError),
                   MakeMonitorIcon(MonitorIcon::AcknowledgedError)},
                  {kAcknowledgedErrorImage, kAcknowledgedErrorImage}, parent) {
  setObjectName(QStringLiteral("ErrorsDialog"));
  LayOutColumns();
}

QString ErrorsDialog::DataText(int row) const { return rows()->row(row).texts.column(1); }

void ErrorsDialog::LayOutColumns() {
  const int w = ListWidth();
  const int c0 = w / 30;
  const int c1 = (w - c0) * 2 / 13;
  const int widths[] = {c0, c1, w - c0 - c1};
  for (int column = 0; column < 3; ++column) list()->header()->resizeSection(column, widths[column]);
}

void ErrorsDialog::AppendRecords(const std::vector<ErrorRecord>& records,
                                 const std::vector<bool>& acknowledged) {
  std::vector<JournalRow> added;
  added.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    added.push_back(JournalRow{acknowledged[i] ? kAcknowledgedErrorImage : kNewErrorImage,
                               records[i].texts});
  }
  rows()->AppendRows(std::move(added));
  LayOutColumns();
}

int ErrorsDialog::FindRowAtTime(const QString& time) const {
  for (int row = 0; row < RowCount(); ++row) {
    if (TimeText(row) == time) return row;
  }
  return -1;
}
