#pragma once
// Files and folders with Windows semantics over POSIX.
// Paths use '/' as separator and are wide text (wchar_t, one per code point),
// stored on disk as UTF-8. Every failing call sets the last error with the
// Windows code (2 missing file, 3 missing folder, 5 access denied, 32 sharing
// violation, 80 file exists, 183 already exists, 87 bad argument, 123 a
// character that no file name can hold, 206 path too long, 112 disk full, 223
// past the file size limit) and returns FALSE, INVALID_HANDLE_VALUE or the
// call's failure value. Null arguments fail with 87, never crash. A path is
// too long (206) above 32767 characters or 4095 bytes of UTF-8; one name
// above 255 bytes gives 206 from the file system.
//
// Share modes hold between all handles of all processes that use this layer
// (a table in each process plus open-file-description locks on bytes far past
// the end of the file, see files_share.cpp), with the Windows rules: a new
// open fails with 32 when it wants an access that an open handle does not
// share, or refuses a sharing that an open handle's access needs. Opens with
// attribute access only neither restrict nor are restricted. Programs outside
// the layer have no share modes; two rules stand in for them:
//  - an exclusive open (share 0 with read, write or delete access) fails with
//    32 while any other descriptor on the machine has the file open (a write
//    lease taken for a moment; where the kernel refuses leases, the
//    /proc/<pid>/fd entries of the processes we may read);
//  - DeleteFileW and MoveFileW(Ex) of a regular file fail with 32 while a
//    program outside the layer has it open for writing (a producer still
//    writing it, which on Windows would deny delete sharing).
// The read-only attribute is the absence of all write permission bits and
// holds for root too: opening for writing or deleting such a file gives 5.
// The hidden attribute is a name that begins with '.'; it cannot be set.
//
// Where /proc is missing or the file system refuses locks, share modes hold
// within one process only.
//
// Handles may be used from any thread; do not close a handle while another
// thread uses it. Writes to a handle opened for writing ignore SIGXFSZ (when
// no handler is installed) so that a write past the size limit fails with 223.

#include <cstdint>
#include <cstdio>
#include <string>

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
// A named pipe, socket or device: never a plain file (0x20 is not set).
inline constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
// A symbolic link, described by itself (never by what it points to).
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
inline constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;  // needed to open a folder
// The last name of the path is never followed when it is a link: the open
// fails with 1921 (ERROR_CANT_RESOLVE_FILENAME) instead.
inline constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;

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
// Opening never blocks: a named pipe without a writer, or a device, opens (or
// fails) at once. CREATE_NEW never follows a link: a link of that name, even
// a dangling one, is an existing file (80).
// CREATE_ALWAYS and TRUNCATE_EXISTING empty the file only after the share
// check passed. A folder opens only with FILE_FLAG_BACKUP_SEMANTICS (else 5).
// FILE_ATTRIBUTE_READONLY makes a new file read-only (the handle still
// writes); FILE_ATTRIBUTE_TEMPORARY makes a new file readable and writable by
// its owner only (0600, whatever the file-mode creation mask), for scratch
// files and outputs that get their permission bits once complete; FILE_FLAG_DELETE_ON_CLOSE deletes the file when this handle closes;
// FILE_FLAG_WRITE_THROUGH makes each write reach the disk before it returns;
// FILE_FLAG_SEQUENTIAL_SCAN tells the system to read ahead.
// 87 for an unknown disposition or share bits, and for TRUNCATE_EXISTING
// without write access. Security attributes and the template are ignored.
// The handle is closed with CloseHandle.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);

// Reads up to toRead bytes of a file (all of them unless the end comes
// first; a pipe gives what it has); *read 0 at end of file (TRUE). 5 without
// read access, 6 for a bad handle, 87 for a null buffer or an overlapped
// record (not supported). `read` may be null.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped);
// Writes all bytes or fails (112 on a full disk, 223 past the size limit, 5
// without write access); *written holds the bytes written before a failure.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped);
BOOL FlushFileBuffers(HANDLE file);  // 5 without write access
BOOL SetEndOfFile(HANDLE file);      // at the current position; 5 without write access

// Moves the position. 131 for a position before the start, 87 for an unknown
// method, 25 on a pipe or other stream. SetFilePointer without distanceHigh
// fails with 87 (not moving) when the new position needs more than 32 bits;
// a successful result of 0xFFFFFFFF sets last error 0.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method);
// Size of a regular file; 1 for a pipe or device. Without sizeHigh, a size of
// 0xFFFFFFFF or more fails with 534 (INVALID_FILE_SIZE) instead of returning a
// cut-down size; with sizeHigh a low part of 0xFFFFFFFF sets last error 0.
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);

// Creation time is the file's birth time where the file system keeps it,
// else the earlier of its change and modification times. SetFileTime cannot
// set a creation time (it is ignored); a null, zero or all-ones time leaves
// that time unchanged.
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
// Volume serial = low 32 bits of the device number; file index = inode.
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

// Folders 0x10, files 0x20 (archive), pipes, sockets and devices 0x40, plus
// 0x1 read-only and 0x2 hidden. A link (the last name of the path) is
// described by itself, as Windows does: 0x400 with 0x10 when it points to a
// folder, else 0x20, whether or not its target exists.
// INVALID_FILE_ATTRIBUTES on failure (2 or 3).
DWORD GetFileAttributesW(LPCWSTR fileName);
// Only the read-only bit has an effect: set, it removes every write
// permission bit; cleared, it gives the owner write permission back.
BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes);

// Never replaces: 183 when the target exists (also on file systems without
// RENAME_NOREPLACE). 2 when the source is missing, 3 when the target's folder
// is. 32 when a handle does not share delete, or an outside program is writing
// the file (see above). Moves a file across file systems by copying (bytes,
// permission bits, times) and deleting the source; if the source then cannot
// be deleted the copy is removed and the error returned. A folder cannot move
// across file systems (17). A link moves as a link, never as what it points
// to: across file systems it is made again at the target.
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);
// MOVEFILE_REPLACE_EXISTING replaces a file (5 for a folder or a read-only
// file in the way); without MOVEFILE_COPY_ALLOWED a move across file systems
// fails with 17.
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);
// Copies bytes, permission bits and times. failIfExists: 80 when the target
// exists; otherwise an existing target is replaced (5 when it is read-only).
// The source is opened sharing read only, so a source open for writing gives
// 32, as does copying a file onto itself. A failed copy leaves no target. A
// new target is readable by its owner only (0600) until the copy is complete.
BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists);
// 5 for a folder or a read-only file; 32 as for MoveFileW. An open handle of
// the deleted file (shared for delete) keeps reading it.
BOOL DeleteFileW(LPCWSTR fileName);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);  // 183 when it exists, 3 no parent
// 145 not empty, 267 not a folder, 2/3 missing.
BOOL RemoveDirectoryW(LPCWSTR path);
// Creates the folder and every missing parent; returns ERROR_SUCCESS, or 183
// (ERROR_ALREADY_EXISTS) when it existed, 80 when a file of that name exists,
// 1921 when a link stands in the way in a held folder (HeldFolders),
// or the failure code (also set as last error). A relative path is taken from
// the current folder. Safe against a parallel caller making the same folders.
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
// and ?, case-insensitive, "*.*" matches every name; a pattern without a
// folder searches the current one). "." and ".." come first when they match,
// then the names in case-insensitive order. The folder is read at the first
// call (later changes are not seen). Fails with 2 when nothing matches, 3 when
// the folder is missing; FindNextFileW fails with 18 (ERROR_NO_MORE_FILES) past
// the last entry. Names longer than MAX_PATH-1 characters are skipped. A name
// that is not UTF-8 is given as platform::FileNameToWide makes it (each stray
// byte an unpaired surrogate): every call refuses a path holding it with 123,
// so the caller can report the file but never open it. Entries carry the attributes GetFileAttributesW
// gives (a link is described by itself, 0x400; a pipe, socket or device has
// 0x40 and no 0x20). The search handle is closed with FindClose.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);

// Windows mask matching: '*' any run of characters (none included), '?'
// exactly one, letter case ignored (Latin, Cyrillic, Greek), several patterns
// separated by ';' (blanks around each ignored, empty ones match nothing),
// "*.*" matches every name, dot or not. No special meaning for '.', '/' or
// '\'. FALSE with 87 for a null argument; a plain FALSE when nothing matches.
BOOL PathMatchSpecW(LPCWSTR file, LPCWSTR pattern);
// TRUE when the file or folder exists; FALSE with 2 or 3 otherwise. A link
// exists even when its target does not.
BOOL PathFileExistsW(LPCWSTR path);

// $TMPDIR or /tmp, with a trailing '/'. Returns the length written, or the
// size needed (with the NUL) when the buffer is too small; 0 on failure (87:
// null buffer with a non-zero length). The folder's existence is not checked.
DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);
// Creates a new empty file (O_EXCL, mode 0600) named path + "/" (unless path
// ends with one) + prefix (first three characters) + the number in upper-case
// hex + ".tmp" and writes the name into tempFileName (MAX_PATH characters).
// The number (1..0xFFFF) starts at a random value and counts on past names
// taken, so parallel callers in any process get distinct files. unique != 0:
// only builds the name from its low 16 bits. Returns the number, or 0 with 87
// (null path or buffer), 267 (no such folder), 206 (name of MAX_PATH or more),
// 80 (every number taken), 5.
UINT GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique, LPWSTR tempFileName);

// The absolute path, "." and ".." folded and repeated separators dropped
// (lexically, as Windows does). Returns the length, or the size needed with
// the NUL; *filePart points at the last name in the buffer (null when the path
// ends with '/'). 123 for an empty name.
DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart);
// Returns the length, or the size needed with the NUL.
DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer);
// module null: the running program's path (/proc/self/exe). A path that does
// not fit is cut to size-1 characters and a NUL, returns size and sets 122.
// Other modules: 126.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

inline constexpr int CSIDL_COMMON_APPDATA = 0x0023;
inline constexpr int CSIDL_APPDATA = 0x001a;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;
// CSIDL_COMMON_APPDATA: $QELM_ROOT/ProgramData; CSIDL_APPDATA:
// $XDG_CONFIG_HOME or ~/.config. With CSIDL_FLAG_CREATE the folder is made.
// path holds MAX_PATH characters. Returns S_OK, E_INVALIDARG (other folders,
// null path), E_FAIL, or 0x8007xxxx with the code of a failed creation.
HRESULT SHGetFolderPathW(void* window, int folder, HANDLE token, DWORD flags, LPWSTR path);

// The root of the layer's state: $QELM_ROOT (when set and not empty), or
// /var/lib/qelmservice. Read at every call, so a test's TempRoot takes effect
// at once; the text stays valid until the environment changes.
// (Not a Windows call; the layer's own areas use it.)
namespace platform {
const char* QelmRoot();

// Claims of files that several processes (or instances) may want to work on.
// A claim is an open-file-description write lock on a byte far past the end
// of the file, which no share mode uses; it lasts until CloseHandle or the
// end of the process (a crash included), so a claim whose process is gone is
// free again. ClaimFile opens the regular file (never through a link, never
// blocking) and takes the claim: INVALID_HANDLE_VALUE with 33
// (ERROR_LOCK_VIOLATION) while another open holds it, in this process or
// another, 1921 for a link, 5 for a folder, pipe, socket or device, 2 when
// the file was moved or deleted by the claim's previous holder before the
// claim was taken, else the open's code. The claim follows the file through renames.
// The path the claim was taken under is its held name, and MoveFileW(Ex)
// hands the name on to the move's target (DeleteFileW drops it): while the
// claim is open, the layer's calls on a held name work on the claimed file
// only. They open it without following a link, and an open, a copy (a move
// across file systems included), a deletion, the attributes and
// OpenInputFileStream fail with 1006 (ERROR_FILE_INVALID) when the name now
// holds another file, so that nothing put in its place is read or deleted (a
// rename moves the name's entry, a link as a link); GetFilePermissions gives
// the claimed file's bits. While a process
// holds a claim, its exclusive opens of the file do not count the claim's own
// descriptor as another opener.
HANDLE ClaimFile(LPCWSTR path);
// TRUE when any descriptor on the machine other than the claim's own has the
// claimed file open (a producer still writing it, a reader); FALSE when none
// does, and FALSE with 6 for a handle that is no claim.
BOOL ClaimedFileInUse(HANDLE claim);

// Folders held open while a caller works in them (a rule's folders for one
// cycle). While a folder is held, every call of the layer on a path in it
// (its text, "." and ".." folded, then '/' and names) works through the
// folder as it was opened, however a user who may write on the way to it
// renames it or puts a link in its place meanwhile. Below a held folder no
// link is followed: neither a folder on the way to a name (1921; 3 when one
// is missing) nor, by opens, the last name itself (1921). Paths outside
// every held folder work as before. Held folders let go when their
// HeldFolders goes; a later call on the path works by name again.
class HeldFolders {
 public:
  HeldFolders();
  ~HeldFolders();
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  // Opens the folder name by name, following a link on its path only when
  // no user but root could have made or changed it (a link owned by root, in
  // a folder owned by root that neither group nor others may write), and
  // holds it. 0, or 2 (the folder missing), 3 (a folder on the way missing
  // or no folder), 267 (not a folder), 1921 (a link another user could have
  // made or changed, or too many links), or the open's code; nothing is
  // held then.
  DWORD Hold(LPCWSTR folder);

 private:
  std::uint64_t id_ = 0;
};

// The path under which code that opens files by name without this layer's
// state (the library, which keeps a layer of its own) reaches what `path`
// names for the layer's calls: the claimed file's own descriptor for a held
// name ("/proc/self/fd/N"), a held folder's descriptor for a path in one
// ("/proc/self/fd/N/name", the folders between opened without following a
// link), else the path itself. Empty when the folders between cannot be
// opened so (a link, a missing folder).
std::wstring PathThroughHeld(LPCWSTR path);
// The text with every such descriptor path of a folder or claim still held
// ("/proc/self/fd/N...") given back as the held folder's or name's own path,
// for what that other code reports about the paths it was given.
std::wstring ShownHeldPaths(LPCWSTR text);

// Opens a regular file (a native path) for reading as a C stream, through
// held folders and held names as the layer's calls do: never through a link
// in a held folder, and only the claimed file under a held name. Null with
// errno (EINVAL for a file that is no regular file or not the claimed one).
// For code that reads through C streams (the library).
std::FILE* OpenInputFileStream(const char* nativePath);
// Deletes a file (a native path) through held folders; false with errno.
bool DeleteNativeFile(const char* nativePath);

// What tells a file from every other, a later file that is given its
// recycled index number included: the device and index numbers, the birth
// time where the file system keeps one (statx), and the claim tag
// (TagClaimedFile) where one was written. A file system that keeps neither
// leaves the device and index numbers alone. Sizes the file too.
struct FileIdentity {
  ULONGLONG device = 0;
  ULONGLONG index = 0;
  ULONGLONG birth = 0;  // nanoseconds since 1970, plus one; 0: not kept
  ULONGLONG tag = 0;    // 0: none
  ULONGLONG size = 0;
  // The same file: device, index, birth and tag all equal (the size aside).
  bool SameFile(const FileIdentity& other) const {
    return device == other.device && index == other.index && birth == other.birth && tag == other.tag;
  }
};
// Of the file a claim holds, and of the file at path (a link never
// followed). FALSE with the code on failure (6 for a handle that is no
// claim).
BOOL GetClaimedFileIdentity(HANDLE claim, FileIdentity* identity);
BOOL GetFileIdentityAt(LPCWSTR path, FileIdentity* identity);
// Of the file an open file handle has open (6 for a handle that is none).
BOOL GetOpenFileIdentity(HANDLE file, FileIdentity* identity);
// Writes tag (not 0) on the claimed file as an extended attribute in the
// trusted namespace, which only a privileged process writes or reads, for a
// file system that keeps no birth time. FALSE with the code where the file
// system or the process's privileges take none.
BOOL TagClaimedFile(HANDLE claim, ULONGLONG tag);
// Removes that tag from the file at path (a link never followed), when it
// has one.
void RemoveFileTag(LPCWSTR path);

// Durability: the regular file's data written through to the disk
// (fdatasync; never through a link), a folder's entries (fsync of the
// folder), and everything written to the file system a folder lies on
// (syncfs). FALSE with the code on failure.
BOOL FlushFileData(LPCWSTR path);
BOOL FlushFolder(LPCWSTR folder);
BOOL FlushFileSystemOf(LPCWSTR folder);

// A file that this process alone makes, writes and then gives its name (an
// output under its temporary name). CreatePrivateFile creates it new for
// writing, readable and writable by its owner only (0600), never replacing
// and never through a link (a dangling one included), through held folders
// as the layer's calls go: INVALID_HANDLE_VALUE with the code on failure (80
// when the name is taken). No share mode is announced for it: a name just
// made has no opener before this one to share with, and the kernel still
// counts this descriptor (a lease on the file, which a deletion asks for,
// is refused while it is open). SetOpenFilePermissions gives the open file
// its permission bits (07777 at most). RenamePrivateFile gives the written
// and closed file its name on the same file system, never replacing, without
// the checks MoveFileW makes of other programs writing a file: FALSE with
// 183 when target is taken, 17 (ERROR_NOT_SAME_DEVICE) across file systems
// (MoveFileW copies then), else the rename's code as MoveFileW gives it (2
// for a source that is gone, 3 for a folder that is). With expected (the
// identity the file had as it was closed), a file under existing that is
// another one (ours unlinked and a stranger's put in its place, in a folder
// others write) is refused with 2 and left where it is: ours is not there.
HANDLE CreatePrivateFile(LPCWSTR path);
BOOL SetOpenFilePermissions(HANDLE file, DWORD permissions);
BOOL RenamePrivateFile(LPCWSTR existing, LPCWSTR target, const FileIdentity* expected = nullptr);

// The permission bits (07777) of a file, a link never followed;
// 0xFFFFFFFF with the code on failure.
DWORD GetFilePermissions(LPCWSTR path);
// Sets the permission bits (07777 at most) of a regular file, never through a
// link (1921). FALSE with the code on failure.
BOOL SetFilePermissions(LPCWSTR path, DWORD permissions);

// The permission bits a new file gets when nothing else is asked: 0666 less
// the process's file-mode creation mask. For files created readable by
// their owner only (FILE_ATTRIBUTE_TEMPORARY) that take ordinary bits once
// complete.
DWORD DefaultFilePermissions();

// An anonymous file for reading and writing as a C stream, in the temporary
// folder (GetTempPathW: $TMPDIR or /tmp), readable and writable by its owner
// only (0600) and never visible under a name where the file system allows
// it; it is gone once the stream is closed, a crash included. Null with
// errno on failure (a temporary folder that does not exist: ENOENT).
std::FILE* CreateTemporaryFileStream();

// Creates a new file (a native path, bytes as on disk) for writing as a C
// stream, readable and writable by its owner only (0600). It never replaces
// and never follows a link: any existing name, a dangling link included,
// fails (null, errno EEXIST). For code that writes through C streams.
// Held folders count as for the layer's calls.
std::FILE* CreateNewFileStream(const char* nativePath);

}
