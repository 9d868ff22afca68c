#pragma once
// The crypto-rule fixture with the operations' calls the encryption,
// decryption, signing and removal tests make: each with its own copy of the
// profile, as from the dispatch, profile "P" and the extensions p7e, p7s and
// p7d.

#include <filesystem>
#include <string>
#include <vector>

#include "service/operations/operations.h"
#include "tests/support/crypto_rule_fixture.h"

namespace cryptoops {

namespace fs = std::filesystem;

class CryptoOperationTest : public testsupport::CryptoRuleTest {
 protected:
  // The stream mode as the tests give it: 0 block, 1 stream.
  static TransferMode Transfer(int streamMode) {
    return streamMode == 0 ? TransferMode::kBlock : TransferMode::kStream;
  }

  // Each call gets its own copy of the profile, as from the dispatch.
  DWORD Encrypt(const std::vector<std::string>& names, int streamMode, const std::vector<CertRecord>& certs,
                const std::string& archExt = "") {
    ProfileRecord copy(profile_);
    return EncryptFiles(
        Call(Names(names), copy),
        {.encExt = L"p7e", .archExt = testsupport::Wide(archExt), .transfer = Transfer(streamMode), .recipients = certs});
  }
  DWORD Decrypt(const std::vector<std::string>& names, int streamMode, const std::string& archExt = "",
                const CStringArray* extExt = nullptr) {
    ProfileRecord copy(profile_);
    return DecryptFiles(
        Call(Names(names), copy),
        {.encExt = L"p7e", .archExt = testsupport::Wide(archExt), .extExt = extExt, .transfer = Transfer(streamMode)});
  }
  DWORD Sign(const std::vector<std::string>& names, const std::string& operation) {
    ProfileRecord copy(profile_);
    const SignatureKind kind = operation == "SIGN"   ? SignatureKind::kAttached
                               : operation == "DSIG" ? SignatureKind::kAddedToDetached
                                                     : SignatureKind::kDetached;
    return SignFiles(Call(Names(names), copy),
                     {.sigExt = kind == SignatureKind::kAttached ? L"p7s" : L"p7d", .kind = kind});
  }
  DWORD Remove(const std::vector<std::string>& names) {
    ProfileRecord copy(profile_);
    return RemoveSignatures(Call(Names(names), copy), L"p7s");
  }
};

}  // namespace cryptoops
