#pragma once
// A claim (platform::ClaimFile) that this process holds on a file: on an
// input while it is worked on, on the reservation of an output being
// written, on a scratch file, on a record being taken back. Copies share one
// claim, which the last copy to go closes; an empty HeldClaim holds nothing.
// Worker thread only.

#include <memory>
#include <vector>

#include "platform/cstring.h"
#include "platform/files.h"
#include "platform/windows_types.h"

// A written file about to be given its published name.
struct PublishedFile {
  PublishedFile(const CString& where, const CString& name) : file(where), final(name) {}

  CString file;   // where it lies now
  CString final;  // the name it is about to be given
  // Its identity and size when its writer took them (else they are read
  // from file).
  bool identified = false;
  platform::FileIdentity identity;
  // An input that goes to the output unchanged (a signature beside its data
  // file): the user's own file, not a copy made from it, so a take-back
  // never deletes it as a part of a result published in part.
  bool input = false;
};

class HeldClaim {
 public:
  HeldClaim() = default;
  // Holds claim; INVALID_HANDLE_VALUE holds nothing.
  explicit HeldClaim(HANDLE claim);
  // Holds the claim of an input that is about to be renamed to claimed,
  // written down first (ClaimRecord) so that it is known for ours after a
  // crash. When the last copy goes, the record goes first, then the claim.
  static HeldClaim Recorded(HANDLE claim, const CString& claimed);
  // Holds the claim of a file that keeps its own name (MOVE holds it so):
  // its record is written only once something is published for it, as
  // only that needs one after a crash.
  static HeldClaim Holding(HANDLE claim, const CString& path);

  // The claim record's notes of what is published for the claimed file
  // (ClaimRecord::BeginPublishing, NotePublishing, NotePublished,
  // NoteMovedLast); nothing
  // without a record. Copies share them. NotePublishing: FALSE with the last
  // error set when the note could not be written, and nothing of the set
  // may then be published.
  void BeginPublishing() const;
  bool NotePublishing(const std::vector<PublishedFile>& files) const;
  void NotePublished() const;
  // False when the record could not say so (with a record only).
  bool NoteMovedLast() const;

  explicit operator bool() const { return held_ != nullptr; }
  // The claim's handle, as the layer's calls on the claimed file want it;
  // null when nothing is held.
  HANDLE Handle() const;
  // Lets this copy go (the claim closes when it was the last).
  void Release() { held_.reset(); }

 private:
  struct Held;
  std::shared_ptr<Held> held_;
};
