#include "common/config_records.h"

#include <gtest/gtest.h>

namespace {

ProfileRecord ProfileWithDirectoryProfiles(std::vector<CString> names) {
  ProfileRecord profile;
  profile.zcsProfiles = std::move(names);
  return profile;
}

TEST(ConfigRecordsTest, NewRecordsHaveTheirDefaults) {
  const ProfileRecord profile;
  EXPECT_EQ(profile.handlerTimeout, 15);
  EXPECT_TRUE(profile.rules.empty());
  EXPECT_TRUE(profile.zcsProfiles.empty());
  EXPECT_EQ(profile.renameConfFiles, 0);

  const RuleRecord rule;
  EXPECT_TRUE(rule.operation.IsEmpty());
}

struct IndexCase {
  std::vector<CString> zcsProfiles;
  const wchar_t* name;
  int expected;
};

class DirectoryProfileIndexTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(DirectoryProfileIndexTest, FindsTheLastEqualNameOrZero) {
  const IndexCase& c = GetParam();
  EXPECT_EQ(DirectoryProfileIndex(ProfileWithDirectoryProfiles(c.zcsProfiles), CString(c.name)),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DirectoryProfileIndexTest,
    ::testing::Values(IndexCase{{L"A", L"B", L"C"}, L"B", 1},
                      IndexCase{{L"A", L"B", L"A"}, L"A", 2},   // the later of two equal names
                      IndexCase{{L"A", L"B"}, L"Z", 0},         // absent: the first applies
                      IndexCase{{}, L"A", 0},                   // empty list
                      IndexCase{{L"Банк", L"банк"}, L"банк", 1},
                      IndexCase{{L"A", L"b"}, L"B", 0}));       // letter case counts

TEST(ConfigRecordsTest, ParallelListsShorterThanTheNamesReadAsZero) {
  ProfileRecord profile = ProfileWithDirectoryProfiles({L"A", L"B", L"C"});
  profile.notUseLdap = {1};
  profile.serverTsp = {L"http://tsp"};
  profile.crlUpdatePeriod = {5, 6, 7};

  const DirectoryProfileSettings first = DirectoryProfileSettingsAt(profile, 0);
  EXPECT_EQ(first.notUseLdap, 1);
  EXPECT_EQ(first.serverTsp, CString(L"http://tsp"));

  const DirectoryProfileSettings third =
      DirectoryProfileSettingsAt(profile, DirectoryProfileIndex(profile, CString(L"C")));
  EXPECT_EQ(third.notUseLdap, 0);
  EXPECT_TRUE(third.serverTsp.IsEmpty());
  EXPECT_EQ(third.crlUpdatePeriod, 7);
  EXPECT_EQ(ListValueAt(profile.notUseLdap, -1), 0);
}

TEST(ConfigRecordsTest, CopyOfAProfileOwnsEveryNestedListAndText) {
  ProfileRecord original;
  original.zcsProfiles = {L"A"};
  RuleRecord rule;
  rule.operation = L"CHCK";
  rule.masks = {L"*.p7s"};
  rule.directoryProfile.pse = L"/pse";
  SignerListRecord signers;
  signers.name = L"list";
  signers.signers = {L"CN=Иванов"};
  rule.signerLists.push_back(signers);
  original.rules.push_back(rule);

  ProfileRecord copy = original;
  copy.zcsProfiles[0] = L"changed";
  copy.rules[0].operation = L"SIGN";
  copy.rules[0].masks.push_back(L"*.txt");
  copy.rules[0].directoryProfile.pse = L"/other";
  copy.rules[0].signerLists[0].signers[0] = L"CN=Петров";
  copy.rules[0].signerLists.push_back(SignerListRecord{});

  EXPECT_EQ(original.zcsProfiles[0], CString(L"A"));
  EXPECT_EQ(original.rules[0].operation, CString(L"CHCK"));
  EXPECT_EQ(original.rules[0].masks.size(), 1u);
  EXPECT_EQ(original.rules[0].directoryProfile.pse, CString(L"/pse"));
  ASSERT_EQ(original.rules[0].signerLists.size(), 1u);
  EXPECT_EQ(original.rules[0].signerLists[0].signers[0], CString(L"CN=Иванов"));
}

}  // namespace
