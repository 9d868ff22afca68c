#include "service/host/service_host.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#include "common/operation_catalogue.h"
#include "common/library_error_stack.h"
#include "common/qelm_api.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/services.h"
#include "platform/sync.h"
#include "service/core/config_store.h"
#include "service/core/crl_refresh.h"
#include "service/host/dispatch.h"
#include "service/core/event_log_report.h"
#include "service/core/file_pipeline.h"
#include "service/core/find_files.h"
#include "service/core/journal.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/core/rule_folders.h"

namespace {

constexpr const char* kJournalFailureText = "Критическая ошибка: запись в журнал. Остановка обработчика";
constexpr const char* kContextFailureText =
    "Критическая ошибка: инициализация криптопрофиля. Остановка обработчика";
constexpr const wchar_t* kContextMessage = L"Профиль справочника : '%s' | Инициализация криптопрофиля";
constexpr DWORD kStartWaitHint = 3000;

// The service's status, shared by the worker and the control handler, which
// run on two threads. ServiceMain owns it and hands it to both; it ends the
// handler's calls (platform::EndServiceControls) before it goes. Each report
// writes the record and publishes it under the lock, so that the two never
// interleave within one record.
struct ServiceState {
  std::mutex lock;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  DWORD checkPoint = 1;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  std::atomic<HANDLE> stopEvent{nullptr};
};

// Takes the next checkpoint; the caller holds the lock.
DWORD NextCheckPoint(ServiceState& s) { return s.checkPoint++; }

void ReportStatusLocked(ServiceState& s, DWORD state, DWORD controls, DWORD exitCode, DWORD specific,
                        DWORD checkPoint, DWORD waitHint) {
  s.status = {SERVICE_WIN32_OWN_PROCESS, state, controls, exitCode, specific, checkPoint, waitHint};
  if (s.statusHandle != nullptr) SetServiceStatus(s.statusHandle, &s.status);
}

void ReportStatus(ServiceState& s, DWORD state, DWORD controls, DWORD exitCode, DWORD specific, DWORD checkPoint,
                  DWORD waitHint) {
  std::lock_guard guard(s.lock);
  ReportStatusLocked(s, state, controls, exitCode, specific, checkPoint, waitHint);
}

void ReportRunning(ServiceState& s) { ReportStatus(s, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0); }

void ReportStopped(ServiceState& s, DWORD specificCode) {
  if (specificCode == 0)
    ReportStatus(s, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0);
  else
    ReportStatus(s, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, ERROR_SERVICE_SPECIFIC_ERROR, specificCode, 0, 0);
}

// One event-log record, between registering and deregistering the source.
void ReportToEventLog(DWORD code, const char* text, const char* description = nullptr,
                      const char* arg = nullptr) {
  const EventSource source;
  ReportFailure(kReportEventLog, {.code = code, .format = text, .args = {arg}, .description = description}, &source);
}

// The worker's state for one run.
class Worker {
 public:
  Worker(CString serviceName, ServiceState& service) : serviceName_(std::move(serviceName)), service_(service) {}
  void Run();

 private:
  bool Start();
  bool OpenContexts();
  void Cycle();
  void RefreshRevocationLists();
  bool RunRules();
  void OrderlyStop();
  void FatalStop(DWORD code);
  void CloseContexts();
  DWORD Journal(DWORD code, const CString& message, const CString& extra = CString(),
                const CString& detail = CString());
  // The start and stop records, which the errors journal repeats.
  DWORD JournalStartOrStop(const wchar_t* message);

  CString serviceName_;
  ServiceState& service_;  // the status the worker reports
  CString profileName_;
  ServiceConfiguration config_;
  DirectoryProfileTable table_;
  WorkerState state_;  // journal files and each rule's state, for the run
  bool stopped_ = false;
  DWORD fatal_ = 0;
};

DWORD Worker::Journal(DWORD code, const CString& message, const CString& extra, const CString& detail) {
  return WriteJournal(config_.journalFolder, state_.journalFiles, profileName_,
                      {.code = code, .message = message, .step = extra, .detail = detail});
}

DWORD Worker::JournalStartOrStop(const wchar_t* message) {
  return WriteJournal(config_.journalFolder, state_.journalFiles, profileName_,
                      {.kind = JournalRecordKind::kStartStop, .message = message});
}

void Worker::CloseContexts() {
  for (DirectoryProfileContext& entry : table_) {
    if (entry.context != nullptr) ORLAX_Uninitialize(entry.context);
    entry.context = nullptr;
  }
}

void Worker::FatalStop(DWORD code) {
  CloseContexts();
  ReportToEventLog(code, kJournalFailureText);
  fatal_ = code;
  stopped_ = true;
  ReportStopped(service_, code);
}

void Worker::OrderlyStop() {
  CloseContexts();
  DWORD rc = JournalStartOrStop(kServiceStopMessage);
  stopped_ = true;
  if (rc != 0) {
    ReportToEventLog(rc, kJournalFailureText);
    ReportStopped(service_, rc);
    return;
  }
  ReportStopped(service_, 0);
}

bool Worker::Start() {
  profileName_ = ProfileNameFromServiceName(serviceName_);
  if (profileName_.IsEmpty()) {
    std::string name = platform::WideToMultiByte(serviceName_.GetString(), CP_ACP);
    ReportToEventLog(ERROR_FILE_NOT_FOUND, "Не удалось запустить сервис '%s'",
                     "Неверное имя профиля или сервиса", name.c_str());
    ReportStopped(service_, ERROR_FILE_NOT_FOUND);
    return false;
  }
  ConfigurationLoadResult load = LoadConfiguration(profileName_, config_, state_.stopEvent);
  if (load.stopRequested) {
    // Nothing has started yet, so there is no stop record to write.
    ReportStopped(service_, 0);
    return false;
  }
  if (load.code != 0) {
    if (load.journalFailed) ReportToEventLog(load.code, kJournalFailureText);
    ReportStopped(service_, load.code);
    return false;
  }
  state_.journalFiles.settings = config_.journal;
  if (DWORD rc = JournalStartOrStop(kServiceStartMessage)) {
    ReportToEventLog(rc, kJournalFailureText);
    ReportStopped(service_, rc);
    return false;
  }
  table_ = BuildDirectoryProfileTable(config_.profile, state_.rules);
  return OpenContexts();
}

bool Worker::OpenContexts() {
  for (size_t i = 0; i < table_.size(); ++i) {
    DirectoryProfileContext& entry = table_[i];
    int k = DirectoryProfileIndex(config_.profile, entry.name);
    uint32_t flags = ORLAX_INIT_STANDARD | ORLAX_INIT_NOT_USE_LDAP;
    if (ListValueAt(config_.profile.notCopyToLocal, k) != 0) flags |= ORLAX_INIT_NOT_COPY_TO_LOCAL;
    if (ListValueAt(config_.profile.useAia, k) != 0) flags |= ORLAX_INIT_USE_AIA;
    std::string pse = platform::WideToMultiByte(entry.pse.GetString(), CP_ACP);
    std::string local = platform::WideToMultiByte(entry.local.GetString(), CP_ACP);
    InitParams params{};
    params.size = sizeof(InitParams);
    params.flags = flags;
    params.pse = pse.c_str();
    params.local = local.c_str();
    params.ldap = nullptr;

    CString message;
    message.Format(kContextMessage, entry.name);
    LibraryContext context = nullptr;
    DWORD code = ORLAX_InitializeEx(1, &params, &context);
    if (code == 0) {
      entry.context = context;
      if (DWORD rc = Journal(0, message, message)) {
        FatalStop(rc);
        return false;
      }
      continue;
    }
    CString stack = FormatLibraryErrorStack(nullptr);
    DWORD rc = Journal(code, message, message, stack);
    CloseContexts();
    if (rc != 0) {
      ReportToEventLog(rc, kJournalFailureText);
      ReportStopped(service_, rc);
    } else {
      ReportToEventLog(code, kContextFailureText);
      ReportStopped(service_, code);
    }
    return false;
  }
  return true;
}

void Worker::RefreshRevocationLists() {
  for (DirectoryProfileContext& entry : table_) {
    int k = DirectoryProfileIndex(config_.profile, entry.name);
    if (ListValueAt(config_.profile.notLoadCrl, k) != 0 || ListValueAt(config_.profile.crlUpdatePeriod, k) <= 0)
      continue;
    CString text;
    DWORD result = RefreshCrls(config_.profile, k, entry.context, text);
    if (result == 0) continue;
    CString message;
    message.Format(kCrlRefreshMessage, entry.name);
    if (DWORD rc = Journal(result == CRL_REFRESHED ? 0 : result, message, text)) {
      FatalStop(rc);
      return;
    }
  }
}

// Returns false when the worker has stopped (orderly or fatal).
bool Worker::RunRules() {
  const std::vector<RuleRecord>& rules = config_.profile.rules;
  for (size_t i = 0; i < rules.size(); ++i) {
    if (WaitForSingleObject(state_.stopEvent, 1) == WAIT_OBJECT_0) {
      OrderlyStop();
      return false;
    }
    const RuleRecord& rule = rules[i];
    RuleState& ruleState = state_.rules[i];
    if (rule.isOn == 0) continue;
    int missing = 0;
    // The rule's folders as they are now, held until the rule is done.
    platform::HeldFolders held;
    const int number = RuleNumber(rule, static_cast<int>(i));
    if (DWORD rc = CheckRuleFolders(config_.journalFolder, &state_.journalFiles, &rule, &ruleState, number, &missing,
                                    profileName_, &held)) {
      FatalStop(rc);
      return false;
    }
    if (missing) continue;

    CString prefix = MakeRulePrefix(number, rule.description);
    // Built before the listing: the first of a run for the rule's folders
    // takes back the claims a killed process left there, which this very
    // listing then finds under their own names.
    FilePipeline listing(config_.journalFolder, config_.profile, state_, profileName_, static_cast<int>(i));
    if (listing.Fatal()) {
      FatalStop(listing.Result());
      return false;
    }
    CStringArray names;
    DWORD found = FindFiles(rule.pathIn, names, rule.masks);
    if (found != 0) {
      CString message;
      message.Format(L"Поиск файлов в директории %s", rule.pathIn);
      message = prefix + message;
      if (DWORD rc = Journal(found, message, message)) {
        FatalStop(rc);
        return false;
      }
    }
    if (!listing.SetAsideUnencodableNames(names)) {
      FatalStop(listing.Result());
      return false;
    }
    if (names.IsEmpty()) {
      if (IsOperation(rule.operation, Operation::kPack)) ruleState.packWaitStart = 0;
      continue;
    }
    RuleDispatch dispatch{names,          static_cast<int>(i), prefix, config_.profile, table_, ruleState,
                          state_,     config_.base, config_.journalFolder, profileName_};
    if (DWORD rc = DispatchRule(dispatch)) {
      FatalStop(rc);
      return false;
    }
  }
  return true;
}

void Worker::Cycle() {
  DWORD pause = PauseMilliseconds(config_.handlerTimeout);
  while (!stopped_) {
    RefreshRevocationLists();
    if (stopped_) return;
    if (!RunRules()) return;
    if (WaitForSingleObject(state_.stopEvent, pause) == WAIT_OBJECT_0) {
      OrderlyStop();
      return;
    }
  }
}

void Worker::Run() {
  ServiceState& s = service_;
  s.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (s.stopEvent == nullptr) {
    // Stopped, and the manager learns why.
    ReportStatus(s, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, GetLastError(), 0, 0, 0);
    return;
  }
  state_.stopEvent = s.stopEvent;
  ReportRunning(s);
  RemoveAbandonedScratchFiles();
  if (Start()) Cycle();
  state_.stopEvent = nullptr;
}

}  // namespace

CString ProfileNameFromServiceName(const CString& serviceName) {
  int dash = serviceName.ReverseFind(L'-');
  if (dash <= 0 || dash + 1 >= serviceName.GetLength()) return CString();
  return serviceName.Mid(dash + 1);
}

DWORD PauseMilliseconds(int handlerTimeoutSeconds) {
  long long seconds = handlerTimeoutSeconds > 0 ? handlerTimeoutSeconds : 15;
  long long ms = seconds * 1000;
  return static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
}

namespace {

// The missing-folder record is due once per clock hour: when none was
// written, or when now is later than the last one in (year, month, day, hour).
bool FolderRecordDue(const RuleState& state, const SYSTEMTIME& now) {
  if (!state.folderErrorReported) return true;
  const SYSTEMTIME& last = state.lastFolderError;
  auto key = [](const SYSTEMTIME& t) {
    return std::make_tuple(t.wYear, t.wMonth, t.wDay, t.wHour);
  };
  return key(now) > key(last);
}

// A folder exists for a rule only when it is a folder that can be held:
// one reached through no link a user other than root could have made.
DWORD FolderMissingCode(const CString& path, platform::HeldFolders& held) {
  if (path.IsEmpty()) return ERROR_PATH_NOT_FOUND;
  return held.Hold(path);
}

// The step of a rule's folder check, by the folder it names.
const wchar_t* FolderCheckStep(const RuleRecord& rule, const CString* folder) {
  if (folder == &rule.pathIn) return L"Проверка входного каталога '%s'";
  if (folder == &rule.pathOut) return L"Проверка выходного каталога '%s'";
  if (folder == &rule.pathError) return L"Проверка каталога ошибок '%s'";
  return L"Проверка доп. выходного каталога '%s'";
}

// Folders that exist only now, or that became links since the load, are
// compared with "Path In" again: a rule whose output folder is its input is
// passed over while that lasts, with one record each time it begins.
DWORD CheckFoldersAreNotInput(const CString& journalFolder, JournalFiles& files, const RuleRecord& rule,
                              RuleState& state, const CString& prefix, int* missing, const CString& profileName) {
  const RuleFolder folder = FolderThatIsInput(rule);
  if (folder.name == nullptr) {
    state.foldersOverlapReported = false;
    return 0;
  }
  *missing = 1;
  if (state.foldersOverlapReported) return 0;
  state.foldersOverlapReported = true;
  CString step;
  step.Format(FolderCheckStep(rule, folder.path), folder.path->GetString());
  const CString message = prefix + step;
  return WriteJournal(journalFolder, files, profileName,
                      {.code = ERR_RULE_FOLDERS_OVERLAP,
                       .message = message,
                       .description = FolderIsInputText(rule, folder, L": правило не выполняется"),
                       .step = message});
}

}  // namespace

DWORD CheckRuleFolders(CString journalFolder, JournalFiles* files, const RuleRecord* rule, RuleState* state,
                       int ruleNumber, int* missing, const CString& profileName, platform::HeldFolders* held) {
  platform::HeldFolders checkOnly;
  platform::HeldFolders& holder = held != nullptr ? *held : checkOnly;
  CString prefix = MakeRulePrefix(ruleNumber, rule->description);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  struct Folder {
    const CString* path;
    bool optional;
  };
  // DELE writes no output; MOVE makes its dated folders with their parents
  // and otherwise fails each file with the move's own error: neither is
  // stopped by a missing output folder. But an operation that writes into
  // "Path Out" needs one: an empty value would name the file system's root,
  // so it counts as missing, as an empty "Path Error" does.
  const bool outputsChecked =
      !IsOperation(rule->operation, Operation::kDele) && !IsOperation(rule->operation, Operation::kMove);
  const bool movesOut = IsOperation(rule->operation, Operation::kMove);
  const bool outputNeeded = OperationHas(rule->operation, &OperationTraits::writesOutput);
  const Folder folders[] = {
      {&rule->pathIn, false},
      {&rule->pathOut, true},
      {&rule->pathError, false},
      {&rule->pathOut2, true},
  };
  DWORD keptCode = 0;
  for (const Folder& folder : folders) {
    const bool noOutputFolder = outputNeeded && folder.path == &rule->pathOut && folder.path->IsEmpty();
    const bool optional = folder.optional && !noOutputFolder;
    if (optional && (folder.path->IsEmpty() || !(outputsChecked || movesOut))) continue;
    DWORD code = FolderMissingCode(*folder.path, holder);
    if (optional && !outputsChecked && code != ERROR_CANT_RESOLVE_FILENAME) continue;
    if (code == 0) continue;
    *missing = 1;
    keptCode = code;
    if (!FolderRecordDue(*state, now)) continue;
    state->folderErrorReported = true;
    state->lastFolderError = now;
    CString step;
    step.Format(FolderCheckStep(*rule, folder.path), *folder.path);
    CString message = prefix + step;
    return WriteJournal(journalFolder, *files, profileName,
                        {.code = code, .message = message, .step = message});
  }
  if (keptCode != 0) return 0;
  state->folderErrorReported = false;
  return CheckFoldersAreNotInput(journalFolder, *files, *rule, *state, prefix, missing, profileName);
}

DirectoryProfileTable BuildDirectoryProfileTable(const ProfileRecord& profile, std::vector<RuleState>& states) {
  DirectoryProfileTable table;
  auto find = [&](const CString& name) {
    for (size_t i = 0; i < table.size(); ++i)
      if (table[i].name == name) return static_cast<int>(i);
    return -1;
  };
  auto add = [&](const DirectoryProfileEntry& paths, const CString& name) {
    table.push_back({.name = name, .pse = paths.pse, .local = paths.local, .ldap = paths.ldap});
  };
  for (const RuleRecord& rule : profile.rules) {
    if (!rule.zcsProfile.IsEmpty() && find(rule.zcsProfile) < 0) add(rule.directoryProfile, rule.zcsProfile);
    if (OperationHas(rule.operation, &OperationTraits::usesResignProfile) && !rule.resignProfile.IsEmpty() && find(rule.resignProfile) < 0)
      add(rule.resignDirectoryProfile, rule.resignProfile);
  }
  states.assign(profile.rules.size(), RuleState{});
  for (size_t i = 0; i < profile.rules.size(); ++i) {
    states[i].tableIndex = std::max(find(profile.rules[i].zcsProfile), 0);
    states[i].resignTableIndex = std::max(find(profile.rules[i].resignProfile), 0);
  }
  return table;
}

DWORD ServiceCtrlHandler(DWORD control, DWORD, LPVOID, LPVOID context) {
  if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  ServiceState& s = *static_cast<ServiceState*>(context);
  {
    std::lock_guard guard(s.lock);
    // A service that has already reported itself stopped stays stopped: a
    // late request must not leave a stop-pending record behind a process
    // that is about to end.
    if (s.status.dwCurrentState == SERVICE_STOPPED) return NO_ERROR;
    ReportStatusLocked(s, SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 0, 0, NextCheckPoint(s), 0);
  }
  if (HANDLE stopEvent = s.stopEvent.load()) SetEvent(stopEvent);
  std::lock_guard guard(s.lock);
  DWORD state = s.status.dwCurrentState;
  DWORD controls = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
  DWORD checkPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : NextCheckPoint(s);
  ReportStatusLocked(s, state, controls, s.status.dwWin32ExitCode, s.status.dwServiceSpecificExitCode,
                     checkPoint, 0);
  return NO_ERROR;
}

void ServiceMain(DWORD, LPWSTR* argv) {
  ServiceState s;
  s.statusHandle = RegisterServiceCtrlHandlerExW(argv[0], ServiceCtrlHandler, &s);
  if (s.statusHandle == nullptr) {
    ReportToEventLog(GetLastError(), "Регистрация Service Ctrl Handler");
    return;
  }
  {
    std::lock_guard guard(s.lock);
    ReportStatusLocked(s, SERVICE_START_PENDING, 0, 0, 0, NextCheckPoint(s), kStartWaitHint);
  }
  Worker worker(argv[0], s);
  worker.Run();
  // A stop request may come while this returns: the handler's calls end
  // before the status they work on goes.
  platform::EndServiceControls();
  if (HANDLE stopEvent = s.stopEvent.load()) CloseHandle(stopEvent);
}

DWORD RunServiceDispatcher(const wchar_t* profileName) {
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return 0;
  DWORD code = GetLastError();
  if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return code;
  std::string profile = platform::WideToMultiByte(profileName ? profileName : L"", CP_ACP);
  ReportToEventLog(code, "Запуск Ctrl Dispatcher сервиса '%s'", nullptr, profile.c_str());
  return code;
}
