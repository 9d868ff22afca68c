#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace platform;

TEST(Utf16Test, WideToUtf16LeBytes) {
  struct Case {
    std::wstring wide;
    std::string bytes;
  };
  const Case cases[] = {
      {L"", ""},
      {L"A", std::string("A\0", 2)},
      {L"Я", "\x2F\x04"},
      {std::wstring(1, L'\0'), std::string("\0\0", 2)},
      {L"\U0001F600", std::string("\x3D\xD8\x00\xDE", 4)},                                             // one wchar_t beyond U+FFFF
      {std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}, std::string("\x3D\xD8\x00\xDE", 4)},  // a pair
      {std::wstring{static_cast<wchar_t>(0xD800), L'x'}, std::string("\xFD\xFF" "x\0", 4)},           // lone high
      {std::wstring{static_cast<wchar_t>(0x110000)}, "\xFD\xFF"},                                     // not a character
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WideToUtf16Le(c.wide), c.bytes);
  }
}

TEST(Utf16Test, Utf16LeToWideNeverFailsOnBadInput) {
  EXPECT_EQ(Utf16LeToWide(std::string("\x3D\xD8\x00\xDE", 4)), L"\U0001F600");
  EXPECT_EQ(Utf16LeToWide(std::string("a\0b", 3)), std::wstring(L"a\uFFFD"));  // odd last byte
  EXPECT_EQ(Utf16LeToWide(std::string("\x3D\xD8", 2)), L"\uFFFD");             // high at the end
  EXPECT_EQ(Utf16LeToWide(std::string("\x00\xDE" "a\0", 4)), L"\uFFFDa");       // low alone
  EXPECT_EQ(Utf16LeToWide(std::string("a\0\0\0b\0", 6)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(Utf16LeToWide(nullptr, 0), L"");

  EXPECT_TRUE(IsWellFormedUtf16Le(std::string("\x3D\xD8\x00\xDE", 4)));
  EXPECT_TRUE(IsWellFormedUtf16Le(""));
  EXPECT_FALSE(IsWellFormedUtf16Le(std::string("a\0b", 3)));
  EXPECT_FALSE(IsWellFormedUtf16Le(std::string("\x3D\xD8" "a\0", 4)));
  EXPECT_FALSE(IsWellFormedUtf16Le(std::string("\x00\xDE", 2)));
}

TEST(Utf16Test, Utf8BothWays) {
  const std::wstring text = L"Профиль Ёж: \U0001F600 ok";
  EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
  EXPECT_EQ(WideToUtf8(L"Я"), "\xD0\xAF");
  EXPECT_EQ(WideToUtf8(std::wstring{static_cast<wchar_t>(0xDC00)}), "\xEF\xBF\xBD");

  struct Bad {
    std::string utf8;
    std::wstring wide;
  };
  const Bad bad[] = {
      {"\xC3\x28", L"\uFFFD("},              // lead byte without its continuation
      {"\xC0\xAF", L"\uFFFD\uFFFD"},         // overlong '/'
      {"a\xED\xA0\x80" "b", L"a\uFFFD\uFFFD\uFFFDb"},  // an encoded surrogate
      {"\xE2\x82", L"\uFFFD\uFFFD"},         // cut short
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xFF", L"\uFFFD"},
  };
  for (const Bad& b : bad) {
    EXPECT_EQ(Utf8ToWide(b.utf8), b.wide);
    EXPECT_FALSE(IsWellFormedUtf8(b.utf8));
  }
  EXPECT_TRUE(IsWellFormedUtf8(WideToUtf8(text)));
}

// A file name keeps every byte it has: each byte of a malformed sequence
// becomes one unit that stands for it (and for nothing else), so the name
// can be shown as it is and told apart from every other name.
TEST(Utf16Test, FileNamesKeepTheirStrayBytes) {
  struct Case {
    std::string bytes;
    std::wstring wide;
  };
  const auto unit = [](int byte) { return static_cast<wchar_t>(0xDC00 + byte); };
  const Case cases[] = {
      {"Привет.txt", L"Привет.txt"},
      {"\xCF\xF0\xE8.txt", {unit(0xCF), unit(0xF0), unit(0xE8), L'.', L't', L'x', L't'}},  // 1251
      {"\xC3\x28", {unit(0xC3), L'('}},
      {"\xC0\xAF", {unit(0xC0), unit(0xAF)}},
      {"a\xED\xA0\x80", {L'a', unit(0xED), unit(0xA0), unit(0x80)}},
      {"\xE2\x82", {unit(0xE2), unit(0x82)}},
      {"\xFFЯ", {unit(0xFF), L'Я'}},
  };
  for (const Case& c : cases) {
    const std::wstring wide = FileNameToWide(c.bytes);
    EXPECT_EQ(wide, c.wide) << c.bytes;
    std::string back;
    for (wchar_t w : wide) {
      if (FileNameByte(w) >= 0)
        back.push_back(static_cast<char>(FileNameByte(w)));
      else
        back += WideToUtf8(std::wstring(1, w));
    }
    EXPECT_EQ(back, c.bytes);
  }
  for (wchar_t character : {L'a', L'Я', static_cast<wchar_t>(0xDC7F), static_cast<wchar_t>(0xDD00)})
    EXPECT_EQ(FileNameByte(character), -1) << static_cast<int>(character);
}

TEST(Utf16Test, UpcaseCoversLatinGreekAndCyrillic) {
  const std::pair<wchar_t, wchar_t> cases[] = {
      {L'a', L'A'}, {L'z', L'Z'}, {L'_', L'_'}, {L'5', L'5'},  {L'é', L'É'}, {L'ÿ', L'Ÿ'},
      {L'ß', L'ß'}, {L'ą', L'Ą'}, {L'ł', L'Ł'}, {L'ž', L'Ž'},  {L'ω', L'Ω'}, {L'ς', L'Σ'},
      {L'а', L'А'}, {L'я', L'Я'}, {L'ё', L'Ё'}, {L'і', L'І'},  {L'ї', L'Ї'}, {L'ў', L'Ў'},
      {L'Я', L'Я'}, {L'ґ', L'Ґ'}, {L'ｚ', L'Ｚ'}, {L'中', L'中'},
  };
  for (auto [lower, upper] : cases) {
    EXPECT_EQ(UpcaseChar(lower), upper) << static_cast<int>(lower);
  }
  EXPECT_EQ(UpcaseText(L"Путь In"), L"ПУТЬ IN");
}

}  // namespace
