// The load and save of the configuration store: a store with every odd shape
// loads, saves and is then read by the service exactly as the program held
// it; an empty store gets "default"; a failed save keeps the exit question.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>

#include "common/qt_text.h"
#include "config/configuration_store.h"
#include "config/main_dialog.h"
#include "config/message_boxes.h"
#include "platform/utf16.h"
#include "service/core/config_store.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/support/service_runner.h"

namespace {

using testsupport::TrelconTest;

// A REG_MULTI_SZ in the .reg file's hex(7) form.
std::string MultiSz(std::initializer_list<std::wstring> entries) {
  std::string bytes;
  for (const std::wstring& entry : entries) {
    bytes += platform::WideToUtf16Le(entry);
    bytes.append(2, '\0');
  }
  bytes.append(2, '\0');
  std::string text = "hex(7):";
  char hex[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
    text += (i > 0 ? "," : "") + std::string(hex);
  }
  return text;
}

std::string Dword(int value) {
  char text[32];
  std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
  return text;
}

const std::string kBase = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice";

class ConfigurationStoreTest : public TrelconTest {
 protected:
  ConfigurationStoreTest() {
    AddLibraryProfile("Основной", "user1");
    AddLibraryProfile("Второй", "user2");
  }
};

TEST_F(ConfigurationStoreTest, EveryStoredShapeLoadsSavesAndRunsInTheServiceAsHeld) {
  const std::string alpha = kBase + "\\Alpha";
  const std::string rules = alpha + "\\rules";
  ImportStore(
      "[" + kBase + "]\r\n\"Log filesize\"=" + Dword(399) + "\r\n\"LogPath\"=\"" +
      root.Dir("journals").string() + "\"\r\n\r\n"
      "[" + alpha + "]\r\n"
      "\"ZCSProfile\"=" + MultiSz({L"Основной", L"Второй"}) + "\r\n"
      "\"ServerTSP\"=" + MultiSz({L"http://127.0.0.1:1/tsp"}) + "\r\n"
      "\"NotUseLDAP\"=" + MultiSz({L"1"}) + "\r\n"
      "\"NotLoadCrl\"=" + MultiSz({L"0", L"0"}) + "\r\n"
      "\"CrlUpdatePeriod\"=" + MultiSz({L"5"}) + "\r\n"
      "\"Handler timeout\"=" + Dword(30) + "\r\n\r\n"
      "[" + rules + "\\Rule 10]\r\n\"Operation\"=\"ARCH\"\r\n\"Path In\"=\"/in10\"\r\n"
      "\"ZipFile\"=" + Dword(0) + "\r\n\"Mask num\"=" + Dword(1) + "\r\n\"M0\"=\"*.log\"\r\n"
      "\"ZCSProfile\"=\"Основной\"\r\n\r\n"
      "[" + rules + "\\Rule 9]\r\n\"Operation\"=\"ENCR\"\r\n\"Path In\"=\"/in9\"\r\n"
      "\"Mask\"=\"*.txt\"\r\n\"Ext num\"=" + Dword(1) + "\r\n\"C0\"=\"CN=Петров Пётр\"\r\n"
      "\"ZCSProfile\"=\"Второй\"\r\n\"Enc algorythm\"=" + Dword(3) + "\r\n"
      "\"Descryption\"=\"Шифрование\"\r\n\r\n"
      "[" + rules + "\\Rule 11]\r\n\"Operation\"=\"RESG\"\r\n\"Ext num\"=" + Dword(1) + "\r\n"
      "\"C0\"=\"Второй\"\r\n\"ZCSProfile\"=\"Основной\"\r\n\"In format det\"=" + Dword(1) + "\r\n\r\n"
      "[" + rules + "\\Rule 11\\Список]\r\n\"Signer Num\"=" + Dword(2) + "\r\n"
      "\"S0\"=\"CN=Иванов Иван\"\r\n\"S1\"=\"CN=Петров Пётр\"\r\n\r\n"
      "[" + kBase + "\\Beta]\r\n\"ZCSProfile\"=" + MultiSz({L"Второй"}) + "\r\n\r\n");

  auto dialog = OpenDialog();
  EXPECT_EQ(dialog->logFileSize, 400);
  ASSERT_EQ(dialog->State().profiles.size(), 2u);
  ProfileRecord& held = dialog->State().profiles[0];
  ASSERT_EQ(held.name, CString(L"Alpha"));
  EXPECT_EQ(held.crlUpdatePeriod, (std::vector<int>{5, 1}));
  EXPECT_EQ(held.notUseLdap, (std::vector<int>{1, 0})) << "padded to the directory profiles";
  EXPECT_EQ(held.serverTsp.size(), 2u);
  ASSERT_EQ(held.rules.size(), 3u);
  EXPECT_EQ(held.rules[0].operation, CString(L"ENCR")) << "Rule 9 before Rule 10";
  EXPECT_EQ(held.rules[0].masks, (std::vector<CString>{L"*.txt"}));
  EXPECT_EQ(held.rules[1].zipFile, 1);
  EXPECT_EQ(held.rules[2].resignProfile, CString(L"Второй"));
  EXPECT_TRUE(dialog->State().profiles[1].rules.empty()) << "a profile key without rules";
  EXPECT_EQ(dialog->State().baseSettings.zipArchiveExt, CString(L"zip"));

  held.serverTsp[1] = L"";  // as an editor leaves a profile without a server
  dialog->SaveConfiguration();
  EXPECT_EQ(dialog->State().modified, 0);
  EXPECT_TRUE(answers.Shown().empty());

  const std::filesystem::path exported = root.path() / "export.reg";
  Reg({"export", kBase, exported.string(), "/y"});
  const std::string text = platform::WideToUtf8(platform::Utf16LeToWide(testsupport::ReadFileBytes(exported).substr(2)));
  for (const std::string& line :
       {"[" + rules + "\\Rule 0]", "[" + rules + "\\Rule 1]", "[" + rules + "\\Rule 2]",
        "[" + rules + "\\Rule 2\\Список]", "[" + kBase + "\\Beta\\rules]",
        std::string("\"Mask num\"=dword:00000001"), std::string("\"ZIPArchiveExt\"=\"zip\""),
        std::string("\"Log filesize\"=dword:00000190")}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  for (const std::string& gone : {std::string("\"Mask\"="), std::string("Rule 9"),
                                  std::string("Rule 10]")}) {
    EXPECT_EQ(text.find(gone), std::string::npos) << gone;
  }

  // What the service reads is what the program held, value by value, with
  // the paths of each rule's directory profiles.
  for (const ProfileRecord& profile : dialog->State().profiles) {
    SCOPED_TRACE(ToQString(profile.name).toStdString());
    ServiceConfiguration config;
    ASSERT_EQ(LoadConfiguration(profile.name, config).code, 0u);
    const ProfileRecord& read = config.profile;
    EXPECT_EQ(read.zcsProfiles, profile.zcsProfiles);
    std::vector<CString> servers = profile.serverTsp;
    for (CString& server : servers) {
      if (server.IsEmpty()) server = L"0";
    }
    EXPECT_EQ(read.serverTsp, servers);
    EXPECT_EQ(read.notUseLdap, profile.notUseLdap);
    EXPECT_EQ(read.notAddCert, profile.notAddCert);
    EXPECT_EQ(read.notCopyToLocal, profile.notCopyToLocal);
    EXPECT_EQ(read.autoVerifyTsp, profile.autoVerifyTsp);
    EXPECT_EQ(read.noTspIsError, profile.noTspIsError);
    EXPECT_EQ(read.useAia, profile.useAia);
    EXPECT_EQ(read.autoUseTsp, profile.autoUseTsp);
    EXPECT_EQ(read.notLoadCrl, profile.notLoadCrl);
    EXPECT_EQ(read.crlUpdatePeriod, profile.crlUpdatePeriod);
    EXPECT_EQ(read.verifyFile, profile.verifyFile);
    EXPECT_EQ(read.renameConfFiles, profile.renameConfFiles);
    ASSERT_EQ(read.rules.size(), profile.rules.size());
    for (size_t i = 0; i < read.rules.size(); ++i) {
      const RuleRecord& r = read.rules[i];
      const RuleRecord& h = profile.rules[i];
      for (auto field : {&RuleRecord::zcsProfile, &RuleRecord::resignProfile, &RuleRecord::operation,
                         &RuleRecord::pathIn, &RuleRecord::pathOut, &RuleRecord::pathOut2,
                         &RuleRecord::pathError, &RuleRecord::description, &RuleRecord::delExt,
                         &RuleRecord::addExt, &RuleRecord::folders, &RuleRecord::copyFolders,
                         &RuleRecord::archName, &RuleRecord::execName}) {
        EXPECT_EQ(r.*field, h.*field) << i;
      }
      for (auto field : {&RuleRecord::isOn, &RuleRecord::inFormatDet, &RuleRecord::outFormatDet,
                         &RuleRecord::stream, &RuleRecord::zipFile, &RuleRecord::archCount,
                         &RuleRecord::archSize, &RuleRecord::archTimeout, &RuleRecord::execTimeout,
                         &RuleRecord::encAlgorithm}) {
        EXPECT_EQ(r.*field, h.*field) << i;
      }
      EXPECT_EQ(r.masks, h.masks);
      EXPECT_EQ(r.recipients, h.recipients);
      ASSERT_EQ(r.signerLists.size(), h.signerLists.size());
      for (size_t k = 0; k < r.signerLists.size(); ++k) {
        EXPECT_EQ(r.signerLists[k].name, h.signerLists[k].name);
        EXPECT_EQ(r.signerLists[k].signers, h.signerLists[k].signers);
      }
      const std::string pse = ToQString(r.directoryProfile.pse).toStdString();
      EXPECT_EQ(pse, PseOf(h.zcsProfile == L"Второй" ? "user2" : "user1"));
      EXPECT_EQ(ToQString(r.directoryProfile.local).toStdString(), LocalFolder());
      EXPECT_FALSE(r.directoryProfile.ldap.IsEmpty());
      if (h.operation == L"RESG") {
        EXPECT_EQ(ToQString(r.resignDirectoryProfile.pse).toStdString(), PseOf("user2"));
        EXPECT_EQ(ToQString(r.resignDirectoryProfile.local).toStdString(), LocalFolder());
        EXPECT_EQ(ToQString(r.resignDirectoryProfile.ldap).toStdString(), "ldap://Второй");
      }
    }
  }
}

TEST_F(ConfigurationStoreTest, AStoreSavedByTheProgramRunsItsRulesInTheService) {
  auto dialog = OpenDialog();
  const std::filesystem::path in = root.Dir("in"), out = root.Dir("out"), errors = root.Dir("errors");
  dialog->State().baseSettings.logPath = CString(root.Dir("journals").wstring().c_str());
  ProfileRecord& profile = dialog->State().profiles[0];
  profile.notLoadCrl = {1};
  RuleRecord rule;
  rule.operation = L"SIGN";
  rule.pathIn = CString(in.wstring().c_str());
  rule.pathOut = CString(out.wstring().c_str());
  rule.pathError = CString(errors.wstring().c_str());
  rule.masks = {L"*.txt"};
  rule.isOn = 1;
  rule.zcsProfile = L"Второй";
  profile.rules = {rule};
  dialog->SaveConfiguration();
  ASSERT_EQ(dialog->State().modified, 0);

  root.WriteFile("in/letter.txt", "Письмо\n");
  ASSERT_EQ(testsupport::RunMirelservice({"install", "default"}).exitCode, 0);
  ASSERT_EQ(testsupport::RunMirelservice({"start", "default"}).exitCode, 0);
  const bool signedFile =
      testsupport::WaitUntil([&] { return std::filesystem::exists(out / "letter.txt.p7s"); });
  testsupport::RunMirelservice({"stop", "default"});
  testsupport::RunMirelservice({"delete", "default"});
  EXPECT_TRUE(signedFile) << testsupport::ReadJournals(root.Dir("journals"));
}

TEST_F(ConfigurationStoreTest, AnEmptyStoreCreatesTheDefaultProfile) {
  auto dialog = OpenDialog();
  ASSERT_EQ(dialog->State().profiles.size(), 1u);
  const ProfileRecord& profile = dialog->State().profiles[0];
  EXPECT_EQ(profile.name, CString(L"default"));
  EXPECT_EQ(profile.zcsProfiles, (std::vector<CString>{L"Второй"}))
      << "the library's first directory profile";
  EXPECT_EQ(profile.serverTsp, (std::vector<CString>{L"0"}));
  EXPECT_EQ(profile.notUseLdap, (std::vector<int>{1}));
  EXPECT_EQ(profile.crlUpdatePeriod, (std::vector<int>{1}));
  EXPECT_EQ(profile.notLoadCrl, (std::vector<int>{0}));
  EXPECT_EQ(profile.handlerTimeout, 15);
  EXPECT_TRUE(profile.rules.empty());
  EXPECT_EQ(dialog->logFileSize, 4000);
  EXPECT_EQ(dialog->State().currentProfile, CString(L"default"));
  EXPECT_NE(Reg({"query", kBase + "\\default\\rules"}).size(), 0u);
}

TEST_F(ConfigurationStoreTest, RemovedAndRenamedInCaseProfilesAreRewritten) {
  ImportStore("[" + kBase + "\\Default]\r\n\"ZCSProfile\"=" + MultiSz({L"Основной"}) + "\r\n\r\n"
              "[" + kBase + "\\Old\\rules\\Rule 0]\r\n\"Operation\"=\"HASH\"\r\n\r\n");
  auto dialog = OpenDialog();
  ASSERT_EQ(dialog->State().profileNames.GetSize(), 2);
  dialog->State().profileNames[0] = L"default";
  dialog->State().profiles[0].name = L"default";
  dialog->State().profileNames.RemoveAt(1);
  dialog->State().profiles.pop_back();
  dialog->SaveConfiguration();
  const std::filesystem::path exported = root.path() / "export.reg";
  Reg({"export", kBase, exported.string(), "/y"});
  const std::string text = platform::WideToUtf8(platform::Utf16LeToWide(testsupport::ReadFileBytes(exported).substr(2)));
  EXPECT_NE(text.find("[" + kBase + "\\default]"), std::string::npos);
  EXPECT_EQ(text.find("Old"), std::string::npos);
  EXPECT_EQ(text.find("\\Default]"), std::string::npos);
}

TEST_F(ConfigurationStoreTest, AFailedSaveKeepsTheExitQuestion) {
  auto dialog = OpenDialog();
  dialog->show();
  RuleRecord rule;
  rule.operation = L"CHCK";
  // A key name longer than the registry takes cannot be created.
  rule.signerLists = {{CString(std::wstring(300, L'x').c_str()), {L"CN=A"}}};
  dialog->State().profiles[0].rules = {rule};
  dialog->State().modified = 1;
  answers.Then(QMessageBox::Ok).Then(QMessageBox::No);
  dialog->findChild<QPushButton*>("SaveAndExitButton")->click();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->State().modified, 1);
  const auto texts = answers.MessageTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(texts[0].startsWith(QString::fromUtf8("Создание (открытие) ключа реестра HKEY_LOCAL_MACHINE\\SOFTWARE")));
  EXPECT_EQ(texts[1], QString::fromUtf8("Некоторые изменения не были сохранены. Выйти без сохранения?"));
}

TEST_F(ConfigurationStoreTest, WithoutTheLibrarysProfileStoreTheLoadEndsTheProgram) {
  Reg({"delete", "HKCU\\SOFTWARE\\TORVAK\\qelm\\Profiles", "/f"});
  answers.Then(QMessageBox::Ok);
  CTrelconDlg dialog;
  EXPECT_FALSE(dialog.OnInitDialog());
  ASSERT_EQ(answers.MessageTexts().size(), 1u);
  EXPECT_TRUE(answers.MessageTexts()[0].startsWith(QString::fromUtf8(
      "Создание (открытие) ключа реестра HKEY_CURRENT_USER\\SOFTWARE\\TORVAK\\qelm\\Profiles.\r\n")));
}

}  // namespace
