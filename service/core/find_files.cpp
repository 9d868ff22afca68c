#include "service/core/find_files.h"

#include <string>
#include <unordered_set>

#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/path_names.h"

namespace {

// An entry of the search counts as a file when its directory bit is clear;
// testing the attribute value for equality with FILE_ATTRIBUTE_DIRECTORY would
// let through a folder that is also read-only, hidden or marked for archiving.
// A named pipe, socket or device is no file either: opening or reading one
// could hold the worker for ever. A link to a file is listed, so that the
// steps refuse it with a record.
bool IsFileEntry(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
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

}  // namespace

DWORD FindFiles(CString folder, CStringArray& names, std::vector<CString> masks) {
  // The names listed so far, for a test per entry in constant time: a folder
  // of a weekend's backlog holds tens of thousands of files, and this runs on
  // every cycle.
  std::unordered_set<std::wstring> listed;
  listed.reserve(static_cast<std::size_t>(names.GetSize()));
  for (const CString& name : names) listed.insert(name.str());
  for (const CString& mask : masks) {
    const CString pattern = JoinPath(folder, mask);
    WIN32_FIND_DATAW entry{};
    FindHandle search(FindFirstFileW(pattern, &entry));
    if (search.get() == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;
      return error;
    }
    do {
      if (IsFileEntry(entry) && PathMatchSpecW(entry.cFileName, mask) && listed.insert(entry.cFileName).second) {
        names.Add(CString(entry.cFileName));
      }
    } while (FindNextFileW(search.get(), &entry));
  }
  return 0;
}
