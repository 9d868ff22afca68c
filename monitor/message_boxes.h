#pragma once
// Every message box and every other modal dialog of the monitor goes through
// one seam, a MessageBoxes that the program owns and hands to its windows:
// the program's shows real QMessageBoxes and runs its dialogs' modal loops, a
// test passes its own answers so that no modal loop ever blocks it. The error
// reporter ReportError (common/error_box.h) reaches the same seam through the
// presenter each MessageBoxes holds.

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <atomic>
#include <memory>

#include "common/error_box.h"
#include "platform/windows_types.h"

// The caption of every window and box of the monitor.
inline constexpr const char* kMonitorCaption = "АК СКЗИ Квелла Сервис: монитор";

class MessageBoxes {
 public:
  enum class Icon { Error, Warning, Question };
  // Made on the window thread, where the error boxes of ReportError run.
  MessageBoxes();
  // Lets go every caller still waiting on an error box (CloseErrorBoxes).
  virtual ~MessageBoxes();
  MessageBoxes(const MessageBoxes&) = delete;
  MessageBoxes& operator=(const MessageBoxes&) = delete;

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

  // Where ReportError shows a box through these boxes, owned by window (may
  // be null). On the window thread the box is shown at once; from another
  // thread (the journal poller) by a call queued to the window thread, the
  // caller waiting until the box is closed, or until *stop is not 0 when
  // stop is given, so that a stopped poller never waits on a box the window
  // thread may no longer show.
  ErrorBoxOwner ErrorOwner(QWidget* window, const std::atomic<int>* stop = nullptr);
  // The same for a box with no owner window.
  ErrorBoxOwner Unowned(const std::atomic<int>* stop = nullptr);
  // Releases every caller waiting on an error box without a box and makes
  // later calls from other threads return at once, so that a poller never
  // waits on a window thread that has stopped serving events.
  void CloseErrorBoxes();

 private:
  class ErrorBoxes;
  std::unique_ptr<ErrorBoxes> errorBoxes_;
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
