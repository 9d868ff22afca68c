// The "LastCrlUpdate" entries as both programs read and rewrite them.

#include "common/crl_schedule.h"

#include <gtest/gtest.h>

namespace {

CStringArray Entries(std::initializer_list<const wchar_t*> items) {
  CStringArray list;
  for (const wchar_t* item : items) list.Add(item);
  return list;
}

TEST(CrlSchedule, MatchingEntriesDecideWhetherListsAreDue) {
  const long long now = 1796825100;  // a whole minute
  const struct {
    std::initializer_list<const wchar_t*> entries;
    bool due;
  } cases[] = {
      {{}, true},                                        // never refreshed
      {{L"Другой;;1796825100"}, true},                   // another profile's entry
      {{L"Банк;;1796825100"}, false},                    // just now
      {{L"банк;;1796825100"}, true},                     // names compare exactly
      {{L"Банк;;1796821500"}, true},                     // an hour ago
      {{L"Банк;;1796821500", L"Банк;;1796825000"}, false},  // one recent attempt holds them back
      {{L"Банк"}, true},                                 // no seconds: not an entry
      {{L"Банк;;junk"}, true},                           // seconds 0
      {{L"Банк;; 99999999999"}, false},                  // past 2038 and far ahead
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CrlRefreshDueFor(Entries(c.entries), L"Банк", now, 1), c.due)
        << (c.entries.size() > 0 ? CStringA(*c.entries.begin()).GetString() : "(none)");
  }
}

TEST(CrlSchedule, RecordingReplacesTheLastEntryOfTheNameOrAppends) {
  CStringArray entries = Entries({L"Банк;;1", L"Другой;;2", L"Банк;;3", L"Третий"});
  RecordCrlRefresh(entries, L"Банк", 5000000000LL);
  ASSERT_EQ(entries.GetSize(), 4);
  EXPECT_EQ(entries[0], CString(L"Банк;;1"));
  EXPECT_EQ(entries[2], CString(L"Банк;;5000000000"));
  EXPECT_EQ(entries[3], CString(L"Третий"));
  RecordCrlRefresh(entries, L"Третий", 7);  // its entry has no seconds: a new one is added
  ASSERT_EQ(entries.GetSize(), 5);
  EXPECT_EQ(entries[4], CString(L"Третий;;7"));
}

}  // namespace
