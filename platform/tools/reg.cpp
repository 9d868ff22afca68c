// reg: queries, adds, deletes, exports and imports values of the registry
// store from the command line, in the manner of the Windows tool.
//
//   reg query  KEY [/v NAME | /ve] [/s]
//   reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/f]
//   reg delete KEY [/v NAME | /ve | /va] [/f]
//   reg export KEY FILE [/y]
//   reg import FILE
//
// Arguments are UTF-8; output is UTF-8. Exit status 0 on success, 1 on any
// failure with a message on standard error. Without /f (add over an existing
// value, delete) or /y (export over an existing file) the tool asks on
// standard input and gives up unless the answer is yes. Import reads the
// whole file first and writes nothing when any line is malformed.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "platform/tools/reg_file.h"
#include "platform/utf16.h"

namespace {

using regtool::KeyPath;
using regtool::RegSection;
using regtool::RegValue;

struct Failure {
  std::wstring message;
};

void Print(std::wstring_view text) { std::cout << platform::WideToUtf8(text); }

std::wstring CodeText(LSTATUS code) {
  std::wstring text = L"код " + std::to_wstring(code);
  LPWSTR description = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPWSTR>(&description), 0, nullptr);
  if (length > 0 && description != nullptr) {
    std::wstring d(description, length);
    while (!d.empty() && (d.back() == L'\n' || d.back() == L'\r' || d.back() == L'.')) d.pop_back();
    text += L": " + d;
  }
  LocalFree(description);
  return text;
}

[[noreturn]] void Fail(std::wstring message) { throw Failure{std::move(message)}; }

void Check(LSTATUS code, const std::wstring& what) {
  if (code != ERROR_SUCCESS) Fail(what + L" (" + CodeText(code) + L")");
}

// RAII for a key handle.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

// --- command line -------------------------------------------------------------

struct Options {
  std::vector<std::wstring> positional;
  std::map<std::wstring, std::optional<std::wstring>> switches;  // "/v" → "name"

  bool Has(const std::wstring& name) const { return switches.count(name) != 0; }
  std::optional<std::wstring> Get(const std::wstring& name) const {
    auto it = switches.find(name);
    return it == switches.end() ? std::nullopt : it->second;
  }
};

Options ParseOptions(const std::vector<std::wstring>& args, const std::vector<std::wstring>& withValue,
                     const std::vector<std::wstring>& flags) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    if (a.size() >= 2 && (a[0] == L'/' || a[0] == L'-')) {
      std::wstring name = L"/" + platform::UpcaseText(a.substr(1));
      bool takes = false, known = false;
      for (const std::wstring& w : withValue) takes = takes || platform::UpcaseText(w) == name;
      for (const std::wstring& f : flags) known = known || platform::UpcaseText(f) == name;
      if (!takes && !known) {
        // Not a switch of this command: an absolute path such as /tmp/x.reg.
        o.positional.push_back(a);
        continue;
      }
      if (o.Has(name)) Fail(L"ключ " + a + L" указан дважды");
      if (takes) {
        if (i + 1 >= args.size()) Fail(L"после ключа " + a + L" нужно значение");
        o.switches[name] = args[++i];
      } else {
        o.switches[name] = std::nullopt;
      }
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

KeyPath ParseKeyOrFail(const std::wstring& text) {
  KeyPath path;
  if (!regtool::ParseKeyPath(text, path))
    Fail(L"неверный раздел реестра \"" + text + L"\" (допустимы HKLM, HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER)");
  return path;
}

// The key named first on a command line of `count` positional arguments.
KeyPath KeyArgument(const Options& o, std::size_t count) {
  if (o.positional.size() != count) Fail(L"неверное число аргументов");
  return ParseKeyOrFail(o.positional[0]);
}

// The value a command names: /v NAME, /ve (the default value) or none.
std::optional<std::wstring> ValueArgument(const Options& o) {
  if (o.Has(L"/V") && o.Has(L"/VE")) Fail(L"ключи /v и /ve несовместимы");
  if (o.Has(L"/V")) return o.Get(L"/V").value();
  if (o.Has(L"/VE")) return std::wstring();
  return std::nullopt;
}

bool Confirm(const std::wstring& question) {
  std::cerr << platform::WideToUtf8(question) << " (Yes/No) " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << "\n";
    return false;
  }
  std::wstring a = platform::UpcaseText(platform::Utf8ToWide(answer));
  return a == L"Y" || a == L"YES" || a == L"Д" || a == L"ДА";
}

// --- reading the store ----------------------------------------------------------

std::vector<RegValue> ReadValues(HKEY key) {
  std::vector<RegValue> values;
  for (DWORD i = 0;; ++i) {
    std::vector<wchar_t> name(16384);
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0, size = 0;
    LSTATUS st = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, nullptr, &size);
    if (st == ERROR_NO_MORE_ITEMS) break;
    Check(st, L"не удалось перечислить параметры");
    RegValue v;
    v.name.assign(name.data(), nameLength);
    v.type = type;
    v.data.resize(size);
    st = RegQueryValueExW(key, v.name.c_str(), nullptr, &v.type, reinterpret_cast<BYTE*>(v.data.data()), &size);
    Check(st, L"не удалось прочитать параметр \"" + v.name + L"\"");
    v.data.resize(size);
    values.push_back(std::move(v));
  }
  return values;
}

std::vector<std::wstring> ReadSubkeys(HKEY key) {
  std::vector<std::wstring> names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    LSTATUS st = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_NO_MORE_ITEMS) break;
    Check(st, L"не удалось перечислить подразделы");
    names.emplace_back(name, length);
  }
  return names;
}

void OpenExisting(const KeyPath& path, Key& key, REGSAM access = KEY_READ) {
  LSTATUS st = RegOpenKeyExW(path.root, path.subKey.empty() ? nullptr : path.subKey.c_str(), 0, access, key.out());
  if (st == ERROR_FILE_NOT_FOUND) Fail(L"раздел реестра \"" + path.Full() + L"\" не найден");
  Check(st, L"не удалось открыть раздел \"" + path.Full() + L"\"");
}

void CollectTree(const KeyPath& path, std::vector<RegSection>& sections) {
  Key key;
  OpenExisting(path, key);
  RegSection section;
  section.key = path.Full();
  section.values = ReadValues(key.get());
  sections.push_back(std::move(section));
  for (const std::wstring& name : ReadSubkeys(key.get())) {
    KeyPath child = path;
    child.subKey = path.subKey.empty() ? name : path.subKey + L"\\" + name;
    CollectTree(child, sections);
  }
}

// --- query -------------------------------------------------------------------------

const wchar_t* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return L"REG_NONE";
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_QWORD: return L"REG_QWORD";
    default: return nullptr;
  }
}

std::wstring ShowData(const RegValue& v) {
  auto number = [&](std::size_t bytes) {
    unsigned long long n = 0;
    for (std::size_t i = bytes; i-- > 0;) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    wchar_t buf[24];
    swprintf(buf, 24, L"0x%llx", n);
    return std::wstring(buf);
  };
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && v.data.size() % 2 == 0) {
    std::wstring text = platform::Utf16LeToWide(v.data);
    return text.substr(0, text.find(L'\0'));
  }
  if (v.type == REG_MULTI_SZ && v.data.size() % 2 == 0) {
    std::wstring text = platform::Utf16LeToWide(v.data);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    std::wstring out;
    for (wchar_t c : text) out += c == L'\0' ? std::wstring(L"\\0") : std::wstring(1, c);
    return out;
  }
  if (v.type == REG_DWORD && v.data.size() == 4) return number(4);
  if (v.type == REG_QWORD && v.data.size() == 8) return number(8);
  std::wstring hex;
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  for (char ch : v.data) {
    unsigned char b = static_cast<unsigned char>(ch);
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

void PrintValue(const RegValue& v) {
  const wchar_t* type = TypeName(v.type);
  std::wstring typeText = type ? type : L"REG_0x" + std::to_wstring(v.type);
  Print(L"    " + (v.name.empty() ? std::wstring(L"(По умолчанию)") : v.name) + L"    " + typeText + L"    " +
        ShowData(v) + L"\n");
}

void PrintKey(const KeyPath& path, bool recurse) {
  Key key;
  OpenExisting(path, key);
  Print(path.Full() + L"\n");
  for (const RegValue& v : ReadValues(key.get())) PrintValue(v);
  Print(L"\n");
  for (const std::wstring& name : ReadSubkeys(key.get())) {
    KeyPath child = path;
    child.subKey = path.subKey.empty() ? name : path.subKey + L"\\" + name;
    if (recurse)
      PrintKey(child, true);
    else
      Print(child.Full() + L"\n");
  }
}

void Query(const std::vector<std::wstring>& args) {
  Options o = ParseOptions(args, {L"/v"}, {L"/ve", L"/s"});
  KeyPath path = KeyArgument(o, 1);
  std::optional<std::wstring> name = ValueArgument(o);
  Print(L"\n");
  if (!name) {
    PrintKey(path, o.Has(L"/S"));
    return;
  }
  Key key;
  OpenExisting(path, key);
  for (const RegValue& v : ReadValues(key.get())) {
    if (platform::UpcaseText(v.name) == platform::UpcaseText(*name)) {
      Print(path.Full() + L"\n");
      PrintValue(v);
      Print(L"\n");
      return;
    }
  }
  Fail(L"параметр \"" + (name->empty() ? std::wstring(L"(По умолчанию)") : *name) + L"\" в разделе \"" +
       path.Full() + L"\" не найден");
}

// --- add ------------------------------------------------------------------------------

std::optional<DWORD> TypeByName(const std::wstring& name) {
  std::wstring n = platform::UpcaseText(name);
  for (DWORD t : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD})
    if (n == TypeName(t)) return t;
  return std::nullopt;
}

std::string NumberBytes(const std::wstring& text, int bytes) {
  if (text.empty()) return std::string(static_cast<std::size_t>(bytes), '\0');
  std::string utf8 = platform::WideToUtf8(text);
  bool hex = utf8.size() > 2 && utf8[0] == '0' && (utf8[1] == 'x' || utf8[1] == 'X');
  std::string digits = hex ? utf8.substr(2) : utf8;
  unsigned long long n = 0;
  unsigned long long limit = bytes == 4 ? 0xFFFFFFFFull : ~0ull;
  if (digits.empty()) Fail(L"неверное число \"" + text + L"\"");
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    unsigned base = hex ? 16 : 10;
    if (d < 0 || n > (limit - static_cast<unsigned>(d)) / base) Fail(L"неверное число \"" + text + L"\"");
    n = n * base + static_cast<unsigned>(d);
  }
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  return out;
}

std::string HexBytes(const std::wstring& text) {
  if (text.size() % 2 != 0) Fail(L"двоичные данные должны состоять из пар шестнадцатеричных цифр");
  std::string out;
  auto digit = [&](wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    Fail(L"неверные двоичные данные \"" + text + L"\"");
  };
  for (std::size_t i = 0; i < text.size(); i += 2) out += static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1]));
  return out;
}

std::string DataBytes(DWORD type, const std::wstring& data, const std::wstring& separator) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return platform::WideToUtf16Le(data + L'\0');
    case REG_DWORD: return NumberBytes(data, 4);
    case REG_QWORD: return NumberBytes(data, 8);
    case REG_MULTI_SZ: {
      if (separator.empty()) Fail(L"пустой разделитель");
      std::wstring list;
      if (!data.empty()) {
        for (std::size_t start = 0;;) {
          std::size_t cut = data.find(separator, start);
          list += data.substr(start, cut == std::wstring::npos ? std::wstring::npos : cut - start);
          list += L'\0';
          if (cut == std::wstring::npos) break;
          start = cut + separator.size();
        }
      }
      list += L'\0';
      return platform::WideToUtf16Le(list);
    }
    default: return HexBytes(data);  // REG_BINARY, REG_NONE
  }
}

void Add(const std::vector<std::wstring>& args) {
  Options o = ParseOptions(args, {L"/v", L"/t", L"/d", L"/s"}, {L"/ve", L"/f"});
  KeyPath path = KeyArgument(o, 1);
  std::optional<std::wstring> name = ValueArgument(o);
  DWORD type = REG_SZ;
  if (o.Has(L"/T")) {
    std::optional<DWORD> t = TypeByName(*o.Get(L"/T"));
    if (!t) Fail(L"неизвестный тип \"" + *o.Get(L"/T") + L"\"");
    type = *t;
  }
  if (o.Has(L"/S") && type != REG_MULTI_SZ) Fail(L"ключ /s допустим только для REG_MULTI_SZ");
  std::string bytes = DataBytes(type, o.Get(L"/D").value_or(L""), o.Get(L"/S").value_or(L"\\0"));

  Key key;
  Check(RegCreateKeyExW(path.root, path.subKey.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.out(),
                        nullptr),
        L"не удалось создать раздел \"" + path.Full() + L"\"");
  if (!name) return;
  DWORD existing = 0;
  if (!o.Has(L"/F") &&
      RegQueryValueExW(key.get(), name->c_str(), nullptr, nullptr, nullptr, &existing) == ERROR_SUCCESS &&
      !Confirm(L"Параметр \"" + *name + L"\" уже существует. Заменить?"))
    Fail(L"операция отменена");
  Check(RegSetValueExW(key.get(), name->c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size())),
        L"не удалось записать параметр \"" + *name + L"\"");
}

// --- delete ----------------------------------------------------------------------------

void Delete(const std::vector<std::wstring>& args) {
  Options o = ParseOptions(args, {L"/v"}, {L"/ve", L"/va", L"/f"});
  KeyPath path = KeyArgument(o, 1);
  std::optional<std::wstring> name = ValueArgument(o);
  if (name && o.Has(L"/VA")) Fail(L"ключ /va несовместим с /v и /ve");
  if (!name && !o.Has(L"/VA") && path.subKey.empty()) Fail(L"корневой раздел удалить нельзя");
  Key key;
  OpenExisting(path, key, KEY_READ | KEY_WRITE);
  std::wstring what = name ? L"параметр \"" + *name + L"\"" :
                      o.Has(L"/VA") ? L"все параметры раздела \"" + path.Full() + L"\"" :
                                      L"раздел \"" + path.Full() + L"\"";
  if (!o.Has(L"/F") && !Confirm(L"Удалить " + what + L"?")) Fail(L"операция отменена");
  if (name) {
    LSTATUS st = RegDeleteValueW(key.get(), name->c_str());
    if (st == ERROR_FILE_NOT_FOUND) Fail(what + L" не найден");
    Check(st, L"не удалось удалить " + what);
  } else if (o.Has(L"/VA")) {
    for (const RegValue& v : ReadValues(key.get()))
      Check(RegDeleteValueW(key.get(), v.name.c_str()), L"не удалось удалить параметр \"" + v.name + L"\"");
  } else {
    Check(RegDeleteTreeW(path.root, path.subKey.c_str()), L"не удалось удалить " + what);
  }
}

// --- export / import ---------------------------------------------------------------------

bool FileExists(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return in.good();
}

void Export(const std::vector<std::wstring>& args) {
  Options o = ParseOptions(args, {}, {L"/y"});
  KeyPath path = KeyArgument(o, 2);
  std::vector<RegSection> sections;
  CollectTree(path, sections);
  std::string file = platform::WideToUtf8(o.positional[1]);
  if (!o.Has(L"/Y") && FileExists(file) && !Confirm(L"Файл \"" + o.positional[1] + L"\" существует. Заменить?"))
    Fail(L"операция отменена");
  std::string bytes = regtool::EncodeRegFile(regtool::FormatRegFile(sections));
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) Fail(L"не удалось записать файл \"" + o.positional[1] + L"\"");
}

void ApplySection(const RegSection& section) {
  KeyPath path;
  regtool::ParseKeyPath(section.key, path);  // checked by the parser
  if (section.remove) {
    LSTATUS st = RegDeleteTreeW(path.root, path.subKey.c_str());  // never a root: the parser refuses it
    if (st != ERROR_FILE_NOT_FOUND) Check(st, L"не удалось удалить раздел \"" + section.key + L"\"");
    return;
  }
  Key key;
  Check(RegCreateKeyExW(path.root, path.subKey.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.out(),
                        nullptr),
        L"не удалось создать раздел \"" + section.key + L"\"");
  for (const RegValue& v : section.values) {
    if (v.remove) {
      LSTATUS st = RegDeleteValueW(key.get(), v.name.c_str());
      if (st != ERROR_FILE_NOT_FOUND) Check(st, L"не удалось удалить параметр \"" + v.name + L"\"");
      continue;
    }
    Check(RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(v.data.data()),
                         static_cast<DWORD>(v.data.size())),
          L"не удалось записать параметр \"" + v.name + L"\"");
  }
}

void Import(const std::vector<std::wstring>& args) {
  Options o = ParseOptions(args, {}, {});
  if (o.positional.size() != 1) Fail(L"неверное число аргументов");
  std::string file = platform::WideToUtf8(o.positional[0]);
  std::ifstream in(file, std::ios::binary);
  if (!in) Fail(L"не удалось открыть файл \"" + o.positional[0] + L"\"");
  std::ostringstream content;
  content << in.rdbuf();
  std::wstring text;
  if (!regtool::DecodeRegFile(content.str(), text)) Fail(L"файл \"" + o.positional[0] + L"\": неверная кодировка");
  std::vector<RegSection> sections;
  std::wstring error;
  if (!regtool::ParseRegFile(text, sections, error)) Fail(L"файл \"" + o.positional[0] + L"\", " + error);
  for (const RegSection& section : sections) ApplySection(section);
}

void Usage() {
  std::cerr << "Использование:\n"
               "  reg query  KEY [/v NAME | /ve] [/s]\n"
               "  reg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_MULTI_SZ|REG_DWORD|REG_QWORD|"
               "REG_BINARY|REG_NONE] [/d DATA] [/s SEP] [/f]\n"
               "  reg delete KEY [/v NAME | /ve | /va] [/f]\n"
               "  reg export KEY FILE [/y]\n"
               "  reg import FILE\n"
               "KEY: HKLM|HKEY_LOCAL_MACHINE|HKCU|HKEY_CURRENT_USER[\\path]\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 1;
  }
  std::wstring command = platform::UpcaseText(platform::Utf8ToWide(argv[1]));
  std::vector<std::wstring> args;
  for (int i = 2; i < argc; ++i) args.push_back(platform::Utf8ToWide(argv[i]));
  try {
    if (command == L"QUERY")
      Query(args);
    else if (command == L"ADD")
      Add(args);
    else if (command == L"DELETE")
      Delete(args);
    else if (command == L"EXPORT")
      Export(args);
    else if (command == L"IMPORT")
      Import(args);
    else {
      Usage();
      return 1;
    }
  } catch (const Failure& f) {
    std::cout.flush();
    std::cerr << "ОШИБКА: " << platform::WideToUtf8(f.message) << "\n";
    return 1;
  }
  std::cout.flush();
  if (command != L"QUERY") std::cout << "Операция успешно завершена.\n";
  return 0;
}
