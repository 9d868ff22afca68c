#pragma once
// The monitor's per-user state under
// HKEY_CURRENT_USER\SOFTWARE\TORVAK\qelmservicemonitor: the poll interval
// "Monitor timeout", the main window's rectangle ("Window_top" and the
// others) and, per monitored journal, a subkey named as the journal with the
// time texts of the rows kept at its last acknowledgment.
//
// Keys are opened for one step only and passed to the registry helpers
// explicitly. The state key itself is created when missing, so that the
// monitor starts for a user who has never acknowledged anything.

#include "common/error_box.h"
#include "common/registry_values.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// "SOFTWARE\TORVAK\qelmservicemonitor" and its full name in reports.
extern const wchar_t* const kMonitorStateKeyPath;
CString MonitorStateKeyReportName();

// The report every failed open or creation of a state key gives:
// "Создание (открытие) ключа реестра %s" with "HKEY_CURRENT_USER\" + path.
void ReportStateKeyFailure(const ErrorBoxOwner& owner, DWORD flags, LSTATUS error, const CString& path);

// Creates or opens the state key (read and write); returns the registry's
// code and reports nothing.
LSTATUS OpenMonitorStateKey(RegistryKey& key);

// "Monitor timeout" in seconds, 5 when missing; read failures are reported
// with owner and give 5. Opens the key itself; a failure to open it is
// reported (with owner) and returns false.
bool ReadMonitorTimeout(const ErrorBoxOwner& owner, int& seconds);

// The time texts stored at a journal's last acknowledgment (empty: none).
struct StoredMarks {
  CString firstOperation;  // "first_oper"
  CString lastOperation;   // "last_oper"
  CString firstError;      // "first_error"
  CString lastError;       // "last_error"
};

// Reads the marks of the journal name. A missing subkey gives empty marks and
// 0; another failure to open it is returned (not reported); values that
// cannot be read are reported by the string reader and read as empty.
LSTATUS LoadStoredMarks(const CString& name, StoredMarks& marks, const ErrorBoxOwner& owner);

// Creates or opens the journal's subkey and writes the four texts; failures
// are reported with owner (the open with ReportStateKeyFailure, the values by
// the string writer).
void StoreMarks(const CString& name, const StoredMarks& marks, const ErrorBoxOwner& owner);

// Deletes every subkey of the state key with everything below it, in
// enumeration order; the values of the state key stay. Failures are reported
// with owner: the open, "Поиск подразделов ключа реестра %s" (nothing is
// deleted) or "Удаление ключа реестра %s" (the remaining subkeys stay).
void DeleteStoredMarks(const ErrorBoxOwner& owner);

// The main window's normal rectangle: "Window_left", "Window_top",
// "Window_right", "Window_bottom", each 0 when missing.
struct WindowRectangle {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};
// Reads the rectangle (read failures reported with owner, which the window
// not yet shown leaves null: the value stays 0). Returns the open's code; a
// failed open is not reported here.
LSTATUS LoadWindowRectangle(WindowRectangle& rectangle, const ErrorBoxOwner& owner);
// Writes the rectangle; a failed open is reported with owner and nothing is
// written, failed writes by the number writer.
void StoreWindowRectangle(const WindowRectangle& rectangle, const ErrorBoxOwner& owner);
