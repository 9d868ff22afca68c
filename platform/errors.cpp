#include "platform/errors.h"

#include <cerrno>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

void SetLastError(DWORD code) { t_lastError = code; }

DWORD GetLastError() { return t_lastError; }

DWORD WinErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOSPC: return ERROR_DISK_FULL;
    case EDQUOT: return ERROR_DISK_QUOTA_EXCEEDED;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_ACCESS_DENIED;  // Windows refuses to open a folder as a file
    case EBUSY:
    case ETXTBSY:
    case EAGAIN: return ERROR_SHARING_VIOLATION;
    case EIO: return ERROR_IO_DEVICE;
    case ESPIPE: return ERROR_SEEK;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENXIO: return ERROR_PIPE_NOT_CONNECTED;  // a pipe opened for writing that nobody reads
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD SetLastErrorFromErrno() {
  DWORD code = WinErrorFromErrno(errno);
  SetLastError(code);
  return code;
}
