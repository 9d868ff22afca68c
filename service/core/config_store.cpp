#include "service/core/config_store.h"

#include <algorithm>

#include "common/registry_values.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "service/core/event_log_report.h"
#include "service/core/journal.h"

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;  // 0x2001F

// The code of the last failure a reader reported, for the one read whose
// failure stops the service: the reader's own code, not whatever last error
// the thread happens to hold.
DWORD g_capturedCode = 0;
DWORD CaptureRegistryFailure(HWND, DWORD flags, DWORD code, const char* format,
                             const char* valueName) {
  g_capturedCode = code;
  return ReportFailure(nullptr, flags, code, format, nullptr, nullptr, valueName);
}

// The event source is registered only around the reads whose failures go to
// the event log.
class EventSourceScope {
 public:
  EventSourceScope() { OpenEventSource(); }
  ~EventSourceScope() { CloseEventSource(); }
  EventSourceScope(const EventSourceScope&) = delete;
  EventSourceScope& operator=(const EventSourceScope&) = delete;
};

CStringA Ansi(const CString& text) { return CStringA(text); }

// Reads of the current key with the service's report flags.
void ReadText(const char* name, CString& value, const char* defaultValue, DWORD flags = 2) {
  ReadStringValue(name, value, nullptr, flags, defaultValue);
}
void ReadNumber(const char* name, int& value, int defaultValue, DWORD flags = 2) {
  ReadDwordValue(name, value, nullptr, flags, defaultValue);
}
// The numbered texts "<prefix>0" .. "<prefix><count-1>" (masks, recipients,
// signers), appended in order; each reported to console and event log.
void ReadNumberedTexts(const char* prefix, int count, std::vector<CString>& values) {
  for (int i = 0; i < count; ++i) {
    CStringA name;
    name.Format("%s%d", prefix, i);
    CString value;
    ReadText(name, value, "", 3);
    values.push_back(value);
  }
}

CString KeyPath(const CString& profileName) { return CString(kServiceBaseKey) + L"\\" + profileName; }

// Journals a failure of the load and gives the stop code.
ConfigurationLoadResult JournalAndStop(ServiceConfiguration& config, const CString& profileName,
                                       DWORD code, const wchar_t* format, const CString& keyPath) {
  ConfigurationLoadResult result;
  DWORD rc = WriteJournal(config.journalFolder, config.profile.journalFiles, profileName, code, format,
                          CString(), CString(), kMachineRootName + keyPath);
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

// The names of the current key's subkeys, in enumeration order; 0 or the
// enumeration's error.
DWORD EnumerateSubkeys(std::vector<CString>& names) {
  HKEY key = CurrentRegistryKey().Handle();
  for (DWORD index = 0;; ++index) {
    wchar_t name[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    LSTATUS rc = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return 0;
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    names.emplace_back(name, static_cast<int>(length));
  }
}

void ReadBaseValues(BaseSettings& base) {
  {
    EventSourceScope source;
    ReadText("SigExt", base.sigExt, "p7s");
    ReadText("DsigExt", base.dsigExt, "p7d");
    ReadText("EncExt", base.encExt, "p7e");
    ReadText("B64Ext", base.b64Ext, "b64");
    ReadText("HashExt", base.hashExt, "hsh");
    ReadText("VerifyFileExt", base.verifyFileExt, "vrf");
    ReadText("ZIPArchiveExt", base.zipArchiveExt, "");
    ReadText("GZIPArchiveExt", base.gzipArchiveExt, "");
    ReadStringArray("ExtExt", base.extExt, nullptr);
  }
  base.logFileSize = 400;  // what a failed read leaves
  ReadNumber("Log filesize", base.logFileSize, 4000);
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
        EventSourceScope source;
        return ReportFailure(nullptr, 3, error, "Создание файла %s", nullptr, nullptr,
                             Ansi(level).GetString());
      }
    }
  }
  folder = levels[1];
  return 0;
}

// Makes sure the journal folder takes new files. Only a probe file made
// here is deleted again: one that was there before belongs to someone else.
DWORD ProbeJournalFolder(const CString& folder) {
  const CString probe = folder + L"/" + kJournalProbeFileName;
  HANDLE file = CreateFileW(probe, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) return 0;
    CString extra;
    extra.Format(L"Создание файла %s", probe.GetString());
    EventSourceScope source;
    return ReportFailure(nullptr, 2, error, "Запись в журнал в директории %s", nullptr,
                         extra.GetString(), Ansi(folder).GetString());
  }
  CloseHandle(file);
  DeleteFileW(probe);
  return 0;
}

void ReadProfileValues(ProfileRecord& profile, int& handlerTimeout) {
  EventSourceScope source;
  ReadStringList("ZCSProfile", profile.zcsProfiles, nullptr);
  ReadIntList("NotCopyToLocal", profile.notCopyToLocal, nullptr);
  ReadIntList("NotUseLDAP", profile.notUseLdap, nullptr);
  ReadIntList("UseAIA", profile.useAia, nullptr);
  ReadIntList("NotLoadCrl", profile.notLoadCrl, nullptr);
  ReadIntList("CrlUpdatePeriod", profile.crlUpdatePeriod, nullptr);
  while (profile.crlUpdatePeriod.size() < profile.notLoadCrl.size()) profile.crlUpdatePeriod.push_back(1);
  handlerTimeout = 15;
  ReadNumber("Handler timeout", handlerTimeout, 15);
  if (handlerTimeout == 0) handlerTimeout = 15;
  ReadIntList("AutoUseTSP", profile.autoUseTsp, nullptr);
  ReadStringList("ServerTSP", profile.serverTsp, nullptr);
  ReadIntList("AutoVerifyTSP", profile.autoVerifyTsp, nullptr);
  ReadIntList("NoTSPisError", profile.noTspIsError, nullptr);
  ReadIntList("NotAddCert", profile.notAddCert, nullptr);
  ReadNumber("Verify File", profile.verifyFile, 0);
  ReadNumber("Verify x file", profile.verifyXFile, 0);
  ReadNumber("Verify det file", profile.verifyDetFile, 0);
  ReadNumber("Verify resign file", profile.verifyResignFile, 0);
  ReadNumber("Rename conf files", profile.renameConfFiles, 0);
}

// The values of the current rule key, in the stored order.
void ReadRuleValues(RuleRecord& rule) {
  ReadText("Operation", rule.operation, "");
  ReadText("Path In", rule.pathIn, "");
  ReadText("Path Out", rule.pathOut, "");
  ReadText("Path Out 2", rule.pathOut2, "");
  ReadText("Path Error", rule.pathError, "");
  ReadText("DelExt", rule.delExt, "");
  ReadText("AddExt", rule.addExt, "");
  ReadText("Folders", rule.folders, "");
  ReadText("Copyfolders", rule.copyFolders, "");
  ReadNumber("ArchCount", rule.archCount, 0);
  ReadNumber("ArchSize", rule.archSize, 0);
  ReadNumber("ArchTimeout", rule.archTimeout, 0);
  ReadText("ArchName", rule.archName, "");
  int maskCount = 0;
  ReadNumber("Mask num", maskCount, 0, 3);
  ReadNumberedTexts("M", maskCount, rule.masks);
  ReadText("Mask", rule.mask, "", 3);
  if (maskCount == 0) rule.masks.push_back(rule.mask);  // even when empty
  int recipientCount = 0;
  ReadNumber("Ext num", recipientCount, 0);
  ReadNumber("Is on", rule.isOn, 0);
  ReadText("ZCSProfile", rule.zcsProfile, "");
  ReadText("ResignProfile", rule.resignProfile, "");
  ReadNumber("In format det", rule.inFormatDet, 0);
  ReadNumber("Out format det", rule.outFormatDet, 0);
  ReadText("Descryption", rule.description, "");
  ReadText("ExecName", rule.execName, "");
  ReadNumber("ExecTimeout", rule.execTimeout, 0);
  ReadNumber("Enc algorythm", rule.encAlgorithm, 0);
  ReadText("LDAP", rule.directoryProfile.ldap, "");
  ReadNumber("Stream", rule.stream, 0);
  ReadNumber("ZipFile", rule.zipFile, 0);
  ReadText("PSE", rule.directoryProfile.pse, "");
  ReadText("LOCAL", rule.directoryProfile.local, "");
  if (rule.operation == L"RESG") {
    ReadText("PSE2", rule.resignDirectoryProfile.pse, "");
    ReadText("LOCAL2", rule.resignDirectoryProfile.local, "");
    ReadText("LDAP2", rule.resignDirectoryProfile.ldap, "");
  }
  ReadNumberedTexts("C", recipientCount, rule.recipients);
  // Older configurations keep these two in the first recipient slot.
  if (rule.operation == L"RESG" && rule.resignProfile.IsEmpty() && !rule.recipients.empty())
    rule.resignProfile = rule.recipients.front();
  if (rule.operation == L"MOVE" && rule.pathOut2.IsEmpty() && !rule.recipients.empty())
    rule.pathOut2 = rule.recipients.front();
}

ConfigurationLoadResult LoadRule(ServiceConfiguration& config, const CString& profileName,
                                 const CString& rulesPath, const CString& ruleName) {
  const CString rulePath = rulesPath + L"\\" + ruleName;
  if (LSTATUS rc = CurrentRegistryKey().Open(HKEY_LOCAL_MACHINE, rulePath, kAccess))
    return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, rulePath);
  RuleRecord rule;
  EventSourceScope source;
  ReadRuleValues(rule);
  std::vector<CString> lists;
  if (DWORD rc = EnumerateSubkeys(lists))
    return JournalAndStop(config, profileName, rc, kEnumerateFormat, rulePath);
  for (const CString& listName : lists) {
    SignerListRecord list;
    list.name = listName;
    rule.signerLists.push_back(list);
  }
  for (SignerListRecord& list : rule.signerLists) {
    const CString listPath = rulePath + L"\\" + list.name;
    if (LSTATUS rc = CurrentRegistryKey().Open(HKEY_LOCAL_MACHINE, listPath, kAccess))
      return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, listPath);
    int count = 0;
    ReadNumber("Signer Num", count, 0, 3);
    ReadNumberedTexts("S", count, list.signers);
  }
  config.profile.rules.push_back(std::move(rule));
  return {};
}

}  // namespace

int RuleNumber(const CString& keyName) {
  int blank = keyName.ReverseFind(L' ');
  CStringA text(blank < 0 ? keyName : keyName.Mid(blank + 1));
  const char* p = text.GetString();
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < 0x80000000LL) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

void SortRuleNames(std::vector<CString>& names) {
  std::stable_sort(names.begin(), names.end(), [](const CString& a, const CString& b) {
    return RuleNumber(a) < RuleNumber(b);
  });
}

ConfigurationLoadResult LoadConfiguration(const CString& profileName, ServiceConfiguration& config) {
  InstallServiceRegistryReporter();
  RegistryKey& key = CurrentRegistryKey();

  // Base key: before any journal exists, so failures go to the event log.
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, kServiceBaseKey, kAccess)) {
    EventSourceScope source;
    return Stop(ReportFailure(nullptr, 2, static_cast<DWORD>(rc), "Создание (открытие) ключа реестра %s",
                              nullptr, nullptr,
                              Ansi(CString(kMachineRootName) + kServiceBaseKey).GetString()));
  }
  ReadBaseValues(config.base);

  // "LogPath" decides where every later failure goes, so a failed read
  // stops the service with the reader's own code.
  g_capturedCode = 0;
  RegistryReporter capture;
  capture.report = CaptureRegistryFailure;
  capture.stringListFlags = capture.intListFlags = 2;
  SetRegistryReporter(capture);
  int read = ReadStringValue("LogPath", config.base.logPath, nullptr, 2, "");
  InstallServiceRegistryReporter();
  if (!read) {
    DWORD code = g_capturedCode != 0 ? g_capturedCode : ERROR_GEN_FAILURE;
    EventSourceScope source;
    key.Close();
    return Stop(ReportFailure(nullptr, 2, code, "Чтение из реестра строкового значения '%s'", nullptr,
                              nullptr, Ansi(CString(kMachineRootName) + kServiceBaseKey).GetString()));
  }
  key.Close();

  if (DWORD rc = MakeJournalFolder(config.base.logPath, config.journalFolder)) return Stop(rc);
  if (DWORD rc = ProbeJournalFolder(config.journalFolder)) return Stop(rc);
  SetJournalSettings(profileName, static_cast<DWORD>(config.base.logFileSize));

  const CString profilePath = KeyPath(profileName);
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, profilePath, kAccess))
    return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, profilePath);
  ReadProfileValues(config.profile, config.handlerTimeout);

  const CString rulesPath = profilePath + L"\\rules";
  if (LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, rulesPath, kAccess))
    return JournalAndStop(config, profileName, static_cast<DWORD>(rc), kOpenKeyFormat, rulesPath);
  std::vector<CString> ruleNames;
  if (DWORD rc = EnumerateSubkeys(ruleNames))
    return JournalAndStop(config, profileName, rc, kEnumerateFormat, rulesPath);
  SortRuleNames(ruleNames);

  for (const CString& ruleName : ruleNames) {
    ConfigurationLoadResult result = LoadRule(config, profileName, rulesPath, ruleName);
    if (result.code != 0) {
      key.Close();
      return result;
    }
  }
  key.Close();
  return {};
}
