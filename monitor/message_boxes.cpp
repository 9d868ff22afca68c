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

class RealMessageBoxes : public MessageBoxes {
 public:
  QMessageBox::StandardButton Show(QWidget* owner, Icon icon, const QString& text,
                                   QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton,
                                   bool systemModal) override {
    const QMessageBox::Icon shown = icon == Icon::Error     ? QMessageBox::Critical
                                    : icon == Icon::Warning ? QMessageBox::Warning
                                                            : QMessageBox::Question;
    QMessageBox box(shown, QString::fromUtf8(kMonitorCaption), text, buttons, owner);
    box.setDefaultButton(defaultButton);
    if (systemModal) box.setWindowModality(Qt::ApplicationModal);
    KeepCaptionWhole(box);
    return static_cast<QMessageBox::StandardButton>(box.exec());
  }
};

RealMessageBoxes g_realBoxes;
thread_local const std::atomic<int>* t_cancel = nullptr;
MessageBoxes* g_boxes = nullptr;

}  // namespace

MessageBoxes& CurrentMessageBoxes() { return g_boxes != nullptr ? *g_boxes : g_realBoxes; }
void SetMessageBoxes(MessageBoxes* boxes) { g_boxes = boxes; }

void SetErrorBoxCancellation(const std::atomic<int>* stop) { t_cancel = stop; }

int RunModal(QDialog& dialog) { return CurrentMessageBoxes().RunDialog(dialog); }

void ShowWarningBox(QWidget* owner, const QString& text) {
  CurrentMessageBoxes().Show(owner, MessageBoxes::Icon::Warning, text, QMessageBox::Ok,
                             QMessageBox::Ok, false);
}

QMessageBox::StandardButton AskQuestion(QWidget* owner, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) {
  return CurrentMessageBoxes().Show(owner, MessageBoxes::Icon::Question, text, buttons,
                                    defaultButton, false);
}

HWND WindowHandle(QWidget* widget) { return reinterpret_cast<HWND>(widget); }
QWidget* WidgetOf(HWND window) { return reinterpret_cast<QWidget*>(window); }

class ErrorBoxPresenterScope::Presenter : public ErrorBoxPresenter {
 public:
  void ShowErrorBox(HWND owner, const CString& text, bool systemModal) override {
    const QString shown = ToQString(text);
    // The owner is followed only while it lives: a box queued by the poller
    // may run after its owner has gone. It lives now, when the box is asked
    // for: a window is gone only after the poller it gave its handle to.
    QPointer<QWidget> ownerWidget(WidgetOf(owner));
    if (QThread::currentThread() == receiver_.thread()) {
      Show(ownerWidget, shown, systemModal);
      return;
    }
    auto call = std::make_shared<Pending>();
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      pending_.push_back(call);
    }
    QMetaObject::invokeMethod(
        &receiver_,
        [call, ownerWidget, shown, systemModal] {
          if (call->IsDone()) return;  // released by Close meanwhile
          Show(ownerWidget, shown, systemModal);
          call->Finish();
        },
        Qt::QueuedConnection);
    call->Wait(t_cancel);
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

  static void Show(const QPointer<QWidget>& owner, const QString& text, bool systemModal) {
    CurrentMessageBoxes().Show(owner.data(), MessageBoxes::Icon::Error, text, QMessageBox::Ok,
                               QMessageBox::Ok, systemModal);
  }

  QObject receiver_;  // lives on the window thread, where the boxes run
  std::mutex mutex_;
  bool closed_ = false;
  std::vector<std::shared_ptr<Pending>> pending_;
};

ErrorBoxPresenterScope::ErrorBoxPresenterScope() : presenter_(new Presenter) {
  SetErrorBoxPresenter(presenter_);
}

ErrorBoxPresenterScope::~ErrorBoxPresenterScope() {
  presenter_->Close();
  SetErrorBoxPresenter(nullptr);
  delete presenter_;
}

void ErrorBoxPresenterScope::Close() { presenter_->Close(); }
