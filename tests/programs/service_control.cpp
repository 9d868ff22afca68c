// service_control start|stop|config|query SERVICE: one service call with just
// the right it needs, as a user other than the administrator would make it.
// Prints the Windows result code (0 on success) and exits 0.

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/services.h"
#include "platform/utf16.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_control start|stop|config|query SERVICE\n");
    return 2;
  }
  std::string command = argv[1];
  std::wstring name = platform::Utf8ToWide(argv[2]);
  DWORD right = command == "start"    ? SERVICE_START
                : command == "stop"   ? SERVICE_STOP
                : command == "config" ? SERVICE_CHANGE_CONFIG
                                      : SERVICE_QUERY_STATUS;
  DWORD code = 0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, name.c_str(), right) : nullptr;
  if (service == nullptr) {
    code = GetLastError();
  } else {
    BOOL ok = TRUE;
    SERVICE_STATUS status{};
    if (command == "start") ok = StartServiceW(service, 0, nullptr);
    if (command == "stop") ok = ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (command == "config")
      ok = ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr);
    if (command == "query") ok = QueryServiceStatus(service, &status);
    if (!ok) code = GetLastError();
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  std::printf("%u\n", code);
  return 0;
}
