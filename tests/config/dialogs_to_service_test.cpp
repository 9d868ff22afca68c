// What the program's dialogs make is what the service runs with: a profile
// and rules of every operation, made only through the editors (widgets
// driven offscreen, every box answered) and written by the program's save,
// are read back by the service's loader value by value; and a profile made
// that way drives a running service instance.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTreeWidget>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/qt_text.h"
#include "common/registry_layout.h"
#include "common/report_text.h"
#include "config/config_records.h"
#include "config/message_boxes.h"
#include "config/program_editors.h"
#include "service/core/config_store.h"
#include "tests/config/dialog_answers.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/config/widget_lookup.h"
#include "tests/support/service_runner.h"
#include "tests/support/test_pki.h"
#include "tests/support/wide_text.h"

namespace {

using testsupport::Child;
using testsupport::ChooseDirectoryProfile;
using testsupport::Click;
using testsupport::ModalAnswers;
using testsupport::OperationPosition;
using testsupport::PickOwners;
using testsupport::Q;
using testsupport::SetChecked;
using testsupport::TypeMask;

void SetText(QWidget& dialog, const char* name, const QString& text) {
  if (auto* edit = Child<QLineEdit>(dialog, name)) edit->setText(text);
}
void Choose(QWidget& dialog, const char* list, int position) {
  if (auto* choice = Child<QComboBox>(dialog, list)) choice->setCurrentIndex(position);
}
void SetNumber(QWidget& dialog, const char* name, int number) {
  if (auto* field = Child<QSpinBox>(dialog, name)) field->setValue(number);
}
QString QPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }
using testsupport::Wide;
// Texts as UTF-8, so that a failure shows them readably.
std::string Utf8(const CString& text) { return ToQString(text).toStdString(); }
std::vector<std::string> Utf8(const std::vector<CString>& texts) {
  std::vector<std::string> converted;
  for (const CString& text : texts) converted.push_back(Utf8(text));
  return converted;
}

// Answers the signer-list dialog: each list created through a pick of its
// owners, then OK.
std::function<int(QDialog&)> CreateSignerLists(
    std::vector<std::pair<QString, std::vector<QString>>> lists) {
  return [lists = std::move(lists)](QDialog& dialog) {
    for (const auto& [name, owners] : lists) {
      ModalAnswers pick;
      pick.Then(PickOwners(owners, name));
      Click(dialog, "Create");
    }
    Click(dialog, "OK");
    return dialog.result();
  };
}

// Every stored value of a rule, as its layout names them, and its signer
// lists: what the program made against what the service read.
void ExpectSameStoredValues(RuleRecord made, RuleRecord read) {
  SCOPED_TRACE(CStringA(made.operation).GetString());
  for (const RegistryValueLayout<RuleRecord>& value : RuleValueLayout()) {
    switch (value.type) {
      case RegistryValueType::Text:
        EXPECT_EQ(Utf8(value.text(read)), Utf8(value.text(made))) << value.name;
        break;
      case RegistryValueType::Number:
        EXPECT_EQ(value.number(read), value.number(made)) << value.name;
        break;
      case RegistryValueType::CountedTexts:
        EXPECT_EQ(Utf8(value.texts(read)), Utf8(value.texts(made))) << value.name;
        break;
      default:
        ADD_FAILURE() << "a rule value of another kind: " << value.name;
    }
  }
  ASSERT_EQ(read.signerLists.size(), made.signerLists.size());
  for (size_t i = 0; i < made.signerLists.size(); ++i) {
    EXPECT_EQ(Utf8(read.signerLists[i].name), Utf8(made.signerLists[i].name));
    EXPECT_EQ(Utf8(read.signerLists[i].signers), Utf8(made.signerLists[i].signers)) << i;
  }
}

class DialogsToServiceTest : public testsupport::TrelconTest {
 protected:
  DialogsToServiceTest() {
    AddLibraryProfile("Основной", "user1");
    AddLibraryProfile("Второй", "user2");
    dialog_ = OpenDialog();
    State().editors = &programEditors_;
    EXPECT_EQ(State().libraryProfileNames.GetSize(), 2);
    first_ = State().libraryProfileNames[0];
    second_ = State().libraryProfileNames[1];
  }

  // The holder of a library directory profile's key ("user1", "user2").
  static std::string HolderOf(const CString& directoryProfile) {
    return directoryProfile == WidenFormat("Основной") ? "user1" : "user2";
  }
  static QString Dn(const std::string& who) {
    return QString::fromStdString(testsupport::TestPki::Shared().Dn(who));
  }

  // Adds a profile through the profile editor (its first directory profile
  // as a new profile gets it; fill works the editor before OK) and opens it.
  void AddProfile(const QString& name, const std::function<void(QDialog&)>& fill) {
    answers.Then([&](QDialog& editor) {
      SetText(editor, "ProfileName", name);
      fill(editor);
      Click(editor, "OK");
      return editor.result();
    });
    dialog_->OnAddProfile();
    QTreeWidget* profiles = ProfileList(*dialog_);
    profiles->clearSelection();
    for (QTreeWidgetItem* row : profiles->findItems(name, Qt::MatchExactly)) row->setSelected(true);
    dialog_->OnOpenProfile();
    ASSERT_NE(State().OpenProfile(), nullptr);
    ASSERT_EQ(ToQString(State().OpenProfile()->name), name);
  }

  // The profile "Склад": two directory profiles with settings of their own.
  void AddStoreProfile() {
    AddProfile(Q("Склад"), [&](QDialog& editor) {
      SetText(editor, "Handler timeout", "20");
      SetChecked(editor, "Verify File", true);
      SetChecked(editor, "Rename conf files", true);
      SetText(editor, "CrlUpdatePeriod", "12");
      ModalAnswers choice;
      choice.Then(ChooseDirectoryProfile(second_));
      Click(editor, "AddDirectoryProfile");
      SetChecked(editor, "NotUseLDAP", false);
      SetChecked(editor, "NotLoadCrl", true);
      SetChecked(editor, "AutoUseTSP", true);
      SetText(editor, "ServerTSP", "http://127.0.0.1:1/tsp");
      SetChecked(editor, "AutoVerifyTSP", true);
      SetChecked(editor, "NoTSPisError", true);
    });
  }

  // A rule's three folders below the root.
  struct Folders {
    std::string in, out, error;
  };
  static Folders FoldersOf(const std::string& tag) { return {tag + "-in", tag + "-out", tag + "-err"}; }

  // Adds a rule to the open profile through the rule editor: the operation
  // chosen, then its three folders (no output folder where the editor
  // disables it), one mask and a description, then fill for the
  // operation's own fields, then OK. Returns the rule as the editor should
  // make it before fill.
  RuleRecord AddRule(const char* code, const Folders& folders, const QString& mask,
                     const std::function<void(QDialog&)>& fill) {
    RuleRecord expected;
    expected.operation = CString(code);
    expected.pathIn = Wide(root.Dir(folders.in));
    expected.pathOut = Wide(root.Dir(folders.out));
    expected.pathError = Wide(root.Dir(folders.error));
    expected.masks = {FromQString(mask)};
    expected.description = FromQString(Q("Правило ") + QString::fromLatin1(code));
    expected.isOn = 1;
    answers.Then([&](QDialog& editor) {
      Choose(editor, "Operation", OperationPosition(code));
      SetText(editor, "PathIn", ToQString(expected.pathIn));
      if (Child<QLineEdit>(editor, "PathOut")->isEnabled()) {
        SetText(editor, "PathOut", ToQString(expected.pathOut));
      } else {
        expected.pathOut.Empty();
      }
      SetText(editor, "PathError", ToQString(expected.pathError));
      Child<QLineEdit>(editor, "Description")->setText(ToQString(expected.description));
      {
        ModalAnswers typed;
        typed.Then(TypeMask(mask));
        Click(editor, "AddMaskButton");
      }
      fill(editor);
      Click(editor, "OK");
      return editor.result();
    });
    const size_t before = State().OpenProfile()->rules.size();
    dialog_->OnAddRule();
    EXPECT_EQ(State().OpenProfile()->rules.size(), before + 1) << code << ": the editor did not end with OK";
    return expected;
  }

  // The program's save, then the service's load of profile name.
  ServiceConfiguration SaveAndLoad(const CString& name) {
    dialog_->SaveConfiguration();
    EXPECT_EQ(State().modified, 0) << "the save reported a failure";
    ServiceConfiguration config;
    EXPECT_EQ(LoadConfiguration(name, config).code, 0u);
    return config;
  }

  // The paths the save writes for a rule: those of its directory profiles
  // in the library's store.
  void AddLibraryPaths(RuleRecord& rule) const {
    for (const DirectoryProfileEntry& entry : State().directoryProfiles) {
      if (!rule.zcsProfile.IsEmpty() && entry.name == rule.zcsProfile) rule.directoryProfile = entry;
      if (rule.operation == L"RESG" && entry.name == rule.resignProfile) rule.resignDirectoryProfile = entry;
    }
  }

  TrelconState& State() const { return dialog_->State(); }

  ProgramEditors programEditors_;
  std::unique_ptr<CTrelconDlg> dialog_;
  CString first_, second_;
};

TEST_F(DialogsToServiceTest, AProfileMadeInTheEditorIsWhatTheServiceLoads) {
  AddStoreProfile();
  ASSERT_EQ(State().modified, 1);
  const ServiceConfiguration config = SaveAndLoad(L"Склад");
  const ProfileRecord& read = config.profile;
  EXPECT_EQ(read.zcsProfiles, (std::vector<CString>{first_, second_}));
  EXPECT_EQ(read.serverTsp, (std::vector<CString>{L"0", L"http://127.0.0.1:1/tsp"}));
  EXPECT_EQ(read.notUseLdap, (std::vector<int>{1, 0}));
  EXPECT_EQ(read.notLoadCrl, (std::vector<int>{0, 1}));
  EXPECT_EQ(read.autoUseTsp, (std::vector<int>{0, 1}));
  EXPECT_EQ(read.autoVerifyTsp, (std::vector<int>{0, 1}));
  EXPECT_EQ(read.noTspIsError, (std::vector<int>{0, 1}));
  EXPECT_EQ(read.notAddCert, (std::vector<int>{0, 0}));
  EXPECT_EQ(read.crlUpdatePeriod, (std::vector<int>{12, 1}));
  EXPECT_EQ(read.verifyFile, 1);
  EXPECT_EQ(read.verifyXFile, 0);
  EXPECT_EQ(read.renameConfFiles, 1);
  EXPECT_EQ(config.handlerTimeout, 20);
}

TEST_F(DialogsToServiceTest, RulesOfEveryOperationMadeInTheEditorAreWhatTheServiceLoads) {
  AddStoreProfile();
  const QString user1 = Dn("user1"), user2 = Dn("user2");
  const CString dn1 = FromQString(user1), dn2 = FromQString(user2);
  // The certificate picks run on the first directory profile (no network
  // directory there); rules without picks are also put on the second one.
  // A pick hands its owners back in the order its lists show them: sorted
  // descending, so Петров before Иванов.
  struct RuleCase {
    const char* code;
    std::function<void(QDialog&)> fill;      // the operation's own fields
    std::function<void(RuleRecord&)> makes;  // what they make of the rule
  };
  const auto onFirst = [this](RuleRecord& rule) { rule.zcsProfile = first_; };
  const auto onSecond = [this](RuleRecord& rule) { rule.zcsProfile = second_; };
  const auto nothing = [](QDialog&) {};
  const auto recipients = [](std::vector<QString> owners) {
    return [owners](QDialog& editor) {
      ModalAnswers pick;
      pick.Then(PickOwners(owners));
      Click(editor, "CertificateButton");
    };
  };
  const auto signerLists = [](std::vector<std::pair<QString, std::vector<QString>>> lists) {
    return [lists](QDialog& editor) {
      ModalAnswers dialog;
      dialog.Then(CreateSignerLists(lists));
      Click(editor, "CertificateButton");
    };
  };
  const auto both = [](std::function<void(QDialog&)> a, std::function<void(QDialog&)> b) {
    return [a, b](QDialog& editor) {
      a(editor);
      b(editor);
    };
  };
  const std::filesystem::path copies = root.Dir("MOVE-copies");
  const RuleCase cases[] = {
      // Encryption and decryption: cipher, archive kind, recipients.
      {"ENCR",
       both([](QDialog& e) { Choose(e, "Row1List", 3); Choose(e, "Row2List", 2); }, recipients({user2})),
       [&](RuleRecord& r) { onFirst(r); r.encAlgorithm = 3; r.zipFile = 2; r.recipients = {dn2}; }},
      {"LENC",
       both([](QDialog& e) { Choose(e, "Row1List", 1); Choose(e, "Row2List", 0); }, recipients({user1, user2})),
       [&](RuleRecord& r) { onFirst(r); r.encAlgorithm = 1; r.recipients = {dn2, dn1}; }},
      {"DECR", [](QDialog& e) { Choose(e, "DirectoryProfile", 1); Choose(e, "Row2List", 1); },
       [&](RuleRecord& r) { onSecond(r); r.zipFile = 1; }},
      {"LDEC", [](QDialog& e) { Choose(e, "Row2List", 2); }, [&](RuleRecord& r) { onFirst(r); r.zipFile = 2; }},
      // Signing, block or stream, attached or detached, and removal.
      {"SIGN", [](QDialog& e) { Choose(e, "DirectoryProfile", 1); Choose(e, "Row3List", 1); },
       [&](RuleRecord& r) { onSecond(r); r.stream = 1; }},
      {"CDSG", nothing, onFirst},
      {"DSIG", nothing, onFirst},
      {"DELS", [](QDialog& e) { Choose(e, "DirectoryProfile", 1); }, onSecond},
      // Verification with signer lists.
      {"CHCK", signerLists({{Q("Банк"), {user1}}, {Q("Клиенты"), {user2}}}),
       [&](RuleRecord& r) { onFirst(r); r.signerLists = {{WidenFormat("Банк"), {dn1}}, {WidenFormat("Клиенты"), {dn2}}}; }},
      {"CHKX", signerLists({{Q("Один"), {user1, user2}}}),
       [&](RuleRecord& r) { onFirst(r); r.signerLists = {{WidenFormat("Один"), {dn2, dn1}}}; }},
      {"DCHK", signerLists({{Q("Отдел"), {user2}}}),
       [&](RuleRecord& r) { onFirst(r); r.signerLists = {{WidenFormat("Отдел"), {dn2}}}; }},
      // The combined operations.
      {"RESG",
       both([](QDialog& e) { Choose(e, "Row1List", 1); Choose(e, "Row2List", 0); Choose(e, "Row3List", 1); },
            signerLists({{Q("Входные"), {user1}}})),
       [&](RuleRecord& r) {
         onFirst(r); r.inFormatDet = 1; r.outFormatDet = 0; r.resignProfile = second_;
         r.signerLists = {{WidenFormat("Входные"), {dn1}}};
       }},
      {"SGEN",
       both([](QDialog& e) { Choose(e, "Row1List", 4); Choose(e, "Row2List", 1); Choose(e, "Row3List", 1); },
            recipients({user1})),
       [&](RuleRecord& r) { onFirst(r); r.encAlgorithm = 4; r.zipFile = 1; r.stream = 1; r.recipients = {dn1}; }},
      {"DCCX", both([](QDialog& e) { Choose(e, "Row2List", 2); }, signerLists({{Q("Все"), {user1, user2}}})),
       [&](RuleRecord& r) { onFirst(r); r.zipFile = 2; r.signerLists = {{WidenFormat("Все"), {dn2, dn1}}}; }},
      // Hashing and Base64.
      {"HASH", [](QDialog& e) { Choose(e, "DirectoryProfile", 1); }, onSecond},
      {"B64E", nothing, [](RuleRecord&) {}},
      {"B64D", nothing, [](RuleRecord&) {}},
      // Moving and deleting.
      {"MOVE",
       [&](QDialog& e) {
         SetText(e, "CertificateField", QPath(copies));
         SetText(e, "DelExt", "p7s");
         SetText(e, "AddExt", "bak");
         SetText(e, "Folders", "%Y%m");
         SetText(e, "Row4Text", "%d");
       },
       [&](RuleRecord& r) {
         r.pathOut2 = Wide(copies);
         r.delExt = L"p7s";
         r.addExt = L"bak";
         r.folders = L"%Y%m";
         r.copyFolders = L"%d";
       }},
      {"DELE", nothing, [](RuleRecord&) {}},
      // Archives, packs and the program run.
      {"ARCH", [](QDialog& e) { Choose(e, "Row2List", 1); }, [](RuleRecord& r) { r.zipFile = 2; }},
      {"UNAR", [](QDialog& e) { Choose(e, "Row2List", 0); }, [](RuleRecord& r) { r.zipFile = 1; }},
      {"PACK",
       [](QDialog& e) {
         SetNumber(e, "Number1", 5); SetNumber(e, "Number2", 100); SetNumber(e, "Number3", 2);
         SetText(e, "Row4Text", "pack%Y.zip");
       },
       [](RuleRecord& r) { r.archCount = 5; r.archSize = 100; r.archTimeout = 2; r.archName = L"pack%Y.zip"; }},
      {"UNPK", nothing, [](RuleRecord&) {}},
      {"EXEC",
       [](QDialog& e) {
         SetText(e, "CertificateField", "/bin/echo");
         SetNumber(e, "Number1", 3);
       },
       [](RuleRecord& r) { r.execName = L"/bin/echo"; r.execTimeout = 3; }},
  };
  ASSERT_EQ(std::size(cases), size_t{kOperationCount}) << "every operation once";

  std::vector<RuleRecord> expected;
  for (const RuleCase& c : cases) {
    RuleRecord rule = AddRule(c.code, FoldersOf(c.code), Q("*.") + QString::fromLatin1(c.code).toLower(), c.fill);
    c.makes(rule);
    expected.push_back(rule);
  }
  ASSERT_FALSE(HasFailure());
  const std::vector<RuleRecord>& made = State().OpenProfile()->rules;
  ASSERT_EQ(made.size(), expected.size());
  for (size_t i = 0; i < made.size(); ++i) ExpectSameStoredValues(expected[i], made[i]);

  const ServiceConfiguration config = SaveAndLoad(L"Склад");
  ASSERT_EQ(config.profile.rules.size(), made.size());
  for (size_t i = 0; i < made.size(); ++i) {
    RuleRecord stored = made[i];
    AddLibraryPaths(stored);
    ExpectSameStoredValues(stored, config.profile.rules[i]);
  }
}

// A profile made in the editors drives an instance of the service started
// on the saved store: a file dropped into the first rule's folder is
// encrypted for the holder of the rule's directory profile, and the second
// rule decrypts it with that holder's key.
class DialogsDriveAServiceTest : public DialogsToServiceTest {
 protected:
  void TearDown() override {
    testsupport::RunMirelservice({"stop", "Цех"});
    testsupport::RunMirelservice({"delete", "Цех"});
  }
};

TEST_F(DialogsDriveAServiceTest, RulesMadeInTheEditorsProcessAFileInARunningInstance) {
  AddProfile(Q("Цех"), [](QDialog& editor) {
    SetText(editor, "Handler timeout", "1");
    SetChecked(editor, "NotLoadCrl", true);
    SetChecked(editor, "NotCopyToLocal", true);
  });
  const QString holder = Dn(HolderOf(first_));
  AddRule("ENCR", {"in", "encrypted", "err"}, Q("*.txt"), [&](QDialog& editor) {
    ModalAnswers pick;
    pick.Then(PickOwners({holder}));
    Click(editor, "CertificateButton");
  });
  AddRule("DECR", {"encrypted", "decrypted", "err"}, Q("*.p7e"), [](QDialog&) {});
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(State().OpenProfile()->rules.size(), 2u);
  dialog_->SaveConfiguration();
  ASSERT_EQ(State().modified, 0);

  ASSERT_EQ(testsupport::RunMirelservice({"install", "Цех"}).exitCode, 0);
  const testsupport::ProgramResult started = testsupport::RunMirelservice({"start", "Цех"});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  const std::string text = "накладная 17\r\n";
  // Written beside the folder and moved in whole.
  std::filesystem::rename(root.WriteFile("note.txt", text), root.path() / "in" / "note.txt");
  const std::filesystem::path decrypted = root.path() / "decrypted" / "note.txt";
  const bool arrived = testsupport::WaitUntil([&] { return testsupport::ReadFileBytes(decrypted) == text; });
  EXPECT_TRUE(arrived) << testsupport::ReadJournals(root.path() / "ProgramData" / "TORVAK" / "qelmservice");
  EXPECT_TRUE(std::filesystem::is_empty(root.path() / "err"));
  EXPECT_FALSE(std::filesystem::exists(root.path() / "in" / "note.txt"));
}

}  // namespace
