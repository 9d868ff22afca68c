#pragma once
// The output name of a decrypted file, apart from the operation so that its
// rules can be checked on their own.

#include "platform/cstring.h"
#include "service/core/rule_settings.h"

// NAME less "." + encExt when that is its last extension; otherwise less the
// "ExtExt" entries, each tried once in list order against the current last
// extension (the walk ends once no extension, or only a leading ".", is
// left); then, for an unpacking rule (Archives(setting)) with a non-empty
// archExt, less "." + archExt when that is the last extension. Every
// comparison is exact, letter case included. An extension is never taken
// off when nothing would be left before its "." (".p7e" stays ".p7e").
// extExt may be null.
CString DecryptedName(const CString& name, const CString& encExt, const CStringArray* extExt, ArchiveSetting setting,
                      const CString& archExt);
