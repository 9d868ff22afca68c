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

// A list is accepted only when a certificate of the store signed it.
bool IssuedByKnownCa(const Context& ctx, X509_CRL* crl) {
  for (const auto& stored : ctx.certs) {
    X509* cert = stored.cert.get();
    if (X509_NAME_cmp(X509_get_subject_name(cert), X509_CRL_get_issuer(crl)) != 0) continue;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key != nullptr && X509_CRL_verify(crl, key) == 1) return true;
  }
  ERR_clear_error();
  return false;
}

// Replaces older lists of the same issuer.
void KeepCrl(Context& ctx, X509CrlPtr crl) {
  auto older = [&](const X509CrlPtr& held) {
    return X509_NAME_cmp(X509_CRL_get_issuer(held.get()), X509_CRL_get_issuer(crl.get())) == 0 &&
           ASN1_TIME_compare(X509_CRL_get0_lastUpdate(held.get()), X509_CRL_get0_lastUpdate(crl.get())) <= 0;
  };
  ctx.crls.erase(std::remove_if(ctx.crls.begin(), ctx.crls.end(), older), ctx.crls.end());
  ctx.crls.push_back(std::move(crl));
}

std::string FileNameFor(const std::string& url) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(url.data(), url.size(), md, &length, EVP_sha1(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string name = "cdp-";
  for (unsigned i = 0; i < 8 && i < length; ++i) {
    name += kHex[md[i] >> 4];
    name += kHex[md[i] & 15];
  }
  return name + ".crl";
}

// Stores the list in LOCAL so that later contexts find it too.
void StoreInLocal(Context& ctx, const std::string& url, X509_CRL* crl) {
  if (ctx.localPath.empty()) return;
  const std::string path = (std::filesystem::path(ctx.localPath) / FileNameFor(url)).string();
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

uint32_t LoadCrls(Context& ctx, DataBlob* message) {
  std::string failures;
  size_t loaded = 0, failed = 0;
  for (const auto& url : DistributionPoints(ctx)) {
    std::string body;
    std::string reason;
    if (HttpExchange(&ctx, url, nullptr, nullptr, &body) != 0) {
      reason = "нет ответа";
    } else if (X509CrlPtr crl = ParseCrl(body); crl == nullptr) {
      reason = "ответ не является списком отозванных сертификатов";
    } else if (!IssuedByKnownCa(ctx, crl.get())) {
      reason = "подпись списка не проверена";
    } else {
      StoreInLocal(ctx, url, crl.get());
      KeepCrl(ctx, std::move(crl));
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
