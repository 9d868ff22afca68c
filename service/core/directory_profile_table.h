#pragma once
// The library contexts the worker opens for its run: one per distinct
// directory-profile name its rules use ("ZCSProfile" of every rule,
// "ResignProfile" of every RESG rule that has one), in the order of first
// use; the names are unique. The configuration records (common/
// config_records.h) keep only the stored paths; the contexts are the
// worker's own. The worker builds the table (BuildDirectoryProfileTable),
// opens and closes every context; operations receive it by address and only
// read it.

#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"

// A directory profile with the paths its context is opened on and the
// context once opened. Copying one copies the handle and destroying one never
// closes it: the worker that opened the contexts closes them when it stops.
struct DirectoryProfileContext {
  CString name;   // the directory-profile name
  CString pse;    // "PSE": the owner's key and certificate
  CString local;  // "LOCAL": the local certificate directory
  CString ldap;   // "LDAP": the network directory address
  LibraryContext context = nullptr;  // null until opened; owned by the worker
};

using DirectoryProfileTable = std::vector<DirectoryProfileContext>;
