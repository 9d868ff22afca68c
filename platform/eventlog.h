#pragma once
// The application event log, and the process token and security identifier
// (SID) that event records carry.
//
// ReportEventW writes each record twice: to syslog (journald), with the event
// source as the ident, and as ONE line appended to
// $QELM_ROOT/eventlog/Application.log (QELM_ROOT defaults to
// /var/lib/qelmservice; the folder is created when missing). The line is
// written with a single O_APPEND write, so lines of several processes never
// mix. Layout (UTF-8, LF at the end):
//
//   2026-12-10 12:00:00 | qelmservice | ERROR | 0xC0020002 | user=root | <string 1> | <string 2> | <string 3>
//
//   time     local time of the report, "YYYY-MM-DD HH:MM:SS"
//   source   the name given to RegisterEventSourceW
//   type     SUCCESS, ERROR, WARNING, INFORMATION, AUDIT_SUCCESS,
//            AUDIT_FAILURE, or 0xNNNN for another value
//   event id "0x%08X"
//   user     the login name of the SID's user (see GetTokenInformation),
//            the SID text when the uid has no name, "N/A" without a SID
//   strings  one field per insertion string, as many as given (none: the line
//            ends after the user field). Inside a string a backslash is
//            written "\\", CR "\r", LF "\n", tab "\t", '|' "\|" and any other
//            control character "\xHH", so that " | " only ever separates
//            fields and a record is one line.
// Category and raw data are not written. platform::ReadEventLog parses the
// file back for tests and tools.

#include <string>
#include <string_view>
#include <vector>

#include "platform/windows_types.h"

// Event types.
inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
inline constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Security identifiers. The SID of a Linux user is S-1-5-21-0-0-0-<uid>; root
// is S-1-5-18 (the local system account).
using PSID = void*;
struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];  // SubAuthorityCount entries
};
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenGroups, TokenPrivileges, TokenOwner };

inline constexpr DWORD TOKEN_QUERY = 0x0008;

// The pseudo handle of the calling process: (HANDLE)-1, valid only for the
// calls here that take a process; it need not be closed.
HANDLE GetCurrentProcess();

// Opens the calling process's access token. Only the current process can be
// opened (6 for any other handle); 87 for a null token pointer. The token is
// a handle of platform/handles.h: close it with CloseHandle.
BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);

// TokenUser: fills a TOKEN_USER whose User.Sid points into the same buffer
// (the caller's buffer holds everything; nothing else to free). When info is
// null or length too small: FALSE with 122 and *returnLength set to the size
// needed. 87 for a null returnLength or another information class, 6 for a
// handle that is not a token.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                         PDWORD returnLength);

BOOL IsValidSid(PSID sid);
DWORD GetLengthSid(PSID sid);  // 0 for an invalid SID

// "S-1-5-21-0-0-0-1000"; the text is allocated with LocalAlloc and freed by
// the caller with LocalFree (platform/messages.h). 1337 for an invalid SID,
// 87 for a null result pointer.
BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* stringSid);

// Registers an event source of the local computer: a handle of
// platform/handles.h, closed by DeregisterEventSource. Null with last error
// 87 for a null or empty source, 1722 (RPC server unavailable) for a server
// name other than null or "".
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);

// FALSE with 6 for a handle that is not an event source.
BOOL DeregisterEventSource(HANDLE eventLog);

// Writes one record (see the layout above). FALSE with last error:
//   6  for a handle that is not an event source;
//   87 for numStrings > 0 with a null strings array or a null string, a string
//      longer than 31839 characters, more than 256 KiB characters in all, or
//      dataSize > 0 with null rawData;
//   the code of the file error (5, 112, ...) when the line cannot be appended.
// A syslog failure is not reported: the file is the record of truth.
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

namespace platform {

// One line of Application.log, strings unescaped (UTF-8).
struct EventLogRecord {
  std::string time;
  std::string source;
  std::string type;
  DWORD eventId = 0;
  std::string user;
  std::vector<std::string> strings;
};

// $QELM_ROOT/eventlog/Application.log in the current environment.
std::string EventLogPath();

// FALSE when the line does not have the layout above.
bool ParseEventLogLine(std::string_view line, EventLogRecord& record);

// Every well-formed record of the log file, oldest first (none when the file
// is missing).
std::vector<EventLogRecord> ReadEventLog();

}  // namespace platform
