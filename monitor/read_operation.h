#pragma once
// The details dialog "Подробная информация": the full text of one row of an
// operations page or an errors page, with Up and Down to walk through the
// page. Its separators are turned into line breaks so that a long record
// reads as lines.

#include <QDialog>
#include <QString>

#include "monitor/journal_records.h"  // DetailsText

class JournalPage;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class ReadOperation : public QDialog {
  Q_OBJECT
 public:
  // Shows the first selected row of the page of kind (0: operations,
  // 1: errors) of the pair named name.
  ReadOperation(QWidget* parent, const QString& name, int kind, JournalPage* operationsPage,
                JournalPage* errorsPage);

  void OnUp();
  void OnDown();

  // The row shown, counted from 1 (0: none).
  int currentRow() const { return current_; }
  const QString& timeText() const { return timeText_; }
  const QString& dataText() const { return dataText_; }

 private:
  void LoadRow();

  int kind_;
  JournalPage* page_;
  int current_ = 0;
  QString timeText_;
  QString dataText_;
  QLabel* time_;
  QPlainTextEdit* data_;
};
