#include "service/core/claim_records.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/kill_points.h"
#include "platform/sync.h"
#include "platform/utf16.h"
#include "service/core/conflict_names.h"
#include "service/core/held_claim.h"
#include "service/core/path_names.h"
#include "service/core/staged_outputs.h"

namespace {

const wchar_t* const kRecordSuffix = L".claim";
const wchar_t* const kWritingSuffix = L".new";
// The record: this tag, the claimed file's identity, whether it was held
// under its own name, the claimed name in UTF-8 (a name that is not, the
// layer never opens), then the notes of what is published for it, each
// checked on its own so that a note cut short (a kill or a power loss while
// it was written) counts as never written. A note names its file by the
// path, or (most notes: an archive's entries share a few folders) by the
// bare name in the folder of the last folder entry before it. Records of the
// earlier layout (device and index numbers, then the name) are still read.
constexpr char kTag[4] = {'Q', 'C', 'L', '2'};
constexpr char kFirstTag[4] = {'Q', 'C', 'L', '1'};
constexpr DWORD kFirstHeaderSize = sizeof kTag + 2 * sizeof(ULONGLONG);
// A record of a few million notes at most: anything longer was never ours.
constexpr ULONGLONG kLargestRecord = 1ull << 30;
constexpr char kBeginSet = 'S';
constexpr char kNote = 'N';
constexpr char kFolder = 'F';
constexpr char kNoteInFolder = 'R';
constexpr char kPublished = 'P';
constexpr char kMovedLast = 'M';
// A note, by its path, of an input that goes to the output unchanged.
constexpr char kInputNote = 'I';

struct Note {
  platform::FileIdentity identity;
  CString path;
  bool input = false;  // the user's own file, moved: never withdrawn
};

// The notes of the current set as they are read: a later note of the same
// file, or of the same final name, takes the place of an earlier one (found
// by hash: a set may hold an archive's hundreds of thousands of entries).
class NoteSet {
 public:
  void Add(Note note) {
    const std::wstring path(note.path.GetString());
    if (const auto it = byPath_.find(path); it != byPath_.end()) Drop(it->second);
    const std::pair<ULONGLONG, ULONGLONG> file{note.identity.device, note.identity.index};
    auto [first, last] = byFile_.equal_range(file);
    for (auto it = first; it != last; ++it) {
      if (notes_[it->second].identity.SameFile(note.identity)) {
        Drop(it->second);
        break;
      }
    }
    const std::size_t at = notes_.size();
    byPath_[path] = at;
    byFile_.emplace(file, at);
    notes_.push_back(std::move(note));
    live_.push_back(true);
  }
  void Clear() { *this = NoteSet(); }
  // The notes still in force, in the order written.
  std::vector<Note> Take() {
    std::vector<Note> kept;
    for (std::size_t i = 0; i < notes_.size(); ++i) {
      if (live_[i]) kept.push_back(std::move(notes_[i]));
    }
    Clear();
    return kept;
  }

 private:
  void Drop(std::size_t at) {
    if (!live_[at]) return;
    live_[at] = false;
    byPath_.erase(std::wstring(notes_[at].path.GetString()));
    auto [first, last] = byFile_.equal_range({notes_[at].identity.device, notes_[at].identity.index});
    for (auto it = first; it != last; ++it) {
      if (it->second == at) {
        byFile_.erase(it);
        break;
      }
    }
  }

  std::vector<Note> notes_;
  std::vector<bool> live_;
  std::unordered_map<std::wstring, std::size_t> byPath_;
  std::multimap<std::pair<ULONGLONG, ULONGLONG>, std::size_t> byFile_;
};

struct RecordContent {
  platform::FileIdentity identity;
  bool firstLayout = false;  // device and index numbers only
  bool held = false;
  CString claimed;
  std::vector<Note> notes;  // the current set, in the order written
  bool published = false;   // every note of the set was published
  bool movedLast = false;   // the claimed file goes last, to the name of its own note
};

template <typename T>
void Put(std::string& bytes, T value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads a T at at, moving on; false past the end.
template <typename T>
bool Take(std::string_view bytes, std::size_t& at, T& value) {
  if (bytes.size() - at < sizeof value || at > bytes.size()) return false;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  at += sizeof value;
  return true;
}

void PutIdentity(std::string& bytes, const platform::FileIdentity& identity) {
  Put(bytes, identity.device);
  Put(bytes, identity.index);
  Put(bytes, identity.birth);
  Put(bytes, identity.tag);
  Put(bytes, identity.size);
}

bool TakeIdentity(std::string_view bytes, std::size_t& at, platform::FileIdentity& identity) {
  return Take(bytes, at, identity.device) && Take(bytes, at, identity.index) && Take(bytes, at, identity.birth) &&
         Take(bytes, at, identity.tag) && Take(bytes, at, identity.size);
}

bool TakeName(std::string_view bytes, CString& name) {
  if (bytes.empty() || !platform::IsWellFormedUtf8(bytes) || bytes.find('\0') != std::string_view::npos) return false;
  name = CString(platform::Utf8ToWide(bytes).c_str());
  return true;
}

std::uint32_t Checksum(std::string_view bytes) {  // FNV-1a
  std::uint32_t hash = 2166136261u;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// One checked entry: its length, the payload, the payload's checksum.
std::string Entry(const std::string& payload) {
  std::string bytes;
  Put(bytes, static_cast<std::uint32_t>(payload.size()));
  bytes += payload;
  Put(bytes, Checksum(payload));
  return bytes;
}

std::string Encode(const RecordContent& content) {
  std::string bytes(kTag, sizeof kTag);
  PutIdentity(bytes, content.identity);
  const std::string name = platform::WideToUtf8(content.claimed.str());
  std::string header;
  header += content.held ? '1' : '0';
  header += name;
  return bytes + Entry(header);
}

std::string EncodeNote(const platform::FileIdentity& identity, const CString& path) {
  std::string payload(1, kNote);
  PutIdentity(payload, identity);
  payload += platform::WideToUtf8(path.str());
  return Entry(payload);
}

std::string EncodeInputNote(const platform::FileIdentity& identity, const CString& path) {
  std::string payload(1, kInputNote);
  PutIdentity(payload, identity);
  payload += platform::WideToUtf8(path.str());
  return Entry(payload);
}

std::string EncodeFolder(const CString& folder) {
  return Entry(std::string(1, kFolder) + platform::WideToUtf8(folder.str()));
}

// A note of a file in the folder of the last folder entry, by its bare name.
std::string EncodeNoteInFolder(const platform::FileIdentity& identity, const CString& name) {
  std::string payload(1, kNoteInFolder);
  PutIdentity(payload, identity);
  payload += platform::WideToUtf8(name.str());
  return Entry(payload);
}

// The next checked entry's payload; false at the end or at one cut short.
bool NextEntry(std::string_view bytes, std::size_t& at, std::string_view& payload) {
  std::uint32_t length = 0, check = 0;
  if (!Take(bytes, at, length) || bytes.size() - at < length) return false;
  payload = bytes.substr(at, length);
  at += length;
  return Take(bytes, at, check) && check == Checksum(payload);
}

bool DecodeFirstLayout(const std::string& bytes, RecordContent& content) {
  if (bytes.size() <= kFirstHeaderSize) return false;
  std::size_t at = sizeof kFirstTag;
  Take(std::string_view(bytes), at, content.identity.device);
  Take(std::string_view(bytes), at, content.identity.index);
  content.firstLayout = true;
  return TakeName(std::string_view(bytes).substr(kFirstHeaderSize), content.claimed);
}

bool Decode(const std::string& bytes, RecordContent& content) {
  if (bytes.compare(0, sizeof kFirstTag, kFirstTag, sizeof kFirstTag) == 0) return DecodeFirstLayout(bytes, content);
  if (bytes.compare(0, sizeof kTag, kTag, sizeof kTag) != 0) return false;
  const std::string_view all(bytes);
  std::size_t at = sizeof kTag;
  std::string_view header;
  if (!TakeIdentity(all, at, content.identity) || !NextEntry(all, at, header) || header.empty() ||
      !TakeName(header.substr(1), content.claimed))
    return false;
  content.held = header[0] == '1';
  NoteSet notes;
  CString folder;  // of the last folder entry in the set
  for (std::string_view payload; NextEntry(all, at, payload);) {
    if (payload.empty()) break;
    if (payload[0] == kBeginSet) {
      notes.Clear();
      folder.Empty();
      content.published = false;
      content.movedLast = false;
      continue;
    }
    if (payload[0] == kMovedLast) {
      content.movedLast = true;
      continue;
    }
    if (payload[0] == kPublished) {
      content.published = true;
      continue;
    }
    if (payload[0] == kFolder) {
      if (!TakeName(payload.substr(1), folder)) break;
      continue;
    }
    std::size_t field = 1;
    Note note;
    const bool inFolder = payload[0] == kNoteInFolder;
    note.input = payload[0] == kInputNote;
    if ((payload[0] != kNote && !inFolder && !note.input) || (inFolder && folder.IsEmpty()) ||
        !TakeIdentity(payload, field, note.identity) || !TakeName(payload.substr(field), note.path))
      break;
    if (inFolder) note.path = JoinPath(folder, note.path);
    notes.Add(std::move(note));
  }
  content.notes = notes.Take();
  return true;
}

bool ReadRecord(const CString& path, RecordContent& content) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || static_cast<ULONGLONG>(size.QuadPart) > kLargestRecord) {
    CloseHandle(file);
    return false;
  }
  // Read to its end, however it stands now (a record is only appended to).
  std::string bytes(static_cast<std::size_t>(size.QuadPart) + 1, '\0');
  std::size_t total = 0;
  for (DWORD read = 0; total < bytes.size(); total += read) {
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - total, 1u << 30));
    if (!ReadFile(file, bytes.data() + total, wanted, &read, nullptr) || read == 0) break;
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

bool SameClaimedFile(const RecordContent& content, const platform::FileIdentity& now) {
  if (content.firstLayout) return now.device == content.identity.device && now.index == content.identity.index;
  return now.SameFile(content.identity);
}

// True when the noted file lies whole under its name: the same file, the
// same size.
bool WholeAt(const Note& note) {
  platform::FileIdentity now;
  return platform::GetFileIdentityAt(note.path, &now) && now.SameFile(note.identity) && now.size == note.identity.size;
}

// What of the record's notes lies whole under its name.
std::vector<CString> PublishedWhole(const RecordContent& content) {
  std::vector<CString> whole;
  for (const Note& note : content.notes) {
    if (WholeAt(note)) whole.push_back(note.path);
  }
  return whole;
}

// The note of the claimed file itself (now: as it lies under its claimed
// name) when its set moves it last and only its own move is left: every
// other input of the set lies moved whole, and either one of them does (the
// moves began once everything else was published: what is missing of that
// now was taken away from the output since) or, with no other input, every
// other note does. Null otherwise.
const Note* OwnMoveLeft(const RecordContent& content, const platform::FileIdentity& now) {
  if (!content.movedLast || content.held) return nullptr;
  const Note* own = nullptr;
  bool inputMoved = false;
  bool outputMissing = false;
  for (const Note& note : content.notes) {
    if (own == nullptr && note.identity.SameFile(now) && note.identity.size == now.size) {
      own = &note;
      continue;
    }
    const bool whole = WholeAt(note);
    if (note.input && !whole) return nullptr;  // the moves had not begun
    inputMoved = inputMoved || note.input;
    outputMissing = outputMissing || !whole;
  }
  if (own == nullptr || WholeAt(*own) || (outputMissing && !inputMoved)) return nullptr;
  return own;
}

// Ends a file whose set is published but for its own move: the claimed file
// is given the name its note gives it (never replacing). False with the
// error in taken when it cannot.
bool FinishMove(const RecordContent& content, const Note& own, TakenBackClaim& taken) {
  taken.finished = true;
  taken.movedTo = own.path;
  for (const Note& note : content.notes) {
    if (&note != &own && WholeAt(note)) taken.published.push_back(note.path);
  }
  if (MoveFileW(content.claimed, own.path)) return true;
  taken.error = GetLastError();
  return false;
}

// Ends a file whose record's notes are all published whole: the claimed
// file goes (read-only or not, as a rename would take it) in place of being
// done again. False with the error in taken when it cannot.
bool Finish(const RecordContent& content, const std::vector<CString>& whole, TakenBackClaim& taken) {
  taken.finished = true;
  taken.published = whole;
  if (DeleteInputFile(content.claimed)) return true;
  taken.error = GetLastError();
  return false;
}

// Finishes a claimed file found by its record when everything the record
// names was published whole; otherwise withdraws what was published of it
// and gives it its own name back, or a conflict-free one when that is
// taken. Nothing when the record only goes (the claim ended); the record is
// deleted unless the deletion or the rename failed.
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
  platform::FileIdentity now;
  if (!platform::GetClaimedFileIdentity(claim, &now) || !SameClaimedFile(content, now)) {
    DeleteFileW(record);  // another file took the claimed name: not ours
    return false;
  }
  const CString folder = FolderOf(claimed);
  taken.claimed = claimed;
  taken.held = content.held;
  taken.original = content.held ? claimed : claimed.Left(claimed.GetLength() - CString(kClaimedExtension).GetLength() - 1);
  taken.restored = taken.original;
  if (content.published) {
    // Published and recorded as such: done, even when its outputs have
    // been taken away since.
    std::vector<CString> published;
    for (const Note& note : content.notes) published.push_back(note.path);
    if (Finish(content, published, taken)) DeleteFileW(record);
    return true;
  }
  if (!content.notes.empty()) {
    const std::vector<CString> whole = PublishedWhole(content);
    if (whole.size() == content.notes.size()) {
      if (Finish(content, whole, taken)) DeleteFileW(record);
      return true;
    }
    if (const Note* own = OwnMoveLeft(content, now)) {
      if (FinishMove(content, *own, taken)) DeleteFileW(record);
      return true;
    }
    // Published in part (a kill between the outputs of one file): what is
    // there goes, and the file is done again as a whole. An input moved to
    // the output stays: it is the user's own file, not a copy.
    for (const Note& note : content.notes) {
      if (!note.input && WholeAt(note) && DeleteInputFile(note.path)) taken.withdrawn.push_back(note.path);
    }
  }
  if (content.held) {
    DeleteFileW(record);  // the file has its own name
    return !taken.withdrawn.empty();
  }
  // The tag goes only once the file has its name back: a file that keeps
  // its claimed name keeps what tells it for ours at the next run.
  const bool tagged = content.identity.tag != 0;
  const CString own = BareName(taken.original);
  if (MoveFileW(claimed, taken.restored)) {
    if (tagged) platform::RemoveFileTag(taken.restored);
    DeleteFileW(record);
    return true;
  }
  DWORD error = GetLastError();
  for (int attempt = 0; IsNameTakenError(error) && attempt < kConflictNameAttempts; ++attempt) {
    const CString other = JoinPath(folder, MakeConflictName(own));
    if (MoveFileW(claimed, other)) {
      if (tagged) platform::RemoveFileTag(other);
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

// Creates the record under its own name, claims it at once and writes it,
// on disk (its data, and with a new file its name) before the claim's
// rename: one sync, which is most of what a claim costs. Its claim, with
// path set, or INVALID_HANDLE_VALUE. Another instance's take-back that
// claims it first, empty, deletes it: the claim then fails and the caller
// writes it again under another name.
HANDLE PlaceRecord(const CString& folder, const RecordContent& content, CString& path) {
  // The process number tells instances apart, the random bits the claims of
  // one process.
  std::random_device source;
  CString base;
  base.Format(L"%08X%08X%08X", static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(source()),
              static_cast<unsigned>(source()));
  path = JoinPath(folder, base + kRecordSuffix);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE lock = platform::ClaimFile(path);
  if (lock == INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  const std::string bytes = Encode(content);
  DWORD written = 0;
  const bool whole = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size() && FlushFileBuffers(file);
  if (!CloseHandle(file) || !whole) {
    DeleteFileW(path);
    CloseHandle(lock);
    return INVALID_HANDLE_VALUE;
  }
  return lock;
}

}  // namespace

CString ClaimRecordFolder() {
  wchar_t common[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common) != S_OK) return CString();
  // Once the folder is there, a claim costs one look at it and nothing is
  // remembered between calls (the state root is read each time: tests run
  // with roots of their own).
  const CString claims = CString(common) + L"/TORVAK/qelmservice/Claims";
  if (PathFileExistsW(claims)) return claims;
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common) != S_OK)
    return CString();
  const CString levels[] = {CString(common) + L"/TORVAK", CString(common) + L"/TORVAK/qelmservice",
                            CString(common) + L"/TORVAK/qelmservice/Claims"};
  for (const CString& level : levels) {
    if (!CreateDirectoryW(level, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return CString();
  }
  return levels[2];
}

ClaimRecord::ClaimRecord(HANDLE fileClaim, const CString& claimed, bool held) : held_(held) {
  RecordContent content;
  content.claimed = claimed;
  content.held = held;
  if (!platform::GetClaimedFileIdentity(fileClaim, &content.identity)) return;
  if (content.identity.birth == 0 && content.identity.tag == 0 && !held) {
    // No birth time tells this file from a later one that is given its
    // index number: a tag of its own does, where it can be written. (A held
    // file is never renamed back, and goes on to the output as it came.)
    std::random_device source;
    const ULONGLONG tag = (static_cast<ULONGLONG>(source()) << 32 | source()) | 1;
    if (platform::TagClaimedFile(fileClaim, tag)) content.identity.tag = tag;
  }
  const CString folder = ClaimRecordFolder();
  if (folder.IsEmpty()) return;
  // Another instance's take-back may delete ours between its creation and
  // its claim: the record is then written again under another name.
  for (int attempt = 0; attempt < 3 && lock_ == INVALID_HANDLE_VALUE; ++attempt)
    lock_ = PlaceRecord(folder, content, path_);
  if (lock_ == INVALID_HANDLE_VALUE) {
    path_.Empty();
    return;
  }
  claimed_ = claimed;
  identity_ = content.identity;
}

ClaimRecord::~ClaimRecord() {
  if (path_.IsEmpty()) return;
  platform::FileIdentity now;
  const bool stays = !held_ && platform::GetFileIdentityAt(claimed_, &now) && now.SameFile(identity_);
  if (!stays) DeleteFileW(path_);
  CloseHandle(lock_);
}

void ClaimRecord::BeginPublishing() { beginPending_ = !path_.IsEmpty(); }

bool ClaimRecord::NotePublishing(const std::vector<PublishedFile>& files) {
  if (path_.IsEmpty()) return true;
  std::string bytes = beginPending_ ? Entry(std::string(1, kBeginSet)) : std::string();
  // A new set starts without a folder.
  CString folder = beginPending_ ? CString() : noteFolder_;
  for (const PublishedFile& published : files) {
    platform::FileIdentity identity = published.identity;
    if (!published.identified && !platform::GetFileIdentityAt(published.file, &identity)) continue;
    const CString finalFolder = FolderOf(published.final);
    if (published.input) {  // by its path, as the few inputs of a set are
      bytes += EncodeInputNote(identity, published.final);
      continue;
    }
    if (finalFolder.IsEmpty()) {  // in the root folder: by its path
      bytes += EncodeNote(identity, published.final);
      continue;
    }
    if (finalFolder != folder) {
      folder = finalFolder;
      bytes += EncodeFolder(folder);
    }
    bytes += EncodeNoteInFolder(identity, BareName(published.final));
  }
  if (bytes.empty()) return true;
  if (!Append(bytes)) return false;
  beginPending_ = false;
  noteFolder_ = folder;
  return true;
}

void ClaimRecord::NotePublished() {
  if (!path_.IsEmpty()) Append(Entry(std::string(1, kPublished)));
}

bool ClaimRecord::NoteMovedLast() {
  if (path_.IsEmpty()) return true;
  if (const DWORD refused = platform::FailPoint("moved-last-note")) {
    SetLastError(refused);
    return false;
  }
  std::string bytes = beginPending_ ? Entry(std::string(1, kBeginSet)) : std::string();
  bytes += Entry(std::string(1, kMovedLast));
  if (!Append(bytes)) return false;
  if (!beginPending_) return true;
  beginPending_ = false;
  noteFolder_.Empty();  // a new set starts without a folder
  return true;
}

bool ClaimRecord::Append(const std::string& bytes) {
  HANDLE file = CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  LARGE_INTEGER none{}, end{};
  // Written before the renames it announces, which a kill cannot undo; it
  // goes to disk with the batch's sync before the inputs are deleted (a
  // sync of its own per file would double what a claim costs). A power loss
  // before that may leave outputs the record does not name: their file is
  // then done again, never lost.
  const bool positioned = SetFilePointerEx(file, none, &end, FILE_END);
  bool whole = positioned && WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  DWORD error = whole ? 0 : GetLastError();
  if (whole && written != bytes.size()) {
    whole = false;
    error = ERROR_DISK_FULL;  // a short write: the disk took no more
  }
  // A note written in part goes again, so that the notes written after it
  // are read (the reading stops at an entry cut short).
  if (!whole && positioned) {
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
  }
  if (!CloseHandle(file) && whole) return false;
  if (!whole) SetLastError(error != 0 ? error : ERROR_WRITE_FAULT);
  return whole;
}

std::vector<TakenBackClaim> TakeBackAbandonedClaims(const CString& folder) {
  std::vector<TakenBackClaim> takenBack;
  const CString records = ClaimRecordFolder();
  if (records.IsEmpty() || folder.IsEmpty()) return takenBack;
  // Records that an earlier version of the service, killed, was still
  // writing under a name of their own: no claim followed them.
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
    // A record of a huge set (an archive of millions of entries) may not
    // fit in memory: it stays as it is, for a run with more to spare, and
    // the service goes on with the other records.
    try {
      RecordContent content;
      if (!ReadRecord(record, content)) {
        DeleteFileW(record);
        continue;
      }
      if (JoinPath(folder, BareName(content.claimed)) != content.claimed) continue;  // another folder's
      TakenBackClaim taken;
      if (GiveBack(record, content, taken)) takenBack.push_back(std::move(taken));
    } catch (const std::bad_alloc&) {
      continue;
    }
  }
  return takenBack;
}
