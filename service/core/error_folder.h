#pragma once
// The error-folder movers: a failed input leaves the input folder for the
// rule's error folder, under a conflict-free name when its own is taken
// there. Every renaming and every failure of a move is written to the
// errors journal as a move record; a file that cannot be moved stays claimed
// (under its ".stp" name) in the input folder and the record says so.
//
// Only the worker thread calls these.

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/held_claim.h"
#include "service/core/journal.h"

// Moves source to target (never replacing anything). When target is taken,
// up to 100 conflict-free names made from target's bare name are tried in
// target's folder, and target is set to the name used. partialOutput, when
// not empty and existing, is deleted first (a failed deletion is journaled
// and the move goes on).
//
// Returns 0 once the file is moved or a failure to move it is journaled;
// otherwise the non-zero result of WriteJournal, which is fatal. *moved (may
// be null) tells whether the file now lies in the error folder under target;
// when it is false, the file is still at source. claim, the source's claim
// when it has one, notes a copy to another file system in its record before
// the copy is named (StagedMove).
DWORD MoveToErrorFolder(const CString& journalFolder, JournalFiles& files, const CString& source,
                        CString& target, const CString& partialOutput, bool* moved = nullptr,
                        const HeldClaim& claim = HeldClaim());

// One file of a pair on its way to the error folder.
struct ErrorFolderMove {
  CString source = CString();         // its claimed name in the input folder
  CString target = CString();         // its name in the error folder; the name it was given once moved
  CString partialOutput = CString();  // an output of the failed file, deleted first (may be empty)
  bool moved = false;                 // set: the file now lies in the error folder under target
  HeldClaim claim = HeldClaim();      // its claim, as MoveToErrorFolder takes one (may be empty)
};

// Moves a data file and its companion, its detached signature, so that they
// keep one pairing in the error folder: the companion's name is the data
// file's name followed by the companion's own suffix (companion.target =
// data.target + ".p7d" as the caller gives them). When either name is taken,
// both files take the same mark before the data name's first ".".
// companion.source may be empty (only the data file is handled) or missing.
// When the data file cannot be moved, the companion stays claimed as well.
// Returns as MoveToErrorFolder (the first fatal writer result); each move's
// `moved` tells where its file is.
DWORD MovePairToErrorFolder(const CString& journalFolder, JournalFiles& files, ErrorFolderMove& data,
                            ErrorFolderMove& companion);
