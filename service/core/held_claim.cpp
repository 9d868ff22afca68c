#include "service/core/held_claim.h"

#include <optional>

#include "platform/handles.h"
#include "service/core/claim_records.h"

struct HeldClaim::Held {
  explicit Held(HANDLE claim) : handle(claim) {}
  ~Held() {
    record.reset();  // the record goes while the claim still holds the file
    CloseHandle(handle);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  HANDLE handle;
  CString heldPath;  // a file held under its own name: its record is written at its first publishing
  std::optional<ClaimRecord> record;
};

HeldClaim::HeldClaim(HANDLE claim) {
  if (claim != INVALID_HANDLE_VALUE) held_ = std::make_shared<Held>(claim);
}

HeldClaim HeldClaim::Recorded(HANDLE claim, const CString& claimed) {
  HeldClaim held(claim);
  if (held) held.held_->record.emplace(claim, claimed);
  return held;
}

HeldClaim HeldClaim::Holding(HANDLE claim, const CString& path) {
  HeldClaim held(claim);
  if (held) held.held_->heldPath = path;
  return held;
}

void HeldClaim::BeginPublishing() const {
  if (!held_) return;
  if (!held_->record && !held_->heldPath.IsEmpty()) held_->record.emplace(held_->handle, held_->heldPath, true);
  if (held_->record) held_->record->BeginPublishing();
}

bool HeldClaim::NotePublishing(const std::vector<PublishedFile>& files) const {
  return !held_ || !held_->record || held_->record->NotePublishing(files);
}

void HeldClaim::NotePublished() const {
  if (held_ && held_->record) held_->record->NotePublished();
}

bool HeldClaim::NoteMovedLast() const {
  return !held_ || !held_->record || held_->record->NoteMovedLast();
}

HANDLE HeldClaim::Handle() const { return held_ ? held_->handle : nullptr; }
