#pragma once
// Files the program reads and writes whole (rule exports, user-group files),
// with their failures reported in the program's error box.

#include <string>

#include "platform/cstring.h"

class QWidget;

// Writes bytes to path, created anew, in one write. A failure is reported
// (ReportErrorBox, owner) with "Создание файла %s", "Запись файла %s" or
// "Закрытие файла %s", and a file that was created is deleted again so that
// no partial file remains. Returns true when the file is written.
bool WriteWholeFile(QWidget* owner, const CString& path, const std::string& bytes);

// Reads the whole file at path. A failure is reported with "Открытие файла
// %s", "Определение размера файла %s", "Чтение файла %s" or "Закрытие файла
// %s" and returns false; the file is closed on every path.
bool ReadWholeFile(QWidget* owner, const CString& path, std::string& bytes);
