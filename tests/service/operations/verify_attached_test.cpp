// CHCK and CHKX through the operation: verified files reach the output with
// their reports, and every file that fails a check goes to the error folder
// with its record while nothing of it reaches the output.

#include <csignal>

#include "service/core/claim_records.h"
#include "service/core/file_pipeline.h"
#include "tests/service/operations/verification_fixture.h"
#include "tests/support/crash_child.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class VerifyAttachedTest : public VerificationTest {
 protected:
  // A document signed by `who` with the library (the signer's certificate
  // inside), in block or stream encoding.
  fs::path Signed(const std::string& name, const std::string& content, const std::string& who = "user1",
                  bool stream = false) {
    const fs::path data = root_.path() / ("data-" + name);
    WriteBytes(data, content);
    SignWith(who, data, in_ / name, false, stream);
    return in_ / name;
  }
  // One more signature by `who` on a signed file.
  void AddSignature(const fs::path& file, const std::string& who) {
    const fs::path twice = root_.path() / "twice";
    SignWith(who, file, twice, false);
    fs::rename(twice, file);
  }
};

TEST_F(VerifyAttachedTest, ChckMovesVerifiedFilesUnchangedAndReportsEverySignature) {
  const fs::path one = Signed("a.txt.p7s", "Платёжное поручение");
  const fs::path two = Signed("b.p7s", "Договор", "user1", true);
  AddSignature(two, "user2");
  const std::string oneBytes = Read(one), twoBytes = Read(two);
  const std::vector<uint32_t> oneTimes = SigningTimes(one), twoTimes = SigningTimes(two);
  ASSERT_EQ(twoTimes.size(), 2u);
  // Neither what a new file gets nor its owner's alone: the report gets the
  // bits of the input beside it.
  const fs::perms bits = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(one, bits);

  ASSERT_EQ(Check({"a.txt.p7s", "b.p7s"}, false), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(fs::status(out_ / "a.txt.p7s").permissions(), bits);
  EXPECT_EQ(fs::status(out_ / "a.txt.p7s.vrf").permissions(), bits);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt.p7s", "a.txt.p7s.vrf", "b.p7s", "b.p7s.vrf"}));
  EXPECT_EQ(Read(out_ / "a.txt.p7s"), oneBytes);
  EXPECT_EQ(Read(out_ / "b.p7s"), twoBytes);
  EXPECT_EQ(Read(out_ / "a.txt.p7s.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", oneTimes[0]));
  EXPECT_EQ(Read(out_ / "b.p7s.vrf"),
            "Количество ЭП: 2\r\n" + Block(1, "user1", twoTimes[0]) + Block(2, "user2", twoTimes[1]));
  EXPECT_EQ(RecordWith("a.txt.p7s"), std::string(kTime) +
                                         " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : "
                                         "'Тест' | Проверка ЭП файла '" +
                                         (in_ / "a.txt.p7s").string() +
                                         "' (размер: " + std::to_string(oneBytes.size()) + ")");
}

TEST_F(VerifyAttachedTest, ChkxWritesTheContentUnderTheNameWithoutTheSignatureExtension) {
  Signed("contract.pdf.p7s", "договор");
  Signed("letter.txt", "письмо");
  Signed("CONTRACT.P7S", "заглавные");
  Signed(".p7s", "только расширение");
  const size_t inputSize = fs::file_size(in_ / "contract.pdf.p7s");

  ASSERT_EQ(Check({"contract.pdf.p7s", "letter.txt", "CONTRACT.P7S", ".p7s"}, true), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_),
            (std::vector<std::string>{".p7s", ".p7s.vrf", "CONTRACT.P7S", "CONTRACT.P7S.vrf", "contract.pdf",
                                      "contract.pdf.p7s.vrf", "letter.txt", "letter.txt.vrf"}));
  EXPECT_EQ(Read(out_ / "contract.pdf"), "договор");
  EXPECT_EQ(Read(out_ / "letter.txt"), "письмо");
  EXPECT_EQ(Read(out_ / "CONTRACT.P7S"), "заглавные");
  EXPECT_EQ(Read(out_ / ".p7s"), "только расширение");
  EXPECT_EQ(RecordWith("contract.pdf.p7s'"),
            std::string(kTime) +
                " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | "
                "Проверка ЭП файла '" +
                (in_ / "contract.pdf.p7s").string() + "' (размер: " + std::to_string(inputSize) +
                ") и удаление подписей (1 шт.) с записью в файл '" + (out_ / "contract.pdf").string() +
                "' (размер: 14)");
}

// Every way a file can fail, for both codes: the file ends in the error
// folder with its record, and the output folder stays empty (CHKX keeps no
// content of a failed file).
class VerifyAttachedRefusalTest : public VerifyAttachedTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VerifyAttachedRefusalTest, EveryBadInputEndsInTheErrorFolderWithItsRecord) {
  const bool remove = GetParam();
  Signed("tampered.p7s", "Сумма: 100 рублей");
  Tamper(in_ / "tampered.p7s", "100");
  Signed("revoked.p7s", "отозванный", "revoked");
  const fs::path second = Signed("second.p7s", "вторая подпись плоха");
  AddSignature(second, "revoked");
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  WriteBytes(root_.path() / "doc", "чужой удостоверяющий центр");
  OpensslSign(other.Cert("user1"), other.Key("user1"), root_.path() / "doc", in_ / "untrusted.p7s", false);
  SignWith("user1", root_.path() / "doc", in_ / "detached.p7s", true);
  EnvelopeOf(root_.path() / "doc", in_ / "enveloped.p7s");
  NoSignerMessage(in_ / "nosigner.p7s");
  Put("plain.p7s", "просто текст");
  const std::vector<std::string> names{"tampered.p7s", "revoked.p7s",   "second.p7s",   "untrusted.p7s",
                                       "detached.p7s", "enveloped.p7s", "nosigner.p7s", "plain.p7s"};

  ASSERT_EQ(Check(names, remove), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Listing(err_), sorted);

  const struct {
    const char* name;
    const char* codeText;
  } expected[] = {
      {"tampered.p7s", "Ошибка ORLAX 0xE0700040 - "}, {"revoked.p7s", "Ошибка ORLAX 0xE0700042 - "},
      {"second.p7s", "Ошибка ORLAX 0xE0700042 - "},   {"untrusted.p7s", "Ошибка ORLAX 0xE0700043 - "},
      {"detached.p7s", "Ошибка ORLAX 0xE0700032 - "}, {"enveloped.p7s", "Ошибка ORLAX 0xE1718002 - "},
      {"nosigner.p7s", "Ошибка ORLAX 0xE1718002 - "}, {"plain.p7s", "Ошибка ORLAX 0xE070000F - "},
  };
  const std::string errors = Errors();
  for (const auto& e : expected) {
    const std::vector<std::string> records = RecordsWith((in_ / e.name).string() + "'");
    ASSERT_EQ(records.size(), 1u) << e.name;
    EXPECT_TRUE(Contains(records[0], " | Ошибка | ")) << e.name;
    EXPECT_TRUE(Contains(records[0], Moved(err_ / e.name))) << e.name;
    EXPECT_TRUE(Contains(errors, e.codeText)) << e.name;
  }
  // The failing signatures are listed by number: only the second of two.
  const std::string revokedLines = "Правило 1 ('Проба'). \r\nЭП №: 2\r\nОшибка ORLAX 0xE0700042 - ";
  EXPECT_TRUE(Contains(errors, revokedLines + Utf8(ErrorDescription(ORLAX_E_CERT_REVOKED, nullptr)) +
                                   "\r\nВладелец: " + pki_.Dn("revoked") + "\r\n"));
  EXPECT_FALSE(Contains(errors, "ЭП №: 1\r\nОшибка ORLAX 0xE0700042 - " +
                                    Utf8(ErrorDescription(ORLAX_E_CERT_REVOKED, nullptr)) +
                                    "\r\nВладелец: " + pki_.Dn("user1")));
  const std::string size = std::to_string(fs::file_size(err_ / "enveloped.p7s"));
  EXPECT_TRUE(Contains(errors,
                       "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                       "Получение информации об ЭП файла '" +
                           (in_ / "enveloped.p7s").string() + "' (размер: " + size + "). Файл зашифрован\r\n"));
  EXPECT_TRUE(Contains(errors,
                       "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                       "Получение информации об ЭП файла '" +
                           (in_ / "nosigner.p7s").string() + "' (размер: "));
}

INSTANTIATE_TEST_SUITE_P(Codes, VerifyAttachedRefusalTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Chkx" : "Chck"; });

TEST_F(VerifyAttachedTest, StampedSignaturesPassAndMissingStampsFailOnlyWhenTheProfileSaysSo) {
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(pki_);
  profile_.autoVerifyTsp = {1};
  const fs::path block = Signed("block.p7s", "блочный");
  StampSignature(block, 0, server.Url("/tsa"));
  const fs::path stream = Signed("stream.p7s", "потоковый", "user1", true);
  StampSignature(stream, 0, server.Url("/tsa"), true);
  Signed("bare.p7s", "без штампа");
  const uint32_t stampTime = StampTime(block, 0);
  const std::vector<uint32_t> signingTimes = SigningTimes(block);

  ASSERT_EQ(Check({"block.p7s", "stream.p7s", "bare.p7s"}, false), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Read(out_ / "block.p7s.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", signingTimes[0], stampTime));
  EXPECT_TRUE(Contains(Read(out_ / "stream.p7s.vrf"), "Сертификат TSP сервера:\r\n"));
  // A tolerated missing stamp shows nothing.
  EXPECT_FALSE(Contains(Read(out_ / "bare.p7s.vrf"), "TSP"));

  profile_.noTspIsError = {1};
  const fs::path again = Signed("bare2.p7s", "без штампа");
  const std::string size = std::to_string(fs::file_size(again));
  ASSERT_EQ(Check({"bare2.p7s"}, true), 0u);
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"bare2.p7s"});
  EXPECT_FALSE(fs::exists(out_ / "bare2"));
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE0700106 - " + Utf8(ErrorDescription(ORLAX_E_NO_TIME_STAMP, nullptr)) +
                                     ". Правило 1 ('Проба'). Проверка штампов времени ЭП в файле " +
                                     (in_ / "bare2.p7s").string() + " (размер: " + size +
                                     ")\r\n\r\nЭП №: 1\r\nОшибка ORLAX 0xE0700106 - "));
}

// A stamp whose imprint holds the GOST digest's bytes under the SHA-256 name
// stamps nothing: the file is refused.
TEST_F(VerifyAttachedTest, StampUnderAnotherDigestNameFailsTheFile) {
  testsupport::LocalHttpServer server;
  profile_.autoVerifyTsp = {1};
  StampUnderSha256Name(Signed("swapped.p7s", "подмена штампа"), server);
  ASSERT_EQ(Check({"swapped.p7s"}, false), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"swapped.p7s"});
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Проверка штампов времени ЭП в файле " + (in_ / "swapped.p7s").string())) << errors;
  EXPECT_TRUE(Contains(errors, "ЭП №: 1\r\nОшибка ORLAX 0xE0700062 - ")) << errors;
  EXPECT_FALSE(Contains(Operations(), "| Успех |")) << Operations();
}

TEST_F(VerifyAttachedTest, EachStampBelongsToItsOwnSignature) {
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(pki_);
  profile_.autoVerifyTsp = {1};
  const fs::path file = Signed("two.p7s", "две подписи");
  AddSignature(file, "user2");
  StampSignature(file, 1, server.Url("/tsa"));
  const std::string bytes = Read(file);
  const std::vector<uint32_t> times = SigningTimes(file);
  const uint32_t stampTime = StampTime(file, 1);

  // Only the second signature is stamped: its block alone shows the stamp.
  ASSERT_EQ(Check({"two.p7s"}, false), 0u);
  EXPECT_EQ(Read(out_ / "two.p7s.vrf"),
            "Количество ЭП: 2\r\n" + Block(1, "user1", times[0]) + Block(2, "user2", times[1], stampTime));

  // Stamps required: the first signature fails, and only it is listed.
  profile_.noTspIsError = {1};
  fs::remove(out_ / "two.p7s");
  fs::remove(out_ / "two.p7s.vrf");
  WriteBytes(in_ / "two.p7s", bytes);
  ASSERT_EQ(Check({"two.p7s"}, false), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"two.p7s"});
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, ")\r\n\r\nЭП №: 1\r\nОшибка ORLAX 0xE0700106 - " +
                                   Utf8(ErrorDescription(ORLAX_E_NO_TIME_STAMP, nullptr)) + "\r\n\r\n"));
  EXPECT_FALSE(Contains(errors, "ЭП №: 2"));
}

TEST_F(VerifyAttachedTest, SignerListsMustAllBeMetByVerifiedSigners) {
  const fs::path both = Signed("both.p7s", "двое");
  AddSignature(both, "user2");
  Signed("one.p7s", "один");
  Rule().signerLists = {SignerListRecord{L"Бухгалтерия", {Wide(pki_.Dn("user2"))}},
                        SignerListRecord{L"Руководство", {L"CN=Никто", Wide(pki_.Dn("user1"))}}};

  ASSERT_EQ(Check({"both.p7s", "one.p7s"}, true), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"both", "both.p7s.vrf"}));
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"one.p7s"});
  EXPECT_TRUE(Contains(Errors(),
                       "Ошибка ORLAX 0xE1718001 - В ЭП не найдены подписанты из списков подписантов: "
                       "'Бухгалтерия'. Правило 1 ('Проба'). Проверка подписантов ЭП файла '" +
                           (in_ / "one.p7s").string() + "' (размер: "));
}

TEST_F(VerifyAttachedTest, ReportNameTakesPartInTheOutputConflictOnlyWhenReportsAreWritten) {
  Signed("a.txt.p7s", "a");
  WriteBytes(out_ / "a.txt.p7s.vrf", "old report");
  // Reports off: the old report is neither a conflict nor touched.
  ASSERT_EQ(Check({"a.txt.p7s"}, true, 0), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7s.vrf"}));
  EXPECT_EQ(Read(out_ / "a.txt.p7s.vrf"), "old report");

  // Reports on, no renaming: the taken report name fails the file.
  fs::remove(out_ / "a.txt");
  Signed("a.txt.p7s", "a");
  ASSERT_EQ(Check({"a.txt.p7s"}, true), 0u);
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.txt.p7s"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - "));
  EXPECT_TRUE(
      Contains(Errors(), ". Правило 1 ('Проба'). Создание файла " + (out_ / "a.txt.p7s.vrf").string() + "\r\n"));

  // With renaming, the output and its report take one mark.
  profile_.renameConfFiles = 1;
  Signed("a.txt.p7s", "a");
  ASSERT_EQ(Check({"a.txt.p7s"}, true), 0u);
  std::vector<std::string> listing = Listing(out_);
  ASSERT_EQ(listing.size(), 3u);
  const std::string content = listing[0].rfind("a~", 0) == 0 ? listing[0] : listing[1];
  ASSERT_EQ(content.substr(content.size() - 4), ".txt");
  EXPECT_TRUE(fs::exists(out_ / (content + ".p7s.vrf")));
  EXPECT_EQ(Read(out_ / content), "a");
}

TEST_F(VerifyAttachedTest, ReportThatCannotBeWrittenFailsTheFileAndTakesTheContentBack) {
  Signed("a.txt.p7s", "a");
  // The report's path is too long to be created; the content's is not.
  UseOutputFolderOfLength(4084 - kStagedNameOverhead);
  ASSERT_EQ(Check({"a.txt.p7s"}, true), 0u);
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.txt.p7s"});
  EXPECT_FALSE(fs::exists(out_ / "a.txt"));
  EXPECT_TRUE(Contains(
      Errors(), ". Правило 1 ('Проба'). Открытие файла " + (out_ / "a.txt.p7s.vrf").string() + " (размер: 0)\r\n"));
}

TEST_F(VerifyAttachedTest, LibraryFailureCarriesItsErrorStack) {
  Signed("a.p7s", "a");
  {
    FailingCall failing("ORLAX_CmsStrAttVerifyFile=0xE070007F");
    ASSERT_EQ(Check({"a.p7s"}, true), 0u);
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.p7s"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE070007F - "));
  EXPECT_TRUE(Contains(Errors(), "Правило 1 ('Проба'). \r\nORLAX стек, ошибка номер 1 \r\nError: Отказ по заданию "));
}

// CHCK killed once the report is published and before the signed file
// follows it, or once both are there: the next run's take-back moves the
// file beside its report, or finds nothing left to do; the file ends in the
// output once, with its report, and nothing is left claimed.
TEST_F(VerifyAttachedTest, AKillBetweenTheReportAndTheMoveLeavesTheFileInTheOutputOnce) {
  struct Case {
    const char* killPoint;
    const char* recordText;  // of the take-back; empty: none
  };
  const Case cases[] = {
      {"output-published:1", "): файл перемещен в '"},
      {"outputs-published", ""},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.killPoint);
    UseFreshFolders(++round);
    const std::string bytes = Read(Signed("a.p7s", "Договор"));
    const std::string errorsBefore = Errors();

    ASSERT_EQ(RunKilledAt(c.killPoint, [&] { Check({"a.p7s"}, false); }), SIGKILL);
    { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }  // the next run meets the folders
    const std::string taken = Errors().substr(errorsBefore.size());
    if (*c.recordText == '\0')
      EXPECT_EQ(taken, "");
    else
      EXPECT_TRUE(Contains(taken, c.recordText)) << taken;

    ASSERT_EQ(Check(Listing(in_), false), 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.p7s", "a.p7s.vrf"}));
    EXPECT_EQ(Listing(err_), std::vector<std::string>{});
    EXPECT_EQ(Read(out_ / "a.p7s"), bytes);
    const CString records = ClaimRecordFolder();
    ASSERT_FALSE(records.IsEmpty());
    EXPECT_TRUE(fs::is_empty(Utf8(records)));
  }
}

// The signed file cannot follow its report (its output name taken, as by
// another program in between): the file goes to the error folder and its
// report out of the output. A kill on the way leaves the file given back by
// the next run's take-back with no report in the output, so that it is
// checked again once and its report is published once.
TEST_F(VerifyAttachedTest, AFileThatCannotFollowItsReportTakesTheReportBackOut) {
  const std::string bytes = Read(Signed("a.p7s", "Договор"));
  {
    const FailedStep failing("signed-file-move=80");
    ASSERT_EQ(Check({"a.p7s"}, false), 0u);
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.p7s"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - ")) << Errors();

  int round = 0;
  for (const char* killPoint : {"report-withdrawn", "publishing-forgotten"}) {
    SCOPED_TRACE(killPoint);
    UseFreshFolders(++round);
    WriteBytes(in_ / "a.p7s", bytes);
    ASSERT_EQ(RunKilledAt(killPoint,
                          [&] {
                            const FailedStep failing("signed-file-move=80");
                            Check({"a.p7s"}, false);
                          }),
              SIGKILL);
    worker_.writtenOnce.clear();  // the next run
    { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
    EXPECT_EQ(Listing(in_), std::vector<std::string>{"a.p7s"});
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});

    ASSERT_EQ(Check(Listing(in_), false), 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.p7s", "a.p7s.vrf"}));
    EXPECT_EQ(Listing(err_), std::vector<std::string>{});
    EXPECT_EQ(Read(out_ / "a.p7s"), bytes);
  }
}

}  // namespace
}  // namespace cryptoops
