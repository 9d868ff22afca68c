#include "tests/support/driven_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/datetime.h"

namespace testsupport {

DrivenClock::DrivenClock(const TempRoot& root) : file_((root.path() / "clock").string()) {
  setenv("TZ", "UTC", 1);
  tzset();
  setenv("QELM_CLOCK_FILE", file_.c_str(), 1);
}

DrivenClock::DrivenClock(const TempRoot& root, std::int64_t seconds) : DrivenClock(root) { Set(seconds); }

DrivenClock::~DrivenClock() { unsetenv("QELM_CLOCK_FILE"); }

void DrivenClock::Set(std::int64_t seconds, std::uint32_t nanoseconds) const {
  ASSERT_TRUE(platform::WriteClockFile(file_.c_str(), seconds, nanoseconds)) << file_;
}

}  // namespace testsupport
