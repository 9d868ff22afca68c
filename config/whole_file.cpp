#include "config/whole_file.h"

#include <algorithm>

#include "common/error_box.h"
#include "platform/cfile.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "config/group_file.h"
#include "config/message_boxes.h"
#include "config/rule_export.h"

namespace {

DWORD ReportFileFailure(QWidget* owner, DWORD code, const char* format, const CString& path) {
  return ReportErrorBox(ErrorOwner(owner), nullptr, kErrorBoxShow, code, format, nullptr,
                        platform::WideToMultiByte(path.GetString()).c_str());
}

}  // namespace

bool WriteWholeFile(QWidget* owner, const CString& path, const std::string& bytes) {
  CFile file;
  CFileException error;
  if (!file.Open(path, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite, &error)) {
    ReportFileFailure(owner, static_cast<DWORD>(error.m_cause), "Создание файла %s", path);
    return false;
  }
  const char* failedStep = nullptr;
  DWORD code = 0;
  try {
    file.Write(bytes.data(), static_cast<UINT>(bytes.size()));
  } catch (CFileException* e) {
    failedStep = "Запись файла %s";
    code = static_cast<DWORD>(e->m_cause);
    e->Delete();
  }
  try {
    file.Close();
  } catch (CFileException* e) {
    if (failedStep == nullptr) {
      failedStep = "Закрытие файла %s";
      code = static_cast<DWORD>(e->m_cause);
    }
    e->Delete();
  }
  if (failedStep == nullptr) return true;
  // A part of the file is worse than none: it goes.
  DeleteFileW(path);
  ReportFileFailure(owner, code, failedStep, path);
  return false;
}

bool ReadWholeFile(QWidget* owner, const CString& path, std::string& bytes) {
  CFile file;
  CFileException error;
  if (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite, &error)) {
    ReportFileFailure(owner, static_cast<DWORD>(error.m_cause), "Открытие файла %s", path);
    return false;
  }
  const char* failedStep = nullptr;
  DWORD code = 0;
  try {
    failedStep = "Определение размера файла %s";
    const ULONGLONG length = file.GetLength();
    failedStep = "Чтение файла %s";
    bytes.assign(static_cast<size_t>(length), '\0');
    const UINT read = length > 0 ? file.Read(bytes.data(), static_cast<UINT>(length)) : 0;
    bytes.resize(read);
    failedStep = "Закрытие файла %s";
    file.Close();
    return true;
  } catch (CFileException* e) {
    code = static_cast<DWORD>(e->m_cause);
    e->Delete();
  }
  ReportFileFailure(owner, code, failedStep, path);
  return false;
}

// The files of rule exports and user groups are read and written here, so
// that their formats (rule_export.cpp, group_file.cpp) stay plain text work.

bool WriteRulesExportFile(QWidget* owner, const CString& path, const std::string& bytes) {
  return WriteWholeFile(owner, path, bytes);
}

bool ReadRulesExportFile(QWidget* owner, const CString& path, std::string& bytes) {
  return ReadWholeFile(owner, path, bytes);
}

bool ReadGroupFile(QWidget* owner, const CString& path, std::vector<CString>& candidates) {
  std::string bytes;
  if (!ReadWholeFile(owner, path, bytes)) return false;
  for (CString& dn : GroupFileOwners(bytes)) {
    if (std::find(candidates.begin(), candidates.end(), dn) == candidates.end()) {
      candidates.push_back(std::move(dn));
    }
  }
  return true;
}

bool WriteGroupFile(QWidget* owner, const CString& path, const std::vector<CString>& owners) {
  return WriteWholeFile(owner, path, GroupFileBytes(owners));
}
