// The rule editor's window: the main dialog's commands open it, what the
// user types reaches the rule only through OK, refusals are shown in their
// boxes, the mask list with its commands, and the certificate picks on the
// test PKI.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/add_rule_dialog.h"
#include "config/config_records.h"
#include "config/mask_dialogs.h"
#include "config/program_editors.h"
#include "tests/config/dialog_answers.h"
#include "tests/config/modal_answers.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/config/widget_lookup.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

using testsupport::Child;
using testsupport::Click;
using testsupport::ModalAnswers;
using testsupport::OperationPosition;
using testsupport::Q;
using testsupport::TypeMask;

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

QStringList Masks(QWidget& editor) { return testsupport::RowTexts(editor, "MaskList"); }

void SelectMasks(QWidget& editor, std::initializer_list<int> rows) {
  auto* view = Child<QTreeWidget>(editor, "MaskList");
  view->clearSelection();
  for (int row : rows) view->topLevelItem(row)->setSelected(true);
}

class RuleEditorTest : public ::testing::Test {
 protected:
  RuleEditorTest() {
    profile.name = L"main";
    profile.zcsProfiles = {L"alpha", L"beta"};
  }
  std::unique_ptr<CAddRule> Editor(const RuleRecord& rule = RuleRecord{}) {
    return std::make_unique<CAddRule>(nullptr, state, profile,
                                      std::vector<CString>{L"*.p7s", L"*.xml"}, rule);
  }
  void FillFolders(CAddRule& editor) {
    Child<QLineEdit>(editor, "PathIn")->setText(Q(root.Dir("in")));
    Child<QLineEdit>(editor, "PathOut")->setText(Q(root.Dir("out")));
    Child<QLineEdit>(editor, "PathError")->setText(Q(root.Dir("err")));
  }

  testsupport::TempRoot root;
  ModalAnswers answers;
  TrelconState state;
  ProfileRecord profile;
};

TEST_F(RuleEditorTest, ChoosingAnOperationRedrawsItsRows) {
  auto editor = Editor();
  EXPECT_EQ(editor->windowTitle(), Q("Добавить правило"));
  auto* operation = Child<QComboBox>(*editor, "Operation");
  ASSERT_EQ(operation->count(), kOperationCount);
  operation->setCurrentIndex(OperationPosition("MOVE"));
  EXPECT_FALSE(Child<QLineEdit>(*editor, "CertificateField")->isReadOnly());
  EXPECT_TRUE(Child<QLineEdit>(*editor, "CertificateField")->text().isEmpty());
  EXPECT_EQ(Child<QLabel>(*editor, "Row4Label")->text(), Q("Формат отчетности копий:"));
  EXPECT_FALSE(Child<QLineEdit>(*editor, "DelExt")->isHidden());
  EXPECT_TRUE(Child<QComboBox>(*editor, "DirectoryProfile")->isHidden());
  EXPECT_TRUE(Child<QComboBox>(*editor, "Row2List")->isHidden());
  operation->setCurrentIndex(OperationPosition("SGEN"));
  EXPECT_TRUE(Child<QLineEdit>(*editor, "DelExt")->isHidden());
  auto* modes = Child<QComboBox>(*editor, "Row3List");
  EXPECT_FALSE(modes->isHidden());
  EXPECT_EQ(modes->itemText(1), Q("Потоковая"));
  EXPECT_EQ(Child<QComboBox>(*editor, "Row1List")->count(), 5);
  operation->setCurrentIndex(OperationPosition("DELE"));
  EXPECT_FALSE(Child<QLineEdit>(*editor, "PathOut")->isEnabled());
  EXPECT_FALSE(Child<QPushButton>(*editor, "OutputFolderButton")->isEnabled());
  EXPECT_TRUE(answers.Shown().empty());
}

TEST_F(RuleEditorTest, NoToTheDirectoryProfileQuestionPutsTheOldOneBack) {
  RuleRecord rule;
  rule.operation = L"ENCR";
  rule.zcsProfile = L"alpha";
  rule.recipients = {L"CN=A"};
  auto editor = Editor(rule);
  EXPECT_EQ(editor->windowTitle(), Q("Редактировать правило"));
  auto* directoryProfile = Child<QComboBox>(*editor, "DirectoryProfile");
  answers.Then(QMessageBox::No).Then(QMessageBox::Yes);
  directoryProfile->setCurrentIndex(1);
  EXPECT_EQ(directoryProfile->currentIndex(), 0);
  EXPECT_EQ(Child<QLineEdit>(*editor, "CertificateField")->text(), "1");
  directoryProfile->setCurrentIndex(1);
  EXPECT_EQ(directoryProfile->currentIndex(), 1);
  EXPECT_EQ(Child<QLineEdit>(*editor, "CertificateField")->text(), "0");
  ASSERT_EQ(answers.MessageTexts().size(), 2u);
  EXPECT_TRUE(answers.MessageTexts()[0].startsWith(Q("Для смены профиля справочника поле получателей")));
  EXPECT_EQ(answers.Shown()[0].icon, QMessageBox::Question);
}

TEST_F(RuleEditorTest, RefusalsAreShownInTheirBoxesAndKeepTheEditorOpen) {
  auto editor = Editor();
  answers.Then([](QDialog& box) {
    auto& errorBox = dynamic_cast<ErrBox&>(box);
    EXPECT_EQ(errorBox.windowTitle(), Q("Ошибка"));
    EXPECT_EQ(errorBox.icon, kIconInput);
    EXPECT_EQ(ToQString(errorBox.message), Q("Не выбран входной путь."));
    return int(QDialog::Accepted);
  });
  Click(*editor, "OK");
  Child<QComboBox>(*editor, "Operation")->setCurrentIndex(OperationPosition("HASH"));
  FillFolders(*editor);
  Child<QLineEdit>(*editor, "PathOut")->setText("out");
  answers.Then(QMessageBox::Ok);
  Click(*editor, "OK");
  ASSERT_EQ(answers.MessageTexts().size(), 1u);
  const QString report = answers.MessageTexts()[0];
  EXPECT_TRUE(report.startsWith(Q("Открытие файла out.\r\nОшибка 0x3 - "))) << report.toStdString();
  EXPECT_TRUE(report.endsWith(Q("Выбран некорректный выходной путь."))) << report.toStdString();
  FillFolders(*editor);
  answers.Then(QMessageBox::Ok);
  Click(*editor, "OK");
  EXPECT_EQ(answers.MessageTexts().back(), Q("Не выбрана маска."));
  EXPECT_EQ(editor->result(), 0) << "still open";
}

TEST_F(RuleEditorTest, MasksAreAddedChangedAndDeletedInPlace) {
  auto editor = Editor();
  answers.Then(TypeMask("*.txt")).Then(TypeMask("*.txt")).Then(TypeMask("   "));
  for (int i = 0; i < 3; ++i) Click(*editor, "AddMaskButton");
  EXPECT_EQ(Masks(*editor), (QStringList{"*.txt", "*.txt", "   "}))
      << "a mask is taken as typed, twice too";

  answers.Then([](QDialog& dialog) {
    auto* mask = Child<QComboBox>(dialog, "Mask");
    EXPECT_EQ(mask->currentText(), "*.txt") << "the mask to change is offered";
    EXPECT_EQ(mask->itemText(1), "*.xml") << "beside the suggested masks";
    mask->setEditText("");
    Click(dialog, "OK");
    EXPECT_EQ(dialog.result(), 0) << "an empty mask is refused";
    mask->setEditText("*.doc");
    Click(dialog, "OK");
    return dialog.result();
  });
  answers.Then(QMessageBox::Ok);  // "Не выбрана маска."
  SelectMasks(*editor, {1});
  Click(*editor, "EditMaskButton");
  EXPECT_EQ(Masks(*editor), (QStringList{"*.txt", "*.doc", "   "}));
  EXPECT_EQ(answers.MessageTexts().back(), Q("Не выбрана маска."));

  answers.Then(TypeMask("*.4")).Then(TypeMask("*.5"));
  Click(*editor, "AddMaskButton");
  Click(*editor, "AddMaskButton");
  SelectMasks(*editor, {1, 3});
  answers.Then(QMessageBox::No);
  Click(*editor, "DeleteMasksButton");
  EXPECT_EQ(Masks(*editor).size(), 5);
  SelectMasks(*editor, {1, 3});
  answers.Then(QMessageBox::Yes);
  Click(*editor, "DeleteMasksButton");
  EXPECT_EQ(answers.MessageTexts().back(), Q("Вы уверены, что хотите удалить 2 маску(ок)?"));
  EXPECT_EQ(Masks(*editor), (QStringList{"*.txt", "   ", "*.5"}));
  EXPECT_EQ(editor->Form().edited.masks.size(), 3u);

  Child<QTreeWidget>(*editor, "MaskList")->clearSelection();
  Click(*editor, "EditMaskButton");
  Click(*editor, "DeleteMasksButton");  // nothing selected: nothing asked
  EXPECT_EQ(answers.Pending(), 0u);
}

TEST_F(RuleEditorTest, TheFolderButtonsTakeThePickedFolder) {
  auto editor = Editor();
  const QString chosen = Q(root.Dir("picked"));
  answers.Then([&](QDialog& dialog) {
    EXPECT_EQ(dialog.objectName(), "FolderPicker");
    EXPECT_NE(dynamic_cast<QFileDialog&>(dialog).proxyModel(), nullptr) << "the list in Russian";
    dynamic_cast<QFileDialog&>(dialog).selectFile(chosen);
    return int(QDialog::Accepted);
  });
  answers.Then(int(QDialog::Rejected));
  Click(*editor, "ErrorFolderButton");
  Click(*editor, "InputFolderButton");
  EXPECT_EQ(Child<QLineEdit>(*editor, "PathError")->text(), chosen);
  EXPECT_TRUE(Child<QLineEdit>(*editor, "PathIn")->text().isEmpty()) << "Cancel changes nothing";
}

// The main dialog's add and edit commands open the editor and take its rule
// over only on OK.
class RuleEditorCommandsTest : public testsupport::TrelconTest {
 protected:
  RuleEditorCommandsTest() {
    AddLibraryProfile("Основной", "user1");
    dialog = OpenDialog();
    State().editors = &programEditors;
    ProfileRecord profile;
    profile.name = L"main";
    profile.zcsProfiles = {WidenFormat("Основной")};
    State().profileNames.Add(profile.name);
    State().profiles.push_back(profile);
    State().currentProfile = profile.name;
  }

  TrelconState& State() const { return dialog->State(); }

  ProgramEditors programEditors;
  std::unique_ptr<CTrelconDlg> dialog;
};

TEST_F(RuleEditorCommandsTest, AddAndEditTakeTheEditorsRuleOnOkOnly) {
  const QString in = Q(root.Dir("in"));
  answers.Then([&](QDialog& editor) {
    Child<QComboBox>(editor, "Operation")->setCurrentIndex(OperationPosition("SIGN"));
    Child<QComboBox>(editor, "Row3List")->setCurrentIndex(1);
    Child<QLineEdit>(editor, "PathIn")->setText(in);
    Child<QLineEdit>(editor, "PathOut")->setText(in);
    Child<QLineEdit>(editor, "PathError")->setText(in);
    Click(editor, "AddMaskButton");
    Click(editor, "OK");
    return editor.result();
  });
  answers.Then(TypeMask("*.xml"));
  dialog->OnAddRule();
  ASSERT_NE(State().OpenProfile(), nullptr);
  ASSERT_EQ(State().OpenProfile()->rules.size(), 1u);
  const RuleRecord& added = State().OpenProfile()->rules[0];
  EXPECT_EQ(added.operation, CString(L"SIGN"));
  EXPECT_EQ(added.stream, 1);
  EXPECT_EQ(added.zcsProfile, WidenFormat("Основной"));
  EXPECT_EQ(added.masks, std::vector<CString>{L"*.xml"});
  EXPECT_EQ(added.isOn, 1);
  EXPECT_EQ(State().modified, 1);

  State().modified = 0;
  State().OpenProfile()->rules[0].isOn = 0;
  RuleList(*dialog)->setCurrentItem(RuleList(*dialog)->topLevelItem(0));
  answers.Then([](QDialog& editor) {
    EXPECT_EQ(Child<QComboBox>(editor, "Operation")->currentIndex(), OperationPosition("SIGN"));
    Child<QLineEdit>(editor, "PathIn")->setText("elsewhere");
    Click(editor, "Exit");
    return editor.result();
  });
  dialog->OnEditRule();
  EXPECT_EQ(State().OpenProfile()->rules[0].pathIn, FromQString(in)) << "Выход takes nothing";
  EXPECT_EQ(State().modified, 0);

  answers.Then([](QDialog& editor) {
    Click(editor, "OK");
    return editor.result();
  });
  dialog->OnEditRule();
  EXPECT_EQ(State().OpenProfile()->rules[0].isOn, 1) << "a confirmed rule comes back switched on";
  EXPECT_EQ(State().modified, 1);
}

// The certificate button's picks on a library context of the test PKI, with
// two more holders in the local directory: one whose key only signs and one
// whose key only enciphers. A recipient pick lists the owners of
// certificates usable for encryption, a signer pick those the library finds
// usable for signing. The revoked holder's certificate does both and is in
// both lists (revocation is for the verification to find); the time-stamp
// authority's and the CA's are in neither.
class RuleEditorPicksTest : public testsupport::TrelconTest {
 protected:
  void SetUp() override {
    const std::filesystem::path local = root.Dir("local");
    for (const auto& entry : std::filesystem::directory_iterator(testsupport::TestPki::Shared().local)) {
      std::filesystem::copy_file(entry.path(), local / entry.path().filename());
    }
    signingOnly_ = Issue(local, "Только Подпись", "signing");
    encipheringOnly_ = Issue(local, "Только Шифрование", "enciphering");
    AddLibraryProfile("Основной", "user1", local.string());
    profile_.name = L"main";
    profile_.zcsProfiles = {WidenFormat("Основной")};
    profile_.notUseLdap = {1};
    profile_.notLoadCrl = {1};
  }

  // A certificate of the test PKI's CA for commonName with the key usage of
  // the section extensions, put into folder; its owner's DN as the library
  // shows it.
  QString Issue(const std::filesystem::path& folder, const std::string& commonName,
                const std::string& extensions) {
    const testsupport::TestPki& pki = testsupport::TestPki::Shared();
    const std::string work = root.Dir("issue-" + extensions).string();
    const std::string config = root.WriteFile("issue.cnf",
        "[ req ]\ndistinguished_name = dn\nprompt = no\nutf8 = yes\nstring_mask = utf8only\n[ dn ]\n"
        "[ signing ]\nbasicConstraints = CA:FALSE\n"
        "keyUsage = critical,digitalSignature,nonRepudiation\nextendedKeyUsage = emailProtection\n"
        "[ enciphering ]\nbasicConstraints = CA:FALSE\n"
        "keyUsage = critical,keyEncipherment,keyAgreement\nextendedKeyUsage = emailProtection\n").string();
    const std::string key = work + "/key.pem", request = work + "/request.csr";
    const std::string cert = (folder / (extensions + ".pem")).string();
    const std::vector<std::vector<std::string>> steps = {
        {"genpkey", "-algorithm", "gost2012_256", "-pkeyopt", "paramset:A", "-out", key},
        {"req", "-config", config, "-new", "-key", key, "-md_gost12_256", "-utf8", "-subj",
         "/C=RU/O=Тестовый Банк/CN=" + commonName, "-out", request},
        {"x509", "-req", "-in", request, "-CA", pki.Cert("ca").string(), "-CAkey", pki.Key("ca").string(),
         "-set_serial", extensions == "signing" ? "0x5101" : "0x5102", "-days", "3650", "-md_gost12_256",
         "-extfile", config, "-extensions", extensions, "-out", cert}};
    for (const std::vector<std::string>& step : steps) {
      std::string output;
      EXPECT_EQ(testsupport::RunOpenssl(step, &output), 0) << step[0] << ": " << output;
    }
    return Q(("CN=" + commonName + ", O=Тестовый Банк, C=RU").c_str());
  }

  std::unique_ptr<CAddRule> Editor(const char* code) {
    auto editor = std::make_unique<CAddRule>(nullptr, state, profile_, std::vector<CString>{},
                                             RuleRecord{});
    Child<QComboBox>(*editor, "Operation")->setCurrentIndex(OperationPosition(code));
    return editor;
  }
  static QString Dn(const char* who) {
    return QString::fromStdString(testsupport::TestPki::Shared().Dn(who));
  }
  static QStringList Sorted(QStringList texts) {
    texts.sort();
    return texts;
  }
  static QString Field(CAddRule& editor) { return Child<QLineEdit>(editor, "CertificateField")->text(); }

  ProfileRecord profile_;
  QString signingOnly_, encipheringOnly_;
};

TEST_F(RuleEditorPicksTest, ARecipientPickListsOwnersWhoseKeysEncipherAndCancelKeepsThePicked) {
  auto editor = Editor("ENCR");
  QStringList listed;
  answers.Then([&](QDialog& picker) {
    EXPECT_EQ(picker.windowTitle(), Q("Добавить получателей"));
    Click(picker, "FromDirectory");
    listed = testsupport::RowTexts(picker, "Candidates");
    testsupport::CheckRow(picker, "Candidates", encipheringOnly_);
    testsupport::CheckRow(picker, "Candidates", Dn("user2"));
    Click(picker, "AddChosen");
    Click(picker, "OK");
    return picker.result();
  });
  Click(*editor, "CertificateButton");
  // The revoked holder is no recipient: the search leaves it out.
  EXPECT_EQ(Sorted(listed), Sorted({Dn("user1"), Dn("user2"), encipheringOnly_}));
  EXPECT_EQ(Field(*editor), "2");
  EXPECT_EQ(Sorted({ToQString(editor->Form().recipients.at(0)), ToQString(editor->Form().recipients.at(1))}),
            Sorted({encipheringOnly_, Dn("user2")}));

  answers.Then(int(QDialog::Rejected));  // "Выход" of the next pick
  Click(*editor, "CertificateButton");
  EXPECT_EQ(Field(*editor), "2");
  EXPECT_EQ(editor->Form().recipients.size(), 2u);
}

TEST_F(RuleEditorPicksTest, ASignerPickListsOwnersWhoseKeysSign) {
  auto editor = Editor("CHCK");
  QStringList listed;
  answers.Then([&](QDialog& lists) {
    ModalAnswers pick;
    pick.Then([&](QDialog& picker) {
      EXPECT_EQ(picker.windowTitle(), Q("Создать список"));
      Click(picker, "FromDirectory");
      listed = testsupport::RowTexts(picker, "Candidates");
      testsupport::CheckRow(picker, "Candidates", signingOnly_);
      Click(picker, "AddChosen");
      Child<QLineEdit>(picker, "ListName")->setText(Q("Подписи"));
      Click(picker, "OK");
      return picker.result();
    });
    Click(lists, "Create");
    Click(lists, "OK");
    return lists.result();
  });
  Click(*editor, "CertificateButton");
  EXPECT_EQ(Sorted(listed), Sorted({Dn("user1"), Dn("user2"), Dn("revoked"), signingOnly_}));
  EXPECT_EQ(Field(*editor), "1");
  ASSERT_EQ(editor->Form().edited.signerLists.size(), 1u);
  EXPECT_EQ(ToQString(editor->Form().edited.signerLists[0].name), Q("Подписи"));
  EXPECT_EQ(editor->Form().edited.signerLists[0].signers, std::vector<CString>{FromQString(signingOnly_)});
}

}  // namespace
