// SGEN through the operation: block and stream mode, no archive, ZIP and
// GZIP, with and without a time stamp from a local authority; what openssl
// makes of the output; inputs already signed; refusals; every library stage
// failing; messages that do not shrink, archived in memory all the same.

#include <cstdio>
#include <regex>

#include "common/library_error_stack.h"
#include "service/core/result_codes.h"
#include "service/operations/archive_before_encryption.h"
#include "service/zip/zip_result.h"
#include "tests/service/operations/crypto_operation_fixture.h"
#include "platform/cfile.h"
#include "tests/support/crash_child.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/service_runner.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class SignAndEncryptTest : public CryptoOperationTest {
 protected:
  void SetUp() override {
    CryptoOperationTest::SetUp();
    Rule().recipients = {Wide(pki_.Dn("user2"))};
    certs_ = Recipients({"user2"});
  }

  void UseTimeStamps(testsupport::LocalHttpServer& server) {
    server.EnableTimeStamping(pki_, "/tsa/");
    profile_.serverTsp = {Wide(server.Url("/tsa//"))};
    profile_.autoUseTsp = {1};
  }

  DWORD Sgen(const std::vector<std::string>& names, const std::string& archExt = "") {
    ProfileRecord copy(profile_);
    return SignAndEncryptFiles(Call(Names(names), copy),
                               {.sigExt = L"p7s", .archExt = Wide(archExt), .encExt = L"p7e", .recipients = certs_});
  }

  // The signed message inside an output: decrypted by user2, unpacked when
  // the rule archived (unzip and gzip check the archive first).
  std::string SignedMessageOf(const fs::path& output, const std::string& entry = "") {
    std::string opened = OpensslDecrypt(output, "user2");
    if (Rule().zipFile == 0) return opened;
    fs::path archive = root_.path() / "opened.archive";
    WriteBytes(archive, opened);
    if (Rule().zipFile == 1) {
      testsupport::ProgramResult test = testsupport::RunProgram("/usr/bin/unzip", {"-tq", archive.string()});
      EXPECT_EQ(test.exitCode, 0) << test.output;
      testsupport::ProgramResult names = testsupport::RunProgram("/usr/bin/unzip", {"-Z1", archive.string()});
      EXPECT_EQ(names.output, entry + "\n");
      return testsupport::RunProgram("/usr/bin/unzip", {"-p", archive.string()}).output;
    }
    testsupport::ProgramResult test = testsupport::RunProgram("/usr/bin/gzip", {"-t", archive.string()});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    testsupport::ProgramResult header = testsupport::RunProgram("/usr/bin/gzip", {"-lN", "-q", archive.string()});
    EXPECT_TRUE(Contains(header.output, entry)) << header.output;
    return testsupport::RunProgram("/usr/bin/gzip", {"-dc", archive.string()}).output;
  }

  // What openssl verifies of the signed message inside an output.
  std::string VerifiedContent(const fs::path& output, const std::string& entry = "") {
    fs::path message = root_.path() / "signed.p7s";
    WriteBytes(message, SignedMessageOf(output, entry));
    return OpensslVerify(message);
  }

  std::vector<CertRecord> certs_;
};

// ---------------------------------------------------------------------------
// Outputs.

TEST_F(SignAndEncryptTest, EveryModeAndArchiveGivesAnOutputThatOpensslOpensAndVerifies) {
  struct Case {
    int stream, zipFile;
    bool stamp;
    const char* archExt;
    const char* output;
  };
  const Case cases[] = {
      {0, 0, false, "", "a.txt.p7s.p7e"},      {1, 0, true, "", "a.txt.p7s.p7e"},
      {0, 1, true, "zip", "a.txt.p7s.zip.p7e"}, {1, 1, false, "zip", "a.txt.p7s.zip.p7e"},
      {0, 2, false, "gz", "a.txt.p7s.gz.p7e"},  {1, 2, true, "gz", "a.txt.p7s.gz.p7e"},
      // ZIP without an extension: archived all the same, the name says nothing.
      {0, 1, false, "", "a.txt.p7s.p7e"},
  };
  testsupport::LocalHttpServer server;
  const std::string text(64 * 1024, 'z');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output + std::string(" stream ") + std::to_string(c.stream) + " zip " +
                 std::to_string(c.zipFile));
    fs::remove_all(out_);
    fs::create_directories(out_);
    Rule().stream = c.stream;
    Rule().zipFile = c.zipFile;
    profile_.autoUseTsp = {0};
    if (c.stamp) UseTimeStamps(server);
    Put("a.txt", text);
    ASSERT_EQ(Sgen({"a.txt"}, c.archExt), 0u);
    ASSERT_EQ(Listing(out_), std::vector<std::string>{c.output}) << Errors();
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_TRUE(VerifiedContent(out_ / c.output, "a.txt.p7s") == text);
    fs::path message = root_.path() / "signed.p7s";
    EXPECT_EQ(Info(message).flags & ORLAX_MSG_STREAM, c.stream != 0 ? ORLAX_MSG_STREAM : 0u);
    EXPECT_EQ(StampCheck(message, 0, true), c.stamp ? 0u : ORLAX_E_NO_TIME_STAMP);
    FormatLibraryErrorStack(context_);
  }
  EXPECT_EQ(Errors(), "");
  EXPECT_TRUE(ScratchLeft().empty());
}

TEST_F(SignAndEncryptTest, RecordsNameTheRecipientsCipherAndMode) {
  Rule().encAlgorithm = 3;
  Rule().stream = 1;
  Put("a.txt", "Договор");
  ASSERT_EQ(Sgen({"a.txt"}), 0u);
  const fs::path output = out_ / "a.txt.p7s.p7e";
  EXPECT_EQ(RecordWith("a.txt"),
            std::string(kTime) + " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | "
                                 "Создание ЭП файла '" +
                (in_ / "a.txt").string() + "' (размер: 14) и зашифрование в файл '" + output.string() +
                "' (размер: " + std::to_string(fs::file_size(output)) +
                ") (количество получателей - 1, сертификатов - 1) (Алгоритм шифрования: ГОСТ Р 34.12-2015 "
                "Кузнечик) (Тип операции: Потоковая)");
}

// An "Enc algorythm" outside the table encrypts with flags 0, GOST 28147-89,
// in either mode, and the records name no cipher.
TEST_F(SignAndEncryptTest, CipherSettingOutsideTheTableEncryptsWithGost89WithoutALabel) {
  struct Case {
    int encAlgorithm, stream;
  };
  const Case cases[] = {{7, 0}, {5, 1}, {-1, 0}};
  for (const Case& c : cases) {
    const std::string name = "c" + std::to_string(c.encAlgorithm + 1) + ".txt";
    SCOPED_TRACE(name);
    Rule().encAlgorithm = c.encAlgorithm;
    Rule().stream = c.stream;
    Put(name, "Договор");
    ASSERT_EQ(Sgen({name}), 0u);
    const fs::path output = out_ / (name + ".p7s.p7e");
    ASSERT_TRUE(fs::exists(output)) << Errors();
    MessageInfo info{};
    ASSERT_EQ(ORLAX_CmsStrMsgInfFile(context_, output.string().c_str(), &info, 0), 0u);
    EXPECT_STREQ(info.cipherOid, "1.2.643.2.2.21");
    ORLAX_CmsFreeMsgInf(context_, &info);
    EXPECT_EQ(VerifiedContent(output), "Договор");
    const std::string record = RecordWith(name);
    EXPECT_TRUE(Contains(record, "Успех")) << record;
    EXPECT_FALSE(Contains(record, "Алгоритм шифрования")) << record;
  }
  EXPECT_EQ(Errors(), "");
}

TEST_F(SignAndEncryptTest, EveryCipherCarriesALargeFileInStreamMode) {
  Rule().stream = 1;
  const std::string large = Bytes(310 * 1024, 9);
  for (int cipher = 0; cipher <= 4; ++cipher) {
    Rule().encAlgorithm = cipher;
    const std::string name = "big" + std::to_string(cipher) + ".bin";
    Put(name, large);
    ASSERT_EQ(Sgen({name}), 0u) << Errors();
  }
  // openssl's own key meshing breaks the ACPKM ciphers past their first
  // kilobytes: the recipient's library opens them.
  ASSERT_EQ(OpenContext("user2"), 0u);
  for (int cipher = 0; cipher <= 4; ++cipher) {
    SCOPED_TRACE(cipher);
    const fs::path output = out_ / ("big" + std::to_string(cipher) + ".bin.p7s.p7e");
    const fs::path message = root_.path() / ("signed" + std::to_string(cipher) + ".p7s");
    DecryptParams params{};
    params.mode = 0x8003;
    DecryptResult result{};
    ASSERT_EQ(ORLAX_CmsStrDecryptFile(context_, &params, output.c_str(), message.c_str(), &result), 0u);
    ORLAX_FreeDecryptResult(context_, &result);
    EXPECT_TRUE(OpensslVerify(message) == large);
  }
}

// An input that already carries an attached signature comes out with two,
// the stamp on the new one, whether the input was written whole or as a
// stream (which takes stream mode whatever the rule says).
TEST_F(SignAndEncryptTest, SignedInputGetsASecondSignatureWithTheStampOnIt) {
  testsupport::LocalHttpServer server;
  UseTimeStamps(server);
  const std::string text = "Договор поставки\n";
  fs::path data = root_.path() / "data.txt";
  WriteBytes(data, text);
  for (bool streamEncoded : {false, true}) {
    SCOPED_TRACE(streamEncoded);
    const std::string name = streamEncoded ? "s.p7s" : "b.p7s";
    SignWith("user2", data, in_ / name, false, streamEncoded);
    Rule().stream = 0;
    ASSERT_EQ(Sgen({name}), 0u) << Errors();
    const fs::path output = out_ / (name + ".p7e");
    ASSERT_TRUE(fs::exists(output));
    EXPECT_TRUE(VerifiedContent(output) == text);
    fs::path message = root_.path() / "signed.p7s";
    MessageInfo info = Info(message);
    EXPECT_EQ(info.signatureCount, 2u);
    EXPECT_EQ(info.flags & ORLAX_MSG_STREAM, streamEncoded ? ORLAX_MSG_STREAM : 0u);
    EXPECT_EQ(StampCheck(message, 0, true), ORLAX_E_NO_TIME_STAMP);
    EXPECT_EQ(StampCheck(message, 1, true), 0u);
    FormatLibraryErrorStack(context_);
    EXPECT_TRUE(Contains(RecordWith(name), streamEncoded ? "(Тип операции: Блочная)" : "Блочная"));
  }
}

TEST_F(SignAndEncryptTest, NamesFollowTheSignatureExtensionExactly) {
  // a.p7s that is no message: signed as data, keeping its name; a.P7S is no
  // signature name at all.
  Put("a.p7s", "plain text");
  Put("b.P7S", "plain text");
  ASSERT_EQ(Sgen({"a.p7s", "b.P7S"}), 0u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.p7s.p7e", "b.P7S.p7s.p7e"}));
  EXPECT_EQ(VerifiedContent(out_ / "a.p7s.p7e"), "plain text");
  EXPECT_EQ(Errors(), "");
}

TEST_F(SignAndEncryptTest, TakenOutputFailsOrGetsAConflictFreeNameFromTheInputName) {
  Put("a.txt", "x");
  WriteBytes(out_ / "a.txt.p7s.p7e", "older");
  ASSERT_EQ(Sgen({"a.txt"}), 0u);
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.txt"});
  EXPECT_TRUE(Contains(Errors(), "Создание файла " + (out_ / "a.txt.p7s.p7e").string()));

  profile_.renameConfFiles = 1;
  Put("a.txt", "x");
  ASSERT_EQ(Sgen({"a.txt"}), 0u);
  std::vector<std::string> outputs = Listing(out_);
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_TRUE(std::regex_match(outputs[1], std::regex("a~[0-9a-f]+\\.txt\\.p7s\\.p7e"))) << outputs[1];
  EXPECT_EQ(Read(out_ / "a.txt.p7s.p7e"), "older");
}

// ---------------------------------------------------------------------------
// Refusals and failures: the input in the error folder, nothing at the
// output, no scratch file left.

struct Refusal {
  const char* name;
  std::string input;  // "detached", "enveloped", "empty" or content
  int stream, zipFile, encAlgorithm;
  const char* failing;  // QELM_TEST_FAIL, or ""
  DWORD code;
  const char* stepText;
  bool stack;
};

class SignAndEncryptRefusals : public SignAndEncryptTest, public ::testing::WithParamInterface<Refusal> {};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

TEST_P(SignAndEncryptRefusals, LeaveTheInputInTheErrorFolderAndNothingBehind) {
  const Refusal& r = GetParam();
  testsupport::LocalHttpServer server;
  UseTimeStamps(server);
  Rule().stream = r.stream;
  Rule().zipFile = r.zipFile;
  Rule().encAlgorithm = r.encAlgorithm;
  std::string name = "a.txt";
  fs::path data = root_.path() / "data.txt";
  WriteBytes(data, "data");
  if (r.input == "detached") {
    name = "a.p7s";
    SignWith("user2", data, in_ / name, true);
  } else if (r.input == "named") {
    name = "a.p7s";
    Put(name, "data");
  } else if (r.input == "enveloped") {
    name = "a.p7s";
    EnvelopeOf(data, in_ / name);
  } else {
    Put(name, r.input == "empty" ? "" : r.input);
  }
  {
    FailingCall failing(r.failing);
    ASSERT_EQ(Sgen({name}, r.zipFile == 1 ? "zip" : ""), 0u);
  }
  EXPECT_EQ(Listing(err_), std::vector<std::string>{name});
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_TRUE(ScratchLeft().empty());
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, ErrorCode(r.code))) << errors;
  EXPECT_TRUE(Contains(errors, r.stepText)) << errors;
  EXPECT_EQ(Contains(errors, "ORLAX стек"), r.stack) << errors;
}

const std::string kText(40000, 't');

const Refusal kRefusals[] = {
    {"DetachedInput", "detached", 0, 0, 0, "", ERR_WRONG_SIGNATURE_TYPE, "содержит отсоединённую подпись", false},
    {"EnvelopedInput", "enveloped", 0, 0, 0, "", ERR_WRONG_SIGNATURE_TYPE, ". Файл зашифрован", false},
    {"EmptyBlock", "empty", 0, 0, 0, "", ERR_FILE_SIZE_UNSUPPORTED, "Определение размера файла", false},
    {"EmptyStream", "empty", 1, 0, 0, "", ERR_FILE_SIZE_UNSUPPORTED, "Определение размера файла", false},
    {"MessageInformation", "named", 0, 0, 0, "ORLAX_CmsStrMsgInfFile=0xE0700777", 0xE0700777,
     "Получение данных о ЭП файла", true},
};

INSTANTIATE_TEST_SUITE_P(Inputs, SignAndEncryptRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// Every library call of both modes failing, by the rule's step texts.
const Refusal kLibraryFailures[] = {
    {"BlockSign", kText, 0, 0, 0, "ORLAX_CmsBlkAttSignMem=0xE0700777", 0xE0700777, "Создание ЭП файла", true},
    {"BlockStamp", kText, 0, 0, 0, "ORLAX_TspBlkUrlStampCmsMem=0xE0700777", 0xE0700777,
     "Установка штампа времени с сервера", true},
    {"BlockEncrypt", kText, 0, 0, 0, "ORLAX_CmsBlkEncryptMem=0xE0700777", 0xE0700777, "Зашифрование файла", true},
    {"StreamSignInit", kText, 1, 0, 0, "ORLAX_CmsStrAttSignInitMem=0xE0700777", 0xE0700777,
     "Инициализация потоковой операции создания ЭП", true},
    {"StreamSignUpdate", kText, 1, 0, 0, "ORLAX_CmsStrAttSignUpdateMem=0xE0700777", 0xE0700777,
     "Обновление данных потоковой операции создания ЭП", true},
    {"StreamSignFinal", kText, 1, 0, 0, "ORLAX_CmsStrAttSignFinalMem=0xE0700777", 0xE0700777,
     "Завершение потоковой операции создания ЭП", false},
    {"StreamStampInit", kText, 1, 0, 0, "ORLAX_TspStrUrlStampCmsInitMem=0xE0700777", 0xE0700777,
     "Инициализация потоковой операции установки штампа времени", true},
    {"StreamStampFinal", kText, 1, 0, 0, "ORLAX_TspStrUrlStampCmsFinalMem=0xE0700777", 0xE0700777,
     "Завершение потоковой операции установки штампа времени", false},
    {"StreamEncryptInit", kText, 1, 0, 0, "ORLAX_CmsStrEncryptInitMem=0xE0700777", 0xE0700777,
     "Инициализация потоковой операции зашифрования", false},
    {"StreamEncryptFinal", kText, 1, 0, 0, "ORLAX_CmsStrEncryptFinalMem=0xE0700777", 0xE0700777,
     "Завершение потоковой операции зашифрования", false},
    {"StreamArchiveEncrypt", kText, 1, 1, 0, "ORLAX_CmsStrEncryptFile=0xE0700777", 0xE0700777,
     "Зашифрование файла", true},
    {"StreamArchiveStamp", kText, 1, 2, 0, "ORLAX_TspStrUrlStampCmsFinalMem=0xE0700777", 0xE0700777,
     "Завершение потоковой операции установки штампа времени", false},
    {"BlockZipEncrypt", kText, 0, 1, 0, "ORLAX_CmsBlkEncryptMem=0xE0700777", 0xE0700777, "Зашифрование файла",
     true},
};

INSTANTIATE_TEST_SUITE_P(Library, SignAndEncryptRefusals, ::testing::ValuesIn(kLibraryFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// A stamp from an authority whose certificate chains to no root of LOCAL
// fails the file in either mode: nothing is encrypted, the input goes to the
// error folder with the library's code.
TEST_F(SignAndEncryptTest, StampOfAnUntrustedAuthorityFailsTheFile) {
  testsupport::TestPki other = testsupport::TestPki::Make(root_.path() / "other", "");
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(other, "/tsa/");
  profile_.serverTsp = {Wide(server.Url("/tsa/"))};
  profile_.autoUseTsp = {1};
  for (int stream : {0, 1}) {
    SCOPED_TRACE(stream);
    for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
    Rule().stream = stream;
    Put("a.txt", kText);
    ASSERT_EQ(Sgen({"a.txt"}), 0u);
    EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_TRUE(ScratchLeft().empty());
    const std::string errors = Errors();
    EXPECT_TRUE(Contains(errors, ErrorCode(ORLAX_E_TSP_INVALID))) << errors;
    EXPECT_TRUE(Contains(errors, "штампа времени с сервера " + server.Url("/tsa/"))) << errors;
    EXPECT_FALSE(Contains(Operations(), "| Успех |")) << Operations();
  }
  EXPECT_EQ(server.Count("/tsa/"), 2);
}

// A message that does not shrink (random data, data compressed already)
// makes an archive somewhat larger than itself: the memory archive holds it
// all the same, from a few bytes, whose archive is mostly headers, to
// megabytes, whose deflated data outgrows the message.
TEST_F(SignAndEncryptTest, MessageThatDoesNotShrinkIsArchivedInBlockModeAsInStreamMode) {
  struct Case {
    std::size_t size;
    int stream;
    int notAddCert;  // 1: the message is hardly more than the data
  };
  const Case cases[] = {
      {1, 0, 1}, {700, 0, 1}, {20000, 0, 1}, {20000, 0, 0}, {3 << 20, 0, 1}, {20000, 1, 1},
  };
  Rule().zipFile = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " stream " + std::to_string(c.stream) + " cert " +
                 std::to_string(c.notAddCert));
    Rule().stream = c.stream;
    profile_.notAddCert = {c.notAddCert};
    const std::string noise = Bytes(c.size, static_cast<unsigned>(c.size));
    Put("a.bin", noise);
    ASSERT_EQ(Sgen({"a.bin"}, "zip"), 0u);
    ASSERT_EQ(Listing(out_), std::vector<std::string>{"a.bin.p7s.zip.p7e"}) << Errors();
    if (c.notAddCert == 0) {
      EXPECT_TRUE(VerifiedContent(out_ / "a.bin.p7s.zip.p7e", "a.bin.p7s") == noise);
    } else {
      // No certificate for openssl to verify with: the archive holds the
      // message with the data in it.
      EXPECT_NE(SignedMessageOf(out_ / "a.bin.p7s.zip.p7e", "a.bin.p7s").find(noise), std::string::npos);
    }
    fs::remove(out_ / "a.bin.p7s.zip.p7e");
  }
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
  EXPECT_TRUE(ScratchLeft().empty());
}

// A disk that fills up while the output is written: the output and any
// scratch file are gone, the input is in the error folder.
TEST_F(SignAndEncryptTest, FullDiskLeavesNoOutputAndTheInputInTheErrorFolder) {
  struct Case {
    int stream, zipFile;
    const char* stepText;
  };
  const Case cases[] = {
      {0, 0, "Открытие файла "},  // the whole-file write, past its open
      {1, 0, "Запись файла "},
      {1, 1, "Запись файла "},  // the scratch file of the signed message
  };
  const std::string data = Bytes(300 * 1024, 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.stream) + " " + std::to_string(c.zipFile));
    fs::remove_all(err_);
    fs::create_directories(err_);
    Rule().stream = c.stream;
    Rule().zipFile = c.zipFile;
    Put("a.bin", data);
    {
      testsupport::FileSizeLimit limit(100 * 1024);
      ASSERT_EQ(Sgen({"a.bin"}, "zip"), 0u);
    }
    EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.bin"});
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_TRUE(ScratchLeft().empty());
    EXPECT_TRUE(Contains(Errors(), ErrorCode(CFileException::diskFull))) << Errors();
    EXPECT_TRUE(Contains(Errors(), c.stepText)) << Errors();
  }
}

// Without ZIP64 no entry may pass 4 GiB: a signed message of 4 GiB with
// "ZipFile" 1 fails the archive step with the ZIP writer's text before a
// byte of it is read. Signing a file that large takes minutes, so a sparse
// file stands in for the signed scratch file that the archive step is given.
TEST(ArchiveBeforeEncryptionTest, SignedMessageOfFourGigabytesIsRefusedByTheZipArchive) {
  testsupport::TempRoot root;
  const fs::path signedScratch = root.Dir("work") / "signed.p7s";
  std::ofstream(signedScratch, std::ios::binary).put('x');
  fs::resize_file(signedScratch, 0x100000000ULL);
  const fs::path archive = root.Dir("work") / "archive";
  WorkFailure failure;
  EXPECT_EQ(ArchiveForEncryption(ArchiveSetting::kZip, {Wide(signedScratch.string()), L"a.bin.p7s"}, Wide(archive.string()),
                                 L"Архивирование", failure),
            static_cast<DWORD>(ZIP_E_TOO_LARGE));
  EXPECT_EQ(failure.code, static_cast<DWORD>(ZIP_E_TOO_LARGE));
  EXPECT_EQ(failure.stageText, CString(L"Архивирование"));
  EXPECT_EQ(failure.description, CString(L"Размер файла или zip архива превышает 4 ГБ - 1 байт"));
}

// The archive made of a signed message before it is encrypted holds the
// plaintext: killed in the middle of writing it, ZIP or GZIP, what is left
// is its owner's alone.
TEST(ArchiveBeforeEncryptionTest, TheArchiveIsItsOwnersAloneWhileItIsWritten) {
  testsupport::TempRoot root;
  const fs::path signedScratch = root.Dir("work") / "signed.p7s";
  WriteBytes(signedScratch, Bytes(512 * 1024, 8));  // does not shrink when packed
  for (ArchiveSetting setting : {ArchiveSetting::kZip, ArchiveSetting::kGzip}) {
    const int zipFile = setting == ArchiveSetting::kZip ? 1 : 2;
    SCOPED_TRACE(zipFile);
    const fs::path archive = root.Dir("work") / ("archive" + std::to_string(zipFile));
    EXPECT_EQ(testsupport::RunKilledMidWrite(64 * 1024,
                                             [&] {
                                               WorkFailure failure;
                                               ArchiveForEncryption(setting, {Wide(signedScratch.string()), L"a.p7s"},
                                                                    Wide(archive.string()), L"Архивирование", failure);
                                             }),
              SIGKILL);
    ASSERT_TRUE(fs::exists(archive));
    EXPECT_EQ(fs::status(archive).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
}

}  // namespace
}  // namespace cryptoops
