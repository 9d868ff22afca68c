#pragma once
// Text between the system's wide strings (CString) and Qt's, for the two Qt
// programs.

#include <QString>

#include "platform/cstring.h"

QString ToQString(const CString& text);
// The text up to its first NUL, if any: what the system's calls that take
// the text as a wide C string see is then what the program holds.
CString FromQString(const QString& text);
