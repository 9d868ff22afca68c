#pragma once
// Conflict-free file names. When an output name or an error-folder name is
// taken, the file gets a random mark after its stem instead, so that nothing
// is ever overwritten and the rest of the name (all its extensions) stays as
// it was: report.tar.gz becomes report~1f3a9c07.tar.gz.

#include "platform/cstring.h"
#include "platform/windows_types.h"

// The number of new names the output-conflict step and the error-folder
// movers try before they give up.
inline constexpr int kConflictNameAttempts = 100;

// Returns name's text before its first "." (the whole name when it has none),
// then "~", then one random 32-bit number in lower-case hexadecimal without
// leading zeros, then the rest of name from its first "." on. A name that
// begins with "." gets the mark at its start. Every call draws afresh from a
// newly seeded generator, so successive calls are independent. Any thread.
CString MakeConflictName(const CString& name);

// The same name built around a given number; MakeConflictName draws it.
CString MakeConflictNameWith(const CString& name, DWORD number);

// True for the codes of a create or rename that met a taken name (80, 183).
bool IsNameTakenError(DWORD error);
