#include "monitor/journal_folder.h"

#include "common/error_box.h"
#include "common/registry_values.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace {

constexpr const wchar_t* kConfigurationKeyPath = L"SOFTWARE\\TORVAK\\qelmservice";

// The default folder, the common application-data folder's TORVAK\qelmservice,
// both levels created when missing.
FolderSource MakeDefaultFolder(CString& folder, const ErrorBoxOwner& boxes) {
  wchar_t common[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common);
  const CString levels[] = {CString(common) + L"/TORVAK", CString(common) + L"/TORVAK/qelmservice"};
  for (const CString& level : levels) {
    if (!CreateDirectoryW(level, nullptr)) {
      if (DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS) {
        ReportError(boxes, 0, error, "Создание файла %s", nullptr, nullptr, level, nullptr,
                    nullptr, nullptr);
        return FolderSource::Failed;
      }
    }
  }
  folder = levels[1];
  return FolderSource::Found;
}

}  // namespace

CString MonitorCommandLineText(const std::vector<CString>& arguments) {
  CString text;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += L" ";
    text += arguments[i];
  }
  return text;
}

std::vector<CString> SplitMonitorCommandLine(const CString& text) {
  const CString rest = text.IsEmpty() ? CString() : text.Mid(1);
  std::vector<CString> pieces;
  int start = 0;
  for (int at = rest.Find(L"' '"); at >= 0; at = rest.Find(L"' '", start)) {
    pieces.push_back(rest.Mid(start, at - start));
    start = at + 3;
  }
  CString last = rest.Mid(start);
  if (!last.IsEmpty()) last = last.Left(last.GetLength() - 1);
  pieces.push_back(last);
  return pieces;
}

FolderSource FindJournalFolder(const CString& commandLine,
                               const std::function<bool(CString&)>& askFolder,
                               CString& folder, const ErrorBoxOwner& boxes) {
  // Only "LogPath" is read here, so read access is enough: a user who may
  // not change the service's configuration can still watch its journals.
  RegistryKey key;
  const LSTATUS error = key.Open(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, KEY_READ);
  if (error == ERROR_SUCCESS) {
    CString logPath;
    monitor::ReadLogPathValue(key.Handle(), logPath, boxes);
    key.Close();
    if (!logPath.IsEmpty()) {
      folder = logPath;
      return FolderSource::Found;
    }
    return MakeDefaultFolder(folder, boxes);
  }
  if (error == ERROR_FILE_NOT_FOUND) {
    const std::vector<CString> pieces = SplitMonitorCommandLine(commandLine);
    if (pieces.size() >= 2) {
      folder = pieces[0];
      return FolderSource::Found;
    }
    return askFolder(folder) ? FolderSource::Found : FolderSource::Cancelled;
  }
  ReportError(boxes, kErrorBoxSystemModal, static_cast<DWORD>(error),
              "Создание (открытие) ключа реестра %s", nullptr, nullptr,
              CString(L"HKEY_LOCAL_MACHINE\\") + kConfigurationKeyPath, nullptr, nullptr, nullptr);
  return FolderSource::Failed;
}
