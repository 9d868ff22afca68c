#include "platform/cstring.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

std::string Utf8(const CString& s) { return platform::WideToUtf8(s.GetString()); }

// A private store whose ANSI code page is the given one.
class AnsiPage {
 public:
  explicit AnsiPage(const wchar_t* page) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    std::string bytes = platform::WideToUtf16Le(page);
    bytes.append(2, '\0');
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<DWORD>(bytes.size())));
    RegCloseKey(key);
    platform::ReloadCodePages();
  }
  ~AnsiPage() { platform::ReloadCodePages(); }

 private:
  testsupport::TempRoot root_;
};

}  // namespace

// ---- Format ----------------------------------------------------------------------

TEST(CStringFormat, WindowsConversionsInAWideFormat) {
  testsupport::TempRoot root;  // ANSI page: the default UTF-8
  CString wide = L"Банк";
  CStringA narrow = "\xD0\x9C\xD0\xB8\xD1\x80";  // "Мир" in UTF-8
  struct Case {
    const char* what;
    CString result;
    const wchar_t* expected;
  };
  auto f = [](auto... args) {
    CString s;
    s.Format(args...);
    return s;
  };
  Case cases[] = {
      {"%s takes wide text", f(L"[%s]", L"Банк"), L"[Банк]"},
      {"%s takes a CString", f(L"[%s]", wide), L"[Банк]"},
      {"%S takes ANSI text", f(L"[%S]", narrow.GetString()), L"[Мир]"},
      {"%hs and %ls", f(L"%hs/%ls/%ws", "a", L"б", L"в"), L"a/б/в"},
      {"%c and %C", f(L"%c%C%c", L'Ж', 'z', L'!'), L"Жz!"},
      {"journal time", f(L"%02d:%02d:%02d %02d/%02d/%02d", 14, 5, 9, 9, 12, 2026), L"14:05:09 09/12/2026"},
      {"code text", f(L"Ошибка ORLAX 0x%X", 0xE0700001u), L"Ошибка ORLAX 0xE0700001"},
      {"%I64u", f(L"%I64u", 18446744073709551615ull), L"18446744073709551615"},
      {"%I64d", f(L"%I64d", -9000000000ll), L"-9000000000"},
      {"%lld", f(L"%lld", 5000000000ll), L"5000000000"},
      {"%d reads 32 bits as on Windows", f(L"%d", DWORD(0xFFFFFFFF)), L"-1"},
      {"%u of a negative int", f(L"%u", -1), L"4294967295"},
      {"%ld is 32-bit", f(L"%ld", LONG(-7)), L"-7"},
      {"%hd", f(L"%hd", 70000), L"4464"},
      {"width and flags", f(L"[%5d|%-5d|%05d|%+d|%#x]", 42, 42, 42, 42, 255), L"[   42|42   |00042|+42|0xff]"},
      {"string width and precision", f(L"[%6s|%-6s|%.2s]", L"ab", L"ab", L"абвг"), L"[    ab|ab    |аб]"},
      {"star width", f(L"[%*d|%-*s]", 4, 7, 3, L"x"), L"[   7|x  ]"},
      {"floating point", f(L"%.2f %g", 3.14159, 0.5), L"3.14 0.5"},
      {"percent sign", f(L"100%% %s", L"50%"), L"100% 50%"},
      {"null text", f(L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[(null)]"},
      {"pointer", f(L"%p", reinterpret_cast<void*>(0x1234)), L"0000000000001234"},
      {"no arguments", f(L"plain"), L"plain"},
      {"unknown conversion kept", f(L"%y %d", 1), L"%y 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(std::wstring(c.expected), c.result.GetString()) << c.what;
}

TEST(CStringFormat, NarrowFormatAndAnsiCodePage1251) {
  AnsiPage page(L"1251");
  CStringA a;
  a.Format("%s: %S (%d)", "\xCF\xF0\xEE\xF4\xE8\xEB\xFC", L"Банк", 3);  // "Профиль" in 1251
  EXPECT_EQ(std::string("\xCF\xF0\xEE\xF4\xE8\xEB\xFC: \xC1\xE0\xED\xEA (3)"), a.GetString());

  CString w;
  w.Format(L"%S", "\xCC\xE8\xF0");
  EXPECT_EQ(L"Мир", w);
  w.Format(L"%C", '\xCC');
  EXPECT_EQ(L"М", w);
}

// The formatter knows each argument's real type: what would read garbage on
// Windows is formatted correctly or left out here.
TEST(CStringFormat, ArgumentsAreReadByTheirRealType) {
  testsupport::TempRoot root;
  CString s;
  s.Format(L"%s and %S", CStringA("narrow"), CString(L"wide"));
  EXPECT_EQ(L"narrow and wide", s);
  s.Format(L"%s|%d|%s");  // missing arguments format as nothing
  EXPECT_EQ(L"||", s);
  int untouched = 5;
  s.Format(L"a%nb", &untouched);
  EXPECT_EQ(L"ab", s);
  EXPECT_EQ(5, untouched);
}

TEST(CStringFormat, LongResultsOwnTextAndAppend) {
  testsupport::TempRoot root;
  CString big(L'я', 100000);
  CString s;
  s.Format(L"<%s>", big.GetString());
  EXPECT_EQ(100002, s.GetLength());
  s.Format(L"%3000d", 1);
  EXPECT_EQ(3000, s.GetLength());
  EXPECT_EQ(L'1', s[2999]);

  CString self = L"Файл";
  self.Format(L"%s / %s", self.GetString(), self.GetString());
  EXPECT_EQ(L"Файл / Файл", self);
  self.AppendFormat(L" (размер: %s)", L"12");
  EXPECT_EQ(L"Файл / Файл (размер: 12)", self);

  CString raw;
  raw.FormatRaw(L"%s=%I64u %S %c", L"размер", 1ull << 40, "ok", L'ё');
  EXPECT_EQ(L"размер=1099511627776 ok ё", raw);
  raw.AppendFormatRaw(L"|%ld|%hs", 9, "x");
  EXPECT_EQ(L"размер=1099511627776 ok ё|9|x", raw);
}

// ---- Substrings and searching ----------------------------------------------------

TEST(CStringParts, MidLeftRightClampTheirBounds) {
  const CString s = L"Привет";
  struct Case {
    CString result;
    const wchar_t* expected;
  } cases[] = {
      {s.Mid(2), L"ивет"},     {s.Mid(2, 3), L"иве"},   {s.Mid(-3, 2), L"Пр"},    {s.Mid(4, 100), L"ет"},
      {s.Mid(6), L""},         {s.Mid(7, 2), L""},      {s.Mid(1, -1), L""},      {s.Mid(2, 0x7FFFFFFF), L"ивет"},
      {s.Left(3), L"При"},     {s.Left(-1), L""},       {s.Left(99), L"Привет"},  {s.Right(2), L"ет"},
      {s.Right(-2), L""},      {s.Right(99), L"Привет"},
  };
  for (const Case& c : cases) EXPECT_EQ(std::wstring(c.expected), c.result.GetString());
}

TEST(CStringParts, FindReverseFindAndFindOneOf) {
  const CString s = L"a.b.tar.gz";
  EXPECT_EQ(1, s.Find(L'.'));
  EXPECT_EQ(3, s.Find(L'.', 2));
  EXPECT_EQ(-1, s.Find(L'.', 10));
  EXPECT_EQ(-1, s.Find(L'.', -1));
  EXPECT_EQ(4, s.Find(L"tar"));
  EXPECT_EQ(-1, s.Find(L"tar", 5));
  EXPECT_EQ(10, s.Find(L"", 10));
  EXPECT_EQ(-1, s.Find(L"", 11));
  EXPECT_EQ(-1, s.Find(static_cast<const wchar_t*>(nullptr)));
  EXPECT_EQ(7, s.ReverseFind(L'.'));
  EXPECT_EQ(-1, s.ReverseFind(L'/'));
  EXPECT_EQ(1, s.FindOneOf(L"/."));
  EXPECT_EQ(-1, s.FindOneOf(L""));
  EXPECT_EQ(L"a", s.SpanExcluding(L"."));
  EXPECT_EQ(L"a.", CString(L"a.b").SpanIncluding(L"a."));
}

TEST(CStringParts, TrimFamily) {
  CString s = L" \t\r\n Текст \r\n";
  EXPECT_EQ(L"Текст", CString(s).Trim());
  EXPECT_EQ(L"Текст \r\n", CString(s).TrimLeft());
  EXPECT_EQ(L" \t\r\n Текст", CString(s).TrimRight());
  EXPECT_EQ(L"path", CString(L"\\/path/\\").Trim(L"\\/"));
  EXPECT_EQ(L"x..", CString(L"..x..").TrimLeft(L'.'));
  EXPECT_EQ(L"", CString(L"   ").Trim());
}

TEST(CStringParts, GetAtOutsideTheStringThrows) {
  CString s = L"ab";
  EXPECT_EQ(L'b', s.GetAt(1));
  EXPECT_THROW(s.GetAt(2), std::out_of_range);
  EXPECT_THROW(s.SetAt(-1, L'x'), std::out_of_range);
}

// ---- Case ---------------------------------------------------------------------------

TEST(CStringCase, CompareNoCaseAndCaseChangesHandleCyrillic) {
  testsupport::TempRoot root;
  EXPECT_EQ(0, CString(L"ПРИВЕТ, ЁЖ!").CompareNoCase(L"привет, ёж!"));
  EXPECT_EQ(0, CString(L"ÀÉÎ ΑΒΓ Їжак").CompareNoCase(L"àéî αβγ їЖАК"));
  EXPECT_LT(CString(L"абв").CompareNoCase(L"АБГ"), 0);
  EXPECT_GT(CString(L"Б").CompareNoCase(L"а"), 0);
  EXPECT_LT(CString(L"ab").CompareNoCase(L"ABC"), 0);
  EXPECT_NE(0, CString(L"abc").Compare(L"ABC"));

  EXPECT_EQ(L"ПРИВЕТ ЁЖ ÀÉ", CString(L"привет ёж àé").MakeUpper());
  EXPECT_EQ(L"привет ёж àé", CString(L"ПРИВЕТ ЁЖ ÀÉ").MakeLower());
  // 8-bit text changes case in its ANSI page (UTF-8 here).
  CStringA a(L"ёлка");
  a.MakeUpper();
  EXPECT_EQ(L"ЁЛКА", CString(a));
  EXPECT_EQ(0, CStringA(L"ЁЛКА").CompareNoCase(CStringA(L"ёлка")));
}

TEST(CStringCase, EightBitTextIn1251) {
  AnsiPage page(L"1251");
  CStringA a = "\xB8\xEB\xEA\xE0";  // "ёлка"
  a.MakeUpper();
  EXPECT_EQ(std::string("\xA8\xCB\xCA\xC0"), a.GetString());
  EXPECT_EQ(0, a.CompareNoCase("\xB8\xEB\xEA\xE0"));
}

// ---- Editing -----------------------------------------------------------------------

TEST(CStringEdit, ReplaceRemoveInsertDelete) {
  CString s = L"a|b||c";
  EXPECT_EQ(3, s.Replace(L"|", L" | "));
  EXPECT_EQ(L"a | b |  | c", s);
  EXPECT_EQ(0, s.Replace(L"", L"x"));
  EXPECT_EQ(0, s.Replace(L"zz", L"x"));
  CString overlap = L"aaaa";
  EXPECT_EQ(2, overlap.Replace(L"aa", L"a"));
  EXPECT_EQ(L"aa", overlap);
  CString self = L"ab";
  EXPECT_EQ(1, self.Replace(self.GetString(), L"[ab]"));
  EXPECT_EQ(L"[ab]", self);
  EXPECT_EQ(3, s.Replace(L'|', L'/'));

  CString r = L"ф.а.й.л";
  EXPECT_EQ(3, r.Remove(L'.'));
  EXPECT_EQ(L"файл", r);
  EXPECT_EQ(5, r.Insert(0, L'~'));
  EXPECT_EQ(8, r.Insert(99, L".gz"));
  EXPECT_EQ(L"~файл.gz", r);
  EXPECT_EQ(10, r.Insert(-5, L"__"));
  EXPECT_EQ(8, r.Delete(0, 2));
  EXPECT_EQ(5, r.Delete(5, 100));
  EXPECT_EQ(L"~файл", r);
  EXPECT_EQ(5, r.Delete(9, 1));
  EXPECT_EQ(4, r.Delete(-1));
  EXPECT_EQ(L"файл", r);
}

TEST(CStringEdit, TokenizeWalksTokensAndEnds) {
  CString s = L";;один;два;;три;";
  int pos = 0;
  std::vector<std::wstring> tokens;
  for (CString t = s.Tokenize(L";", pos); pos != -1; t = s.Tokenize(L";", pos)) tokens.push_back(t.GetString());
  EXPECT_EQ((std::vector<std::wstring>{L"один", L"два", L"три"}), tokens);

  // Without delimiters the rest is one token, and the loop still ends.
  pos = 2;
  EXPECT_EQ(L"ин", CString(L"один").Tokenize(L"", pos));
  EXPECT_EQ(L"", CString(L"один").Tokenize(L"", pos));
  EXPECT_EQ(-1, pos);
  pos = -3;
  EXPECT_EQ(L"", s.Tokenize(L";", pos));
  EXPECT_EQ(-1, pos);
}

TEST(CStringEdit, BuffersAndConcatenation) {
  CString s = L"abc";
  wchar_t* p = s.GetBuffer(10);
  wcscpy(p, L"Мир");
  s.ReleaseBuffer();
  EXPECT_EQ(3, s.GetLength());
  p = s.GetBufferSetLength(5);
  p[3] = L'!';
  p[4] = L'?';
  s.ReleaseBuffer(4);
  EXPECT_EQ(L"Мир!", s);
  EXPECT_EQ(L"[Мир!]", L"[" + s + L']');
  EXPECT_EQ(L"xx", CString(L'x', 2));
  EXPECT_EQ(L"", CString(L'x', -2));
  EXPECT_EQ(L"ab", CString(L"abc", 2));
  EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr)).IsEmpty());
}

// ---- Conversion between the widths -----------------------------------------------------

TEST(CStringConversion, GoesThroughTheAnsiCodePage) {
  {
    testsupport::TempRoot root;
    platform::ReloadCodePages();
    CStringA a = CString(L"Мир");
    EXPECT_EQ(std::string("\xD0\x9C\xD0\xB8\xD1\x80"), a.GetString());
    EXPECT_EQ(L"Мир", CString(a));
  }
  {
    AnsiPage page(L"1251");
    CStringA a = L"Мир 漢";
    EXPECT_EQ(std::string("\xCC\xE8\xF0 ?"), a.GetString());  // no form in 1251: the default character
    CString w = "\xCC\xE8\xF0";
    EXPECT_EQ(L"Мир", w);
    EXPECT_EQ("Мир", Utf8(w));
  }
}

// ---- CStringArray ----------------------------------------------------------------------

TEST(CStringArrayTest, GrowsInsertsAndRemovesWithinBounds) {
  CStringArray a;
  EXPECT_EQ(-1, a.GetUpperBound());
  EXPECT_EQ(0, a.Add(L"один"));
  EXPECT_EQ(1, a.Add(L"три"));
  a.InsertAt(1, L"два");
  a.InsertAt(5, L"шесть");  // grows with empty strings
  ASSERT_EQ(6, a.GetSize());
  EXPECT_EQ(L"два", a[1]);
  EXPECT_TRUE(a[3].IsEmpty());
  EXPECT_EQ(L"шесть", a.GetAt(5));
  a.RemoveAt(3, 100);
  EXPECT_EQ(3, a.GetCount());
  a.RemoveAt(7);
  EXPECT_EQ(3, a.GetCount());
  EXPECT_THROW(a.GetAt(3), std::out_of_range);
  a.Append(a);
  EXPECT_EQ(6, a.GetSize());
  EXPECT_EQ(L"один", a[3]);
  a.SetSize(2);
  EXPECT_EQ(1, a.GetUpperBound());
  a.SetSize(-1);
  EXPECT_TRUE(a.IsEmpty());
}
