#pragma once
// A service instance: the service entry that the dispatcher runs, its control
// handler, and the worker that loads the profile, opens the library contexts
// and repeats the processing cycle until the service is stopped.

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/directory_profile_table.h"
#include "service/core/worker_state.h"

namespace platform {
class HeldFolders;
}

// Hands the process to the service dispatcher with the one service entry.
// profileName (may be null) is the command line's second argument, used only
// to name a failed dispatcher start. Returns 0 when the service ran to its
// end; ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, unreported, when the process
// was not started by the service manager (the command line answers that);
// any other dispatcher failure after its event-log report.
DWORD RunServiceDispatcher(const wchar_t* profileName);

// The service entry: argv[0] is the service name. Runs the instance on the
// calling thread; returns once it has stopped.
void ServiceMain(DWORD argc, LPWSTR* argv);

// The control handler, registered by ServiceMain with the service's status
// as its context: acts on SERVICE_CONTROL_STOP only.
DWORD ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The profile named by a service name: the text after its last "-"; empty
// when there is no "-", the last "-" is the first character, or nothing
// follows it.
CString ProfileNameFromServiceName(const CString& serviceName);


// Tests the rule's folders (input, output when set, error, second output when
// set); a folder that is missing or is not a folder counts as missing and
// sets *missing to 1. A missing folder is journaled at most once per clock
// hour per rule. Once every folder exists, a folder the rule writes into
// that is its "Path In" on disk (FolderThatIsInput, rule_folders.h: a link,
// or a folder made or replaced since the load) also sets *missing, with one
// record (0xE1718022) each time that begins. Returns 0 or the journal
// writer's error.
// Each folder is held in `held` (platform::HeldFolders, null: let go at
// once), so that the rule's work in it this cycle stays in the folder as it
// was found; a folder a user other than root could have replaced by a link
// on its way is refused as a missing one is (1921). MOVE's output folders,
// which MOVE makes when missing, are held when they exist, and refused only
// for such a link.
DWORD CheckRuleFolders(CString journalFolder, JournalFiles* files, const RuleRecord* rule, RuleState* state,
                       int ruleNumber, int* missing, const CString& profileName,
                       platform::HeldFolders* held = nullptr);

// The table of directory profiles that the rules use, in rule order; states
// is made one RuleState per rule, with its tableIndex and resignTableIndex
// set. Contexts are not opened.
DirectoryProfileTable BuildDirectoryProfileTable(const ProfileRecord& profile, std::vector<RuleState>& states);

// The pause between cycles in milliseconds: seconds × 1000, kept below the
// infinite wait.
DWORD PauseMilliseconds(int handlerTimeoutSeconds);
