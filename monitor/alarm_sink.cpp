#include "monitor/alarm_sink.h"

#include <QApplication>
#include <canberra.h>

// The sound library's context, made at the first alarm: a monitor that
// never raises one never opens the sound server.
struct ApplicationAlarmSink::SoundContext {
  ~SoundContext() {
    if (context != nullptr) ca_context_destroy(context);
  }
  ca_context* context = nullptr;
  bool tried = false;
};

void PlayFirstAlarmSound(const std::function<int(const char* eventId)>& play,
                         const std::function<void()>& bell) {
  for (const char* sound : kAlarmSounds) {
    if (play(sound) == 0) return;
  }
  bell();
}

ApplicationAlarmSink::ApplicationAlarmSink() : sound_(std::make_unique<SoundContext>()) {}

ApplicationAlarmSink::~ApplicationAlarmSink() = default;

void ApplicationAlarmSink::PlayAlarmSound() {
  if (!sound_->tried) {
    sound_->tried = true;
    ca_context* context = nullptr;
    if (ca_context_create(&context) == CA_SUCCESS) {
      ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "mirelMonitor", nullptr);
      sound_->context = context;
    }
  }
  PlayFirstAlarmSound(
      [this](const char* sound) {
        if (sound_->context == nullptr) return -1;
        return ca_context_play(sound_->context, 0, CA_PROP_EVENT_ID, sound, nullptr);
      },
      [] { QApplication::beep(); });
}

void ApplicationAlarmSink::FlashTaskbar(QWidget* window) {
  // 0: until the window is activated, as a flash "until foreground" does.
  if (window != nullptr) QApplication::alert(window, 0);
}
