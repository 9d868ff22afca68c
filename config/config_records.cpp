#include "config/config_records.h"

void TrelconState::ResetConfiguration() {
  profileNames.RemoveAll();
  profiles.clear();
  libraryProfileNames.RemoveAll();
  directoryProfiles.clear();
  currentProfile.Empty();
  modified = 0;
  baseSettings = BaseSettings();
}

int TrelconState::ProfilePosition(const CString& name) const {
  for (INT_PTR i = 0; i < profileNames.GetSize(); ++i) {
    if (profileNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

ProfileRecord* TrelconState::OpenProfile() {
  if (currentProfile.IsEmpty()) return nullptr;
  const int position = ProfilePosition(currentProfile);
  if (position < 0 || position >= static_cast<int>(profiles.size())) return nullptr;
  return &profiles[position];
}

const ProfileRecord* TrelconState::OpenProfile() const {
  return const_cast<TrelconState*>(this)->OpenProfile();
}
