// Loading a whole profile written with the reg tool's import: every value
// reaches its record, rules run in the order of their numbers, defaults and
// corrections apply, and the journal folder is made and probed.

#include "service/core/config_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "tests/support/temp_root.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8(const CString& text) { return platform::WideToMultiByte(text.str(), CP_UTF8); }

// REG_MULTI_SZ in the .reg file's hex(7) form.
std::string MultiSz(const std::vector<std::wstring>& items) {
  std::string out = "hex(7):";
  auto add = [&out](unsigned value) {
    char byte[4];
    snprintf(byte, sizeof byte, "%02x", value & 0xFF);
    out += byte;
    out += ",";
  };
  for (const std::wstring& item : items) {
    for (wchar_t c : item) {
      add(c & 0xFF);
      add((c >> 8) & 0xFF);
    }
    add(0);
    add(0);
  }
  add(0);
  add(0);
  out.pop_back();
  return out;
}

class ConfigStoreTest : public ::testing::Test {
 protected:
  void Import(const std::string& body) {
    fs::path file = root_.WriteFile("profile.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + body);
    std::string command = (testsupport::BuildDir() / "bin" / "reg").string() + " import '" + file.string() +
                          "' > '" + (root_.path() / "reg.out").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << testsupport::ReadFileBytes(root_.path() / "reg.out");
  }
  // A journal of today by the end of its name (" P.txt", " P - errors.txt"),
  // empty when there is none.
  std::string Journal(const std::string& nameEnd) const {
    for (const auto& entry : fs::directory_iterator(journal_))
      if (entry.path().filename().string().find(nameEnd) != std::string::npos)
        return testsupport::ReadFileBytes(entry.path());
    return "";
  }
  std::string Base() const {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice]\r\n\"LogPath\"=\"" + journal_.string() + "\"\r\n";
  }

  testsupport::TempRoot root_;
  fs::path journal_ = root_.Dir("journal");
};

TEST_F(ConfigStoreTest, WholeProfileLoadsIntoTheRecords) {
  Import(Base() +
         "\"EncExt\"=\"enc\"\r\n"
         "\"ZIPArchiveExt\"=\"zip\"\r\n"
         "\"ExtExt\"=" + MultiSz({L"p7e", L"p7s"}) + "\r\n"
         "\"Log filesize\"=dword:00000064\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Банк]\r\n"
         "\"ZCSProfile\"=" + MultiSz({L"Основной", L"Второй"}) + "\r\n"
         "\"NotLoadCrl\"=" + MultiSz({L"0", L"1", L"0"}) + "\r\n"
         "\"CrlUpdatePeriod\"=" + MultiSz({L"24"}) + "\r\n"
         "\"ServerTSP\"=" + MultiSz({L"http://127.0.0.1/tsp"}) + "\r\n"
         "\"Handler timeout\"=dword:00000000\r\n"
         "\"Rename conf files\"=dword:00000001\r\n"
         "\"Verify det file\"=dword:00000001\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Банк\\rules\\Rule 10]\r\n"
         "\"Operation\"=\"RESG\"\r\n\"Ext num\"=dword:00000001\r\n\"C0\"=\"Второй\"\r\n"
         "\"PSE2\"=\"/pse2\"\r\n\"Mask num\"=dword:00000002\r\n\"M0\"=\"*.p7s\"\r\n\"M1\"=\"*.sig\"\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Банк\\rules\\Rule 9]\r\n"
         "\"Operation\"=\"ENCR\"\r\n\"Path In\"=\"/in\"\r\n\"Path Out\"=\"/out\"\r\n\"Path Error\"=\"/err\"\r\n"
         "\"Descryption\"=\"Шифрование\"\r\n\"Is on\"=dword:00000001\r\n\"ZCSProfile\"=\"Основной\"\r\n"
         "\"PSE\"=\"/pse\"\r\n\"LOCAL\"=\"/local\"\r\n\"PSE2\"=\"/not-read\"\r\n\"Enc algorythm\"=dword:00000003\r\n"
         "\"Mask\"=\"*.txt\"\r\n\"Ext num\"=dword:00000002\r\n\"C0\"=\"CN=Иванов Иван, O=Банк, C=RU\"\r\n"
         "\"C1\"=\"CN=Петров\"\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Банк\\rules\\Rule 9\\Доверенные]\r\n"
         "\"Signer Num\"=dword:00000002\r\n\"S0\"=\"CN=A\"\r\n\"S1\"=\"CN=B\"\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Банк\\rules\\Rule 11]\r\n"
         "\"Operation\"=\"MOVE\"\r\n\"Ext num\"=dword:00000001\r\n\"C0\"=\"0\"\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Банк\\rules\\Extra]\r\n"
         "\"Operation\"=\"HASH\"\r\n\"Mask num\"=dword:00000000\r\n");

  ServiceConfiguration config;
  ConfigurationLoadResult result = LoadConfiguration(L"Банк", config);
  ASSERT_EQ(result.code, 0u);

  EXPECT_EQ(config.base.encExt, CString(L"enc"));
  EXPECT_EQ(config.base.sigExt, CString(L"p7s"));     // default
  EXPECT_EQ(config.base.gzipArchiveExt, CString(L""));
  EXPECT_EQ(config.base.zipArchiveExt, CString(L"zip"));
  ASSERT_EQ(config.base.extExt.GetSize(), 2);
  EXPECT_EQ(config.base.extExt[1], CString(L"p7s"));
  EXPECT_EQ(config.base.logFileSize, 400);  // 100 is raised to the smallest limit
  EXPECT_EQ(config.journal.sizeLimit, 400000u);
  EXPECT_EQ(config.journal.profileName, CString(L"Банк"));
  EXPECT_EQ(Utf8(config.journalFolder), journal_.string());
  EXPECT_TRUE(fs::is_empty(journal_));  // the probe file is gone again

  const ProfileRecord& p = config.profile;
  EXPECT_EQ(config.handlerTimeout, 15);
  EXPECT_EQ(p.zcsProfiles, (std::vector<CString>{L"Основной", L"Второй"}));
  EXPECT_EQ(p.notLoadCrl, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(p.crlUpdatePeriod, (std::vector<int>{24, 1, 1}));  // padded to NotLoadCrl
  EXPECT_EQ(p.serverTsp, std::vector<CString>{L"http://127.0.0.1/tsp"});
  EXPECT_EQ(p.renameConfFiles, 1);
  EXPECT_EQ(p.verifyDetFile, 1);
  EXPECT_EQ(p.verifyFile, 0);

  ASSERT_EQ(p.rules.size(), 4u);
  const RuleRecord& extra = p.rules[0];  // "Extra" has number 0
  EXPECT_EQ(extra.operation, CString(L"HASH"));
  EXPECT_EQ(extra.masks, std::vector<CString>{CString()});  // "Mask num" 0 and no "Mask": one empty mask

  const RuleRecord& encr = p.rules[1];  // Rule 9
  EXPECT_EQ(encr.operation, CString(L"ENCR"));
  EXPECT_EQ(encr.pathIn, CString(L"/in"));
  EXPECT_EQ(encr.pathOut, CString(L"/out"));
  EXPECT_EQ(encr.pathError, CString(L"/err"));
  EXPECT_EQ(encr.description, CString(L"Шифрование"));
  EXPECT_EQ(encr.isOn, 1);
  EXPECT_EQ(encr.encAlgorithm, 3);
  EXPECT_EQ(encr.zcsProfile, CString(L"Основной"));
  EXPECT_EQ(encr.directoryProfile.pse, CString(L"/pse"));
  EXPECT_EQ(encr.directoryProfile.local, CString(L"/local"));
  EXPECT_TRUE(encr.resignDirectoryProfile.pse.IsEmpty());  // read for RESG only
  EXPECT_EQ(encr.masks, std::vector<CString>{L"*.txt"});
  EXPECT_EQ(encr.recipients, (std::vector<CString>{L"CN=Иванов Иван, O=Банк, C=RU", L"CN=Петров"}));
  ASSERT_EQ(encr.signerLists.size(), 1u);
  EXPECT_EQ(encr.signerLists[0].name, CString(L"Доверенные"));
  EXPECT_EQ(encr.signerLists[0].signers, (std::vector<CString>{L"CN=A", L"CN=B"}));

  const RuleRecord& resg = p.rules[2];  // Rule 10
  EXPECT_EQ(resg.operation, CString(L"RESG"));
  EXPECT_EQ(resg.resignProfile, CString(L"Второй"));  // from the first recipient
  EXPECT_EQ(resg.resignDirectoryProfile.pse, CString(L"/pse2"));
  EXPECT_EQ(resg.masks, (std::vector<CString>{L"*.p7s", L"*.sig"}));

  const RuleRecord& move = p.rules[3];  // Rule 11
  EXPECT_EQ(move.pathOut2, CString(L"0"));  // a relative folder named "0"
}

TEST(RuleOrder, NumbersAfterTheLastBlankDecide) {
  const struct {
    std::vector<CString> names;
    std::vector<CString> order;
  } cases[] = {
      {{L"Rule 10", L"Rule 9"}, {L"Rule 9", L"Rule 10"}},
      {{L"Rule 10", L"Rule 11", L"Rule 9"}, {L"Rule 9", L"Rule 10", L"Rule 11"}},
      {{L"Rule 1", L"Extra"}, {L"Extra", L"Rule 1"}},
      {{L"B 2", L"A 2", L"C 1"}, {L"C 1", L"B 2", L"A 2"}},  // equal numbers keep their order
      {{L"Rule -3", L"Rule 2x", L"Rule 1"}, {L"Rule -3", L"Rule 1", L"Rule 2x"}},
  };
  for (const auto& c : cases) {
    std::vector<CString> names = c.names;
    SortRuleNames(names);
    EXPECT_EQ(names, c.order);
  }
  EXPECT_EQ(RuleNumber(L"Rule 99999999999"), 2147483647);
}

TEST_F(ConfigStoreTest, EmptyLogPathUsesTheCommonApplicationDataFolder) {
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P\\rules]\r\n");
  ServiceConfiguration config;
  ASSERT_EQ(LoadConfiguration(L"P", config).code, 0u);
  fs::path expected = root_.path() / "ProgramData" / "TORVAK" / "qelmservice";
  EXPECT_TRUE(fs::is_directory(expected));
  EXPECT_TRUE(fs::equivalent(Utf8(config.journalFolder), expected));
  EXPECT_TRUE(config.profile.rules.empty());
}

TEST_F(ConfigStoreTest, ProbeFileLeftByOthersIsKept) {
  Import(Base() + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P\\rules]\r\n");
  std::ofstream(journal_ / "test.fpc") << "someone's";
  ServiceConfiguration config;
  ASSERT_EQ(LoadConfiguration(L"P", config).code, 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(journal_ / "test.fpc"), "someone's");
}

TEST_F(ConfigStoreTest, MissingBaseKeyStopsBeforeAnyJournal) {
  ServiceConfiguration config;
  ConfigurationLoadResult result = LoadConfiguration(L"P", config);
  EXPECT_EQ(result.code, 2u);
  EXPECT_FALSE(result.journalFailed);
  EXPECT_TRUE(fs::is_empty(journal_));
}

TEST_F(ConfigStoreTest, MissingProfileOrRulesKeyIsJournaledAndStops) {
  Import(Base());
  ServiceConfiguration config;
  ConfigurationLoadResult result = LoadConfiguration(L"P", config);
  EXPECT_EQ(result.code, 2u);
  EXPECT_FALSE(result.journalFailed);
  std::string errors;
  for (const auto& entry : fs::directory_iterator(journal_))
    if (entry.path().filename().string().find(" - errors.txt") != std::string::npos)
      errors = testsupport::ReadFileBytes(entry.path());
  EXPECT_NE(errors.find("Ошибка 0x2 - "), std::string::npos);

  std::string operations;
  for (const auto& entry : fs::directory_iterator(journal_))
    if (entry.path().filename().string().find(" P.txt") != std::string::npos)
      operations = testsupport::ReadFileBytes(entry.path());
  EXPECT_NE(operations.find("| Профиль: P | Ошибка | Создание (открытие) ключа реестра "
                            "HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P\r\n"),
            std::string::npos);

  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P]\r\n");
  ServiceConfiguration again;
  EXPECT_EQ(LoadConfiguration(L"P", again).code, 2u);
}

TEST_F(ConfigStoreTest, UnwritableJournalFolderStopsWithTheSystemError) {
  // A journal folder path that runs through a regular file cannot be written,
  // whoever runs the test.
  root_.WriteFile("plain", "x");
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice]\r\n\"LogPath\"=\"" +
         (root_.path() / "plain" / "journal").string() + "\"\r\n");
  ServiceConfiguration config;
  ConfigurationLoadResult result = LoadConfiguration(L"P", config);
  EXPECT_EQ(result.code, 3u);
  std::string log = testsupport::ReadFileBytes(root_.path() / "eventlog" / "Application.log");
  EXPECT_NE(log.find("Запись в журнал в директории"), std::string::npos);
}

TEST_F(ConfigStoreTest, UnreadableLogPathStopsWithTheReadersOwnCode) {
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice]\r\n\"LogPath\"=\"" + std::string(600, 'a') +
         "\"\r\n");
  ServiceConfiguration config;
  SetLastError(ERROR_INVALID_HANDLE);  // whatever the thread held before must not leak out
  EXPECT_EQ(LoadConfiguration(L"P", config).code, static_cast<DWORD>(ERROR_MORE_DATA));
}

// A rule the loader must leave out, with the record that names it; the
// profile's other rule still loads.
struct RefusedRuleCase {
  const char* what;
  std::string values;  // .reg lines of the rule "Bad" (and its keys below), after its key line
  const char* code;
  const char* description;
};

TEST_F(ConfigStoreTest, RulesBeyondTheLimitsOrWritingIntoTheirOwnInputAreLeftOutWithARecord) {
  const std::string in = root_.Dir("in").string();
  // The same folder under other paths: links to it, and a path whose ".."
  // leaves a linked folder (by its text it is the folder above the link).
  fs::create_directory_symlink(in, root_.path() / "in-link");
  fs::create_directory(root_.path() / "in" / "sub");
  fs::create_directory_symlink(root_.path() / "in" / "sub", root_.path() / "to-sub");
  const std::string link = (root_.path() / "in-link").string();
  const std::string throughLink = (root_.path() / "to-sub").string() + "/..";
  const RefusedRuleCase cases[] = {
      {"a mask count no rule holds", "\"Mask num\"=dword:05f5e100\r\n", "0xE1718023",
       "Значение 'Mask num' равно 100000000, допустимо не более 1000: правило не загружено"},
      {"a recipient count of -1", "\"Ext num\"=dword:ffffffff\r\n", "0xE1718023",
       "Значение 'Ext num' равно 4294967295, допустимо не более 1000: правило не загружено"},
      {"a signer count one past the limit",
       "\r\n[<rule>\\List]\r\n\"Signer Num\"=dword:000003e9\r\n",
       "0xE1718023", "Значение 'Signer Num' равно 1001, допустимо не более 1000: правило не загружено"},
      {"outputs into the input folder",
       "\"Operation\"=\"ENCR\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" + in + "//\"\r\n",
       "0xE1718022", "Значение 'Path Out' совпадает со значением 'Path In'"},
      {"failed files into the input folder",
       "\"Operation\"=\"HASH\"\r\n\"Path In\"=\"" + in + "/\"\r\n\"Path Out\"=\"" + in +
           "2\"\r\n\"Path Error\"=\"" + in + "/./sub/..\"\r\n",
       "0xE1718022", "Значение 'Path Error' совпадает со значением 'Path In'"},
      {"outputs into a link to the input folder",
       "\"Operation\"=\"HASH\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" + link + "\"\r\n",
       "0xE1718022", "Значение 'Path Out' совпадает со значением 'Path In'"},
      {"an input folder that is a link to the output folder",
       "\"Operation\"=\"SIGN\"\r\n\"Path In\"=\"" + link + "/\"\r\n\"Path Out\"=\"" + in + "\"\r\n",
       "0xE1718022", "Значение 'Path Out' совпадает со значением 'Path In'"},
      {"outputs into the input folder through a link and '..'",
       "\"Operation\"=\"B64E\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" + throughLink + "\"\r\n",
       "0xE1718022", "Значение 'Path Out' совпадает со значением 'Path In'"},
      {"failed files into a link to the input folder",
       "\"Operation\"=\"DELE\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Error\"=\"" + link + "\"\r\n",
       "0xE1718022", "Значение 'Path Error' совпадает со значением 'Path In'"},
      {"MOVE copies into the input folder",
       "\"Operation\"=\"MOVE\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" + in + "2\"\r\n\"Path Out 2\"=\"" +
           in + "/\"\r\n",
       "0xE1718022", "Значение 'Path Out 2' совпадает со значением 'Path In'"},
      {"MOVE copies into a link to the input folder, named in the first recipient",
       "\"Operation\"=\"MOVE\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" + in +
           "2\"\r\n\"Ext num\"=dword:00000001\r\n\"C0\"=\"" + link + "\"\r\n",
       "0xE1718022", "Значение 'Path Out 2' совпадает со значением 'Path In'"},
  };
  int number = 0;
  for (const RefusedRuleCase& c : cases) {
    SCOPED_TRACE(c.what);
    // A profile of its own for each case.
    const std::string profile = "P" + std::to_string(++number);
    const std::string rule = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\" + profile + "\\rules\\Bad";
    std::string values = c.values;
    for (size_t at; (at = values.find("<rule>")) != std::string::npos;) values.replace(at, 6, rule);
    Import(Base() + "\r\n[" + rule + "]\r\n" + values + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\" +
           profile + "\\rules\\Good 2]\r\n\"Operation\"=\"DELE\"\r\n");
    ServiceConfiguration config;
    const ConfigurationLoadResult result = LoadConfiguration(CString(profile.c_str()), config);
    EXPECT_EQ(result.code, 0u);
    EXPECT_FALSE(result.stopRequested);
    ASSERT_EQ(config.profile.rules.size(), 1u);
    EXPECT_EQ(config.profile.rules[0].operation, CString(L"DELE"));
    const std::string errors = Journal(" " + profile + " - errors.txt");
    EXPECT_NE(errors.find(c.code), std::string::npos) << errors;
    EXPECT_NE(errors.find(c.description), std::string::npos) << errors;
    const std::string operations = Journal(" " + profile + ".txt");
    EXPECT_NE(operations.find("| Ошибка | Загрузка правила " + rule + "\r\n"), std::string::npos) << operations;
  }
}

TEST_F(ConfigStoreTest, FoldersThatOnlyLookAlikeOrAreUnusedDoNotRefuseARule) {
  const std::string in = root_.Dir("in").string();
  const std::string rules = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P\\rules\\";
  Import(Base() + "\r\n" + rules + "Prefix 1]\r\n\"Operation\"=\"ENCR\"\r\n\"Path In\"=\"" + in +
         "\"\r\n\"Path Out\"=\"" + in + "2\"\r\n\"Path Error\"=\"" + in + "/err\"\r\n" +
         // DELE writes nothing into "Path Out".
         "\r\n" + rules + "Delete 2]\r\n\"Operation\"=\"DELE\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" +
         in + "\"\r\n" +
         // Neither path set: nothing to compare.
         "\r\n" + rules + "Empty 3]\r\n\"Operation\"=\"HASH\"\r\n" +
         // A mask count within the limit.
         "\r\n" + rules + "Masks 4]\r\n\"Mask num\"=dword:00000001\r\n\"M0\"=\"*\"\r\n" +
         // EXEC only hands "Path Out" to its program, which may work in place.
         "\r\n" + rules + "Program 5]\r\n\"Operation\"=\"EXEC\"\r\n\"Path In\"=\"" + in + "\"\r\n\"Path Out\"=\"" +
         in + "\"\r\n");
  ServiceConfiguration config;
  ASSERT_EQ(LoadConfiguration(L"P", config).code, 0u);
  EXPECT_EQ(config.profile.rules.size(), 5u);
  EXPECT_EQ(Journal(" P - errors.txt"), "");
}

// Links are followed to the folders they name, and only a folder that is
// the rule's own input refuses it.
TEST_F(ConfigStoreTest, LinkedFoldersThatAreNotTheInputDoNotRefuseARule) {
  const std::string first = root_.Dir("first").string();
  const std::string between = root_.Dir("between").string();
  const std::string last = root_.Dir("last").string();
  fs::create_directory_symlink(between, root_.path() / "between-link");
  fs::create_directory_symlink(first, root_.path() / "first-link");
  const std::string betweenLink = (root_.path() / "between-link").string();
  const std::string firstLink = (root_.path() / "first-link").string();
  const std::string rules = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P\\rules\\";
  auto rule = [&](const std::string& name, const std::string& values) {
    return "\r\n" + rules + name + "]\r\n" + values;
  };
  Import(Base() +
         rule("First 1", "\"Operation\"=\"SIGN\"\r\n\"Path In\"=\"" + first + "\"\r\n\"Path Out\"=\"" + between +
                             "\"\r\n\"Path Error\"=\"" + last + "\"\r\n") +
         // Its input is a link to the first rule's output: another folder
         // than its own output.
         rule("Second 2", "\"Operation\"=\"ENCR\"\r\n\"Path In\"=\"" + betweenLink + "\"\r\n\"Path Out\"=\"" + last +
                              "\"\r\n\"Path Error\"=\"" + firstLink + "\"\r\n") +
         // DELE writes nothing into "Path Out", however it is reached.
         rule("Delete 3", "\"Operation\"=\"DELE\"\r\n\"Path In\"=\"" + first + "\"\r\n\"Path Out\"=\"" + firstLink +
                              "\"\r\n") +
         // Only MOVE copies into "Path Out 2".
         rule("Hash 4", "\"Operation\"=\"HASH\"\r\n\"Path In\"=\"" + first + "\"\r\n\"Path Out\"=\"" + last +
                            "\"\r\n\"Path Out 2\"=\"" + firstLink + "\"\r\n") +
         rule("Move 5", "\"Operation\"=\"MOVE\"\r\n\"Path In\"=\"" + firstLink + "\"\r\n\"Path Out\"=\"" + last +
                            "\"\r\n\"Path Out 2\"=\"" + betweenLink + "\"\r\n") +
         // Folders that do not exist yet are told apart by their text.
         rule("Later 6", "\"Operation\"=\"HASH\"\r\n\"Path In\"=\"" + first + "/later\"\r\n\"Path Out\"=\"" + first +
                             "/later-out\"\r\n"));
  ServiceConfiguration config;
  ASSERT_EQ(LoadConfiguration(L"P", config).code, 0u);
  EXPECT_EQ(config.profile.rules.size(), 6u);
  EXPECT_EQ(Journal(" P - errors.txt"), "");
}

TEST_F(ConfigStoreTest, AStopRequestEndsTheLoad) {
  Import(Base() + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P\\rules\\Rule 1]\r\n");
  HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(stop, nullptr);
  ServiceConfiguration config;
  const ConfigurationLoadResult result = LoadConfiguration(L"P", config, stop);
  CloseHandle(stop);
  EXPECT_TRUE(result.stopRequested);
  EXPECT_EQ(result.code, 0u);
  EXPECT_TRUE(config.profile.rules.empty());
}

}  // namespace

namespace {

// Every value of one layout table as .reg lines that differ from its
// default: texts "v-<name>", numbers 501, lists two entries, counted texts
// two. The operation is "RESG" so that the re-signing paths are read too.
template <class Record>
std::string NonDefaultValues(std::span<const RegistryValueLayout<Record>> values) {
  std::string body;
  for (const RegistryValueLayout<Record>& value : values) {
    const std::string name = value.name;
    if (name == "LogPath") continue;  // the journal folder stays the test's
    switch (value.type) {
      case RegistryValueType::Text:
        body += "\"" + name + "\"=\"" + (name == "Operation" ? "RESG" : "v-" + name) + "\"\r\n";
        break;
      case RegistryValueType::Number:
        body += "\"" + name + "\"=dword:000001f5\r\n";
        break;
      case RegistryValueType::TextList:
        body += "\"" + name + "\"=" + MultiSz({L"x", L"y"}) + "\r\n";
        break;
      case RegistryValueType::NumberList:
        body += "\"" + name + "\"=" + MultiSz({L"7", L"8"}) + "\r\n";
        break;
      case RegistryValueType::CountedTexts:
        body += "\"" + name + "\"=dword:00000002\r\n";
        for (int i = 0; i < 2; ++i)
          body += "\"" + std::string(value.prefix) + std::to_string(i) + "\"=\"v-" + value.prefix + std::to_string(i) +
                  "\"\r\n";
        break;
    }
  }
  return body;
}

// Checks every value of a table in record: the non-default value written by
// NonDefaultValues, or the layout's default.
template <class Record>
void ExpectValues(std::span<const RegistryValueLayout<Record>> values, Record& record, bool written) {
  for (const RegistryValueLayout<Record>& value : values) {
    const std::string name = value.name;
    if (name == "LogPath" || name == "Handler timeout") continue;  // the service keeps these apart
    SCOPED_TRACE(name);
    switch (value.type) {
      case RegistryValueType::Text: {
        const CString expected = !written ? CString(value.textDefault)
                                 : name == "Operation" ? CString(L"RESG")
                                                       : CString(("v-" + name).c_str());
        EXPECT_EQ(value.text(record), expected);
        break;
      }
      case RegistryValueType::Number:
        EXPECT_EQ(value.number(record), written ? 501 : value.numberDefault);
        break;
      case RegistryValueType::TextList:
        if (value.textArray != nullptr) {
          ASSERT_EQ(value.textArray(record).GetSize(), written ? 2 : 0);
        } else {
          EXPECT_EQ(value.texts(record), written ? (std::vector<CString>{L"x", L"y"}) : std::vector<CString>{});
        }
        break;
      case RegistryValueType::NumberList:
        if (name == "CrlUpdatePeriod") continue;  // padded to "NotLoadCrl", below
        EXPECT_EQ(value.numbers(record), written ? (std::vector<int>{7, 8}) : std::vector<int>{});
        break;
      case RegistryValueType::CountedTexts: {
        const std::string prefix = value.prefix;
        std::vector<CString> expected;
        if (written) expected = {CString(("v-" + prefix + "0").c_str()), CString(("v-" + prefix + "1").c_str())};
        if (!written && name == kMaskCountValueName) expected = {CString()};  // "Mask" is the only mask
        EXPECT_EQ(value.texts(record), expected);
        break;
      }
    }
  }
}

}  // namespace

// The layout tables against a store written with the reg tool: every value
// of every key reaches the field the table names, and every value that is
// absent reads as the table's default (an empty rule and signer list here,
// keys alone below).
TEST_F(ConfigStoreTest, EveryLayoutValueReachesItsField) {
  const std::string profileKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\P";
  Import(Base() + NonDefaultValues(BaseValueLayout()) + "\r\n" + profileKey + "]\r\n" +
         NonDefaultValues(ProfileValueLayout()) + "\"Handler timeout\"=dword:00000021\r\n\r\n" + profileKey +
         "\\rules\\Rule 1]\r\n" + NonDefaultValues(RuleValueLayout()) + "\r\n" + profileKey +
         "\\rules\\Rule 1\\List]\r\n" + NonDefaultValues(SignerListValueLayout()) + "\r\n" + profileKey +
         "\\rules\\Rule 2]\r\n\r\n" + profileKey + "\\rules\\Rule 2\\List]\r\n");
  ServiceConfiguration config;
  ASSERT_EQ(LoadConfiguration(L"P", config).code, 0u);
  ExpectValues(BaseValueLayout(), config.base, true);
  ExpectValues(ProfileValueLayout(), config.profile, true);
  EXPECT_EQ(config.handlerTimeout, 33);
  EXPECT_EQ(config.profile.crlUpdatePeriod, (std::vector<int>{7, 8}));
  ASSERT_EQ(config.profile.rules.size(), 2u);
  ExpectValues(RuleValueLayout(), config.profile.rules[0], true);
  ASSERT_EQ(config.profile.rules[0].signerLists.size(), 1u);
  ExpectValues(SignerListValueLayout(), config.profile.rules[0].signerLists[0], true);
  ExpectValues(RuleValueLayout(), config.profile.rules[1], false);
  ASSERT_EQ(config.profile.rules[1].signerLists.size(), 1u);
  ExpectValues(SignerListValueLayout(), config.profile.rules[1].signerLists[0], false);
}

TEST_F(ConfigStoreTest, EveryAbsentLayoutValueTakesItsDefault) {
  Import(Base() + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice\\Q\\rules]\r\n");
  ServiceConfiguration defaults;
  ASSERT_EQ(LoadConfiguration(L"Q", defaults).code, 0u);
  ExpectValues(BaseValueLayout(), defaults.base, false);
  ExpectValues(ProfileValueLayout(), defaults.profile, false);
  EXPECT_EQ(defaults.handlerTimeout, 15);
  EXPECT_TRUE(defaults.profile.crlUpdatePeriod.empty());
}
