// The certificate search that the encrypting rules run before their
// operation, through the running service: a recipient that cannot be found
// sends every listed file to the error folder with one record for the rule,
// and nothing is encrypted for fewer recipients than the rule names.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadJournals;
using testsupport::RunMirelservice;
using testsupport::WaitUntil;

class RecipientSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    const testsupport::TestPki& pki = testsupport::TestPki::Shared();
    logs_ = root_.Dir("logs");
    in_ = root_.Dir("in");
    out_ = root_.Dir("out");
    err_ = root_.Dir("err");
    profile_.Usual(logs_, {"Банк"});
    profile_.Rule("Rule 1", "ENCR", in_, out_, err_, "*.*", "Банк", pki.Pse("user1"), pki.local);
    root_.WriteFile("in/a.txt", "первый");
    root_.WriteFile("in/b.txt", "второй");
  }
  void TearDown() override {
    RunMirelservice({"stop", "Main"});
    RunMirelservice({"delete", "Main"});
  }

  void Recipients(const std::vector<std::string>& dns) {
    profile_.Rule("Rule 1").Recipients(dns);
  }

  void RunUntilFilesLeave() {
    ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);
    auto start = RunMirelservice({"start", "Main"});
    ASSERT_EQ(start.exitCode, 0) << start.output;
    ASSERT_TRUE(WaitUntil([&] { return fs::is_empty(in_); })) << ReadJournals(logs_);
    EXPECT_EQ(RunMirelservice({"stop", "Main"}).exitCode, 0);
  }

  testsupport::TempRoot root_;
  fs::path logs_, in_, out_, err_;
  testsupport::ProfileWriter profile_{"Main"};
};

TEST_F(RecipientSearch, UnknownSecondRecipientSendsEveryFileToTheErrorFolderWithOneRecord) {
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  const std::string missing = "CN=Нет Такого, O=Тестовый Банк, C=RU";
  Recipients({pki.Dn("user1"), missing});
  RunUntilFilesLeave();

  EXPECT_TRUE(fs::exists(err_ / "a.txt"));
  EXPECT_TRUE(fs::exists(err_ / "b.txt"));
  EXPECT_TRUE(fs::is_empty(out_)) << "nothing is encrypted for fewer recipients";
  std::string journals = ReadJournals(logs_);
  std::string record = "Правило 1. Поиск сертификата '" + missing + "' для шифрования файлов в папке '" +
                       in_.string() + "'. Перемещение 2 файлов из папки '" + in_.string() +
                       "' в каталог ошибок '" + err_.string() + "'";
  EXPECT_NE(journals.find("| Ошибка | " + record), std::string::npos) << journals;
  // The search's own error stack follows the record in the errors journal.
  EXPECT_NE(journals.find("Data: " + missing), std::string::npos) << journals;
}

TEST_F(RecipientSearch, KnownRecipientsLetTheFilesThrough) {
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  Recipients({pki.Dn("user1"), pki.Dn("user2")});
  RunUntilFilesLeave();
  EXPECT_TRUE(fs::exists(out_ / "a.txt.p7e"));
  EXPECT_TRUE(fs::exists(out_ / "b.txt.p7e"));
  EXPECT_TRUE(fs::is_empty(err_));
  EXPECT_NE(ReadJournals(logs_).find("(количество получателей - 2, сертификатов - 2)"), std::string::npos)
      << ReadJournals(logs_);
}

}  // namespace
