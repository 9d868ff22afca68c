#include "platform/services.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/security_descriptors.h"
#include "platform/service_control.h"
#include "platform/utf16.h"

namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kNameVariable[] = "QELM_SERVICE_NAME";
constexpr char kArgsVariable[] = "QELM_SERVICE_ARGS";
constexpr char kArgSeparator = '\x1f';
// A key's password is never taken from the entry: every user can read the
// store. An instance reads it from the root-only file beside the key.
constexpr char kKeyPasswordVariable[] = "QELM_PSE_PASSWORD";

// ---- text ----

using platform::Utf8ToWide;
using platform::WideToUtf8;

std::string ToUtf8(const std::wstring& text) { return WideToUtf8(text); }
std::wstring FromUtf8(const std::string& text) { return Utf8ToWide(text); }
std::wstring Lower(const std::wstring& text) { return platform::UpcaseText(text); }

// ---- registry values of a service key ----

// A REG_SZ value's stored bytes: UTF-16LE with its terminating NUL.
std::vector<BYTE> Utf16Bytes(const std::wstring& text) {
  std::string bytes = platform::WideToUtf16Le(text);
  bytes.append(2, '\0');
  return std::vector<BYTE>(bytes.begin(), bytes.end());
}

std::wstring FromUtf16Bytes(const std::vector<BYTE>& bytes) {
  std::wstring text = platform::Utf16LeToWide(bytes.data(), bytes.size());
  size_t nul = text.find(L'\0');
  return nul == std::wstring::npos ? text : text.substr(0, nul);
}

class ServiceKey {
 public:
  ServiceKey() = default;
  ~ServiceKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ServiceKey(const ServiceKey&) = delete;
  ServiceKey& operator=(const ServiceKey&) = delete;

  LSTATUS Open(const std::wstring& name) {
    std::wstring path = std::wstring(kServicesKey) + name;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key_);
  }
  LSTATUS Create(const std::wstring& name, bool* created) {
    std::wstring path = std::wstring(kServicesKey) + name;
    DWORD disposition = 0;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key_, &disposition);
    *created = disposition == REG_CREATED_NEW_KEY;
    return rc;
  }

  DWORD Dword(const wchar_t* name, DWORD fallback) const {
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
      return fallback;
    return value;
  }
  std::vector<BYTE> Bytes(const wchar_t* name) const {
    DWORD size = 0, type = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    if (size == 0) return data;
    if (RegQueryValueExW(key_, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return {};
    data.resize(size);
    return data;
  }
  std::wstring Text(const wchar_t* name) const { return FromUtf16Bytes(Bytes(name)); }
  // A REG_MULTI_SZ value's strings (none when missing or of another type).
  std::vector<std::wstring> Texts(const wchar_t* name) const {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
      return {};
    const std::vector<BYTE> bytes = Bytes(name);
    const std::wstring all = platform::Utf16LeToWide(bytes.data(), bytes.size());
    std::vector<std::wstring> texts;
    for (size_t start = 0; start < all.size();) {
      const size_t end = std::min(all.find(L'\0', start), all.size());
      if (end == start) break;  // the empty string that ends the list
      texts.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return texts;
  }

  LSTATUS SetDword(const wchar_t* name, DWORD value) {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
  }
  LSTATUS SetText(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
    std::vector<BYTE> bytes = Utf16Bytes(value);
    return RegSetValueExW(key_, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
  LSTATUS SetTexts(const wchar_t* name, const std::vector<std::wstring>& values) {
    std::string bytes;
    for (const std::wstring& value : values) bytes += platform::WideToUtf16Le(value) + std::string(2, '\0');
    bytes.append(2, '\0');
    return RegSetValueExW(key_, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  }
  LSTATUS SetBytes(const wchar_t* name, const std::vector<BYTE>& value) {
    return RegSetValueExW(key_, name, 0, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
  }

 private:
  HKEY key_ = nullptr;
};

// Opens the key of a service that exists and is not marked for deletion;
// otherwise sets 1060 or 1072.
bool OpenLiveServiceKey(const std::wstring& name, ServiceKey& key) {
  if (key.Open(name) != ERROR_SUCCESS) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  if (key.Dword(L"DeleteFlag", 0) != 0) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return false;
  }
  return true;
}

LSTATUS DeleteServiceKey(const std::wstring& name) {
  // With a subkey named, the tree's root goes too.
  std::wstring path = std::wstring(kServicesKey) + name;
  return RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
}

// ---- the status record published by the service process ----

std::filesystem::path ServicesDir() {
  const char* root = std::getenv("QELM_ROOT");
  std::filesystem::path dir = (root && *root) ? root : "/var/lib/qelmservice";
  return dir / "services";
}

std::filesystem::path StatusPath(const std::wstring& name) {
  return ServicesDir() / (ToUtf8(Lower(name)) + ".status");
}

// The socket on which a running service takes controls from users other
// than the administrator (service_control.h).
std::string ControlPath(const std::wstring& name) {
  return (ServicesDir() / (ToUtf8(Lower(name)) + ".ctl")).string();
}

// What every user may do with any service, as Windows grants interactive
// users by default: look at its configuration, status and security, and ask
// it to report.
constexpr DWORD kEveryUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                   SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

struct StatusRecord {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_SERVICE_NEVER_STARTED, 0, 0, 0};
  pid_t pid = 0;
  unsigned long long startTime = 0;  // the process's start time, against pid reuse
};

// Holds the status lock of one service: the starter and the service process
// both read-modify-write the record.
class StatusLock {
 public:
  explicit StatusLock(const std::wstring& name) {
    std::error_code ignored;
    std::filesystem::create_directories(ServicesDir(), ignored);
    std::string path = (ServicesDir() / (ToUtf8(Lower(name)) + ".lock")).string();
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~StatusLock() {
    if (fd_ >= 0) close(fd_);
  }
  StatusLock(const StatusLock&) = delete;
  StatusLock& operator=(const StatusLock&) = delete;

 private:
  int fd_ = -1;
};

unsigned long long ProcessStartTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  char state = 0;
  fields >> state;
  if (state == 'Z' || state == 'X') return 0;  // a zombie has ended
  // Fields after the state: ppid(4) ... starttime is field 22 overall.
  for (int i = 4; i <= 22; ++i) {
    if (!(fields >> field)) return 0;
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

bool ProcessAlive(pid_t pid, unsigned long long startTime) {
  if (pid <= 0) return false;
  unsigned long long now = ProcessStartTime(pid);
  return now != 0 && (startTime == 0 || now == startTime);
}

StatusRecord ReadStatusFile(const std::wstring& name) {
  StatusRecord record;
  std::ifstream in(StatusPath(name));
  if (!in) return record;
  std::map<std::string, unsigned long long> values;
  std::string key;
  unsigned long long value = 0;
  while (in >> key >> value) values[key] = value;
  auto get = [&](const char* k) { return static_cast<DWORD>(values[k]); };
  record.status.dwServiceType = get("type");
  record.status.dwCurrentState = get("state");
  record.status.dwControlsAccepted = get("controls");
  record.status.dwWin32ExitCode = get("exit");
  record.status.dwServiceSpecificExitCode = get("specific");
  record.status.dwCheckPoint = get("checkpoint");
  record.status.dwWaitHint = get("waithint");
  record.pid = static_cast<pid_t>(values["pid"]);
  record.startTime = values["starttime"];
  return record;
}

// What the manager reports: a record whose process is gone reads as stopped.
StatusRecord CurrentStatus(const std::wstring& name) {
  StatusRecord record = ReadStatusFile(name);
  if (record.status.dwCurrentState != SERVICE_STOPPED && !ProcessAlive(record.pid, record.startTime)) {
    record.status.dwCurrentState = SERVICE_STOPPED;
    record.status.dwControlsAccepted = 0;
    record.status.dwCheckPoint = 0;
    record.status.dwWaitHint = 0;
    if (record.status.dwWin32ExitCode == 0) record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    record.pid = 0;
  }
  if (record.status.dwCurrentState == SERVICE_STOPPED) record.pid = 0;
  return record;
}

bool WriteStatusFile(const std::wstring& name, const StatusRecord& record) {
  std::error_code ignored;
  std::filesystem::create_directories(ServicesDir(), ignored);
  std::filesystem::path path = StatusPath(name);
  std::filesystem::path temp = path;
  temp += ".tmp." + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "type " << record.status.dwServiceType << "\nstate " << record.status.dwCurrentState
        << "\ncontrols " << record.status.dwControlsAccepted << "\nexit "
        << record.status.dwWin32ExitCode << "\nspecific " << record.status.dwServiceSpecificExitCode
        << "\ncheckpoint " << record.status.dwCheckPoint << "\nwaithint " << record.status.dwWaitHint
        << "\npid " << record.pid << "\nstarttime " << record.startTime << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

// ---- handles ----

constexpr std::uint32_t kMagic = 0x5343484e;  // "SCHN"

struct ScObject {
  std::uint32_t magic = kMagic;
  bool manager = false;
  std::wstring name;
  DWORD access = 0;
};

ScObject* AsObject(SC_HANDLE handle, bool wantManager) {
  auto* object = reinterpret_cast<ScObject*>(handle);
  if (object == nullptr || object->magic != kMagic || object->manager != wantManager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

bool Require(const ScObject* object, DWORD rights) {
  if ((object->access & rights) != rights) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool ValidName(LPCWSTR name) {
  if (name == nullptr || *name == 0) return false;
  size_t length = std::wcslen(name);
  if (length > 256) return false;
  return std::wcschr(name, L'\\') == nullptr && std::wcschr(name, L'/') == nullptr;
}

// ---- starting a service process ----

// The names whose values the installing administrator's environment gives
// the service entry, and the search path a service gets when its entry names
// none (that of a service manager, never a user's).
constexpr const char* kRecordedVariables[] = {"XDG_CONFIG_HOME", "TMPDIR", "LANG", "LC_ALL", "LC_CTYPE"};
constexpr char kDefaultPath[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

bool Assigns(const std::string& entry, const char* name) {
  const size_t length = std::strlen(name);
  return entry.size() > length && entry.compare(0, length, name) == 0 && entry[length] == '=';
}

// The entry's "Environment" at creation: the recorded variables the creator
// has, and the default search path.
std::vector<std::wstring> InitialServiceEnvironment() {
  std::vector<std::wstring> entries;
  for (const char* name : kRecordedVariables) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') entries.push_back(FromUtf8(std::string(name) + "=" + value));
  }
  entries.push_back(FromUtf8(kDefaultPath));
  return entries;
}

// The environment a started service gets: the store it was found in, the
// assignments of its entry's "Environment", the default search path when
// those name none, and the manager's hand-over. Nothing of the starter's own
// environment goes in: a user allowed to start a service must not choose its
// library, clock, temporary folder or search path.
std::vector<std::string> ServiceEnvironment(const std::wstring& name, const ServiceKey& key, DWORD argc,
                                            LPCWSTR* argv) {
  std::error_code ignored;
  std::vector<std::string> env{"QELM_ROOT=" + std::filesystem::absolute(platform::QelmRoot(), ignored).string()};
  bool hasPath = false;
  for (const std::wstring& wide : key.Texts(L"Environment")) {
    std::string entry = ToUtf8(wide);
    const size_t equals = entry.find('=');
    if (equals == 0 || equals == std::string::npos || Assigns(entry, "QELM_ROOT") ||
        Assigns(entry, kNameVariable) || Assigns(entry, kArgsVariable) || Assigns(entry, kKeyPasswordVariable))
      continue;
    hasPath = hasPath || Assigns(entry, "PATH");
    env.push_back(std::move(entry));
  }
  if (!hasPath) env.emplace_back(kDefaultPath);
  env.push_back(std::string(kNameVariable) + "=" + ToUtf8(name));
  std::string args;
  for (DWORD i = 0; i < argc; ++i) {
    if (i) args += kArgSeparator;
    args += argv && argv[i] ? ToUtf8(argv[i]) : std::string();
  }
  env.push_back(std::string(kArgsVariable) + "=" + args);
  return env;
}

// ---- the service side ----

struct DispatcherState {
  // Held while a handler runs, and while one is registered or ended, so that
  // no call outlives EndServiceControls.
  std::mutex controls;
  LPHANDLER_FUNCTION handler = nullptr;
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  LPVOID context = nullptr;
  std::wstring name;
};

DispatcherState& Dispatcher() {
  static DispatcherState* state = new DispatcherState;
  return *state;
}

// Hands one control to the registered handler, if any.
void DeliverControl(DispatcherState& state, DWORD control) {
  std::lock_guard guard(state.controls);
  if (state.handlerEx != nullptr)
    state.handlerEx(control, 0, nullptr, state.context);
  else if (state.handler != nullptr)
    state.handler(control);
}

struct StatusHandleObject {
  std::uint32_t magic = kMagic;
};

// The service's answer to a control asked on its channel by the user uid:
// only a stop, and only with the stop right its entry's DACL grants now.
DWORD DecideChannelControl(const std::wstring& name, std::uint32_t uid, DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return ERROR_INVALID_SERVICE_CONTROL;
  ServiceKey key;
  if (key.Open(name) != ERROR_SUCCESS) return ERROR_SERVICE_DOES_NOT_EXIST;
  const DWORD rights = platform::GrantedRightsOf(key.Bytes(L"Security"), uid, kEveryUserRights);
  return (rights & SERVICE_STOP) != 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD desiredAccess) {
  if ((machine != nullptr && *machine != 0) || (database != nullptr && *database != 0)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  // Other users may connect and look, as on Windows; changing the database
  // belongs to the administrator.
  DWORD userRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | READ_CONTROL;
  if (!platform::IsAdministrator() && (desiredAccess & ~userRights) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto* object = new ScObject;
  object->manager = true;
  object->access = platform::IsAdministrator() ? SC_MANAGER_ALL_ACCESS : desiredAccess;
  return reinterpret_cast<SC_HANDLE>(object);
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCWSTR binaryPath, LPCWSTR, LPDWORD, LPCWSTR,
                         LPCWSTR serviceStartName, LPCWSTR) {
  ScObject* scm = AsObject(manager, true);
  if (scm == nullptr || !Require(scm, SC_MANAGER_CREATE_SERVICE)) return nullptr;
  if (!ValidName(serviceName) || binaryPath == nullptr || *binaryPath == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (startType > SERVICE_DISABLED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ServiceKey key;
  bool created = false;
  LSTATUS rc = key.Create(serviceName, &created);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }
  if (!created) {
    SetLastError(ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  std::vector<platform::AccessEntry> entries{{0, SERVICE_ALL_ACCESS, platform::UserTrustee(geteuid())}};
  key.SetDword(L"Type", serviceType);
  key.SetDword(L"Start", startType);
  key.SetDword(L"ErrorControl", errorControl);
  key.SetText(L"ImagePath", binaryPath, REG_EXPAND_SZ);
  key.SetText(L"DisplayName", displayName ? displayName : serviceName);
  key.SetText(L"ObjectName", serviceStartName ? serviceStartName : L"LocalSystem");
  key.SetBytes(L"Security", platform::SelfRelativeDescriptor(entries));
  key.SetTexts(L"Environment", InitialServiceEnvironment());
  auto* object = new ScObject;
  object->name = serviceName;
  object->access = desiredAccess;
  return reinterpret_cast<SC_HANDLE>(object);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
  if (AsObject(manager, true) == nullptr) return nullptr;
  if (!ValidName(serviceName)) {
    SetLastError(serviceName == nullptr ? ERROR_INVALID_ADDRESS : ERROR_INVALID_NAME);
    return nullptr;
  }
  ServiceKey key;
  if (key.Open(serviceName) != ERROR_SUCCESS) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  DWORD granted = platform::GrantedRights(key.Bytes(L"Security"), kEveryUserRights);
  if ((desiredAccess & ~granted) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto* object = new ScObject;
  object->name = serviceName;
  object->access = desiredAccess;
  return reinterpret_cast<SC_HANDLE>(object);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  auto* object = reinterpret_cast<ScObject*>(handle);
  if (object == nullptr || object->magic != kMagic) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->magic = 0;
  delete object;
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, SERVICE_START)) return FALSE;
  ServiceKey key;
  if (!OpenLiveServiceKey(object->name, key)) return FALSE;
  if (key.Dword(L"Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) {
    SetLastError(ERROR_SERVICE_DISABLED);
    return FALSE;
  }
  StatusLock lock(object->name);
  if (CurrentStatus(object->name).status.dwCurrentState != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  // The program would run as the caller, not as the service: only the
  // administrator starts services here, whatever the DACL grants.
  if (!platform::IsAdministrator()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  std::string program = ToUtf8(key.Text(L"ImagePath"));
  const pid_t pid = static_cast<pid_t>(platform::SpawnDetached({program}, ServiceEnvironment(object->name, key, argc, argv)));
  if (pid == 0) return FALSE;
  // The service reports its own states from now on; until it does, the
  // manager shows it as start pending with its pid. The lock keeps the
  // service's first report from being overwritten by this one.
  StatusRecord record;
  record.status = {key.Dword(L"Type", SERVICE_WIN32_OWN_PROCESS), SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
  record.pid = pid;
  record.startTime = ProcessStartTime(pid);
  if (record.startTime == 0) {
    // Already gone: it failed at once. Its own record (if any) tells why.
    return TRUE;
  }
  WriteStatusFile(object->name, record);
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr) return FALSE;
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
    SetLastError(ERROR_INVALID_SERVICE_CONTROL);
    return FALSE;
  }
  if (!Require(object, control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE))
    return FALSE;
  StatusRecord record = CurrentStatus(object->name);
  if (status != nullptr) *status = record.status;
  if (record.status.dwCurrentState == SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
  if (!(record.status.dwControlsAccepted & SERVICE_ACCEPT_STOP)) {
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return FALSE;
  }
  // The administrator signals the service; another user cannot signal a
  // process of root's and asks through the service's control channel,
  // where the service checks the caller against its DACL.
  if (platform::IsAdministrator()) {
    if (kill(record.pid, SIGTERM) != 0) {
      SetLastErrorFromErrno();
      return FALSE;
    }
    return TRUE;
  }
  if (DWORD code = platform::SendServiceControl(ControlPath(object->name), SERVICE_CONTROL_STOP); code != 0) {
    SetLastError(code);
    return FALSE;
  }
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                          DWORD bufferSize, LPDWORD bytesNeeded) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, SERVICE_QUERY_STATUS)) return FALSE;
  if (infoLevel != SC_STATUS_PROCESS_INFO || bytesNeeded == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  StatusRecord record = CurrentStatus(object->name);
  SERVICE_STATUS_PROCESS out{};
  std::memcpy(&out, &record.status, sizeof(SERVICE_STATUS));
  out.dwProcessId = static_cast<DWORD>(record.pid);
  std::memcpy(buffer, &out, sizeof(out));
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                            sizeof(process), &needed))
    return FALSE;
  std::memcpy(status, &process, sizeof(SERVICE_STATUS));
  return TRUE;
}

BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCWSTR binaryPath, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR,
                          LPCWSTR displayName) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, SERVICE_CHANGE_CONFIG)) return FALSE;
  if (startType != SERVICE_NO_CHANGE && startType > SERVICE_DISABLED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ServiceKey key;
  if (!OpenLiveServiceKey(object->name, key)) return FALSE;
  if (serviceType != SERVICE_NO_CHANGE) key.SetDword(L"Type", serviceType);
  if (startType != SERVICE_NO_CHANGE) key.SetDword(L"Start", startType);
  if (errorControl != SERVICE_NO_CHANGE) key.SetDword(L"ErrorControl", errorControl);
  if (binaryPath != nullptr) key.SetText(L"ImagePath", binaryPath, REG_EXPAND_SZ);
  if (displayName != nullptr) key.SetText(L"DisplayName", displayName);
  return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, DELETE)) return FALSE;
  ServiceKey key;
  if (!OpenLiveServiceKey(object->name, key)) return FALSE;
  StatusLock lock(object->name);
  if (CurrentStatus(object->name).status.dwCurrentState != SERVICE_STOPPED) {
    // As on Windows, a running service goes away when it stops.
    key.SetDword(L"DeleteFlag", 1);
    return TRUE;
  }
  std::error_code ignored;
  std::filesystem::remove(StatusPath(object->name), ignored);
  LSTATUS rc = DeleteServiceKey(object->name);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return FALSE;
  }
  return TRUE;
}

BOOL EnumDependentServicesW(SC_HANDLE service, DWORD, LPENUM_SERVICE_STATUSW, DWORD,
                            LPDWORD bytesNeeded, LPDWORD servicesReturned) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, SERVICE_ENUMERATE_DEPENDENTS)) return FALSE;
  if (bytesNeeded == nullptr || servicesReturned == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *bytesNeeded = 0;
  *servicesReturned = 0;
  return TRUE;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  const char* name = std::getenv(kNameVariable);
  if (name == nullptr || *name == 0) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (table == nullptr || table[0].lpServiceProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DispatcherState& state = Dispatcher();
  state.name = FromUtf8(name);

  std::vector<std::wstring> args{state.name};
  if (const char* packed = std::getenv(kArgsVariable); packed != nullptr && *packed != 0) {
    std::string all = packed;
    size_t start = 0;
    while (true) {
      size_t end = all.find(kArgSeparator, start);
      args.push_back(FromUtf8(all.substr(start, end == std::string::npos ? std::string::npos : end - start)));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  // The manager's variables are not handed on to programs the service starts.
  unsetenv(kNameVariable);
  unsetenv(kArgsVariable);

  // A service holds a descriptor for each folder it works in, and for each
  // one below them met on the way to an output (an archive's folders): as
  // many as the system lets a process have, not the soft default meant for
  // interactive programs.
  if (struct rlimit files {}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Stop requests arrive as SIGTERM (or SIGINT from a console); they are
  // taken on this thread only, through a signalfd, and handed to the
  // service's control handler here, as the control manager would.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  int doneFd = eventfd(0, EFD_CLOEXEC);
  if (signalFd < 0 || doneFd < 0) {
    DWORD code = SetLastErrorFromErrno();
    if (signalFd >= 0) close(signalFd);
    if (doneFd >= 0) close(doneFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    SetLastError(code);
    return FALSE;
  }

  // Listening before the service runs, so that a user allowed to stop it
  // can as soon as it reports running.
  platform::ServiceControlChannel channel(ControlPath(state.name));
  const platform::ServiceControlChannel::Decide decide = [&state](std::uint32_t uid, DWORD control) {
    return DecideChannelControl(state.name, uid, control);
  };

  std::vector<wchar_t*> argv;
  for (std::wstring& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  LPSERVICE_MAIN_FUNCTIONW main = table[0].lpServiceProc;
  std::thread serviceThread([&] {
    main(static_cast<DWORD>(args.size()), argv.data());
    std::uint64_t one = 1;
    (void)!write(doneFd, &one, sizeof(one));
  });

  while (true) {
    std::vector<pollfd> fds{{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
    for (int fd : channel.Descriptors()) fds.push_back({fd, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      (void)!read(signalFd, &info, sizeof(info));
      DeliverControl(state, SERVICE_CONTROL_STOP);
    }
    std::vector<int> ready;
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents != 0) ready.push_back(fds[i].fd);
    }
    for (DWORD control : channel.Serve(ready, decide)) {
      DeliverControl(state, control);
    }
  }
  serviceThread.join();
  close(signalFd);
  close(doneFd);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return TRUE;
}

namespace {

// Registers either form of handler (the other one null).
SERVICE_STATUS_HANDLE RegisterHandler(LPCWSTR serviceName, LPHANDLER_FUNCTION handler,
                                      LPHANDLER_FUNCTION_EX handlerEx, LPVOID context) {
  DispatcherState& state = Dispatcher();
  if (serviceName == nullptr || (handler == nullptr && handlerEx == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (state.name.empty() || Lower(serviceName) != Lower(state.name)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  {
    std::lock_guard guard(state.controls);
    state.handler = handler;
    state.handlerEx = handlerEx;
    state.context = context;
  }
  static StatusHandleObject handle;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(&handle);
}

}  // namespace

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler) {
  return RegisterHandler(serviceName, handler, nullptr, nullptr);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
  return RegisterHandler(serviceName, nullptr, handler, context);
}

void platform::EndServiceControls() {
  DispatcherState& state = Dispatcher();
  std::lock_guard guard(state.controls);
  state.handler = nullptr;
  state.handlerEx = nullptr;
  state.context = nullptr;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  auto* object = reinterpret_cast<StatusHandleObject*>(handle);
  if (object == nullptr || object->magic != kMagic || status == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DispatcherState& state = Dispatcher();
  StatusLock lock(state.name);
  StatusRecord record;
  record.status = *status;
  record.pid = getpid();
  record.startTime = ProcessStartTime(record.pid);
  if (!WriteStatusFile(state.name, record)) {
    SetLastError(ERROR_CANTWRITE);
    return FALSE;
  }
  if (status->dwCurrentState == SERVICE_STOPPED) {
    ServiceKey key;
    if (key.Open(state.name) == ERROR_SUCCESS && key.Dword(L"DeleteFlag", 0) != 0) {
      std::error_code ignored;
      std::filesystem::remove(StatusPath(state.name), ignored);
      DeleteServiceKey(state.name);
    }
  }
  return TRUE;
}

BOOL QueryServiceObjectSecurity(SC_HANDLE service, DWORD information, PSECURITY_DESCRIPTOR descriptor,
                                DWORD bufferSize, LPDWORD bytesNeeded) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, READ_CONTROL)) return FALSE;
  if (!(information & DACL_SECURITY_INFORMATION) || bytesNeeded == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ServiceKey key;
  if (key.Open(object->name) != ERROR_SUCCESS) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  std::vector<BYTE> bytes = key.Bytes(L"Security");
  if (bytes.size() < platform::kSelfRelativeHeaderSize) bytes = platform::SelfRelativeDescriptor({});
  *bytesNeeded = static_cast<DWORD>(bytes.size());
  if (descriptor == nullptr || bufferSize < bytes.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(descriptor, bytes.data(), bytes.size());
  return TRUE;
}

BOOL SetServiceObjectSecurity(SC_HANDLE service, DWORD information, PSECURITY_DESCRIPTOR descriptor) {
  ScObject* object = AsObject(service, false);
  if (object == nullptr || !Require(object, WRITE_DAC)) return FALSE;
  if (!(information & DACL_SECURITY_INFORMATION) || descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const ACL* acl = platform::DescriptorDacl(descriptor);
  if (acl == nullptr) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  ServiceKey key;
  if (key.Open(object->name) != ERROR_SUCCESS) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  key.SetBytes(L"Security", platform::SelfRelativeDescriptor(platform::ReadAccessEntries(acl)));
  return TRUE;
}

HANDLE GetProcessHeap() {
  static int heap;
  return &heap;
}

LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
  void* memory = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

BOOL HeapFree(HANDLE, DWORD, LPVOID memory) {
  std::free(memory);
  return TRUE;
}
