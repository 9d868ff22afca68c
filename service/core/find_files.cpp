#include "service/core/find_files.h"

#include "platform/errors.h"
#include "platform/files.h"

namespace {

bool IsListed(const CStringArray& names, const wchar_t* name) {
  for (const CString& listed : names) {
    if (listed.Compare(name) == 0) return true;
  }
  return false;
}

// An entry of the search counts as a file when its directory bit is clear;
// testing the attribute value for equality with FILE_ATTRIBUTE_DIRECTORY would
// let through a folder that is also read-only, hidden or marked for archiving.
bool IsFileEntry(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
  for (const CString& mask : masks) {
    const CString pattern = folder + L"/" + mask;
    WIN32_FIND_DATAW entry{};
    FindHandle search(FindFirstFileW(pattern, &entry));
    if (search.get() == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;
      return error;
    }
    do {
      if (IsFileEntry(entry) && PathMatchSpecW(entry.cFileName, mask) &&
          !IsListed(names, entry.cFileName)) {
        names.Add(CString(entry.cFileName));
      }
    } while (FindNextFileW(search.get(), &entry));
  }
  return 0;
}
