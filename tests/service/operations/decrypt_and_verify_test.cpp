// DCCX through the operation: SGEN's outputs of every mode and archive come
// back byte for byte with their report; messages made by openssl in the four
// encoding pairs; the output and report names and their conflicts; and the
// refusals, each leaving the input in the error folder and nothing else
// behind (no content, no report, no scratch file).

#include <regex>

#include "common/library_error_stack.h"
#include "service/core/claim_records.h"
#include "service/core/result_codes.h"
#include "service/zip/zip_result.h"
#include "tests/service/operations/verification_fixture.h"
#include "tests/support/crash_child.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/service_runner.h"

namespace cryptoops {
namespace {

using namespace testsupport;

class DecryptAndVerifyTest : public VerificationTest {
 protected:
  void SetUp() override {
    VerificationTest::SetUp();
    // user1 signs and is the recipient: one context does both sides.
    Rule().recipients = {Wide(pki_.Dn("user1"))};
    certs_ = Recipients({"user1"});
  }

  void UseTimeStamps(testsupport::LocalHttpServer& server) {
    server.EnableTimeStamping(pki_, "/tsa/");
    profile_.serverTsp = {Wide(server.Url("/tsa/"))};
    profile_.autoUseTsp = {1};
    profile_.autoVerifyTsp = {1};
  }

  DWORD Sgen(const std::vector<std::string>& names, const std::string& archExt) {
    ProfileRecord copy(profile_);
    return SignAndEncryptFiles(Call(Names(names), copy),
                               {.sigExt = L"p7s", .archExt = Wide(archExt), .encExt = L"p7e", .recipients = certs_});
  }

  // SGEN's output of `content` under `name`, moved into the input folder.
  std::string Seal(const std::string& name, const std::string& content, const std::string& archExt = "") {
    const fs::path sealed = root_.Dir("sealed");
    Put(name, content);
    const CString pathOut = Rule().pathOut;
    Rule().pathOut = Wide(sealed.string());
    EXPECT_EQ(Sgen({name}, archExt), 0u);
    Rule().pathOut = pathOut;
    std::vector<std::string> made = Listing(sealed);
    EXPECT_EQ(made.size(), 1u) << Errors();
    if (made.size() != 1) return "";
    fs::rename(sealed / made[0], in_ / made[0]);
    return made[0];
  }

  DWORD Dccx(const std::vector<std::string>& names, const std::string& archExt = "", int reportFlag = 1,
             const CStringArray* extExt = nullptr) {
    ProfileRecord copy(profile_);
    return DecryptAndVerifyFiles(Call(Names(names), copy), {.sigExt = L"p7s",
                                                            .archExt = Wide(archExt),
                                                            .encExt = L"p7e",
                                                            .extExt = extExt,
                                                            .writeReport = reportFlag != 0,
                                                            .verifyFileExt = L"vrf"});
  }

  // openssl's attached signature of data by user1, DER or streamed (BER).
  void OpensslSigned(const fs::path& data, const fs::path& output, bool stream) {
    std::vector<std::string> args{"cms",         "-sign",   "-binary", "-nodetach", "-md", "md_gost12_256",
                                  "-signer",     pki_.Cert("user1").string(),       "-inkey",
                                  pki_.Key("user1").string(), "-in", data.string(), "-outform", "DER", "-out",
                                  output.string()};
    if (stream) args.push_back("-stream");
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl(args, &log), 0) << log;
  }
  // openssl's envelope of a file for user1 (GOST 28147-89), DER or streamed.
  void OpensslEnveloped(const fs::path& data, const fs::path& output, bool stream) {
    std::vector<std::string> args{"cms",      "-encrypt", "-binary", "-gost89", "-in",
                                  data.string(), "-outform", "DER", "-out", output.string()};
    if (stream) args.insert(args.begin() + 2, "-stream");
    args.push_back(pki_.Cert("user1").string());
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl(args, &log), 0) << log;
  }

  // The one report of a single user1 signature.
  std::string Report(const fs::path& signedMessage, uint32_t stampTime = 0) {
    return "Количество ЭП: 1\r\n" + Block(1, "user1", SigningTimes(signedMessage).at(0), stampTime);
  }

  // Nothing of a refused file is left but the input in the error folder.
  void ExpectRefused(const std::string& name) {
    EXPECT_EQ(Listing(err_), std::vector<std::string>{name});
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_TRUE(ScratchLeft().empty());
  }

  // The errors journal's text written since the last call.
  std::string NewErrors() {
    const std::string all = Errors();
    std::string added = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    return added;
  }

  std::vector<CertRecord> certs_;
  size_t seen_ = 0;
};

// ---------------------------------------------------------------------------
// What comes back.

TEST_F(DecryptAndVerifyTest, SgenOutputOfEveryModeAndArchiveComesBackWithItsReport) {
  struct Case {
    int stream, zipFile;
    bool stamp;
    const char* archExt;
  };
  const Case cases[] = {
      {0, 0, false, ""}, {0, 0, true, ""},  {1, 0, false, ""},     {1, 0, true, ""},    {0, 1, true, "zip"},
      {1, 1, false, "zip"}, {0, 2, false, "gz"}, {1, 2, true, "gz"}, {0, 7, false, "gz"},
  };
  testsupport::LocalHttpServer server;
  const std::string text = Bytes(150 * 1024, 3);
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "f" + std::to_string(n++) + ".bin";
    SCOPED_TRACE(name + " stream " + std::to_string(c.stream) + " zip " + std::to_string(c.zipFile) +
                 (c.stamp ? " stamped" : ""));
    Rule().stream = c.stream;
    Rule().zipFile = c.zipFile;
    profile_.autoUseTsp = {0};
    profile_.autoVerifyTsp = {0};
    if (c.stamp) UseTimeStamps(server);
    const std::string sealed = Seal(name, text, c.archExt);
    // What was signed, for the signing and stamp times the report shows.
    const fs::path message = root_.path() / "message.p7s";
    {
      fs::path archive = root_.path() / "archive";
      fs::remove(archive);
      fs::remove(message);  // the library creates its output new
      DecryptParams params{};
      params.mode = 0x8003;
      DecryptResult result{};
      ASSERT_EQ(ORLAX_CmsStrDecryptFile(context_, &params, (in_ / sealed).c_str(),
                                        (c.zipFile == 0 ? message : archive).c_str(), &result),
                0u);
      ORLAX_FreeDecryptResult(context_, &result);
      if (c.zipFile == 1) WriteBytes(message, testsupport::RunProgram("/usr/bin/unzip", {"-p", archive.string()}).output);
      if (c.zipFile > 1) WriteBytes(message, testsupport::RunProgram("/usr/bin/gzip", {"-dc", archive.string()}).output);
    }
    ASSERT_EQ(Dccx({sealed}, c.archExt), 0u);
    EXPECT_EQ(Listing(out_), (std::vector<std::string>{name, sealed + ".vrf"})) << Errors();
    EXPECT_TRUE(Read(out_ / name) == text);
    EXPECT_EQ(Read(out_ / (sealed + ".vrf")), Report(message, c.stamp ? StampTime(message, 0) : 0));
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    fs::remove(out_ / name);
    fs::remove(out_ / (sealed + ".vrf"));
  }
  EXPECT_EQ(Errors(), "");
  EXPECT_TRUE(ScratchLeft().empty());
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
}

TEST_F(DecryptAndVerifyTest, SuccessRecordNamesTheCountTheOutputAndTheCipher) {
  Rule().encAlgorithm = 3;
  const std::string sealed = Seal("a.txt", "Договор");
  const fs::path claimedSize = in_ / sealed;
  const std::string inputSize = std::to_string(fs::file_size(claimedSize));
  ASSERT_EQ(Dccx({sealed}, "", 0), 0u);
  EXPECT_EQ(RecordWith("Расшифрование и проверка"),
            std::string(kTime) + " | Профиль: P | Успех | Правило 1 ('Проба'). Профиль справочника : 'Тест' | "
                                 "Расшифрование и проверка ЭП файла '" +
                (in_ / sealed).string() + "' (размер: " + inputSize + ") и удаление подписей (1 шт.) с записью в "
                "файл '" + (out_ / "a.txt").string() +
                "' (размер: 14) (Алгоритм шифрования: ГОСТ Р 34.12-2015 Кузнечик)");
  EXPECT_EQ(Listing(out_), std::vector<std::string>{"a.txt"});
}

// The four encoding pairs of envelope and signed content, made by openssl:
// the mixed ones take the other form's pass after the first.
TEST_F(DecryptAndVerifyTest, EveryEncodingPairOfEnvelopeAndContentComesBack) {
  const std::string text = Bytes(70 * 1024, 5);
  const fs::path data = root_.path() / "data.bin";
  WriteBytes(data, text);
  for (bool signedStream : {false, true}) {
    for (bool envelopeStream : {false, true}) {
      const std::string stem = std::string(signedStream ? "s" : "b") + (envelopeStream ? "s" : "b");
      SCOPED_TRACE(stem);
      const fs::path message = root_.path() / (stem + ".p7s");
      OpensslSigned(data, message, signedStream);
      OpensslEnveloped(message, in_ / (stem + ".p7s.p7e"), envelopeStream);
      EXPECT_EQ(Info(in_ / (stem + ".p7s.p7e")).flags & ORLAX_MSG_STREAM, envelopeStream ? ORLAX_MSG_STREAM : 0u);
      EXPECT_EQ(Info(message).flags & ORLAX_MSG_STREAM, signedStream ? ORLAX_MSG_STREAM : 0u);
      ASSERT_EQ(Dccx({stem + ".p7s.p7e"}), 0u);
      EXPECT_TRUE(Read(out_ / stem) == text) << Errors();
      EXPECT_EQ(Read(out_ / (stem + ".p7s.p7e.vrf")), Report(message));
    }
  }
  EXPECT_EQ(Errors(), "");
  EXPECT_TRUE(ScratchLeft().empty());
}

// ---------------------------------------------------------------------------
// Names.

TEST_F(DecryptAndVerifyTest, OutputNamesFollowTheExtensionsExactly) {
  struct Case {
    const char* name;
    int zipFile;
    const char* output;
  };
  const Case cases[] = {
      {"a.txt.p7s.p7e", 0, "a.txt"},
      {"b.txt.p7s.bin.enc", 0, "b.txt"},      // "ExtExt" walked in its order
      {"c.txt.p7s.enc.bin", 0, "c.txt.p7s.enc"},  // "enc" was passed before "bin" went
      {"d.txt.P7E", 0, "d.txt.P7E"},          // letter case counts
      {"e.txt.p7s", 0, "e.txt"},              // "SigExt" goes without "EncExt"
      {"f.txt.zip.p7e", 1, "f.txt"},
      {"g.txt.zip.p7e", 0, "g.txt.zip"},      // the archive extension only for an archiving rule
  };
  CStringArray extExt;
  extExt.Add(L"enc");
  extExt.Add(L"bin");
  const std::string plain = Seal("x.txt", "content");
  Rule().zipFile = 1;
  const std::string zipped = Seal("y.txt", "content", "zip");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rule().zipFile = c.zipFile;
    fs::copy_file(in_ / (c.zipFile != 0 ? zipped : plain), in_ / c.name);
    ASSERT_EQ(Dccx({c.name}, "zip", 0, &extExt), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{c.output}) << Errors();
    EXPECT_EQ(Read(out_ / c.output), "content");
    fs::remove(out_ / c.output);
  }
  EXPECT_EQ(Errors(), "");
}

TEST_F(DecryptAndVerifyTest, TakenOutputOrReportFailsOrMovesBothToOneNewStem) {
  struct Case {
    const char* taken;  // in the output folder beforehand
    int reportFlag, rename;
    bool fails;
  };
  const Case cases[] = {
      {"a.txt", 1, 0, true},
      {"a.txt.p7s.p7e.vrf", 1, 0, true},   // only the report's name
      {"a.txt.p7s.p7e.vrf", 0, 0, false},  // no report, no conflict
      {"a.txt", 1, 1, false},
      {"a.txt.p7s.p7e.vrf", 1, 1, false},
  };
  const std::string sealed = Seal("a.txt", "content");
  const std::regex renamed("a~[0-9a-f]+\\.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.taken) + " report " + std::to_string(c.reportFlag) + " rename " +
                 std::to_string(c.rename));
    fs::remove_all(out_);
    fs::remove_all(err_);
    fs::create_directories(out_);
    fs::create_directories(err_);
    fs::copy_file(in_ / sealed, root_.path() / "kept");
    WriteBytes(out_ / c.taken, "someone else's");
    profile_.renameConfFiles = c.rename;
    ASSERT_EQ(Dccx({sealed}, "", c.reportFlag), 0u);
    const std::string errors = NewErrors();
    EXPECT_EQ(Read(out_ / c.taken), "someone else's");
    if (c.fails) {
      EXPECT_EQ(Listing(out_), std::vector<std::string>{c.taken});
      EXPECT_EQ(Listing(err_), std::vector<std::string>{sealed});
      EXPECT_TRUE(Contains(errors, ErrorCode(80))) << errors;
      // Named by the output even when only the report's name is taken.
      EXPECT_TRUE(Contains(errors, "Создание файла " + (out_ / "a.txt").string() + "\r\n")) << errors;
    } else if (c.rename == 0) {
      EXPECT_EQ(errors, "");
      EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt", c.taken}));
    } else {
      std::vector<std::string> names = Listing(out_);
      ASSERT_EQ(names.size(), 3u);
      std::string output;
      for (const std::string& name : names)
        if (std::regex_match(name, renamed)) output = name;
      ASSERT_FALSE(output.empty());
      EXPECT_EQ(Read(out_ / output), "content");
      EXPECT_TRUE(fs::exists(out_ / (output + ".p7s.p7e.vrf")));
    }
    fs::rename(root_.path() / "kept", in_ / sealed);
  }
}

// A name that is all extensions leaves an empty output name: the output path
// is the output folder itself, which is taken. The file fails with 80, or
// with renaming its output and report get a conflict name; the folder stays
// a folder with nothing written in its place.
TEST_F(DecryptAndVerifyTest, NameThatIsAllExtensionsMeetsTheOutputFolderAsATakenName) {
  struct Case {
    const char* name;
    int zipFile, rename;
  };
  const Case cases[] = {
      {".p7e", 0, 0}, {".p7s.p7e", 0, 0}, {".zip.p7e", 1, 0}, {".p7e", 0, 1}, {".zip.p7e", 1, 1},
  };
  const std::string plain = Seal("x.txt", "content");
  Rule().zipFile = 1;
  const std::string zipped = Seal("y.txt", "content", "zip");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " rename " + std::to_string(c.rename));
    fs::remove_all(out_);
    fs::remove_all(err_);
    fs::create_directories(out_);
    fs::create_directories(err_);
    Rule().zipFile = c.zipFile;
    profile_.renameConfFiles = c.rename;
    fs::copy_file(in_ / (c.zipFile != 0 ? zipped : plain), in_ / c.name);
    ASSERT_EQ(Dccx({c.name}, "zip"), 0u);
    const std::string errors = NewErrors();
    EXPECT_TRUE(fs::is_directory(out_));
    EXPECT_FALSE(fs::exists(in_ / c.name));
    if (c.rename == 0) {
      EXPECT_EQ(Listing(out_), std::vector<std::string>{});
      EXPECT_EQ(Listing(err_), std::vector<std::string>{c.name});
      EXPECT_TRUE(Contains(errors, ErrorCode(80))) << errors;
      EXPECT_TRUE(Contains(errors, "Создание файла " + out_.string() + "/")) << errors;
      continue;
    }
    EXPECT_EQ(errors, "");
    const std::vector<std::string> names = Listing(out_);
    ASSERT_EQ(names.size(), 2u) << Errors();
    EXPECT_TRUE(std::regex_match(names[0], std::regex("~[0-9a-f]+"))) << names[0];
    EXPECT_EQ(names[1], names[0] + c.name + ".vrf");
    EXPECT_EQ(Read(out_ / names[0]), "content");
  }
  fs::remove(in_ / plain);
  fs::remove(in_ / zipped);
}

// ---------------------------------------------------------------------------
// Refusals: nothing unverified reaches the output folder.

TEST_F(DecryptAndVerifyTest, InputsThatAreNoEnvelopeOfAnAttachedSignatureAreRefused) {
  struct Case {
    const char* name;
    const char* stepText;
  };
  const fs::path data = root_.path() / "data.txt";
  WriteBytes(data, "data");
  SignWith("user1", data, in_ / "signed.p7s.p7e", false);
  SignWith("user1", data, in_ / "detached.p7s.p7e", true);
  SignWith("user1", data, root_.path() / "detached.p7s", true);
  EnvelopeOf(root_.path() / "detached.p7s", in_ / "enveloped-detached.p7s.p7e");
  EnvelopeOf(data, root_.path() / "inner.p7e");
  EnvelopeOf(root_.path() / "inner.p7e", in_ / "double.p7s.p7e");
  NoSignerMessage(root_.path() / "none.p7s");
  EnvelopeOf(root_.path() / "none.p7s", in_ / "unsigned.p7s.p7e");
  const Case cases[] = {
      {"signed.p7s.p7e", "является подписанным файлом"},
      {"detached.p7s.p7e", "является файлом отсоединённой ЭП"},
      {"enveloped-detached.p7s.p7e", "содержит отсоединённую подпись вместо присоединённой"},
      {"double.p7s.p7e", ". Файл зашифрован"},
      {"unsigned.p7s.p7e", "Получение информации об ЭП файла '"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Dccx({c.name}), 0u);
    const std::string errors = NewErrors();
    EXPECT_TRUE(Contains(errors, ErrorCode(ERR_WRONG_SIGNATURE_TYPE) + "Неправильный тип подписи")) << errors;
    EXPECT_TRUE(Contains(errors, c.stepText)) << errors;
    EXPECT_FALSE(Contains(errors, "ORLAX стек")) << errors;
    EXPECT_TRUE(fs::exists(err_ / c.name));
  }
  EXPECT_TRUE(Contains(Errors(), "Файл зашифрован"));
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_TRUE(ScratchLeft().empty());
}

// A content refused at the join shows the claimed file's real size, also
// after the stream pass, whose input is closed before the texts are made.
TEST_F(DecryptAndVerifyTest, ContentRefusedAtTheJoinShowsTheClaimedSize) {
  struct Case {
    const char* name;
    const char* inner;  // what the envelope holds
    bool stream;        // a stream-encoded envelope
    const char* stepEnd;
  };
  const fs::path data = root_.path() / "data.txt";
  WriteBytes(data, "data");
  SignWith("user1", data, root_.path() / "detached.p7s", true);
  EnvelopeOf(data, root_.path() / "inner.p7e");
  const Case cases[] = {
      {"d-stream.p7s.p7e", "detached.p7s", true, "содержит отсоединённую подпись вместо присоединённой"},
      {"e-stream.p7s.p7e", "inner.p7e", true, ". Файл зашифрован"},
      {"d-block.p7s.p7e", "detached.p7s", false, "содержит отсоединённую подпись вместо присоединённой"},
      {"e-block.p7s.p7e", "inner.p7e", false, ". Файл зашифрован"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpensslEnveloped(root_.path() / c.inner, in_ / c.name, c.stream);
    EXPECT_EQ(Info(in_ / c.name).flags & ORLAX_MSG_STREAM, c.stream ? ORLAX_MSG_STREAM : 0u);
    const std::string size = std::to_string(fs::file_size(in_ / c.name));
    ASSERT_EQ(Dccx({c.name}), 0u);
    const std::string errors = NewErrors();
    const std::string source = (in_ / c.name).string();
    EXPECT_TRUE(Contains(errors, "Получение информации об ЭП файла '" + source + "' (размер: " + size + ")"))
        << errors;
    EXPECT_TRUE(Contains(errors, c.stepEnd)) << errors;
    if (std::string(c.inner) == "detached.p7s") {
      EXPECT_TRUE(Contains(errors, "Файл " + source + " (размер: " + size + ") содержит")) << errors;
    }
    EXPECT_TRUE(fs::exists(err_ / c.name));
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_TRUE(ScratchLeft().empty());
}

TEST_F(DecryptAndVerifyTest, SignaturesThatDoNotHoldAreRefused) {
  struct Case {
    const char* name;
    DWORD code;  // 0: any code
    const char* text;
  };
  const fs::path data = root_.path() / "data.txt";
  WriteBytes(data, "Договор поставки");
  // A signed message changed before it was encrypted.
  SignWith("user1", data, root_.path() / "tampered.p7s", false);
  Tamper(root_.path() / "tampered.p7s", "Договор");
  EnvelopeOf(root_.path() / "tampered.p7s", in_ / "tampered.p7s.p7e");
  SignWith("revoked", data, root_.path() / "revoked.p7s", false);
  EnvelopeOf(root_.path() / "revoked.p7s", in_ / "revoked.p7s.p7e");
  for (const char* name : {"tampered.p7s.p7e", "revoked.p7s.p7e"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Dccx({name}), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_TRUE(Contains(RecordWith(name), Moved(err_ / name))) << RecordWith(name);
  }
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"revoked.p7s.p7e", "tampered.p7s.p7e"}));
  EXPECT_TRUE(Contains(Errors(), "Владелец: " + pki_.Dn("revoked"))) << Errors();
  EXPECT_TRUE(ScratchLeft().empty());
}

TEST_F(DecryptAndVerifyTest, SignerOnNoListIsRefusedAndAListedOnePasses) {
  const std::string sealed = Seal("a.txt", "content");
  fs::copy_file(in_ / sealed, root_.path() / "kept");
  Rule().signerLists = {{L"Бухгалтерия", {Wide(pki_.Dn("user1"))}}, {L"Директор", {L"CN=nobody"}}};
  ASSERT_EQ(Dccx({sealed}), 0u);
  ExpectRefused(sealed);
  EXPECT_TRUE(Contains(Errors(), ErrorCode(ERR_SIGNER_NOT_LISTED) +
                                     "В ЭП не найдены подписанты из списков подписантов: 'Директор'"))
      << Errors();
  Rule().signerLists.pop_back();
  fs::rename(root_.path() / "kept", in_ / sealed);
  ASSERT_EQ(Dccx({sealed}), 0u);
  EXPECT_EQ(Read(out_ / "a.txt"), "content");
}

TEST_F(DecryptAndVerifyTest, MissingStampIsRefusedOnlyWhenTheProfileSaysSo) {
  profile_.autoVerifyTsp = {1};
  for (int noTspIsError : {0, 1}) {
    SCOPED_TRACE(noTspIsError);
    for (int zipFile : {0, 1}) {
      Rule().zipFile = zipFile;
      const std::string name = "n" + std::to_string(noTspIsError) + std::to_string(zipFile) + ".txt";
      const std::string sealed = Seal(name, "content", "zip");
      profile_.noTspIsError = {noTspIsError};
      ASSERT_EQ(Dccx({sealed}, "zip"), 0u);
      EXPECT_EQ(fs::exists(out_ / name), noTspIsError == 0);
      EXPECT_EQ(fs::exists(err_ / sealed), noTspIsError != 0);
    }
  }
  EXPECT_TRUE(Contains(Errors(), ErrorCode(ORLAX_E_NO_TIME_STAMP))) << Errors();
  EXPECT_TRUE(Contains(Errors(), "Проверка штампов времени ЭП в файле")) << Errors();
  EXPECT_EQ(Listing(out_).size(), 4u);  // two contents, two reports
}

// Two signatures, the first stamped by no one: with "NoTSPisError" only that
// one is listed, under its number, and the record carries its code.
TEST_F(DecryptAndVerifyTest, FailedStampIsListedAloneAmongTwoSignatures) {
  testsupport::LocalHttpServer server;
  UseTimeStamps(server);
  profile_.noTspIsError = {1};
  const fs::path data = root_.path() / "data.txt";
  WriteBytes(data, "two signatures");
  SignWith("user2", data, in_ / "twice.p7s", false);
  ASSERT_EQ(Sgen({"twice.p7s"}, ""), 0u);  // adds user1's stamped signature
  fs::rename(out_ / "twice.p7s.p7e", in_ / "twice.p7s.p7e");
  ASSERT_EQ(Dccx({"twice.p7s.p7e"}), 0u);
  ExpectRefused("twice.p7s.p7e");
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, ErrorCode(ORLAX_E_NO_TIME_STAMP))) << errors;
  EXPECT_TRUE(Contains(errors, "ЭП №: 1\r\nОшибка ORLAX 0xE0700106")) << errors;
  EXPECT_FALSE(Contains(errors, "ЭП №: 2")) << errors;
}

TEST_F(DecryptAndVerifyTest, ArchivesOfOtherThanOneFileAreRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> zipArgs;
    DWORD code;
  };
  const fs::path work = root_.Dir("zipwork");
  const fs::path message = work / "m.p7s";
  WriteBytes(work / "data.txt", "content");
  SignWith("user1", work / "data.txt", message, false);
  WriteBytes(work / "second", "more");
  const fs::path folder = root_.Dir("zipwork/folder");
  const std::string w = work.string() + "/";
  const Case cases[] = {
      {"two.zip.p7e", {"-j", w + "two.zip", message.string(), (work / "second").string()}, ERR_ARCHIVE_NOT_SINGLE},
      {"folder.zip.p7e", {w + "folder.zip", folder.string()}, ERR_ARCHIVE_NOT_SINGLE},
      {"zip64.zip.p7e", {"-j", "-fz", w + "zip64.zip", message.string()}, ZIP_E_CORRUPT},
  };
  Rule().zipFile = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::ProgramResult zipped = testsupport::RunProgram("/usr/bin/zip", c.zipArgs);
    ASSERT_EQ(zipped.exitCode, 0) << zipped.output;
    const std::string archive = c.name;
    EnvelopeOf(work / archive.substr(0, archive.size() - 4), in_ / c.name);
    ASSERT_EQ(Dccx({c.name}, "zip"), 0u);
    const std::string errors = NewErrors();
    EXPECT_TRUE(Contains(errors, ErrorCode(c.code))) << errors;
    EXPECT_TRUE(Contains(errors, "Разархивирование файла")) << errors;
  }
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), (std::vector<std::string>{"folder.zip.p7e", "two.zip.p7e", "zip64.zip.p7e"}));
  EXPECT_TRUE(ScratchLeft().empty());
}

// A failed content or report write takes back everything of the file.
TEST_F(DecryptAndVerifyTest, FullDiskLeavesNoContentAndNoReport) {
  const std::string text = Bytes(200 * 1024, 7);
  for (int zipFile : {0, 1}) {
    SCOPED_TRACE(zipFile);
    Rule().zipFile = zipFile;
    const std::string sealed = Seal("big" + std::to_string(zipFile), text, "zip");
    {
      testsupport::FileSizeLimit limit(64 * 1024);
      ASSERT_EQ(Dccx({sealed}, "zip"), 0u);
    }
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(err_ / sealed));
  }
  EXPECT_TRUE(ScratchLeft().empty());
}

// While a file is signed, encrypted, decrypted or verified, every file that
// holds its plaintext (scratch files in $TMPDIR, the output under its
// temporary name) is its owner's alone: a kill in the middle of writing one
// leaves it 0600. Once whole, the outputs are published with the input's
// permission bits. (In stream mode a kill meets the library's spool first,
// which is anonymous: the stream writer's own test looks at its output.)
TEST_F(DecryptAndVerifyTest, PlaintextBeingWorkedOnIsItsOwnersAloneAndOutputsGetTheInputsBits) {
  constexpr rlim_t kWriteLimit = 64 * 1024;
  const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  const fs::perms inputBits = ownerOnly | fs::perms::group_read;
  const fs::path scratch = root_.path() / "tmp";
  struct Case {
    const char* what;
    bool sgen;
    int stream, zipFile;
    std::string content;
    fs::path where;  // where the file being written when killed lies
  };
  const Case cases[] = {
      {"SGEN in stream mode", true, 1, 0, Bytes(256 * 1024, 4), out_},
      // Zeros: a small archive, a large unpacked message.
      {"DCCX's unpacked signed message", false, 0, 1, std::string(1 << 20, '\0'), scratch},
      {"DCCX in block mode", false, 0, 0, Bytes(256 * 1024, 6), out_},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rule().stream = c.stream;
    Rule().zipFile = c.zipFile;
    const std::string name = "p" + std::to_string(n++) + ".bin";
    std::string input = name;
    if (c.sgen)
      Put(name, c.content);
    else
      input = Seal(name, c.content, "zip");
    fs::permissions(in_ / input, inputBits);
    // A claim of the killed process is taken back by one run and the input
    // processed by the next.
    auto run = [&] { return c.sgen ? Sgen(Listing(in_), "zip") : Dccx(Listing(in_), "zip"); };
    ASSERT_EQ(testsupport::RunKilledMidWrite(kWriteLimit, [&] { run(); }), SIGKILL);

    size_t checked = 0, there = 0;
    for (const fs::path& folder : {scratch, out_}) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string file = entry.path().filename().string();
        const bool work = folder == scratch ? file.rfind("~xx", 0) == 0 : file.size() > 5 && file.substr(file.size() - 5) == ".part";
        if (!work) continue;
        ++checked;
        if (folder == c.where && entry.file_size() > 0) ++there;
        EXPECT_EQ(entry.status().permissions(), ownerOnly) << file;
      }
    }
    EXPECT_GT(there, 0u) << "killed while writing in " << c.where << ": " << testing::PrintToString(Listing(scratch))
                         << testing::PrintToString(Listing(out_));
    for (const std::string& file : ScratchLeft()) fs::remove(scratch / file);

    // The next run of the service takes the killed process's claim back.
    TakeBackAbandonedClaims(Wide(in_.string()));
    for (int again = 0; again < 2 && !Listing(in_).empty(); ++again) ASSERT_EQ(run(), 0u) << Errors();
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(err_), std::vector<std::string>{});
    size_t published = 0;
    for (const std::string& file : Listing(out_)) {
      if (file.size() > 5 && (file.substr(file.size() - 5) == ".part" || file.substr(file.size() - 5) == ".lock")) continue;
      ++published;
      EXPECT_EQ(fs::status(out_ / file).permissions(), inputBits) << file;
      fs::remove(out_ / file);
    }
    EXPECT_EQ(published, c.sgen ? 1u : 2u) << "the output (and the report)";
  }
}

// A changed byte of a MAC cipher's envelope: the plaintext the stream
// decryption handed out is never trusted, the MAC check at its Final refuses
// the file and nothing reaches the output folder.
TEST_F(DecryptAndVerifyTest, TamperedEnvelopeOfAMacCipherIsRefusedInStreamMode) {
  Rule().stream = 1;
  for (int cipher : {2, 4}) {
    SCOPED_TRACE(cipher);
    Rule().encAlgorithm = cipher;
    const std::string sealed = Seal("mac" + std::to_string(cipher) + ".txt", Bytes(300 * 1024, 11));
    std::string bytes = Read(in_ / sealed);
    bytes[bytes.size() / 2] ^= 0x20;
    WriteBytes(in_ / sealed, bytes);
    ASSERT_EQ(Dccx({sealed}), 0u);
    const std::string record = NewErrors();
    EXPECT_TRUE(Contains(record, "Завершение потоковой операции расшифрования файла")) << record;
    EXPECT_TRUE(Contains(record, ErrorCode(ORLAX_E_DECRYPT_FAILED))) << record;
    EXPECT_TRUE(fs::exists(err_ / sealed));
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  }
  EXPECT_TRUE(ScratchLeft().empty());
}

// In stream mode only the first stream pass decrypts (the first pass of a
// stream-encoded envelope, else the stamp pass); the later passes take the
// plaintext it kept. A stamp that fails in the stamp pass, before or after
// that decryption, leaves what it always left: one record of the stamp
// check with its code and stack, the input in the error folder and nothing
// in "Path Out" or the temporary folder.
TEST_F(DecryptAndVerifyTest, FailedStampAfterTheOneDecryptionLeavesWhatItLeft) {
  Rule().stream = 1;
  profile_.autoVerifyTsp = {1};
  profile_.noTspIsError = {1};
  const fs::path data = root_.path() / "data.bin";
  WriteBytes(data, Bytes(70 * 1024, 9));
  for (bool envelopeStream : {true, false}) {
    const std::string name = std::string(envelopeStream ? "stream" : "der") + ".p7s.p7e";
    SCOPED_TRACE(name);
    OpensslSigned(data, root_.path() / "unstamped.p7s", true);
    OpensslEnveloped(root_.path() / "unstamped.p7s", in_ / name, envelopeStream);
    const std::string size = std::to_string(fs::file_size(in_ / name));
    ASSERT_EQ(Dccx({name}), 0u);
    const std::string record = NewErrors();
    EXPECT_TRUE(Contains(record, "Ошибка ORLAX" + ErrorCode(ORLAX_E_NO_TIME_STAMP) +
                                     "Подпись не содержит штампа времени. Правило 1 ('Проба'). Профиль справочника : "
                                     "'Тест'. Завершение потоковой операции проверки штампов времени ЭП в файле " +
                                     (in_ / name).string() + " (размер: " + size + ")\r\n\r\nЭП №: 1\r\nОшибка ORLAX" +
                                     ErrorCode(ORLAX_E_NO_TIME_STAMP) + "Подпись не содержит штампа времени\r\n"))
        << record;
    EXPECT_TRUE(Contains(record, "ORLAX стек")) << record;
    EXPECT_EQ(RecordsWith(Moved(err_ / name)).size(), 1u);
    ExpectRefused(name);
    fs::remove(err_ / name);
  }
}

// The same for a signature that does not hold: the verification pass takes
// the kept plaintext and refuses the file as it did when it decrypted again.
TEST_F(DecryptAndVerifyTest, FailedSignatureAfterTheOneDecryptionLeavesWhatItLeft) {
  Rule().stream = 1;
  const fs::path data = root_.path() / "data.txt";
  WriteBytes(data, "Договор поставки " + Bytes(70 * 1024, 3));
  OpensslSigned(data, root_.path() / "tampered.p7s", true);
  Tamper(root_.path() / "tampered.p7s", "Договор");
  for (int stamps : {0, 1}) {
    profile_.autoVerifyTsp = {stamps};
    for (bool envelopeStream : {true, false}) {
      const std::string name = std::string(envelopeStream ? "stream" : "der") + std::to_string(stamps) + ".p7s.p7e";
      SCOPED_TRACE(name);
      OpensslEnveloped(root_.path() / "tampered.p7s", in_ / name, envelopeStream);
      const std::string size = std::to_string(fs::file_size(in_ / name));
      ASSERT_EQ(Dccx({name}), 0u);
      const std::string record = NewErrors();
      EXPECT_TRUE(Contains(record, "Ошибка ORLAX" + ErrorCode(ORLAX_E_SIGNATURE_INVALID) +
                                       "Подпись неверна. Правило 1 ('Проба'). Профиль справочника : 'Тест'. "
                                       "Завершение потоковой операции проверки ЭП файла '" +
                                       (in_ / name).string() + "' (размер: " + size + ")\r\nЭП №: 1\r\n" +
                                       "Ошибка ORLAX" + ErrorCode(ORLAX_E_SIGNATURE_INVALID) + "Подпись неверна\r\nВладелец: " +
                                       pki_.Dn("user1") + "\r\n"))
          << record;
      EXPECT_FALSE(Contains(record, "ORLAX стек")) << record;
      EXPECT_EQ(RecordsWith(Moved(err_ / name)).size(), 1u);
      ExpectRefused(name);
      fs::remove(err_ / name);
    }
  }
}

// Every library call of every path failing once: the record names the step,
// and carries the library's stack where the path's rules say so (the stream
// passes: failures of the chunk loop and of the stamp checks).
TEST_F(DecryptAndVerifyTest, EveryLibraryCallFailingRefusesTheFile) {
  enum class Input {
    kBlock,               // SGEN in block mode: both layers DER
    kStream,              // SGEN in stream mode: both layers stream-encoded
    kStreamInDerEnvelope  // openssl: a stream-encoded signed message in a DER envelope
  };
  struct Case {
    const char* failing;
    Input input;
    int zipFile;
    bool stamps;  // "AutoVerifyTSP"
    const char* stepText;
    bool stack;
  };
  const Case cases[] = {
      {"ORLAX_CmsStrMsgInfFile", Input::kBlock, 0, true, "Получение информации о зашифрованном файле", true},
      {"ORLAX_CmsBlkDecryptMem", Input::kBlock, 0, true, "Профиль справочника : 'Тест'. Расшифрование файла", true},
      {"ORLAX_CmsBlkMsgInfMem", Input::kBlock, 0, true, "Получение информации об ЭП файла", true},
      {"ORLAX_DecryptMem", Input::kBlock, 0, true, "Профиль справочника : 'Тест'. Расшифрование файла", true},
      {"ORLAX_TspBlkVerifyCmsMem", Input::kBlock, 0, true, "Проверка штампов времени ЭП", true},
      {"ORLAX_CmsBlkAttVerifyMem", Input::kBlock, 0, true, "", true},
      // Pass 1 (one chunk: the decryption Init takes it, the rest is the closing run).
      {"ORLAX_CmsStrDecryptInitMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции расшифрования файла", true},
      {"ORLAX_CmsStrDecryptUpdateMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции расшифрования файла", false},
      {"ORLAX_CmsStrDecryptFinalMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Завершение потоковой операции расшифрования файла", false},
      {"ORLAX_CmsStrMsgInfInitMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции получения информации об ЭП файла", false},
      {"ORLAX_CmsStrMsgInfUpdateMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции получения информации об ЭП файла", false},
      {"ORLAX_CmsStrMsgInfFinalMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Завершение потоковой операции получения информации об ЭП файла", false},
      // Pass 2.
      {"ORLAX_TspStrVerifyCmsInitMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции проверки штампа времени ЭП № 1 в файле", true},
      {"ORLAX_TspStrVerifyCmsUpdateMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции проверки штампа времени ЭП № 1 в файле",
       true},
      {"ORLAX_TspStrVerifyCmsFinalMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Завершение потоковой операции проверки штампов времени ЭП в файле", true},
      // Pass 2 and pass 3 after a block first pass (their decryption is the first stream one).
      {"ORLAX_CmsStrDecryptInitMem", Input::kStreamInDerEnvelope, 0, true,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции расшифрования файла", true},
      {"ORLAX_CmsStrDecryptUpdateMem", Input::kStreamInDerEnvelope, 0, true,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции расшифрования файла", false},
      {"ORLAX_CmsStrDecryptInitMem", Input::kStreamInDerEnvelope, 0, false,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции расшифрования файла", true},
      {"ORLAX_CmsStrDecryptUpdateMem", Input::kStreamInDerEnvelope, 0, false,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции расшифрования файла", false},
      {"ORLAX_CmsStrDecryptFinalMem", Input::kStreamInDerEnvelope, 0, false,
       "Профиль справочника : 'Тест'. Завершение потоковой операции расшифрования файла", false},
      // Pass 3.
      {"ORLAX_CmsStrAttVerifyInitMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Инициализация потоковой операции проверки ЭП файла", false},
      {"ORLAX_CmsStrAttVerifyUpdateMem", Input::kStream, 0, true,
       "Профиль справочника : 'Тест'. Обновление данных потоковой операции проверки ЭП файла", false},
      {"ORLAX_CmsStrAttVerifyFinalMem", Input::kStream, 0, false,
       "Профиль справочника : 'Тест'. Завершение потоковой операции проверки ЭП файла", false},
      // Archives.
      {"ORLAX_CmsStrDecryptFile", Input::kBlock, 1, true, "Профиль справочника : 'Тест'. Расшифрование файла", true},
      {"ORLAX_TspStrVerifyCmsFile", Input::kStream, 1, true, "Проверка штампов времени ЭП", true},
      {"ORLAX_CmsStrAttVerifyFile", Input::kBlock, 2, true, "", true},
  };
  testsupport::LocalHttpServer server;
  UseTimeStamps(server);
  const fs::path data = root_.path() / "data.bin";
  WriteBytes(data, "content");
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failing) + " input " + std::to_string(static_cast<int>(c.input)) + " zip " +
                 std::to_string(c.zipFile) + (c.stamps ? " stamps" : ""));
    Rule().stream = c.input == Input::kStream ? 1 : 0;
    Rule().zipFile = c.zipFile;
    profile_.autoVerifyTsp = {c.stamps ? 1 : 0};
    std::string sealed;
    if (c.input == Input::kStreamInDerEnvelope) {
      sealed = "f" + std::to_string(n++) + ".txt.p7s.p7e";
      OpensslSigned(data, root_.path() / "signed.p7s", true);
      OpensslEnveloped(root_.path() / "signed.p7s", in_ / sealed, false);
    } else {
      sealed = Seal("f" + std::to_string(n++) + ".txt", "content", "zip");
    }
    {
      FailingCall failing(std::string(c.failing) + "=0xE0700777");
      ASSERT_EQ(Dccx({sealed}, "zip"), 0u);
    }
    const std::string record = NewErrors();
    EXPECT_TRUE(Contains(record, ErrorCode(0xE0700777))) << record;
    EXPECT_EQ(Contains(record, "ORLAX стек"), c.stack) << record;
    EXPECT_TRUE(Contains(record, std::string("Правило 1 ('Проба'). ") + c.stepText)) << record;
    EXPECT_EQ(RecordsWith(Moved(err_ / sealed)).size(), 1u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(err_ / sealed));
  }
  EXPECT_TRUE(ScratchLeft().empty());
}

}  // namespace
}  // namespace cryptoops
