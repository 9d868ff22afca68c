#pragma once
// A private folder under /dev/shm, removed with everything in it when the
// object goes: another file system than the temporary root's, where one is
// there, for moves that must copy.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace testsupport {

class ShmFolder {
 public:
  ShmFolder() {
    char pattern[] = "/dev/shm/qelmtest-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ShmFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ShmFolder(const ShmFolder&) = delete;
  ShmFolder& operator=(const ShmFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  bool OnAnotherFileSystemThan(const std::filesystem::path& other) const {
    struct stat a {}, b {};
    return !path_.empty() && stat(path_.c_str(), &a) == 0 && stat(other.c_str(), &b) == 0 && a.st_dev != b.st_dev;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
