#pragma once
// The main dialog of the configuration program (CTrelconDlg): the service
// profiles on the left, the rules of the open profile on the right, the
// toolbar, the menu and the three closing buttons. Its commands are in
// main_commands.cpp, the load and save in configuration_store.cpp, the rule
// export and import in rule_export_commands.cpp.

#include <QDialog>
#include <QString>
#include <map>
#include <vector>

#include "config/config_records.h"
#include "common/operation_catalogue.h"
#include "platform/cstring.h"

class QAction;
class QLineEdit;
class QMenu;
class QPushButton;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

// What the rule list shows for rule number (its position plus 1): the nine
// column texts, column 8 being RuleFurtherSettings.
std::vector<CString> RuleColumnTexts(const RuleRecord& rule, int number);
// Column 8 ("Дополнительно"): the rule's further settings in one line.
CString RuleFurtherSettings(const RuleRecord& rule);
// The details text of column 8 shown on a right click.
CString RuleDetailsText(const RuleRecord& rule);

// The masks offered to the rule editor: the rules' masks in rule order (each
// once), then "*." and each extension setting, then "*." and each extra
// extension.
std::vector<CString> SuggestedMasks(const ProfileRecord& profile, const BaseSettings& extensions);

class CTrelconDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CTrelconDlg(QWidget* parent = nullptr);
  ~CTrelconDlg() override;

  // Prepares the window, loads the configuration and opens the first
  // profile. false when the load failed (it has reported); the dialog is
  // then to end as Cancel.
  bool OnInitDialog();

  int logFileSize = 4000;  // "Log filesize" of the journal settings

  // The program's state, which the load fills, the commands and editors
  // change and the save writes.
  TrelconState& State() { return state_; }
  const TrelconState& State() const { return state_; }

 public slots:
  void SaveConfiguration();
  void OnJournalSettings();
  void OnSettings();
  void OnSaveAndExit();
  void OnExit();
  void OnAbout();
  void OnAddProfile();
  void OnOpenProfile();
  void OnEditProfile();
  void OnDeleteProfile();
  void ExportProfileRules();
  void ImportProfileRules();
  void OnAddRule();
  void OnEditRule();
  void OnCopyRule();
  void OnDeleteRule();
  void OnMoveRuleFirst();
  void OnMoveRuleUp();
  void OnMoveRuleDown();
  void OnMoveRuleLast();
  void StoreRuleSwitches();
  void ShowRuleDetails(int row, int column);
  void OnSearchChanged();

  void reject() override;  // Escape and the close box: OnExit

 public:
  void LayOutListColumns(bool resizeOnly);
  void FillProfileList();
  void FillRuleList(const std::vector<RuleRecord>& rules);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void BuildMenu();
  // badge: a coloured mark in the picture's corner (main_dialog.cpp's Badge).
  QToolButton* ToolButton(const char* objectName, const char* toolTip, int icon, int badge = 0);
  void SetProfileControlsEnabled(bool enabled);
  void ShowNoOpenProfile();
  void RefillRules();
  // The selected rows of the rule list in row order, and the rule number of a row.
  std::vector<int> SelectedRuleRows();
  int RuleNumberOfRow(int row) const;
  // The open profile and the number of the first selected row's rule (its
  // row in row); 0 when there is no open profile, no selection, or the
  // number lies outside the profile's rules.
  int SelectedRule(ProfileRecord*& profile, int& row);
  void SelectRuleRow(int row);
  void FocusRuleRow(int row);
  void LeaveWithResult(int result);

  QTreeWidget* profileList_ = nullptr;
  QTreeWidget* ruleList_ = nullptr;
  QLineEdit* searchEdit_ = nullptr;
  QLineEdit* profileEdit_ = nullptr;
  QLineEdit* directoryProfilesEdit_ = nullptr;
  std::vector<QWidget*> profileControls_;
  std::vector<QAction*> profileActions_;
  bool filling_ = false;
  TrelconState state_;
};
