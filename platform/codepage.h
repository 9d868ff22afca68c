#pragma once
// Code pages: conversion between wide text (wchar_t code points; wchar_t is
// 32-bit here, so a character beyond U+FFFF is one wchar_t) and 8-bit text in
// one of the pages the system meets: the ANSI page (CP_ACP), the OEM page
// (CP_OEMCP), UTF-8 (65001), Windows-1251 and CP866.
//
// The ANSI and OEM pages are the machine store values
// HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage "ACP" and "OEMCP"
// (REG_SZ decimal text, as on Windows). Missing or unsupported values give
// 65001 for ACP (the Linux convention) and 866 for OEMCP. They are read once
// per machine store ($QELM_ROOT): like Windows, a change takes effect for the
// next process, or after platform::ReloadCodePages().
//
// Every function may be called from any thread.

#include <string>
#include <string_view>

#include "platform/windows_types.h"

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_UTF8 = 65001;

// MultiByteToWideChar flags.
inline constexpr DWORD MB_PRECOMPOSED = 0x1;
inline constexpr DWORD MB_COMPOSITE = 0x2;
inline constexpr DWORD MB_USEGLYPHCHARS = 0x4;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;

// WideCharToMultiByte flags.
inline constexpr DWORD WC_DISCARDNS = 0x10;
inline constexpr DWORD WC_SEPCHARS = 0x20;
inline constexpr DWORD WC_DEFAULTCHAR = 0x40;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
inline constexpr DWORD WC_COMPOSITECHECK = 0x200;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;

// The ANSI and OEM code pages in effect (see above): 65001, 1251 or 866.
UINT GetACP();
UINT GetOEMCP();

// TRUE for the pages this layer converts: 65001, 1251, 866 (CP_ACP and
// CP_OEMCP are not page numbers and give FALSE, as on Windows).
BOOL IsValidCodePage(UINT codePage);

// Converts 8-bit text to wide text.
// mbLength -1: mb is NUL-terminated and the NUL is converted and counted.
// wideLength 0: nothing is written; returns the number of wchar_t needed.
// Returns the number of wchar_t written, or 0 with the last error:
//   87 (ERROR_INVALID_PARAMETER) for an unknown code page, a null mb, an
//      mbLength of 0 or below -1, a negative wideLength, a null wide with a
//      wideLength above 0;
//   1004 (ERROR_INVALID_FLAGS) for flags the page does not take (UTF-8 takes
//      only MB_ERR_INVALID_CHARS);
//   122 (ERROR_INSUFFICIENT_BUFFER) when the result does not fit (the buffer
//      may have been written in part);
//   1113 (ERROR_NO_UNICODE_TRANSLATION) with MB_ERR_INVALID_CHARS when the
//      input holds a malformed UTF-8 sequence or a byte the page leaves
//      undefined (0x98 in 1251).
// Without MB_ERR_INVALID_CHARS each malformed UTF-8 sequence becomes U+FFFD
// and an undefined byte of 1251 becomes the control character of its value.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int mbLength, LPWSTR wide,
                        int wideLength);

// Converts wide text to 8-bit text.
// wideLength -1: wide is NUL-terminated and the NUL is converted and counted.
// mbLength 0: nothing is written; returns the number of bytes needed.
// A character that a single-byte page cannot hold becomes defaultChar[0]
// (null: '?') and *usedDefaultChar (may be null) is set to TRUE; it is set to
// FALSE when every character had its own form. No "best fit" replacements.
// For UTF-8, defaultChar and usedDefaultChar must be null (else 87); a lone
// surrogate or a value above U+10FFFF becomes U+FFFD, or fails with 1113 under
// WC_ERR_INVALID_CHARS. A high and low surrogate in a row are taken as one
// character. Returns the number of bytes written, or 0 with the last error
// 87, 1004, 122 or 1113 as for MultiByteToWideChar.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR mb,
                        int mbLength, LPCSTR defaultChar, LPBOOL usedDefaultChar);

namespace platform {

// Drops the remembered ANSI and OEM pages so that the next call reads the
// machine store again.
void ReloadCodePages();

// Whole-string conversions for the layer and the system's own helpers.
// Unmappable characters become '?' (to 8-bit) or U+FFFD (from malformed
// UTF-8); these never fail. An unknown code page gives an empty result.
std::wstring MultiByteToWide(std::string_view text, UINT codePage = CP_ACP);
std::string WideToMultiByte(std::wstring_view text, UINT codePage = CP_ACP);

// Console output. The text is converted to the encoding of the terminal's
// locale (LANG / LC_ALL / LC_CTYPE: UTF-8 normally, CP1251 or CP866 when the
// locale says so; anything else is written as UTF-8) and written to standard
// output or standard error, which is flushed. The process locale is not
// changed.
enum class ConsoleStream { Output, Error };
UINT ConsoleCodePage();
void WriteConsoleText(ConsoleStream stream, std::wstring_view text);
// 8-bit text in the ANSI page, converted for the console.
void WriteConsoleAnsi(ConsoleStream stream, std::string_view text);

}  // namespace platform
