#include "common/qt_text.h"

QString ToQString(const CString& text) {
  return QString::fromWCharArray(text.GetString(), text.GetLength());
}

CString FromQString(const QString& text) { return CString(text.toStdWString().c_str()); }
