// Folder searches and Windows file masks.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/utf16.h"

namespace platform::files {
namespace {

template <typename T>
T Fail(DWORD code, T value) {
  SetLastError(code);
  return value;
}

bool SameLetter(wchar_t a, wchar_t b) { return a == b || UpcaseChar(a) == UpcaseChar(b); }

// '*' any run of characters (none included), '?' exactly one, letter case
// ignored. Greedy with one backtrack point, so a mask of many stars costs
// linear time per star, never exponential.
bool MatchOne(std::wstring_view name, std::wstring_view mask) {
  std::size_t n = 0, m = 0;
  std::size_t starMask = std::wstring_view::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == L'*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == L'?' || SameLetter(mask[m], name[n]))) {
      ++m;
      ++n;
    } else if (starMask != std::wstring_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == L'*') ++m;
  return m == mask.size();
}

bool MatchMask(std::wstring_view name, std::wstring_view mask) { return mask == L"*.*" || MatchOne(name, mask); }

std::wstring_view TrimBlanks(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.remove_suffix(1);
  return text;
}

// What a search keeps of an entry: the record's fields without its fixed
// MAX_PATH name buffer, which would make a folder of 100,000 files cost
// 100 MB a listing.
struct FoundEntry {
  explicit FoundEntry(const WIN32_FIND_DATAW& data)
      : attributes(data.dwFileAttributes),
        creation(data.ftCreationTime),
        lastAccess(data.ftLastAccessTime),
        lastWrite(data.ftLastWriteTime),
        sizeHigh(data.nFileSizeHigh),
        sizeLow(data.nFileSizeLow),
        name(data.cFileName) {}
  void CopyTo(WIN32_FIND_DATAW& data) const {
    data = WIN32_FIND_DATAW{};
    data.dwFileAttributes = attributes;
    data.ftCreationTime = creation;
    data.ftLastAccessTime = lastAccess;
    data.ftLastWriteTime = lastWrite;
    data.nFileSizeHigh = sizeHigh;
    data.nFileSizeLow = sizeLow;
    name.copy(data.cFileName, name.size());
    data.cFileName[name.size()] = L'\0';
  }
  DWORD attributes;
  FILETIME creation, lastAccess, lastWrite;
  DWORD sizeHigh, sizeLow;
  std::wstring name;
};

// The entries of a search and the order in which they are handed out.
class FindObject : public KernelObject {
 public:
  FindObject(std::vector<FoundEntry> entries, std::vector<std::size_t> order)
      : entries_(std::move(entries)), order_(std::move(order)) {}
  bool Next(WIN32_FIND_DATAW& out) {
    if (next_ >= order_.size()) return false;
    entries_[order_[next_++]].CopyTo(out);
    return true;
  }

 private:
  std::vector<FoundEntry> entries_;
  std::vector<std::size_t> order_;
  std::size_t next_ = 0;
};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool FillEntry(int dirFd, const char* nativeName, const std::wstring& name, WIN32_FIND_DATAW& data) {
  FileFacts facts;
  DWORD attributes = 0;
  // A link is described by itself, never by what it points to, so that no
  // caller takes it for the file behind it.
  if (!DescribeEntry(dirFd, nativeName, facts, attributes)) return false;  // gone since the folder was read
  data = WIN32_FIND_DATAW{};
  data.dwFileAttributes = attributes;
  data.ftCreationTime = facts.creation;
  data.ftLastAccessTime = facts.lastAccess;
  data.ftLastWriteTime = facts.lastWrite;
  if (S_ISREG(facts.mode)) {
    data.nFileSizeHigh = static_cast<DWORD>(facts.size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(facts.size & 0xFFFFFFFF);
  }
  name.copy(data.cFileName, name.size());
  data.cFileName[name.size()] = L'\0';
  return true;
}

// "." and ".." first, then in case-insensitive name order, as NTFS lists.
// The keys cost an allocation each, so they are made once, and an order of
// indices is sorted rather than the entries.
std::vector<std::size_t> ListingOrder(const std::vector<FoundEntry>& entries) {
  struct Key {
    int rank;
    std::wstring upcased;
  };
  std::vector<Key> keys;
  keys.reserve(entries.size());
  for (const auto& e : entries) {
    const int rank = e.name == L"." ? 0 : e.name == L".." ? 1 : 2;
    keys.push_back({rank, UpcaseText(e.name)});
  }
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (keys[a].rank != keys[b].rank) return keys[a].rank < keys[b].rank;
    if (keys[a].upcased != keys[b].upcased) return keys[a].upcased < keys[b].upcased;
    return entries[a].name < entries[b].name;
  });
  return order;
}

}  // namespace
}  // namespace platform::files

using namespace platform::files;

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  std::string native;
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (DWORD code = WidePathToNative(pattern, native)) return Fail(code, INVALID_HANDLE_VALUE);
  const std::wstring wide = pattern;
  const std::size_t slash = wide.rfind(L'/');
  const std::wstring mask = slash == std::wstring::npos ? wide : wide.substr(slash + 1);
  std::string folder = ".";
  if (slash != std::wstring::npos) {
    const std::size_t nativeSlash = native.rfind('/');
    folder = nativeSlash == 0 ? "/" : native.substr(0, nativeSlash);
  }
  if (mask.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);

  WorkPath held;
  if (DWORD code = ResolveHeld(folder, held)) return Fail(code, INVALID_HANDLE_VALUE);
  std::unique_ptr<DIR, DirCloser> dir(opendir(held.text.c_str()));
  if (!dir) {
    const DWORD code = (errno == ENOENT || errno == ENOTDIR) ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(errno);
    return Fail(code, INVALID_HANDLE_VALUE);
  }
  std::vector<FoundEntry> entries;
  while (struct dirent* entry = readdir(dir.get())) {
    // A name that is not UTF-8 is listed with its stray bytes kept (and
    // cannot be opened), so that a caller can tell about it; a name too long
    // for the record cannot be handed on at all.
    const std::wstring name = platform::FileNameToWide(entry->d_name);
    if (name.size() >= MAX_PATH || !MatchMask(name, mask)) continue;
    WIN32_FIND_DATAW found;
    if (FillEntry(dirfd(dir.get()), entry->d_name, name, found)) entries.emplace_back(found);
  }
  if (entries.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  std::vector<std::size_t> order = ListingOrder(entries);
  auto search = std::make_unique<FindObject>(std::move(entries), std::move(order));
  search->Next(*data);
  return platform::RegisterHandle(std::move(search));
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  auto* search = platform::LookupHandleAs<FindObject>(find);
  if (search == nullptr) return FALSE;
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!search->Next(*data)) return Fail(ERROR_NO_MORE_FILES, FALSE);
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  if (platform::LookupHandleAs<FindObject>(find) == nullptr) return FALSE;
  return CloseHandle(find);
}

BOOL PathMatchSpecW(LPCWSTR file, LPCWSTR pattern) {
  if (file == nullptr || pattern == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::wstring_view name(file);
  std::wstring_view rest(pattern);
  while (true) {
    const std::size_t semicolon = rest.find(L';');
    const std::wstring_view mask = TrimBlanks(rest.substr(0, semicolon));
    if (!mask.empty() && MatchMask(name, mask)) return TRUE;
    if (semicolon == std::wstring_view::npos) return FALSE;
    rest.remove_prefix(semicolon + 1);
  }
}
