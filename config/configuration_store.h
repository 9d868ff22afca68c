#pragma once
// The configuration program's load and save of the whole configuration
// store (HKEY_LOCAL_MACHINE\SOFTWARE\TORVAK\qelmservice) into and from a
// TrelconState (config_records.h). Every value goes through the registry layout
// that the service reads (common/registry_layout.h), so what is saved is
// what an instance of the service runs with at its next start.
//
// Window thread only; each reads or writes through a RegistryValues of its
// own (common/registry_values.h), with the program's reporter, and holds no
// key once it returns.

#include <QRect>
#include <vector>

#include "common/registry_values.h"
#include "config/config_records.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

class QWidget;

// The library's own directory-profile store, under HKEY_CURRENT_USER.
inline constexpr const wchar_t* kLibraryProfileStoreKey = L"SOFTWARE\\TORVAK\\qelm\\Profiles";

// Empties the state's configuration, lists the library's directory profiles
// into it and loads the store into it, creating the profile "default" when
// there is none. placement receives the stored window rectangle (invalid
// when none is stored) and logFileSize "Log filesize" (at least 400). Every failure is reported to owner and gives false: the
// program then ends. After the load every directory-profile list of a
// profile is at least as long as its "ZCSProfile" list.
bool LoadConfigurationStore(QWidget* owner, TrelconState& state, int& logFileSize,
                            QRect& placement);

// Writes the whole of state back: window placement (window's normal geometry),
// base values, every profile with its rules and signer lists, and deletes
// the keys of removed profiles. state.modified is cleared only when nothing
// failed, so that leaving after a failed save still asks.
void SaveConfigurationStore(QWidget* window, TrelconState& state, int logFileSize);

// One REG_MULTI_SZ value of registry's key: the first maximumCount entries
// (0: all) as "%d" texts, or as texts with an empty one written as "0" (every
// reader stops at an empty entry). Returns 1, or 0 after the failure was
// reported ("Запись в реестр мультистрокового значения '%s'", or "Выделение
// памяти") with the registry reporter's flags for lists.
int WriteIntList(RegistryValues& registry, int maximumCount, const char* name, HWND owner, DWORD flags,
                 const std::vector<int>& list);
int WriteStringList(RegistryValues& registry, int maximumCount, const char* name, HWND owner, DWORD flags,
                    const std::vector<CString>& list);
