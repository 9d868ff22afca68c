#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

using platform::WideToUtf16Le;

std::string Sz(std::wstring_view text) { return WideToUtf16Le(std::wstring(text) + L'\0'); }

std::string Dword(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice", 0, nullptr, 0,
                              KEY_READ | KEY_WRITE, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (key_) RegCloseKey(key_);
  }

  LSTATUS Set(HKEY key, LPCWSTR name, DWORD type, const std::string& bytes) {
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  }
  // Reads a whole value: size first, then the data, as careful callers do.
  std::string Get(HKEY key, LPCWSTR name, DWORD* type = nullptr) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
    std::string data(size, '\0');
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size),
              ERROR_SUCCESS);
    return data.substr(0, size);
  }
  std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD length = 256;
      LSTATUS st = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(st, ERROR_SUCCESS);
      if (st != ERROR_SUCCESS) break;
      names.emplace_back(name, length);
    }
    return names;
  }
  std::vector<std::wstring> ValueNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD length = 256;
      LSTATUS st = RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(st, ERROR_SUCCESS);
      if (st != ERROR_SUCCESS) break;
      names.emplace_back(name, length);
    }
    return names;
  }

  testsupport::TempRoot root_;
  HKEY key_ = nullptr;
};

// Every value keeps its type and exactly the bytes written, and the three
// ways of reading (size only, exact buffer, short buffer) behave as on
// Windows for every type: the short buffer gives 234 and the needed size.
TEST_F(RegistryTest, ValueShapesKeepTypeAndBytes) {
  struct Case {
    const wchar_t* name;
    DWORD type;
    std::string bytes;
  };
  const Case cases[] = {
      {L"text", REG_SZ, Sz(L"Путь\\к файлу")},
      {L"empty text", REG_SZ, Sz(L"")},
      {L"zero bytes", REG_SZ, ""},
      {L"odd length", REG_SZ, std::string("a\0b", 3)},
      {L"no terminator", REG_EXPAND_SZ, WideToUtf16Le(L"%TEMP%")},
      {L"number", REG_DWORD, Dword(0xDEADBEEF)},
      {L"long number", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {L"list", REG_MULTI_SZ, Sz(L"a") + Sz(L"") + Sz(L"bc") + Sz(L"")},
      {L"one nul list", REG_MULTI_SZ, Sz(L"")},
      {L"binary", REG_BINARY, std::string("\0\xff\0", 3)},
      {L"none", REG_NONE, ""},
      {L"odd type", 0x12345, "xyz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::WideToUtf8(c.name));
    ASSERT_EQ(Set(key_, c.name, c.type, c.bytes), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key_, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.bytes.size());

    DWORD t2 = 0;
    EXPECT_EQ(Get(key_, c.name, &t2), c.bytes);
    EXPECT_EQ(t2, c.type);

    if (!c.bytes.empty()) {
      std::string shortBuffer(c.bytes.size() - 1, '\x5A');
      DWORD room = static_cast<DWORD>(shortBuffer.size());
      DWORD t3 = 0;
      EXPECT_EQ(RegQueryValueExW(key_, c.name, nullptr, &t3, reinterpret_cast<BYTE*>(shortBuffer.data()), &room),
                ERROR_MORE_DATA);
      EXPECT_EQ(room, c.bytes.size());
      EXPECT_EQ(t3, c.type);
    }
  }
}

TEST_F(RegistryTest, ReadingIntoAFourByteBufferFollowsTheStoredSize) {
  // The number reader queries into a DWORD whatever the type: a 4-byte text
  // fits (and reads as another type), a 6-byte one gives 234.
  ASSERT_EQ(Set(key_, L"one char", REG_SZ, Sz(L"7")), ERROR_SUCCESS);
  ASSERT_EQ(Set(key_, L"two chars", REG_SZ, Sz(L"42")), ERROR_SUCCESS);
  DWORD value = 0, type = 0, size = 4;
  EXPECT_EQ(RegQueryValueExW(key_, L"one char", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key_, L"two chars", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
}

TEST_F(RegistryTest, MissingValuesKeysAndDefaultValue) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key_, L"absent", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key_, L"absent"), ERROR_FILE_NOT_FOUND);
  HKEY missing = reinterpret_cast<HKEY>(0x1);
  EXPECT_EQ(RegOpenKeyExW(key_, L"no\\such\\key", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);

  // Null and "" both name the default value.
  ASSERT_EQ(Set(key_, nullptr, REG_SZ, Sz(L"по умолчанию")), ERROR_SUCCESS);
  EXPECT_EQ(Get(key_, L""), Sz(L"по умолчанию"));
  EXPECT_EQ(RegDeleteValueW(key_, L""), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key_, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndCasePreservingCyrillicToo) {
  HKEY profile = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(key_, L"Профиль Ёлка", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &profile,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key_, L"пРОФИЛЬ ёЛКА", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  ASSERT_EQ(Set(profile, L"Путь Вход", REG_SZ, Sz(L"1")), ERROR_SUCCESS);
  ASSERT_EQ(Set(again, L"ПУТЬ вход", REG_SZ, Sz(L"2")), ERROR_SUCCESS);  // same value
  EXPECT_EQ(Get(profile, L"путь ВХОД"), Sz(L"2"));
  EXPECT_EQ(ValueNames(profile), std::vector<std::wstring>{L"Путь Вход"});  // first spelling kept
  EXPECT_EQ(SubkeyNames(key_), std::vector<std::wstring>{L"Профиль Ёлка"});
  RegCloseKey(profile);
  RegCloseKey(again);
}

TEST_F(RegistryTest, SubkeysEnumerateCaseInsensitivelyValuesInCreationOrder) {
  for (const wchar_t* name : {L"beta", L"Alpha", L"ALPHA2", L"щука", L"Аист", L"gamma", L"Я"}) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegCloseKey(k);
  }
  EXPECT_EQ(SubkeyNames(key_),
            (std::vector<std::wstring>{L"Alpha", L"ALPHA2", L"beta", L"gamma", L"Аист", L"щука", L"Я"}));

  for (const wchar_t* name : {L"zeta", L"Alpha", L"mid"}) ASSERT_EQ(Set(key_, name, REG_DWORD, Dword(1)), ERROR_SUCCESS);
  ASSERT_EQ(Set(key_, L"ZETA", REG_SZ, Sz(L"rewritten")), ERROR_SUCCESS);  // keeps its place
  EXPECT_EQ(ValueNames(key_), (std::vector<std::wstring>{L"zeta", L"Alpha", L"mid"}));

  DWORD subKeys = 0, values = 0, maxKey = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &subKeys, &maxKey, nullptr, &values, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 7u);
  EXPECT_EQ(maxKey, 6u);  // ALPHA2
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(maxName, 5u);  // Alpha
  EXPECT_EQ(maxData, Sz(L"rewritten").size());
}

TEST_F(RegistryTest, EnumerationReportsNamesAndDataThatDoNotFit) {
  ASSERT_EQ(Set(key_, L"LongName", REG_SZ, Sz(L"data")), ERROR_SUCCESS);
  wchar_t name[8];
  DWORD length = 8;  // room for 7 characters and the NUL: one short
  EXPECT_EQ(RegEnumValueW(key_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  length = 9;
  wchar_t fits[9];
  BYTE data[4];
  DWORD size = sizeof data;
  DWORD type = 0;
  EXPECT_EQ(RegEnumValueW(key_, 0, fits, &length, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(std::wstring(fits), L"LongName");
  EXPECT_EQ(RegEnumValueW(key_, 1, fits, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, DeletingKeysAndTrees) {
  HKEY rules = nullptr, rule = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key_, L"Main\\rules\\Rule 1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &rule, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(Set(rule, L"Path In", REG_SZ, Sz(L"/in")), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(key_, L"main\\RULES", 0, KEY_ALL_ACCESS, &rules), ERROR_SUCCESS);
  ASSERT_EQ(Set(rules, L"count", REG_DWORD, Dword(1)), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyW(key_, L"Main\\rules"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKeyW(key_, L"Main\\rules\\Rule 2"), ERROR_FILE_NOT_FOUND);

  // Emptying a key keeps it; its handles stay usable.
  ASSERT_EQ(RegDeleteTreeW(rules, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(rules).empty());
  EXPECT_TRUE(ValueNames(rules).empty());
  EXPECT_EQ(Set(rules, L"count", REG_DWORD, Dword(0)), ERROR_SUCCESS);
  // A handle to a key deleted meanwhile tells so instead of reading another key.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(rule, L"Path In", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(Set(rule, L"Path In", REG_SZ, Sz(L"/in")), ERROR_KEY_DELETED);

  ASSERT_EQ(RegDeleteTreeW(key_, L"MAIN"), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(key_).empty());
  EXPECT_EQ(RegQueryValueExW(rules, L"count", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteTreeW(key_, L"Main"), ERROR_FILE_NOT_FOUND);

  HKEY leaf = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key_, L"leaf", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &leaf, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(key_, L"LEAF"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
  RegCloseKey(rule);
  RegCloseKey(rules);
}

TEST_F(RegistryTest, BadArgumentsFailWithCodesNeverCrash) {
  HKEY k = nullptr;
  DWORD size = 4;
  BYTE buffer[4];
  EXPECT_EQ(RegOpenKeyExW(key_, L"x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(key_, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(nullptr, L"x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(0x1234), L"x", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key_, L"x", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(key_, L"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExW(key_, 0, nullptr, &size, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(key_, nullptr), ERROR_INVALID_PARAMETER);

  std::wstring longComponent(256, L'к');
  EXPECT_EQ(RegCreateKeyExW(key_, longComponent.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);
  longComponent.pop_back();  // 255 is the longest name allowed
  ASSERT_EQ(RegCreateKeyExW(key_, longComponent.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
  std::wstring longValueName(16384, L'v');
  EXPECT_EQ(Set(key_, longValueName.c_str(), REG_SZ, Sz(L"")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(key_, L"\\lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(key_, L"a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_BAD_PATHNAME);
  ASSERT_EQ(RegCreateKeyExW(key_, L"trail\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);  // a second close is caught
}

TEST_F(RegistryTest, HandlesHaveOnlyTheAccessAskedFor) {
  HKEY readOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice", 0, KEY_READ, &readOnly),
            ERROR_SUCCESS);
  EXPECT_EQ(Set(readOnly, L"x", REG_DWORD, Dword(1)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(readOnly, L"x"), ERROR_ACCESS_DENIED);
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice", 0, KEY_SET_VALUE, &writeOnly),
            ERROR_SUCCESS);
  EXPECT_EQ(Set(writeOnly, L"x", REG_DWORD, Dword(1)), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(writeOnly, L"x", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(readOnly, L"x", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  RegCloseKey(readOnly);
  RegCloseKey(writeOnly);
}

TEST(RegistryStoreTest, HivesLiveInTheirOwnFilesChosenByTheEnvironment) {
  std::filesystem::path firstMachine;
  {
    testsupport::TempRoot root;
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\TORVAK\\qelmservicemonitor", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_TRUE(std::filesystem::exists(root.path() / "config/qelmservice/user.db"));
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservicemonitor", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(std::filesystem::exists(root.path() / "registry/machine.db"));
    firstMachine = root.path() / "registry/machine.db";

    // A key opened in this store keeps using it after the environment moves on.
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"kept", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    {
      testsupport::TempRoot other;
      EXPECT_EQ(platform::RegistryStorePath(HKEY_LOCAL_MACHINE), (other.path() / "registry/machine.db").string());
      std::string one = Dword(1);
      ASSERT_EQ(RegSetValueExW(k, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(one.data()), 4), ERROR_SUCCESS);
      HKEY none = nullptr;
      EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"kept", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(k, L"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    RegCloseKey(k);
  }
}

// The user's store holds their profiles and the paths of their keys: no
// other user reads it, whether it is made now or was left open to others.
TEST(RegistryStoreTest, TheUserStoreIsItsOwnersAloneTheMachineStoreReadableByAll) {
  namespace fs = std::filesystem;
  auto modeOf = [](const fs::path& path) { return static_cast<unsigned>(fs::status(path).permissions()) & 0777u; };
  auto writeUserValue = [] {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\TORVAK\\qelm\\Profiles\\p", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    const std::string pse = Sz(L"/keys/pse");
    ASSERT_EQ(RegSetValueExW(k, L"PSE", 0, REG_SZ, reinterpret_cast<const BYTE*>(pse.data()),
                             static_cast<DWORD>(pse.size())),
              ERROR_SUCCESS);
    RegCloseKey(k);
  };
  {
    testsupport::TempRoot root;
    const fs::path config = root.path() / "fresh";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    writeUserValue();
    EXPECT_EQ(modeOf(config), 0700u);
    EXPECT_EQ(modeOf(config / "qelmservice"), 0700u);
    for (const auto& entry : fs::directory_iterator(config / "qelmservice"))
      EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
    EXPECT_TRUE(fs::exists(config / "qelmservice/user.db-wal"));

    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(modeOf(root.path() / "registry/machine.db") & 0044u, 0044u);
  }
  {
    testsupport::TempRoot root;
    const fs::path folder = root.path() / "config/qelmservice";
    root.WriteFile("config/qelmservice/user.db", "");
    root.WriteFile("config/qelmservice/user.db.lock", "");
    fs::permissions(folder, fs::perms(0755));
    fs::permissions(folder / "user.db", fs::perms(0644));
    fs::permissions(folder / "user.db.lock", fs::perms(0644));
    writeUserValue();
    EXPECT_EQ(modeOf(folder), 0700u);
    for (const auto& entry : fs::directory_iterator(folder)) EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
  }
}

TEST(RegistryStoreTest, AStoreThatCannotBeCreatedFailsCleanly) {
  testsupport::TempRoot root;
  root.WriteFile("blocker", "not a folder");
  setenv("QELM_ROOT", (root.path() / "blocker").c_str(), 1);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &k), ERROR_CANTOPEN);
  EXPECT_EQ(k, nullptr);

  setenv("QELM_ROOT", root.path().c_str(), 1);
  root.WriteFile("registry/machine.db", std::string(4096, 'x'));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &k), ERROR_REGISTRY_CORRUPT);
}

TEST(RegistryStoreTest, ARemovedStoreIsCreatedAfreshNotWrittenToTheRemovedFile) {
  testsupport::TempRoot root;
  std::string one = Dword(1);
  ASSERT_EQ(RegSetValueExW(HKEY_CURRENT_USER, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(one.data()), 4),
            ERROR_SUCCESS);
  std::filesystem::remove_all(root.path() / "config");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(HKEY_CURRENT_USER, L"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegSetValueExW(HKEY_CURRENT_USER, L"w", 0, REG_DWORD, reinterpret_cast<const BYTE*>(one.data()), 4),
            ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(root.path() / "config/qelmservice/user.db"));
}

TEST(RegistryConcurrencyTest, ThreadsWritingOneKeyLoseNoValue) {
  testsupport::TempRoot root;
  constexpr int kThreads = 4, kValues = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      HKEY k = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                ERROR_SUCCESS);
      for (int i = 0; i < kValues; ++i) {
        std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        DWORD v = static_cast<DWORD>(i);
        ASSERT_EQ(RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
      }
      RegCloseKey(k);
    });
  }
  for (auto& th : threads) th.join();
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"shared", 0, KEY_READ, &k), ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, static_cast<DWORD>(kThreads * kValues));
  RegCloseKey(k);
}

// Two processes (the reg tool, run in two shell loops at once) write
// different values of one key into a store that none has created yet.
TEST(RegistryConcurrencyTest, TwoProcessesWritingOneKeyLoseNoValue) {
  testsupport::TempRoot root;
  std::filesystem::path reg = testsupport::BuildDir() / "bin/reg";
  ASSERT_TRUE(std::filesystem::exists(reg)) << reg;
  constexpr int kPerProcess = 30;
  std::string loop = "for i in $(seq 1 " + std::to_string(kPerProcess) + "); do '" + reg.string() +
                     "' add 'HKLM\\SOFTWARE\\Shared' /v \"$1$i\" /t REG_DWORD /d $i /f >/dev/null || exit 1; done\n";
  std::filesystem::path writer = root.WriteFile("writer.sh", loop);
  std::string command = "sh '" + writer.string() + "' a & A=$!; sh '" + writer.string() +
                        "' b & B=$!; wait $A || exit 1; wait $B || exit 1";
  int status = std::system(command.c_str());
  ASSERT_EQ(status, 0);

  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\shared", 0, KEY_READ, &k), ERROR_SUCCESS);
  for (const char* prefix : {"a", "b"}) {
    for (int i = 1; i <= kPerProcess; ++i) {
      std::wstring name = platform::Utf8ToWide(prefix + std::to_string(i));
      DWORD v = 0, size = 4, type = 0;
      ASSERT_EQ(RegQueryValueExW(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS)
          << prefix << i;
      EXPECT_EQ(type, REG_DWORD);
      EXPECT_EQ(v, static_cast<DWORD>(i));
    }
  }
  RegCloseKey(k);
}

}  // namespace
