#pragma once
// Signing pieces shared by the block forms (cms_sign.cpp) and the memory
// streams (streams.cpp). Each returns 0 or the library's code, with the
// failure on ctx's error stack.

#include <string>

#include "qelm/cms_common.h"

namespace qelm {

// A new attached message set up for streaming with the context's key: the
// caller writes the content through BIO_new_CMS.
uint32_t NewStreamingSignature(Context& ctx, uint32_t signFlags, CmsPtr* cms);
// An attached signature of content, written to output (library memory).
uint32_t SignBlobAttached(Context& ctx, uint32_t signFlags, const DataBlob* content, Encoding encoding,
                          DataBlob* output);
// One more signer over a content digest, added to existing (null: a new
// detached message), the message written to output (library memory).
uint32_t SignDigestDetached(Context& ctx, uint32_t signFlags, CMS_ContentInfo* existing, const std::string& digest,
                            Encoding encoding, DataBlob* output);
// Reads a detached signed message from blob: ORLAX_E_NOT_SIGNED_MESSAGE or
// ORLAX_E_WRONG_SIGNATURE_FORM when it is no detached signature.
uint32_t LoadDetachedBlob(Context& ctx, const DataBlob* blob, CmsPtr* cms);
// The message digest of what data gives, read to its end; what names the
// input in an error-stack line.
uint32_t DigestOf(Context& ctx, BIO* data, const std::string& what, std::string* digest);

}  // namespace qelm
