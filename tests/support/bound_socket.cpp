#include "tests/support/bound_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

namespace testsupport {

BoundSocket::BoundSocket(const std::filesystem::path& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

BoundSocket::~BoundSocket() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace testsupport
