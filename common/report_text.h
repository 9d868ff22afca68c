#pragma once
// The pieces every report of the three programs is made of: the message
// (a format with up to four "%s" filled), the code text and, from
// error_description.h, the description.
//
// Message formats are the programs' own literals: 8-bit text as written in
// the sources (UTF-8). Message arguments are run-time 8-bit text in the ANSI
// code page (paths, names), or wide text.

#include "platform/cstring.h"
#include "platform/windows_types.h"

// "Ошибка ORLAX 0x%X" for a code with bit 0x20000000 set other than
// 0xFFFFFFFF (the library's codes, the system's own and the Base64 decoder's
// alike), else "Ошибка 0x%X"; upper-case hexadecimal without leading zeros.
CString ResultCodeText(DWORD code);
// The monitor labels every code "Ошибка 0x%X".
CString PlainCodeText(DWORD code);

// A format literal as wide text. Null gives "".
CString WidenFormat(const char* format);
// An ANSI text as wide text. Null gives "".
CString WidenAnsi(const char* text);

// The format (wide) with its "%s" filled in order by the four arguments; a
// "%s" beyond them prints as empty, and no other conversion of the format is
// read from the arguments, so a "%" inside an argument is printed as it is.
CString FormatReportMessage(const CString& format, const CString& arg1 = CString(),
                            const CString& arg2 = CString(), const CString& arg3 = CString(),
                            const CString& arg4 = CString());
