#include "tests/config/trelcon_fixture.h"

#include <QApplication>
#include <QLineEdit>

#include "config/trelcon_app.h"
#include "tests/support/gui_test_main.h"
#include "tests/support/service_runner.h"
#include "tests/support/test_pki.h"

namespace testsupport {

BaseSettings DefaultExtensions(std::initializer_list<const wchar_t*> extExt) {
  BaseSettings settings;
  settings.sigExt = L"p7s";
  settings.dsigExt = L"p7d";
  settings.encExt = L"p7e";
  settings.b64Ext = L"b64";
  settings.hashExt = L"hsh";
  settings.verifyFileExt = L"vrf";
  settings.zipArchiveExt = L"zip";
  settings.gzipArchiveExt = L"gz";
  for (const wchar_t* item : extExt) settings.extExt.Add(item);
  return settings;
}

bool ScriptedEditors::EditProfile(QWidget*, const TrelconState&, ProfileRecord& profile,
                                  std::vector<CString>& removed) {
  if (profileAnswers.empty()) {
    ADD_FAILURE() << "unexpected profile editor";
    return false;
  }
  auto answer = std::move(profileAnswers.front());
  profileAnswers.pop_front();
  return answer(profile, removed);
}

bool ScriptedEditors::EditRule(QWidget*, TrelconState&, const ProfileRecord&,
                               const std::vector<CString>& masks, RuleRecord& rule) {
  suggestedMasks.push_back(masks);
  if (ruleAnswers.empty()) {
    ADD_FAILURE() << "unexpected rule editor";
    return false;
  }
  auto answer = std::move(ruleAnswers.front());
  ruleAnswers.pop_front();
  return answer(rule);
}

std::string TrelconTest::Reg(const std::vector<std::string>& args) {
  const ProgramResult result = RunProgram(BuildDir() / "bin" / "reg", args);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  return result.output;
}

void TrelconTest::ImportStore(const std::string& body) {
  const std::filesystem::path file =
      root.WriteFile("import.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + body);
  Reg({"import", file.string()});
}

std::string TrelconTest::PseOf(const std::string& who) const {
  return TestPki::Shared().Pse(who).string();
}

std::string TrelconTest::LocalFolder() const { return TestPki::Shared().local.string(); }

void TrelconTest::AddLibraryProfile(const std::string& name, const std::string& who,
                                    const std::string& local) {
  const std::string key = "HKCU\\SOFTWARE\\TORVAK\\qelm\\Profiles\\" + name;
  Reg({"add", key, "/v", "PSE", "/t", "REG_SZ", "/d", PseOf(who), "/f"});
  Reg({"add", key, "/v", "LOCAL", "/t", "REG_SZ", "/d", local.empty() ? LocalFolder() : local, "/f"});
  Reg({"add", key, "/v", "LDAP", "/t", "REG_SZ", "/d", "ldap://" + name, "/f"});
}

std::unique_ptr<CTrelconDlg> TrelconTest::OpenDialog() {
  auto dialog = std::make_unique<CTrelconDlg>();
  dialog->State().editors = &editors;
  EXPECT_TRUE(dialog->OnInitDialog());
  return dialog;
}

QTreeWidget* TrelconTest::RuleList(CTrelconDlg& dialog) const {
  return dialog.findChild<QTreeWidget*>("RuleList");
}

QTreeWidget* TrelconTest::ProfileList(CTrelconDlg& dialog) const {
  return dialog.findChild<QTreeWidget*>("ProfileList");
}

std::vector<int> TrelconTest::RowNumbers(CTrelconDlg& dialog) const {
  std::vector<int> numbers;
  QTreeWidget* list = RuleList(dialog);
  for (int row = 0; row < list->topLevelItemCount(); ++row) {
    numbers.push_back(list->topLevelItem(row)->text(0).toInt());
  }
  return numbers;
}

void TrelconTest::SelectRuleRows(CTrelconDlg& dialog, std::initializer_list<int> rows) const {
  QTreeWidget* list = RuleList(dialog);
  list->clearSelection();
  for (int row : rows) list->topLevelItem(row)->setSelected(true);
}

}  // namespace testsupport

// As the program does at start: Qt's texts in Russian, every error box
// through the seam.
void PrepareTestApplication(QApplication& application) { PrepareTrelcon(application); }
