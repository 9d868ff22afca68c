// ENCR/LENC and DECR/LDEC through the operations themselves: round trips for
// every cipher, mode and archive form, the envelope read by openssl, the
// journal records, conflicts, and every way a file fails.

#include <functional>
#include <regex>
#include <tuple>

#include "platform/sync.h"
#include "service/core/file_pipeline.h"
#include "service/core/find_files.h"
#include "service/core/gzip_glue.h"
#include "service/operations/decrypt_files.h"
#include "service/zip/zip_reader.h"
#include "service/zip/zip_writer.h"
#include "tests/service/operations/crypto_operation_fixture.h"
#include "tests/support/crash_child.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class EncryptDecryptTest : public CryptoOperationTest {};

// ---------------------------------------------------------------------------
// Round trips: cipher x mode x archive form, a small and a large file each.

class RoundTripTest : public CryptoOperationTest,
                      public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(RoundTripTest, DecryptionGivesBackTheInputByteForByte) {
  const auto [cipher, mode, zipFile] = GetParam();
  Rule().encAlgorithm = cipher;
  Rule().zipFile = zipFile;
  const std::string small = "Платёжное поручение № 1\r\n";
  const std::string large = Bytes(300 * 1024 + 517, static_cast<unsigned>(cipher * 10 + mode));
  Put("small.txt", small);
  Put("large.bin", large);
  const std::string archExt = zipFile == 0 ? "" : (zipFile == 1 ? "zip" : "gz");
  const std::string appended = zipFile == 0 ? ".p7e" : "." + archExt + ".p7e";

  ASSERT_EQ(Encrypt({"small.txt", "large.bin"}, mode, Recipients({"user1"}), archExt), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  ASSERT_EQ(Listing(out_), (std::vector<std::string>{"large.bin" + appended, "small.txt" + appended}))
      << Errors();
  EXPECT_EQ(Info(out_ / ("large.bin" + appended)).type, ORLAX_MSG_ENVELOPED);

  // The encrypted files become the next rule's input.
  for (const std::string& name : Listing(out_)) fs::rename(out_ / name, in_ / name);
  ASSERT_EQ(Decrypt({"small.txt" + appended, "large.bin" + appended}, mode, archExt), 0u);
  EXPECT_EQ(Read(out_ / "small.txt"), small) << Errors();
  EXPECT_EQ(Read(out_ / "large.bin"), large);
  EXPECT_EQ(Listing(out_).size(), 2u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(CiphersModesArchives, RoundTripTest,
                         ::testing::Combine(::testing::Range(0, 5), ::testing::Values(0, 1),
                                            ::testing::Values(0, 1, 2)));

TEST_F(EncryptDecryptTest, BlockEnvelopeOpensWithTheStreamCallsAndTheOtherWayRound) {
  Rule().encAlgorithm = 3;
  const std::string data = Bytes(70000, 3);
  Put("a.bin", data);
  Put("b.bin", data);
  auto certs = Recipients({"user1"});
  ASSERT_EQ(Encrypt({"a.bin"}, 0, certs), 0u);
  ASSERT_EQ(Encrypt({"b.bin"}, 1, certs), 0u);
  fs::rename(out_ / "a.bin.p7e", in_ / "a.bin.p7e");
  fs::rename(out_ / "b.bin.p7e", in_ / "b.bin.p7e");
  ASSERT_EQ(Decrypt({"a.bin.p7e"}, 1), 0u);
  ASSERT_EQ(Decrypt({"b.bin.p7e"}, 0), 0u);
  EXPECT_EQ(Read(out_ / "a.bin"), data);
  EXPECT_EQ(Read(out_ / "b.bin"), data);
}

// A changed byte of a MAC cipher's envelope, in either mode: the MAC check
// refuses the file, and what was decrypted before it is gone from the output
// folder.
TEST_F(EncryptDecryptTest, TamperedMacEnvelopeLeavesNoOutput) {
  auto certs = Recipients({"user1"});
  int n = 0;
  for (int cipher : {2, 4}) {
    Rule().encAlgorithm = cipher;
    for (int mode : {0, 1}) {
      SCOPED_TRACE(std::to_string(cipher) + " mode " + std::to_string(mode));
      const std::string name = "f" + std::to_string(n++) + ".bin";
      Put(name, Bytes(300 * 1024, static_cast<unsigned>(n)));
      ASSERT_EQ(Encrypt({name}, mode, certs), 0u);
      std::string envelope = Read(out_ / (name + ".p7e"));
      fs::remove(out_ / (name + ".p7e"));
      envelope[envelope.size() / 2] ^= 0x10;
      WriteBytes(in_ / (name + ".p7e"), envelope);
      ASSERT_EQ(Decrypt({name + ".p7e"}, mode), 0u);
      EXPECT_TRUE(fs::exists(err_ / (name + ".p7e")));
      EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    }
  }
  EXPECT_NE(Errors().find(ErrorCode(ORLAX_E_DECRYPT_FAILED)), std::string::npos) << Errors();
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// What others read: the envelope, the archive inside it, the records.

TEST_F(EncryptDecryptTest, OpensslDecryptsTheEnvelopeForEveryRecipient) {
  Rule().encAlgorithm = 0;  // the command line undoes gost89 at any length
  const std::string data = Bytes(20000, 11);
  Put("doc.bin", data);
  ASSERT_EQ(Encrypt({"doc.bin"}, 0, Recipients({"user1", "user2"})), 0u);
  EXPECT_EQ(OpensslDecrypt(out_ / "doc.bin.p7e", "user1"), data);
  EXPECT_EQ(OpensslDecrypt(out_ / "doc.bin.p7e", "user2"), data);

  // ACPKM content within the command line's first section, stream form.
  Rule().encAlgorithm = 4;
  Put("short.txt", "short message");
  ASSERT_EQ(Encrypt({"short.txt"}, 1, Recipients({"user2"})), 0u);
  EXPECT_EQ(OpensslDecrypt(out_ / "short.txt.p7e", "user2"), "short message");
}

TEST_F(EncryptDecryptTest, ZipArchiveInsideTheEnvelopeHoldsOneEntryNamedLikeTheInput) {
  Rule().zipFile = 1;
  Put("report.txt", "содержимое");
  auto certs = Recipients({"user1", "user2"});
  ASSERT_EQ(Encrypt({"report.txt"}, 0, certs, "zip"), 0u);
  const fs::path envelope = out_ / "report.txt.zip.p7e";
  const std::string archive = OpensslDecrypt(envelope, "user1");
  const fs::path zip = root_.path() / "inner.zip";
  WriteBytes(zip, archive);
  DWORD rc = 0;
  ZipHandle* handle = ZipReaderOpen(Wide(zip.string()), &rc);
  ASSERT_NE(handle, nullptr) << rc;
  ZipEntryInfo info{};
  EXPECT_EQ(ZipReaderGetItem(handle, -1, &info), 0u);
  EXPECT_EQ(info.index, 1);
  EXPECT_EQ(ZipReaderGetItem(handle, 0, &info), 0u);
  EXPECT_EQ(Utf8(CString(info.name)), "report.txt");
  ZipReaderClose(handle);

  // The success record: real sizes, the rule's two recipients, the two
  // certificates found, the algorithm.
  const std::string in = (in_ / "report.txt").string();
  EXPECT_EQ(Operations(), std::string(kTime) + " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : "
                                               "'Тест' | Архивация и зашифрование файла '" +
                              in + "' (размер: 20) в '" + envelope.string() + "' (размер: " +
                              std::to_string(fs::file_size(envelope)) +
                              ") (количество получателей - 0, сертификатов - 2) (Алгоритм шифрования: ГОСТ Р "
                              "28147-89)\r\n");
}

TEST_F(EncryptDecryptTest, RecordsCountTheRulesRecipientsAndTheCertificatesFound) {
  Rule().recipients = {L"CN=a", L"CN=b", L"CN=c"};
  Rule().encAlgorithm = 2;
  Put("a.txt", "x");
  auto certs = Recipients({"user1", "user2"});
  ASSERT_EQ(Encrypt({"a.txt"}, 1, certs), 0u);
  EXPECT_TRUE(Contains(Operations(), "| Шифрование в потоковом режиме файла '" + (in_ / "a.txt").string() +
                                         "' (размер: 1) в '"));
  EXPECT_TRUE(Contains(Operations(), "(количество получателей - 3, сертификатов - 2) (Алгоритм шифрования: ГОСТ Р "
                                     "34.12-2015 Магма с имитовставкой)\r\n"));
  fs::rename(out_ / "a.txt.p7e", in_ / "a.txt.p7e");
  ASSERT_EQ(Decrypt({"a.txt.p7e"}, 1), 0u);
  EXPECT_TRUE(Contains(Operations(), "Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | Расшифрование в "
                                     "потоковом режиме файла '" +
                                         (in_ / "a.txt.p7e").string() + "' (размер: "));
  EXPECT_TRUE(Contains(Operations(), "' (размер: 1) (Алгоритм шифрования: ГОСТ Р 34.12-2015 Магма с "
                                     "имитовставкой)\r\n"));
}

TEST_F(EncryptDecryptTest, EmptyInputIsArchivedByZipButRefusedByGzip) {
  Rule().zipFile = 1;
  Put("empty.txt", "");
  auto certs = Recipients({"user1"});
  ASSERT_EQ(Encrypt({"empty.txt"}, 0, certs), 0u);
  fs::rename(out_ / "empty.txt.p7e", in_ / "empty.txt.p7e");
  ASSERT_EQ(Decrypt({"empty.txt.p7e"}, 0), 0u);
  EXPECT_TRUE(fs::exists(out_ / "empty.txt"));
  EXPECT_EQ(fs::file_size(out_ / "empty.txt"), 0u);

  Rule().zipFile = 2;
  Put("empty2.txt", "");
  ASSERT_EQ(Encrypt({"empty2.txt"}, 0, certs, "gz"), 0u);
  EXPECT_TRUE(fs::exists(err_ / "empty2.txt"));
  EXPECT_FALSE(fs::exists(out_ / "empty2.txt.gz.p7e"));
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x4001F - Файл с исходными данными имеет нулевую длину. Правило 1 "
                                 "('Проба'). Архивирование файла '" +
                                     (in_ / "empty2.txt").string() + "' (размер: 0)\r\n"));
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// Output names.

TEST(DecryptedNameTest, RemovesTheEncryptionExtensionOrTheExtraOnesThenTheArchiveExtension) {
  CStringArray b64ThenSig;
  b64ThenSig.Add(L"b64");
  b64ThenSig.Add(L"sig");
  CStringArray sigThenB64;
  sigThenB64.Add(L"sig");
  sigThenB64.Add(L"b64");
  struct Case {
    const wchar_t* name;
    const CStringArray* extExt;
    ArchiveSetting archive;
    const wchar_t* archExt;
    const wchar_t* expected;
  };
  using enum ArchiveSetting;
  const Case cases[] = {
      {L"report.pdf.p7e", nullptr, kNone, L"", L"report.pdf"},
      {L"report.zip.p7e", nullptr, kZip, L"zip", L"report"},
      {L"report.zip.p7e", nullptr, kNone, L"zip", L"report.zip"},  // no unpacking, name kept
      {L"report.zip.p7e", nullptr, kZip, L"", L"report.zip"},
      {L"a.p7e.b64", &b64ThenSig, kNone, L"", L"a.p7e"},       // only the last extension meets EncExt
      {L"a.sig.b64", &b64ThenSig, kNone, L"", L"a"},
      {L"a.sig.b64", &sigThenB64, kNone, L"", L"a.sig"},       // each entry tried once, in order
      {L"A.P7E", nullptr, kNone, L"", L"A.P7E"},               // letter case counts
      {L"noext", nullptr, kZip, L"zip", L"noext"},
      {L".b64", &b64ThenSig, kNone, L"", L".b64"},             // a leading dot is no extension to walk
      {L".p7e", &b64ThenSig, kNone, L"", L""},                 // but EncExt goes: the output folder is taken
      {L"x.b64.b64", &b64ThenSig, kNone, L"", L"x.b64"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8(DecryptedName(c.name, L"p7e", c.extExt, c.archive, c.archExt)), Utf8(c.expected))
        << Utf8(c.name);
  }
  EXPECT_EQ(Utf8(DecryptedName(L"name", L"", nullptr, ArchiveSetting::kNone, L"")), "name");
}

TEST_F(EncryptDecryptTest, TakenOutputFailsWithoutRenamingAndGetsAConflictFreeNameWithIt) {
  auto certs = Recipients({"user1"});
  Put("a.txt", "first");
  WriteBytes(out_ / "a.txt.p7e", "someone else's");
  ASSERT_EQ(Encrypt({"a.txt"}, 0, certs), 0u);
  EXPECT_EQ(Read(out_ / "a.txt.p7e"), "someone else's");
  EXPECT_EQ(Read(err_ / "a.txt"), "first");
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - "));
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). Создание файла " + (out_ / "a.txt.p7e").string() + "\r\n"));
  EXPECT_TRUE(Contains(Operations(), "(размер: 0) (количество получателей - 0, сертификатов - 0) (Алгоритм "
                                     "шифрования: ГОСТ Р 28147-89). Файл перемещен в каталог ошибок под именем " +
                                         (err_ / "a.txt").string() + "\r\n"));

  profile_.renameConfFiles = 1;
  Put("a.txt", "second");
  ASSERT_EQ(Encrypt({"a.txt"}, 0, certs), 0u);
  std::vector<std::string> names = Listing(out_);
  ASSERT_EQ(names.size(), 2u);
  ASSERT_EQ(names[0], "a.txt.p7e");
  EXPECT_TRUE(std::regex_match(names[1], std::regex("a~[0-9a-f]{1,8}\\.txt\\.p7e"))) << names[1];
  EXPECT_EQ(OpensslDecrypt(out_ / names[1], "user1"), "second");
  EXPECT_TRUE(Contains(Operations(), "в '" + (out_ / names[1]).string() + "' (размер: "));
}

// ---------------------------------------------------------------------------
// Failures: the input in the error folder, nothing at the output, the
// record with its code, step text and stack.

// An "Enc algorythm" outside the table encrypts with flags 0, GOST 28147-89,
// in either mode, as SGEN does, and the records name no cipher.
TEST_F(EncryptDecryptTest, CipherSettingOutsideTheTableEncryptsWithGost89WithoutALabel) {
  struct Case {
    int encAlgorithm, mode;
  };
  const Case cases[] = {{7, 0}, {5, 1}, {-1, 0}};
  for (const Case& c : cases) {
    const std::string name = "c" + std::to_string(c.encAlgorithm + 1) + ".txt";
    SCOPED_TRACE(name);
    Rule().encAlgorithm = c.encAlgorithm;
    Put(name, "data");
    ASSERT_EQ(Encrypt({name}, c.mode, Recipients({"user1"})), 0u);
    const fs::path output = out_ / (name + ".p7e");
    ASSERT_TRUE(fs::exists(output)) << Errors();
    MessageInfo info{};
    ASSERT_EQ(ORLAX_CmsStrMsgInfFile(context_, output.string().c_str(), &info, 0), 0u);
    EXPECT_STREQ(info.cipherOid, "1.2.643.2.2.21");
    ORLAX_CmsFreeMsgInf(context_, &info);
    EXPECT_EQ(OpensslDecrypt(output, "user1"), "data");
  }
  EXPECT_EQ(Errors(), "");
  EXPECT_FALSE(Contains(Operations(), "Алгоритм шифрования")) << Operations();
}

TEST_F(EncryptDecryptTest, FailedEncryptionLeavesNoOutputNoArchiveAndRecordsTheStack) {
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    Rule().zipFile = mode == 0 ? 1 : 0;
    const std::string name = mode == 0 ? "block.txt" : "stream.txt";
    Put(name, "data");
    auto certs = Recipients({"user1"});
    FailingCall fail("ORLAX_CmsBlkEncryptFile=0xE0700051,ORLAX_CmsStrEncryptFile=0xE0700051");
    ASSERT_EQ(Encrypt({name}, mode, certs), 0u);
    EXPECT_EQ(Read(err_ / name), "data");
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE0700051 - "));
  EXPECT_TRUE(Contains(errors, "Правило 1 ('Проба'). \r\nORLAX стек, ошибка номер 1 \r\nError: Отказ по заданию "
                               "теста\r\n"));
}

// A kill while block-mode encryption writes the message into the library's
// work file beside the output: the work file is no input of a rule on that
// folder, and the next run removes it with the temporary output, takes the
// claim back and encrypts the file whole.
TEST_F(EncryptDecryptTest, AKillDuringBlockEncryptionLeavesNothingThatIsListedOrKept) {
  const std::string data = Bytes(1024 * 1024, 5);
  Put("big.bin", data);
  auto certs = Recipients({"user1"});
  ASSERT_EQ(testsupport::RunKilledMidWrite(256 * 1024, [&] { Encrypt({"big.bin"}, 0, certs); }), SIGKILL);
  std::vector<std::string> work;
  for (const std::string& name : Listing(out_)) {
    if (name.size() > 18 && name.compare(name.size() - 18, 2, ".~") == 0) work.push_back(name);
  }
  ASSERT_EQ(work.size(), 1u) << ::testing::PrintToString(Listing(out_));
  EXPECT_GT(fs::file_size(out_ / work[0]), 0u);
  CStringArray listed;
  ASSERT_EQ(FindFiles(Wide(out_.string()), listed, {L"*"}), 0u);
  EXPECT_EQ(listed.GetSize(), 0);

  ASSERT_EQ(Encrypt({"big.bin"}, 0, certs), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), std::vector<std::string>{"big.bin.p7e"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE1718021 - ")) << Errors();
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE1718025 - Временный файл '" + (out_ / work[0]).string() + "'"))
      << Errors();
  fs::rename(out_ / "big.bin.p7e", in_ / "big.bin.p7e");
  ASSERT_EQ(Decrypt({"big.bin.p7e"}, 0), 0u);
  EXPECT_TRUE(Read(out_ / "big.bin") == data);
}

TEST_F(EncryptDecryptTest, EncryptionToNoCertificateFails) {
  Put("a.txt", "data");
  ASSERT_EQ(Encrypt({"a.txt"}, 0, {}), 0u);
  EXPECT_EQ(Read(err_ / "a.txt"), "data");
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE0700050 - "));
}

TEST_F(EncryptDecryptTest, DecryptionFailuresKeepNothingAtTheOutput) {
  auto forUser2 = Recipients({"user2"});
  Put("other.txt", "not for user1");
  ASSERT_EQ(Encrypt({"other.txt"}, 0, forUser2), 0u);
  fs::rename(out_ / "other.txt.p7e", in_ / "other.txt.p7e");
  Put("plain.p7e", "no CMS at all");
  for (int zipFile : {0, 1}) {
    SCOPED_TRACE(zipFile);
    Rule().zipFile = zipFile;
    ASSERT_EQ(Decrypt({"other.txt.p7e", "plain.p7e"}, 0), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_EQ(Listing(err_), (std::vector<std::string>{"other.txt.p7e", "plain.p7e"}));
    EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
    for (const std::string& name : Listing(err_)) fs::rename(err_ / name, in_ / name);
  }
  const std::string errors = Errors();
  // The key is no recipient: the decryption's code and stack, after the
  // algorithm was read.
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE0700052 - "));
  EXPECT_TRUE(Contains(Operations(), "(размер: 0) (Алгоритм шифрования: ГОСТ Р 28147-89). Файл перемещен в каталог "
                                     "ошибок под именем " +
                                         (err_ / "other.txt.p7e").string()));
  // Not a message: the information step fails.
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE070000F - "));
  EXPECT_TRUE(Contains(errors, ". Правило 1 ('Проба'). Получение информации о зашифрованном файле '" +
                                   (in_ / "plain.p7e").string() + "' (размер: 13)\r\nORLAX стек, ошибка номер 1"));
}

TEST_F(EncryptDecryptTest, DecryptedDataMustBeAOneFileArchiveOfTheRulesForm) {
  auto certs = Recipients({"user1"});
  // Encrypted without archiving: a two-entry ZIP, a plain text.
  const fs::path two = root_.path() / "two.zip";
  ZipHandle* writer = ZipWriterCreate(const_cast<wchar_t*>(Wide(two.string()).GetString()), 0, kZipToFile);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(ZipWriterAddBuffer(writer, L"a", "a", 1), 0u);
  ASSERT_EQ(ZipWriterAddBuffer(writer, L"b", "b", 1), 0u);
  ASSERT_EQ(ZipWriterClose(writer), 0u);
  fs::copy_file(two, in_ / "two.zip");
  Put("text.zip", "not an archive");
  // A gzip stream cut short: decompression writes part of the output first.
  const fs::path whole = root_.path() / "whole.bin";
  const fs::path packed = root_.path() / "whole.gz";
  WriteBytes(whole, Bytes(3 * 1024 * 1024, 4));
  CString errorText;
  ASSERT_EQ(GzipOneFile(whole.c_str(), packed.c_str(), L"whole.bin", errorText), 0u);
  Put("text.gz", Read(packed).substr(0, fs::file_size(packed) - 100));
  ASSERT_EQ(Encrypt({"two.zip", "text.zip", "text.gz"}, 0, certs), 0u);
  for (const std::string& name : Listing(out_)) fs::rename(out_ / name, in_ / name);

  Rule().zipFile = 1;
  ASSERT_EQ(Decrypt({"two.zip.p7e", "text.zip.p7e"}, 0, "zip"), 0u);
  Rule().zipFile = 2;
  ASSERT_EQ(Decrypt({"text.gz.p7e"}, 0, "gz"), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"text.gz.p7e", "text.zip.p7e", "two.zip.p7e"}));
  EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE1718006 - Поддерживаются только архивы, содержащие один файл. "
                               "Правило 1 ('Проба'). Разархивирование файла '" +
                                   (in_ / "two.zip.p7e").string() + "' (размер: "));
  EXPECT_TRUE(Contains(errors, "Ошибка 0x700 - "));
  EXPECT_TRUE(Contains(errors, "Разархивирование файла '" + (in_ / "text.gz.p7e").string()));
}

TEST_F(EncryptDecryptTest, StopEventLeavesTheFilesNotYetTaken) {
  HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  worker_.stopEvent = stop;
  Put("a.txt", "a");
  DWORD rc = Encrypt({"a.txt"}, 0, Recipients({"user1"}));
  worker_.stopEvent = nullptr;
  CloseHandle(stop);
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(Operations(), "");
}

// A journal that cannot be written ends every one of these operations at
// once with the writer's code, whether the file succeeded or failed, and
// the files after it stay untouched.
TEST_F(EncryptDecryptTest, UnwritableJournalEndsEachOperationAtOnce) {
  auto certs = Recipients({"user1"});
  fs::remove_all(journal_);
  WriteBytes(journal_, "a file where the journal folder should be");
  struct Case {
    const char* operation;
    std::function<DWORD(const std::vector<std::string>&)> run;
  } cases[] = {
      {"ENCR", [&](const std::vector<std::string>& n) { return Encrypt(n, 0, certs); }},
      {"DECR", [&](const std::vector<std::string>& n) { return Decrypt(n, 0); }},
      {"SIGN", [&](const std::vector<std::string>& n) { return Sign(n, "SIGN"); }},
      {"CDSG", [&](const std::vector<std::string>& n) { return Sign(n, "CDSG"); }},
      {"DELS", [&](const std::vector<std::string>& n) { return Remove(n); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    Put("first.txt", "1");
    Put("second.txt", "2");
    EXPECT_NE(c.run({"first.txt", "second.txt"}), 0u);
    EXPECT_EQ(Read(in_ / "second.txt"), "2");
    fs::remove_all(in_);
    fs::remove_all(out_);
    fs::remove_all(err_);
    fs::create_directories(in_);
    fs::create_directories(out_);
    fs::create_directories(err_);
  }
}

}  // namespace
}  // namespace cryptoops
