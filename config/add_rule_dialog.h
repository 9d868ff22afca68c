#pragma once
// CAddRule, the rule editor: one form for all 24 operations (add_rule_form.h
// decides what each shows and stores), the folder pickers, the mask list,
// and the button whose meaning follows the operation: recipients, signer
// lists, a second output folder or an executable.

#include <memory>
#include <vector>

#include <QDialog>

#include "config/add_rule_form.h"
#include "config/config_records.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTreeWidget;
class MaskList;

class CAddRule : public QDialog {
  Q_OBJECT
 public:
  // state: the program's (the form keeps the directory-profile position
  // there); profile: a copy of the open profile; suggestedMasks: offered by
  // every AddMask; rule: a copy of the rule, or a new record.
  CAddRule(QWidget* parent, TrelconState& state, const ProfileRecord& profile,
           const std::vector<CString>& suggestedMasks, const RuleRecord& rule);
  ~CAddRule() override;

  // The rule built by OK.
  const RuleRecord& Result() const { return result_; }
  RuleForm& Form() { return form_; }

  void OnOperationChange();
  void OnDirectoryProfileChange();
  void OnCertificateButton();
  void OnInputFolder();
  void OnOutputFolder();
  void OnErrorFolder();

  void accept() override;

 private:
  void ReadFields();
  void ShowFields();
  void PickFolder(QLineEdit* target);
  void PickRecipients();
  void EditSignerLists();

  RuleForm form_;
  RuleRecord result_;
  QComboBox* operation_;
  QLabel* directoryProfileLabel_;
  QComboBox* directoryProfile_;
  QLineEdit* pathIn_;
  QLineEdit* pathOut_;
  QLineEdit* pathError_;
  QPushButton* outputButton_;
  QPushButton* certButton_;
  QLineEdit* certField_;
  QLineEdit* description_;
  QLabel* rowLabels_[4];
  QStackedWidget* rowCells_[3];  // each shows one of the three below, or the empty cell
  QWidget* emptyCells_[3];
  QComboBox* rowLists_[3];
  QLineEdit* moveEdits_[3];
  QSpinBox* limitEdits_[3];
  QLineEdit* copiesOrArchiveNameEdit_;
  QTreeWidget* maskView_;
  std::unique_ptr<MaskList> masks_;
};
