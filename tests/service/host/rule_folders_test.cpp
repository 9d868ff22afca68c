// The worker's folder check of a rule: a missing folder is journaled at most
// once per clock hour, driven through the layer's clock.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "common/operation_catalogue.h"
#include "platform/datetime.h"
#include "service/core/journal.h"
#include "service/host/service_host.h"
#include "tests/support/service_runner.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

namespace {

class RuleFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    logs_ = root_.Dir("logs");
    files_.settings = MakeJournalSettings(L"Main", 4000);
    rule_.pathIn = CString((root_.path() / "missing").c_str());
    rule_.pathOut = CString(root_.Dir("out").c_str());
    rule_.pathError = CString(root_.Dir("err").c_str());
  }

  // 2026-12-10 hh:mm UTC.
  void SetClock(int hour, int minute) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 10;
    t.tm_hour = hour;
    t.tm_min = minute;
    clock_.Set(timegm(&t));
  }

  int Check() {
    int missing = 0;
    EXPECT_EQ(CheckRuleFolders(CString(logs_.c_str()), &files_, &rule_, &state_, 1, &missing, L"Main"), 0u);
    return missing;
  }

  size_t Records() const {
    std::string all = testsupport::ReadJournals(logs_);
    size_t count = 0;
    for (size_t at = all.find("Проверка входного каталога"); at != std::string::npos;
         at = all.find("Проверка входного каталога", at + 1))
      ++count;
    return count;  // each record is in both journals
  }

  // The records of an empty "Path Out".
  size_t OutputRecords() const {
    const std::string all = testsupport::ReadJournals(logs_);
    const std::string step = "Правило 1. Проверка выходного каталога ''";
    size_t count = 0;
    for (size_t at = all.find(step); at != std::string::npos; at = all.find(step, at + 1)) ++count;
    return count;
  }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_};
  std::filesystem::path logs_;
  JournalFiles files_;
  RuleRecord rule_;
  RuleState state_;
};

TEST_F(RuleFolders, OneRecordPerClockHour) {
  SetClock(10, 1);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Records(), 2u);
  SetClock(10, 59);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Records(), 2u) << "same hour: no new record";
  SetClock(11, 0);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Records(), 4u) << "the next hour writes again";
}

TEST_F(RuleFolders, AClockSetBackWritesNothingUntilItPassesTheStoredHour) {
  SetClock(11, 30);
  Check();
  SetClock(9, 0);
  Check();
  EXPECT_EQ(Records(), 2u);
  SetClock(12, 0);
  Check();
  EXPECT_EQ(Records(), 4u);
}

TEST_F(RuleFolders, FolderThatReturnsIsRecordedAgainAtOnceWhenItGoesMissing) {
  SetClock(10, 1);
  Check();
  std::filesystem::create_directories(root_.path() / "missing");
  EXPECT_EQ(Check(), 0);
  std::filesystem::remove(root_.path() / "missing");
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Records(), 4u);
}

TEST_F(RuleFolders, AFileInPlaceOfAFolderCountsAsMissing) {
  SetClock(10, 1);
  root_.WriteFile("missing", "not a folder");
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Records(), 2u);
}

TEST_F(RuleFolders, EmptyErrorFolderCountsAsMissingAndOptionalOutputsDoNot) {
  SetClock(10, 1);
  rule_.pathIn = CString(root_.Dir("in").c_str());
  rule_.pathOut = L"";
  rule_.pathOut2 = L"";
  EXPECT_EQ(Check(), 0);
  rule_.pathError = L"";
  EXPECT_EQ(Check(), 1);
  EXPECT_NE(testsupport::ReadJournals(logs_).find("Правило 1. Проверка каталога ошибок ''"), std::string::npos);
}

// A folder the loader could not compare, because it did not exist yet or
// was another folder then, is compared once the folders exist: the rule is
// passed over while its output folder is its input, with one record each
// time that begins.
TEST_F(RuleFolders, AnOutputFolderThatBecomesTheInputPassesTheRuleOverWithOneRecord) {
  namespace fs = std::filesystem;
  SetClock(10, 1);
  const fs::path in = root_.Dir("in");
  rule_.operation = L"MOVE";
  rule_.pathIn = CString(in.c_str());
  rule_.pathOut = CString((root_.path() / "later").c_str());
  rule_.pathOut2 = CString(root_.Dir("copies").c_str());
  auto overlapRecords = [&] {
    const std::string all = testsupport::ReadJournals(logs_);
    size_t count = 0;
    for (size_t at = all.find("0xE1718022"); at != std::string::npos; at = all.find("0xE1718022", at + 1)) ++count;
    return count;  // the code is written in the errors journal only
  };
  EXPECT_EQ(Check(), 0) << "MOVE is not stopped by a missing output folder";
  fs::create_directory_symlink(in, root_.path() / "later");
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(overlapRecords(), 1u) << testsupport::ReadJournals(logs_);
  const std::string journals = testsupport::ReadJournals(logs_);
  EXPECT_NE(journals.find("Правило 1. Проверка выходного каталога '" + (root_.path() / "later").string() + "'"),
            std::string::npos)
      << journals;
  EXPECT_NE(journals.find("Значение 'Path Out' совпадает со значением 'Path In' (" + in.string() +
                          "): правило не выполняется"),
            std::string::npos)
      << journals;

  fs::remove(root_.path() / "later");
  fs::create_directory(root_.path() / "later");
  EXPECT_EQ(Check(), 0) << "another folder now";
  fs::remove(root_.path() / "copies");
  fs::create_directory_symlink(in, root_.path() / "copies");
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(overlapRecords(), 2u);
  EXPECT_NE(testsupport::ReadJournals(logs_).find("Значение 'Path Out 2' совпадает со значением 'Path In'"),
            std::string::npos);
}

// An output folder stops only the rules that write into it: DELE writes no
// output, and MOVE makes its dated folders with their parents or fails
// each file with the move's own error.
TEST_F(RuleFolders, MissingOutputFoldersStopOnlyTheRulesThatNeedThem) {
  SetClock(10, 1);
  struct Case {
    const wchar_t* operation;
    bool outMissing;
    bool out2Missing;
    int missing;
  };
  const Case cases[] = {
      {L"DELE", true, false, 0}, {L"DELE", false, true, 0}, {L"MOVE", true, false, 0},
      {L"MOVE", false, true, 0}, {L"MOVE", true, true, 0},  {L"HASH", true, false, 1},
      {L"B64E", false, true, 1},
  };
  rule_.pathIn = CString(root_.Dir("in").c_str());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << CStringA(c.operation).GetString() << " " << c.outMissing << c.out2Missing);
    rule_.operation = c.operation;
    rule_.pathOut = CString((root_.path() / (c.outMissing ? "gone-out" : "out")).c_str());
    rule_.pathOut2 = CString((root_.path() / (c.out2Missing ? "gone-out2" : "out")).c_str());
    EXPECT_EQ(Check(), c.missing);
  }
}

// An empty "Path Out" would name the file system's root: every operation
// that writes into it is skipped as for a missing folder, with its record;
// DELE writes nothing and EXEC only hands the folder to its program, so
// they run without one.
TEST_F(RuleFolders, AnEmptyOutputFolderStopsEveryRuleThatWritesOutput) {
  rule_.pathIn = CString(root_.Dir("in").c_str());
  rule_.pathOut = L"";
  SetClock(10, 1);
  for (const OperationTraits& traits : OperationCatalogue()) {
    SCOPED_TRACE(CStringA(traits.code).GetString());
    rule_.operation = traits.code;
    state_.folderErrorReported = false;  // each its first record
    const size_t before = OutputRecords();
    const bool runs = traits.operation == Operation::kDele || traits.operation == Operation::kExec;
    EXPECT_EQ(Check(), runs ? 0 : 1);
    EXPECT_EQ(OutputRecords() > before, !runs);
  }
}

TEST(ServiceNames, ProfileFromServiceName) {
  struct Case {
    const wchar_t* service;
    const wchar_t* profile;
  } cases[] = {{L"qelmservice-Main", L"Main"}, {L"qelmservice-Bank-2", L"2"}, {L"qelmservice-", L""},
               {L"Main", L""},            {L"-Main", L""}};
  for (const Case& c : cases)
    EXPECT_EQ(ProfileNameFromServiceName(c.service), CString(c.profile)) << CStringA(c.service).GetString();
}

TEST(ServiceNames, PauseNeverWraps) {
  EXPECT_EQ(PauseMilliseconds(15), 15000u);
  EXPECT_EQ(PauseMilliseconds(0), 15000u);
  EXPECT_EQ(PauseMilliseconds(5000000), 0xFFFFFFFEu);
}

TEST(DirectoryProfiles, TableFollowsTheRulesAndResignAddsOnlyForResg) {
  ProfileRecord profile;
  auto rule = [&](const wchar_t* op, const wchar_t* zcs, const wchar_t* resign) {
    RuleRecord r;
    r.operation = op;
    r.zcsProfile = zcs;
    r.resignProfile = resign;
    r.directoryProfile.pse = CString(L"pse-") + zcs;
    r.resignDirectoryProfile.pse = CString(L"pse2-") + resign;
    profile.rules.push_back(r);
  };
  rule(L"SIGN", L"A", L"C");
  rule(L"ENCR", L"A", L"");
  rule(L"RESG", L"A", L"B");
  std::vector<RuleState> states;
  DirectoryProfileTable table = BuildDirectoryProfileTable(profile, states);
  ASSERT_EQ(states.size(), 3u);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].name, CString(L"A"));
  EXPECT_EQ(table[0].pse, CString(L"pse-A"));
  EXPECT_EQ(table[1].name, CString(L"B"));
  EXPECT_EQ(table[1].pse, CString(L"pse2-B"));
  EXPECT_EQ(states[2].tableIndex, 0);
  EXPECT_EQ(states[2].resignTableIndex, 1);
  EXPECT_EQ(states[0].resignTableIndex, 0) << "no entry named C";
  for (const DirectoryProfileContext& entry : table) EXPECT_EQ(entry.context, nullptr) << "contexts are not opened";
}

TEST(DirectoryProfiles, CopyOfAnEntryKeepsTheSameContext) {
  DirectoryProfileContext entry;
  entry.name = L"A";
  entry.context = reinterpret_cast<LibraryContext>(0x1234);
  const DirectoryProfileContext copy = entry;
  EXPECT_EQ(copy.context, entry.context);
}

}  // namespace
