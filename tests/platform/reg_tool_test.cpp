// The reg tool, driven as a program: round trips through .reg files, the
// refusal of malformed files, and the query/add/delete commands.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

using platform::WideToUtf16Le;

struct RegRun {
  int exitCode;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs bin/reg with the test's environment; stdin is the given text.
RegRun Reg(const testsupport::TempRoot& root, const std::vector<std::string>& args, const std::string& input = "") {
  std::filesystem::path in = root.WriteFile("reg.in", input);
  std::filesystem::path out = root.path() / "reg.out", err = root.path() / "reg.err";
  std::string command = Quote((testsupport::BuildDir() / "bin/reg").string());
  for (const std::string& a : args) command += " " + Quote(a);
  command += " <" + Quote(in.string()) + " >" + Quote(out.string()) + " 2>" + Quote(err.string());
  int status = std::system(command.c_str());
  return RegRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::ReadFileBytes(out),
             testsupport::ReadFileBytes(err)};
}

struct StoredValue {
  std::wstring key;
  std::wstring name;
  DWORD type;
  std::string data;
  bool operator==(const StoredValue&) const = default;
};

// Every value below a key, keys in enumeration order, through the raw API.
void Collect(HKEY root, const std::wstring& path, std::vector<StoredValue>& all) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << platform::WideToUtf8(path);
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD nameLength = 512, type = 0, size = 0;
    LSTATUS st = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size);
    if (st == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(st, ERROR_SUCCESS);
    std::string data(size, '\0');
    ASSERT_EQ(RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size),
              ERROR_SUCCESS);
    all.push_back({path, std::wstring(name, nameLength), type, data});
  }
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(name, length);
  }
  RegCloseKey(key);
  all.push_back({path, L"<key>", 0, ""});
  for (const std::wstring& child : children) Collect(root, path + L"\\" + child, all);
}

void Put(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const std::string& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string Sz(std::wstring_view text) { return WideToUtf16Le(std::wstring(text) + L'\0'); }

// A tree with every shape the store can hold, including the awkward ones that
// cannot be written as a quoted text.
void FillTree(HKEY root) {
  const std::wstring base = L"SOFTWARE\\TORVAK\\qelmservice";
  Put(root, base, L"SigExt", REG_SZ, Sz(L"p7s"));
  Put(root, base, L"", REG_SZ, Sz(L"значение по умолчанию"));
  Put(root, base, L"Кавычки \"и\" \\слэши", REG_SZ, Sz(L"C:\\Path \"quoted\" ; [x] = @"));
  Put(root, base, L"Empty", REG_SZ, Sz(L""));
  Put(root, base, L"ZeroBytes", REG_SZ, "");
  Put(root, base, L"OddLength", REG_SZ, std::string("a\0b", 3));
  Put(root, base, L"NoNul", REG_SZ, WideToUtf16Le(L"abc"));
  Put(root, base, L"EmbeddedNul", REG_SZ, Sz(L"a") + Sz(L"b"));
  Put(root, base, L"LineBreak", REG_SZ, Sz(L"line1\r\nline2"));
  Put(root, base, L"Surrogate", REG_SZ, std::string("\x00\xD8\x41\x00\x00\x00", 6));
  Put(root, base, L"Emoji", REG_SZ, Sz(L"\U0001F600"));
  Put(root, base, L"Log filesize", REG_DWORD, std::string("\xA0\x0F\x00\x00", 4));
  Put(root, base, L"ShortDword", REG_DWORD, std::string("\x01\x02", 2));
  Put(root, base, L"Q", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  Put(root, base, L"Path", REG_EXPAND_SZ, Sz(L"%ProgramData%\\TORVAK"));
  Put(root, base, L"LastCrlUpdate", REG_MULTI_SZ, Sz(L"Профиль;;1767225600") + Sz(L"b;;1") + Sz(L""));
  Put(root, base, L"Binary", REG_BINARY, std::string(200, '\xAB') + std::string("\0\x01", 2));
  Put(root, base, L"None", REG_NONE, "");
  Put(root, base, L"Custom", 0x4321, "xyz");
  Put(root, base + L"\\Основной\\rules\\Rule 1", L"Path In", REG_SZ, Sz(L"/srv/in"));
  Put(root, base + L"\\Основной\\rules\\Rule 2", L"Enable", REG_DWORD, std::string("\x01\0\0\0", 4));
  Put(root, base + L"\\beta", L"x", REG_SZ, Sz(L"y"));
  HKEY empty = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, (base + L"\\Empty key").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &empty,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(empty);
}

TEST(RegToolTest, ExportThenImportIntoAnEmptyStoreIsByteIdentical) {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    std::string rootName = root == HKEY_LOCAL_MACHINE ? "HKLM" : "HKEY_CURRENT_USER";
    SCOPED_TRACE(rootName);
    std::vector<StoredValue> before, after;
    std::string exported;
    {
      testsupport::TempRoot source;
      FillTree(root);
      Collect(root, L"SOFTWARE\\TORVAK", before);
      RegRun run = Reg(source, {"export", rootName + "\\SOFTWARE\\TORVAK", (source.path() / "x.reg").string()});
      ASSERT_EQ(run.exitCode, 0) << run.err;
      exported = testsupport::ReadFileBytes(source.path() / "x.reg");
    }
    ASSERT_GE(exported.size(), 2u);
    EXPECT_EQ(exported.substr(0, 2), "\xFF\xFE");
    std::wstring text = platform::Utf16LeToWide(exported.substr(2));
    EXPECT_EQ(text.rfind(L"Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    EXPECT_NE(text.find(L"\"SigExt\"=\"p7s\"\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\"Log filesize\"=dword:00000fa0\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"@=\"значение по умолчанию\"\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\"Кавычки \\\"и\\\" \\\\слэши\"=\"C:\\\\Path \\\"quoted\\\" ; [x] = @\""), std::wstring::npos);
    EXPECT_NE(text.find(L"\"Path\"=hex(2):"), std::wstring::npos);
    EXPECT_NE(text.find(L"\"LastCrlUpdate\"=hex(7):"), std::wstring::npos);
    EXPECT_NE(text.find(L",\\\r\n  "), std::wstring::npos);  // long hex lists go on over lines

    testsupport::TempRoot target;
    std::filesystem::path file = target.WriteFile("in.reg", exported);
    RegRun run = Reg(target, {"import", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Collect(root, L"SOFTWARE\\TORVAK", after);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      SCOPED_TRACE(platform::WideToUtf8(before[i].key + L" : " + before[i].name));
      EXPECT_EQ(after[i], before[i]);
    }
  }
}

TEST(RegToolTest, ImportReadsUtf8FilesAndAppliesDeletions) {
  testsupport::TempRoot root;
  Put(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\Old", L"v", REG_SZ, Sz(L"1"));
  Put(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A", L"gone", REG_SZ, Sz(L"1"));
  std::string file =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "\n"
      "; a comment\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Old]\n"
      "[HKLM\\SOFTWARE\\A]\n"
      "\"gone\"=-\n"
      "\"Имя\" = \"Текст\"\n"
      "\"list\"=hex(7):61,00,00,00,\\\n"
      "    00,00\n"
      "\"n\"=dword:0000002A\n";
  RegRun run = Reg(root, {"import", root.WriteFile("u.reg", file).string()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::vector<StoredValue> values;
  Collect(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A", values);
  std::vector<StoredValue> expected = {
      {L"SOFTWARE\\A", L"Имя", REG_SZ, Sz(L"Текст")},
      {L"SOFTWARE\\A", L"list", REG_MULTI_SZ, Sz(L"a") + Sz(L"")},
      {L"SOFTWARE\\A", L"n", REG_DWORD, std::string("\x2A\0\0\0", 4)},
      {L"SOFTWARE\\A", L"<key>", 0, ""},
  };
  EXPECT_EQ(values, expected);
}

// A file with a fault anywhere is refused whole: nothing before the faulty
// line is written either.
TEST(RegToolTest, MalformedFilesChangeNothingAndExitOne) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\SOFTWARE\\New]\r\n\"first\"=\"1\"\r\n";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"no header", "[HKLM\\SOFTWARE\\New]\r\n\"first\"=\"1\"\r\n"},
      {"unknown root", header + "[HKEY_CLASSES_ROOT\\x]\r\n"},
      {"bad dword", header + "\"n\"=dword:123456789\r\n"},
      {"bad hex", header + "\"b\"=hex:0g\r\n"},
      {"unterminated text", header + "\"s\"=\"abc\r\n"},
      {"unknown form", header + "\"s\"=text\r\n"},
      {"unclosed key", header + "[HKLM\\SOFTWARE\\Other\r\n"},
      {"value before any key", "Windows Registry Editor Version 5.00\r\n\"v\"=\"1\"\r\n"},
      {"broken utf-8", header + "\"s\"=\"\xC3\x28\"\r\n"},
      {"empty key name", header + "[HKLM\\SOFTWARE\\\\x]\r\n"},
      {"removing a root", header + "[-HKEY_LOCAL_MACHINE]\r\n"},
  };
  for (const auto& [what, content] : cases) {
    SCOPED_TRACE(what);
    testsupport::TempRoot root;
    Put(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kept", L"v", REG_SZ, Sz(L"1"));
    std::vector<StoredValue> before, after;
    Collect(HKEY_LOCAL_MACHINE, L"SOFTWARE", before);
    RegRun run = Reg(root, {"import", root.WriteFile("bad.reg", content).string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("ОШИБКА"), std::string::npos);
    Collect(HKEY_LOCAL_MACHINE, L"SOFTWARE", after);
    EXPECT_EQ(after, before);
  }
}

TEST(RegToolTest, AddQueryAndDelete) {
  testsupport::TempRoot root;
  struct AddCase {
    std::vector<std::string> args;
    DWORD type;
    std::string bytes;
  };
  const std::string key = "HKLM\\SOFTWARE\\TORVAK\\qelmservice";
  const std::vector<AddCase> adds = {
      {{"/v", "SigExt", "/d", "p7s"}, REG_SZ, Sz(L"p7s")},
      {{"/ve", "/d", "Основной"}, REG_SZ, Sz(L"Основной")},
      {{"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%"}, REG_EXPAND_SZ, Sz(L"%TEMP%")},
      {{"/v", "Log filesize", "/t", "REG_DWORD", "/d", "4000"}, REG_DWORD, std::string("\xA0\x0F\0\0", 4)},
      {{"/v", "Hex", "/t", "reg_dword", "/d", "0xFFFFFFFF"}, REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)},
      {{"/v", "Q", "/t", "REG_QWORD", "/d", "0x0102030405060708"}, REG_QWORD,
       std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
      {{"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0bc"}, REG_MULTI_SZ, Sz(L"a") + Sz(L"bc") + Sz(L"")},
      {{"/v", "List2", "/t", "REG_MULTI_SZ", "/d", "a;b", "/s", ";"}, REG_MULTI_SZ, Sz(L"a") + Sz(L"b") + Sz(L"")},
      {{"/v", "EmptyList", "/t", "REG_MULTI_SZ", "/d", ""}, REG_MULTI_SZ, Sz(L"")},
      {{"/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}, REG_BINARY, std::string("\x00\xFF\x10", 3)},
      {{"/v", "None", "/t", "REG_NONE"}, REG_NONE, ""},
  };
  for (const AddCase& c : adds) {
    std::vector<std::string> args = {"add", key};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RegRun run = Reg(root, args);
    ASSERT_EQ(run.exitCode, 0) << c.args[1] << ": " << run.err;
  }
  std::vector<StoredValue> values;
  Collect(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice", values);
  ASSERT_EQ(values.size(), adds.size() + 1);
  for (std::size_t i = 0; i < adds.size(); ++i) {
    SCOPED_TRACE(adds[i].args[1]);
    EXPECT_EQ(values[i].type, adds[i].type);
    EXPECT_EQ(values[i].data, adds[i].bytes);
  }

  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"/v", "x", "/t", "REG_WEIRD", "/d", "1"},
           {"/v", "x", "/t", "REG_DWORD", "/d", "4294967296"},
           {"/v", "x", "/t", "REG_DWORD", "/d", "12abc"},
           {"/v", "x", "/t", "REG_BINARY", "/d", "123"},
       }) {
    std::vector<std::string> args = {"add", key};
    args.insert(args.end(), bad.begin(), bad.end());
    RegRun run = Reg(root, args);
    EXPECT_EQ(run.exitCode, 1) << bad[3];
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_EQ(Reg(root, {"add", "HKCR\\x", "/v", "x"}).exitCode, 1);

  // Overwriting asks first; no answer means no.
  EXPECT_EQ(Reg(root, {"add", key, "/v", "SigExt", "/d", "sig"}).exitCode, 1);
  EXPECT_EQ(Reg(root, {"add", key, "/v", "SigExt", "/d", "sig"}, "yes\n").exitCode, 0);

  RegRun query = Reg(root, {"query", key, "/v", "sigext"});
  ASSERT_EQ(query.exitCode, 0) << query.err;
  EXPECT_NE(query.out.find("SigExt    REG_SZ    sig"), std::string::npos) << query.out;
  query = Reg(root, {"query", "HKEY_LOCAL_MACHINE\\SOFTWARE", "/s"});
  ASSERT_EQ(query.exitCode, 0);
  EXPECT_NE(query.out.find("Log filesize    REG_DWORD    0xfa0"), std::string::npos) << query.out;
  EXPECT_NE(query.out.find("List    REG_MULTI_SZ    a\\0bc"), std::string::npos);
  EXPECT_EQ(Reg(root, {"query", key, "/v", "Absent"}).exitCode, 1);
  EXPECT_EQ(Reg(root, {"query", "HKLM\\SOFTWARE\\Absent"}).exitCode, 1);

  EXPECT_EQ(Reg(root, {"delete", key, "/v", "SigExt", "/f"}).exitCode, 0);
  EXPECT_EQ(Reg(root, {"delete", key, "/v", "SigExt", "/f"}).exitCode, 1);
  EXPECT_EQ(Reg(root, {"delete", key, "/ve", "/f"}).exitCode, 0);
  EXPECT_EQ(Reg(root, {"delete", key, "/va"}, "n\n").exitCode, 1);  // declined
  EXPECT_EQ(Reg(root, {"delete", key, "/va", "/f"}).exitCode, 0);
  values.clear();
  Collect(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice", values);
  EXPECT_EQ(values.size(), 1u);  // the key alone
  EXPECT_EQ(Reg(root, {"delete", "HKLM\\SOFTWARE\\TORVAK", "/f"}).exitCode, 0);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Reg(root, {"delete", "HKLM", "/f"}).exitCode, 1);
}

TEST(RegToolTest, ExportRefusesToReplaceAFileUnlessAskedTo) {
  testsupport::TempRoot root;
  Put(HKEY_CURRENT_USER, L"SOFTWARE\\X", L"v", REG_SZ, Sz(L"1"));
  std::filesystem::path file = root.WriteFile("x.reg", "keep");
  EXPECT_EQ(Reg(root, {"export", "HKCU\\SOFTWARE\\X", file.string()}).exitCode, 1);
  EXPECT_EQ(testsupport::ReadFileBytes(file), "keep");
  EXPECT_EQ(Reg(root, {"export", "HKCU\\SOFTWARE\\X", file.string(), "/y"}).exitCode, 0);
  EXPECT_NE(testsupport::ReadFileBytes(file), "keep");
  EXPECT_EQ(Reg(root, {"export", "HKCU\\SOFTWARE\\Missing", (root.path() / "m.reg").string()}).exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(root.path() / "m.reg"));
}

}  // namespace
