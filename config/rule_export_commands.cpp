// The main dialog's export and import of the open profile's rules
// (rule_export.h holds the file format).

#include <QFileDialog>
#include <QTreeWidget>

#include "common/qt_file_dialog.h"
#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/main_dialog.h"
#include "config/message_boxes.h"
#include "config/rule_export.h"

namespace {

// The file dialog of both commands: extension "prx", the filter of rule
// files and all files. Returns the chosen path, or "" when cancelled.
CString AskRulesFile(QWidget* owner, bool save, const CString& proposedName) {
  QFileDialog dialog(owner);
  PrepareFileDialog(dialog);
  dialog.setObjectName(save ? "ExportRulesFileDialog" : "ImportRulesFileDialog");
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QStringLiteral("prx"));
  dialog.setNameFilters({QString::fromUtf8("Профили (*.prx)"), QString::fromUtf8("Все файлы (*)")});
  if (!proposedName.IsEmpty()) dialog.selectFile(ToQString(proposedName));
  if (RunModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return CString();
  return FromQString(dialog.selectedFiles().first());
}

}  // namespace

void CTrelconDlg::ExportProfileRules() {
  const int position = state_.ProfilePosition(state_.currentProfile);
  if (position < 0) return;
  const ProfileRecord& profile = state_.profiles[position];
  if (profile.rules.empty()) {
    ProgramMessageBox(this, "Профиль не содержит правил.", MB_ICONWARNING);
    return;
  }
  std::string bytes;
  int refused = 0;
  if (!BuildRulesExport(profile.rules, bytes, refused)) {
    ProgramMessageBox(this, ExportRefusalText(profile.rules[refused], refused), MB_ICONWARNING);
    return;
  }
  const CString path = AskRulesFile(this, true, profile.name);
  if (path.IsEmpty()) return;
  WriteRulesExportFile(this, path, bytes);
}

void CTrelconDlg::ImportProfileRules() {
  const CString path = AskRulesFile(this, false, CString());
  if (path.IsEmpty()) return;
  std::string bytes;
  if (!ReadRulesExportFile(this, path, bytes)) return;
  const std::vector<RuleRecord> rules = ParseRulesExport(bytes);
  if (rules.empty()) return;
  ruleList_->clear();
  for (INT_PTR i = 0; i < state_.profileNames.GetSize(); ++i) {
    if (state_.profileNames[i] != state_.currentProfile) continue;
    ProfileRecord& profile = state_.profiles[i];
    profile.rules.insert(profile.rules.end(), rules.begin(), rules.end());
    FillRuleList(profile.rules);
  }
  FocusRuleRow(ruleList_->topLevelItemCount() - 1);
  state_.modified = 1;
}
