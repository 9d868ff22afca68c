// DCHK through the operation: verified pairs reach the output together with
// their report, pairs that fail go to the error folder together, and files
// without a partner wait untouched.

#include <csignal>
#include <cstdlib>

#include "platform/handles.h"
#include "platform/sync.h"
#include "service/core/claim_records.h"
#include "service/core/file_pipeline.h"
#include "tests/support/crash_child.h"
#include "tests/service/operations/verification_fixture.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class VerifyDetachedTest : public VerificationTest {
 protected:
  void SetUp() override {
    VerificationTest::SetUp();
    profile_.verifyDetFile = 1;
  }

  // A data file and its detached signature by `who`, made by the library.
  void Pair(const std::string& data, const std::string& content, const std::string& who = "user1",
            bool stream = false) {
    Put(data, content);
    SignWith(who, in_ / data, in_ / (data + ".p7d"), true, stream);
  }
};

TEST_F(VerifyDetachedTest, VerifiedPairsMoveUnchangedWithTheReportNamedAfterTheData) {
  Pair("a.txt", "первый");
  Pair("b.txt", "второй");
  Pair("c.txt", "третий");
  Pair("d.bin", Bytes(40000), "user2", true);
  const std::vector<uint32_t> times = SigningTimes(in_ / "a.txt.p7d", in_ / "a.txt");
  const std::string signatureBytes = Read(in_ / "a.txt.p7d");
  const std::string signatureSize = std::to_string(signatureBytes.size());
  // Neither what a new file gets nor its owner's alone: the report gets the
  // bits of the files beside it.
  const fs::perms bits = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  for (const char* name : {"a.txt", "a.txt.p7d", "b.txt", "b.txt.p7d"}) fs::permissions(in_ / name, bits);

  // a by its data file, b by its signature, c by both (the second entry
  // finds its file taken and passes silently), d stream-encoded.
  ASSERT_EQ(CheckDetached({"a.txt", "b.txt.p7d", "c.txt", "c.txt.p7d", "d.bin.p7d"}), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_),
            (std::vector<std::string>{"a.txt", "a.txt.p7d", "a.txt.vrf", "b.txt", "b.txt.p7d", "b.txt.vrf", "c.txt",
                                      "c.txt.p7d", "c.txt.vrf", "d.bin", "d.bin.p7d", "d.bin.vrf"}));
  EXPECT_EQ(Read(out_ / "a.txt"), "первый");
  EXPECT_EQ(Read(out_ / "a.txt.p7d"), signatureBytes);
  EXPECT_EQ(Read(out_ / "a.txt.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", times[0]));
  EXPECT_TRUE(Contains(Read(out_ / "d.bin.vrf"), "Владелец: " + pki_.Dn("user2") + "\r\n"));
  for (const char* name : {"a.txt", "a.txt.vrf", "b.txt.p7d", "b.txt.vrf"})
    EXPECT_EQ(fs::status(out_ / name).permissions(), bits) << name;

  const std::vector<std::string> records = RecordsWith(" | Профиль: P | ");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0], std::string(kTime) +
                            " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | Проверка "
                            "отсоединённой ЭП '" +
                            (in_ / "a.txt.p7d").string() + "' (размер: " + signatureSize + ") файла '" +
                            (in_ / "a.txt").string() + "' (размер: 12)");
}

TEST_F(VerifyDetachedTest, FilesWithoutPartnerWaitUntouchedAndClaimedNamesArePassedOver) {
  Put("lone.txt", "нет подписи");
  Put("orphan.txt.p7d", "нет данных");
  Put("A.TXT.P7D", "данные с заглавным расширением");
  Put("A.TXT", "x");
  Put(".p7d", "одно расширение");
  Put("x.txt.stp", "занят");
  // Claimed by a live process (another instance).
  HANDLE live = platform::ClaimFile(Wide((in_ / "x.txt.stp").string()));
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  ASSERT_EQ(CheckDetached({"lone.txt", "orphan.txt.p7d", "A.TXT.P7D", ".p7d", "x.txt.stp", "gone.txt"}), 0u);
  CloseHandle(live);
  EXPECT_EQ(Listing(in_),
            (std::vector<std::string>{".p7d", "A.TXT", "A.TXT.P7D", "lone.txt", "orphan.txt.p7d", "x.txt.stp"}));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
  // Only the claimed name is recorded.
  const std::vector<std::string> records = RecordsWith(" | Профиль: P | ");
  ASSERT_EQ(records.size(), 1u);
  const std::string source = (in_ / "x.txt.stp").string();
  EXPECT_EQ(records[0], std::string(kTime) + " | Профиль: P | Ошибка | Правило 1 ('Проба'). Переименование файла '" +
                            source + "' (размер: 10) во временный формат '" + source + ".stp'");
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE171800A - Файл '" + source +
                                     "' с временным расширением stp был "
                                     "пропущен"));
}

TEST_F(VerifyDetachedTest, EveryBadPairGoesToTheErrorFolderTogetherAndNothingReachesTheOutput) {
  Pair("tampered.txt", "Сумма: 100 рублей");
  Put("tampered.txt", "Сумма: 900 рублей");
  Pair("revoked.txt", "отозванный", "revoked");
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  Put("untrusted.txt", "чужой УЦ");
  OpensslSign(other.Cert("user1"), other.Key("user1"), in_ / "untrusted.txt", in_ / "untrusted.txt.p7d", true);
  Put("attached.txt", "присоединённая");
  SignWith("user1", in_ / "attached.txt", in_ / "attached.txt.p7d", false);
  Put("enveloped.txt", "зашифрованная");
  EnvelopeOf(in_ / "enveloped.txt", in_ / "enveloped.txt.p7d");
  Put("nosigner.txt", "без подписей");
  NoSignerMessage(in_ / "nosigner.txt.p7d");
  Put("plain.txt", "текст");
  Put("plain.txt.p7d", "не подпись");
  const std::vector<std::string> stems{"tampered.txt",  "revoked.txt",  "untrusted.txt", "attached.txt",
                                       "enveloped.txt", "nosigner.txt", "plain.txt"};

  ASSERT_EQ(CheckDetached(stems), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  std::vector<std::string> expected;
  for (const std::string& stem : stems) {
    expected.push_back(stem);
    expected.push_back(stem + ".p7d");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Listing(err_), expected);

  const struct {
    const char* stem;
    const char* codeText;
  } codes[] = {
      {"tampered.txt", "Ошибка ORLAX 0xE0700040 - "},  {"revoked.txt", "Ошибка ORLAX 0xE0700042 - "},
      {"untrusted.txt", "Ошибка ORLAX 0xE0700043 - "}, {"attached.txt", "Ошибка ORLAX 0xE1718002 - "},
      {"enveloped.txt", "Ошибка ORLAX 0xE1718002 - "}, {"nosigner.txt", "Ошибка ORLAX 0xE1718002 - "},
      {"plain.txt", "Ошибка ORLAX 0xE070000F - "},
  };
  for (const auto& c : codes) {
    const std::vector<std::string> records = RecordsWith((in_ / c.stem).string() + "'");
    ASSERT_EQ(records.size(), 1u) << c.stem;
    // One pair's failure never leaks into the next pair's record.
    EXPECT_TRUE(Contains(records[0], " | Ошибка | Правило 1 ('Проба'). Профиль справочника : 'Тест' | ")) << c.stem;
    EXPECT_TRUE(Contains(records[0], ". Файлы перемещены в каталог ошибок под именами ")) << c.stem;
    EXPECT_TRUE(Contains(Errors(), c.codeText)) << c.stem;
  }
  const std::string attached = (in_ / "attached.txt.p7d").string();
  const std::string attachedSize = std::to_string(fs::file_size(err_ / "attached.txt.p7d"));
  EXPECT_TRUE(Contains(Errors(), "Неправильный тип подписи. Правило 1 ('Проба'). Получение данных о ЭП файла " +
                                     attached + " (размер: " + attachedSize + "). Файл " + attached + " (размер: " +
                                     attachedSize + ") содержит присоединённую подпись вместо отсоединённой\r\n"));
  const std::string nosigner = (in_ / "nosigner.txt.p7d").string();
  EXPECT_TRUE(Contains(Errors(),
                       "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                       "Получение данных о ЭП файла " +
                           nosigner + " (размер: " + std::to_string(fs::file_size(err_ / "nosigner.txt.p7d")) +
                           ")\r\n"));
  EXPECT_TRUE(Contains(Errors(), "Правило 1 ('Проба'). Получение информации об ЭП файла '" +
                                     (in_ / "enveloped.txt").string() + "' (размер: "));
  EXPECT_TRUE(Contains(Errors(), "). Файл зашифрован\r\n"));
  EXPECT_TRUE(Contains(Errors(), "Неправильный тип подписи. Правило 1 ('Проба'). Получение данных о ЭП файла " +
                                     (in_ / "plain.txt.p7d").string() + " (размер: 19)\r\nORLAX стек, ошибка номер 1"));
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). \r\nЭП №: 1\r\nОшибка ORLAX 0xE0700042 - " +
                                     Utf8(ErrorDescription(ORLAX_E_CERT_REVOKED, nullptr)) +
                                     "\r\nВладелец: " + pki_.Dn("revoked") + "\r\n"));
}

TEST_F(VerifyDetachedTest, TimeStampsAreCheckedForEverySignature) {
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(pki_);
  profile_.autoVerifyTsp = {1};
  Pair("stamped.txt", "со штампом", "user1", true);
  StampSignature(in_ / "stamped.txt.p7d", 0, server.Url("/tsa"), true);
  Pair("bare.txt", "без штампа");
  const uint32_t stampTime = StampTime(in_ / "stamped.txt.p7d", 0);
  const std::vector<uint32_t> times = SigningTimes(in_ / "stamped.txt.p7d", in_ / "stamped.txt");

  ASSERT_EQ(CheckDetached({"stamped.txt", "bare.txt"}), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Read(out_ / "stamped.txt.vrf"), "Количество ЭП: 1\r\n" + Block(1, "user1", times[0], stampTime));
  EXPECT_FALSE(Contains(Read(out_ / "bare.txt.vrf"), "TSP"));

  profile_.noTspIsError = {1};
  Pair("late.txt", "без штампа");
  ASSERT_EQ(CheckDetached({"late.txt.p7d"}), 0u);
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"late.txt", "late.txt.p7d"}));
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE0700106 - " + Utf8(ErrorDescription(ORLAX_E_NO_TIME_STAMP, nullptr)) +
                                     ". Правило 1 ('Проба'). Проверка штампов времени отсоединенной ЭП файла " +
                                     (in_ / "late.txt").string() + " (размер: 19) в файле " +
                                     (in_ / "late.txt.p7d").string() + " (размер: "));
}

// A stamp whose imprint holds the GOST digest's bytes under the SHA-256 name
// stamps nothing: the pair is refused.
TEST_F(VerifyDetachedTest, StampUnderAnotherDigestNameFailsThePair) {
  testsupport::LocalHttpServer server;
  profile_.autoVerifyTsp = {1};
  Pair("swapped.txt", "подмена штампа");
  StampUnderSha256Name(in_ / "swapped.txt.p7d", server);
  ASSERT_EQ(CheckDetached({"swapped.txt"}), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"swapped.txt", "swapped.txt.p7d"}));
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Проверка штампов времени отсоединенной ЭП файла " + (in_ / "swapped.txt").string()))
      << errors;
  EXPECT_TRUE(Contains(errors, "ЭП №: 1\r\nОшибка ORLAX 0xE0700062 - ")) << errors;
  EXPECT_FALSE(Contains(Operations(), "| Успех |")) << Operations();
}

TEST_F(VerifyDetachedTest, PairFailsWhenOneOfItsSignerListsIsNotMet) {
  Pair("a.txt", "a", "user2");
  Rule().signerLists = {SignerListRecord{L"Первые", {Wide(pki_.Dn("user2"))}},
                        SignerListRecord{L"Вторые", {Wide(pki_.Dn("user1"))}}};
  ASSERT_EQ(CheckDetached({"a.txt"}), 0u);
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_TRUE(Contains(Errors(),
                       "Ошибка ORLAX 0xE1718001 - В ЭП не найдены подписанты из списков подписантов: "
                       "'Вторые'. Правило 1 ('Проба'). Проверка подписантов ЭП файла '" +
                           (in_ / "a.txt").string() + "' (размер: "));
}

TEST_F(VerifyDetachedTest, OutputConflictsGiveAllThreeFilesOneMark) {
  WriteBytes(out_ / "a.txt", "earlier");
  Pair("a.txt", "новый");
  ASSERT_EQ(CheckDetached({"a.txt"}), 0u);
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - "));
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). Создание файла " + (out_ / "a.txt.p7d").string() + "\r\n"));

  profile_.renameConfFiles = 1;
  fs::remove_all(err_);
  fs::create_directories(err_);
  Pair("a.txt", "новый");
  ASSERT_EQ(CheckDetached({"a.txt.p7d"}), 0u);
  EXPECT_EQ(Errors().find("Создание файла " + (out_ / "a.txt.p7d").string() + "\r\n"),
            Errors().rfind("Создание файла " + (out_ / "a.txt.p7d").string() + "\r\n"));
  std::vector<std::string> listing = Listing(out_);
  ASSERT_EQ(listing.size(), 4u);
  EXPECT_EQ(listing[0], "a.txt");
  const std::string marked = listing[1];
  ASSERT_EQ(marked.rfind("a~", 0), 0u);
  ASSERT_EQ(marked.substr(marked.size() - 4), ".txt");
  EXPECT_EQ(listing[2], marked + ".p7d");
  EXPECT_EQ(listing[3], marked + ".vrf");
  EXPECT_EQ(Read(out_ / marked), "новый");
  EXPECT_EQ(Read(out_ / "a.txt"), "earlier");

  // An old report is a conflict only while reports are written.
  profile_.renameConfFiles = 0;
  profile_.verifyDetFile = 0;
  WriteBytes(out_ / "b.txt.vrf", "old");
  Pair("b.txt", "b");
  ASSERT_EQ(CheckDetached({"b.txt"}), 0u);
  EXPECT_TRUE(fs::exists(out_ / "b.txt"));
  EXPECT_EQ(Read(out_ / "b.txt.vrf"), "old");
  profile_.verifyDetFile = 1;
  WriteBytes(out_ / "c.txt.vrf", "old");
  Pair("c.txt", "c");
  ASSERT_EQ(CheckDetached({"c.txt"}), 0u);
  EXPECT_TRUE(fs::exists(err_ / "c.txt"));
  EXPECT_EQ(Read(out_ / "c.txt.vrf"), "old");
  // Named by the signature output even when only the report's name is taken.
  EXPECT_TRUE(Contains(Errors(), "Создание файла " + (out_ / "c.txt.p7d").string() + "\r\n")) << Errors();
}

TEST_F(VerifyDetachedTest, ReportThatCannotBeOpenedSendsThePairToTheErrorFolder) {
  Pair("a.txt", "a");
  // The report's path is too long to be created.
  UseOutputFolderOfLength(4086 - kStagedNameOverhead);
  ASSERT_EQ(CheckDetached({"a.txt"}), 0u);
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_TRUE(Contains(Errors(),
                       ". Правило 1 ('Проба'). Открытие файла " + (out_ / "a.txt.vrf").string() + " (размер: 0)\r\n"));
}

// A stop request seen before a name leaves it and every later name as they
// are, for both verifying operations.
TEST_F(VerifyDetachedTest, StopRequestLeavesTheRemainingFilesUntouched) {
  Pair("a.txt", "a");
  Put("b.p7s", "b");
  HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(stop, nullptr);
  worker_.stopEvent = stop;
  EXPECT_EQ(CheckDetached({"a.txt"}), 0u);
  EXPECT_EQ(Check({"b.p7s"}, true), 0u);
  worker_.stopEvent = nullptr;
  CloseHandle(stop);
  EXPECT_EQ(Listing(in_), (std::vector<std::string>{"a.txt", "a.txt.p7d", "b.p7s"}));
  EXPECT_EQ(Operations(), "");
}

// A kill at each step of moving a verified pair: the next run's take-back
// gives the pair back whole (a report already published is withdrawn) or,
// once the signature is in the output, moves the data file beside it; the
// pair and its report end in the output once, and nothing in the error
// folder or left claimed.
TEST_F(VerifyDetachedTest, AKillWhileThePairMovesLeavesItWholeInOnePlace) {
  struct Case {
    const char* killPoint;
    std::vector<std::string> inAfterTakeBack;
    std::vector<std::string> outAfterTakeBack;
    const char* recordText;  // of the take-back; empty: none
  };
  const std::vector<std::string> pair{"a.txt", "a.txt.p7d"};
  const std::vector<std::string> done{"a.txt", "a.txt.p7d", "a.txt.vrf"};
  const Case cases[] = {
      {"output-published:1", pair, {}, "; опубликованная часть результата ('"},
      {"signature-moved", {}, done, "): файл перемещен в '"},
      {"outputs-published", {}, done, ""},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.killPoint);
    UseFreshFolders(++round);
    Pair("a.txt", "данные");
    const std::string signature = Read(in_ / "a.txt.p7d");
    const std::string errorsBefore = Errors();

    ASSERT_EQ(RunKilledAt(c.killPoint, [&] { CheckDetached({"a.txt"}); }), SIGKILL);
    { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }  // the next run meets the folders
    EXPECT_EQ(Listing(in_), c.inAfterTakeBack);
    EXPECT_EQ(Listing(out_), c.outAfterTakeBack);
    const std::string taken = Errors().substr(errorsBefore.size());
    if (*c.recordText == '\0')
      EXPECT_EQ(taken, "");
    else
      EXPECT_TRUE(Contains(taken, c.recordText)) << taken;

    ASSERT_EQ(CheckDetached(Listing(in_)), 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(out_), done);
    EXPECT_EQ(Listing(err_), std::vector<std::string>{});
    EXPECT_EQ(Read(out_ / "a.txt"), "данные");
    EXPECT_EQ(Read(out_ / "a.txt.p7d"), signature);
    EXPECT_TRUE(Contains(Read(out_ / "a.txt.vrf"), "Количество ЭП: 1\r\n"));
    const CString records = ClaimRecordFolder();
    ASSERT_FALSE(records.IsEmpty());
    EXPECT_TRUE(fs::is_empty(Utf8(records)));
  }
}

// A kill once the signature is in the output, and its report taken away
// (consumed from the output) before the next run: the take-back still moves
// the data file beside its signature, which is the user's own file and is
// never withdrawn as if it were a published copy; the pair ends in the
// output once, and a later run finds nothing to do.
TEST_F(VerifyDetachedTest, AKillAfterTheSignatureMovedFinishesThePairWhenTheReportIsGone) {
  Pair("a.txt", "данные");
  const std::string signature = Read(in_ / "a.txt.p7d");
  ASSERT_EQ(RunKilledAt("signature-moved", [&] { CheckDetached({"a.txt"}); }), SIGKILL);
  ASSERT_TRUE(fs::remove(out_ / "a.txt.vrf"));
  const std::string errorsBefore = Errors();
  { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_EQ(Read(out_ / "a.txt"), "данные");
  EXPECT_EQ(Read(out_ / "a.txt.p7d"), signature);
  const std::string taken = Errors().substr(errorsBefore.size());
  EXPECT_TRUE(Contains(taken, "): файл перемещен в '" + (out_ / "a.txt").string() + "'")) << taken;
  EXPECT_FALSE(Contains(taken, "удален")) << taken;
  const CString records = ClaimRecordFolder();
  ASSERT_FALSE(records.IsEmpty());
  EXPECT_TRUE(fs::is_empty(Utf8(records)));

  worker_.writtenOnce.clear();  // the next run
  ASSERT_EQ(CheckDetached(Listing(in_)), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
}

// The data file's move to the output fails once its signature is there:
// the pair goes to the error folder together, its report withdrawn, and a
// kill before that leaves a pair the next run's take-back gives back whole
// (the report withdrawn), never a data file given back alone beside a
// signature and a report that say the pair was verified.
TEST_F(VerifyDetachedTest, ADataFileThatCannotFollowItsSignatureKeepsThePairTogether) {
  Pair("a.txt", "данные");
  const std::string signature = Read(in_ / "a.txt.p7d");
  {
    const FailedStep failing("data-move=5");
    ASSERT_EQ(CheckDetached({"a.txt"}), 0u);
  }
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_EQ(Read(err_ / "a.txt.p7d"), signature);
  EXPECT_TRUE(Contains(Errors(), "Перемещение файла '" + (in_ / "a.txt").string())) << Errors();
  const CString records = ClaimRecordFolder();
  ASSERT_FALSE(records.IsEmpty());
  EXPECT_TRUE(fs::is_empty(Utf8(records)));

  fs::rename(err_ / "a.txt", in_ / "a.txt");
  fs::rename(err_ / "a.txt.p7d", in_ / "a.txt.p7d");
  ASSERT_EQ(RunKilledAt("data-move-failed",
                        [&] {
                          const FailedStep failing("data-move=5");
                          CheckDetached({"a.txt"});
                        }),
            SIGKILL);
  worker_.writtenOnce.clear();  // the next run
  { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
  EXPECT_EQ(Listing(in_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Read(in_ / "a.txt.p7d"), signature);
  EXPECT_TRUE(fs::is_empty(Utf8(records)));

  ASSERT_EQ(CheckDetached(Listing(in_)), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7d", "a.txt.vrf"}));
  EXPECT_EQ(Read(out_ / "a.txt"), "данные");
  EXPECT_EQ(Read(out_ / "a.txt.p7d"), signature);
}

// The record of the data file cannot say that it goes last: the pair fails
// before either file moves (a take-back after a kill between the moves
// would otherwise give the data file back alone), and goes to the error
// folder whole.
TEST_F(VerifyDetachedTest, APairWhoseRecordCannotSayTheDataFileGoesLastFailsBeforeEitherMoves) {
  Pair("a.txt", "данные");
  {
    const FailedStep failing("moved-last-note=29");
    ASSERT_EQ(CheckDetached({"a.txt"}), 0u);
  }
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  EXPECT_TRUE(Contains(Errors(), "Перемещение файла '" + (in_ / "a.txt.p7d.stp").string())) << Errors();
  EXPECT_TRUE(Contains(Errors(), "в '" + (out_ / "a.txt.p7d").string() + "'")) << Errors();
  const CString records = ClaimRecordFolder();
  ASSERT_FALSE(records.IsEmpty());
  EXPECT_TRUE(fs::is_empty(Utf8(records)));
}

// The data file's own name taken in the output while the killed process
// was gone: the take-back never replaces it, records why, and keeps the data
// file claimed with its record; a later run, once the name is free, moves it
// beside its signature.
TEST_F(VerifyDetachedTest, ADataFileWhoseNameIsTakenWaitsClaimedUntilItCanFollowItsSignature) {
  Pair("a.txt", "данные");
  ASSERT_EQ(RunKilledAt("signature-moved", [&] { CheckDetached({"a.txt"}); }), SIGKILL);
  WriteBytes(out_ / "a.txt", "theirs");
  { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"a.txt.stp"});
  EXPECT_EQ(Read(out_ / "a.txt"), "theirs");
  EXPECT_TRUE(Contains(Errors(), "Перемещение файла '" + (in_ / "a.txt.stp").string() + "' в '" +
                                     (out_ / "a.txt").string() + "'"))
      << Errors();
  const CString records = ClaimRecordFolder();
  ASSERT_FALSE(records.IsEmpty());
  EXPECT_FALSE(fs::is_empty(Utf8(records)));

  fs::remove(out_ / "a.txt");
  worker_.writtenOnce.clear();  // the next run
  { FilePipeline next(Journal(), profile_, worker_, L"P", 0); }
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7d", "a.txt.vrf"}));
  EXPECT_EQ(Read(out_ / "a.txt"), "данные");
  EXPECT_TRUE(fs::is_empty(Utf8(records)));
}

}  // namespace
}  // namespace cryptoops
