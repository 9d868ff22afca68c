#pragma once
// Where the monitor's alarm goes: a short sound and a flashing taskbar entry
// of the main window. The program uses the application's; tests count calls
// on their own.

class QWidget;

class AlarmSink {
 public:
  virtual ~AlarmSink() = default;
  virtual void PlayAlarmSound() = 0;
  // Flashes window's taskbar entry until the window is brought forward.
  virtual void FlashTaskbar(QWidget* window) = 0;
};

// QApplication::beep and QApplication::alert.
class ApplicationAlarmSink : public AlarmSink {
 public:
  void PlayAlarmSound() override;
  void FlashTaskbar(QWidget* window) override;
};
