#include "common/crl_schedule.h"

#include "common/split_pairs.h"

namespace {

// Leading blanks, an optional sign, then digits up to the first other
// character; 0 without digits. Read in 64 bits: the seconds outgrow 32 bits
// in 2038.
long long ParseSeconds(const CString& text) {
  int i = 0;
  const int n = text.GetLength();
  while (i < n && (text[i] == L' ' || text[i] == L'\t')) ++i;
  bool negative = false;
  if (i < n && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  long long value = 0;
  for (; i < n && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (value < 100000000000000000LL) value = value * 10 + (text[i] - L'0');
  }
  return negative ? -value : value;
}

}  // namespace

bool CrlRefreshDue(long long nowSeconds, long long lastSeconds, int periodHours) {
  return nowSeconds / 60 >= lastSeconds / 60 + static_cast<long long>(periodHours) * 60;
}

bool CrlRefreshDueFor(const CStringArray& entries, const CString& name, long long nowSeconds, int periodHours) {
  CStringArray parts;
  for (const CString& entry : entries) {
    SplitPairs(entry, parts);
    if (parts.GetSize() < 2 || parts[0] != name) continue;
    if (!CrlRefreshDue(nowSeconds, ParseSeconds(parts[1]), periodHours)) return false;
  }
  return true;
}

void RecordCrlRefresh(CStringArray& entries, const CString& name, long long nowSeconds) {
  CString entry;
  entry.Format(L"%s;;%lld", name.GetString(), nowSeconds);
  INT_PTR found = -1;
  CStringArray parts;
  for (INT_PTR i = 0; i < entries.GetSize(); ++i) {
    SplitPairs(entries[i], parts);
    if (parts.GetSize() >= 2 && parts[0] == name) found = i;
  }
  if (found >= 0)
    entries.SetAt(found, entry);
  else
    entries.Add(entry);
}

bool StoredCrlRefreshDue(RegistryValues& registry, const CString& name, long long nowSeconds, int periodHours,
                         HWND owner) {
  CStringArray entries;
  registry.ReadStringArray(kLastCrlUpdateValue, entries, owner);
  return CrlRefreshDueFor(entries, name, nowSeconds, periodHours);
}

void StoreCrlRefreshAttempt(RegistryValues& registry, const CString& name, long long nowSeconds, HWND owner) {
  CStringArray entries;
  registry.ReadStringArray(kLastCrlUpdateValue, entries, owner);
  RecordCrlRefresh(entries, name, nowSeconds);
  registry.WriteStringArray(entries, kLastCrlUpdateValue, owner);
}
