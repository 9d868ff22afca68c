#pragma once
// A private machine for the configuration program's tests: a temporary root
// with the library's directory profiles of the test PKI, a configuration
// store imported with reg, every dialog answered (modal_answers.h) and the
// editors played by a script.

#include <gtest/gtest.h>

#include <QTreeWidget>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>

#include "config/config_records.h"
#include "config/editor_dialogs.h"
#include "config/main_dialog.h"
#include "tests/config/modal_answers.h"
#include "tests/support/temp_root.h"

namespace testsupport {

// The service's default extensions with these extra extensions.
BaseSettings DefaultExtensions(std::initializer_list<const wchar_t*> extExt = {});

// Plays CAddProfile and CAddRule: each request takes the next scripted
// answer (a change to the copy, then OK) or, with none left, fails the test.
class ScriptedEditors : public EditorDialogs {
 public:
  std::deque<std::function<bool(ProfileRecord&, std::vector<CString>&)>> profileAnswers;
  std::deque<std::function<bool(RuleRecord&)>> ruleAnswers;
  std::vector<std::vector<CString>> suggestedMasks;  // as each rule request offered them

  bool EditProfile(QWidget*, const TrelconState&, ProfileRecord& profile,
                   std::vector<CString>& removed) override;
  bool EditRule(QWidget*, TrelconState&, const ProfileRecord&, const std::vector<CString>& masks,
                RuleRecord& rule) override;
};

class TrelconTest : public ::testing::Test {
 protected:
  // Runs reg with the test's environment; fails the test on a non-zero exit.
  std::string Reg(const std::vector<std::string>& args);
  // Imports .reg text (the header is added).
  void ImportStore(const std::string& body);
  // The library's directory profile name with the PKI's paths for who, and
  // the PKI's local directory or local when given.
  void AddLibraryProfile(const std::string& name, const std::string& who,
                         const std::string& local = {});
  std::string PseOf(const std::string& who) const;
  std::string LocalFolder() const;

  // A main dialog over the store, initialised (the load run), its commands
  // opening the scripted editors.
  std::unique_ptr<CTrelconDlg> OpenDialog();

  QTreeWidget* RuleList(CTrelconDlg& dialog) const;
  QTreeWidget* ProfileList(CTrelconDlg& dialog) const;
  // The numbers shown in column 0 of the rule list.
  std::vector<int> RowNumbers(CTrelconDlg& dialog) const;
  void SelectRuleRows(CTrelconDlg& dialog, std::initializer_list<int> rows) const;

  TempRoot root;
  ModalAnswers answers;
  ScriptedEditors editors;
  // The program's state for tests that run the load, the save or an editor
  // without a main dialog (a dialog holds its own).
  TrelconState state;
};

}  // namespace testsupport
