#pragma once
// Reading and writing of single registry values and REG_MULTI_SZ lists, with
// the caller's default for a missing value and a report of every other
// failure through the program's reporter.
//
// Every function returns 1 when the value was read (or the default applied)
// or written, and 0 when it failed and the failure was reported; after 0 a
// single-value output is left as it was, a list output is empty.
//
// Two forms:
//  - The service and the configuration program read and write through a
//    RegistryValues: a key they open and close as they go, with the reporter
//    its owner gave it. Whoever loads or saves a configuration makes one and
//    passes it to the helpers that read or write values.
//  - The monitor passes the key to each call (namespace monitor) and reports
//    through its error box (ReportError, common/error_box.h).
//
// Value names are ASCII. A RegistryValues is unlocked: one thread at a time.

#include <functional>
#include <vector>

#include "platform/cstring.h"
#include "platform/registry.h"
#include "platform/windows_types.h"

struct ErrorBoxOwner;  // common/error_box.h

// Report messages (8-bit formats; the value name fills "%s").
inline constexpr const char* kNumberNotReadFormat = "Чтение из реестра числового значения '%s'";
inline constexpr const char* kTextNotReadFormat = "Чтение из реестра строкового значения '%s'";
inline constexpr const char* kListNotReadFormat = "Чтение из реестра мультистрокового значения '%s'";
inline constexpr const char* kNumberNotWrittenFormat = "Запись в реестр числового значения '%s'";
inline constexpr const char* kTextNotWrittenFormat = "Запись в реестр строкового значения '%s'";
inline constexpr const char* kListNotWrittenFormat = "Запись в реестр мультистрокового значения '%s'";
inline constexpr const char* kAllocationFailedMessage = "Выделение памяти";

// The room ReadStringValue reads into: 520 characters with the terminating
// NUL, so texts of up to 519 characters.
inline constexpr DWORD kStringValueCapacity = 520;

// A registry key handle that closes the key it holds when it opens another
// and when it goes away (the class library's CRegKey behaviour).
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens (Open) or opens and creates when missing (Create) parent\subKey.
  // On success the key held before is closed and the new one is held; on
  // failure the key held before stays and the registry's code is returned.
  LSTATUS Open(HKEY parent, const wchar_t* subKey, REGSAM access = KEY_READ | KEY_WRITE);
  LSTATUS Create(HKEY parent, const wchar_t* subKey, REGSAM access = KEY_READ | KEY_WRITE);
  // Closes the held key (ERROR_SUCCESS when none is held).
  LSTATUS Close();

  HKEY Handle() const { return key_; }
  bool IsOpen() const { return key_ != nullptr; }

 private:
  LSTATUS Hold(HKEY key);
  HKEY key_ = nullptr;
};

// How a RegistryValues reports a failure in this program. report gets
// the owner window given to the function (null in the service), the report
// flags, the result code, the message format and its one argument (the value
// name, or null for kAllocationFailedMessage); its result is ignored. The
// list functions have no flags argument: each program reports them with its
// own fixed flags, given here. Without a report function failures are still
// returned as 0 but shown nowhere.
using RegistryReportFunction =
    std::function<DWORD(HWND owner, DWORD flags, DWORD code, const char* format, const char* valueName)>;
struct RegistryReporter {
  RegistryReportFunction report = nullptr;
  DWORD stringListFlags = 3;   // ReadStringList
  DWORD intListFlags = 3;      // ReadIntList
  DWORD stringArrayFlags = 3;  // ReadStringArray
  DWORD writeArrayFlags = 3;   // WriteStringArray
};

// The key whose values are read and written, with the reporter of their
// failures. The key starts closed: open it with Key().Open or Key().Create.
class RegistryValues {
 public:
  explicit RegistryValues(RegistryReporter reporter = {});

  RegistryKey& Key() { return key_; }
  const RegistryReporter& Reporter() const { return reporter_; }
  // Replaces the reporter, for the reads that report their own way.
  void SetReporter(const RegistryReporter& reporter) { reporter_ = reporter; }

  // REG_DWORD. A missing value (2), one of another type, or one that cannot
  // be taken as a number (13) gives defaultValue. Any other failure - a value
  // longer than 4 bytes gives ERROR_MORE_DATA (234) - is reported with
  // kNumberNotReadFormat.
  int ReadDwordValue(const char* name, int& value, HWND owner, DWORD flags, int defaultValue);

  // REG_SZ or REG_EXPAND_SZ (not expanded) of at most 519 characters, taken up
  // to its first NUL. A value that is missing, of another type, of odd byte
  // length or not ended by a NUL gives defaultValue (ANSI text, widened); 0
  // bytes give "". A longer text (234) or any other failure is reported with
  // kTextNotReadFormat.
  int ReadStringValue(const char* name, CString& value, HWND owner, DWORD flags,
                      const char* defaultValue);

  // REG_MULTI_SZ (or REG_SZ / REG_EXPAND_SZ, read as a list of its one text):
  // the list is emptied, then the strings are appended in order up to the first
  // empty one, which ends the list. A missing value gives the empty list and 1.
  // A value of another type or shape (ERROR_INVALID_DATA) and every other read
  // failure are reported with kListNotReadFormat; a buffer that cannot be had
  // with kAllocationFailedMessage.
  int ReadStringList(const char* name, std::vector<CString>& list, HWND owner);
  int ReadStringArray(const char* name, CStringArray& list, HWND owner);
  // As ReadStringList, each string taken as a decimal number (blanks skipped,
  // an optional sign, the digits up to the first other character; 0 when there
  // are none; values beyond the 32-bit range are clamped to it).
  int ReadIntList(const char* name, std::vector<int>& list, HWND owner);

  // REG_DWORD of 4 bytes; failure reported with kNumberNotWrittenFormat.
  int WriteDwordValue(const char* name, int value, HWND owner, DWORD flags);
  // REG_SZ of the text (ANSI, widened) with its NUL: (characters + 1) * 2
  // bytes; failure reported with kTextNotWrittenFormat.
  int WriteStringValue(const char* name, const char* value, HWND owner, DWORD flags);
  // The same for a wide text (null: ""), which keeps every character whatever
  // the ANSI code page: the configuration program's texts are wide.
  int WriteStringValue(const char* name, const wchar_t* value, HWND owner, DWORD flags);
  // REG_MULTI_SZ: every string followed by one NUL, then one more NUL; an empty
  // array is one NUL (2 bytes). An empty string stores its NUL alone, which ends
  // the list for every reader, so callers must not hand over empty strings they
  // want kept (the configuration program writes a placeholder instead).
  // Failure reported with kListNotWrittenFormat.
  int WriteStringArray(const CStringArray& list, const char* name, HWND owner);

  // Appends the names of the key's subkeys, in the registry's order
  // (case-insensitive). Returns 0, or the enumeration's error (names then holds
  // those listed before it).
  DWORD SubkeyNames(std::vector<CString>& names);

 private:
  RegistryKey key_;
  RegistryReporter reporter_;
};

// The monitor's forms: the key is passed, failures are shown by ReportError
// (common/error_box.h) with the value name as its first argument and the
// owner given; behaviour otherwise as above.
namespace monitor {
int ReadDwordValue(HKEY key, const char* name, int& value, const ErrorBoxOwner& owner,
                   int defaultValue);
int ReadStringValue(HKEY key, const char* name, CString& value, const ErrorBoxOwner& owner,
                    const char* defaultValue);
int WriteDwordValue(HKEY key, const char* name, int value, const ErrorBoxOwner& owner);
int WriteStringValue(HKEY key, const char* name, const wchar_t* value, const ErrorBoxOwner& owner);
// "LogPath" of the configuration store key, default "": read at start, before
// the main window exists, so a failure shows a system-modal box (owner names
// no window).
int ReadLogPathValue(HKEY key, CString& value, const ErrorBoxOwner& owner);
}  // namespace monitor
