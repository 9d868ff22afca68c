// The signer lists of a rule: created through a real pick on the test PKI,
// changed, deleted several at once, shown, and taken over by the rule editor
// only on OK.
#include "config/signer_list_dialog.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <algorithm>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "common/report_text.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/config/widget_lookup.h"
#include "tests/support/test_pki.h"

namespace {

using testsupport::Child;
using testsupport::Click;
using testsupport::Q;

QStringList Rows(SignerList& dialog) {
  QStringList rows;
  auto* view = Child<QTreeWidget>(dialog, "Lists");
  for (int i = 0; i < view->topLevelItemCount(); ++i) {
    rows << view->topLevelItem(i)->text(0) + "=" + view->topLevelItem(i)->text(1);
  }
  return rows;
}

void SelectRows(SignerList& dialog, std::initializer_list<int> rows) {
  auto* view = Child<QTreeWidget>(dialog, "Lists");
  view->clearSelection();
  for (int row : rows) view->topLevelItem(row)->setSelected(true);
}

class SignerListTest : public testsupport::TrelconTest {
 protected:
  SignerListTest() {
    AddLibraryProfile("Основной", "user1");
    profile.name = L"main";
    profile.zcsProfiles = {WidenFormat("Основной")};
    profile.notUseLdap = {1};
    profile.notLoadCrl = {1};
    rule.operation = L"CHCK";
  }
  ProfileRecord profile;
  RuleRecord rule;
};

TEST_F(SignerListTest, DeletingSeveralAsksOnceAndListsWithoutNameStayHidden) {
  rule.signerLists = {{L"A", {L"CN=1"}}, {L"", {L"CN=2"}}, {L"B", {L"CN=3", L"CN=4"}},
                      {L"A", {L"CN=5"}}, {L"C", {}}};
  SignerList dialog(nullptr, rule, profile, 0);
  EXPECT_EQ(Rows(dialog), (QStringList{"A=1", "B=2", "A=1", "C=0"}));
  SelectRows(dialog, {0, 1});
  answers.Then(QMessageBox::No).Then(QMessageBox::Yes);
  Click(dialog, "Delete");
  EXPECT_EQ(dialog.Lists().size(), 5u);
  Click(dialog, "Delete");
  EXPECT_EQ(answers.MessageTexts().back(), Q("Вы уверены, что хотите удалить 3 список(ов)?"))
      << "both lists named A count";
  ASSERT_EQ(dialog.Lists().size(), 2u);
  EXPECT_TRUE(dialog.Lists()[0].name.IsEmpty());
  EXPECT_EQ(dialog.Lists()[1].name, CString(L"C"));
  Child<QTreeWidget>(dialog, "Lists")->clearSelection();
  Click(dialog, "Delete");
  Click(dialog, "Change");  // nothing selected: nothing happens
}

TEST_F(SignerListTest, CreatingAndChangingRunAPickOnTheRulesDirectoryProfile) {
  const CString user1 = CString(testsupport::TestPki::Shared().Dn("user1").c_str());
  rule.signerLists = {{L"Bank", {user1}}};
  SignerList dialog(nullptr, rule, profile, 0);
  answers.Then([](QDialog& picker) {
    EXPECT_EQ(picker.windowTitle(), Q("Создать список"));
    Child<QLineEdit>(picker, "ListName")->setText("Clients");
    Click(picker, "FromDirectory");
    Click(picker, "CheckAll");
    Click(picker, "AddChosen");
    Click(picker, "OK");
    return picker.result();
  });
  answers.Then(int(QDialog::Accepted));  // user1 belongs to "Bank" already
  Click(dialog, "Create");
  ASSERT_EQ(dialog.Lists().size(), 2u);
  EXPECT_EQ(dialog.Lists()[1].name, CString(L"Clients"));
  const std::vector<CString>& signers = dialog.Lists()[1].signers;
  const CString user2 = CString(testsupport::TestPki::Shared().Dn("user2").c_str());
  EXPECT_NE(std::find(signers.begin(), signers.end(), user2), signers.end());
  EXPECT_EQ(std::find(signers.begin(), signers.end(), user1), signers.end())
      << "a signer of another list is kept out";

  SelectRows(dialog, {0});
  answers.Then([](QDialog& picker) {
    EXPECT_EQ(picker.windowTitle(), Q("Изменить список"));
    Child<QLineEdit>(picker, "ListName")->setText("BANK");
    Click(picker, "OK");
    return picker.result();
  });
  Click(dialog, "Change");
  EXPECT_EQ(dialog.Lists()[0].name, CString(L"BANK")) << "its own name in other letter case";
  EXPECT_EQ(dialog.Lists()[0].signers, std::vector<CString>{user1});
  EXPECT_EQ(Rows(dialog).value(0), "BANK=1");
}

}  // namespace
