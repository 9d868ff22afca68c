// Revocation-list refresh: the due rule in whole minutes under a driven
// clock, the "LastCrlUpdate" entries it keeps and rewrites, and the text it
// hands to the journal.

#include "service/core/crl_refresh.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/qelm_api.h"
#include "common/registry_values.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "service/core/config_store.h"
#include "tests/support/driven_clock.h"
#include "tests/support/last_crl_update.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

constexpr long long kMinuteStart = 1796825100;  // a whole minute, 2026-12-09 14:05:00 UTC

class CrlRefreshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey().Create(HKEY_LOCAL_MACHINE, kServiceBaseKey), ERROR_SUCCESS);
    profile_.zcsProfiles = {L"A", L"Банк"};
    profile_.crlUpdatePeriod = {1, 2};
    ASSERT_EQ(ORLAX_InitMinimal(&context_), 0u);
  }
  void TearDown() override {
    ORLAX_Uninitialize(context_);
    unsetenv("QELM_TEST_FAIL");
  }

  void SetNow(long long seconds) { clock_.Set(seconds); }
  void LibraryAnswers(const char* code) {
    setenv("QELM_TEST_FAIL", (std::string("ORLAX_ControlEx=") + code).c_str(), 1);
  }
  void Store(const std::vector<CString>& entries) { testsupport::StoreLastCrlUpdate(entries); }
  std::vector<std::wstring> Stored() { return testsupport::StoredLastCrlUpdate(); }
  static std::wstring Entry(const wchar_t* name, long long seconds) {
    return testsupport::CrlUpdateEntry(name, seconds);
  }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_};
  ProfileRecord profile_;
  LibraryContext context_ = nullptr;
};

TEST(CrlDueRule, WholeMinutesAreCompared) {
  const long long last = kMinuteStart + 59;  // 59 seconds past its minute
  EXPECT_FALSE(CrlRefreshDue(last + 59 * 60, last, 1));
  EXPECT_TRUE(CrlRefreshDue(last + 59 * 60 + 1, last, 1));  // the 60th minute after its own begins
  EXPECT_FALSE(CrlRefreshDue(kMinuteStart + 2 * 3600 - 1, kMinuteStart, 2));
  EXPECT_TRUE(CrlRefreshDue(kMinuteStart + 2 * 3600, kMinuteStart, 2));
}

TEST_F(CrlRefreshTest, NotDueDoesNothingAndDueRefreshesAndRecordsTheTime) {
  const long long last = kMinuteStart + 59;
  Store({Entry(L"A", last).c_str()});
  LibraryAnswers("0xE0700001");  // tolerated: some lists loaded

  SetNow(last + 59 * 60);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 0, context_, text), 0u);
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"A", last)});

  SetNow(last + 59 * 60 + 1);
  EXPECT_EQ(RefreshCrls(profile_, 0, context_, text), CRL_REFRESHED);
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"A", last + 59 * 60 + 1)});
}

TEST_F(CrlRefreshTest, EntriesOfOtherNamesAndMalformedEntriesStayInTheirOrder) {
  const long long old = kMinuteStart - 10 * 3600;
  Store({L"a;;1", L"без разделителя", Entry(L"Банк", old).c_str(), L"Z;;5"});
  LibraryAnswers("0xE0700001");
  SetNow(kMinuteStart);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 0, context_, text), CRL_REFRESHED);  // "a" is not "A": due
  EXPECT_EQ(Stored(), (std::vector<std::wstring>{L"a;;1", L"без разделителя", Entry(L"Банк", old), L"Z;;5",
                                                 Entry(L"A", kMinuteStart)}));
}

TEST_F(CrlRefreshTest, LastOfTwoEntriesIsRewritten) {
  const long long old = kMinuteStart - 10 * 3600;
  Store({Entry(L"Банк", old).c_str(), L"X;;1", Entry(L"Банк", old + 1).c_str()});
  LibraryAnswers("0xE0700001");
  SetNow(kMinuteStart);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 1, context_, text), CRL_REFRESHED);
  EXPECT_EQ(Stored(), (std::vector<std::wstring>{Entry(L"Банк", old), L"X;;1", Entry(L"Банк", kMinuteStart)}));
}

TEST_F(CrlRefreshTest, SecondsBeyondThirtyTwoBitsAreRead) {
  // Stamped in 2100: a 32-bit reading would wrap and find the lists due.
  Store({Entry(L"A", 4102444800LL).c_str()});
  LibraryAnswers("0xE0700002");
  SetNow(kMinuteStart);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 0, context_, text), 0u);
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"A", 4102444800LL)});
}

TEST_F(CrlRefreshTest, FailureIsRecordedWithTheTimeAndKeepsTheStackWithoutALibraryText) {
  LibraryAnswers("0xE0700002");
  SetNow(kMinuteStart);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 0, context_, text), 0xE0700002u);
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"A", kMinuteStart)});
  // The library gave no message; its stack still reaches the journal.
  EXPECT_EQ(text.Find(L"Подключение к точке распространения САС.\r\n\r\nORLAX стек, ошибка номер 1"), 0)
      << platform::WideToMultiByte(text.str(), 65001);
}

// A real context whose certificates name no distribution point: the library
// has nothing to load, which counts as a refresh without any text.
TEST_F(CrlRefreshTest, RealContextWithNothingToLoadIsRefreshedWithoutText) {
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  const std::string pse = pki.Pse("user1").string();
  const std::string local = pki.local.string();
  InitParams params{};
  params.size = sizeof(InitParams);
  params.flags = ORLAX_INIT_NOT_USE_LDAP;
  params.pse = pse.c_str();
  params.local = local.c_str();
  LibraryContext context = nullptr;
  ASSERT_EQ(ORLAX_InitializeEx(1, &params, &context), 0u);
  SetNow(kMinuteStart);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 1, context, text), CRL_REFRESHED);
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"Банк", kMinuteStart)});
  ORLAX_Uninitialize(context);
}

TEST_F(CrlRefreshTest, MissingBaseKeyGivesTheRegistryCodeAndNamesTheKey) {
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceBaseKey), ERROR_SUCCESS);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceBaseKey);
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 0, context_, text), 2u);
  EXPECT_EQ(text, CString(L"Создание (открытие) ключа реестра HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice"));
}

TEST_F(CrlRefreshTest, IndexBeyondTheNamesDoesNothing) {
  CString text;
  EXPECT_EQ(RefreshCrls(profile_, 5, context_, text), 0u);
  EXPECT_TRUE(Stored().empty());
}

}  // namespace
