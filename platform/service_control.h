#pragma once
// The control channel of a running service: a local stream socket in the
// manager's own folder, which only root can write, so that only the
// service's own process listens on it. A user other than the administrator
// cannot signal a service that runs as root; they ask it here instead, and
// the service decides by the caller's credentials as the kernel gives them
// (SO_PEERCRED), never by anything the caller says about itself.
//
// A request is one 32-bit control code; the answer one 32-bit Windows code
// (0 when the control is taken).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/windows_types.h"

namespace platform {

// The service side: listens while it lives, and removes its socket at the end.
class ServiceControlChannel {
 public:
  // Decides a caller's request: its user id and the control; returns the
  // answer's code.
  using Decide = std::function<DWORD(std::uint32_t uid, DWORD control)>;

  // Binds the socket (any one a dead process left is replaced) and lets every
  // user connect. Listening() is false when that is not possible.
  explicit ServiceControlChannel(std::string socketPath);
  ~ServiceControlChannel();
  ServiceControlChannel(const ServiceControlChannel&) = delete;
  ServiceControlChannel& operator=(const ServiceControlChannel&) = delete;

  bool Listening() const { return listener_ >= 0; }
  // The descriptors to wait on for reading: the listener and the callers
  // that have not yet sent their request.
  std::vector<int> Descriptors() const;
  // With those of them that are ready: takes new callers and the requests
  // that arrived (a caller that sends nothing never holds the service),
  // answers each with decide's code, and returns the controls that were
  // taken, in order.
  std::vector<DWORD> Serve(const std::vector<int>& ready, const Decide& decide);

 private:
  void Accept();
  void Answer(int fd, const Decide& decide, std::vector<DWORD>& taken);

  std::string path_;
  int listener_ = -1;
  std::vector<int> callers_;
};

// The caller's side: sends one control to the service listening on the
// socket and returns its answer, or 1061 when no service listens there, 1053
// when it does not answer in time, or another Windows code.
DWORD SendServiceControl(const std::string& socketPath, DWORD control);

}  // namespace platform
