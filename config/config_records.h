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

#include "config/settings_dialogs.h"
#include "platform/cstring.h"
#include "service/core/config_records.h"

// A directory profile of the library's own store: its name and paths.
struct LibraryDirectoryProfile {
  CString pse;
  CString local;
  CString ldap;
  CString name;
};

extern CStringArray g_profileNames;                // service profile names, list order
extern std::vector<ProfileRecord> g_profiles;      // parallel to g_profileNames
extern CStringArray g_libraryProfileNames;         // the library's directory profiles
extern std::vector<LibraryDirectoryProfile> g_directoryProfiles;  // parallel to it
extern CString g_currentProfile;                   // the open profile; empty: none
extern int g_modified;                             // 1 while changes are unsaved
extern ExtensionSettings g_extensions;             // "SigExt" ... "GZIPArchiveExt"
extern CStringArray g_extExt;                      // "ExtExt"
extern CString g_logPath;                          // "LogPath"; empty: default folder

// Empties the whole state (a new program run; tests).
void ResetConfigurationState();

// The position of name in g_profileNames (exact comparison), or -1.
int ProfilePosition(const CString& name);

// The open profile (g_currentProfile, exact comparison), or null.
ProfileRecord* OpenProfile();
