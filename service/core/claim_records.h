#pragma once
// Records of the claims this service makes, so that a claim left by a
// process that was killed is known for one of ours whatever the rule's
// masks, and a user's own file that merely ends in ".stp" (a CAD model, a
// file copied from another machine) is never taken for one.
//
// Before an input is renamed to its claimed name, the claim is written down
// in a record of its own in the service's state folder (the common
// application-data folder's TORVAK/qelmservice/Claims: the users who write
// into the rules' folders write nothing there, so a record cannot be
// forged): the claimed name, and the device and index numbers of the file,
// which a file that takes the name later does not share. The process holds
// a claim (platform::ClaimFile) on its record for as long as the input is
// claimed, and a kill ends that claim with the process: a record whose claim
// can be taken belongs to a process that is gone. A record is claimed as
// soon as it is created, so that a record being made is never taken for a
// stale one (one left empty by a kill is only deleted), and it is on disk
// before the claim's rename.
//
// A claimed file is told from a stranger's that takes its name or its
// recycled index number later by its birth time where the file system keeps
// one; where it keeps none, by a random tag the claim writes on the file in
// the trusted namespace (which only a privileged process writes); where
// neither is available (no birth time, a process without the privilege or
// a file system without those attributes), by the device and index numbers
// alone, as before.
//
// Before anything is published for the claimed file (its outputs, its copy
// in the error folder, MOVE's copy to "Path Out 2", the PACK archive that
// holds it), the record says what:
// each file with its identity and size and the name it is about to be
// given, written before the rename. A take-back that finds everything the
// record names whole under its name (the same file, the same size) finishes
// the file: the claimed input is deleted and nothing is done twice. When
// only part of it is there, that part is withdrawn and the file is given
// back to be done again.
//
// When the claimed file itself goes to the output unchanged, last of its
// set (a data file and its signature, after their report), the record says
// so too: a take-back that finds everything else whole, or the other file
// of the pair already moved, finishes the move, so that a kill between the
// two files of a pair never leaves one in the output and the other given
// back. A file that goes to the output unchanged is noted as an input: it
// is the user's own, and a take-back never deletes it.
//
// The record goes with the claim once the claimed file is gone from its
// claimed name (done, moved to the error folder, given back). A claimed file
// that stays under its claimed name (attributes unreadable, the mover could
// not move it) keeps its record, and the next run takes it back.
// Worker thread only.

#include <string>
#include <vector>

#include "platform/cstring.h"
#include "platform/files.h"
#include "service/core/held_claim.h"
#include "platform/windows_types.h"

// The suffix of a claimed input file.
inline constexpr const wchar_t* kClaimedExtension = L"stp";

// The folder of the records, made when missing; empty when it cannot be
// made (claims are then taken without records, as a crash-free run needs
// none).
CString ClaimRecordFolder();

// The record of one claim, from the moment before the rename on.
class ClaimRecord {
 public:
  // Writes the record of the file that fileClaim holds (a claim of
  // platform::ClaimFile), which is about to be renamed to claimed, and puts
  // it on disk before the rename. held: the file keeps its own name (MOVE
  // holds it there), nothing is renamed back at a take-back, and the record
  // goes with the claim whatever becomes of the file. Without a state
  // folder, or when it takes no record, there is none and the claim goes on
  // all the same.
  ClaimRecord(HANDLE fileClaim, const CString& claimed, bool held = false);
  // Deletes the record unless the claimed file still lies under its claimed
  // name; releases the record's claim either way.
  ~ClaimRecord();
  ClaimRecord(const ClaimRecord&) = delete;
  ClaimRecord& operator=(const ClaimRecord&) = delete;

  bool Written() const { return !path_.IsEmpty(); }
  // A new set of files is about to be published for the claimed one: what
  // an earlier set named (outputs withdrawn after a failed publishing) no
  // longer counts.
  void BeginPublishing();
  // Written down before each file (written whole) is given its final name:
  // its identity and size, in one note per call (a set may come in several
  // calls, all before the first of its files is published). A later note of
  // the same file, or of the same final name, takes the place of an
  // earlier one. A file that is not there (never written) is left out.
  // FALSE with the last error set when the note could not be written (what
  // was written of it is cut off again): nothing of the set may then be
  // published, since a take-back that finds every note written so far whole
  // would take the set for complete. TRUE without a record.
  bool NotePublishing(const std::vector<PublishedFile>& files);
  // Written once every file noted is published: from then on the claimed
  // file is done, whatever becomes of its outputs (a user may take them
  // away before its input is deleted), and a take-back only deletes it.
  void NotePublished();
  // Written with a set (before its first file is published) in which the
  // claimed file itself, unchanged, is noted and given its name after
  // everything else the set names: a take-back that finds all the rest
  // published whole, or another input of the set already moved (its
  // outputs were published before), gives the claimed file that name too,
  // in place of withdrawing the rest. Not for a held file. False when it
  // could not be written: the moves must not begin.
  bool NoteMovedLast();

 private:
  bool Append(const std::string& bytes);

  CString path_;
  CString claimed_;
  platform::FileIdentity identity_;
  bool held_ = false;
  bool beginPending_ = false;
  CString noteFolder_;  // the folder the notes written last are in
  HANDLE lock_ = INVALID_HANDLE_VALUE;
};

// A claim taken back from a process that is gone.
struct TakenBackClaim {
  CString claimed;   // the claimed file found
  CString original;  // its own name: claimed without the claim suffix
  CString restored;  // the name it was given, or the one it could not be given
  bool renamed = false;  // its own name was taken meanwhile: restored is a conflict-free name beside it
  DWORD error = 0;       // 0: given back; else the rename's error (the record stays for the next run)
  // Everything the record named was found published whole: the claimed
  // file was deleted (finished) in place of being given back, or could not
  // be (error set; the record stays).
  bool finished = false;
  std::vector<CString> published;  // what was found published, for the record
  std::vector<CString> withdrawn;  // published in part: what was deleted before the give-back
  // finished by the claimed file's own move (NoteMovedLast): the name it
  // was given, or the one it could not be given (error set; the record
  // stays).
  CString movedTo;
  bool held = false;               // the file kept its own name (MOVE): nothing to give back
};

// Takes back the claims of folder (the claimed files in it, whatever their
// names) whose process is gone: a claimed file that is still the file that
// was claimed is finished when everything its record names was published
// whole, else gets its own name back, or, when a new file has taken that
// name meanwhile, a conflict-free name made from it, so that neither blocks
// the other. A record whose claimed file is gone or is another file now
// (replaced, a link) is only deleted. Records of live processes, this one's
// included, and of other folders are left alone. Returns what was renamed
// or could not be.
std::vector<TakenBackClaim> TakeBackAbandonedClaims(const CString& folder);
