#include "monitor/journal_pages.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
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
  const Row& shown = rows_[static_cast<std::size_t>(index.row())];
  if (index.column() == 0) {
    if (role == Qt::DecorationRole) return images_[shown.image];
    return {};
  }
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    QString text = DecodeJournalText(Column(shown, index.column() - 1));
    // Joined stack lines end in CR LF; only the line feed is shown.
    if (text.contains(QLatin1Char('\r'))) text.remove(QLatin1Char('\r'));
    return text;
  }
  return {};
}

QVariant JournalRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return headers_.value(section);
  return {};
}

std::string_view JournalRowsModel::Column(const Row& row, int column) const {
  if (column < 0 || column >= row.place.count) return {};
  const std::string& block = BlockText(row.block);
  const std::uint32_t start =
      column == 0 ? row.place.start : row.place.ends[static_cast<std::size_t>(column) - 1];
  return std::string_view(block).substr(start, row.place.ends[static_cast<std::size_t>(column)] - start);
}

const std::string& JournalRowsModel::BlockText(std::uint32_t number) const {
  const Block& block = blocks_[static_cast<std::size_t>(number - firstBlock_)];
  if (block.packed.isEmpty()) return block.text;
  for (const auto& [cached, text] : unpacked_) {
    if (cached == number) return text;
  }
  constexpr std::size_t kUnpackedBlocks = 4;
  if (unpacked_.size() == kUnpackedBlocks) unpacked_.pop_back();
  unpacked_.emplace_front(number, UnpackText(block.packed));
  return unpacked_.front().second;
}

int JournalRowsModel::LineCount(int row, int column) const {
  const std::string_view text = Column(rows_[static_cast<std::size_t>(row)], column);
  // An escaped line feed in a name is shown as the line feed it is.
  if (text.find('\\') != std::string_view::npos) {
    return 1 + static_cast<int>(Text(row, column).count(QLatin1Char('\n')));
  }
  return 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

QString JournalRowsModel::Text(int row, int column) const {
  return DecodeJournalText(Column(rows_[static_cast<std::size_t>(row)], column));
}

void JournalRowsModel::AppendRecords(RecordBatch batch, const std::vector<int>& images) {
  const int added = static_cast<int>(std::count_if(images.begin(), images.end(),
                                                   [](int image) { return image >= 0; }));
  if (added == 0) return;
  const auto block = static_cast<std::uint32_t>(firstBlock_ + blocks_.size());
  blocks_.push_back(Block{std::move(batch.text), std::move(batch.packed)});
  const int first = static_cast<int>(rows_.size());
  beginInsertRows(QModelIndex(), first, first + added - 1);
  for (std::size_t i = 0; i < batch.places.size(); ++i) {
    if (images[i] < 0) continue;
    rows_.push_back(Row{block, batch.places[i], static_cast<std::uint8_t>(images[i])});
  }
  endInsertRows();
}

void JournalRowsModel::ReplaceLastRow(const RecordBatch& batch, int image) {
  if (rows_.empty() || batch.empty()) return;
  Row& last = rows_.back();
  std::string text;
  for (int column = 0; column < batch.places[0].count; ++column) text += batch.Column(0, column);
  RecordPlace place;
  place.count = batch.places[0].count;
  for (int column = 0; column < place.count; ++column) {
    place.ends[static_cast<std::size_t>(column)] =
        batch.places[0].ends[static_cast<std::size_t>(column)] - batch.places[0].start;
  }
  last.block = static_cast<std::uint32_t>(firstBlock_ + blocks_.size());
  last.place = place;
  last.image = static_cast<std::uint8_t>(image);
  blocks_.push_back(Block{std::move(text), {}});
  const int row = static_cast<int>(rows_.size()) - 1;
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void JournalRowsModel::RemoveFirstRows(int count) {
  if (count <= 0) return;
  beginRemoveRows(QModelIndex(), 0, count - 1);
  rows_.erase(rows_.begin(), rows_.begin() + count);
  DropUnusedBlocks();
  endRemoveRows();
}

void JournalRowsModel::DropUnusedBlocks() {
  // Blocks are numbered in the order rows were added, but a replaced last
  // row points at a later block than rows after it never do: keep every
  // block from the lowest one still used.
  auto lowest = static_cast<std::uint32_t>(firstBlock_ + blocks_.size());
  for (const Row& row : rows_) {
    lowest = std::min(lowest, row.block);
    if (lowest == firstBlock_) return;
  }
  while (firstBlock_ < lowest && !blocks_.empty()) {
    blocks_.pop_front();
    ++firstBlock_;
  }
  std::erase_if(unpacked_, [this](const auto& cached) { return cached.first < firstBlock_; });
}

void JournalRowsModel::MapImages(const std::vector<int>& mapped) {
  if (rows_.empty()) return;
  for (Row& row : rows_) row.image = static_cast<std::uint8_t>(mapped[row.image]);
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
      list_(new QTableView(this)),
      model_(new JournalRowsModel(std::move(headers), std::move(images), this)) {
  // A table view keeps no item per row (a tree view lays out every row again
  // at each append), so a page of a million rows stays quick.
  list_->setObjectName(QString::fromLatin1(listName));
  list_->setModel(model_);
  list_->setShowGrid(false);
  list_->setWordWrap(false);
  list_->setCornerButtonEnabled(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  list_->verticalHeader()->setDefaultSectionSize(RowHeight(1));
  list_->horizontalHeader()->setHighlightSections(false);
  list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setTextElideMode(Qt::ElideRight);
  list_->horizontalHeader()->setStretchLastSection(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(list_);
  list_->viewport()->installEventFilter(this);
  connect(list_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) emit showDetails(pairIndex_, kind_);
  });
}

int JournalPage::RowCount() const { return model_->rowCount(); }

QString JournalPage::TimeText(int row) const { return model_->Text(row, 0); }

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
  if (rows > acknowledgedCount && acknowledgedCount > 0) {
    model_->RemoveFirstRows(acknowledgedCount);
    if (openRow >= 0) openRow -= acknowledgedCount;
  }
  acknowledgedCount = RowCount();
  model_->MapImages(acknowledgedImages_);
  first = TimeText(0);
  last = TimeText(RowCount() - 1);
}

bool JournalPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport() && event->type() == QEvent::Resize) LayOutColumns();
  return QWidget::eventFilter(watched, event);
}

void JournalPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  LayOutColumns();
}

int JournalPage::RowHeight(int lines) const {
  const QFontMetrics metrics = list_->fontMetrics();
  return std::max(metrics.height(), 16) + (lines - 1) * metrics.lineSpacing() + 6;
}

void JournalPage::SizeRows(int first) {
  if (!sizedRows_) return;
  for (int row = first; row < RowCount(); ++row) {
    const int lines = model_->LineCount(row, dataColumn_);
    if (lines > 1) list_->verticalHeader()->resizeSection(row, RowHeight(lines));
  }
}

void JournalPage::ReplaceLastRow(const RecordBatch& batch, int image) {
  model_->ReplaceLastRow(batch, image);
  if (sizedRows_ && RowCount() > 0) {
    const int row = RowCount() - 1;
    list_->verticalHeader()->resizeSection(row, RowHeight(model_->LineCount(row, dataColumn_)));
  }
}

void JournalPage::AppendFollowing(RecordBatch batch, const std::vector<int>& images) {
  const QScrollBar* bar = list_->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  const int first = RowCount();
  model_->AppendRecords(std::move(batch), images);
  SizeRows(first);
  LayOutColumns();
  if (atEnd) list_->scrollToBottom();
}

int JournalPage::ListWidth() const { return list_->viewport()->width(); }

int JournalPage::TimeColumnWidth(int share) {
  if (timeTextWidth_ == 0 && RowCount() > 0) {
    timeTextWidth_ = list_->sizeHintForIndex(model_->index(0, 1)).width();
  }
  return std::max({share, timeTextWidth_, list_->horizontalHeader()->sectionSizeHint(1)});
}

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
  LayOutColumns();
}

QString OperationsDialog::DataText(int row) const { return rows()->Text(row, 2); }

void OperationsDialog::LayOutColumns() {
  const int w = ListWidth();
  const int c0 = w / 30;
  const int c1 = TimeColumnWidth((w - c0) * 2 / 13);
  const int r = std::max(0, w - c0 - c1);
  const int c2 = static_cast<int>(std::floor(r * 1.5 / 10 + 0.5));
  const int widths[] = {c0, c1, c2, r - c2};
  for (int column = 0; column < 4; ++column) list()->horizontalHeader()->resizeSection(column, widths[column]);
}

int OperationsDialog::ImageOf(bool success, bool acknowledged) {
  if (acknowledged) return success ? kAcknowledgedSuccessImage : kAcknowledgedFailureImage;
  return success ? kNewSuccessImage : kNewFailureImage;
}

void OperationsDialog::AppendRecords(RecordBatch records, const std::vector<int>& acknowledged) {
  std::vector<int> images(acknowledged.size(), -1);
  for (std::size_t i = 0; i < acknowledged.size(); ++i) {
    if (acknowledged[i] >= 0) images[i] = ImageOf(records.successes[i] != 0, acknowledged[i] == 1);
  }
  AppendFollowing(std::move(records), images);
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
  // An errors record may carry the library's stack text on lines of its
  // own: each row is as tall as its own text.
  SizeRowsToText(1);
  LayOutColumns();
}

QString ErrorsDialog::DataText(int row) const { return rows()->Text(row, 1); }

void ErrorsDialog::LayOutColumns() {
  const int w = ListWidth();
  const int c0 = w / 30;
  const int c1 = TimeColumnWidth((w - c0) * 2 / 13);
  const int widths[] = {c0, c1, std::max(0, w - c0 - c1)};
  for (int column = 0; column < 3; ++column) list()->horizontalHeader()->resizeSection(column, widths[column]);
}

void ErrorsDialog::AppendRecords(RecordBatch records, const std::vector<int>& acknowledged) {
  std::vector<int> images(acknowledged.size(), -1);
  for (std::size_t i = 0; i < acknowledged.size(); ++i) {
    if (acknowledged[i] >= 0) images[i] = acknowledged[i] == 1 ? kAcknowledgedErrorImage : kNewErrorImage;
  }
  AppendFollowing(std::move(records), images);
}

int ErrorsDialog::FindRowAtTime(const QString& time) const {
  for (int row = 0; row < RowCount(); ++row) {
    if (TimeText(row) == time) return row;
  }
  return -1;
}
