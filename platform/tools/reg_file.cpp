#include "platform/tools/reg_file.h"

#include <cwctype>

#include "platform/utf16.h"

namespace regtool {
namespace {

constexpr std::wstring_view kHeader = L"Windows Registry Editor Version 5.00";
constexpr std::size_t kLineWidth = 76;  // where the registry editor wraps hex lists

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  return platform::UpcaseText(a) == platform::UpcaseText(b);
}

std::wstring EscapeQuoted(std::wstring_view text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

std::wstring ValueNamePart(const RegValue& v) { return v.name.empty() ? L"@" : EscapeQuoted(v.name); }

// TRUE when the quoted form reads back as exactly these bytes.
bool FitsQuotedForm(const RegValue& v, std::wstring& text) {
  if (v.type != REG_SZ || v.data.size() < 2 || !platform::IsWellFormedUtf16Le(v.data)) return false;
  std::wstring wide = platform::Utf16LeToWide(v.data);
  if (wide.back() != L'\0') return false;
  wide.pop_back();
  for (wchar_t c : wide)
    if (c == L'\0' || c == L'\r' || c == L'\n') return false;
  text = std::move(wide);
  return true;
}

void AppendHexList(std::wstring& out, std::wstring_view prefix, const std::string& data) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  out += prefix;
  std::size_t lineLength = prefix.size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
    lineLength += 2;
    if (i + 1 < data.size()) {
      out += L',';
      ++lineLength;
      if (lineLength >= kLineWidth) {
        out += L"\\\r\n  ";
        lineLength = 2;
      }
    }
  }
}

std::wstring FormatValue(const RegValue& v) {
  std::wstring line = ValueNamePart(v) + L"=";
  std::wstring text;
  if (FitsQuotedForm(v, text)) return line + EscapeQuoted(text);
  if (v.type == REG_DWORD && v.data.size() == 4) {
    DWORD n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
    wchar_t buf[16];
    swprintf(buf, 16, L"dword:%08x", n);
    return line + buf;
  }
  wchar_t prefix[24];
  if (v.type == REG_BINARY)
    swprintf(prefix, 24, L"hex:");
  else
    swprintf(prefix, 24, L"hex(%x):", v.type);
  std::wstring out;
  AppendHexList(out, line + prefix, v.data);
  return out;
}

// --- parsing ----------------------------------------------------------------

struct Cursor {
  std::wstring_view s;
  std::size_t i = 0;
  bool AtEnd() const { return i >= s.size(); }
  wchar_t Peek() const { return AtEnd() ? L'\0' : s[i]; }
  void SkipBlanks() {
    while (!AtEnd() && (s[i] == L' ' || s[i] == L'\t')) ++i;
  }
  bool Take(std::wstring_view word) {
    if (s.substr(i, word.size()) == word) {
      i += word.size();
      return true;
    }
    return false;
  }
};

// A quoted text with \\ and \" escapes; the cursor stands on the opening quote.
bool ParseQuoted(Cursor& c, std::wstring& out) {
  if (!c.Take(L"\"")) return false;
  out.clear();
  while (!c.AtEnd()) {
    wchar_t ch = c.s[c.i++];
    if (ch == L'"') return true;
    if (ch == L'\\' && !c.AtEnd() && (c.Peek() == L'\\' || c.Peek() == L'"')) ch = c.s[c.i++];
    out += ch;
  }
  return false;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ParseHexList(Cursor& c, std::string& out) {
  out.clear();
  c.SkipBlanks();
  if (c.AtEnd()) return true;
  while (true) {
    c.SkipBlanks();
    int hi = HexDigit(c.Peek());
    if (hi < 0) return false;
    ++c.i;
    int lo = HexDigit(c.Peek());
    int byte = hi;
    if (lo >= 0) {
      ++c.i;
      byte = hi * 16 + lo;
    }
    out += static_cast<char>(byte);
    c.SkipBlanks();
    if (c.AtEnd()) return true;
    if (!c.Take(L",")) return false;
  }
}

bool ParseHexNumber(std::wstring_view digits, std::uint64_t limit, std::uint64_t& value) {
  if (digits.empty() || digits.size() > 16) return false;
  value = 0;
  for (wchar_t ch : digits) {
    int d = HexDigit(ch);
    if (d < 0) return false;
    value = value * 16 + static_cast<std::uint64_t>(d);
  }
  return value <= limit;
}

bool ParseValueData(Cursor& c, RegValue& v) {
  c.SkipBlanks();
  if (c.Take(L"-")) {
    v.remove = true;
  } else if (c.Peek() == L'"') {
    std::wstring text;
    if (!ParseQuoted(c, text)) return false;
    v.type = REG_SZ;
    v.data = platform::WideToUtf16Le(text + L'\0');
  } else if (c.Take(L"dword:")) {
    std::wstring_view rest = c.s.substr(c.i);
    while (!rest.empty() && (rest.back() == L' ' || rest.back() == L'\t')) rest.remove_suffix(1);
    std::uint64_t n = 0;
    if (rest.size() > 8 || !ParseHexNumber(rest, 0xFFFFFFFFu, n)) return false;
    v.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) v.data += static_cast<char>((n >> (8 * i)) & 0xFF);
    c.i = c.s.size();
  } else if (c.Take(L"hex:")) {
    v.type = REG_BINARY;
    if (!ParseHexList(c, v.data)) return false;
  } else if (c.Take(L"hex(")) {
    std::size_t close = c.s.find(L')', c.i);
    if (close == std::wstring_view::npos) return false;
    std::uint64_t type = 0;
    if (!ParseHexNumber(c.s.substr(c.i, close - c.i), 0xFFFFFFFFu, type)) return false;
    v.type = static_cast<DWORD>(type);
    c.i = close + 1;
    if (!c.Take(L":") || !ParseHexList(c, v.data)) return false;
  } else {
    return false;
  }
  c.SkipBlanks();
  return c.AtEnd();
}

bool ParseValueLine(std::wstring_view line, RegValue& v) {
  Cursor c{line};
  if (c.Take(L"@")) {
    v.name.clear();
  } else if (!ParseQuoted(c, v.name) || v.name.empty()) {
    return false;
  }
  c.SkipBlanks();
  if (!c.Take(L"=")) return false;
  return ParseValueData(c, v);
}

// A value line whose data is a hex list may go on over the next lines.
bool ContinuesOnNextLine(std::wstring_view line) {
  if (line.empty() || line.back() != L'\\') return false;
  Cursor c{line};
  std::wstring name;
  if (!c.Take(L"@") && !ParseQuoted(c, name)) return false;
  c.SkipBlanks();
  if (!c.Take(L"=")) return false;
  c.SkipBlanks();
  return c.Take(L"hex");
}

std::wstring_view TrimRight(std::wstring_view s) {
  while (!s.empty() && (s.back() == L' ' || s.back() == L'\t' || s.back() == L'\r')) s.remove_suffix(1);
  return s;
}

std::wstring_view TrimLeft(std::wstring_view s) {
  while (!s.empty() && (s.front() == L' ' || s.front() == L'\t')) s.remove_prefix(1);
  return s;
}

std::vector<std::wstring_view> SplitLines(std::wstring_view text) {
  std::vector<std::wstring_view> lines;
  while (!text.empty()) {
    std::size_t nl = text.find(L'\n');
    lines.push_back(TrimRight(text.substr(0, nl)));
    if (nl == std::wstring_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

std::wstring LineError(std::size_t number, std::wstring_view what) {
  return L"строка " + std::to_wstring(number) + L": " + std::wstring(what);
}

}  // namespace

bool ParseKeyPath(std::wstring_view text, KeyPath& path) {
  std::size_t cut = text.find(L'\\');
  std::wstring_view root = text.substr(0, cut);
  if (EqualsNoCase(root, L"HKLM") || EqualsNoCase(root, L"HKEY_LOCAL_MACHINE")) {
    path.root = HKEY_LOCAL_MACHINE;
    path.rootName = L"HKEY_LOCAL_MACHINE";
  } else if (EqualsNoCase(root, L"HKCU") || EqualsNoCase(root, L"HKEY_CURRENT_USER")) {
    path.root = HKEY_CURRENT_USER;
    path.rootName = L"HKEY_CURRENT_USER";
  } else {
    return false;
  }
  std::wstring_view rest = cut == std::wstring_view::npos ? std::wstring_view() : text.substr(cut + 1);
  if (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
  path.subKey = std::wstring(rest);
  if (rest.empty()) return cut == std::wstring_view::npos || text.size() == cut + 1;
  for (std::size_t start = 0;;) {
    std::size_t next = rest.find(L'\\', start);
    std::size_t length = (next == std::wstring_view::npos ? rest.size() : next) - start;
    if (length == 0 || length > 255) return false;
    if (next == std::wstring_view::npos) break;
    start = next + 1;
  }
  return true;
}

std::wstring FormatRegFile(const std::vector<RegSection>& sections) {
  std::wstring out = std::wstring(kHeader) + L"\r\n\r\n";
  for (const RegSection& section : sections) {
    out += L"[" + section.key + L"]\r\n";
    for (const RegValue& v : section.values) out += FormatValue(v) + L"\r\n";
    out += L"\r\n";
  }
  return out;
}

std::string EncodeRegFile(std::wstring_view text) {
  return std::string("\xFF\xFE", 2) + platform::WideToUtf16Le(text);
}

bool DecodeRegFile(const std::string& bytes, std::wstring& text) {
  std::string_view view(bytes);
  if (view.size() >= 2 && view.substr(0, 2) == std::string_view("\xFF\xFE", 2)) {
    view.remove_prefix(2);
    if (!platform::IsWellFormedUtf16Le(view)) return false;
    text = platform::Utf16LeToWide(view);
    return true;
  }
  if (view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
  if (!platform::IsWellFormedUtf8(view)) return false;
  text = platform::Utf8ToWide(view);
  return true;
}

bool ParseRegFile(std::wstring_view text, std::vector<RegSection>& sections, std::wstring& error) {
  sections.clear();
  std::vector<std::wstring_view> lines = SplitLines(text);
  std::size_t n = 0;
  while (n < lines.size() && lines[n].empty()) ++n;
  if (n == lines.size() || lines[n] != kHeader) {
    error = L"нет заголовка \"" + std::wstring(kHeader) + L"\"";
    return false;
  }
  for (++n; n < lines.size(); ++n) {
    std::size_t number = n + 1;
    std::wstring line(TrimLeft(lines[n]));
    while (ContinuesOnNextLine(line) && n + 1 < lines.size()) {
      line.pop_back();
      line += TrimLeft(lines[++n]);
    }
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[') {
      if (line.back() != L']') {
        error = LineError(number, L"раздел без закрывающей скобки");
        return false;
      }
      RegSection section;
      std::wstring_view key = std::wstring_view(line).substr(1, line.size() - 2);
      if (!key.empty() && key[0] == L'-') {
        section.remove = true;
        key.remove_prefix(1);
      }
      KeyPath path;
      if (!ParseKeyPath(key, path)) {
        error = LineError(number, L"неверный раздел реестра \"" + std::wstring(key) + L"\"");
        return false;
      }
      if (section.remove && path.subKey.empty()) {
        error = LineError(number, L"корневой раздел удалить нельзя");
        return false;
      }
      section.key = path.Full();
      sections.push_back(std::move(section));
      continue;
    }
    if (sections.empty() || sections.back().remove) {
      error = LineError(number, L"параметр вне раздела");
      return false;
    }
    RegValue value;
    if (!ParseValueLine(line, value)) {
      error = LineError(number, L"неверная запись параметра");
      return false;
    }
    sections.back().values.push_back(std::move(value));
  }
  return true;
}

}  // namespace regtool
