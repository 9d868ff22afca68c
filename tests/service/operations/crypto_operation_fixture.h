#pragma once
// What the tests of the encryption, decryption, signing and removal
// operations share: a private root with input, output, error and journal
// folders, a library context opened on a copy of a test-PKI holder's PSE and
// the LOCAL folder, a profile with one rule, recipients' certificates, the
// journals as text, and a scoped library failure hook.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/qelm_api.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "common/config_records.h"
#include "service/core/journal.h"
#include "service/operations/operations.h"
#include "tests/service/operations/operation_test_files.h"
#include "tests/support/driven_clock.h"
#include "tests/support/library_context.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace cryptoops {

namespace fs = std::filesystem;

using optest::Bytes;
using optest::Contains;
using optest::Read;
using optest::Utf8;
using optest::Wide;
using optest::WriteBytes;

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

class CryptoOperationTest : public ::testing::Test {
 protected:
  static constexpr const char* kDay = "2026.12.09";
  static constexpr const char* kTime = "14:05:09 09/12/2026";

  void SetUp() override {
    SetJournalSettings(L"P", 4000);
    in_ = root_.Dir("in");
    out_ = root_.Dir("out");
    err_ = root_.Dir("err");
    journal_ = root_.Dir("journal");
    local_ = root_.Dir("local");
    for (const auto& entry : fs::directory_iterator(pki_.local))
      fs::copy_file(entry.path(), local_ / entry.path().filename());

    RuleRecord rule;
    rule.zcsProfile = L"Тест";
    rule.pathIn = Wide(in_.string());
    rule.pathOut = Wide(out_.string());
    rule.pathError = Wide(err_.string());
    rule.description = L"Проба";
    rule.tableIndex = 0;
    profile_.rules.push_back(rule);
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
  uint32_t OpenHolderContext(const std::string& who, LibraryContext* context, DirectoryProfileEntry& entry) {
    fs::path pse = root_.Dir("pse-" + who);
    fs::copy_file(pki_.Key(who), pse / "key.pem", fs::copy_options::overwrite_existing);
    fs::copy_file(pki_.Cert(who), pse / "cert.pem", fs::copy_options::overwrite_existing);
    std::string psePath = pse.string(), localPath = local_.string();
    uint32_t code = testsupport::OpenLibraryContext(psePath, localPath, context);
    entry.pse = Wide(psePath);
    entry.local = Wide(localPath);
    entry.context = *context;
    entry.initialised = code == 0 ? 1 : 0;
    return code;
  }

  // (Re)opens the table's one context on a copy of `who`'s PSE.
  uint32_t OpenContext(const std::string& who) {
    CloseContext();
    DirectoryProfileEntry entry;
    entry.name = L"Тест";
    uint32_t code = OpenHolderContext(who, &context_, entry);
    table_.assign(1, entry);
    return code;
  }

  // Outputs are written under ".~" + their name + "." + 24 hex digits +
  // ".part" first: that many bytes more than their own names.
  static constexpr std::size_t kStagedNameOverhead = 32;

  // Makes a folder below the root whose path is exactly `length` bytes long
  // and makes it the rule's "Path Out": names in it whose path reaches the
  // layer's limit (4096 bytes) cannot be created, while shorter ones can.
  void UseOutputFolderOfLength(std::size_t length) {
    fs::path folder = root_.path();
    while (folder.string().size() < length) {
      const std::size_t left = length - folder.string().size() - 1;
      folder /= std::string(std::min<std::size_t>(left, 200), 'd');
    }
    fs::create_directories(folder);
    ASSERT_EQ(folder.string().size(), length);
    out_ = folder;
    profile_.rules[0].pathOut = Wide(out_.string());
  }

  void CloseContext() {
    if (context_ != nullptr) ORLAX_Uninitialize(context_);
    context_ = nullptr;
  }

  // The certificates of the holders as the dispatch hands them over.
  std::vector<CertRecord> Recipients(const std::vector<std::string>& holders) {
    std::vector<CertRecord> records;
    for (const std::string& who : holders) {
      std::string dn = pki_.Dn(who);
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

  RuleRecord& Rule() { return profile_.rules[0]; }

  static CStringArray Names(const std::vector<std::string>& names) {
    CStringArray list;
    for (const std::string& name : names) list.Add(Wide(name));
    return list;
  }

  fs::path Put(const std::string& name, const std::string& content) {
    WriteBytes(in_ / name, content);
    return in_ / name;
  }

  // What every operation receives: rule 0 of the given profile (a copy, as
  // from the dispatch), this fixture's table and journal, profile "P".
  OperationCall Call(const CStringArray& files, ProfileRecord& profile) const {
    return {.files = files,
            .table = &table_,
            .ruleIndex = 0,
            .profile = profile,
            .journalFolder = Journal(),
            .profileName = L"P"};
  }
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
        {.encExt = L"p7e", .archExt = Wide(archExt), .transfer = Transfer(streamMode), .recipients = certs});
  }
  DWORD Decrypt(const std::vector<std::string>& names, int streamMode, const std::string& archExt = "",
                const CStringArray* extExt = nullptr) {
    ProfileRecord copy(profile_);
    return DecryptFiles(
        Call(Names(names), copy),
        {.encExt = L"p7e", .archExt = Wide(archExt), .extExt = extExt, .transfer = Transfer(streamMode)});
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

  CString Journal() const { return Wide(journal_.string()); }
  std::string Operations() const { return Read(journal_ / (std::string(kDay) + " P.txt")); }
  std::string Errors() const { return Read(journal_ / (std::string(kDay) + " P - errors.txt")); }

  // The one line of the operations journal that names `part`.
  std::string RecordWith(const std::string& part) const {
    std::string all = Operations();
    size_t at = all.find(part);
    if (at == std::string::npos) return "";
    size_t begin = all.rfind("\r\n", at);
    begin = begin == std::string::npos ? 0 : begin + 2;
    return all.substr(begin, all.find("\r\n", at) - begin);
  }

  // The file names in a folder, sorted.
  static std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Scratch files ("~xx...") left in the temporary folder (TempRoot's TMPDIR).
  std::vector<std::string> ScratchLeft() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_.path() / "tmp"))
      if (entry.path().filename().string().rfind("~xx", 0) == 0) names.push_back(entry.path().filename().string());
    return names;
  }

  // A signature made with another holder's key (a context of its own):
  // attached, or detached of `data`, DER or (stream) BER.
  void SignWith(const std::string& who, const fs::path& data, const fs::path& output, bool detached,
                bool stream = false) {
    LibraryContext other = nullptr;
    ASSERT_EQ(testsupport::OpenLibraryContext(pki_.Pse(who).string(), local_.string(), &other), 0u) << who;
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
  void EnvelopeOf(const fs::path& data, const fs::path& output) {
    std::vector<CertRecord> certs = Recipients({"user1"});
    EncryptParams params;
    std::memset(&params, 0, sizeof(params));
    params.certCount = static_cast<uint32_t>(certs.size());
    params.certs = certs.data();
    ASSERT_EQ(ORLAX_CmsBlkEncryptFile(context_, &params, data.c_str(), output.c_str()), 0u);
  }

  // The message information of a file, read with the test's context.
  MessageInfo Info(const fs::path& path, uint32_t* code = nullptr) {
    MessageInfo info;
    std::memset(&info, 0, sizeof(info));
    uint32_t rc = ORLAX_CmsStrMsgInfFile(context_, path.string().c_str(), &info, 0);
    if (code != nullptr) *code = rc;
    MessageInfo copy = info;
    copy.contentType = nullptr;
    copy.cipherOid = nullptr;
    ORLAX_CmsFreeMsgInf(context_, &info);
    return copy;
  }

  // The time-stamp check of one signature of a file, with the test's context.
  uint32_t StampCheck(const fs::path& file, uint32_t index, bool stream) {
    TspVerifyParams params;
    std::memset(&params, 0, sizeof(params));
    params.signatureIndex = index;
    params.mode = 3;
    TspVerifyResult result;
    std::memset(&result, 0, sizeof(result));
    uint32_t rc = stream ? ORLAX_TspStrVerifyCmsFile(context_, &params, file.c_str(), &result)
                         : ORLAX_TspBlkVerifyCmsFile(context_, &params, file.c_str(), &result);
    ORLAX_TspFreeVerifyResult(context_, &result);
    return rc;
  }

  // openssl cms -decrypt with a holder's key; returns the content ("" on failure).
  std::string OpensslDecrypt(const fs::path& envelope, const std::string& who) {
    fs::path content = root_.path() / "openssl-content";
    std::string log;
    int rc = testsupport::RunOpenssl({"cms", "-decrypt", "-binary", "-inform", "DER", "-in", envelope.string(),
                                      "-recip", pki_.Cert(who).string(), "-inkey", pki_.Key(who).string(), "-out",
                                      content.string()},
                                     &log);
    EXPECT_EQ(rc, 0) << log;
    return rc == 0 ? Read(content) : "";
  }

  // openssl cms -verify against the test CA: the content of an attached
  // signature, or "" for a detached one given with its data. Fails the test
  // when the signature does not verify.
  std::string OpensslVerify(const fs::path& signature, const fs::path& data = {}) {
    fs::path content = root_.path() / "openssl-verified";
    std::vector<std::string> args{"cms",    "-verify", "-binary", "-inform", "DER", "-in", signature.string(),
                                  "-CAfile", pki_.Cert("ca").string(), "-purpose", "any", "-out",
                                  content.string()};
    if (!data.empty()) {
      args.push_back("-content");
      args.push_back(data.string());
    }
    std::string log;
    int rc = testsupport::RunOpenssl(args, &log);
    EXPECT_EQ(rc, 0) << log;
    return rc == 0 ? Read(content) : "";
  }

  const testsupport::TestPki& pki_ = testsupport::TestPki::Shared();
  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_, 1796825109};  // 09/12/2026 14:05:09
  fs::path in_, out_, err_, journal_, local_;
  ProfileRecord profile_;
  DirectoryProfileTable table_;
  LibraryContext context_ = nullptr;
  std::vector<FindResult> found_;
};

}  // namespace cryptoops
