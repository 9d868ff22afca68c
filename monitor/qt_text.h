#pragma once
// Text between the system's wide strings (CString) and Qt's widgets.

#include <QString>

#include "platform/cstring.h"

inline QString ToQString(const CString& text) {
  return QString::fromWCharArray(text.GetString(), text.GetLength());
}

inline CString ToCString(const QString& text) { return CString(text.toStdWString()); }
