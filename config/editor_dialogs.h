#pragma once
// The profile and rule editors (CAddProfile, CAddRule) as the main dialog's
// commands open them. The commands hand a copy and take the result over
// only on OK; a main dialog without editors (TrelconState::editors) answers
// every request as Cancel.

#include <vector>

#include "config/config_records.h"
#include "platform/cstring.h"

class QWidget;

class EditorDialogs {
 public:
  virtual ~EditorDialogs() = default;
  // state is the main dialog's (the profile names, the library's
  // directory profiles, what the rule editor keeps between runs).
  // CAddProfile on profile (a copy of the open profile, or a new record).
  // true on OK: profile holds the edited profile and removedDirectoryProfiles
  // the directory profiles the user removed from it.
  virtual bool EditProfile(QWidget* owner, const TrelconState& state, ProfileRecord& profile,
                           std::vector<CString>& removedDirectoryProfiles) = 0;
  // CAddRule on rule (a copy, or a new record) of profile, offering
  // suggestedMasks. true on OK: rule holds the edited rule.
  virtual bool EditRule(QWidget* owner, TrelconState& state, const ProfileRecord& profile,
                        const std::vector<CString>& suggestedMasks, RuleRecord& rule) = 0;
};
