#pragma once
// The error reporters of the two GUI programs: ReportErrorBox of the
// configuration program and ReportError of the monitor. Both compose the
// report text here; showing it is left to the ErrorBoxPresenter that the
// caller names in its ErrorBoxOwner (each program has one: a QMessageBox with
// its caption and the error icon). Without a presenter nothing is shown, and
// the texts are composed all the same.

#include <atomic>

#include "common/qelm_api.h"
#include "common/registry_values.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

class ErrorBoxPresenter {
 public:
  virtual ~ErrorBoxPresenter() = default;
  // Shows text in a modal error box under the program's caption, owned by
  // owner when that is a window (else unowned), system-modal when asked.
  // Returns when the box is closed, or, for a caller that gave a stop flag,
  // once that flag is not 0 (the box is then not shown any more).
  virtual void ShowErrorBox(HWND owner, const CString& text, bool systemModal,
                            const std::atomic<int>* stop) = 0;
};

// Where a reporter's box goes: the program's presenter (null: the box is
// shown nowhere), the window that owns it (null: none), and the stop flag of
// a caller that must not wait on a box for ever (null: it waits until the
// box is closed).
struct ErrorBoxOwner {
  ErrorBoxPresenter* presenter = nullptr;
  HWND window = nullptr;
  const std::atomic<int>* stop = nullptr;
};

// Hands text to owner's presenter; nothing happens without one.
void ShowErrorBoxText(const ErrorBoxOwner& owner, const CString& text, bool systemModal);

// Report flags of ReportErrorBox: bit 0 shows the box; any non-zero value
// composes the texts.
inline constexpr DWORD kErrorBoxShow = 0x1;
// Flag of ReportError: the box is system-modal.
inline constexpr DWORD kErrorBoxSystemModal = 0x1000;

// The configuration program's reporter. flags 0: does nothing, text stays
// untouched. Otherwise composes
//   message = format (a literal, up to four "%s") with argument (ANSI, null:
//             empty) in its first "%s" and empty texts in the others,
//   code text (ResultCodeText) and description ErrorDescription(code,
//   context), which drains context's error stack;
// with bit 0 it shows message ".\r\n" code text " - " description "." and,
// directly after, the extra sentence that text holds on entry, passed through
// the ANSI code page; when text is given it then receives message ".\r\n"
// code text " - " description "." (without the extra sentence). Returns code;
// never fails.
DWORD ReportErrorBox(const ErrorBoxOwner& owner, LibraryContext context, DWORD flags, DWORD code,
                     const char* format, CString* text, const char* argument);

// The monitor's reporter: always shows message ".\r\n" "Ошибка 0x%X" " - "
// description ".\r\n" extra, where message is format (a literal) filled with
// the four arguments (null: empty) and description is the one given, or the
// monitor's ErrorDescription of code when it is null or empty. The box is
// system-modal when flags has kErrorBoxSystemModal. May be called from any
// thread; the presenter decides where the box runs. Returns code.
DWORD ReportError(const ErrorBoxOwner& owner, DWORD flags, DWORD code, const char* format,
                  const wchar_t* description, const wchar_t* extra, const wchar_t* arg1,
                  const wchar_t* arg2, const wchar_t* arg3, const wchar_t* arg4);

// The text ReportError shows (exposed for the programs' own use and tests).
CString ComposeMonitorErrorText(DWORD code, const char* format, const wchar_t* description,
                                const wchar_t* extra, const wchar_t* arg1, const wchar_t* arg2,
                                const wchar_t* arg3, const wchar_t* arg4);

// The configuration program's reporter of registry failures
// (common/registry_values.h): ReportErrorBox through presenter, with flags 3
// for the list functions.
RegistryReporter ConfigRegistryReporter(ErrorBoxPresenter* presenter);
