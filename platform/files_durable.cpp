// What tells a file from any other that takes its name later, and the calls
// that put what was written on the disk before something else depends on
// it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_internal.h"

namespace platform::files {

namespace {

// Only a privileged process reads or writes the trusted namespace: a user
// who writes into a rule's folder cannot copy a claim's tag onto a file.
const char* const kTagName = "trusted.qelmservice.claim";

// The tag matters only where no birth time tells files apart: it is
// written there alone, and read there alone.
void FillIdentity(const struct statx& sx, platform::FileIdentity& out) {
  out.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out.index = sx.stx_ino;
  out.size = sx.stx_size;
  out.birth = 0;
  out.tag = 0;
  if ((sx.stx_mask & STATX_BTIME) != 0)
    out.birth = static_cast<std::uint64_t>(sx.stx_btime.tv_sec) * 1000000000ULL + sx.stx_btime.tv_nsec + 1;
}

}  // namespace

bool DescriptorIdentity(int fd, platform::FileIdentity& out) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  FillIdentity(sx, out);
  std::uint64_t tag = 0;
  if (out.birth == 0 && S_ISREG(sx.stx_mode) &&
      fgetxattr(fd, kTagName, &tag, sizeof tag) == static_cast<ssize_t>(sizeof tag))
    out.tag = tag;
  return true;
}

bool SetDescriptorTag(int fd, std::uint64_t tag) { return fsetxattr(fd, kTagName, &tag, sizeof tag, 0) == 0; }

}  // namespace platform::files

using namespace platform::files;

namespace {

// Opens path for the calls below, through held folders as every path call
// of the layer (a link never followed): the descriptor, or -1 with the last
// error set.
int OpenWork(LPCWSTR path, int flags) {
  WorkPath work;
  if (DWORD code = WidePathToWork(path, work)) {
    SetLastError(code);
    return -1;
  }
  if (work.text.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return -1;
  }
  const int fd = open(work.text.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) SetLastError(ErrnoToCode(errno, work.text));
  return fd;
}

BOOL Done(int fd, bool ok) {
  const int error = errno;
  close(fd);
  if (ok) return TRUE;
  SetLastError(WinErrorFromErrno(error));
  return FALSE;
}

}  // namespace

BOOL platform::GetFileIdentityAt(LPCWSTR path, FileIdentity* identity) {
  WorkPath work;
  const std::string& native = work.text;
  if (DWORD code = WidePathToWork(path, work)) {
    SetLastError(code);
    return FALSE;
  }
  struct statx sx {};
  if (native.empty() || statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    SetLastError(native.empty() ? ERROR_PATH_NOT_FOUND : ErrnoToCode(errno, native));
    return FALSE;
  }
  FillIdentity(sx, *identity);
  std::uint64_t tag = 0;
  if (identity->birth == 0 && S_ISREG(sx.stx_mode) &&
      lgetxattr(native.c_str(), kTagName, &tag, sizeof tag) == static_cast<ssize_t>(sizeof tag))
    identity->tag = tag;
  return TRUE;
}

void platform::RemoveFileTag(LPCWSTR path) {
  const int fd = OpenWork(path, O_RDONLY);
  if (fd < 0) return;
  fremovexattr(fd, kTagName);
  close(fd);
}

BOOL platform::FlushFileData(LPCWSTR path) {
  const int fd = OpenWork(path, O_RDONLY);
  if (fd < 0) return FALSE;
  return Done(fd, fdatasync(fd) == 0);
}

BOOL platform::FlushFolder(LPCWSTR folder) {
  const int fd = OpenWork(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return FALSE;
  return Done(fd, fsync(fd) == 0);
}

BOOL platform::FlushFileSystemOf(LPCWSTR folder) {
  const int fd = OpenWork(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return FALSE;
  return Done(fd, syncfs(fd) == 0);
}
