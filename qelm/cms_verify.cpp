// Verification of signed messages with a status for every signature.

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "qelm/cms_common.h"
#include "qelm/cms_split.h"
#include "qelm/cms_verify.h"

namespace qelm {
namespace {

// The signer's certificate: from the message, else from the context's store.
X509* FindSignerCert(Context& ctx, CMS_SignerInfo* si, STACK_OF(X509) * embedded) {
  for (int i = 0; embedded != nullptr && i < sk_X509_num(embedded); ++i) {
    if (CMS_SignerInfo_cert_cmp(si, sk_X509_value(embedded, i)) == 0) return sk_X509_value(embedded, i);
  }
  for (const auto& stored : ctx.certs) {
    if (CMS_SignerInfo_cert_cmp(si, stored.cert.get()) == 0) return stored.cert.get();
  }
  return nullptr;
}

// Compares the messageDigest attribute with the digest of the content.
bool DigestMatches(CMS_SignerInfo* si, const ContentDigests& digests) {
  X509_ALGOR* digestAlg = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digestAlg, nullptr);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, digestAlg);
  const std::string* digest = digests.Get(OBJ_obj2nid(object));
  if (digest == nullptr) return false;
  int index = CMS_signed_get_attr_by_NID(si, NID_pkcs9_messageDigest, -1);
  if (index < 0) return false;
  ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, index), 0);
  if (value == nullptr || value->type != V_ASN1_OCTET_STRING) return false;
  const ASN1_OCTET_STRING* stored = value->value.octet_string;
  return static_cast<size_t>(ASN1_STRING_length(stored)) == digest->size() &&
         std::memcmp(ASN1_STRING_get0_data(stored), digest->data(), digest->size()) == 0;
}

uint32_t CheckSigner(Context& ctx, CMS_SignerInfo* si, X509* cert, STACK_OF(X509) * embedded,
                     const ContentDigests& digests, std::string* detail) {
  if (cert == nullptr) {
    *detail = "сертификат подписанта не найден";
    return ORLAX_E_SIGNER_CERT_NOT_FOUND;
  }
  if (CMS_signed_get_attr_count(si) <= 0) {
    // Signatures over the bare content are not made by this library.
    *detail = "подпись без подписанных атрибутов";
    return ORLAX_E_SIGNATURE_INVALID;
  }
  if (!DigestMatches(si, digests)) {
    *detail = "хэш данных не совпадает";
    return ORLAX_E_SIGNATURE_INVALID;
  }
  CMS_SignerInfo_set1_signer_cert(si, cert);
  if (CMS_SignerInfo_verify(si) != 1) {
    *detail = "подпись атрибутов неверна; " + OpenSslErrors();
    return ORLAX_E_SIGNATURE_INVALID;
  }
  // A key the certificate keeps for other work (a CA's, a time-stamp
  // authority's, one for encipherment only) signs no document.
  if (const char* fault = DocumentSignerFault(cert); fault != nullptr) {
    *detail = fault;
    return ORLAX_E_CERT_UNTRUSTED;
  }
  return CheckChain(ctx, cert, embedded, detail);
}

bool CopyWanted(const Context& ctx, uint32_t verifyFlags) {
  return (verifyFlags & ORLAX_VERIFY_NOT_COPY_TO_LOCAL) == 0 && (ctx.flags & ORLAX_INIT_NOT_COPY_TO_LOCAL) == 0 &&
         !ctx.localPath.empty();
}

// A verified signer's certificate that came with the message is kept in
// LOCAL, so that its owner can later be found as a correspondent.
void CopyToLocal(Context& ctx, X509* cert) {
  for (const auto& stored : ctx.certs) {
    if (X509_cmp(stored.cert.get(), cert) == 0) return;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha1(), md, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string name = "signer-";
  for (unsigned i = 0; i < 8 && i < length; ++i) {
    name += kHex[md[i] >> 4];
    name += kHex[md[i] & 15];
  }
  const std::string path = (std::filesystem::path(ctx.localPath) / (name + ".cer")).string();
  const std::string temporary = path + ".tmp";
  BioPtr bio(BIO_new_file(temporary.c_str(), "wb"));
  bool ok = bio != nullptr && i2d_X509_bio(bio.get(), cert) == 1 && BIO_flush(bio.get()) == 1;
  bio.reset();
  std::error_code ec;
  if (ok) std::filesystem::rename(temporary, path, ec);
  if (!ok || ec) {
    std::filesystem::remove(temporary, ec);
    Note(&ctx, "Сертификат подписанта не сохранен в локальном справочнике", path);
    ERR_clear_error();
    return;
  }
  X509_up_ref(cert);
  ctx.certs.push_back({X509Ptr(cert), "LOCAL"});
}

}  // namespace

uint32_t VerifySigners(Context& ctx, CMS_ContentInfo* cms, const ContentDigests& digests, VerifyResult* result,
                       uint32_t verifyFlags) {
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
  const int count = sk_CMS_SignerInfo_num(signers);
  if (count <= 0) return Fail(&ctx, ORLAX_E_SIGNATURE_INVALID, "сообщение не содержит подписей");
  X509StackPtr embedded(CMS_get1_certs(cms));
  result->signers = static_cast<SignerEntry*>(std::calloc(static_cast<size_t>(count), sizeof(SignerEntry)));
  if (result->signers == nullptr) throw std::bad_alloc();
  uint32_t first = 0;
  for (int i = 0; i < count; ++i) {
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, i);
    SignerEntry& entry = result->signers[result->count++];
    X509* cert = FindSignerCert(ctx, si, embedded.get());
    std::string detail;
    entry.status = CheckSigner(ctx, si, cert, embedded.get(), digests, &detail);
    entry.signingTime = SigningTime(si);
    if (cert != nullptr) entry.cert = NewCertRecord(cert);
    if (entry.status == 0 && CopyWanted(ctx, verifyFlags)) CopyToLocal(ctx, cert);
    if (entry.status != 0) {
      std::string who = cert != nullptr ? OwnerDn(X509_get_subject_name(cert)) : std::string();
      Fail(&ctx, entry.status, "ЭП №" + std::to_string(i + 1) + (who.empty() ? "" : " (" + who + ")") + ": " + detail);
      if (first == 0) first = entry.status;
    }
  }
  ERR_clear_error();
  return first;
}

uint32_t VerifyLoaded(Context& ctx, CMS_ContentInfo* cms, BIO* detachedData, BIO* contentOut, VerifyResult* result,
                      bool* writeFailed, uint32_t verifyFlags) {
  *writeFailed = false;
  if (!IsSigned(cms)) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, "");
  const bool detached = CMS_is_detached(cms) == 1;
  if (detached != (detachedData != nullptr)) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, "");
  ContentDigests digests;
  AddSignerDigests(cms, &digests);
  BioPtr attached;
  BIO* content = detachedData;
  if (!detached) {
    ASN1_OCTET_STRING** octets = CMS_get0_content(cms);
    static const unsigned char kEmpty = 0;
    const unsigned char* data = (octets && *octets) ? ASN1_STRING_get0_data(*octets) : &kEmpty;
    int length = (octets && *octets) ? ASN1_STRING_length(*octets) : 0;
    attached.reset(BIO_new_mem_buf(data, length));
    if (attached == nullptr) throw std::bad_alloc();
    content = attached.get();
  }
  if (!PumpThrough(content, &digests, contentOut, writeFailed)) {
    return Fail(&ctx, *writeFailed ? ORLAX_E_FILE_WRITE : ORLAX_E_FILE_OPEN, "content");
  }
  digests.Finish();
  return VerifySigners(ctx, cms, digests, result, verifyFlags);
}

}  // namespace qelm

using namespace qelm;

namespace {

uint32_t CheckVerifyArgs(Context& ctx, const VerifyParams* params, VerifyResult* result) {
  if (result != nullptr) *result = {};
  if (params == nullptr || result == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "VerifyParams");
  return 0;
}

// The message is read in two parts, so a file of any size needs little
// memory: its shell (signatures, certificates) and then its content, in pieces.
uint32_t AttVerifyFile(Context& ctx, const VerifyParams* params, const char* input, const char* contentOutput,
                       VerifyResult* result) {
  if (uint32_t code = CheckVerifyArgs(ctx, params, result); code != 0) return code;
  if (input == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "input");
  const std::string in = DiskPath(input);
  SplitMessage split;
  if (uint32_t code = SplitFile(&ctx, in, &split); code != 0) return code;
  CmsPtr cms;
  BioPtr shell(BIO_new_mem_buf(split.shell.data(), static_cast<int>(split.shell.size())));
  if (shell == nullptr) throw std::bad_alloc();
  if (uint32_t code = LoadCms(&ctx, shell.get(), in, &cms); code != 0) return code;
  if (!IsSigned(cms.get())) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, in);
  if (!split.hasContent) return Fail(&ctx, ORLAX_E_WRONG_SIGNATURE_FORM, in);
  const bool wantContent = contentOutput != nullptr && *contentOutput != '\0';
  OutputFile output(wantContent ? DiskPath(contentOutput) : std::string());
  BIO* out = nullptr;
  if (wantContent && (out = output.Open()) == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, output.path());
  FilePtr file(OpenInputStream(in));
  if (file == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  BioPtr content = ContentBio(file.get(), split.content);
  ContentDigests digests;
  AddSignerDigests(cms.get(), &digests);
  bool writeFailed = false;
  if (!PumpThrough(content.get(), &digests, out, &writeFailed)) {
    return Fail(&ctx, writeFailed ? ORLAX_E_FILE_WRITE : ORLAX_E_BAD_MESSAGE, writeFailed ? output.path() : in);
  }
  digests.Finish();
  uint32_t code = VerifySigners(ctx, cms.get(), digests, result, params->flags);
  // The content is handed out only when every signature verified.
  if (code == 0 && wantContent && !output.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, output.path());
  return code;
}

uint32_t DetVerifyFile(Context& ctx, const VerifyParams* params, const char* data, const char* signature,
                       VerifyResult* result) {
  if (uint32_t code = CheckVerifyArgs(ctx, params, result); code != 0) return code;
  if (data == nullptr || signature == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "data/signature");
  const std::string dataPath = DiskPath(data), sigPath = DiskPath(signature);
  CmsPtr cms;
  if (uint32_t code = LoadCmsFile(&ctx, sigPath, &cms); code != 0) return code;
  BioPtr bio = OpenInput(dataPath);
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, dataPath);
  bool writeFailed = false;
  return VerifyLoaded(ctx, cms.get(), bio.get(), nullptr, result, &writeFailed, params->flags);
}

}  // namespace

extern "C" {

ORLAX_API uint32_t ORLAX_CmsStrAttVerifyFile(LibraryContext context, const VerifyParams* params, const char* input,
                                             const char* contentOutput, VerifyResult* result) {
  return WithContext("ORLAX_CmsStrAttVerifyFile", context,
                     [&](Context& ctx) { return AttVerifyFile(ctx, params, input, contentOutput, result); });
}

ORLAX_API uint32_t ORLAX_CmsBlkDetVerifyFile(LibraryContext context, const VerifyParams* params, const char* data,
                                             const char* signature, const char* /*reserved*/, VerifyResult* result) {
  return WithContext("ORLAX_CmsBlkDetVerifyFile", context,
                     [&](Context& ctx) { return DetVerifyFile(ctx, params, data, signature, result); });
}

ORLAX_API uint32_t ORLAX_CmsStrDetVerifyFile(LibraryContext context, const VerifyParams* params, const char* data,
                                             const char* signature, const char* /*reserved*/, VerifyResult* result) {
  return WithContext("ORLAX_CmsStrDetVerifyFile", context,
                     [&](Context& ctx) { return DetVerifyFile(ctx, params, data, signature, result); });
}

ORLAX_API uint32_t ORLAX_CmsBlkAttVerifyMem(LibraryContext context, const VerifyParams* params, const DataBlob* input,
                                            DataBlob* content, VerifyResult* result) {
  return WithContext("ORLAX_CmsBlkAttVerifyMem", context, [&](Context& ctx) -> uint32_t {
    if (content != nullptr) *content = {};
    if (uint32_t code = CheckVerifyArgs(ctx, params, result); code != 0) return code;
    CmsPtr cms;
    if (uint32_t code = LoadCmsBlob(&ctx, input, &cms); code != 0) return code;
    const bool wantContent = (params->flags & ORLAX_VERIFY_CONTENT) != 0 && content != nullptr;
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (mem == nullptr) throw std::bad_alloc();
    bool writeFailed = false;
    uint32_t code =
        VerifyLoaded(ctx, cms.get(), nullptr, wantContent ? mem.get() : nullptr, result, &writeFailed, params->flags);
    if (code == 0 && wantContent) return BioToBlob(&ctx, mem.get(), content);
    return code;
  });
}

ORLAX_API uint32_t ORLAX_FreeVerifyResult(LibraryContext /*context*/, VerifyResult* result) {
  if (result == nullptr) return 0;
  for (uint32_t i = 0; i < result->count && result->signers != nullptr; ++i) FreeCertRecord(result->signers[i].cert);
  std::free(result->signers);
  *result = {};
  return 0;
}

}  // extern "C"
