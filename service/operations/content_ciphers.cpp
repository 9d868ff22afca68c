#include "service/core/record_texts.h"
#include "service/operations/content_ciphers.h"

#include <cstring>

#include "common/qelm_api.h"
#include "service/operations/crypto_operation_support.h"

namespace {

constexpr CipherChoice kCiphers[] = {
    {ORLAX_CIPHER_GOST89, L"ГОСТ Р 28147-89"},
    {ORLAX_CIPHER_MAGMA, L"ГОСТ Р 34.12-2015 Магма"},
    {ORLAX_CIPHER_MAGMA | ORLAX_CIPHER_OMAC, L"ГОСТ Р 34.12-2015 Магма с имитовставкой"},
    {ORLAX_CIPHER_KUZNYECHIK, L"ГОСТ Р 34.12-2015 Кузнечик"},
    {ORLAX_CIPHER_KUZNYECHIK | ORLAX_CIPHER_OMAC, L"ГОСТ Р 34.12-2015 Кузнечик с имитовставкой"},
};
constexpr int kCipherCount = static_cast<int>(sizeof(kCiphers) / sizeof(kCiphers[0]));

}  // namespace

const CipherChoice* CipherOfSetting(int encAlgorithm) {
  return encAlgorithm >= 0 && encAlgorithm < kCipherCount ? &kCiphers[encAlgorithm] : nullptr;
}

EncryptParams EncryptParamsFor(int encAlgorithm, const CertRecord* certificates, int certificateCount) {
  EncryptParams params;
  std::memset(&params, 0, sizeof(params));
  const CipherChoice* cipher = CipherOfSetting(encAlgorithm);
  params.cipherFlags = cipher != nullptr ? cipher->flags : 0;
  params.certCount = static_cast<std::uint32_t>(certificateCount);
  params.certs = certificates;
  return params;
}

CString CipherLabel(int encAlgorithm) {
  const CipherChoice* cipher = CipherOfSetting(encAlgorithm);
  return cipher != nullptr ? FormatText(L" (%s %s)", L"Алгоритм шифрования:", cipher->name) : CString();
}

DWORD UnknownCipherFailure(WorkFailure& failure, int encAlgorithm) {
  return OwnFailure(failure, ORLAX_E_UNKNOWN_CIPHER, L"Выбор алгоритма шифрования",
                    FormatText(L"Недопустимое значение алгоритма шифрования: %d (допустимы значения от 0 до %d)",
                               encAlgorithm, kCipherCount - 1));
}
