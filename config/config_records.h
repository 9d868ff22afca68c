#pragma once
// The configuration program's records and its program-wide configuration
// state. The records are the ones the service reads (common/), so what this
// program holds is what it writes and what the service runs with; the state
// below is filled by the load, changed by the main dialog's commands and the
// editors, and written by the save.
//
// Every record copies deeply (the editors work on copies and their callers
// assign them back on OK). Window thread only.

#include <vector>

#include "common/config_records.h"
#include "platform/cstring.h"

extern CStringArray g_profileNames;                // service profile names, list order
extern std::vector<ProfileRecord> g_profiles;      // parallel to g_profileNames
extern CStringArray g_libraryProfileNames;         // the library's directory profiles
// Parallel to g_libraryProfileNames: the paths the library reports for each
// (no context is ever opened through these entries).
extern std::vector<DirectoryProfileEntry> g_directoryProfiles;
extern CString g_currentProfile;                   // the open profile; empty: none
extern int g_modified;                             // 1 while changes are unsaved
// The base key's values: the extension settings, "ExtExt" and "LogPath"
// ("Log filesize" is the main dialog's own member).
extern BaseSettings g_baseSettings;

// Empties the whole state (a new program run; tests).
void ResetConfigurationState();

// The position of name in g_profileNames (exact comparison), or -1.
int ProfilePosition(const CString& name);

// The open profile (g_currentProfile, exact comparison), or null.
ProfileRecord* OpenProfile();
