// The GOST engine, certificate records, owner names, chain checks and the
// certificate search.

#include <openssl/bn.h>
#include <openssl/engine.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>

#include "platform/datetime.h"
#include "qelm/internal.h"

namespace qelm {
namespace {

struct ShortName {
  int nid;
  const char* name;
};

// The owner names the system stores and compares use these short names.
constexpr ShortName kShortNames[] = {
    {NID_commonName, "CN"},
    {NID_countryName, "C"},
    {NID_stateOrProvinceName, "ST"},
    {NID_localityName, "L"},
    {NID_streetAddress, "STREET"},
    {NID_organizationName, "O"},
    {NID_organizationalUnitName, "OU"},
    {NID_domainComponent, "DC"},
    {NID_pkcs9_emailAddress, "EMAIL"},
    {NID_pkcs9_unstructuredName, "UNSTRUCTUREDNAME"},
    {NID_pkcs9_unstructuredAddress, "UNSTRUCTUREDADDRESS"},
};

std::string AttributeName(const ASN1_OBJECT* object) {
  int nid = OBJ_obj2nid(object);
  for (const auto& entry : kShortNames) {
    if (entry.nid == nid) return entry.name;
  }
  if (nid != NID_undef) return OBJ_nid2sn(nid);
  char buffer[128];
  OBJ_obj2txt(buffer, sizeof buffer, object, 1);
  return buffer;
}

std::string ObjectText(const ASN1_OBJECT* object) {
  char buffer[128];
  int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
  return n > 0 ? std::string(buffer) : std::string();
}

std::string SerialText(const ASN1_INTEGER* serial) {
  std::unique_ptr<BIGNUM, Deleter<BN_free>> bn(ASN1_INTEGER_to_BN(serial, nullptr));
  if (bn == nullptr) return {};
  char* hex = BN_bn2hex(bn.get());
  if (hex == nullptr) return {};
  std::string text(hex);
  OPENSSL_free(hex);
  return text;
}

int64_t AsnTimeToUnix(const ASN1_TIME* time) {
  if (time == nullptr) return 0;
  struct tm tm {};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return 0;
  return static_cast<int64_t>(timegm(&tm));
}

// Bit n of the byte is KeyUsage bit n; 0xFF when the extension is absent.
uint8_t KeyUsageByte(X509* cert) {
  uint32_t usage = X509_get_key_usage(cert);
  if (usage == UINT32_MAX) return 0xFF;
  uint8_t byte = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (usage & (0x80u >> bit)) byte |= static_cast<uint8_t>(1u << bit);
  }
  return byte;
}

std::vector<std::string> CertificateOids(X509* cert) {
  std::vector<std::string> oids;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
  if (eku != nullptr) {
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) oids.push_back(ObjectText(sk_ASN1_OBJECT_value(eku, i)));
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
  }
  auto* policies = static_cast<CERTIFICATEPOLICIES*>(X509_get_ext_d2i(cert, NID_certificate_policies, nullptr, nullptr));
  if (policies != nullptr) {
    for (int i = 0; i < sk_POLICYINFO_num(policies); ++i) {
      oids.push_back(ObjectText(sk_POLICYINFO_value(policies, i)->policyid));
    }
    sk_POLICYINFO_pop_free(policies, POLICYINFO_free);
  }
  return oids;
}

bool IsCa(X509* cert) { return X509_check_ca(cert) != 0; }

bool IsSelfSigned(X509* cert) { return (X509_get_extension_flags(cert) & EXFLAG_SS) != 0; }

// A missing or stale revocation list is no failure: revocation is checked
// where a list is at hand.
int TolerateMissingCrl(int ok, X509_STORE_CTX* ctx) {
  if (ok) return ok;
  switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
      return 1;
    default:
      return 0;
  }
}

std::string Upper(std::string_view text) {
  std::string out(text);
  // ASCII and Cyrillic letters (UTF-8 two-byte forms) compared without case.
  std::string result;
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (c < 0x80) {
      result.push_back(static_cast<char>(std::toupper(c)));
    } else if ((c == 0xD0 || c == 0xD1) && i + 1 < out.size()) {
      unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(out[i + 1]) & 0x3Fu);
      if (code >= 0x430 && code <= 0x44F) code -= 0x20;        // а-я
      else if (code >= 0x450 && code <= 0x45F) code -= 0x50;   // ѐ-џ
      result.push_back(static_cast<char>(0xC0 | (code >> 6)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      ++i;
    } else {
      result.push_back(static_cast<char>(c));
    }
  }
  return result;
}

// "*" stands for any run of characters.
bool WildcardMatch(std::string_view value, std::string_view pattern) {
  size_t v = 0, p = 0, star = std::string_view::npos, mark = 0;
  while (v < value.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = v;
    } else if (p < pattern.size() && pattern[p] == value[v]) {
      ++p;
      ++v;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      v = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The parts "NAME=value" of an owner DN as the library writes it.
std::vector<std::string> DnParts(const X509_NAME* name) {
  std::vector<std::string> parts;
  for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    std::string value = length >= 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(length)) : "";
    OPENSSL_free(utf8);
    parts.push_back(AttributeName(X509_NAME_ENTRY_get_object(entry)) + "=" + value);
  }
  return parts;
}

// The whole owner DN equals the subject (ignoring case), or matches it as a
// pattern; a search by name may also match one "NAME=value" part.
bool SubjectMatches(X509* cert, const std::string& subjectUtf8, bool byName) {
  std::string wanted = Upper(subjectUtf8);
  std::string owner = Upper(OwnerDn(X509_get_subject_name(cert)));
  const bool pattern = wanted.find('*') != std::string::npos;
  if (pattern ? WildcardMatch(owner, wanted) : owner == wanted) return true;
  if (!pattern && !byName) return false;
  for (const auto& part : DnParts(X509_get_subject_name(cert))) {
    if (pattern ? WildcardMatch(Upper(part), wanted) : Upper(part) == wanted) return true;
  }
  return false;
}

// A key for signing documents: its key usage and extended key usage allow it
// (a time-stamp authority's certificate does not).
bool UsableForSigning(X509* cert) {
  uint8_t usage = KeyUsageByte(cert);
  if ((usage & (ORLAX_KU_DIGITAL_SIGNATURE | ORLAX_KU_NON_REPUDIATION)) == 0) return false;
  bool ok = X509_check_purpose(cert, X509_PURPOSE_SMIME_SIGN, 0) == 1;
  ERR_clear_error();
  return ok;
}

// The one purpose RFC 3161 leaves a time-stamp authority's key: a critical
// extended key usage naming time stamping alone.
bool KeptToTimeStamps(X509* cert) {
  int index = X509_get_ext_by_NID(cert, NID_ext_key_usage, -1);
  if (index < 0 || X509_EXTENSION_get_critical(X509_get_ext(cert, index)) == 0) return false;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
  ERR_clear_error();
  if (eku == nullptr) return false;
  bool onlyStamps = sk_ASN1_OBJECT_num(eku) > 0;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
    if (OBJ_obj2nid(sk_ASN1_OBJECT_value(eku, i)) != NID_time_stamp) onlyStamps = false;
  }
  sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
  return onlyStamps;
}

// Why a certificate cannot take an encrypted file, or empty when it can: it
// must be valid now, chain to a root of LOCAL, not be revoked and, with a key
// usage, allow encipherment or key agreement.
std::string RecipientFault(Context& ctx, X509* cert) {
  if ((KeyUsageByte(cert) & ORLAX_KU_ENCRYPTION_MASK) == 0) return "ключ не предназначен для шифрования";
  std::string detail;
  switch (CheckChain(ctx, cert, nullptr, &detail)) {
    case 0:
      return {};
    case ORLAX_E_CERT_REVOKED:
      return "сертификат отозван";
    case ORLAX_E_CERT_EXPIRED:
      return "сертификат недействителен на текущее время (" + detail + ")";
    default:
      return "сертификат не проверен по цепочке доверия (" + detail + ")";
  }
}

}  // namespace

time_t Now() { return platform::WallClockNow().tv_sec; }

const char* DocumentSignerFault(X509* cert) {
  if ((KeyUsageByte(cert) & (ORLAX_KU_DIGITAL_SIGNATURE | ORLAX_KU_NON_REPUDIATION)) == 0) {
    return "использование ключа сертификата не допускает подпись документов";
  }
  if (KeptToTimeStamps(cert)) return "сертификат службы штампов времени не подписывает документы";
  return nullptr;
}

ENGINE* GostEngine() {
  static ENGINE* engine = [] {
    ENGINE* e = ENGINE_by_id("gost");
    if (e == nullptr) return static_cast<ENGINE*>(nullptr);
    if (ENGINE_init(e) != 1) {
      ENGINE_free(e);
      return static_cast<ENGINE*>(nullptr);
    }
    ENGINE_set_default(e, ENGINE_METHOD_ALL);
    ENGINE_free(e);  // the functional reference of ENGINE_init stays
    return e;
  }();
  return engine;
}

const EVP_MD* GostDigest256() {
  GostEngine();
  return EVP_get_digestbynid(NID_id_GostR3411_2012_256);
}

std::string OwnerDn(const X509_NAME* name) {
  std::string dn;
  for (const auto& part : DnParts(name)) {
    if (!dn.empty()) dn += ", ";
    dn += part;
  }
  return dn;
}

void FillCertRecord(X509* cert, CertRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->flags = IsCa(cert) ? 1u : 0u;
  record->issuer = DupText(ToAnsi(OwnerDn(X509_get_issuer_name(cert))));
  record->serialNumber = DupText(SerialText(X509_get0_serialNumber(cert)));
  record->owner = DupText(ToAnsi(OwnerDn(X509_get_subject_name(cert))));
  unsigned char* der = nullptr;
  int length = i2d_X509(cert, &der);
  if (length > 0) {
    auto* copy = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length)));
    if (copy == nullptr) {
      OPENSSL_free(der);
      throw std::bad_alloc();
    }
    std::memcpy(copy, der, static_cast<size_t>(length));
    record->encoded = copy;
    record->encodedLength = static_cast<uint32_t>(length);
    OPENSSL_free(der);
  }
  record->notBefore = AsnTimeToUnix(X509_get0_notBefore(cert));
  record->notAfter = AsnTimeToUnix(X509_get0_notAfter(cert));
  record->keyUsage = KeyUsageByte(cert);
  std::vector<std::string> oids = CertificateOids(cert);
  if (!oids.empty()) {
    record->oids = static_cast<char**>(std::calloc(oids.size(), sizeof(char*)));
    if (record->oids == nullptr) throw std::bad_alloc();
    for (const auto& oid : oids) record->oids[record->oidCount++] = DupText(oid);
  }
}

void FreeCertRecordFields(CertRecord* record) {
  if (record == nullptr) return;
  std::free(record->issuer);
  std::free(record->serialNumber);
  std::free(record->owner);
  std::free(const_cast<uint8_t*>(record->encoded));
  for (uint32_t i = 0; i < record->oidCount; ++i) std::free(record->oids[i]);
  std::free(record->oids);
  std::memset(record, 0, sizeof *record);
}

CertRecord* NewCertRecord(X509* cert) {
  auto* record = static_cast<CertRecord*>(std::calloc(1, sizeof(CertRecord)));
  if (record == nullptr) throw std::bad_alloc();
  try {
    FillCertRecord(cert, record);
  } catch (...) {
    FreeCertRecordFields(record);
    std::free(record);
    throw;
  }
  return record;
}

void FreeCertRecord(CertRecord* record) {
  FreeCertRecordFields(record);
  std::free(record);
}

X509Ptr ReadCertFile(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (bio == nullptr) return nullptr;
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (cert == nullptr) {
    ERR_clear_error();
    BIO_reset(bio.get());
    cert.reset(d2i_X509_bio(bio.get(), nullptr));
  }
  return cert;
}

X509CrlPtr ReadCrlFile(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (bio == nullptr) return nullptr;
  X509CrlPtr crl(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
  if (crl == nullptr) {
    ERR_clear_error();
    BIO_reset(bio.get());
    crl.reset(d2i_X509_CRL_bio(bio.get(), nullptr));
  }
  return crl;
}

StorePtr MakeTrustStore(const Context& context, const time_t* at) {
  StorePtr store(X509_STORE_new());
  if (store == nullptr) throw std::bad_alloc();
  for (const auto& stored : context.certs) {
    if (stored.origin != "PSE" && IsSelfSigned(stored.cert.get())) X509_STORE_add_cert(store.get(), stored.cert.get());
  }
  X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), at != nullptr ? *at : Now());
  if (at == nullptr) {
    bool anyList = !context.crls.empty();
    for (const auto& crl : context.crls) X509_STORE_add_crl(store.get(), crl.get());
    // An issuer whose only lists failed their signature check gets them into
    // the store, where the check fails again and so fails its certificates.
    for (const auto& unverified : context.unverifiedCrls) {
      bool hasVerified = std::any_of(context.crls.begin(), context.crls.end(), [&](const X509CrlPtr& crl) {
        return SameIssuer(crl.get(), unverified.get());
      });
      if (!hasVerified) {
        X509_STORE_add_crl(store.get(), unverified.get());
        anyList = true;
      }
    }
    if (anyList) X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  X509_STORE_set_verify_cb(store.get(), TolerateMissingCrl);
  ERR_clear_error();
  return store;
}

X509StackPtr UntrustedCerts(const Context& context, STACK_OF(X509) * extra) {
  X509StackPtr stack(sk_X509_new_null());
  if (stack == nullptr) throw std::bad_alloc();
  for (const auto& stored : context.certs) {
    X509_up_ref(stored.cert.get());
    sk_X509_push(stack.get(), stored.cert.get());
  }
  for (int i = 0; extra != nullptr && i < sk_X509_num(extra); ++i) {
    X509_up_ref(sk_X509_value(extra, i));
    sk_X509_push(stack.get(), sk_X509_value(extra, i));
  }
  return stack;
}

namespace {

uint32_t VerifyChain(Context& context, X509* cert, STACK_OF(X509) * extra, const time_t* at, std::string* detail,
                     STACK_OF(X509) * *chainOut) {
  StorePtr store = MakeTrustStore(context, at);
  X509StackPtr untrusted = UntrustedCerts(context, extra);
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (ctx == nullptr) throw std::bad_alloc();
  X509_STORE_CTX_init(ctx.get(), store.get(), cert, untrusted.get());
  int ok = X509_verify_cert(ctx.get());
  if (ok == 1) {
    if (chainOut != nullptr) *chainOut = X509_STORE_CTX_get1_chain(ctx.get());
    return 0;
  }
  int error = X509_STORE_CTX_get_error(ctx.get());
  if (detail != nullptr) *detail = X509_verify_cert_error_string(error);
  ERR_clear_error();
  switch (error) {
    case X509_V_ERR_CERT_REVOKED:
      return ORLAX_E_CERT_REVOKED;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return ORLAX_E_CERT_EXPIRED;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return ORLAX_E_CERT_UNTRUSTED;
    default:
      return ORLAX_E_CERT_UNTRUSTED;
  }
}

}  // namespace

uint32_t CheckChain(Context& context, X509* cert, STACK_OF(X509) * extra, std::string* detail,
                    STACK_OF(X509) * *chainOut) {
  return VerifyChain(context, cert, extra, nullptr, detail, chainOut);
}

uint32_t CheckChainAt(Context& context, X509* cert, STACK_OF(X509) * extra, time_t at, std::string* detail) {
  return VerifyChain(context, cert, extra, &at, detail, nullptr);
}

uint32_t CheckSigningCert(Context& context) {
  if (context.key == nullptr || context.cert == nullptr) return Fail(&context, ORLAX_E_PSE_NOT_FOUND, "key.pem");
  std::string detail;
  uint32_t code = ORLAX_E_CERT_UNTRUSTED;
  if (const char* fault = DocumentSignerFault(context.cert.get()); fault != nullptr) {
    detail = fault;
  } else {
    code = CheckChain(context, context.cert.get(), nullptr, &detail);
  }
  if (code == 0) return 0;
  return Fail(&context, code,
              "сертификат подписи (" + OwnerDn(X509_get_subject_name(context.cert.get())) + "): " + detail);
}

}  // namespace qelm

using namespace qelm;

extern "C" {

ORLAX_API uint32_t ORLAX_FindCert(LibraryContext context, const CertQuery* query, FindResult* result) {
  return WithContext("ORLAX_FindCert", context, [&](Context& ctx) -> uint32_t {
    if (result == nullptr || query == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "ORLAX_FindCert");
    *result = {};
    const bool bySubject = query->subjectKind != 0 && query->subject != nullptr;
    const std::string subject = bySubject ? FromAnsi(query->subject) : std::string();
    // Without ORLAX_FIND_SIGNING the search is for recipients: a file is
    // encrypted only to certificates that can take it.
    const bool forRecipients = (query->flags & ORLAX_FIND_SIGNING) == 0;
    std::vector<X509*> found;
    std::vector<std::pair<X509*, std::string>> refused;
    for (const auto& stored : ctx.certs) {
      X509* cert = stored.cert.get();
      // CA certificates are nobody's correspondents: only an exact name finds one.
      if (bySubject && !SubjectMatches(cert, subject, (query->flags & ORLAX_FIND_BY_NAME) != 0)) continue;
      if (IsCa(cert) && (!bySubject || subject.find('*') != std::string::npos ||
                         (query->flags & ORLAX_FIND_BY_NAME) != 0)) {
        continue;
      }
      if ((query->flags & ORLAX_FIND_SIGNING) && !UsableForSigning(cert)) continue;
      auto same = [&](X509* other) { return X509_cmp(other, cert) == 0; };
      if (std::any_of(found.begin(), found.end(), same)) continue;
      if (forRecipients) {
        if (std::any_of(refused.begin(), refused.end(), [&](const auto& r) { return same(r.first); })) continue;
        if (std::string fault = RecipientFault(ctx, cert); !fault.empty()) {
          refused.emplace_back(cert, std::move(fault));
          continue;
        }
      }
      found.push_back(cert);
    }
    if (found.empty()) {
      // Why each certificate of that name was passed over; said only when
      // nothing is found, so that a search that found one leaves no lines.
      for (const auto& [cert, fault] : refused) {
        Note(&ctx, "Сертификат не может быть получателем: " + fault,
             OwnerDn(X509_get_subject_name(cert)) + "; " + SerialText(X509_get0_serialNumber(cert)));
      }
      return Fail(&ctx, ORLAX_E_CERT_NOT_FOUND, bySubject ? query->subject : "");
    }
    auto* records = static_cast<CertRecord*>(std::calloc(found.size(), sizeof(CertRecord)));
    if (records == nullptr) throw std::bad_alloc();
    result->certs = records;
    for (X509* cert : found) {
      FillCertRecord(cert, &records[result->count]);
      ++result->count;
    }
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_FreeFindResult(LibraryContext /*context*/, FindResult* result) {
  if (result == nullptr) return 0;
  for (uint32_t i = 0; i < result->count && result->certs != nullptr; ++i) FreeCertRecordFields(&result->certs[i]);
  std::free(result->certs);
  *result = {};
  return 0;
}

}  // extern "C"
