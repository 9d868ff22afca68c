#include "platform/eventlog.h"

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/messages.h"
#include "platform/utf16.h"

namespace {

constexpr DWORD kRpcServerUnavailable = 1722;
constexpr std::size_t kMaxStringLength = 31839;
constexpr std::size_t kMaxRecordCharacters = 256 * 1024;
constexpr BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};

class EventSource : public platform::KernelObject {
 public:
  explicit EventSource(std::string name) : name(std::move(name)) {}
  const std::string name;
};

class AccessToken : public platform::KernelObject {
 public:
  explicit AccessToken(uid_t uid) : uid(uid) {}
  const uid_t uid;
};

HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

// --- SIDs ---------------------------------------------------------------------

std::vector<DWORD> SubAuthoritiesForUid(uid_t uid) {
  if (uid == 0) return {18};  // the local system account
  return {21, 0, 0, 0, static_cast<DWORD>(uid)};
}

std::size_t SidSize(std::size_t subAuthorities) { return 8 + 4 * subAuthorities; }

void WriteSid(SID* sid, const std::vector<DWORD>& subs) {
  sid->Revision = 1;
  sid->SubAuthorityCount = static_cast<BYTE>(subs.size());
  std::memcpy(sid->IdentifierAuthority.Value, kNtAuthority, 6);
  std::memcpy(sid->SubAuthority, subs.data(), subs.size() * sizeof(DWORD));
}

std::vector<DWORD> SubAuthorities(const SID* sid) {
  std::vector<DWORD> subs(sid->SubAuthorityCount);
  std::memcpy(subs.data(), sid->SubAuthority, subs.size() * sizeof(DWORD));
  return subs;
}

std::string SidText(const SID* sid) {
  unsigned long long authority = 0;
  for (BYTE b : sid->IdentifierAuthority.Value) authority = (authority << 8) | b;
  char buffer[32];
  if (authority >> 32)
    std::snprintf(buffer, sizeof buffer, "0x%012llX", authority);
  else
    std::snprintf(buffer, sizeof buffer, "%llu", authority);
  std::string text = "S-" + std::to_string(sid->Revision) + "-" + buffer;
  for (DWORD sub : SubAuthorities(sid)) text += "-" + std::to_string(sub);
  return text;
}

// The login name behind one of our SIDs; the SID text for any other.
std::string UserNameOf(PSID psid) {
  if (psid == nullptr) return "N/A";
  if (!IsValidSid(psid)) return "?";
  const SID* sid = static_cast<const SID*>(psid);
  std::vector<DWORD> subs = SubAuthorities(sid);
  bool nt = std::memcmp(sid->IdentifierAuthority.Value, kNtAuthority, 6) == 0;
  std::optional<uid_t> uid;
  if (nt && subs == std::vector<DWORD>{18}) uid = 0;
  if (nt && subs.size() == 5 && subs[0] == 21 && subs[1] == 0 && subs[2] == 0 && subs[3] == 0) uid = subs[4];
  if (uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(*uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
      return found->pw_name;
  }
  return SidText(sid);
}

// --- the log line -------------------------------------------------------------

std::string TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS: return "SUCCESS";
    case EVENTLOG_ERROR_TYPE: return "ERROR";
    case EVENTLOG_WARNING_TYPE: return "WARNING";
    case EVENTLOG_INFORMATION_TYPE: return "INFORMATION";
    case EVENTLOG_AUDIT_SUCCESS: return "AUDIT_SUCCESS";
    case EVENTLOG_AUDIT_FAILURE: return "AUDIT_FAILURE";
    default: {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "0x%04X", type);
      return buffer;
    }
  }
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_AUDIT_FAILURE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

std::string EscapeField(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '|': out += "\\|"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string LocalTimeText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return buffer;
}

// Everything after the source field, shared by the file line and syslog.
std::string RecordBody(WORD type, DWORD eventId, PSID userSid, const std::vector<std::string>& strings) {
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", eventId);
  std::string body = TypeName(type) + " | " + id + " | user=" + UserNameOf(userSid);
  for (const std::string& s : strings) body += " | " + EscapeField(s);
  return body;
}

DWORD AppendLine(const std::string& path, const std::string& line) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return WinErrorFromErrno(errno);
  // One write: appends of whole lines by several processes never interleave.
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  DWORD result = ERROR_SUCCESS;
  if (written < 0)
    result = WinErrorFromErrno(errno);
  else if (static_cast<std::size_t>(written) != line.size())
    result = ERROR_DISK_FULL;
  close(fd);
  return result;
}

void SendToSyslog(const std::string& ident, int priority, const std::string& body) {
  // openlog keeps the ident pointer: keep every ident alive for good.
  static std::mutex lock;
  static std::set<std::string>* idents = new std::set<std::string>;
  std::lock_guard guard(lock);
  const std::string& kept = *idents->insert(ident).first;
  openlog(kept.c_str(), LOG_PID, LOG_USER);
  syslog(priority, "%s", body.c_str());
}

}  // namespace

HANDLE GetCurrentProcess() { return CurrentProcessPseudoHandle(); }

BOOL OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process != CurrentProcessPseudoHandle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = platform::RegisterHandle(std::make_unique<AccessToken>(geteuid()));
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                         PDWORD returnLength) {
  if (returnLength == nullptr || infoClass != TokenUser) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* access = platform::LookupHandleAs<AccessToken>(token);
  if (access == nullptr) return FALSE;
  std::vector<DWORD> subs = SubAuthoritiesForUid(access->uid);
  constexpr std::size_t kSidOffset = (sizeof(TOKEN_USER) + 7) / 8 * 8;
  std::size_t needed = kSidOffset + SidSize(subs.size());
  *returnLength = static_cast<DWORD>(needed);
  if (info == nullptr || length < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* user = static_cast<TOKEN_USER*>(info);
  auto* sid = reinterpret_cast<SID*>(static_cast<BYTE*>(info) + kSidOffset);
  WriteSid(sid, subs);
  user->User.Sid = sid;
  user->User.Attributes = 0;
  return TRUE;
}

BOOL IsValidSid(PSID psid) {
  if (psid == nullptr) return FALSE;
  const SID* sid = static_cast<const SID*>(psid);
  return sid->Revision == 1 && sid->SubAuthorityCount <= 15;
}

DWORD GetLengthSid(PSID psid) {
  if (!IsValidSid(psid)) return 0;
  return static_cast<DWORD>(SidSize(static_cast<const SID*>(psid)->SubAuthorityCount));
}

BOOL ConvertSidToStringSidW(PSID psid, LPWSTR* stringSid) {
  if (stringSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *stringSid = nullptr;
  if (!IsValidSid(psid)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  std::wstring text = platform::Utf8ToWide(SidText(static_cast<const SID*>(psid)));
  auto* block = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(wchar_t)));
  if (block == nullptr) return FALSE;
  std::wmemcpy(block, text.c_str(), text.size() + 1);
  *stringSid = block;
  return TRUE;
}

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
  if (serverName != nullptr && serverName[0] != L'\0') {
    SetLastError(kRpcServerUnavailable);
    return nullptr;
  }
  if (sourceName == nullptr || sourceName[0] == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return platform::RegisterHandle(std::make_unique<EventSource>(platform::WideToUtf8(sourceName)));
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (platform::LookupHandleAs<EventSource>(eventLog) == nullptr) return FALSE;
  return CloseHandle(eventLog);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  auto* source = platform::LookupHandleAs<EventSource>(eventLog);
  if (source == nullptr) return FALSE;
  if ((numStrings > 0 && strings == nullptr) || (dataSize > 0 && rawData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> texts;
  std::size_t total = 0;
  for (WORD i = 0; i < numStrings; ++i) {
    if (strings[i] == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::size_t length = std::wcslen(strings[i]);
    total += length;
    if (length > kMaxStringLength || total > kMaxRecordCharacters) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    texts.push_back(platform::WideToUtf8(std::wstring_view(strings[i], length)));
  }
  std::string body = RecordBody(type, eventId, userSid, texts);
  std::string line = LocalTimeText() + " | " + EscapeField(source->name) + " | " + body + "\n";
  SendToSyslog(source->name, SyslogPriority(type), body);
  DWORD result = AppendLine(platform::EventLogPath(), line);
  if (result != ERROR_SUCCESS) {
    SetLastError(result);
    return FALSE;
  }
  return TRUE;
}

namespace platform {

std::string EventLogPath() {
  const char* root = std::getenv("QELM_ROOT");
  std::string base = (root && *root) ? root : "/var/lib/qelmservice";
  return base + "/eventlog/Application.log";
}

bool ParseEventLogLine(std::string_view line, EventLogRecord& record) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  // Split on " | " outside escapes, unescaping each field.
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      char e = line[++i];
      if (e == 'x' && i + 2 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(line[i + 2]))) {
        fields.back() += static_cast<char>(std::stoi(std::string(line.substr(i + 1, 2)), nullptr, 16));
        i += 2;
        continue;
      }
      fields.back() += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
    } else if (line.substr(i, 3) == " | ") {
      fields.emplace_back();
      i += 2;
    } else {
      fields.back() += c;
    }
  }
  if (fields.size() < 5 || fields[4].rfind("user=", 0) != 0 || fields[3].rfind("0x", 0) != 0) return false;
  char* end = nullptr;
  unsigned long id = std::strtoul(fields[3].c_str() + 2, &end, 16);
  if (end == nullptr || *end != '\0') return false;
  record.time = fields[0];
  record.source = fields[1];
  record.type = fields[2];
  record.eventId = static_cast<DWORD>(id);
  record.user = fields[4].substr(5);
  record.strings.assign(fields.begin() + 5, fields.end());
  return true;
}

std::vector<EventLogRecord> ReadEventLog() {
  std::vector<EventLogRecord> records;
  std::ifstream in(EventLogPath(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    EventLogRecord record;
    if (ParseEventLogLine(line, record)) records.push_back(std::move(record));
  }
  return records;
}

}  // namespace platform
