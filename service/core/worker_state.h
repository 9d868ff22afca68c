#pragma once
// What the service's worker keeps from one cycle to the next, apart from the
// configuration it loaded (common/config_records.h, which holds only what is
// stored): its stop event, the profile's journal files (their settings and
// current names), the records written once per run and, per rule, the
// records already written about its folders, PACK's wait and the positions
// of its directory profiles in the worker's table.
// The worker owns one for its run and hands it down: an operation call gets
// it and its rule's state, a FilePipeline works with it.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/windows_types.h"
#include "service/core/journal.h"

struct RuleState {
  bool folderErrorReported = false;     // after a missing-folder record
  SYSTEMTIME lastFolderError{};         // read only once folderErrorReported
  bool foldersOverlapReported = false;  // after a record that an output folder is "Path In"
  std::int64_t packWaitStart = 0;       // FILETIME value PACK began waiting at; 0 none
  int tableIndex = 0;                   // position of "ZCSProfile" in the DirectoryProfileTable
  int resignTableIndex = 0;             // position of "ResignProfile" in the DirectoryProfileTable
};

struct WorkerState {
  HANDLE stopEvent = nullptr;  // the service's stop event, polled before every file (null: none)
  JournalFiles journalFiles;
  std::vector<RuleState> rules;  // parallel to the profile's rules
  // The records written once per run (the pipeline's "code|path" keys): a
  // name that cannot be claimed, a claim another instance holds, a folder
  // cleaned up after a killed process. Lives as long as the run.
  std::set<std::wstring> writtenOnce;
};
