// Signing: new attached and detached signatures, signatures added to an
// existing message, and the removal of signatures (SignDetach).

#include "qelm/cms_sign.h"

#include <cstring>

#include "qelm/cms_common.h"
#include "qelm/cms_info.h"
#include "qelm/cms_split.h"

namespace qelm {

// Shared with the memory streams.
// Digest (GOST R 34.11-2012 256) of everything a BIO gives.
uint32_t DigestOf(Context& ctx, BIO* data, const std::string& what, std::string* digest) {
  ContentDigests digests;
  if (!digests.Add(NID_id_GostR3411_2012_256)) return Fail(&ctx, ORLAX_E_ENGINE, "md_gost12_256");
  bool writeFailed = false;
  if (!PumpThrough(data, &digests, nullptr, &writeFailed)) return Fail(&ctx, ORLAX_E_FILE_OPEN, what);
  digests.Finish();
  const std::string* value = digests.Get(NID_id_GostR3411_2012_256);
  if (value == nullptr) return Fail(&ctx, ORLAX_E_INTERNAL, "digest");
  *digest = *value;
  return 0;
}

namespace {

// What an input of attached signing is: data to sign, an attached signed
// message that gets one more signature, or a detached one, which cannot.
// Something that is no well-formed signed message is data.
enum class SignInput { kData, kAttached, kDetached };

SignInput ClassifySignInput(BerReader& reader) {
  MessageOutline outline;
  if (ReadOutline(reader, &outline) != 0 || outline.type != ORLAX_MSG_SIGNED) return SignInput::kData;
  return outline.detached ? SignInput::kDetached : SignInput::kAttached;
}

unsigned int NewSignatureFlags(uint32_t signFlags, bool detached) {
  unsigned int flags = CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL;
  if (detached) flags |= CMS_DETACHED;
  if ((signFlags & ORLAX_SIGN_ADD_CERT) == 0) flags |= CMS_NOCERTS;
  return flags;
}

// A signature every verifier would refuse is not made.
uint32_t NeedKey(Context& ctx) { return CheckSigningCert(ctx); }

// A signed message with the context's signer, not yet finished.
uint32_t StartSignature(Context& ctx, unsigned int flags, CmsPtr* cms) {
  if (uint32_t code = NeedKey(ctx); code != 0) return code;
  cms->reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (*cms == nullptr) return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_sign");
  if (CMS_add1_signer(cms->get(), ctx.cert.get(), ctx.key.get(), GostDigest256(), flags) == nullptr) {
    return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_add1_signer");
  }
  return 0;
}

// A fresh signed message over data, written to out.
uint32_t SignNew(Context& ctx, uint32_t signFlags, BIO* data, bool detached, Encoding encoding, BIO* out,
                 const std::string& what, bool emptyContent = false) {
  unsigned int flags = NewSignatureFlags(signFlags, detached);
  CmsPtr cms;
  if (uint32_t code = StartSignature(ctx, flags, &cms); code != 0) return code;
  // OpenSSL's streaming writer fails on an empty content; an empty content
  // needs no streaming anyway.
  if (!detached && encoding == Encoding::kIndefinite && !emptyContent) {
    // The content passes through in pieces: constant memory for any size.
    if (i2d_CMS_bio_stream(out, cms.get(), data, flags | CMS_STREAM) != 1) {
      return Fail(&ctx, ORLAX_E_FILE_WRITE, what);
    }
    return 0;
  }
  // A detached signature reads the data once through the digest.
  if (CMS_final(cms.get(), data, nullptr, flags) != 1) return Fail(&ctx, ORLAX_E_FILE_OPEN, what);
  return WriteCms(&ctx, cms.get(), encoding, out, what);
}

// The content of an attached signed message held in memory.
bool AttachedContent(CMS_ContentInfo* cms, const unsigned char** data, size_t* length) {
  ASN1_OCTET_STRING** content = CMS_get0_content(cms);
  if (content == nullptr || *content == nullptr) return false;
  *data = ASN1_STRING_get0_data(*content);
  *length = static_cast<size_t>(ASN1_STRING_length(*content));
  return true;
}

// One more signature on an attached message: the digest of its content.
uint32_t AddToAttached(Context& ctx, uint32_t signFlags, CMS_ContentInfo* cms) {
  if (uint32_t code = NeedKey(ctx); code != 0) return code;
  const unsigned char* data = nullptr;
  size_t length = 0;
  if (!AttachedContent(cms, &data, &length)) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, "content");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLength = 0;
  if (EVP_Digest(data, length, md, &mdLength, GostDigest256(), nullptr) != 1) {
    return Fail(&ctx, ORLAX_E_ENGINE, "md_gost12_256");
  }
  return AddSignerWithDigest(ctx, cms, std::string(reinterpret_cast<char*>(md), mdLength), signFlags);
}

// A shell read from a split file.
uint32_t LoadShell(Context& ctx, const SplitMessage& split, const std::string& what, CmsPtr* cms) {
  BioPtr shell(BIO_new_mem_buf(split.shell.data(), static_cast<int>(split.shell.size())));
  if (shell == nullptr) throw std::bad_alloc();
  if (uint32_t code = LoadCms(&ctx, shell.get(), what, cms); code != 0) return code;
  if (!IsSigned(cms->get())) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, what);
  return 0;
}

// A fresh attached message over a file, as DER: the signature is made as a
// detached one while the file is read once, and the message is written with
// the file's bytes put in on a second reading. The DER is the same as that of
// the message built whole in memory, and no more than a piece of the file is
// ever held.
uint32_t SignNewFileDer(Context& ctx, uint32_t signFlags, BIO* data, const std::string& in, BIO* out) {
  unsigned int flags = NewSignatureFlags(signFlags, true);
  CmsPtr cms;
  if (uint32_t code = StartSignature(ctx, flags, &cms); code != 0) return code;
  if (CMS_final(cms.get(), data, nullptr, flags) != 1) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  const int64_t size = FileSize(in);
  FilePtr file(OpenInputStream(in));
  if (file == nullptr || size < 0) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  return JoinToBioDer(&ctx, cms.get(), file.get(), ContentPlace::Raw(0, static_cast<uint64_t>(size)), out, in);
}

// One more signature on an attached message of any size: the content is
// digested and copied in pieces, never held whole.
uint32_t AddToAttachedFile(Context& ctx, uint32_t signFlags, const std::string& in, const std::string& out,
                           Encoding encoding) {
  SplitMessage split;
  if (uint32_t code = SplitFile(&ctx, in, &split); code != 0) return code;
  CmsPtr cms;
  if (uint32_t code = LoadShell(ctx, split, in, &cms); code != 0) return code;
  FilePtr file(OpenInputStream(in));
  if (file == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  BioPtr content = ContentBio(file.get(), split.content);
  std::string digest;
  if (uint32_t code = DigestOf(ctx, content.get(), in, &digest); code != 0) return code;
  if (uint32_t code = AddSignerWithDigest(ctx, cms.get(), digest, signFlags); code != 0) return code;
  OutputFile output(out);
  BIO* bio = output.Open();
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, out);
  const uint32_t joined = encoding == Encoding::kDer ? JoinToBioDer(&ctx, cms.get(), file.get(), split.content, bio, out)
                                                     : JoinToBio(&ctx, cms.get(), file.get(), split.content, bio, out);
  if (joined != 0) return joined;
  if (!output.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, out);
  return 0;
}

uint32_t AttSignFile(Context& ctx, const SignParams* params, const char* input, const char* output,
                     Encoding encoding) {
  if (params == nullptr || input == nullptr || output == nullptr) {
    return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
  }
  const std::string in = DiskPath(input), out = DiskPath(output);
  if (uint32_t code = NeedKey(ctx); code != 0) return code;
  // An input that already is an attached signed message gets one more signature.
  std::FILE* probe = OpenInputStream(in);
  if (probe == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  BerReader reader(probe);
  const SignInput kind = ClassifySignInput(reader);
  std::fclose(probe);
  if (kind == SignInput::kDetached) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, in);
  if (kind == SignInput::kAttached) {
    return AddToAttachedFile(ctx, params->flags, in, out, encoding);
  }
  BioPtr data = OpenInput(in);
  if (data == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  OutputFile file(out);
  BIO* bio = file.Open();
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, out);
  const bool empty = FileSize(in) == 0;
  if (uint32_t code = encoding == Encoding::kDer
                          ? SignNewFileDer(ctx, params->flags, data.get(), in, bio)
                          : SignNew(ctx, params->flags, data.get(), false, encoding, bio, in, empty);
      code != 0) {
    return code;
  }
  if (!file.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, out);
  return 0;
}

// A detached message to add to: it must be a signed message without content.
uint32_t LoadDetached(Context& ctx, CmsPtr* cms, uint32_t loaded) {
  if (loaded != 0) return loaded;
  if (!IsSigned(cms->get())) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, "detached signature");
  if (CMS_is_detached(cms->get()) != 1) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, "detached signature");
  return 0;
}

uint32_t DetSignFile(Context& ctx, const SignParams* params, const char* data, const char* existing,
                     const char* output, Encoding encoding) {
  if (params == nullptr || data == nullptr || output == nullptr) {
    return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
  }
  const std::string in = DiskPath(data), out = DiskPath(output);
  if (uint32_t code = NeedKey(ctx); code != 0) return code;
  BioPtr bio = OpenInput(in);
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  if (existing != nullptr && *existing != '\0') {
    const std::string sigPath = DiskPath(existing);
    CmsPtr cms;
    if (uint32_t code = LoadDetached(ctx, &cms, LoadCmsFile(&ctx, sigPath, &cms)); code != 0) return code;
    std::string digest;
    if (uint32_t code = DigestOf(ctx, bio.get(), in, &digest); code != 0) return code;
    if (uint32_t code = AddSignerWithDigest(ctx, cms.get(), digest, params->flags); code != 0) return code;
    return WriteCmsFile(&ctx, cms.get(), encoding, out);
  }
  OutputFile file(out);
  BIO* sink = file.Open();
  if (sink == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, out);
  if (uint32_t code = SignNew(ctx, params->flags, bio.get(), true, encoding, sink, in); code != 0) return code;
  if (!file.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, out);
  return 0;
}

// The content is copied out in pieces and the shell is the detached
// signature, so a message of any size needs little memory.
uint32_t SignDetachFile(Context& ctx, const char* input, const char* contentOutput, const char* signaturesOutput,
                        Encoding encoding) {
  if (input == nullptr || contentOutput == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignDetach");
  const std::string in = DiskPath(input), content = DiskPath(contentOutput);
  SplitMessage split;
  if (uint32_t code = SplitFile(&ctx, in, &split); code != 0) return code;
  CmsPtr cms;
  if (uint32_t code = LoadShell(ctx, split, in, &cms); code != 0) return code;
  if (!split.hasContent) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, in);
  FilePtr file(OpenInputStream(in));
  if (file == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  OutputFile contentFile(content);
  BIO* out = contentFile.Open();
  if (out == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, content);
  BioPtr source = ContentBio(file.get(), split.content);
  bool writeFailed = false;
  if (!PumpThrough(source.get(), nullptr, out, &writeFailed)) {
    return Fail(&ctx, writeFailed ? ORLAX_E_FILE_WRITE : ORLAX_E_BAD_MESSAGE, writeFailed ? content : in);
  }
  const bool wantSignatures = signaturesOutput != nullptr && *signaturesOutput != '\0';
  OutputFile signatureFile(wantSignatures ? DiskPath(signaturesOutput) : std::string());
  if (wantSignatures) {
    BIO* sig = signatureFile.Open();
    if (sig == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, signatureFile.path());
    if (uint32_t code = WriteCms(&ctx, cms.get(), encoding, sig, signatureFile.path()); code != 0) return code;
  }
  // Both files are complete before either is kept.
  if (!contentFile.Flush()) return Fail(&ctx, ORLAX_E_FILE_WRITE, content);
  if (wantSignatures && !signatureFile.Flush()) return Fail(&ctx, ORLAX_E_FILE_WRITE, signatureFile.path());
  contentFile.Keep();
  if (wantSignatures) signatureFile.Keep();
  return 0;
}

}  // namespace

uint32_t NewStreamingSignature(Context& ctx, uint32_t signFlags, CmsPtr* cms) {
  if (uint32_t code = NeedKey(ctx); code != 0) return code;
  unsigned int flags = NewSignatureFlags(signFlags, false) | CMS_STREAM;
  cms->reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (*cms == nullptr) return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_sign");
  if (CMS_add1_signer(cms->get(), ctx.cert.get(), ctx.key.get(), GostDigest256(), flags) == nullptr) {
    return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_add1_signer");
  }
  return 0;
}

uint32_t SignBlobAttached(Context& ctx, uint32_t signFlags, const DataBlob* content, Encoding encoding,
                          DataBlob* output) {
  BioPtr data;
  if (!BlobToBio(content, &data)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (mem == nullptr) throw std::bad_alloc();
  if (uint32_t code = SignNew(ctx, signFlags, data.get(), false, encoding, mem.get(), "DataBlob", content->length == 0);
      code != 0) {
    return code;
  }
  return BioToBlob(&ctx, mem.get(), output);
}

uint32_t SignDigestDetached(Context& ctx, uint32_t signFlags, CMS_ContentInfo* existing, const std::string& digest,
                            Encoding encoding, DataBlob* output) {
  CmsPtr fresh;
  CMS_ContentInfo* cms = existing;
  if (cms == nullptr) {
    fresh.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_DETACHED | CMS_BINARY));
    if (fresh == nullptr) return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_sign");
    cms = fresh.get();
  }
  if (uint32_t code = AddSignerWithDigest(ctx, cms, digest, signFlags); code != 0) return code;
  return WriteCmsBlob(&ctx, cms, encoding, output);
}

uint32_t LoadDetachedBlob(Context& ctx, const DataBlob* blob, CmsPtr* cms) {
  return LoadDetached(ctx, cms, LoadCmsBlob(&ctx, blob, cms));
}

uint32_t DigestBlob(Context& ctx, const DataBlob* blob, std::string* digest) {
  BioPtr data;
  if (!BlobToBio(blob, &data)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
  return DigestOf(ctx, data.get(), "DataBlob", digest);
}

}  // namespace qelm

using namespace qelm;

extern "C" {

ORLAX_API uint32_t ORLAX_CmsBlkAttSignFile(LibraryContext context, const SignParams* params, const char* input,
                                           const char* output) {
  return WithContext("ORLAX_CmsBlkAttSignFile", context,
                     [&](Context& ctx) { return AttSignFile(ctx, params, input, output, Encoding::kDer); });
}

ORLAX_API uint32_t ORLAX_CmsStrAttSignFile(LibraryContext context, const SignParams* params, const char* input,
                                           const char* output) {
  return WithContext("ORLAX_CmsStrAttSignFile", context,
                     [&](Context& ctx) { return AttSignFile(ctx, params, input, output, Encoding::kIndefinite); });
}

ORLAX_API uint32_t ORLAX_CmsBlkDetSignFile(LibraryContext context, const SignParams* params, const char* data,
                                           const char* existingSignature, const char* output) {
  return WithContext("ORLAX_CmsBlkDetSignFile", context, [&](Context& ctx) {
    return DetSignFile(ctx, params, data, existingSignature, output, Encoding::kDer);
  });
}

ORLAX_API uint32_t ORLAX_CmsStrDetSignFile(LibraryContext context, const SignParams* params, const char* data,
                                           const char* existingSignature, const char* output) {
  return WithContext("ORLAX_CmsStrDetSignFile", context, [&](Context& ctx) {
    return DetSignFile(ctx, params, data, existingSignature, output, Encoding::kIndefinite);
  });
}

ORLAX_API uint32_t ORLAX_CmsBlkAttSignMem(LibraryContext context, const SignParams* params, const DataBlob* content,
                                          DataBlob* output) {
  return WithContext("ORLAX_CmsBlkAttSignMem", context, [&](Context& ctx) -> uint32_t {
    if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
    *output = {};
    if (content == nullptr || (content->length > 0 && content->data == nullptr)) {
      return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
    }
    // A message that is already signed (attached) gets one more signature,
    // as the file forms give it.
    BerReader reader(std::string_view(reinterpret_cast<const char*>(content->data), content->length));
    switch (ClassifySignInput(reader)) {
      case SignInput::kDetached:
        return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, "DataBlob");
      case SignInput::kAttached: {
        if (uint32_t code = NeedKey(ctx); code != 0) return code;
        CmsPtr cms;
        if (uint32_t code = LoadCmsBlob(&ctx, content, &cms); code != 0) return code;
        if (uint32_t code = AddToAttached(ctx, params->flags, cms.get()); code != 0) return code;
        return WriteCmsBlob(&ctx, cms.get(), Encoding::kDer, output);
      }
      case SignInput::kData:
        break;
    }
    return SignBlobAttached(ctx, params->flags, content, Encoding::kDer, output);
  });
}

ORLAX_API uint32_t ORLAX_CmsBlkDetSignMem(LibraryContext context, const SignParams* params, const DataBlob* content,
                                          const DataBlob* existing, DataBlob* output) {
  return WithContext("ORLAX_CmsBlkDetSignMem", context, [&](Context& ctx) -> uint32_t {
    if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "SignParams");
    *output = {};
    if (uint32_t code = NeedKey(ctx); code != 0) return code;
    CmsPtr cms;
    if (existing != nullptr && existing->length > 0) {
      if (uint32_t code = LoadDetachedBlob(ctx, existing, &cms); code != 0) return code;
    }
    std::string digest;
    if (uint32_t code = DigestBlob(ctx, content, &digest); code != 0) return code;
    return SignDigestDetached(ctx, params->flags, cms.get(), digest, Encoding::kDer, output);
  });
}

ORLAX_API uint32_t ORLAX_CmsBlkSignDetachFile(LibraryContext context, const char* input, const char* contentOutput,
                                              const char* signaturesOutput, uint32_t /*flags*/) {
  return WithContext("ORLAX_CmsBlkSignDetachFile", context, [&](Context& ctx) {
    return SignDetachFile(ctx, input, contentOutput, signaturesOutput, Encoding::kDer);
  });
}

ORLAX_API uint32_t ORLAX_CmsStrSignDetachFile(LibraryContext context, const char* input, const char* contentOutput,
                                              const char* signaturesOutput, uint32_t /*flags*/) {
  return WithContext("ORLAX_CmsStrSignDetachFile", context, [&](Context& ctx) {
    return SignDetachFile(ctx, input, contentOutput, signaturesOutput, Encoding::kIndefinite);
  });
}

}  // extern "C"
