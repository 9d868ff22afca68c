#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/errors.h"
#include "platform/utf16.h"

// ---------------------------------------------------------------------------
// The store: one SQLite connection per database file and process, shared by
// every key handle opened in it and guarded by a mutex for the length of one
// call. Keys form a tree in table `keys` (the root of the hive is id 0 and has
// no row); values live in `vals`, ordered by their row id, which is their
// creation order. Ids are never reused (AUTOINCREMENT), so a handle whose key
// was deleted can tell (1018) instead of reaching a new key of the same id.
// ---------------------------------------------------------------------------

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kMaxKeyComponent = 255;
constexpr std::size_t kMaxKeyPath = 32767;
constexpr std::size_t kMaxValueName = 16383;
constexpr std::int64_t kRootId = 0;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " written INTEGER NOT NULL,"
    " UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, fold));";

// A failed SQLite call, carried to the API boundary and turned into a code.
struct StoreError {
  LSTATUS code;
};

LSTATUS CodeOfSqlite(int rc, bool writing) {
  switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return ERROR_REGISTRY_CORRUPT;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
    case SQLITE_TOOBIG: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    default: return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

struct Store {
  std::mutex lock;
  sqlite3* db = nullptr;
  pid_t pid = 0;
  std::string path;
  bool userPrivate = false;  // the user's own store: no other user may read it
  dev_t device = 0;  // the file opened, to notice when it is removed or replaced
  ino_t inode = 0;

  ~Store() {
    // A connection inherited over fork() belongs to the parent: closing it
    // here could disturb the parent's locks, so the child leaves it alone.
    if (db != nullptr && pid == getpid()) sqlite3_close_v2(db);
  }
};

class Statement {
 public:
  Statement(Store& store, const char* sql) {
    int rc = sqlite3_prepare_v2(store.db, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) throw StoreError{CodeOfSqlite(rc, false)};
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t v) {
    Check(sqlite3_bind_int64(stmt_, index, v));
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const BYTE* data, DWORD size) {
    static const BYTE kEmpty = 0;
    Check(sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT));
    return *this;
  }
  // TRUE while a row is there.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError{CodeOfSqlite(rc, !sqlite3_stmt_readonly(stmt_))};
  }
  void Run() { Step(); }
  std::int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt_, col)) : std::string();
  }
  std::string Blob(int col) const {
    const void* b = sqlite3_column_blob(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return b ? std::string(static_cast<const char*>(b), static_cast<std::size_t>(n)) : std::string();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw StoreError{CodeOfSqlite(rc, false)};
  }
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(Store& store, const char* sql, bool writing) {
  int rc = sqlite3_exec(store.db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw StoreError{CodeOfSqlite(rc, writing)};
}

// One call's transaction: BEGIN IMMEDIATE for writers so that two writers
// queue on the busy timeout instead of failing on a stale snapshot.
class Transaction {
 public:
  Transaction(Store& store, bool writing) : store_(store), guard_(store.lock) {
    Exec(store_, writing ? "BEGIN IMMEDIATE" : "BEGIN", writing);
    writing_ = writing;
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(store_.db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec(store_, "COMMIT", writing_);
    done_ = true;
  }
  Store& store() { return store_; }

 private:
  Store& store_;
  std::lock_guard<std::mutex> guard_;
  bool writing_ = false;
  bool done_ = false;
};

// --- database files -------------------------------------------------------

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/";
}

bool IsMachineRoot(HKEY h) { return h == HKEY_LOCAL_MACHINE; }
bool IsUserRoot(HKEY h) { return h == HKEY_CURRENT_USER; }
bool IsRoot(HKEY h) { return IsMachineRoot(h) || IsUserRoot(h); }

std::string StorePathFor(HKEY root) {
  if (IsMachineRoot(root)) {
    std::string base = EnvOrEmpty("QELM_ROOT");
    if (base.empty()) base = "/var/lib/qelmservice";
    return base + "/registry/machine.db";
  }
  if (IsUserRoot(root)) {
    std::string base = EnvOrEmpty("XDG_CONFIG_HOME");
    if (base.empty()) base = HomeFolder() + "/.config";
    return base + "/qelmservice/user.db";
  }
  return {};
}

LSTATUS FolderError(int err) {
  return (err == EACCES || err == EPERM || err == EROFS) ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
}

// Makes the folder and its missing parents readable by their owner only
// (0700), and takes those rights back from others on the folder itself when
// it is ours: it holds the user's profiles and the paths of their keys.
LSTATUS CreatePrivateFolder(const std::filesystem::path& folder) {
  std::filesystem::path made;
  for (const std::filesystem::path& part : folder) {
    made /= part;
    if (mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) return FolderError(errno);
  }
  struct stat st{};
  if (stat(folder.c_str(), &st) != 0) return FolderError(errno);
  if (!S_ISDIR(st.st_mode)) return ERROR_CANTOPEN;
  if (st.st_uid == geteuid() && (st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)
    return FolderError(errno);
  return ERROR_SUCCESS;
}

LSTATUS CreateStoreFolder(const std::string& path, bool userPrivate) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (userPrivate) return CreatePrivateFolder(folder);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return ec ? FolderError(ec.value()) : ERROR_SUCCESS;
}

// The user's store and the files SQLite keeps beside it (which it creates
// with the store's own mode) are readable and writable by their owner only:
// the store is made so before SQLite first creates it, and a store left
// readable by others is closed to them.
void KeepStoreFilesPrivate(const std::string& dbPath) {
  for (const char* suffix : {"", "-wal", "-shm", ".lock"}) {
    const int create = *suffix == '\0' ? O_CREAT : 0;
    const int fd = open((dbPath + suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | create, 0600);
    if (fd < 0) continue;
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) != 0)
      (void)!fchmod(fd, st.st_mode & 0700);
    close(fd);
  }
}

// Holds an exclusive lock on "<database>.lock" while a process sets up the
// database: switching a fresh file to WAL is not safe against a second
// process doing the same (SQLite reports BUSY or an I/O error to one of
// them), so first opens take turns.
class SetupLock {
 public:
  SetupLock(const std::string& dbPath, mode_t mode) {
    fd_ = open((dbPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~SetupLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  SetupLock(const SetupLock&) = delete;
  SetupLock& operator=(const SetupLock&) = delete;

 private:
  int fd_ = -1;
};

// TRUE when the file is in WAL mode and holds both tables: then opening it
// needs no write at all.
bool IsSetUp(Store& store) {
  Statement mode(store, "PRAGMA journal_mode");
  if (!mode.Step() || mode.Text(0) != "wal") return false;
  Statement tables(store, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
  return tables.Step() && tables.Int(0) == 2;
}

LSTATUS OpenDatabase(Store& store) {
  if (LSTATUS folder = CreateStoreFolder(store.path, store.userPrivate); folder != ERROR_SUCCESS) return folder;
  SetupLock setup(store.path, store.userPrivate ? 0600 : 0644);
  if (store.userPrivate) KeepStoreFilesPrivate(store.path);
  int rc = sqlite3_open_v2(store.path.c_str(), &store.db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    int err = store.db ? sqlite3_system_errno(store.db) : 0;
    return (err == EACCES || err == EPERM) ? ERROR_ACCESS_DENIED : CodeOfSqlite(rc, true);
  }
  sqlite3_busy_timeout(store.db, kBusyTimeoutMs);
  // Connections stay open until the process ends, so no last close trims the
  // WAL file; the size limit lets each checkpoint cut it back instead.
  sqlite3_exec(store.db, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=1048576", nullptr, nullptr, nullptr);
  try {
    if (IsSetUp(store)) return ERROR_SUCCESS;
    // A file we may only read (the machine store seen by an ordinary user)
    // cannot be set up; if it is not set up already, there is nothing to read.
    if (sqlite3_db_readonly(store.db, "main") == 1) return ERROR_ACCESS_DENIED;
    Exec(store, "PRAGMA journal_mode=WAL", true);
    Transaction txn(store, true);
    Exec(store, kSchema, true);
    txn.Commit();
  } catch (const StoreError& e) {
    return e.code;
  }
  return ERROR_SUCCESS;
}

constexpr std::size_t kRecentStores = 4;

struct StoreCache {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<Store>> stores;
  std::vector<std::shared_ptr<Store>> recent;
};

StoreCache& Cache() {
  static StoreCache* cache = new StoreCache;  // lives as long as the process
  return *cache;
}

bool StillSameFile(const Store& store) {
  struct stat st{};
  return stat(store.path.c_str(), &st) == 0 && st.st_dev == store.device && st.st_ino == store.inode;
}

// The open store for a database file, opened (and created) on first use. A
// file removed or replaced since it was opened is opened afresh; key handles
// opened before keep the old one.
LSTATUS AcquireStore(const std::string& path, bool userPrivate, std::shared_ptr<Store>& result) {
  StoreCache& cache = Cache();
  std::lock_guard guard(cache.lock);
  auto it = cache.stores.find(path);
  if (it != cache.stores.end()) {
    std::shared_ptr<Store> store = it->second.lock();
    if (store && store->pid == getpid() && StillSameFile(*store)) {
      result = std::move(store);
      return ERROR_SUCCESS;
    }
  }
  auto store = std::make_shared<Store>();
  store->path = path;
  store->userPrivate = userPrivate;
  store->pid = getpid();
  LSTATUS status = OpenDatabase(*store);
  if (status != ERROR_SUCCESS) return status;
  struct stat st{};
  if (stat(path.c_str(), &st) == 0) {
    store->device = st.st_dev;
    store->inode = st.st_ino;
  }
  cache.stores[path] = store;
  // The last few stores stay open even with no key handle on them, so that
  // calls made directly on a root key do not reopen the file each time.
  cache.recent.insert(cache.recent.begin(), store);
  if (cache.recent.size() > kRecentStores) cache.recent.pop_back();
  result = std::move(store);
  return ERROR_SUCCESS;
}

}  // namespace

// --- key handles ------------------------------------------------------------

struct HKEY__ {
  std::shared_ptr<Store> store;
  std::int64_t id = 0;
  REGSAM sam = 0;
};

namespace {

struct HandleSet {
  std::mutex lock;
  std::unordered_set<HKEY> open;
};

HandleSet& Handles() {
  static HandleSet* set = new HandleSet;
  return *set;
}

// What a call needs to know about its key handle, copied out so that a
// concurrent RegCloseKey of the same handle cannot pull it away.
struct KeyRef {
  std::shared_ptr<Store> store;
  std::int64_t id = kRootId;
  REGSAM sam = KEY_ALL_ACCESS;
};

LSTATUS ResolveKey(HKEY hKey, KeyRef& ref) {
  if (IsRoot(hKey)) {
    ref.id = kRootId;
    ref.sam = KEY_ALL_ACCESS;
    return AcquireStore(StorePathFor(hKey), IsUserRoot(hKey), ref.store);
  }
  HandleSet& set = Handles();
  std::lock_guard guard(set.lock);
  if (hKey == nullptr || set.open.count(hKey) == 0) return ERROR_INVALID_HANDLE;
  ref.store = hKey->store;
  ref.id = hKey->id;
  ref.sam = hKey->sam;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyRef& parent, std::int64_t id, REGSAM sam) {
  HKEY key = new HKEY__;
  key->store = parent.store;
  key->id = id;
  key->sam = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  HandleSet& set = Handles();
  std::lock_guard guard(set.lock);
  set.open.insert(key);
  return key;
}

bool Allows(const KeyRef& ref, REGSAM right) { return (ref.sam & right) == right; }

// --- names -----------------------------------------------------------------

struct Name {
  std::string text;  // as given, UTF-8
  std::string fold;  // upper-cased, UTF-8: the comparison key and sort order
};

Name MakeName(std::wstring_view wide) {
  return Name{platform::WideToUtf8(wide), platform::WideToUtf8(platform::UpcaseText(wide))};
}

// Splits a key path into its components; see the header for the rules.
LSTATUS SplitKeyPath(LPCWSTR subKey, std::vector<Name>& parts) {
  parts.clear();
  if (subKey == nullptr) return ERROR_SUCCESS;
  std::wstring_view path(subKey);
  if (path.size() > kMaxKeyPath) return ERROR_INVALID_PARAMETER;
  if (path.empty()) return ERROR_SUCCESS;
  if (path.front() == L'\\') return ERROR_BAD_PATHNAME;
  if (path.back() == L'\\') path.remove_suffix(1);
  while (true) {
    std::size_t cut = path.find(L'\\');
    std::wstring_view part = path.substr(0, cut);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyComponent) return ERROR_INVALID_PARAMETER;
    parts.push_back(MakeName(part));
    if (cut == std::wstring_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return ERROR_SUCCESS;
}

LSTATUS CheckValueName(LPCWSTR name, Name& result) {
  std::wstring_view view = name ? std::wstring_view(name) : std::wstring_view();
  if (view.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  result = MakeName(view);
  return ERROR_SUCCESS;
}

// --- queries inside a transaction -------------------------------------------

std::int64_t NowFileTime() {
  using namespace std::chrono;
  constexpr std::int64_t kEpochDifference = 116444736000000000LL;  // 1601 → 1970 in 100 ns
  auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return kEpochDifference + since1970 / 100;
}

FILETIME ToFileTime(std::int64_t v) {
  return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFF), static_cast<DWORD>(static_cast<std::uint64_t>(v) >> 32)};
}

bool KeyExists(Store& s, std::int64_t id) {
  if (id == kRootId) return true;
  Statement q(s, "SELECT 1 FROM keys WHERE id=?");
  return q.Bind(1, id).Step();
}

std::optional<std::int64_t> FindChild(Store& s, std::int64_t parent, const Name& name) {
  Statement q(s, "SELECT id FROM keys WHERE parent=? AND fold=?");
  if (q.Bind(1, parent).Bind(2, name.fold).Step()) return q.Int(0);
  return std::nullopt;
}

std::int64_t CreateChild(Store& s, std::int64_t parent, const Name& name) {
  Statement q(s, "INSERT INTO keys(parent, name, fold, written) VALUES(?,?,?,?)");
  q.Bind(1, parent).Bind(2, name.text).Bind(3, name.fold).Bind(4, NowFileTime()).Run();
  return sqlite3_last_insert_rowid(s.db);
}

void TouchKey(Store& s, std::int64_t id) {
  if (id == kRootId) return;
  Statement q(s, "UPDATE keys SET written=? WHERE id=?");
  q.Bind(1, NowFileTime()).Bind(2, id).Run();
}

std::optional<std::int64_t> WalkPath(Store& s, std::int64_t from, const std::vector<Name>& parts) {
  std::int64_t id = from;
  for (const Name& part : parts) {
    std::optional<std::int64_t> child = FindChild(s, id, part);
    if (!child) return std::nullopt;
    id = *child;
  }
  return id;
}

bool HasSubkeys(Store& s, std::int64_t id) {
  Statement q(s, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
  return q.Bind(1, id).Step();
}

// Deletes everything below id; with the key itself when keepKey is false.
void DeleteSubtree(Store& s, std::int64_t id, bool keepKey) {
  const char* kTree =
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
      "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) ";
  std::string values = std::string(kTree) + "DELETE FROM vals WHERE key IN (SELECT id FROM tree)";
  std::string keys = std::string(kTree) + "DELETE FROM keys WHERE id IN (SELECT id FROM tree)" +
                     (keepKey ? " AND id <> ?1" : "");
  Statement(s, values.c_str()).Bind(1, id).Run();
  Statement(s, keys.c_str()).Bind(1, id).Run();
}

// Runs one call's body in a transaction and turns store failures into codes.
// A call that still meets a busy store after SQLite's own busy timeout (a
// WAL recovery in another process, say) is run again until the same time has
// passed.
template <typename Body>
LSTATUS InTransaction(Store& store, bool writing, Body body) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  while (true) {
    try {
      Transaction txn(store, writing);
      LSTATUS status = body(txn.store());
      if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) txn.Commit();
      return status;
    } catch (const StoreError& e) {
      if (e.code != ERROR_BUSY || std::chrono::steady_clock::now() >= deadline) return e.code;
    } catch (const std::bad_alloc&) {
      return ERROR_OUTOFMEMORY;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Copies raw value bytes out under the RegQueryValueExW rules.
LSTATUS HandOutData(const std::string& bytes, LPBYTE data, LPDWORD dataSize) {
  if (dataSize == nullptr) return ERROR_SUCCESS;
  DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer under the enumeration rules.
LSTATUS HandOutName(const std::string& utf8, LPWSTR buffer, LPDWORD length) {
  std::wstring name = platform::Utf8ToWide(utf8);
  if (*length <= name.size()) {
    return ERROR_MORE_DATA;
  }
  std::wmemcpy(buffer, name.data(), name.size());
  buffer[name.size()] = L'\0';
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LSTATUS OpenOrCreate(HKEY hKey, LPCWSTR subKey, REGSAM sam, bool create, PHKEY result,
                     LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (create && subKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<Name> parts;
  if (LSTATUS st = SplitKeyPath(subKey, parts); st != ERROR_SUCCESS) return st;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  std::int64_t found = kRootId;
  bool createdNew = false;
  LSTATUS status = InTransaction(*ref.store, create, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    createdNew = false;
    std::int64_t id = ref.id;
    for (const Name& part : parts) {
      std::optional<std::int64_t> child = FindChild(s, id, part);
      if (!child) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        if (!createdNew && !Allows(ref, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        std::int64_t parent = id;
        child = CreateChild(s, parent, part);
        TouchKey(s, parent);
        createdNew = true;
      }
      id = *child;
    }
    found = id;
    return ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS) return status;
  *result = NewHandle(ref, found, sam);
  if (disposition) *disposition = createdNew ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

}  // namespace

// --- the API -----------------------------------------------------------------

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR subKey, DWORD, REGSAM samDesired, PHKEY result) {
  return OpenOrCreate(hKey, subKey, samDesired, false, result, nullptr);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition) {
  return OpenOrCreate(hKey, subKey, samDesired, true, result, disposition);
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (IsRoot(hKey)) return ERROR_SUCCESS;
  HandleSet& set = Handles();
  {
    std::lock_guard guard(set.lock);
    if (hKey == nullptr || set.open.erase(hKey) == 0) return ERROR_INVALID_HANDLE;
  }
  delete hKey;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  Name valueName;
  if (LSTATUS st = CheckValueName(name, valueName); st != ERROR_SUCCESS) return st;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  if (!Allows(ref, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return InTransaction(*ref.store, false, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    Statement q(s, "SELECT type, data FROM vals WHERE key=? AND fold=?");
    if (!q.Bind(1, ref.id).Bind(2, valueName.fold).Step()) return ERROR_FILE_NOT_FOUND;
    if (type) *type = static_cast<DWORD>(q.Int(0));
    return HandOutData(q.Blob(1), data, dataSize);
  });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR name, DWORD, DWORD type, const BYTE* data,
                       DWORD dataSize) {
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  Name valueName;
  if (LSTATUS st = CheckValueName(name, valueName); st != ERROR_SUCCESS) return st;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  if (!Allows(ref, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return InTransaction(*ref.store, true, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    Statement q(s,
                "INSERT INTO vals(key, name, fold, type, data) VALUES(?,?,?,?,?) "
                "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
    q.Bind(1, ref.id).Bind(2, valueName.text).Bind(3, valueName.fold).Bind(4, std::int64_t{type});
    q.BindBlob(5, data, dataSize).Run();
    TouchKey(s, ref.id);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR name) {
  Name valueName;
  if (LSTATUS st = CheckValueName(name, valueName); st != ERROR_SUCCESS) return st;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  if (!Allows(ref, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return InTransaction(*ref.store, true, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    Statement(s, "DELETE FROM vals WHERE key=? AND fold=?").Bind(1, ref.id).Bind(2, valueName.fold).Run();
    if (sqlite3_changes(s.db) == 0) return ERROR_FILE_NOT_FOUND;
    TouchKey(s, ref.id);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<Name> parts;
  if (LSTATUS st = SplitKeyPath(subKey, parts); st != ERROR_SUCCESS) return st;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  return InTransaction(*ref.store, true, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    std::optional<std::int64_t> id = WalkPath(s, ref.id, parts);
    if (!id) return ERROR_FILE_NOT_FOUND;
    if (*id == kRootId || HasSubkeys(s, *id)) return ERROR_ACCESS_DENIED;
    Statement parentQuery(s, "SELECT parent FROM keys WHERE id=?");
    std::int64_t parent = parentQuery.Bind(1, *id).Step() ? parentQuery.Int(0) : kRootId;
    DeleteSubtree(s, *id, false);
    TouchKey(s, parent);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR subKey, REGSAM, DWORD) {
  return RegDeleteKeyW(hKey, subKey);
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR subKey) {
  std::vector<Name> parts;
  if (LSTATUS st = SplitKeyPath(subKey, parts); st != ERROR_SUCCESS) return st;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  return InTransaction(*ref.store, true, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    std::optional<std::int64_t> id = WalkPath(s, ref.id, parts);
    if (!id) return ERROR_FILE_NOT_FOUND;
    bool keepKey = parts.empty() || *id == kRootId;
    DeleteSubtree(s, *id, keepKey);
    TouchKey(s, keepKey ? *id : ref.id);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPWSTR keyClass,
                      LPDWORD classLength, FILETIME* lastWriteTime) {
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  if (!Allows(ref, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  return InTransaction(*ref.store, false, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    Statement q(s, "SELECT name, written FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
    if (!q.Bind(1, ref.id).Bind(2, std::int64_t{index}).Step()) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS st = HandOutName(q.Text(0), name, nameLength); st != ERROR_SUCCESS) return st;
    if (keyClass && classLength && *classLength > 0) keyClass[0] = L'\0';
    if (classLength) *classLength = 0;
    if (lastWriteTime) *lastWriteTime = ToFileTime(q.Int(1));
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD index, LPWSTR valueName, LPDWORD valueNameLength, LPDWORD,
                      LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (valueName == nullptr || valueNameLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  if (!Allows(ref, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return InTransaction(*ref.store, false, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    Statement q(s, "SELECT name, type, data FROM vals WHERE key=? ORDER BY id LIMIT 1 OFFSET ?");
    if (!q.Bind(1, ref.id).Bind(2, std::int64_t{index}).Step()) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS st = HandOutName(q.Text(0), valueName, valueNameLength); st != ERROR_SUCCESS) return st;
    if (type) *type = static_cast<DWORD>(q.Int(1));
    return HandOutData(q.Blob(2), data, dataSize);
  });
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR keyClass, LPDWORD classLength, LPDWORD, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                         LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                         FILETIME* lastWriteTime) {
  KeyRef ref;
  if (LSTATUS st = ResolveKey(hKey, ref); st != ERROR_SUCCESS) return st;
  if (!Allows(ref, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return InTransaction(*ref.store, false, [&](Store& s) -> LSTATUS {
    if (!KeyExists(s, ref.id)) return ERROR_KEY_DELETED;
    DWORD keyCount = 0, keyMax = 0, valueCount = 0, nameMax = 0, dataMax = 0;
    Statement keys(s, "SELECT name FROM keys WHERE parent=?");
    keys.Bind(1, ref.id);
    while (keys.Step()) {
      ++keyCount;
      keyMax = std::max<DWORD>(keyMax, static_cast<DWORD>(platform::Utf8ToWide(keys.Text(0)).size()));
    }
    Statement vals(s, "SELECT name, length(data) FROM vals WHERE key=?");
    vals.Bind(1, ref.id);
    while (vals.Step()) {
      ++valueCount;
      nameMax = std::max<DWORD>(nameMax, static_cast<DWORD>(platform::Utf8ToWide(vals.Text(0)).size()));
      dataMax = std::max<DWORD>(dataMax, static_cast<DWORD>(vals.Int(1)));
    }
    std::int64_t written = NowFileTime();
    if (ref.id != kRootId) {
      Statement w(s, "SELECT written FROM keys WHERE id=?");
      if (w.Bind(1, ref.id).Step()) written = w.Int(0);
    }
    if (keyClass && classLength && *classLength > 0) keyClass[0] = L'\0';
    if (classLength) *classLength = 0;
    if (subKeys) *subKeys = keyCount;
    if (maxSubKeyLength) *maxSubKeyLength = keyMax;
    if (maxClassLength) *maxClassLength = 0;
    if (values) *values = valueCount;
    if (maxValueNameLength) *maxValueNameLength = nameMax;
    if (maxValueLength) *maxValueLength = dataMax;
    if (securityDescriptor) *securityDescriptor = 0;
    if (lastWriteTime) *lastWriteTime = ToFileTime(written);
    return ERROR_SUCCESS;
  });
}

namespace platform {

std::string RegistryStorePath(HKEY root) { return StorePathFor(root); }

std::string PrivateUserFolder() {
  const std::string folder = std::filesystem::path(StorePathFor(HKEY_CURRENT_USER)).parent_path().string();
  CreatePrivateFolder(folder);
  return folder;
}

}  // namespace platform
