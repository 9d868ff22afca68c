#include "config/program_editors.h"

#include "config/add_profile_dialog.h"
#include "config/add_rule_dialog.h"
#include "config/message_boxes.h"

bool ProgramEditors::EditProfile(QWidget* owner, const TrelconState& state, ProfileRecord& profile,
                                 std::vector<CString>& removedDirectoryProfiles) {
  return RunProfileEditor(owner, state, profile, removedDirectoryProfiles);
}

bool ProgramEditors::EditRule(QWidget* owner, TrelconState& state, const ProfileRecord& profile,
                              const std::vector<CString>& suggestedMasks, RuleRecord& rule) {
  CAddRule dialog(owner, state, profile, suggestedMasks, rule);
  if (RunModal(dialog) != QDialog::Accepted) return false;
  rule = dialog.Result();
  return true;
}
