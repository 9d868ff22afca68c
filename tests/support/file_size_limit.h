#pragma once
// Runs a step with the process's file-size limit lowered, so that a write
// past it fails as on a full disk (SIGXFSZ ignored: the write returns EFBIG).
// The previous limit and signal handling are restored afterwards.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace testsupport {

template <typename Step>
auto WithFileSizeLimit(rlim_t bytes, Step step) {
  rlimit saved{};
  EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = bytes;
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  auto result = step();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  return result;
}

}  // namespace testsupport
