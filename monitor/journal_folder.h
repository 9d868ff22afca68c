#pragma once
// Where the monitor finds the journals: "LogPath" of the service's
// configuration store (the default folder when it is empty), or, when the
// store does not exist on this machine, the folder the command line names,
// or else the one the user picks.

#include <QString>
#include <functional>
#include <vector>

#include "common/error_box.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// The command-line text after the program name, as Windows would pass it:
// the arguments joined by one blank.
CString MonitorCommandLineText(const std::vector<CString>& arguments);

// The pieces of the command line: its first character removed, the rest
// split at every "' '", the last character of the last piece removed. So
// "'/j' 'P'" gives "/j" and "P".
std::vector<CString> SplitMonitorCommandLine(const CString& text);

// The outcome of the search for the journal folder.
enum class FolderSource { Found, Cancelled, Failed };

// Finds the journal folder. askFolder runs the folder prompt and returns
// false when it was cancelled. Failures are reported through boxes
// (system-modal, no owner) and give Failed; the program then ends.
FolderSource FindJournalFolder(const CString& commandLine,
                               const std::function<bool(CString&)>& askFolder,
                               CString& folder, const ErrorBoxOwner& boxes);
