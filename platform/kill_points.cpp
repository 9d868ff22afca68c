#include "platform/kill_points.h"

#if defined(QELM_TEST_HOOKS)
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#endif

void platform::KillPoint([[maybe_unused]] const char* step) {
#if defined(QELM_TEST_HOOKS)
  const char* wanted = std::getenv("QELM_TEST_KILL");
  if (wanted == nullptr || *wanted == '\0') return;
  const std::string text(wanted);
  const std::string::size_type colon = text.find(':');
  if (text.compare(0, colon, step) != 0) return;
  const long at = colon == std::string::npos ? 1 : std::strtol(text.c_str() + colon + 1, nullptr, 10);
  // One count for the process: the step is named in the variable alone.
  static std::atomic<long> reached{0};
  if (++reached >= at) kill(getpid(), SIGKILL);
#endif
}

unsigned long platform::FailPoint([[maybe_unused]] const char* step) {
#if defined(QELM_TEST_HOOKS)
  const char* wanted = std::getenv("QELM_TEST_FAIL_STEP");
  if (wanted == nullptr || *wanted == '\0') return 0;
  const std::string text(wanted);
  const std::string::size_type equals = text.find('=');
  if (equals == std::string::npos || text.compare(0, equals, step) != 0) return 0;
  return std::strtoul(text.c_str() + equals + 1, nullptr, 0);
#else
  return 0;
#endif
}
