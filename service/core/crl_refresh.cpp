#include "service/core/crl_refresh.h"

#include <ctime>
#include <vector>

#include "common/library_error_stack.h"
#include "common/registry_layout.h"
#include "common/registry_values.h"
#include "platform/datetime.h"
#include "platform/registry.h"
#include "service/core/event_log_report.h"

namespace {

long long NowSeconds() {
  struct timespec now = platform::WallClockNow();
  return static_cast<long long>(now.tv_sec);
}

}  // namespace

DWORD RefreshCrls(const ProfileRecord& profile, int k, LibraryContext context, CString& text) {
  if (k < 0 || static_cast<size_t>(k) >= profile.zcsProfiles.size()) return 0;
  const CString& name = profile.zcsProfiles[static_cast<size_t>(k)];
  const int period = ListValueAt(profile.crlUpdatePeriod, k);

  RegistryValues registry(ServiceRegistryReporter());
  RegistryKey& key = registry.Key();
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, kServiceBaseKey, KEY_READ | KEY_WRITE)) {
    text.Format(L"Создание (открытие) ключа реестра %s",
                (CString(kMachineRootName) + kServiceBaseKey).GetString());
    key.Close();
    return static_cast<DWORD>(rc);
  }
  const long long now = NowSeconds();
  if (!StoredCrlRefreshDue(registry, name, now, period, nullptr)) {
    key.Close();
    return 0;
  }

  std::vector<char> message(1024, '\0');
  DataBlob blob{static_cast<uint32_t>(message.size()), reinterpret_cast<uint8_t*>(message.data())};
  DWORD result = ORLAX_ControlEx(context, 0, ORLAX_CONTROL_LOAD_CRL, nullptr, &blob, 0);
  if (result == 0 || result == ORLAX_E_CRL_TOLERATED) result = CRL_REFRESHED;
  const CString stack = FormatLibraryErrorStack(context);
  message.back() = '\0';  // whatever the library left, the text ends in the buffer

  StoreCrlRefreshAttempt(registry, name, now, nullptr);

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
