#pragma once
// Verification shared by the file, block and stream forms.

#include "qelm/cms_common.h"

namespace qelm {

// Checks every signer of cms against the digests of its content; fills result
// (one entry per signer) and pushes a stack line per failing signer. 0 or the
// first failing status. Unless verifyFlags (VerifyParams.flags) or the
// context say not to, the certificate of a verified signer that LOCAL lacks
// is stored there ("signer-<hash>.cer").
uint32_t VerifySigners(Context& ctx, CMS_ContentInfo* cms, const ContentDigests& digests, VerifyResult* result,
                       uint32_t verifyFlags);

// Reads the content (attached, or detachedData) through the digests, writing
// it to contentOut when given, then checks the signers.
uint32_t VerifyLoaded(Context& ctx, CMS_ContentInfo* cms, BIO* detachedData, BIO* contentOut, VerifyResult* result,
                      bool* writeFailed, uint32_t verifyFlags);

}  // namespace qelm
