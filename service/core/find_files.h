#pragma once
// Listing of a folder's files by file-name masks: the worker lists each
// rule's input folder with it, the journal writer the journal folder.

#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// Appends to names the bare names (without the folder) of the files in folder
// that match masks, mask by mask in list order and, within a mask, in the
// order the wildcard search returns them. A name already in names (exact,
// case-sensitive comparison) is not appended again, so a file matching two
// masks appears once, where the first mask found it. Folders are never
// listed, whatever other attributes they carry: a folder handed on as a file
// would be "processed" by an operation. Neither are pipes, sockets and
// devices; links to files are listed (the operations refuse them).
//
// Returns 0, or the error of a mask's first search other than
// ERROR_FILE_NOT_FOUND (a mask that matches nothing adds no name): a missing
// folder gives ERROR_PATH_NOT_FOUND (3). The names appended for the earlier
// masks then stay in names. An error of a later step of a search ends that
// mask's search only.
DWORD FindFiles(CString folder, CStringArray& names, std::vector<CString> masks);
