// What the running service trusts: signatures by certificates that may not
// sign documents, recipients that cannot take a file, a signing certificate
// that is revoked or out of its validity, and time stamps dated outside their
// authority's validity all fail the file, with the library's code in the
// errors journal and nothing published.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/qelm_api.h"
#include "platform/datetime.h"
#include "tests/service/operations/file_rules_service_fixture.h"
#include "tests/support/der.h"
#include "tests/support/http_server.h"
#include "tests/support/library_context.h"

namespace servicetest {
namespace {

namespace fs = std::filesystem;
using testsupport::LocalHttpServer;
using testsupport::TestPki;

constexpr std::int64_t kMarch2025 = 1740787200;  // 2025-03-01 00:00:00 UTC

std::string Code(uint32_t code) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%X", code);
  return text;
}

class TrustInTheService : public FileRulesServiceTest {
 protected:
  TrustInTheService() : FileRulesServiceTest("Trust") {}

  // A document signed by a holder of `pki` with the openssl tool.
  void DropToolSigned(const TestPki& pki, const std::string& who, const std::string& relative) {
    const fs::path data = Path(relative + ".data");
    Write(relative + ".data", "Документ " + who);
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl({"cms", "-sign", "-nodetach", "-binary", "-md", "md_gost12_256", "-signer",
                                       pki.Cert(who).string(), "-inkey", pki.Key(who).string(), "-in", data.string(),
                                       "-outform", "DER", "-out", Path(relative).string()},
                                      &log),
              0)
        << log;
    fs::remove(data);
  }

  // A directory profile of its own holding `who`'s PSE.
  fs::path Pse(const std::string& who) {
    const fs::path pse = root_.Dir("pse-" + who);
    fs::copy_file(pki_.Key(who), pse / "key.pem");
    fs::copy_file(pki_.Cert(who), pse / "cert.pem");
    return pse;
  }

  // Runs the instance until every listed file has left its input folder, and
  // returns the journals. With a clock file, the instance runs on it from
  // `since`, nudged on 50 ms at a time so that its short stop polls before
  // each rule come to an end.
  std::string RunUntilTaken(const std::vector<std::string>& inputs, const std::string& clock = {},
                            std::int64_t since = 0) {
    if (!clock.empty()) {
      EXPECT_TRUE(platform::WriteClockFile(clock.c_str(), since));
      Start({"QELM_CLOCK_FILE=" + clock, "TZ=UTC"});
    } else {
      Start();
    }
    std::int64_t nudged = 0;  // milliseconds
    const bool taken = testsupport::WaitUntil(
        [&] {
          for (const auto& input : inputs)
            if (Exists(input)) {
              if (!clock.empty()) {
                nudged += 50;
                platform::WriteClockFile(clock.c_str(), since + nudged / 1000,
                                         static_cast<std::uint32_t>(nudged % 1000) * 1000000u);
              }
              return false;
            }
          return true;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(testsupport::RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
    const std::string journals = testsupport::ReadJournals(logs_);
    EXPECT_TRUE(taken) << journals;
    return journals;
  }
};

TEST_F(TrustInTheService, SignaturesByCertificatesNotForDocumentsAreRefused) {
  Rule(1, "CHCK", "chck-in", "chck-out", "*.p7s");
  DropToolSigned(pki_, "ca", "chck-in/ca.p7s");
  DropToolSigned(pki_, "tsa", "chck-in/tsa.p7s");
  DropToolSigned(pki_, "user1", "chck-in/user1.p7s");
  const std::string journals = RunUntilTaken({"chck-in/ca.p7s", "chck-in/tsa.p7s", "chck-in/user1.p7s"});

  EXPECT_TRUE(Exists("chck-out/user1.p7s")) << journals;
  EXPECT_TRUE(Exists("err/ca.p7s")) << journals;
  EXPECT_TRUE(Exists("err/tsa.p7s")) << journals;
  EXPECT_FALSE(Exists("chck-out/ca.p7s"));
  EXPECT_FALSE(Exists("chck-out/tsa.p7s"));
  EXPECT_NE(journals.find(Code(ORLAX_E_CERT_UNTRUSTED)), std::string::npos) << journals;
}

TEST_F(TrustInTheService, NoFileIsEncryptedToACertificateThatCannotTakeIt) {
  TestPki lookalike = TestPki::Make(root_.path() / "lookalike", "");
  for (const char* who : {"onhold", "expired", "future"}) fs::copy_file(pki_.Cert(who), local_ / (std::string(who) + ".pem"));
  // Another CA's holders: one under user1's name, one under a name of its own.
  fs::copy_file(lookalike.Cert("user1"), local_ / "lookalike-user1.pem");
  fs::copy_file(lookalike.Cert("encipher"), local_ / "lookalike-encipher.pem");

  const std::vector<std::string> refused = {"revoked", "onhold", "expired", "future", "encipher", "tsa"};
  std::vector<std::string> inputs;
  int n = 1;
  for (const std::string& who : refused) {
    Rule(n++, "ENCR", "encr-" + who, "encrypted").Recipients({pki_.Dn(who)});
    Write("encr-" + who + "/" + who + ".txt", "Секрет для " + who);
    inputs.push_back("encr-" + who + "/" + who + ".txt");
  }
  Rule(n, "ENCR", "encr-user1", "encrypted").Recipients({pki_.Dn("user1")});
  Write("encr-user1/user1.txt", "Секрет");
  inputs.push_back("encr-user1/user1.txt");
  const std::string journals = RunUntilTaken(inputs);

  for (const std::string& who : refused) {
    SCOPED_TRACE(who);
    EXPECT_TRUE(Exists("err/" + who + ".txt")) << journals;
    EXPECT_FALSE(Exists("encrypted/" + who + ".txt.p7e")) << journals;
  }
  EXPECT_NE(journals.find(Code(ORLAX_E_CERT_NOT_FOUND)), std::string::npos) << journals;
  for (const char* why : {"сертификат отозван", "недействителен на текущее время", "не предназначен для шифрования",
                          "не проверен по цепочке доверия"}) {
    EXPECT_NE(journals.find(why), std::string::npos) << why << "\n" << journals;
  }

  // user1's file is encrypted to the real certificate alone.
  ASSERT_TRUE(Exists("encrypted/user1.txt.p7e")) << journals;
  LibraryContext context = nullptr;
  ASSERT_EQ(ORLAX_InitMinimal(&context), 0u);
  MessageInfo info{};
  const std::string encrypted = Path("encrypted/user1.txt.p7e").string();
  EXPECT_EQ(ORLAX_CmsBlkMsgInfFile(context, encrypted.c_str(), &info, 0), 0u);
  EXPECT_EQ(info.recipientCount, 1u);
  ORLAX_CmsFreeMsgInf(context, &info);
  ORLAX_Uninitialize(context);
}

TEST_F(TrustInTheService, SigningWithARevokedOrExpiredCertificateFailsTheFile) {
  profile_.Usual(logs_, {"Demo", "Revoked", "Expired"});
  const fs::path err = root_.Dir("err");
  profile_.Rule("Rule 1", "SIGN", root_.Dir("sign-revoked"), root_.Dir("signed"), err, "*.*", "Revoked", Pse("revoked"),
                local_);
  profile_.Rule("Rule 2", "SIGN", root_.Dir("sign-expired"), root_.Dir("signed"), err, "*.*", "Expired", Pse("expired"),
                local_);
  profile_.Rule("Rule 3", "SGEN", root_.Dir("sgen-revoked"), root_.Dir("signed"), err, "*.*", "Revoked",
                root_.path() / "pse-revoked", local_)
      .Recipients({pki_.Dn("user1")});
  Write("sign-revoked/a.txt", "Подпись отозванным");
  Write("sign-expired/b.txt", "Подпись просроченным");
  Write("sgen-revoked/c.txt", "Подпись и шифрование");
  const std::string journals = RunUntilTaken({"sign-revoked/a.txt", "sign-expired/b.txt", "sgen-revoked/c.txt"});

  EXPECT_TRUE(fs::is_empty(Path("signed"))) << journals;
  EXPECT_TRUE(Exists("err/a.txt")) << journals;
  EXPECT_TRUE(Exists("err/b.txt")) << journals;
  EXPECT_TRUE(Exists("err/c.txt")) << journals;
  EXPECT_NE(journals.find(Code(ORLAX_E_CERT_REVOKED)), std::string::npos) << journals;
  EXPECT_NE(journals.find(Code(ORLAX_E_CERT_EXPIRED)), std::string::npos) << journals;
}

// The service's clock stands at 2025-03-01, inside the validity of an
// authority that stopped on 2025-07-01: its stamps, dated by the real clock,
// lie after its end.
TEST_F(TrustInTheService, StampsDatedAfterTheirAuthoritysEndFailAtSigningAndVerification) {
  LocalHttpServer server;
  server.EnableTimeStamping(pki_, "/tsa");
  server.EnableTimeStamping(pki_, "/short", "", "tsa_short");
  server.EnableTimeStamping(pki_, "/short/", "", "tsa_short");  // as the service asks

  // A signed document whose honest stamp is swapped for the short-lived
  // authority's over the same query.
  const fs::path data = Path("data.txt"), signedFile = Path("signed.p7s"), stamped = Path("stamped.p7s");
  Write("data.txt", "Договор со штампом");
  {
    LibraryContext context = nullptr;
    ASSERT_EQ(testsupport::OpenLibraryContext(pse_.string(), local_.string(), &context), 0u);
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    TspStampParams params{6, 0, 0, 0, 0};
    EXPECT_EQ(ORLAX_CmsBlkAttSignFile(context, &sign, data.c_str(), signedFile.c_str()), 0u);
    EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(context, &params, server.Url("/tsa").c_str(), signedFile.c_str(),
                                          stamped.c_str()),
              0u);
    ORLAX_Uninitialize(context);
  }
  const std::string query = server.Requests().back().body;
  std::string reply;
  ASSERT_EQ(testsupport::PostTimeStampQuery(server.Port(), "/short", query, &reply), 200);
  root_.Dir("chck-in");
  Write("chck-in/late.p7s",
        testsupport::ReplaceTimeStampToken(testsupport::ReadFileBytes(stamped), testsupport::TokenOfReply(reply)));

  profile_.TimeStamps({server.Url("/short")}, {"1"}, {"1"});
  Rule(1, "SIGN", "sign-in", "signed");
  Rule(2, "CHCK", "chck-in", "chck-out", "*.p7s");
  Write("sign-in/doc.txt", "Документ на подпись");
  const std::string journals = RunUntilTaken({"sign-in/doc.txt", "chck-in/late.p7s"}, Path("clock").string(), kMarch2025);

  EXPECT_TRUE(Exists("err/doc.txt")) << journals;
  EXPECT_TRUE(Exists("err/late.p7s")) << journals;
  EXPECT_TRUE(fs::is_empty(Path("signed"))) << journals;
  EXPECT_FALSE(Exists("chck-out/late.p7s")) << journals;
  EXPECT_NE(journals.find(Code(ORLAX_E_TSP_INVALID)), std::string::npos) << journals;
  // Both files fail for the stamp's time: at signing and at verification.
  size_t said = 0;
  for (size_t at = 0; (at = journals.find("вне срока действия", at)) != std::string::npos; ++at) ++said;
  EXPECT_GE(said, 2u) << journals;
}

}  // namespace
}  // namespace servicetest
