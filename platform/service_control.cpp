#include "platform/service_control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/errors.h"

namespace platform {
namespace {

// Callers waiting to send their request; the oldest makes room for a new one.
constexpr std::size_t kMaxWaitingCallers = 16;
// How long a caller waits for the answer: the service manager's own limit.
constexpr int kAnswerTimeoutMs = 30000;

class Socket {
 public:
  Socket() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool SocketAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool SendAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ServiceControlChannel::ServiceControlChannel(std::string socketPath) : path_(std::move(socketPath)) {
  sockaddr_un address{};
  if (!SocketAddress(path_, address)) return;
  Socket listener;
  if (listener.get() < 0) return;
  unlink(path_.c_str());
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return;
  // Connecting needs write permission on the socket: every user may ask, and
  // the answer depends on who asks.
  if (chmod(path_.c_str(), 0666) != 0 || listen(listener.get(), 16) != 0) {
    unlink(path_.c_str());
    return;
  }
  listener_ = listener.release();
}

ServiceControlChannel::~ServiceControlChannel() {
  for (int fd : callers_) close(fd);
  if (listener_ >= 0) {
    close(listener_);
    unlink(path_.c_str());
  }
}

std::vector<int> ServiceControlChannel::Descriptors() const {
  std::vector<int> fds;
  if (listener_ < 0) return fds;
  fds.push_back(listener_);
  fds.insert(fds.end(), callers_.begin(), callers_.end());
  return fds;
}

void ServiceControlChannel::Accept() {
  const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  if (callers_.size() >= kMaxWaitingCallers) {
    close(callers_.front());
    callers_.erase(callers_.begin());
  }
  callers_.push_back(fd);
}

void ServiceControlChannel::Answer(int fd, const Decide& decide, std::vector<DWORD>& taken) {
  std::uint32_t control = 0;
  const ssize_t n = recv(fd, &control, sizeof(control), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;  // not yet: stays waiting
  if (n == static_cast<ssize_t>(sizeof(control))) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    std::uint32_t answer = ERROR_ACCESS_DENIED;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && size == sizeof(credentials))
      answer = decide(credentials.uid, control);
    if (SendAll(fd, &answer, sizeof(answer)) && answer == 0) taken.push_back(control);
  }
  close(fd);
  std::erase(callers_, fd);
}

std::vector<DWORD> ServiceControlChannel::Serve(const std::vector<int>& ready, const Decide& decide) {
  std::vector<DWORD> taken;
  if (listener_ < 0) return taken;
  bool incoming = false;
  for (int fd : ready) {
    if (fd == listener_) incoming = true;
    else if (std::find(callers_.begin(), callers_.end(), fd) != callers_.end()) Answer(fd, decide, taken);
  }
  if (incoming) Accept();
  return taken;
}

DWORD SendServiceControl(const std::string& socketPath, DWORD control) {
  sockaddr_un address{};
  if (!SocketAddress(socketPath, address)) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  Socket caller;
  if (caller.get() < 0) return WinErrorFromErrno(errno);
  if (connect(caller.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int err = errno;
    return err == ENOENT || err == ECONNREFUSED ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL : WinErrorFromErrno(err);
  }
  const std::uint32_t request = control;
  if (!SendAll(caller.get(), &request, sizeof(request))) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  pollfd wait{caller.get(), POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&wait, 1, kAnswerTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
  std::uint32_t answer = 0;
  const ssize_t n = recv(caller.get(), &answer, sizeof(answer), MSG_WAITALL);
  if (n != static_cast<ssize_t>(sizeof(answer))) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  return answer;
}

}  // namespace platform
