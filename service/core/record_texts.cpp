#include "service/core/record_texts.h"

#include "platform/files.h"

CString MakeRulePrefix(int ruleNumber, const CString& description) {
  CString described;
  if (!description.IsEmpty()) described = CString(L" ('") + description + L"')";
  CString prefix;
  prefix.Format(L"Правило %d%s. ", ruleNumber, described.GetString());
  return prefix;
}

int RuleNumber(const RuleRecord& rule, int index) { return rule.number > 0 ? rule.number : index + 1; }

ULONGLONG FileSizeOf(const CString& path) {
  // Sharing delete: sizing a file for a record must not make another
  // instance's claim of it, or its giving a claim back, fail.
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size{};
  BOOL ok = GetFileSizeEx(file, &size);
  CloseHandle(file);
  return ok ? static_cast<ULONGLONG>(size.QuadPart) : 0;
}

CString FileSizeText(const CString& path) {
  CString text;
  text.Format(L"%lld", static_cast<long long>(FileSizeOf(path)));
  return text;
}
