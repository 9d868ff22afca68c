// The one reading of a rule's stored numbers: every value a stored file may
// hold, offered or not, means what it has always meant to the operations.
#include "service/core/rule_settings.h"
#include "service/core/worker_state.h"

#include <gtest/gtest.h>

namespace {

ProfileRecord OneRule(const RuleRecord& rule) {
  ProfileRecord profile;
  profile.rules.push_back(rule);
  return profile;
}

TEST(RuleSettingsTest, ZipFileKeepsWhatEachStoredNumberMeant) {
  struct Case {
    int stored;
    ArchiveSetting setting;
    bool archives, gzipArchive, zipSingleEntry;
  } cases[] = {
      {0, ArchiveSetting::kNone, false, false, false},
      {1, ArchiveSetting::kZip, true, false, true},
      {2, ArchiveSetting::kGzip, true, true, false},
      // Not offered: GZIP around encryption, a ZIP file and its extension for ARCH/UNAR.
      {3, ArchiveSetting::kOther, true, false, false},
      {-1, ArchiveSetting::kOther, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    RuleRecord rule;
    rule.zipFile = c.stored;
    const ArchiveSetting setting = ReadRuleSettings(OneRule(rule), 0).archive;
    EXPECT_EQ(setting, c.setting);
    EXPECT_EQ(Archives(setting), c.archives);
    EXPECT_EQ(GzipArchive(setting), c.gzipArchive);
    EXPECT_EQ(ZipSingleEntry(setting), c.zipSingleEntry);
  }
}

TEST(RuleSettingsTest, NumbersAndSwitchesOfTheRule) {
  RuleRecord rule;
  rule.encAlgorithm = 4;
  rule.stream = 2;
  rule.inFormatDet = -1;
  rule.archCount = 3;
  rule.archSize = 2;
  rule.archTimeout = 5;
  rule.execTimeout = 2;
  ProfileRecord profile = OneRule(rule);
  profile.renameConfFiles = 7;
  RuleSettings settings = ReadRuleSettings(profile, 0);
  EXPECT_EQ(settings.cipher, ContentCipher::kKuznyechikOmac);
  EXPECT_TRUE(settings.stream);
  EXPECT_TRUE(settings.detachedInput);
  EXPECT_FALSE(settings.detachedOutput);
  EXPECT_TRUE(settings.renameConflicts);
  EXPECT_EQ(settings.pack.fileCount, 3);
  EXPECT_EQ(settings.pack.sizeLimit, 2048u);
  EXPECT_EQ(settings.pack.waitMinutes, 5);
  EXPECT_EQ(settings.execTimeLimitMs, 120000u);

  // Below 1 a trigger or a limit does not apply; a cipher outside the list
  // is the library's default.
  for (int stored : {0, -1}) {
    profile.rules[0].archCount = profile.rules[0].archSize = profile.rules[0].archTimeout = stored;
    profile.rules[0].execTimeout = stored;
    profile.rules[0].encAlgorithm = stored == 0 ? 5 : -1;
    settings = ReadRuleSettings(profile, 0);
    EXPECT_FALSE(settings.pack.fileCount);
    EXPECT_FALSE(settings.pack.sizeLimit);
    EXPECT_FALSE(settings.pack.waitMinutes);
    EXPECT_EQ(settings.execTimeLimitMs, 0u);
    EXPECT_EQ(settings.cipher, ContentCipher::kLibraryDefault);
  }
}

// The switches come from the directory profile each name selects (the last
// of equal names), for the rule's own and its resigning profile apart.
TEST(RuleSettingsTest, DirectorySwitchesOfEachOfTheRulesProfiles) {
  RuleRecord rule;
  rule.zcsProfile = L"A";
  rule.resignProfile = L"B";
  ProfileRecord profile = OneRule(rule);
  profile.zcsProfiles = {L"A", L"B"};
  profile.serverTsp = {L"http://a", L"http://b"};
  profile.notUseLdap = {1, 0};
  profile.notAddCert = {0, 1};
  profile.notCopyToLocal = {1};
  profile.autoVerifyTsp = {0, 2};
  profile.noTspIsError = {3};
  profile.autoUseTsp = {0, 1};
  const RuleSettings settings = ReadRuleSettings(profile, 0);
  const DirectorySwitches& a = settings.directory;
  EXPECT_EQ(a.serverTsp, CString(L"http://a"));
  EXPECT_FALSE(a.useNetworkDirectory);
  EXPECT_TRUE(a.addCertificate);
  EXPECT_TRUE(a.notCopyToLocal);
  EXPECT_FALSE(a.verifyStamps);
  EXPECT_TRUE(a.noStampIsError);
  EXPECT_FALSE(a.stampSignatures);
  const DirectorySwitches& b = settings.resignDirectory;
  EXPECT_EQ(b.serverTsp, CString(L"http://b"));
  EXPECT_TRUE(b.useNetworkDirectory);
  EXPECT_FALSE(b.addCertificate);
  EXPECT_FALSE(b.notCopyToLocal);  // beyond the list's end: 0
  EXPECT_TRUE(b.verifyStamps);
  EXPECT_FALSE(b.noStampIsError);
  EXPECT_TRUE(b.stampSignatures);
}

// What the worker keeps of a run starts with nothing reported, no wait and
// no journal file chosen.
TEST(WorkerStateTest, NewStateHasItsDefaults) {
  const WorkerState worker;
  EXPECT_TRUE(worker.journalFiles.operationsFile.IsEmpty());
  EXPECT_TRUE(worker.journalFiles.errorsFile.IsEmpty());
  EXPECT_TRUE(worker.rules.empty());
  EXPECT_TRUE(worker.writtenOnce.empty());
  const RuleState rule;
  EXPECT_FALSE(rule.folderErrorReported);
  EXPECT_FALSE(rule.foldersOverlapReported);
  EXPECT_EQ(rule.packWaitStart, 0);
  EXPECT_EQ(rule.tableIndex, 0);
  EXPECT_EQ(rule.resignTableIndex, 0);
}

}  // namespace
