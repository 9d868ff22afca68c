// RESG through the operation: a file signed by user1 is verified with the
// rule's directory profile and signed anew by user2 (the second directory
// profile), attached or detached, stamped or not; names and conflicts; and
// the failures that must leave no output behind and the input in the error
// folder.

#include <tuple>

#include "tests/service/operations/verification_fixture.h"

namespace cryptoops {
namespace {

class ResignFilesTest : public VerificationTest {
 protected:
  void SetUp() override {
    VerificationTest::SetUp();
    // The second directory profile: user2's key signs the new signature.
    DirectoryProfileEntry entry;
    entry.name = L"Второй";
    ASSERT_EQ(OpenHolderContext("user2", &resignContext_, entry), 0u);
    table_.push_back(entry);
    profile_.zcsProfiles.push_back(L"Второй");
    Rule().resignProfile = L"Второй";
    Rule().resignTableIndex = 1;
  }
  void TearDown() override {
    if (resignContext_ != nullptr) ORLAX_Uninitialize(resignContext_);
    VerificationTest::TearDown();
  }

  // RESG with "SigExt" p7s, "DsigExt" p7d and "VerifyFileExt" vrf.
  DWORD Resign(const std::vector<std::string>& names) {
    ProfileRecord copy(profile_);
    return ResignFiles(Names(names), table_, 0, copy, Journal(), L"P", L"p7s", L"p7d", L"vrf");
  }

  // A document signed by user1 in block (or stream) encoding.
  fs::path Signed(const std::string& name, const std::string& content, bool stream = false,
                  const std::string& who = "user1") {
    const fs::path data = root_.path() / ("data-" + name);
    WriteBytes(data, content);
    SignWith(who, data, in_ / name, false, stream);
    return in_ / name;
  }

  // Stamps from the local authority on the re-signing profile's position.
  void UseTimeStamps(testsupport::LocalHttpServer& server) {
    server.EnableTimeStamping(pki_, "/tsa/");
    profile_.serverTsp = {L"", Wide(server.Url("/tsa") + "/")};
    profile_.autoUseTsp = {0, 1};
  }

  // The owners of the signatures of a message as the library verifies them
  // (detached: with its data); a failed verification gives "failed".
  std::vector<std::string> Signers(const fs::path& signature, const fs::path& data = {}) {
    VerifyParams params;
    std::memset(&params, 0, sizeof(params));
    VerifyResult result;
    std::memset(&result, 0, sizeof(result));
    uint32_t rc = data.empty()
                      ? ORLAX_CmsStrAttVerifyFile(context_, &params, signature.c_str(), nullptr, &result)
                      : ORLAX_CmsBlkDetVerifyFile(context_, &params, data.c_str(), signature.c_str(), nullptr, &result);
    std::vector<std::string> owners;
    if (rc != 0) owners.push_back("failed");
    for (uint32_t i = 0; i < result.count; ++i) {
      const SignerEntry& entry = result.signers[i];
      owners.push_back(entry.status == 0 && entry.cert != nullptr ? entry.cert->owner : "failed");
    }
    ORLAX_FreeVerifyResult(context_, &result);
    return owners;
  }

  // True when the first signature of a message carries a time stamp that
  // checks.
  bool Stamped(const fs::path& file) {
    TspVerifyParams params;
    std::memset(&params, 0, sizeof(params));
    params.mode = 3;
    TspVerifyResult result;
    std::memset(&result, 0, sizeof(result));
    uint32_t rc = ORLAX_TspBlkVerifyCmsFile(context_, &params, file.c_str(), &result);
    ORLAX_TspFreeVerifyResult(context_, &result);
    return rc == 0;
  }

  std::string Prefix() const { return "Правило 1 ('Проба'). "; }

  LibraryContext resignContext_ = nullptr;
};

// Output form × time stamp: the new signature verifies with the library and
// with openssl, carries user2 only, the content is unchanged, and the report
// describes the old signature.
TEST_F(ResignFilesTest, ReSignsAttachedInputInEveryOutputFormWithAndWithoutStamp) {
  for (const auto& [detached, stamped] : {std::tuple{false, false}, std::tuple{false, true}, std::tuple{true, false},
                                          std::tuple{true, true}}) {
    SCOPED_TRACE(std::to_string(detached) + std::to_string(stamped));
    for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
    testsupport::LocalHttpServer server;
    profile_.serverTsp.clear();
    profile_.autoUseTsp.clear();
    if (stamped) UseTimeStamps(server);
    profile_.verifyResignFile = 1;
    Rule().outFormatDet = detached ? 1 : 0;
    const std::string content = "Платёжное поручение №1";
    const fs::path input = Signed("doc.txt.p7s", content);
    const uint32_t oldTime = SigningTimes(input)[0];
    const std::string inputSize = std::to_string(fs::file_size(input));

    ASSERT_EQ(Resign({"doc.txt.p7s"}), 0u);
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Read(out_ / "doc.txt.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", oldTime));
    fs::path signature = out_ / (detached ? "doc.txt.p7d" : "doc.txt.p7s");
    if (detached) {
      EXPECT_EQ(Listing(out_), (std::vector<std::string>{"doc.txt", "doc.txt.p7d", "doc.txt.vrf"}));
      EXPECT_EQ(Read(out_ / "doc.txt"), content);
      EXPECT_EQ(Signers(signature, out_ / "doc.txt"), std::vector<std::string>{pki_.Dn("user2")});
      EXPECT_EQ(OpensslVerify(signature, out_ / "doc.txt"), content);
    } else {
      EXPECT_EQ(Listing(out_), (std::vector<std::string>{"doc.txt.p7s", "doc.txt.vrf"}));
      EXPECT_EQ(Signers(signature), std::vector<std::string>{pki_.Dn("user2")});
      EXPECT_EQ(OpensslVerify(signature), content);
    }
    EXPECT_EQ(Stamped(signature), stamped);
    const std::string size = std::to_string(fs::file_size(signature));
    const std::string head = std::string(kTime) + " | Профиль: P | Успех | " + Prefix() +
                             "Профиль справочника : 'Тест' | Переподписание с проверкой присоединенной ЭП файла '" +
                             (in_ / "doc.txt.p7s").string() + "' (размер: " + inputSize + "), удаление подписей (1 шт.) ";
    EXPECT_EQ(RecordWith("Переподписание"),
              detached ? head + "с записью в файл '" + (out_ / "doc.txt").string() + "' (размер: " +
                             std::to_string(content.size()) + ") с добавлением отсоединенной ЭП '" + signature.string() +
                             "' (размер: " + size + ") (профиль справочника новой подписи 'Второй')"
                       : head + "и запись в файл c добавлением присоединенной ЭП '" + signature.string() +
                             "' (размер: " + size + ") (профиль справочника новой подписи 'Второй')");
  }
}

TEST_F(ResignFilesTest, ConflictsDrawOneMarkForEveryOutputAndTheReportCountsOnlyWhenWritten) {
  Rule().outFormatDet = 0;
  Signed("doc.txt.p7s", "первый");
  WriteBytes(out_ / "doc.txt.p7s", "чужой");
  ASSERT_EQ(Resign({"doc.txt.p7s"}), 0u);
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"doc.txt.p7s"});
  EXPECT_TRUE(Contains(Errors(), "Создание файла " + (out_ / "doc.txt.p7s").string()));
  EXPECT_EQ(Read(out_ / "doc.txt.p7s"), "чужой");

  // Renamed: doc~<hex>.txt.p7s, the report beside it under the same mark.
  profile_.renameConfFiles = 1;
  profile_.verifyResignFile = 1;
  Signed("doc.txt.p7s", "второй");
  ASSERT_EQ(Resign({"doc.txt.p7s"}), 0u);
  std::vector<std::string> names = Listing(out_);
  ASSERT_EQ(names.size(), 3u);
  const std::regex drawn("doc~([0-9a-f]+)\\.txt\\.p7s");
  std::smatch mark;
  ASSERT_TRUE(std::regex_match(names[1], mark, drawn)) << names[1];
  EXPECT_EQ(names[2], "doc~" + mark[1].str() + ".txt.vrf");

  // A report name taken is a conflict only while reports are written.
  for (const fs::path& folder : {out_, in_}) fs::remove_all(folder), fs::create_directories(folder);
  profile_.renameConfFiles = 0;
  profile_.verifyResignFile = 0;
  WriteBytes(out_ / "a.vrf", "старый отчёт");
  Signed("a.p7s", "третий");
  ASSERT_EQ(Resign({"a.p7s"}), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.p7s", "a.vrf"}));
  profile_.verifyResignFile = 1;
  Signed("b.p7s", "четвёртый");
  WriteBytes(out_ / "b.vrf", "старый отчёт");
  ASSERT_EQ(Resign({"b.p7s"}), 0u);
  EXPECT_TRUE(fs::exists(err_ / "b.p7s"));
}

// Each row: the input is moved to the error folder with its record, and no
// output of it is left in the output folder.
TEST_F(ResignFilesTest, FailuresMoveTheInputAndLeaveNoOutput) {
  struct Row {
    std::string what;
    std::function<void()> arrange;
    std::string code;
    std::string extra;
  };
  const std::vector<Row> rows{
      {"enveloped",
       [this] {
         WriteBytes(root_.path() / "plain", "секрет");
         EnvelopeOf(root_.path() / "plain", in_ / "doc.txt.p7s");
       },
       "0xE1718002", "Получение информации об ЭП файла '%IN%' (размер: %SIZE%). Файл зашифрован"},
      {"detached signature in an attached rule",
       [this] {
         WriteBytes(root_.path() / "plain", "данные");
         SignWith("user1", root_.path() / "plain", in_ / "doc.txt.p7s", true);
       },
       "0xE1718002",
       "Получение данных о ЭП файла %IN% (размер: %SIZE%). Файл %IN% (размер: %SIZE%) содержит отсоединённую "
       "подпись вместо присоединённой"},
      {"no signature at all",
       [this] { NoSignerMessage(in_ / "doc.txt.p7s"); },
       "0xE1718002", "Получение данных о ЭП файла %IN% (размер: %SIZE%)"},
      {"tampered content",
       [this] {
         Signed("doc.txt.p7s", "подлинный текст");
         Tamper(in_ / "doc.txt.p7s", "подлинный");
       },
       "", "Профиль справочника : 'Тест'. Проверка ЭП файла '%IN%' (размер: %SIZE%)"},
      {"signer list not met",
       [this] {
         Signed("doc.txt.p7s", "текст");
         Rule().signerLists = {SignerListRecord{L"Бухгалтерия", {Wide(pki_.Dn("user2"))}}};
       },
       "0xE1718001", "Проверка подписантов ЭП файла '%IN%' (размер: %SIZE%)"},
      {"missing stamp required",
       [this] {
         Signed("doc.txt.p7s", "текст");
         profile_.autoVerifyTsp = {1};
         profile_.noTspIsError = {1};
       },
       "0xE0700106", "Проверка штампов времени ЭП в файле %IN% (размер: %SIZE%)"},
      {"signing fails",
       [this] {
         Signed("doc.txt.p7s", "текст");
         setenv("QELM_TEST_FAIL", "ORLAX_CmsBlkDetSignMem=0xE0700001", 1);
       },
       "0xE0700001", "Профиль справочника : 'Второй'. Создание отсоединённой ЭП файла '%IN%'"},
      {"content cannot be written after the new signature",
       [this] {
         Signed("doc.txt.p7s", "текст");
         fs::create_symlink(root_.path() / "gone" / "content", out_ / "doc.txt");
       },
       "", "Создание файла %OUT%/doc.txt\r\n"},
      {"report cannot be written",
       [this] {
         Signed("doc.txt.p7s", "текст");
         profile_.verifyResignFile = 1;
         // A name that leads nowhere: not taken, yet it cannot be opened.
         fs::create_symlink(root_.path() / "gone" / "report", out_ / "doc.txt.vrf");
       },
       "", "Открытие файла %OUT%/doc.txt.vrf (размер: 0)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
        Rule().signerLists.clear();
    Rule().outFormatDet = 1;
    profile_.autoVerifyTsp.clear();
    profile_.noTspIsError.clear();
    profile_.verifyResignFile = 0;
    row.arrange();
    const std::string size = std::to_string(fs::file_size(in_ / "doc.txt.p7s"));
    DWORD rc = Resign({"doc.txt.p7s"});
    unsetenv("QELM_TEST_FAIL");
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(err_), std::vector<std::string>{"doc.txt.p7s"});
    std::vector<std::string> left = Listing(out_);
    // The links the rows plant are not the operation's to remove.
    for (const char* planted : {"doc.txt.vrf", "doc.txt"})
      if (fs::is_symlink(out_ / planted)) left.erase(std::remove(left.begin(), left.end(), planted), left.end());
    EXPECT_EQ(left, std::vector<std::string>{});
    const std::string errors = Errors();
    std::string extra = std::regex_replace(row.extra, std::regex("%IN%"), (in_ / "doc.txt.p7s").string());
    extra = std::regex_replace(extra, std::regex("%SIZE%"), size);
    extra = std::regex_replace(extra, std::regex("%OUT%"), out_.string());
    EXPECT_TRUE(Contains(errors, Prefix() + extra)) << errors;
    if (!row.code.empty()) {
      EXPECT_TRUE(Contains(errors, row.code)) << errors;
    }
    EXPECT_TRUE(Contains(Operations(), Moved(err_ / "doc.txt.p7s")));
  }
}

TEST_F(ResignFilesTest, StreamEncodedAndDetachedInputsWaitUntouched) {
  Signed("big.p7s", "потоковый", true);
  const std::string bytes = Read(in_ / "big.p7s");
  ASSERT_EQ(Resign({"big.p7s"}), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"big.p7s"});
  EXPECT_EQ(Read(in_ / "big.p7s"), bytes);
  EXPECT_EQ(Operations(), "");

  Rule().inFormatDet = 1;
  WriteBytes(in_ / "d.txt", "данные");
  SignWith("user1", in_ / "d.txt", in_ / "d.txt.p7d", true);
  ASSERT_EQ(Resign({"d.txt", "d.txt.p7d"}), 0u);
  EXPECT_EQ(Listing(in_), (std::vector<std::string>{"big.p7s", "d.txt", "d.txt.p7d"}));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
}

}  // namespace
}  // namespace cryptoops
