#include "service/host/command_line.h"

#include <memory>
#include <string>

#include "common/error_description.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "service/core/event_log_report.h"
#include "service/host/service_host.h"

namespace {

constexpr wchar_t kServiceBaseName[] = L"qelmservice";
constexpr wchar_t kProfilesKey[] = L"SOFTWARE\\TORVAK\\qelmservice\\";
constexpr DWORD kProfileKeyAccess = 0x2001F;  // read, create subkey, set value
constexpr DWORD kDaclRights = 0x30030;        // start, stop, read control, delete
constexpr ULONGLONG kStopTimeoutMs = 30000;
constexpr ULONGLONG kDeleteTimeoutMs = 15000;

// The command's names, set once by wmain.
struct CommandNames {
  CString profile;
  CString service;  // "qelmservice-<profile>"
};

CommandNames MakeNames(const wchar_t* profileName) {
  CommandNames names;
  names.profile = profileName;
  names.service.Format(L"%s-%s", kServiceBaseName, profileName);
  return names;
}

void Print(const wchar_t* text) { platform::WriteConsoleText(platform::ConsoleStream::Output, text); }

void Print(const wchar_t* format, const CString& name) {
  CString line;
  line.Format(format, name);
  Print(line);
}

// A failure of the system call just made, on the console with the code's
// description; the name fills the message's "%s".
void ReportLastError(const char* message, const CString& name = CString()) {
  DWORD code = GetLastError();
  std::string ansiName = platform::WideToMultiByte(name.GetString(), CP_ACP);
  ReportFailure(kReportConsole, {.code = code, .format = message, .args = {ansiName.c_str()}});
}

// Closes a manager or service handle when it goes out of scope.
struct ServiceHandleCloser {
  void operator()(SC_HANDLE__* handle) const {
    if (handle != nullptr) CloseServiceHandle(handle);
  }
};
using ServiceHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

ServiceHandle OpenManager() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  // A user other than the administrator only connects: what they may do
  // with an instance is what its DACL grants them (dacl), and the service
  // calls tell them plainly what it does not.
  if (!manager && GetLastError() == ERROR_ACCESS_DENIED)
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) ReportLastError("Не удалось открыть сервисный менеджер");
  return manager;
}

ServiceHandle OpenNamedService(SC_HANDLE manager, const CommandNames& names, DWORD access) {
  ServiceHandle service(OpenServiceW(manager, names.service, access));
  if (!service) ReportLastError("Не удалось открыть сервис '%s'", names.service);
  return service;
}

bool QueryStatus(SC_HANDLE service, const CommandNames& names, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                           sizeof(status), &needed))
    return true;
  ReportLastError("Не удалось получить расширенные данные о сервисе '%s'", names.service);
  return false;
}

// The pause between two looks at a pending service: a tenth of its wait
// hint, at least one and at most ten seconds.
void WaitForPendingService(DWORD waitHint) {
  DWORD wait = waitHint / 10;
  if (wait < 1000) wait = 1000;
  if (wait > 10000) wait = 10000;
  Sleep(wait);
}

// The profile must exist before a service is made, started or opened to a
// user for it.
bool CheckProfile(const CommandNames& names) {
  CString path = CString(kProfilesKey) + names.profile;
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kProfileKeyAccess, &key);
  if (rc == ERROR_FILE_NOT_FOUND) {
    Print(L"Профиль '%s' не существует.\n", names.profile);
    return false;
  }
  if (rc != ERROR_SUCCESS) {
    CString full = CString(L"HKEY_LOCAL_MACHINE\\") + path;
    std::string ansiPath = platform::WideToMultiByte(full.GetString(), CP_ACP);
    ReportFailure(
        kReportConsole,
        {.code = static_cast<DWORD>(rc), .format = "Создание (открытие) ключа реестра %s", .args = {ansiPath.c_str()}});
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool ChangeStartType(const CommandNames& names, DWORD startType, const wchar_t* successText) {
  ServiceHandle manager = OpenManager();
  if (!manager) return false;
  ServiceHandle service = OpenNamedService(manager.get(), names, SERVICE_CHANGE_CONFIG);
  if (!service) return false;
  if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    ReportLastError("Не удалось изменить настройки сервиса '%s'", names.service);
    return false;
  }
  Print(successText, names.service);
  return true;
}

// Waits until a service that was sent the stop control has stopped, at most
// until limitMs have passed since started.
bool WaitUntilStopped(SC_HANDLE service, const CommandNames& names, SERVICE_STATUS_PROCESS& status,
                      ULONGLONG started, ULONGLONG limitMs) {
  while (status.dwCurrentState != SERVICE_STOPPED) {
    WaitForPendingService(status.dwWaitHint);
    if (!QueryStatus(service, names, status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) break;
    if (GetTickCount64() - started > limitMs) {
      Print(L"Время ожидания остановки сервиса '%s' истекло.\n", names.service);
      return false;
    }
  }
  return true;
}

// Sends the stop control and takes the state it answers with.
bool SendStop(SC_HANDLE service, const CommandNames& names, SERVICE_STATUS_PROCESS& status) {
  SERVICE_STATUS answer{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &answer)) {
    ReportLastError("Не удалось изменить состояние сервиса '%s'", names.service);
    return false;
  }
  status.dwCurrentState = answer.dwCurrentState;
  status.dwWaitHint = answer.dwWaitHint;
  return true;
}

void PrintStartFailure(const CommandNames& names, const SERVICE_STATUS_PROCESS& status) {
  CString line;
  Print(L"Сервис '%s' не был запущен.\n", names.service);
  line.Format(L"  Текущее Состояние: %d\n", static_cast<int>(status.dwCurrentState));
  Print(line);
  line.Format(L"  Код ошибки: %d\n", static_cast<int>(status.dwWin32ExitCode));
  Print(line);
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    line.Format(L"  Особый код ошибки: %d\n", static_cast<int>(status.dwServiceSpecificExitCode));
    Print(line);
    line.Format(L"  Описание кода ошибки: %s\n",
                ErrorDescription(status.dwServiceSpecificExitCode, nullptr));
    Print(line);
  }
  line.Format(L"  Контрольная точка: %d\n", static_cast<int>(status.dwCheckPoint));
  Print(line);
  line.Format(L"  Время ожидания ответа: %d\n", static_cast<int>(status.dwWaitHint));
  Print(line);
}

}  // namespace

void PrintUsage() {
  Print(L"Описание:\n");
  Print(L"\tУтилита командной строки, контролирующая сервис.\n\n");
  Print(L"Использование:\n");
  Print(L"\t%s [команда] [имя_сервиса]\n\n", CString(kServiceBaseName));
  Print(L"\t[команда]\n");
  Print(L"\t  install\n");
  Print(L"\t  start\n");
  Print(L"\t  dacl (дает доступ к сервису пользователю, dacl [имя_сервиса] [имя_пользователя])\n");
  Print(L"\t  stop\n");
  Print(L"\t  disable\n");
  Print(L"\t  enable\n");
  Print(L"\t  delete\n");
  Print(L"\t  usage\n");
}

bool CmdInstall(const wchar_t* profileName) {
  CommandNames names = MakeNames(profileName);
  if (!CheckProfile(names)) return false;
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    if (length >= MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    ReportLastError("Не удалось установить сервис '%s'", names.profile);
    return false;
  }
  ServiceHandle manager = OpenManager();
  if (!manager) return false;
  ServiceHandle service(CreateServiceW(manager.get(), names.service, names.service, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, nullptr,
                                       nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    ReportLastError("Не удалось создать сервис '%s'", names.service);
    return false;
  }
  Print(L"Сервис '%s' успешно установлен\n", names.service);
  return true;
}

bool CmdStart(const wchar_t* profileName) {
  CommandNames names = MakeNames(profileName);
  if (!CheckProfile(names)) return false;
  ServiceHandle manager = OpenManager();
  if (!manager) return false;
  // Another user than the administrator asks only for what a start needs, so
  // that a user whom dacl let start the instance hears from the start itself
  // why it cannot be done for them (it would run as that user).
  const DWORD access = platform::IsAdministrator() ? SERVICE_ALL_ACCESS : SERVICE_START | SERVICE_QUERY_STATUS;
  ServiceHandle service = OpenNamedService(manager.get(), names, access);
  if (!service) return false;

  SERVICE_STATUS_PROCESS status{};
  if (!QueryStatus(service.get(), names, status)) return false;
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
    Print(L"Не удалось запустить сервис '%s', он уже запущен.\n", names.service);
    return false;
  }

  ULONGLONG timer = GetTickCount64();
  DWORD checkPoint = status.dwCheckPoint;
  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    WaitForPendingService(status.dwWaitHint);
    if (!QueryStatus(service.get(), names, status)) return false;
    if (status.dwCheckPoint > checkPoint) {
      timer = GetTickCount64();
      checkPoint = status.dwCheckPoint;
    } else if (GetTickCount64() - timer > status.dwWaitHint) {
      Print(L"Время ожидания остановки сервиса '%s' истекло.\n", names.service);
      return false;
    }
  }

  const wchar_t* args[] = {names.profile.GetString()};
  if (!StartServiceW(service.get(), 1, args)) {
    ReportLastError("Не удалось запустить сервис '%s'", names.service);
    return false;
  }
  Print(L"Сервис '%s' запускается...\n", names.service);
  if (!QueryStatus(service.get(), names, status)) return false;

  timer = GetTickCount64();
  checkPoint = status.dwCheckPoint;
  while (status.dwCurrentState == SERVICE_START_PENDING) {
    WaitForPendingService(status.dwWaitHint);
    if (!QueryStatus(service.get(), names, status)) break;
    if (status.dwCheckPoint > checkPoint) {
      timer = GetTickCount64();
      checkPoint = status.dwCheckPoint;
    } else if (GetTickCount64() - timer > status.dwWaitHint) {
      break;
    }
  }

  if (status.dwCurrentState == SERVICE_RUNNING) {
    Print(L"Сервис '%s' успешно запущен.\n", names.service);
    return true;
  }
  PrintStartFailure(names, status);
  return false;
}

bool CmdDacl(const wchar_t* profileName, const wchar_t* userName) {
  CommandNames names = MakeNames(profileName);
  if (!CheckProfile(names)) return false;
  ServiceHandle manager = OpenManager();
  if (!manager) return false;
  ServiceHandle service = OpenNamedService(manager.get(), names, READ_CONTROL | WRITE_DAC);
  if (!service) return false;

  DWORD needed = 0;
  if (QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ReportLastError("Не удалось получить данные безопасности объекта сервиса '%s'", names.service);
    return false;
  }
  struct HeapBuffer {
    void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
  };
  std::unique_ptr<void, HeapBuffer> buffer(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!buffer) {
    Print(L"HeapAlloc failed\n");
    return false;
  }
  if (!QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, buffer.get(), needed, &needed)) {
    ReportLastError("Не удалось получить данные безопасности объекта сервиса '%s'", names.service);
    return false;
  }

  BOOL present = FALSE, defaulted = FALSE;
  PACL oldAcl = nullptr;
  if (!GetSecurityDescriptorDacl(buffer.get(), &present, &oldAcl, &defaulted)) {
    ReportLastError("Не удалось получить дескриптор безопасности Dacl для сервиса '%s'", names.service);
    return false;
  }

  CString user = userName;
  EXPLICIT_ACCESS_W access{};
  BuildExplicitAccessWithNameW(&access, user.GetBuffer(), kDaclRights, SET_ACCESS, NO_INHERITANCE);
  PACL newAcl = nullptr;
  DWORD rc = SetEntriesInAclW(1, &access, oldAcl, &newAcl);
  user.ReleaseBuffer();
  if (rc != ERROR_SUCCESS) {
    std::string ansiService = platform::WideToMultiByte(names.service.GetString(), CP_ACP);
    std::string ansiUser = platform::WideToMultiByte(user.GetString(), CP_ACP);
    ReportFailure(kReportConsole, {.code = rc,
                                   .format = "Не удалось установить доступ в Acl сервиса '%s' для пользователя '%s'",
                                   .args = {ansiService.c_str(), ansiUser.c_str()}});
    return false;
  }
  struct LocalMemory {
    void operator()(ACL* p) const { LocalFree(p); }
  };
  std::unique_ptr<ACL, LocalMemory> newAclOwner(newAcl);

  SECURITY_DESCRIPTOR descriptor{};
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    ReportLastError("Не удалось инициализировать дескриптор безопасности для сервиса '%s'", names.service);
    return false;
  }
  if (!SetSecurityDescriptorDacl(&descriptor, TRUE, newAcl, FALSE)) {
    ReportLastError("Не удалось установить дескриптор безопасности Dacl для сервиса '%s'", names.service);
    return false;
  }
  if (!SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, &descriptor)) {
    ReportLastError("Не удалось установить данные безопасности объекта сервиса '%s'", names.service);
    return false;
  }
  Print(L"DACL сервиса '%s'  успешно обновлён.\n", names.service);
  return true;
}

bool StopDependentServices(SC_HANDLE service) {
  ULONGLONG started = GetTickCount64();
  DWORD needed = 0, count = 0;
  if (EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count)) return true;
  if (GetLastError() != ERROR_MORE_DATA) return false;

  struct HeapBuffer {
    void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
  };
  std::unique_ptr<void, HeapBuffer> buffer(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!buffer) return false;
  auto* dependents = static_cast<ENUM_SERVICE_STATUSW*>(buffer.get());
  if (!EnumDependentServicesW(service, SERVICE_ACTIVE, dependents, needed, &needed, &count)) return false;

  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  for (DWORD i = 0; i < count; ++i) {
    ServiceHandle dependent(OpenServiceW(manager.get(), dependents[i].lpServiceName,
                                         SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!dependent) return false;
    SERVICE_STATUS status{};
    if (!ControlService(dependent.get(), SERVICE_CONTROL_STOP, &status)) return false;
    while (status.dwCurrentState != SERVICE_STOPPED) {
      WaitForPendingService(status.dwWaitHint);
      if (!QueryServiceStatus(dependent.get(), &status)) return false;
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      if (GetTickCount64() - started > kStopTimeoutMs) return false;
    }
  }
  return true;
}

bool CmdStop(const wchar_t* profileName) {
  CommandNames names = MakeNames(profileName);
  ULONGLONG started = GetTickCount64();
  ServiceHandle manager = OpenManager();
  if (!manager) return false;
  ServiceHandle service = OpenNamedService(
      manager.get(), names, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS);
  if (!service) return false;
  SERVICE_STATUS_PROCESS status{};
  if (!QueryStatus(service.get(), names, status)) return false;

  if (status.dwCurrentState == SERVICE_STOPPED) {
    Print(L"Сервис '%s' уже остановлен.\n", names.service);
    return true;
  }
  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    Print(L"Сервис '%s' останавливается...\n", names.service);
    WaitForPendingService(status.dwWaitHint);
    if (!QueryStatus(service.get(), names, status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) {
      Print(L"Сервис '%s' успешно остановлен.\n", names.service);
      return true;
    }
    if (GetTickCount64() - started > kStopTimeoutMs) {
      Print(L"Время ожидания остановки сервиса '%s' истекло.\n", names.service);
      return false;
    }
  }

  StopDependentServices(service.get());
  if (!SendStop(service.get(), names, status)) return false;
  if (!WaitUntilStopped(service.get(), names, status, started, kStopTimeoutMs)) return false;
  Print(L"Сервис '%s' успешно остановлен.\n", names.service);
  return true;
}

bool CmdDisable(const wchar_t* profileName) {
  return ChangeStartType(MakeNames(profileName), SERVICE_DISABLED, L"Сервис '%s' успешно выключен.\n");
}

bool CmdEnable(const wchar_t* profileName) {
  return ChangeStartType(MakeNames(profileName), SERVICE_DEMAND_START, L"Сервис '%s' успешно включен.\n");
}

bool CmdDelete(const wchar_t* profileName) {
  CommandNames names = MakeNames(profileName);
  ULONGLONG started = GetTickCount64();
  ServiceHandle manager = OpenManager();
  if (!manager) return false;
  ServiceHandle service = OpenNamedService(manager.get(), names, SERVICE_ALL_ACCESS);
  if (!service) return false;
  SERVICE_STATUS_PROCESS status{};
  if (!QueryStatus(service.get(), names, status)) return false;

  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
    Print(L"Сервис '%s' запущен.\n", names.service);
    StopDependentServices(service.get());
    if (!SendStop(service.get(), names, status)) return false;
    if (!WaitUntilStopped(service.get(), names, status, started, kDeleteTimeoutMs)) return false;
    Print(L"Сервис '%s' успешно остановлен.\n", names.service);
  }
  if (!DeleteService(service.get())) {
    ReportLastError("Не удалось удалить сервис '%s'", names.service);
    return false;
  }
  Print(L"Сервис '%s' успешно удалён.\n", names.service);
  return true;
}

namespace {

struct Command {
  const wchar_t* word;
  int arguments;  // after the word
};

constexpr Command kCommands[] = {{L"install", 1}, {L"start", 1},  {L"dacl", 2},  {L"stop", 1},
                                 {L"disable", 1}, {L"enable", 1}, {L"delete", 1}};

bool RunCommand(const CString& word, wchar_t** args) {
  if (word == L"install") return CmdInstall(args[0]);
  if (word == L"start") return CmdStart(args[0]);
  if (word == L"dacl") return CmdDacl(args[0], args[1]);
  if (word == L"stop") return CmdStop(args[0]);
  if (word == L"disable") return CmdDisable(args[0]);
  if (word == L"enable") return CmdEnable(args[0]);
  return CmdDelete(args[0]);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CString word = argc > 1 ? argv[1] : L"";
  CString lowerWord = word;
  lowerWord.MakeLower();

  for (const Command& command : kCommands) {
    if (lowerWord != command.word) continue;
    if (argc - 2 != command.arguments) {
      Print(L"ОШИБКА: Некорректное количество аргументов для функции '%s'\n\n", CString(command.word));
      PrintUsage();
      return 1;
    }
    return RunCommand(lowerWord, argv + 2) ? 0 : 1;
  }
  if (lowerWord == L"usage") {
    PrintUsage();
    return 0;
  }
  DWORD dispatched = RunServiceDispatcher(argc > 2 ? argv[2] : nullptr);
  if (dispatched == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    Print(L"ОШИБКА: Некорректная комманда\n\n");
    PrintUsage();
  }
  return dispatched == 0 ? 0 : 1;
}
