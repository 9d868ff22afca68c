#pragma once
// The service program's reports of what cannot go into its journals: a line
// on the console (the control command line) and a record in the application
// event log (a service instance whose start-up, journal or library context
// failed). ReportFailure is also the service's reporter of the registry value
// functions (ServiceRegistryReporter).
//
// The event log is written through an EventSource that whoever reports makes
// around its reports and passes down; nothing here is process-wide.

#include <array>
#include <vector>

#include "common/qelm_api.h"
#include "common/registry_values.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// Report flags.
inline constexpr DWORD kReportConsole = 0x1;
inline constexpr DWORD kReportEventLog = 0x2;

// The event source, the record's event id and its fixed second insertion
// string.
inline constexpr const wchar_t* kEventSourceName = L"qelmservice";
inline constexpr DWORD kFailureEventId = 0xC0020002;
inline constexpr const wchar_t* kEventModuleText = L"KVELLA AC: Service - handler.exe";
// Longer event-log texts are cut to this many characters and "...".
inline constexpr int kMaxEventTextLength = 16000;

// What a failure's report says.
struct FailureReport {
  DWORD code = 0;
  const char* format = nullptr;       // the message, its "%s" filled by args
  std::array<const char*, 4> args{};  // ANSI; null: empty
  const char* description = nullptr;  // null: ErrorDescription(code, context)
  const wchar_t* extra = nullptr;     // null: empty
  LibraryContext context = nullptr;   // whose error stack describes code
};

// The event source "qelmservice", registered for as long as it lives, with
// the process user's security identifier read when it is made. Failures are
// reported to the console only: a source that could not be registered writes
// nothing; a source without the identifier writes records without a user.
class EventSource {
 public:
  EventSource();
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  // Writes one error record (category 0, kFailureEventId, the user's
  // identifier when it was read, no data) with the insertion strings text
  // (cut to kMaxEventTextLength characters and "..."), kEventModuleText and
  // "Process: 0x%X, Thread: 0x%X". Does nothing when the source is not
  // registered; a failed write is reported to the console ("Запись события в
  // EventLog").
  void Write(const CString& text) const;

 private:
  HANDLE handle_ = nullptr;
  std::vector<BYTE> tokenUser_;  // a TOKEN_USER record and the identifier it points to
};

// Reports a failure and returns its code, so that a caller can return it;
// never fails. flags 0 does nothing. The message is format with its "%s"
// filled by args; the code text is ResultCodeText(code); the description is
// the one given or, when null, ErrorDescription(code, context) (which drains
// context's error stack).
//  - kReportEventLog: one record with the text message ".\r\n" code text
//    " - " description ".\r\n" extra "\r\n" through eventLog, when one is
//    given (nothing otherwise);
//  - kReportConsole: the line message ". " code text " - " description ". "
//    extra "\n" on standard output, in the ANSI code page, written as it is
//    (a "%" in a file name stays a "%").
// With both the record is written first. format and description are the
// program's own literals (UTF-8 in the sources).
DWORD ReportFailure(DWORD flags, const FailureReport& report, const EventSource* eventLog = nullptr);

// The service's reporter of registry failures (common/registry_values.h):
// ReportFailure through eventLog (null: none, so that reports flagged for
// the event log go nowhere but the console), with the service's flags for its
// list functions (2 for ReadStringList and ReadIntList, 3 for ReadStringArray
// and WriteStringArray).
RegistryReporter ServiceRegistryReporter(const EventSource* eventLog = nullptr);
