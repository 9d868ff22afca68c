#pragma once
// Revocation-list refresh. A directory profile whose settings ask for it
// ("NotLoadCrl" 0, "CrlUpdatePeriod" above 0 hours) has the library reload
// its lists from their distribution points once the period has passed since
// its last refresh. The time of each refresh is kept in the base key's
// "LastCrlUpdate" (common/crl_schedule.h), which the configuration program
// reads and writes with the same due rule.
//
// Runs on the worker thread; opens the base key for the call only.

#include "common/config_records.h"
#include "common/crl_schedule.h"
#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// The result that tells the worker the lists were reloaded; journaled as a
// success, never as such.
inline constexpr DWORD CRL_REFRESHED = 0xE1718000;

// The journal message of a refresh; "%s" is the directory profile's name.
inline constexpr const wchar_t* kCrlRefreshMessage =
    L"Профиль справочника : '%s' | Обновление САС из точек распространения";

// Refreshes the lists of directory profile k of profile (profile.zcsProfiles[k],
// period profile.crlUpdatePeriod[k]) through context when they are due.
// Returns 0 when not due (nothing else happened); CRL_REFRESHED when they
// were reloaded (also when the library tolerated some failed points); the
// registry's code when the base key cannot be opened (text names the key);
// else the library's code. After a library call, whatever its result, the
// entry of this directory profile in "LastCrlUpdate" is set to now (entries
// of other names are kept as they stand in the registry at that moment), and
// text receives the library's message and error stack when there are any:
// "Подключение к точке распространения САС.\r\n\r\n<message>.\r\n\r\n<stack>".
// An index beyond the name list does nothing and returns 0.
DWORD RefreshCrls(const ProfileRecord& profile, int k, LibraryContext context, CString& text);
