// The main dialog: what the rule list shows, the filter, the details, the
// commands on rows of a filtered list, profiles beside hidden names,
// leaving with unsaved changes, and one instance per session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "common/qt_text.h"
#include "config/main_dialog.h"
#include "config/trelcon_app.h"
#include "tests/config/trelcon_fixture.h"

namespace {

using testsupport::TrelconTest;

RuleRecord Rule(const wchar_t* operation, const wchar_t* description = L"") {
  RuleRecord rule;
  rule.operation = operation;
  rule.description = description;
  rule.pathIn = L"/in";
  rule.pathError = L"/err";
  rule.masks = {L"*.txt"};
  rule.isOn = 1;
  return rule;
}

QString Q(const char* text) { return QString::fromUtf8(text); }

TEST(RuleListTextTest, FurtherSettingsColumn) {
  struct Case {
    const char* what;
    RuleRecord rule;
    const char* expected;
  };
  std::vector<Case> cases;
  {
    RuleRecord r = Rule(L"ENCR");
    r.recipients = {L"CN=A", L"CN=B"};
    r.encAlgorithm = 3;
    r.zipFile = 2;
    cases.push_back({"ENCR", r, "2; ГОСТ Р 34.12-2015 Кузнечик; GZIP архивация"});
  }
  {
    RuleRecord r = Rule(L"RESG");
    r.signerLists = {{L"L", {L"CN=S"}}};
    r.resignProfile = L"P";
    r.outFormatDet = 1;
    cases.push_back({"RESG", r, "1; P; Присоединённая ЭП->Отсоединённая ЭП"});
  }
  {
    RuleRecord r = Rule(L"MOVE");
    r.delExt = L"p7s";
    r.folders = L"%Y";
    cases.push_back({"MOVE", r, "p7s; %Y"});
  }
  {
    RuleRecord r = Rule(L"CHCK");
    r.signerLists = {{L"A", {}}, {L"B", {}}};
    r.zipFile = 1;
    cases.push_back({"CHCK with lists", r, "2; ZIP архивация"});
  }
  {
    RuleRecord r = Rule(L"ARCH");
    r.zipFile = 1;
    cases.push_back({"ARCH", r, "ZIP архивация"});
  }
  {
    RuleRecord r = Rule(L"PACK");
    r.archCount = 10;
    r.archTimeout = 5;
    r.archName = L"pack";
    cases.push_back({"PACK", r, "10; 5; pack"});
  }
  {
    RuleRecord r = Rule(L"EXEC");
    r.execName = L"/bin/x %f";
    r.execTimeout = 3;
    cases.push_back({"EXEC", r, "/bin/x %f; 3"});
  }
  {
    RuleRecord r = Rule(L"SGEN");
    r.recipients = {L"CN=A"};
    r.encAlgorithm = 7;
    cases.push_back({"SGEN, algorithm without name", r, "1; ; Блочная"});
  }
  {
    RuleRecord r = Rule(L"SIGN");
    r.stream = 1;
    cases.push_back({"SIGN", r, "Потоковая"});
  }
  cases.push_back({"HASH", Rule(L"HASH"), ""});
  for (const Case& c : cases) {
    EXPECT_EQ(ToQString(RuleFurtherSettings(c.rule)), Q(c.expected)) << c.what;
  }
}

TEST(RuleListTextTest, ColumnsAndDetails) {
  RuleRecord r = Rule(L"XXXX", L"Описание");
  r.pathOut = L"0";
  r.zcsProfile = L"0";
  r.masks = {L"*.a", L"*.b", L"*.c"};
  std::vector<CString> texts = RuleColumnTexts(r, 7);
  EXPECT_EQ(texts[0], CString(L"7"));
  EXPECT_EQ(texts[2], CString(L"XXXX")) << "an unknown code is shown as it is";
  EXPECT_TRUE(texts[4].IsEmpty());
  EXPECT_TRUE(texts[7].IsEmpty());
  EXPECT_EQ(texts[6], CString(L"3"));
  r.masks.clear();
  EXPECT_EQ(RuleColumnTexts(r, 1)[6], CString(L"0"));
  EXPECT_EQ(ToQString(RuleColumnTexts(Rule(L"DCCX"), 1)[2]),
            Q("Расшифровать, проверить и удалить присоединённую подпись"));

  RuleRecord d = Rule(L"ENCR");
  d.resignProfile = L"R";
  d.inFormatDet = 1;
  d.recipients = {L"CN=A"};
  d.encAlgorithm = 0;
  d.signerLists = {{L"L", {L"CN=S1", L"CN=S2"}}};
  d.zipFile = 1;
  d.pathOut2 = L"/o2";
  d.execName = L"x";
  d.execTimeout = 2;
  EXPECT_EQ(ToQString(RuleDetailsText(d)),
            Q("Переподписание на профиль справочника: R\r\nОтсоединённая ЭП->Присоединённая ЭП\r\n\r\n"
              "Алгоритм шифрования: ГОСТ Р 28147-89\r\n\r\n"
              "Получатель 1:\r\nCN=A\r\n\r\n"
              "Имя списка: L\r\nПодписант 1:\r\nCN=S1\r\nПодписант 2:\r\nCN=S2\r\n\r\n"
              "ZIP архивация\r\n\r\n"
              "Доп. выходная папка: /o2\r\n\r\n"
              "Исполняемый файл: x\r\n\r\nТаймаут исполнения (мин.): 2\r\n\r\n"));
}

TEST(SuggestedMasksTest, RuleMasksFirstThenExtensions) {
  ProfileRecord profile;
  RuleRecord rule = Rule(L"CHCK");
  rule.masks = {L"*.xml", L"*.p7s"};
  profile.rules = {rule};
  const BaseSettings settings = testsupport::DefaultExtensions({L"sig"});
  const std::vector<CString> expected = {L"*.xml", L"*.p7s", L"*.p7d", L"*.p7e",
                                         L"*.b64", L"*.hsh", L"*.vrf", L"*.sig"};
  EXPECT_EQ(SuggestedMasks(profile, settings), expected);
}

class MainDialogTest : public TrelconTest {
 protected:
  MainDialogTest() {
    AddLibraryProfile("Основной", "user1");
    AddLibraryProfile("Второй", "user2");
    dialog = OpenDialog();
  }

  // The open profile gets these rules and is shown again.
  void ShowRules(std::vector<RuleRecord> rules) {
    State().profiles[0].rules = std::move(rules);
    ProfileList(*dialog)->setCurrentItem(ProfileList(*dialog)->topLevelItem(0));
    dialog->OnOpenProfile();
  }

  // Rules 1..5, of which 2 and 5 match the search "abc".
  void ShowFilteredRules() {
    ShowRules({Rule(L"ENCR", L"one"), Rule(L"DECR", L"xABCx"), Rule(L"HASH", L"three"),
               Rule(L"B64E", L"four"), Rule(L"B64D", L"abc")});
    dialog->findChild<QLineEdit*>("SearchEdit")->setText("abc");
    ASSERT_EQ(RowNumbers(*dialog), (std::vector<int>{2, 5}));
  }

  std::vector<CString> Descriptions() const {
    std::vector<CString> texts;
    for (const RuleRecord& rule : State().profiles[0].rules) texts.push_back(rule.description);
    return texts;
  }

  // The dialog's state.
  TrelconState& State() const { return dialog->State(); }

  std::unique_ptr<CTrelconDlg> dialog;
};

// The columns share the list's width, so long paths are cut: hovering a cut
// cell shows its whole text, in the rule list and in the profile list.
TEST_F(MainDialogTest, HoveringACutCellShowsItsWholeText) {
  RuleRecord rule = Rule(L"DCCX", L"Входящие платёжные документы банка");
  rule.pathIn = L"/var/spool/qelmservice/входящие/платёжные документы/от банка";
  ShowRules({rule});
  dialog->show();
  dialog->resize(dialog->minimumSize());
  QApplication::processEvents();
  const auto hover = [](QTreeWidget* list, int column) {
    QTreeWidgetItem* item = list->topLevelItem(0);
    const QPoint at = list->visualItemRect(item).topLeft() +
                      QPoint(list->header()->sectionPosition(column) + 4, 4);
    QHelpEvent event(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &event);
    return QToolTip::text();
  };
  auto* rules = dialog->findChild<QTreeWidget*>("RuleList");
  int cut = 0;
  for (int column = 1; column < rules->columnCount(); ++column) {
    const QString text = rules->topLevelItem(0)->text(column);
    if (rules->columnWidth(column) >= rules->fontMetrics().horizontalAdvance(text)) continue;
    ++cut;
    EXPECT_EQ(hover(rules, column).toStdString(), text.toStdString()) << column;
  }
  EXPECT_GE(cut, 3);
  QTreeWidget* profiles = ProfileList(*dialog);
  EXPECT_EQ(hover(profiles, 0), profiles->topLevelItem(0)->text(0));
  QToolTip::hideText();
}

TEST_F(MainDialogTest, RowsKeepTheirRuleNumbersUnderTheFilterAndWithoutOperation) {
  ShowRules({Rule(L"ENCR", L"a"), Rule(L"", L"gone"), Rule(L"HASH", L"c")});
  EXPECT_EQ(RowNumbers(*dialog), (std::vector<int>{1, 3}));
  ShowFilteredRules();
  dialog->findChild<QLineEdit*>("SearchEdit")->clear();
  EXPECT_EQ(RowNumbers(*dialog).size(), 5u);
}

TEST_F(MainDialogTest, CommandsOnAFilteredListActOnTheRowsRules) {
  ShowFilteredRules();
  SelectRuleRows(*dialog, {1});  // rule 5
  dialog->OnCopyRule();
  EXPECT_EQ(Descriptions(), (std::vector<CString>{L"one", L"xABCx", L"three", L"four", L"abc", L"abc"}));
  EXPECT_EQ(State().modified, 1);

  SelectRuleRows(*dialog, {2});  // rule 6, the copy
  dialog->OnMoveRuleFirst();
  EXPECT_EQ(Descriptions().front(), CString(L"abc"));
  EXPECT_EQ(RowNumbers(*dialog), (std::vector<int>{1, 3, 6}));

  editors.ruleAnswers.push_back([](RuleRecord& rule) {
    rule.description = L"abc edited";
    return true;
  });
  SelectRuleRows(*dialog, {2});  // rule 6
  dialog->OnEditRule();
  EXPECT_EQ(State().profiles[0].rules[5].description, CString(L"abc edited"));

  answers.Then(QMessageBox::Yes);
  SelectRuleRows(*dialog, {0, 2});  // rules 1 and 6
  dialog->OnDeleteRule();
  EXPECT_EQ(Descriptions(), (std::vector<CString>{L"one", L"xABCx", L"three", L"four"}));
  EXPECT_EQ(answers.MessageTexts().back(), Q("Вы уверены, что хотите удалить 2 правил(о)?"));
}

TEST_F(MainDialogTest, TicksTakeEffectAtOnceOnlyForShownRules) {
  ShowFilteredRules();
  State().modified = 0;
  RuleList(*dialog)->topLevelItem(1)->setCheckState(0, Qt::Unchecked);  // rule 5
  EXPECT_EQ(State().profiles[0].rules[4].isOn, 0);
  EXPECT_EQ(State().modified, 1);
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(State().profiles[0].rules[i].isOn, 1) << i;
}

TEST_F(MainDialogTest, MovesAtTheEndsChangeNothingButMoveFirstCounts) {
  ShowRules({Rule(L"ENCR", L"1"), Rule(L"DECR", L"2"), Rule(L"HASH", L"3")});
  State().modified = 0;
  SelectRuleRows(*dialog, {0});
  dialog->OnMoveRuleUp();
  SelectRuleRows(*dialog, {2});
  dialog->OnMoveRuleDown();
  EXPECT_EQ(State().modified, 0);
  EXPECT_EQ(Descriptions(), (std::vector<CString>{L"1", L"2", L"3"}));
  SelectRuleRows(*dialog, {0});
  dialog->OnMoveRuleFirst();
  EXPECT_EQ(State().modified, 1);
  SelectRuleRows(*dialog, {0});
  dialog->OnMoveRuleDown();
  EXPECT_EQ(Descriptions(), (std::vector<CString>{L"2", L"1", L"3"}));
  EXPECT_EQ(RuleList(*dialog)->selectedItems().value(0)->text(0), "2");
  dialog->OnMoveRuleLast();
  EXPECT_EQ(Descriptions(), (std::vector<CString>{L"2", L"3", L"1"}));
  SelectRuleRows(*dialog, {2});
  dialog->OnMoveRuleUp();
  EXPECT_EQ(Descriptions(), (std::vector<CString>{L"2", L"1", L"3"}));
}

TEST_F(MainDialogTest, AddedRuleIsAppendedAndSelectedWithTheSuggestedMasks) {
  ShowRules({Rule(L"ENCR", L"1")});
  editors.ruleAnswers.push_back([](RuleRecord& rule) {
    rule = Rule(L"HASH", L"new");
    return true;
  });
  editors.ruleAnswers.push_back([](RuleRecord&) { return false; });
  dialog->OnAddRule();
  dialog->OnAddRule();  // Cancel
  ASSERT_EQ(State().profiles[0].rules.size(), 2u);
  EXPECT_EQ(RuleList(*dialog)->selectedItems().value(0)->text(0), "2");
  ASSERT_FALSE(editors.suggestedMasks.empty());
  EXPECT_EQ(editors.suggestedMasks[0].front(), CString(L"*.txt"));
}

TEST_F(MainDialogTest, RightClickDetails) {
  RuleRecord rule = Rule(L"ENCR", L"desc");
  rule.masks = {L"*.txt", L"*.doc"};
  rule.recipients = {L"CN=A"};
  ShowRules({rule});
  answers.Then(QMessageBox::Ok).Then(int(QDialog::Rejected)).Then(QMessageBox::Ok);
  dialog->ShowRuleDetails(0, 6);
  dialog->ShowRuleDetails(0, 8);
  dialog->ShowRuleDetails(0, 1);
  ASSERT_EQ(answers.Shown().size(), 3u);
  EXPECT_EQ(answers.Shown()[0].title, Q("Маски"));
  EXPECT_EQ(answers.Shown()[0].text, Q("\r\n*.txt\r\n*.doc"));
  EXPECT_EQ(answers.Shown()[1].objectName, "WarningBox");
  EXPECT_EQ(answers.Shown()[1].title, Q("Дополнительно"));
  EXPECT_TRUE(answers.Shown()[1].text.startsWith(Q("Алгоритм шифрования: ")));
  EXPECT_EQ(answers.Shown()[2].title, Q("Описание"));
  EXPECT_EQ(answers.Shown()[2].text, "desc");
}

TEST_F(MainDialogTest, DeletingAProfileBesideHiddenNamesDeletesTheRowsProfile) {
  State().profileNames.RemoveAll();
  State().profiles.clear();
  for (const wchar_t* name : {L"", L"Alpha", L"alpha", L"Beta"}) {
    State().profileNames.Add(name);
    ProfileRecord profile;
    profile.name = name;
    State().profiles.push_back(profile);
  }
  ProfileList(*dialog)->clear();
  dialog->FillProfileList();
  ASSERT_EQ(ProfileList(*dialog)->topLevelItemCount(), 2);
  answers.Then(QMessageBox::Yes);
  ProfileList(*dialog)->setCurrentItem(ProfileList(*dialog)->topLevelItem(1));
  dialog->OnDeleteProfile();
  EXPECT_EQ(answers.MessageTexts()[0], Q("Вы уверены, что хотите удалить профиль 'Beta'?"));
  ASSERT_EQ(State().profileNames.GetSize(), 3);
  EXPECT_EQ(State().profileNames[1], CString(L"Alpha"));
  EXPECT_EQ(State().profileNames[2], CString(L"alpha"));
  EXPECT_EQ(State().profiles[2].name, CString(L"alpha"));
  EXPECT_TRUE(State().currentProfile.IsEmpty());
  EXPECT_FALSE(RuleList(*dialog)->isEnabled());
  // With no profile open, the deleted row's neighbour must not look open.
  EXPECT_TRUE(ProfileList(*dialog)->selectedItems().isEmpty());
  EXPECT_EQ(ProfileList(*dialog)->currentItem(), nullptr);

  answers.Then(QMessageBox::Yes).Then(QMessageBox::Ok);
  ProfileList(*dialog)->setCurrentItem(ProfileList(*dialog)->topLevelItem(0));
  dialog->OnDeleteProfile();
  EXPECT_EQ(answers.MessageTexts().back(), Q("Единственный профиль не подлежит удалению."));
  EXPECT_EQ(State().profileNames.GetSize(), 3);
}

TEST_F(MainDialogTest, EditingAProfileRenamesItAndMovesRulesOffRemovedDirectoryProfiles) {
  RuleRecord a = Rule(L"ENCR");
  a.zcsProfile = L"Второй";
  RuleRecord b = Rule(L"RESG");
  b.zcsProfile = L"Основной";
  b.resignProfile = L"Второй";
  ShowRules({a, b});
  editors.profileAnswers.push_back([](ProfileRecord& profile, std::vector<CString>& removed) {
    profile.name = L"renamed";
    profile.zcsProfiles = {L"Основной"};
    removed = {L"Второй"};
    return true;
  });
  dialog->OnEditProfile();
  EXPECT_EQ(State().currentProfile, CString(L"renamed"));
  EXPECT_EQ(State().profileNames[0], CString(L"renamed"));
  EXPECT_EQ(ProfileList(*dialog)->topLevelItem(0)->text(0), "renamed");
  EXPECT_EQ(State().profiles[0].rules[0].zcsProfile, CString(L"Основной"));
  EXPECT_EQ(State().profiles[0].rules[1].resignProfile, CString(L"Основной"));
  EXPECT_EQ(State().modified, 1);
}

TEST_F(MainDialogTest, AddingAProfileNeedsADirectoryProfile) {
  editors.profileAnswers.push_back([](ProfileRecord& profile, std::vector<CString>&) {
    profile.name = L"second";
    return true;
  });
  dialog->OnAddProfile();
  EXPECT_EQ(ProfileList(*dialog)->topLevelItemCount(), 2);
  EXPECT_EQ(State().profiles.back().name, CString(L"second"));
  EXPECT_EQ(State().currentProfile, CString(L"default")) << "the new profile is not opened";

  State().libraryProfileNames.RemoveAll();
  answers.Then(QMessageBox::Ok);
  dialog->OnAddProfile();
  EXPECT_EQ(answers.MessageTexts().back(), Q("Не обнаружено ни одного профиля справочника."));
}

TEST_F(MainDialogTest, LeavingWithUnsavedChangesAsksAndNoKeepsTheDialog) {
  dialog->show();
  State().modified = 1;
  answers.Then(QMessageBox::No).Then(QMessageBox::Yes);
  dialog->findChild<QPushButton*>("ExitButton")->click();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(State().modified, 1);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), int(QDialog::Rejected));
  EXPECT_EQ(answers.MessageTexts()[0],
            Q("Некоторые изменения не были сохранены. Выйти без сохранения?"));
}

TEST_F(MainDialogTest, EnterInAnyControlSavesAndEnds) {
  for (const char* control : {"SearchEdit", "RuleList", "ProfileList"}) {
    SCOPED_TRACE(control);
    auto fresh = OpenDialog();
    fresh->show();
    QWidget* widget = fresh->findChild<QWidget*>(control);
    widget->setFocus();
    fresh->State().modified = 1;
    QTest::keyClick(widget, Qt::Key_Return);
    EXPECT_FALSE(fresh->isVisible());
    EXPECT_EQ(fresh->result(), int(QDialog::Accepted));
    EXPECT_EQ(fresh->State().modified, 0);
  }
}

TEST_F(MainDialogTest, JournalAndExtensionSettingsAreTakenOverOnOk) {
  const std::string folder = root.Dir("journals").string();
  answers.Then([&folder](QDialog& settings) {
    settings.findChild<QLineEdit*>("JournalFolder")->setText(QString::fromStdString(folder));
    settings.findChild<QLineEdit*>("JournalSize")->setText("1000");
    settings.findChild<QPushButton*>("OK")->click();
    return settings.result();
  });
  answers.Then([](QDialog& settings) {
    settings.findChild<QPushButton*>("OK")->click();
    return settings.result();
  });
  State().modified = 0;
  dialog->OnJournalSettings();
  EXPECT_EQ(ToQString(State().baseSettings.logPath).toStdString(), folder);
  EXPECT_EQ(dialog->logFileSize, 1000);
  State().modified = 0;
  dialog->OnSettings();
  EXPECT_EQ(State().modified, 1) << "OK marks a change even when nothing differs";
}

// Answers a file dialog with path.
std::function<int(QDialog&)> ChooseFile(const std::filesystem::path& path) {
  return [path](QDialog& dialog) {
    auto& files = dynamic_cast<QFileDialog&>(dialog);
    EXPECT_NE(files.proxyModel(), nullptr) << "the list in Russian";
    files.selectFile(QString::fromStdString(path.string()));
    return int(QDialog::Accepted);
  };
}

TEST_F(MainDialogTest, ExportAndImportOfTheOpenProfilesRules) {
  answers.Then(QMessageBox::Ok);
  dialog->ExportProfileRules();
  EXPECT_EQ(answers.MessageTexts().back(), Q("Профиль не содержит правил."));

  RuleRecord spoilt = Rule(L"HASH", L"две\nстроки");
  ShowRules({Rule(L"ENCR", L"1"), spoilt});
  answers.Then(QMessageBox::Ok);
  dialog->ExportProfileRules();
  EXPECT_TRUE(answers.MessageTexts().back().startsWith(Q("Правило 2 ('две\nстроки') не может быть экспортировано")))
      << answers.MessageTexts().back().toStdString();

  ShowRules({Rule(L"ENCR", L"1"), Rule(L"HASH", L"2")});
  const std::filesystem::path file = root.path() / "rules.prx";
  answers.Then(ChooseFile(file));
  dialog->ExportProfileRules();
  const std::string bytes = testsupport::ReadFileBytes(file);
  EXPECT_EQ(bytes.substr(0, 5), "ENCR\n");
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\n\r");

  State().modified = 0;
  answers.Then(ChooseFile(file));
  dialog->ImportProfileRules();
  EXPECT_EQ(State().profiles[0].rules.size(), 4u);
  EXPECT_EQ(RowNumbers(*dialog), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(RuleList(*dialog)->selectedItems().value(0)->text(0), "4");
  EXPECT_EQ(State().modified, 1);
}

// How far an image stands out from its background: the mean over its
// pixels of the largest channel difference from the top left pixel.
double Contrast(const QImage& picture) {
  const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
  const QColor background = image.pixelColor(0, 0);
  double sum = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      sum += std::max({std::abs(c.red() - background.red()), std::abs(c.green() - background.green()),
                       std::abs(c.blue() - background.blue())});
    }
  }
  return sum / (image.width() * image.height());
}

TEST_F(MainDialogTest, ToolbarButtonsLookPlainlyDisabledAndExportIsNotSave) {
  dialog->show();
  QApplication::processEvents();
  int buttons = 0;
  // Told apart at a glance: each button disabled is much fainter than
  // itself enabled, and than the palest button enabled.
  double palestEnabled = 1e9;
  double boldestDisabled = 0;
  QString palest;
  for (QToolButton* button : dialog->findChildren<QToolButton*>()) {
    if (!button->isVisible()) continue;
    SCOPED_TRACE(button->objectName().toStdString());
    ++buttons;
    const bool wasEnabled = button->isEnabled();
    button->setEnabled(true);
    const double enabled = Contrast(button->grab().toImage());
    button->setEnabled(false);
    const double disabled = Contrast(button->grab().toImage());
    button->setEnabled(wasEnabled);
    EXPECT_LT(disabled, 0.5 * enabled) << enabled;
    if (enabled < palestEnabled) palest = button->objectName();
    palestEnabled = std::min(palestEnabled, enabled);
    boldestDisabled = std::max(boldestDisabled, disabled);
  }
  EXPECT_EQ(buttons, 15);
  EXPECT_GT(palestEnabled, 2 * boldestDisabled) << palest.toStdString();
  const auto picture = [this](const char* name) {
    return dialog->findChild<QToolButton*>(name)->icon().pixmap(24, 24).toImage();
  };
  EXPECT_NE(picture("ExportRulesButton"), picture("SaveButton"));
  EXPECT_NE(picture("ExportRulesButton"), picture("ImportRulesButton"));
}

TEST(SingleInstanceTest, ASecondInstanceIsRefused) {
  testsupport::TempRoot root;
  const QByteArray runtime = QByteArray::fromStdString(root.Dir("runtime").string());
  qputenv("XDG_RUNTIME_DIR", runtime);
  std::filesystem::permissions(root.Dir("runtime"), std::filesystem::perms::owner_all);
  QLockFile first(SingleInstanceLockPath());
  ASSERT_TRUE(first.tryLock(0));
  testsupport::ModalAnswers answers;
  answers.Then(QMessageBox::Ok);
  testsupport::ScriptedEditors editors;  // no answer: the dialog never opens one
  EXPECT_EQ(RunTrelcon(editors), 0);
  ASSERT_EQ(answers.Shown().size(), 1u) << "no main dialog";
  EXPECT_EQ(answers.Shown()[0].text, Q("АК СКЗИ Квелла Сервис - конфигурация уже запущена"));
  EXPECT_EQ(answers.Shown()[0].icon, QMessageBox::Warning);
  qunsetenv("XDG_RUNTIME_DIR");
}

// Without a runtime folder the lock is never put where others could plant
// it (the current folder, /tmp): it goes to the user's own config folder.
TEST(SingleInstanceTest, WithoutARuntimeFolderTheLockIsInTheUsersOwnFolder) {
  testsupport::TempRoot root;
  qunsetenv("XDG_RUNTIME_DIR");
  const QString path = SingleInstanceLockPath();
  const std::filesystem::path folder = root.path() / "config" / "qelmservice";
  EXPECT_EQ(std::filesystem::path(path.toStdString()).parent_path(), folder);
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

}  // namespace
