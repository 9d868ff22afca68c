#include "service/core/record_texts.h"

#include "platform/files.h"

CString MakeRulePrefix(int ruleNumber, const CString& description) {
  CString described;
  if (!description.IsEmpty()) described = CString(L" ('") + description + L"')";
  CString prefix;
  prefix.Format(L"Правило %d%s. ", ruleNumber, described.GetString());
  return prefix;
}

CString FileSizeText(const CString& path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"0";
  LARGE_INTEGER size{};
  BOOL ok = GetFileSizeEx(file, &size);
  CloseHandle(file);
  if (!ok) return L"0";
  CString text;
  text.Format(L"%lld", static_cast<long long>(size.QuadPart));
  return text;
}
