#pragma once
// Time: the Windows clock and conversion calls, and the layer's own clock
// that tests can drive.
//
// The driven clock (not a Windows facility), a test hook that exists only in
// a build with QELM_TEST_HOOKS (the tests' build; never one to install). When
// the environment variable QELM_CLOCK_FILE names a file, the layer's wall clock reads it: one text line
// holding seconds since 1970-01-01 UTC, optionally with a fraction
// ("1767225600" or "1767225600.250"). GetLocalTime, GetSystemTime,
// GetSystemTimeAsFileTime, GetTickCount(64), Sleep and the time-outs of
// WaitForSingleObject/WaitForMultipleObjects all count in that clock, so a test
// can move the time of a running program by rewriting the file: waiting calls
// look at it every few milliseconds. A missing, empty or unreadable file means
// real time. Writers should replace the file atomically (WriteClockFile does)
// so a reader never meets half a line. Ticks under the driven clock are its
// milliseconds since 1970, so only differences between ticks are meaningful,
// as on Windows.
//
// Local time is that of the process's TZ. Conversions between local and UTC
// use the zone's rules for the moment converted (Windows uses today's offset
// for every moment, which is an hour off for times of the other daylight
// saving season).
//
// Every call may be made from any thread.

#include <cstdint>
#include <ctime>

#include "platform/windows_types.h"

// Current time, in the driven clock when there is one.
void GetLocalTime(LPSYSTEMTIME time);
void GetSystemTime(LPSYSTEMTIME time);
void GetSystemTimeAsFileTime(LPFILETIME time);

// FALSE with 87 for a null argument or a field out of range (year 1601..30827,
// month 1..12, a day that the month has, hour < 24, minute < 60, second < 60,
// milliseconds < 1000). wDayOfWeek is ignored on input.
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
// FALSE with 87 for a null argument or a value above 0x7FFFFFFFFFFFFFFF.
// Fills wDayOfWeek (0 = Sunday).
BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
// UTC to local and back, with the zone's offset for that moment. A local time
// that the zone skips (spring forward) or repeats (fall back) is taken as the
// C library's mktime takes it. FALSE with 87 for a null argument or a result
// outside the FILETIME range.
BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, LPFILETIME fileTime);
// -1, 0 or 1. A null argument counts as the smallest time.
LONG CompareFileTime(const FILETIME* first, const FILETIME* second);

// MS-DOS date and time, as ZIP stores them: date = (year - 1980) * 512 +
// month * 32 + day, time = hour * 2048 + minute * 32 + second / 2. The FILETIME
// is taken as it is (callers convert to local time first). FALSE with 87 for a
// null argument or a year outside 1980..2107; an odd second is rounded down.
BOOL FileTimeToDosDateTime(const FILETIME* fileTime, WORD* fatDate, WORD* fatTime);
// FALSE with 87 for a null argument or a date or time that is not a valid
// moment (month 0 or above 12, day 0 or past the month's end, hour above 23,
// minute above 59, second above 58).
BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, LPFILETIME fileTime);

// Milliseconds of a monotonic clock (since boot), or of the driven clock.
// GetTickCount wraps after 49.7 days, as on Windows.
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// Sleeps for the given milliseconds of the layer's clock; INFINITE (0xFFFFFFFF)
// never returns; 0 gives up the rest of the time slice.
void Sleep(DWORD milliseconds);

namespace platform {

// FILETIME ticks (100 ns since 1601-01-01 UTC) and POSIX time. Times before
// 1601 become 0; times past the FILETIME range become its largest value.
std::uint64_t FileTimeTicks(const FILETIME& time);
FILETIME FileTimeFromTicks(std::uint64_t ticks);
FILETIME FileTimeFromTimespec(const struct timespec& time);
struct timespec TimespecFromFileTime(const FILETIME& time);

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;

// The layer's wall clock: the driven clock when QELM_CLOCK_FILE names a
// readable file, else the real time.
struct timespec WallClockNow();

// TRUE when QELM_CLOCK_FILE is set: waits then poll the clock instead of
// blocking until a real-time deadline.
bool DrivenClockConfigured();

// How often a waiting call looks at the driven clock, in real milliseconds.
inline constexpr int kDrivenClockPollMilliseconds = 3;

// Writes a driven clock file atomically (a temporary file renamed over it):
// seconds since 1970 UTC plus nanoseconds. TRUE on success. For tests and
// tools; the layer itself only reads the file.
bool WriteClockFile(const char* path, std::int64_t seconds, std::uint32_t nanoseconds = 0);

// Measures elapsed milliseconds of the layer's clock for time-outs. Under the
// driven clock it adds up the clock's forward steps (a step back counts as 0,
// and a switch between driven and real time counts the real time between the
// two readings), so a waiting call neither ends early nor hangs when a test
// rewrites or removes the file.
class ElapsedClock {
 public:
  ElapsedClock();
  // Milliseconds since construction; reads the clock.
  std::uint64_t ElapsedMilliseconds();

 private:
  bool driven_;
  bool lastFromFile_;
  std::int64_t lastWallNs_;    // last reading of the layer's wall clock
  std::int64_t lastRealNs_;    // monotonic reading taken with it
  std::uint64_t elapsedNs_ = 0;
};

}  // namespace platform
