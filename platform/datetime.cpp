#include "platform/datetime.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/errors.h"

namespace platform {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint64_t kMaxFileTimeTicks = 0x7FFFFFFFFFFFFFFFULL;

// Days from 1970-01-01 to the given proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

std::int64_t MonotonicNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

std::int64_t RealWallNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

#if defined(QELM_TEST_HOOKS)
// Parses "seconds[.fraction]" with blanks around it.
bool ParseClockText(const char* text, std::int64_t& ns) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  if (*p < '0' || *p > '9') return false;
  std::int64_t seconds = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (seconds > 9'000'000'000LL) return false;  // far past any FILETIME
    seconds = seconds * 10 + (*p - '0');
  }
  std::int64_t fraction = 0;
  if (*p == '.') {
    ++p;
    std::int64_t scale = kNsPerSecond / 10;
    for (; *p >= '0' && *p <= '9'; ++p) {
      fraction += (*p - '0') * scale;
      scale /= 10;
    }
  }
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  if (*p != '\0') return false;
  ns = seconds * kNsPerSecond + fraction;
  if (negative) ns = -ns;
  return true;
}

// One reading of the clock file. A writer that does not replace the file
// atomically can leave it empty for a moment, so an unparsable file is read
// again a few times before it counts as absent.
bool ReadDrivenClock(std::int64_t& ns) {
  const char* path = std::getenv("QELM_CLOCK_FILE");
  if (path == nullptr || *path == '\0') return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[64];
    ssize_t n;
    do {
      n = read(fd, buffer, sizeof buffer - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n > 0) {
      buffer[n] = '\0';
      if (ParseClockText(buffer, ns)) return true;
    }
    struct timespec pause {0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  return false;
}
#else
// A build to be installed has no driven clock.
bool ReadDrivenClock(std::int64_t&) { return false; }
#endif

std::int64_t WallNs(bool* fromFile = nullptr) {
  std::int64_t ns;
  bool driven = ReadDrivenClock(ns);
  if (fromFile) *fromFile = driven;
  return driven ? ns : RealWallNs();
}

bool TicksToSystemTime(std::uint64_t ticks, SYSTEMTIME& out) {
  if (ticks > kMaxFileTimeTicks) return false;
  const std::int64_t totalMs = static_cast<std::int64_t>(ticks / 10'000);
  const std::int64_t msPerDay = 86'400'000;
  std::int64_t days = totalMs / msPerDay;
  std::int64_t msOfDay = totalMs % msPerDay;
  // Day 0 of FILETIME is 1601-01-01, a Monday.
  std::int64_t year;
  unsigned month, day;
  CivilFromDays(days + DaysFromCivil(1601, 1, 1), year, month, day);
  if (year > 30827) return false;
  out.wYear = static_cast<WORD>(year);
  out.wMonth = static_cast<WORD>(month);
  out.wDay = static_cast<WORD>(day);
  out.wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  out.wHour = static_cast<WORD>(msOfDay / 3'600'000);
  out.wMinute = static_cast<WORD>(msOfDay / 60'000 % 60);
  out.wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
  out.wMilliseconds = static_cast<WORD>(msOfDay % 1000);
  return true;
}

bool SystemTimeToTicks(const SYSTEMTIME& st, std::uint64_t& ticks) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999)
    return false;
  const std::int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - DaysFromCivil(1601, 1, 1);
  const std::int64_t seconds = days * 86400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  ticks = static_cast<std::uint64_t>(seconds * kTicksPerSecond + st.wMilliseconds * 10'000LL);
  return true;
}

std::uint64_t TicksFromWallNs(std::int64_t ns) {
  struct timespec ts;
  ts.tv_sec = ns / kNsPerSecond;
  ts.tv_nsec = ns % kNsPerSecond;
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += kNsPerSecond;
    ts.tv_sec -= 1;
  }
  return FileTimeTicks(FileTimeFromTimespec(ts));
}

}  // namespace

std::uint64_t FileTimeTicks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FileTimeFromTicks(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

FILETIME FileTimeFromTimespec(const struct timespec& time) {
  const std::int64_t seconds = static_cast<std::int64_t>(time.tv_sec) + kSecondsFrom1601To1970;
  if (seconds < 0) return FILETIME{0, 0};
  if (seconds >= static_cast<std::int64_t>(kMaxFileTimeTicks / kTicksPerSecond))
    return FileTimeFromTicks(kMaxFileTimeTicks);
  return FileTimeFromTicks(static_cast<std::uint64_t>(seconds) * kTicksPerSecond +
                           static_cast<std::uint64_t>(time.tv_nsec) / 100);
}

struct timespec TimespecFromFileTime(const FILETIME& time) {
  const std::uint64_t ticks = FileTimeTicks(time);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970);
  ts.tv_nsec = static_cast<long>(ticks % kTicksPerSecond) * 100;
  return ts;
}

struct timespec WallClockNow() {
  const std::int64_t ns = WallNs();
  struct timespec ts;
  ts.tv_sec = ns / kNsPerSecond;
  ts.tv_nsec = ns % kNsPerSecond;
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += kNsPerSecond;
    ts.tv_sec -= 1;
  }
  return ts;
}

bool DrivenClockConfigured() {
#if defined(QELM_TEST_HOOKS)
  const char* path = std::getenv("QELM_CLOCK_FILE");
  return path != nullptr && *path != '\0';
#else
  return false;
#endif
}

bool WriteClockFile(const char* path, std::int64_t seconds, std::uint32_t nanoseconds) {
  if (path == nullptr || nanoseconds >= kNsPerSecond) return false;
  std::string temporary = std::string(path) + ".writing." + std::to_string(getpid());
  char text[64];
  int length = std::snprintf(text, sizeof text, "%lld.%09u\n", static_cast<long long>(seconds), nanoseconds);
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, text, static_cast<size_t>(length)) == length;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temporary.c_str(), path) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

ElapsedClock::ElapsedClock() : driven_(DrivenClockConfigured()) {
  lastRealNs_ = MonotonicNs();
  lastWallNs_ = driven_ ? WallNs(&lastFromFile_) : 0;
  if (!driven_) lastFromFile_ = false;
}

std::uint64_t ElapsedClock::ElapsedMilliseconds() {
  const std::int64_t realNow = MonotonicNs();
  std::int64_t step;
  if (driven_) {
    bool fromFile = false;
    const std::int64_t wallNow = WallNs(&fromFile);
    step = fromFile && lastFromFile_ ? wallNow - lastWallNs_ : realNow - lastRealNs_;
    lastWallNs_ = wallNow;
    lastFromFile_ = fromFile;
  } else {
    step = realNow - lastRealNs_;
  }
  lastRealNs_ = realNow;
  if (step > 0) elapsedNs_ += static_cast<std::uint64_t>(step);
  return elapsedNs_ / 1'000'000;
}

}  // namespace platform

using platform::FileTimeFromTicks;
using platform::FileTimeTicks;

void GetSystemTimeAsFileTime(LPFILETIME time) {
  if (time == nullptr) return;
  *time = FileTimeFromTicks(platform::TicksFromWallNs(platform::WallNs()));
}

void GetSystemTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  platform::TicksToSystemTime(platform::TicksFromWallNs(platform::WallNs()), *time);
}

void GetLocalTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  FILETIME utc = FileTimeFromTicks(platform::TicksFromWallNs(platform::WallNs()));
  FILETIME local;
  if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
  platform::TicksToSystemTime(FileTimeTicks(local), *time);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
  std::uint64_t ticks;
  if (systemTime == nullptr || fileTime == nullptr || !platform::SystemTimeToTicks(*systemTime, ticks)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *fileTime = FileTimeFromTicks(ticks);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  if (fileTime == nullptr || systemTime == nullptr ||
      !platform::TicksToSystemTime(FileTimeTicks(*fileTime), *systemTime)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime) {
  if (fileTime == nullptr || localFileTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks = FileTimeTicks(*fileTime);
  time_t seconds = static_cast<time_t>(static_cast<std::int64_t>(ticks / platform::kTicksPerSecond) -
                                       platform::kSecondsFrom1601To1970);
  tzset();
  struct tm parts {};
  if (localtime_r(&seconds, &parts) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::int64_t shifted = static_cast<std::int64_t>(ticks) + parts.tm_gmtoff * platform::kTicksPerSecond;
  if (shifted < 0 || static_cast<std::uint64_t>(shifted) > platform::kMaxFileTimeTicks) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *localFileTime = FileTimeFromTicks(static_cast<std::uint64_t>(shifted));
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, LPFILETIME fileTime) {
  if (localFileTime == nullptr || fileTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks = FileTimeTicks(*localFileTime);
  const std::uint64_t fraction = ticks % platform::kTicksPerSecond;
  time_t localSeconds = static_cast<time_t>(static_cast<std::int64_t>(ticks / platform::kTicksPerSecond) -
                                            platform::kSecondsFrom1601To1970);
  struct tm parts {};
  if (gmtime_r(&localSeconds, &parts) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tzset();
  parts.tm_isdst = -1;
  const time_t utcSeconds = mktime(&parts);
  const std::int64_t shifted = (static_cast<std::int64_t>(utcSeconds) + platform::kSecondsFrom1601To1970) *
                                   platform::kTicksPerSecond +
                               static_cast<std::int64_t>(fraction);
  if (shifted < 0 || static_cast<std::uint64_t>(shifted) > platform::kMaxFileTimeTicks) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *fileTime = FileTimeFromTicks(static_cast<std::uint64_t>(shifted));
  return TRUE;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
  const std::uint64_t a = first ? FileTimeTicks(*first) : 0;
  const std::uint64_t b = second ? FileTimeTicks(*second) : 0;
  return a < b ? -1 : (a > b ? 1 : 0);
}

BOOL FileTimeToDosDateTime(const FILETIME* fileTime, WORD* fatDate, WORD* fatTime) {
  SYSTEMTIME st;
  if (fileTime == nullptr || fatDate == nullptr || fatTime == nullptr ||
      !platform::TicksToSystemTime(FileTimeTicks(*fileTime), st) || st.wYear < 1980 || st.wYear > 2107) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *fatDate = static_cast<WORD>((st.wYear - 1980) * 512 + st.wMonth * 32 + st.wDay);
  *fatTime = static_cast<WORD>(st.wHour * 2048 + st.wMinute * 32 + st.wSecond / 2);
  return TRUE;
}

BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, LPFILETIME fileTime) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(fatDate / 512 + 1980);
  st.wMonth = static_cast<WORD>(fatDate / 32 % 16);
  st.wDay = static_cast<WORD>(fatDate % 32);
  st.wHour = static_cast<WORD>(fatTime / 2048);
  st.wMinute = static_cast<WORD>(fatTime / 32 % 64);
  st.wSecond = static_cast<WORD>(2 * (fatTime % 32));
  std::uint64_t ticks;
  if (fileTime == nullptr || !platform::SystemTimeToTicks(st, ticks)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *fileTime = FileTimeFromTicks(ticks);
  return TRUE;
}

ULONGLONG GetTickCount64() {
  std::int64_t ns;
  if (platform::ReadDrivenClock(ns)) return ns < 0 ? 0 : static_cast<ULONGLONG>(ns / 1'000'000);
  return static_cast<ULONGLONG>(platform::MonotonicNs() / 1'000'000);
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  if (milliseconds == 0xFFFFFFFFu) {
    for (;;) pause();
  }
  if (platform::DrivenClockConfigured()) {
    platform::ElapsedClock clock;
    while (clock.ElapsedMilliseconds() < milliseconds) {
      struct timespec step {0, platform::kDrivenClockPollMilliseconds * 1'000'000L};
      nanosleep(&step, nullptr);
    }
    return;
  }
  struct timespec remaining {static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1'000'000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
