#include "service/core/rule_settings.h"

#include <cstddef>

#include "common/operation_catalogue.h"

namespace {

ArchiveSetting ArchiveSettingOf(int zipFile) {
  switch (zipFile) {
    case 0:
      return ArchiveSetting::kNone;
    case 1:
      return ArchiveSetting::kZip;
    case 2:
      return ArchiveSetting::kGzip;
    default:
      return ArchiveSetting::kOther;
  }
}

ContentCipher ContentCipherOf(int encAlgorithm) {
  if (encAlgorithm < 0 || encAlgorithm >= kEncAlgorithmCount) return ContentCipher::kLibraryDefault;
  return static_cast<ContentCipher>(encAlgorithm);
}

// A trigger stored as a number that applies from 1 up.
std::optional<int> FromOne(int stored) { return stored >= 1 ? std::optional<int>(stored) : std::nullopt; }

PackTriggers PackTriggersOf(const RuleRecord& rule) {
  const std::optional<int> sizeKib = FromOne(rule.archSize);
  return {.fileCount = FromOne(rule.archCount),
          .sizeLimit = sizeKib ? std::optional<ULONGLONG>(static_cast<ULONGLONG>(*sizeKib) * 1024) : std::nullopt,
          .waitMinutes = FromOne(rule.archTimeout)};
}

}  // namespace

DirectorySwitches ReadDirectorySwitches(const ProfileRecord& profile, const CString& name) {
  const DirectoryProfileSettings stored = DirectoryProfileSettingsAt(profile, DirectoryProfileIndex(profile, name));
  return {.serverTsp = stored.serverTsp,
          .useNetworkDirectory = stored.notUseLdap == 0,
          .addCertificate = stored.notAddCert == 0,
          .notCopyToLocal = stored.notCopyToLocal != 0,
          .verifyStamps = stored.autoVerifyTsp != 0,
          .noStampIsError = stored.noTspIsError != 0,
          .stampSignatures = stored.autoUseTsp != 0};
}

RuleSettings ReadRuleSettings(const ProfileRecord& profile, int ruleIndex) {
  const RuleRecord& rule = profile.rules.at(static_cast<std::size_t>(ruleIndex));
  return {.archive = ArchiveSettingOf(rule.zipFile),
          .stream = rule.stream != 0,
          .detachedInput = rule.inFormatDet != 0,
          .detachedOutput = rule.outFormatDet != 0,
          .cipher = ContentCipherOf(rule.encAlgorithm),
          .pack = PackTriggersOf(rule),
          .execTimeLimitMs = rule.execTimeout >= 1 ? static_cast<ULONGLONG>(rule.execTimeout) * 60000ull : 0,
          .renameConflicts = profile.renameConfFiles != 0,
          .directory = ReadDirectorySwitches(profile, rule.zcsProfile),
          .resignDirectory = ReadDirectorySwitches(profile, rule.resignProfile)};
}
