#pragma once
// The configuration program's records and its configuration state. The
// records are the ones the service reads (common/), so what this program
// holds is what it writes and what the service runs with; the state below is
// filled by the load, changed by the main dialog's commands and the editors,
// and written by the save.
//
// Every record copies deeply (the editors work on copies and their callers
// assign them back on OK). Window thread only.

#include <vector>

#include "common/config_records.h"
#include "platform/cstring.h"

class EditorDialogs;
struct ORLAX_Context;

// The library context that listed the directory profiles: the library
// expects it to stay open while its listing is used, so the state holds it
// and releases it at the end (or at the next listing).
class LibraryListing {
 public:
  LibraryListing() = default;
  LibraryListing(const LibraryListing&) = delete;
  LibraryListing& operator=(const LibraryListing&) = delete;
  ~LibraryListing();
  // Releases the context held and holds context (null: none).
  void Reset(ORLAX_Context* context = nullptr);

 private:
  ORLAX_Context* context_ = nullptr;
};

// The program's state, one per main dialog (CTrelconDlg owns it and hands it
// to the load, the save, the commands and the editors).
struct TrelconState {
  CStringArray profileNames;                       // service profile names, list order
  std::vector<ProfileRecord> profiles;             // parallel to profileNames
  CStringArray libraryProfileNames;                // the library's directory profiles
  // Parallel to libraryProfileNames: the paths the library reports for each
  // (no context is ever opened through these entries).
  std::vector<DirectoryProfileEntry> directoryProfiles;
  CString currentProfile;                          // the open profile; empty: none
  int modified = 0;                                // 1 while changes are unsaved
  // The base key's values: the extension settings, "ExtExt" and "LogPath"
  // ("Log filesize" is the main dialog's own member).
  BaseSettings baseSettings;
  // Position of the selected row plus 1 in the list the last command used;
  // 0: no selection.
  int selectedPosition = 0;
  // The rule list's column captions in insertion order (column c is entry 8 - c).
  CStringArray ruleColumnNames;
  // The directory-profile position the rule editor last accepted; it lives
  // from one editor to the next.
  int lastDirectoryProfilePosition = 0;
  LibraryListing libraryListing;
  // The profile and rule editors the commands open (editor_dialogs.h; not
  // owned; null: every request is answered as Cancel). Set by whoever makes
  // the main dialog, before it runs: the program its own, a test a script.
  EditorDialogs* editors = nullptr;

  // Empties what the load fills (a new load): the configuration, the open
  // profile and the modified flag; the window's own values stay.
  void ResetConfiguration();
  // The position of name in profileNames (exact comparison), or -1.
  int ProfilePosition(const CString& name) const;
  // The open profile (currentProfile, exact comparison), or null.
  ProfileRecord* OpenProfile();
  const ProfileRecord* OpenProfile() const;
};
