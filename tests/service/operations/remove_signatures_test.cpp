// DELS through the operation: the content given back byte for byte from
// either encoding, inputs of the wrong kind, conflicts and failures.

#include <regex>

#include "tests/service/operations/crypto_operation_fixture.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class RemoveSignaturesTest : public CryptoOperationTest {};

TEST_F(RemoveSignaturesTest, ContentComesBackByteForByteFromBlockAndStreamSignatures) {
  const std::string large = Bytes(330 * 1024, 21);
  WriteBytes(root_.path() / "contract.pdf", large);
  WriteBytes(root_.path() / "note.txt", "записка");
  SignWith("user2", root_.path() / "contract.pdf", in_ / "contract.pdf.p7s", false, true);
  SignWith("user2", root_.path() / "note.txt", in_ / "note.txt.p7s", false, false);
  ASSERT_EQ(Info(in_ / "contract.pdf.p7s").flags & ORLAX_MSG_STREAM, ORLAX_MSG_STREAM);
  const auto signedSize = fs::file_size(in_ / "note.txt.p7s");

  // The rule's "Stream" does not choose the call: the input's encoding does.
  Rule().stream = 0;
  ASSERT_EQ(Remove({"contract.pdf.p7s", "note.txt.p7s"}), 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Read(out_ / "contract.pdf"), large);
  EXPECT_EQ(Read(out_ / "note.txt"), "записка");
  EXPECT_EQ(Listing(out_).size(), 2u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
  EXPECT_EQ(RecordWith("note.txt"), std::string(kTime) + " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль "
                                                         "справочника : 'Тест' | Удаление ЭП из файла '" +
                                        (in_ / "note.txt.p7s").string() + "' (размер: " +
                                        std::to_string(signedSize) + ") с записью в файл '" +
                                        (out_ / "note.txt").string() + "' (размер: 14)");
}

TEST_F(RemoveSignaturesTest, OutputNameLosesOnlyAnExactSignatureExtension) {
  WriteBytes(root_.path() / "d", "d");
  for (const char* name : {"contract.pdf", "CONTRACT.P7S", "noext", ".p7s"})
    SignWith("user1", root_.path() / "d", in_ / name, false);
  ASSERT_EQ(Remove({"contract.pdf", "CONTRACT.P7S", "noext", ".p7s"}), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{".p7s", "CONTRACT.P7S", "contract.pdf", "noext"}));
}

TEST_F(RemoveSignaturesTest, InputsWithoutAttachedContentGoToTheErrorFolder) {
  WriteBytes(root_.path() / "doc.txt", "документ");
  EnvelopeOf(root_.path() / "doc.txt", in_ / "enveloped.p7s");
  SignWith("user1", root_.path() / "doc.txt", in_ / "detached.p7s", true);
  Put("plain.p7s", "no message");
  ASSERT_EQ(Remove({"enveloped.p7s", "detached.p7s", "plain.p7s"}), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"detached.p7s", "enveloped.p7s", "plain.p7s"}));

  const std::string errors = Errors();
  const std::string enveloped = (in_ / "enveloped.p7s").string();
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                               "Получение информации об ЭП файла '" +
                                   enveloped + "' (размер: " + std::to_string(fs::file_size(err_ / "enveloped.p7s")) +
                                   "). Файл зашифрован\r\n"));
  const std::string detached = (in_ / "detached.p7s").string();
  const std::string detachedSize = std::to_string(fs::file_size(err_ / "detached.p7s"));
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE1718002 - Неправильный тип подписи. Правило 1 ('Проба'). "
                               "Получение информации об ЭП файла '" +
                                   detached + "' (размер: " + detachedSize + "). Файл " + detached + " (размер: " +
                                   detachedSize + ") содержит отсоединённую подпись вместо присоединённой\r\n"));
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE070000F - "));
  EXPECT_TRUE(Contains(errors, "Получение информации об ЭП файла '" + (in_ / "plain.p7s").string() +
                                   "' (размер: 10)\r\nORLAX стек, ошибка номер 1"));
}

TEST_F(RemoveSignaturesTest, RenamedOutputIsNamedOnlyOnceTheMessageIsAccepted) {
  profile_.renameConfFiles = 1;
  WriteBytes(root_.path() / "d", "d");
  SignWith("user1", root_.path() / "d", in_ / "a.txt.p7s", false);
  Put("b.txt.p7s", "no message");
  WriteBytes(out_ / "a.txt", "taken");
  WriteBytes(out_ / "b.txt", "taken");
  ASSERT_EQ(Remove({"a.txt.p7s", "b.txt.p7s"}), 0u);
  std::vector<std::string> names = Listing(out_);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "a.txt");
  EXPECT_TRUE(std::regex_match(names[1], std::regex("a~[0-9a-f]{1,8}\\.txt"))) << names[1];
  EXPECT_EQ(Read(out_ / names[1]), "d");
  EXPECT_TRUE(Contains(RecordWith("a.txt.p7s"), "с записью в файл '" + (out_ / names[1]).string() + "'"));
  // The failed one's record still names the output as first formed.
  EXPECT_TRUE(Contains(RecordWith("b.txt.p7s"), "с записью в файл '" + (out_ / "b.txt").string() + "'"));
}

TEST_F(RemoveSignaturesTest, TakenOutputFailsWhenConflictsAreNotRenamed) {
  WriteBytes(root_.path() / "d", "d");
  SignWith("user1", root_.path() / "d", in_ / "a.txt.p7s", false);
  WriteBytes(out_ / "a.txt", "taken");
  ASSERT_EQ(Remove({"a.txt.p7s"}), 0u);
  EXPECT_EQ(Read(out_ / "a.txt"), "taken");
  EXPECT_TRUE(fs::exists(err_ / "a.txt.p7s"));
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). Создание файла " + (out_ / "a.txt").string() + "\r\n"));
}

TEST_F(RemoveSignaturesTest, FailedRemovalLeavesNoOutputAndNoScratchFile) {
  WriteBytes(root_.path() / "d", "d");
  SignWith("user1", root_.path() / "d", in_ / "a.txt.p7s", false);
  {
    FailingCall fail("ORLAX_CmsBlkSignDetachFile=0xE0700012");
    ASSERT_EQ(Remove({"a.txt.p7s"}), 0u);
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(err_ / "a.txt.p7s"));
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE0700012 - "));
  EXPECT_TRUE(Contains(Errors(), "Правило 1 ('Проба'). \r\nORLAX стек, ошибка номер 1 \r\nError: Отказ по заданию "
                                 "теста\r\n"));
}

TEST_F(RemoveSignaturesTest, ScratchFileThatCannotBeMadeFailsTheFile) {
  WriteBytes(root_.path() / "d", "d");
  SignWith("user1", root_.path() / "d", in_ / "a.txt.p7s", false);
  const std::string missing = (root_.path() / "no-such-temp").string();
  const std::string saved = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "";
  setenv("TMPDIR", missing.c_str(), 1);
  DWORD rc = Remove({"a.txt.p7s"});
  setenv("TMPDIR", saved.c_str(), 1);
  ASSERT_EQ(rc, 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(err_ / "a.txt.p7s"));
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). Генерация имени для временного файла в каталоге '" + missing));
}

}  // namespace
}  // namespace cryptoops
