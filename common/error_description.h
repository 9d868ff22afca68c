#pragma once
// The description of a result code: the text that follows the code in every
// report (journal records, event-log records, console lines, error boxes).

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// The text used when no table has one.
inline constexpr const wchar_t* kNoDescriptionText = L"Описание ошибки не найдено";
// The text of the codes 0xFFFFFFF7..0xFFFFFFFF (-9..-1: the Base64 decoder's
// and other callers' argument errors).
inline constexpr const wchar_t* kInvalidParameterText = L"Неправильный параметр";

// The description of code, never ending in ".", "\r" or "\n" (callers add
// their own punctuation). Never fails.
//  - 0xFFFFFFF7..0xFFFFFFFF: kInvalidParameterText.
//  - 0, or bit 0x20000000 set (the library's codes and the system's own): the
//    library's text of the code, else kNoDescriptionText; when context is
//    given, followed by "\r\n" and that context's error-stack lines
//    (LibraryErrorLines), which drains the stack.
//  - any other code: the system message table, else the "wininet" module's
//    table when that module is loaded (it is never loaded for this), else
//    kNoDescriptionText.
CString ErrorDescription(DWORD code, LibraryContext context);

// The text of a system code as the tables give it (".\r\n" still at its end):
// the system message table, else the "wininet" module's table when that
// module is loaded, else kNoDescriptionText.
CString SystemErrorText(DWORD code);

namespace monitor {
// The monitor's form: every code goes through the system message table (then
// "wininet", then kNoDescriptionText), with the same trimming.
CString ErrorDescription(DWORD code);
}  // namespace monitor
