// HASH, B64E feeding B64D, MOVE and DELE in the running service: a profile
// in the private registry, files dropped in, the results read once they
// appear.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tests/service/operations/file_rules_service_fixture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::RunMirelservice;

const std::string kHeading = "\xD5\xFD\xF8\x20\xF4\xE0\xE9\xEB\xE0\x2E\x20\xD4\xEE\xF0\xEC\xE0\xF2\x20\xB9";

class FileRulesInTheService : public servicetest::FileRulesServiceTest {
 protected:
  FileRulesInTheService() : FileRulesServiceTest("Files") {}
};

TEST_F(FileRulesInTheService, HashBase64MoveAndDeleteRulesDoTheirWork) {
  const fs::path& logs = logs_;
  Rule(1, "HASH", "hash-in", "hash-out");
  Rule(2, "B64E", "b64-in", "b64-text");
  Rule(3, "B64D", "b64-text", "b64-out", "*.b64");
  Rule(4, "MOVE", "move-in", "move-out").CopyFolder(root_.Dir("move-copy")).Text("DelExt", "txt").Text("AddExt", "bak");
  Rule(5, "DELE", "dele-in", "dele-in");

  std::mt19937 generator(11);
  std::string scan(300000, '\0');
  for (char& c : scan) c = static_cast<char>(generator());
  Write("hash-in/report.txt", "Отчёт за квартал");
  Write("b64-in/scan.bin", scan);
  Write("move-in/statement.txt", "Выписка");
  Write("dele-in/draft.tmp", "Черновик");

  ASSERT_EQ(RunMirelservice({"install", "Files"}).exitCode, 0);
  auto started = RunMirelservice({"start", "Files"});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  const bool done = testsupport::WaitUntil([&] {
    return Exists("hash-out/report.txt") && Exists("b64-out/scan.bin") && Exists("move-out/statement.bak") &&
           !Exists("dele-in/draft.tmp");
  });
  EXPECT_EQ(RunMirelservice({"stop", "Files"}).exitCode, 0);
  const std::string journals = testsupport::ReadJournals(logs);
  ASSERT_TRUE(done) << journals;

  // The hash file, byte for byte, against openssl's digest of the file.
  std::string digest;
  ASSERT_EQ(testsupport::RunOpenssl({"dgst", "-md_gost12_256", "-r", (root_.path() / "hash-out/report.txt").string()},
                                    &digest),
            0);
  std::string inOrder = digest.substr(0, 64);
  for (char& c : inOrder) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string swapped, reversed;
  for (std::size_t i = 0; i < 64; i += 2) {
    swapped += {inOrder[i + 1], inOrder[i]};
    reversed += inOrder.substr(62 - i, 2);
  }
  EXPECT_EQ(Read("hash-out/report.txt.hsh"), (root_.path() / "hash-out/report.txt.hsh").string() + "\n" + kHeading +
                                                 "1\n" + inOrder + "\n" + kHeading + "2\n" + swapped + "\n" +
                                                 kHeading + "3\n" + reversed + "\n");
  EXPECT_EQ(Read("hash-out/report.txt"), "Отчёт за квартал");

  EXPECT_TRUE(Read("b64-out/scan.bin") == scan);
  EXPECT_EQ(Read("move-out/statement.bak"), "Выписка");
  EXPECT_EQ(Read("move-copy/statement.bak"), "Выписка");
  EXPECT_TRUE(fs::is_empty(root_.path() / "err"));
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
  EXPECT_NE(journals.find("Удаление файла " + (root_.path() / "dele-in/draft.tmp").string() + " (размер: 16)"),
            std::string::npos)
      << journals;
}

}  // namespace
