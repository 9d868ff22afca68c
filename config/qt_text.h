#pragma once
// Wide text of the system (CString) to and from Qt's text.

#include <QString>

#include "platform/cstring.h"

inline QString ToQString(const CString& text) {
  return QString::fromWCharArray(text.GetString(), text.GetLength());
}

inline CString FromQString(const QString& text) { return CString(text.toStdWString().c_str()); }
