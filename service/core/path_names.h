#pragma once
// Paths and file names as the service forms them: the platform separator
// between a folder and a name, and the last extension of a name (the text
// after its last "."). Pure text work (SameFolder also reads the current
// folder for a relative path); any thread.

#include "platform/cstring.h"

// folder + "/" + name.
CString JoinPath(const CString& folder, const CString& name);
// The text before the path's last "/"; empty when there is none.
CString FolderOf(const CString& path);
// The text after the path's last "/"; the whole path when there is none.
CString BareName(const CString& path);

// True when two folder paths name the same folder once made absolute, with
// "." and ".." folded and trailing separators dropped, as GetFullPathNameW
// does; links are not followed. An empty or invalid path names no folder.
bool SameFolder(const CString& a, const CString& b);

// The text after the name's last "." (empty when there is none).
CString LastExtension(const CString& name);
// True when the name has a "." and the text after its last one equals
// extension exactly (letter case included).
bool HasLastExtension(const CString& name, const CString& extension);
// The name without its last "." and what follows it (the name itself when
// it has no ".").
CString WithoutLastExtension(const CString& name);
// True when the name ends in "." + extension (exactly) and something is left
// before that "." once it is taken off: a name such as ".p7e" is all
// extension, and taking it off would leave no name at all (the output would
// be the folder itself).
bool CanStripExtension(const CString& name, const CString& extension);
// True when the name is all extension: "." + extension and nothing before
// it (a signature ".p7d" with no data file it could belong to).
bool IsBareExtension(const CString& name, const CString& extension);
