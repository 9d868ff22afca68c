#pragma once
// The editors the main dialog's commands open in this program.

#include "config/editor_dialogs.h"

class ProgramEditors : public EditorDialogs {
 public:
  bool EditProfile(QWidget* owner, const TrelconState& state, ProfileRecord& profile,
                   std::vector<CString>& removedDirectoryProfiles) override;
  bool EditRule(QWidget* owner, TrelconState& state, const ProfileRecord& profile,
                const std::vector<CString>& suggestedMasks, RuleRecord& rule) override;
};
