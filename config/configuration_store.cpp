#include "config/configuration_store.h"

#include <QWidget>
#include <span>

#include "common/operation_catalogue.h"
#include "common/error_box.h"
#include "common/error_description.h"
#include "common/library_error_stack.h"
#include "common/qelm_api.h"
#include "common/registry_layout.h"
#include "common/registry_values.h"
#include "common/report_text.h"
#include "common/rule_order.h"
#include "config/config_records.h"
#include "config/message_boxes.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace {

constexpr const char* kOpenKeyFormat = "Создание (открытие) ключа реестра %s";
constexpr const char* kEnumerateFormat = "Поиск подразделов ключа реестра %s";
constexpr const char* kDeleteKeyFormat = "Удаление ключа реестра %s";
constexpr const wchar_t* kUserRootName = L"HKEY_CURRENT_USER\\";
// The save passes these report flags (show, and registry helper).
constexpr DWORD kSaveFlags = 3;
// This program's defaults where the service's differ: it always writes
// both archive extensions, so after a save the store holds them.
constexpr const char* kZipExtensionDefault = "zip";
constexpr const char* kGzipExtensionDefault = "gz";
constexpr int kLeastLogFileSize = 400;

// Reports a key failure with the key's full path as the argument.
void ReportKey(QWidget* owner, DWORD code, const char* format, const wchar_t* root,
               const CString& path) {
  const std::string argument = platform::WideToMultiByte((CString(root) + path).GetString());
  ReportErrorBox(ErrorOwner(owner), nullptr, kErrorBoxShow, code, format, nullptr,
                 argument.c_str());
}

CString ProfilePath(const CString& name) { return CString(kServiceBaseKey) + L"\\" + name; }
CString RulesPath(const CString& profile) {
  return ProfilePath(profile) + L"\\" + kRulesKeyName;
}

// The code text of a report: "Ошибка ORLAX 0x%X" for the library's codes.
CString LibraryFailureText(const char* step, DWORD code, LibraryContext context) {
  return WidenFormat(step) + L".\r\n" + ResultCodeText(code) + L" - " +
         ErrorDescription(code, nullptr) + L".\r\n\r\n" + FormatLibraryErrorStack(context);
}

void ShowLibraryFailure(QWidget* owner, const char* step, DWORD code, LibraryContext context) {
  WarningBox box(owner, 1);
  box.text = LibraryFailureText(step, code, context);
  box.DoModal();
}

CString TextOf(const DataBlob& blob) {
  if (blob.length == 0 || blob.data == nullptr) return CString();
  const char* text = reinterpret_cast<const char*>(blob.data);
  return CString(platform::MultiByteToWide(std::string_view(text, strnlen(text, blob.length))).c_str());
}

// Step 2 of the load: the library's directory profiles into
// state.directoryProfiles and state.libraryProfileNames.
bool ListLibraryProfiles(QWidget* owner, TrelconState& state) {
  state.libraryListing.Reset();
  LibraryContext context = nullptr;
  if (const DWORD code = ORLAX_InitMinimal(&context)) {
    ShowLibraryFailure(owner, "Инициализация минимального криптоконтекста", code, nullptr);
    return false;
  }
  // Kept open for the rest of the program, as the library expects of the
  // context that listed its profiles.
  state.libraryListing.Reset(context);
  for (uint32_t index = 0;; ++index) {
    DataBlob name{}, pse{}, local{}, ldap{};
    const DWORD code = ORLAX_QueryRegistryProfileEx(context, &name, &pse, &local, &ldap, index);
    if (code == ORLAX_E_NO_MORE_PROFILES) return true;
    if (code != 0) {
      ShowLibraryFailure(owner, "Запрос профиля справочника", code, context);
      return false;
    }
    DirectoryProfileEntry entry;
    entry.pse = TextOf(pse);
    entry.local = TextOf(local);
    entry.ldap = TextOf(ldap);
    entry.name = TextOf(name);
    for (DataBlob* blob : {&name, &pse, &local, &ldap}) {
      if (blob->length != 0) ORLAX_FreeMem(context, blob->data);
    }
    state.libraryProfileNames.Add(entry.name);
    state.directoryProfiles.push_back(std::move(entry));
  }
}

// Whether a rule value is one of the directory-profile paths, which this
// program writes from the library's profiles and never reads.
bool IsMainPath(const RegistryValueLayout<RuleRecord>& value, RuleRecord& rule) {
  if (value.type != RegistryValueType::Text) return false;
  const CString* field = &value.text(rule);
  const DirectoryProfileEntry& entry = rule.directoryProfile;
  return field == &entry.pse || field == &entry.local || field == &entry.ldap;
}
bool IsResignPath(const RegistryValueLayout<RuleRecord>& value, RuleRecord& rule) {
  if (value.type != RegistryValueType::Text) return false;
  const CString* field = &value.text(rule);
  const DirectoryProfileEntry& entry = rule.resignDirectoryProfile;
  return field == &entry.pse || field == &entry.local || field == &entry.ldap;
}
// "Mask": read only when "Mask num" is 0, never written.
bool IsSingleMask(const RegistryValueLayout<RuleRecord>& value, RuleRecord& rule) {
  return value.type == RegistryValueType::Text && &value.text(rule) == &rule.mask;
}

// ------------------------------------------------------------------- load

void ReadBaseValues(RegistryValues& registry, QWidget* owner, BaseSettings& base) {
  for (const RegistryValueLayout<BaseSettings>& value : BaseValueLayout()) {
    RegistryValueLayout<BaseSettings> ours = value;
    if (value.type == RegistryValueType::Text) {
      if (&value.text(base) == &base.zipArchiveExt) ours.textDefault = kZipExtensionDefault;
      if (&value.text(base) == &base.gzipArchiveExt) ours.textDefault = kGzipExtensionDefault;
    }
    ReadRegistryValue(registry, ours, base, WindowHandle(owner), kSaveFlags);
  }
  if (base.logFileSize < kLeastLogFileSize) base.logFileSize = kLeastLogFileSize;
}

// The service reads a missing entry of a directory-profile list as 0 (no
// time-stamp server for "ServerTSP"); the editors read every list at the
// position of a directory profile, so each list gets that entry.
void PadDirectoryProfileLists(ProfileRecord& profile) {
  const size_t length = profile.zcsProfiles.size();
  if (profile.serverTsp.size() < length) profile.serverTsp.resize(length, CString(L"0"));
  for (std::vector<int>* list :
       {&profile.notUseLdap, &profile.notAddCert, &profile.notCopyToLocal, &profile.autoVerifyTsp,
        &profile.noTspIsError, &profile.useAia, &profile.autoUseTsp, &profile.notLoadCrl,
        &profile.crlUpdatePeriod}) {
    if (list->size() < length) list->resize(length, 0);
  }
}

void ReadRuleValues(RegistryValues& registry, QWidget* owner, RuleRecord& rule) {
  int maskCount = 0;
  for (const RegistryValueLayout<RuleRecord>& value : RuleValueLayout()) {
    if (IsMainPath(value, rule) || IsResignPath(value, rule)) continue;
    if (IsSingleMask(value, rule)) {
      if (maskCount != 0) continue;
      ReadRegistryValue(registry, value, rule, WindowHandle(owner), kSaveFlags);
      rule.masks.push_back(rule.mask);
      continue;
    }
    const int count = ReadRegistryValue(registry, value, rule, WindowHandle(owner), kSaveFlags);
    if (value.type == RegistryValueType::CountedTexts && &value.texts(rule) == &rule.masks) {
      maskCount = count;
    }
  }
  if (ArchiveUseOf(rule.operation) == ArchiveUse::kRequired && rule.zipFile == 0) {
    rule.zipFile = 1;
  }
  // Older configurations keep these two in the first recipient slot.
  if (OperationHas(rule.operation, &OperationTraits::usesResignProfile) && rule.resignProfile.IsEmpty() && !rule.recipients.empty()) {
    rule.resignProfile = rule.recipients.front();
  }
  if (IsOperation(rule.operation, Operation::kMove) && rule.pathOut2.IsEmpty() && !rule.recipients.empty()) {
    rule.pathOut2 = rule.recipients.front();
  }
}

bool LoadRule(RegistryValues& registry, QWidget* owner, const CString& rulePath, RuleRecord& rule) {
  if (const LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, rulePath)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, rulePath);
    return false;
  }
  ReadRuleValues(registry, owner, rule);
  std::vector<CString> lists;
  if (const DWORD rc = registry.SubkeyNames(lists)) {
    ReportKey(owner, rc, kEnumerateFormat, kMachineRootName, rulePath);
    return false;
  }
  for (const CString& name : lists) {
    SignerListRecord list;
    list.name = name;
    const CString listPath = rulePath + L"\\" + name;
    if (const LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, listPath)) {
      ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, listPath);
      return false;
    }
    for (const RegistryValueLayout<SignerListRecord>& value : SignerListValueLayout()) {
      ReadRegistryValue(registry, value, list, WindowHandle(owner), kSaveFlags);
    }
    rule.signerLists.push_back(std::move(list));
  }
  return true;
}

bool LoadProfile(RegistryValues& registry, QWidget* owner, const CString& name, ProfileRecord& profile) {
  profile.name = name;
  const CString path = ProfilePath(name);
  if (const LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, path)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, path);
    return false;
  }
  for (const RegistryValueLayout<ProfileRecord>& value : ProfileValueLayout()) {
    ReadRegistryValue(registry, value, profile, WindowHandle(owner), kSaveFlags);
  }
  PadCrlUpdatePeriods(profile);
  PadDirectoryProfileLists(profile);

  // A profile without "rules" (a save that could not re-create it leaves
  // one) is a profile without rules.
  const CString rulesPath = RulesPath(name);
  const LSTATUS opened = registry.Key().Open(HKEY_LOCAL_MACHINE, rulesPath);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) {
    ReportKey(owner, static_cast<DWORD>(opened), kOpenKeyFormat, kMachineRootName, rulesPath);
    return false;
  }
  std::vector<CString> ruleNames;
  if (const DWORD rc = registry.SubkeyNames(ruleNames)) {
    ReportKey(owner, rc, kEnumerateFormat, kMachineRootName, rulesPath);
    return false;
  }
  SortRuleNames(ruleNames);
  for (const CString& ruleName : ruleNames) {
    RuleRecord rule;
    if (!LoadRule(registry, owner, rulesPath + L"\\" + ruleName, rule)) return false;
    profile.rules.push_back(std::move(rule));
  }
  return true;
}

// ------------------------------------------------------------------- save

// Writes the values of one record through its layout; false when any
// writer reported a failure.
bool WriteProfileValues(RegistryValues& registry, QWidget* owner, ProfileRecord& profile) {
  bool written = true;
  const HWND handle = WindowHandle(owner);
  for (const RegistryValueLayout<ProfileRecord>& value : ProfileValueLayout()) {
    switch (value.type) {
      case RegistryValueType::Number:
        written &= registry.WriteDwordValue(value.name, value.number(profile), handle, kSaveFlags) != 0;
        break;
      case RegistryValueType::TextList:
        written &= WriteStringList(registry, 0, value.name, handle, kSaveFlags, value.texts(profile)) != 0;
        break;
      case RegistryValueType::NumberList:
        written &= WriteIntList(registry, 0, value.name, handle, kSaveFlags, value.numbers(profile)) != 0;
        break;
      default:
        break;
    }
  }
  return written;
}

bool WriteCountedTexts(RegistryValues& registry, const char* countName, const char* prefix,
                       const std::vector<CString>& texts, HWND owner) {
  bool written = registry.WriteDwordValue(countName, static_cast<int>(texts.size()), owner, kSaveFlags) != 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    CStringA name;
    name.Format("%s%d", prefix, static_cast<int>(i));
    written &= registry.WriteStringValue(name.GetString(), texts[i].GetString(), owner, kSaveFlags) != 0;
  }
  return written;
}

// The paths of the library's directory profile named name, when it has one
// ("from every entry whose name equals": the last one stays).
bool FindLibraryPaths(const std::vector<DirectoryProfileEntry>& library, const CString& name,
                      DirectoryProfileEntry& paths) {
  bool found = false;
  for (const DirectoryProfileEntry& entry : library) {
    if (entry.name == name) {
      paths = entry;
      found = true;
    }
  }
  return found;
}

bool WriteRuleValues(RegistryValues& registry, QWidget* owner, const std::vector<DirectoryProfileEntry>& library,
                     const RuleRecord& stored) {
  RuleRecord rule = stored;
  const bool resign = OperationHas(rule.operation, &OperationTraits::usesResignProfile);
  const bool hasPaths = FindLibraryPaths(library, rule.zcsProfile, rule.directoryProfile);
  const bool hasResignPaths = resign && FindLibraryPaths(library, rule.resignProfile, rule.resignDirectoryProfile);
  const HWND handle = WindowHandle(owner);
  bool written = true;
  for (const RegistryValueLayout<RuleRecord>& value : RuleValueLayout()) {
    if (IsSingleMask(value, rule)) continue;
    if (IsMainPath(value, rule) && !hasPaths) continue;
    if (IsResignPath(value, rule) && !hasResignPaths) continue;
    if (value.resignOnly && !resign) continue;
    switch (value.type) {
      case RegistryValueType::Text:
        written &= registry.WriteStringValue(value.name, value.text(rule).GetString(), handle, kSaveFlags) != 0;
        break;
      case RegistryValueType::Number:
        written &= registry.WriteDwordValue(value.name, value.number(rule), handle, kSaveFlags) != 0;
        break;
      case RegistryValueType::CountedTexts:
        written &= WriteCountedTexts(registry, value.name, value.prefix, value.texts(rule), handle);
        break;
      default:
        break;
    }
  }
  return written;
}

bool WriteSignerList(RegistryValues& registry, QWidget* owner, const CString& rulePath, const SignerListRecord& stored) {
  const CString path = rulePath + L"\\" + stored.name;
  if (const LSTATUS rc = registry.Key().Create(HKEY_LOCAL_MACHINE, path)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, path);
    return false;
  }
  SignerListRecord list = stored;
  bool written = true;
  for (const RegistryValueLayout<SignerListRecord>& value : SignerListValueLayout()) {
    if (value.type == RegistryValueType::CountedTexts) {
      written &= WriteCountedTexts(registry, value.name, value.prefix, value.texts(list), WindowHandle(owner));
    }
  }
  return written;
}

// Step 5.3: the rules of one profile under its re-created "rules" key.
bool WriteRules(RegistryValues& registry, QWidget* owner, const std::vector<DirectoryProfileEntry>& library,
                const ProfileRecord& profile) {
  const CString rulesPath = RulesPath(profile.name);
  bool written = true;
  for (size_t j = 0; j < profile.rules.size(); ++j) {
    const RuleRecord& rule = profile.rules[j];
    if (const LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, rulesPath)) {
      ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, rulesPath);
      return false;
    }
    // A rule without an operation is not written; no key gets its number.
    if (rule.operation.IsEmpty()) continue;
    CString ruleName;
    ruleName.Format(L"Rule %d", static_cast<int>(j));
    const CString rulePath = rulesPath + L"\\" + ruleName;
    if (const LSTATUS rc = registry.Key().Create(HKEY_LOCAL_MACHINE, rulePath)) {
      ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, rulePath);
      return false;
    }
    written &= WriteRuleValues(registry, owner, library, rule);
    for (const SignerListRecord& list : rule.signerLists) {
      if (!WriteSignerList(registry, owner, rulePath, list)) {
        written = false;
        break;
      }
    }
  }
  return written;
}

bool OpenBaseKey(RegistryValues& registry, QWidget* owner) {
  if (const LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, kServiceBaseKey)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, kServiceBaseKey);
    return false;
  }
  return true;
}

// The profile "default" of an empty store.
ProfileRecord DefaultProfile(const CStringArray& libraryProfileNames) {
  ProfileRecord profile;
  profile.name = L"default";
  if (!libraryProfileNames.IsEmpty()) {
    profile.zcsProfiles = {libraryProfileNames[0]};
    profile.serverTsp = {L"0"};
    profile.notUseLdap = {1};
    profile.crlUpdatePeriod = {1};
    for (std::vector<int>* list : {&profile.notCopyToLocal, &profile.autoUseTsp,
                                   &profile.autoVerifyTsp, &profile.noTspIsError, &profile.useAia,
                                   &profile.notAddCert, &profile.notLoadCrl}) {
      *list = {0};
    }
  }
  return profile;
}

bool CreateDefaultProfile(RegistryValues& registry, QWidget* owner, TrelconState& state) {
  state.profileNames.RemoveAll();
  state.profileNames.Add(L"default");
  const HWND handle = WindowHandle(owner);
  registry.WriteStringValue("LogPath", L"", handle, kSaveFlags);
  registry.WriteDwordValue("Log filesize", 4000, handle, kSaveFlags);
  ProfileRecord profile = DefaultProfile(state.libraryProfileNames);
  const CString path = ProfilePath(profile.name);
  if (const LSTATUS rc = registry.Key().Create(HKEY_LOCAL_MACHINE, path)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, path);
    return false;
  }
  WriteProfileValues(registry, owner, profile);
  const CString rulesPath = RulesPath(profile.name);
  if (const LSTATUS rc = registry.Key().Create(HKEY_LOCAL_MACHINE, rulesPath)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, rulesPath);
    return false;
  }
  return OpenBaseKey(registry, owner);
}

}  // namespace


int WriteIntList(RegistryValues& registry, int maximumCount, const char* name, HWND owner, DWORD /*flags*/,
                 const std::vector<int>& list) {
  CStringArray texts;
  const size_t count = maximumCount > 0 ? std::min<size_t>(maximumCount, list.size()) : list.size();
  for (size_t i = 0; i < count; ++i) {
    CString text;
    text.Format(L"%d", list[i]);
    texts.Add(text);
  }
  return registry.WriteStringArray(texts, name, owner);
}

int WriteStringList(RegistryValues& registry, int maximumCount, const char* name, HWND owner, DWORD /*flags*/,
                    const std::vector<CString>& list) {
  CStringArray texts;
  const size_t count = maximumCount > 0 ? std::min<size_t>(maximumCount, list.size()) : list.size();
  for (size_t i = 0; i < count; ++i) texts.Add(list[i].IsEmpty() ? CString(L"0") : list[i]);
  return registry.WriteStringArray(texts, name, owner);
}

bool LoadConfigurationStore(QWidget* owner, TrelconState& state, int& logFileSize,
                            QRect& placement) {
  RegistryValues registry(ProgramRegistryReporter());
  state.ResetConfiguration();
  placement = QRect();
  if (const LSTATUS rc = registry.Key().Open(HKEY_CURRENT_USER, kLibraryProfileStoreKey)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kUserRootName, kLibraryProfileStoreKey);
    return false;
  }
  registry.Key().Close();
  if (!ListLibraryProfiles(owner, state)) return false;

  if (const LSTATUS rc = registry.Key().Create(HKEY_LOCAL_MACHINE, kServiceBaseKey)) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, kServiceBaseKey);
    return false;
  }
  std::vector<CString> names;
  if (const DWORD rc = registry.SubkeyNames(names)) {
    ReportKey(owner, rc, kEnumerateFormat, kMachineRootName, kServiceBaseKey);
    return false;
  }
  for (const CString& name : names) state.profileNames.Add(name);
  if (names.empty() && !CreateDefaultProfile(registry, owner, state)) return false;

  const HWND handle = WindowHandle(owner);
  int top = 0, bottom = 0, left = 0, right = 0;
  registry.ReadDwordValue("Window_top", top, handle, kSaveFlags, 0);
  registry.ReadDwordValue("Window_bottom", bottom, handle, kSaveFlags, 0);
  registry.ReadDwordValue("Window_left", left, handle, kSaveFlags, 0);
  registry.ReadDwordValue("Window_right", right, handle, kSaveFlags, 0);
  if (top != 0 && left != 0) placement = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));

  ReadBaseValues(registry, owner, state.baseSettings);
  logFileSize = state.baseSettings.logFileSize;

  for (const CString& name : state.profileNames) {
    ProfileRecord profile;
    if (!LoadProfile(registry, owner, name, profile)) return false;
    state.profiles.push_back(std::move(profile));
  }
  if (const LSTATUS rc = registry.Key().Close()) {
    ReportKey(owner, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, kServiceBaseKey);
    return false;
  }
  return true;
}

void SaveConfigurationStore(QWidget* window, TrelconState& state, int logFileSize) {
  RegistryValues registry(ProgramRegistryReporter());
  const QRect normal = window != nullptr ? window->normalGeometry() : QRect();
  if (!OpenBaseKey(registry, window)) return;
  std::vector<CString> stored;
  if (const DWORD rc = registry.SubkeyNames(stored)) {
    ReportKey(window, rc, kEnumerateFormat, kMachineRootName, kServiceBaseKey);
    return;
  }
  // Exact comparisons: a profile whose key differs only in letter case is
  // deleted here and written again below.
  const auto held = [&state](const CString& name) { return state.ProfilePosition(name) >= 0; };
  for (const CString& name : stored) {
    if (held(name)) continue;
    if (const LSTATUS rc = RegDeleteTreeW(registry.Key().Handle(), name)) {
      ReportKey(window, static_cast<DWORD>(rc), kDeleteKeyFormat, kMachineRootName, kServiceBaseKey);
      return;
    }
  }

  bool saved = true;
  const HWND handle = WindowHandle(window);
  saved &= registry.WriteDwordValue("Window_top", normal.top(), handle, kSaveFlags) != 0;
  saved &= registry.WriteDwordValue("Window_bottom", normal.bottom() + 1, handle, kSaveFlags) != 0;
  saved &= registry.WriteDwordValue("Window_left", normal.left(), handle, kSaveFlags) != 0;
  saved &= registry.WriteDwordValue("Window_right", normal.right() + 1, handle, kSaveFlags) != 0;
  BaseSettings base = state.baseSettings;
  base.logFileSize = logFileSize;
  for (const RegistryValueLayout<BaseSettings>& value : BaseValueLayout()) {
    switch (value.type) {
      case RegistryValueType::Text:
        saved &= registry.WriteStringValue(value.name, value.text(base).GetString(), handle, kSaveFlags) != 0;
        break;
      case RegistryValueType::Number:
        saved &= registry.WriteDwordValue(value.name, value.number(base), handle, kSaveFlags) != 0;
        break;
      case RegistryValueType::TextList:
        saved &= registry.WriteStringArray(value.textArray(base), value.name, handle) != 0;
        break;
      default:
        break;
    }
  }

  for (const CString& name : state.profileNames) {
    if (std::find(stored.begin(), stored.end(), name) != stored.end()) continue;
    const LSTATUS created = registry.Key().Create(HKEY_LOCAL_MACHINE, ProfilePath(name));
    if (created != ERROR_SUCCESS) {
      ReportKey(window, static_cast<DWORD>(created), kOpenKeyFormat, kMachineRootName, ProfilePath(name));
      saved = false;
    }
    if (!OpenBaseKey(registry, window)) saved = false;
  }

  for (size_t i = 0; i < state.profiles.size(); ++i) {
    ProfileRecord& profile = state.profiles[i];
    const CString path = ProfilePath(profile.name);
    if (const LSTATUS rc = registry.Key().Open(HKEY_LOCAL_MACHINE, path)) {
      ReportKey(window, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, path);
      saved = false;
      break;
    }
    saved &= WriteProfileValues(registry, window, profile);
    const LSTATUS deleted = RegDeleteTreeW(registry.Key().Handle(), kRulesKeyName);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
      ReportKey(window, static_cast<DWORD>(deleted), kDeleteKeyFormat, kMachineRootName,
                RulesPath(profile.name));
      saved = false;
      break;
    }
    if (const LSTATUS rc = registry.Key().Create(HKEY_LOCAL_MACHINE, RulesPath(profile.name))) {
      ReportKey(window, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName,
                RulesPath(profile.name));
      saved = false;
      break;
    }
    saved &= WriteRules(registry, window, state.directoryProfiles, profile);
    if (!OpenBaseKey(registry, window)) saved = false;
  }

  if (const LSTATUS rc = registry.Key().Close()) {
    ReportKey(window, static_cast<DWORD>(rc), kOpenKeyFormat, kMachineRootName, kServiceBaseKey);
    saved = false;
  }
  // A reported failure leaves changes unsaved: leaving still asks.
  if (saved) state.modified = 0;
}

LibraryListing::~LibraryListing() { Reset(); }

void LibraryListing::Reset(LibraryContext context) {
  if (context_ != nullptr) ORLAX_Uninitialize(context_);
  context_ = context;
}
