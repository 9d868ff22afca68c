#include "platform/cfile.h"

#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"

// ---- Exceptions ------------------------------------------------------------

void CException::Delete() {
  if (m_bAutoDelete) delete this;
}

CFileException::CFileException(int cause, LONG osError, LPCWSTR fileName)
    : CException(FALSE), m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

int CFileException::OsErrorToException(LONG osError) {
  switch (static_cast<DWORD>(osError)) {
    case ERROR_SUCCESS: return none;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_NO_MORE_FILES:
    case ERROR_OPEN_FAILED: return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_SAME_DEVICE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BUFFER_OVERFLOW:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY: return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case 12:  // ERROR_INVALID_ACCESS
    case ERROR_WRITE_PROTECT:
    case ERROR_WRITE_FAULT:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_FILE_EXISTS:
    case ERROR_CANNOT_MAKE:
    case ERROR_BUSY:
    case ERROR_ALREADY_EXISTS: return accessDenied;
    case 11:  // ERROR_BAD_FORMAT
    case ERROR_BAD_EXE_FORMAT: return invalidFile;
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_DIR_NOT_EMPTY: return removeCurrentDir;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK:
    case ERROR_READ_FAULT: return badSeek;
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE: return hardIO;
    case ERROR_SHARING_VIOLATION: return sharingViolation;
    case ERROR_LOCK_VIOLATION: return lockViolation;
    case ERROR_HANDLE_EOF: return endOfFile;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
    // A file that outgrows what the file system or the process may write is
    // as full as the disk for the writer; Windows reports that case as 112.
    case ERROR_FILE_TOO_LARGE:
    case ERROR_DISK_QUOTA_EXCEEDED: return diskFull;
    default: return genericException;
  }
}

int CFileException::ErrnoToException(int errnoValue) {
  return OsErrorToException(static_cast<LONG>(WinErrorFromErrno(errnoValue)));
}

void AfxThrowFileException(int cause, LONG osError, LPCWSTR fileName) {
  auto* e = new CFileException(cause, osError, fileName);
  e->m_bAutoDelete = TRUE;
  throw e;
}

// ---- CFile -----------------------------------------------------------------

// The flags the system passes for its exclusive outputs, as written in its code.
static_assert((CFile::modeWrite | CFile::shareExclusive | CFile::modeCreate | CFile::typeBinary) == 0x9011);

namespace {

DWORD AccessOf(UINT flags) {
  switch (flags & 3) {
    case CFile::modeRead: return GENERIC_READ;
    case CFile::modeWrite: return GENERIC_WRITE;
    default: return GENERIC_READ | GENERIC_WRITE;
  }
}

DWORD ShareOf(UINT flags) {
  switch (flags & 0x70) {
    case CFile::shareDenyWrite: return FILE_SHARE_READ;
    case CFile::shareDenyRead: return FILE_SHARE_WRITE;
    case CFile::shareDenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default: return 0;  // shareCompat and shareExclusive
  }
}

DWORD DispositionOf(UINT flags) {
  if ((flags & CFile::modeCreate) == 0) return OPEN_EXISTING;
  return (flags & CFile::modeNoTruncate) != 0 ? OPEN_ALWAYS : CREATE_ALWAYS;
}

DWORD AttributesOf(UINT flags) {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (flags & CFile::osWriteThrough) attributes |= FILE_FLAG_WRITE_THROUGH;
  if (flags & CFile::osSequentialScan) attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
  if (flags & CFile::osTemporary) attributes |= FILE_ATTRIBUTE_TEMPORARY;
  if (flags & CFile::osNoFollow) attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
  return attributes;
}

CString FullPathOf(LPCWSTR fileName) {
  DWORD needed = GetFullPathNameW(fileName, 0, nullptr, nullptr);
  if (needed == 0) return CString(fileName);
  std::vector<wchar_t> buffer(needed + 1);
  DWORD length = GetFullPathNameW(fileName, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (length == 0 || length >= buffer.size()) return CString(fileName);
  return CString(buffer.data(), static_cast<int>(length));
}

}  // namespace

CFile::CFile() : m_hFile(INVALID_HANDLE_VALUE), m_bCloseOnDelete(FALSE) {}

CFile::CFile(HANDLE file) : m_hFile(file), m_bCloseOnDelete(TRUE) {}

CFile::CFile(LPCWSTR fileName, UINT openFlags) : CFile() {
  CFileException error;
  if (!Open(fileName, openFlags, &error))
    AfxThrowFileException(error.m_cause, error.m_lOsError, error.m_strFileName);
}

CFile::~CFile() {
  if (m_hFile != INVALID_HANDLE_VALUE && m_bCloseOnDelete) Abort();
}

BOOL CFile::Open(LPCWSTR fileName, UINT openFlags, CFileException* error) {
  auto fail = [&](DWORD code) {
    if (error != nullptr) {
      error->m_lOsError = static_cast<LONG>(code);
      error->m_cause = CFileException::OsErrorToException(static_cast<LONG>(code));
      error->m_strFileName = fileName;
    }
    return FALSE;
  };
  if (m_hFile != INVALID_HANDLE_VALUE || fileName == nullptr) {
    if (error != nullptr) {
      error->m_lOsError = static_cast<LONG>(ERROR_INVALID_PARAMETER);
      error->m_cause = CFileException::genericException;
      error->m_strFileName = fileName;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr,
                               (openFlags & modeNoInherit) != 0 ? FALSE : TRUE};
  HANDLE file = CreateFileW(fileName, AccessOf(openFlags), ShareOf(openFlags), &security,
                            DispositionOf(openFlags), AttributesOf(openFlags), nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
  m_hFile = file;
  m_bCloseOnDelete = TRUE;
  m_strFileName = FullPathOf(fileName);
  return TRUE;
}

void CFile::ThrowLastError() const {
  DWORD code = GetLastError();
  AfxThrowFileException(CFileException::OsErrorToException(static_cast<LONG>(code)), static_cast<LONG>(code),
                        m_strFileName);
}

UINT CFile::Read(void* buffer, UINT count) {
  if (count == 0) return 0;
  DWORD read = 0;
  if (!ReadFile(m_hFile, buffer, count, &read, nullptr)) ThrowLastError();
  return read;
}

void CFile::Write(const void* buffer, UINT count) {
  if (count == 0) return;
  DWORD written = 0;
  if (!WriteFile(m_hFile, buffer, count, &written, nullptr)) ThrowLastError();
  // A short write means the medium took no more.
  if (written != count) AfxThrowFileException(CFileException::diskFull, -1, m_strFileName);
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  position.QuadPart = 0;
  if (from > end) {
    SetLastError(ERROR_INVALID_PARAMETER);
    ThrowLastError();
  }
  if (!SetFilePointerEx(m_hFile, distance, &position, from)) ThrowLastError();
  return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::GetLength() const {
  LARGE_INTEGER size;
  size.QuadPart = 0;
  if (!GetFileSizeEx(m_hFile, &size)) ThrowLastError();
  return static_cast<ULONGLONG>(size.QuadPart);
}

ULONGLONG CFile::GetPosition() const {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER position;
  position.QuadPart = 0;
  if (!SetFilePointerEx(m_hFile, zero, &position, FILE_CURRENT)) ThrowLastError();
  return static_cast<ULONGLONG>(position.QuadPart);
}

void CFile::SetLength(ULONGLONG newLength) {
  Seek(static_cast<LONGLONG>(newLength), begin);
  if (!SetEndOfFile(m_hFile)) ThrowLastError();
}

void CFile::Flush() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  if (!FlushFileBuffers(m_hFile)) ThrowLastError();
}

void CFile::Close() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  HANDLE file = m_hFile;
  m_hFile = INVALID_HANDLE_VALUE;
  m_bCloseOnDelete = FALSE;
  BOOL closed = CloseHandle(file);
  CString name = m_strFileName;
  m_strFileName.Empty();
  if (!closed) {
    DWORD code = GetLastError();
    AfxThrowFileException(CFileException::OsErrorToException(static_cast<LONG>(code)), static_cast<LONG>(code),
                          name);
  }
}

void CFile::Abort() {
  if (m_hFile != INVALID_HANDLE_VALUE) {
    DWORD saved = GetLastError();
    CloseHandle(m_hFile);
    SetLastError(saved);
  }
  m_hFile = INVALID_HANDLE_VALUE;
  m_bCloseOnDelete = FALSE;
  m_strFileName.Empty();
}

CString CFile::GetFileName() const {
  int slash = m_strFileName.ReverseFind(L'/');
  return slash < 0 ? m_strFileName : m_strFileName.Mid(slash + 1);
}
