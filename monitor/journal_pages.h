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
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/journal_records.h"

class QTableView;

// The rows of a page over the text they were read in: each row is its
// image and its place in a text block; the texts become wide only when a
// cell is shown. Columns: the image, then the record's columns.
class JournalRowsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  JournalRowsModel(QStringList headers, std::vector<QIcon> images, QObject* parent);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Appends record i of batch with image images[i]; records whose image is
  // negative are left out. The batch's text becomes one of the model's
  // blocks.
  void AppendRecords(RecordBatch batch, const std::vector<int>& images);
  // Replaces the last row by record 0 of batch, with image.
  void ReplaceLastRow(const RecordBatch& batch, int image);
  void RemoveFirstRows(int count);
  // Gives every row the image mapped[its image] (mapped covers every image).
  void MapImages(const std::vector<int>& mapped);
  int Image(int row) const { return rows_[static_cast<std::size_t>(row)].image; }
  // The record column (0: time text) of a row, as shown.
  QString Text(int row, int column) const;
  // How many lines a record column of the row has.
  int LineCount(int row, int column) const;
  // How many record columns the row has.
  int TextCount(int row) const { return rows_[static_cast<std::size_t>(row)].place.count; }

 private:
  struct Row {
    std::uint32_t block;  // the number of its text block, counted from the first ever kept
    RecordPlace place;
    std::uint8_t image;
  };
  // A block of text: as read, or packed (RecordBatch::Pack).
  struct Block {
    std::string text;
    QByteArray packed;
  };
  std::string_view Column(const Row& row, int column) const;
  // The text of a block, unpacked when it is packed (the last few blocks
  // unpacked are kept, for the rows on the screen).
  const std::string& BlockText(std::uint32_t block) const;
  void DropUnusedBlocks();

  QStringList headers_;
  std::vector<QIcon> images_;
  std::deque<Block> blocks_;
  std::uint32_t firstBlock_ = 0;  // the number of blocks_.front()
  std::deque<Row> rows_;
  mutable std::deque<std::pair<std::uint32_t, std::string>> unpacked_;
};

// What the two page kinds share.
class JournalPage : public QWidget {
  Q_OBJECT
 public:
  int pairIndex() const { return pairIndex_; }
  QTableView* list() const { return list_; }
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
  // The last row, when its record may still go on in its journal file (a
  // line without its line feed yet, an errors record whose stack lines may
  // follow): the poller then sends the whole record to take its place.
  // -1 when the last row is final.
  int openRow = -1;

  // The acknowledgment of this page: when rows arrived since the last one,
  // the rows acknowledged then are removed; every row left becomes
  // acknowledged; first and last get the time texts of the first and last
  // rows (empty without rows).
  void Acknowledge(QString& first, QString& last);
  // Replaces the last row by record 0 of batch, with image.
  void ReplaceLastRow(const RecordBatch& batch, int image);

  // Column widths from the list's width.
  virtual void LayOutColumns() = 0;

 signals:
  // A double click on a row (kind 0 operations, 1 errors).
  void showDetails(int pairIndex, int kind);

 protected:
  JournalPage(int pairIndex, int kind, const char* listName, QStringList headers,
              std::vector<QIcon> images, std::vector<int> acknowledgedImages, QWidget* parent);
  // The columns follow the list's visible width: whenever the viewport
  // changes size (also when a page hidden until now is first shown, with
  // the size the window gave it meanwhile) and when the page is shown.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  int ListWidth() const;
  // The width of column 1 ("Время и дата:") for its proportional share:
  // never less than its caption and a row's time need, so that the year is
  // never cut, whatever the font and the window's first size.
  int TimeColumnWidth(int share);
  // Appends rows; a list scrolled to its end (or empty) follows them, so
  // that the newest record stays in view while the operator has not
  // scrolled away from it.
  void AppendFollowing(RecordBatch batch, const std::vector<int>& images);
  // Rows as tall as the lines of their record column column (rows are one
  // line tall otherwise).
  void SizeRowsToText(int column) {
    sizedRows_ = true;
    dataColumn_ = column;
  }
  int RowHeight(int lines) const;
  void SizeRows(int first);

 private:
  int pairIndex_;
  int kind_;
  std::vector<int> acknowledgedImages_;
  QTableView* list_;
  bool sizedRows_ = false;
  int dataColumn_ = 0;
  // What a time text needs, measured on the first row (all times have one
  // form); 0 until there is a row.
  int timeTextWidth_ = 0;
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
  // Appends the records as rows: record i's row is acknowledged when
  // acknowledged[i] is 1, left out when it is -1.
  void AppendRecords(RecordBatch records, const std::vector<int>& acknowledged);
  // The image of an operations row.
  static int ImageOf(bool success, bool acknowledged);

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
  void AppendRecords(RecordBatch records, const std::vector<int>& acknowledged);
  // The first row, from the top, whose time text is time; -1 when none.
  int FindRowAtTime(const QString& time) const;
};
