#pragma once
// The layer's driven clock for one test: TZ is UTC, so that local time is the
// time written, and QELM_CLOCK_FILE names a file below the test's root. The
// variable is removed when the object goes away. Programs the test starts
// inherit both through the environment.

#include <cstdint>
#include <string>

#include "tests/support/temp_root.h"

namespace testsupport {

class DrivenClock {
 public:
  // Starts at the given seconds since 1970 UTC.
  DrivenClock(const TempRoot& root, std::int64_t seconds);
  // Starts with no clock file: real time until the first Set.
  explicit DrivenClock(const TempRoot& root);
  ~DrivenClock();
  DrivenClock(const DrivenClock&) = delete;
  DrivenClock& operator=(const DrivenClock&) = delete;

  // Moves the clock; a failed write ends the test with a fatal failure.
  void Set(std::int64_t seconds, std::uint32_t nanoseconds = 0) const;
  const std::string& file() const { return file_; }

 private:
  std::string file_;
};

}  // namespace testsupport
