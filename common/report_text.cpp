#include "common/report_text.h"

#include "platform/utf16.h"

CString ResultCodeText(DWORD code) {
  CString text;
  if ((code & 0x20000000u) != 0 && code != 0xFFFFFFFFu)
    text.Format(L"Ошибка ORLAX 0x%X", code);
  else
    text.Format(L"Ошибка 0x%X", code);
  return text;
}

CString PlainCodeText(DWORD code) {
  CString text;
  text.Format(L"Ошибка 0x%X", code);
  return text;
}

CString WidenFormat(const char* format) {
  if (format == nullptr) return CString();
  const std::wstring wide = platform::Utf8ToWide(format);
  return CString(std::wstring_view(wide));
}

CString WidenAnsi(const char* text) { return CString(text != nullptr ? text : ""); }

CString FormatReportMessage(const CString& format, const CString& arg1, const CString& arg2,
                            const CString& arg3, const CString& arg4) {
  const CString* args[] = {&arg1, &arg2, &arg3, &arg4};
  size_t next = 0;
  CString message;
  const std::wstring& f = format.str();
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == L'%' && i + 1 < f.size()) {
      if (f[i + 1] == L's') {
        if (next < 4) message += *args[next];
        ++next;
        ++i;
        continue;
      }
      if (f[i + 1] == L'%') {
        message += L'%';
        ++i;
        continue;
      }
    }
    message += f[i];
  }
  return message;
}
