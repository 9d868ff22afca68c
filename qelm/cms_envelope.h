#pragma once
// Encryption and decryption shared by the file, block and stream forms.

#include "qelm/cms_common.h"

namespace qelm {

// A partial enveloped message for the recipients of params.
uint32_t MakeEnvelope(Context& ctx, const EncryptParams* params, bool stream, CmsPtr* cms);
// Encrypts everything in to out (DER, or BER streamed in pieces).
uint32_t EncryptBio(Context& ctx, const EncryptParams* params, BIO* in, BIO* out, Encoding encoding,
                    const std::string& what, bool emptyContent);
// Decrypts a loaded enveloped message to out; fills result when given. The
// encrypted content comes from the message, or from detachedContent (not
// owned) when the message was split.
uint32_t DecryptLoaded(Context& ctx, CMS_ContentInfo* cms, BIO* out, DecryptResult* result, const std::string& what,
                       BIO* detachedContent = nullptr);

}  // namespace qelm
