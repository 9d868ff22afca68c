#pragma once
// The system message table, FormatMessageW over it, the local heap calls that
// hand out its texts, and the module calls that the error-text code makes.
//
// The table holds one Russian description for each Windows error code in
// platform/errors.h and the other codes the system can meet, each ending in
// ".\r\n" as system texts do, and without insertion sequences. There is one
// language: every languageId gives the same Russian text. Codes of the form
// 0x8007xxxx (a Windows code wrapped as an HRESULT) give the text of xxxx.
// No other module is ever loaded: GetModuleHandleW of any name and
// LoadLibraryW fail with 126, so the "wininet" table is never reached.
//
// All functions may be called from any thread.

#include <cstdarg>

#include "platform/windows_types.h"

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

inline constexpr WORD LANG_NEUTRAL = 0x00;
inline constexpr WORD LANG_ENGLISH = 0x09;
inline constexpr WORD LANG_RUSSIAN = 0x19;
inline constexpr WORD SUBLANG_NEUTRAL = 0x00;
inline constexpr WORD SUBLANG_DEFAULT = 0x01;
inline constexpr WORD SUBLANG_SYS_DEFAULT = 0x02;
inline constexpr DWORD MAKELANGID(WORD primary, WORD sub) {
  return (static_cast<DWORD>(sub) << 10) | primary;
}

// Local heap: LocalAlloc gives a block of at least `bytes` bytes (zeroed with
// LMEM_ZEROINIT), or null with last error 8. LocalFree releases a block of
// LocalAlloc or one handed out by FormatMessageW / ConvertSidToStringSidW;
// it returns null, and is a no-op for null.
inline constexpr UINT LMEM_FIXED = 0x0000;
inline constexpr UINT LMEM_ZEROINIT = 0x0040;
inline constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// Formats a message into buffer and returns its length in characters, the
// terminating NUL not counted; 0 on failure with the last error:
//   317 (ERROR_MR_MID_NOT_FOUND) when no table searched holds messageId;
//   122 (ERROR_INSUFFICIENT_BUFFER) when the text and its NUL do not fit in
//       size characters (without FORMAT_MESSAGE_ALLOCATE_BUFFER);
//   87  (ERROR_INVALID_PARAMETER) for a null buffer, no source flag,
//       FROM_STRING with a null source, or with ALLOCATE_BUFFER a minimum
//       size above 32768 characters (64 KiB of UTF-16, the system's limit).
// Sources: FROM_SYSTEM searches the system table; FROM_HMODULE searches the
// module's table first, and every module's table is empty here; FROM_STRING
// takes source as the wide message text itself.
// FORMAT_MESSAGE_ALLOCATE_BUFFER: buffer is really an LPWSTR* that receives a
// block of at least size characters from LocalAlloc; the caller frees it with
// LocalFree. Inserts (%1..%99, optionally %1!d! and other printf forms with
// one argument; %n a line break, %% a percent sign, %0 ends the text with no
// line break) are replaced from the argument array (ARGUMENT_ARRAY: a
// DWORD_PTR array) or the va_list, unless IGNORE_INSERTS is set or no
// arguments are given, when they are copied as they are. With width bits
// FORMAT_MESSAGE_MAX_WIDTH_MASK, the line breaks of table texts become blanks.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments);

// Null name: a non-null stand-in handle of the program's own module. Any
// other name: null with last error 126 (ERROR_MOD_NOT_FOUND), as for a module
// that the process has not loaded.
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// No library is ever loaded: null with last error 126 (87 for a null name).
HMODULE LoadLibraryW(LPCWSTR fileName);

// FALSE with last error 6: no handle from LoadLibraryW exists.
BOOL FreeLibrary(HMODULE module);
