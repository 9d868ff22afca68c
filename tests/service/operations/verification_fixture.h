#pragma once
// What the tests of the verifying operations (CHCK, CHKX, DCHK) share, on top
// of the crypto-operation fixture: the operation calls, signatures made by
// openssl (also by a PKI the rule does not trust), time stamps added with the
// library's stamping call, degenerate and damaged messages, and the report
// expected for given signers.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/error_description.h"
#include "service/operations/verification_report.h"
#include "tests/service/operations/crypto_operation_fixture.h"
#include "tests/support/der.h"
#include "tests/support/http_server.h"

namespace cryptoops {

// A step of the layer made to fail (platform::FailPoint) while it lives.
class FailedStep {
 public:
  explicit FailedStep(const char* setting) { setenv("QELM_TEST_FAIL_STEP", setting, 1); }
  ~FailedStep() { unsetenv("QELM_TEST_FAIL_STEP"); }
  FailedStep(const FailedStep&) = delete;
  FailedStep& operator=(const FailedStep&) = delete;
};

class VerificationTest : public CryptoOperationTest {
 protected:
  static constexpr const char* kCheckTime = "14.05.09 09/12/2026";

  // CHCK (remove 0) or CHKX (remove 1) with "SigExt" p7s and "VerifyFileExt" vrf.
  DWORD Check(const std::vector<std::string>& names, bool remove, int reportFlag = 1) {
    ProfileRecord copy(profile_);
    return VerifyAttachedSignatures(
        Call(Names(names), copy),
        {.sigExt = L"p7s", .removeSignatures = remove, .writeReport = reportFlag != 0, .verifyFileExt = L"vrf"});
  }
  // DCHK with "DsigExt" p7d and "VerifyFileExt" vrf; the report flag is the profile's.
  DWORD CheckDetached(const std::vector<std::string>& names) {
    ProfileRecord copy(profile_);
    return VerifyDetachedSignatures(
        Call(Names(names), copy),
        {.dsigExt = L"p7d", .writeReport = profile_.verifyDetFile != 0, .verifyFileExt = L"vrf"});
  }

  // openssl cms -sign with a key and certificate (the certificate goes into
  // the message): attached or detached, DER.
  void OpensslSign(const fs::path& cert, const fs::path& key, const fs::path& data, const fs::path& output,
                   bool detached) {
    std::vector<std::string> args{"cms",         "-sign",       "-binary", "-md",        "md_gost12_256",
                                  "-signer",     cert.string(), "-inkey",  key.string(), "-in",
                                  data.string(), "-outform",    "DER",     "-out",       output.string()};
    if (!detached) args.push_back("-nodetach");
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl(args, &log), 0) << log;
  }

  // A signed message that carries a certificate and no signature at all.
  void NoSignerMessage(const fs::path& output) {
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl({"crl2pkcs7", "-nocrl", "-certfile", pki_.Cert("user1").string(), "-outform",
                                       "DER", "-out", output.string()},
                                      &log),
              0)
        << log;
  }

  // Flips one byte of `marker` inside the file (the content of an attached
  // signature).
  static void Tamper(const fs::path& file, const std::string& marker) {
    std::string bytes = testsupport::Read(file);
    size_t at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos);
    bytes[at] ^= 0x01;
    testsupport::WriteBytes(file, bytes);
  }

  // Time-stamps signature `index` of the file in place, from the authority
  // at url.
  void StampSignature(const fs::path& file, uint32_t index, const std::string& url, bool stream = false) {
    TspStampParams params;
    std::memset(&params, 0, sizeof(params));
    params.kind = 6;
    params.signatureIndex = index;
    fs::path stamped = file;
    stamped += ".stamped";
    uint32_t rc = stream ? ORLAX_TspStrUrlStampCmsFile(context_, &params, url.c_str(), file.c_str(), stamped.c_str())
                         : ORLAX_TspBlkUrlStampCmsFile(context_, &params, url.c_str(), file.c_str(), stamped.c_str());
    ASSERT_EQ(rc, 0u);
    fs::rename(stamped, file);
  }

  // Stamps the first signature of a block (DER) message from the authority at
  // "/tsa" and then swaps the stamp for one the same authority gives over the
  // same bytes under the SHA-256 name, as a forger would.
  void StampUnderSha256Name(const fs::path& file, testsupport::LocalHttpServer& server) {
    server.EnableTimeStamping(pki_, "/tsa");
    server.EnableTimeStamping(pki_, "/sha256", "2.16.840.1.101.3.4.2.1");
    StampSignature(file, 0, server.Url("/tsa"));
    const std::string query = server.Requests().back().body;
    std::string reply;
    ASSERT_EQ(testsupport::PostTimeStampQuery(server.Port(), "/sha256", query, &reply), 200);
    testsupport::WriteBytes(file,
                            testsupport::ReplaceTimeStampToken(testsupport::Read(file), testsupport::TokenOfReply(reply)));
  }

  // The stamp time of signature `index`, as the library reads it.
  uint32_t StampTime(const fs::path& file, uint32_t index) {
    uint32_t time = 0;
    EXPECT_EQ(StampCheck(file, index, false, &time), 0u);
    return time;
  }

  // The signing times of a message's signatures, as the library reads them
  // (detached: with its data file).
  std::vector<uint32_t> SigningTimes(const fs::path& signature, const fs::path& data = {}) {
    VerifyParams params;
    std::memset(&params, 0, sizeof(params));
    VerifyResult result;
    std::memset(&result, 0, sizeof(result));
    if (data.empty())
      ORLAX_CmsStrAttVerifyFile(context_, &params, signature.c_str(), nullptr, &result);
    else
      ORLAX_CmsBlkDetVerifyFile(context_, &params, data.c_str(), signature.c_str(), nullptr, &result);
    std::vector<uint32_t> times;
    for (uint32_t i = 0; i < result.count; ++i) times.push_back(result.signers[i].signingTime);
    ORLAX_FreeVerifyResult(context_, &result);
    return times;
  }

  static std::string TimeText(int64_t seconds) { return ReportTimeText(seconds).GetString(); }

  // One report block of a test-PKI signer; stampTime 0: no stamp lines.
  std::string Block(int number, const std::string& who, uint32_t signingTime, uint32_t stampTime = 0) const {
    std::string block = "ЭП №: " + std::to_string(number) + "\r\nВладелец: " + pki_.Dn(who) +
                        "\r\nСерийный номер сертификата: " + pki_.Serial(who) + "\r\nИздатель: " + pki_.Issuer(who) +
                        "\r\nВремя подписи: " + TimeText(signingTime) + "\r\nВремя проверки: " + kCheckTime +
                        "\r\nOID список:\r\n1.3.6.1.5.5.7.3.4\r\n";
    if (stampTime != 0) {
      block += "Сертификат TSP сервера:\r\nИздатель: " + pki_.Issuer("tsa") +
               "\r\nСерийный номер сертификата: " + pki_.Serial("tsa") +
               "\r\nВремя простановки штампа времени: " + TimeText(stampTime) + "\r\n";
    }
    return block;
  }

  static std::string Moved(const fs::path& errorName) {
    return ". Файл перемещен в каталог ошибок под именем " + errorName.string();
  }
};

}  // namespace cryptoops
