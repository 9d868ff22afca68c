#pragma once
// The control command line of mirelservice: one command word against the
// service control manager, or, with no known word, the service itself.

#include "platform/services.h"
#include "platform/windows_types.h"

// The program's entry point with wide arguments (argv[0] is the program).
// Returns the process exit code: 0 when the command did what it was asked
// (the usage text included) or the service ran to its end; 1 when it failed.
int wmain(int argc, wchar_t** argv);

// The commands, each against the service "qelmservice-<profile>". They print
// their outcome on the console and return true when they did what was asked.
bool CmdInstall(const wchar_t* profileName);
bool CmdStart(const wchar_t* profileName);
bool CmdDacl(const wchar_t* profileName, const wchar_t* userName);
bool CmdStop(const wchar_t* profileName);
bool CmdDisable(const wchar_t* profileName);
bool CmdEnable(const wchar_t* profileName);
bool CmdDelete(const wchar_t* profileName);

// Stops the service's active dependents; true when all stopped in time.
bool StopDependentServices(SC_HANDLE service);

// The usage text, line by line, to standard output.
void PrintUsage();
