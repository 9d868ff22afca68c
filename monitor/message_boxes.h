#pragma once
// Every message box and every other modal dialog of the monitor goes through
// one seam, a MessageBoxes that the program owns and hands to its windows:
// the program's shows real QMessageBoxes and runs its dialogs' modal loops, a
// test passes its own answers so that no modal loop ever blocks it. The error
// reporter ReportError (common/error_box.h) reaches the same seam through the
// presenter installed here.

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

// The program's boxes: real QMessageBoxes, and dialogs run with exec().
class QtMessageBoxes : public MessageBoxes {
 public:
  QMessageBox::StandardButton Show(QWidget* owner, Icon icon, const QString& text,
                                   QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton,
                                   bool systemModal) override;
};

// Runs one of the monitor's dialogs modally through boxes.
int RunModal(MessageBoxes& boxes, QDialog& dialog);

// Shorthands for the monitor's plain boxes.
void ShowWarningBox(MessageBoxes& boxes, QWidget* owner, const QString& text);
QMessageBox::StandardButton AskQuestion(MessageBoxes& boxes, QWidget* owner, const QString& text,
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
// ReportError shows its boxes, with boxes (which must outlive the object): on
// the window thread at once; from another
// thread (the journal poller) by a call queued to the window thread, the
// caller waiting until the box is closed. Close() releases every waiting
// caller without a box and makes later calls from other threads return at
// once, so that a poller never waits on a window thread that has stopped
// serving events.
class ErrorBoxPresenterScope {
 public:
  explicit ErrorBoxPresenterScope(MessageBoxes& boxes);
  ~ErrorBoxPresenterScope();
  ErrorBoxPresenterScope(const ErrorBoxPresenterScope&) = delete;
  ErrorBoxPresenterScope& operator=(const ErrorBoxPresenterScope&) = delete;
  void Close();

 private:
  class Presenter;
  Presenter* presenter_;
};
