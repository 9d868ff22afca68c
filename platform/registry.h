#pragma once
// The registry, kept in SQLite databases: HKEY_LOCAL_MACHINE in
// $QELM_ROOT/registry/machine.db (QELM_ROOT defaults to /var/lib/qelmservice),
// HKEY_CURRENT_USER in $XDG_CONFIG_HOME/qelmservice/user.db ($HOME/.config/...
// when XDG_CONFIG_HOME is unset or empty). The database path is taken from the
// environment whenever a root key is used, and every key opened below a root
// keeps the database it was opened in. Folders and tables are created on
// first use.
//
// Key and value names are case-insensitive and case-preserving; names are
// compared upper-cased (platform::UpcaseChar: Latin, Greek and Cyrillic), not
// by SQLite's ASCII-only NOCASE. Subkeys enumerate in that case-insensitive
// order; values in the order they were first created (rewriting a value keeps
// its place and its first spelling). Values keep their type and their raw
// bytes: the data of REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ is UTF-16LE, as on
// Windows, exactly as many bytes as written; callers convert wide text with
// platform::WideToUtf16Le / Utf16LeToWide (platform/utf16.h) and count sizes in
// those bytes (2 per character, the terminating NUL included).
//
// Each call is one SQLite transaction (WAL mode, 10 s busy timeout), so several
// threads and processes may use the store at once; a write waits for another
// writer instead of failing (170, ERROR_BUSY, only after 10 s). The first
// open of a database in a process takes an flock on "<database>.lock" while
// it sets the file up, so that processes creating the store at once take
// turns.
//
// Every function returns a Windows error code (ERROR_SUCCESS on success), as
// the registry API does, and does not rely on the last error. Codes common to
// all calls:
//   6    (ERROR_INVALID_HANDLE) for a null, closed or unknown key handle;
//   87   (ERROR_INVALID_PARAMETER) for a null pointer the call needs, a key
//        name component longer than 255 characters, a key path longer than
//        32767 characters or a value name longer than 16383 characters;
//   161  (ERROR_BAD_PATHNAME) for a key path that starts with '\' or holds an
//        empty component ("a\\b"); one trailing '\' is ignored;
//   5    (ERROR_ACCESS_DENIED) when the handle lacks the access the call needs
//        (KEY_QUERY_VALUE to read values, KEY_SET_VALUE to write or delete
//        them, KEY_ENUMERATE_SUB_KEYS to list subkeys, KEY_CREATE_SUB_KEY to
//        create one) or the database file may not be written;
//   1018 (ERROR_KEY_DELETED) when the key behind the handle has been deleted;
//   1011 (ERROR_CANTOPEN) when the database cannot be opened or created,
//   1012/1013 (ERROR_CANTREAD/ERROR_CANTWRITE) for an I/O failure of the store,
//   1015 (ERROR_REGISTRY_CORRUPT) when the file is not a registry database,
//   112  (ERROR_DISK_FULL) when the disk is full.

#include <string>

#include "platform/errors.h"  // the codes the calls return (ERROR_SUCCESS, ...)
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

// Opens an existing key below hKey (subKey null or "": a new handle to hKey's
// own key). 2 when it does not exist, 87 for a null result pointer. The handle
// has the access asked for in samDesired (KEY_WOW64_* bits are ignored); close
// it with RegCloseKey.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR subKey, DWORD options, REGSAM samDesired, PHKEY result);

// Opens or creates the key and every missing key above it, in one transaction.
// subKey "" opens hKey's own key; null fails with 87. disposition (may be
// null) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. Creating needs
// KEY_CREATE_SUB_KEY on hKey (5 without it).
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                        LPDWORD disposition);

// Closes a key opened by the calls above; the roots may be "closed" too. 6 for
// a handle that is not open (a second close included).
LSTATUS RegCloseKey(HKEY hKey);

// Reads a value's type (may be null) and raw bytes. data null: only type and
// size are returned; data given with dataSize null fails with 87. When data is
// given and *dataSize is smaller than the value, 234 (ERROR_MORE_DATA) with
// *dataSize set to the size needed, whatever the type. 2 when the value or
// key is missing; 1018 when the key was deleted meanwhile. name null or ""
// is the key's default value.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);

// Stores exactly dataSize bytes with the given type (no check of the shape,
// as on Windows); name null or "" is the default value. 87 when data is null
// and dataSize is not 0.
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);

// 2 when the value does not exist.
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR name);

// Deletes a key that has no subkeys, with its values (5 when it has subkeys
// or is a root, 2 when missing, 87 for a null subKey; "" deletes hKey's own
// key). Handles still open on it then fail with 1018.
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR subKey);
LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR subKey, REGSAM samDesired, DWORD reserved);

// Deletes the key's values and whole subtree, in one transaction; subKey null
// or "": the key's own values and subkeys, keeping the key. 2 when missing.
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR subKey);

// Subkeys in case-insensitive order; 259 (ERROR_NO_MORE_ITEMS) past the last.
// *nameLength: in characters, with room for the NUL on input, without on
// output; 234 when the name does not fit.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classLength, FILETIME* lastWriteTime);

// Values in the order they were first created; 259 past the last. Name
// lengths as for RegEnumKeyExW (234 when the name does not fit); type, data
// and dataSize (each may be null) as for RegQueryValueExW: 234 with *dataSize
// set when the data does not fit.
LSTATUS RegEnumValueW(HKEY hKey, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);

// Counts of subkeys and values; the longest subkey and value names (in
// characters, without the NUL) and the longest value data (in bytes). Every
// output may be null; the class is always empty and the security descriptor
// size 0.
LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptor, FILETIME* lastWriteTime);

namespace platform {

// The database file that a root key (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER)
// stands for in the current environment; "" for anything else.
std::string RegistryStorePath(HKEY root);

// The folder of the user's own store (HKEY_CURRENT_USER), made when missing
// (what cannot be made shows when a file is put in it); it is the user's
// alone (0700), as is the store in it (0600).
std::string PrivateUserFolder();

}  // namespace platform
