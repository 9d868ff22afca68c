#pragma once
// The settings dialog "Настройки": the poll interval "Monitor timeout" (used
// from the next start of the program) and the reset of the stored marks of
// every journal.

#include <QDialog>

class MessageBoxes;
class QLineEdit;

class Config : public QDialog {
  Q_OBJECT
 public:
  // Its boxes run through boxes, which must outlive it.
  Config(QWidget* parent, MessageBoxes& boxes);

  // Opens the state key and shows the stored interval; false (reported) when
  // the key cannot be opened: the dialog is then not to be shown.
  bool OnInitDialog();
  // "Сброс": after a confirmation, deletes the stored marks of every journal.
  void OnResetMarks();
  // Stores the edit's interval; 1 when stored, 0 otherwise (a 0 is refused
  // with a warning; a key that cannot be opened closes the dialog).
  int ApplySettings();

  void accept() override;

 private:
  MessageBoxes& boxes_;
  QLineEdit* timeout_;
};
