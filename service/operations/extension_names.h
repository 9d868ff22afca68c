#pragma once
// Output names that take extensions off an input's name: DECR, B64D and
// DCCX share one walk of the configured extra extensions ("ExtExt").

#include "platform/cstring.h"

// NAME less "." + ownExt when that is its last extension; otherwise less the
// extExt entries, each tried once in list order against the current last
// extension (the walk ends once no extension, or only a leading ".", is
// left), so several extensions go only when they stand in the name in the
// reverse of their list order. Every comparison is exact, letter case
// included. An extension is never taken off when nothing would be left
// before its "." (".b64" stays ".b64"). extExt may be null.
CString StripOwnOrExtraExtensions(const CString& name, const CString& ownExt, const CStringArray* extExt);
