#pragma once
// The registry, kept in SQLite databases: HKEY_LOCAL_MACHINE in
// $QELM_ROOT/registry/machine.db (QELM_ROOT defaults to /var/lib/qelmservice),
// HKEY_CURRENT_USER in $XDG_CONFIG_HOME/qelmservice/user.db (~/.config/...).
// Key and value names are case-insensitive and case-preserving; subkeys
// enumerate in case-insensitive order. Values keep their type and their raw
// bytes: REG_SZ is stored as UTF-16LE exactly as many bytes as written, so
// byte counts are those of Windows (2 bytes per character of UTF-16).
// Each call is one transaction; several processes may use the store at once.
//
// Every function returns a Windows error code (ERROR_SUCCESS on success), as
// the registry API does, and does not rely on the last error. Sizes given to
// and returned by the value calls are in bytes of the stored (UTF-16LE) form.

#include "platform/windows_types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key below hKey. 2 when it does not exist, 87 for a null
// result pointer or a bad root, 1011 when the store cannot be opened.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR subKey, DWORD options, REGSAM samDesired, PHKEY result);

// Opens or creates the key and every missing key above it. disposition (may
// be null) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                        LPDWORD disposition);

// Closes a key opened by the calls above; the roots may be "closed" too.
LSTATUS RegCloseKey(HKEY hKey);

// Reads a value. data null: only type and size are returned. When data is
// given and *dataSize is smaller than the value, 234 (ERROR_MORE_DATA) with
// *dataSize set to the size needed, whatever the type. 2 when the value or
// key is missing; 1018 when the key was deleted meanwhile. name null or ""
// is the key's default value.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);

// Stores exactly dataSize bytes with the given type (no check of the shape,
// as on Windows). 87 for an unknown root or a null key.
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR name);

// Deletes a key that has no subkeys (5 when it has, 2 when missing).
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR subKey);
LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR subKey, REGSAM samDesired, DWORD reserved);

// Deletes the key's values and whole subtree; subKey null: the key's own
// contents, keeping the key.
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR subKey);

// Subkeys in case-insensitive order; 259 (ERROR_NO_MORE_ITEMS) past the last.
// *nameLength: in characters, with room for the NUL on input, without on
// output; 234 when the name does not fit.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classLength, FILETIME* lastWriteTime);

// Values in the order they were first created; 259 past the last.
LSTATUS RegEnumValueW(HKEY hKey, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptor, FILETIME* lastWriteTime);
