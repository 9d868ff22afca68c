#pragma once
// Files and folders with Windows semantics over POSIX.
// Paths use '/' as separator. Every failing call sets the last error with the
// Windows code (2 missing file, 3 missing folder, 5 access denied, 32 sharing
// violation, 80 file exists, 183 already exists, 87 bad argument, 206 path too
// long, 112 disk full) and returns FALSE, INVALID_HANDLE_VALUE or the call's
// failure value. Null path arguments fail with 87, never crash.

#include "platform/handles.h"
#include "platform/windows_types.h"

// Access rights.
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD FILE_READ_DATA = 0x0001;
inline constexpr DWORD FILE_WRITE_DATA = 0x0002;
inline constexpr DWORD FILE_APPEND_DATA = 0x0004;
inline constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
inline constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;

// Share modes: what other opens of the same file may do while this handle is
// open. They hold between all handles of our processes.
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions.
inline constexpr DWORD CREATE_NEW = 1;         // fails with 80 when the file exists
inline constexpr DWORD CREATE_ALWAYS = 2;      // truncates; sets last error 183 when it existed
inline constexpr DWORD OPEN_EXISTING = 3;      // fails with 2 when missing
inline constexpr DWORD OPEN_ALWAYS = 4;        // creates; sets last error 183 when it existed
inline constexpr DWORD TRUNCATE_EXISTING = 5;  // needs GENERIC_WRITE

// Attributes.
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;   // no write permission bits
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;     // name starts with '.'
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
inline constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;

// Seek origins.
inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

// MoveFileExW flags.
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

// Opens or creates a file. An open that asks for exclusive use (share mode 0)
// also fails with 32 while any other program on the machine holds the file
// open, so that a file still being written by its producer is not taken.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);

// Reads up to toRead bytes; *read 0 at end of file (TRUE).
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped);
// Writes all bytes or fails (112 on a full disk, 223 past the size limit).
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL SetEndOfFile(HANDLE file);

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                 const FILETIME* lastWrite);

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

DWORD GetFileAttributesW(LPCWSTR fileName);  // INVALID_FILE_ATTRIBUTES on failure
BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes);

// Never replaces: 183 when the target exists. Moves across file systems by
// copying and deleting the source.
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);
// failIfExists: 80 when the target exists.
BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists);
BOOL DeleteFileW(LPCWSTR fileName);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);  // 183 when it exists
BOOL RemoveDirectoryW(LPCWSTR path);
// Creates the folder and every missing parent; returns ERROR_SUCCESS, or 183
// (ERROR_ALREADY_EXISTS) when it existed, or the failure code.
int SHCreateDirectoryExW(void* window, LPCWSTR path, const SECURITY_ATTRIBUTES* security);

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// Searches a folder for names matching the last path component (wildcards *
// and ?, case-insensitive). "." and ".." are reported as Windows does.
// Fails with 2 when nothing matches, 3 when the folder is missing; FindNextFileW
// fails with 18 (ERROR_NO_MORE_FILES) past the last entry. Names longer than
// MAX_PATH-1 characters are skipped.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);

// Windows mask matching: case-insensitive, '*' and '?', several patterns
// separated by ';' (blanks around them ignored), "*.*" matches every name.
BOOL PathMatchSpecW(LPCWSTR file, LPCWSTR spec);
BOOL PathFileExistsW(LPCWSTR path);

// $TMPDIR or /tmp, with a trailing '/'. Returns the length written, or the
// size needed (with the NUL) when the buffer is too small; 0 on failure.
DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);
// Creates a new empty file (O_EXCL, mode 0600) named path + prefix (first
// three characters) + hex number + ".tmp" and writes the name into tempFileName
// (MAX_PATH characters). unique != 0: only builds the name. Returns the number.
UINT GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique, LPWSTR tempFileName);

DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart);
DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer);
// module null: the running program's path (/proc/self/exe).
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

inline constexpr int CSIDL_COMMON_APPDATA = 0x0023;
inline constexpr int CSIDL_APPDATA = 0x001a;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;
// CSIDL_COMMON_APPDATA: $QELM_ROOT/ProgramData. Returns an HRESULT (0: S_OK).
HRESULT SHGetFolderPathW(void* window, int folder, HANDLE token, DWORD flags, LPWSTR path);

// The root of the layer's state: $QELM_ROOT, or /var/lib/qelmservice.
// (Not a Windows call; the layer's own areas use it.)
namespace platform {
const char* QelmRoot();
}
