#pragma once
// The one-rule fixture with what the cryptographic operations need on top:
// the shared test PKI, a LOCAL folder of the root's own (a copy of the PKI's),
// a library context opened on a copy of a holder's PSE (user1 at the start)
// as the one entry, "Тест", of the directory profile table that the rule
// uses, the holders' certificates as the dispatch hands them over, and
// signatures, envelopes and checks made apart from the operations (with the
// library or with openssl) to compare against.
// Header only: test_support does not link the library; its users do.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/qelm_api.h"
#include "tests/support/library_context.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/test_pki.h"

namespace testsupport {

// How the errors journal shows a code.
inline std::string ErrorCode(DWORD code) {
  char text[32];
  std::snprintf(text, sizeof text, " 0x%X - ", code);
  return text;
}

// Makes the named library calls fail with a code while it lives.
class FailingCall {
 public:
  explicit FailingCall(const std::string& failures) { setenv("QELM_TEST_FAIL", failures.c_str(), 1); }
  ~FailingCall() { unsetenv("QELM_TEST_FAIL"); }
  FailingCall(const FailingCall&) = delete;
  FailingCall& operator=(const FailingCall&) = delete;
};

class CryptoRuleTest : public OneRuleTest {
 protected:
  explicit CryptoRuleTest(const wchar_t* description = L"Проба") : OneRuleTest(description) {}

  void SetUp() override {
    OneRuleTest::SetUp();
    local_ = root_.Dir("local");
    for (const auto& entry : std::filesystem::directory_iterator(pki_.local))
      std::filesystem::copy_file(entry.path(), local_ / entry.path().filename());
    Rule().zcsProfile = L"Тест";
    state_.tableIndex = 0;
    profile_.zcsProfiles.push_back(L"Тест");
    ASSERT_EQ(OpenContext("user1"), 0u);
  }

  void TearDown() override {
    for (FindResult& result : found_) ORLAX_FreeFindResult(context_, &result);
    found_.clear();
    CloseContext();
  }

  // Opens a context on a copy of `who`'s PSE (in folder pse-<who>) and the
  // LOCAL folder; entry describes it for a DirectoryProfileTable.
  uint32_t OpenHolderContext(const std::string& who, LibraryContext* context, DirectoryProfileContext& entry) {
    const std::filesystem::path pse = root_.Dir("pse-" + who);
    std::filesystem::copy_file(pki_.Key(who), pse / "key.pem", std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(pki_.Cert(who), pse / "cert.pem", std::filesystem::copy_options::overwrite_existing);
    const std::string psePath = pse.string(), localPath = local_.string();
    const uint32_t code = OpenLibraryContext(psePath, localPath, context);
    entry.pse = Wide(psePath);
    entry.local = Wide(localPath);
    entry.context = *context;
    return code;
  }

  // (Re)opens the table's one context on a copy of `who`'s PSE.
  uint32_t OpenContext(const std::string& who) {
    CloseContext();
    DirectoryProfileContext entry;
    entry.name = L"Тест";
    const uint32_t code = OpenHolderContext(who, &context_, entry);
    table_.assign(1, entry);
    return code;
  }

  const DirectoryProfileTable* Table() const override { return &table_; }

  void CloseContext() {
    if (context_ != nullptr) ORLAX_Uninitialize(context_);
    context_ = nullptr;
  }

  // The certificates of the holders as the dispatch hands them over.
  std::vector<CertRecord> Recipients(const std::vector<std::string>& holders) {
    std::vector<CertRecord> records;
    for (const std::string& who : holders) {
      const std::string dn = pki_.Dn(who);
      CertQuery query;
      std::memset(&query, 0, sizeof(query));
      query.subjectKind = ORLAX_SUBJECT_KIND_DN;
      query.subject = dn.c_str();
      FindResult result;
      std::memset(&result, 0, sizeof(result));
      EXPECT_EQ(ORLAX_FindCert(context_, &query, &result), 0u) << who;
      for (uint32_t i = 0; i < result.count; ++i) records.push_back(result.certs[i]);
      found_.push_back(result);
    }
    return records;
  }

  // Scratch files ("~xx...") left in the temporary folder (TempRoot's TMPDIR).
  std::vector<std::string> ScratchLeft() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_.path() / "tmp"))
      if (entry.path().filename().string().rfind("~xx", 0) == 0) names.push_back(entry.path().filename().string());
    return names;
  }

  // A signature made with another holder's key (a context of its own):
  // attached, or detached of `data`, DER or (stream) BER.
  void SignWith(const std::string& who, const std::filesystem::path& data, const std::filesystem::path& output,
                bool detached, bool stream = false) {
    // The signer's own context holds the root alone and no list, so that a
    // holder the PKI's list revokes still signs for the checks to refuse.
    const std::filesystem::path signerLocal = root_.path() / "signer-local";
    if (!std::filesystem::exists(signerLocal)) {
      std::filesystem::create_directories(signerLocal);
      std::filesystem::copy_file(pki_.Cert("ca"), signerLocal / "ca.pem");
    }
    LibraryContext other = nullptr;
    ASSERT_EQ(OpenLibraryContext(pki_.Pse(who).string(), signerLocal.string(), &other), 0u) << who;
    SignParams sign;
    std::memset(&sign, 0, sizeof(sign));
    sign.flags = ORLAX_SIGN_ADD_CERT;
    uint32_t rc = 0;
    if (detached) {
      rc = stream ? ORLAX_CmsStrDetSignFile(other, &sign, data.c_str(), nullptr, output.c_str())
                  : ORLAX_CmsBlkDetSignFile(other, &sign, data.c_str(), nullptr, output.c_str());
    } else {
      rc = stream ? ORLAX_CmsStrAttSignFile(other, &sign, data.c_str(), output.c_str())
                  : ORLAX_CmsBlkAttSignFile(other, &sign, data.c_str(), output.c_str());
    }
    ORLAX_Uninitialize(other);
    ASSERT_EQ(rc, 0u);
  }

  // An enveloped message of `data` for user1.
  void EnvelopeOf(const std::filesystem::path& data, const std::filesystem::path& output) {
    std::vector<CertRecord> certs = Recipients({"user1"});
    EncryptParams params;
    std::memset(&params, 0, sizeof(params));
    params.certCount = static_cast<uint32_t>(certs.size());
    params.certs = certs.data();
    ASSERT_EQ(ORLAX_CmsBlkEncryptFile(context_, &params, data.c_str(), output.c_str()), 0u);
  }

  // The message information of a file, read with the test's context.
  MessageInfo Info(const std::filesystem::path& path, uint32_t* code = nullptr) {
    MessageInfo info;
    std::memset(&info, 0, sizeof(info));
    const uint32_t rc = ORLAX_CmsStrMsgInfFile(context_, path.string().c_str(), &info, 0);
    if (code != nullptr) *code = rc;
    MessageInfo copy = info;
    copy.contentType = nullptr;
    copy.cipherOid = nullptr;
    ORLAX_CmsFreeMsgInf(context_, &info);
    return copy;
  }

  // The time-stamp check of one signature of a file, with the test's context;
  // stampTime, when given, receives the stamp's time as the library reads it.
  uint32_t StampCheck(const std::filesystem::path& file, uint32_t index, bool stream,
                      uint32_t* stampTime = nullptr) {
    TspVerifyParams params;
    std::memset(&params, 0, sizeof(params));
    params.signatureIndex = index;
    params.mode = 3;
    TspVerifyResult result;
    std::memset(&result, 0, sizeof(result));
    const uint32_t rc = stream ? ORLAX_TspStrVerifyCmsFile(context_, &params, file.c_str(), &result)
                               : ORLAX_TspBlkVerifyCmsFile(context_, &params, file.c_str(), &result);
    if (stampTime != nullptr) *stampTime = result.stampTime;
    ORLAX_TspFreeVerifyResult(context_, &result);
    return rc;
  }

  // openssl cms -decrypt with a holder's key; returns the content ("" on failure).
  std::string OpensslDecrypt(const std::filesystem::path& envelope, const std::string& who) {
    const std::filesystem::path content = root_.path() / "openssl-content";
    std::string log;
    const int rc =
        RunOpenssl({"cms", "-decrypt", "-binary", "-inform", "DER", "-in", envelope.string(), "-recip",
                    pki_.Cert(who).string(), "-inkey", pki_.Key(who).string(), "-out", content.string()},
                   &log);
    EXPECT_EQ(rc, 0) << log;
    return rc == 0 ? Read(content) : "";
  }

  // openssl cms -verify against the test CA: the content of an attached
  // signature, or "" for a detached one given with its data. Fails the test
  // when the signature does not verify.
  std::string OpensslVerify(const std::filesystem::path& signature, const std::filesystem::path& data = {}) {
    const std::filesystem::path content = root_.path() / "openssl-verified";
    std::vector<std::string> args{"cms",    "-verify", "-binary", "-inform", "DER", "-in", signature.string(),
                                  "-CAfile", pki_.Cert("ca").string(), "-purpose", "any", "-out",
                                  content.string()};
    if (!data.empty()) {
      args.push_back("-content");
      args.push_back(data.string());
    }
    std::string log;
    const int rc = RunOpenssl(args, &log);
    EXPECT_EQ(rc, 0) << log;
    return rc == 0 ? Read(content) : "";
  }

  const TestPki& pki_ = TestPki::Shared();
  std::filesystem::path local_;
  DirectoryProfileTable table_;
  LibraryContext context_ = nullptr;
  std::vector<FindResult> found_;
};

}  // namespace testsupport
