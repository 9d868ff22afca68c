// The encryption, decryption, signing and removal rules in the running
// service: a profile in the private registry, a chain of rules whose outputs
// feed the next ones, files dropped in, the results read once they appear.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <algorithm>
#include <string>

#include "tests/support/http_server.h"
#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::RunMirelservice;
using testsupport::WaitUntil;

class CryptoRulesInTheService : public ::testing::Test {
 protected:
  void TearDown() override {
    RunMirelservice({"stop", profile_.profile()});
    RunMirelservice({"delete", profile_.profile()});
  }

  // The directory profiles of the service's own: copies, since the service
  // may write to LOCAL.
  void CopyDirectoryProfiles() {
    local_ = root_.Dir("local");
    for (const auto& entry : fs::directory_iterator(pki_.local))
      fs::copy_file(entry.path(), local_ / entry.path().filename());
    for (const char* who : {"user1", "user2"}) {
      fs::path pse = root_.Dir(std::string("pse-") + who);
      fs::copy_file(pki_.Key(who), pse / "key.pem");
      fs::copy_file(pki_.Cert(who), pse / "cert.pem");
    }
  }

  // A rule of the directory profile "Demo" (user1) or "Second" (user2).
  testsupport::RuleWriter Rule(int n, const std::string& operation, const std::string& in, const std::string& out,
                               const std::string& mask = "*.*", const std::string& directoryProfile = "Demo") {
    const fs::path pse = root_.path() / (directoryProfile == "Demo" ? "pse-user1" : "pse-user2");
    return profile_
        .Rule("Rule " + std::to_string(n), operation, root_.Dir(in), root_.Dir(out), root_.Dir("err"), mask,
              directoryProfile, pse, local_)
        .Description(operation);
  }

  bool Exists(const std::string& relative) const { return fs::exists(root_.path() / relative); }
  std::string Read(const std::string& relative) const { return ReadFileBytes(root_.path() / relative); }

  const testsupport::TestPki& pki_ = testsupport::TestPki::Shared();
  testsupport::TempRoot root_;
  testsupport::ProfileWriter profile_{"Crypto"};
  fs::path local_;
};

TEST_F(CryptoRulesInTheService, FilesTravelThroughEncryptionSigningAndBack) {
  CopyDirectoryProfiles();
  const fs::path logs = root_.Dir("logs");
  profile_.Usual(logs, {"Demo", "Second"});

  Rule(1, "ENCR", "encr-in", "encrypted").Recipients({pki_.Dn("user1")}).EncryptionAlgorithm(4).Archive(1);
  Rule(2, "LDEC", "encrypted", "decrypted", "*.p7e").Archive(1);
  Rule(3, "SIGN", "sign-in", "signed");
  Rule(4, "DELS", "signed", "unsigned", "*.p7s");
  // The second signer adds to the first one's detached signature.
  Rule(5, "CDSG", "cdsg-in", "dsig-in", "*.*", "Second");
  Rule(6, "DSIG", "dsig-in", "dsig-out");

  std::mt19937 generator(5);
  std::string payment(400 * 1024, '\0');
  for (char& c : payment) c = static_cast<char>(generator());
  std::ofstream(root_.Dir("encr-in") / "payment.bin", std::ios::binary) << payment;
  std::ofstream(root_.Dir("sign-in") / "contract.txt", std::ios::binary) << "Договор";
  std::ofstream(root_.Dir("cdsg-in") / "memo.txt", std::ios::binary) << "Служебная записка";

  ASSERT_EQ(RunMirelservice({"install", "Crypto"}).exitCode, 0);
  auto started = RunMirelservice({"start", "Crypto"});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  const bool done = WaitUntil(
      [&] {
        return Exists("decrypted/payment.bin") && Exists("unsigned/contract.txt") &&
               Exists("dsig-out/memo.txt.p7d") && Exists("dsig-out/memo.txt");
      },
      std::chrono::seconds(60));
  EXPECT_EQ(RunMirelservice({"stop", "Crypto"}).exitCode, 0);
  const std::string journals = testsupport::ReadJournals(logs);
  ASSERT_TRUE(done) << journals;

  EXPECT_EQ(Read("decrypted/payment.bin"), payment);
  EXPECT_EQ(Read("unsigned/contract.txt"), "Договор");
  EXPECT_EQ(Read("dsig-out/memo.txt"), "Служебная записка");
  std::string log;
  EXPECT_EQ(testsupport::RunOpenssl({"cms", "-verify", "-binary", "-inform", "DER", "-in",
                                     (root_.path() / "dsig-out/memo.txt.p7d").string(), "-content",
                                     (root_.path() / "dsig-out/memo.txt").string(), "-CAfile",
                                     pki_.Cert("ca").string(), "-purpose", "any", "-out", "/dev/null"},
                                    &log),
            0)
      << log;
  EXPECT_TRUE(fs::is_empty(root_.path() / "err"));
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
  EXPECT_NE(journals.find("Правило 1 ('ENCR'). Профиль справочника : 'Demo' | Архивация и зашифрование файла"),
            std::string::npos)
      << journals;
  EXPECT_NE(journals.find("(Алгоритм шифрования: ГОСТ Р 34.12-2015 Кузнечик с имитовставкой)"), std::string::npos);
  EXPECT_NE(journals.find("Правило 6 ('DSIG'). Профиль справочника : 'Demo' | Добавление отсоединённой ЭП"),
            std::string::npos);
}

// SGEN rules of both modes in the running service: a stamped ZIP in stream
// mode, GZIP in block mode; openssl opens what they write and verifies the
// signature inside. (openssl meshes the ACPKM ciphers' keys its own way past
// their first kilobytes: the outputs stay small or use GOST 28147-89.)
TEST_F(CryptoRulesInTheService, SignAndEncryptRulesWriteWhatOpensslOpens) {
  CopyDirectoryProfiles();
  testsupport::LocalHttpServer tsa;
  tsa.EnableTimeStamping(pki_, "/tsa/");
  const fs::path logs = root_.Dir("logs");
  profile_.ZipExtension("zip").GzipExtension("gz").Usual(logs, {"Demo"}).TimeStamps({tsa.Url("/tsa")}, {"1"});
  Rule(1, "SGEN", "sgen-stream", "sgen-out")
      .Recipients({pki_.Dn("user2")})
      .EncryptionAlgorithm(3)
      .StreamMode()
      .Archive(1);
  Rule(2, "SGEN", "sgen-block", "sgen-out").Recipients({pki_.Dn("user2")}).EncryptionAlgorithm(0).Archive(2);
  std::ofstream(root_.Dir("sgen-stream") / "report.txt", std::ios::binary) << "Отчёт за квартал";
  std::ofstream(root_.Dir("sgen-block") / "letter.txt", std::ios::binary) << "Письмо";

  ASSERT_EQ(RunMirelservice({"install", "Crypto"}).exitCode, 0);
  auto started = RunMirelservice({"start", "Crypto"});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  const bool done = WaitUntil(
      [&] { return Exists("sgen-out/report.txt.p7s.zip.p7e") && Exists("sgen-out/letter.txt.p7s.gz.p7e"); },
      std::chrono::seconds(60));
  EXPECT_EQ(RunMirelservice({"stop", "Crypto"}).exitCode, 0);
  const std::string journals = testsupport::ReadJournals(logs);
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
  EXPECT_TRUE(fs::is_empty(root_.path() / "sgen-stream"));
  EXPECT_TRUE(fs::is_empty(root_.path() / "sgen-block"));

  struct Output {
    const char* file;
    const char* unpack;  // the command that checks and opens the archive
    const char* content;
  };
  for (const Output& o : {Output{"report.txt.p7s.zip.p7e", "unzip", "Отчёт за квартал"},
                          Output{"letter.txt.p7s.gz.p7e", "gzip", "Письмо"}}) {
    SCOPED_TRACE(o.file);
    const fs::path archive = root_.path() / "opened", message = root_.path() / "message.p7s";
    std::string log;
    ASSERT_EQ(testsupport::RunOpenssl({"cms", "-decrypt", "-binary", "-inform", "DER", "-in",
                                       (root_.path() / "sgen-out" / o.file).string(), "-recip",
                                       pki_.Cert("user2").string(), "-inkey", pki_.Key("user2").string(), "-out",
                                       archive.string()},
                                      &log),
              0)
        << log;
    const bool zip = std::string(o.unpack) == "unzip";
    EXPECT_EQ(testsupport::RunProgram(zip ? "/usr/bin/unzip" : "/usr/bin/gzip", {zip ? "-tq" : "-t", archive.string()})
                  .exitCode,
              0);
    std::ofstream(message, std::ios::binary)
        << testsupport::RunProgram(zip ? "/usr/bin/unzip" : "/usr/bin/gzip", {zip ? "-p" : "-dc", archive.string()})
               .output;
    const fs::path content = root_.path() / "content";
    ASSERT_EQ(testsupport::RunOpenssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", message.string(),
                                       "-CAfile", pki_.Cert("ca").string(), "-purpose", "any", "-out",
                                       content.string()},
                                      &log),
              0)
        << log;
    EXPECT_EQ(ReadFileBytes(content), o.content);
  }
}

// One file's road: SGEN rules (block and stamped, stream and zipped) write
// for user2, DCCX rules of user2's directory profile take their outputs from
// the same folder and give the contents back with their reports, the signer
// list met; the signer list of a third rule names nobody who signed, so its
// file goes to the error folder and nothing of it reaches its output.
TEST_F(CryptoRulesInTheService, DecryptAndVerifyRulesGiveBackWhatSignAndEncryptRulesWrote) {
  CopyDirectoryProfiles();
  testsupport::LocalHttpServer tsa;
  tsa.EnableTimeStamping(pki_, "/tsa/");
  const fs::path logs = root_.Dir("logs");
  profile_.ZipExtension("zip")
      .Usual(logs, {"Demo", "Second"})
      .TimeStamps({tsa.Url("/tsa"), tsa.Url("/tsa")}, {"1", "0"}, {"0", "1"})
      .Dword("Verify x file", 1);
  Rule(1, "SGEN", "sgen-block", "sealed").Recipients({pki_.Dn("user2")});
  Rule(2, "SGEN", "sgen-stream", "sealed").Recipients({pki_.Dn("user2")}).StreamMode().Archive(1);
  Rule(3, "DCCX", "sealed", "opened", "*.txt.p7s.p7e", "Second").Signers("Отправители", {pki_.Dn("user1")});
  Rule(4, "DCCX", "sealed", "opened", "*.zip.p7e", "Second").Archive(1).Signers("Отправители", {pki_.Dn("user1")});
  Rule(5, "SGEN", "sgen-other", "sealed-other").Recipients({pki_.Dn("user2")});
  Rule(6, "DCCX", "sealed-other", "opened-other", "*.*", "Second").Signers("Директор", {pki_.Dn("user2")});
  std::ofstream(root_.Dir("sgen-block") / "letter.txt", std::ios::binary) << "Письмо";
  std::string report(300 * 1024, '\0');
  std::mt19937 generator(7);
  for (char& c : report) c = static_cast<char>(generator());
  std::ofstream(root_.Dir("sgen-stream") / "report.txt", std::ios::binary) << report;
  std::ofstream(root_.Dir("sgen-other") / "memo.txt", std::ios::binary) << "Записка";

  ASSERT_EQ(RunMirelservice({"install", "Crypto"}).exitCode, 0);
  auto started = RunMirelservice({"start", "Crypto"});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  const bool done = WaitUntil(
      [&] {
        return Exists("opened/letter.txt") && Exists("opened/report.txt") && Exists("err/memo.txt.p7s.p7e");
      },
      std::chrono::seconds(60));
  EXPECT_EQ(RunMirelservice({"stop", "Crypto"}).exitCode, 0);
  const std::string journals = testsupport::ReadJournals(logs);
  ASSERT_TRUE(done) << journals;

  EXPECT_EQ(Read("opened/letter.txt"), "Письмо");
  EXPECT_TRUE(Read("opened/report.txt") == report);
  EXPECT_TRUE(fs::is_empty(root_.path() / "sealed"));
  EXPECT_TRUE(fs::is_empty(root_.path() / "opened-other"));
  std::vector<std::string> opened;
  for (const auto& entry : fs::directory_iterator(root_.path() / "opened"))
    opened.push_back(entry.path().filename().string());
  std::sort(opened.begin(), opened.end());
  EXPECT_EQ(opened, (std::vector<std::string>{"letter.txt", "letter.txt.p7s.p7e.vrf", "report.txt",
                                              "report.txt.p7s.zip.p7e.vrf"}));
  // The stamp the first rule put on shows in the report of the second.
  const std::string letterReport = Read("opened/letter.txt.p7s.p7e.vrf");
  EXPECT_EQ(letterReport.rfind("Количество ЭП: 1\r\nЭП №: 1\r\nВладелец: " + pki_.Dn("user1") + "\r\n", 0), 0u)
      << letterReport;
  EXPECT_NE(letterReport.find("Время простановки штампа времени: "), std::string::npos) << letterReport;
  EXPECT_NE(journals.find("Правило 4 ('DCCX'). Профиль справочника : 'Second' | Расшифрование, распаковка и проверка "
                          "ЭП файла"),
            std::string::npos)
      << journals;
  EXPECT_NE(journals.find("В ЭП не найдены подписанты из списков подписантов: 'Директор'"), std::string::npos)
      << journals;
}

}  // namespace
