#pragma once
// Answers the program's modal dialogs in place of a user: every dialog that
// reaches RunModal (config/message_boxes.h) is recorded and handed to the
// next queued answer. A dialog without an answer fails the test and is
// refused, so a test never blocks.

#include <deque>
#include <functional>
#include <vector>

#include <QDialog>
#include <QString>

#include "config/message_boxes.h"

namespace testsupport {

struct ShownDialog {
  QString objectName;  // "ProgramMessageBox", "WarningBox", "CConfigPage", ...
  QString title;
  QString text;        // the message box's or WarningBox's text
  int icon = 0;        // QMessageBox::Icon of a message box
};

class ModalAnswers {
 public:
  ModalAnswers();
  ~ModalAnswers();
  ModalAnswers(const ModalAnswers&) = delete;
  ModalAnswers& operator=(const ModalAnswers&) = delete;

  // The next dialog gets this answer: a QMessageBox standard button
  // (QMessageBox::Yes, ...) or a QDialog code; a function may first work the
  // dialog's controls.
  ModalAnswers& Then(int result);
  ModalAnswers& Then(std::function<int(QDialog&)> answer);

  const std::vector<ShownDialog>& Shown() const { return shown_; }
  // The texts of the message boxes shown, in order.
  std::vector<QString> MessageTexts() const;
  size_t Pending() const { return answers_.size(); }

 private:
  int Answer(QDialog& dialog);
  std::deque<std::function<int(QDialog&)>> answers_;
  std::vector<ShownDialog> shown_;
  ModalRunner previous_;
};

}  // namespace testsupport
