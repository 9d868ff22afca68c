// ControlEx: revocation lists loaded from the certificates' distribution
// points.

#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "qelm/http.h"
#include "qelm/internal.h"

namespace qelm {
namespace {

std::set<std::string> DistributionPoints(const Context& ctx) {
  std::set<std::string> urls;
  for (const auto& stored : ctx.certs) {
    auto* points = static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(stored.cert.get(), NID_crl_distribution_points, nullptr, nullptr));
    if (points == nullptr) continue;
    for (int i = 0; i < sk_DIST_POINT_num(points); ++i) {
      DIST_POINT* point = sk_DIST_POINT_value(points, i);
      if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
      GENERAL_NAMES* names = point->distpoint->name.fullname;
      for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
        GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
        if (name->type != GEN_URI) continue;
        const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
        std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                        static_cast<size_t>(ASN1_STRING_length(uri)));
        if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) urls.insert(url);
      }
    }
    CRL_DIST_POINTS_free(points);
  }
  ERR_clear_error();
  return urls;
}

X509CrlPtr ParseCrl(const std::string& bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
  if (crl == nullptr) {
    ERR_clear_error();
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
  }
  return crl;
}

// One file per point and issuer: a point that answers with another known
// authority's list never takes the place of the list it gave before.
std::string FileNameFor(const std::string& url, X509_CRL* crl) {
  std::string key = url;
  key.push_back('\0');
  unsigned char* issuer = nullptr;
  int issuerLength = i2d_X509_NAME(X509_CRL_get_issuer(crl), &issuer);
  if (issuerLength > 0) key.append(reinterpret_cast<char*>(issuer), static_cast<size_t>(issuerLength));
  OPENSSL_free(issuer);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(key.data(), key.size(), md, &length, EVP_sha1(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string name = "cdp-";
  for (unsigned i = 0; i < 8 && i < length; ++i) {
    name += kHex[md[i] >> 4];
    name += kHex[md[i] & 15];
  }
  return name + ".crl";
}

// Stores the list in LOCAL so that later contexts find it too, unless the
// file there already holds this list or a newer one (another context may
// have stored it since this one was opened).
void StoreInLocal(Context& ctx, const std::string& url, X509_CRL* crl) {
  if (ctx.localPath.empty()) return;
  const std::string path = (std::filesystem::path(ctx.localPath) / FileNameFor(url, crl)).string();
  if (X509CrlPtr stored = ReadCrlFile(path); stored != nullptr && SameIssuer(stored.get(), crl) &&
                                              !IsDeltaCrl(stored.get()) && VerifiesAgainstIssuer(ctx, stored.get()) &&
                                              CompareCrls(crl, stored.get()) <= 0) {
    return;
  }
  ERR_clear_error();
  const std::string temporary = path + ".tmp";
  BioPtr bio(BIO_new_file(temporary.c_str(), "wb"));
  bool ok = bio != nullptr && i2d_X509_CRL_bio(bio.get(), crl) == 1 && BIO_flush(bio.get()) == 1;
  bio.reset();
  std::error_code ec;
  if (ok) std::filesystem::rename(temporary, path, ec);
  if (!ok || ec) {
    std::filesystem::remove(temporary, ec);
    Note(&ctx, "Список отозванных сертификатов не сохранен в локальном справочнике", path);
  }
  ERR_clear_error();
}

// The list of the same issuer the context holds, or null.
X509_CRL* HeldList(const Context& ctx, X509_CRL* crl) {
  for (const auto& held : ctx.crls) {
    if (SameIssuer(held.get(), crl)) return held.get();
  }
  return nullptr;
}

uint32_t LoadCrls(Context& ctx, DataBlob* message) {
  std::string failures;
  size_t loaded = 0, failed = 0;
  const std::set<std::string> points = DistributionPoints(ctx);
  const std::vector<std::string> urls(points.begin(), points.end());
  // All points are asked at once, each with the usual time-out, so that dead
  // points cost one time-out together; their answers are taken in order.
  std::vector<HttpAnswer> answers = HttpGetAll(urls);
  for (size_t i = 0; i < urls.size(); ++i) {
    const std::string& url = urls[i];
    const std::string& body = answers[i].body;
    std::string reason;
    if (answers[i].code != 0) {
      RecordHttpFailure(&ctx, answers[i]);
      reason = "нет ответа";
    } else if (X509CrlPtr crl = ParseCrl(body); crl == nullptr) {
      reason = "ответ не является списком отозванных сертификатов";
    } else if (IsDeltaCrl(crl.get())) {
      reason = "разностный список отозванных сертификатов не применяется";
    } else if (!VerifiesAgainstIssuer(ctx, crl.get())) {
      reason = "подпись списка не проверена";
    } else if (X509_CRL* held = HeldList(ctx, crl.get()); held != nullptr && CompareCrls(crl.get(), held) < 0) {
      // An older list than the one held (a replay, or a point that lags):
      // taking it would lift the revocations made since.
      reason = "список старее имеющегося";
    } else {
      if (held == nullptr || CompareCrls(crl.get(), held) > 0) {
        StoreInLocal(ctx, url, crl.get());
        KeepNewestCrl(ctx.crls, std::move(crl));
      }
      ++loaded;
      continue;
    }
    ++failed;
    Fail(&ctx, ORLAX_E_CRL_LOAD, url + ": " + reason);
    failures += (failures.empty() ? "" : "; ") + url + ": " + reason;
  }
  if (failed == 0) return 0;
  if (message != nullptr && message->data != nullptr && message->length > 0) {
    std::string text = ToAnsi("Не загружены списки отозванных сертификатов: " + failures);
    size_t n = std::min<size_t>(text.size(), message->length - 1);
    std::memcpy(message->data, text.data(), n);
    message->data[n] = '\0';
  }
  return loaded > 0 ? ORLAX_E_CRL_TOLERATED : ORLAX_E_CRL_LOAD;
}

}  // namespace

bool IsDeltaCrl(X509_CRL* crl) { return X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0; }

bool VerifiesAgainstIssuer(const Context& context, X509_CRL* crl) {
  for (const auto& stored : context.certs) {
    X509* cert = stored.cert.get();
    if (X509_NAME_cmp(X509_get_subject_name(cert), X509_CRL_get_issuer(crl)) != 0) continue;
    // A certificate with a key usage signs lists only when it says so.
    const uint32_t usage = X509_get_key_usage(cert);
    if (usage != UINT32_MAX && (usage & KU_CRL_SIGN) == 0) continue;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key != nullptr && X509_CRL_verify(crl, key) == 1) {
      ERR_clear_error();
      return true;
    }
  }
  ERR_clear_error();
  return false;
}

bool SameIssuer(X509_CRL* a, X509_CRL* b) {
  return X509_NAME_cmp(X509_CRL_get_issuer(a), X509_CRL_get_issuer(b)) == 0;
}

// The CRL number decides when both lists carry one and they differ, else the
// time of issue. An expired list still counts by its number: it revokes what
// it lists, and an older list never takes its place.
int CompareCrls(X509_CRL* a, X509_CRL* b) {
  using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;
  IntegerPtr numberA(static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(a, NID_crl_number, nullptr, nullptr)));
  IntegerPtr numberB(static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(b, NID_crl_number, nullptr, nullptr)));
  ERR_clear_error();
  if (numberA != nullptr && numberB != nullptr) {
    int order = ASN1_INTEGER_cmp(numberA.get(), numberB.get());
    if (order != 0) return order < 0 ? -1 : 1;
  }
  int order = ASN1_TIME_compare(X509_CRL_get0_lastUpdate(a), X509_CRL_get0_lastUpdate(b));
  return order == -2 ? 0 : order;  // an unreadable time decides nothing
}

bool KeepNewestCrl(std::vector<X509CrlPtr>& crls, X509CrlPtr crl) {
  if (IsDeltaCrl(crl.get())) return false;
  for (const auto& held : crls) {
    if (SameIssuer(held.get(), crl.get()) && CompareCrls(crl.get(), held.get()) <= 0) return false;
  }
  crls.erase(std::remove_if(crls.begin(), crls.end(),
                            [&](const X509CrlPtr& held) { return SameIssuer(held.get(), crl.get()); }),
             crls.end());
  crls.push_back(std::move(crl));
  return true;
}

}  // namespace qelm

using namespace qelm;

extern "C" {

ORLAX_API uint32_t ORLAX_ControlEx(LibraryContext context, uint32_t /*reserved0*/, uint32_t operation,
                                   const void* /*input*/, DataBlob* message, uint32_t /*reserved1*/) {
  return WithContext("ORLAX_ControlEx", context, [&](Context& ctx) -> uint32_t {
    if (operation != ORLAX_CONTROL_LOAD_CRL) return Fail(&ctx, ORLAX_E_UNSUPPORTED, std::to_string(operation));
    return LoadCrls(ctx, message);
  });
}

}  // extern "C"
