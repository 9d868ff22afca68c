#include "common/registry_values.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

constexpr const wchar_t* kKeyPath = L"SOFTWARE\\TORVAK\\qelmservice";

struct Report {
  HWND owner;
  DWORD flags;
  DWORD code;
  std::string format;
  std::string valueName;
};
std::vector<Report> g_reports;

DWORD RecordReport(HWND owner, DWORD flags, DWORD code, const char* format, const char* valueName) {
  g_reports.push_back({owner, flags, code, format, valueName != nullptr ? valueName : "<none>"});
  return code;
}

std::string Bytes(std::wstring_view text) { return platform::WideToUtf16Le(text); }
// UTF-16LE of text with every '|' turned into a NUL.
std::string Shape(std::wstring text) {
  for (wchar_t& ch : text)
    if (ch == L'|') ch = L'\0';
  return Bytes(text);
}

RegistryReporter RecordingReporter() {
  RegistryReporter reporter;
  reporter.report = RecordReport;
  reporter.stringListFlags = 2;
  reporter.intListFlags = 2;
  reporter.stringArrayFlags = 3;
  reporter.writeArrayFlags = 3;
  return reporter;
}

// A private store with the service's base key open and a reporter that
// records what it is given.
class RegistryValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    ASSERT_EQ(registry_.Key().Create(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  }
  void TearDown() override { registry_.Key().Close(); }

  void SetRaw(const wchar_t* name, DWORD type, const std::string& bytes) {
    ASSERT_EQ(RegSetValueExW(registry_.Key().Handle(), name, 0, type,
                             reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
  std::string GetRaw(const wchar_t* name, DWORD& type) {
    std::string bytes(4096, '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    EXPECT_EQ(RegQueryValueExW(registry_.Key().Handle(), name, nullptr, &type,
                               reinterpret_cast<BYTE*>(bytes.data()), &size),
              ERROR_SUCCESS);
    bytes.resize(size);
    return bytes;
  }

  testsupport::TempRoot root_;
  RegistryValues registry_{RecordingReporter()};
};

// ---- single values ----

struct DwordCase {
  const char* label;
  bool present;
  DWORD type;
  std::string bytes;
  int result;
  int value;        // after the call; the value starts as -7, the default is 99
  DWORD reported;   // 0: nothing reported
};

TEST_F(RegistryValuesTest, ReadDwordValueTakesDefaultsAndReportsOtherFailures) {
  const DwordCase cases[] = {
      {"missing", false, 0, "", 1, 99, 0},
      {"dword", true, REG_DWORD, std::string("\x2a\x00\x00\x00", 4), 1, 42, 0},
      {"negative", true, REG_DWORD, std::string("\xff\xff\xff\xff", 4), 1, -1, 0},
      {"text of one character", true, REG_SZ, Shape(L"7|"), 1, 99, 0},
      {"text of two characters", true, REG_SZ, Shape(L"77|"), 0, -7, ERROR_MORE_DATA},
      {"short binary", true, REG_BINARY, std::string("\x01\x02", 2), 1, 99, 0},
      {"dword of two bytes", true, REG_DWORD, std::string("\x01\x02", 2), 1, 99, 0},
      {"qword", true, REG_QWORD, std::string(8, '\x01'), 0, -7, ERROR_MORE_DATA},
  };
  for (const DwordCase& c : cases) {
    SCOPED_TRACE(c.label);
    RegDeleteValueW(registry_.Key().Handle(), L"Log filesize");
    if (c.present) SetRaw(L"Log filesize", c.type, c.bytes);
    g_reports.clear();
    int value = -7;
    EXPECT_EQ(registry_.ReadDwordValue("Log filesize", value, nullptr, 2, 99), c.result);
    EXPECT_EQ(value, c.value);
    if (c.reported == 0) {
      EXPECT_TRUE(g_reports.empty());
    } else {
      ASSERT_EQ(g_reports.size(), 1u);
      EXPECT_EQ(g_reports[0].code, c.reported);
      EXPECT_EQ(g_reports[0].flags, 2u);
      EXPECT_EQ(g_reports[0].format, "Чтение из реестра числового значения '%s'");
      EXPECT_EQ(g_reports[0].valueName, "Log filesize");
    }
  }
}

struct TextCase {
  const char* label;
  bool present;
  DWORD type;
  std::string bytes;
  int result;
  std::wstring value;  // after the call; starts as "earlier", the default is "p7s"
  DWORD reported;
};

TEST_F(RegistryValuesTest, ReadStringValueTakesDefaultsAndReportsOtherFailures) {
  const std::wstring text519(519, L'ж');
  const TextCase cases[] = {
      {"missing", false, 0, "", 1, L"p7s", 0},
      {"text", true, REG_SZ, Shape(L"Банк|"), 1, L"Банк", 0},
      {"expand text stays unexpanded", true, REG_EXPAND_SZ, Shape(L"%TEMP%\\x|"), 1,
       L"%TEMP%\\x", 0},
      {"519 characters", true, REG_SZ, Bytes(text519) + std::string(2, '\0'), 1, text519, 0},
      {"520 characters", true, REG_SZ, Bytes(text519 + L"ж") + std::string(2, '\0'), 0,
       L"earlier", ERROR_MORE_DATA},
      {"odd length", true, REG_SZ, Shape(L"ab|") + "x", 1, L"p7s", 0},
      {"no final NUL", true, REG_SZ, Shape(L"ab"), 1, L"p7s", 0},
      {"zero bytes", true, REG_SZ, "", 1, L"", 0},
      {"number", true, REG_DWORD, std::string(4, '\0'), 1, L"p7s", 0},
      {"embedded NUL ends the text", true, REG_SZ, Shape(L"a|b|"), 1, L"a", 0},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.label);
    RegDeleteValueW(registry_.Key().Handle(), L"SigExt");
    if (c.present) SetRaw(L"SigExt", c.type, c.bytes);
    g_reports.clear();
    CString value(L"earlier");
    EXPECT_EQ(registry_.ReadStringValue("SigExt", value, nullptr, 3, "p7s"), c.result);
    EXPECT_EQ(value.str(), c.value);
    if (c.reported == 0) {
      EXPECT_TRUE(g_reports.empty());
    } else {
      ASSERT_EQ(g_reports.size(), 1u);
      EXPECT_EQ(g_reports[0].code, c.reported);
      EXPECT_EQ(g_reports[0].flags, 3u);
      EXPECT_EQ(g_reports[0].format, "Чтение из реестра строкового значения '%s'");
      EXPECT_EQ(g_reports[0].valueName, "SigExt");
    }
  }
}

TEST_F(RegistryValuesTest, DefaultTextIsWidenedFromTheAnsiPage) {
  CString value;
  ASSERT_EQ(registry_.ReadStringValue("Missing", value, nullptr, 2, "по умолчанию"), 1);
  EXPECT_EQ(value, CString(L"по умолчанию"));
}

TEST_F(RegistryValuesTest, SingleValueWritersStoreTheWindowsShapes) {
  ASSERT_EQ(registry_.WriteDwordValue("Handler timeout", -2, nullptr, 3), 1);
  DWORD type = 0;
  EXPECT_EQ(GetRaw(L"Handler timeout", type), std::string("\xfe\xff\xff\xff", 4));
  EXPECT_EQ(type, REG_DWORD);

  ASSERT_EQ(registry_.WriteStringValue("LogPath", "/var/журнал", nullptr, 3), 1);
  const std::string stored = GetRaw(L"LogPath", type);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(stored.size(), (11u + 1) * 2);  // characters and the NUL, 2 bytes each
  EXPECT_EQ(stored, Shape(L"/var/журнал|"));
  CString back;
  ASSERT_EQ(registry_.ReadStringValue("LogPath", back, nullptr, 3, ""), 1);
  EXPECT_EQ(back, CString(L"/var/журнал"));
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(RegistryValuesTest, FailuresWithoutAnOpenKeyAreReportedAndLeaveOutputsAlone) {
  registry_.Key().Close();
  int number = 5;
  CString text(L"kept");
  EXPECT_EQ(registry_.ReadDwordValue("Verify File", number, nullptr, 2, 0), 0);
  EXPECT_EQ(registry_.ReadStringValue("Descryption", text, nullptr, 2, ""), 0);
  EXPECT_EQ(registry_.WriteDwordValue("Is on", 1, nullptr, 1), 0);
  EXPECT_EQ(registry_.WriteStringValue("Operation", "SIGN", nullptr, 1), 0);
  CStringArray array;
  EXPECT_EQ(registry_.WriteStringArray(array, "ExtExt", nullptr), 0);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(text, CString(L"kept"));

  ASSERT_EQ(g_reports.size(), 5u);
  const char* formats[] = {"Чтение из реестра числового значения '%s'",
                           "Чтение из реестра строкового значения '%s'",
                           "Запись в реестр числового значения '%s'",
                           "Запись в реестр строкового значения '%s'",
                           "Запись в реестр мультистрокового значения '%s'"};
  const char* names[] = {"Verify File", "Descryption", "Is on", "Operation", "ExtExt"};
  const DWORD flags[] = {2, 2, 1, 1, 3};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(g_reports[i].format, formats[i]);
    EXPECT_EQ(g_reports[i].valueName, names[i]);
    EXPECT_EQ(g_reports[i].flags, flags[i]);
    EXPECT_EQ(g_reports[i].code, ERROR_INVALID_HANDLE);
  }
}

TEST_F(RegistryValuesTest, ReportsGoToTheOwnerWindowGiven) {
  SetRaw(L"Window_top", REG_QWORD, std::string(8, '\0'));
  const HWND owner = reinterpret_cast<HWND>(0x55);
  int value = 0;
  EXPECT_EQ(registry_.ReadDwordValue("Window_top", value, owner, 3, 0), 0);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].owner, owner);
}

// ---- lists ----

struct ListCase {
  const char* label;
  bool present;
  DWORD type;
  std::string bytes;
  int result;
  std::vector<std::wstring> list;
  DWORD reported;
};

TEST_F(RegistryValuesTest, ListReadersAcceptListShapesUpToTheFirstEmptyString) {
  const ListCase cases[] = {
      {"missing", false, 0, "", 1, {}, 0},
      {"two texts", true, REG_MULTI_SZ, Shape(L"Банк|Филиал||"), 1, {L"Банк", L"Филиал"}, 0},
      {"empty string ends the list", true, REG_MULTI_SZ, Shape(L"a||b||"), 1, {L"a"}, 0},
      {"one NUL", true, REG_MULTI_SZ, Shape(L"|"), 1, {}, 0},
      {"zero bytes", true, REG_MULTI_SZ, "", 1, {}, 0},
      {"text value is a list of one", true, REG_SZ, Shape(L"only|"), 1, {L"only"}, 0},
      {"expand text likewise", true, REG_EXPAND_SZ, Shape(L"%x%|"), 1, {L"%x%"}, 0},
      {"number", true, REG_DWORD, std::string(4, '\0'), 0, {}, ERROR_INVALID_DATA},
      {"one final NUL only", true, REG_MULTI_SZ, Shape(L"a|b|"), 0, {}, ERROR_INVALID_DATA},
      {"odd length", true, REG_MULTI_SZ, Shape(L"a||") + "x", 0, {}, ERROR_INVALID_DATA},
      {"text without NUL", true, REG_SZ, Shape(L"ab"), 0, {}, ERROR_INVALID_DATA},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.label);
    RegDeleteValueW(registry_.Key().Handle(), L"ZCSProfile");
    if (c.present) SetRaw(L"ZCSProfile", c.type, c.bytes);

    g_reports.clear();
    std::vector<CString> list = {L"left over"};
    EXPECT_EQ(registry_.ReadStringList("ZCSProfile", list, nullptr), c.result);
    CStringArray array;
    array.Add(L"left over");
    EXPECT_EQ(registry_.ReadStringArray("ZCSProfile", array, nullptr), c.result);

    ASSERT_EQ(list.size(), c.list.size());
    ASSERT_EQ(static_cast<size_t>(array.GetSize()), c.list.size());
    for (size_t i = 0; i < c.list.size(); ++i) {
      EXPECT_EQ(list[i].str(), c.list[i]);
      EXPECT_EQ(array[static_cast<INT_PTR>(i)].str(), c.list[i]);
    }
    if (c.reported == 0) {
      EXPECT_TRUE(g_reports.empty());
    } else {
      ASSERT_EQ(g_reports.size(), 2u);
      EXPECT_EQ(g_reports[0].code, c.reported);
      EXPECT_EQ(g_reports[0].format, "Чтение из реестра мультистрокового значения '%s'");
      EXPECT_EQ(g_reports[0].valueName, "ZCSProfile");
      EXPECT_EQ(g_reports[0].flags, 2u);  // ReadStringList with this program's flags
      EXPECT_EQ(g_reports[1].flags, 3u);  // ReadStringArray
    }
  }
}

TEST_F(RegistryValuesTest, ReadIntListReadsEachTextAsADecimalNumber) {
  SetRaw(L"CrlUpdatePeriod", REG_MULTI_SZ,
         Shape(L"12| -3|x|+7abc|99999999999|-99999999999|\t5||"));
  std::vector<int> list = {100};
  ASSERT_EQ(registry_.ReadIntList("CrlUpdatePeriod", list, nullptr), 1);
  EXPECT_EQ(list, (std::vector<int>{12, -3, 0, 7, INT_MAX, INT_MIN, 5}));

  SetRaw(L"CrlUpdatePeriod", REG_BINARY, "\x01\x02");
  EXPECT_EQ(registry_.ReadIntList("CrlUpdatePeriod", list, nullptr), 0);
  EXPECT_TRUE(list.empty());
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].flags, 2u);
}

TEST_F(RegistryValuesTest, WriteStringArrayStoresEveryStringAndAFinalNul) {
  struct Case {
    const char* label;
    std::vector<const wchar_t*> strings;
    std::string stored;
    std::vector<std::wstring> readBack;
  } cases[] = {
      {"two", {L"Банк;;1765400000", L"B;;1"}, Shape(L"Банк;;1765400000|B;;1||"),
       {L"Банк;;1765400000", L"B;;1"}},
      {"empty array", {}, Shape(L"|"), {}},
      // An empty string keeps only its NUL, so the list ends there when read.
      {"empty string inside", {L"a", L"", L"b"}, Shape(L"a||b||"), {L"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CStringArray array;
    for (const wchar_t* s : c.strings) array.Add(s);
    ASSERT_EQ(registry_.WriteStringArray(array, "LastCrlUpdate", nullptr), 1);
    DWORD type = 0;
    EXPECT_EQ(GetRaw(L"LastCrlUpdate", type), c.stored);
    EXPECT_EQ(type, REG_MULTI_SZ);
    std::vector<CString> back;
    ASSERT_EQ(registry_.ReadStringList("LastCrlUpdate", back, nullptr), 1);
    ASSERT_EQ(back.size(), c.readBack.size());
    for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i].str(), c.readBack[i]);
  }
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(RegistryValuesTest, OpeningAnotherKeyClosesTheOneHeld) {
  RegistryKey& key = registry_.Key();
  const HKEY base = key.Handle();
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice\\Банк"), ERROR_SUCCESS);
  EXPECT_NE(key.Handle(), base);
  EXPECT_EQ(RegCloseKey(base), ERROR_INVALID_HANDLE);  // already closed by the switch
  ASSERT_EQ(registry_.WriteDwordValue("Verify File", 1, nullptr, 2), 1);

  // A failed open keeps the key held before.
  const HKEY profile = key.Handle();
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Handle(), profile);
  int value = 0;
  ASSERT_EQ(registry_.ReadDwordValue("Verify File", value, nullptr, 2, 0), 1);
  EXPECT_EQ(value, 1);
}

// ---- two processes on one store ----

std::string SelfProgram() { return (testsupport::BuildDir() / "bin" / "common_tests").string(); }

// Runs this test program as a child in the given role (the environment, and
// so the private store, is inherited); returns its exit status.
int RunChild(const std::string& role) {
  const std::string command = "QELM_REGISTRY_CHILD=" + role + " '" + SelfProgram() +
                              "' --gtest_filter=ChildProcessOfTwoProcessTests.SkippedUnlessStartedByThem >/dev/null 2>&1";
  return std::system(command.c_str());
}

const std::vector<const wchar_t*> kShortList = {L"A;;1"};
const std::vector<const wchar_t*> kLongList = {L"Банк;;1765400000", L"Филиал;;1765400001",
                                               L"Склад;;1765400002"};

// Not a test of its own: the child side of the two-process tests, started by
// them with QELM_REGISTRY_CHILD set.
TEST(ChildProcessOfTwoProcessTests, SkippedUnlessStartedByThem) {
  const char* role = std::getenv("QELM_REGISTRY_CHILD");
  if (role == nullptr) GTEST_SKIP() << "runs only as the child of the two-process tests";
  RegistryValues registry;
  ASSERT_EQ(registry.Key().Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  if (std::string(role) == "reader") {
    int number = 0;
    CString text;
    std::vector<CString> list;
    ASSERT_EQ(registry.ReadDwordValue("Log filesize", number, nullptr, 2, 4000), 1);
    ASSERT_EQ(registry.ReadStringValue("LogPath", text, nullptr, 2, ""), 1);
    ASSERT_EQ(registry.ReadStringList("ExtExt", list, nullptr), 1);
    EXPECT_EQ(number, 1234);
    EXPECT_EQ(text, CString(L"/журналы"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1], CString(L"sig"));
  } else if (std::string(role) == "writer") {
    ASSERT_EQ(registry.WriteDwordValue("Verify File", 77, nullptr, 2), 1);
    ASSERT_EQ(registry.WriteStringValue("Descryption", "из другого процесса", nullptr, 2), 1);
  } else if (std::string(role) == "rewriter") {
    for (int i = 0; i < 400; ++i) {
      CStringArray array;
      for (const wchar_t* s : (i % 2 == 0 ? kLongList : kShortList)) array.Add(s);
      ASSERT_EQ(registry.WriteStringArray(array, "LastCrlUpdate", nullptr), 1);
    }
  }
  registry.Key().Close();
}

TEST_F(RegistryValuesTest, AnotherProcessReadsWhatThisOneWroteAndTheOtherWayRound) {
  ASSERT_EQ(registry_.WriteDwordValue("Log filesize", 1234, nullptr, 2), 1);
  ASSERT_EQ(registry_.WriteStringValue("LogPath", "/журналы", nullptr, 2), 1);
  CStringArray ext;
  ext.Add(L"enc");
  ext.Add(L"sig");
  ASSERT_EQ(registry_.WriteStringArray(ext, "ExtExt", nullptr), 1);
  EXPECT_EQ(RunChild("reader"), 0);

  ASSERT_EQ(RunChild("writer"), 0);
  int number = 0;
  CString text;
  ASSERT_EQ(registry_.ReadDwordValue("Verify File", number, nullptr, 2, 0), 1);
  ASSERT_EQ(registry_.ReadStringValue("Descryption", text, nullptr, 2, ""), 1);
  EXPECT_EQ(number, 77);
  EXPECT_EQ(text, CString(L"из другого процесса"));
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(RegistryValuesTest, ListReadsStayWholeWhileAnotherProcessRewritesTheList) {
  CStringArray initial;
  for (const wchar_t* s : kShortList) initial.Add(s);
  ASSERT_EQ(registry_.WriteStringArray(initial, "LastCrlUpdate", nullptr), 1);

  std::atomic<bool> done{false};
  int childStatus = -1;
  std::thread child([&] {
    childStatus = RunChild("rewriter");
    done = true;
  });
  int reads = 0;
  int badReads = 0;
  while (!done) {
    CStringArray read;
    const bool whole = registry_.ReadStringArray("LastCrlUpdate", read, nullptr) == 1 &&
                       ((read.GetSize() == 1 && read[0] == CString(kShortList[0])) ||
                        (read.GetSize() == 3 && read[2] == CString(kLongList[2])));
    if (!whole) ++badReads;
    ++reads;
  }
  child.join();
  EXPECT_EQ(badReads, 0) << "of " << reads << " reads";
  EXPECT_EQ(childStatus, 0);
  EXPECT_GT(reads, 0);
  EXPECT_TRUE(g_reports.empty());
}

}  // namespace
