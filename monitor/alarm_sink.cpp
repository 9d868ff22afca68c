#include "monitor/alarm_sink.h"

#include <QApplication>

void ApplicationAlarmSink::PlayAlarmSound() { QApplication::beep(); }

void ApplicationAlarmSink::FlashTaskbar(QWidget* window) {
  // 0: until the window is activated, as a flash "until foreground" does.
  if (window != nullptr) QApplication::alert(window, 0);
}
