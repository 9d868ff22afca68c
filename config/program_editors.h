#pragma once
// The editors the main dialog's commands open in this program.

#include "config/editor_dialogs.h"

class ProgramEditors : public EditorDialogs {
 public:
  bool EditProfile(QWidget* owner, ProfileRecord& profile,
                   std::vector<CString>& removedDirectoryProfiles) override;
  bool EditRule(QWidget* owner, const ProfileRecord& profile,
                const std::vector<CString>& suggestedMasks, RuleRecord& rule) override;
};
