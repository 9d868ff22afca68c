#pragma once
// Every message box and every other modal dialog of the monitor goes through
// one seam: the program shows real QMessageBoxes and runs its dialogs' modal
// loops, a test installs its own answers so that no modal loop ever blocks
// it. The error reporter ReportError (common/error_box.h) reaches the same
// seam through the presenter installed here.

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <atomic>

#include "platform/windows_types.h"

// The caption of every window and box of the monitor.
inline constexpr const char* kMonitorCaption = "АК СКЗИ Квелла Сервис: монитор";

class MessageBoxes {
 public:
  enum class Icon { Error, Warning, Question };
  virtual ~MessageBoxes() = default;
  // Shows text under the monitor's caption, owned by owner (may be null),
  // application-modal when systemModal, and returns the button pressed
  // (defaultButton also answers Esc when it is among the buttons). Called on
  // the window thread only.
  virtual QMessageBox::StandardButton Show(QWidget* owner, Icon icon, const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton,
                                           bool systemModal) = 0;
  // Runs dialog modally and returns its result (QDialog::exec's). Called on
  // the window thread only.
  virtual int RunDialog(QDialog& dialog) { return dialog.exec(); }
};

// The seam in use: the real boxes unless a test installed its own (not owned;
// null restores the real boxes).
MessageBoxes& CurrentMessageBoxes();
void SetMessageBoxes(MessageBoxes* boxes);

// Runs one of the monitor's dialogs modally through the seam in use.
int RunModal(QDialog& dialog);

// Shorthands for the monitor's plain boxes.
void ShowWarningBox(QWidget* owner, const QString& text);
QMessageBox::StandardButton AskQuestion(QWidget* owner, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton);

// The window a widget stands for in the Windows-shaped interfaces (owner
// arguments of ReportError and of the registry helpers), and back.
HWND WindowHandle(QWidget* widget);
QWidget* WidgetOf(HWND window);

// Makes the calling thread's error boxes give up waiting once *stop is not
// 0 (null: wait until the box is closed). The poller sets its stop flag here,
// so that a stopped poller never waits on a box the window thread may no
// longer show.
void SetErrorBoxCancellation(const std::atomic<int>* stop);

// Installs, for the life of the object, the presenter through which
// ReportError shows its boxes: on the window thread at once; from another
// thread (the journal poller) by a call queued to the window thread, the
// caller waiting until the box is closed. Close() releases every waiting
// caller without a box and makes later calls from other threads return at
// once, so that a poller never waits on a window thread that has stopped
// serving events.
class ErrorBoxPresenterScope {
 public:
  ErrorBoxPresenterScope();
  ~ErrorBoxPresenterScope();
  ErrorBoxPresenterScope(const ErrorBoxPresenterScope&) = delete;
  ErrorBoxPresenterScope& operator=(const ErrorBoxPresenterScope&) = delete;
  void Close();

 private:
  class Presenter;
  Presenter* presenter_;
};
