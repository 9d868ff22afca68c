#pragma once
// Which journals the monitor watches: the journal pairs found in the journal
// folder when it starts. A profile whose operations journal and errors
// journal both have files there is one pair; profiles whose journals appear
// later are found at the next start.

#include <vector>

#include "monitor/journal_poller.h"
#include "platform/cstring.h"

// The pattern that lists every journal file of the folder.
CString JournalFolderPattern(const CString& folder);

// The distinct journal names of the listed file names, in order of first
// appearance: of each name with a blank, the text after its first blank
// without a final ".txt" (exact, case-sensitive comparison).
std::vector<CString> JournalNames(const std::vector<CString>& files);

// One pair {N, N + " - errors"} for every name N without "- errors" whose
// errors journal is among the names, in order.
std::vector<JournalPair> JournalPairs(const std::vector<CString>& names);
