// Paths, folders, attributes and the well-known folders of the layer.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <wchar.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/utf16.h"

namespace platform {

const char* QelmRoot() {
  const char* root = std::getenv("QELM_ROOT");
  return root != nullptr && *root != '\0' ? root : "/var/lib/qelmservice";
}

namespace files {

DWORD WidePathToNative(LPCWSTR path, std::string& out) {
  out.clear();
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  const std::size_t length = wcsnlen(path, kMaxWidePath + 1);
  if (length > kMaxWidePath) return ERROR_FILENAME_EXCED_RANGE;
  for (std::size_t i = 0; i < length; ++i) {
    const auto ch = static_cast<std::uint32_t>(path[i]);
    if (ch > 0x10FFFF) return ERROR_INVALID_NAME;
    if (ch >= 0xD800 && ch <= 0xDBFF) {  // a high surrogate must have its low one
      const auto next = i + 1 < length ? static_cast<std::uint32_t>(path[i + 1]) : 0u;
      if (next < 0xDC00 || next > 0xDFFF) return ERROR_INVALID_NAME;
      ++i;
    } else if (ch >= 0xDC00 && ch <= 0xDFFF) {
      return ERROR_INVALID_NAME;
    }
  }
  out = WideToUtf8(std::wstring_view(path, length));
  if (out.size() >= PATH_MAX) {
    out.clear();
    return ERROR_FILENAME_EXCED_RANGE;
  }
  return ERROR_SUCCESS;
}

DWORD MissingPathCode(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  if (slash == std::string::npos)
    folder = ".";
  else
    folder.resize(slash == 0 ? 1 : slash);
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

DWORD ErrnoToCode(int err, const std::string& path) {
  return err == ENOENT ? MissingPathCode(path) : WinErrorFromErrno(err);
}

bool StatFacts(int dirfd, const char* path, int flags, FileFacts& out) {
  struct statx sx {};
  if (statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  auto toFileTime = [](const struct statx_timestamp& t) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(t.tv_sec);
    ts.tv_nsec = static_cast<long>(t.tv_nsec);
    return FileTimeFromTimespec(ts);
  };
  out.mode = sx.stx_mode;
  out.size = sx.stx_size;
  out.nlink = sx.stx_nlink;
  out.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out.ino = sx.stx_ino;
  out.lastAccess = toFileTime(sx.stx_atime);
  out.lastWrite = toFileTime(sx.stx_mtime);
  if (sx.stx_mask & STATX_BTIME) {
    out.creation = toFileTime(sx.stx_btime);
  } else {
    const FILETIME change = toFileTime(sx.stx_ctime);
    out.creation = CompareFileTime(&change, &out.lastWrite) < 0 ? change : out.lastWrite;
  }
  return true;
}

bool DescribeEntry(int dirfd, const char* path, FileFacts& facts, DWORD& attributes) {
  if (!StatFacts(dirfd, path, AT_SYMLINK_NOFOLLOW, facts)) return false;
  attributes = AttributesFromMode(facts.mode, LastComponent(path));
  if (S_ISLNK(facts.mode)) {
    FileFacts target;
    if (StatFacts(dirfd, path, 0, target) && S_ISDIR(target.mode))
      attributes = (attributes & ~FILE_ATTRIBUTE_ARCHIVE) | FILE_ATTRIBUTE_DIRECTORY;
  }
  return true;
}

std::string_view LastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

DWORD AttributesFromMode(mode_t mode, std::string_view lastComponent) {
  DWORD attributes = S_ISDIR(mode) ? FILE_ATTRIBUTE_DIRECTORY
                     : S_ISREG(mode) || S_ISLNK(mode) ? FILE_ATTRIBUTE_ARCHIVE
                                                      : FILE_ATTRIBUTE_DEVICE;
  if (S_ISLNK(mode))
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;  // a link's own bits say nothing of read-only
  else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    attributes |= FILE_ATTRIBUTE_READONLY;
  if (!lastComponent.empty() && lastComponent[0] == '.' && lastComponent != "." && lastComponent != "..")
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes;
}

DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD length) {
  const std::size_t needed = text.size() + 1;
  if (buffer == nullptr || length < needed) return static_cast<DWORD>(needed);
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  return static_cast<DWORD>(text.size());
}

namespace {

// A failing call: sets the last error and gives the call's failure value.
template <typename T>
T Fail(DWORD code, T value) {
  SetLastError(code);
  return value;
}

std::wstring CurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return L"";
    buffer.resize(buffer.size() * 2);
  }
  return Utf8ToWide(buffer.data());
}

// Folds "." and ".." and repeated separators, as Windows does lexically.
std::wstring NormalizeAbsolute(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'/', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring part = path.substr(start, end - start);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  std::wstring result;
  for (const std::wstring& part : parts) result += L"/" + part;
  if (result.empty()) return L"/";
  const bool trailing = path.size() > 1 && path.back() == L'/';
  if (trailing) result += L'/';
  return result;
}

}  // namespace
}  // namespace files
}  // namespace platform

using namespace platform::files;
using platform::Utf8ToWide;

DWORD GetFileAttributesW(LPCWSTR fileName) {
  WorkPath work;
  const std::string& path = work.text;
  if (DWORD code = WidePathToWork(fileName, work)) return Fail(code, INVALID_FILE_ATTRIBUTES);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  FileFacts facts;
  DWORD attributes = 0;
  if (!DescribeEntry(AT_FDCWD, path.c_str(), facts, attributes))
    return Fail(ErrnoToCode(errno, path), INVALID_FILE_ATTRIBUTES);
  if (DWORD code = HeldNameCheck(work, facts.dev, facts.ino)) return Fail(code, INVALID_FILE_ATTRIBUTES);
  return attributes;
}

BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes) {
  WorkPath work;
  const std::string& path = work.text;
  if (DWORD code = WidePathToWork(fileName, work)) return Fail(code, FALSE);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(ErrnoToCode(errno, path), FALSE);
  // A link in a held folder is never followed (1921).
  struct stat entry {};
  if (work.lastNameHeld && (lstat(path.c_str(), &entry) != 0 || S_ISLNK(entry.st_mode)))
    return Fail(ERROR_CANT_RESOLVE_FILENAME, FALSE);
  mode_t mode = st.st_mode & 07777;
  const mode_t writeBits = S_IWUSR | S_IWGRP | S_IWOTH;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    mode &= ~writeBits;
  else if ((mode & writeBits) == 0)
    mode |= S_IWUSR;  // clearing read-only gives the owner write permission back
  if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0) return Fail(ErrnoToCode(errno, path), FALSE);
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  WorkPath work;
  const std::string& path = work.text;
  if (DWORD code = WidePathToWork(pathName, work)) return Fail(code, FALSE);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (mkdir(path.c_str(), 0777) != 0) {
    if (errno == ENOENT) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    return Fail(WinErrorFromErrno(errno), FALSE);
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR pathName) {
  WorkPath work;
  const std::string& path = work.text;
  if (DWORD code = WidePathToWork(pathName, work)) return Fail(code, FALSE);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (rmdir(path.c_str()) != 0) {
    const int err = errno;
    struct stat st {};
    if (err == ENOTDIR && stat(path.c_str(), &st) == 0) return Fail(ERROR_DIRECTORY, FALSE);
    return Fail(ErrnoToCode(err, path), FALSE);
  }
  return TRUE;
}

int SHCreateDirectoryExW(void*, LPCWSTR pathName, const SECURITY_ATTRIBUTES*) {
  std::string path;
  if (DWORD code = WidePathToNative(pathName, path)) return static_cast<int>(Fail(code, code));
  if (path.empty()) return static_cast<int>(Fail(ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME));
  struct stat st {};
  WorkPath whole;
  // In a held folder a link is never followed: a link in the way is no folder.
  auto describe = [&st](const WorkPath& work) {
    return (work.lastNameHeld ? lstat(work.text.c_str(), &st) : stat(work.text.c_str(), &st)) == 0;
  };
  if (ResolveHeld(path, whole) == ERROR_SUCCESS && describe(whole)) {
    const DWORD code = S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS
                       : S_ISLNK(st.st_mode) ? ERROR_CANT_RESOLVE_FILENAME
                                             : ERROR_FILE_EXISTS;
    return static_cast<int>(Fail(code, code));
  }
  // Every folder from the first missing one down, each tolerating a folder
  // that a parallel caller has just made; each one through the held folders
  // (ResolveHeld), so that no link another user put on the way is followed.
  std::size_t position = 0;
  while (true) {
    position = path.find('/', position + 1);
    WorkPath work;
    const std::string& prefix = work.text;
    if (DWORD code = ResolveHeld(path.substr(0, position), work))
      return static_cast<int>(Fail(code, code));
    if (!prefix.empty() && prefix != "/" && mkdir(prefix.c_str(), 0777) != 0) {
      const int err = errno;
      if (err != EEXIST) {
        const DWORD code = err == ENOENT ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(err);
        return static_cast<int>(Fail(code, code));
      }
      const bool described = describe(work);
      if (!described || !S_ISDIR(st.st_mode)) {
        const DWORD code = described && S_ISLNK(st.st_mode) ? ERROR_CANT_RESOLVE_FILENAME
                           : position == std::string::npos ? ERROR_FILE_EXISTS
                                                           : ERROR_PATH_NOT_FOUND;
        return static_cast<int>(Fail(code, code));
      }
    }
    if (position == std::string::npos) break;
  }
  return ERROR_SUCCESS;
}

BOOL PathFileExistsW(LPCWSTR pathName) {
  WorkPath work;
  const std::string& path = work.text;
  if (DWORD code = WidePathToWork(pathName, work)) return Fail(code, FALSE);
  struct stat st {};
  if (path.empty() || lstat(path.c_str(), &st) != 0) return Fail(ErrnoToCode(errno, path), FALSE);
  return TRUE;
}

DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
  const char* tmp = std::getenv("TMPDIR");
  std::wstring path = Utf8ToWide(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  if (path.back() != L'/') path += L'/';
  if (buffer == nullptr && bufferLength != 0) return Fail(ERROR_INVALID_PARAMETER, 0u);
  return CopyOut(path, buffer, bufferLength);
}

UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefix, UINT unique, LPWSTR tempFileName) {
  if (pathName == nullptr || tempFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, 0u);
  std::string folder;
  if (DWORD code = WidePathToNative(pathName, folder)) return Fail(code, 0u);
  std::wstring stem = pathName;
  if (stem.empty() || stem.back() != L'/') stem += L'/';
  if (prefix != nullptr) stem.append(prefix, wcsnlen(prefix, 3));
  auto nameFor = [&stem](UINT number) {
    wchar_t hex[8];
    std::swprintf(hex, 8, L"%X", number);
    return stem + hex + L".tmp";
  };
  if (nameFor(0xFFFF).size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE, 0u);

  unique &= 0xFFFF;
  if (unique != 0) {
    CopyOut(nameFor(unique), tempFileName, MAX_PATH);
    return unique;
  }
  // Start at a random number so that parallel callers rarely meet; O_EXCL
  // makes each name belong to exactly one of them.
  std::random_device random;
  const UINT start = random() % 0xFFFF;
  for (UINT i = 0; i < 0xFFFF; ++i) {
    const UINT number = (start + i) % 0xFFFF + 1;
    const std::wstring name = nameFor(number);
    WorkPath work;
    const std::string& native = work.text;
    if (DWORD code = WidePathToWork(name.c_str(), work)) return Fail(code, 0u);
    const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      close(fd);
      CopyOut(name, tempFileName, MAX_PATH);
      return number;
    }
    if (errno == EEXIST) continue;
    if (errno == ENOENT || errno == ENOTDIR) return Fail(ERROR_DIRECTORY, 0u);
    return Fail(WinErrorFromErrno(errno), 0u);
  }
  return Fail(ERROR_FILE_EXISTS, 0u);
}

DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart) {
  std::string native;
  if (DWORD code = WidePathToNative(fileName, native)) return Fail(code, 0u);
  if (native.empty()) return Fail(ERROR_INVALID_NAME, 0u);
  std::wstring path = fileName;
  if (path[0] != L'/') path = CurrentDirectory() + L"/" + path;
  const std::wstring full = NormalizeAbsolute(path);
  const DWORD result = CopyOut(full, buffer, bufferLength);
  if (filePart != nullptr && result == full.size()) {
    const std::size_t slash = full.rfind(L'/');
    *filePart = slash + 1 < full.size() ? buffer + slash + 1 : nullptr;
  }
  return result;
}

DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer) {
  const std::wstring cwd = CurrentDirectory();
  if (cwd.empty()) return Fail(WinErrorFromErrno(errno), 0u);
  if (buffer == nullptr && bufferLength != 0) return Fail(ERROR_INVALID_PARAMETER, 0u);
  return CopyOut(cwd, buffer, bufferLength);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  if (fileName == nullptr || size == 0) return Fail(ERROR_INVALID_PARAMETER, 0u);
  if (module != nullptr) return Fail(ERROR_MOD_NOT_FOUND, 0u);
  std::vector<char> target(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", target.data(), target.size() - 1);
  if (length < 0) return Fail(WinErrorFromErrno(errno), 0u);
  const std::wstring path = Utf8ToWide(std::string_view(target.data(), static_cast<std::size_t>(length)));
  if (path.size() >= size) {
    // Cut to the buffer with a terminator, as Windows does.
    path.copy(fileName, size - 1);
    fileName[size - 1] = L'\0';
    return Fail(ERROR_INSUFFICIENT_BUFFER, size);
  }
  return CopyOut(path, fileName, size);
}

HRESULT SHGetFolderPathW(void*, int folder, HANDLE, DWORD, LPWSTR path) {
  if (path == nullptr) return E_INVALIDARG;
  std::string native;
  switch (folder & ~CSIDL_FLAG_CREATE) {
    case CSIDL_COMMON_APPDATA:
      native = std::string(platform::QelmRoot()) + "/ProgramData";
      break;
    case CSIDL_APPDATA: {
      const char* config = std::getenv("XDG_CONFIG_HOME");
      const char* home = std::getenv("HOME");
      if (config != nullptr && *config != '\0')
        native = config;
      else if (home != nullptr && *home != '\0')
        native = std::string(home) + "/.config";
      else
        return E_FAIL;
      break;
    }
    default:
      return E_INVALIDARG;
  }
  const std::wstring wide = Utf8ToWide(native);
  if (wide.size() >= MAX_PATH) return E_FAIL;
  if (folder & CSIDL_FLAG_CREATE) {
    int code = SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
    if (code != ERROR_SUCCESS && code != static_cast<int>(ERROR_ALREADY_EXISTS))
      return static_cast<HRESULT>(0x80070000u | static_cast<DWORD>(code));
  }
  CopyOut(wide, path, MAX_PATH);
  return S_OK;
}
