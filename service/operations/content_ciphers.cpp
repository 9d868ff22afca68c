#include "service/core/record_texts.h"
#include "service/operations/content_ciphers.h"

#include <cstdint>
#include <cstring>

#include "common/operation_catalogue.h"
#include "common/qelm_api.h"

namespace {

struct CipherChoice {
  std::uint32_t flags;  // EncryptParams cipher flags
  const wchar_t* name;
};

// The OIDs of the ciphers, in the setting's order.
constexpr const char* kCipherOids[] = {"1.2.643.2.2.21", "1.2.643.7.1.1.5.1.1", "1.2.643.7.1.1.5.1.2",
                                       "1.2.643.7.1.1.5.2.1", "1.2.643.7.1.1.5.2.2"};

constexpr CipherChoice kCiphers[] = {
    {ORLAX_CIPHER_GOST89, kEncAlgorithmNames[0]},
    {ORLAX_CIPHER_MAGMA, kEncAlgorithmNames[1]},
    {ORLAX_CIPHER_MAGMA | ORLAX_CIPHER_OMAC, kEncAlgorithmNames[2]},
    {ORLAX_CIPHER_KUZNYECHIK, kEncAlgorithmNames[3]},
    {ORLAX_CIPHER_KUZNYECHIK | ORLAX_CIPHER_OMAC, kEncAlgorithmNames[4]},
};
constexpr int kCipherCount = static_cast<int>(sizeof(kCiphers) / sizeof(kCiphers[0]));
static_assert(sizeof(kCipherOids) / sizeof(kCipherOids[0]) == kCipherCount);

static_assert(kCipherCount == static_cast<int>(ContentCipher::kLibraryDefault));

// The cipher of the setting, or null for the library's default.
const CipherChoice* CipherOfSetting(ContentCipher cipher) {
  return cipher == ContentCipher::kLibraryDefault ? nullptr : &kCiphers[static_cast<int>(cipher)];
}

}  // namespace

EncryptParams EncryptParamsFor(ContentCipher cipher, std::span<const CertRecord> recipients) {
  EncryptParams params;
  std::memset(&params, 0, sizeof(params));
  const CipherChoice* choice = CipherOfSetting(cipher);
  params.cipherFlags = choice != nullptr ? choice->flags : 0;
  params.certCount = static_cast<std::uint32_t>(recipients.size());
  params.certs = recipients.data();
  return params;
}

CString CipherLabel(ContentCipher cipher) {
  const CipherChoice* choice = CipherOfSetting(cipher);
  return choice != nullptr ? FormatText(L" (%s %s)", L"Алгоритм шифрования:", choice->name) : CString();
}

CString CipherLabelOfOid(const char* oid) {
  if (oid == nullptr) return CString();
  for (int i = 0; i < kCipherCount; ++i)
    if (std::strcmp(oid, kCipherOids[i]) == 0) return CipherLabel(static_cast<ContentCipher>(i));
  return CString();
}
