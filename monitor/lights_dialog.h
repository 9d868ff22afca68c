#pragma once
// The lamps page, tab "Монитор": one row per monitored journal pair with two
// lamps and the pair's name. Normal: green and grey; alarm (a new failure in
// the pair's operations journal): grey and red. "Сброс" puts the selected
// rows back to normal and asks the main window to acknowledge their pairs.

#include <QWidget>

#include "monitor/alarm_sink.h"

class QPushButton;
class QTreeWidget;

class LightsDialog : public QWidget {
  Q_OBJECT
 public:
  // window: the main window, whose taskbar entry the alarm flashes.
  LightsDialog(AlarmSink& alarm, QWidget* window, QWidget* parent);

  // Appends the row of the next pair, in the normal state.
  void AddLampRow(const QString& name);
  // Alarm state for pair's row, then the sound and the flash.
  void OnRaiseAlarm(int pairIndex);
  // "Сброс": every selected row back to normal and acknowledged, top down.
  void OnClear();

  // Lamp images of a row: 0 green, 1 red, 2 grey (-1: no such row).
  int LampImage(int row, int lamp) const;
  QTreeWidget* list() const { return list_; }
  QPushButton* clearButton() const { return clear_; }
  void LayOutColumns();
  // How many rows are in the alarm state.
  int AlarmCount() const;

 signals:
  void acknowledge(int pairIndex);
  // A double click on a lamp: column 0 or 1.
  void showPage(int pairIndex, int column);
  // The number of rows in the alarm state changed.
  void alarmCountChanged(int count);

 protected:
  // The columns follow the list's visible width (see JournalPage).
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void SetLamps(int row, int first, int second);

  AlarmSink& alarm_;
  QWidget* window_;
  QTreeWidget* list_;
  QPushButton* clear_;
};
