#pragma once
// When a directory profile's revocation lists are due for a refresh, and the
// record of past refreshes. The base key's "LastCrlUpdate" (REG_MULTI_SZ)
// holds one entry per directory profile, "<directory profile>;;<seconds since
// 1970 of the last attempt>". The service's refresh and the configuration
// program's both read and rewrite it with these functions, so that each sees
// the other's attempts.

#include "common/registry_values.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

inline constexpr const char* kLastCrlUpdateValue = "LastCrlUpdate";

// The due rule, in whole minutes: due when now / 60 >= last / 60 +
// periodHours * 60.
bool CrlRefreshDue(long long nowSeconds, long long lastSeconds, int periodHours);

// Whether the lists of name are due by entries (the stored "LastCrlUpdate"):
// due when no entry matches; otherwise every matching entry (split at ";;",
// at least two pieces, first piece equal to name exactly) must be due, so one
// recent attempt holds the lists back. The seconds are read as a decimal
// integer in 64 bits (leading blanks, a sign, digits; 0 without digits).
bool CrlRefreshDueFor(const CStringArray& entries, const CString& name, long long nowSeconds, int periodHours);

// Records an attempt for name at nowSeconds: the last entry of name is
// replaced by "<name>;;<now>", or the entry is appended when there is none.
// Entries of other names are kept as they are.
void RecordCrlRefresh(CStringArray& entries, const CString& name, long long nowSeconds);

// The same on the stored value of registry's key (the base key, opened by
// the caller); a failed read or write is reported by registry's reporter,
// with owner, and a failed read counts as no entries.
bool StoredCrlRefreshDue(RegistryValues& registry, const CString& name, long long nowSeconds, int periodHours,
                         HWND owner);
// Records an attempt in the stored value. It is read again right before the
// write, since the service's instances and the configuration program rewrite
// it too, and only name's entry changes.
void StoreCrlRefreshAttempt(RegistryValues& registry, const CString& name, long long nowSeconds, HWND owner);
