#pragma once
// Encryption and decryption shared by the file, block and stream forms.

#include "qelm/cms_common.h"

namespace qelm {

// A partial enveloped message for the recipients of params.
uint32_t MakeEnvelope(Context& ctx, const EncryptParams* params, bool stream, CmsPtr* cms);
// Encrypts everything in to out (DER, or BER streamed in pieces).
uint32_t EncryptBio(Context& ctx, const EncryptParams* params, BIO* in, BIO* out, Encoding encoding,
                    const std::string& what, bool emptyContent);
// Frees a BIO chain down to (not including) a BIO the caller owns.
struct ChainFree {
  BIO* keep = nullptr;
  void operator()(BIO* chain) const {
    while (chain != nullptr && chain != keep) {
      BIO* next = BIO_pop(chain);
      BIO_free(chain);
      chain = next;
    }
  }
};

// A decryption under way: read the plaintext from chain.
struct Decryption {
  std::unique_ptr<BIO, ChainFree> chain;
  BIO* cipherBio = nullptr;
  EVP_CIPHER_CTX* cipherCtx = nullptr;
  const EVP_CIPHER* cipher = nullptr;
};

// Opens the content key with the context's key and sets up the content
// cipher over the message's content, or detachedContent (not owned).
// NOT_ENVELOPED_MESSAGE, PSE_NOT_FOUND, NOT_RECIPIENT, DECRYPT_FAILED.
uint32_t StartDecryption(Context& ctx, CMS_ContentInfo* cms, BIO* detachedContent, const std::string& what,
                         Decryption* d);
// Bytes of the MAC a content cipher carries after the content (0: none).
size_t MacLengthOf(const EVP_CIPHER* cipher);
// Unprotected attributes (the [1] element an enveloped message ends with)
// holding an all-zero MAC of length bytes: they let a decryption start
// before the message's own MAC, which follows the content, has arrived.
std::string PlaceholderMacAttributes(size_t length);
// Makes d's cipher compare its MAC, in its final step, with the one in
// unprotected (the message's [1] element, empty when it has none).
// DECRYPT_FAILED when that holds no MAC of the cipher's length.
uint32_t ExpectMac(Context& ctx, Decryption& d, std::string_view unprotected, const std::string& what);
// After the whole plaintext was read: DECRYPT_FAILED when the cipher's final
// step failed (a MAC that does not match); fills result when given.
uint32_t FinishDecryption(Context& ctx, Decryption& d, DecryptResult* result, const std::string& what);

// Decrypts a loaded enveloped message to out; fills result when given. The
// encrypted content comes from the message, or from detachedContent (not
// owned) when the message was split.
uint32_t DecryptLoaded(Context& ctx, CMS_ContentInfo* cms, BIO* out, DecryptResult* result, const std::string& what,
                       BIO* detachedContent = nullptr);

}  // namespace qelm
