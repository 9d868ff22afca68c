// The profile editor driven through its controls: a new profile's first
// directory profile, the settings kept per directory profile, the TSP test,
// the period's limits, removing and adding directory profiles, the name
// checks in their order, and Cancel changing nothing.
#include "config/add_profile_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "config/config_records.h"
#include "config/message_boxes.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/config/widget_lookup.h"

namespace {

using testsupport::Child;
using testsupport::Click;
using testsupport::SetChecked;

void SetText(QWidget& dialog, const char* name, const QString& text) {
  Child<QLineEdit>(dialog, name)->setText(text);
}
QString Text(QWidget& dialog, const char* name) { return Child<QLineEdit>(dialog, name)->text(); }
void Select(QWidget& dialog, int row) { Child<QListWidget>(dialog, "DirectoryProfiles")->setCurrentRow(row); }
int Selected(QWidget& dialog) { return Child<QListWidget>(dialog, "DirectoryProfiles")->currentRow(); }

// Answers the directory-profile choice with the library's entry at index.
std::function<int(QDialog&)> Choose(int index) {
  return [index](QDialog& dialog) {
    Child<QComboBox>(dialog, "DirectoryProfileChoice")->setCurrentIndex(index);
    Click(dialog, "OK");
    return dialog.result();
  };
}

class ProfileEditorTest : public testsupport::TrelconTest {
 protected:
  ProfileEditorTest() {
    for (const wchar_t* name : {L"Банк", L"Другой", L"Третий"}) state.libraryProfileNames.Add(name);
    for (const wchar_t* name : {L"Склад", L"A"}) state.profileNames.Add(name);
  }

  // Profile "A" with two directory profiles and rules 2 and 5 using the
  // second one's certificates (recipients, a signer list), rule 3 using it
  // without any.
  static ProfileRecord StoredProfile() {
    ProfileRecord profile;
    profile.name = L"A";
    profile.zcsProfiles = {L"Банк", L"Другой"};
    profile.serverTsp = {L"0", L"http://tsp"};
    profile.notUseLdap = {1, 0};
    profile.notAddCert = {0, 1};
    profile.notCopyToLocal = {0, 1};
    profile.autoVerifyTsp = {0, 1};
    profile.noTspIsError = {0, 1};
    profile.useAia = {0, 1};
    profile.autoUseTsp = {0, 1};
    profile.notLoadCrl = {0, 0};
    profile.crlUpdatePeriod = {1, 24};
    profile.handlerTimeout = 30;
    profile.rules.resize(5);
    for (RuleRecord& rule : profile.rules) rule.zcsProfile = L"Другой";
    profile.rules[0].zcsProfile = L"Банк";
    profile.rules[1].recipients = {L"CN=X"};
    profile.rules[4].signerLists.resize(1);
    profile.rules[0].recipients = {L"CN=Y"};
    return profile;
  }
};

TEST_F(ProfileEditorTest, ANewProfileOpensWithTheLibrarysFirstDirectoryProfile) {
  CAddProfile dialog(nullptr, state, ProfileRecord{});
  EXPECT_EQ(dialog.windowTitle(), "Добавить профиль");
  EXPECT_EQ(Child<QListWidget>(dialog, "DirectoryProfiles")->count(), 1);
  EXPECT_EQ(Child<QGroupBox>(dialog, "DirectoryProfileSettings")->title(), "Настройки профиля справочника: Банк");
  EXPECT_TRUE(Child<QCheckBox>(dialog, "NotUseLDAP")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>(dialog, "AutoUseTSP")->isChecked());
  EXPECT_FALSE(Child<QLineEdit>(dialog, "ServerTSP")->isEnabled());
  EXPECT_FALSE(Child<QCheckBox>(dialog, "NoTSPisError")->isEnabled());
  EXPECT_EQ(Text(dialog, "ServerTSP"), "0");
  EXPECT_EQ(Text(dialog, "CrlUpdatePeriod"), "1");
  EXPECT_EQ(Text(dialog, "Handler timeout"), "15");

  SetText(dialog, "ProfileName", " a ");
  Click(dialog, "OK");
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.profile.name, CString(L" a "));  // stored with its blanks
  EXPECT_EQ(dialog.profile.zcsProfiles, std::vector<CString>{L"Банк"});
  EXPECT_EQ(dialog.profile.notUseLdap, std::vector<int>{1});
  EXPECT_EQ(dialog.profile.serverTsp, std::vector<CString>{L"0"});
  EXPECT_EQ(dialog.profile.crlUpdatePeriod, std::vector<int>{1});
  EXPECT_EQ(dialog.profile.handlerTimeout, 15);
}

TEST_F(ProfileEditorTest, EachDirectoryProfileKeepsItsOwnSettings) {
  CAddProfile dialog(nullptr, state, StoredProfile());
  EXPECT_EQ(dialog.windowTitle(), "Изменить профиль");
  // Position 0 changed, then position 1 shown with its stored values.
  SetChecked(dialog, "NotUseLDAP", false);
  SetChecked(dialog, "UseAIA", true);
  SetText(dialog, "CrlUpdatePeriod", "5");
  Select(dialog, 1);
  EXPECT_EQ(Child<QGroupBox>(dialog, "DirectoryProfileSettings")->title(), "Настройки профиля справочника: Другой");
  EXPECT_EQ(Text(dialog, "ServerTSP"), "http://tsp");
  EXPECT_TRUE(Child<QLineEdit>(dialog, "ServerTSP")->isEnabled());
  EXPECT_TRUE(Child<QCheckBox>(dialog, "NoTSPisError")->isChecked());
  EXPECT_EQ(Text(dialog, "CrlUpdatePeriod"), "24");
  // Unchecking the stamp check clears its companion; unchecking the server
  // sets "0" and disables the field.
  SetChecked(dialog, "AutoVerifyTSP", false);
  EXPECT_FALSE(Child<QCheckBox>(dialog, "NoTSPisError")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>(dialog, "NoTSPisError")->isEnabled());
  SetChecked(dialog, "AutoUseTSP", false);
  EXPECT_EQ(Text(dialog, "ServerTSP"), "0");
  EXPECT_FALSE(Child<QLineEdit>(dialog, "ServerTSP")->isEnabled());
  SetChecked(dialog, "Rename conf files", true);
  SetChecked(dialog, "Verify det file", true);
  Click(dialog, "OK");
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  const ProfileRecord& edited = dialog.profile;
  EXPECT_EQ(edited.notUseLdap, (std::vector<int>{0, 0}));
  EXPECT_EQ(edited.useAia, (std::vector<int>{1, 1}));
  EXPECT_EQ(edited.crlUpdatePeriod, (std::vector<int>{5, 24}));
  EXPECT_EQ(edited.autoVerifyTsp, (std::vector<int>{0, 0}));
  EXPECT_EQ(edited.noTspIsError, (std::vector<int>{0, 0}));
  EXPECT_EQ(edited.autoUseTsp, (std::vector<int>{0, 0}));
  EXPECT_EQ(edited.serverTsp, (std::vector<CString>{L"0", L"0"}));
  EXPECT_EQ(edited.notAddCert, (std::vector<int>{0, 1}));
  EXPECT_EQ(edited.renameConfFiles, 1);
  EXPECT_EQ(edited.verifyDetFile, 1);
  EXPECT_EQ(edited.verifyFile, 0);
  EXPECT_EQ(edited.handlerTimeout, 30);
  EXPECT_TRUE(answers.Shown().empty());
}

TEST_F(ProfileEditorTest, AnEmptyTspServerKeepsTheSelectionAndRefusesOk) {
  CAddProfile dialog(nullptr, state, StoredProfile());
  SetChecked(dialog, "AutoUseTSP", true);
  SetText(dialog, "ServerTSP", "");
  answers.Then(QMessageBox::Ok).Then(QMessageBox::Ok).Then(QMessageBox::Ok);
  Select(dialog, 1);
  EXPECT_EQ(Selected(dialog), 0);
  Click(dialog, "AddDirectoryProfile");  // refused before the choice is offered
  Click(dialog, "OK");
  EXPECT_EQ(dialog.result(), 0);
  EXPECT_EQ(answers.MessageTexts(), std::vector<QString>(3, "Пожалуйста, введите данные TSP."));
}

TEST_F(ProfileEditorTest, ThePeriodStaysWithinAYear) {
  CAddProfile dialog(nullptr, state, StoredProfile());
  for (auto [typed, shown] : {std::pair{"9000", "8760"}, std::pair{"8760", "8760"}, std::pair{"0", "0"},
                              std::pair{"99999999999", "8760"}}) {
    SetText(dialog, "CrlUpdatePeriod", typed);
    EXPECT_EQ(Text(dialog, "CrlUpdatePeriod"), shown) << typed;
  }
  // No number: the fields cannot be read and nothing moves.
  SetText(dialog, "CrlUpdatePeriod", "");
  answers.Then(QMessageBox::Ok);
  Select(dialog, 1);
  EXPECT_EQ(Selected(dialog), 0);
  EXPECT_EQ(answers.MessageTexts(), std::vector<QString>{"Введите целое число."});
}

TEST_F(ProfileEditorTest, RemovingNamesTheRulesThatUseItsCertificatesAndAddingTakesItBack) {
  CAddProfile dialog(nullptr, state, StoredProfile());
  answers.Then(QMessageBox::Ok);  // nothing selected
  Child<QListWidget>(dialog, "DirectoryProfiles")->clearSelection();
  Click(dialog, "RemoveDirectoryProfile");
  Select(dialog, 1);
  answers.Then(QMessageBox::No).Then(QMessageBox::Yes);
  Click(dialog, "RemoveDirectoryProfile");
  EXPECT_EQ(Child<QListWidget>(dialog, "DirectoryProfiles")->count(), 2) << "No changes nothing";
  Click(dialog, "RemoveDirectoryProfile");
  const std::vector<QString> texts = answers.MessageTexts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Выберите элемент списка для удаления.");
  EXPECT_EQ(texts[1],
            "В правиле(ах) '2,5' профиля 'A' используются сертификаты профиля справочника 'Другой'.\r\n"
            "Для корректной работы этих правил их необходимо будет изменить.\r\n"
            "Удалить профиль справочника 'Другой' из списка?");
  EXPECT_EQ(answers.Shown()[1].icon, QMessageBox::Question);
  EXPECT_EQ(Selected(dialog), 0);
  EXPECT_EQ(dialog.profile.zcsProfiles, std::vector<CString>{L"Банк"});
  EXPECT_EQ(dialog.profile.serverTsp, std::vector<CString>{L"0"});
  EXPECT_EQ(dialog.profile.crlUpdatePeriod, std::vector<int>{1});
  EXPECT_EQ(dialog.removedDirectoryProfiles, std::vector<CString>{L"Другой"});

  // The last one stays.
  answers.Then(QMessageBox::Ok);
  Click(dialog, "RemoveDirectoryProfile");
  EXPECT_EQ(answers.MessageTexts().back(), "Единственный профиль справичника в списке не подлежит удалению.");

  // Added again: off the removed list, with a new entry's values; a name the
  // list holds in another letter case is not added.
  answers.Then(Choose(1));
  Click(dialog, "AddDirectoryProfile");
  EXPECT_TRUE(dialog.removedDirectoryProfiles.empty());
  EXPECT_EQ(Selected(dialog), 1);
  EXPECT_TRUE(Child<QCheckBox>(dialog, "NotUseLDAP")->isChecked());
  EXPECT_EQ(Text(dialog, "ServerTSP"), "0");
  EXPECT_EQ(Text(dialog, "CrlUpdatePeriod"), "1");
  state.libraryProfileNames.Add(L"банк");
  answers.Then(Choose(3));
  Click(dialog, "AddDirectoryProfile");
  Click(dialog, "OK");
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.profile.zcsProfiles, (std::vector<CString>{L"Банк", L"Другой"}));
  EXPECT_EQ(dialog.profile.notUseLdap, (std::vector<int>{1, 1}));
  EXPECT_EQ(dialog.profile.autoUseTsp, (std::vector<int>{0, 0}));
  EXPECT_EQ(dialog.profile.crlUpdatePeriod, (std::vector<int>{1, 1}));
}

TEST_F(ProfileEditorTest, NameChecksInTheirOrder) {
  struct Case {
    ProfileRecord record;
    const wchar_t* name;
    const char* timeout;
    const char* refusal;  // null: accepted
  };
  ProfileRecord fresh;
  const ProfileRecord stored = StoredProfile();  // "A", among the program's profiles
  const Case cases[] = {
      {fresh, L"", "15", "Пожалуйста, введите имя профиля."},
      {fresh, L"123456789012345", "15", nullptr},
      {fresh, L"1234567890123456", "15", "Имя профиля не может быть длиннее 15 символов."},
      {fresh, L"   ", "15", "Имя профиля не может содержать только пробелы."},
      {fresh, L"Новый", "0", "Пожалуйста, выберите таймаут обработчика."},
      {fresh, L"   ", "0", "Имя профиля не может содержать только пробелы."},  // the name first
      {fresh, L"Склад", "15", "Профиль 'Склад' уже существует."},
      // The name is a registry key and a service name: letter case does not
      // tell two profiles apart.
      {fresh, L"склад", "15", "Профиль 'склад' уже существует."},
      {stored, L"A", "15", nullptr},
      {stored, L"a", "15", nullptr},
      {stored, L"СКЛАД", "15", "Профиль 'СКЛАД' уже существует."},
      {fresh, L"Банк-2", "15", "Имя профиля не может содержать символы '-', '\\', '/' и управляющие символы."},
      {fresh, L"a\\b", "15", "Имя профиля не может содержать символы '-', '\\', '/' и управляющие символы."},
      {fresh, L"a/b", "15", "Имя профиля не может содержать символы '-', '\\', '/' и управляющие символы."},
      {fresh, L"a\tb", "15", "Имя профиля не может содержать символы '-', '\\', '/' и управляющие символы."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(CStringA(c.name).GetString());
    testsupport::ModalAnswers replies;
    if (c.refusal != nullptr) replies.Then(QMessageBox::Ok);
    CAddProfile dialog(nullptr, state, c.record);
    SetText(dialog, "ProfileName", QString::fromWCharArray(c.name));
    SetText(dialog, "Handler timeout", c.timeout);
    Click(dialog, "OK");
    if (c.refusal == nullptr) {
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
      EXPECT_EQ(dialog.profile.name, CString(c.name));
      EXPECT_TRUE(replies.Shown().empty());
    } else {
      EXPECT_EQ(dialog.result(), 0);
      EXPECT_EQ(replies.MessageTexts(), std::vector<QString>{QString::fromUtf8(c.refusal)});
      ASSERT_FALSE(replies.Shown().empty());
      EXPECT_EQ(replies.Shown()[0].icon, QMessageBox::Warning);
    }
  }
}

TEST_F(ProfileEditorTest, CancelLeavesTheCallersProfileAsItWas) {
  ProfileRecord profile = StoredProfile();
  std::vector<CString> removed{L"kept"};
  answers.Then([](QDialog& dialog) {
    testsupport::ModalAnswers inner;
    inner.Then(Choose(2)).Then(QMessageBox::Yes);
    Click(dialog, "AddDirectoryProfile");
    Select(dialog, 0);
    Click(dialog, "RemoveDirectoryProfile");
    SetText(dialog, "ProfileName", "B");
    Click(dialog, "Exit");
    return dialog.result();
  });
  EXPECT_FALSE(RunProfileEditor(nullptr, state, profile, removed));
  EXPECT_EQ(profile.zcsProfiles, StoredProfile().zcsProfiles);
  EXPECT_EQ(profile.name, CString(L"A"));
  EXPECT_EQ(removed, std::vector<CString>{L"kept"});

  answers.Then([](QDialog& dialog) {
    testsupport::ModalAnswers inner;
    inner.Then(QMessageBox::Yes);
    Select(dialog, 1);
    Click(dialog, "RemoveDirectoryProfile");
    Click(dialog, "OK");
    return dialog.result();
  });
  EXPECT_TRUE(RunProfileEditor(nullptr, state, profile, removed));
  EXPECT_EQ(profile.zcsProfiles, std::vector<CString>{L"Банк"});
  EXPECT_EQ(removed, std::vector<CString>{L"Другой"});
}

}  // namespace
