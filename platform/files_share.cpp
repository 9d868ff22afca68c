// Share modes between handles, with Windows rules.
//
// Inside one process a table keyed by (device, inode) holds the access and
// share bits of every open handle; a new open is checked against all of them.
//
// Between our processes each process keeps one extra read-only descriptor per
// open file (the "lock descriptor") and announces the union of its handles
// with open-file-description read locks on single bytes far past any real end
// of file:
//
//   kLockBase + 0, 1, 2   some handle here has read, write, delete access
//   kLockBase + 3, 4, 5   some handle here denies read, write, delete sharing
//
// A new open first adds its own bytes, then asks (F_OFD_GETLK with a write
// lock) whether any other open file description holds the bytes it conflicts
// with. Because each side announces before it looks, two processes racing for
// conflicting opens cannot both succeed (both may fail; the caller retries as
// on any sharing violation). Read locks never conflict with one another, so
// announcing never blocks, and lock descriptors of one process never see
// their own bytes.
//
// An exclusive open (share 0 with data access) must also fail while any other
// program holds the file open. It takes a write lease for a moment: the kernel
// grants one only when no other descriptor on the machine has the file open
// for reading or writing. Leases are granted to the file's owner and to root;
// for other files the open falls back to looking through /proc/<pid>/fd of the
// processes we may inspect. A lease break during that moment would send a
// signal; the descriptor's signal is set to SIGURG, which is ignored by
// default, so a racing opener cannot kill us.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_internal.h"

namespace platform::files {
namespace {

constexpr off_t kLockBase = static_cast<off_t>(1) << 62;

struct OpenRecord {
  std::uint64_t id;
  unsigned access;
  unsigned share;
};

struct InodeEntry {
  std::vector<OpenRecord> opens;
  int lockFd = -1;
  unsigned held = 0;  // lock bytes held through lockFd, bit i = kLockBase + i
};

std::mutex& TableLock() {
  static std::mutex* lock = new std::mutex;  // lives as long as the process
  return *lock;
}

std::map<FileKey, InodeEntry>& Table() {
  static auto* table = new std::map<FileKey, InodeEntry>;
  return *table;
}

std::atomic<std::uint64_t> g_nextOpenId{1};

// The byte of a claim lock: past the share-mode bytes, so that a claim and
// the share modes never meet.
constexpr off_t kClaimByte = kLockBase + 8;

// Descriptors of the claims this process holds, by file (under TableLock).
std::map<FileKey, std::vector<int>>& ClaimDescriptors() {
  static auto* claims = new std::map<FileKey, std::vector<int>>;
  return *claims;
}

int ClaimDescriptorOf(const FileKey& key) {
  auto& claims = ClaimDescriptors();
  auto it = claims.find(key);
  return it == claims.end() || it->second.empty() ? -1 : it->second.front();
}

unsigned AnnouncedBytes(unsigned access, unsigned share) {
  if (access == 0) return 0;
  return access | ((~share & 7u) << 3);
}

bool SetLockByte(int fd, int index, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + index;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

bool ByteHeldElsewhere(int fd, int index) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + index;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

// Brings the lock bytes of an entry to `wanted`. Returns FALSE when a lock
// could not be taken (file system without locks): the entry then announces
// nothing, and only this process's table protects its handles.
bool ApplyHeld(InodeEntry& entry, unsigned wanted) {
  if (entry.lockFd < 0) return false;
  for (int i = 0; i < 6; ++i) {
    const unsigned bit = 1u << i;
    if ((wanted & bit) && !(entry.held & bit)) {
      if (!SetLockByte(entry.lockFd, i, F_RDLCK)) return false;
      entry.held |= bit;
    } else if (!(wanted & bit) && (entry.held & bit)) {
      SetLockByte(entry.lockFd, i, F_UNLCK);
      entry.held &= ~bit;
    }
  }
  return true;
}

unsigned UnionOfOpens(const InodeEntry& entry) {
  unsigned bytes = 0;
  for (const OpenRecord& open : entry.opens) bytes |= AnnouncedBytes(open.access, open.share);
  return bytes;
}

bool ConflictsInProcess(const InodeEntry& entry, unsigned access, unsigned share) {
  if (access == 0) return false;
  for (const OpenRecord& open : entry.opens) {
    if (open.access == 0) continue;
    if ((access & ~open.share) || (open.access & ~share)) return true;
  }
  return false;
}

bool ConflictsAcrossProcesses(int lockFd, unsigned access, unsigned share) {
  for (int b = 0; b < 3; ++b) {
    if ((access & (1u << b)) && ByteHeldElsewhere(lockFd, 3 + b)) return true;
    if (!(share & (1u << b)) && ByteHeldElsewhere(lockFd, b)) return true;
  }
  return false;
}

// Pipes and devices get no lock descriptor: a second reader on a pipe would
// change what its writer sees.
int OpenLockDescriptor(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return -1;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

#if defined(QELM_TEST_HOOKS)
// Test hook, only in the tests' build: QELM_TEST_NO_LEASE names a file. Every
// lease is then refused as to a user who may not take one (not the file's
// owner, not root), so the tests, which run as root, reach the look through
// /proc; each look appends a line to the named file, so a test can count them.
const char* NoLeaseHook() {
  const char* file = std::getenv("QELM_TEST_NO_LEASE");
  return file != nullptr && *file != '\0' ? file : nullptr;
}

void CountLookForTests() {
  const char* file = NoLeaseHook();
  if (file == nullptr) return;
  const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = write(fd, "look\n", 5);
  close(fd);
}
#else
// A build to install has no hook: leases are asked for as they are.
constexpr const char* NoLeaseHook() { return nullptr; }
void CountLookForTests() {}
#endif

// A write lease on fd for a moment: granted only when no other descriptor
// on the machine has the file open. 1 granted, 0 refused for another opener,
// -1 refused for another reason (not the owner, no lease support).
int TryWriteLease(int fd) {
  if (NoLeaseHook() != nullptr) return -1;
  fcntl(fd, F_SETSIG, SIGURG);
  if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return 1;
  }
  return errno == EAGAIN || errno == EBUSY ? 0 : -1;
}

// Claimed files that a look through /proc found open by nobody else, where
// no lease could answer (under TableLock): looked through once per claim,
// not once per check, since every process's descriptors cost a call each.
std::set<FileKey>& ScannedClaims() {
  static auto* scanned = new std::set<FileKey>;
  return *scanned;
}

// OpenedElsewhere for a claimed file, at most once while it is claimed
// unless it finds another opener.
bool OpenedElsewhereOncePerClaim(const FileKey& key, int ownFd, int otherOwnFd) {
  if (ScannedClaims().count(key) != 0) return false;
  if (OpenedElsewhere(key, ownFd, otherOwnFd)) return true;
  ScannedClaims().insert(key);
  return false;
}

// TRUE when some other descriptor anywhere has the regular file open. A
// claim this process holds on the file keeps a descriptor open, which a
// lease taken through fd cannot tell from another program's: the answer
// asked through the claim before fd was opened stands then, and where there
// is none the open descriptors are looked through (once per claim).
bool HeldOpenByAnyOther(int fd, const FileKey& key, const ClaimAnswer& asked) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int claimFd = ClaimDescriptorOf(key);
  if (claimFd < 0) {
    const int lease = TryWriteLease(fd);
    if (lease >= 0) return lease == 0;
    return OpenedElsewhere(key, fd);
  }
  if (asked.held >= 0 && !(asked.key < key) && !(key < asked.key)) return asked.held == 1;
  return OpenedElsewhereOncePerClaim(key, fd, claimFd);
}

// A claim is a read lock on the claim byte that no other open file
// description holds. A write lock would need a descriptor open for writing,
// which would make the claimed file look as if a producer were still writing
// it. Each side announces before it looks, so two racing claimers cannot
// both win (both may lose; the file is then claimed in a later cycle).
bool TakeClaimByte(int fd) {
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kClaimByte;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &fl) != 0) return false;
  struct flock probe = fl;
  probe.l_type = F_WRLCK;
  if (fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_UNLCK) return true;
  fl.l_type = F_UNLCK;
  fcntl(fd, F_OFD_SETLK, &fl);
  return false;
}

class ClaimObject : public KernelObject {
 public:
  ClaimObject(int fd, FileKey key) : fd_(fd), key_(key) {
    std::lock_guard guard(TableLock());
    ClaimDescriptors()[key_].push_back(fd_);
  }
  ~ClaimObject() override {
    DropHeldNamesOf(fd_);
    {
      std::lock_guard guard(TableLock());
      auto& claims = ClaimDescriptors();
      auto it = claims.find(key_);
      if (it != claims.end()) {
        std::erase(it->second, fd_);
        if (it->second.empty()) {
          claims.erase(it);
          ScannedClaims().erase(key_);
        }
      }
    }
    close(fd_);  // releases the claim lock
  }
  int fd() const { return fd_; }
  const FileKey& key() const { return key_; }

 private:
  int fd_;
  FileKey key_;
};

// Which descriptors a look through /proc counts: every one that holds the
// file open, or only those open for writing.
enum class Openers { kAny, kWriters };

// The open flags of a descriptor, from /proc/<pid>/fdinfo/<n>; -1 when they
// cannot be read.
long DescriptorFlags(const std::string& fdinfo) {
  FILE* f = std::fopen(fdinfo.c_str(), "r");
  if (f == nullptr) return -1;
  char line[128];
  long flags = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "flags:", 6) == 0) {
      flags = static_cast<long>(std::strtoul(line + 6, nullptr, 8));
      break;
    }
  }
  std::fclose(f);
  return flags;
}

// A descriptor opened only as a path holds nothing; one whose flags cannot
// be read counts, which is the safe answer.
bool Counts(long flags, Openers which) {
  if (flags < 0) return true;
  if (flags & O_PATH) return false;
  return which == Openers::kAny || (flags & O_ACCMODE) != O_RDONLY;
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

// TRUE when a descriptor of the processes we may inspect holds the file as
// `which` asks. In this process, ownFd and otherOwnFd are left out, or every
// descriptor when ownFd is -1 (its writers are in the table).
bool LookThroughProc(const FileKey& key, Openers which, int ownFd, int otherOwnFd) {
  CountLookForTests();
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    struct dirent* process = readdir(proc);
    if (process == nullptr) break;
    if (!IsNumber(process->d_name)) continue;
    const bool isSelf = std::atol(process->d_name) == self;
    if (isSelf && ownFd < 0) continue;
    const std::string base = std::string("/proc/") + process->d_name;
    DIR* fds = opendir((base + "/fd").c_str());
    if (fds == nullptr) continue;
    const int listingFd = dirfd(fds);
    while (struct dirent* entry = readdir(fds)) {
      if (!IsNumber(entry->d_name)) continue;
      const int number = std::atoi(entry->d_name);
      if (isSelf && (number == ownFd || number == otherOwnFd || number == listingFd)) continue;
      struct stat st {};
      if (fstatat(listingFd, entry->d_name, &st, 0) != 0) continue;
      if (st.st_dev != key.dev || st.st_ino != key.ino) continue;
      if (!Counts(DescriptorFlags(base + "/fdinfo/" + entry->d_name), which)) continue;
      found = true;
      break;
    }
    closedir(fds);
  }
  closedir(proc);
  return found;
}

// TRUE when a descriptor of another process has the regular file open for
// writing. Needs a read-only descriptor. Where no lease answers (not the
// file's owner), the processes we may inspect are looked through.
bool OpenForWritingAnywhere(int readOnlyFd, const FileKey& key) {
  if (NoLeaseHook() == nullptr) {
    fcntl(readOnlyFd, F_SETSIG, SIGURG);
    if (fcntl(readOnlyFd, F_SETLEASE, F_RDLCK) == 0) {
      fcntl(readOnlyFd, F_SETLEASE, F_UNLCK);
      return false;
    }
    if (errno == EAGAIN || errno == EBUSY) return true;
  }
  return LookThroughProc(key, Openers::kWriters, -1, -1);
}

}  // namespace

unsigned AccessBits(DWORD desiredAccess) {
  unsigned bits = 0;
  if (desiredAccess & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | FILE_READ_DATA)) bits |= kShareRead;
  if (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= kShareWrite;
  if (desiredAccess & (GENERIC_ALL | DELETE)) bits |= kShareDelete;
  return bits;
}

bool OpenedElsewhere(const FileKey& key, int ownFd, int otherOwnFd) {
  return LookThroughProc(key, Openers::kAny, ownFd, otherOwnFd);
}

ClaimAnswer AskThroughClaim(const std::string& path, bool followLast) {
  struct stat st {};
  if (fstatat(AT_FDCWD, path.c_str(), &st, followLast ? 0 : AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return {};
  ClaimAnswer answer{FileKey{st.st_dev, st.st_ino}, -1};
  std::lock_guard guard(TableLock());
  // Two claims of this process on one file would refuse every lease.
  const auto& claims = ClaimDescriptors();
  const auto it = claims.find(answer.key);
  if (it == claims.end() || it->second.size() != 1) return answer;
  const int lease = TryWriteLease(it->second.front());
  if (lease >= 0) answer.held = lease == 0 ? 1 : 0;
  return answer;
}

DWORD RegisterOpen(int fd, const FileKey& key, unsigned access, unsigned share, std::uint64_t& openId,
                   const ClaimAnswer& asked) {
  std::lock_guard guard(TableLock());
  auto& table = Table();
  // Not a structured binding: the lambda below captures the iterator, which
  // clang refuses for a binding.
  auto emplaced = table.try_emplace(key);
  auto it = emplaced.first;
  InodeEntry& entry = it->second;
  auto fail = [&]() -> DWORD {
    if (entry.opens.empty()) {
      if (entry.lockFd >= 0) close(entry.lockFd);
      table.erase(it);
    }
    return ERROR_SHARING_VIOLATION;
  };

  if (ConflictsInProcess(entry, access, share)) return fail();
  if (access != 0 && share == 0 && HeldOpenByAnyOther(fd, key, asked)) return fail();

  if (access != 0) {
    if (entry.lockFd < 0) {
      entry.lockFd = OpenLockDescriptor(fd);
      entry.held = 0;
    }
    const unsigned before = entry.held;
    if (ApplyHeld(entry, before | AnnouncedBytes(access, share))) {
      if (ConflictsAcrossProcesses(entry.lockFd, access, share)) {
        ApplyHeld(entry, before);
        return fail();
      }
    }
  }
  openId = g_nextOpenId.fetch_add(1);
  entry.opens.push_back(OpenRecord{openId, access, share});
  return ERROR_SUCCESS;
}

void UnregisterOpen(const FileKey& key, std::uint64_t openId) {
  std::lock_guard guard(TableLock());
  auto& table = Table();
  auto it = table.find(key);
  if (it == table.end()) return;
  InodeEntry& entry = it->second;
  std::erase_if(entry.opens, [openId](const OpenRecord& open) { return open.id == openId; });
  const unsigned remaining = UnionOfOpens(entry);
  if (remaining == 0) {
    if (entry.lockFd >= 0) close(entry.lockFd);  // drops every lock byte at once
    entry.lockFd = -1;
    entry.held = 0;
  } else {
    ApplyHeld(entry, remaining);
  }
  if (entry.opens.empty()) table.erase(it);
}

DeleteCheck::DeleteCheck() { TableLock().lock(); }
DeleteCheck::~DeleteCheck() { TableLock().unlock(); }

DWORD DeleteCheck::Check(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return ERROR_SUCCESS;  // the operation itself reports it
  const FileKey key{st.st_dev, st.st_ino};
  auto& table = Table();
  auto it = table.find(key);
  bool writerHere = false;
  if (it != table.end()) {
    for (const OpenRecord& open : it->second.opens) {
      if (open.access != 0 && !(open.share & kShareDelete)) return ERROR_SHARING_VIOLATION;
      if (open.access & kShareWrite) writerHere = true;
    }
  }
  if (!S_ISREG(st.st_mode)) return ERROR_SUCCESS;

  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return ERROR_SUCCESS;
  DWORD result = ERROR_SUCCESS;
  if (ByteHeldElsewhere(fd, 3 + 2)) {
    result = ERROR_SHARING_VIOLATION;  // one of our processes denies delete
  } else if (!writerHere && !ByteHeldElsewhere(fd, 1) && OpenForWritingAnywhere(fd, key)) {
    // Open for writing by a program outside the layer: a producer still
    // writing the file, which on Windows would hold it without delete sharing.
    result = ERROR_SHARING_VIOLATION;
  }
  close(fd);
  return result;
}

}  // namespace platform::files

using namespace platform::files;

namespace {

// The claim is taken on what the open found; the process that held it
// before may have moved or deleted the file since (it releases its claim
// only when done). A claim on a file that the path no longer names would let
// two processes work on one name: ERROR_FILE_NOT_FOUND when nothing is there
// now, ERROR_LOCK_VIOLATION when another file has taken the name.
DWORD StillNamedBy(const std::string& native, const struct stat& opened) {
  struct stat now {};
  if (lstat(native.c_str(), &now) != 0) return ErrnoToCode(errno, native);
  if (now.st_dev != opened.st_dev || now.st_ino != opened.st_ino) return ERROR_LOCK_VIOLATION;
  return ERROR_SUCCESS;
}

}  // namespace

HANDLE platform::ClaimFile(LPCWSTR path) {
  WorkPath work;
  const std::string& native = work.text;
  if (DWORD code = WidePathToWork(path, work)) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  if (native.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(ErrnoToCode(errno, native));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  DWORD code = ERROR_SUCCESS;
  if (fstat(fd, &st) != 0) {
    code = WinErrorFromErrno(errno);
  } else if (!S_ISREG(st.st_mode)) {
    code = ERROR_ACCESS_DENIED;
  } else if (!TakeClaimByte(fd)) {
    code = ERROR_LOCK_VIOLATION;
  } else {
    code = StillNamedBy(native, st);
  }
  if (code != ERROR_SUCCESS) {
    close(fd);
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  const FileKey key{st.st_dev, st.st_ino};
  HoldName(work.given, key, fd);
  return RegisterHandle(std::make_unique<ClaimObject>(fd, key));
}

BOOL platform::ClaimedFileInUse(HANDLE claim) {
  auto* object = LookupHandleAs<ClaimObject>(claim);
  if (object == nullptr) return FALSE;
  std::lock_guard guard(TableLock());
  const int lease = TryWriteLease(object->fd());
  if (lease >= 0) return lease == 0;
  // Looked through afresh, and a free answer not kept: a program may open
  // the file between this probe and the work's own exclusive open, which
  // must then see it. A holder found ends the answer kept for the claim, so
  // that the exclusive opens after this look again.
  if (!OpenedElsewhere(object->key(), object->fd())) return FALSE;
  ScannedClaims().erase(object->key());
  return TRUE;
}

BOOL platform::GetClaimedFileIdentity(HANDLE claim, FileIdentity* identity) {
  auto* object = LookupHandleAs<ClaimObject>(claim);
  if (object == nullptr) return FALSE;
  if (DescriptorIdentity(object->fd(), *identity)) return TRUE;
  SetLastError(WinErrorFromErrno(errno));
  return FALSE;
}

BOOL platform::TagClaimedFile(HANDLE claim, ULONGLONG tag) {
  auto* object = LookupHandleAs<ClaimObject>(claim);
  if (object == nullptr) return FALSE;
  if (SetDescriptorTag(object->fd(), tag)) return TRUE;
  SetLastError(WinErrorFromErrno(errno));
  return FALSE;
}
