#pragma once
// Lowers the process's file-size limit, so that a write past it fails as on a
// full disk (SIGXFSZ ignored: the write returns EFBIG). The previous limit and
// signal handling are restored afterwards.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace testsupport {

// The limit for as long as the object lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved_), 0);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

// Runs a step under the limit and gives back its result.
template <typename Step>
auto WithFileSizeLimit(rlim_t bytes, Step step) {
  FileSizeLimit limit(bytes);
  return step();
}

}  // namespace testsupport
