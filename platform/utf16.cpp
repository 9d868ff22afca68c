#include "platform/utf16.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Walks wide text one character at a time, joining surrogate pairs and
// replacing what cannot be a character.
template <typename Sink>
void ForEachCodePoint(std::wstring_view text, Sink sink) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(static_cast<std::uint32_t>(text[i]));
    if (IsHighSurrogate(c) && i + 1 < text.size()) {
      char32_t next = static_cast<char32_t>(static_cast<std::uint32_t>(text[i + 1]));
      if (IsLowSurrogate(next)) {
        sink(0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (IsSurrogate(c) || c > 0x10FFFF) c = kReplacement;
    sink(c);
  }
}

void AppendUnitLe(std::string& out, char32_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

// Decodes one UTF-8 sequence starting at text[i]; advances i past it. A
// malformed sequence consumes its first byte only and gives U+FFFD.
char32_t DecodeUtf8(std::string_view text, std::size_t& i, bool& ok) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  ok = true;
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  char32_t c;
  char32_t minimum;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    extra = 1, c = b0 & 0x1F, minimum = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    extra = 2, c = b0 & 0x0F, minimum = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    extra = 3, c = b0 & 0x07, minimum = 0x10000;
  } else {
    ok = false;
    ++i;
    return kReplacement;
  }
  if (i + static_cast<std::size_t>(extra) >= text.size()) {  // cut short by the end
    ok = false;
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ok = false;
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || IsSurrogate(c)) {
    ok = false;
    ++i;
    return kReplacement;
  }
  i += static_cast<std::size_t>(extra) + 1;
  return c;
}

}  // namespace

std::string WideToUtf16Le(std::wstring_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  ForEachCodePoint(text, [&](char32_t c) {
    if (c >= 0x10000) {
      c -= 0x10000;
      AppendUnitLe(out, 0xD800 + (c >> 10));
      AppendUnitLe(out, 0xDC00 + (c & 0x3FF));
    } else {
      AppendUnitLe(out, c);
    }
  });
  return out;
}

std::wstring Utf16LeToWide(const void* bytes, std::size_t byteCount) {
  std::wstring out;
  if (bytes == nullptr || byteCount == 0) return out;
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  std::size_t units = byteCount / 2;
  out.reserve(units + 1);
  auto unitAt = [&](std::size_t k) { return static_cast<char32_t>(p[2 * k] | (p[2 * k + 1] << 8)); };
  for (std::size_t k = 0; k < units; ++k) {
    char32_t u = unitAt(k);
    if (IsHighSurrogate(u) && k + 1 < units && IsLowSurrogate(unitAt(k + 1))) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (unitAt(k + 1) - 0xDC00)));
      ++k;
    } else if (IsSurrogate(u)) {
      out.push_back(static_cast<wchar_t>(kReplacement));
    } else {
      out.push_back(static_cast<wchar_t>(u));
    }
  }
  if (byteCount % 2 != 0) out.push_back(static_cast<wchar_t>(kReplacement));
  return out;
}

bool IsWellFormedUtf16Le(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return false;
  std::size_t units = bytes.size() / 2;
  auto unitAt = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                 (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
  };
  for (std::size_t k = 0; k < units; ++k) {
    char32_t u = unitAt(k);
    if (IsHighSurrogate(u)) {
      if (k + 1 >= units || !IsLowSurrogate(unitAt(k + 1))) return false;
      ++k;
    } else if (IsLowSurrogate(u)) {
      return false;
    }
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](char32_t c) { AppendUtf8(out, c); });
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  bool ok;
  while (i < text.size()) out.push_back(static_cast<wchar_t>(DecodeUtf8(text, i, ok)));
  return out;
}

std::wstring FileNameToWide(std::string_view name) {
  std::wstring out;
  out.reserve(name.size());
  std::size_t i = 0;
  bool ok;
  while (i < name.size()) {
    const std::size_t at = i;
    const char32_t c = DecodeUtf8(name, i, ok);
    // A malformed sequence gives up its first byte only; its other bytes
    // are taken on their own (each malformed as well, or a character).
    out.push_back(static_cast<wchar_t>(ok ? c : 0xDC00 + static_cast<unsigned char>(name[at])));
  }
  return out;
}

int FileNameByte(wchar_t unit) {
  const auto value = static_cast<std::uint32_t>(unit);
  return value >= 0xDC80 && value <= 0xDCFF ? static_cast<int>(value - 0xDC00) : -1;
}

bool IsWellFormedUtf8(std::string_view text) {
  std::size_t i = 0;
  bool ok = true;
  while (i < text.size()) {
    DecodeUtf8(text, i, ok);
    if (!ok) return false;
  }
  return true;
}

wchar_t UpcaseChar(wchar_t ch) {
  char32_t c = static_cast<char32_t>(static_cast<std::uint32_t>(ch));
  auto up = [](char32_t v) { return static_cast<wchar_t>(v); };
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? up(c - 0x20) : ch;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return up(c - 0x20);  // Latin-1 letters
  if (c == 0xFF) return up(0x178);                              // ÿ
  if (c == 0xB5) return up(0x39C);                              // micro sign
  if (c >= 0x100 && c <= 0x17F) {                               // Latin Extended-A
    if (c == 0x131) return up('I');
    if (c == 0x17F) return up('S');
    bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x130 || c == 0x138 || c == 0x149 || c == 0x178) return ch;
    if (oddUpper) return (c % 2 == 0) ? up(c - 1) : ch;
    return (c % 2 == 1) ? up(c - 1) : ch;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return up(c - 0x20);  // Greek
  if (c == 0x3C2) return up(0x3A3);                                 // final sigma
  if (c == 0x3AC) return up(0x386);
  if (c >= 0x3AD && c <= 0x3AF) return up(c - 0x25);
  if (c == 0x3CC) return up(0x38C);
  if (c == 0x3CD || c == 0x3CE) return up(c - 0x3F);
  if (c >= 0x430 && c <= 0x44F) return up(c - 0x20);  // Cyrillic а-я
  if (c >= 0x450 && c <= 0x45F) return up(c - 0x50);  // ѐ-џ (ё, є, і, ї, ў, ...)
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
    return (c % 2 == 1) ? up(c - 1) : ch;
  if (c >= 0x4C1 && c <= 0x4CE) return (c % 2 == 0) ? up(c - 1) : ch;
  if (c == 0x4CF) return up(0x4C0);
  if (c >= 0xFF41 && c <= 0xFF5A) return up(c - 0x20);  // fullwidth a-z
  return ch;
}

std::wstring UpcaseText(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = UpcaseChar(c);
  return out;
}

}  // namespace platform
