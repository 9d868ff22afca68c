#include "common/config_records.h"

int DirectoryProfileIndex(const ProfileRecord& profile, const CString& name) {
  for (size_t k = profile.zcsProfiles.size(); k > 0; --k) {
    if (profile.zcsProfiles[k - 1].Compare(name) == 0) return static_cast<int>(k - 1);
  }
  return 0;
}

int ListValueAt(const std::vector<int>& list, int k) {
  if (k < 0 || static_cast<size_t>(k) >= list.size()) return 0;
  return list[static_cast<size_t>(k)];
}

CString ListTextAt(const std::vector<CString>& list, int k) {
  if (k < 0 || static_cast<size_t>(k) >= list.size()) return CString();
  return list[static_cast<size_t>(k)];
}

DirectoryProfileSettings DirectoryProfileSettingsAt(const ProfileRecord& profile, int k) {
  DirectoryProfileSettings settings;
  settings.serverTsp = ListTextAt(profile.serverTsp, k);
  settings.notUseLdap = ListValueAt(profile.notUseLdap, k);
  settings.notAddCert = ListValueAt(profile.notAddCert, k);
  settings.notCopyToLocal = ListValueAt(profile.notCopyToLocal, k);
  settings.autoVerifyTsp = ListValueAt(profile.autoVerifyTsp, k);
  settings.noTspIsError = ListValueAt(profile.noTspIsError, k);
  settings.useAia = ListValueAt(profile.useAia, k);
  settings.autoUseTsp = ListValueAt(profile.autoUseTsp, k);
  settings.notLoadCrl = ListValueAt(profile.notLoadCrl, k);
  settings.crlUpdatePeriod = ListValueAt(profile.crlUpdatePeriod, k);
  return settings;
}

void PadCrlUpdatePeriods(ProfileRecord& profile) {
  while (profile.crlUpdatePeriod.size() < profile.notLoadCrl.size()) profile.crlUpdatePeriod.push_back(1);
}
