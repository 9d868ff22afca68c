#include "service/core/find_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "platform/errors.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;

std::set<std::wstring> AsSet(const CStringArray& names) {
  std::set<std::wstring> set;
  for (const CString& name : names) set.insert(name.str());
  return set;
}

// An input folder with three files and folders of every attribute shape a
// folder can have here: plain (0x10), read-only (0x11) and hidden (0x12).
class FindFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = root_.Dir("in");
    root_.WriteFile("in/a.txt", "a");
    root_.WriteFile("in/b.TXT", "b");
    root_.WriteFile("in/abc.log", "c");
    fs::create_directory(folder_ / "sub.txt");
    fs::create_directory(folder_ / "readonly.txt");
    fs::permissions(folder_ / "readonly.txt",
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                        fs::perms::group_exec);
    fs::create_directory(folder_ / ".hidden");
  }
  void TearDown() override {
    fs::permissions(folder_ / "readonly.txt", fs::perms::owner_all, fs::perm_options::add);
  }

  CString Folder() const { return CString(folder_.wstring().c_str()); }

  testsupport::TempRoot root_;
  fs::path folder_;
};

TEST_F(FindFilesTest, ListsMatchingFilesAndNeverAFolder) {
  struct Case {
    std::vector<CString> masks;
    std::set<std::wstring> expected;
  } cases[] = {
      {{L"*"}, {L"a.txt", L"b.TXT", L"abc.log"}},
      {{L"*.*"}, {L"a.txt", L"b.TXT", L"abc.log"}},
      {{L"*.txt"}, {L"a.txt", L"b.TXT"}},  // masks ignore letter case
      {{L"*.zip"}, {}},
      {{L"*.zip", L"*.log"}, {L"abc.log"}},  // a mask without match does not end the listing
      {{L"?.txt"}, {L"a.txt", L"b.TXT"}},
  };
  for (const Case& c : cases) {
    CStringArray names;
    EXPECT_EQ(FindFiles(Folder(), names, c.masks), 0u) << CStringA(c.masks[0]).GetString();
    EXPECT_EQ(AsSet(names), c.expected) << CStringA(c.masks[0]).GetString();
    EXPECT_EQ(static_cast<size_t>(names.GetSize()), c.expected.size()) << "no duplicates";
  }
}

TEST_F(FindFilesTest, NameMatchingTwoMasksIsListedOnceWhereTheFirstFoundIt) {
  CStringArray names;
  ASSERT_EQ(FindFiles(Folder(), names, {L"*.txt", L"a*"}), 0u);
  ASSERT_EQ(names.GetSize(), 3);
  EXPECT_EQ(AsSet(names), (std::set<std::wstring>{L"a.txt", L"b.TXT", L"abc.log"}));
  EXPECT_EQ(names[2], CString(L"abc.log"));  // the second mask's only new name comes last
}

// Each name once, in the order of the first mask that found it, and within a
// mask in the search's order (case-insensitive by name).
TEST_F(FindFilesTest, NamesFoundByMoreThanOneMaskAreListedOnceInFirstFoundOrder) {
  struct Case {
    std::vector<CString> masks;
    std::vector<std::wstring> expected;
  } cases[] = {
      {{L"*.txt", L"*.TXT"}, {L"a.txt", L"b.TXT"}},
      {{L"*", L"*.log", L"a*"}, {L"a.txt", L"abc.log", L"b.TXT"}},
      {{L"*.log", L"*"}, {L"abc.log", L"a.txt", L"b.TXT"}},
      {{L"a*", L"*.txt", L"*.*"}, {L"a.txt", L"abc.log", L"b.TXT"}},
      {{L"b*", L"b*", L"?.TXT"}, {L"b.TXT", L"a.txt"}},
      // A mask the search takes literally keeps doing so beside others: a
      // ";" is part of the name searched for, blanks too.
      {{L"a.txt;abc.log", L"*.log"}, {L"abc.log"}},
      {{L"*.log", L" a.txt"}, {L"abc.log"}},
  };
  for (const Case& c : cases) {
    CStringArray names;
    ASSERT_EQ(FindFiles(Folder(), names, c.masks), 0u);
    std::vector<std::wstring> listed;
    for (const CString& name : names) listed.push_back(name.str());
    EXPECT_EQ(listed, c.expected) << CStringA(c.masks[0]).GetString() << " " << CStringA(c.masks[1]).GetString();
  }
}

TEST_F(FindFilesTest, AppendsToNamesAlreadyListedAndSkipsThem) {
  CStringArray names;
  names.Add(L"a.txt");
  names.Add(L"elsewhere.bin");
  ASSERT_EQ(FindFiles(Folder(), names, {L"*.txt"}), 0u);
  ASSERT_EQ(names.GetSize(), 3);
  EXPECT_EQ(names[0], CString(L"a.txt"));
  EXPECT_EQ(names[1], CString(L"elsewhere.bin"));
  EXPECT_EQ(names[2], CString(L"b.TXT"));
}

TEST_F(FindFilesTest, FolderWrittenWithATrailingSeparatorIsListedAlike) {
  CStringArray names;
  ASSERT_EQ(FindFiles(Folder() + L"/", names, {L"*.log"}), 0u);
  ASSERT_EQ(names.GetSize(), 1);
  EXPECT_EQ(names[0], CString(L"abc.log"));
}

TEST_F(FindFilesTest, MissingFolderReturnsThePathErrorAndListsNothing) {
  CStringArray names;
  names.Add(L"kept");
  const CString missing = Folder() + L"/missing";
  EXPECT_EQ(FindFiles(missing, names, {L"*", L"*.txt"}), ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(names.GetSize(), 1);
  EXPECT_EQ(names[0], CString(L"kept"));
}

}  // namespace
