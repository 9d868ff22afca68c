// CHCK in the running service: a good and a tampered signed file dropped into
// the rule's input folder end in the output and the error folder, each with
// its journal record, and only the verified one is reported. RESG in the
// running service: a detached pair verified and signed anew by a second
// directory profile, streamed, into an attached signature.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::RunMirelservice;
using testsupport::WaitUntil;

class VerifyingService : public ::testing::Test {
 protected:
  void TearDown() override {
    RunMirelservice({"stop", profile_.profile()});
    RunMirelservice({"delete", profile_.profile()});
  }

  // A folder of the test named `name` holding the shared PKI's LOCAL folder,
  // or the PSE of `who`.
  fs::path LocalFolder(const std::string& name) {
    const fs::path local = root_.Dir(name);
    for (const auto& entry : fs::directory_iterator(pki_.local))
      fs::copy_file(entry.path(), local / entry.path().filename());
    return local;
  }
  fs::path PseFolder(const std::string& name, const std::string& who) {
    const fs::path pse = root_.Dir(name);
    fs::copy_file(pki_.Key(who), pse / "key.pem");
    fs::copy_file(pki_.Cert(who), pse / "cert.pem");
    return pse;
  }

  // An attached signature of `content` by the shared PKI's user1, written
  // beside the input folder first and then moved in whole, so the service
  // never lists a half-written file.
  void DropSigned(const fs::path& inbox, const std::string& name, const std::string& content, bool tamper) {
    const fs::path data = root_.path() / (name + ".data");
    const fs::path staged = root_.path() / name;
    std::ofstream(data, std::ios::binary) << content;
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl({"cms", "-sign", "-nodetach", "-binary", "-md", "md_gost12_256", "-signer",
                                       pki_.Cert("user1").string(), "-inkey", pki_.Key("user1").string(), "-in",
                                       data.string(), "-outform", "DER", "-out", staged.string()},
                                      &log),
              0)
        << log;
    if (tamper) {
      std::string bytes = ReadFileBytes(staged);
      size_t at = bytes.find(content);
      ASSERT_NE(at, std::string::npos);
      bytes[at] ^= 0x01;
      std::ofstream(staged, std::ios::binary | std::ios::trunc) << bytes;
    }
    fs::rename(staged, inbox / name);
  }

  const testsupport::TestPki& pki_ = testsupport::TestPki::Shared();
  testsupport::TempRoot root_;
  testsupport::ProfileWriter profile_{"Verify"};
};

TEST_F(VerifyingService, GoodFileReachesTheOutputAndTamperedFileTheErrorFolder) {
  const fs::path logs = root_.Dir("logs"), in = root_.Dir("in"), out = root_.Dir("out"), err = root_.Dir("err");
  const fs::path local = LocalFolder("local"), pse = PseFolder("pse", "user1");

  profile_.SignatureExtension("p7s").ReportExtension("vrf").Usual(logs, {"Банк"}).NotCopyToLocal(1);
  profile_.Dword("Verify File", 1);
  profile_.Rule("Rule 1", "CHCK", in, out, err, "*.p7s", "Банк", pse, local).Description("проверка");

  DropSigned(in, "good.p7s", "Платёжное поручение №1", false);
  DropSigned(in, "bad.p7s", "Платёжное поручение №2", true);
  const std::string goodBytes = ReadFileBytes(in / "good.p7s");
  const std::string badBytes = ReadFileBytes(in / "bad.p7s");

  ASSERT_EQ(RunMirelservice({"install", profile_.profile()}).exitCode, 0);
  auto started = RunMirelservice({"start", profile_.profile()});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(out / "good.p7s") && fs::exists(err / "bad.p7s"); }))
      << testsupport::ReadJournals(logs);
  EXPECT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);

  EXPECT_EQ(ReadFileBytes(out / "good.p7s"), goodBytes);
  EXPECT_EQ(ReadFileBytes(err / "bad.p7s"), badBytes);
  EXPECT_TRUE(fs::is_empty(in));
  EXPECT_TRUE(fs::exists(out / "good.p7s.vrf"));
  EXPECT_FALSE(fs::exists(out / "bad.p7s"));
  EXPECT_FALSE(fs::exists(out / "bad.p7s.vrf"));
  EXPECT_NE(ReadFileBytes(out / "good.p7s.vrf").find("Владелец: " + pki_.Dn("user1") + "\r\n"), std::string::npos);

  const std::string journals = testsupport::ReadJournals(logs);
  const std::string prefix = "Правило 1 ('проверка'). Профиль справочника : 'Банк' | Проверка ЭП файла '";
  EXPECT_NE(journals.find("| Профиль: Verify | Успех | " + prefix + (in / "good.p7s").string() +
                          "' (размер: " + std::to_string(goodBytes.size()) + ")\r\n"),
            std::string::npos)
      << journals;
  EXPECT_NE(journals.find("| Профиль: Verify | Ошибка | " + prefix + (in / "bad.p7s").string() +
                          "' (размер: " + std::to_string(badBytes.size()) +
                          "). Файл перемещен в каталог ошибок под именем " + (err / "bad.p7s").string() + "\r\n"),
            std::string::npos)
      << journals;
  EXPECT_NE(journals.find("| Ошибка ORLAX 0xE0700040 - "), std::string::npos) << journals;
}

TEST_F(VerifyingService, DetachedPairIsReSignedByTheSecondDirectoryProfile) {
  const fs::path logs = root_.Dir("logs"), in = root_.Dir("in"), out = root_.Dir("out"), err = root_.Dir("err");
  const fs::path local = LocalFolder("local"), pse = PseFolder("pse", "user1"), pse2 = PseFolder("pse2", "user2");

  profile_.SignatureExtension("p7s").DetachedSignatureExtension("p7d").Usual(logs, {"Банк"}).NotCopyToLocal(1);
  profile_.Rule("Rule 1", "RESG", in, out, err, "*.*", "Банк", pse, local)
      .Description("переподпись")
      .Text("ResignProfile", "Второй")
      .Text("PSE2", pse2.string())
      .Text("LOCAL2", local.string())
      .Dword("In format det", 1);

  // The signature arrives first and waits for its data file.
  const std::string content = "Акт приёма-передачи";
  const fs::path data = root_.path() / "act.txt";
  std::ofstream(data, std::ios::binary) << content;
  std::string log;
  ASSERT_EQ(testsupport::RunOpenssl({"cms", "-sign", "-binary", "-md", "md_gost12_256", "-signer",
                                     pki_.Cert("user1").string(), "-inkey", pki_.Key("user1").string(), "-in",
                                     data.string(), "-outform", "DER", "-out", (root_.path() / "act.txt.p7d").string()},
                                    &log),
            0)
      << log;
  fs::rename(root_.path() / "act.txt.p7d", in / "act.txt.p7d");
  ASSERT_EQ(RunMirelservice({"install", profile_.profile()}).exitCode, 0);
  auto started = RunMirelservice({"start", profile_.profile()});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  fs::rename(data, in / "act.txt");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(out / "act.txt.p7s") && fs::is_empty(in); }))
      << testsupport::ReadJournals(logs);
  EXPECT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);

  EXPECT_TRUE(fs::is_empty(err));
  // The new message carries user2's signature alone, over the same content.
  const fs::path verified = root_.path() / "verified", signers = root_.path() / "signers.pem";
  ASSERT_EQ(testsupport::RunOpenssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", (out / "act.txt.p7s").string(),
                                     "-CAfile", pki_.Cert("ca").string(), "-purpose", "any", "-signer",
                                     signers.string(), "-out", verified.string()},
                                    &log),
            0)
      << log;
  EXPECT_EQ(ReadFileBytes(verified), content);
  EXPECT_EQ(ReadFileBytes(signers), ReadFileBytes(pki_.Cert("user2")));
  const std::string journals = testsupport::ReadJournals(logs);
  EXPECT_NE(journals.find("| Профиль: Verify | Успех | Правило 1 ('переподпись'). Профиль справочника : 'Банк' | "
                          "Переподписание с проверкой отсоединённой ЭП '" +
                          (in / "act.txt.p7d").string() + "'"),
            std::string::npos)
      << journals;
}

}  // namespace
