// Windows file masks as the rules' mask lists use them.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"

namespace {

struct MaskCase {
  const wchar_t* name;
  const wchar_t* pattern;
  bool matches;
};

// Test listings show the case in plain ASCII: letters and digits as they are,
// every other character as its hexadecimal code between underscores, so that
// no two cases share a name.
void PrintTo(const MaskCase& c, std::ostream* out) {
  auto plain = [](const wchar_t* text) {
    std::string result;
    for (; *text; ++text) {
      if (*text < 128 && std::isalnum(static_cast<int>(*text))) {
        result += static_cast<char>(*text);
      } else {
        char code[16];
        std::snprintf(code, sizeof code, "_%X_", static_cast<unsigned>(*text));
        result += code;
      }
    }
    return result;
  };
  *out << "name_" << plain(c.name) << "_pattern_" << plain(c.pattern) << (c.matches ? "_matches" : "_differs");
}

class MaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskTest, MatchesAsWindows) {
  const MaskCase& c = GetParam();
  EXPECT_EQ(PathMatchSpecW(c.name, c.pattern) != FALSE, c.matches)
      << testing::PrintToString(std::wstring(c.name)) << " against " << testing::PrintToString(std::wstring(c.pattern));
}

INSTANTIATE_TEST_SUITE_P(
    Masks, MaskTest,
    ::testing::Values(
        // '*' and '?'
        MaskCase{L"report.txt", L"*.txt", true}, MaskCase{L"report.txt", L"*.TXT", true},
        MaskCase{L"report.txt.p7s", L"*.txt", false}, MaskCase{L"report.txt", L"*", true},
        MaskCase{L"", L"*", true}, MaskCase{L"a", L"?", true}, MaskCase{L"", L"?", false},
        MaskCase{L"ab", L"?", false}, MaskCase{L"a.b", L"a?b", true}, MaskCase{L"doc1.xml", L"doc?.xml", true},
        MaskCase{L"doc12.xml", L"doc?.xml", false}, MaskCase{L"abcabd", L"*abd", true},
        MaskCase{L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", L"*a*a*a*a*a*a*a*a*a*c", false},
        MaskCase{L"x.tar.gz", L"*.*.gz", true}, MaskCase{L"x.gz", L"*.*.gz", false},
        // "*.*" matches every name, dot or not; other dotted masks need the dot
        MaskCase{L"README", L"*.*", true}, MaskCase{L".profile", L"*.*", true},
        MaskCase{L"README", L"*.", false}, MaskCase{L"README.", L"*.", true},
        // letter case, Cyrillic included
        MaskCase{L"Отчёт.DOC", L"отчёт.doc", true}, MaskCase{L"ПЛАТЁЖ_01.xml", L"платёж_??.XML", true},
        MaskCase{L"платеж.xml", L"платёж.xml", false},
        // lists separated by ';', blanks around each pattern ignored
        MaskCase{L"a.xml", L"*.txt;*.xml", true}, MaskCase{L"a.xml", L"*.txt ; *.xml ", true},
        MaskCase{L"a.doc", L"*.txt;*.xml", false}, MaskCase{L"a.doc", L";;", false},
        MaskCase{L"a.doc", L"", false}, MaskCase{L"a b.txt", L"a b.txt", true},
        // no path meaning for separators
        MaskCase{L"dir/a.txt", L"*.txt", true}, MaskCase{L"a\\b", L"a?b", true}));

TEST(Masks, NullArgumentsFailWithInvalidParameter) {
  SetLastError(0);
  EXPECT_FALSE(PathMatchSpecW(nullptr, L"*"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_FALSE(PathMatchSpecW(L"a", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
