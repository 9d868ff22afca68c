// The rule editor's window: the main dialog's commands open it, what the
// user types reaches the rule only through OK, refusals are shown in their
// boxes, and the mask list with its commands.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "common/report_text.h"
#include "config/add_rule_dialog.h"
#include "config/config_records.h"
#include "config/mask_dialogs.h"
#include "config/program_editors.h"
#include "config/qt_text.h"
#include "tests/config/dialog_answers.h"
#include "tests/config/modal_answers.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/config/widget_lookup.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::Child;
using testsupport::Click;
using testsupport::ModalAnswers;
using testsupport::OperationPosition;
using testsupport::Q;
using testsupport::TypeMask;

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

QStringList Masks(QWidget& editor) {
  QStringList masks;
  auto* view = Child<QTreeWidget>(editor, "MaskList");
  for (int i = 0; i < view->topLevelItemCount(); ++i) masks << view->topLevelItem(i)->text(0);
  return masks;
}

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
    return std::make_unique<CAddRule>(nullptr, profile, std::vector<CString>{L"*.p7s", L"*.xml"},
                                      rule);
  }
  void FillFolders(CAddRule& editor) {
    Child<QLineEdit>(editor, "PathIn")->setText(Q(root.Dir("in")));
    Child<QLineEdit>(editor, "PathOut")->setText(Q(root.Dir("out")));
    Child<QLineEdit>(editor, "PathError")->setText(Q(root.Dir("err")));
  }

  testsupport::TempRoot root;
  ModalAnswers answers;
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
    SetEditorDialogs(&programEditors);
    dialog = OpenDialog();
    ProfileRecord profile;
    profile.name = L"main";
    profile.zcsProfiles = {WidenFormat("Основной")};
    g_profileNames.Add(profile.name);
    g_profiles.push_back(profile);
    g_currentProfile = profile.name;
  }

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
  ASSERT_NE(OpenProfile(), nullptr);
  ASSERT_EQ(OpenProfile()->rules.size(), 1u);
  const RuleRecord& added = OpenProfile()->rules[0];
  EXPECT_EQ(added.operation, CString(L"SIGN"));
  EXPECT_EQ(added.stream, 1);
  EXPECT_EQ(added.zcsProfile, WidenFormat("Основной"));
  EXPECT_EQ(added.masks, std::vector<CString>{L"*.xml"});
  EXPECT_EQ(added.isOn, 1);
  EXPECT_EQ(g_modified, 1);

  g_modified = 0;
  OpenProfile()->rules[0].isOn = 0;
  RuleList(*dialog)->setCurrentItem(RuleList(*dialog)->topLevelItem(0));
  answers.Then([](QDialog& editor) {
    EXPECT_EQ(Child<QComboBox>(editor, "Operation")->currentIndex(), OperationPosition("SIGN"));
    Child<QLineEdit>(editor, "PathIn")->setText("elsewhere");
    Click(editor, "Exit");
    return editor.result();
  });
  dialog->OnEditRule();
  EXPECT_EQ(OpenProfile()->rules[0].pathIn, FromQString(in)) << "Выход takes nothing";
  EXPECT_EQ(g_modified, 0);

  answers.Then([](QDialog& editor) {
    Click(editor, "OK");
    return editor.result();
  });
  dialog->OnEditRule();
  EXPECT_EQ(OpenProfile()->rules[0].isOn, 1) << "a confirmed rule comes back switched on";
  EXPECT_EQ(g_modified, 1);
}

}  // namespace
