#include "common/rule_order.h"

#include <algorithm>
#include <cstdint>

int RuleNumber(const CString& keyName) {
  int blank = keyName.ReverseFind(L' ');
  CStringA text(blank < 0 ? keyName : keyName.Mid(blank + 1));
  const char* p = text.GetString();
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < 0x80000000LL) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

void SortRuleNames(std::vector<CString>& names) {
  std::stable_sort(names.begin(), names.end(), [](const CString& a, const CString& b) {
    return RuleNumber(a) < RuleNumber(b);
  });
}
