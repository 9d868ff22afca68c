#pragma once
// Output names that take extensions off an input's name: DECR, B64D and
// DCCX share one walk of the configured extra extensions ("ExtExt").

#include "platform/cstring.h"

// NAME less "." + ownExt when that is its last extension, even when nothing
// is left (".b64" gives an empty name: the output path is then the output
// folder itself, which the conflict step meets as a taken name, so the file
// fails with 80 or its output gets a conflict name). Otherwise NAME less the
// extExt entries, each tried once in list order against the current last
// extension (the walk ends once no extension, or only a leading ".", is
// left, and never takes a leading "." off), so several extensions go only
// when they stand in the name in the reverse of their list order. Every
// comparison is exact, letter case included. extExt may be null.
CString StripOwnOrExtraExtensions(const CString& name, const CString& ownExt, const CStringArray* extExt);
