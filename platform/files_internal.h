#pragma once
// Private helpers of the files area (files*.cpp); not for use outside platform/.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/windows_types.h"

namespace platform::files {

// Longest path the layer accepts, in wide characters (the Windows limit of
// extended-length paths); longer paths fail with 206.
inline constexpr std::size_t kMaxWidePath = 32767;

// Converts a wide path to the UTF-8 bytes of the file system. Returns 0, or
// 87 (null), 123 (a character that is no Unicode scalar value or a NUL-free
// empty path where one is required), 206 (too long). An empty path gives 0 and
// an empty string; callers decide what an empty path means.
DWORD WidePathToNative(LPCWSTR path, std::string& out);

// The code for a path that does not exist: 3 when its folder is missing too
// (or a parent is not a folder), else 2.
DWORD MissingPathCode(const std::string& path);

// The Windows code for an errno of a call on `path` (ENOENT: MissingPathCode).
DWORD ErrnoToCode(int err, const std::string& path);

// What the calls report about a file: statx at (dirfd, path, flags), with
// the birth time as creation time where the file system keeps one (else the
// earlier of the change and modification times). FALSE with errno set.
struct FileFacts {
  mode_t mode;
  std::uint64_t size;
  std::uint32_t nlink;
  dev_t dev;
  ino_t ino;
  FILETIME creation;
  FILETIME lastAccess;
  FILETIME lastWrite;
};
bool StatFacts(int dirfd, const char* path, int flags, FileFacts& out);

// Windows attribute bits for a file mode and the name's last component.
DWORD AttributesFromMode(mode_t mode, std::string_view lastComponent);

// The facts and attributes of a path as Windows describes it: a link by
// itself (0x400, with 0x10 when it points to a folder), never by its target.
// FALSE with errno set.
bool DescribeEntry(int dirfd, const char* path, FileFacts& facts, DWORD& attributes);

std::string_view LastComponent(std::string_view path);

// Copies wide text with its NUL into a caller's buffer of `length` characters.
// Returns the length without the NUL, or the size needed with the NUL when the
// buffer is too small (nothing written).
DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD length);

struct FileKey {
  dev_t dev;
  ino_t ino;
  bool operator<(const FileKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// --- Held folders and held names (files_held.cpp) ---
//
// What a path call works on: the caller's text, and the text the system
// calls take, which goes through the descriptor of a held folder when the
// path lies in one ("/proc/self/fd/N/name", the folders between opened one
// by one without following a link; "/proc/self/fd/N/." for the folder
// itself).
struct WorkPath {
  std::string given;  // the caller's native text
  std::string text;   // what the system calls take
  // The last name lies in a held folder (or below one), which other users
  // may write: an open never follows it when it is a link.
  bool lastNameHeld = false;
  // The path is a held name of a claim: only heldFile may be found there.
  bool heldName = false;
  FileKey heldFile{};
  int heldFd = -1;  // the claim's descriptor
};
// Fills `out` for a native path: 0, or 3 when a folder between the held
// folder and the last name is missing or no folder, 1921 when it is a link.
DWORD ResolveHeld(const std::string& given, WorkPath& out);
// WidePathToNative, then ResolveHeld.
DWORD WidePathToWork(LPCWSTR path, WorkPath& out);
// 0, or 1006 (ERROR_FILE_INVALID) when the path is a held name and the file
// found there (dev, ino) is not the claimed one.
DWORD HeldNameCheck(const WorkPath& path, dev_t dev, ino_t ino);
// The names of claims: taken with the claim, moved by MoveFileW, gone with
// DeleteFileW or the claim.
void HoldName(const std::string& given, const FileKey& file, int claimFd);
void FollowHeldName(const std::string& from, const std::string& to);
void DropHeldName(const std::string& given);
void DropHeldNamesOf(int claimFd);

// --- Identity and durability (files_durable.cpp) ---

// The identity (platform::FileIdentity) of the file behind fd, and the claim
// tag written on it. False with errno set.
bool DescriptorIdentity(int fd, platform::FileIdentity& out);
bool SetDescriptorTag(int fd, std::uint64_t tag);

// --- Share modes between handles (files_share.cpp) ---
//
// Access and share are both reduced to three bits: 1 read, 2 write, 4 delete
// (the FILE_SHARE_* values). Opens without data access (attributes only)
// neither restrict nor are restricted, as on Windows.
inline constexpr unsigned kShareRead = 1, kShareWrite = 2, kShareDelete = 4;
unsigned AccessBits(DWORD desiredAccess);


// What the kernel said, before an exclusive open, about other openers of a
// file this process holds a claim on: asked through the claim's descriptor
// (a write lease for a moment, granted only when no other descriptor on the
// machine has the file open) before the open adds a descriptor of its own,
// which no lease could tell from another program's. held: 1 another has it
// open, 0 none has, -1 not asked (no claim here, or no lease for this user).
struct ClaimAnswer {
  FileKey key{};
  int held = -1;
};
ClaimAnswer AskThroughClaim(const std::string& path, bool followLast);

// Registers an open of the file behind fd. Checks the open handles of this
// process, then those of our other processes (through lock bytes far past
// the end of the file), then, for an exclusive open (share 0 with data access),
// that no program at all holds the file open. Returns 0 (registered) or 32.
// `openId` identifies the registration for UnregisterOpen.
// An exclusive open of a claimed file takes its answer from asked (the same
// file) where there is one.
DWORD RegisterOpen(int fd, const FileKey& key, unsigned access, unsigned share, std::uint64_t& openId,
                   const ClaimAnswer& asked = {});
void UnregisterOpen(const FileKey& key, std::uint64_t openId);

// For DeleteFileW and MoveFileW: 32 when an open handle of our processes does
// not share delete, or another program has the regular file open for writing
// (a producer still writing it); else 0. The table stays locked while the
// returned guard lives, so no handle of this process opens the file between
// the check and the rename or deletion.
class DeleteCheck {
 public:
  DeleteCheck();
  ~DeleteCheck();
  DeleteCheck(const DeleteCheck&) = delete;
  DeleteCheck& operator=(const DeleteCheck&) = delete;
  DWORD Check(const std::string& path);
};

// TRUE when a process other than this one, or a descriptor of this process
// other than `ownFd`, has the file open (read from /proc/<pid>/fd; descriptors
// opened only as paths do not count). Only processes whose /proc entries we
// may read are seen. Used when a lease cannot be taken. (The tests' build
// can refuse every lease and count these looks: QELM_TEST_NO_LEASE, in
// files_share.cpp.)
bool OpenedElsewhere(const FileKey& key, int ownFd, int otherOwnFd = -1);

}  // namespace platform::files
