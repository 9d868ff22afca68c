#pragma once
// The base key's "LastCrlUpdate" as a test writes and reads it, for the
// tests of the service's and the configuration program's refreshes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/crl_schedule.h"
#include "common/registry_layout.h"
#include "common/registry_values.h"

namespace testsupport {

inline void StoreLastCrlUpdate(const std::vector<CString>& entries) {
  CStringArray list;
  for (const CString& entry : entries) list.Add(entry);
  RegistryValues registry;
  ASSERT_EQ(registry.Key().Open(HKEY_LOCAL_MACHINE, kServiceBaseKey), ERROR_SUCCESS);
  ASSERT_EQ(registry.WriteStringArray(list, kLastCrlUpdateValue, nullptr), 1);
}

inline std::vector<std::wstring> StoredLastCrlUpdate() {
  CStringArray list;
  RegistryValues registry;
  EXPECT_EQ(registry.Key().Open(HKEY_LOCAL_MACHINE, kServiceBaseKey), ERROR_SUCCESS);
  registry.ReadStringArray(kLastCrlUpdateValue, list, nullptr);
  std::vector<std::wstring> out;
  for (const CString& entry : list) out.push_back(entry.str());
  return out;
}

// One entry: "<name>;;<seconds>".
inline std::wstring CrlUpdateEntry(const wchar_t* name, long long seconds) {
  return std::wstring(name) + L";;" + std::to_wstring(seconds);
}

}  // namespace testsupport
