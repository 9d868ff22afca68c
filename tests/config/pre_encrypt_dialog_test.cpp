// The certificate picker on a real library context of the test PKI: the
// candidate commands, what adding to the chosen list keeps out, the list-name
// checks of a signer-list pick, the last look-up on OK, and the network
// search's field dialog.
#include "config/pre_encrypt_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/signer_list_names.h"
#include "tests/config/dialog_answers.h"
#include "tests/config/modal_answers.h"
#include "tests/config/widget_lookup.h"
#include "tests/qelm/library_fixture.h"

namespace {

using testsupport::CheckRow;
using testsupport::Child;
using testsupport::Click;
using testsupport::ModalAnswers;
using testsupport::Q;
using testsupport::RowTexts;

class PickerTest : public qelmtest::LibraryTest {
 protected:
  PickerTest() : context_(Open("user1")) {}

  CString Dn(const std::string& who) const { return CString(pki_.Dn(who).c_str()); }
  QString QDn(const std::string& who) const { return ToQString(Dn(who)); }

  std::unique_ptr<CPreEncryptDlg> Picker(bool signerPick, std::vector<CString> initial = {}) {
    PreEncryptParams params;
    params.signerSearch = signerPick ? 1 : 0;
    params.notUseLdap = 1;
    auto picker = std::make_unique<CPreEncryptDlg>(nullptr, params, context_.get(), initial);
    picker->listMode = signerPick ? 1 : 0;
    return picker;
  }

  qelmtest::Ctx context_;
  ModalAnswers answers_;
};

TEST_F(PickerTest, DirectoryOwnersAreAddedOnceFilteredAndSortedDescendingFirst) {
  auto picker = Picker(false);
  picker->OnInitDialog();
  EXPECT_EQ(picker->windowTitle(), Q("Добавить получателей"));
  EXPECT_FALSE(Child<QLineEdit>(*picker, "ListName")->isVisibleTo(picker.get()));
  Click(*picker, "FromDirectory");
  Click(*picker, "FromDirectory");
  const QStringList owners = RowTexts(*picker, "Candidates");
  EXPECT_EQ(owners.size(), 2) << "user1 and user2 (not the revoked holder), each once";
  EXPECT_TRUE(owners.contains(QDn("user2")));
  EXPECT_GT(QString::compare(owners.first(), owners.last()), 0) << "a fresh list is descending";
  auto* header = Child<QTreeWidget>(*picker, "Candidates")->header();
  emit header->sectionClicked(0);
  EXPECT_LT(QString::compare(RowTexts(*picker, "Candidates").first(), RowTexts(*picker, "Candidates").last()), 0);

  Child<QLineEdit>(*picker, "Filter")->setText(QDn("user2").mid(3, 4).toLower());
  EXPECT_EQ(RowTexts(*picker, "Candidates"), QStringList{QDn("user2")}) << "letter case ignored";
  EXPECT_EQ(picker->Candidates().size(), 2u) << "the filter only hides";
  EXPECT_TRUE(answers_.Shown().empty());
}

TEST_F(PickerTest, AddingTakesOutSignersOfOtherListsWithAWarning) {
  auto picker = Picker(true, {Dn("user1")});
  picker->previousName = L"mine";
  picker->listName = L"mine";
  picker->signerLists = {{L"mine", {Dn("user1")}}, {L"other", {Dn("user2")}}};
  picker->OnInitDialog();
  EXPECT_EQ(picker->windowTitle(), Q("Изменить список"));
  Click(*picker, "FromDirectory");
  Click(*picker, "CheckAll");
  answers_.Then(int(QDialog::Accepted));
  Click(*picker, "AddChosen");
  ASSERT_EQ(answers_.Shown().size(), 1u);
  // The box shows its CR LF line breaks as plain line breaks.
  const QString warning = answers_.Shown()[0].text;
  EXPECT_TRUE(warning.startsWith(Q("Следующие подписанты присутствуют в других списках")));
  EXPECT_TRUE(warning.contains(Q("Подписант\n\"") + QDn("user2") +
                               Q("\"\nприсутствует в списке\n\"other\"")))
      << warning.toStdString();
  EXPECT_FALSE(warning.contains(QDn("user1"))) << "the edited list's own signers are no clash";
  const QStringList chosen = RowTexts(*picker, "Chosen");
  EXPECT_TRUE(chosen.contains(QDn("user1")));
  EXPECT_FALSE(chosen.contains(QDn("user2")));
  EXPECT_EQ(chosen.count(QDn("user1")), 1) << "an owner already chosen is not added twice";

  CheckRow(*picker, "Chosen", QDn("user1"));
  Click(*picker, "RemoveChosen");
  EXPECT_FALSE(RowTexts(*picker, "Chosen").contains(QDn("user1")));
}

TEST(SignerListNames, NamesAreKeysThatIgnoreLetterCaseAndCannotNest) {
  const std::vector<SignerListRecord> lists = {{L"Bank", {}}, {L"Clients", {}}};
  struct Case {
    const wchar_t* name;
    const wchar_t* previous;
    const char* refusal;  // null: taken
  };
  const Case cases[] = {
      {L"", L"", "Введите имя списка"},
      {L"new", L"", nullptr},
      {L"bank", L"", "Список с таким именем уже существует"},
      {L"BANK", L"Clients", "Список с таким именем уже существует"},
      {L"CLIENTS", L"Clients", nullptr},
      {L"Clients", L"Clients", nullptr},
      {L"a\\b", L"", "Имя списка не может содержать символ \"\\\"."},
      {L"a\\b", L"a\\b", "Имя списка не может содержать символ \"\\\"."},
  };
  for (const Case& c : cases) {
    const char* refusal = SignerListNameRefusal(c.name, c.previous, lists);
    EXPECT_EQ(refusal == nullptr ? std::string("taken") : std::string(refusal),
              c.refusal == nullptr ? std::string("taken") : std::string(c.refusal))
        << CStringA(CString(c.name)).GetString() << " after "
        << CStringA(CString(c.previous)).GetString();
  }
}

TEST_F(PickerTest, SignerListOkChecksTheNameThenEveryOwnersCertificates) {
  auto picker = Picker(true, {Dn("user2")});
  picker->signerLists = {{L"Bank", {Dn("user1")}}};
  picker->OnInitDialog();
  EXPECT_EQ(picker->windowTitle(), Q("Создать список"));
  auto* name = Child<QLineEdit>(*picker, "ListName");
  answers_.Then(QMessageBox::Ok).Then(QMessageBox::Ok);
  Click(*picker, "OK");
  name->setText("bank");
  Click(*picker, "OK");
  EXPECT_EQ(answers_.MessageTexts(),
            (std::vector<QString>{Q("Введите имя списка"), Q("Список с таким именем уже существует")}));
  EXPECT_EQ(picker->QDialog::result(), 0);

  name->setText("Signers");
  Click(*picker, "OK");
  EXPECT_EQ(picker->QDialog::result(), int(QDialog::Accepted));
  EXPECT_EQ(picker->listName, CString(L"Signers"));
  EXPECT_EQ(picker->result, std::vector<CString>{Dn("user2")});
}

TEST_F(PickerTest, AnOwnerWithoutACertificateIsDroppedOnlyAfterYes) {
  const CString unknown = L"CN=Nobody, O=Nowhere, C=RU";
  // A recipient pick: the revoked holder's certificate still counts, the
  // time-stamp server's does not encrypt.
  auto picker = Picker(false, {Dn("user2"), unknown, Dn("tsa")});
  picker->OnInitDialog();
  answers_.Then(QMessageBox::No);
  Click(*picker, "OK");
  EXPECT_EQ(picker->QDialog::result(), 0) << "No keeps the picker open";
  ASSERT_EQ(answers_.MessageTexts().size(), 1u);
  EXPECT_TRUE(answers_.MessageTexts()[0].contains(Q("Продолжить проверку других владельцев?")));
  answers_.Then(QMessageBox::Yes).Then(QMessageBox::Yes);
  Click(*picker, "OK");
  EXPECT_EQ(picker->QDialog::result(), int(QDialog::Accepted));
  EXPECT_EQ(picker->result, std::vector<CString>{Dn("user2")});

  auto empty = Picker(false);
  empty->OnInitDialog();
  Click(*empty, "OK");
  EXPECT_EQ(empty->QDialog::result(), int(QDialog::Accepted)) << "a recipient pick may end empty";
  auto emptySigners = Picker(true);
  emptySigners->OnInitDialog();
  Child<QLineEdit>(*emptySigners, "ListName")->setText("L");
  answers_.Then(QMessageBox::Ok);
  Click(*emptySigners, "OK");
  EXPECT_EQ(answers_.MessageTexts().back(), Q("Ни одного подписанта не выбрано."));
  EXPECT_EQ(emptySigners->QDialog::result(), 0);
}

TEST_F(PickerTest, SavingAndClearingCandidatesAskFirst) {
  auto picker = Picker(false);
  picker->OnInitDialog();
  Click(*picker, "DeleteAll");  // nothing to delete: nothing asked
  Click(*picker, "FromDirectory");
  answers_.Then(QMessageBox::Ok);
  Click(*picker, "SaveGroup");
  EXPECT_EQ(answers_.MessageTexts().back(), Q("Ни одного получателя не выбрано."))
      << "and no file dialog";
  answers_.Then(QMessageBox::No);
  Click(*picker, "DeleteAll");
  EXPECT_EQ(RowTexts(*picker, "Candidates").size(), 2);
  answers_.Then(QMessageBox::Yes);
  Click(*picker, "DeleteAll");
  EXPECT_TRUE(RowTexts(*picker, "Candidates").isEmpty());
  EXPECT_TRUE(picker->Candidates().empty());
  EXPECT_EQ(answers_.MessageTexts().back(), Q("Вы уверены, что хотите удалить все элементы списка?"));
}

TEST(FilterDialog, OkNeedsAPatternThatAsksForSomethingAndAField) {
  ModalAnswers answers;
  CFilterDlg filter(nullptr);
  auto* pattern = Child<QLineEdit>(filter, "Pattern");
  auto* ok = Child<QPushButton>(filter, "OK");
  struct Case {
    const char* typed;
    bool enabled;
  };
  for (const Case& c : {Case{"", false}, Case{" \t", false}, Case{"**", false}, Case{"*", true},
                        Case{" * ", false}, Case{"ИВАН*", true}}) {
    pattern->setText(Q(c.typed));
    EXPECT_EQ(ok->isEnabled(), c.enabled) << c.typed;
  }
  pattern->setText(Q("  ИВАН*  "));
  answers.Then(QMessageBox::Ok);
  ok->click();
  EXPECT_EQ(answers.MessageTexts(), std::vector<QString>{Q("Выберите поле для фильтра")});
  EXPECT_EQ(filter.result(), 0);
  auto* field = Child<QComboBox>(filter, "Field");
  EXPECT_EQ(field->count(), 10);
  EXPECT_EQ(field->itemText(9), Q("<Поиск по всему имени>"));
  field->hidePopup();
  field->setCurrentIndex(0);
  ok->click();
  EXPECT_EQ(filter.result(), int(QDialog::Accepted));
  EXPECT_EQ(filter.field, 0);
  EXPECT_EQ(ToQString(filter.pattern), Q("ИВАН*"));
}

}  // namespace
