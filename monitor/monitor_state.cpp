#include "monitor/monitor_state.h"

#include <vector>

#include "common/error_box.h"
#include "platform/registry.h"

const wchar_t* const kMonitorStateKeyPath = L"SOFTWARE\\TORVAK\\qelmservicemonitor";

namespace {

// The monitor opens every key with read and write access.
constexpr REGSAM kStateAccess = KEY_READ | KEY_WRITE;
constexpr const char* kKeyOpenFormat = "Создание (открытие) ключа реестра %s";

CString SubkeyPath(const CString& name) { return CString(kMonitorStateKeyPath) + L"\\" + name; }

}  // namespace

CString MonitorStateKeyReportName() {
  return CString(L"HKEY_CURRENT_USER\\") + kMonitorStateKeyPath;
}

void ReportStateKeyFailure(const ErrorBoxOwner& owner, DWORD flags, LSTATUS error, const CString& path) {
  const CString full = CString(L"HKEY_CURRENT_USER\\") + path;
  ReportError(owner, flags, static_cast<DWORD>(error), kKeyOpenFormat, nullptr, nullptr, full,
              nullptr, nullptr, nullptr);
}

LSTATUS OpenMonitorStateKey(RegistryKey& key) {
  return key.Create(HKEY_CURRENT_USER, kMonitorStateKeyPath, kStateAccess);
}

bool ReadMonitorTimeout(const ErrorBoxOwner& owner, int& seconds) {
  seconds = 5;
  RegistryKey key;
  if (LSTATUS error = OpenMonitorStateKey(key); error != ERROR_SUCCESS) {
    ReportStateKeyFailure(owner, 0, error, kMonitorStateKeyPath);
    return false;
  }
  monitor::ReadDwordValue(key.Handle(), "Monitor timeout", seconds, owner, 5);
  return true;
}

LSTATUS LoadStoredMarks(const CString& name, StoredMarks& marks, const ErrorBoxOwner& owner) {
  marks = StoredMarks{};
  RegistryKey key;
  const LSTATUS error = key.Open(HKEY_CURRENT_USER, SubkeyPath(name), kStateAccess);
  if (error == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) return error;
  monitor::ReadStringValue(key.Handle(), "first_oper", marks.firstOperation, owner, "");
  monitor::ReadStringValue(key.Handle(), "last_oper", marks.lastOperation, owner, "");
  monitor::ReadStringValue(key.Handle(), "first_error", marks.firstError, owner, "");
  monitor::ReadStringValue(key.Handle(), "last_error", marks.lastError, owner, "");
  return ERROR_SUCCESS;
}

void StoreMarks(const CString& name, const StoredMarks& marks, const ErrorBoxOwner& owner) {
  RegistryKey key;
  if (LSTATUS error = key.Create(HKEY_CURRENT_USER, SubkeyPath(name), kStateAccess);
      error != ERROR_SUCCESS) {
    ReportStateKeyFailure(owner, 0, error, SubkeyPath(name));
    return;
  }
  monitor::WriteStringValue(key.Handle(), "first_oper", marks.firstOperation, owner);
  monitor::WriteStringValue(key.Handle(), "last_oper", marks.lastOperation, owner);
  monitor::WriteStringValue(key.Handle(), "first_error", marks.firstError, owner);
  monitor::WriteStringValue(key.Handle(), "last_error", marks.lastError, owner);
}

void DeleteStoredMarks(const ErrorBoxOwner& owner) {
  RegistryKey key;
  if (LSTATUS error = OpenMonitorStateKey(key); error != ERROR_SUCCESS) {
    ReportStateKeyFailure(owner, 0, error, kMonitorStateKeyPath);
    return;
  }
  std::vector<CString> subkeys;
  for (DWORD index = 0;; ++index) {
    wchar_t name[261] = {};
    DWORD length = 261;
    const LSTATUS error =
        RegEnumKeyExW(key.Handle(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_NO_MORE_ITEMS) break;
    if (error != ERROR_SUCCESS) {
      ReportError(owner, 0, static_cast<DWORD>(error), "Поиск подразделов ключа реестра %s",
                  nullptr, nullptr, MonitorStateKeyReportName(), nullptr, nullptr, nullptr);
      return;
    }
    subkeys.emplace_back(name);
  }
  for (const CString& subkey : subkeys) {
    if (LSTATUS error = RegDeleteTreeW(key.Handle(), subkey); error != ERROR_SUCCESS) {
      ReportError(owner, 0, static_cast<DWORD>(error), "Удаление ключа реестра %s", nullptr,
                  nullptr, MonitorStateKeyReportName(), nullptr, nullptr, nullptr);
      return;
    }
  }
}

LSTATUS LoadWindowRectangle(WindowRectangle& rectangle, const ErrorBoxOwner& owner) {
  RegistryKey key;
  if (LSTATUS error = OpenMonitorStateKey(key); error != ERROR_SUCCESS) return error;
  monitor::ReadDwordValue(key.Handle(), "Window_top", rectangle.top, owner, 0);
  monitor::ReadDwordValue(key.Handle(), "Window_bottom", rectangle.bottom, owner, 0);
  monitor::ReadDwordValue(key.Handle(), "Window_left", rectangle.left, owner, 0);
  monitor::ReadDwordValue(key.Handle(), "Window_right", rectangle.right, owner, 0);
  return ERROR_SUCCESS;
}

void StoreWindowRectangle(const WindowRectangle& rectangle, const ErrorBoxOwner& owner) {
  RegistryKey key;
  if (LSTATUS error = OpenMonitorStateKey(key); error != ERROR_SUCCESS) {
    ReportStateKeyFailure(owner, 0, error, kMonitorStateKeyPath);
    return;
  }
  monitor::WriteDwordValue(key.Handle(), "Window_top", rectangle.top, owner);
  monitor::WriteDwordValue(key.Handle(), "Window_bottom", rectangle.bottom, owner);
  monitor::WriteDwordValue(key.Handle(), "Window_left", rectangle.left, owner);
  monitor::WriteDwordValue(key.Handle(), "Window_right", rectangle.right, owner);
}
