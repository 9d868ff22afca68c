#pragma once
// Where the monitor's alarm goes: a short sound and a flashing taskbar entry
// of the main window. The program uses the desktop's; tests count calls on
// their own.

#include <functional>
#include <memory>

class QWidget;

class AlarmSink {
 public:
  virtual ~AlarmSink() = default;
  virtual void PlayAlarmSound() = 0;
  // Flashes window's taskbar entry until the window is brought forward.
  virtual void FlashTaskbar(QWidget* window) = 0;
};

// The event sounds the alarm asks the desktop's sound theme for, in order:
// the start-up sound, then the nearest sound of the freedesktop theme.
inline constexpr const char* kAlarmSounds[] = {"desktop-login", "service-login"};

// Plays the first of kAlarmSounds that play can play (play returns 0 when it
// plays the sound); when none can, rings bell.
void PlayFirstAlarmSound(const std::function<int(const char* eventId)>& play,
                         const std::function<void()>& bell);

// The desktop's sound theme through libcanberra, played without waiting
// (the bell of QApplication::beep, and one line on stderr, when no sound
// can be played: no theme, no sound server, no sound card; the sound
// library's own diagnostics are not shown), and QApplication::alert.
class ApplicationAlarmSink : public AlarmSink {
 public:
  ApplicationAlarmSink();
  ~ApplicationAlarmSink() override;
  void PlayAlarmSound() override;
  void FlashTaskbar(QWidget* window) override;

 private:
  struct SoundContext;
  std::unique_ptr<SoundContext> sound_;
};
