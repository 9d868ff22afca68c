// Revocation lists in the running service: each start refreshes the lists
// from the distribution point before the rules run, and a CHCK rule refuses a
// file signed by a revoked holder. The point later answers with an older
// list and then with an expired one; neither takes the newer list's place,
// in the running instance or in LOCAL for the next start.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/qelm_api.h"
#include "tests/support/http_server.h"
#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

namespace fs = std::filesystem;
using testsupport::LocalHttpServer;
using testsupport::RunMirelservice;
using testsupport::TestPki;
using testsupport::WaitUntil;

class RevocationInTheService : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = std::make_unique<TestPki>(TestPki::Make(root_.path() / "pki", server_.Url("/ca.crl")));
    logs_ = root_.Dir("logs"), in_ = root_.Dir("in"), out_ = root_.Dir("out"), err_ = root_.Dir("err");
    // LOCAL holds the certificates only: the lists come from the point.
    const fs::path local = root_.Dir("local"), pse = root_.Dir("pse");
    for (const char* who : {"ca", "user1", "user2", "revoked"})
      fs::copy_file(pki_->Cert(who), local / (std::string(who) + ".pem"));
    fs::copy_file(pki_->Key("user1"), pse / "key.pem");
    fs::copy_file(pki_->Cert("user1"), pse / "cert.pem");

    profile_.LogPath(logs_)
        .SignatureExtension("p7s")
        .Create()
        .HandlerTimeout(1)
        .DirectoryProfiles({"Банк"}, true)
        .NotCopyToLocal(1)
        .List("CrlUpdatePeriod", {"1"});
    profile_.Rule("Rule 1", "CHCK", in_, out_, err_, "*.p7s", "Банк", pse, local).Description("проверка");
    ASSERT_EQ(RunMirelservice({"install", profile_.profile()}).exitCode, 0);
  }

  void TearDown() override {
    RunMirelservice({"stop", profile_.profile()});
    RunMirelservice({"delete", profile_.profile()});
  }

  // One start of the instance with the point serving `list` (or failing):
  // the lists are due, a file signed by the revoked holder is dropped in, and
  // the instance is stopped once the file is handled. Returns where it went.
  std::string RunOnce(const std::string& name, const TestPki::CrlContents* list) {
    if (list != nullptr) {
      const fs::path file = root_.path() / (name + ".crl");
      pki_->MakeCrl(file, *list);
      server_.SetMode(LocalHttpServer::Mode::kServe);
      server_.ServeFile("/ca.crl", file);
    } else {
      server_.SetMode(LocalHttpServer::Mode::kFail);
    }
    profile_.BaseList("LastCrlUpdate", {});
    DropRevokedSigned(name + ".p7s");
    auto started = RunMirelservice({"start", profile_.profile()});
    EXPECT_EQ(started.exitCode, 0) << started.output;
    const bool handled = WaitUntil([&] { return fs::exists(out_ / (name + ".p7s")) || fs::exists(err_ / (name + ".p7s")); });
    EXPECT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
    EXPECT_TRUE(handled) << testsupport::ReadJournals(logs_);
    return fs::exists(err_ / (name + ".p7s")) ? "refused" : fs::exists(out_ / (name + ".p7s")) ? "passed" : "";
  }

  void DropRevokedSigned(const std::string& name) {
    const fs::path data = root_.path() / (name + ".data"), staged = root_.path() / name;
    std::ofstream(data, std::ios::binary) << "Платёжное поручение " << name;
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl({"cms", "-sign", "-nodetach", "-binary", "-md", "md_gost12_256", "-signer",
                                       pki_->Cert("revoked").string(), "-inkey", pki_->Key("revoked").string(), "-in",
                                       data.string(), "-outform", "DER", "-out", staged.string()},
                                      &log),
              0)
        << log;
    fs::rename(staged, in_ / name);
  }

  testsupport::TempRoot root_;
  LocalHttpServer server_;
  std::unique_ptr<TestPki> pki_;
  testsupport::ProfileWriter profile_{"Revoke"};
  fs::path logs_, in_, out_, err_;
};

TEST_F(RevocationInTheService, RevokedHolderStaysRefusedWhenThePointGoesBack) {
  const TestPki::CrlContents current{5, "20260601000000Z", "20360101000000Z", true};
  const TestPki::CrlContents older{3, "20260101000000Z", "20360101000000Z", false};
  const TestPki::CrlContents expired{2, "20250101000000Z", "20250201000000Z", false};

  EXPECT_EQ(RunOnce("current", &current), "refused");
  EXPECT_EQ(RunOnce("older", &older), "refused");
  EXPECT_EQ(RunOnce("expired", &expired), "refused");
  EXPECT_EQ(RunOnce("unreachable", nullptr), "refused") << "LOCAL alone still holds the newer list";
  EXPECT_EQ(server_.Count("/ca.crl"), 4);

  const std::string journals = testsupport::ReadJournals(logs_);
  char code[32];
  std::snprintf(code, sizeof code, "0x%X", ORLAX_E_CERT_REVOKED);
  EXPECT_NE(journals.find(code), std::string::npos) << journals;
  // The refreshes that were offered an older list say so.
  size_t said = 0;
  for (size_t at = 0; (at = journals.find("список старее имеющегося", at)) != std::string::npos; ++at) ++said;
  EXPECT_GE(said, 2u) << journals;
}

// A delta list (what changed since list 5: nothing, and a higher number),
// from the point and then in LOCAL, lifts none of list 5's revocations.
TEST_F(RevocationInTheService, DeltaListFromThePointOrInLocalLiftsNoRevocation) {
  const TestPki::CrlContents base{5, "20260601000000Z", "20360101000000Z", true};
  const TestPki::CrlContents delta{6, "20260701000000Z", "20360101000000Z", false, 5};
  EXPECT_EQ(RunOnce("base", &base), "refused");
  EXPECT_EQ(RunOnce("delta", &delta), "refused");
  pki_->MakeCrl(root_.path() / "local" / "zz-delta.crl", {7, "20260801000000Z", "20360101000000Z", false, 5});
  EXPECT_EQ(RunOnce("unreachable", nullptr), "refused") << "a delta in LOCAL counts no more";
  const std::string journals = testsupport::ReadJournals(logs_);
  EXPECT_NE(journals.find("разностный список отозванных сертификатов не применяется"), std::string::npos)
      << journals;
}

// A list in the CA's name signed by another key, with a higher number, in
// LOCAL: the real list from the point is still taken and still refuses.
TEST_F(RevocationInTheService, ListOfALookAlikeCaInLocalDisplacesNothing) {
  TestPki lookalike = TestPki::Make(root_.path() / "lookalike", "");
  lookalike.MakeCrl(root_.path() / "local" / "forged.crl", {90, "20260101000000Z", "20360101000000Z", false});
  const TestPki::CrlContents current{5, "20260601000000Z", "20360101000000Z", true};
  EXPECT_EQ(RunOnce("current", &current), "refused");
  EXPECT_EQ(RunOnce("unreachable", nullptr), "refused");
  const std::string journals = testsupport::ReadJournals(logs_);
  EXPECT_EQ(journals.find("список старее имеющегося"), std::string::npos) << journals;
  // The failed refresh of the second start tells of the list left out.
  EXPECT_NE(journals.find("подпись списка отозванных сертификатов не проверена"), std::string::npos) << journals;
  char code[32];
  std::snprintf(code, sizeof code, "0x%X", ORLAX_E_CERT_REVOKED);
  EXPECT_NE(journals.find(code), std::string::npos) << journals;
}

}  // namespace
