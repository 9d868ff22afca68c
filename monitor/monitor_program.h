#pragma once
// The program's start: the journal folder, then the main window until it
// closes. Needs a QApplication.

// Returns the process's exit code (0).
int RunMonitor(int argc, char** argv);
