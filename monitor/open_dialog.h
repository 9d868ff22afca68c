#pragma once
// The folder prompt "Путь журнала", run before the main window when the
// service's configuration store does not exist here and the command line
// names no journal folder.

#include <QDialog>
#include <functional>

class MessageBoxes;
class QLineEdit;

class OpenDialog : public QDialog {
  Q_OBJECT
 public:
  // Its boxes and its picker run through boxes, which must outlive it.
  explicit OpenDialog(MessageBoxes& boxes, QWidget* parent = nullptr);

  // The folder picker of "Путь журнала" (tests put their own choice here);
  // it returns the picked folder or an empty text.
  std::function<QString(QWidget*)> pickFolder;

  void OnBrowseFolder();
  // OK: an existing absolute path closes the dialog with it; an empty or
  // missing path gives a warning, an existing relative one a report; both
  // leave the dialog open.
  void OnFolderOk();

  // The journal folder chosen.
  QString folder() const;

 private:
  MessageBoxes& boxes_;
  QLineEdit* path_;
};
