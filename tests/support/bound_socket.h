#pragma once
// A Unix socket bound at a path (kept while the object lives), for tests of
// folders that hold more than files.

#include <filesystem>

namespace testsupport {

class BoundSocket {
 public:
  explicit BoundSocket(const std::filesystem::path& path);
  ~BoundSocket();
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

}  // namespace testsupport
