// SIGN, CDSG and DSIG through the operation: signatures openssl accepts,
// time stamps from a local authority, what an input already holds, pairs,
// conflicts and failures.

#include <regex>

#include "tests/service/operations/crypto_operation_fixture.h"
#include "tests/support/http_server.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class SignFilesTest : public CryptoOperationTest {
 protected:
  // Time stamps from the local authority, under the stored address `stored`
  // (trailing separators are the operation's to drop).
  void UseTimeStamps(testsupport::LocalHttpServer& server, const std::string& stored) {
    server.EnableTimeStamping(pki_, "/tsa/");
    profile_.serverTsp = {Wide(stored)};
    profile_.autoUseTsp = {1};
  }

  std::string Moved(const fs::path& errorName) const {
    return ". Файл перемещен в каталог ошибок под именем " + errorName.string();
  }
};

TEST_F(SignFilesTest, AttachedSignatureInBothModesCarriesTheContentAndVerifies) {
  const std::string large = Bytes(310 * 1024, 5);
  Put("a.txt", "Договор");
  Put("big.bin", large);
  ASSERT_EQ(Sign({"a.txt"}, "SIGN"), 0u);
  Rule().stream = 1;
  ASSERT_EQ(Sign({"big.bin"}, "SIGN"), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Errors(), "");

  EXPECT_EQ(Info(out_ / "a.txt.p7s").flags & ORLAX_MSG_STREAM, 0u);
  EXPECT_EQ(Info(out_ / "big.bin.p7s").flags & ORLAX_MSG_STREAM, ORLAX_MSG_STREAM);
  EXPECT_EQ(Info(out_ / "big.bin.p7s").signatureCount, 1u);
  EXPECT_EQ(OpensslVerify(out_ / "a.txt.p7s"), "Договор");
  EXPECT_EQ(OpensslVerify(out_ / "big.bin.p7s"), large);

  EXPECT_EQ(RecordWith("a.txt"),
            std::string(kTime) + " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | "
                                 "Создание ЭП файла '" +
                (in_ / "a.txt").string() + "' (размер: 14) в файл '" + (out_ / "a.txt.p7s").string() +
                "' (размер: " + std::to_string(fs::file_size(out_ / "a.txt.p7s")) + ") (Тип операции: Блочная)");
  EXPECT_TRUE(Contains(RecordWith("big.bin"), ") (Тип операции: Потоковая)"));
}

TEST_F(SignFilesTest, SignerCertificateIsLeftOutWhenTheDirectoryProfileSaysSo) {
  profile_.notAddCert = {1};
  Put("a.txt", "x");
  ASSERT_EQ(Sign({"a.txt"}, "SIGN"), 0u);
  std::string log;
  EXPECT_NE(testsupport::RunOpenssl({"cms", "-verify", "-inform", "DER", "-in", (out_ / "a.txt.p7s").string(),
                                     "-CAfile", pki_.Cert("ca").string(), "-out", "/dev/null"},
                                    &log),
            0);
  EXPECT_EQ(testsupport::RunOpenssl({"cms", "-verify", "-inform", "DER", "-in", (out_ / "a.txt.p7s").string(),
                                     "-CAfile", pki_.Cert("ca").string(), "-certfile", pki_.Cert("user1").string(),
                                     "-purpose", "any", "-out", "/dev/null"},
                                    &log),
            0)
      << log;
}

TEST_F(SignFilesTest, NewSignatureIsTimeStampedByTheLocalAuthorityInEitherMode) {
  testsupport::LocalHttpServer server;
  UseTimeStamps(server, server.Url("/tsa") + "/\\/");
  Put("a.txt", "block");
  Put("b.txt", "stream");
  ASSERT_EQ(Sign({"a.txt"}, "SIGN"), 0u);
  Rule().stream = 1;
  ASSERT_EQ(Sign({"b.txt"}, "SIGN"), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(server.Count("/tsa/"), 2);
  EXPECT_EQ(StampCheck(out_ / "a.txt.p7s", 0, false), 0u);
  EXPECT_EQ(StampCheck(out_ / "b.txt.p7s", 0, true), 0u);
  EXPECT_EQ(OpensslVerify(out_ / "a.txt.p7s"), "block");
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
}

TEST_F(SignFilesTest, RefusedTimeStampRemovesTheSignatureAndFailsTheFile) {
  testsupport::LocalHttpServer server;
  UseTimeStamps(server, server.Url("/tsa"));
  server.SetMode(testsupport::LocalHttpServer::Mode::kFail);
  Put("a.txt", "data");
  ASSERT_EQ(Sign({"a.txt"}, "SIGN"), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Read(err_ / "a.txt"), "data");
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Правило 1 ('Проба'). Установка штампа времени с сервера " + server.Url("/tsa") +
                                   " на последнюю ЭП файла " + (in_ / "a.txt").string() +
                                   " (размер: 4) с записью в файл " + (out_ / "a.txt.p7s").string() +
                                   " (размер: 0)\r\nORLAX стек, ошибка номер 1"));
  EXPECT_TRUE(Contains(RecordWith("a.txt"), Moved(err_ / "a.txt")));
}

// A stamp from an authority whose certificate chains to no root of LOCAL
// fails the file as a refused stamp does, in every signing operation and
// either mode: no output, the input in the error folder, the library's code
// with its stack, and no success record.
TEST_F(SignFilesTest, StampOfAnUntrustedAuthorityFailsTheFile) {
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(other, "/tsa/");
  profile_.serverTsp = {Wide(server.Url("/tsa"))};
  profile_.autoUseTsp = {1};
  for (const char* operation : {"SIGN", "CDSG", "DSIG"}) {
    for (int stream : {0, 1}) {
      SCOPED_TRACE(std::string(operation) + (stream ? " stream" : " block"));
      for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
      Rule().stream = stream;
      Put("a.txt", "данные");
      std::vector<std::string> inputs{"a.txt"};
      const std::string output = std::string(operation) == "SIGN" ? "a.txt.p7s" : "a.txt.p7d";
      if (std::string(operation) == "DSIG") {
        SignWith("user2", in_ / "a.txt", in_ / "a.txt.p7d", true, stream == 1);
        inputs.push_back("a.txt.p7d");
      }
      ASSERT_EQ(Sign({"a.txt"}, operation), 0u);
      EXPECT_EQ(Listing(out_), std::vector<std::string>{});
      EXPECT_EQ(Listing(in_), std::vector<std::string>{});
      std::sort(inputs.begin(), inputs.end());
      EXPECT_EQ(Listing(err_), inputs);
      EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
      const std::string errors = Errors();
      EXPECT_TRUE(Contains(errors, ErrorCode(ORLAX_E_TSP_INVALID))) << errors;
      EXPECT_TRUE(Contains(errors, "Правило 1 ('Проба'). Установка штампа времени с сервера " + server.Url("/tsa") +
                                       " на последнюю ЭП файла "))
          << errors;
      EXPECT_TRUE(Contains(errors, "\r\nORLAX стек, ошибка номер 1")) << errors;
      EXPECT_FALSE(Contains(Operations(), "| Успех |")) << Operations();
    }
  }
  EXPECT_EQ(server.Count("/tsa/"), 6);
}

TEST_F(SignFilesTest, SignedInputGetsOneMoreSignatureAndOnlyTheNewOneIsStamped) {
  testsupport::LocalHttpServer server;
  UseTimeStamps(server, server.Url("/tsa"));
  WriteBytes(root_.path() / "doc.txt", "подписанный документ");
  SignWith("user2", root_.path() / "doc.txt", in_ / "a.p7s", false, true);
  Put("b.p7s", "plain text named like a signature");
  ASSERT_EQ(Sign({"a.p7s", "b.p7s"}, "SIGN"), 0u);
  EXPECT_EQ(Errors(), "");

  // The existing stream form is kept, whatever the rule's "Stream".
  MessageInfo info = Info(out_ / "a.p7s");
  EXPECT_EQ(info.signatureCount, 2u);
  EXPECT_EQ(info.flags & ORLAX_MSG_STREAM, ORLAX_MSG_STREAM);
  EXPECT_EQ(StampCheck(out_ / "a.p7s", 1, true), 0u);
  EXPECT_EQ(StampCheck(out_ / "a.p7s", 0, true), ORLAX_E_NO_TIME_STAMP);
  EXPECT_EQ(OpensslVerify(out_ / "a.p7s"), "подписанный документ");

  // Not a signed message: signed as it is.
  EXPECT_EQ(Info(out_ / "b.p7s").signatureCount, 1u);
  EXPECT_EQ(OpensslVerify(out_ / "b.p7s"), "plain text named like a signature");
  // An extension in another case is not examined at all.
  Put("c.P7S", "x");
  ASSERT_EQ(Sign({"c.P7S"}, "SIGN"), 0u);
  EXPECT_TRUE(fs::exists(out_ / "c.P7S.p7s"));
}

TEST_F(SignFilesTest, SignerWhoSignedBeforeSignsAgain) {
  // The signer's certificate is already in the message; a second signature
  // of the same owner (a later approval) must still be added.
  WriteBytes(root_.path() / "doc.txt", "документ");
  SignWith("user1", root_.path() / "doc.txt", in_ / "a.p7s", false);
  Put("b.txt", "данные");
  SignWith("user1", in_ / "b.txt", in_ / "b.txt.p7d", true);
  ASSERT_EQ(Sign({"a.p7s"}, "SIGN"), 0u);
  ASSERT_EQ(Sign({"b.txt"}, "DSIG"), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Info(out_ / "a.p7s").signatureCount, 2u);
  EXPECT_EQ(Info(out_ / "b.txt.p7d").signatureCount, 2u);
}

TEST_F(SignFilesTest, InputsThatCannotTakeAnAttachedSignatureGoToTheErrorFolder) {
  WriteBytes(root_.path() / "doc.txt", "документ");
  EnvelopeOf(root_.path() / "doc.txt", in_ / "enveloped.p7s");
  SignWith("user2", root_.path() / "doc.txt", in_ / "detached.p7s", true);
  SignWith("revoked", root_.path() / "doc.txt", in_ / "revoked.p7s", false);
  ASSERT_EQ(Sign({"enveloped.p7s", "detached.p7s", "revoked.p7s"}, "SIGN"), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"detached.p7s", "enveloped.p7s", "revoked.p7s"}));

  const std::string errors = Errors();
  const std::string enveloped = (in_ / "enveloped.p7s").string();
  const std::string detached = (in_ / "detached.p7s").string();
  const std::string detachedSize = std::to_string(fs::file_size(err_ / "detached.p7s"));
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                               "Получение информации об ЭП файла '" +
                                   enveloped + "' (размер: " + std::to_string(fs::file_size(err_ / "enveloped.p7s")) +
                                   "). Файл зашифрован\r\n"));
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                               "Получение данных о ЭП файла " +
                                   detached + " (размер: " + detachedSize + "). Файл " + detached +
                                   " (размер: " + detachedSize +
                                   ") содержит отсоединённую подпись вместо присоединённой\r\n"));
  // The revoked signer's signature does not verify: the claimed name is shown.
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE0700042 - "));
  EXPECT_TRUE(Contains(errors, "Правило 1 ('Проба'). Профиль справочника : 'Тест'. Проверка ЭП файла '" +
                                   (in_ / "revoked.p7s.stp").string() + "' (размер: "));
}

TEST_F(SignFilesTest, FailedSigningLeavesNoOutputAndRecordsTheStack) {
  Put("a.txt", "data");
  {
    FailingCall fail("ORLAX_CmsBlkAttSignFile=0xE0700022");
    ASSERT_EQ(Sign({"a.txt"}, "SIGN"), 0u);
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Read(err_ / "a.txt"), "data");
  EXPECT_TRUE(Contains(Errors(), "Правило 1 ('Проба'). \r\nORLAX стек, ошибка номер 1 \r\nError: Отказ по заданию "
                                 "теста\r\n"));
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE0700022 - "));
}

TEST_F(SignFilesTest, TemporaryAndVanishedNamesAreRecordedWithTheClaimText) {
  Put("a.txt.stp", "x");
  // Claimed by a live process (another instance).
  HANDLE live = platform::ClaimFile(Wide((in_ / "a.txt.stp").string()));
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  ASSERT_EQ(Sign({"a.txt.stp", "gone.txt"}, "SIGN"), 0u);
  CloseHandle(live);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"a.txt.stp"});
  const std::string a = (in_ / "a.txt.stp").string();
  EXPECT_EQ(RecordWith(a), std::string(kTime) + " | Профиль: P | Ошибка | Правило 1 ('Проба'). Переименование "
                                                "файла '" +
                               a + "' (размер: 1) во временный формат '" + a + ".stp'");
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE171800B - Файл '" + (in_ / "gone.txt").string() +
                                     "' был выбран для обработки но не был найден. \r\n"));
}

// ---------------------------------------------------------------------------
// Detached signatures.

TEST_F(SignFilesTest, DetachedSignatureGoesOutBesideACopyOfTheData) {
  const std::string data = Bytes(40000, 9);
  Put("a.txt", data);
  Put("b.p7d", "a data file named like a signature");
  ASSERT_EQ(Sign({"a.txt", "b.p7d"}, "CDSG"), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7d", "b.p7d", "b.p7d.p7d"}));
  EXPECT_EQ(Read(out_ / "a.txt"), data);
  EXPECT_NE(Info(out_ / "a.txt.p7d").flags & ORLAX_MSG_DETACHED, 0u);
  OpensslVerify(out_ / "a.txt.p7d", out_ / "a.txt");
  OpensslVerify(out_ / "b.p7d.p7d", out_ / "b.p7d");
  EXPECT_TRUE(Contains(RecordWith("a.txt.p7d"), "| Создание отсоединённой ЭП файла '" + (in_ / "a.txt").string() +
                                                    "' (размер: 40000) в файл '" + (out_ / "a.txt.p7d").string()));
}

TEST_F(SignFilesTest, SignatureAndDataCopyShareOneConflictFreeStem) {
  Put("a.txt", "new");
  WriteBytes(out_ / "a.txt", "old copy");
  ASSERT_EQ(Sign({"a.txt"}, "CDSG"), 0u);
  EXPECT_EQ(Read(err_ / "a.txt"), "new");
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - "));
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). Создание файла " + (out_ / "a.txt.p7d").string() + "\r\n"));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{"a.txt"});

  profile_.renameConfFiles = 1;
  fs::rename(err_ / "a.txt", in_ / "a.txt");
  ASSERT_EQ(Sign({"a.txt"}, "CDSG"), 0u);
  std::vector<std::string> names = Listing(out_);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "a.txt");
  EXPECT_EQ(Read(out_ / "a.txt"), "old copy");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(names[1], match, std::regex("(a~[0-9a-f]{1,8})\\.txt"))) << names[1];
  EXPECT_EQ(names[2], match[1].str() + ".txt.p7d");
  EXPECT_EQ(Read(out_ / names[1]), "new");
  OpensslVerify(out_ / names[2], out_ / names[1]);
}

TEST_F(SignFilesTest, AddedSignatureJoinsTheExistingDetachedOneWhenBothNamesAreListed) {
  testsupport::LocalHttpServer server;
  UseTimeStamps(server, server.Url("/tsa"));
  Put("a.txt", "данные");
  SignWith("user2", in_ / "a.txt", in_ / "a.txt.p7d", true);
  Put("lonely.txt", "waits for its signature");
  Put(".p7d", "a signature with no name for its data");
  ASSERT_EQ(Sign({"a.txt", "a.txt.p7d", "lonely.txt", ".p7d"}, "DSIG"), 0u);
  // The second name of the pair is no vanished file; the unpaired ones wait.
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Listing(in_), (std::vector<std::string>{".p7d", "lonely.txt"}));
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", "a.txt.p7d"}));
  MessageInfo info = Info(out_ / "a.txt.p7d");
  EXPECT_EQ(info.signatureCount, 2u);
  EXPECT_NE(info.flags & ORLAX_MSG_DETACHED, 0u);
  EXPECT_EQ(StampCheck(out_ / "a.txt.p7d", 1, false), 0u);
  OpensslVerify(out_ / "a.txt.p7d", out_ / "a.txt");
  EXPECT_TRUE(Contains(Operations(), "Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | Добавление "
                                     "отсоединённой ЭП файла '" +
                                         (in_ / "a.txt").string() + "' (размер: 12) в файл '" +
                                         (out_ / "a.txt.p7d").string() + "' (размер: "));
  EXPECT_EQ(RecordWith("lonely.txt"), "");
}

// A data file whose name ends like a claimed one, listed after the
// signature that took it into its pair, is no temporary name left behind.
TEST_F(SignFilesTest, PartnerTakenWithItsPairIsPassedOverWhateverItsName) {
  Put("d.stp", "данные");
  SignWith("user2", in_ / "d.stp", in_ / "d.stp.p7d", true);
  ASSERT_EQ(Sign({"d.stp.p7d", "d.stp"}, "DSIG"), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"d.stp", "d.stp.p7d"}));
  EXPECT_EQ(Info(out_ / "d.stp.p7d").signatureCount, 2u);
}

TEST_F(SignFilesTest, PairWhoseSignatureIsNotDetachedGoesToTheErrorFolderWhole) {
  Put("a.txt", "data");
  SignWith("user2", in_ / "a.txt", in_ / "a.txt.p7d", false);
  Put("b.txt", "data");
  Put("b.txt.p7d", "not a signature");
  ASSERT_EQ(Sign({"a.txt.p7d", "b.txt"}, "DSIG"), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"a.txt", "a.txt.p7d", "b.txt", "b.txt.p7d"}));
  const std::string errors = Errors();
  const std::string signature = (in_ / "a.txt.p7d").string();
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                               "Получение данных о ЭП файла " +
                                   signature + " (размер: "));
  EXPECT_TRUE(Contains(errors, "содержит присоединённую подпись вместо отсоединённой\r\n"));
  // The library's code with the operation's own description.
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE070000F - Неправильный тип подписи. Правило 1 ('Проба'). "
                               "Получение данных о ЭП файла " +
                                   (in_ / "b.txt.p7d").string()));
  EXPECT_TRUE(Contains(Operations(), ". Файлы перемещены в каталог ошибок под именами "));
}

}  // namespace
}  // namespace cryptoops
