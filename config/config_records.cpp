#include "config/config_records.h"

CStringArray g_profileNames;
std::vector<ProfileRecord> g_profiles;
CStringArray g_libraryProfileNames;
std::vector<DirectoryProfileEntry> g_directoryProfiles;
CString g_currentProfile;
int g_modified = 0;
BaseSettings g_baseSettings;

void ResetConfigurationState() {
  g_profileNames.RemoveAll();
  g_profiles.clear();
  g_libraryProfileNames.RemoveAll();
  g_directoryProfiles.clear();
  g_currentProfile.Empty();
  g_modified = 0;
  g_baseSettings = BaseSettings();
}

int ProfilePosition(const CString& name) {
  for (INT_PTR i = 0; i < g_profileNames.GetSize(); ++i) {
    if (g_profileNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

ProfileRecord* OpenProfile() {
  if (g_currentProfile.IsEmpty()) return nullptr;
  const int position = ProfilePosition(g_currentProfile);
  if (position < 0 || position >= static_cast<int>(g_profiles.size())) return nullptr;
  return &g_profiles[position];
}
