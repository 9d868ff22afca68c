#include "common/error_description.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/library_error_stack.h"
#include "platform/messages.h"
#include "tests/support/temp_root.h"

namespace {

// The system table's own text of a code, as FormatMessageW gives it.
CString SystemText(DWORD code) {
  LPWSTR text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  CString result = length != 0 ? CString(text, static_cast<int>(length)) : CString();
  LocalFree(text);
  return result;
}

bool EndsClean(const CString& text) {
  if (text.IsEmpty()) return true;
  const wchar_t last = text[text.GetLength() - 1];
  return last != L'.' && last != L'\r' && last != L'\n';
}

TEST(ErrorDescriptionTest, DescribesEachKindOfCode) {
  testsupport::TempRoot root;
  const CString systemText2 = SystemText(2);
  ASSERT_TRUE(systemText2.GetLength() > 3 && systemText2.Right(3) == CString(L".\r\n"))
      << "the system table's texts end as Windows texts do";

  struct Case {
    DWORD code;
    CString expected;
  } cases[] = {
      {0xFFFFFFFF, L"Неправильный параметр"},
      {static_cast<DWORD>(-2), L"Неправильный параметр"},  // Base64: invalid character
      {static_cast<DWORD>(-7), L"Неправильный параметр"},  // Base64: invalid layout
      {0xFFFFFFF7, L"Неправильный параметр"},
      {0, L"Успешное выполнение"},  // code 0 takes the library's table, not the system's
      {2, systemText2.Left(systemText2.GetLength() - 3)},
      {0x01234567, L"Описание ошибки не найдено"},
      // The system's own codes take the library branch, which has no text
      // for them: the reporting code supplies the description.
      {0xE1718001, L"Описание ошибки не найдено"}  // ERR_SIGNER_NOT_LISTED,
  };
  for (const Case& c : cases) {
    const CString description = ErrorDescription(c.code, nullptr);
    EXPECT_EQ(description, c.expected) << std::hex << c.code;
    EXPECT_TRUE(EndsClean(description)) << std::hex << c.code;
  }
}

TEST(ErrorDescriptionTest, LibraryCodesTakeTheLibraryText) {
  char buffer[1024] = {};
  ASSERT_NE(ORLAX_GetErrorText(ORLAX_E_CERT_NOT_FOUND, buffer, sizeof buffer), nullptr);
  CString expected(buffer);
  expected.TrimRight(L".\r\n");
  EXPECT_EQ(ErrorDescription(ORLAX_E_CERT_NOT_FOUND, nullptr), expected);
}

TEST(ErrorDescriptionTest, MonitorFormHasNeitherTheLibraryBranchNorTheParameterRange) {
  const CString system0 = SystemText(0);
  ASSERT_FALSE(system0.IsEmpty());
  EXPECT_EQ(monitor::ErrorDescription(0), CString(system0).TrimRight(L".\r\n"));
  EXPECT_NE(monitor::ErrorDescription(0), ErrorDescription(0, nullptr));
  EXPECT_EQ(monitor::ErrorDescription(0xFFFFFFFF), CString(L"Описание ошибки не найдено"));
  EXPECT_EQ(monitor::ErrorDescription(5), ErrorDescription(5, nullptr));
}

// ---- the library's error stack ----

TEST(LibraryErrorStackTest, FormatsEntriesInBothLayouts) {
  const std::vector<LibraryErrorEntry> entries = {
      {"Сертификат не найден", "certs.cpp", 120, "CN=Иванов"},
      {"Ошибка поиска", "find.cpp", 7, ""},
  };
  EXPECT_EQ(FormatLibraryErrorEntries(entries),
            CString(L"ORLAX стек, ошибка номер 1 \r\nError: Сертификат не найден\r\n"
                    L"File: certs.cpp\r\nData: CN=Иванов\r\n"
                    L"ORLAX стек, ошибка номер 2 \r\nError: Ошибка поиска\r\n"
                    L"File: find.cpp\r\nData: \r\n"));
  EXPECT_EQ(LibraryErrorLineText(entries),
            CString(L"Сертификат не найден,\r\nфайл: certs.cpp, строка 120, данные: CN=Иванов.\r\n"
                    L"Ошибка поиска,\r\nфайл: find.cpp, строка 7, данные: .\r\n"));
  EXPECT_TRUE(FormatLibraryErrorEntries({}).IsEmpty());
}

// Sets an environment variable for the test's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

// A minimal library context on which every ORLAX_FindCert fails with
// ORLAX_E_CERT_NOT_FOUND and leaves one line on the context's stack.
class FailingLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ORLAX_InitMinimal(&context_), 0u); }
  void TearDown() override {
    if (context_ != nullptr) ORLAX_Uninitialize(context_);
  }
  void FailFindCert(int times) {
    for (int i = 0; i < times; ++i) {
      CertQuery query{};
      FindResult result{};
      ASSERT_EQ(ORLAX_FindCert(context_, &query, &result), ORLAX_E_CERT_NOT_FOUND);
      ORLAX_FreeFindResult(context_, &result);
    }
  }

  testsupport::TempRoot root_;
  ScopedEnv fail_{"QELM_TEST_FAIL", "ORLAX_FindCert=0xE0700046"};
  LibraryContext context_ = nullptr;
};

TEST_F(FailingLibraryTest, StackTextNumbersEachLineAndDrainsTheStack) {
  FailFindCert(2);
  const CString text = FormatLibraryErrorStack(context_);
  EXPECT_EQ(text.Find(L"ORLAX стек, ошибка номер 1 \r\nError: Отказ по заданию теста\r\nFile: "), 0);
  EXPECT_GT(text.Find(L"\r\nORLAX стек, ошибка номер 2 \r\nError: Отказ по заданию теста\r\n"), 0);
  EXPECT_EQ(text.Right(2), CString(L"\r\n"));
  EXPECT_TRUE(FormatLibraryErrorStack(context_).IsEmpty()) << "read once, the stack is empty";
}

TEST_F(FailingLibraryTest, LibraryCodeDescriptionCarriesTheContextsLines) {
  // The same failures twice: the first stack shows what the second holds.
  FailFindCert(2);
  const std::vector<LibraryErrorEntry> entries = ReadLibraryErrorEntries(context_, context_);
  ASSERT_EQ(entries.size(), 2u);
  FailFindCert(2);

  char buffer[1024] = {};
  ASSERT_NE(ORLAX_GetErrorText(ORLAX_E_CERT_NOT_FOUND, buffer, sizeof buffer), nullptr);
  CString expected(buffer);
  expected.TrimRight(L".\r\n");
  expected += L"\r\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    CString line;
    line.Format(L"%s,\r\nфайл: %s, строка %d, данные: %s", CString(entries[i].text),
                CString(entries[i].file), static_cast<int>(entries[i].line),
                CString(entries[i].data));
    expected += line;
    if (i + 1 < entries.size()) expected += L".\r\n";  // the last line loses its ".\r\n"
  }
  EXPECT_EQ(ErrorDescription(ORLAX_E_CERT_NOT_FOUND, context_), expected);
  EXPECT_TRUE(FormatLibraryErrorStack(context_).IsEmpty());
}

TEST_F(FailingLibraryTest, DescriptionWithoutContextLeavesTheStackAlone) {
  FailFindCert(1);
  CString text(L"x");
  LibraryErrorLines(nullptr, text);
  EXPECT_EQ(text, CString(L"x"));
  ErrorDescription(ORLAX_E_CERT_NOT_FOUND, nullptr);
  EXPECT_FALSE(FormatLibraryErrorStack(context_).IsEmpty());
}

TEST_F(FailingLibraryTest, EmptyStackAddsNothingAfterTrimming) {
  char buffer[1024] = {};
  ASSERT_NE(ORLAX_GetErrorText(ORLAX_E_CERT_NOT_FOUND, buffer, sizeof buffer), nullptr);
  CString expected(buffer);
  expected.TrimRight(L".\r\n");
  EXPECT_EQ(ErrorDescription(ORLAX_E_CERT_NOT_FOUND, context_), expected);
}

}  // namespace
