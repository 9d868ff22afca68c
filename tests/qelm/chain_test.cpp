// Trust through intermediate authorities: a chain root -> intermediate ->
// signer signs, verifies and takes encrypted files; every link that may not
// vouch (no authority, no right to sign certificates, revoked, beyond a path
// length) makes the whole chain fail, in the signer's own context as in a
// verifier's. Lists of an intermediate count as the root's do, and the
// refresh fetches the points the intermediates name.

#include <algorithm>
#include <memory>

#include "tests/qelm/library_fixture.h"
#include "tests/support/http_server.h"

namespace qelmtest {
namespace {

using testsupport::LocalHttpServer;
using testsupport::TestPki;

class ChainTest : public LibraryTest {
 protected:
  // A LOCAL folder of these holders' certificates (the first ones are the
  // roots and authorities) and the given lists (file name -> list file).
  fs::path Local(const std::string& name, const std::vector<std::string>& holders,
                 const std::vector<std::pair<std::string, fs::path>>& lists) {
    const fs::path local = root_.Dir(name);
    for (const auto& who : holders) fs::copy_file(pki_.Cert(who), local / (who + ".pem"));
    for (const auto& [file, list] : lists) fs::copy_file(list, local / file);
    return local;
  }

  // What a context on `who`'s key says when it signs: the attached and the
  // detached form must agree, and nothing is written when they fail.
  uint32_t SignAs(const std::string& who, const fs::path& local, const fs::path& att, const fs::path& det) {
    Ctx ctx = Open(who, local);
    DrainStack(ctx);
    const fs::path input = WriteInput(who + "-doc.txt", "Договор " + who);
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    const uint32_t attached = ORLAX_CmsBlkAttSignFile(ctx, &sign, input.c_str(), att.c_str());
    const uint32_t detached = ORLAX_CmsStrDetSignFile(ctx, &sign, input.c_str(), nullptr, det.c_str());
    EXPECT_EQ(attached, detached);
    EXPECT_EQ(attached == 0, fs::exists(att));
    EXPECT_EQ(detached == 0, fs::exists(det));
    if (detached == 0) {
      VerifyParams params{};
      params.flags = ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
      VerifyResult result{};
      EXPECT_EQ(ORLAX_CmsStrDetVerifyFile(ctx, &params, input.c_str(), det.c_str(), nullptr, &result), 0u);
      ORLAX_FreeVerifyResult(ctx, &result);
    }
    DrainStack(ctx);
    return attached;
  }

  // Whether the recipient search (or with `flags` the signer search) of a
  // context on user1 finds `who`.
  bool Finds(const fs::path& local, const std::string& who, uint32_t flags = 0) {
    Ctx ctx = Open("user1", local);
    CertQuery query{};
    query.flags = flags;
    query.subjectKind = 4;
    const std::string dn = pki_.Dn(who);
    query.subject = dn.c_str();
    FindResult result{};
    const uint32_t code = ORLAX_FindCert(ctx, &query, &result);
    ORLAX_FreeFindResult(ctx, &result);
    DrainStack(ctx);
    return code == 0;
  }
};

// Each signer with the authorities above it in LOCAL: its own context signs
// or refuses, a verifier refuses what the signer's context refuses, and the
// recipient search passes the certificate over.
TEST_F(ChainTest, EveryLinkOfTheChainMustVouch) {
  const fs::path rootList = pki_.Crl(), subList = pki_.CrlOf("subca");
  struct Case {
    const char* name;
    const char* signer;
    std::vector<std::string> authorities;  // roots first
    std::vector<std::pair<std::string, fs::path>> lists;
    uint32_t code;
  };
  const Case cases[] = {
      {"valid through the intermediate", "subuser", {"ca", "subca"}, {{"ca.crl", rootList}, {"subca.crl", subList}}, 0},
      {"revoked by the intermediate's list", "subrevoked", {"ca", "subca"},
       {{"ca.crl", rootList}, {"subca.crl", subList}}, ORLAX_E_CERT_REVOKED},
      {"intermediate revoked by the root's list", "badsubuser", {"ca", "badsub"}, {{"ca.crl", rootList}},
       ORLAX_E_CERT_REVOKED},
      {"issuer is no authority", "fromuser", {"ca", "user1"}, {{"ca.crl", rootList}}, ORLAX_E_CERT_UNTRUSTED},
      {"issuer may not sign certificates", "fromnocertsign", {"ca", "nocertsign"}, {{"ca.crl", rootList}},
       ORLAX_E_CERT_UNTRUSTED},
      {"issuer without basic constraints", "fromnobasic", {"ca", "nobasic"}, {{"ca.crl", rootList}},
       ORLAX_E_CERT_UNTRUSTED},
      {"beyond the intermediate's path length", "subsubuser", {"ca", "subca", "subsubca"},
       {{"ca.crl", rootList}, {"subca.crl", subList}}, ORLAX_E_CERT_UNTRUSTED},
      {"beyond the root's path length", "len0user", {"ca", "ca_len0", "len0sub"}, {{"ca.crl", rootList}},
       ORLAX_E_CERT_UNTRUSTED},
      {"intermediate missing from LOCAL", "subuser", {"ca"}, {{"ca.crl", rootList}}, ORLAX_E_CERT_UNTRUSTED},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> holders = c.authorities;
    holders.push_back(c.signer);
    if (c.signer != std::string("user1") &&
        std::find(holders.begin(), holders.end(), "user1") == holders.end()) {
      holders.push_back("user1");
    }
    const fs::path local = Local("local-" + std::to_string(++n), holders, c.lists);
    const fs::path att = File(std::to_string(n) + ".p7s"), det = File(std::to_string(n) + ".p7d");
    EXPECT_EQ(SignAs(c.signer, local, att, det), c.code);

    const fs::path message = c.code == 0 ? att
                                         : ToolSigned(pki_, c.signer, WriteInput(std::to_string(n) + ".txt", "Счёт"),
                                                      File(std::to_string(n) + "-tool.p7s"));
    Ctx verifier = Open("user1", local);
    DrainStack(verifier);
    EXPECT_EQ(VerifyAttached(verifier, message), c.code);
    DrainStack(verifier);

    EXPECT_EQ(Finds(local, c.signer), c.code == 0);
    if (c.code == 0) {
      EXPECT_TRUE(Finds(local, c.signer, ORLAX_FIND_SIGNING));
    }
  }
}

// Without the intermediate's list its users are judged as the root's are
// without the root's: a missing list is no failure. A list past its next
// update still revokes what it lists; a newer one is not needed for that.
TEST_F(ChainTest, IntermediatesMissingOrStaleListIsHandledAsTheRootsIs) {
  const fs::path stale = root_.path() / "stale-sub.crl", staleEmpty = root_.path() / "stale-empty-sub.crl";
  TestPki::CrlContents contents{2, "20250101000000Z", "20250201000000Z", true};
  contents.issuer = "subca";
  pki_.MakeCrl(stale, contents);
  contents.listsRevoked = false;
  pki_.MakeCrl(staleEmpty, contents);
  const fs::path revokedMessage = ToolSigned(pki_, "subrevoked", WriteInput("r.txt", "Счёт"), File("r.p7s"));
  const fs::path userMessage = ToolSigned(pki_, "subuser", WriteInput("u.txt", "Счёт"), File("u.p7s"));
  const std::vector<std::string> holders = {"ca", "subca", "user1"};
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, fs::path>> lists;
    uint32_t revoked;
  } cases[] = {
      {"no list of the intermediate", {{"ca.crl", pki_.Crl()}}, 0},
      {"stale list listing it", {{"ca.crl", pki_.Crl()}, {"subca.crl", stale}}, ORLAX_E_CERT_REVOKED},
      {"stale list without it", {{"ca.crl", pki_.Crl()}, {"subca.crl", staleEmpty}}, 0},
      {"no list of the root", {{"subca.crl", pki_.CrlOf("subca")}}, ORLAX_E_CERT_REVOKED},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ctx ctx = Open("user1", Local("stale-" + std::to_string(++n), holders, c.lists));
    DrainStack(ctx);
    EXPECT_EQ(VerifyAttached(ctx, revokedMessage), c.revoked);
    EXPECT_EQ(VerifyAttached(ctx, userMessage), 0u);
    DrainStack(ctx);
  }
}

// The refresh fetches the points that the intermediates' certificates name
// (the root's list, named by no other certificate of LOCAL) beside those of
// the users: a revocation in either list then holds.
TEST_F(ChainTest, RefreshFetchesThePointsTheIntermediatesName) {
  LocalHttpServer server;
  const TestPki pointPki = TestPki::Make(root_.path() / "pki", server.Url("/ca.crl"));
  server.ServeFile("/ca.crl", pointPki.Crl());
  server.ServeFile("/subca.crl", pointPki.CrlOf("subca"));
  // The root's certificate names no point; subca's and badsub's name the root's list.
  const fs::path local = root_.Dir("point-local");
  for (const char* who : {"ca", "subca", "badsub", "subuser"}) {
    fs::copy_file(pointPki.Cert(who), local / (std::string(who) + ".pem"));
  }
  const std::string pse = pointPki.Pse("subuser").string(), loc = local.string();
  InitParams params{};
  params.size = sizeof params;
  params.flags = 0x4;
  params.pse = pse.c_str();
  params.local = loc.c_str();
  LibraryContext raw = nullptr;
  ASSERT_EQ(ORLAX_InitializeEx(1, &params, &raw), 0u);
  Ctx ctx(raw);
  DrainStack(ctx);

  const fs::path badMessage = ToolSigned(pointPki, "badsubuser", WriteInput("b.txt", "Счёт"), File("b.p7s"));
  const fs::path revokedMessage = ToolSigned(pointPki, "subrevoked", WriteInput("r.txt", "Счёт"), File("r.p7s"));
  EXPECT_EQ(VerifyAttached(ctx, badMessage), 0u);  // no list yet: nothing known against it
  EXPECT_EQ(VerifyAttached(ctx, revokedMessage), 0u);

  std::string buffer(1024, '\0');
  DataBlob blob{static_cast<uint32_t>(buffer.size()), reinterpret_cast<uint8_t*>(buffer.data())};
  EXPECT_EQ(ORLAX_ControlEx(ctx, 0, ORLAX_CONTROL_LOAD_CRL, nullptr, &blob, 0), 0u) << buffer.c_str();
  EXPECT_EQ(server.Count("/ca.crl"), 1);
  EXPECT_EQ(server.Count("/subca.crl"), 1);
  EXPECT_EQ(VerifyAttached(ctx, badMessage), ORLAX_E_CERT_REVOKED);
  EXPECT_EQ(VerifyAttached(ctx, revokedMessage), ORLAX_E_CERT_REVOKED);
  DrainStack(ctx);
}

}  // namespace
}  // namespace qelmtest
