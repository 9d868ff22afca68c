#include "service/core/claim_records.h"

#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/utf16.h"
#include "service/core/conflict_names.h"
#include "service/core/held_claim.h"
#include "service/core/path_names.h"

namespace {

const wchar_t* const kRecordSuffix = L".claim";
const wchar_t* const kWritingSuffix = L".new";
// The record: this tag, the device and index numbers, then the claimed
// name in UTF-8 (a name that is not, the layer never opens). Small, so that
// writing it costs no more than the rename it precedes.
constexpr char kTag[4] = {'Q', 'C', 'L', '1'};
constexpr DWORD kHeaderSize = sizeof kTag + 2 * sizeof(ULONGLONG);
constexpr DWORD kLargestRecord = kHeaderSize + 4 * 8192;

struct RecordContent {
  ULONGLONG device = 0;
  ULONGLONG index = 0;
  CString claimed;
};

std::string Encode(const RecordContent& content) {
  std::string bytes(kTag, sizeof kTag);
  bytes.append(reinterpret_cast<const char*>(&content.device), sizeof content.device);
  bytes.append(reinterpret_cast<const char*>(&content.index), sizeof content.index);
  bytes += platform::WideToUtf8(content.claimed.str());
  return bytes;
}

bool Decode(const std::string& bytes, RecordContent& content) {
  if (bytes.size() <= kHeaderSize || bytes.compare(0, sizeof kTag, kTag, sizeof kTag) != 0) return false;
  std::memcpy(&content.device, bytes.data() + sizeof kTag, sizeof content.device);
  std::memcpy(&content.index, bytes.data() + sizeof kTag + sizeof content.device, sizeof content.index);
  const std::string_view name(bytes.data() + kHeaderSize, bytes.size() - kHeaderSize);
  if (!platform::IsWellFormedUtf8(name) || name.find('\0') != std::string_view::npos) return false;
  content.claimed = CString(platform::Utf8ToWide(name).c_str());
  return true;
}

bool WriteRecord(const CString& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size();
  return CloseHandle(file) && whole;
}

bool ReadRecord(const CString& path, RecordContent& content) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes(kLargestRecord + 1, '\0');
  DWORD total = 0;
  for (DWORD read = 0; total < bytes.size(); total += read) {
    if (!ReadFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size()) - total, &read, nullptr) || read == 0)
      break;
  }
  CloseHandle(file);
  bytes.resize(total);
  return total <= kLargestRecord && Decode(bytes, content);
}

// The bare names in folder that end in suffix (regular files only).
std::vector<CString> NamesEndingIn(const CString& folder, const CString& suffix) {
  std::vector<CString> names;
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(JoinPath(folder, L"*" + suffix), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const CString name(entry.cFileName);
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_DEVICE)) == 0 &&
        name.GetLength() > suffix.GetLength() && name.Right(suffix.GetLength()) == suffix)
      names.push_back(name);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

// Gives a claimed file found by its record its own name back, or a
// conflict-free one when that is taken. Nothing when the record only goes
// (the claim ended); the record is deleted unless the rename failed.
bool GiveBack(const CString& record, const RecordContent& content, TakenBackClaim& taken) {
  const CString& claimed = content.claimed;
  HANDLE claim = platform::ClaimFile(claimed);
  if (claim == INVALID_HANDLE_VALUE) {
    // The record goes only when no claimed file of ours is there any more:
    // gone, or something else (a link, a folder, a device) in its place.
    // Held (somebody works on the file under that name) or a passing failure
    // (no descriptors left, an I/O error): a later run sees it again.
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_CANT_RESOLVE_FILENAME ||
        error == ERROR_ACCESS_DENIED)
      DeleteFileW(record);
    return false;
  }
  const HeldClaim held(claim);
  ULONGLONG device = 0, index = 0;
  if (!platform::GetClaimedFileId(claim, &device, &index) || device != content.device || index != content.index) {
    DeleteFileW(record);  // another file took the claimed name: not ours
    return false;
  }
  const CString folder = FolderOf(claimed);
  taken.claimed = claimed;
  taken.original = claimed.Left(claimed.GetLength() - CString(kClaimedExtension).GetLength() - 1);
  taken.restored = taken.original;
  const CString own = BareName(taken.original);
  if (MoveFileW(claimed, taken.restored)) {
    DeleteFileW(record);
    return true;
  }
  DWORD error = GetLastError();
  for (int attempt = 0; IsNameTakenError(error) && attempt < kConflictNameAttempts; ++attempt) {
    const CString other = JoinPath(folder, MakeConflictName(own));
    if (MoveFileW(claimed, other)) {
      taken.restored = other;
      taken.renamed = true;
      DeleteFileW(record);
      return true;
    }
    error = GetLastError();
  }
  taken.error = error;
  return true;
}

// Writes the record as ".new", claims it and renames it into place; its
// claim, with path set, or INVALID_HANDLE_VALUE.
HANDLE PlaceRecord(const CString& folder, const RecordContent& content, CString& path) {
  // The process number tells instances apart, the random bits the claims of
  // one process.
  std::random_device source;
  CString base;
  base.Format(L"%08X%08X%08X", static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(source()),
              static_cast<unsigned>(source()));
  const CString writing = JoinPath(folder, base + kWritingSuffix);
  path = JoinPath(folder, base + kRecordSuffix);
  if (!WriteRecord(writing, Encode(content))) {
    DeleteFileW(writing);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE lock = platform::ClaimFile(writing);
  if (lock == INVALID_HANDLE_VALUE || !MoveFileW(writing, path)) {
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    DeleteFileW(writing);
    return INVALID_HANDLE_VALUE;
  }
  return lock;
}

}  // namespace

CString ClaimRecordFolder() {
  wchar_t common[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common) != S_OK) return CString();
  // Made once per state root (tests run with roots of their own).
  static CString madeFor;
  static CString made;
  if (!made.IsEmpty() && madeFor == CString(common) && PathFileExistsW(made)) return made;
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common) != S_OK)
    return CString();
  const CString levels[] = {CString(common) + L"/TORVAK", CString(common) + L"/TORVAK/qelmservice",
                            CString(common) + L"/TORVAK/qelmservice/Claims"};
  for (const CString& level : levels) {
    if (!CreateDirectoryW(level, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return CString();
  }
  madeFor = common;
  made = levels[2];
  return made;
}

ClaimRecord::ClaimRecord(HANDLE fileClaim, const CString& claimed) {
  RecordContent content;
  content.claimed = claimed;
  if (!platform::GetClaimedFileId(fileClaim, &content.device, &content.index)) return;
  const CString folder = ClaimRecordFolder();
  if (folder.IsEmpty()) return;
  // A run of the service that takes back abandoned claims deletes every
  // ".new" record it can claim, so another instance may remove ours between
  // its writing and its claim: the record is then written again under
  // another name.
  for (int attempt = 0; attempt < 3 && lock_ == INVALID_HANDLE_VALUE; ++attempt)
    lock_ = PlaceRecord(folder, content, path_);
  if (lock_ == INVALID_HANDLE_VALUE) {
    path_.Empty();
    return;
  }
  claimed_ = claimed;
  device_ = content.device;
  index_ = content.index;
}


ClaimRecord::~ClaimRecord() {
  if (path_.IsEmpty()) return;
  ULONGLONG device = 0, index = 0;
  const bool stays = platform::GetFileIdAt(claimed_, &device, &index) && device == device_ && index == index_;
  if (!stays) DeleteFileW(path_);
  CloseHandle(lock_);
}

std::vector<TakenBackClaim> TakeBackAbandonedClaims(const CString& folder) {
  std::vector<TakenBackClaim> takenBack;
  const CString records = ClaimRecordFolder();
  if (records.IsEmpty() || folder.IsEmpty()) return takenBack;
  // Records a killed process was still writing: never renamed into place,
  // so no claim followed them.
  for (const CString& name : NamesEndingIn(records, kWritingSuffix)) {
    HANDLE lock = platform::ClaimFile(JoinPath(records, name));
    if (lock == INVALID_HANDLE_VALUE) continue;
    DeleteFileW(JoinPath(records, name));
    CloseHandle(lock);
  }
  for (const CString& name : NamesEndingIn(records, kRecordSuffix)) {
    const CString record = JoinPath(records, name);
    HANDLE lock = platform::ClaimFile(record);
    if (lock == INVALID_HANDLE_VALUE) continue;  // its process is at work
    const HeldClaim held(lock);
    RecordContent content;
    if (!ReadRecord(record, content)) {
      DeleteFileW(record);
      continue;
    }
    if (JoinPath(folder, BareName(content.claimed)) != content.claimed) continue;  // another folder's
    TakenBackClaim taken;
    if (GiveBack(record, content, taken)) takenBack.push_back(taken);
  }
  return takenBack;
}
