// The rules export file: its bytes, reading it back, refusals, and the file
// work with its failures.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <filesystem>

#include "config/message_boxes.h"
#include "config/rule_export.h"
#include "platform/codepage.h"
#include "tests/config/modal_answers.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::ModalAnswers;

RuleRecord FullRule() {
  RuleRecord rule;
  rule.operation = L"ENCR";
  rule.pathIn = L"/in";
  rule.pathOut = L"/out";
  rule.pathError = L"/err";
  rule.masks = {L"*.txt", L"*.doc"};
  rule.recipients = {L"CN=Иванов Иван, O=Банк, C=RU"};
  rule.isOn = 1;
  rule.zcsProfile = L"Основной";
  rule.inFormatDet = 0;
  rule.outFormatDet = 1;
  rule.resignProfile = L"";
  rule.pathOut2 = L"";
  rule.description = L"Шифрование";
  rule.signerLists = {{L"A", {L"X", L"Y"}}, {L"B", {}}};
  rule.zipFile = 2;
  rule.delExt = L"p7s";
  rule.addExt = L"enc";
  rule.folders = L"%Y";
  rule.copyFolders = L"%m";
  rule.archCount = 10;
  rule.archSize = -5;
  rule.archTimeout = 3;
  rule.archName = L"pack%d";
  rule.execName = L"/bin/true %f";
  rule.execTimeout = 7;
  rule.stream = 1;
  rule.encAlgorithm = 4;
  return rule;
}

// Two rules are the same for the file when they export the same record and
// hold the same number of entries (a "0" entry and no entry export alike).
void ExpectSameRule(const RuleRecord& actual, const RuleRecord& expected) {
  EXPECT_EQ(RuleExportRecord(actual), RuleExportRecord(expected));
  EXPECT_EQ(actual.masks.size(), expected.masks.size());
  EXPECT_EQ(actual.recipients.size(), expected.recipients.size());
  ASSERT_EQ(actual.signerLists.size(), expected.signerLists.size());
  for (size_t i = 0; i < actual.signerLists.size(); ++i) {
    EXPECT_EQ(actual.signerLists[i].name, expected.signerLists[i].name);
    EXPECT_EQ(actual.signerLists[i].signers, expected.signerLists[i].signers);
  }
}

TEST(RuleExportTest, RecordBytes) {
  std::string bytes;
  int refused = -1;
  RuleRecord empty;
  empty.operation = L"MOVE";
  ASSERT_TRUE(BuildRulesExport({FullRule(), empty}, bytes, refused));
  const std::string expected =
      "ENCR\n/in\n/out\n/err\n*.txt;;*.doc\nCN=Иванов Иван, O=Банк, C=RU\n1\nОсновной\n0\n1\n\n\n"
      "Шифрование\nA;;X;;Y;\\;B\n2\np7s\nenc\n%Y\n%m\n10\n-5\n3\npack%d\n/bin/true %f\n7\n1\n4\n\r"
      "MOVE\n\n\n\n0\n0\n0\n\n0\n0\n\n\n\n0\n0\n\n\n\n\n0\n0\n0\n\n\n0\n0\n0\n\r";
  EXPECT_EQ(bytes, expected);
}

TEST(RuleExportTest, ExportedRulesImportAsTheyWereAndAppendedFilesGiveBoth) {
  RuleRecord noLists;
  noLists.operation = L"DCHK";
  noLists.signerLists = {{L"Единственный", {L"", L"CN=Z"}}};  // an empty signer stays
  RuleRecord archive;
  archive.operation = L"ARCH";
  archive.zipFile = 1;
  std::string first, second;
  int refused = -1;
  ASSERT_TRUE(BuildRulesExport({FullRule(), noLists}, first, refused));
  ASSERT_TRUE(BuildRulesExport({archive}, second, refused));
  const std::vector<RuleRecord> back = ParseRulesExport(first + second);
  ASSERT_EQ(back.size(), 3u);
  ExpectSameRule(back[0], FullRule());
  ExpectSameRule(back[1], noLists);
  ExpectSameRule(back[2], archive);
}

TEST(RuleExportTest, ImportTakesWellFormedRecordsOnly) {
  const std::string twelve = "ARCH\n/in\n/out\n/err\n0\n0\n1\nP\n0\n0\n\n/o2\n\r";
  const std::string eleven = "MOVE\n/in\n/out\n/err\n0\n0\n1\nP\n0\n0\n\n\r";
  const std::string noLineFeed = "HASH\n\r";
  const std::string unterminated = "DELE\n/in\n/out\n/err\n0\n0\n1\nP\n0\n0\n\n/o2\n";
  const std::vector<RuleRecord> rules =
      ParseRulesExport("\n\r" + noLineFeed.substr(0, 4) + "\n\r" + eleven + twelve + unterminated);
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].operation, CString(L"ARCH"));
  EXPECT_EQ(rules[0].pathOut2, CString(L"/o2"));
  EXPECT_EQ(rules[0].zipFile, 1) << "an archive rule always archives";
  EXPECT_TRUE(rules[0].description.IsEmpty());
  EXPECT_EQ(rules[0].encAlgorithm, 0);
}

TEST(RuleExportTest, SignerListPiecesWithoutANameAreDropped) {
  CStringArray fields;
  SplitLines(L"CHCK\n\n\n\n0\n0\n1\nP\n0\n0\n\n\n\nA;;X;\\;;;Y;\\;\n0", fields);
  const RuleRecord rule = ImportRuleFields(fields);
  ASSERT_EQ(rule.signerLists.size(), 1u);
  EXPECT_EQ(rule.signerLists[0].name, CString(L"A"));
}

TEST(RuleExportTest, Splitters) {
  CStringArray parts;
  SplitLines(L"", parts);
  EXPECT_EQ(parts.GetSize(), 0);
  SplitLines(L"a\n\nb\n", parts);
  ASSERT_EQ(parts.GetSize(), 4);
  EXPECT_EQ(parts[1], CString(L""));
  EXPECT_EQ(parts[3], CString(L""));
  SplitSignerLists(L"", parts);
  EXPECT_EQ(parts.GetSize(), 1);
  SplitSignerLists(L"a;;b;\\;c;\\;", parts);
  ASSERT_EQ(parts.GetSize(), 3);
  EXPECT_EQ(parts[0], CString(L"a;;b"));
  EXPECT_EQ(parts[2], CString(L""));
}

TEST(RuleExportTest, RulesTheFormatCannotCarryAreRefused) {
  struct Case {
    const char* what;
    void (*spoil)(RuleRecord&);
  };
  const Case cases[] = {
      {"line feed in the description", [](RuleRecord& r) { r.description = L"две\nстроки"; }},
      {"text starting with CR", [](RuleRecord& r) { r.pathOut2 = L"\r/x"; }},
      {"list separator in a mask", [](RuleRecord& r) { r.masks.push_back(L"a;;b"); }},
      {"recipient ending in ; before another", [](RuleRecord& r) { r.recipients.insert(r.recipients.begin(), L"CN=X;"); }},
      {"signer-list separator in a signer", [](RuleRecord& r) { r.signerLists[0].signers[0] = L"X;\\;Y"; }},
      {"signer list without a name", [](RuleRecord& r) { r.signerLists[1].name = L""; }},
      {"a mask that reads as no list", [](RuleRecord& r) { r.masks = {L"0"}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RuleRecord spoilt = FullRule();
    c.spoil(spoilt);
    std::string bytes;
    int refused = -1;
    EXPECT_FALSE(BuildRulesExport({FullRule(), spoilt, FullRule()}, bytes, refused));
    EXPECT_EQ(refused, 1);
  }
  EXPECT_EQ(ExportRefusalText(FullRule(), 1).Find(L"Правило 2 ('Шифрование')"), 0);
}

class RuleExportFileTest : public ::testing::Test {
 protected:
  testsupport::TempRoot root;
  ModalAnswers answers;
};

TEST_F(RuleExportFileTest, WrittenFileReadsBack) {
  const CString path((root.path() / "rules.prx").wstring().c_str());
  std::string bytes;
  int refused = -1;
  ASSERT_TRUE(BuildRulesExport({FullRule()}, bytes, refused));
  ASSERT_TRUE(WriteRulesExportFile(nullptr, path, bytes));
  std::string back;
  ASSERT_TRUE(ReadRulesExportFile(nullptr, path, back));
  EXPECT_EQ(back, bytes);
}

TEST_F(RuleExportFileTest, FailuresAreReportedAndLeaveNoFile) {
  answers.Then(QMessageBox::Ok).Then(QMessageBox::Ok).Then(QMessageBox::Ok);
  const std::filesystem::path file = root.path() / "rules.prx";
  const CString path(file.wstring().c_str());
  std::string bytes(4096, 'x');

  EXPECT_FALSE(WriteRulesExportFile(nullptr, CString((root.path() / "no/such.prx").wstring().c_str()),
                                    bytes));
  // The write stops at the file-size limit: the file must not stay behind
  // with half the rules in it.
  const bool written =
      testsupport::WithFileSizeLimit(1024, [&] { return WriteRulesExportFile(nullptr, path, bytes); });
  EXPECT_FALSE(written);
  EXPECT_FALSE(std::filesystem::exists(file));

  std::string back;
  EXPECT_FALSE(ReadRulesExportFile(nullptr, path, back));

  const auto texts = answers.MessageTexts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_TRUE(texts[0].startsWith(QString::fromUtf8("Создание файла ")));
  EXPECT_TRUE(texts[1].startsWith(QString::fromUtf8("Запись файла ") +
                                  QString::fromStdString(file.string()) + ".\r\n"))
      << texts[1].toStdString();
  EXPECT_TRUE(texts[2].startsWith(QString::fromUtf8("Открытие файла ")));
}

}  // namespace
