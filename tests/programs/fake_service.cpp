// A minimal service for the service manager's tests. It reports running,
// writes its start arguments to $QELM_ROOT/fake_service.args and its whole
// environment (one assignment a line) to $QELM_ROOT/fake_service.env, waits for the
// stop request and reports stopped with the exit code named by the
// environment variable FAKE_SERVICE_EXIT (default 0). With FAKE_SERVICE_HANDLER_EX
// set it registers the handler form with a context, the stop event's holder,
// and ends the handler's calls before that goes.

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/services.h"
#include "platform/sync.h"
#include "platform/utf16.h"

extern char** environ;

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void Report(DWORD state, DWORD specific = 0) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP,
                        specific ? ERROR_SERVICE_SPECIFIC_ERROR : 0u, specific, 0, 0};
  SetServiceStatus(g_status, &status);
}

void Handler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return;
  Report(SERVICE_STOP_PENDING);
  SetEvent(g_stop);
}

DWORD HandlerEx(DWORD control, DWORD, LPVOID, LPVOID context) {
  if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  Report(SERVICE_STOP_PENDING);
  SetEvent(*static_cast<HANDLE*>(context));
  return NO_ERROR;
}

void Main(DWORD argc, LPWSTR* argv) {
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const bool withContext = std::getenv("FAKE_SERVICE_HANDLER_EX") != nullptr;
  g_status = withContext ? RegisterServiceCtrlHandlerExW(argv[0], HandlerEx, &stop)
                         : RegisterServiceCtrlHandlerW(argv[0], Handler);
  if (g_status == nullptr) return;
  if (!withContext) g_stop = stop;
  {
    std::ofstream out(std::string(std::getenv("QELM_ROOT")) + "/fake_service.args");
    for (DWORD i = 0; i < argc; ++i) out << platform::WideToUtf8(argv[i]) << "\n";
  }
  {
    std::ofstream out(std::string(std::getenv("QELM_ROOT")) + "/fake_service.env");
    for (char** e = environ; *e != nullptr; ++e) out << *e << "\n";
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(stop, INFINITE);
  const char* exit = std::getenv("FAKE_SERVICE_EXIT");
  Report(SERVICE_STOPPED, exit ? static_cast<DWORD>(std::strtoul(exit, nullptr, 0)) : 0);
  if (withContext) platform::EndServiceControls();
}

}  // namespace

int main() {
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
  return 0;
}
