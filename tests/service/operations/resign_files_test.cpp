// RESG through the operation: a file signed by user1 is verified with the
// rule's directory profile and signed anew by user2 (the second directory
// profile), attached or detached, stamped or not; names and conflicts; and
// the failures that must leave no output behind and the input in the error
// folder. Block mode for attached signatures in DER; stream mode for
// stream-encoded ones and for detached pairs.

#include <regex>
#include <tuple>

#include "platform/cfile.h"
#include "service/core/result_codes.h"
#include "service/operations/stream_stage_chain.h"
#include "tests/service/operations/verification_fixture.h"
#include "tests/support/file_size_limit.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class ResignFilesTest : public VerificationTest {
 protected:
  void SetUp() override {
    VerificationTest::SetUp();
    // The second directory profile: user2's key signs the new signature.
    DirectoryProfileContext entry;
    entry.name = L"Второй";
    ASSERT_EQ(OpenHolderContext("user2", &resignContext_, entry), 0u);
    table_.push_back(entry);
    profile_.zcsProfiles.push_back(L"Второй");
    Rule().resignProfile = L"Второй";
    state_.resignTableIndex = 1;
  }
  void TearDown() override {
    if (resignContext_ != nullptr) ORLAX_Uninitialize(resignContext_);
    VerificationTest::TearDown();
  }

  // RESG with "SigExt" p7s, "DsigExt" p7d and "VerifyFileExt" vrf.
  DWORD Resign(const std::vector<std::string>& names) {
    ProfileRecord copy(profile_);
    return ResignFiles(Call(Names(names), copy),
                       {.sigExt = L"p7s",
                        .dsigExt = L"p7d",
                        .writeReport = profile_.verifyResignFile != 0,
                        .verifyFileExt = reportExtension_});
  }

  CString reportExtension_ = L"vrf";

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
  bool Stamped(const fs::path& file) { return StampCheck(file, 0, false) == 0; }

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
  // Named by the signature output even when only the report's name is taken.
  EXPECT_TRUE(Contains(Errors(), "Создание файла " + (out_ / "b.p7s").string() + "\r\n")) << Errors();
}

// Each row: the input is moved to the error folder with its record, and no
// output of it is left in the output folder.
TEST_F(ResignFilesTest, FailuresMoveTheInputAndLeaveNoOutput) {
  struct Row {
    std::string what;
    std::function<void()> arrange;
    std::string code;
    std::string extra;
    rlim_t sizeLimit = RLIM_INFINITY;  // a full disk for the operation
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
       // The disk fills up with the content, after the small signature.
       [this] { Signed("doc.txt.p7s", std::string(64 * 1024, 'x')); },
       "", "Открытие файла %OUT%/doc.txt (размер: 0)\r\n", 16 * 1024},
      {"report cannot be written",
       [this] {
         Signed("doc.txt.p7s", "текст");
         profile_.verifyResignFile = 1;
         // The report's path is too long to be created; the signature's and
         // the content's are not.
         reportExtension_ = L"verification";
         UseOutputFolderOfLength(4080 - kStagedNameOverhead);
       },
       "", "Открытие файла %OUT%/doc.txt.verification (размер: 0)"},
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
    DWORD rc = row.sizeLimit == RLIM_INFINITY
                   ? Resign({"doc.txt.p7s"})
                   : testsupport::WithFileSizeLimit(row.sizeLimit, [&] { return Resign({"doc.txt.p7s"}); });
    unsetenv("QELM_TEST_FAIL");
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(err_), std::vector<std::string>{"doc.txt.p7s"});
    std::vector<std::string> left = Listing(out_);
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

// The record of a ".stp" name, whether another instance holds it or it was
// left behind, names the file with its size as it lay in the input folder.
TEST_F(ResignFilesTest, RecordOfATemporaryNameShowsTheSourceSize) {
  Signed("left.p7s", "content");
  fs::rename(in_ / "left.p7s", in_ / "left.p7s.stp");
  Signed("held.p7s", "content");
  fs::rename(in_ / "held.p7s", in_ / "held.p7s.stp");
  LiveClaim claim(in_ / "held.p7s.stp");
  ASSERT_TRUE(claim.Held());
  const std::string leftSize = std::to_string(fs::file_size(in_ / "left.p7s.stp"));
  const std::string heldSize = std::to_string(fs::file_size(in_ / "held.p7s.stp"));
  ASSERT_EQ(Resign({"left.p7s.stp", "held.p7s.stp"}), 0u);
  for (const auto& [name, size] : {std::pair{"left.p7s.stp", leftSize}, std::pair{"held.p7s.stp", heldSize}}) {
    const std::string source = (in_ / name).string();
    EXPECT_EQ(RecordsWith("Переименование файла '" + source + "' (размер: " + size + ")").size(), 1u)
        << Operations();
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
}

// A stamp that cannot be had fails the file: no unstamped signature is kept.
TEST_F(ResignFilesTest, StampServerThatFailsSendsTheInputToTheErrorFolder) {
  for (bool detached : {false, true}) {
    SCOPED_TRACE(detached);
    for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
    testsupport::LocalHttpServer server;
    UseTimeStamps(server);
    server.SetMode(testsupport::LocalHttpServer::Mode::kFail);
    Rule().outFormatDet = detached ? 1 : 0;
    Signed("doc.txt.p7s", "Счёт на оплату");
    ASSERT_EQ(Resign({"doc.txt.p7s"}), 0u);
    EXPECT_EQ(Listing(err_), std::vector<std::string>{"doc.txt.p7s"});
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    const std::string errors = Errors();
    EXPECT_TRUE(Contains(errors, Prefix() + "Установка штампа времени с сервера " + server.Url("/tsa") +
                                     "/ на последнюю ЭП файла " + (in_ / "doc.txt.p7s").string() + " (размер: "))
        << errors;
    EXPECT_TRUE(Contains(errors, "с записью в файл " + (out_ / (detached ? "doc.txt.p7d" : "doc.txt.p7s")).string() +
                                     " (размер: 0)"))
        << errors;
    EXPECT_TRUE(Contains(errors, "The requested URL returned error: 500")) << errors;
  }
}

// ---------------------------------------------------------------------------
// Stream mode: stream-encoded attached signatures and detached pairs.

enum class Form { kAttachedStream, kDetachedBlock, kDetachedStream };

std::string FormName(Form form) {
  return form == Form::kAttachedStream ? "attached stream" : form == Form::kDetachedBlock ? "detached" : "detached stream";
}

class ResignStreamTest : public ResignFilesTest {
 protected:
  void SetUp() override {
    ResignFilesTest::SetUp();
    profile_.verifyResignFile = 1;
  }

  void Clean() {
    for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
  }

  // The input of a form with `content`, signed by user1, in "Path In":
  // doc.txt.p7s, or doc.txt with doc.txt.p7d. Returns the names to list.
  std::vector<std::string> Place(Form form, const std::string& content) {
    Rule().inFormatDet = form == Form::kAttachedStream ? 0 : 1;
    if (form == Form::kAttachedStream) {
      Signed("doc.txt.p7s", content, true);
      return {"doc.txt.p7s"};
    }
    WriteBytes(in_ / "doc.txt", content);
    SignWith("user1", in_ / "doc.txt", in_ / "doc.txt.p7d", true, form == Form::kDetachedStream);
    return {"doc.txt", "doc.txt.p7d"};
  }

  // The signed file of the placed input, and its content file (a pair's data).
  fs::path SignedInput() const { return Rule().inFormatDet != 0 ? in_ / "doc.txt.p7d" : in_ / "doc.txt.p7s"; }
  std::vector<uint32_t> OldSigningTimes() {
    return Rule().inFormatDet != 0 ? SigningTimes(in_ / "doc.txt.p7d", in_ / "doc.txt")
                                   : SigningTimes(in_ / "doc.txt.p7s");
  }
  const RuleRecord& Rule() const { return profile_.rules[0]; }
  using ResignFilesTest::Rule;

  // The new signature verifies, with the library and with openssl, as
  // user2's only, over exactly `content`.
  void ExpectReSigned(bool detachedOutput, const std::string& content) {
    if (detachedOutput) {
      const fs::path signature = out_ / "doc.txt.p7d";
      EXPECT_EQ(Read(out_ / "doc.txt"), content);
      EXPECT_EQ(Signers(signature, out_ / "doc.txt"), std::vector<std::string>{pki_.Dn("user2")});
      EXPECT_EQ(OpensslVerify(signature, out_ / "doc.txt"), content);
    } else {
      const fs::path signature = out_ / "doc.txt.p7s";
      EXPECT_EQ(Signers(signature), std::vector<std::string>{pki_.Dn("user2")});
      EXPECT_EQ(OpensslVerify(signature), content);
    }
  }
};

TEST_F(ResignStreamTest, ReSignsEveryStreamedInputFormInEveryOutputFormWithAndWithoutStamp) {
  for (Form form : {Form::kAttachedStream, Form::kDetachedBlock, Form::kDetachedStream}) {
    for (const auto& [detached, stamped] : {std::tuple{false, false}, std::tuple{false, true},
                                            std::tuple{true, false}, std::tuple{true, true}}) {
      SCOPED_TRACE(FormName(form) + " out " + std::to_string(detached) + " stamp " + std::to_string(stamped));
      Clean();
      testsupport::LocalHttpServer server;
      profile_.serverTsp.clear();
      profile_.autoUseTsp.clear();
      if (stamped) UseTimeStamps(server);
      Rule().outFormatDet = detached ? 1 : 0;
      const std::string content = "Акт сверки №7\n" + std::string(5000, 'x');
      const std::vector<std::string> names = Place(form, content);
      const uint32_t oldTime = OldSigningTimes().at(0);

      ASSERT_EQ(Resign(names), 0u);
      EXPECT_EQ(Errors(), "");
      EXPECT_EQ(Listing(in_), std::vector<std::string>{});
      EXPECT_EQ(Listing(out_), detached ? (std::vector<std::string>{"doc.txt", "doc.txt.p7d", "doc.txt.vrf"})
                                        : (std::vector<std::string>{"doc.txt.p7s", "doc.txt.vrf"}));
      ExpectReSigned(detached, content);
      const fs::path signature = out_ / (detached ? "doc.txt.p7d" : "doc.txt.p7s");
      EXPECT_EQ(StampCheck(signature, 0, true) == 0, stamped);
      EXPECT_EQ(Read(out_ / "doc.txt.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", oldTime));
      EXPECT_EQ(RecordsWith("Переподписание").size(), 1u) << Operations();
    }
  }
}

// The stamps of a pair's signature are checked in the signature's own
// encoding and shown in the report.
TEST_F(ResignStreamTest, StampedPairPassesItsCheckAndTheReportShowsTheStamp) {
  for (Form form : {Form::kDetachedBlock, Form::kDetachedStream}) {
    SCOPED_TRACE(FormName(form));
    Clean();
    testsupport::LocalHttpServer server;
    server.EnableTimeStamping(pki_, "/tsa/");
    Rule().outFormatDet = 1;
    Place(form, "Протокол с меткой времени");
    StampSignature(in_ / "doc.txt.p7d", 0, server.Url("/tsa/"), form == Form::kDetachedStream);
    const uint32_t oldTime = OldSigningTimes().at(0);
    const uint32_t stampTime = StampTime(in_ / "doc.txt.p7d", 0);
    profile_.autoVerifyTsp = {1};
    profile_.noTspIsError = {1};
    ASSERT_EQ(Resign({"doc.txt", "doc.txt.p7d"}), 0u);
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(Read(out_ / "doc.txt.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", oldTime, stampTime));
  }
}

// A stamp from an authority whose certificate chains to no root of LOCAL
// fails the file in block and stream mode: no output, the input in the error
// folder with the library's code.
TEST_F(ResignStreamTest, StampOfAnUntrustedAuthorityFailsTheFile) {
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(other, "/tsa/");
  profile_.serverTsp = {L"", Wide(server.Url("/tsa") + "/")};
  profile_.autoUseTsp = {0, 1};
  for (int form = -1; form <= static_cast<int>(Form::kDetachedStream); ++form) {
    SCOPED_TRACE(form < 0 ? "attached block" : FormName(static_cast<Form>(form)));
    Clean();
    std::vector<std::string> inputs{"doc.txt.p7s"};
    if (form < 0) {
      Rule().inFormatDet = 0;
      Signed("doc.txt.p7s", "Счёт на оплату");
    } else {
      inputs = Place(static_cast<Form>(form), "Счёт на оплату");
    }
    ASSERT_EQ(Resign(inputs), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(err_), inputs);
    const std::string errors = Errors();
    EXPECT_TRUE(Contains(errors, ErrorCode(ORLAX_E_TSP_INVALID))) << errors;
    EXPECT_TRUE(Contains(errors, "штампа времени с сервера " + server.Url("/tsa") + "/ на последнюю ЭП файла"))
        << errors;
    EXPECT_FALSE(Contains(Operations(), "| Успех |")) << Operations();
  }
  EXPECT_EQ(server.Count("/tsa/"), 4);
}

TEST_F(ResignStreamTest, RecordOfAPairNamesSignatureDataAndOutputsWithTheirSizes) {
  for (bool detached : {true, false}) {
    SCOPED_TRACE(detached);
    Clean();
    Rule().outFormatDet = detached ? 1 : 0;
    const std::string content = "Реестр платежей";
    Place(Form::kDetachedBlock, content);
    const std::string signatureSize = std::to_string(fs::file_size(in_ / "doc.txt.p7d"));
    ASSERT_EQ(Resign({"doc.txt.p7d", "doc.txt"}), 0u);
    const fs::path output = out_ / (detached ? "doc.txt.p7d" : "doc.txt.p7s");
    const std::string head = std::string(kTime) + " | Профиль: P | Успех | " + Prefix() +
                             "Профиль справочника : 'Тест' | Переподписание с проверкой отсоединённой ЭП '" +
                             (in_ / "doc.txt.p7d").string() + "' (размер: " + signatureSize + ") файла '" +
                             (in_ / "doc.txt").string() + "' (размер: " + std::to_string(content.size()) +
                             "), удаление подписей (1 шт.) и запись в файл ";
    const std::string size = std::to_string(fs::file_size(output));
    EXPECT_EQ(RecordWith("Успех"),
              detached ? head + "'" + (out_ / "doc.txt").string() + "' (размер: " + std::to_string(content.size()) +
                             ") с добавлением отсоединенной ЭП '" + output.string() + "' (размер: " + size +
                             ") (профиль справочника новой подписи 'Второй')"
                       : head + "c добавлением присоединенной ЭП '" + output.string() + "' (размер: " + size +
                             ") (профиль справочника новой подписи'Второй')");
  }
}

// More than one chunk of 100,000,000 bytes: the verified content passes
// through in pieces and arrives whole and unchanged.
TEST_F(ResignStreamTest, InputsLongerThanOneChunkPassWhole) {
  std::string content(StreamChunkSize + 4099, '\0');
  for (size_t i = 0; i < content.size(); i += 4096) content[i] = static_cast<char>('a' + (i / 4096) % 26);
  profile_.verifyResignFile = 0;
  for (const auto& [form, detached] : {std::tuple{Form::kAttachedStream, true}, std::tuple{Form::kDetachedStream, false}}) {
    SCOPED_TRACE(FormName(form));
    Clean();
    Rule().outFormatDet = detached ? 1 : 0;
    const std::vector<std::string> names = Place(form, content);
    ASSERT_EQ(Resign(names), 0u);
    EXPECT_EQ(Errors(), "");
    if (detached) {
      EXPECT_EQ(fs::file_size(out_ / "doc.txt"), content.size());
      EXPECT_TRUE(Read(out_ / "doc.txt") == content);
      EXPECT_EQ(Signers(out_ / "doc.txt.p7d", out_ / "doc.txt"), std::vector<std::string>{pki_.Dn("user2")});
    } else {
      EXPECT_EQ(Signers(out_ / "doc.txt.p7s"), std::vector<std::string>{pki_.Dn("user2")});
    }
  }
}

// An empty data file is still signed: the new signature is of nothing, never
// an empty file reported as a success.
TEST_F(ResignStreamTest, EmptyDataFileOfAPairIsReSigned) {
  for (bool detached : {true, false}) {
    SCOPED_TRACE(detached);
    Clean();
    Rule().outFormatDet = detached ? 1 : 0;
    Place(Form::kDetachedBlock, "");
    ASSERT_EQ(Resign({"doc.txt", "doc.txt.p7d"}), 0u);
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    ExpectReSigned(detached, "");
    EXPECT_GT(fs::file_size(out_ / (detached ? "doc.txt.p7d" : "doc.txt.p7s")), 0u);
  }
}

TEST_F(ResignStreamTest, PairsAreClaimedTogetherWhicheverIsListedFirstAndWaitForAMissingPartner) {
  Rule().outFormatDet = 1;
  profile_.verifyResignFile = 0;
  // Listed data first: its signature's later entry is passed over silently.
  Place(Form::kDetachedBlock, "первая пара");
  ASSERT_EQ(Resign({"doc.txt", "doc.txt.p7d"}), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"doc.txt", "doc.txt.p7d"}));

  // Listed signature first: the data file's later entry finds its file gone
  // and is recorded as vanished; the pair itself is re-signed.
  Clean();
  Place(Form::kDetachedBlock, "вторая пара");
  ASSERT_EQ(Resign({"doc.txt.p7d", "doc.txt"}), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"doc.txt", "doc.txt.p7d"}));
  EXPECT_EQ(RecordsWith("Успех").size(), 1u);
  EXPECT_TRUE(Contains(Errors(), ErrorCode(ERR_FILE_VANISHED))) << Errors();
  EXPECT_TRUE(Contains(Errors(), "Файл '" + (in_ / "doc.txt").string() + "' был выбран для обработки но не был найден"));

  // Files without their partner, and a name that is all extension, wait
  // untouched and unrecorded, cycle after cycle.
  Clean();
  WriteBytes(in_ / "alone.txt", "без подписи");
  WriteBytes(in_ / "orphan.txt.p7d", "подпись без данных");
  WriteBytes(in_ / ".p7d", "ничья");
  for (int cycle = 0; cycle < 2; ++cycle) ASSERT_EQ(Resign({"alone.txt", "orphan.txt.p7d", ".p7d"}), 0u);
  EXPECT_EQ(Listing(in_), (std::vector<std::string>{".p7d", "alone.txt", "orphan.txt.p7d"}));
  EXPECT_EQ(Operations(), "");
  EXPECT_EQ(Errors(), "");
}

TEST_F(ResignStreamTest, ConflictOfAPairGivesSignatureContentAndReportOneMark) {
  Rule().outFormatDet = 1;
  profile_.renameConfFiles = 1;
  Place(Form::kDetachedBlock, "пара с конфликтом");
  WriteBytes(out_ / "doc.txt", "чужие данные");
  ASSERT_EQ(Resign({"doc.txt", "doc.txt.p7d"}), 0u);
  EXPECT_EQ(Errors(), "");
  std::vector<std::string> names = Listing(out_);
  ASSERT_EQ(names.size(), 4u);
  const std::regex drawn("doc~([0-9a-f]+)\\.txt");
  std::smatch mark;
  ASSERT_TRUE(std::regex_match(names[1], mark, drawn)) << names[1];
  EXPECT_EQ(names[2], names[1] + ".p7d");
  EXPECT_EQ(names[3], names[1] + ".vrf");
  EXPECT_EQ(Read(out_ / "doc.txt"), "чужие данные");
  EXPECT_EQ(Signers(out_ / names[2], out_ / names[1]), std::vector<std::string>{pki_.Dn("user2")});
}

// Each row fails in stream mode: the input (both files of a pair) is in the
// error folder, nothing of it is left in the output folder, and the record
// carries the code and the step text byte for byte.
TEST_F(ResignStreamTest, FailuresMoveTheInputAndLeaveNoOutput) {
  struct Row {
    std::string what;
    Form form;
    bool detachedOutput;
    std::function<void(testsupport::LocalHttpServer&)> arrange;
    std::string code;   // as the errors journal shows it
    std::string extra;  // after the rule prefix; %IN%, %SIZE%, %SIG%, %SIGSIZE%, %DATA%, %DATASIZE%, %OUT%, %URL%
    std::string stack;  // a line the record's error stack must hold
    size_t fileSizeLimit = 0;
  };
  auto failing = [](const std::string& call) {
    return [call](testsupport::LocalHttpServer&) { setenv("QELM_TEST_FAIL", (call + "=0xE0700001").c_str(), 1); };
  };
  auto stamping = [this](testsupport::LocalHttpServer& server) { UseTimeStamps(server); };
  const std::string library = ErrorCode(0xE0700001);
  const std::vector<Row> rows{
      {"attached verification start", Form::kAttachedStream, false, failing("ORLAX_CmsStrAttVerifyInitMem"), library,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции проверки ЭП файла '%IN%' (размер: %SIZE%)",
       "ORLAX_CmsStrAttVerifyInitMem"},
      {"last empty verification update", Form::kAttachedStream, true, failing("ORLAX_CmsStrAttVerifyUpdateMem"),
       library,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции проверки ЭП файла '%IN%' (размер: %SIZE%)",
       "ORLAX_CmsStrAttVerifyUpdateMem"},
      {"tampered attached content", Form::kAttachedStream, false,
       [this](testsupport::LocalHttpServer&) { Tamper(in_ / "doc.txt.p7s", "Накладная"); }, "",
       "Профиль справочника : 'Тест'. Завершение потоковой операции проверки ЭП файла '%IN%' (размер: %SIZE%)\r\n"
       "ЭП №: 1\r\n",
       ""},
      {"detached verification start", Form::kDetachedStream, true, failing("ORLAX_CmsStrDetVerifyInitMem"), library,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции проверки отсоединённой ЭП '%SIG%' (размер: "
       "%SIGSIZE%) файла '%DATA%' (размер: %DATASIZE%)",
       "ORLAX_CmsStrDetVerifyInitMem"},
      {"tampered data file", Form::kDetachedBlock, true,
       [this](testsupport::LocalHttpServer&) { Tamper(in_ / "doc.txt", "Накладная"); }, "",
       "Профиль справочника : 'Тест'. Завершение потоковой операции проверки отсоединённой ЭП '%SIG%' (размер: "
       "%SIGSIZE%) файла '%DATA%' (размер: %DATASIZE%)\r\nЭП №: 1\r\n",
       ""},
      {"detached signing start", Form::kDetachedBlock, true, failing("ORLAX_CmsStrDetSignInitMem"), library,
       "Профиль справочника : 'Второй'. Инициализация потоковой операции создания отсоединённой ЭП файла '%DATA%' "
       "(размер: %DATASIZE%) в файл '%OUT%/doc.txt.p7d' (размер: 0)",
       "ORLAX_CmsStrDetSignInitMem"},
      {"attached signing start", Form::kAttachedStream, false, failing("ORLAX_CmsStrAttSignInitMem"), library,
       "Профиль справочника : 'Второй'. Инициализация потоковой операции создания ЭП файла '%IN%' (размер: %SIZE%) "
       "в файл '%OUT%/doc.txt.p7s' (размер: 0)",
       "ORLAX_CmsStrAttSignInitMem"},
      {"attached signing end", Form::kDetachedBlock, false, failing("ORLAX_CmsStrAttSignFinalMem"), library,
       "Профиль справочника : 'Второй'. Завершение потоковой операции создания ЭП файла '%DATA%' (размер: "
       "%DATASIZE%) в файл '%OUT%/doc.txt.p7s' (размер: 0)",
       "ORLAX_CmsStrAttSignFinalMem"},
      {"detached signing end", Form::kAttachedStream, true, failing("ORLAX_CmsStrDetSignFinalMem"), library,
       "Профиль справочника : 'Второй'. Завершение потоковой операции создания отсоединённой ЭП файла '%IN%' "
       "(размер: %SIZE%) в файл '%OUT%/doc.txt.p7d' (размер: 0)",
       "ORLAX_CmsStrDetSignFinalMem"},
      {"stamp start",
       Form::kDetachedStream, false,
       [&](testsupport::LocalHttpServer& server) {
         stamping(server);
         failing("ORLAX_TspStrUrlStampCmsInitMem")(server);
       },
       library,
       "Профиль справочника : 'Второй'. Инициализация потоковой операции установки штампа времени с сервера %URL% на "
       "последнюю ЭП файла %DATA% (размер: %DATASIZE%) с записью в файл %OUT%/doc.txt.p7s (размер: 0)",
       "ORLAX_TspStrUrlStampCmsInitMem"},
      {"stamp server refuses, attached output", Form::kAttachedStream, false,
       [&](testsupport::LocalHttpServer& server) {
         stamping(server);
         server.SetMode(testsupport::LocalHttpServer::Mode::kFail);
       },
       "", "Профиль справочника : 'Второй'. ", "The requested URL returned error: 500"},
      {"stamp server refuses, detached output", Form::kDetachedBlock, true,
       [&](testsupport::LocalHttpServer& server) {
         stamping(server);
         server.SetMode(testsupport::LocalHttpServer::Mode::kFail);
       },
       "",
       "Установка штампа времени с сервера %URL% на последнюю ЭП файла %DATA% (размер: %DATASIZE%) с записью в файл "
       "%OUT%/doc.txt.p7d (размер: 0)",
       "The requested URL returned error: 500"},
      {"data output cannot be created", Form::kAttachedStream, true,
       [this](testsupport::LocalHttpServer&) {
         fs::create_symlink(root_.path() / "gone" / "content", out_ / "doc.txt");
       },
       "", "Создание файла %OUT%/doc.txt", ""},
      {"full disk under the data output", Form::kDetachedStream, true, [](testsupport::LocalHttpServer&) {},
       ErrorCode(CFileException::diskFull), "Запись файла %OUT%/doc.txt (размер: 0)", "", 100 * 1024},
      // (An attached input is spooled by the library and would meet the limit first.)
      {"full disk under the signature output", Form::kDetachedStream, false, [](testsupport::LocalHttpServer&) {},
       ErrorCode(CFileException::diskFull), "Запись файла %OUT%/doc.txt.p7s (размер: 0)", "", 100 * 1024},
      {"signer list not met", Form::kDetachedBlock, true,
       [this](testsupport::LocalHttpServer&) {
         Rule().signerLists = {SignerListRecord{L"Бухгалтерия", {Wide(pki_.Dn("user2"))}}};
       },
       ErrorCode(ERR_SIGNER_NOT_LISTED), "Проверка подписантов ЭП файла '%LISTED%' (размер: %SIGSIZE%)", ""},
      {"attached signature in a rule of pairs", Form::kDetachedBlock, true,
       [this](testsupport::LocalHttpServer&) {
         fs::remove(in_ / "doc.txt.p7d");
         SignWith("user1", in_ / "doc.txt", in_ / "doc.txt.p7d", false);
       },
       ErrorCode(ERR_WRONG_SIGNATURE_TYPE),
       "Получение данных о ЭП файла %DATA% (размер: %SIGSIZE%). Файл %SIG% (размер: %SIGSIZE%) содержит "
       "присоединённую подпись вместо отсоединённой",
       ""},
      {"pair without a required stamp", Form::kDetachedStream, true,
       [this](testsupport::LocalHttpServer&) {
         profile_.autoVerifyTsp = {1};
         profile_.noTspIsError = {1};
       },
       ErrorCode(ORLAX_E_NO_TIME_STAMP),
       "Проверка штампов времени отсоединенной ЭП файла %DATA% (размер: %DATASIZE%) в файле %SIG% (размер: "
       "%SIGSIZE%)\r\n\r\nЭП №: 1\r\n",
       ""},
      // Last: the output folder stays the long one.
      {"signature output cannot be created", Form::kDetachedBlock, false,
       [this](testsupport::LocalHttpServer&) { UseOutputFolderOfLength(4090); }, "",
       "Создание файла %OUT%/doc.txt.p7s", ""},
  };
  // Big enough to pass the limit of the full-disk rows.
  const std::string content = "Накладная №12\n" + std::string(300 * 1024, 'z');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Clean();
    Rule().signerLists.clear();
    Rule().outFormatDet = row.detachedOutput ? 1 : 0;
    profile_.autoVerifyTsp.clear();
    profile_.noTspIsError.clear();
    profile_.serverTsp.clear();
    profile_.autoUseTsp.clear();
    profile_.verifyResignFile = 0;
    const bool pair = row.form != Form::kAttachedStream;
    const std::vector<std::string> names = Place(row.form, content);
    testsupport::LocalHttpServer server;
    row.arrange(server);
    const std::string signatureSize = std::to_string(fs::file_size(SignedInput()));
    const std::string dataSize = pair ? std::to_string(fs::file_size(in_ / "doc.txt")) : signatureSize;
    DWORD rc = 0;
    if (row.fileSizeLimit != 0) {
      testsupport::FileSizeLimit limit(row.fileSizeLimit);
      rc = Resign(names);
    } else {
      rc = Resign(names);
    }
    unsetenv("QELM_TEST_FAIL");
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(err_), pair ? (std::vector<std::string>{"doc.txt", "doc.txt.p7d"})
                                  : (std::vector<std::string>{"doc.txt.p7s"}));
    std::vector<std::string> left = Listing(out_);
    std::error_code linkError;  // the long output folder is too long to look at
    if (fs::is_symlink(out_ / "doc.txt", linkError)) left.erase(std::remove(left.begin(), left.end(), "doc.txt"), left.end());
    EXPECT_EQ(left, std::vector<std::string>{});
    std::string extra = row.extra;
    const std::vector<std::pair<std::string, std::string>> values{
        {"%IN%", (in_ / "doc.txt.p7s").string()}, {"%SIZE%", signatureSize},
        {"%SIG%", (in_ / "doc.txt.p7d").string()}, {"%SIGSIZE%", signatureSize},
        {"%DATA%", (in_ / "doc.txt").string()},   {"%DATASIZE%", dataSize},
        {"%OUT%", out_.string()},                 {"%URL%", server.Url("/tsa") + "/"},
        {"%LISTED%", (in_ / names[0]).string()}};
    for (const auto& [mark, value] : values) {
      for (size_t at = extra.find(mark); at != std::string::npos; at = extra.find(mark, at + value.size()))
        extra.replace(at, mark.size(), value);
    }
    const std::string errors = Errors();
    EXPECT_TRUE(Contains(errors, Prefix() + extra)) << errors;
    if (!row.code.empty()) {
      EXPECT_TRUE(Contains(errors, row.code)) << errors;
    }
    if (!row.stack.empty()) {
      EXPECT_TRUE(Contains(errors, row.stack)) << errors;
    }
    EXPECT_TRUE(Contains(Operations(), pair ? ". Файлы перемещены в каталог ошибок под именами " +
                                                  (err_ / "doc.txt.p7d").string() + " ; " + (err_ / "doc.txt").string()
                                            : Moved(err_ / "doc.txt.p7s")))
        << Operations();
  }
}

}  // namespace
}  // namespace cryptoops
