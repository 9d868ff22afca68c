#pragma once
// How the configuration program shows its messages: ProgramMessageBox for
// questions, warnings and notices, WarningBox for long texts, and the error
// box of ReportErrorBox (common/error_box.h), which this program shows as a
// ProgramMessageBox with the error icon.
//
// Every modal dialog of the program - message boxes, WarningBox, the
// settings dialogs, the file and folder pickers, the editors - runs through
// RunModal. A test installs its own runner and answers each dialog in place
// of a user, so no modal loop ever blocks a test.
//
// All of it runs on the window thread.

#include <functional>

#include <QDialog>

#include "common/error_box.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The program's caption: titles its windows and message boxes and names its
// single-instance lock.
inline constexpr const char* kProgramCaption = "АК СКЗИ Квелла Сервис - конфигурация";
CString ProgramCaption();

// Message-box styles (the Windows values the callers use).
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_ICONQUESTION = 0x20;
inline constexpr UINT MB_ICONWARNING = 0x30;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
inline constexpr UINT MB_DEFBUTTON2 = 0x100;
// The buttons a box returns.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Runs dialog modally and returns its result (QDialog::exec's result; for a
// QMessageBox the standard button chosen). Without an installed runner this
// is dialog.exec().
using ModalRunner = std::function<int(QDialog& dialog)>;
int RunModal(QDialog& dialog);
// Installs runner (an empty one restores exec) and returns the one before.
ModalRunner SetModalRunner(ModalRunner runner);

// The object name of every message box, so that a runner tells them from the
// program's other dialogs.
inline constexpr const char* kMessageBoxObjectName = "ProgramMessageBox";

// A standard message box with the given title: owner (null: none), text,
// style (buttons, icon, default button as above). Returns IDOK, IDCANCEL,
// IDYES or IDNO; a box closed without a button returns the button the style
// takes for Escape (Cancel or No), and 0 when nothing was chosen at all,
// which every caller takes as a refusal.
int ShowMessageBox(QWidget* owner, const CString& text, const CString& title, UINT style);

// The same under the program's caption; text as 8-bit literal (UTF-8, as
// written in the sources) or wide.
int ProgramMessageBox(QWidget* owner, const char* text, UINT style);
int ProgramMessageBox(QWidget* owner, const CString& text, UINT style);

// The window handle that the shared reporters take as owner, and back.
HWND WindowHandle(QWidget* widget);
QWidget* WidgetOf(HWND handle);

// Reports a folder that cannot be used: ReportErrorBox owned by owner with
// code, "Открытие файла %s" naming path, and sentence as the extra text.
void ReportUnusableFolder(QWidget* owner, DWORD code, const CString& path, const CString& sentence);

// Where this program's ReportErrorBox shows a box owned by owner (null:
// unowned): with ProgramMessageBox and the error icon.
ErrorBoxOwner ErrorOwner(QWidget* owner = nullptr);
// The registry helpers' reporter of this program: its failures are shown
// the same way (ConfigRegistryReporter, common/error_box.h).
RegistryReporter ProgramRegistryReporter();

// The resizable box for long texts: a read-only text, one OK button. The
// caller sets text, caption and details, then runs DoModal.
class WarningBox : public QDialog {
  Q_OBJECT
 public:
  // failure not 0: the failure icon in place of the default one.
  WarningBox(QWidget* parent, int failure);

  CString text;
  CString caption;  // empty: "Внимание:"
  int details = 0;  // not 0: the details icon (wins over the failure icon)

  // Shows the box modally through RunModal; the result informs nobody.
  int DoModal();

  // What the box shows, for its callers' tests.
  QString ShownText() const;

 private:
  void OnInitDialog();

  int failure_;
  QLabel* icon_;
  QPlainTextEdit* edit_;
  QPushButton* continueButton_;
  QPushButton* okButton_;
};
