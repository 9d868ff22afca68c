#include "service/core/event_log_report.h"

#include <vector>

#include "common/error_description.h"
#include "common/registry_values.h"
#include "common/report_text.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/handles.h"
#include "platform/sync.h"

namespace {

PSID UserSid(const std::vector<BYTE>& tokenUser) {
  if (tokenUser.size() < sizeof(TOKEN_USER)) return nullptr;
  return reinterpret_cast<const TOKEN_USER*>(tokenUser.data())->User.Sid;
}

// The process token, closed on every exit.
class Token {
 public:
  ~Token() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  PHANDLE receiver() { return &handle_; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

void ReadProcessUser(std::vector<BYTE>& tokenUser) {
  Token token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receiver())) {
    ReportFailure(kReportConsole, {.code = GetLastError(), .format = "Определение токена процесса"});
    return;
  }
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ReportFailure(kReportConsole,
                  {.code = GetLastError(), .format = "Определение размера буфера для информации о пользователе"});
    return;
  }
  std::vector<BYTE> buffer;
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ReportFailure(kReportConsole, {.code = GetLastError(), .format = "Выделение памяти"});
    return;
  }
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    ReportFailure(kReportConsole, {.code = GetLastError(), .format = "Получение информации о пользователе"});
    return;
  }
  tokenUser = std::move(buffer);
}

}  // namespace

DWORD ReportFailure(DWORD flags, const FailureReport& report, const EventSource* eventLog) {
  const DWORD code = report.code;
  if (flags == 0) return code;
  const auto& args = report.args;
  const CString message = FormatReportMessage(WidenFormat(report.format), WidenAnsi(args[0]), WidenAnsi(args[1]),
                                              WidenAnsi(args[2]), WidenAnsi(args[3]));
  const CString codeText = ResultCodeText(code);
  const CString described =
      report.description != nullptr ? WidenFormat(report.description) : ErrorDescription(code, report.context);
  const CString extraText(report.extra != nullptr ? report.extra : L"");
  if ((flags & kReportEventLog) != 0 && eventLog != nullptr) {
    eventLog->Write(message + L".\r\n" + codeText + L" - " + described + L".\r\n" + extraText +
                        L"\r\n");
  }
  if ((flags & kReportConsole) != 0) {
    const CString line =
        message + L". " + codeText + L" - " + described + L". " + extraText + L"\n";
    const std::string ansi = platform::WideToMultiByte(line.str(), CP_ACP);
    platform::WriteConsoleAnsi(platform::ConsoleStream::Output, ansi);
  }
  return code;
}

EventSource::EventSource() {
  handle_ = RegisterEventSourceW(nullptr, kEventSourceName);
  if (handle_ == nullptr) {
    ReportFailure(kReportConsole,
                  {.code = GetLastError(), .format = "Регистрация журнала приложений '%s'", .args = {"qelmservice"}});
    return;
  }
  ReadProcessUser(tokenUser_);
}

EventSource::~EventSource() {
  if (handle_ != nullptr) DeregisterEventSource(handle_);
}

void EventSource::Write(const CString& text) const {
  if (handle_ == nullptr) return;
  CString reportText = text;
  if (reportText.GetLength() > kMaxEventTextLength) {
    reportText = reportText.Left(kMaxEventTextLength) + L"...";
  }
  CString processText;
  processText.Format(L"Process: 0x%X, Thread: 0x%X", GetCurrentProcessId(), GetCurrentThreadId());
  LPCWSTR strings[] = {reportText.GetString(), kEventModuleText, processText.GetString()};
  if (!ReportEventW(handle_, EVENTLOG_ERROR_TYPE, 0, kFailureEventId, UserSid(tokenUser_), 3,
                    0, strings, nullptr)) {
    ReportFailure(kReportConsole, {.code = GetLastError(), .format = "Запись события в EventLog"});
  }
}

RegistryReporter ServiceRegistryReporter(const EventSource* eventLog) {
  RegistryReporter reporter;
  reporter.report = [eventLog](HWND, DWORD flags, DWORD code, const char* format, const char* valueName) {
    return ReportFailure(flags, {.code = code, .format = format, .args = {valueName}}, eventLog);
  };
  reporter.stringListFlags = kReportEventLog;
  reporter.intListFlags = kReportEventLog;
  reporter.stringArrayFlags = kReportConsole | kReportEventLog;
  reporter.writeArrayFlags = kReportConsole | kReportEventLog;
  return reporter;
}
