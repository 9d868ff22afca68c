// Signing and verification: attached and detached, block and stream forms,
// added signatures, interop with `openssl cms`, and the failures that must be
// told apart (revoked signer, tampered content, untrusted chain).

#include "tests/qelm/library_fixture.h"

namespace qelmtest {
namespace {

using testsupport::RunOpenssl;

struct Form {
  const char* name;
  decltype(&ORLAX_CmsBlkAttSignFile) attSign;
  decltype(&ORLAX_CmsBlkDetSignFile) detSign;
  decltype(&ORLAX_CmsBlkDetVerifyFile) detVerify;
  bool stream;
};

const Form kForms[] = {
    {"block", ORLAX_CmsBlkAttSignFile, ORLAX_CmsBlkDetSignFile, ORLAX_CmsBlkDetVerifyFile, false},
    {"stream", ORLAX_CmsStrAttSignFile, ORLAX_CmsStrDetSignFile, ORLAX_CmsStrDetVerifyFile, true},
};

class SignVerifyTest : public LibraryTest {
 protected:
  uint32_t VerifyAttached(LibraryContext ctx, const fs::path& input, const fs::path& content, VerifyResult* result) {
    VerifyParams params{};
    params.flags = content.empty() ? 0 : ORLAX_VERIFY_CONTENT;
    params.contentLimit = content.empty() ? 0 : 0xFFFFFFFF;
    params.checks = 0x407;
    return ORLAX_CmsStrAttVerifyFile(ctx, &params, input.c_str(), content.empty() ? nullptr : content.c_str(), result);
  }

  MessageInfo Info(LibraryContext ctx, const fs::path& file) {
    MessageInfo info{};
    EXPECT_EQ(ORLAX_CmsStrMsgInfFile(ctx, file.c_str(), &info, 0), 0u) << file;
    return info;
  }
};

TEST_F(SignVerifyTest, AttachedSignatureVerifiesAndGivesContentBack) {
  Ctx ctx = Open("user1");
  const std::string data = RandomBytes(400 * 1024);
  fs::path input = WriteInput("data.bin", data);
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    fs::path signedFile = File(std::string("data.") + form.name + ".p7s");
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    ASSERT_EQ(form.attSign(ctx, &sign, input.c_str(), signedFile.c_str()), 0u);

    MessageInfo info = Info(ctx, signedFile);
    EXPECT_EQ(info.type, ORLAX_MSG_SIGNED);
    EXPECT_EQ(info.flags, form.stream ? ORLAX_MSG_STREAM : 0u);
    EXPECT_EQ(info.signatureCount, 1u);
    ORLAX_CmsFreeMsgInf(ctx, &info);

    fs::path content = File(std::string("content.") + form.name);
    VerifyResult result{};
    ASSERT_EQ(VerifyAttached(ctx, signedFile, content, &result), 0u);
    ASSERT_EQ(result.count, 1u);
    EXPECT_EQ(result.signers[0].status, 0u);
    EXPECT_NEAR(static_cast<double>(result.signers[0].signingTime), static_cast<double>(time(nullptr)), 120.0);
    ASSERT_NE(result.signers[0].cert, nullptr);
    EXPECT_EQ(std::string(result.signers[0].cert->owner), pki_.Dn("user1"));
    EXPECT_EQ(std::string(result.signers[0].cert->serialNumber), pki_.Serial("user1"));
    EXPECT_EQ(std::string(result.signers[0].cert->issuer), pki_.Issuer("user1"));
    ORLAX_FreeVerifyResult(ctx, &result);
    EXPECT_EQ(Read(content), data);
  }
}

TEST_F(SignVerifyTest, DetachedSignatureOfLargeFileVerifiesBothForms) {
  Ctx ctx = Open("user2");
  fs::path input = WriteInput("big.bin", RandomBytes(700 * 1024, 3));
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    fs::path sig = File(std::string("big.") + form.name + ".p7d");
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    ASSERT_EQ(form.detSign(ctx, &sign, input.c_str(), nullptr, sig.c_str()), 0u);
    MessageInfo info = Info(ctx, sig);
    EXPECT_EQ(info.flags & ORLAX_MSG_DETACHED, ORLAX_MSG_DETACHED);
    EXPECT_EQ((info.flags & ORLAX_MSG_STREAM) != 0, form.stream);
    ORLAX_CmsFreeMsgInf(ctx, &info);
    VerifyParams params{};
    VerifyResult result{};
    EXPECT_EQ(form.detVerify(ctx, &params, input.c_str(), sig.c_str(), nullptr, &result), 0u);
    EXPECT_EQ(result.count, 1u);
    ORLAX_FreeVerifyResult(ctx, &result);
  }
}

TEST_F(SignVerifyTest, SignatureIsAddedToAttachedAndDetachedMessages) {
  Ctx first = Open("user1");
  Ctx second = Open("user2");
  fs::path input = WriteInput("doc.txt", "договор № 1\n");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    fs::path once = File(std::string("once.") + form.name), twice = File(std::string("twice.") + form.name);
    ASSERT_EQ(form.attSign(first, &sign, input.c_str(), once.c_str()), 0u);
    ASSERT_EQ(form.attSign(second, &sign, once.c_str(), twice.c_str()), 0u);
    VerifyResult result{};
    fs::path content = File(std::string("content.") + form.name);
    ASSERT_EQ(VerifyAttached(second, twice, content, &result), 0u);
    ASSERT_EQ(result.count, 2u);
    EXPECT_EQ(std::string(result.signers[0].cert->owner), pki_.Dn("user1"));
    EXPECT_EQ(std::string(result.signers[1].cert->owner), pki_.Dn("user2"));
    ORLAX_FreeVerifyResult(second, &result);
    EXPECT_EQ(Read(content), "договор № 1\n");

    fs::path det1 = File(std::string("d1.") + form.name), det2 = File(std::string("d2.") + form.name);
    ASSERT_EQ(form.detSign(first, &sign, input.c_str(), nullptr, det1.c_str()), 0u);
    ASSERT_EQ(form.detSign(second, &sign, input.c_str(), det1.c_str(), det2.c_str()), 0u);
    VerifyParams params{};
    ASSERT_EQ(form.detVerify(first, &params, input.c_str(), det2.c_str(), nullptr, &result), 0u);
    EXPECT_EQ(result.count, 2u);
    ORLAX_FreeVerifyResult(first, &result);
  }
}

// A later approval by the same owner: the certificate is in the message
// already and is not added twice.
TEST_F(SignVerifyTest, SameSignerSignsAgain) {
  Ctx ctx = Open("user1");
  fs::path input = WriteInput("doc.txt", "approved twice");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    fs::path once = File(std::string("1.") + form.name), twice = File(std::string("2.") + form.name);
    ASSERT_EQ(form.attSign(ctx, &sign, input.c_str(), once.c_str()), 0u);
    ASSERT_EQ(form.attSign(ctx, &sign, once.c_str(), twice.c_str()), 0u);
    fs::path det1 = File(std::string("d1.") + form.name), det2 = File(std::string("d2.") + form.name);
    ASSERT_EQ(form.detSign(ctx, &sign, input.c_str(), nullptr, det1.c_str()), 0u);
    ASSERT_EQ(form.detSign(ctx, &sign, input.c_str(), det1.c_str(), det2.c_str()), 0u);
    VerifyResult result{};
    EXPECT_EQ(VerifyAttached(ctx, twice, {}, &result), 0u);
    EXPECT_EQ(result.count, 2u);
    ORLAX_FreeVerifyResult(ctx, &result);
    VerifyParams params{};
    EXPECT_EQ(form.detVerify(ctx, &params, input.c_str(), det2.c_str(), nullptr, &result), 0u);
    EXPECT_EQ(result.count, 2u);
    ORLAX_FreeVerifyResult(ctx, &result);
  }
  std::string text = "approved twice";
  DataBlob content{static_cast<uint32_t>(text.size()), reinterpret_cast<uint8_t*>(text.data())};
  DataBlob none{}, det{}, det2{};
  ASSERT_EQ(ORLAX_CmsBlkDetSignMem(ctx, &sign, &content, &none, &det), 0u);
  EXPECT_EQ(ORLAX_CmsBlkDetSignMem(ctx, &sign, &content, &det, &det2), 0u);
  ORLAX_FreeMem(ctx, det.data);
  ORLAX_FreeMem(ctx, det2.data);
}

TEST_F(SignVerifyTest, AddingToTheWrongFormIsRefused) {
  Ctx ctx = Open("user1");
  fs::path input = WriteInput("doc.txt", "abc");
  fs::path det = File("doc.p7d"), att = File("doc.p7s"), out = File("out");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  ASSERT_EQ(ORLAX_CmsBlkDetSignFile(ctx, &sign, input.c_str(), nullptr, det.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(ctx, &sign, input.c_str(), att.c_str()), 0u);
  EXPECT_EQ(ORLAX_CmsBlkAttSignFile(ctx, &sign, det.c_str(), out.c_str()), ORLAX_E_WRONG_SIGNATURE_FORM);
  EXPECT_EQ(ORLAX_CmsBlkDetSignFile(ctx, &sign, input.c_str(), att.c_str(), out.c_str()), ORLAX_E_WRONG_SIGNATURE_FORM);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(DrainStack(ctx).empty());
}

TEST_F(SignVerifyTest, OpensslVerifiesWhatTheLibrarySigns) {
  Ctx ctx = Open("user1");
  fs::path input = WriteInput("data.bin", RandomBytes(350 * 1024, 11));
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    fs::path att = File(std::string("a.") + form.name), det = File(std::string("d.") + form.name);
    fs::path out = File(std::string("out.") + form.name);
    ASSERT_EQ(form.attSign(ctx, &sign, input.c_str(), att.c_str()), 0u);
    ASSERT_EQ(form.detSign(ctx, &sign, input.c_str(), nullptr, det.c_str()), 0u);
    std::string log;
    EXPECT_EQ(RunOpenssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", att.string(), "-CAfile",
                          pki_.Cert("ca").string(), "-out", out.string()},
                         &log),
              0)
        << log;
    EXPECT_EQ(Read(out), Read(input));
    EXPECT_EQ(RunOpenssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", det.string(), "-content",
                          input.string(), "-CAfile", pki_.Cert("ca").string(), "-out", "/dev/null"},
                         &log),
              0)
        << log;
  }
}

TEST_F(SignVerifyTest, LibraryVerifiesWhatOpensslSigns) {
  Ctx ctx = Open("user2");
  fs::path input = WriteInput("data.bin", RandomBytes(320 * 1024, 5));
  fs::path att = File("a.p7s"), det = File("d.p7d"), streamed = File("s.p7s");
  const std::string signer = pki_.Cert("user1").string(), key = pki_.Key("user1").string();
  std::string log;
  ASSERT_EQ(RunOpenssl({"cms", "-sign", "-binary", "-nodetach", "-md", "md_gost12_256", "-in", input.string(),
                        "-signer", signer, "-inkey", key, "-outform", "DER", "-out", att.string()},
                       &log),
            0)
      << log;
  ASSERT_EQ(RunOpenssl({"cms", "-sign", "-binary", "-md", "md_gost12_256", "-in", input.string(), "-signer", signer,
                        "-inkey", key, "-outform", "DER", "-out", det.string()},
                       &log),
            0)
      << log;
  ASSERT_EQ(RunOpenssl({"cms", "-sign", "-binary", "-nodetach", "-stream", "-md", "md_gost12_256", "-in",
                        input.string(), "-signer", signer, "-inkey", key, "-outform", "DER", "-out",
                        streamed.string()},
                       &log),
            0)
      << log;
  VerifyResult result{};
  fs::path content = File("content");
  EXPECT_EQ(VerifyAttached(ctx, att, content, &result), 0u);
  EXPECT_EQ(result.count, 1u);
  ORLAX_FreeVerifyResult(ctx, &result);
  EXPECT_EQ(Read(content), Read(input));
  EXPECT_EQ(VerifyAttached(ctx, streamed, {}, &result), 0u);
  ORLAX_FreeVerifyResult(ctx, &result);
  MessageInfo info = Info(ctx, streamed);
  EXPECT_EQ(info.flags & ORLAX_MSG_STREAM, ORLAX_MSG_STREAM);
  ORLAX_CmsFreeMsgInf(ctx, &info);
  VerifyParams params{};
  EXPECT_EQ(ORLAX_CmsBlkDetVerifyFile(ctx, &params, input.c_str(), det.c_str(), nullptr, &result), 0u);
  ORLAX_FreeVerifyResult(ctx, &result);
}

// Each failure has its own code and a stack line, and the result still names
// the signer so that a report can say who failed.
TEST_F(SignVerifyTest, RevokedTamperedAndUntrustedSignersFailWithDistinctCodes) {
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  fs::path input = WriteInput("doc.txt", "payment order");
  Ctx verifier = Open("user2");

  fs::path revokedSig = File("revoked.p7s");
  {
    // Its own context holds no list; the verifier's does.
    Ctx revoked = Open("revoked", RootOnlyLocal());
    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(revoked, &sign, input.c_str(), revokedSig.c_str()), 0u);
  }
  fs::path tamperedSig = File("tampered.p7s");
  {
    Ctx user1 = Open("user1");
    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(user1, &sign, input.c_str(), tamperedSig.c_str()), 0u);
    std::string bytes = Read(tamperedSig);
    size_t at = bytes.find("payment order");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'P';
    Write(tamperedSig, bytes);
  }
  fs::path foreignSig = File("foreign.p7s");
  {
    testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other-pki", "");
    InitParams params{};
    params.size = sizeof params;
    std::string pse = other.Pse("user1").string(), local = other.local.string();
    params.pse = pse.c_str();
    params.local = local.c_str();
    LibraryContext raw = nullptr;
    ASSERT_EQ(ORLAX_InitializeEx(1, &params, &raw), 0u);
    Ctx foreign(raw);
    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(foreign, &sign, input.c_str(), foreignSig.c_str()), 0u);
  }

  struct Case {
    fs::path file;
    uint32_t code;
    std::string owner;
  } cases[] = {
      {revokedSig, ORLAX_E_CERT_REVOKED, pki_.Dn("revoked")},
      {tamperedSig, ORLAX_E_SIGNATURE_INVALID, pki_.Dn("user1")},
      {foreignSig, ORLAX_E_CERT_UNTRUSTED, pki_.Dn("user1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.filename().string());
    DrainStack(verifier);
    fs::path content = File("content-" + c.file.filename().string());
    VerifyResult result{};
    EXPECT_EQ(VerifyAttached(verifier, c.file, content, &result), c.code) << ErrorText(c.code);
    ASSERT_EQ(result.count, 1u);
    EXPECT_EQ(result.signers[0].status, c.code);
    ASSERT_NE(result.signers[0].cert, nullptr);
    EXPECT_EQ(std::string(result.signers[0].cert->owner), c.owner);
    ORLAX_FreeVerifyResult(verifier, &result);
    EXPECT_FALSE(fs::exists(content)) << "content of a failed verification must not be handed out";
    auto lines = DrainStack(verifier);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text + ".", ErrorText(c.code));
  }
}

TEST_F(SignVerifyTest, SignerWithoutEmbeddedCertificateIsFoundInLocal) {
  Ctx user1 = Open("user1");
  Ctx user2 = Open("user2");
  fs::path input = WriteInput("doc.txt", "abc");
  fs::path sig = File("nocert.p7s");
  SignParams sign{0, 0, 0};
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(user1, &sign, input.c_str(), sig.c_str()), 0u);
  VerifyResult result{};
  EXPECT_EQ(VerifyAttached(user2, sig, {}, &result), 0u);
  ORLAX_FreeVerifyResult(user2, &result);

  // A LOCAL folder without the signer's certificate cannot check it.
  fs::path local = root_.Dir("local-without-user1");
  fs::copy_file(pki_.local / "ca.pem", local / "ca.pem");
  Ctx stranger = Open("user2", local);
  EXPECT_EQ(VerifyAttached(stranger, sig, {}, &result), ORLAX_E_SIGNER_CERT_NOT_FOUND);
  ASSERT_EQ(result.count, 1u);
  EXPECT_EQ(result.signers[0].cert, nullptr);
  ORLAX_FreeVerifyResult(stranger, &result);
}

TEST_F(SignVerifyTest, SignatureRemovalSplitsContentAndSignatures) {
  Ctx ctx = Open("user1");
  const std::string data = RandomBytes(310 * 1024, 9);
  fs::path input = WriteInput("data.bin", data);
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  struct {
    const char* name;
    decltype(&ORLAX_CmsBlkAttSignFile) sign;
    decltype(&ORLAX_CmsBlkSignDetachFile) detach;
  } forms[] = {{"block", ORLAX_CmsBlkAttSignFile, ORLAX_CmsBlkSignDetachFile},
               {"stream", ORLAX_CmsStrAttSignFile, ORLAX_CmsStrSignDetachFile}};
  for (const auto& form : forms) {
    SCOPED_TRACE(form.name);
    fs::path att = File(std::string("a.") + form.name), content = File(std::string("c.") + form.name);
    fs::path sigs = File(std::string("s.") + form.name);
    ASSERT_EQ(form.sign(ctx, &sign, input.c_str(), att.c_str()), 0u);
    ASSERT_EQ(form.detach(ctx, att.c_str(), content.c_str(), sigs.c_str(), 0), 0u);
    EXPECT_EQ(Read(content), data);
    VerifyParams params{};
    VerifyResult result{};
    EXPECT_EQ(ORLAX_CmsBlkDetVerifyFile(ctx, &params, content.c_str(), sigs.c_str(), nullptr, &result), 0u);
    ORLAX_FreeVerifyResult(ctx, &result);
  }
  fs::path notSigned = WriteInput("plain.txt", "plain"), out = File("out");
  EXPECT_EQ(ORLAX_CmsBlkSignDetachFile(ctx, notSigned.c_str(), out.c_str(), File("s").c_str(), 0),
            ORLAX_E_NOT_SIGNED_MESSAGE);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(SignVerifyTest, BlockMemoryFormsSignAndVerify) {
  Ctx ctx = Open("user1");
  std::string data = "memory content";
  DataBlob content{static_cast<uint32_t>(data.size()), reinterpret_cast<uint8_t*>(data.data())};
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  DataBlob signedMsg{};
  ASSERT_EQ(ORLAX_CmsBlkAttSignMem(ctx, &sign, &content, &signedMsg), 0u);
  VerifyParams params{};
  params.flags = ORLAX_VERIFY_CONTENT;
  params.contentLimit = 0xFFFFFFFF;
  params.checks = 0x407;
  DataBlob out{};
  VerifyResult result{};
  ASSERT_EQ(ORLAX_CmsBlkAttVerifyMem(ctx, &params, &signedMsg, &out, &result), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data), out.length), data);
  EXPECT_EQ(result.count, 1u);
  ORLAX_FreeVerifyResult(ctx, &result);
  ORLAX_FreeMem(ctx, out.data);

  DataBlob empty{};
  DataBlob det1{}, det2{};
  ASSERT_EQ(ORLAX_CmsBlkDetSignMem(ctx, &sign, &content, &empty, &det1), 0u);
  Ctx other = Open("user2");
  ASSERT_EQ(ORLAX_CmsBlkDetSignMem(other, &sign, &content, &det1, &det2), 0u);
  MessageInfo info{};
  ASSERT_EQ(ORLAX_CmsBlkMsgInfMem(ctx, &det2, &info, 0), 0u);
  EXPECT_EQ(info.signatureCount, 2u);
  EXPECT_EQ(info.flags, ORLAX_MSG_DETACHED);
  ORLAX_CmsFreeMsgInf(ctx, &info);
  ORLAX_FreeMem(ctx, det1.data);
  ORLAX_FreeMem(ctx, det2.data);
  ORLAX_FreeMem(ctx, signedMsg.data);
}

TEST_F(SignVerifyTest, DamagedOrForeignInputGivesACodeAndNoOutput) {
  Ctx ctx = Open("user1");
  const std::string data = RandomBytes(320 * 1024, 23);
  fs::path input = WriteInput("data.bin", data);
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  fs::path att = File("a.p7s"), det = File("d.p7d"), streamed = File("s.p7s");
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(ctx, &sign, input.c_str(), att.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsStrAttSignFile(ctx, &sign, input.c_str(), streamed.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsBlkDetSignFile(ctx, &sign, input.c_str(), nullptr, det.c_str()), 0u);
  struct Case {
    const char* name;
    fs::path file;
    uint32_t code;
  } cases[] = {
      {"not CMS", input, ORLAX_E_NOT_SIGNED_MESSAGE},
      {"empty", WriteInput("empty", ""), ORLAX_E_NOT_SIGNED_MESSAGE},
      {"truncated", WriteInput("half.p7s", Read(att).substr(0, Read(att).size() / 2)), ORLAX_E_BAD_MESSAGE},
      {"truncated stream", WriteInput("cut.p7s", Read(streamed).substr(0, Read(streamed).size() - 700)),
       ORLAX_E_BAD_MESSAGE},
      {"detached", det, ORLAX_E_WRONG_SIGNATURE_FORM},
      {"missing", File("missing.p7s"), ORLAX_E_FILE_OPEN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DrainStack(ctx);
    fs::path content = File("content");
    VerifyResult result{};
    EXPECT_EQ(VerifyAttached(ctx, c.file, content, &result), c.code);
    EXPECT_EQ(result.count, 0u);
    ORLAX_FreeVerifyResult(ctx, &result);
    EXPECT_FALSE(fs::exists(content));
    fs::path sigs = File("sigs");
    EXPECT_EQ(ORLAX_CmsStrSignDetachFile(ctx, c.file.c_str(), content.c_str(), sigs.c_str(), 0), c.code);
    EXPECT_FALSE(fs::exists(content));
    EXPECT_FALSE(fs::exists(sigs));
    auto lines = DrainStack(ctx);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text + ".", ErrorText(c.code));
  }
}

TEST_F(SignVerifyTest, ExpiredSignerIsReportedAsExpired) {
  fs::path local = root_.Dir("local");
  fs::copy(pki_.local, local);
  fs::copy_file(pki_.Cert("expired"), local / "expired.pem");
  Ctx expired = Open("expired", local);
  // The library signs with no certificate out of its validity: the tool does.
  const fs::path sig = ToolSigned(pki_, "expired", WriteInput("doc.txt", "old"), File("doc.p7s"));
  VerifyResult result{};
  EXPECT_EQ(VerifyAttached(expired, sig, {}, &result), ORLAX_E_CERT_EXPIRED);
  ASSERT_EQ(result.count, 1u);
  EXPECT_EQ(result.signers[0].status, ORLAX_E_CERT_EXPIRED);
  ORLAX_FreeVerifyResult(expired, &result);
}

TEST_F(SignVerifyTest, VerifiedSignerIsKeptInLocalUnlessToldNotTo) {
  Ctx user1 = Open("user1");
  fs::path input = WriteInput("doc.txt", "x"), sig = File("doc.p7s");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(user1, &sign, input.c_str(), sig.c_str()), 0u);
  struct Case {
    const char* name;
    uint32_t contextFlags, verifyFlags;
    bool kept;
  } cases[] = {{"default", 0, 0, true},
               {"verify flag", 0, ORLAX_VERIFY_NOT_COPY_TO_LOCAL, false},
               {"context flag", ORLAX_INIT_NOT_COPY_TO_LOCAL, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path local = root_.Dir(std::string("local-") + c.name);
    fs::copy_file(pki_.Cert("ca"), local / "ca.pem");
    Ctx ctx = Open("user2", local, c.contextFlags);
    VerifyParams params{};
    params.flags = c.verifyFlags;
    VerifyResult result{};
    ASSERT_EQ(ORLAX_CmsStrAttVerifyFile(ctx, &params, sig.c_str(), nullptr, &result), 0u);
    ORLAX_FreeVerifyResult(ctx, &result);
    size_t files = std::distance(fs::directory_iterator(local), fs::directory_iterator());
    EXPECT_EQ(files, c.kept ? 2u : 1u);
    CertQuery query{};
    query.subjectKind = 4;
    std::string dn = pki_.Dn("user1");
    query.subject = dn.c_str();
    FindResult found{};
    EXPECT_EQ(ORLAX_FindCert(ctx, &query, &found), c.kept ? 0u : ORLAX_E_CERT_NOT_FOUND);
    ORLAX_FreeFindResult(ctx, &found);
  }
}

}  // namespace
}  // namespace qelmtest

namespace qelmtest {
namespace {

// Damaged messages of every kind: whatever the bytes, each reader answers
// with a code and never reads outside its input (the sanitizer run checks).
TEST_F(SignVerifyTest, MutatedMessagesNeverCrashAnyReader) {
  Ctx ctx = Open("user2");
  Ctx signer = Open("user1");
  fs::path input = WriteInput("data.bin", RandomBytes(3000, 31));
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  fs::path att = File("a.p7s"), streamed = File("s.p7s"), det = File("d.p7d"), enc = File("e.p7e");
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(signer, &sign, input.c_str(), att.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsStrAttSignFile(signer, &sign, input.c_str(), streamed.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsStrDetSignFile(signer, &sign, input.c_str(), nullptr, det.c_str()), 0u);
  FindResult found = Find(signer, "user2");
  EncryptParams encrypt{};
  encrypt.cipherFlags = 0xA0000;
  encrypt.certCount = found.count;
  encrypt.certs = found.certs;
  ASSERT_EQ(ORLAX_CmsStrEncryptFile(signer, &encrypt, input.c_str(), enc.c_str()), 0u);
  ORLAX_FreeFindResult(signer, &found);

  std::mt19937 gen(2026);
  fs::path mutated = File("mutated"), out = File("out"), sigs = File("sigs");
  for (const fs::path& original : {att, streamed, det, enc}) {
    const std::string bytes = Read(original);
    for (int round = 0; round < 60; ++round) {
      std::string damaged = bytes;
      switch (round % 3) {
        case 0:  // flip a few bytes, headers included
          for (int i = 0; i < 3; ++i) damaged[gen() % std::min<size_t>(damaged.size(), 200 + round * 40)] ^= 1 + gen() % 255;
          break;
        case 1:  // cut it short
          damaged.resize(gen() % damaged.size());
          break;
        default:  // a length byte made huge
          damaged[1 + gen() % 12] = static_cast<char>(0x84 + gen() % 4);
          break;
      }
      Write(mutated, damaged);
      DataBlob blob{static_cast<uint32_t>(damaged.size()), reinterpret_cast<uint8_t*>(damaged.data())};
      MessageInfo info{};
      ORLAX_CmsBlkMsgInfMem(ctx, &blob, &info, 0);
      ORLAX_CmsFreeMsgInf(ctx, &info);
      ORLAX_CmsStrMsgInfFile(ctx, mutated.c_str(), &info, 0);
      ORLAX_CmsFreeMsgInf(ctx, &info);
      VerifyParams vp{};
      vp.flags = ORLAX_VERIFY_CONTENT | ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
      VerifyResult vr{};
      DataBlob content{};
      ORLAX_CmsBlkAttVerifyMem(ctx, &vp, &blob, &content, &vr);
      ORLAX_FreeVerifyResult(ctx, &vr);
      ORLAX_FreeMem(ctx, content.data);
      if (ORLAX_CmsStrAttVerifyFile(ctx, &vp, mutated.c_str(), out.c_str(), &vr) != 0) {
        EXPECT_FALSE(fs::exists(out));
      }
      ORLAX_FreeVerifyResult(ctx, &vr);
      ORLAX_CmsBlkDetVerifyFile(ctx, &vp, input.c_str(), mutated.c_str(), nullptr, &vr);
      ORLAX_FreeVerifyResult(ctx, &vr);
      fs::remove(out);
      ORLAX_CmsStrSignDetachFile(ctx, mutated.c_str(), out.c_str(), sigs.c_str(), 0);
      fs::remove(out);
      fs::remove(sigs);
      DecryptParams dp{0, 0, 0, 0x8003, 0};
      DecryptResult dr{};
      if (ORLAX_CmsStrDecryptFile(ctx, &dp, mutated.c_str(), out.c_str(), &dr) != 0) {
        EXPECT_FALSE(fs::exists(out));
      }
      ORLAX_FreeDecryptResult(ctx, &dr);
      fs::remove(out);
      TspVerifyParams tp{0, 0, 0, 0, 3};
      TspVerifyResult tr{};
      ORLAX_TspStrVerifyCmsFile(ctx, &tp, mutated.c_str(), &tr);
      ORLAX_TspFreeVerifyResult(ctx, &tr);
      DrainStack(ctx);
    }
  }
}

TEST_F(SignVerifyTest, EmptyContentIsSignedAndVerified) {
  Ctx ctx = Open("user1");
  fs::path input = WriteInput("empty", "");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (auto* fn : {ORLAX_CmsBlkAttSignFile, ORLAX_CmsStrAttSignFile}) {
    fs::path sig = File("empty.p7s"), content = File("content");
    ASSERT_EQ(fn(ctx, &sign, input.c_str(), sig.c_str()), 0u);
    VerifyParams vp{};
    VerifyResult vr{};
    EXPECT_EQ(ORLAX_CmsStrAttVerifyFile(ctx, &vp, sig.c_str(), content.c_str(), &vr), 0u);
    EXPECT_EQ(vr.count, 1u);
    ORLAX_FreeVerifyResult(ctx, &vr);
    EXPECT_TRUE(fs::exists(content));
    EXPECT_EQ(fs::file_size(content), 0u);
    fs::remove(sig);
    fs::remove(content);
  }
}

}  // namespace
}  // namespace qelmtest
