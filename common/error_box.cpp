#include "common/error_box.h"

#include "common/error_description.h"
#include "common/registry_values.h"
#include "common/report_text.h"

namespace {

ErrorBoxPresenter* g_presenter = nullptr;

void Show(HWND owner, const CString& text, bool systemModal) {
  if (g_presenter != nullptr) g_presenter->ShowErrorBox(owner, text, systemModal);
}

CString OrEmpty(const wchar_t* text) { return CString(text != nullptr ? text : L""); }

DWORD ReportRegistryFailureInBox(HWND owner, DWORD flags, DWORD code, const char* format,
                                 const char* valueName) {
  return ReportErrorBox(owner, nullptr, flags, code, format, nullptr, valueName);
}

}  // namespace

void SetErrorBoxPresenter(ErrorBoxPresenter* presenter) { g_presenter = presenter; }

DWORD ReportErrorBox(HWND owner, LibraryContext context, DWORD flags, DWORD code,
                     const char* format, CString* text, const char* argument) {
  if (flags == 0) return code;
  const CString message = FormatReportMessage(WidenFormat(format), WidenAnsi(argument));
  const CString report =
      message + L".\r\n" + ResultCodeText(code) + L" - " + ErrorDescription(code, context) + L".";
  if ((flags & kErrorBoxShow) != 0) {
    const CString extra = text != nullptr ? *text : CString();
    // The box shows the text as the program's 8-bit strings would hold it.
    Show(owner, CString(CStringA(report + extra)), false);
  }
  if (text != nullptr) *text = report;
  return code;
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

DWORD ReportError(HWND owner, DWORD flags, DWORD code, const char* format,
                  const wchar_t* description, const wchar_t* extra, const wchar_t* arg1,
                  const wchar_t* arg2, const wchar_t* arg3, const wchar_t* arg4) {
  Show(owner,
       ComposeMonitorErrorText(code, format, description, extra, arg1, arg2, arg3, arg4),
       (flags & kErrorBoxSystemModal) != 0);
  return code;
}

void InstallConfigRegistryReporter() {
  RegistryReporter reporter;
  reporter.report = ReportRegistryFailureInBox;
  reporter.stringListFlags = 3;
  reporter.intListFlags = 3;
  reporter.stringArrayFlags = 3;
  reporter.writeArrayFlags = 3;
  SetRegistryReporter(reporter);
}
