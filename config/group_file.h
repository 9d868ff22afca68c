#pragma once
// User-group files (extension "grx"): owner DNs, one a line, as 8-bit text in
// the ANSI code page, every line ended by CR LF. A line counts only when it is
// not empty and holds "="; text after the last CR LF is not a line, and the
// text ends at the first NUL byte.

#include <string>
#include <string_view>
#include <vector>

#include "platform/cstring.h"

class QWidget;

// ReadGroupFile and WriteGroupFile live in whole_file.cpp with the program's
// error box; the format itself is plain text work.

// The owners a file's bytes name, in file order (as wide text).
std::vector<CString> GroupFileOwners(std::string_view bytes);

// The file's bytes for owners.
std::string GroupFileBytes(const std::vector<CString>& owners);

// Reads the file at path and appends to candidates, in file order, every
// owner that is not yet one (exact comparison). A failure is reported in the
// error box (owner) and adds nothing. Returns true when the file was read.
bool ReadGroupFile(QWidget* owner, const CString& path, std::vector<CString>& candidates);

// Writes owners to the file at path, created or emptied. A failure is
// reported and leaves no file behind. Returns true when the file is written.
bool WriteGroupFile(QWidget* owner, const CString& path, const std::vector<CString>& owners);
