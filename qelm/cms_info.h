#pragma once
// The outline of a CMS message (type, encoding, counts, algorithms).

#include <string>
#include <string_view>

#include "qelm/ber.h"
#include "qelm/internal.h"

namespace qelm {

struct MessageOutline {
  uint32_t type = 0;            // ORLAX_MSG_SIGNED / ORLAX_MSG_ENVELOPED
  bool stream = false;          // outer indefinite length
  bool detached = false;
  uint32_t signatureCount = 0;
  uint32_t recipientCount = 0;
  uint64_t contentLength = 0;
  std::string contentType;
  std::string cipherOid;
};

// 0, NOT_SIGNED_MESSAGE (not a signed or enveloped CMS message) or
// BAD_MESSAGE (one that is damaged); no stack line.
uint32_t ReadOutline(BerReader& reader, MessageOutline* out);
// The same with a stack line on failure.
uint32_t ReadOutlineFile(Context* context, const std::string& path, MessageOutline* out);
uint32_t ReadOutlineMemory(Context* context, std::string_view bytes, MessageOutline* out);
void FillMessageInfo(const MessageOutline& outline, MessageInfo* info);

}  // namespace qelm
