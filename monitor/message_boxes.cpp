#include "monitor/message_boxes.h"

#include <QPointer>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "common/error_box.h"
#include "common/qt_message_box.h"
#include "common/qt_text.h"

namespace {

// The window a widget stands for in the shared reporter's Windows-shaped
// owner argument, and back: only the error boxes here take it apart again.
HWND WindowHandle(QWidget* widget) { return reinterpret_cast<HWND>(widget); }
QWidget* WidgetOf(HWND window) { return reinterpret_cast<QWidget*>(window); }

}  // namespace

QMessageBox::StandardButton QtMessageBoxes::Show(QWidget* owner, Icon icon, const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton,
                                                 bool systemModal) {
  const QMessageBox::Icon shown = icon == Icon::Error     ? QMessageBox::Critical
                                  : icon == Icon::Warning ? QMessageBox::Warning
                                                          : QMessageBox::Question;
  QMessageBox box(shown, QString::fromUtf8(kMonitorCaption), text, buttons, owner);
  box.setDefaultButton(defaultButton);
  if (systemModal) box.setWindowModality(Qt::ApplicationModal);
  KeepCaptionWhole(box);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

int RunModal(MessageBoxes& boxes, QDialog& dialog) { return boxes.RunDialog(dialog); }

void ShowWarningBox(MessageBoxes& boxes, QWidget* owner, const QString& text) {
  boxes.Show(owner, MessageBoxes::Icon::Warning, text, QMessageBox::Ok, QMessageBox::Ok, false);
}

QMessageBox::StandardButton AskQuestion(MessageBoxes& boxes, QWidget* owner, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) {
  return boxes.Show(owner, MessageBoxes::Icon::Question, text, buttons, defaultButton, false);
}

class MessageBoxes::ErrorBoxes : public ErrorBoxPresenter {
 public:
  explicit ErrorBoxes(MessageBoxes& boxes) : boxes_(boxes) {}

  void ShowErrorBox(HWND owner, const CString& text, bool systemModal,
                    const std::atomic<int>* stop) override {
    const QString shown = ToQString(text);
    // The owner is followed only while it lives: a box queued by the poller
    // may run after its owner has gone. It lives now, when the box is asked
    // for: a window is gone only after the poller it gave its handle to.
    QPointer<QWidget> ownerWidget(WidgetOf(owner));
    if (QThread::currentThread() == receiver_.thread()) {
      Show(boxes_, ownerWidget, shown, systemModal);
      return;
    }
    auto call = std::make_shared<Pending>();
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      pending_.push_back(call);
    }
    // The call runs only while receiver_, and so this presenter, lives: a
    // call queued to a destroyed receiver is dropped.
    MessageBoxes* boxes = &boxes_;
    QMetaObject::invokeMethod(
        &receiver_,
        [call, boxes, ownerWidget, shown, systemModal] {
          if (call->IsDone()) return;  // released by Close meanwhile
          Show(*boxes, ownerWidget, shown, systemModal);
          call->Finish();
        },
        Qt::QueuedConnection);
    call->Wait(stop);
    std::lock_guard lock(mutex_);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), call), pending_.end());
  }

  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& call : pending_) call->Finish();
  }

 private:
  struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    void Finish() {
      {
        std::lock_guard lock(mutex);
        finished = true;
      }
      done.notify_all();
    }
    bool IsDone() {
      std::lock_guard lock(mutex);
      return finished;
    }
    // Until the box is closed, or until cancel is set: then the box is not
    // shown any more. The cancel flag has no way to wake this wait, so it is
    // looked at a few times a second.
    void Wait(const std::atomic<int>* cancel) {
      std::unique_lock lock(mutex);
      while (!finished) {
        if (cancel != nullptr && cancel->load() != 0) {
          finished = true;
          return;
        }
        done.wait_for(lock, std::chrono::milliseconds(50));
      }
    }
  };

  static void Show(MessageBoxes& boxes, const QPointer<QWidget>& owner, const QString& text,
                   bool systemModal) {
    boxes.Show(owner.data(), MessageBoxes::Icon::Error, text, QMessageBox::Ok, QMessageBox::Ok,
               systemModal);
  }

  MessageBoxes& boxes_;
  QObject receiver_;  // lives on the window thread, where the boxes run
  std::mutex mutex_;
  bool closed_ = false;
  std::vector<std::shared_ptr<Pending>> pending_;
};

MessageBoxes::MessageBoxes() : errorBoxes_(std::make_unique<ErrorBoxes>(*this)) {}

MessageBoxes::~MessageBoxes() { errorBoxes_->Close(); }

ErrorBoxOwner MessageBoxes::ErrorOwner(QWidget* window, const std::atomic<int>* stop) {
  return {.presenter = errorBoxes_.get(), .window = WindowHandle(window), .stop = stop};
}

ErrorBoxOwner MessageBoxes::Unowned(const std::atomic<int>* stop) {
  return ErrorOwner(nullptr, stop);
}

void MessageBoxes::CloseErrorBoxes() { errorBoxes_->Close(); }
