#pragma once
// Outputs written under a temporary name in their own folder and given their
// final name only once the file is done, by a rename that never replaces: a
// crash (or a failure) never leaves a partial file under an output's name,
// and a name taken while the file was worked on is never overwritten.
//
// The temporary names (".~<final name>.<process><random>.part") are made by this
// module only; the listing never hands them to an operation (an output still
// being written is no input of another rule). Beside each temporary file lies
// its reservation (the same name ending ".lock"), which the writing process
// holds a claim on until the output is published or discarded: a temporary
// file whose reservation can be claimed (or is gone) was left by a process
// that is gone, and is removed when an instance first meets the folder.
// The outputs of one input in one folder share a single reservation instead
// (".~.<process><group>00000000.lock", their temporary names ending in the
// same process and group digits and a number of their own), so that an input
// with many outputs (an archive's entries) costs one reservation, not one
// file and one descriptor per output.
// Worker thread only.

#include <functional>
#include <memory>
#include <vector>

#include "platform/cstring.h"
#include "platform/handles.h"
#include "platform/windows_types.h"
#include "service/core/held_claim.h"

// True for a name this module gives an output while it is being written, the
// reservation beside it, or the work file that the library writes beside it
// (the temporary name, ".~" and 16 lower-case hex digits: block-mode
// encryption writes its message there before the output).
bool IsStagedOutputName(const CString& name);

// The name of the file that a work file of the library was named after (the
// name without ".~" and its 16 hex digits), when name is of that form.
bool LibraryWorkFileOwner(const CString& name, CString& owner);

// True when the process that wrote beside reservation is gone: the
// reservation's claim could be taken (taken holds it while the caller
// removes what was left) or the reservation itself is gone. A live writer
// holds its claim until it is done.
bool WriterIsGone(const CString& reservation, HeldClaim& taken);

// One output under its temporary name. The writer creates the temporary file
// itself (new, as every output is created, and readable by its owner only:
// FILE_ATTRIBUTE_TEMPORARY); what is left of it unpublished goes with the
// object.
class StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile() { Discard(); }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Names the temporary file of final in folder (the folder it is published
  // from; the final name's own folder, or one on the same file system) and
  // takes its reservation.
  void Stage(const CString& final, const CString& folder);
  // The temporary file's path; empty before Stage and once published.
  const CString& Path() const { return path_; }
  bool Written() const;
  // Gives the written temporary file the permission bits (0777 at most) it
  // is to be published with: the writer created it readable by its owner
  // only. FALSE with the last error when they cannot be set.
  BOOL SetPermissions(DWORD permissions) const;
  // Gives the temporary file the name target, never replacing: 0, else the
  // rename's error (183 when target exists) and the file stays staged.
  DWORD Publish(const CString& target);
  // Deletes the temporary file (read-only or not) and the reservation.
  void Discard();

 private:
  void Release();

  CString path_;
  CString reservation_;
  HeldClaim claim_;
};

// Called before written files are given their published names, so that the
// claim record of their input can say so first (HeldClaim::NotePublishing).
// The files of one publishing may come in several calls, all before the
// first of them is published. FALSE (with the last error set) when a note
// could not be written: the publishing then fails before the files it
// announced are given their names.
using PublishingNote = std::function<bool(const std::vector<PublishedFile>& files)>;

// Publishes staged under final, never replacing. A final name taken
// meanwhile is, with renameConflicts ("Rename conf files"), replaced by the name nextName gives
// (which may also rewrite the temporary file for it: 0 or an error that ends
// publishing), up to kConflictNameAttempts further names. note (may be
// null) is told of every name before it is tried. Returns 0 with final the
// name given, or the error with final the last name tried; a name still
// taken fails as the conflict rules fail it (80).
DWORD PublishWithConflictNames(StagedFile& staged, CString& final, bool renameConflicts,
                               const std::function<DWORD(CString& next)>& nextName,
                               const PublishingNote& note = nullptr);

// Deletes a file that leaves its folder, read-only or not, as a rename would
// take it (a read-only file gets its owner's write bit first, never through
// a link, and keeps its bits when it cannot be deleted all the same). FALSE
// with the deletion's error.
BOOL DeleteInputFile(const CString& path);

// The one move step of MOVE, HASH and the error-folder movers: a file given
// a new name, never replacing. On one file system a rename; across file
// systems a whole copy is written under a temporary name in stagingFolder
// (one on the target's file system; the target's own folder when empty), put
// on disk, noted in the claim record of the source (claim, when it has one)
// and given the name; the source is then deleted (read-only or not, as a
// rename would take it). A link is moved as a link, never read. The file is
// never in two places: when the source cannot be deleted, the copy goes
// again.
class StagedMove {
 public:
  // newSet: the copy begins a new set of published files in the record
  // (false when the caller has begun one that the copy completes).
  StagedMove(const CString& source, const CString& stagingFolder, HeldClaim claim = HeldClaim(), bool newSet = true);
  // Gives the file the name target: 0, else the error (183 when target is
  // taken; another name may be tried, and the same copy is given it). Once
  // 0 is returned the source is gone; otherwise it is where it was and
  // nothing of it lies under target.
  DWORD Place(const CString& target);

 private:
  CString source_;
  CString stagingFolder_;
  HeldClaim claim_;
  bool newSet_;
  std::unique_ptr<StagedFile> copy_;  // the whole copy, across file systems, until named
};

// MoveFileW for outputs through StagedMove: FALSE with the last error set as
// MoveFileW sets it.
BOOL MoveFileStaged(const CString& existing, const CString& target, const CString& stagingFolder = CString(),
                    const HeldClaim& claim = HeldClaim(), bool newSet = true);

// Removes from folder the temporary outputs (with the library's work files
// beside them, and their reservations) whose writer is gone; those of live
// processes, this one's included, stay. Returns the temporary and work files
// removed (a reservation alone is not named).
std::vector<CString> RemoveAbandonedStagedOutputs(const CString& folder);

// The outputs of one input file.
class StagedOutputs {
 public:
  // Gives final (folder/stem + suffix, already settled by the conflict
  // rules) a temporary name and returns it: in the final name's folder, or
  // in stagingFolder when given (one on the same file system, so that a
  // crash leaves temporary files only where they are looked for). The writer
  // creates the temporary file itself; nothing is created here but its
  // reservation. stem and suffix are kept for a conflict mark drawn at
  // publishing.
  CString Stage(const CString& final, const CString& stem, const CString& suffix,
                const CString& stagingFolder = CString());
  // Creates the temporary file of the output staged last for this process
  // alone to write (platform::CreatePrivateFile), in place of the writer's
  // own create; it is published by a plain rename. An invalid handle with
  // the last error set on failure.
  HANDLE CreateLastStaged();
  // Ends the writing of that file: gives it permissions (0777 at most;
  // 0xFFFFFFFF: none, LimitPermissions gives them), keeps its identity and
  // size for the publishing note, and closes it. FALSE with the close's
  // error.
  BOOL CloseLastStaged(platform::FileHandle& file, DWORD permissions);

  bool Empty() const;
  // The outputs staged so far, written or not.
  int Count() const;
  // True when final is the name of an output staged so far (a hashed
  // look-up: an archive's entries ask it once each).
  bool Holds(const CString& final) const;

  // Gives every written temporary file the permission bits (0777 at most)
  // it is published with: an output is never more readable than its input.
  // Until then it is as its writer created it, readable by its owner only.
  void LimitPermissions(DWORD permissions) const;

  // Renames every written temporary file to its final name, never replacing.
  // A final name taken meanwhile is, with renameConflicts ("Rename conf files"), replaced by the
  // stem with a new conflict mark (up to the usual number of attempts);
  // otherwise (or when the attempts run out) publishing stops: 0 is not
  // returned, failedName is the final name that could not be given, and the
  // outputs published so far and every temporary file are deleted. An
  // output whose temporary file was never written is left out.
  // note (may be null) is told of every output's name before the first is
  // published, and of each conflict name before it is tried; a note that
  // fails fails the publishing as a name that cannot be given does, with
  // the note's error.
  DWORD Publish(bool renameConflicts, CString& failedName, const PublishingNote& note = nullptr);
  // The folders of the outputs published so far, each once.
  std::vector<CString> PublishedFolders() const;

  // Deletes every temporary file (a failed file leaves none).
  void Discard();

  // The text with every temporary name replaced by its final one: records
  // name outputs by the names they get.
  CString Shown(const CString& text) const;

 private:
  struct State;
  // Shared by the copies of a file's record; a temporary file still
  // unpublished when the last copy goes is deleted.
  std::shared_ptr<State> state_;
};
