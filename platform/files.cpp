// File handles, reading and writing, moving, copying and deleting, with the
// Windows rules the system was written for (see files.h).

#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files_internal.h"

namespace platform::files {
namespace {

template <typename T>
T Fail(DWORD code, T value) {
  SetLastError(code);
  return value;
}

bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// A write past the process's file size limit must fail with EFBIG (223), not
// kill the process with SIGXFSZ. Left alone when the program installed its
// own handler.
void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      sigaction(SIGXFSZ, &ignore, nullptr);
    }
  });
}

class FileObject : public KernelObject {
 public:
  FileObject(int fd, FileKey key, unsigned access, bool seekable, std::string path)
      : fd_(fd), key_(key), access_(access), seekable_(seekable), path_(std::move(path)) {}
  ~FileObject() override {
    if (deleteOnClose_) {
      // Looked up again: a folder held at the open may have been let go.
      WorkPath path;
      struct stat st {};
      if (ResolveHeld(path_, path) == ERROR_SUCCESS && lstat(path.text.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          st.st_dev == key_.dev && st.st_ino == key_.ino)
        unlink(path.text.c_str());
    }
    if (registered_) UnregisterOpen(key_, openId_);
    close(fd_);
  }

  int fd() const { return fd_; }
  unsigned access() const { return access_; }
  bool seekable() const { return seekable_; }
  const std::string& path() const { return path_; }
  void SetRegistered(std::uint64_t id) {
    registered_ = true;
    openId_ = id;
  }
  void SetDeleteOnClose() { deleteOnClose_ = true; }

 private:
  int fd_;
  FileKey key_;
  unsigned access_;
  bool seekable_;
  std::string path_;
  bool registered_ = false;
  std::uint64_t openId_ = 0;
  bool deleteOnClose_ = false;
};

FileObject* LookupFile(HANDLE handle) { return LookupHandleAs<FileObject>(handle); }

struct OpenResult {
  std::unique_ptr<FileObject> file;
  DWORD error = ERROR_SUCCESS;
  bool existed = false;
};

int OpenFlagsFor(DWORD desiredAccess, unsigned access, DWORD disposition) {
  int flags = O_CLOEXEC | O_NOCTTY;
  const bool read = access & kShareRead;
  const bool write = access & kShareWrite;
  if (read && write)
    flags |= O_RDWR;
  else if (write)
    flags |= O_WRONLY;
  else if (read || disposition != OPEN_EXISTING)
    flags |= O_RDONLY;
  else
    flags |= O_PATH;  // attributes only: an open that holds nothing
  if (write && !(desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA))) flags |= O_APPEND;
  return flags;
}

// Opens the file by its disposition; `existed` tells whether it was there.
int OpenByDisposition(const std::string& path, int flags, DWORD disposition, mode_t mode, bool& existed,
                      DWORD& error) {
  existed = true;
  int fd = -1;
  switch (disposition) {
    case CREATE_NEW:
      fd = open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
      if (fd < 0 && errno == EEXIST) {
        error = ERROR_FILE_EXISTS;
        return -1;
      }
      existed = false;
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      // Exclusive creation first, so that "it existed" is known for certain;
      // the retries cover a file deleted or created between the two opens.
      for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        fd = open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0) {
          existed = false;
          break;
        }
        if (errno != EEXIST) break;
        fd = open(path.c_str(), flags);
        if (fd < 0 && errno != ENOENT) break;
      }
      break;
    default:
      fd = open(path.c_str(), flags);
      break;
  }
  if (fd < 0) error = ErrnoToCode(errno, path);
  return fd;
}

OpenResult OpenFile(const WorkPath& work, DWORD desiredAccess, DWORD shareMode, DWORD disposition,
                    DWORD flagsAndAttributes) {
  OpenResult result;
  const std::string& path = work.text;
  if (path.empty()) {
    result.error = ERROR_PATH_NOT_FOUND;
    return result;
  }
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || (shareMode & ~7u) != 0) {
    result.error = ERROR_INVALID_PARAMETER;
    return result;
  }
  unsigned access = AccessBits(desiredAccess);
  if (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) access |= kShareDelete;
  if (disposition == TRUNCATE_EXISTING && !(access & kShareWrite)) {
    result.error = ERROR_INVALID_PARAMETER;
    return result;
  }
  if (access & kShareWrite) IgnoreFileSizeSignal();

  // Non-blocking only for the open itself: a named pipe without a writer
  // must not hold the caller for ever (the flag is cleared again below).
  int flags = OpenFlagsFor(desiredAccess, access, disposition) | O_NONBLOCK;
  if ((flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) && (access & kShareWrite)) flags |= O_DSYNC;
  if ((flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) || work.lastNameHeld || work.heldName) flags |= O_NOFOLLOW;
  mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  if (flagsAndAttributes & FILE_ATTRIBUTE_TEMPORARY) mode &= 0600;
  // An exclusive open of a file this process has claimed asks the kernel
  // through the claim, before the open adds a descriptor of its own.
  const ClaimAnswer asked = access != 0 && shareMode == 0 && disposition != CREATE_NEW
                                ? AskThroughClaim(path, (flags & O_NOFOLLOW) == 0)
                                : ClaimAnswer{};
  int fd = OpenByDisposition(path, flags, disposition, mode, result.existed, result.error);
  if (fd < 0) return result;

  auto failWith = [&](DWORD code) {
    close(fd);
    result.error = code;
    return std::move(result);
  };
  if (!(flags & O_PATH)) {
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return failWith(WinErrorFromErrno(errno));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return failWith(WinErrorFromErrno(errno));
  if (DWORD code = HeldNameCheck(work, st.st_dev, st.st_ino)) return failWith(code);
  if (S_ISDIR(st.st_mode) && !(flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))
    return failWith(ERROR_ACCESS_DENIED);
  // The read-only attribute holds for every user, root included: no writing,
  // and no deleting on close.
  if (result.existed && S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode) &&
      ((access & kShareWrite) || (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)))
    return failWith(ERROR_ACCESS_DENIED);

  const FileKey key{st.st_dev, st.st_ino};
  std::uint64_t openId = 0;
  if (DWORD code = RegisterOpen(fd, key, access, shareMode, openId, asked)) return failWith(code);
  result.file = std::make_unique<FileObject>(fd, key, access, S_ISREG(st.st_mode) || S_ISBLK(st.st_mode), work.given);
  result.file->SetRegistered(openId);
  if (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) result.file->SetDeleteOnClose();

  if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  // Truncation waits until the share check has passed, so a file that
  // another handle protects is never emptied by a refused open.
  const bool truncate = (disposition == CREATE_ALWAYS && result.existed) || disposition == TRUNCATE_EXISTING;
  if (truncate && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
    result.error = WinErrorFromErrno(errno);
    result.file.reset();
  }
  return result;
}

// Full writes, retried after signals; a short count only with an error.
bool WriteAll(int fd, const char* data, std::size_t size, std::size_t& written) {
  written = 0;
  while (written < size) {
    const std::size_t chunk = std::min<std::size_t>(size - written, 1u << 30);
    const ssize_t n = write(fd, data + written, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

DWORD CopyBetween(int from, int to) {
  std::vector<char> buffer(1 << 18);
  for (;;) {
    const ssize_t n = read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    if (n == 0) return ERROR_SUCCESS;
    std::size_t written;
    if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n), written)) return WinErrorFromErrno(errno);
  }
}

bool IsDevice(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

// Removes the regular file (or link) that `made` describes, and only that: never a
// device written to (/dev/full) or a file that took the name meanwhile.
void RemoveOwnFile(const std::string& path, const struct stat& made) {
  struct stat now {};
  if ((S_ISREG(made.st_mode) || S_ISLNK(made.st_mode)) && lstat(path.c_str(), &now) == 0 && now.st_dev == made.st_dev &&
      now.st_ino == made.st_ino)
    unlink(path.c_str());
}

// Copies a file's bytes, permission bits and times. With failIfExists the
// target must not exist (80). A new target is readable by its owner only
// until it is complete and takes the source's bits. On failure a target this
// call made or emptied is removed again. `made` (may be null) describes the
// target on success.
DWORD CopyFileNative(const WorkPath& source, const WorkPath& target, bool failIfExists,
                     struct stat* made = nullptr) {
  OpenResult in = OpenFile(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  if (!in.file) return in.error;
  OpenResult out = OpenFile(target, GENERIC_WRITE, FILE_SHARE_READ, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY);
  if (!out.file) return out.error;
  DWORD code = CopyBetween(in.file->fd(), out.file->fd());
  struct stat st {};
  if (code == ERROR_SUCCESS && fstat(in.file->fd(), &st) == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out.file->fd(), times);
    if (fchmod(out.file->fd(), st.st_mode & 07777) != 0) code = WinErrorFromErrno(errno);
  }
  struct stat written {};
  if (fstat(out.file->fd(), &written) != 0) written.st_mode = 0;
  out.file.reset();
  if (code != ERROR_SUCCESS) RemoveOwnFile(target.text, written);
  if (made != nullptr) *made = written;
  return code;
}

// Makes the link at source again at target (a link is never moved as the
// file it points to, which may be one nobody may read).
DWORD CopyLinkNative(const std::string& source, const std::string& target, bool replace, struct stat* made) {
  std::string pointsTo(PATH_MAX, '\0');
  const ssize_t length = readlink(source.c_str(), pointsTo.data(), pointsTo.size());
  if (length < 0) return ErrnoToCode(errno, source);
  pointsTo.resize(static_cast<std::size_t>(length));
  if (replace) {
    struct stat existing {};
    if (lstat(target.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode)) unlink(target.c_str());
  }
  if (symlink(pointsTo.c_str(), target.c_str()) != 0)
    return errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToCode(errno, target);
  if (lstat(target.c_str(), made) != 0) made->st_mode = 0;
  return ERROR_SUCCESS;
}

DWORD DeleteNative(const WorkPath& work) {
  const std::string& path = work.text;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return ErrnoToCode(errno, path);
  if (DWORD code = HeldNameCheck(work, st.st_dev, st.st_ino)) return code;
  // Neither a folder nor a device is a file to delete (as root, unlink would
  // remove /dev/full itself).
  if (S_ISDIR(st.st_mode) || IsDevice(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)) return ERROR_ACCESS_DENIED;
  DeleteCheck guard;
  if (DWORD code = guard.Check(path)) return code;
  if (unlink(path.c_str()) != 0) return ErrnoToCode(errno, path);
  DropHeldName(work.given);
  return ERROR_SUCCESS;
}

// Rename that never replaces. File systems without RENAME_NOREPLACE get a
// hard link and unlink for files (still never replacing), or a checked rename.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode) && link(from.c_str(), to.c_str()) == 0) return unlink(from.c_str());
  if (errno == EEXIST) return -1;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

DWORD MoveFiles(const WorkPath& from, const WorkPath& to, DWORD flags) {
  const std::string& source = from.text;
  const std::string& target = to.text;
  const bool replace = flags & MOVEFILE_REPLACE_EXISTING;
  struct stat sourceStat {};
  {
    DeleteCheck guard;
    if (lstat(source.c_str(), &sourceStat) != 0) return ErrnoToCode(errno, source);
    if (IsDevice(sourceStat.st_mode)) return ERROR_ACCESS_DENIED;
    if (DWORD code = guard.Check(source)) return code;
    struct stat targetStat {};
    if (replace && lstat(target.c_str(), &targetStat) == 0) {
      // Windows replaces only files, and not read-only ones.
      if (S_ISDIR(targetStat.st_mode) || (S_ISREG(targetStat.st_mode) && IsReadOnlyMode(targetStat.st_mode)))
        return ERROR_ACCESS_DENIED;
      if (DWORD code = guard.Check(target)) return code;
    }
    const int rc = replace ? rename(source.c_str(), target.c_str()) : RenameNoReplace(source, target);
    if (rc == 0) return ERROR_SUCCESS;
    const int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) return replace ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
    if (err == ENOENT) return ERROR_PATH_NOT_FOUND;  // the source exists: the target's folder does not
    if (err != EXDEV) return WinErrorFromErrno(err);
  }
  // Another file system: copy, then delete the source. When the source cannot
  // be deleted the copy is removed again, so the file is never in two places.
  if (!(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(sourceStat.st_mode)) return ERROR_NOT_SAME_DEVICE;
  struct stat copy {};
  DWORD code = S_ISLNK(sourceStat.st_mode) ? CopyLinkNative(source, target, replace, &copy)
                                           : CopyFileNative(from, to, !replace, &copy);
  if (code == ERROR_FILE_EXISTS) return ERROR_ALREADY_EXISTS;
  if (code != ERROR_SUCCESS) return code;
  {
    DeleteCheck guard;
    code = guard.Check(source);
    if (code == ERROR_SUCCESS && unlink(source.c_str()) != 0) code = ErrnoToCode(errno, source);
  }
  if (code != ERROR_SUCCESS) RemoveOwnFile(target, copy);
  return code;
}

// The move, with the claim's held name handed on to the target.
DWORD MoveNative(const WorkPath& from, const WorkPath& to, DWORD flags) {
  const DWORD code = MoveFiles(from, to, flags);
  if (code == ERROR_SUCCESS) FollowHeldName(from.given, to.given);
  return code;
}

bool SeekTo(FileObject* file, LONGLONG distance, DWORD method, LONGLONG& position) {
  if (!file->seekable()) return Fail(ERROR_SEEK, false);
  LONGLONG base = 0;
  if (method == FILE_CURRENT) {
    const off_t current = lseek(file->fd(), 0, SEEK_CUR);
    if (current < 0) return Fail(WinErrorFromErrno(errno), false);
    base = current;
  } else if (method == FILE_END) {
    struct stat st {};
    if (fstat(file->fd(), &st) != 0) return Fail(WinErrorFromErrno(errno), false);
    base = st.st_size;
  } else if (method != FILE_BEGIN) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  LONGLONG target;
  if (__builtin_add_overflow(base, distance, &target)) return Fail(ERROR_INVALID_PARAMETER, false);
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK, false);
  if (lseek(file->fd(), target, SEEK_SET) < 0) return Fail(WinErrorFromErrno(errno), false);
  position = target;
  return true;
}

}  // namespace
}  // namespace platform::files

using namespace platform::files;

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  WorkPath path;
  if (DWORD code = WidePathToWork(fileName, path)) return Fail(code, INVALID_HANDLE_VALUE);
  OpenResult result = OpenFile(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
  if (!result.file) return Fail(result.error, INVALID_HANDLE_VALUE);
  HANDLE handle = platform::RegisterHandle(std::move(result.file));
  if (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS)
    SetLastError(result.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped) {
  if (read != nullptr) *read = 0;
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  if (overlapped != nullptr || (buffer == nullptr && toRead != 0)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!(object->access() & kShareRead)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  char* bytes = static_cast<char*>(buffer);
  DWORD total = 0;
  while (total < toRead) {
    const ssize_t n = ::read(object->fd(), bytes + total, std::min<DWORD>(toRead - total, 1u << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (read != nullptr) *read = total;
      return Fail(WinErrorFromErrno(errno), FALSE);
    }
    if (n == 0) break;
    total += static_cast<DWORD>(n);
    if (!object->seekable()) break;  // a pipe delivers what it has, as on Windows
  }
  if (read != nullptr) *read = total;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped) {
  if (written != nullptr) *written = 0;
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  if (overlapped != nullptr || (buffer == nullptr && toWrite != 0)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!(object->access() & kShareWrite)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  std::size_t done = 0;
  const bool ok = WriteAll(object->fd(), static_cast<const char*>(buffer), toWrite, done);
  if (written != nullptr) *written = static_cast<DWORD>(done);
  if (!ok) return Fail(WinErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  if (!(object->access() & kShareWrite)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (fsync(object->fd()) != 0 && errno != EINVAL) return Fail(WinErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  if (!(object->access() & kShareWrite)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  const off_t position = lseek(object->fd(), 0, SEEK_CUR);
  if (position < 0 || ftruncate(object->fd(), position) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return INVALID_SET_FILE_POINTER;
  const LONGLONG move = distanceHigh != nullptr
                            ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                    static_cast<DWORD>(distance))
                            : static_cast<LONGLONG>(distance);
  if (distanceHigh == nullptr) {
    // A position that a 32-bit result cannot carry fails before moving.
    LONGLONG probe = 0;
    const off_t current = lseek(object->fd(), 0, SEEK_CUR);
    struct stat st {};
    if (method == FILE_CURRENT && current >= 0) probe = current + move;
    if (method == FILE_END && fstat(object->fd(), &st) == 0) probe = st.st_size + move;
    if (method == FILE_BEGIN) probe = move;
    if (probe >= static_cast<LONGLONG>(INVALID_SET_FILE_POINTER))
      return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  LONGLONG position = 0;
  if (!SeekTo(object, move, method, position)) return INVALID_SET_FILE_POINTER;
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<ULONGLONG>(position) >> 32);
  const DWORD low = static_cast<DWORD>(position & 0xFFFFFFFF);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return low;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  LONGLONG position = 0;
  if (!SeekTo(object, distance.QuadPart, method, position)) return FALSE;
  if (newPosition != nullptr) newPosition->QuadPart = position;
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return INVALID_FILE_SIZE;
  const auto value = static_cast<ULONGLONG>(size.QuadPart);
  if (sizeHigh == nullptr) {
    // Windows would return the low 32 bits and let callers read a 5 GiB file
    // as 1 GiB; a size that does not fit is reported as a failure instead.
    if (value >= INVALID_FILE_SIZE) return Fail(ERROR_ARITHMETIC_OVERFLOW, INVALID_FILE_SIZE);
    return static_cast<DWORD>(value);
  }
  *sizeHigh = static_cast<DWORD>(value >> 32);
  const DWORD low = static_cast<DWORD>(value & 0xFFFFFFFF);
  if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return low;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  struct stat st {};
  if (fstat(object->fd(), &st) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
  if (!S_ISREG(st.st_mode)) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  size->QuadPart = st.st_size;
  return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  FileFacts facts;
  if (!StatFacts(object->fd(), "", AT_EMPTY_PATH, facts)) return Fail(WinErrorFromErrno(errno), FALSE);
  if (creation != nullptr) *creation = facts.creation;
  if (lastAccess != nullptr) *lastAccess = facts.lastAccess;
  if (lastWrite != nullptr) *lastWrite = facts.lastWrite;
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  (void)creation;  // Linux keeps no settable creation time
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  // A null time, a zero time and 0xFFFFFFFF:0xFFFFFFFF leave the time as it is.
  auto toTimespec = [](const FILETIME* time) {
    if (time == nullptr || platform::FileTimeTicks(*time) == 0 || platform::FileTimeTicks(*time) == ~0ULL) {
      struct timespec omit {0, UTIME_OMIT};
      return omit;
    }
    return platform::TimespecFromFileTime(*time);
  };
  const struct timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
  if (futimens(object->fd(), times) != 0) {
    // A handle opened for attributes only holds a path descriptor.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", object->fd());
    if (errno != EBADF || utimensat(AT_FDCWD, path, times, 0) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
  }
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return FALSE;
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  FileFacts facts;
  if (!StatFacts(object->fd(), "", AT_EMPTY_PATH, facts)) return Fail(WinErrorFromErrno(errno), FALSE);
  info->dwFileAttributes = AttributesFromMode(facts.mode, LastComponent(object->path()));
  info->ftCreationTime = facts.creation;
  info->ftLastAccessTime = facts.lastAccess;
  info->ftLastWriteTime = facts.lastWrite;
  info->dwVolumeSerialNumber = static_cast<DWORD>(facts.dev);
  info->nFileSizeHigh = static_cast<DWORD>(facts.size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(facts.size & 0xFFFFFFFF);
  info->nNumberOfLinks = facts.nlink;
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<std::uint64_t>(facts.ino) >> 32);
  info->nFileIndexLow = static_cast<DWORD>(facts.ino & 0xFFFFFFFF);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags) {
  WorkPath from, to;
  if (DWORD code = WidePathToWork(existing, from)) return Fail(code, FALSE);
  if (DWORD code = WidePathToWork(target, to)) return Fail(code, FALSE);
  if (from.text.empty() || to.text.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (DWORD code = MoveNative(from, to, flags)) return Fail(code, FALSE);
  return TRUE;
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target) { return MoveFileExW(existing, target, MOVEFILE_COPY_ALLOWED); }

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
  WorkPath from, to;
  if (DWORD code = WidePathToWork(existing, from)) return Fail(code, FALSE);
  if (DWORD code = WidePathToWork(target, to)) return Fail(code, FALSE);
  if (DWORD code = CopyFileNative(from, to, failIfExists != FALSE)) return Fail(code, FALSE);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName) {
  WorkPath path;
  if (DWORD code = WidePathToWork(fileName, path)) return Fail(code, FALSE);
  if (path.text.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (DWORD code = DeleteNative(path)) return Fail(code, FALSE);
  return TRUE;
}

HANDLE platform::CreatePrivateFile(LPCWSTR path) {
  WorkPath work;
  if (DWORD code = WidePathToWork(path, work)) return Fail(code, INVALID_HANDLE_VALUE);
  if (work.text.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  IgnoreFileSizeSignal();
  const int fd = open(work.text.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return Fail(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToCode(errno, work.text), INVALID_HANDLE_VALUE);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const DWORD code = WinErrorFromErrno(errno);
    close(fd);
    unlink(work.text.c_str());
    return Fail(code, INVALID_HANDLE_VALUE);
  }
  return platform::RegisterHandle(
      std::make_unique<FileObject>(fd, FileKey{st.st_dev, st.st_ino}, kShareWrite, true, work.given));
}

BOOL platform::SetOpenFilePermissions(HANDLE file, DWORD permissions) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((permissions & ~07777u) != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (fchmod(object->fd(), static_cast<mode_t>(permissions)) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL platform::GetOpenFileIdentity(HANDLE file, FileIdentity* identity) {
  FileObject* object = LookupFile(file);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DescriptorIdentity(object->fd(), *identity)) return Fail(WinErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL platform::RenamePrivateFile(LPCWSTR existing, LPCWSTR target, const FileIdentity* expected) {
  WorkPath from, to;
  if (DWORD code = WidePathToWork(existing, from)) return Fail(code, FALSE);
  if (DWORD code = WidePathToWork(target, to)) return Fail(code, FALSE);
  if (from.text.empty() || to.text.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  // The source is looked at first, as MoveFileW looks at it: a source that
  // is gone is 2 or 3 by its own folder, and a rename that then finds no
  // path is the target's folder gone (3).
  FileIdentity now;
  if (!GetFileIdentityAt(existing, &now)) return FALSE;
  if (expected != nullptr && !now.SameFile(*expected)) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (RenameNoReplace(from.text, to.text) == 0) return TRUE;
  const int err = errno;
  if (err == EEXIST || err == ENOTEMPTY) return Fail(ERROR_ALREADY_EXISTS, FALSE);
  if (err == EXDEV) return Fail(ERROR_NOT_SAME_DEVICE, FALSE);
  if (err == ENOENT) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  return Fail(WinErrorFromErrno(err), FALSE);
}

DWORD platform::GetFilePermissions(LPCWSTR path) {
  WorkPath work;
  if (DWORD code = WidePathToWork(path, work)) return Fail(code, 0xFFFFFFFFu);
  const std::string& native = work.text;
  struct stat st {};
  // A claim's name: the claimed file's own bits, whatever the name holds now.
  if (work.heldName ? fstat(work.heldFd, &st) != 0 : native.empty() || lstat(native.c_str(), &st) != 0)
    return Fail(ErrnoToCode(errno, native), 0xFFFFFFFFu);
  return static_cast<DWORD>(st.st_mode & 07777);
}

BOOL platform::SetFilePermissions(LPCWSTR path, DWORD permissions) {
  WorkPath work;
  if (DWORD code = WidePathToWork(path, work)) return Fail(code, FALSE);
  const std::string& native = work.text;
  if (native.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if ((permissions & ~07777u) != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail(ErrnoToCode(errno, native), FALSE);
  struct stat st {};
  DWORD code = ERROR_SUCCESS;
  if (fstat(fd, &st) != 0)
    code = WinErrorFromErrno(errno);
  else if (!S_ISREG(st.st_mode))
    code = ERROR_ACCESS_DENIED;
  else if (fchmod(fd, static_cast<mode_t>(permissions)) != 0)
    code = WinErrorFromErrno(errno);
  close(fd);
  if (code != ERROR_SUCCESS) return Fail(code, FALSE);
  return TRUE;
}

std::FILE* platform::CreateNewFileStream(const char* nativePath) {
  if (nativePath == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  IgnoreFileSizeSignal();
  WorkPath path;
  if (DWORD code = ResolveHeld(nativePath, path)) {
    errno = code == ERROR_CANT_RESOLVE_FILENAME ? ELOOP : ENOENT;
    return nullptr;
  }
  const int fd = open(path.text.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    const int err = errno;
    close(fd);
    unlink(path.text.c_str());
    errno = err;
  }
  return stream;
}

DWORD platform::DefaultFilePermissions() {
  // Read rather than set and restored: umask() would change the mask for
  // every thread while it is being read.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> status(std::fopen("/proc/self/status", "re"), &std::fclose);
  char line[256];
  while (status != nullptr && std::fgets(line, sizeof line, status.get()) != nullptr) {
    unsigned mask = 0;
    if (std::sscanf(line, "Umask: %o", &mask) == 1) return 0666u & ~mask;
  }
  return 0600;  // unknown: never more than the owner
}

std::FILE* platform::CreateTemporaryFileStream() {
  std::vector<wchar_t> folder(GetTempPathW(0, nullptr) + 1, L'\0');
  const DWORD length = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
  std::string native;
  if (length == 0 || length >= folder.size() || WidePathToNative(folder.data(), native) != ERROR_SUCCESS) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  IgnoreFileSizeSignal();
  int fd = open(native.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a unique name, gone at once.
    std::string name = native + "qelm-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, "w+b");
  if (stream == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return stream;
}
