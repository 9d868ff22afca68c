#pragma once
// The service's configuration, read once at start from the registry under
// HKEY_LOCAL_MACHINE\SOFTWARE\TORVAK\qelmservice: the base values shared by
// all profiles, the profile's key, one subkey per rule below its "rules" key
// and one subkey per signer list below each rule. Missing values take their
// defaults; a change takes effect when the instance starts again. The
// service writes nothing here but "LastCrlUpdate" (crl_refresh.h).
//
// Every value's name, type and default is in common/registry_layout.h.
//
// Runs on the worker thread before anything else; reads through a
// RegistryValues of its own (common/registry_values.h), which holds no key
// once the load returns.

#include <vector>

#include "common/config_records.h"
#include "common/registry_layout.h"
#include "common/rule_order.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/journal.h"

// Everything the worker runs with.
struct ServiceConfiguration {
  BaseSettings base;
  CString journalFolder;  // "LogPath", or <common application data>/TORVAK/qelmservice
  JournalSettings journal;  // the profile name and "Log filesize"
  ProfileRecord profile;  // rules in the order in which they run
  int handlerTimeout = 15;  // "Handler timeout": the pause between cycles in seconds, never 0
};

// The outcome of the load. code 0: loaded, unless stopRequested (the
// service's stop event was set during the load, which ended there).
// Otherwise the service stops with code as its service-specific error;
// journalFailed tells that code is the journal writer's (the failure could
// not even be journaled), so that the worker reports the journal failure.
struct ConfigurationLoadResult {
  DWORD code = 0;
  bool journalFailed = false;
  bool stopRequested = false;
};

// Loads the configuration of profileName (the part of the service name
// after its last "-") into config, which should be freshly constructed.
//  - Base key missing: reported to the event log, no journal exists yet.
//  - "LogPath" unreadable: reported to the event log; code is the reader's.
//  - Journal folder not creatable, or not writable (the probe file cannot be
//    created): reported; code is the system error.
//  - From there on every failure (profile, rules, rule or signer-list key
//    missing, an enumeration failing) is journaled with its own code.
//  - A rule is left out, with a record naming its key, when a count of it
//    ("Mask num", "Ext num", a list's "Signer Num", its signer lists) is
//    beyond kMaxCountedTexts (common/registry_layout.h), or when a folder it
//    writes into is its "Path In", by text or on disk (FolderThatIsInput,
//    rule_folders.h); the other rules load. Rules beyond the first 1000
//    are left out with one record.
//  - stopEvent (the service's stop event; null: none) is polled before
//    every rule and signer list.
// Sets config.journal (journal.h) to the profile name and "Log filesize",
// which the load's own records are written with. Failed reads are reported
// by the service's registry reporter (ServiceRegistryReporter,
// event_log_report.h).
ConfigurationLoadResult LoadConfiguration(const CString& profileName, ServiceConfiguration& config,
                                          HANDLE stopEvent = nullptr);
