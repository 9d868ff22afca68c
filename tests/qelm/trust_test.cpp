// What the library trusts: which revocation lists count (no delta list, no
// list whose signature fails), which certificates sign documents, take
// encrypted files or sign for the context, and when a time stamp's authority
// vouches for its time. Every case on a PKI made at run time.

#include <algorithm>
#include <memory>

#include "tests/qelm/library_fixture.h"
#include "tests/support/der.h"
#include "tests/support/driven_clock.h"
#include "tests/support/http_server.h"

namespace qelmtest {
namespace {

using testsupport::LocalHttpServer;
using testsupport::TestPki;

constexpr int64_t kMarch2025 = 1740787200;  // 2025-03-01 00:00:00 UTC

class TrustTest : public LibraryTest {
 protected:
  // A LOCAL folder of the shared PKI's CA and these holders, with the
  // given lists (file name -> list file).
  fs::path Local(const std::string& name, const std::vector<std::string>& holders,
                 const std::vector<std::pair<std::string, fs::path>>& lists = {}) {
    const fs::path local = root_.Dir(name);
    fs::copy_file(pki_.Cert("ca"), local / "ca.pem");
    for (const auto& who : holders) fs::copy_file(pki_.Cert(who), local / (who + ".pem"));
    for (const auto& [file, list] : lists) fs::copy_file(list, local / file);
    return local;
  }

  fs::path SignedBy(const TestPki& pki, const std::string& who) {
    return ToolSigned(pki, who, WriteInput(who + ".txt", "Платёжное поручение " + who), File(who + ".p7s"));
  }

  static bool Says(const std::vector<StackLine>& lines, const std::string& text) {
    for (const auto& line : lines) {
      if (line.text.find(text) != std::string::npos || line.data.find(text) != std::string::npos) return true;
    }
    return false;
  }

  static std::string Joined(const std::vector<StackLine>& lines) {
    std::string all;
    for (const auto& line : lines) all += line.text + " | " + line.data + "\n";
    return all;
  }
};

// --- revocation lists --------------------------------------------------------

TEST_F(TrustTest, DeltaListInLocalIsLeftOutAndLiftsNoRevocation) {
  const fs::path base = root_.path() / "base.crl", delta = root_.path() / "delta.crl";
  pki_.MakeCrl(base, {3, "20250101000000Z", "20350101000000Z", true});
  // What changed since list 3: nothing, and its number is higher.
  pki_.MakeCrl(delta, {4, "20250201000000Z", "20350101000000Z", false, 3});
  const fs::path revokedMessage = SignedBy(pki_, "revoked");
  // The delta file sorts both after and before the base one.
  for (const char* deltaName : {"zz-delta.crl", "aa-delta.crl"}) {
    SCOPED_TRACE(deltaName);
    const fs::path local = Local(std::string("local-") + deltaName, {"user1", "revoked"},
                                 {{"ca.crl", base}, {deltaName, delta}});
    Ctx ctx = Open("user1", local);
    auto opened = DrainStack(ctx);
    EXPECT_TRUE(Says(opened, "разностный список")) << Joined(opened);
    EXPECT_EQ(VerifyAttached(ctx, revokedMessage), ORLAX_E_CERT_REVOKED);
    DrainStack(ctx);
  }
}

TEST_F(TrustTest, ListSignedByAnotherKeyIsLeftOutAndDisplacesNothing) {
  TestPki lookalike = TestPki::Make(root_.path() / "lookalike", "");
  const fs::path forged = root_.path() / "forged.crl";
  lookalike.MakeCrl(forged, {90, "20260101000000Z", "20360101000000Z", false});
  const fs::path revokedMessage = SignedBy(pki_, "revoked"), userMessage = SignedBy(pki_, "user1");

  // Beside the real list: the real one counts.
  Ctx beside = Open("user1", Local("beside", {"user1", "revoked"}, {{"ca.crl", pki_.Crl()}, {"zz.crl", forged}}));
  auto opened = DrainStack(beside);
  EXPECT_TRUE(Says(opened, "подпись списка отозванных сертификатов не проверена")) << Joined(opened);
  EXPECT_EQ(VerifyAttached(beside, revokedMessage), ORLAX_E_CERT_REVOKED);
  EXPECT_EQ(VerifyAttached(beside, userMessage), 0u);
  DrainStack(beside);

  // Alone: the CA's certificates do not pass as if it had no list.
  Ctx alone = Open("user1", Local("alone", {"user1", "revoked"}, {{"ca.crl", forged}}));
  DrainStack(alone);
  EXPECT_EQ(VerifyAttached(alone, revokedMessage), ORLAX_E_CERT_UNTRUSTED);
  EXPECT_EQ(VerifyAttached(alone, userMessage), ORLAX_E_CERT_UNTRUSTED);
  auto lines = DrainStack(alone);
  EXPECT_TRUE(Says(lines, "CRL signature failure")) << Joined(lines);
}

// Lists from a distribution point: a delta never takes the full list's place,
// and a forged list of LOCAL with a higher number does not make the real list
// from the point "older".
class PointTrustTest : public TrustTest {
 protected:
  void SetUp() override {
    pointPki_ = std::make_unique<TestPki>(TestPki::Make(root_.path() / "pki", server_.Url("/ca.crl")));
    local_ = root_.Dir("point-local");
    for (const char* who : {"ca", "user1", "revoked"}) {
      fs::copy_file(pointPki_->Cert(who), local_ / (std::string(who) + ".pem"));
    }
  }

  void ServeList(const TestPki::CrlContents& contents) {
    const fs::path file = root_.path() / ("served-" + std::to_string(contents.number) + ".crl");
    pointPki_->MakeCrl(file, contents);
    server_.ServeFile("/ca.crl", file);
  }

  uint32_t Refresh(LibraryContext context, std::string* message) {
    std::string buffer(1024, '\0');
    DataBlob blob{static_cast<uint32_t>(buffer.size()), reinterpret_cast<uint8_t*>(buffer.data())};
    uint32_t code = ORLAX_ControlEx(context, 0, ORLAX_CONTROL_LOAD_CRL, nullptr, &blob, 0);
    *message = buffer.c_str();
    return code;
  }

  LocalHttpServer server_;
  std::unique_ptr<TestPki> pointPki_;
  fs::path local_;
};

TEST_F(PointTrustTest, DeltaFromThePointIsRefusedAndTheBaseStays) {
  const fs::path revokedMessage = SignedBy(*pointPki_, "revoked");
  ServeList({5, "20260101000000Z", "20360101000000Z", true});
  std::string message;
  {
    Ctx ctx = Open("user1", local_);
    ASSERT_EQ(Refresh(ctx, &message), 0u) << message;
    EXPECT_EQ(VerifyAttached(ctx, revokedMessage), ORLAX_E_CERT_REVOKED);
    DrainStack(ctx);

    ServeList({6, "20260201000000Z", "20360101000000Z", false, 5});
    EXPECT_EQ(Refresh(ctx, &message), ORLAX_E_CRL_LOAD);
    EXPECT_NE(message.find(server_.Url("/ca.crl")), std::string::npos) << message;
    EXPECT_EQ(VerifyAttached(ctx, revokedMessage), ORLAX_E_CERT_REVOKED) << "in the running context";
    DrainStack(ctx);
  }
  Ctx reopened = Open("user1", local_);
  DrainStack(reopened);
  EXPECT_EQ(VerifyAttached(reopened, revokedMessage), ORLAX_E_CERT_REVOKED) << "after a restart";
}

TEST_F(PointTrustTest, ForgedLocalListDoesNotMakeTheRealOneOlder) {
  TestPki lookalike = TestPki::Make(root_.path() / "lookalike", "");
  lookalike.MakeCrl(local_ / "forged.crl", {90, "20260101000000Z", "20360101000000Z", false});
  ServeList({5, "20260101000000Z", "20360101000000Z", true});
  Ctx ctx = Open("user1", local_);
  DrainStack(ctx);
  std::string message;
  EXPECT_EQ(Refresh(ctx, &message), 0u) << message;
  EXPECT_EQ(VerifyAttached(ctx, SignedBy(*pointPki_, "revoked")), ORLAX_E_CERT_REVOKED);
}

// --- document signers --------------------------------------------------------

TEST_F(TrustTest, CertificatesNotForDocumentsSignNothing) {
  Ctx ctx = Open("user1", Local("signers", {"user1", "tsa", "encipher"}));
  DrainStack(ctx);
  EXPECT_EQ(VerifyAttached(ctx, SignedBy(pki_, "user1")), 0u);
  for (const char* who : {"ca", "tsa", "encipher"}) {
    SCOPED_TRACE(who);
    EXPECT_EQ(VerifyAttached(ctx, SignedBy(pki_, who)), ORLAX_E_CERT_UNTRUSTED);
    auto lines = DrainStack(ctx);
    EXPECT_TRUE(Says(lines, "подпис")) << Joined(lines);
  }
}

// --- recipients ----------------------------------------------------------------

TEST_F(TrustTest, RecipientSearchFindsOnlyCertificatesThatCanTakeAFile) {
  TestPki lookalike = TestPki::Make(root_.path() / "lookalike", "");
  const fs::path local = Local("recipients", {"user1", "user2", "tsa", "revoked", "onhold", "expired", "future"},
                               {{"ca.crl", pki_.Crl()}});
  // Another CA's holder under user1's name and one under user2's alone.
  fs::copy_file(lookalike.Cert("user1"), local / "lookalike-user1.pem");
  fs::copy_file(lookalike.Cert("encipher"), local / "lookalike-encipher.pem");
  Ctx ctx = Open("user2", local);
  DrainStack(ctx);

  struct Case {
    const char* who;
    const char* why;
  } refused[] = {{"revoked", "отозван"},
                 {"onhold", "отозван"},
                 {"expired", "недействителен"},
                 {"future", "недействителен"},
                 {"tsa", "шифрования"},
                 {"encipher", "цепочке доверия"}};
  for (const Case& c : refused) {
    SCOPED_TRACE(c.who);
    CertQuery query{};
    query.subjectKind = ORLAX_SUBJECT_KIND_DN;
    const std::string dn = pki_.Dn(c.who);
    query.subject = dn.c_str();
    FindResult result{};
    EXPECT_EQ(ORLAX_FindCert(ctx, &query, &result), ORLAX_E_CERT_NOT_FOUND);
    EXPECT_EQ(result.count, 0u);
    ORLAX_FreeFindResult(ctx, &result);
    auto lines = DrainStack(ctx);
    EXPECT_TRUE(Says(lines, c.why)) << Joined(lines);
  }

  // user1's name: the real certificate only; the search leaves no lines.
  FindResult found = Find(ctx, "user1");
  ASSERT_EQ(found.count, 1u);
  EXPECT_EQ(std::string(found.certs[0].serialNumber), pki_.Serial("user1"));
  ORLAX_FreeFindResult(ctx, &found);
  EXPECT_TRUE(DrainStack(ctx).empty());

  // Every certificate: the usable ones only.
  CertQuery all{};
  FindResult every{};
  ASSERT_EQ(ORLAX_FindCert(ctx, &all, &every), 0u);
  std::vector<std::string> serials;
  for (uint32_t i = 0; i < every.count; ++i) serials.push_back(every.certs[i].serialNumber);
  ORLAX_FreeFindResult(ctx, &every);
  std::sort(serials.begin(), serials.end());
  std::vector<std::string> expected{pki_.Serial("user1"), pki_.Serial("user2")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(serials, expected);

  // A search for signers is not one for recipients: the TSA's certificate is
  // left out for its use, not for want of encipherment.
  CertQuery signers{};
  signers.flags = ORLAX_FIND_SIGNING;
  FindResult signing{};
  ASSERT_EQ(ORLAX_FindCert(ctx, &signers, &signing), 0u);
  EXPECT_GE(signing.count, 2u);
  ORLAX_FreeFindResult(ctx, &signing);
}

// --- the context's own certificate when signing --------------------------------

TEST_F(TrustTest, SigningWithACertificateVerifiersRefuseFailsBeforeAnyOutput) {
  TestPki lookalike = TestPki::Make(root_.path() / "lookalike", "");
  fs::path lookalikePse = root_.Dir("lookalike-pse");
  fs::copy_file(lookalike.Cert("user1"), lookalikePse / "cert.pem");
  fs::copy_file(lookalike.Key("user1"), lookalikePse / "key.pem");
  const fs::path input = WriteInput("doc.txt", "Договор");
  struct Case {
    std::string pse;
    uint32_t code;
  } cases[] = {{pki_.Pse("revoked").string(), ORLAX_E_CERT_REVOKED},
               {pki_.Pse("expired").string(), ORLAX_E_CERT_EXPIRED},
               {pki_.Pse("future").string(), ORLAX_E_CERT_EXPIRED},
               {pki_.Pse("ca").string(), ORLAX_E_CERT_UNTRUSTED},
               {lookalikePse.string(), ORLAX_E_CERT_UNTRUSTED}};
  const std::string local = pki_.local.string();
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pse);
    InitParams params{};
    params.size = sizeof params;
    params.flags = 0x4;
    params.pse = c.pse.c_str();
    params.local = local.c_str();
    LibraryContext raw = nullptr;
    ASSERT_EQ(ORLAX_InitializeEx(1, &params, &raw), 0u);
    Ctx ctx(raw);
    DrainStack(ctx);
    const fs::path att = File("att.p7s"), det = File("det.p7d");
    EXPECT_EQ(ORLAX_CmsBlkAttSignFile(ctx, &sign, input.c_str(), att.c_str()), c.code);
    EXPECT_EQ(ORLAX_CmsStrDetSignFile(ctx, &sign, input.c_str(), nullptr, det.c_str()), c.code);
    EXPECT_FALSE(fs::exists(att));
    EXPECT_FALSE(fs::exists(det));
    StreamContext stream = nullptr;
    DataBlob first{3, reinterpret_cast<uint8_t*>(const_cast<char*>("abc"))};
    EXPECT_EQ(ORLAX_CmsStrAttSignInitMem(ctx, &sign, &first, &stream), c.code);
    EXPECT_EQ(stream, nullptr);
    DataBlob none{};
    EXPECT_EQ(ORLAX_CmsStrDetSignInitMem(ctx, &sign, &none, &stream), c.code);
    EXPECT_EQ(stream, nullptr);
    auto lines = DrainStack(ctx);
    EXPECT_TRUE(Says(lines, "сертификат подписи")) << Joined(lines);
  }
}

// --- time stamps ------------------------------------------------------------------

// Authorities whose certificates were valid at the stamp's time no longer or
// not yet: the chain is checked now on a clock inside their validity, so
// only the stamp's time tells them apart.
class StampTimeTest : public TrustTest {
 protected:
  StampTimeTest() {
    server_.EnableTimeStamping(pki_, "/tsa");
    server_.EnableTimeStamping(pki_, "/short", "", "tsa_short");
    server_.EnableTimeStamping(pki_, "/later", "", "tsa_later");
  }

  fs::path SignedByUser1() {
    Ctx ctx = Open("user1");
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    const fs::path input = WriteInput("doc.txt", "Договор со штампом"), out = File("doc.p7s");
    EXPECT_EQ(ORLAX_CmsBlkAttSignFile(ctx, &sign, input.c_str(), out.c_str()), 0u);
    return out;
  }

  // The honest stamp of `message` with its token swapped for one that the
  // authority at `path` gives over the same query.
  fs::path Restamped(const fs::path& message, const std::string& path) {
    Ctx ctx = Open("user1");
    TspStampParams params{6, 0, 0, 0, 0};
    const fs::path stamped = File("stamped.p7s");
    if (!fs::exists(stamped)) {
      EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url("/tsa").c_str(), message.c_str(), stamped.c_str()),
                0u);
    }
    const std::string query = server_.Requests().front().body;
    std::string reply;
    EXPECT_EQ(testsupport::PostTimeStampQuery(server_.Port(), path, query, &reply), 200);
    const fs::path out = File("restamped" + path.substr(1) + ".p7s");
    Write(out, testsupport::ReplaceTimeStampToken(Read(stamped), testsupport::TokenOfReply(reply)));
    return out;
  }

  LocalHttpServer server_;
};

TEST_F(StampTimeTest, StampFromOutsideItsAuthoritysValidityIsRefused) {
  const fs::path message = SignedByUser1();
  const fs::path shortStamp = Restamped(message, "/short"), laterStamp = Restamped(message, "/later");
  struct Case {
    const char* name;
    std::string path;
    fs::path stamped;
    int64_t now;  // inside the authority's validity
  } cases[] = {{"ended before the stamp", "/short", shortStamp, kMarch2025},
               {"began after the stamp", "/later", laterStamp, pki_.NotBefore("tsa_later") + 4 * 86400}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::DrivenClock clock(root_, c.now);
    Ctx ctx = Open("user1");
    TspVerifyParams verify{0, 0, 0, 0, 3};
    for (auto check : {ORLAX_TspBlkVerifyCmsFile, ORLAX_TspStrVerifyCmsFile}) {
      TspVerifyResult result{};
      EXPECT_EQ(check(ctx, &verify, c.stamped.c_str(), &result), ORLAX_E_TSP_INVALID);
      ORLAX_TspFreeVerifyResult(ctx, &result);
      auto lines = DrainStack(ctx);
      EXPECT_TRUE(Says(lines, "вне срока действия")) << Joined(lines);
    }
    // Signing asks that authority for a stamp and embeds none.
    TspStampParams params{6, 0, 0, 0, 0};
    const fs::path out = File(std::string("signed") + c.path.substr(1) + ".p7s");
    EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url(c.path).c_str(), message.c_str(), out.c_str()),
              ORLAX_E_TSP_INVALID);
    EXPECT_FALSE(fs::exists(out));
    DrainStack(ctx);
  }
}

}  // namespace
}  // namespace qelmtest
