// The main dialog's commands on profiles and rules. They change the state
// held in memory (config_records.h) and set state_.modified; nothing reaches the
// store before a save. A rule row names its rule by the number in column 0,
// since the search filter may leave rules out.

#include <QAction>
#include <QLineEdit>
#include <QTreeWidget>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/editor_dialogs.h"
#include "config/main_dialog.h"
#include "config/message_boxes.h"

namespace {

// Takes the rule at from out and puts it back at to.
void MoveRule(std::vector<RuleRecord>& rules, int from, int to) {
  RuleRecord rule = std::move(rules[from]);
  rules.erase(rules.begin() + from);
  rules.insert(rules.begin() + to, std::move(rule));
}

}  // namespace

// ---------------------------------------------------------------- helpers

void CTrelconDlg::SetProfileControlsEnabled(bool enabled) {
  for (QWidget* control : profileControls_) control->setEnabled(enabled);
  for (QAction* action : profileActions_) action->setEnabled(enabled);
}

std::vector<int> CTrelconDlg::SelectedRuleRows() {
  std::vector<int> rows;
  for (QTreeWidgetItem* item : ruleList_->selectedItems()) {
    rows.push_back(ruleList_->indexOfTopLevelItem(item));
  }
  std::sort(rows.begin(), rows.end());
  state_.selectedPosition = rows.empty() ? 0 : rows.front() + 1;
  return rows;
}

int CTrelconDlg::RuleNumberOfRow(int row) const {
  QTreeWidgetItem* item = ruleList_->topLevelItem(row);
  return item == nullptr ? 0 : item->text(0).toInt();
}

int CTrelconDlg::SelectedRule(ProfileRecord*& profile, int& row) {
  profile = state_.OpenProfile();
  const std::vector<int> rows = SelectedRuleRows();
  if (profile == nullptr || rows.empty()) return 0;
  row = rows.front();
  const int number = RuleNumberOfRow(row);
  return number >= 1 && number <= static_cast<int>(profile->rules.size()) ? number : 0;
}

void CTrelconDlg::RefillRules() {
  ruleList_->clear();
  if (const ProfileRecord* profile = state_.OpenProfile()) FillRuleList(profile->rules);
}

void CTrelconDlg::SelectRuleRow(int row) {
  ruleList_->clearSelection();
  const int count = ruleList_->topLevelItemCount();
  if (count == 0) return;
  row = std::clamp(row, 0, count - 1);
  QTreeWidgetItem* item = ruleList_->topLevelItem(row);
  ruleList_->setCurrentItem(item);
  item->setSelected(true);
}

void CTrelconDlg::FocusRuleRow(int row) {
  ruleList_->setFocus();
  SelectRuleRow(row);
  if (QTreeWidgetItem* item = ruleList_->currentItem()) ruleList_->scrollToItem(item);
}

void CTrelconDlg::ShowNoOpenProfile() {
  state_.currentProfile.Empty();
  profileEdit_->setText(QString::fromUtf8("Профиль: "));
  directoryProfilesEdit_->setText(QString::fromUtf8("Количество профилей справочника: 0"));
  SetProfileControlsEnabled(false);
  ruleList_->clear();
  // No row may look open while no profile is.
  profileList_->clearSelection();
  profileList_->setCurrentItem(nullptr);
}

// ---------------------------------------------------------------- profiles

void CTrelconDlg::OnOpenProfile() {
  QList<QTreeWidgetItem*> selected = profileList_->selectedItems();
  if (selected.isEmpty()) return;
  ruleList_->clear();
  state_.currentProfile = FromQString(selected.first()->text(0));
  const ProfileRecord* profile = state_.OpenProfile();
  if (profile == nullptr) return;
  profileEdit_->setText(QString::fromUtf8("Профиль: ") + ToQString(profile->name));
  directoryProfilesEdit_->setText(QString::fromUtf8("Количество профилей справочника: %1")
                                      .arg(profile->zcsProfiles.size()));
  SetProfileControlsEnabled(true);
  FillRuleList(profile->rules);
}

void CTrelconDlg::OnAddProfile() {
  if (state_.libraryProfileNames.IsEmpty()) {
    ProgramMessageBox(this, "Не обнаружено ни одного профиля справочника.", MB_ICONWARNING);
    return;
  }
  if (state_.editors == nullptr) return;
  ProfileRecord profile;
  std::vector<CString> removed;
  if (!state_.editors->EditProfile(this, state_, profile, removed)) return;
  state_.profileNames.Add(profile.name);
  state_.profiles.push_back(profile);
  FillProfileList();
  state_.modified = 1;
}

void CTrelconDlg::OnEditProfile() {
  ProfileRecord* open = state_.OpenProfile();
  if (open == nullptr || state_.editors == nullptr) return;
  ProfileRecord edited = *open;
  std::vector<CString> removed;
  if (!state_.editors->EditProfile(this, state_, edited, removed)) return;
  const int position = state_.ProfilePosition(state_.currentProfile);
  for (QTreeWidgetItem* item : profileList_->findItems(ToQString(state_.currentProfile),
                                                       Qt::MatchExactly | Qt::MatchCaseSensitive)) {
    item->setText(0, ToQString(edited.name));
  }
  state_.currentProfile = edited.name;
  state_.profileNames[position] = edited.name;
  if (!edited.zcsProfiles.empty()) {
    const CString first = edited.zcsProfiles.front();
    for (const CString& name : removed) {
      for (RuleRecord& rule : edited.rules) {
        if (rule.zcsProfile == name) rule.zcsProfile = first;
        if (rule.resignProfile == name) rule.resignProfile = first;
      }
    }
  }
  state_.profiles[position] = std::move(edited);
  directoryProfilesEdit_->setText(QString::fromUtf8("Количество профилей справочника: %1")
                                      .arg(state_.profiles[position].zcsProfiles.size()));
  RefillRules();
  state_.modified = 1;
}

void CTrelconDlg::OnDeleteProfile() {
  QList<QTreeWidgetItem*> selected = profileList_->selectedItems();
  if (selected.isEmpty()) return;
  QTreeWidgetItem* row = selected.first();
  const CString name = FromQString(row->text(0));
  const CString question =
      FormatReportMessage(WidenFormat("Вы уверены, что хотите удалить профиль '%s'?"), name);
  if (ProgramMessageBox(this, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  if (profileList_->topLevelItemCount() < 2) {
    ProgramMessageBox(this, "Единственный профиль не подлежит удалению.", MB_ICONWARNING);
    return;
  }
  // The list leaves out empty names and names that differ only in letter
  // case, so a row's position is no entry's position: the row's own name
  // finds its profile.
  const int position = state_.ProfilePosition(name);
  delete profileList_->takeTopLevelItem(profileList_->indexOfTopLevelItem(row));
  if (position >= 0) {
    state_.profileNames.RemoveAt(position);
    state_.profiles.erase(state_.profiles.begin() + position);
  }
  ShowNoOpenProfile();
  state_.modified = 1;
}

// ------------------------------------------------------------------- rules

void CTrelconDlg::OnAddRule() {
  ProfileRecord* profile = state_.OpenProfile();
  if (profile == nullptr || state_.editors == nullptr) return;
  RuleRecord rule;
  if (!state_.editors->EditRule(this, state_, *profile, SuggestedMasks(*profile, state_.baseSettings), rule)) {
    return;
  }
  profile->rules.push_back(rule);
  RefillRules();
  FocusRuleRow(static_cast<int>(profile->rules.size()) - 1);
  state_.modified = 1;
}

void CTrelconDlg::OnEditRule() {
  ProfileRecord* profile = nullptr;
  int row = 0;
  const int number = SelectedRule(profile, row);
  if (number == 0 || state_.editors == nullptr) return;
  RuleRecord rule = profile->rules[number - 1];
  if (!state_.editors->EditRule(this, state_, *profile, SuggestedMasks(*profile, state_.baseSettings), rule)) {
    return;
  }
  profile->rules[number - 1] = std::move(rule);
  RefillRules();
  FocusRuleRow(row);
  state_.modified = 1;
}

void CTrelconDlg::OnCopyRule() {
  ProfileRecord* profile = nullptr;
  int row = 0;
  const int number = SelectedRule(profile, row);
  if (number == 0) return;
  const RuleRecord copy = profile->rules[number - 1];
  profile->rules.insert(profile->rules.begin() + number, copy);
  RefillRules();
  FocusRuleRow(row + 1);
  state_.modified = 1;
}

void CTrelconDlg::OnDeleteRule() {
  ProfileRecord* profile = state_.OpenProfile();
  const std::vector<int> rows = SelectedRuleRows();
  if (profile == nullptr || rows.empty()) return;
  CString question;
  question.Format(WidenFormat("Вы уверены, что хотите удалить %d правил(о)?"),
                  static_cast<int>(rows.size()));
  if (ProgramMessageBox(this, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  std::vector<int> numbers;
  for (int row : rows) numbers.push_back(RuleNumberOfRow(row));
  // Highest first, so that the numbers still to go stay valid.
  std::sort(numbers.rbegin(), numbers.rend());
  for (int number : numbers) {
    if (number >= 1 && number <= static_cast<int>(profile->rules.size())) {
      profile->rules.erase(profile->rules.begin() + (number - 1));
    }
  }
  RefillRules();
  state_.modified = 1;
}

void CTrelconDlg::OnMoveRuleFirst() {
  ProfileRecord* profile = nullptr;
  int row = 0;
  const int number = SelectedRule(profile, row);
  if (number == 0) return;
  MoveRule(profile->rules, number - 1, 0);
  RefillRules();
  FocusRuleRow(0);
  state_.modified = 1;
}

void CTrelconDlg::OnMoveRuleUp() {
  ProfileRecord* profile = nullptr;
  int row = 0;
  const int number = SelectedRule(profile, row);
  if (number <= 1) return;
  MoveRule(profile->rules, number - 1, number - 2);
  RefillRules();
  FocusRuleRow(row - 1);
  state_.modified = 1;
}

void CTrelconDlg::OnMoveRuleDown() {
  ProfileRecord* profile = nullptr;
  int row = 0;
  const int number = SelectedRule(profile, row);
  if (number == 0 || number == static_cast<int>(profile->rules.size())) return;
  MoveRule(profile->rules, number - 1, number);
  RefillRules();
  FocusRuleRow(row + 1);
  state_.modified = 1;
}

void CTrelconDlg::OnMoveRuleLast() {
  ProfileRecord* profile = nullptr;
  int row = 0;
  const int number = SelectedRule(profile, row);
  if (number == 0) return;
  MoveRule(profile->rules, number - 1, static_cast<int>(profile->rules.size()) - 1);
  RefillRules();
  FocusRuleRow(ruleList_->topLevelItemCount() - 1);
  state_.modified = 1;
}

void CTrelconDlg::StoreRuleSwitches() {
  ProfileRecord* profile = state_.OpenProfile();
  if (profile == nullptr) return;
  for (int row = 0; row < ruleList_->topLevelItemCount(); ++row) {
    const int number = RuleNumberOfRow(row);
    if (number < 1 || number > static_cast<int>(profile->rules.size())) continue;
    const int isOn = ruleList_->topLevelItem(row)->checkState(0) == Qt::Checked ? 1 : 0;
    RuleRecord& rule = profile->rules[number - 1];
    if (rule.isOn != isOn) {
      rule.isOn = isOn;
      state_.modified = 1;
    }
  }
}
