#include "platform/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

namespace platform {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Who may hold a secret for this process: root, and the process's own user.
bool OwnerOnly(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & 077) == 0;
}

}  // namespace

DWORD ReadOwnerOnlyFile(const std::string& path, std::size_t maxSize, std::string& content) {
  content.clear();
  // Non-blocking for the open alone: a fifo planted under the name must not
  // hold the caller (it is refused below as not a regular file).
  Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : WinErrorFromErrno(errno);
  struct stat st{};
  if (fstat(file.get(), &st) != 0) return WinErrorFromErrno(errno);
  if (!OwnerOnly(st)) return ERROR_ACCESS_DENIED;
  if (static_cast<unsigned long long>(st.st_size) > maxSize) return ERROR_BUFFER_OVERFLOW;
  content.resize(maxSize + 1);
  std::size_t got = 0;
  while (got < content.size()) {
    const ssize_t n = read(file.get(), content.data() + got, content.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      content.clear();
      return WinErrorFromErrno(errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > maxSize) {
    content.clear();
    return ERROR_BUFFER_OVERFLOW;
  }
  content.resize(got);
  return 0;
}

}  // namespace platform
