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

HANDLE HeldClaim::Handle() const { return held_ ? held_->handle : nullptr; }
