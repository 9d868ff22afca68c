#include "service/core/config_store.h"

#include <cstring>
#include <span>
#include <string_view>

#include "common/operation_catalogue.h"
#include "common/registry_values.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "service/core/event_log_report.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/core/rule_folders.h"

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;  // 0x2001F


// The event source is registered only around the reads whose failures go to
// the event log: while a scope lives, registry's failures are reported
// through its source, and through none again once it goes.
class EventSourceScope {
 public:
  explicit EventSourceScope(RegistryValues& registry) : registry_(registry) {
    registry_.SetReporter(ServiceRegistryReporter(&source_));
  }
  ~EventSourceScope() { registry_.SetReporter(ServiceRegistryReporter()); }
  EventSourceScope(const EventSourceScope&) = delete;
  EventSourceScope& operator=(const EventSourceScope&) = delete;

 private:
  RegistryValues& registry_;
  EventSource source_;
};

CStringA Ansi(const CString& text) { return CStringA(text); }

// Reads every value of a layout table, in its order, with the service's
// report flags.
template <class Record>
void ReadValues(RegistryValues& registry, std::span<const RegistryValueLayout<Record>> values, Record& record) {
  for (const RegistryValueLayout<Record>& value : values)
    ReadRegistryValue(registry, value, record, nullptr, value.serviceReadFlags);
}

CString KeyPath(const CString& profileName) { return CString(kServiceBaseKey) + L"\\" + profileName; }

// Journals a failure of the load and gives the stop code.
ConfigurationLoadResult JournalAndStop(ServiceConfiguration& config, const CString& profileName,
                                       DWORD code, const wchar_t* format, const CString& keyPath) {
  ConfigurationLoadResult result;
  JournalFiles files{.settings = config.journal};  // chosen afresh: the load keeps none
  DWORD rc = WriteJournal(config.journalFolder, files, profileName,
                          {.code = code, .message = FormatText(format, kMachineRootName + keyPath)});
  result.code = rc != 0 ? rc : code;
  result.journalFailed = rc != 0;
  return result;
}

ConfigurationLoadResult Stop(DWORD code) {
  ConfigurationLoadResult result;
  result.code = code;
  return result;
}

const wchar_t* const kOpenKeyFormat = L"Создание (открытие) ключа реестра %s";
const wchar_t* const kEnumerateFormat = L"Поиск подразделов ключа реестра %s";
const wchar_t* const kLoadRuleFormat = L"Загрузка правила %s";
const wchar_t* const kLoadRulesFormat = L"Загрузка правил %s";

// The most rules a profile runs; later ones (in rule order) are not loaded.
constexpr size_t kMaxRules = 1000;

// A stop request is answered between the keys of a load, which may be long.
bool StopRequested(HANDLE stopEvent) {
  return stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

ConfigurationLoadResult Stopped() {
  ConfigurationLoadResult result;
  result.stopRequested = true;
  return result;
}

// Journals a part of the configuration that is not loaded, the rest of the
// load going on; only a failed journal write stops the service.
ConfigurationLoadResult JournalNotLoaded(ServiceConfiguration& config, const CString& profileName, DWORD code,
                                         const wchar_t* format, const CString& keyPath,
                                         const CString& description) {
  ConfigurationLoadResult result;
  JournalFiles files{.settings = config.journal};  // chosen afresh: the load keeps none
  if (DWORD rc = WriteJournal(config.journalFolder, files, profileName,
                              {.code = code,
                               .message = FormatText(format, kMachineRootName + keyPath),
                               .description = description})) {
    result.code = rc;
    result.journalFailed = true;
  }
  return result;
}

// Why a rule is not loaded, or empty.
struct RuleRefusal {
  DWORD code = 0;
  CString description;
};

RuleRefusal CountTooLarge(const char* valueName, int count) {
  RuleRefusal refusal;
  refusal.code = ERR_CONFIGURATION_COUNT_TOO_LARGE;
  refusal.description.Format(L"Значение '%S' равно %u, допустимо не более %d: правило не загружено", valueName,
                             static_cast<DWORD>(count), kMaxCountedTexts);
  return refusal;
}

bool OutOfRange(int count) { return count < 0 || count > kMaxCountedTexts; }

// A rule that puts what it writes back into its own "Path In" would take it
// again every cycle.
RuleRefusal FolderIsInput(const RuleRecord& rule) {
  RuleRefusal refusal;
  const RuleFolder folder = FolderThatIsInput(rule);
  if (folder.name == nullptr) return refusal;
  refusal.code = ERR_RULE_FOLDERS_OVERLAP;
  refusal.description = FolderIsInputText(rule, folder, L": правило не загружено");
  return refusal;
}

// The base values but "LogPath", which is read apart; "Log filesize" is read
// outside the event source's scope, with its own fallback.
void ReadBaseValues(RegistryValues& registry, BaseSettings& base) {
  const std::span<const RegistryValueLayout<BaseSettings>> values = BaseValueLayout();
  {
    EventSourceScope source(registry);
    for (const RegistryValueLayout<BaseSettings>& value : values) {
      if (std::strcmp(value.name, kLogPathValueName) == 0 || std::strcmp(value.name, kLogFileSizeValueName) == 0)
        continue;
      ReadRegistryValue(registry, value, base, nullptr, value.serviceReadFlags);
    }
  }
  base.logFileSize = 400;  // what a failed read leaves
  const RegistryValueLayout<BaseSettings>* logFileSize = FindValueLayout(values, kLogFileSizeValueName);
  ReadRegistryValue(registry, *logFileSize, base, nullptr, logFileSize->serviceReadFlags);
  if (base.logFileSize < 400) base.logFileSize = 400;
}

// The journal folder: "LogPath" unchanged, or the common application-data
// folder's TORVAK/qelmservice, both levels created when missing.
DWORD MakeJournalFolder(const CString& logPath, CString& folder) {
  if (!logPath.IsEmpty()) {
    folder = logPath;
    return 0;
  }
  wchar_t common[MAX_PATH] = {};
  // The common application-data folder always exists on Windows; here the
  // layer makes it on first use.
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common);
  const CString levels[] = {CString(common) + L"/TORVAK", CString(common) + L"/TORVAK/qelmservice"};
  for (const CString& level : levels) {
    if (!CreateDirectoryW(level, nullptr)) {
      DWORD error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS) {
        const EventSource source;
        return ReportFailure(kReportConsole | kReportEventLog,
                             {.code = error, .format = "Создание файла %s", .args = {Ansi(level).GetString()}},
                             &source);
      }
    }
  }
  folder = levels[1];
  return 0;
}

// Makes sure the journal folder takes new files. Only a probe file made
// here is deleted again: one that was there before belongs to someone else.
DWORD ProbeJournalFolder(const CString& folder) {
  const CString probe = JoinPath(folder, kJournalProbeFileName);
  HANDLE file = CreateFileW(probe, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) return 0;
    CString extra;
    extra.Format(L"Создание файла %s", probe.GetString());
    const EventSource source;
    return ReportFailure(kReportEventLog,
                         {.code = error,
                          .format = "Запись в журнал в директории %s",
                          .args = {Ansi(folder).GetString()},
                          .extra = extra.GetString()},
                         &source);
  }
  CloseHandle(file);
  DeleteFileW(probe);
  return 0;
}

void ReadProfileValues(RegistryValues& registry, ProfileRecord& profile, int& handlerTimeout) {
  EventSourceScope source(registry);
  ReadValues(registry, ProfileValueLayout(), profile);
  PadCrlUpdatePeriods(profile);
  // The pause is the worker's, not the record's.
  handlerTimeout = profile.handlerTimeout == 0 ? 15 : profile.handlerTimeout;
  profile.handlerTimeout = 15;
}

// The values of the rule key open in registry, in the stored order. A count out of
// range refuses the rule; the values after it are still read, so that the
// reports are those of a whole rule.
RuleRefusal ReadRuleValues(RegistryValues& registry, RuleRecord& rule) {
  RuleRefusal refusal;
  int maskCount = 0;
  for (const RegistryValueLayout<RuleRecord>& value : RuleValueLayout()) {
    if (value.resignOnly && !OperationHas(rule.operation, &OperationTraits::usesResignProfile)) continue;
    int count = ReadRegistryValue(registry, value, rule, nullptr, value.serviceReadFlags);
    if (value.type == RegistryValueType::CountedTexts && OutOfRange(count) && refusal.code == 0)
      refusal = CountTooLarge(value.name, count);
    if (value.name == std::string_view(kMaskCountValueName)) maskCount = count;
  }
  if (maskCount == 0) rule.masks.push_back(rule.mask);  // even when empty
  // Older configurations keep these two in the first recipient slot.
  if (OperationHas(rule.operation, &OperationTraits::usesResignProfile) && rule.resignProfile.IsEmpty() && !rule.recipients.empty())
    rule.resignProfile = rule.recipients.front();
  if (IsOperation(rule.operation, Operation::kMove) && rule.pathOut2.IsEmpty() && !rule.recipients.empty())
    rule.pathOut2 = rule.recipients.front();
  return refusal;
}

// The values of the signer-list key open in registry.
RuleRefusal ReadSignerListValues(RegistryValues& registry, SignerListRecord& list) {
  RuleRefusal refusal;
  for (const RegistryValueLayout<SignerListRecord>& value : SignerListValueLayout()) {
    int count = ReadRegistryValue(registry, value, list, nullptr, value.serviceReadFlags);
    if (value.type == RegistryValueType::CountedTexts && OutOfRange(count) && refusal.code == 0)
      refusal = CountTooLarge(value.name, count);
  }
  return refusal;
}

// number: the rule's place in the key order, from 1.
ConfigurationLoadResult LoadRule(RegistryValues& registry, ServiceConfiguration& config, const CString& profileName,
                                 const CString& rulesPath, const CString& ruleName, int number, HANDLE stopEvent) {
  const CString rulePath = rulesPath + L"\\" + ruleName;
  if (LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, rulePath, kAccess))
    return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, rulePath);
  RuleRecord rule;
  rule.number = number;
  EventSourceScope source(registry);
  RuleRefusal refusal = ReadRuleValues(registry, rule);
  if (refusal.code == 0) refusal = FolderIsInput(rule);
  std::vector<CString> lists;
  if (DWORD rc = registry.SubkeyNames(lists))
    return JournalAndStop(config, profileName, rc, kEnumerateFormat, rulePath);
  if (refusal.code == 0 && lists.size() > static_cast<size_t>(kMaxCountedTexts)) {
    refusal.code = ERR_CONFIGURATION_COUNT_TOO_LARGE;
    refusal.description.Format(L"Списков подписантов %u, допустимо не более %d: правило не загружено",
                               static_cast<DWORD>(lists.size()), kMaxCountedTexts);
  }
  if (refusal.code != 0)
    return JournalNotLoaded(config, profileName, refusal.code, kLoadRuleFormat, rulePath, refusal.description);
  for (const CString& listName : lists) {
    SignerListRecord list;
    list.name = listName;
    rule.signerLists.push_back(list);
  }
  for (SignerListRecord& list : rule.signerLists) {
    if (StopRequested(stopEvent)) return Stopped();
    const CString listPath = rulePath + L"\\" + list.name;
    if (LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, listPath, kAccess))
      return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, listPath);
    refusal = ReadSignerListValues(registry, list);
    if (refusal.code != 0)
      return JournalNotLoaded(config, profileName, refusal.code, kLoadRuleFormat, rulePath, refusal.description);
  }
  config.profile.rules.push_back(std::move(rule));
  return {};
}

}  // namespace

ConfigurationLoadResult LoadConfiguration(const CString& profileName, ServiceConfiguration& config,
                                          HANDLE stopEvent) {
  RegistryValues registry(ServiceRegistryReporter());
  RegistryKey& key = registry.Key();

  // Base key: before any journal exists, so failures go to the event log.
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, kServiceBaseKey, kAccess)) {
    const EventSource source;
    return Stop(ReportFailure(kReportEventLog,
                              {.code = static_cast<DWORD>(rc),
                               .format = "Создание (открытие) ключа реестра %s",
                               .args = {Ansi(CString(kMachineRootName) + kServiceBaseKey).GetString()}},
                              &source));
  }
  ReadBaseValues(registry, config.base);

  // "LogPath" decides where every later failure goes, so a failed read
  // stops the service with the reader's own code.
  // The reader's own code, for the stop: not whatever last error the thread
  // happens to hold.
  DWORD capturedCode = 0;
  RegistryReporter capture;
  capture.report = [&capturedCode](HWND, DWORD flags, DWORD code, const char* format, const char* valueName) {
    capturedCode = code;
    return ReportFailure(flags, {.code = code, .format = format, .args = {valueName}});
  };
  capture.stringListFlags = capture.intListFlags = kReportEventLog;
  registry.SetReporter(capture);
  const RegistryValueLayout<BaseSettings>& logPath = *FindValueLayout(BaseValueLayout(), kLogPathValueName);
  int read =
      registry.ReadStringValue(logPath.name, config.base.logPath, nullptr, kReportEventLog, logPath.textDefault);
  registry.SetReporter(ServiceRegistryReporter());
  if (!read) {
    DWORD code = capturedCode != 0 ? capturedCode : ERROR_GEN_FAILURE;
    const EventSource source;
    key.Close();
    return Stop(ReportFailure(kReportEventLog,
                              {.code = code,
                               .format = "Чтение из реестра строкового значения '%s'",
                               .args = {Ansi(CString(kMachineRootName) + kServiceBaseKey).GetString()}},
                              &source));
  }
  key.Close();

  if (DWORD rc = MakeJournalFolder(config.base.logPath, config.journalFolder)) return Stop(rc);
  if (DWORD rc = ProbeJournalFolder(config.journalFolder)) return Stop(rc);
  config.journal = MakeJournalSettings(profileName, static_cast<DWORD>(config.base.logFileSize));

  const CString profilePath = KeyPath(profileName);
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, profilePath, kAccess))
    return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, profilePath);
  ReadProfileValues(registry, config.profile, config.handlerTimeout);

  const CString rulesPath = profilePath + L"\\" + kRulesKeyName;
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, rulesPath, kAccess))
    return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, rulesPath);
  std::vector<CString> ruleNames;
  if (DWORD rc = registry.SubkeyNames(ruleNames))
    return JournalAndStop(config, profileName, rc, kEnumerateFormat, rulesPath);
  SortRuleNames(ruleNames);
  if (ruleNames.size() > kMaxRules) {
    CString description;
    description.Format(L"Правил %u, допустимо не более %u: загружены первые %u",
                       static_cast<DWORD>(ruleNames.size()), static_cast<DWORD>(kMaxRules),
                       static_cast<DWORD>(kMaxRules));
    ruleNames.resize(kMaxRules);
    ConfigurationLoadResult result = JournalNotLoaded(config, profileName, ERR_CONFIGURATION_COUNT_TOO_LARGE,
                                                      kLoadRulesFormat, rulesPath, description);
    if (result.code != 0) {
      key.Close();
      return result;
    }
  }

  int number = 0;
  for (const CString& ruleName : ruleNames) {
    if (StopRequested(stopEvent)) {
      key.Close();
      return Stopped();
    }
    ConfigurationLoadResult result = LoadRule(registry, config, profileName, rulesPath, ruleName, ++number, stopEvent);
    if (result.code != 0 || result.stopRequested) {
      key.Close();
      return result;
    }
  }
  key.Close();
  return {};
}
