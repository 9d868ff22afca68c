// User-group files: the lines a file's bytes give, reading into the
// candidates, writing, and the failures with no partial file left behind.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <filesystem>
#include <string>
#include <vector>

#include "config/group_file.h"
#include "platform/codepage.h"
#include "tests/config/modal_answers.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::ModalAnswers;
using Texts = std::vector<CString>;

struct LinesCase {
  std::string bytes;
  Texts owners;
};

TEST(GroupFileOwnersTest, LinesEndedByCrLfWithAnEqualsSign) {
  using namespace std::string_literals;
  const LinesCase cases[] = {
      {"CN=A\r\nO=B, C=RU\r\n", {L"CN=A", L"O=B, C=RU"}},
      // The text after the last CR LF is no line.
      {"CN=A\r\nCN=B", {L"CN=A"}},
      {"CN=A", {}},
      // Empty lines and lines without "=" are skipped; a lone LF is no end.
      {"\r\nno name\r\nCN=A\r\n\r\n", {L"CN=A"}},
      {"CN=A\nCN=B\r\n", {L"CN=A\nCN=B"}},
      // The text ends at the first NUL.
      {"CN=A\r\nCN=B\0\r\nCN=C\r\n"s, {L"CN=A"}},
      {"\0CN=A\r\n"s, {}},
      // Duplicates are the reader's concern.
      {"CN=A\r\nCN=A\r\n", {L"CN=A", L"CN=A"}},
      {"", {}},
  };
  for (const LinesCase& c : cases) {
    EXPECT_EQ(GroupFileOwners(c.bytes), c.owners) << testing::PrintToString(c.bytes);
  }
}

class GroupFileTest : public ::testing::Test {
 protected:
  // Paths are UTF-8 on this system, whatever the test's locale.
  static CString PathOf(const std::filesystem::path& file) {
    const std::u8string name = file.u8string();
    return CString(platform::MultiByteToWide({reinterpret_cast<const char*>(name.data()), name.size()},
                                             CP_UTF8)
                       .c_str());
  }

  testsupport::TempRoot root;
  ModalAnswers answers;
};

TEST_F(GroupFileTest, WrittenOwnersReadBackOnceEach) {
  const std::filesystem::path file = root.path() / std::filesystem::path(u8"Новая группа.grx");
  const Texts owners = {L"CN=Иванов Иван, O=Банк, C=RU", L"CN=B"};
  ASSERT_TRUE(WriteGroupFile(nullptr, PathOf(file), owners));
  EXPECT_EQ(testsupport::ReadFileBytes(file), GroupFileBytes(owners));
  EXPECT_EQ(GroupFileOwners(testsupport::ReadFileBytes(file)), owners);

  // Owners already among the candidates are not added again, nor a
  // duplicate line of the file; the order is the file's.
  const std::filesystem::path listed =
      root.WriteFile("listed.grx", "CN=A\r\nCN=B\r\nCN=A\r\nnone\r\nCN=C\r\nCN=D");
  Texts candidates = {L"CN=B"};
  ASSERT_TRUE(ReadGroupFile(nullptr, PathOf(listed), candidates));
  EXPECT_EQ(candidates, (Texts{L"CN=B", L"CN=A", L"CN=C"}));
  EXPECT_TRUE(answers.Shown().empty());
}

TEST_F(GroupFileTest, FailuresAreReportedAddNothingAndLeaveNoFile) {
  answers.Then(QMessageBox::Ok).Then(QMessageBox::Ok);
  const std::filesystem::path file = root.WriteFile("group.grx", "CN=Old\r\n");

  Texts candidates = {L"CN=B"};
  EXPECT_FALSE(ReadGroupFile(nullptr, PathOf(root.path() / "missing.grx"), candidates));
  EXPECT_EQ(candidates, (Texts{L"CN=B"}));

  // The write stops at the file-size limit: no group with part of the owners
  // may stay behind.
  const Texts many(200, CString(L"CN=Владелец с длинным именем, O=Организация, C=RU"));
  const bool written =
      testsupport::WithFileSizeLimit(1024, [&] { return WriteGroupFile(nullptr, PathOf(file), many); });
  EXPECT_FALSE(written);
  EXPECT_FALSE(std::filesystem::exists(file));

  const auto texts = answers.MessageTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(texts[0].startsWith(QString::fromUtf8("Открытие файла ") +
                                  QString::fromStdString((root.path() / "missing.grx").string())))
      << texts[0].toStdString();
  EXPECT_TRUE(texts[1].startsWith(QString::fromUtf8("Запись файла ") +
                                  QString::fromStdString(file.string())))
      << texts[1].toStdString();
}

}  // namespace
