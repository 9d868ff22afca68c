// Time stamps (RFC 3161): stamping a chosen signature and verifying stamps.

#include <openssl/rand.h>
#include <openssl/ts.h>

#include <cstring>
#include <ctime>

#include "qelm/cms_common.h"
#include "qelm/cms_split.h"
#include "qelm/http.h"
#include "qelm/tsp.h"

namespace qelm {
namespace {

using TsReqPtr = std::unique_ptr<TS_REQ, Deleter<TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Deleter<TS_RESP_free>>;
using TsInfoPtr = std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO_free>>;
using TsVerifyPtr = std::unique_ptr<TS_VERIFY_CTX, Deleter<TS_VERIFY_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;

// The imprint of a stamp: the digest of the signature value it stamps.
bool SignatureImprint(CMS_SignerInfo* si, std::string* imprint) {
  ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);
  if (signature == nullptr) return false;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(ASN1_STRING_get0_data(signature), static_cast<size_t>(ASN1_STRING_length(signature)), md, &length,
                 GostDigest256(), nullptr) != 1) {
    return false;
  }
  imprint->assign(reinterpret_cast<char*>(md), length);
  return true;
}

TsReqPtr MakeRequest(const std::string& imprint, IntegerPtr* nonce) {
  TsReqPtr request(TS_REQ_new());
  std::unique_ptr<TS_MSG_IMPRINT, Deleter<TS_MSG_IMPRINT_free>> message(TS_MSG_IMPRINT_new());
  std::unique_ptr<X509_ALGOR, Deleter<X509_ALGOR_free>> algorithm(X509_ALGOR_new());
  if (request == nullptr || message == nullptr || algorithm == nullptr) throw std::bad_alloc();
  X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_id_GostR3411_2012_256), V_ASN1_NULL, nullptr);
  TS_MSG_IMPRINT_set_algo(message.get(), algorithm.get());
  TS_MSG_IMPRINT_set_msg(message.get(), reinterpret_cast<unsigned char*>(const_cast<char*>(imprint.data())),
                         static_cast<int>(imprint.size()));
  TS_REQ_set_version(request.get(), 1);
  TS_REQ_set_msg_imprint(request.get(), message.get());
  unsigned char random[8];
  RAND_bytes(random, sizeof random);
  random[0] &= 0x7F;
  std::unique_ptr<BIGNUM, Deleter<BN_free>> bn(BN_bin2bn(random, sizeof random, nullptr));
  nonce->reset(BN_to_ASN1_INTEGER(bn.get(), nullptr));
  if (*nonce == nullptr) throw std::bad_alloc();
  TS_REQ_set_nonce(request.get(), nonce->get());
  TS_REQ_set_cert_req(request.get(), 1);
  return request;
}

// Checks that the answer is granted and belongs to the request.
uint32_t CheckResponse(Context& ctx, TS_RESP* response, TS_REQ* request, const std::string& url) {
  TS_STATUS_INFO* status = TS_RESP_get_status_info(response);
  long value = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status));
  if (value != 0 && value != 1) return Fail(&ctx, ORLAX_E_TSP_RESPONSE, url + ": статус " + std::to_string(value));
  TsVerifyPtr verify(TS_REQ_to_TS_VERIFY_CTX(request, nullptr));
  if (verify == nullptr) throw std::bad_alloc();
  TS_VERIFY_CTX_set_flags(verify.get(), TS_VFY_VERSION | TS_VFY_IMPRINT | TS_VFY_NONCE);
  if (TS_RESP_verify_response(verify.get(), response) != 1) {
    return Fail(&ctx, ORLAX_E_TSP_RESPONSE, url + ": ответ не соответствует запросу");
  }
  return 0;
}

void RemoveStamps(CMS_SignerInfo* si) {
  for (int index; (index = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1)) >= 0;) {
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(si, index));
  }
}

// The stamp token of a signer, or null.
Pkcs7Ptr StampToken(CMS_SignerInfo* si) {
  int index = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
  if (index < 0) return nullptr;
  ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, index), 0);
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return nullptr;
  const unsigned char* p = ASN1_STRING_get0_data(value->value.sequence);
  return Pkcs7Ptr(d2i_PKCS7(nullptr, &p, ASN1_STRING_length(value->value.sequence)));
}

X509* TsaCertificate(Context& ctx, PKCS7* token) {
  if (!PKCS7_type_is_signed(token)) return nullptr;
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(token);
  if (sk_PKCS7_SIGNER_INFO_num(infos) != 1) return nullptr;
  PKCS7_ISSUER_AND_SERIAL* ias = sk_PKCS7_SIGNER_INFO_value(infos, 0)->issuer_and_serial;
  STACK_OF(X509)* inside = token->d.sign->cert;
  for (int i = 0; inside != nullptr && i < sk_X509_num(inside); ++i) {
    X509* cert = sk_X509_value(inside, i);
    if (X509_NAME_cmp(X509_get_issuer_name(cert), ias->issuer) == 0 &&
        ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), ias->serial) == 0) {
      return cert;
    }
  }
  for (const auto& stored : ctx.certs) {
    X509* cert = stored.cert.get();
    if (X509_NAME_cmp(X509_get_issuer_name(cert), ias->issuer) == 0 &&
        ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), ias->serial) == 0) {
      return cert;
    }
  }
  return nullptr;
}

// The stamp names the digest the system stamps with: bytes that equal the
// GOST digest under another algorithm's name stamp nothing.
bool ImprintIsGost(PKCS7* token) {
  TsInfoPtr info(PKCS7_to_TS_TST_INFO(token));
  if (info == nullptr) return false;
  const ASN1_OBJECT* algorithm = nullptr;
  int parameterType = V_ASN1_UNDEF;
  X509_ALGOR_get0(&algorithm, &parameterType, nullptr,
                  TS_MSG_IMPRINT_get_algo(TS_TST_INFO_get_msg_imprint(info.get())));
  return OBJ_obj2nid(algorithm) == NID_id_GostR3411_2012_256 &&
         (parameterType == V_ASN1_UNDEF || parameterType == V_ASN1_NULL);
}

// The stamp's time (genTime), or false when it cannot be read.
bool GenTime(PKCS7* token, time_t* at) {
  TsInfoPtr info(PKCS7_to_TS_TST_INFO(token));
  if (info == nullptr) return false;
  const ASN1_GENERALIZEDTIME* time = TS_TST_INFO_get_time(info.get());
  struct tm tm {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return false;
  *at = timegm(&tm);
  return true;
}

// An authority vouches for a time only while its certificate is valid: a
// stamp dated outside that validity (its key kept past the end, or a clock
// set before the start) is no stamp, whatever the chain says now.
bool ValidAtStampTime(Context& ctx, PKCS7* token) {
  time_t at = 0;
  X509* tsa = TsaCertificate(ctx, token);
  if (tsa == nullptr || !GenTime(token, &at)) return false;
  std::string detail;
  return CheckChainAt(ctx, tsa, PKCS7_type_is_signed(token) ? token->d.sign->cert : nullptr, at, &detail) == 0;
}

// The whole check of a token: its imprint (algorithm and bytes) is that of
// the signature value, its signature holds, the server's certificate chains
// to a root of LOCAL now and was valid at the stamp's time. Null when it
// holds, else what failed (the OpenSSL queue tells more).
const char* TokenFault(Context& ctx, PKCS7* token, const std::string& imprint) {
  if (!ImprintIsGost(token)) return "штамп времени вычислен не по ГОСТ Р 34.11-2012 (256 бит)";
  TsVerifyPtr verify(TS_VERIFY_CTX_new());
  if (verify == nullptr) throw std::bad_alloc();
  auto* imprintCopy = static_cast<unsigned char*>(OPENSSL_memdup(imprint.data(), imprint.size()));
  if (imprintCopy == nullptr) throw std::bad_alloc();
  TS_VERIFY_CTX_set_imprint(verify.get(), imprintCopy, static_cast<long>(imprint.size()));
  TS_VERIFY_CTX_set_store(verify.get(), MakeTrustStore(ctx).release());
  TS_VERIFY_CTX_set_certs(verify.get(), UntrustedCerts(ctx, nullptr).release());
  TS_VERIFY_CTX_set_flags(verify.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_IMPRINT);
  if (TS_RESP_verify_token(verify.get(), token) != 1) return "штамп времени не прошел проверку";
  if (!ValidAtStampTime(ctx, token)) return "время штампа вне срока действия сертификата службы штампов времени";
  return nullptr;
}

uint32_t StampTime(PKCS7* token) {
  TsInfoPtr info(PKCS7_to_TS_TST_INFO(token));
  if (info == nullptr) return 0;
  const ASN1_GENERALIZEDTIME* time = TS_TST_INFO_get_time(info.get());
  struct tm tm {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return 0;
  int64_t seconds = timegm(&tm);
  return seconds > 0 && seconds <= 0xFFFFFFFF ? static_cast<uint32_t>(seconds) : 0;
}

}  // namespace

uint32_t StampSignature(Context& ctx, CMS_ContentInfo* cms, uint32_t index, const char* url) {
  if (!IsSigned(cms)) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, "");
  if (url == nullptr || *url == '\0') return Fail(&ctx, ORLAX_E_BAD_URL, "");
  CMS_SignerInfo* si = SignerAt(cms, index);
  if (si == nullptr) return Fail(&ctx, ORLAX_E_SIGNATURE_INDEX, std::to_string(index));
  std::string imprint;
  if (!SignatureImprint(si, &imprint)) return Fail(&ctx, ORLAX_E_ENGINE, "md_gost12_256");
  IntegerPtr nonce;
  TsReqPtr request = MakeRequest(imprint, &nonce);
  unsigned char* der = nullptr;
  int length = i2d_TS_REQ(request.get(), &der);
  if (length <= 0) return Fail(&ctx, ORLAX_E_INTERNAL, "i2d_TS_REQ");
  std::string body(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  const std::string address = FromAnsi(url);
  std::string answer;
  if (uint32_t code = HttpExchange(&ctx, address, &body, "application/timestamp-query", &answer); code != 0) {
    return code;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(answer.data());
  TsRespPtr response(d2i_TS_RESP(nullptr, &p, static_cast<long>(answer.size())));
  if (response == nullptr) return Fail(&ctx, ORLAX_E_TSP_RESPONSE, address + ": ответ не разобран");
  if (uint32_t code = CheckResponse(ctx, response.get(), request.get(), address); code != 0) return code;
  PKCS7* token = TS_RESP_get_token(response.get());
  // A stamp that verification would refuse is no stamp: the signer learns it
  // now rather than every verifier later.
  if (token == nullptr) return Fail(&ctx, ORLAX_E_TSP_RESPONSE, address + ": ответ без штампа времени");
  if (const char* fault = TokenFault(ctx, token, imprint); fault != nullptr) {
    return Fail(&ctx, ORLAX_E_TSP_INVALID, address + ": " + fault);
  }
  unsigned char* tokenDer = nullptr;
  int tokenLength = i2d_PKCS7(token, &tokenDer);
  if (tokenLength <= 0) return Fail(&ctx, ORLAX_E_TSP_RESPONSE, address);
  RemoveStamps(si);
  int added = CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, tokenDer, tokenLength);
  OPENSSL_free(tokenDer);
  if (added != 1) return Fail(&ctx, ORLAX_E_INTERNAL, "timeStampToken");
  return 0;
}

uint32_t VerifyStamp(Context& ctx, CMS_ContentInfo* cms, uint32_t index, TspVerifyResult* result) {
  if (!IsSigned(cms)) return Fail(&ctx, ORLAX_E_NOT_SIGNED_MESSAGE, "");
  CMS_SignerInfo* si = SignerAt(cms, index);
  if (si == nullptr) return Fail(&ctx, ORLAX_E_SIGNATURE_INDEX, std::to_string(index));
  if (CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1) < 0) {
    return Fail(&ctx, ORLAX_E_NO_TIME_STAMP, "ЭП №" + std::to_string(index + 1));
  }
  Pkcs7Ptr token = StampToken(si);
  if (token == nullptr) return Fail(&ctx, ORLAX_E_TSP_INVALID, "штамп времени не разобран");
  result->stampTime = StampTime(token.get());
  X509* tsa = TsaCertificate(ctx, token.get());
  if (tsa != nullptr) result->tsaCert = NewCertRecord(tsa);
  std::string imprint;
  if (!SignatureImprint(si, &imprint)) return Fail(&ctx, ORLAX_E_ENGINE, "md_gost12_256");
  if (const char* fault = TokenFault(ctx, token.get(), imprint); fault != nullptr) {
    return Fail(&ctx, ORLAX_E_TSP_INVALID, "ЭП №" + std::to_string(index + 1) + ": " + fault);
  }
  return 0;
}

}  // namespace qelm

using namespace qelm;

namespace {

uint32_t LoadShell(Context& ctx, const SplitMessage& split, const std::string& what, CmsPtr* cms) {
  BioPtr shell(BIO_new_mem_buf(split.shell.data(), static_cast<int>(split.shell.size())));
  if (shell == nullptr) throw std::bad_alloc();
  return LoadCms(&ctx, shell.get(), what, cms);
}

// The stream form stamps the shell of the message and copies its content
// through in pieces.
uint32_t StampFile(Context& ctx, const TspStampParams* params, const char* url, const char* input,
                   const char* output, Encoding encoding) {
  if (params == nullptr || input == nullptr || output == nullptr) {
    return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "TspStampParams");
  }
  const std::string in = DiskPath(input), out = DiskPath(output);
  if (encoding == Encoding::kDer) {
    CmsPtr cms;
    if (uint32_t code = LoadCmsFile(&ctx, in, &cms); code != 0) return code;
    if (uint32_t code = StampSignature(ctx, cms.get(), params->signatureIndex, url); code != 0) return code;
    return WriteCmsFile(&ctx, cms.get(), encoding, out);
  }
  SplitMessage split;
  if (uint32_t code = SplitFile(&ctx, in, &split); code != 0) return code;
  CmsPtr cms;
  if (uint32_t code = LoadShell(ctx, split, in, &cms); code != 0) return code;
  if (uint32_t code = StampSignature(ctx, cms.get(), params->signatureIndex, url); code != 0) return code;
  if (!split.hasContent) return WriteCmsFile(&ctx, cms.get(), encoding, out);
  FilePtr file(OpenInputStream(in));
  if (file == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  OutputFile output_(out);
  BIO* bio = output_.Open();
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, out);
  if (uint32_t code = JoinToBio(&ctx, cms.get(), file.get(), split.content, bio, out); code != 0) return code;
  if (!output_.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, out);
  return 0;
}

// A stamp needs the signatures only: the content is never read.
uint32_t VerifyStampFile(Context& ctx, const TspVerifyParams* params, const char* path, TspVerifyResult* result) {
  if (result != nullptr) *result = {};
  if (params == nullptr || path == nullptr || result == nullptr) {
    return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "TspVerifyParams");
  }
  const std::string in = DiskPath(path);
  SplitMessage split;
  if (uint32_t code = SplitFile(&ctx, in, &split); code != 0) return code;
  CmsPtr cms;
  if (uint32_t code = LoadShell(ctx, split, in, &cms); code != 0) return code;
  return VerifyStamp(ctx, cms.get(), params->signatureIndex, result);
}

}  // namespace

extern "C" {

ORLAX_API uint32_t ORLAX_TspBlkUrlStampCmsFile(LibraryContext context, const TspStampParams* params, const char* url,
                                               const char* input, const char* output) {
  return WithContext("ORLAX_TspBlkUrlStampCmsFile", context,
                     [&](Context& ctx) { return StampFile(ctx, params, url, input, output, Encoding::kDer); });
}

ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsFile(LibraryContext context, const TspStampParams* params, const char* url,
                                               const char* input, const char* output) {
  return WithContext("ORLAX_TspStrUrlStampCmsFile", context,
                     [&](Context& ctx) { return StampFile(ctx, params, url, input, output, Encoding::kIndefinite); });
}

ORLAX_API uint32_t ORLAX_TspBlkUrlStampCmsMem(LibraryContext context, const TspStampParams* params, const char* url,
                                              const DataBlob* input, DataBlob* output) {
  return WithContext("ORLAX_TspBlkUrlStampCmsMem", context, [&](Context& ctx) -> uint32_t {
    if (output != nullptr) *output = {};
    if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "TspStampParams");
    CmsPtr cms;
    if (uint32_t code = LoadCmsBlob(&ctx, input, &cms); code != 0) return code;
    if (uint32_t code = StampSignature(ctx, cms.get(), params->signatureIndex, url); code != 0) return code;
    return WriteCmsBlob(&ctx, cms.get(), Encoding::kDer, output);
  });
}

ORLAX_API uint32_t ORLAX_TspBlkVerifyCmsFile(LibraryContext context, const TspVerifyParams* params, const char* path,
                                             TspVerifyResult* result) {
  return WithContext("ORLAX_TspBlkVerifyCmsFile", context,
                     [&](Context& ctx) { return VerifyStampFile(ctx, params, path, result); });
}

ORLAX_API uint32_t ORLAX_TspStrVerifyCmsFile(LibraryContext context, const TspVerifyParams* params, const char* path,
                                             TspVerifyResult* result) {
  return WithContext("ORLAX_TspStrVerifyCmsFile", context,
                     [&](Context& ctx) { return VerifyStampFile(ctx, params, path, result); });
}

ORLAX_API uint32_t ORLAX_TspBlkVerifyCmsMem(LibraryContext context, const TspVerifyParams* params,
                                            const DataBlob* input, TspVerifyResult* result) {
  return WithContext("ORLAX_TspBlkVerifyCmsMem", context, [&](Context& ctx) -> uint32_t {
    if (result != nullptr) *result = {};
    if (params == nullptr || result == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "TspVerifyParams");
    CmsPtr cms;
    if (uint32_t code = LoadCmsBlob(&ctx, input, &cms); code != 0) return code;
    return VerifyStamp(ctx, cms.get(), params->signatureIndex, result);
  });
}

ORLAX_API uint32_t ORLAX_TspFreeVerifyResult(LibraryContext /*context*/, TspVerifyResult* result) {
  if (result == nullptr) return 0;
  FreeCertRecord(result->tsaCert);
  *result = {};
  return 0;
}

}  // extern "C"
