#include "common/error_box.h"

#include "common/error_description.h"
#include "common/report_text.h"

// The presenter and the monitor's reporter, kept apart from ReportErrorBox so
// that the monitor links nothing of the cryptographic library.

namespace {

CString OrEmpty(const wchar_t* text) { return CString(text != nullptr ? text : L""); }

}  // namespace

void ShowErrorBoxText(const ErrorBoxOwner& owner, const CString& text, bool systemModal) {
  if (owner.presenter != nullptr) {
    owner.presenter->ShowErrorBox(owner.window, text, systemModal, owner.stop);
  }
}

CString ComposeMonitorErrorText(DWORD code, const char* format, const wchar_t* description,
                                const wchar_t* extra, const wchar_t* arg1, const wchar_t* arg2,
                                const wchar_t* arg3, const wchar_t* arg4) {
  const CString message = FormatReportMessage(WidenFormat(format), OrEmpty(arg1), OrEmpty(arg2),
                                              OrEmpty(arg3), OrEmpty(arg4));
  CString described = OrEmpty(description);
  if (described.IsEmpty()) described = monitor::ErrorDescription(code);
  return message + L".\r\n" + PlainCodeText(code) + L" - " + described + L".\r\n" + OrEmpty(extra);
}

DWORD ReportError(const ErrorBoxOwner& owner, DWORD flags, DWORD code, const char* format,
                  const wchar_t* description, const wchar_t* extra, const wchar_t* arg1,
                  const wchar_t* arg2, const wchar_t* arg3, const wchar_t* arg4) {
  ShowErrorBoxText(owner,
                   ComposeMonitorErrorText(code, format, description, extra, arg1, arg2, arg3, arg4),
                   (flags & kErrorBoxSystemModal) != 0);
  return code;
}

