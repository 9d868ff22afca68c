#include "service/core/find_files.h"

#include <optional>
#include <string>
#include <unordered_set>

#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/path_names.h"
#include "service/core/staged_outputs.h"

namespace {

// An entry of the search counts as a file when its directory bit is clear;
// testing the attribute value for equality with FILE_ATTRIBUTE_DIRECTORY would
// let through a folder that is also read-only, hidden or marked for archiving.
// A named pipe, socket or device is no file either: opening or reading one
// could hold the worker for ever. A link to a file is listed, so that the
// steps refuse it with a record. An output still being written under its
// temporary name is no input yet.
bool IsFileEntry(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 &&
         !IsStagedOutputName(CString(entry.cFileName));
}

// Closes the search on every exit.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Calls take(name) for each file the wildcard search of mask returns, in its
// order. 0, or the error of the first search other than ERROR_FILE_NOT_FOUND.
template <typename Take>
DWORD SearchFiles(const CString& folder, const CString& mask, Take&& take) {
  WIN32_FIND_DATAW entry{};
  FindHandle search(FindFirstFileW(JoinPath(folder, mask), &entry));
  if (search.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
  }
  do {
    if (IsFileEntry(entry)) take(entry.cFileName);
  } while (FindNextFileW(search.get(), &entry));
  return 0;
}

// A mask that the search of "*" filtered by PathMatchSpecW answers exactly as
// its own search does: one name pattern, no list (";"), no folder part and no
// blanks around it for PathMatchSpecW to trim.
bool IsPlainMask(const CString& mask) {
  const std::wstring& text = mask.str();
  if (text.empty() || text.find_first_of(L";/") != std::wstring::npos) return false;
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  return !blank(text.front()) && !blank(text.back());
}

}  // namespace

DWORD FindFiles(CString folder, CStringArray& names, std::vector<CString> masks) {
  // The names listed so far, for a test per entry in constant time: a folder
  // of a weekend's backlog holds tens of thousands of files, and this runs on
  // every cycle.
  std::unordered_set<std::wstring> listed;
  listed.reserve(static_cast<std::size_t>(names.GetSize()));
  for (const CString& name : names) listed.insert(name.str());
  const auto add = [&](const std::wstring& name) {
    if (listed.insert(name).second) names.Add(CString(name.c_str()));
  };
  // With several masks the folder is searched once and each name matched
  // against each mask here: every search describes each entry it returns
  // (a stat), and a name matching two masks would be described twice. The
  // order within a mask stays the search's order.
  std::optional<std::vector<std::wstring>> files;
  for (const CString& mask : masks) {
    if (masks.size() > 1 && IsPlainMask(mask)) {
      if (!files) {
        files.emplace();
        if (DWORD error = SearchFiles(folder, L"*", [&](const wchar_t* name) { files->emplace_back(name); }))
          return error;
      }
      for (const std::wstring& name : *files) {
        if (PathMatchSpecW(name.c_str(), mask)) add(name);
      }
      continue;
    }
    const DWORD error = SearchFiles(folder, mask, [&](const wchar_t* name) {
      if (PathMatchSpecW(name, mask)) add(name);
    });
    if (error != 0) return error;
  }
  return 0;
}
