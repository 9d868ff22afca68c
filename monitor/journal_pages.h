#pragma once
// The pages of one journal pair: OperationsDialog lists the records of the
// profile's operations journal, ErrorsDialog those of its errors journal.
// Each list is a view over a JournalRowsModel, which appends the rows of a
// hand-over in one batch, so that a page of a million rows stays cheap.
//
// A page's marks come from the stored acknowledgment (monitor_state.h):
// firstMark hides the records of the start files that are not later
// than it, lastMark makes those not later than it count as acknowledged.

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <deque>
#include <vector>

#include "monitor/journal_records.h"

class QTreeView;

// A row: its image (an index into the page's images) and its texts, column 1
// on ("Время и дата:", then the page's other columns).
struct JournalRow {
  int image = 0;
  RowTexts texts;
};

class JournalRowsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  JournalRowsModel(QStringList headers, std::vector<QIcon> images, QObject* parent);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void AppendRows(std::vector<JournalRow> rows);
  void RemoveFirstRows(int count);
  // Gives every row the image mapped[its image] (mapped covers every image).
  void MapImages(const std::vector<int>& mapped);
  const JournalRow& row(int index) const { return rows_[static_cast<std::size_t>(index)]; }

 private:
  QStringList headers_;
  std::vector<QIcon> images_;
  std::deque<JournalRow> rows_;
};

// What the two page kinds share.
class JournalPage : public QWidget {
  Q_OBJECT
 public:
  int pairIndex() const { return pairIndex_; }
  QTreeView* list() const { return list_; }
  JournalRowsModel* rows() const { return model_; }
  int RowCount() const;
  // Column 1 ("Время и дата:") and the data column of a row.
  QString TimeText(int row) const;
  virtual QString DataText(int row) const = 0;
  // The first selected row, or -1; selecting makes the row current and
  // visible.
  int SelectedRow() const;
  void SelectRow(int row);

  JournalTime firstMark = 0;
  JournalTime lastMark = 0;
  int acknowledgedCount = 0;

  // The acknowledgment of this page: when rows arrived since the last one,
  // the rows acknowledged then are removed; every row left becomes
  // acknowledged; first and last get the time texts of the first and last
  // rows (empty without rows).
  void Acknowledge(QString& first, QString& last);

  // Column widths from the list's width.
  virtual void LayOutColumns() = 0;

 signals:
  // A double click on a row (kind 0 operations, 1 errors).
  void showDetails(int pairIndex, int kind);

 protected:
  JournalPage(int pairIndex, int kind, const char* listName, QStringList headers,
              std::vector<QIcon> images, std::vector<int> acknowledgedImages, QWidget* parent);
  void resizeEvent(QResizeEvent* event) override;
  int ListWidth() const;

 private:
  int pairIndex_;
  int kind_;
  std::vector<int> acknowledgedImages_;
  QTreeView* list_;
  JournalRowsModel* model_;
};

// Images of an operations row.
inline constexpr int kNewSuccessImage = 0;
inline constexpr int kNewFailureImage = 1;
inline constexpr int kAcknowledgedSuccessImage = 2;
inline constexpr int kAcknowledgedFailureImage = 3;

class OperationsDialog : public JournalPage {
  Q_OBJECT
 public:
  OperationsDialog(int pairIndex, QWidget* parent);
  QString DataText(int row) const override;
  void LayOutColumns() override;
  // Appends the records as rows (acknowledged[i]: record i's row is
  // acknowledged).
  void AppendRecords(const std::vector<OperationRecord>& records,
                     const std::vector<bool>& acknowledged);

  // The time text of the row last right-double-clicked.
  QString jumpTime;

 signals:
  // A right double click on a row with a time text.
  void showErrorAtTime(int pairIndex);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// Images of an errors row.
inline constexpr int kNewErrorImage = 0;
inline constexpr int kAcknowledgedErrorImage = 1;

class ErrorsDialog : public JournalPage {
  Q_OBJECT
 public:
  ErrorsDialog(int pairIndex, QWidget* parent);
  QString DataText(int row) const override;
  void LayOutColumns() override;
  void AppendRecords(const std::vector<ErrorRecord>& records, const std::vector<bool>& acknowledged);
  // The first row, from the top, whose time text is time; -1 when none.
  int FindRowAtTime(const QString& time) const;
};
