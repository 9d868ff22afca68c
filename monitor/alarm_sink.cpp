#include "monitor/alarm_sink.h"

#include <QApplication>
#include <canberra.h>
#include <cstdarg>
#include <cstdio>

#include <alsa/error.h>

namespace {

// The sound library's ALSA back end reports through ALSA's error handler,
// whose default writes every step of a failed open to stderr: eight
// "ALSA lib …" lines for each alarm on a machine without a sound card. The
// monitor says in one line of its own when a sound could not be played.
void IgnoreAlsaDiagnostic(const char* /*file*/, int /*line*/, const char* /*function*/,
                          int /*error*/, const char* /*format*/, ...) {}

}  // namespace

// The sound library's context, made at the first alarm: a monitor that
// never raises one never opens the sound server.
struct ApplicationAlarmSink::SoundContext {
  ~SoundContext() {
    if (context != nullptr) ca_context_destroy(context);
  }
  ca_context* context = nullptr;
  int createError = CA_SUCCESS;
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
    snd_lib_error_set_handler(IgnoreAlsaDiagnostic);
    ca_context* context = nullptr;
    sound_->createError = ca_context_create(&context);
    if (sound_->createError == CA_SUCCESS) {
      ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "mirelMonitor", nullptr);
      sound_->context = context;
    }
  }
  int failure = sound_->createError;
  PlayFirstAlarmSound(
      [this, &failure](const char* sound) {
        if (sound_->context == nullptr) return failure;
        failure = ca_context_play(sound_->context, 0, CA_PROP_EVENT_ID, sound, nullptr);
        return failure;
      },
      [&failure] {
        std::fprintf(stderr, "mirelMonitor: звук тревоги не воспроизведён (%s)\n",
                     ca_strerror(failure));
        QApplication::beep();
      });
}

void ApplicationAlarmSink::FlashTaskbar(QWidget* window) {
  // 0: until the window is activated, as a flash "until foreground" does.
  if (window != nullptr) QApplication::alert(window, 0);
}
