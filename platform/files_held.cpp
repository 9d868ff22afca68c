// Held folders and held names (see files.h): the folders a caller opened for
// a while, and the names of claimed files, through which the path calls of
// the layer work.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/utf16.h"

namespace platform::files {
namespace {

// A link is followed no further than the kernel would follow it.
constexpr int kMaxLinks = 40;

struct HeldFolder {
  std::uint64_t owner;
  std::string key;  // the folded text of the folder
  int fd;           // O_PATH descriptor of the folder as it was opened
  // Folders below it met on the way to a path, by their text after key.
  std::map<std::string, int> below;
  // Descriptors of folders below that were removed or moved away since: a
  // path given out earlier may still name one, so they close with the hold.
  std::vector<int> retired;
};

struct HeldName {
  std::string key;  // the folded text of the name
  FileKey file;
  int claimFd;  // the claim's descriptor: its name goes with it
};

struct HeldTable {
  std::mutex lock;
  std::vector<HeldFolder> folders;
  std::vector<HeldName> names;
  std::uint64_t nextOwner = 1;
};

HeldTable& Held() {
  static auto* table = new HeldTable;  // lives as long as the process
  return *table;
}

std::vector<std::string> SplitNames(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// "." and ".." and repeated separators folded as Windows folds them, a
// trailing separator dropped: the text a path is looked up by.
std::string Fold(const std::string& path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string> kept;
  for (std::string& part : SplitNames(path)) {
    if (part.empty() || part == ".") continue;
    if (part == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
    } else if (part != ".." || !absolute) {
      kept.push_back(std::move(part));
    }
  }
  std::string folded = absolute ? "/" : "";
  for (std::size_t i = 0; i < kept.size(); ++i) folded += (i == 0 ? "" : "/") + kept[i];
  return folded;
}

constexpr const char* kDescriptorFolder = "/proc/self/fd/";
std::string DescriptorPath(int fd) { return kDescriptorFolder + std::to_string(fd); }

// A link that only root could have made or changed: owned by root, in a
// folder owned by root that neither its group nor others may write.
bool OnlyRootCouldMake(int folderFd, const struct stat& link) {
  struct stat folder {};
  if (fstat(folderFd, &folder) != 0) return false;
  return link.st_uid == 0 && folder.st_uid == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// One name below the open folder `at`, never through a link: the folder's
// descriptor, or -1 with the code (3 missing, 3 not a folder, 1921 a link).
int OpenFolderBelow(int at, const std::string& name, DWORD& code) {
  const int fd = openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    code = errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(errno);
    return -1;
  }
  struct stat st {};
  code = fstat(fd, &st) != 0 ? WinErrorFromErrno(errno)
         : S_ISLNK(st.st_mode) ? ERROR_CANT_RESOLVE_FILENAME
         : !S_ISDIR(st.st_mode) ? ERROR_PATH_NOT_FOUND
                                : ERROR_SUCCESS;
  if (code == ERROR_SUCCESS) return fd;
  close(fd);
  return -1;
}

// Whether name in the open folder `at` is still the folder fd was opened on.
bool StillNamed(int at, const std::string& name, int fd) {
  struct stat now {}, opened {};
  return fstatat(at, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &opened) == 0 &&
         now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

// Opens a folder name by name from "/" (or the current folder), following a
// link only where OnlyRootCouldMake. The O_PATH descriptor, or -1 with the
// code: 2 the folder missing, 3 a folder on the way missing, 267 not a
// folder, 1921 a link another user could have made (or too many links).
int WalkToFolder(const std::string& path, DWORD& code) {
  std::deque<std::string> rest;
  for (std::string& part : SplitNames(path))
    if (!part.empty() && part != ".") rest.push_back(std::move(part));
  int current = open(!path.empty() && path.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (current < 0) {
    code = WinErrorFromErrno(errno);
    return -1;
  }
  int links = 0;
  auto fail = [&](DWORD failure) {
    close(current);
    code = failure;
    return -1;
  };
  while (!rest.empty()) {
    const std::string name = std::move(rest.front());
    rest.pop_front();
    const int next = openat(current, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      if (errno == ENOENT) return fail(rest.empty() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
      return fail(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(errno));
    }
    struct stat st {};
    if (fstat(next, &st) != 0) {
      close(next);
      return fail(WinErrorFromErrno(errno));
    }
    if (S_ISLNK(st.st_mode)) {
      std::string target(PATH_MAX, '\0');
      const ssize_t length = readlinkat(next, "", target.data(), target.size());
      close(next);
      if (!OnlyRootCouldMake(current, st) || ++links > kMaxLinks || length <= 0)
        return fail(ERROR_CANT_RESOLVE_FILENAME);
      target.resize(static_cast<std::size_t>(length));
      std::vector<std::string> parts = SplitNames(target);
      for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        if (!it->empty() && *it != ".") rest.push_front(*it);
      if (target.front() == '/') {
        const int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (root < 0) return fail(WinErrorFromErrno(errno));
        close(current);
        current = root;
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      close(next);
      return fail(rest.empty() ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    }
    close(current);
    current = next;
  }
  code = ERROR_SUCCESS;
  return current;
}

// The held folder whose text begins `key` for the longest run, or null.
HeldFolder* FolderHolding(HeldTable& table, const std::string& key) {
  HeldFolder* best = nullptr;
  for (HeldFolder& folder : table.folders) {
    const std::string& held = folder.key;
    const bool inside = key == held || (key.size() > held.size() && key.compare(0, held.size(), held) == 0 &&
                                        (held.back() == '/' || key[held.size()] == '/'));
    if (inside && (best == nullptr || held.size() > best->key.size())) best = &folder;
  }
  return best;
}

}  // namespace

DWORD ResolveHeld(const std::string& given, WorkPath& out) {
  out.given = given;
  out.text = given;
  out.heldName = false;
  out.lastNameHeld = false;
  if (given.empty()) return ERROR_SUCCESS;
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  if (table.folders.empty() && table.names.empty()) return ERROR_SUCCESS;
  const std::string key = Fold(given);
  for (const HeldName& name : table.names) {
    if (name.key != key) continue;
    out.heldName = true;
    out.heldFile = name.file;
    out.heldFd = name.claimFd;
  }
  HeldFolder* folder = FolderHolding(table, key);
  if (folder == nullptr) return ERROR_SUCCESS;
  std::string rest = key.substr(folder->key.size());
  while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
  if (rest.empty()) {
    out.text = DescriptorPath(folder->fd) + "/.";
    return ERROR_SUCCESS;
  }
  const std::vector<std::string> names = SplitNames(rest);
  int at = folder->fd;
  std::string below;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    below += "/" + names[i];
    auto found = folder->below.find(below);
    if (found != folder->below.end() && !StillNamed(at, names[i], found->second)) {
      // Removed (a failed archive's folders go) or moved away by whoever
      // may write there since it was met: the name is looked up again.
      folder->retired.push_back(found->second);
      folder->below.erase(found);
      found = folder->below.end();
    }
    if (found == folder->below.end()) {
      DWORD code = ERROR_SUCCESS;
      const int fd = OpenFolderBelow(at, names[i], code);
      if (fd < 0) return code;
      found = folder->below.emplace(below, fd).first;
    }
    at = found->second;
  }
  out.text = DescriptorPath(at) + "/" + names.back();
  out.lastNameHeld = true;
  return ERROR_SUCCESS;
}

DWORD WidePathToWork(LPCWSTR path, WorkPath& out) {
  std::string native;
  if (DWORD code = WidePathToNative(path, native)) return code;
  return ResolveHeld(native, out);
}

DWORD HeldNameCheck(const WorkPath& path, dev_t dev, ino_t ino) {
  if (!path.heldName) return ERROR_SUCCESS;
  return path.heldFile.dev == dev && path.heldFile.ino == ino ? ERROR_SUCCESS : ERROR_FILE_INVALID;
}

void HoldName(const std::string& given, const FileKey& file, int claimFd) {
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  table.names.push_back({Fold(given), file, claimFd});
}

void FollowHeldName(const std::string& from, const std::string& to) {
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  const std::string key = Fold(from);
  for (HeldName& name : table.names)
    if (name.key == key) name.key = Fold(to);
}

void DropHeldName(const std::string& given) {
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  const std::string key = Fold(given);
  std::erase_if(table.names, [&](const HeldName& name) { return name.key == key; });
}

void DropHeldNamesOf(int claimFd) {
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  std::erase_if(table.names, [&](const HeldName& name) { return name.claimFd == claimFd; });
}

}  // namespace platform::files

using namespace platform::files;

platform::HeldFolders::HeldFolders() {
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  id_ = table.nextOwner++;
}

platform::HeldFolders::~HeldFolders() {
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  std::erase_if(table.folders, [this](const HeldFolder& folder) {
    if (folder.owner != id_) return false;
    for (const auto& [text, fd] : folder.below) close(fd);
    for (const int fd : folder.retired) close(fd);
    close(folder.fd);
    return true;
  });
}

DWORD platform::HeldFolders::Hold(LPCWSTR folder) {
  std::string native;
  if (DWORD code = WidePathToNative(folder, native)) return code;
  if (native.empty()) return ERROR_PATH_NOT_FOUND;
  const std::string key = Fold(native);
  DWORD code = ERROR_SUCCESS;
  const int fd = WalkToFolder(key, code);
  if (fd < 0) return code;
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  table.folders.push_back({id_, key, fd, {}, {}});
  return ERROR_SUCCESS;
}

std::wstring platform::PathThroughHeld(LPCWSTR path) {
  WorkPath work;
  std::string native;
  if (WidePathToNative(path, native) != ERROR_SUCCESS) return path != nullptr ? path : L"";
  if (ResolveHeld(native, work) != ERROR_SUCCESS) return L"";
  return Utf8ToWide(work.heldName ? DescriptorPath(work.heldFd) : work.text);
}

std::wstring platform::ShownHeldPaths(LPCWSTR text) {
  if (text == nullptr) return L"";
  const std::wstring all = text;
  const std::wstring marker = Utf8ToWide(kDescriptorFolder);
  HeldTable& table = Held();
  std::lock_guard guard(table.lock);
  // The path that a descriptor stands for; empty when none is held.
  auto shown = [&table](int fd) -> std::string {
    for (const HeldFolder& folder : table.folders) {
      if (folder.fd == fd) return folder.key;
      for (const auto& [below, belowFd] : folder.below)
        if (belowFd == fd) return folder.key + below;
    }
    for (const HeldName& name : table.names)
      if (name.claimFd == fd) return name.key;
    return {};
  };
  std::wstring result;
  std::size_t at = 0;
  for (std::size_t found = all.find(marker); found != std::wstring::npos; found = all.find(marker, at)) {
    std::size_t end = found + marker.size();
    int fd = 0;
    while (end < all.size() && all[end] >= L'0' && all[end] <= L'9' && fd < 1'000'000) fd = fd * 10 + (all[end++] - L'0');
    const std::string path = end > found + marker.size() ? shown(fd) : std::string();
    result += all.substr(at, found - at);
    result += path.empty() ? all.substr(found, end - found) : Utf8ToWide(path);
    at = end;
  }
  return result + all.substr(at);
}

std::FILE* platform::OpenInputFileStream(const char* nativePath) {
  WorkPath path;
  if (nativePath == nullptr || ResolveHeld(nativePath, path) != ERROR_SUCCESS) {
    errno = EINVAL;
    return nullptr;
  }
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (path.heldName || path.lastNameHeld) flags |= O_NOFOLLOW;
  const int fd = open(path.text.c_str(), flags);
  if (fd < 0) return nullptr;
  struct stat st {};
  int err = 0;
  if (fstat(fd, &st) != 0)
    err = errno;
  else if (!S_ISREG(st.st_mode) || HeldNameCheck(path, st.st_dev, st.st_ino) != ERROR_SUCCESS)
    err = EINVAL;
  else if (const int status = fcntl(fd, F_GETFL); status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
    err = errno;
  std::FILE* stream = err == 0 ? fdopen(fd, "rb") : nullptr;
  if (stream == nullptr) {
    if (err == 0) err = errno;
    close(fd);
    errno = err;
  }
  return stream;
}

bool platform::DeleteNativeFile(const char* nativePath) {
  WorkPath path;
  if (nativePath == nullptr || ResolveHeld(nativePath, path) != ERROR_SUCCESS) {
    errno = EINVAL;
    return false;
  }
  if (unlink(path.text.c_str()) != 0) return false;
  DropHeldName(path.given);
  return true;
}
