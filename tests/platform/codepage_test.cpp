#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

// Wraps the two calls the way callers use them: size query, then convert.
std::wstring Decode(UINT page, const std::string& bytes, DWORD flags = 0) {
  int n = MultiByteToWideChar(page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n == 0) return L"<fail " + std::to_wstring(GetLastError()) + L">";
  std::wstring out(static_cast<size_t>(n), L'\0');
  EXPECT_EQ(n, MultiByteToWideChar(page, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n));
  return out;
}

std::string Encode(UINT page, const std::wstring& text, BOOL* usedDefault = nullptr, LPCSTR defaultChar = nullptr) {
  int n = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, defaultChar,
                              usedDefault);
  if (n == 0) return "<fail " + std::to_string(GetLastError()) + ">";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(n, WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                                   defaultChar, usedDefault));
  return out;
}

void SetMachineCodePage(LPCWSTR name, const std::wstring& value) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage",
                                           0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  std::string bytes = platform::WideToUtf16Le(value);
  bytes.append(2, '\0');
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
  RegCloseKey(key);
  platform::ReloadCodePages();
}

const std::wstring kRussian = L"Привет, Мир! Ёлка ёж №5";

}  // namespace

// Every byte of both Cyrillic pages decodes to its character and encodes back
// to the same byte; a few well-known positions pin the tables.
TEST(CodePageTables, EveryByteRoundTripsAndKnownPositionsHold) {
  testsupport::TempRoot root;
  for (UINT page : {1251u, 866u}) {
    for (int b = 1; b < 256; ++b) {
      if (page == 1251 && b == 0x98) continue;  // no character in 1251
      std::string byte(1, static_cast<char>(b));
      std::wstring wide = Decode(page, byte);
      ASSERT_EQ(1u, wide.size()) << page << " byte " << b;
      EXPECT_EQ(byte, Encode(page, wide)) << page << " byte " << b;
    }
  }
  struct Known {
    UINT page;
    unsigned char byte;
    wchar_t ch;
  } known[] = {
      {1251, 0xC0, L'А'}, {1251, 0xFF, L'я'}, {1251, 0xA8, L'Ё'}, {1251, 0xB8, L'ё'},
      {1251, 0xB9, L'№'}, {1251, 0x88, L'€'}, {1251, 0xAA, L'Є'}, {1251, 0xB3, L'і'},
      {866, 0x80, L'А'},  {866, 0xAF, L'п'},  {866, 0xE0, L'р'},  {866, 0xEF, L'я'},
      {866, 0xF0, L'Ё'},  {866, 0xF1, L'ё'},  {866, 0xFC, L'№'},  {866, 0xC4, L'─'},
  };
  for (const Known& k : known)
    EXPECT_EQ(std::wstring(1, k.ch), Decode(k.page, std::string(1, static_cast<char>(k.byte))))
        << k.page << " " << int(k.byte);
}

TEST(CodePageConversion, RussianTextRoundTripsInEveryPage) {
  testsupport::TempRoot root;
  const std::string in1251 = "\xCF\xF0\xE8\xE2\xE5\xF2, \xCC\xE8\xF0! \xA8\xEB\xEA\xE0 \xB8\xE6 \xB9" "5";
  const std::string in866 = "\x8F\xE0\xA8\xA2\xA5\xE2, \x8C\xA8\xE0! \xF0\xAB\xAA\xA0 \xF1\xA6 \xFC" "5";
  EXPECT_EQ(in1251, Encode(1251, kRussian));
  EXPECT_EQ(in866, Encode(866, kRussian));
  EXPECT_EQ(kRussian, Decode(1251, in1251));
  EXPECT_EQ(kRussian, Decode(866, in866));
  std::string utf8 = Encode(CP_UTF8, kRussian);
  EXPECT_EQ(platform::WideToUtf8(kRussian), utf8);
  EXPECT_EQ(kRussian, Decode(CP_UTF8, utf8));
  // A character beyond U+FFFF is one wchar_t here and four UTF-8 bytes.
  std::wstring emoji = L"a\U0001F600b";
  EXPECT_EQ("a\xF0\x9F\x98\x80" "b", Encode(CP_UTF8, emoji));
  EXPECT_EQ(emoji, Decode(CP_UTF8, "a\xF0\x9F\x98\x80" "b"));
}

// Size queries, the counted terminator of length -1, and 122 for a short buffer.
TEST(CodePageConversion, SizeQueriesTerminatorAndShortBuffer) {
  testsupport::TempRoot root;
  const char* text = "\xD0\x9C\xD0\xB8\xD1\x80";  // "Мир" in UTF-8
  EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, text, 6, nullptr, 0));
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0));
  wchar_t wide[8] = {L'x', L'x', L'x', L'x', L'x'};
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8));
  EXPECT_EQ(std::wstring(L"Мир"), std::wstring(wide));
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 3));  // no room for the NUL
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());

  EXPECT_EQ(7, WideCharToMultiByte(CP_UTF8, 0, L"Мир", -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(4, WideCharToMultiByte(1251, 0, L"Мир", -1, nullptr, 0, nullptr, nullptr));
  char narrow[4];
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, L"Мир", 3, narrow, 4, nullptr, nullptr));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(4, WideCharToMultiByte(1251, 0, L"Мир", -1, narrow, 4, nullptr, nullptr));
  EXPECT_STREQ("\xCC\xE8\xF0", narrow);
}

TEST(CodePageConversion, BadArgumentsAndFlagsAreRefused) {
  testsupport::TempRoot root;
  wchar_t wide[4];
  char narrow[4];
  BOOL used = FALSE;
  struct Case {
    const char* what;
    std::function<int()> call;
    DWORD error;
  } cases[] = {
      {"unknown page", [&] { return MultiByteToWideChar(1252, 0, "a", 1, wide, 4); }, ERROR_INVALID_PARAMETER},
      {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 4); }, ERROR_INVALID_PARAMETER},
      {"zero length", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4); }, ERROR_INVALID_PARAMETER},
      {"length below -1", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"null output with a size", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4); },
       ERROR_INVALID_PARAMETER},
      {"negative output size", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, wide, -1); },
       ERROR_INVALID_PARAMETER},
      {"UTF-8 takes no MB_PRECOMPOSED", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"precomposed and composite",
       [&] { return MultiByteToWideChar(1251, MB_PRECOMPOSED | MB_COMPOSITE, "a", 1, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"to 8-bit: unknown page", [&] { return WideCharToMultiByte(20866, 0, L"a", 1, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"to 8-bit: null input", [&] { return WideCharToMultiByte(1251, 0, nullptr, 1, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"to 8-bit: zero length", [&] { return WideCharToMultiByte(1251, 0, L"a", 0, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"to 8-bit: null output with a size",
       [&] { return WideCharToMultiByte(1251, 0, L"a", 1, nullptr, 4, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
      {"to UTF-8 with a default char", [&] { return WideCharToMultiByte(CP_UTF8, 0, L"a", 1, narrow, 4, "?", nullptr); },
       ERROR_INVALID_PARAMETER},
      {"to UTF-8 with usedDefaultChar",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, L"a", 1, narrow, 4, nullptr, &used); }, ERROR_INVALID_PARAMETER},
      {"WC_ERR_INVALID_CHARS outside UTF-8",
       [&] { return WideCharToMultiByte(1251, WC_ERR_INVALID_CHARS, L"a", 1, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(0, c.call()) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
}

TEST(CodePageConversion, UnmappableCharactersBecomeTheDefaultCharacter) {
  testsupport::TempRoot root;
  BOOL used = TRUE;
  EXPECT_EQ("\xCC\xE8\xF0", Encode(1251, L"Мир", &used));
  EXPECT_FALSE(used);  // reset when every character had its own byte

  EXPECT_EQ("a\x88?b?", Encode(1251, L"a€漢b\U0001F600", &used));
  EXPECT_TRUE(used);
  EXPECT_EQ("a*b", Encode(866, L"a€b", &used, "*"));  // no euro sign in 866
  EXPECT_TRUE(used);
  EXPECT_EQ("?", Encode(1251, L"é"));  // no best-fit "e"

  // UTF-8: a lone surrogate is replaced, or refused with WC_ERR_INVALID_CHARS.
  const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  EXPECT_EQ("a\xEF\xBF\xBD" "b", Encode(CP_UTF8, lone));
  char out[16];
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, out, 16, nullptr, nullptr));
  EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
  // A surrogate pair that came from 16-bit text is still one character.
  const wchar_t pair[] = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), 0};
  EXPECT_EQ("\xF0\x9F\x98\x80", Encode(CP_UTF8, pair));
}

TEST(CodePageConversion, MalformedInputIsReplacedOrRefused) {
  testsupport::TempRoot root;
  struct Case {
    const char* what;
    std::string bytes;
    std::wstring replaced;
  } cases[] = {
      {"stray continuation", "a\x80" "b", L"a\uFFFDb"},
      {"overlong NUL", "\xC0\x80", L"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
      {"truncated sequence", "\xE2\x82" "x", L"\uFFFDx"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.replaced, Decode(CP_UTF8, c.bytes)) << c.what;
    EXPECT_EQ(L"<fail 1113>", Decode(CP_UTF8, c.bytes, MB_ERR_INVALID_CHARS)) << c.what;
  }
  EXPECT_EQ(L"<fail 1113>", Decode(1251, "\x98", MB_ERR_INVALID_CHARS));
  EXPECT_EQ(std::wstring(1, wchar_t(0x98)), Decode(1251, "\x98"));
}

// The ANSI and OEM pages come from the machine store, with defaults for
// missing, malformed and unsupported values, and CP_ACP follows them.
TEST(CodePageSetting, AnsiAndOemPagesComeFromTheMachineStore) {
  testsupport::TempRoot root;
  platform::ReloadCodePages();
  EXPECT_EQ(65001u, GetACP());
  EXPECT_EQ(866u, GetOEMCP());
  EXPECT_EQ("\xD0\x9C", Encode(CP_ACP, L"М"));

  SetMachineCodePage(L"ACP", L"1251");
  SetMachineCodePage(L"OEMCP", L"866");
  EXPECT_EQ(1251u, GetACP());
  EXPECT_EQ(866u, GetOEMCP());
  EXPECT_EQ("\xCC", Encode(CP_ACP, L"М"));
  EXPECT_EQ("\x8C", Encode(CP_OEMCP, L"М"));
  EXPECT_EQ(L"М", platform::MultiByteToWide("\xCC"));

  for (const wchar_t* unsupported : {L"1252", L"abc", L"", L"99999999999"}) {
    SetMachineCodePage(L"ACP", unsupported);
    EXPECT_EQ(65001u, GetACP()) << "ACP=" << platform::WideToUtf8(unsupported);
  }
  SetMachineCodePage(L"OEMCP", L"437");
  EXPECT_EQ(866u, GetOEMCP());
}

// The value is read once per store, as Windows reads it once per boot.
TEST(CodePageSetting, ChangeTakesEffectAfterReload) {
  testsupport::TempRoot root;
  platform::ReloadCodePages();
  EXPECT_EQ(65001u, GetACP());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage",
                                           0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  std::string bytes = platform::WideToUtf16Le(L"1251");
  bytes.append(2, '\0');
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
  RegCloseKey(key);
  EXPECT_EQ(65001u, GetACP());
  platform::ReloadCodePages();
  EXPECT_EQ(1251u, GetACP());
}

TEST(ConsoleOutput, TextIsWrittenInTheLocaleEncoding) {
  testsupport::TempRoot root;
  struct Case {
    const char* locale;
    UINT page;
    std::string bytes;
  } cases[] = {
      {"ru_RU.UTF-8", 65001, "\xD0\x9C\xD0\xB8\xD1\x80\n"},
      {"ru_RU.CP1251", 1251, "\xCC\xE8\xF0\n"},
      {"ru_RU.cp866", 866, "\x8C\xA8\xE0\n"},
      {"C", 65001, "\xD0\x9C\xD0\xB8\xD1\x80\n"},
  };
  const char* saved = std::getenv("LC_ALL");
  std::string savedValue = saved != nullptr ? saved : "";
  for (const Case& c : cases) {
    setenv("LC_ALL", c.locale, 1);
    EXPECT_EQ(c.page, platform::ConsoleCodePage()) << c.locale;
    testing::internal::CaptureStdout();
    platform::WriteConsoleText(platform::ConsoleStream::Output, L"Мир\n");
    EXPECT_EQ(c.bytes, testing::internal::GetCapturedStdout()) << c.locale;
  }
  if (saved != nullptr)
    setenv("LC_ALL", savedValue.c_str(), 1);
  else
    unsetenv("LC_ALL");
}

// Random byte strings, weighted towards UTF-8 lead and continuation bytes:
// the strict conversion accepts exactly the well-formed ones; the lenient one
// keeps the same characters as the layer's other UTF-8 decoder (that one
// replaces each bad byte, this one each maximal bad piece, as Unicode
// recommends, so runs of U+FFFD are compared as one) and is stable on a
// second round.
TEST(CodePageConversion, RandomUtf8AgreesWithTheLayerDecoder) {
  testsupport::TempRoot root;
  auto collapse = [](std::wstring s) {
    s.erase(std::unique(s.begin(), s.end(), [](wchar_t a, wchar_t b) { return a == 0xFFFD && b == 0xFFFD; }),
            s.end());
    return s;
  };
  std::mt19937 random(20261210);
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED,
                                       0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F};
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 9 + 1, '\0');
    for (char& c : bytes)
      c = static_cast<char>(random() % 2 ? interesting[random() % sizeof(interesting)] : random() % 256);
    const int length = static_cast<int>(bytes.size());
    int strict = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    ASSERT_EQ(platform::IsWellFormedUtf8(bytes), strict != 0) << testing::PrintToString(bytes);
    std::wstring lenient = Decode(CP_UTF8, bytes);
    if (strict != 0) {
      ASSERT_EQ(platform::Utf8ToWide(bytes), lenient) << testing::PrintToString(bytes);
    } else {
      ASSERT_EQ(collapse(platform::Utf8ToWide(bytes)), collapse(lenient)) << testing::PrintToString(bytes);
    }
    std::string again = Encode(CP_UTF8, lenient);
    ASSERT_EQ(lenient, Decode(CP_UTF8, again)) << testing::PrintToString(bytes);
  }
}
