#include "common/error_description.h"

#include "common/library_error_stack.h"

namespace {

CString TrimEnd(CString text) {
  text.TrimRight(L".\r\n");
  return text;
}

CString LibraryDescription(DWORD code, LibraryContext context) {
  char buffer[1024] = {};
  CString text;
  if (ORLAX_GetErrorText(code, buffer, sizeof buffer) != nullptr) {
    buffer[sizeof buffer - 1] = '\0';  // whatever the library wrote, the text ends here
    text = CString(buffer);
  } else {
    text = kNoDescriptionText;
  }
  text.TrimRight(L".\r\n");
  LibraryErrorLines(context, text);
  return text;
}

bool IsLibraryCode(DWORD code) { return code == 0 || (code & 0x20000000u) != 0; }

}  // namespace

CString ErrorDescription(DWORD code, LibraryContext context) {
  if (code >= 0xFFFFFFF7u) return CString(kInvalidParameterText);
  if (IsLibraryCode(code)) return TrimEnd(LibraryDescription(code, context));
  return TrimEnd(SystemErrorText(code));
}
