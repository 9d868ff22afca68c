// The running service, as root, on folders an unprivileged user ("nobody")
// owns: each folder a rule works in, replaced by that user's link to a
// folder only root may use, is never written, read, renamed into or deleted
// from, and the rule waits with the missing-folder record.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/service/operations/file_rules_service_fixture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::WaitUntil;

constexpr uid_t kNobody = 65534;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class UsersFoldersInTheService : public servicetest::FileRulesServiceTest {
 protected:
  UsersFoldersInTheService() : FileRulesServiceTest("Users") {}

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "another user's links are made as root (the tests run as root in CI)";
    FileRulesServiceTest::SetUp();
    // The root is root's alone, so that only what lies in the user's home
    // is the user's to change.
    fs::permissions(root_.path(), fs::perms::owner_all);
    fs::create_directories(Path("secret"));
    fs::permissions(Path("secret"), fs::perms::owner_all);
    Write("secret/key", "root's key");
    fs::permissions(Path("secret/key"), fs::perms::owner_read | fs::perms::owner_write);
  }

  // A folder of the user's home, made and given to the user.
  std::string Home(const std::string& name) {
    const std::string relative = "home/" + name;
    fs::create_directories(Path(relative));
    EXPECT_EQ(chown(Path("home").c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(chown(Path(relative).c_str(), kNobody, kNobody), 0);
    return relative;
  }
  // What the user can do to a folder of its home: put a link to root's
  // folder in its place.
  void ReplaceByUsersLink(const std::string& relative) {
    if (fs::exists(Path(relative))) fs::rename(Path(relative), Path(relative + ".moved"));
    fs::create_directory_symlink(Path("secret"), Path(relative));
    ASSERT_EQ(lchown(Path(relative).c_str(), kNobody, kNobody), 0);
  }
  void ExpectSecretUntouched() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Path("secret"))) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{"key"});
    EXPECT_EQ(Read("secret/key"), "root's key");
    struct stat st {};
    ASSERT_EQ(stat(Path("secret/key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  std::string Journals() const { return testsupport::ReadJournals(logs_); }
  // The rule's record of a folder it waits for: the link's refusal (1921).
  std::string FolderRecord(int rule, const std::string& step, const std::string& relative) const {
    return "Правило " + std::to_string(rule) + ". " + step + " '" + Path(relative).string() + "'";
  }
};

// Before the run, each folder of a rule replaced by the user's link: the
// rule waits with one missing-folder record naming that folder, root's
// folder keeps its key alone, and a rule on the user's own folders runs.
TEST_F(UsersFoldersInTheService, ARuleWhoseFolderIsAUsersLinkWaitsWithARecord) {
  struct Case {
    const char* operation;
    const char* replaced;  // "in", "out", "err" or "copy"
    const char* step;
  };
  const Case cases[] = {
      {"B64E", "in", "Проверка входного каталога"},
      {"B64E", "out", "Проверка выходного каталога"},
      {"B64E", "err", "Проверка каталога ошибок"},
      {"MOVE", "in", "Проверка входного каталога"},
      {"MOVE", "out", "Проверка выходного каталога"},
      {"MOVE", "copy", "Проверка доп. выходного каталога"},
      {"DELE", "in", "Проверка входного каталога"},
  };
  int n = 0;
  for (const Case& c : cases) {
    ++n;
    const std::string prefix = "r" + std::to_string(n) + "-";
    const std::string in = Home(prefix + "in"), out = Home(prefix + "out"), err = Home(prefix + "err"),
                      copy = Home(prefix + "copy");
    auto rule = profile_.Rule("Rule " + std::to_string(n), c.operation, Path(in), Path(out), Path(err), "*.*",
                              "Demo", pse_, local_);
    if (std::string(c.operation) == "MOVE") rule.CopyFolder(Path(copy));
    Write(in + "/file.txt", "user's file");
    ReplaceByUsersLink("home/" + prefix + c.replaced);
  }
  const std::string in = Home("ok-in"), out = Home("ok-out");
  profile_.Rule("Rule 8", "B64E", Path(in), Path(out), root_.Dir("err"), "*.*", "Demo", pse_, local_);
  Write(in + "/ok.txt", "ok");
  Start();
  const bool ran = WaitUntil([&] { return Exists(out + "/ok.txt.b64"); });
  // The refusals of a link (1921) are in the errors journal.
  const bool recorded = WaitUntil([&] { return Count(Journals(), "Ошибка 0x781") >= std::size(cases); });
  ASSERT_EQ(testsupport::RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
  const std::string journals = Journals();
  ASSERT_TRUE(ran && recorded) << journals;

  ExpectSecretUntouched();
  n = 0;
  for (const Case& c : cases) {
    ++n;
    SCOPED_TRACE(std::string(c.operation) + " " + c.replaced);
    const std::string prefix = "home/r" + std::to_string(n) + "-";
    const std::string folder = prefix + c.replaced;
    EXPECT_EQ(Count(journals, FolderRecord(n, c.step, folder)), 2u) << journals;  // both journals
    const std::string input = std::string(c.replaced) == "in" ? prefix + "in.moved/file.txt" : prefix + "in/file.txt";
    EXPECT_EQ(Read(input), "user's file");
  }
}

// A dated folder that MOVE makes below its output folder, put there first
// as the user's link: the file fails with a record into the error folder,
// and root's folder is not written.
TEST_F(UsersFoldersInTheService, AMovesSubfolderThatIsAUsersLinkFailsTheFile) {
  const std::string in = Home("in"), out = Home("out"), err = Home("err");
  profile_.Rule("Rule 1", "MOVE", Path(in), Path(out), Path(err), "*.*", "Demo", pse_, local_).Text("Folders", "day");
  ReplaceByUsersLink(out + "/day");
  Write(in + "/file.txt", "user's file");
  Start();
  const bool failed = WaitUntil([&] { return Exists(err + "/file.txt"); });
  ASSERT_EQ(testsupport::RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
  const std::string journals = Journals();
  ASSERT_TRUE(failed) << journals;
  ExpectSecretUntouched();
  EXPECT_EQ(Read(err + "/file.txt"), "user's file");
  EXPECT_EQ(Count(journals, "Ошибка 0x781"), 1u) << journals;
  EXPECT_EQ(Count(journals, "Правило 1. Создание каталога '" + Path(out + "/day").string() + "'"), 1u) << journals;
  EXPECT_TRUE(fs::is_symlink(Path(out + "/day")));
}

}  // namespace
