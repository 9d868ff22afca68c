#include "platform/codepage.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/utf16.h"

namespace {

constexpr UINT kDefaultAcp = CP_UTF8;
constexpr UINT kDefaultOemcp = 866;
constexpr wchar_t kReplacement = 0xFFFD;

// Bytes 0x80..0xFF of Windows-1251. 0x98 has no character in this page; it
// stands for U+0098 here and counts as invalid input under MB_ERR_INVALID_CHARS.
constexpr std::array<char16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0: А..
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // ..Я
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0: а..
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // ..я
};
constexpr unsigned char kCp1251Undefined = 0x98;

// Bytes 0x80..0xFF of CP866 (the DOS Cyrillic page used for ZIP entry names).
constexpr std::array<char16_t, 128> kCp866High = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 80: А..
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // ..Я
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // A0: а..п
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0: box drawing
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // E0: р..я
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

// A single-byte page: the characters of bytes 0x80..0xFF (below 0x80 is
// ASCII) and the way back.
class SingleBytePage {
 public:
  SingleBytePage(const std::array<char16_t, 128>& high, int undefinedByte)
      : high_(high), undefinedByte_(undefinedByte) {
    for (int i = 0; i < 128; ++i) reverse_.emplace(static_cast<wchar_t>(high[i]), static_cast<unsigned char>(0x80 + i));
  }
  wchar_t Decode(unsigned char b) const { return b < 0x80 ? b : static_cast<wchar_t>(high_[b - 0x80]); }
  bool IsUndefined(unsigned char b) const { return b == undefinedByte_; }
  // False when the page has no byte for the character.
  bool Encode(wchar_t c, char& out) const {
    if (c >= 0 && c < 0x80) {
      out = static_cast<char>(c);
      return true;
    }
    auto found = reverse_.find(c);
    if (found == reverse_.end()) return false;
    out = static_cast<char>(found->second);
    return true;
  }

 private:
  const std::array<char16_t, 128>& high_;
  int undefinedByte_;  // -1: every byte has a character
  std::unordered_map<wchar_t, unsigned char> reverse_;
};

const SingleBytePage* FindSingleBytePage(UINT codePage) {
  static const SingleBytePage cp1251(kCp1251High, kCp1251Undefined);
  static const SingleBytePage cp866(kCp866High, -1);
  if (codePage == 1251) return &cp1251;
  if (codePage == 866) return &cp866;
  return nullptr;
}

bool IsSupportedPage(UINT codePage) {
  return codePage == CP_UTF8 || codePage == 1251 || codePage == 866;
}

// ---- The ANSI and OEM pages from the machine store -------------------------

struct PageCache {
  std::mutex mutex;
  bool valid = false;
  std::string root;  // $QELM_ROOT the values were read for
  UINT acp = kDefaultAcp;
  UINT oemcp = kDefaultOemcp;
};

PageCache& Cache() {
  static PageCache cache;
  return cache;
}

std::string CurrentRoot() {
  const char* root = std::getenv("QELM_ROOT");
  return root != nullptr ? root : "";
}

// Reads one REG_SZ decimal value of the Nls\CodePage key; the default when it
// is missing, malformed or names a page this layer cannot convert.
UINT ReadPageValue(HKEY key, LPCWSTR name, UINT fallback) {
  BYTE data[64] = {};
  DWORD type = 0;
  DWORD size = sizeof(data);
  if (RegQueryValueExW(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return fallback;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return fallback;
  std::wstring text = platform::Utf16LeToWide(data, size);  // REG_SZ is stored as UTF-16LE
  unsigned long value = 0;
  bool digits = false;
  for (wchar_t unit : text) {
    if (unit == 0) break;
    if (unit < L'0' || unit > L'9' || value > 100000) return fallback;
    value = value * 10 + static_cast<unsigned long>(unit - L'0');
    digits = true;
  }
  if (!digits || !IsSupportedPage(static_cast<UINT>(value))) return fallback;
  return static_cast<UINT>(value);
}

void ReadPagesFromStore(UINT& acp, UINT& oemcp) {
  acp = kDefaultAcp;
  oemcp = kDefaultOemcp;
  // The store itself may convert text; a conversion made while the pages are
  // being read uses the defaults instead of reading again.
  static thread_local bool reading = false;
  if (reading) return;
  reading = true;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0,
                    KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    acp = ReadPageValue(key, L"ACP", kDefaultAcp);
    oemcp = ReadPageValue(key, L"OEMCP", kDefaultOemcp);
    RegCloseKey(key);
  }
  reading = false;
}

void CurrentPages(UINT& acp, UINT& oemcp) {
  PageCache& cache = Cache();
  std::string root = CurrentRoot();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.valid && cache.root == root) {
      acp = cache.acp;
      oemcp = cache.oemcp;
      return;
    }
  }
  DWORD savedError = GetLastError();  // asking for the page never changes the caller's last error
  ReadPagesFromStore(acp, oemcp);
  SetLastError(savedError);
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.valid = true;
  cache.root = root;
  cache.acp = acp;
  cache.oemcp = oemcp;
}

UINT ResolvePage(UINT codePage) {
  if (codePage == CP_ACP) return GetACP();
  if (codePage == CP_OEMCP) return GetOEMCP();
  return codePage;
}

// ---- UTF-8 -----------------------------------------------------------------

// Decodes one character at text[i]; advances i past it. Returns false for a
// malformed sequence, then i is past its longest valid beginning (at least
// one byte), so that each malformed piece gives one replacement character.
bool DecodeUtf8(const unsigned char* text, size_t length, size_t& i, char32_t& out) {
  unsigned char lead = text[i];
  if (lead < 0x80) {
    out = lead;
    ++i;
    return true;
  }
  size_t need;
  char32_t value;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    ++i;
    return false;
  }
  ++i;
  for (size_t k = 0; k < need; ++k) {
    if (i >= length) return false;
    unsigned char c = text[i];
    unsigned char lo = k == 0 ? low : 0x80;
    unsigned char hi = k == 0 ? high : 0xBF;
    if (c < lo || c > hi) return false;
    value = (value << 6) | (c & 0x3F);
    ++i;
  }
  out = value;
  return true;
}

// ---- Whole conversions (no argument checks) --------------------------------

// Returns false only when invalid input is refused (strict).
bool DecodeText(UINT page, const char* text, size_t length, bool strict, std::wstring& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  out.clear();
  out.reserve(length);
  if (page == CP_UTF8) {
    for (size_t i = 0; i < length;) {
      char32_t c = 0;
      if (DecodeUtf8(bytes, length, i, c)) {
        out.push_back(static_cast<wchar_t>(c));
      } else {
        if (strict) return false;
        out.push_back(kReplacement);
      }
    }
    return true;
  }
  const SingleBytePage& table = *FindSingleBytePage(page);
  for (size_t i = 0; i < length; ++i) {
    unsigned char b = bytes[i];
    if (strict && table.IsUndefined(b)) return false;
    out.push_back(table.Decode(b));
  }
  return true;
}

bool IsSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; }

bool EncodeText(UINT page, const wchar_t* text, size_t length, bool strict, char defaultChar,
                bool& usedDefault, std::string& out) {
  out.clear();
  out.reserve(length);
  usedDefault = false;
  if (page == CP_UTF8) {
    for (size_t i = 0; i < length; ++i) {
      char32_t c = static_cast<char32_t>(text[i]);
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        // A UTF-16 pair that reached us unjoined is still one character.
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
        ++i;
      } else if (IsSurrogate(text[i]) || c > 0x10FFFF) {
        if (strict) return false;
        c = kReplacement;
      }
      platform::AppendUtf8(out, c);
    }
    return true;
  }
  const SingleBytePage& table = *FindSingleBytePage(page);
  for (size_t i = 0; i < length; ++i) {
    char b;
    if (table.Encode(text[i], b)) {
      out.push_back(b);
    } else {
      out.push_back(defaultChar);
      usedDefault = true;
    }
  }
  return true;
}

bool MbFlagsValid(UINT page, DWORD flags) {
  if (page == CP_UTF8) return (flags & ~MB_ERR_INVALID_CHARS) == 0;
  if ((flags & ~(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS)) != 0) return false;
  return (flags & (MB_PRECOMPOSED | MB_COMPOSITE)) != (MB_PRECOMPOSED | MB_COMPOSITE);
}

bool WcFlagsValid(UINT page, DWORD flags) {
  if (page == CP_UTF8) return (flags & ~WC_ERR_INVALID_CHARS) == 0;
  return (flags & ~(WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK |
                    WC_NO_BEST_FIT_CHARS)) == 0;
}

template <typename Char>
size_t CountedLength(const Char* text, int length) {
  if (length >= 0) return static_cast<size_t>(length);
  return std::char_traits<Char>::length(text) + 1;  // the NUL is converted too
}

template <typename Char>
int Deliver(const std::basic_string<Char>& result, Char* buffer, int bufferLength) {
  if (result.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  int needed = static_cast<int>(result.size());
  if (bufferLength == 0) return needed;
  if (needed > bufferLength) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::char_traits<Char>::copy(buffer, result.data(), result.size());
  return needed;
}

// "ru_RU.CP1251@euro" -> "CP1251", upper-cased without '-' and '_'.
std::string CodesetOfLocaleName(const char* name) {
  std::string codeset;
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return codeset;
  for (const char* p = dot + 1; *p != '\0' && *p != '@'; ++p) {
    char c = *p;
    if (c == '-' || c == '_') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    codeset.push_back(c);
  }
  return codeset;
}

}  // namespace

UINT GetACP() {
  UINT acp, oemcp;
  CurrentPages(acp, oemcp);
  return acp;
}

UINT GetOEMCP() {
  UINT acp, oemcp;
  CurrentPages(acp, oemcp);
  return oemcp;
}

BOOL IsValidCodePage(UINT codePage) { return IsSupportedPage(codePage) ? TRUE : FALSE; }

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int mbLength, LPWSTR wide,
                        int wideLength) {
  UINT page = ResolvePage(codePage);
  if (!IsSupportedPage(page) || mb == nullptr || mbLength == 0 || mbLength < -1 || wideLength < 0 ||
      (wide == nullptr && wideLength > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!MbFlagsValid(page, flags)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::wstring result;
  if (!DecodeText(page, mb, CountedLength(mb, mbLength), (flags & MB_ERR_INVALID_CHARS) != 0, result)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return Deliver(result, wide, wideLength);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR mb,
                        int mbLength, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  UINT page = ResolvePage(codePage);
  if (!IsSupportedPage(page) || wide == nullptr || wideLength == 0 || wideLength < -1 || mbLength < 0 ||
      (mb == nullptr && mbLength > 0) ||
      (page == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!WcFlagsValid(page, flags)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  char replacement = defaultChar != nullptr ? defaultChar[0] : '?';
  bool usedDefault = false;
  std::string result;
  if (!EncodeText(page, wide, CountedLength(wide, wideLength), (flags & WC_ERR_INVALID_CHARS) != 0,
                  replacement, usedDefault, result)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  int written = Deliver(result, mb, mbLength);
  if (written != 0 && usedDefaultChar != nullptr) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  return written;
}

namespace platform {

void ReloadCodePages() {
  PageCache& cache = Cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.valid = false;
}

std::wstring MultiByteToWide(std::string_view text, UINT codePage) {
  UINT page = ResolvePage(codePage);
  std::wstring result;
  if (IsSupportedPage(page)) DecodeText(page, text.data(), text.size(), false, result);
  return result;
}

std::string WideToMultiByte(std::wstring_view text, UINT codePage) {
  UINT page = ResolvePage(codePage);
  std::string result;
  bool usedDefault = false;
  if (IsSupportedPage(page)) EncodeText(page, text.data(), text.size(), false, '?', usedDefault, result);
  return result;
}

UINT ConsoleCodePage() {
  // The same precedence as the C library: LC_ALL, then LC_CTYPE, then LANG.
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    std::string codeset = CodesetOfLocaleName(value);
    if (codeset == "CP1251" || codeset == "WINDOWS1251") return 1251;
    if (codeset == "CP866" || codeset == "IBM866") return 866;
    return CP_UTF8;
  }
  return CP_UTF8;
}

void WriteConsoleText(ConsoleStream stream, std::wstring_view text) {
  std::string bytes = WideToMultiByte(text, ConsoleCodePage());
  std::FILE* out = stream == ConsoleStream::Error ? stderr : stdout;
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fflush(out);
}

void WriteConsoleAnsi(ConsoleStream stream, std::string_view text) {
  WriteConsoleText(stream, MultiByteToWide(text, CP_ACP));
}

}  // namespace platform
