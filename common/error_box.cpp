#include "common/error_box.h"

#include "common/error_description.h"
#include "common/registry_values.h"
#include "common/report_text.h"

DWORD ReportErrorBox(const ErrorBoxOwner& owner, LibraryContext context, DWORD flags, DWORD code,
                     const char* format, CString* text, const char* argument) {
  if (flags == 0) return code;
  const CString message = FormatReportMessage(WidenFormat(format), WidenAnsi(argument));
  const CString report =
      message + L".\r\n" + ResultCodeText(code) + L" - " + ErrorDescription(code, context) + L".";
  if ((flags & kErrorBoxShow) != 0) {
    const CString extra = text != nullptr ? *text : CString();
    // The box shows the text as the program's 8-bit strings would hold it.
    ShowErrorBoxText(owner, CString(CStringA(report + extra)), false);
  }
  if (text != nullptr) *text = report;
  return code;
}

RegistryReporter ConfigRegistryReporter(ErrorBoxPresenter* presenter) {
  RegistryReporter reporter;
  reporter.report = [presenter](HWND window, DWORD flags, DWORD code, const char* format,
                                const char* valueName) {
    return ReportErrorBox({.presenter = presenter, .window = window}, nullptr, flags, code, format,
                          nullptr, valueName);
  };
  reporter.stringListFlags = 3;
  reporter.intListFlags = 3;
  reporter.stringArrayFlags = 3;
  reporter.writeArrayFlags = 3;
  return reporter;
}
