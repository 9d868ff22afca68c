#pragma once
// The cryptographic library's error stack as text. A failed library call
// leaves lines (text, source file, line number, data) on the stack of its
// context, or on the library's own stack for calls made without one. Reading
// drains the stack, so a caller reads it once, right after the failed call
// (and the release of that call's own result) and before any further call on
// that context.

#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// One line of the stack, its texts as the library gave them (ANSI).
struct LibraryErrorEntry {
  CStringA text;
  CStringA file;
  DWORD line = 0;
  CStringA data;
};

// Takes every line off the stack of context (null: the library's own stack),
// oldest first, paths through held folders and claims in their data shown as
// the caller named them (platform::ShownHeldPaths), releasing the library's buffers with ORLAX_FreeMem given
// releaseContext. Stops at the first non-zero result of ORLAX_GetErrorLineEx.
std::vector<LibraryErrorEntry> ReadLibraryErrorEntries(LibraryContext context,
                                                       LibraryContext releaseContext);

// The stack as the trailing detail of a journal record, one block per line n
// (from 1): "ORLAX стек, ошибка номер n \r\nError: <text>\r\nFile: <file>\r\n
// Data: <data>\r\n" (the line number is not shown). Empty for no lines.
CString FormatLibraryErrorEntries(const std::vector<LibraryErrorEntry>& entries);

// The stack as it follows a library code's description: per line
// "<text>,\r\nфайл: <file>, строка <line>, данные: <data>.\r\n".
CString LibraryErrorLineText(const std::vector<LibraryErrorEntry>& entries);

// Drains the stack of context (null: the library's own stack) and returns it
// in the FormatLibraryErrorEntries layout; empty when the stack is empty.
CString FormatLibraryErrorStack(LibraryContext context);

// Drains the stack of context and appends "\r\n" and its lines in the
// LibraryErrorLineText layout to text. A null context does nothing.
void LibraryErrorLines(LibraryContext context, CString& text);

// Drains the stack of context without showing it: after a failure reported
// without the stack, or a call whose lines nobody shows, so that no later
// report on the context carries them.
void DropLibraryErrorLines(LibraryContext context);
