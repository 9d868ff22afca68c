#include "service/core/crl_refresh.h"

#include <ctime>
#include <vector>

#include "common/library_error_stack.h"
#include "common/registry_values.h"
#include "common/split_pairs.h"
#include "platform/datetime.h"
#include "platform/registry.h"
#include "service/core/config_store.h"

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

// The position of the last entry of name in list, or -1; its seconds in
// *seconds.
int FindEntry(const CStringArray& list, const CString& name, long long* seconds) {
  int found = -1;
  CStringArray parts;
  for (INT_PTR i = 0; i < list.GetSize(); ++i) {
    SplitPairs(list[i], parts);
    if (parts.GetSize() >= 2 && parts[0] == name) {
      found = static_cast<int>(i);
      if (seconds != nullptr) *seconds = ParseSeconds(parts[1]);
    }
  }
  return found;
}

bool Due(const CStringArray& list, const CString& name, long long now, int periodHours) {
  // Every matching entry is looked at: one that is not due keeps the lists.
  CStringArray parts;
  for (const CString& entry : list) {
    SplitPairs(entry, parts);
    if (parts.GetSize() < 2 || parts[0] != name) continue;
    if (!CrlRefreshDue(now, ParseSeconds(parts[1]), periodHours)) return false;
  }
  return true;
}

long long NowSeconds() {
  struct timespec now = platform::WallClockNow();
  return static_cast<long long>(now.tv_sec);
}

}  // namespace

bool CrlRefreshDue(long long nowSeconds, long long lastSeconds, int periodHours) {
  return nowSeconds / 60 >= lastSeconds / 60 + static_cast<long long>(periodHours) * 60;
}

DWORD RefreshCrls(const ProfileRecord& profile, int k, LibraryContext context, CString& text) {
  if (k < 0 || static_cast<size_t>(k) >= profile.zcsProfiles.size()) return 0;
  const CString& name = profile.zcsProfiles[static_cast<size_t>(k)];
  const int period = ListValueAt(profile.crlUpdatePeriod, k);

  RegistryKey& key = CurrentRegistryKey();
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, kServiceBaseKey, KEY_READ | KEY_WRITE)) {
    text.Format(L"Создание (открытие) ключа реестра %s",
                (CString(kMachineRootName) + kServiceBaseKey).GetString());
    key.Close();
    return static_cast<DWORD>(rc);
  }
  const long long now = NowSeconds();
  CStringArray entries;
  ReadStringArray(kLastCrlUpdateValue, entries, nullptr);
  if (!Due(entries, name, now, period)) {
    key.Close();
    return 0;
  }

  std::vector<char> message(1024, '\0');
  DataBlob blob{static_cast<uint32_t>(message.size()), reinterpret_cast<uint8_t*>(message.data())};
  DWORD result = ORLAX_ControlEx(context, 0, ORLAX_CONTROL_LOAD_CRL, nullptr, &blob, 0);
  if (result == 0 || result == ORLAX_E_CRL_TOLERATED) result = CRL_REFRESHED;
  const CString stack = FormatLibraryErrorStack(context);
  message.back() = '\0';  // whatever the library left, the text ends in the buffer

  // Another instance or the configuration program may have rewritten the
  // value since it was read: start again from what is stored now and change
  // only this directory profile's entry.
  ReadStringArray(kLastCrlUpdateValue, entries, nullptr);
  CString entry;
  entry.Format(L"%s;;%lld", name.GetString(), now);
  int position = FindEntry(entries, name, nullptr);
  if (position >= 0)
    entries.SetAt(position, entry);
  else
    entries.Add(entry);
  WriteStringArray(entries, kLastCrlUpdateValue, nullptr);

  const CString libraryText(message.data());
  if (!libraryText.IsEmpty()) {
    text = CString(L"Подключение к точке распространения САС") + L".\r\n\r\n" + libraryText +
           L".\r\n\r\n" + stack;
  } else if (!stack.IsEmpty()) {
    // No message, but the stack still tells what went wrong.
    text = CString(L"Подключение к точке распространения САС") + L".\r\n\r\n" + stack;
  }
  key.Close();
  return result;
}
