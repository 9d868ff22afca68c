#pragma once
// A small service control manager. The service database is the machine store
// key SYSTEM\CurrentControlSet\Services\<name> (ImagePath, Start, Type,
// DisplayName, ErrorControl, ObjectName, Security, Environment). A started
// service is a detached process (new session, standard streams on /dev/null)
// that finds its name and start arguments in its environment
// (QELM_SERVICE_NAME, QELM_SERVICE_ARGS) and publishes its status record,
// with its pid, under $QELM_ROOT/services/. A status whose process is gone
// reads as stopped.
//
// A service's environment is the manager's, never its starter's: QELM_ROOT
// (the store its entry is in), the "NAME=value" strings of the entry's
// REG_MULTI_SZ "Environment" (less QELM_PSE_PASSWORD: the store is readable
// by every user, so a key's password is never taken from it), PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:
// /usr/bin:/sbin:/bin when those set no PATH, and the two hand-over
// variables. CreateServiceW writes "Environment" from the creating
// administrator's XDG_CONFIG_HOME, TMPDIR, LANG, LC_ALL and LC_CTYPE (those
// set) and that PATH; an administrator may change it in the store.
//
// Access: root is the administrator and may do anything. Other users may open
// a service with the rights every user has (query configuration and status,
// enumerate dependents, interrogate, user-defined controls, read control, as
// Windows grants interactive users) and those its DACL grants their user id;
// creating and deleting services needs root or the DELETE right. Only the
// administrator starts a service (it would otherwise run as its starter); a
// user allowed to stop one asks the running service through its control
// channel ($QELM_ROOT/services/<name>.ctl, service_control.h), and the
// service checks the caller's user id against its DACL.
//
// Calls set the Windows last error on failure: 5 access denied, 87 bad
// argument, 1053 no answer in time, 1056 already running, 1058 disabled,
// 1060 no such service, 1061 cannot take controls, 1062 not active, 1063 not
// started by the manager, 1072 marked for delete, 1073 exists, 1314 not the
// administrator.

#include "platform/files.h"  // DELETE
#include "platform/security_descriptors.h"
#include "platform/windows_types.h"

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

// Manager rights.
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

// Service rights.
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD READ_CONTROL = 0x00020000;
inline constexpr DWORD WRITE_DAC = 0x00040000;
inline constexpr DWORD WRITE_OWNER = 0x00080000;

// Types, start types, error control.
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;

// States.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_ACTIVE = 1;
inline constexpr DWORD SERVICE_INACTIVE = 2;
inline constexpr DWORD SERVICE_STATE_ALL = 3;

// Controls.
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_ACCEPT_STOP = 1;

inline constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr DWORD ERROR_PROCESS_ABORTED = 1067;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};
using LPSERVICE_STATUS_PROCESS = SERVICE_STATUS_PROCESS*;

enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };

struct ENUM_SERVICE_STATUSW {
  LPWSTR lpServiceName;
  LPWSTR lpDisplayName;
  SERVICE_STATUS ServiceStatus;
};
using LPENUM_SERVICE_STATUSW = ENUM_SERVICE_STATUSW*;

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);
// A handler with its context: called with eventType 0, eventData null and
// the context it was registered with. Its result is not read.
using LPHANDLER_FUNCTION_EX = DWORD (*)(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

struct SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// machine must be null (local computer); database null.
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD desiredAccess);

// Creates the service's key; 1073 when it exists, 5 for non-root callers.
// binaryPath is the program to start, without arguments.
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCWSTR binaryPath, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password);

// 1060 when missing; 5 when the caller's rights do not cover desiredAccess.
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Starts the service's program detached and returns once its status reads
// start pending. 1056 when it runs, 1058 when disabled, 1072 when marked for
// deletion, 1314 for a caller other than the administrator (whatever its
// rights, the program would run as that caller); a program that cannot be
// started gives its exec error (2, 5, 193).
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);

// SERVICE_CONTROL_STOP: sends the stop request and fills status with the
// current record: SIGTERM from the administrator, a request on the service's
// control channel from another user (5 when the service's DACL does not let
// that user stop it, 1061 when the service does not listen, 1053 when it
// does not answer). 1062 when the service is not running.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);

// SC_STATUS_PROCESS_INFO into a SERVICE_STATUS_PROCESS; 122 with *needed set
// when the buffer is too small.
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                          DWORD bufferSize, LPDWORD bytesNeeded);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);

// Only the start type (and display name) can change; others SERVICE_NO_CHANGE.
BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCWSTR binaryPath, LPCWSTR loadOrderGroup,
                          LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                          LPCWSTR password, LPCWSTR displayName);

// Deletes the service now when it is stopped, otherwise when it stops.
BOOL DeleteService(SC_HANDLE service);

// Services never depend on one another here: always success with 0 entries.
BOOL EnumDependentServicesW(SC_HANDLE service, DWORD serviceState,
                            LPENUM_SERVICE_STATUSW services, DWORD bufferSize,
                            LPDWORD bytesNeeded, LPDWORD servicesReturned);

// Service side. Runs the first entry's service function on a new thread
// with argv[0] = the service name and the start arguments after it, and
// turns SIGTERM, and a stop asked on its control channel by a user its DACL
// lets stop it, into SERVICE_CONTROL_STOP for the registered handler on the
// calling thread. Returns TRUE once the service function has returned and
// the service has reported SERVICE_STOPPED (or its thread ended).
// 1063 when the process was not started by the manager.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
// The same with a handler that gets context at every call; the service keeps
// what context points to until platform::EndServiceControls has returned.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context);
// Publishes the record atomically with the process id.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

namespace platform {
// Ends the delivery of controls to the registered handler: waits for a call
// of it in progress to return, and no call begins afterwards. A service
// function calls it before what its handler's context points to goes, as it
// may be returning while a stop request comes.
void EndServiceControls();
}  // namespace platform

// ---- Security of a service: its descriptor (security_descriptors.h) ----

// Reads the service's descriptor; with a too small buffer fails with 122
// and *needed set.
BOOL QueryServiceObjectSecurity(SC_HANDLE service, DWORD information,
                                PSECURITY_DESCRIPTOR descriptor, DWORD bufferSize,
                                LPDWORD bytesNeeded);
BOOL SetServiceObjectSecurity(SC_HANDLE service, DWORD information, PSECURITY_DESCRIPTOR descriptor);
// Process heap.
HANDLE GetProcessHeap();
inline constexpr DWORD HEAP_ZERO_MEMORY = 0x8;
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
