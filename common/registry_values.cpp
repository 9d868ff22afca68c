#include "common/registry_values.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "common/error_box.h"
#include "platform/errors.h"
#include "platform/utf16.h"

namespace {

// What a reader or writer does with a failure: a RegistryValues calls its
// reporter, the monitor's forms their error box.
struct FailureSink {
  virtual void Report(DWORD code, const char* format, const char* valueName) const = 0;

 protected:
  ~FailureSink() = default;
};

class InstalledReporter final : public FailureSink {
 public:
  InstalledReporter(const RegistryReporter& reporter, HWND owner, DWORD flags)
      : reporter_(reporter), owner_(owner), flags_(flags) {}
  void Report(DWORD code, const char* format, const char* valueName) const override {
    if (reporter_.report != nullptr) reporter_.report(owner_, flags_, code, format, valueName);
  }

 private:
  const RegistryReporter& reporter_;
  HWND owner_;
  DWORD flags_;
};

class MonitorErrorBox final : public FailureSink {
 public:
  MonitorErrorBox(const ErrorBoxOwner& owner, DWORD flags) : owner_(owner), flags_(flags) {}
  void Report(DWORD code, const char* format, const char* valueName) const override {
    const CString argument(valueName != nullptr ? valueName : "");
    ReportError(owner_, flags_, code, format, L"", nullptr, argument, L"", L"", L"");
  }

 private:
  const ErrorBoxOwner& owner_;
  DWORD flags_;
};

std::wstring WideName(const char* name) {
  return CString(name != nullptr ? name : "").str();
}

// The failure of an allocation, reported with the thread's last error (set
// to ERROR_NOT_ENOUGH_MEMORY, as the C++ allocator leaves none).
void ReportAllocationFailure(const FailureSink& sink) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  sink.Report(GetLastError(), kAllocationFailedMessage, nullptr);
}

// ---- single values ----

// ERROR_SUCCESS with value set; 2 and 13 mean "take the default".
LSTATUS QueryDword(HKEY key, const char* name, int& value) {
  BYTE data[4] = {};
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  const LSTATUS rc = RegQueryValueExW(key, WideName(name).c_str(), nullptr, &type, data, &size);
  if (rc != ERROR_SUCCESS) return rc;
  // A REG_DWORD shorter than 4 bytes is no number either: taking it would
  // read bytes the value never had.
  if (type != REG_DWORD || size != sizeof data) return ERROR_INVALID_DATA;
  std::memcpy(&value, data, sizeof data);
  return ERROR_SUCCESS;
}

int ReadDword(HKEY key, const char* name, int& value, int defaultValue, const FailureSink& sink) {
  int read = 0;
  const LSTATUS rc = QueryDword(key, name, read);
  if (rc == ERROR_SUCCESS) {
    value = read;
    return 1;
  }
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_INVALID_DATA) {
    value = defaultValue;
    return 1;
  }
  sink.Report(static_cast<DWORD>(rc), kNumberNotReadFormat, name);
  return 0;
}

// ERROR_SUCCESS with text set; 2 and 13 mean "take the default".
LSTATUS QueryString(HKEY key, const char* name, CString& text) {
  BYTE data[kStringValueCapacity * 2];
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  const LSTATUS rc = RegQueryValueExW(key, WideName(name).c_str(), nullptr, &type, data, &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (size == 0) {
    text.Empty();
    return ERROR_SUCCESS;
  }
  if (size % 2 != 0 || data[size - 2] != 0 || data[size - 1] != 0) return ERROR_INVALID_DATA;
  std::wstring wide = platform::Utf16LeToWide(data, size);
  wide.resize(wide.find(L'\0'));  // the text ends at its first NUL
  text = CString(std::wstring_view(wide));
  return ERROR_SUCCESS;
}

int ReadString(HKEY key, const char* name, CString& value, const char* defaultValue,
               const FailureSink& sink) {
  CString read;
  const LSTATUS rc = QueryString(key, name, read);
  if (rc == ERROR_SUCCESS) {
    value = read;
    return 1;
  }
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_INVALID_DATA) {
    value = CString(defaultValue != nullptr ? defaultValue : "");
    return 1;
  }
  sink.Report(static_cast<DWORD>(rc), kTextNotReadFormat, name);
  return 0;
}

int WriteDword(HKEY key, const char* name, int value, const FailureSink& sink) {
  BYTE data[4];
  std::memcpy(data, &value, sizeof data);
  const LSTATUS rc = RegSetValueExW(key, WideName(name).c_str(), 0, REG_DWORD, data, sizeof data);
  if (rc == ERROR_SUCCESS) return 1;
  sink.Report(static_cast<DWORD>(rc), kNumberNotWrittenFormat, name);
  return 0;
}

int WriteString(HKEY key, const char* name, std::wstring_view value, const FailureSink& sink) {
  std::string bytes = platform::WideToUtf16Le(value);
  bytes.append(2, '\0');
  const LSTATUS rc = RegSetValueExW(key, WideName(name).c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<DWORD>(bytes.size()));
  if (rc == ERROR_SUCCESS) return 1;
  sink.Report(static_cast<DWORD>(rc), kTextNotWrittenFormat, name);
  return 0;
}

// ---- lists ----

// A REG_MULTI_SZ value ends in two NULs (one NUL alone is an empty list); a
// REG_SZ or REG_EXPAND_SZ value, read as a list of its one text, in one.
bool IsListShape(DWORD type, const std::string& data) {
  if (data.empty()) return type == REG_MULTI_SZ || type == REG_SZ || type == REG_EXPAND_SZ;
  if (data.size() % 2 != 0) return false;
  const auto nulAt = [&](size_t fromEnd) {
    return data[data.size() - fromEnd] == '\0' && data[data.size() - fromEnd + 1] == '\0';
  };
  if (type == REG_MULTI_SZ) return data.size() == 2 ? nulAt(2) : nulAt(2) && nulAt(4);
  if (type == REG_SZ || type == REG_EXPAND_SZ) return nulAt(2);
  return false;
}

// The strings of the list value, up to the first empty one. Returns
// ERROR_SUCCESS (a missing value gives no strings), ERROR_INVALID_DATA for a
// value of another type or shape, ERROR_NOT_ENOUGH_MEMORY when the buffer
// could not be had, or the registry's code.
LSTATUS QueryList(HKEY key, const char* name, std::vector<std::wstring>& strings) {
  strings.clear();
  const std::wstring wideName = WideName(name);
  DWORD type = REG_NONE;
  DWORD size = 0;
  LSTATUS rc = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_INVALID_DATA) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;

  std::string data;
  // Another program may rewrite the value between the size query and the
  // read (the service and the configuration program both write
  // "LastCrlUpdate"); a value that grew meanwhile is read again at its new
  // size rather than reported as a failure.
  for (int attempt = 0; attempt < 8; ++attempt) {
    try {
      data.assign(static_cast<size_t>(size) + 2, '\0');  // room for a terminator
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD got = size;
    rc = RegQueryValueExW(key, wideName.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(data.data()), &got);
    if (rc == ERROR_MORE_DATA) {
      size = got;
      continue;
    }
    if (rc == ERROR_SUCCESS) data.resize(got);
    break;
  }
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // deleted meanwhile: missing
  if (rc != ERROR_SUCCESS) return rc;
  if (!IsListShape(type, data)) return ERROR_INVALID_DATA;

  const std::wstring wide = platform::Utf16LeToWide(data);
  size_t start = 0;
  while (start < wide.size()) {
    const size_t end = std::min(wide.find(L'\0', start), wide.size());
    if (end == start) break;  // an empty string ends the list
    strings.push_back(wide.substr(start, end - start));
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// Reads the list and hands each string to add; on a failure reports it and
// leaves the container to the caller to empty.
template <typename Add>
int ReadList(HKEY key, const char* name, const FailureSink& sink, Add add) {
  std::vector<std::wstring> strings;
  const LSTATUS rc = QueryList(key, name, strings);
  if (rc == ERROR_NOT_ENOUGH_MEMORY) {
    ReportAllocationFailure(sink);
    return 0;
  }
  if (rc != ERROR_SUCCESS) {
    sink.Report(static_cast<DWORD>(rc), kListNotReadFormat, name);
    return 0;
  }
  for (const std::wstring& s : strings) add(s);
  return 1;
}

// The decimal value of the text as the C library's atoi reads it, clamped to
// the 32-bit range instead of overflowing.
int DecimalValue(const CStringA& text) {
  const char* p = text.GetString();
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(std::numeric_limits<int>::min())
                                   : std::numeric_limits<int>::max();
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = std::min(magnitude * 10 + (*p - '0'), limit);
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

int WriteArray(HKEY key, const CStringArray& list, const char* name, const FailureSink& sink) {
  std::string data;
  try {
    for (const CString& s : list) {
      data += platform::WideToUtf16Le(s.str());
      data.append(2, '\0');
    }
    data.append(2, '\0');
  } catch (const std::bad_alloc&) {
    ReportAllocationFailure(sink);
    return 0;
  }
  const LSTATUS rc = RegSetValueExW(key, WideName(name).c_str(), 0, REG_MULTI_SZ,
                                    reinterpret_cast<const BYTE*>(data.data()),
                                    static_cast<DWORD>(data.size()));
  if (rc == ERROR_SUCCESS) return 1;
  sink.Report(static_cast<DWORD>(rc), kListNotWrittenFormat, name);
  return 0;
}

}  // namespace

// ---- RegistryKey ----

RegistryKey::~RegistryKey() { Close(); }

LSTATUS RegistryKey::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
  HKEY opened = nullptr;
  const LSTATUS rc = RegOpenKeyExW(parent, subKey, 0, access, &opened);
  if (rc != ERROR_SUCCESS) return rc;
  return Hold(opened);
}

LSTATUS RegistryKey::Create(HKEY parent, const wchar_t* subKey, REGSAM access) {
  HKEY created = nullptr;
  const LSTATUS rc = RegCreateKeyExW(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                     nullptr, &created, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  return Hold(created);
}

LSTATUS RegistryKey::Hold(HKEY key) {
  const LSTATUS rc = Close();
  key_ = key;
  return rc;
}

LSTATUS RegistryKey::Close() {
  if (key_ == nullptr) return ERROR_SUCCESS;
  const LSTATUS rc = RegCloseKey(key_);
  key_ = nullptr;
  return rc;
}

// ---- RegistryValues ----

RegistryValues::RegistryValues(RegistryReporter reporter) : reporter_(std::move(reporter)) {}

int RegistryValues::ReadDwordValue(const char* name, int& value, HWND owner, DWORD flags,
                                   int defaultValue) {
  return ReadDword(key_.Handle(), name, value, defaultValue, InstalledReporter(reporter_, owner, flags));
}

int RegistryValues::ReadStringValue(const char* name, CString& value, HWND owner, DWORD flags,
                                    const char* defaultValue) {
  return ReadString(key_.Handle(), name, value, defaultValue, InstalledReporter(reporter_, owner, flags));
}

int RegistryValues::ReadStringList(const char* name, std::vector<CString>& list, HWND owner) {
  list.clear();
  const int ok = ReadList(key_.Handle(), name, InstalledReporter(reporter_, owner, reporter_.stringListFlags),
                          [&](const std::wstring& s) { list.emplace_back(std::wstring_view(s)); });
  if (!ok) list.clear();
  return ok;
}

int RegistryValues::ReadStringArray(const char* name, CStringArray& list, HWND owner) {
  list.RemoveAll();
  const int ok =
      ReadList(key_.Handle(), name, InstalledReporter(reporter_, owner, reporter_.stringArrayFlags),
               [&](const std::wstring& s) { list.Add(CString(std::wstring_view(s))); });
  if (!ok) list.RemoveAll();
  return ok;
}

int RegistryValues::ReadIntList(const char* name, std::vector<int>& list, HWND owner) {
  list.clear();
  const int ok = ReadList(key_.Handle(), name, InstalledReporter(reporter_, owner, reporter_.intListFlags),
                          [&](const std::wstring& s) {
                            list.push_back(DecimalValue(CStringA(CString(std::wstring_view(s)))));
                          });
  if (!ok) list.clear();
  return ok;
}

int RegistryValues::WriteDwordValue(const char* name, int value, HWND owner, DWORD flags) {
  return WriteDword(key_.Handle(), name, value, InstalledReporter(reporter_, owner, flags));
}

int RegistryValues::WriteStringValue(const char* name, const char* value, HWND owner, DWORD flags) {
  const CString wide(value != nullptr ? value : "");
  return WriteString(key_.Handle(), name, wide.str(), InstalledReporter(reporter_, owner, flags));
}

int RegistryValues::WriteStringValue(const char* name, const wchar_t* value, HWND owner,
                                     DWORD flags) {
  return WriteString(key_.Handle(), name, value != nullptr ? value : L"", InstalledReporter(reporter_, owner, flags));
}

int RegistryValues::WriteStringArray(const CStringArray& list, const char* name, HWND owner) {
  return WriteArray(key_.Handle(), list, name, InstalledReporter(reporter_, owner, reporter_.writeArrayFlags));
}

DWORD RegistryValues::SubkeyNames(std::vector<CString>& names) {
  for (DWORD index = 0;; ++index) {
    // A key name has at most 255 characters.
    wchar_t name[256] = {};
    DWORD length = 256;
    const LSTATUS rc =
        RegEnumKeyExW(key_.Handle(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return 0;
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    names.emplace_back(name, static_cast<int>(length));
  }
}

// ---- the monitor's forms ----

namespace monitor {

namespace {
// The monitor's boxes are system-modal when no window can own them yet.
constexpr DWORD kSystemModal = 0x1000;
}  // namespace

int ReadDwordValue(HKEY key, const char* name, int& value, const ErrorBoxOwner& owner,
                   int defaultValue) {
  return ReadDword(key, name, value, defaultValue, MonitorErrorBox(owner, 0));
}

int ReadStringValue(HKEY key, const char* name, CString& value, const ErrorBoxOwner& owner,
                    const char* defaultValue) {
  return ReadString(key, name, value, defaultValue, MonitorErrorBox(owner, 0));
}

int WriteDwordValue(HKEY key, const char* name, int value, const ErrorBoxOwner& owner) {
  return WriteDword(key, name, value, MonitorErrorBox(owner, 0));
}

int WriteStringValue(HKEY key, const char* name, const wchar_t* value, const ErrorBoxOwner& owner) {
  return WriteString(key, name, value != nullptr ? value : L"", MonitorErrorBox(owner, 0));
}

int ReadLogPathValue(HKEY key, CString& value, const ErrorBoxOwner& owner) {
  return ReadString(key, "LogPath", value, "", MonitorErrorBox(owner, kSystemModal));
}

}  // namespace monitor
