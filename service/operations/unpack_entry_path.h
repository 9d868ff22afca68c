#pragma once
// UNPK's entry paths (UnpackArchives is declared with the other operations).
// Archives come from outside: whatever an entry's name holds, the path made
// from it stays below the output folder.

#include <string>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// The path of an archive entry below "Path Out": its folders in order and,
// for a file entry, its file name.
struct EntryPath {
  bool folder = false;  // the name is empty or ends in "/" or "\"
  CStringArray folders;
  CString fileName;  // empty for a folder entry
};

// The buffer of an entry's name: a name must be shorter.
inline constexpr size_t kEntryNameBuffer = 256;

// Every "/" of path replaced by "\".
CString ToBackslashes(const CString& path);

// Turns an entry's raw name (OEM code page) into its path: the name is
// converted to the ANSI code page, trimmed of "\" and "/" at both ends, split
// at every "\" and "/" and its date groups expanded (ExpandDateTemplates).
// Empty and "." folder components mean nothing and are dropped. Returns 0, or
// ERR_ARCHIVE_PATH_OUTSIDE for a ".." component or a file name "." (the
// path would leave its folder), or COMPRESS_E_OPEN_PACKED for a name of 256
// bytes or more (never cut). Every component of a result is non-empty and
// holds no "/". Any thread.
DWORD EntryNameToPath(const std::string& rawName, EntryPath& path);
