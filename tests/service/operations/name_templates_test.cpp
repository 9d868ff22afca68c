// Folder, archive-name and command templates on the driven clock, at
// 8 March 2026 09:05:07 local time.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "service/operations/name_templates.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

namespace {

constexpr std::int64_t kMarch8 = 1772960707;   // 2026-03-08 09:05:07 UTC
constexpr std::int64_t kMarch18 = 1773824707;  // 2026-03-18 09:05:07 UTC

class NameTemplates : public ::testing::Test {
 protected:

  static std::vector<std::wstring> Components(const wchar_t* pathTemplate) {
    CStringArray components;
    components.Add(L"left over from before");
    ExpandDateTemplates(pathTemplate, components);
    std::vector<std::wstring> result;
    for (const CString& c : components) result.emplace_back(c.GetString());
    return result;
  }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_, kMarch8};
};

TEST_F(NameTemplates, FolderTemplatesSplitFirstAndGiveEveryGroupTheFullDate) {
  struct Case {
    const wchar_t* pathTemplate;
    std::vector<std::wstring> components;
  };
  const Case cases[] = {
      {L":|DD.MM.YYYY|", {L"08.03.2026"}},
      {L":|YY|", {L"26"}},
      {L":|YYYYYY|", {L"002026"}},
      {L":|dd-mm-yy|", {L"08-03-26"}},  // lower case are date letters here
      {L":|hh ss|", {L"hh ss"}},         // time letters are not
      {L":|YYYY|\\:|MM|", {L"2026", L"03"}},
      {L":|YYYY|/:|MM|", {L"2026", L"03"}},
      {L":|YYYY\\MM|", {L":|YYYY", L"MM|"}},  // the split comes before the groups
      {L":|YYYY|-:|YYYY|", {L"2026-2026"}},
      {L"in :|YYYY", {L"in :|YYYY"}},
      {L"a:|b/c:|MM|", {L"a:|b", L"c03"}},  // an unclosed group spoils only its component
      {L":||x", {L"x"}},
      {L"", {L""}},
      {L"\\/a\\\\b//", {L"a", L"", L"b"}},
      {L"plain", {L"plain"}},
      // What a group inserted is not searched again: "6:" and "|M|" do not
      // make a new group.
      {L":|Y:||M|", {L"6:|M|"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "template " << CStringA(c.pathTemplate).GetString());
    EXPECT_EQ(Components(c.pathTemplate), c.components);
  }
}

TEST_F(NameTemplates, DigitsComeFromTheRightOfTheValue) {
  clock_.Set(kMarch18);
  EXPECT_EQ(Components(L":|D-D|"), std::vector<std::wstring>{L"1-8"});
  EXPECT_EQ(Components(L":|DDD|"), std::vector<std::wstring>{L"018"});
}

TEST_F(NameTemplates, PackNamesShareOneReadingAcrossGroups) {
  struct Case {
    const wchar_t* nameTemplate;
    const wchar_t* name;
  };
  const Case cases[] = {
      {L":|YYYYMMDD_hhmmss|", L"20260308_090507"},
      {L":|YYYY|-:|YYYY|", L"2026-0000"},  // the second group gets what the first left
      {L":|D|_:|DD|", L"8_00"},
      {L":|mm|", L"05"},                   // m is the minute here
      {L":|dy|", L"dy"},                   // d and y are ordinary
      {L"/a/:|YYYY|\\b\\", L"a/2026\\b"},  // inner separators stay
      {L"x:|YYYY", L"x:|YYYY"},
      {L":|YYYY|x:|", L"2026x:|"},
      {L":|Y:||M|", L"6:|M|"},
      {L"", L"2026.3.8 9.5.7"},
      {L"\\//", L"2026.3.8 9.5.7"},
      {L":||", L"2026.3.8 9.5.7"},
      {L"/:||:||/", L"2026.3.8 9.5.7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "template " << CStringA(c.nameTemplate).GetString());
    CString name = L"old";
    ExpandPackName(c.nameTemplate, name);
    EXPECT_STREQ(name.GetString(), c.name);
  }
}

TEST_F(NameTemplates, CommandsReplaceGroupsAndPlaceholdersInsideGroupsOnly) {
  struct Case {
    const wchar_t* commandTemplate;
    const wchar_t* in;
    const wchar_t* name;
    const wchar_t* ext;
    const wchar_t* command;
    BYTE perFile;
    BYTE oem;
    std::vector<std::pair<int, int>> inserted;
  };
  const Case cases[] = {
      {L"/usr/bin/tool :|$F|", L"/in", L"a", L"txt", L"/usr/bin/tool /in/a.txt", 1, 0, {{14, 9}}},
      // No extension: no "." that the file's name does not have.
      {L"/usr/bin/tool :|$F|", L"/in", L"a", L"", L"/usr/bin/tool /in/a", 1, 0, {{14, 5}}},
      {L"tool $N :|x|", L"/in", L"a", L"b", L"tool $N x", 0, 0, {}},
      {L":|cmd|", L"/in", L"a", L"b", L"c5d", 0, 0, {}},  // letters act on all group text
      {L":|$IN|", L"/d", L"n", L"e", L"/d", 0, 0, {{0, 2}}},  // $IN before $N
      {L"t :|$IN $OUT $O2C|", L"/in", L"a", L"b", L"t /in /out ", 0, 1, {{2, 3}, {6, 4}}},
      {L"t :|-$E-$N-|", L"/in", L"a", L"b", L"t -b-a-", 1, 0, {{3, 1}, {5, 1}}},
      {L"t :|$N.$E|", L"/in", L"", L"", L"t .", 1, 0, {{2, 0}, {3, 0}}},
      {L"t :|x$O2Cy|", L"/in", L"a", L"b", L"t xy", 0, 1, {}},
      {L"t :|YYYY|-:|YYYY|", L"/in", L"a", L"b", L"t 2026-0000", 0, 0, {}},
      {L"t :|$N", L"/in", L"a", L"b", L"t :|$N", 0, 0, {}},
      {L"\\\\server\\tool\\", L"/in", L"a", L"b", L"server\\tool", 0, 0, {}},
      {L"//bin/tool/", L"/in", L"a", L"b", L"/bin/tool", 0, 0, {}},
      // Values are taken literally: a folder holding "$N" and a name holding a
      // group change nothing else.
      {L"t :|$IN|:|$N|", L"/x$N", L"$IN:|Y|", L"b", L"t /x$N$IN:|Y|", 1, 0, {{2, 4}, {6, 7}}},
      {L"t :|$N|:|$E|", L"/in", L"a:", L"|b|", L"t a:|b|", 1, 0, {{2, 2}, {4, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "template " << CStringA(c.commandTemplate).GetString());
    ExecCommand built;
    built.inserted = {{99, 99}};
    BuildExecCommand(c.commandTemplate,
                     {.inputFolder = c.in, .fileName = c.name, .extension = c.ext, .outputFolder = L"/out"}, built);
    EXPECT_STREQ(built.command.GetString(), c.command);
    EXPECT_EQ(built.perFile, c.perFile);
    EXPECT_EQ(built.oem, c.oem);
    std::vector<std::pair<int, int>> positions;
    for (const InsertedValue& v : built.inserted) positions.emplace_back(v.start, v.length);
    EXPECT_EQ(positions, c.inserted);
  }
}

TEST_F(NameTemplates, CommandFlagsAreNeverCleared) {
  ExecCommand built;
  built.perFile = true;
  built.oem = true;
  BuildExecCommand(L"tool", {.inputFolder = L"/in", .outputFolder = L"/out"}, built);
  EXPECT_TRUE(built.perFile);
  EXPECT_TRUE(built.oem);
}

}  // namespace
