// Time stamps from a local RFC 3161 server and revocation lists from
// distribution points: main paths, and servers that fail or cannot be reached.

#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <vector>

#include "tests/qelm/library_fixture.h"
#include "tests/support/der.h"
#include "tests/support/http_server.h"

namespace qelmtest {
namespace {

using testsupport::LocalHttpServer;

class TimeStampTest : public LibraryTest {
 protected:
  TimeStampTest() { server_.EnableTimeStamping(pki_, "/tsa"); }

  // A message of user1 (attached or detached) with prior signatures of user2.
  fs::path Signed(const std::string& name, bool detached, int signatures) {
    fs::path input = WriteInput(name + ".txt", "stamped content " + name);
    fs::path current;
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    for (int i = 0; i < signatures; ++i) {
      Ctx ctx = Open(i + 1 == signatures ? "user1" : "user2");
      fs::path next = File(name + "." + std::to_string(i));
      uint32_t code = detached ? ORLAX_CmsBlkDetSignFile(ctx, &sign, input.c_str(),
                                                         current.empty() ? nullptr : current.c_str(), next.c_str())
                               : ORLAX_CmsBlkAttSignFile(ctx, &sign, current.empty() ? input.c_str() : current.c_str(),
                                                         next.c_str());
      EXPECT_EQ(code, 0u);
      current = next;
    }
    return current;
  }

  LocalHttpServer server_;
};

TEST_F(TimeStampTest, StampOfTheChosenSignatureReportsTimeAndServer) {
  Ctx ctx = Open("user1");
  struct {
    const char* name;
    decltype(&ORLAX_TspBlkUrlStampCmsFile) stamp;
    decltype(&ORLAX_TspBlkVerifyCmsFile) verify;
    bool detached;
  } forms[] = {{"block", ORLAX_TspBlkUrlStampCmsFile, ORLAX_TspBlkVerifyCmsFile, false},
               {"stream", ORLAX_TspStrUrlStampCmsFile, ORLAX_TspStrVerifyCmsFile, false},
               {"detached", ORLAX_TspBlkUrlStampCmsFile, ORLAX_TspBlkVerifyCmsFile, true}};
  const std::string url = server_.Url("/tsa");
  for (const auto& form : forms) {
    SCOPED_TRACE(form.name);
    fs::path input = Signed(form.name, form.detached, 2);
    fs::path stamped = File(std::string(form.name) + ".stamped");
    TspStampParams params{6, 0, 0, 1, 0};  // the last of two signatures
    const time_t before = time(nullptr);
    ASSERT_EQ(form.stamp(ctx, &params, url.c_str(), input.c_str(), stamped.c_str()), 0u)
        << (DrainStack(ctx).empty() ? "" : DrainStack(ctx).front().data);

    TspVerifyParams verify{0, 0, 0, 1, 3};
    TspVerifyResult result{};
    EXPECT_EQ(form.verify(ctx, &verify, stamped.c_str(), &result), 0u);
    EXPECT_GE(result.stampTime + 2u, static_cast<uint32_t>(before));
    EXPECT_LE(result.stampTime, static_cast<uint32_t>(time(nullptr)) + 2u);
    ASSERT_NE(result.tsaCert, nullptr);
    EXPECT_EQ(std::string(result.tsaCert->owner), pki_.Dn("tsa"));
    EXPECT_EQ(std::string(result.tsaCert->serialNumber), pki_.Serial("tsa"));
    ORLAX_TspFreeVerifyResult(ctx, &result);

    // The other signature has no stamp, and there is no third one.
    verify.signatureIndex = 0;
    EXPECT_EQ(form.verify(ctx, &verify, stamped.c_str(), &result), ORLAX_E_NO_TIME_STAMP);
    EXPECT_EQ(result.stampTime, 0u);
    ORLAX_TspFreeVerifyResult(ctx, &result);
    verify.signatureIndex = 2;
    EXPECT_EQ(form.verify(ctx, &verify, stamped.c_str(), &result), ORLAX_E_SIGNATURE_INDEX);
    ORLAX_TspFreeVerifyResult(ctx, &result);
    EXPECT_EQ(DrainStack(ctx).size(), 2u);

    // The stamp is an unsigned attribute: the signatures still verify.
    VerifyParams vp{};
    VerifyResult vr{};
    fs::path data = File(std::string(form.name) + ".txt");
    uint32_t code = form.detached ? ORLAX_CmsBlkDetVerifyFile(ctx, &vp, data.c_str(), stamped.c_str(), nullptr, &vr)
                                  : ORLAX_CmsStrAttVerifyFile(ctx, &vp, stamped.c_str(), nullptr, &vr);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(vr.count, 2u);
    ORLAX_FreeVerifyResult(ctx, &vr);
  }
  EXPECT_EQ(server_.Count("/tsa"), 3);
}

TEST_F(TimeStampTest, StampOfAnotherAuthorityDoesNotVerify) {
  // A LOCAL folder whose root is not the TSA's: the stamp is read but refused.
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  Ctx ctx = Open("user1");
  fs::path input = Signed("doc", false, 1);
  fs::path stamped = File("doc.stamped");
  TspStampParams params{6, 0, 0, 0, 0};
  ASSERT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url("/tsa").c_str(), input.c_str(), stamped.c_str()),
            0u);
  InitParams init{};
  init.size = sizeof init;
  std::string pse = other.Pse("user1").string(), local = other.local.string();
  init.pse = pse.c_str();
  init.local = local.c_str();
  LibraryContext raw = nullptr;
  ASSERT_EQ(ORLAX_InitializeEx(1, &init, &raw), 0u);
  Ctx foreign(raw);
  TspVerifyParams verify{0, 0, 0, 0, 3};
  TspVerifyResult result{};
  EXPECT_EQ(ORLAX_TspBlkVerifyCmsFile(foreign, &verify, stamped.c_str(), &result), ORLAX_E_TSP_INVALID);
  EXPECT_NE(result.stampTime, 0u) << "the time is reported even when the stamp is refused";
  ORLAX_TspFreeVerifyResult(foreign, &result);
  EXPECT_FALSE(DrainStack(foreign).empty());
}

// An authority whose certificate chains to no root of LOCAL: its answer is
// refused at once, in every form, and nothing is written.
TEST_F(TimeStampTest, StampOfAnUntrustedAuthorityIsRefusedAtSigning) {
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  server_.EnableTimeStamping(other, "/untrusted");
  const std::string url = server_.Url("/untrusted");
  Ctx ctx = Open("user1");
  fs::path input = Signed("doc", false, 1);
  TspStampParams params{6, 0, 0, 0, 0};
  fs::path out = File("out.p7s");
  for (auto stamp : {ORLAX_TspBlkUrlStampCmsFile, ORLAX_TspStrUrlStampCmsFile}) {
    EXPECT_EQ(stamp(ctx, &params, url.c_str(), input.c_str(), out.c_str()), ORLAX_E_TSP_INVALID);
    EXPECT_FALSE(fs::exists(out));
    auto lines = DrainStack(ctx);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text + ".", ErrorText(ORLAX_E_TSP_INVALID));
    EXPECT_NE(lines.back().data.find(url), std::string::npos) << lines.back().data;
  }
  const std::string bytes = Read(input);
  DataBlob in{static_cast<uint32_t>(bytes.size()), reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()))};
  DataBlob block{};
  EXPECT_EQ(ORLAX_TspBlkUrlStampCmsMem(ctx, &params, url.c_str(), &in, &block), ORLAX_E_TSP_INVALID);
  EXPECT_EQ(block.length, 0u);
  StreamContext stream = nullptr;
  DataBlob piece{};
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsInitMem(ctx, &params, url.c_str(), &in, &stream), 0u);
  EXPECT_EQ(ORLAX_TspStrUrlStampCmsFinalMem(ctx, &params, url.c_str(), &stream, &piece), ORLAX_E_TSP_INVALID);
  if (piece.length > 0) ORLAX_FreeMem(ctx, piece.data);
  EXPECT_EQ(server_.Count("/untrusted"), 4);
  // The trusted authority still stamps through the same context.
  EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url("/tsa").c_str(), input.c_str(), out.c_str()), 0u);
}

// An imprint whose bytes are the GOST digest of the signature but whose
// algorithm says SHA-256: refused when stamping (the answer does not match
// the query) and when verifying.
TEST_F(TimeStampTest, StampUnderAnotherDigestNameIsRefused) {
  constexpr const char* kSha256 = "2.16.840.1.101.3.4.2.1";
  server_.EnableTimeStamping(pki_, "/sha256", kSha256);
  Ctx ctx = Open("user1");
  fs::path input = Signed("doc", false, 1);
  TspStampParams params{6, 0, 0, 0, 0};
  fs::path refused = File("refused.p7s");
  EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url("/sha256").c_str(), input.c_str(), refused.c_str()),
            ORLAX_E_TSP_RESPONSE);
  EXPECT_FALSE(fs::exists(refused));
  DrainStack(ctx);

  // A file whose honest stamp was swapped for one of the same authority over
  // the same bytes under the other name.
  fs::path stamped = File("doc.stamped");
  ASSERT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url("/tsa").c_str(), input.c_str(), stamped.c_str()),
            0u);
  const std::string query = server_.Requests().back().body;
  auto tokenFrom = [&](const std::string& path) {
    std::string reply;
    EXPECT_EQ(testsupport::PostTimeStampQuery(server_.Port(), path, query, &reply), 200);
    return testsupport::TokenOfReply(reply);
  };
  fs::path swapped = File("doc.swapped"), restamped = File("doc.restamped");
  Write(swapped, testsupport::ReplaceTimeStampToken(Read(stamped), tokenFrom("/sha256")));
  Write(restamped, testsupport::ReplaceTimeStampToken(Read(stamped), tokenFrom("/tsa")));
  TspVerifyParams verify{0, 0, 0, 0, 3};
  for (auto check : {ORLAX_TspBlkVerifyCmsFile, ORLAX_TspStrVerifyCmsFile}) {
    TspVerifyResult result{};
    EXPECT_EQ(check(ctx, &verify, restamped.c_str(), &result), 0u) << "a swap as such is no fault";
    ORLAX_TspFreeVerifyResult(ctx, &result);
    result = {};
    EXPECT_EQ(check(ctx, &verify, swapped.c_str(), &result), ORLAX_E_TSP_INVALID);
    ORLAX_TspFreeVerifyResult(ctx, &result);
    auto lines = DrainStack(ctx);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().data.find("ГОСТ Р 34.11-2012"), std::string::npos) << lines.back().data;
  }
}

TEST_F(TimeStampTest, FailingOrMissingServerGivesCodeTextAndNoOutput) {
  Ctx ctx = Open("user1");
  fs::path input = Signed("doc", false, 1);
  fs::path out = File("out.p7s");
  TspStampParams params{6, 0, 0, 0, 0};

  struct Case {
    const char* name;
    LocalHttpServer::Mode mode;
    std::string url;
    uint32_t code;
  } cases[] = {
      {"server error", LocalHttpServer::Mode::kFail, server_.Url("/tsa"), ORLAX_E_NETWORK},
      {"connection dropped", LocalHttpServer::Mode::kRefuse, server_.Url("/tsa"), ORLAX_E_NETWORK},
      {"not an authority", LocalHttpServer::Mode::kServe, server_.Url("/nothing"), ORLAX_E_NETWORK},
      {"nobody listens", LocalHttpServer::Mode::kServe, "http://127.0.0.1:1/tsa", ORLAX_E_NETWORK},
      {"not http", LocalHttpServer::Mode::kServe, "ftp://127.0.0.1/tsa", ORLAX_E_BAD_URL},
      {"empty", LocalHttpServer::Mode::kServe, "", ORLAX_E_BAD_URL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.SetMode(c.mode);
    EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, c.url.c_str(), input.c_str(), out.c_str()), c.code);
    EXPECT_FALSE(fs::exists(out));
    auto lines = DrainStack(ctx);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text + ".", ErrorText(c.code));
  }
  server_.SetMode(LocalHttpServer::Mode::kServe);
  params.signatureIndex = 1;
  EXPECT_EQ(ORLAX_TspBlkUrlStampCmsFile(ctx, &params, server_.Url("/tsa").c_str(), input.c_str(), out.c_str()),
            ORLAX_E_SIGNATURE_INDEX);
}

TEST_F(TimeStampTest, MemoryFormsStampAndCheckInOneBlockAndInPieces) {
  Ctx ctx = Open("user1");
  std::string message = Read(Signed("doc", false, 1));
  DataBlob in{static_cast<uint32_t>(message.size()), reinterpret_cast<uint8_t*>(message.data())};
  const std::string url = server_.Url("/tsa");
  TspStampParams params{6, 0, 0, 0, 0};
  DataBlob block{};
  ASSERT_EQ(ORLAX_TspBlkUrlStampCmsMem(ctx, &params, url.c_str(), &in, &block), 0u);

  // The same in pieces, as the combined operations pass it on.
  std::string pieces;
  StreamContext s = nullptr;
  TspVerifyParams verify{0, 0, 0, 0, 3};
  TspVerifyResult result{};
  size_t half = message.size() / 2;
  DataBlob first{static_cast<uint32_t>(half), in.data}, second{static_cast<uint32_t>(message.size() - half), in.data + half};
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsInitMem(ctx, &params, url.c_str(), &first, &s), 0u);
  DataBlob out{};
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsUpdateMem(ctx, &params, url.c_str(), &s, &second, &out), 0u);
  pieces.append(reinterpret_cast<char*>(out.data), out.length);
  ORLAX_FreeMem(ctx, out.data);
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsFinalMem(ctx, &params, url.c_str(), &s, &out), 0u);
  pieces.append(reinterpret_cast<char*>(out.data), out.length);
  ORLAX_FreeMem(ctx, out.data);

  EXPECT_EQ(ORLAX_TspBlkVerifyCmsMem(ctx, &verify, &block, &result), 0u);
  EXPECT_NE(result.stampTime, 0u);
  ORLAX_TspFreeVerifyResult(ctx, &result);
  DataBlob whole{static_cast<uint32_t>(pieces.size()), reinterpret_cast<uint8_t*>(pieces.data())};
  ASSERT_EQ(ORLAX_TspStrVerifyCmsInitMem(ctx, &verify, &whole, &s), 0u);
  ASSERT_EQ(ORLAX_TspStrVerifyCmsFinalMem(ctx, &verify, &s, &result), 0u);
  ASSERT_NE(result.tsaCert, nullptr);
  EXPECT_EQ(std::string(result.tsaCert->owner), pki_.Dn("tsa"));
  ORLAX_TspFreeVerifyResult(ctx, &result);
  // The unstamped message has none.
  ASSERT_EQ(ORLAX_TspStrVerifyCmsInitMem(ctx, &verify, &in, &s), 0u);
  EXPECT_EQ(ORLAX_TspStrVerifyCmsFinalMem(ctx, &verify, &s, &result), ORLAX_E_NO_TIME_STAMP);
  ORLAX_TspFreeVerifyResult(ctx, &result);
  ORLAX_FreeMem(ctx, block.data);

  // A stream-encoded message passes on up to the end of its content, no more
  // at a time than the piece taken; the rest and the end come with the stamp.
  fs::path data = WriteInput("big.bin", RandomBytes(400 * 1024, 9)), streamed = File("big.p7s");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  ASSERT_EQ(ORLAX_CmsStrAttSignFile(ctx, &sign, data.c_str(), streamed.c_str()), 0u);
  std::string big = Read(streamed);
  half = big.size() / 2;
  DataBlob bigFirst{static_cast<uint32_t>(half), reinterpret_cast<uint8_t*>(big.data())};
  DataBlob bigSecond{static_cast<uint32_t>(big.size() - half), reinterpret_cast<uint8_t*>(big.data()) + half};
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsInitMem(ctx, &params, url.c_str(), &bigFirst, &s), 0u);
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsUpdateMem(ctx, &params, url.c_str(), &s, &bigSecond, &out), 0u);
  EXPECT_EQ(out.length, bigSecond.length) << "the content goes on before the stamp, a piece at a time";
  std::string stampedBig(reinterpret_cast<char*>(out.data), out.length);
  ORLAX_FreeMem(ctx, out.data);
  ASSERT_EQ(ORLAX_TspStrUrlStampCmsFinalMem(ctx, &params, url.c_str(), &s, &out), 0u);
  EXPECT_LT(out.length, bigFirst.length + 16384u);
  stampedBig.append(reinterpret_cast<char*>(out.data), out.length);
  ORLAX_FreeMem(ctx, out.data);
  fs::path stampedFile = WriteInput("big.stamped", stampedBig), content = File("big.content");
  EXPECT_EQ(ORLAX_TspStrVerifyCmsFile(ctx, &verify, stampedFile.c_str(), &result), 0u);
  ORLAX_TspFreeVerifyResult(ctx, &result);
  VerifyParams vp{};
  vp.flags = ORLAX_VERIFY_CONTENT;
  VerifyResult vr{};
  EXPECT_EQ(ORLAX_CmsStrAttVerifyFile(ctx, &vp, stampedFile.c_str(), content.c_str(), &vr), 0u);
  ORLAX_FreeVerifyResult(ctx, &vr);
  EXPECT_TRUE(Read(content) == Read(data));
}

class CrlTest : public LibraryTest {};

TEST_F(CrlTest, ListsAreLoadedFromDistributionPointsAndCheckedAtOnce) {
  LocalHttpServer server;
  testsupport::TestPki pki = testsupport::TestPki::Make(root_.path() / "pki", server.Url("/ca.crl"));
  // LOCAL without the CRL: the revoked signer passes until the list is loaded.
  fs::path local = root_.Dir("local");
  for (const char* who : {"ca", "user1", "user2", "revoked"}) fs::copy_file(pki.Cert(who), local / (std::string(who) + ".pem"));
  auto open = [&](const std::string& who, uint32_t flags) {
    InitParams init{};
    init.size = sizeof init;
    init.flags = flags;
    std::string pse = pki.Pse(who).string(), loc = local.string();
    init.pse = pse.c_str();
    init.local = loc.c_str();
    LibraryContext raw = nullptr;
    EXPECT_EQ(ORLAX_InitializeEx(1, &init, &raw), 0u);
    return Ctx(raw);
  };
  fs::path input = WriteInput("doc.txt", "x"), sig = File("doc.p7s");
  {
    Ctx revoked = open("revoked", 0);
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(revoked, &sign, input.c_str(), sig.c_str()), 0u);
  }
  Ctx ctx = open("user1", 0);
  VerifyParams vp{};
  VerifyResult vr{};
  EXPECT_EQ(ORLAX_CmsStrAttVerifyFile(ctx, &vp, sig.c_str(), nullptr, &vr), 0u);
  ORLAX_FreeVerifyResult(ctx, &vr);

  // The distribution point fails: the code, its text in the buffer, a stack line.
  server.SetMode(LocalHttpServer::Mode::kFail);
  std::vector<uint8_t> buffer(1024, 0);
  DataBlob message{1024, buffer.data()};
  EXPECT_EQ(ORLAX_ControlEx(ctx, 0, 4, 0, &message, 0), ORLAX_E_CRL_LOAD);
  EXPECT_NE(std::string(reinterpret_cast<char*>(buffer.data())).find(server.Url("/ca.crl")), std::string::npos);
  EXPECT_FALSE(DrainStack(ctx).empty());

  server.SetMode(LocalHttpServer::Mode::kServe);
  server.ServeFile("/ca.crl", pki.CrlDer());
  std::fill(buffer.begin(), buffer.end(), 0);
  EXPECT_EQ(ORLAX_ControlEx(ctx, 0, 4, 0, &message, 0), 0u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(ORLAX_CmsStrAttVerifyFile(ctx, &vp, sig.c_str(), nullptr, &vr), ORLAX_E_CERT_REVOKED);
  ORLAX_FreeVerifyResult(ctx, &vr);

  // The list is kept in LOCAL for contexts opened later.
  Ctx later = open("user2", 0);
  EXPECT_EQ(ORLAX_CmsStrAttVerifyFile(later, &vp, sig.c_str(), nullptr, &vr), ORLAX_E_CERT_REVOKED);
  ORLAX_FreeVerifyResult(later, &vr);

  // The service opens its contexts with 0x1 always set: the lists load all the same.
  Ctx service = open("user2", 0x1 | 0x4);
  const int asked = server.Count("/ca.crl");
  EXPECT_EQ(ORLAX_ControlEx(service, 0, 4, 0, &message, 0), 0u);
  EXPECT_EQ(server.Count("/ca.crl"), asked + 1);
  EXPECT_EQ(ORLAX_ControlEx(service, 0, 7, 0, &message, 0), ORLAX_E_UNSUPPORTED);
}

// Lists of the CA with chosen numbers and dates, a LOCAL folder without a
// list, and a document signed by the revoked holder.
class CrlOrderTest : public CrlTest {
 protected:
  void SetUp() override {
    own_ = std::make_unique<testsupport::TestPki>(testsupport::TestPki::Make(root_.path() / "pki", server_.Url("/ca.crl")));
    local_ = root_.Dir("local");
    for (const char* who : {"ca", "user1", "user2", "revoked"})
      fs::copy_file(own_->Cert(who), local_ / (std::string(who) + ".pem"));
    fs::path input = WriteInput("doc.txt", "x");
    signature_ = File("doc.p7s");
    Ctx revoked = OpenOwn("revoked");
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(revoked, &sign, input.c_str(), signature_.c_str()), 0u);
  }

  Ctx OpenOwn(const std::string& who) {
    InitParams init{};
    init.size = sizeof init;
    std::string pse = own_->Pse(who).string(), loc = local_.string();
    init.pse = pse.c_str();
    init.local = loc.c_str();
    LibraryContext raw = nullptr;
    EXPECT_EQ(ORLAX_InitializeEx(1, &init, &raw), 0u);
    return Ctx(raw);
  }

  fs::path List(const std::string& name, const testsupport::TestPki::CrlContents& contents) {
    fs::path file = root_.path() / "lists" / name;
    fs::create_directories(file.parent_path());
    own_->MakeCrl(file, contents);
    return file;
  }

  uint32_t Load(LibraryContext ctx, std::string* text = nullptr) {
    std::vector<uint8_t> buffer(1024, 0);
    DataBlob message{1024, buffer.data()};
    uint32_t code = ORLAX_ControlEx(ctx, 0, 4, 0, &message, 0);
    if (text != nullptr) *text = reinterpret_cast<char*>(buffer.data());
    DrainStack(ctx);
    return code;
  }

  uint32_t Verify(LibraryContext ctx) {
    VerifyParams vp{};
    VerifyResult vr{};
    uint32_t code = ORLAX_CmsStrAttVerifyFile(ctx, &vp, signature_.c_str(), nullptr, &vr);
    ORLAX_FreeVerifyResult(ctx, &vr);
    DrainStack(ctx);
    return code;
  }

  // The lists kept in LOCAL, by file name.
  std::map<std::string, std::string> LocalLists() const {
    std::map<std::string, std::string> lists;
    for (const auto& entry : fs::directory_iterator(local_))
      if (entry.path().extension() == ".crl") lists[entry.path().filename().string()] = Read(entry.path());
    return lists;
  }

  LocalHttpServer server_;
  std::unique_ptr<testsupport::TestPki> own_;
  fs::path local_, signature_;
};

// The point first gives a list that revokes the holder, then an older one
// that does not: the older one is refused, the held one stays in the context
// and in LOCAL, and a context opened later still refuses the holder. A list
// expired long ago still revokes what it lists.
TEST_F(CrlOrderTest, OlderOrExpiredListNeverReplacesTheNewerOne) {
  struct Case {
    const char* name;
    testsupport::TestPki::CrlContents held, offered;
  } cases[] = {
      {"lower number", {5, "20260101000000Z", "20360101000000Z", true}, {3, "20260101000000Z", "20360101000000Z", false}},
      {"expired and older", {5, "20260101000000Z", "20360101000000Z", true}, {2, "20250101000000Z", "20250201000000Z", false}},
      {"same number, issued earlier", {5, "20260101000000Z", "20360101000000Z", true}, {5, "20250601000000Z", "20360101000000Z", false}},
      {"held one expired", {5, "20250601000000Z", "20250701000000Z", true}, {3, "20250101000000Z", "20360101000000Z", false}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, bytes] : LocalLists()) fs::remove(local_ / name);
    ++n;
    server_.ServeFile("/ca.crl", List("held" + std::to_string(n), c.held));
    Ctx ctx = OpenOwn("user1");
    ASSERT_EQ(Load(ctx), 0u);
    ASSERT_EQ(Verify(ctx), ORLAX_E_CERT_REVOKED);
    const auto kept = LocalLists();
    ASSERT_EQ(kept.size(), 1u);

    server_.ServeFile("/ca.crl", List("offered" + std::to_string(n), c.offered));
    std::string text;
    EXPECT_EQ(Load(ctx, &text), ORLAX_E_CRL_LOAD);
    EXPECT_NE(text.find("список старее имеющегося"), std::string::npos) << text;
    EXPECT_EQ(Verify(ctx), ORLAX_E_CERT_REVOKED);
    EXPECT_EQ(LocalLists(), kept);
    Ctx later = OpenOwn("user2");
    EXPECT_EQ(Verify(later), ORLAX_E_CERT_REVOKED);
  }
}

// A newer list takes the place of the held one, in the context and in LOCAL;
// the same list again changes nothing and is no failure.
TEST_F(CrlOrderTest, NewerListReplacesTheHeldOne) {
  server_.ServeFile("/ca.crl", List("held", {5, "20260101000000Z", "20360101000000Z", true}));
  Ctx ctx = OpenOwn("user1");
  ASSERT_EQ(Load(ctx), 0u);
  ASSERT_EQ(Load(ctx), 0u);
  ASSERT_EQ(Verify(ctx), ORLAX_E_CERT_REVOKED);
  server_.ServeFile("/ca.crl", List("newer", {6, "20260201000000Z", "20360101000000Z", false}));
  EXPECT_EQ(Load(ctx), 0u);
  EXPECT_EQ(Verify(ctx), 0u);
  EXPECT_EQ(LocalLists().size(), 1u);
  Ctx later = OpenOwn("user2");
  EXPECT_EQ(Verify(later), 0u);
}

// Two lists of the CA in LOCAL: the newer one counts even when it has
// expired and the older one has not.
TEST_F(CrlOrderTest, NewestListOfLocalCountsEvenWhenExpired) {
  List("newer", {5, "20250601000000Z", "20250701000000Z", true});
  List("older", {3, "20250101000000Z", "20360101000000Z", false});
  fs::copy_file(root_.path() / "lists" / "newer", local_ / "b-newer.crl");
  fs::copy_file(root_.path() / "lists" / "older", local_ / "a-older.crl");
  Ctx ctx = OpenOwn("user1");
  EXPECT_EQ(Verify(ctx), ORLAX_E_CERT_REVOKED);
  fs::remove(local_ / "b-newer.crl");
  Ctx without = OpenOwn("user1");
  EXPECT_EQ(Verify(without), 0u) << "the older list alone does not revoke";
}

TEST_F(CrlTest, ListNotSignedByAKnownAuthorityIsRefused) {
  LocalHttpServer server;
  testsupport::TestPki pki = testsupport::TestPki::Make(root_.path() / "pki", server.Url("/ca.crl"));
  testsupport::TestPki forger = testsupport::TestPki::Make(root_.path() / "forger", "");
  server.ServeFile("/ca.crl", forger.CrlDer());  // same issuer name, other key
  InitParams init{};
  init.size = sizeof init;
  std::string pse = pki.Pse("user1").string(), loc = pki.local.string();
  init.pse = pse.c_str();
  init.local = loc.c_str();
  LibraryContext raw = nullptr;
  ASSERT_EQ(ORLAX_InitializeEx(1, &init, &raw), 0u);
  Ctx ctx(raw);
  std::vector<uint8_t> buffer(64, 0);
  DataBlob message{64, buffer.data()};
  EXPECT_EQ(ORLAX_ControlEx(ctx, 0, 4, 0, &message, 0), ORLAX_E_CRL_LOAD);
  EXPECT_EQ(buffer.back(), 0) << "the text is cut to the buffer and ends with NUL";
  EXPECT_NE(buffer[0], 0);
}

// The points of one refresh are asked side by side, each with the same
// time-out: three that never answer cost one time-out, not three, and each
// is still named in the text and on the stack, in the order of the points.
TEST_F(CrlTest, PointsThatNeverAnswerCostOneTimeOutTogether) {
  LocalHttpServer server;
  // The server reads one request and holds it unanswered until the end; the
  // other connections wait unread behind it.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  server.SetRequestHook([released](const LocalHttpServer::Request&) { released.wait(); });
  struct ReleaseAtEnd {
    std::promise<void>& promise;
    ~ReleaseAtEnd() { promise.set_value(); }
  } releaseAtEnd{release};

  const fs::path local = root_.Dir("local");
  std::vector<std::string> urls;
  std::vector<testsupport::TestPki> pkis;
  for (const char* name : {"a", "b", "c"}) {
    urls.push_back(server.Url(std::string("/") + name + ".crl"));
    pkis.push_back(testsupport::TestPki::Make(root_.path() / name, urls.back()));
    fs::copy_file(pkis.back().Cert("user1"), local / (std::string(name) + ".pem"));
  }
  fs::copy_file(pkis[0].Cert("ca"), local / "ca.pem");
  InitParams init{};
  init.size = sizeof init;
  const std::string pse = pkis[0].Pse("user1").string(), loc = local.string();
  init.pse = pse.c_str();
  init.local = loc.c_str();
  LibraryContext raw = nullptr;
  ASSERT_EQ(ORLAX_InitializeEx(1, &init, &raw), 0u);
  Ctx ctx(raw);

  constexpr int kTimeOutSeconds = 3;
  setenv("QELM_NET_TIMEOUT", std::to_string(kTimeOutSeconds).c_str(), 1);
  std::vector<uint8_t> buffer(1024, 0);
  DataBlob message{1024, buffer.data()};
  const auto start = std::chrono::steady_clock::now();
  const uint32_t code = ORLAX_ControlEx(ctx, 0, 4, 0, &message, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  unsetenv("QELM_NET_TIMEOUT");
  EXPECT_EQ(code, ORLAX_E_CRL_LOAD);
  // One after another they take three time-outs at least.
  EXPECT_LT(took, std::chrono::milliseconds(2500 * kTimeOutSeconds));

  const std::string text(reinterpret_cast<char*>(buffer.data()));
  size_t at = 0;
  for (const std::string& url : urls) {
    at = text.find(url + ": нет ответа", at);
    EXPECT_NE(at, std::string::npos) << url << " in " << text;
  }
  std::map<std::string, int> linesPerPoint;
  for (const StackLine& line : DrainStack(ctx)) {
    for (const std::string& url : urls) linesPerPoint[url] += line.data.rfind(url + ": ", 0) == 0;
  }
  for (const std::string& url : urls) EXPECT_EQ(linesPerPoint[url], 2) << url << ": the network failure and the list's";
}

}  // namespace
}  // namespace qelmtest
