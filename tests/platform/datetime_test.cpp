// Time conversions (FILETIME, SYSTEMTIME, DOS date and time, local time) and
// the clock that tests drive through QELM_CLOCK_FILE.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "platform/datetime.h"
#include "platform/errors.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

namespace {

using platform::FileTimeFromTicks;
using platform::FileTimeTicks;

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
         a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

struct FileTimeCase {
  SYSTEMTIME time;  // wDayOfWeek holds the expected day of the week
  ULONGLONG ticks;
};

TEST(DateTime, SystemTimeAndFileTimeRoundTrip) {
  const FileTimeCase cases[] = {
      {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ULL},
      {{2000, 2, 2, 29, 23, 59, 59, 999}, 125963423999990000ULL},
      {{2024, 2, 4, 29, 13, 45, 31, 250}, 133536879312500000ULL},
      {{30827, 12, 5, 31, 23, 59, 59, 999}, 0x7FFF35F4F06C58F0ULL},
  };
  for (const FileTimeCase& c : cases) {
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.time, &ft)) << c.time.wYear;
    EXPECT_EQ(FileTimeTicks(ft), c.ticks) << c.time.wYear;
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_TRUE(SameTime(back, c.time)) << c.time.wYear;
    EXPECT_EQ(back.wDayOfWeek, c.time.wDayOfWeek) << c.time.wYear;
  }
}

TEST(DateTime, InvalidTimesAreRefused) {
  const SYSTEMTIME invalid[] = {
      {2024, 13, 0, 1, 0, 0, 0, 0},   {2024, 0, 0, 1, 0, 0, 0, 0},   {2024, 2, 0, 30, 0, 0, 0, 0},
      {2023, 2, 0, 29, 0, 0, 0, 0},   {1900, 2, 0, 29, 0, 0, 0, 0},  {1600, 12, 0, 31, 0, 0, 0, 0},
      {2024, 4, 0, 31, 0, 0, 0, 0},   {2024, 1, 0, 1, 24, 0, 0, 0},  {2024, 1, 0, 1, 0, 60, 0, 0},
      {2024, 1, 0, 1, 0, 0, 60, 0},   {2024, 1, 0, 1, 0, 0, 0, 1000}, {2024, 1, 0, 0, 0, 0, 0, 0},
  };
  for (const SYSTEMTIME& st : invalid) {
    FILETIME ft{};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  const FILETIME tooLarge = FileTimeFromTicks(0x8000000000000000ULL);
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SystemTimeToFileTime(nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(DateTime, TimespecConversionKeepsHundredNanoseconds) {
  struct timespec ts {1709214331, 250000099};
  const FILETIME ft = platform::FileTimeFromTimespec(ts);
  EXPECT_EQ(FileTimeTicks(ft), 133536879312500000ULL);
  const struct timespec back = platform::TimespecFromFileTime(ft);
  EXPECT_EQ(back.tv_sec, ts.tv_sec);
  EXPECT_EQ(back.tv_nsec, 250000000);
  struct timespec before1601 {-12000000000LL, 0};
  EXPECT_EQ(FileTimeTicks(platform::FileTimeFromTimespec(before1601)), 0u);
  const FILETIME a = FileTimeFromTicks(5), b = FileTimeFromTicks(7);
  EXPECT_EQ(CompareFileTime(&a, &b), -1);
  EXPECT_EQ(CompareFileTime(&b, &a), 1);
  EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

TEST(DateTime, DosDateTimeRoundTripsWithEvenSeconds) {
  SYSTEMTIME st{2024, 2, 0, 29, 13, 45, 31, 999};
  FILETIME ft{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
  EXPECT_EQ(date, (2024 - 1980) * 512 + 2 * 32 + 29);
  EXPECT_EQ(time, 13 * 2048 + 45 * 32 + 15) << "second 31 is written as 30";
  FILETIME back{};
  ASSERT_TRUE(DosDateTimeToFileTime(date, time, &back));
  SYSTEMTIME parts{};
  ASSERT_TRUE(FileTimeToSystemTime(&back, &parts));
  EXPECT_TRUE(SameTime(parts, SYSTEMTIME{2024, 2, 0, 29, 13, 45, 30, 0}));

  for (WORD year : {1980, 2107}) {
    SYSTEMTIME edge{year, 12, 0, 31, 23, 59, 58, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&edge, &ft));
    ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time)) << year;
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &back));
    EXPECT_EQ(FileTimeTicks(back), FileTimeTicks(ft)) << year;
  }
  for (WORD year : {1979, 2108}) {
    SYSTEMTIME outside{year, 6, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&outside, &ft));
    EXPECT_FALSE(FileTimeToDosDateTime(&ft, &date, &time)) << year;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST(DateTime, InvalidDosDatesAndTimesAreRefused) {
  const WORD goodDate = (2020 - 1980) * 512 + 5 * 32 + 17, goodTime = 10 * 2048;
  const struct {
    WORD date, time;
  } invalid[] = {
      {(2020 - 1980) * 512 + 0 * 32 + 1, goodTime},   // month 0
      {(2020 - 1980) * 512 + 13 * 32 + 1, goodTime},  // month 13
      {(2020 - 1980) * 512 + 5 * 32 + 0, goodTime},   // day 0
      {(2021 - 1980) * 512 + 2 * 32 + 29, goodTime},  // 29 February of a common year
      {goodDate, 24 * 2048},                          // hour 24
      {goodDate, 10 * 2048 + 60 * 32},                // minute 60
      {goodDate, 10 * 2048 + 30},                     // second 60
  };
  for (const auto& c : invalid) {
    FILETIME ft{};
    EXPECT_FALSE(DosDateTimeToFileTime(c.date, c.time, &ft)) << c.date << " " << c.time;
  }
  FILETIME ft{};
  EXPECT_TRUE(DosDateTimeToFileTime(goodDate, goodTime, &ft));
}

// Sets TZ for one test and restores it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_)
      setenv("TZ", saved_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

FILETIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute = 0) {
  SYSTEMTIME st{year, month, 0, day, hour, minute, 0, 0};
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

TEST(DateTime, LocalTimeUsesTheOffsetOfThatMoment) {
  // Central European rules as a POSIX TZ string, so no time-zone database is needed.
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const struct {
    FILETIME utc, local;
  } cases[] = {
      {At(2024, 1, 15, 12), At(2024, 1, 15, 13)},    // winter: +1
      {At(2024, 7, 15, 12), At(2024, 7, 15, 14)},    // summer: +2
      {At(2024, 12, 31, 23, 30), At(2025, 1, 1, 0, 30)},
  };
  for (const auto& c : cases) {
    FILETIME local{}, back{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&c.utc, &local));
    EXPECT_EQ(FileTimeTicks(local), FileTimeTicks(c.local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(FileTimeTicks(back), FileTimeTicks(c.utc));
  }
  // Sub-second parts survive both ways.
  const FILETIME odd = FileTimeFromTicks(FileTimeTicks(At(2024, 3, 1, 8)) + 1234567);
  FILETIME local{}, back{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&odd, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
  EXPECT_EQ(FileTimeTicks(back), FileTimeTicks(odd));
}

// A clock file of a private root for one test, missing until it is set.
class DrivenClockTest : public ::testing::Test {
 protected:
  testsupport::TempRoot root_;
  testsupport::DrivenClock clock{root_};
};

constexpr std::int64_t k2026 = 1767225600;  // 2026-01-01 00:00:00 UTC

TEST_F(DrivenClockTest, WallClockAndTicksFollowTheFile) {
  ScopedTimeZone zone("MSK-3");
  clock.Set(k2026, 500000000);
  SYSTEMTIME utc{}, local{};
  GetSystemTime(&utc);
  GetLocalTime(&local);
  EXPECT_TRUE(SameTime(utc, SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 500}));
  EXPECT_TRUE(SameTime(local, SYSTEMTIME{2026, 1, 0, 1, 3, 0, 0, 500}));
  EXPECT_EQ(utc.wDayOfWeek, 4);
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  EXPECT_EQ(FileTimeTicks(ft), (k2026 + platform::kSecondsFrom1601To1970) * 10000000ULL + 5000000ULL);

  const ULONGLONG before = GetTickCount64();
  const DWORD before32 = GetTickCount();
  clock.Set(k2026 + 90, 500000000);
  EXPECT_EQ(GetTickCount64() - before, 90000u);
  EXPECT_EQ(GetTickCount() - before32, 90000u);

  // A text written by hand, with blanks and a short fraction, is read too.
  {
    std::FILE* f = std::fopen(clock.file().c_str(), "w");
    std::fputs(" 1767225600.25 \n", f);
    std::fclose(f);
  }
  GetSystemTime(&utc);
  EXPECT_EQ(utc.wMilliseconds, 250);
}

TEST_F(DrivenClockTest, MissingOrUnreadableFileMeansRealTime) {
  auto realNow = [] {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    return static_cast<std::int64_t>(FileTimeTicks(ft) / 10000000ULL) - platform::kSecondsFrom1601To1970;
  };
  EXPECT_NEAR(realNow(), std::time(nullptr), 5) << "no file yet";
  {
    std::FILE* f = std::fopen(clock.file().c_str(), "w");
    std::fputs("tomorrow\n", f);
    std::fclose(f);
  }
  EXPECT_NEAR(realNow(), std::time(nullptr), 5) << "unparsable file";
  clock.Set(k2026);
  EXPECT_EQ(realNow(), k2026);
}

TEST_F(DrivenClockTest, SleepEndsWhenTheClockHasMovedFarEnough) {
  clock.Set(k2026);
  const auto realStart = std::chrono::steady_clock::now();
  auto sleeper = std::async(std::launch::async, [] { Sleep(60000); });
  clock.Set(k2026 + 30);
  // A check that something does not happen needs a little real time.
  EXPECT_EQ(sleeper.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "half the time has passed";
  // Far enough even if the sleeper only began after the first step.
  clock.Set(k2026 + 100);
  sleeper.get();
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(20));
}

TEST_F(DrivenClockTest, StepsBackDoNotCountAndRemovalFallsBackToRealTime) {
  clock.Set(k2026 + 100);
  platform::ElapsedClock elapsed;
  clock.Set(k2026);  // set back by 100 s
  EXPECT_EQ(elapsed.ElapsedMilliseconds(), 0u);
  clock.Set(k2026 + 5);
  EXPECT_EQ(elapsed.ElapsedMilliseconds(), 5000u);
  std::filesystem::remove(clock.file());
  EXPECT_LT(elapsed.ElapsedMilliseconds(), 6000u) << "the switch to real time counts real time only";
}

}  // namespace
