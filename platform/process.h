#pragma once
// Processes: starting a program from a Windows command line, waiting for it,
// reading its exit code and ending it; and the free space of a volume.
//
// A command line is split into an argument vector by the rules of the
// Microsoft C runtime (see SplitCommandLine) and the program is started with
// posix_spawn, never through a shell, so no character of the command line
// has a meaning beyond those rules. The program gets its own process group
// (TerminateProcess ends the whole group, so helpers it started end with
// it), standard input, output and error on /dev/null and no other descriptor
// of ours, an empty signal mask and default signal actions, the caller's
// environment and current folder.
//
// A process handle is signalled when the program has ended;
// WaitForSingleObject and WaitForMultipleObjects (sync.h) take it with any
// other object. The ended program stays a zombie, holding its process group
// id, until the last of its two handles is closed; closing them while it
// runs leaves it running, as on Windows, and it is reaped when it ends.
//
// Every call may be made from any thread; do not close a handle that another
// thread is waiting on.

#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"
#include "platform/windows_types.h"

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
using LPSTARTUPINFOA = STARTUPINFOA*;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Starts the program that the command line names. applicationName must be
// null (the program is always the command line's first argument); the
// security attributes, handle inheritance, creation flags and the startup
// information's fields other than cb are ignored; environment null and
// currentDirectory null give the caller's own (others: 87).
// CreateProcessA passes the bytes of its arguments unchanged, as a program's
// 8-bit main() receives them on Windows; CreateProcessW passes them as UTF-8.
// A program name without "/" is looked for in the folders of PATH only (not
// in the current folder); one with "/" is taken as it is.
// On success fills *processInformation with two handles (process and
// "thread", both waitable, both closed with CloseHandle) and the process id
// for both ids. Fails with 87 (no command line, no program name, an
// application name, null processInformation), 2 (the program is not found),
// 5 (not executable, or a folder), 193 (not a program the system can run),
// 8 (out of memory) or the code of the spawn's error.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation);
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);

// STILL_ACTIVE (259) while the program runs; then its exit status, the code
// given to TerminateProcess when that ended it, or 128 + the signal's number
// when another signal did. FALSE with 6 for a handle that is no process.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

// Ends the program and every process of its group at once (SIGKILL); its
// exit code becomes exitCode. TRUE also when it had ended already. FALSE
// with 6 for a handle that is no process.
BOOL TerminateProcess(HANDLE process, UINT exitCode);

// Bytes available to the caller, total bytes and free bytes of the volume
// that holds the folder (each pointer may be null). FALSE with 87 for a null
// folder, 2 or 3 when it does not exist.
BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes, ULARGE_INTEGER* totalNumberOfFreeBytes);

namespace platform {

// Characters [start, start + length) of a command line that are taken as
// ordinary characters by SplitCommandLine: a blank, quote or backslash there
// neither splits, quotes nor escapes. For values inserted into a command
// line from outside (file and folder names).
struct LiteralSpan {
  int start;
  int length;
};

// Splits a command line as the Microsoft C runtime does for main():
//  - the program name (first argument) runs to the first blank or tab, or,
//    when it begins with a quote, to the next quote (backslashes are
//    ordinary there);
//  - further arguments are separated by blanks and tabs outside quotes; a
//    quote starts or ends a quoted part; "" inside a quoted part gives one
//    quote and the part goes on;
//  - 2n backslashes before a quote give n backslashes and the quote acts;
//    2n+1 give n backslashes and a literal quote; backslashes elsewhere are
//    ordinary;
//  - a quoted part may be empty ("" gives an empty argument).
// Characters inside a literal span (spans may overlap or be unordered) are
// ordinary characters of the argument where they stand.
std::vector<std::wstring> SplitCommandLine(std::wstring_view commandLine,
                                           const std::vector<LiteralSpan>& literal = {});
std::vector<std::string> SplitCommandLine(std::string_view commandLine,
                                          const std::vector<LiteralSpan>& literal = {});

// Starts a program that outlives its starter (a service process): a new
// session, not a child of the caller, 0-2 on the null device and no other
// descriptor of the caller. The program is arguments[0], a path (no PATH
// lookup), run with exactly `environment`. Returns its process id, or 0 with
// the last error: the codes of CreateProcessA for a program that cannot run,
// or ERROR_BAD_UNIT (20) when `nullDevice` cannot be opened as a character
// device; the program is not started then.
DWORD SpawnDetached(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                    const char* nullDevice = "/dev/null");

// Starts a program from a ready argument vector (8-bit arguments passed as
// they are), as CreateProcessA does after splitting. The same results and
// codes as CreateProcessA (87 for an empty vector or program name), and
// ERROR_BAD_UNIT (20) when `nullDevice`, the program's streams, is no
// character device.
BOOL CreateProcessFromArguments(const std::vector<std::string>& arguments,
                                LPPROCESS_INFORMATION processInformation,
                                const char* nullDevice = "/dev/null");

}  // namespace platform
