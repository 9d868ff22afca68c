#include "service/core/staged_outputs.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/kill_points.h"
#include "platform/sync.h"
#include "service/core/conflict_names.h"
#include "service/core/path_names.h"

namespace {

const wchar_t* const kStagedPrefix = L".~";
const wchar_t* const kStagedSuffix = L".part";
const wchar_t* const kReservationSuffix = L".lock";
constexpr int kStagedHexDigits = 24;  // process number and 64 random bits
// The library's work file beside an output it writes: the output's name,
// ".~" and 16 lower-case hex digits.
const wchar_t* const kWorkFileMark = L".~";
constexpr int kWorkFileHexDigits = 16;
// At most this much of the final name goes into the temporary one, so that
// the temporary name stays within the file system's limit.
constexpr int kShownNameLength = 48;
constexpr std::uint16_t kNoPermissions = 0xFFFF;
// The outputs named to a publishing note in one call.
constexpr std::size_t kNotedAtOnce = 4096;

bool IsHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }
bool IsLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

bool EndsWith(const CString& name, const CString& suffix) {
  return name.GetLength() >= suffix.GetLength() && name.Right(suffix.GetLength()) == suffix;
}

// The name without ".part" or ".lock" when it is one of this module's; a
// work file the library writes beside a temporary file is this module's too.
bool StagedBase(const CString& name, CString& base) {
  CString owner;
  if (LibraryWorkFileOwner(name, owner)) return EndsWith(owner, kStagedSuffix) && StagedBase(owner, base);
  const CString prefix(kStagedPrefix);
  const CString suffix = EndsWith(name, kStagedSuffix) ? CString(kStagedSuffix) : CString(kReservationSuffix);
  const int length = name.GetLength();
  if (length < prefix.GetLength() + 1 + kStagedHexDigits + suffix.GetLength()) return false;
  if (name.Left(prefix.GetLength()) != prefix || !EndsWith(name, suffix)) return false;
  const int hexStart = length - suffix.GetLength() - kStagedHexDigits;
  if (name[hexStart - 1] != L'.') return false;
  for (int i = hexStart; i < hexStart + kStagedHexDigits; ++i) {
    if (!IsHexDigit(name[i])) return false;
  }
  base = name.Left(length - suffix.GetLength());
  return true;
}

// The reservation shared by the hold a temporary file's base (its path
// without ".part") belongs to: the same folder, ".~.", the base's process and
// group digits and the number 0.
CString HoldReservationOf(const CString& base) {
  const CString digits = base.Right(kStagedHexDigits);
  return FolderOf(base) + L"/" + kStagedPrefix + L"." + digits.Left(16) + L"00000000" + kReservationSuffix;
}

// Gives a temporary file its final name, never replacing: one this process
// alone wrote by a plain rename, once the file under its temporary name is
// seen to be the one it closed (identity, when known: in a folder others
// write, ours may have been unlinked and another put in its place), others
// (and any across file systems) as MoveFileW moves them, which refuses a
// file another program still writes.
template <typename Output>
BOOL Rename(const Output& output, const CString& temporary, const CString& target,
            const platform::FileIdentity* identity) {
  if (output.privateFile) {
    if (platform::RenamePrivateFile(temporary, target, identity)) return TRUE;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE) return FALSE;
  }
  return MoveFileW(temporary, target);
}

// Deletes a file of this module, read-only or not (what was written into it
// may have made it read-only: an unpacked entry keeps its attributes).
bool DeleteOwnFile(const CString& path) {
  if (DeleteFileW(path)) return true;
  return SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL) && DeleteFileW(path);
}

}  // namespace

bool LibraryWorkFileOwner(const CString& name, CString& owner) {
  const int markLength = CString(kWorkFileMark).GetLength();
  const int start = name.GetLength() - kWorkFileHexDigits - markLength;
  if (start <= 0 || name.Mid(start, markLength) != kWorkFileMark) return false;
  for (int i = start + markLength; i < name.GetLength(); ++i) {
    if (!IsLowerHexDigit(name[i])) return false;
  }
  owner = name.Left(start);
  return true;
}

bool IsStagedOutputName(const CString& name) {
  CString base;
  return StagedBase(name, base);
}

bool WriterIsGone(const CString& reservation, HeldClaim& taken) {
  HANDLE claim = platform::ClaimFile(reservation);
  if (claim != INVALID_HANDLE_VALUE) {
    taken = HeldClaim(claim);
    return true;
  }
  return GetLastError() == ERROR_FILE_NOT_FOUND;
}

void StagedFile::Stage(const CString& final, const CString& folder) {
  Discard();
  // ".~" + the final name (its start) + "." + the process number, which
  // tells instances apart, and random bits, which tell the outputs of one
  // process apart.
  std::random_device source;
  CString base;
  base.Format(L"%s%s.%08X%08X%08X", kStagedPrefix, BareName(final).Left(kShownNameLength).GetString(),
              static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(source()),
              static_cast<unsigned>(source()));
  path_ = JoinPath(folder, base + kStagedSuffix);
  reservation_ = JoinPath(folder, base + kReservationSuffix);
  // The reservation is created before the temporary file and goes after it:
  // a temporary file is never without its reservation while it is written.
  // A folder that takes no reservation takes no output either: the writer
  // meets that fault itself.
  HANDLE created = CreateFileW(reservation_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    reservation_.Empty();
    return;
  }
  HANDLE claim = platform::ClaimFile(reservation_);
  CloseHandle(created);
  claim_ = HeldClaim(claim);
}

bool StagedFile::Written() const { return !path_.IsEmpty() && PathFileExistsW(path_); }

BOOL StagedFile::SetPermissions(DWORD permissions) const {
  return platform::SetFilePermissions(path_, permissions & 0777);
}

DWORD StagedFile::Publish(const CString& target) {
  if (!MoveFileW(path_, target)) return GetLastError();
  path_.Empty();
  Release();
  return 0;
}

void StagedFile::Discard() {
  if (!path_.IsEmpty() && PathFileExistsW(path_)) DeleteOwnFile(path_);
  path_.Empty();
  Release();
}

void StagedFile::Release() {
  if (!reservation_.IsEmpty()) DeleteFileW(reservation_);
  reservation_.Empty();
  claim_.Release();
}

DWORD PublishWithConflictNames(StagedFile& staged, CString& final, bool renameConflicts,
                               const std::function<DWORD(CString& next)>& nextName, const PublishingNote& note) {
  for (int attempt = 0;; ++attempt) {
    if (note && !note({{staged.Path(), final}})) {
      const DWORD error = GetLastError();
      return error != 0 ? error : ERROR_WRITE_FAULT;
    }
    platform::KillPoint("publishing-noted");
    const DWORD error = staged.Publish(final);
    if (error == 0) return 0;
    if (!IsNameTakenError(error)) return error;
    if (!renameConflicts || attempt == kConflictNameAttempts) return ERROR_FILE_EXISTS;
    if (DWORD failed = nextName(final)) return failed;
  }
}

BOOL DeleteInputFile(const CString& path) {
  if (DeleteFileW(path)) return TRUE;
  DWORD error = GetLastError();
  const DWORD permissions = error == ERROR_ACCESS_DENIED ? platform::GetFilePermissions(path) : 0xFFFFFFFF;
  if (permissions == 0xFFFFFFFF || (permissions & 0200) != 0) {
    SetLastError(error);
    return FALSE;
  }
  if (platform::SetFilePermissions(path, permissions | 0200)) {
    if (DeleteFileW(path)) return TRUE;
    error = GetLastError();
    platform::SetFilePermissions(path, permissions);
  }
  SetLastError(error);
  return FALSE;
}

StagedMove::StagedMove(const CString& source, const CString& stagingFolder, HeldClaim claim, bool newSet)
    : source_(source), stagingFolder_(stagingFolder), claim_(std::move(claim)), newSet_(newSet) {}

DWORD StagedMove::Place(const CString& target) {
  if (!copy_) {
    if (MoveFileExW(source_, target, 0)) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SAME_DEVICE) return error;
    const DWORD attributes = GetFileAttributesW(source_);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return MoveFileW(source_, target) ? 0 : GetLastError();
    auto copy = std::make_unique<StagedFile>();
    copy->Stage(target, stagingFolder_.IsEmpty() ? FolderOf(target) : stagingFolder_);
    if (!CopyFileW(source_, copy->Path(), TRUE)) return GetLastError();
    // Whole on disk before the source can go.
    platform::FlushFileData(copy->Path());
    copy_ = std::move(copy);
    if (newSet_) claim_.BeginPublishing();
  }
  if (!claim_.NotePublishing({{copy_->Path(), target}})) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_WRITE_FAULT;
  }
  if (DWORD error = copy_->Publish(target)) return error;
  copy_.reset();
  platform::FlushFolder(FolderOf(target));
  platform::KillPoint("copy-published");
  if (DeleteInputFile(source_)) return 0;
  // The file is never in two places: it stays where it was, and its copy
  // (read-only too when the source is) goes.
  const DWORD error = GetLastError();
  DeleteInputFile(target);
  return error;
}

BOOL MoveFileStaged(const CString& existing, const CString& target, const CString& stagingFolder,
                    const HeldClaim& claim, bool newSet) {
  StagedMove move(existing, stagingFolder, claim, newSet);
  if (DWORD error = move.Place(target)) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

std::vector<CString> RemoveAbandonedStagedOutputs(const CString& folder) {
  // Each base with the library's work files named after its temporary file.
  std::map<std::wstring, std::vector<CString>> bases;
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(JoinPath(folder, CString(kStagedPrefix) + L"*"), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const CString name(entry.cFileName);
      CString base, owner;
      if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                     FILE_ATTRIBUTE_DEVICE)) != 0 ||
          !StagedBase(name, base))
        continue;
      std::vector<CString>& workFiles = bases[std::wstring(base.GetString())];
      if (LibraryWorkFileOwner(name, owner)) workFiles.push_back(JoinPath(folder, name));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  std::vector<CString> removed;
  for (const auto& [name, workFiles] : bases) {
    const CString base = JoinPath(folder, CString(name.c_str()));
    const CString part = base + kStagedSuffix;
    const CString reservation = base + kReservationSuffix;
    // A reservation gone means the writer published or discarded its file,
    // or was of a time without reservations, or shares the reservation of
    // its hold, which then answers for it.
    HeldClaim taken;
    if (!WriterIsGone(reservation, taken)) continue;
    HeldClaim holdTaken;
    if (!taken && !WriterIsGone(HoldReservationOf(base), holdTaken)) continue;
    for (const CString& workFile : workFiles) {
      if (DeleteOwnFile(workFile)) removed.push_back(workFile);
    }
    if (PathFileExistsW(part) && DeleteOwnFile(part)) removed.push_back(part);
    if (taken) DeleteFileW(reservation);
  }
  return removed;
}

// The outputs of one input share one reservation per folder their temporary
// files are written in (a hold). A temporary name ends in the hold's digits
// (process, group) and the output's number in the hold; the hold's own
// reservation ends in the same digits and the number 0.
struct StagedOutputs::State {
  struct Hold {
    CString folder;  // the folder of the temporary files, with its trailing "/"
    CString reservation;  // empty when none could be made
    HeldClaim claim;
    unsigned process = 0;
    unsigned group = 0;
    std::vector<std::uint32_t> outputs;  // the output numbered n + 1 at n
    bool released = false;
  };
  struct Output {
    // The final name in its folder (stem + suffix unless aside): at
    // [nameAt, nameAt + nameLength) of names.
    std::uint32_t nameAt = 0;
    std::uint32_t nameLength = 0;
    std::uint32_t folder = 0;  // index in folders
    std::uint32_t hold = 0;    // index in holds
    std::uint32_t number = 0;  // in the hold, from 1
    std::uint16_t suffixLength = 0;
    bool aside = false;  // the staged name, stem and suffix are in asides
    bool published = false;
    bool privateFile = false;  // created by CreateLastStaged: no other writer
    std::uint16_t permissions = kNoPermissions;  // given by CloseLastStaged
  };
  // What an output keeps when its name is no longer stem + suffix or no
  // longer the one its temporary name was made from.
  struct Aside {
    CString stagedName;
    CString stem;
    CString suffix;
  };

  ~State() { Discard(); }

  std::uint32_t FolderIndex(const CString& folder);
  std::uint32_t HoldFor(const CString& folder);
  std::wstring_view NameOf(const Output& output) const {
    return std::wstring_view(names).substr(output.nameAt, output.nameLength);
  }
  CString Final(const Output& output) const { return folders[output.folder] + CString(NameOf(output)); }
  CString StagedName(std::uint32_t index) const {
    const Output& output = outputs[index];
    return output.aside ? asides.at(index).stagedName : CString(NameOf(output));
  }
  void SetName(Output& output, std::wstring_view name) {
    output.nameAt = static_cast<std::uint32_t>(names.size());
    output.nameLength = static_cast<std::uint32_t>(name.size());
    names += name;
  }
  CString Temporary(std::uint32_t index) const;
  PublishedFile ToPublish(std::uint32_t index) const;
  // The identity the output's file had as CloseLastStaged closed it; false
  // when unknown.
  bool ClosedIdentity(std::uint32_t index, platform::FileIdentity& identity) const;
  CString Stem(std::uint32_t index) const;
  CString Suffix(std::uint32_t index) const;
  static std::size_t NameHash(std::uint32_t folder, std::wstring_view name) {
    return std::hash<std::wstring_view>{}(name) ^ (static_cast<std::size_t>(folder) * 0x9E3779B97F4A7C15ull);
  }
  // The output named name in folder, or kNone.
  std::uint32_t Find(std::uint32_t folder, std::wstring_view name) const;
  void Name(std::uint32_t index);
  void Unname(std::uint32_t index);
  void Rename(std::uint32_t index, const CString& final);
  bool Written(std::uint32_t index) const { return PathFileExistsW(Temporary(index)); }
  void Discard();
  void ReleaseDoneHolds(bool all);

  std::vector<CString> folders;
  std::unordered_map<std::wstring, std::uint32_t> folderIndex;
  std::vector<Hold> holds;
  std::unordered_map<std::wstring, std::uint32_t> currentHold;  // by folder, the one that takes new outputs
  std::unordered_map<std::uint64_t, std::uint32_t> holdByDigits;  // process << 32 | group
  std::vector<Output> outputs;
  std::unordered_map<std::uint32_t, Aside> asides;
  std::wstring names;  // the outputs' final names, one after another
  // The outputs by NameHash of their final names: an open-addressed table
  // of output numbers plus one (0: a free slot, kGone: one freed), a
  // power of two long and never more than half used.
  std::vector<std::uint32_t> byName;
  std::size_t byNameUsed = 0;  // slots not free, freed ones included
  static constexpr std::uint32_t kGone = 0xFFFFFFFFu;
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // What CloseLastStaged took of each output's file (index and birth time
  // where the file system keeps one; its size), by output; the device is
  // the same for all. kUnknown: read from the file at the note.
  struct Identity {
    std::uint64_t index = kUnknown;
    std::uint64_t birth = 0;
    std::uint64_t size = 0;
    static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  };
  std::vector<Identity> identities;
  std::uint64_t device = 0;
};

namespace {

// Splits a path into its folder with the trailing "/" (empty when there is
// none) and its bare name.
void SplitPath(const CString& path, CString& folder, CString& name) {
  const int slash = path.ReverseFind(L'/');
  folder = path.Left(slash + 1);
  name = path.Mid(slash + 1);
}

CString HoldDigits(unsigned process, unsigned group, std::uint32_t number) {
  CString digits;
  digits.Format(L"%08X%08X%08X", process, group, static_cast<unsigned>(number));
  return digits;
}

}  // namespace

std::uint32_t StagedOutputs::State::FolderIndex(const CString& folder) {
  const auto [it, added] = folderIndex.try_emplace(std::wstring(folder.GetString()), static_cast<std::uint32_t>(folders.size()));
  if (added) folders.push_back(folder);
  return it->second;
}

// The hold that takes a new output in folder (given with its trailing "/"):
// the folder's current one while it has numbers left, else a new one. A
// folder that takes no reservation takes no output either: the writer meets
// that fault itself.
std::uint32_t StagedOutputs::State::HoldFor(const CString& folder) {
  const std::wstring key(folder.GetString());
  if (auto it = currentHold.find(key); it != currentHold.end() && !holds[it->second].released &&
                                       holds[it->second].outputs.size() < 0xFFFFFFFFu) {
    return it->second;
  }
  std::random_device source;
  Hold hold;
  hold.folder = folder;
  hold.process = static_cast<unsigned>(GetCurrentProcessId());
  for (int attempt = 0; attempt < kConflictNameAttempts; ++attempt) {
    hold.group = static_cast<unsigned>(source());
    if (holdByDigits.count((std::uint64_t{hold.process} << 32) | hold.group) != 0) continue;
    const CString reservation =
        folder + kStagedPrefix + L"." + HoldDigits(hold.process, hold.group, 0) + kReservationSuffix;
    HANDLE created = CreateFileW(reservation, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;  // another hold's digits
      break;
    }
    HANDLE claim = platform::ClaimFile(reservation);
    CloseHandle(created);
    if (claim == INVALID_HANDLE_VALUE) continue;  // taken away at once (by a clean-up): never ours
    hold.reservation = reservation;
    hold.claim = HeldClaim(claim);
    break;
  }
  const auto index = static_cast<std::uint32_t>(holds.size());
  holdByDigits[(std::uint64_t{hold.process} << 32) | hold.group] = index;
  holds.push_back(std::move(hold));
  currentHold[key] = index;
  return index;
}

CString StagedOutputs::State::Temporary(std::uint32_t index) const {
  const Output& output = outputs[index];
  const Hold& hold = holds[output.hold];
  return hold.folder + kStagedPrefix + StagedName(index).Left(kShownNameLength) + L"." +
         HoldDigits(hold.process, hold.group, output.number) + kStagedSuffix;
}

bool StagedOutputs::State::ClosedIdentity(std::uint32_t index, platform::FileIdentity& identity) const {
  if (index >= identities.size() || identities[index].index == Identity::kUnknown) return false;
  identity.device = device;
  identity.index = identities[index].index;
  identity.birth = identities[index].birth;
  identity.size = identities[index].size;
  return true;
}

PublishedFile StagedOutputs::State::ToPublish(std::uint32_t index) const {
  PublishedFile file{Temporary(index), Final(outputs[index])};
  file.identified = ClosedIdentity(index, file.identity);
  return file;
}

CString StagedOutputs::State::Stem(std::uint32_t index) const {
  const Output& output = outputs[index];
  return output.aside ? asides.at(index).stem : CString(NameOf(output).substr(0, output.nameLength - output.suffixLength));
}

CString StagedOutputs::State::Suffix(std::uint32_t index) const {
  const Output& output = outputs[index];
  return output.aside ? asides.at(index).suffix : CString(NameOf(output).substr(output.nameLength - output.suffixLength));
}

std::uint32_t StagedOutputs::State::Find(std::uint32_t folder, std::wstring_view name) const {
  if (byName.empty()) return kNone;
  const std::size_t mask = byName.size() - 1;
  for (std::size_t slot = NameHash(folder, name) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t entry = byName[slot];
    if (entry == 0) return kNone;
    if (entry == kGone) continue;
    const Output& output = outputs[entry - 1];
    if (output.folder == folder && NameOf(output) == name) return entry - 1;
  }
}

void StagedOutputs::State::Name(std::uint32_t index) {
  if ((byNameUsed + 1) * 2 > byName.size()) {
    // Made again from the outputs still named, twice as long as they need.
    std::vector<std::uint32_t> old = std::move(byName);
    std::size_t named = 0;
    for (const std::uint32_t entry : old) named += entry != 0 && entry != kGone;
    std::size_t size = 16;
    while (size < (named + 1) * 4) size *= 2;
    byName.assign(size, 0);
    byNameUsed = 0;
    for (const std::uint32_t entry : old) {
      if (entry != 0 && entry != kGone) Name(entry - 1);
    }
  }
  const std::size_t mask = byName.size() - 1;
  std::size_t slot = NameHash(outputs[index].folder, NameOf(outputs[index])) & mask;
  while (byName[slot] != 0 && byName[slot] != kGone) slot = (slot + 1) & mask;
  if (byName[slot] == 0) ++byNameUsed;
  byName[slot] = index + 1;
}

void StagedOutputs::State::Unname(std::uint32_t index) {
  if (byName.empty()) return;
  const std::size_t mask = byName.size() - 1;
  for (std::size_t slot = NameHash(outputs[index].folder, NameOf(outputs[index])) & mask; byName[slot] != 0;
       slot = (slot + 1) & mask) {
    if (byName[slot] == index + 1) {
      byName[slot] = kGone;
      return;
    }
  }
}

// Gives the output the final name it was published under (the same folder).
void StagedOutputs::State::Rename(std::uint32_t index, const CString& final) {
  CString folder, name;
  SplitPath(final, folder, name);
  Output& output = outputs[index];
  if (std::wstring_view(name.str()) == NameOf(output)) return;
  if (!output.aside) asides[index] = Aside{CString(NameOf(output)), Stem(index), Suffix(index)};
  output.aside = true;
  Unname(index);
  SetName(output, name.str());
  Name(index);
}

void StagedOutputs::State::Discard() {
  for (std::uint32_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].published) continue;
    const CString temporary = Temporary(i);
    if (PathFileExistsW(temporary)) DeleteOwnFile(temporary);
  }
  ReleaseDoneHolds(true);
}

// Lets go of the reservations whose outputs are all published (all: every
// one, the caller having deleted what was left).
void StagedOutputs::State::ReleaseDoneHolds(bool all) {
  for (Hold& hold : holds) {
    if (hold.released) continue;
    if (!all && std::any_of(hold.outputs.begin(), hold.outputs.end(),
                            [this](std::uint32_t index) { return !outputs[index].published; }))
      continue;
    if (!hold.reservation.IsEmpty()) DeleteFileW(hold.reservation);
    hold.claim.Release();
    hold.released = true;
  }
}

CString StagedOutputs::Stage(const CString& final, const CString& stem, const CString& suffix,
                             const CString& stagingFolder) {
  if (!state_) state_ = std::make_shared<State>();
  State& state = *state_;
  const auto index = static_cast<std::uint32_t>(state.outputs.size());
  State::Output output;
  CString folder, name;
  SplitPath(final, folder, name);
  state.SetName(output, name.str());
  output.folder = state.FolderIndex(folder);
  output.hold = state.HoldFor((stagingFolder.IsEmpty() ? FolderOf(final) : stagingFolder) + L"/");
  State::Hold& hold = state.holds[output.hold];
  hold.outputs.push_back(index);
  output.number = static_cast<std::uint32_t>(hold.outputs.size());
  if (suffix.GetLength() <= 0xFFFF && name == stem + suffix) {
    output.suffixLength = static_cast<std::uint16_t>(suffix.GetLength());
  } else {
    output.aside = true;
    state.asides[index] = State::Aside{name, stem, suffix};
  }
  state.outputs.push_back(std::move(output));
  state.Name(index);
  return state.Temporary(index);
}

HANDLE StagedOutputs::CreateLastStaged() {
  if (!state_ || state_->outputs.empty()) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_HANDLE_VALUE;
  }
  const auto index = static_cast<std::uint32_t>(state_->outputs.size() - 1);
  HANDLE file = platform::CreatePrivateFile(state_->Temporary(index));
  if (file != INVALID_HANDLE_VALUE) state_->outputs[index].privateFile = true;
  return file;
}

BOOL StagedOutputs::CloseLastStaged(platform::FileHandle& file, DWORD permissions) {
  if (state_ && !state_->outputs.empty()) {
    State& state = *state_;
    const auto index = static_cast<std::uint32_t>(state.outputs.size() - 1);
    State::Output& output = state.outputs[index];
    if (permissions != 0xFFFFFFFF && platform::SetOpenFilePermissions(file.get(), permissions & 0777))
      output.permissions = static_cast<std::uint16_t>(permissions & 0777);
    platform::FileIdentity identity;
    if (platform::GetOpenFileIdentity(file.get(), &identity) && identity.tag == 0 &&
        identity.index != State::Identity::kUnknown) {
      if (state.identities.empty()) state.device = identity.device;
      if (identity.device == state.device) {
        state.identities.resize(index + 1);
        state.identities[index] = {identity.index, identity.birth, identity.size};
      }
    }
  }
  return file.Close();
}

bool StagedOutputs::Empty() const { return !state_ || state_->outputs.empty(); }

int StagedOutputs::Count() const { return state_ ? static_cast<int>(state_->outputs.size()) : 0; }

bool StagedOutputs::Holds(const CString& final) const {
  if (!state_) return false;
  CString folder, name;
  SplitPath(final, folder, name);
  const auto found = state_->folderIndex.find(std::wstring(folder.GetString()));
  if (found == state_->folderIndex.end()) return false;
  return state_->Find(found->second, name.str()) != State::kNone;
}

void StagedOutputs::LimitPermissions(DWORD permissions) const {
  if (!state_) return;
  for (std::uint32_t i = 0; i < state_->outputs.size(); ++i) {
    if (state_->outputs[i].permissions == (permissions & 0777)) continue;  // given them as it was closed
    const CString temporary = state_->Temporary(i);
    // Not written (or published already): nothing to read the bits of.
    const DWORD current = platform::GetFilePermissions(temporary);
    if (current != 0xFFFFFFFF && current != (permissions & 0777))
      platform::SetFilePermissions(temporary, permissions & 0777);
  }
}

DWORD StagedOutputs::Publish(bool renameConflicts, CString& failedName, const PublishingNote& note) {
  if (!state_) return 0;
  State& state = *state_;
  // Every output is noted before the first is published: a kill between
  // two of them leaves a set known to be incomplete. (An output never
  // written is left out of the note by the record.) The names go to the
  // note a part at a time, so that no list of every output's two paths is
  // ever held.
  // A note that fails leaves a set of which a take-back would see only
  // part: nothing of it is published.
  const auto fail = [&state, &failedName](DWORD error, const CString& name) {
    failedName = name;
    for (State::Output& done : state.outputs) {
      if (done.published) DeleteFileW(state.Final(done));
      done.published = false;
    }
    state.Discard();
    return error;
  };
  const auto noteFailed = [] {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_WRITE_FAULT;
  };
  if (note) {
    std::vector<PublishedFile> files;
    bool noted = false;
    for (std::uint32_t i = 0; i < state.outputs.size(); ++i) {
      if (!state.outputs[i].published) files.push_back(state.ToPublish(i));
      if (files.size() == kNotedAtOnce) {
        if (!note(files)) return fail(noteFailed(), files.back().final);
        files.clear();
        noted = true;
      }
    }
    if ((!noted || !files.empty()) && !note(files))
      return fail(noteFailed(), files.empty() ? CString() : files.back().final);
  }
  for (std::uint32_t i = 0; i < state.outputs.size(); ++i) {
    if (state.outputs[i].published) continue;
    const CString temporary = state.Temporary(i);
    const CString final = state.Final(state.outputs[i]);
    platform::FileIdentity closed;
    const bool identified = state.ClosedIdentity(i, closed);
    CString target = final;
    DWORD error = 0;
    bool written = true;
    for (int attempt = 0;; ++attempt) {
      if (attempt > 0 && note && !note({{temporary, target}})) {  // a conflict name
        error = noteFailed();
        break;
      }
      if (Rename(state.outputs[i], temporary, target, identified ? &closed : nullptr)) break;
      error = GetLastError();
      // Asked only when the move fails: most outputs are written.
      if (attempt == 0 && !PathFileExistsW(temporary)) {
        written = false;  // not written this time
        error = 0;
        break;
      }
      if (!IsNameTakenError(error)) break;
      error = ERROR_FILE_EXISTS;
      if (!renameConflicts || attempt == kConflictNameAttempts) break;
      error = 0;
      target = JoinPath(FolderOf(final), MakeConflictName(state.Stem(i)) + state.Suffix(i));
    }
    if (!written) continue;
    if (error != 0) return fail(error, target);
    state.Rename(i, target);
    state.outputs[i].published = true;
    platform::KillPoint("output-published");
  }
  state.ReleaseDoneHolds(false);
  return 0;
}

std::vector<CString> StagedOutputs::PublishedFolders() const {
  std::vector<CString> folders;
  if (!state_) return folders;
  std::vector<bool> seen(state_->folders.size(), false);
  for (const State::Output& output : state_->outputs) {
    if (!output.published || seen[output.folder]) continue;
    seen[output.folder] = true;
    const CString& folder = state_->folders[output.folder];  // with its trailing "/"
    folders.push_back(folder.Left(folder.GetLength() - 1));
  }
  return folders;
}

void StagedOutputs::Discard() {
  if (state_) state_->Discard();
}

// Every temporary name of an output in the text is found by its digits and
// ".part" and given the final name; other text is kept as it is.
CString StagedOutputs::Shown(const CString& text) const {
  if (!state_ || text.Find(kStagedSuffix) < 0) return text;
  const State& state = *state_;
  const int suffixLength = CString(kStagedSuffix).GetLength();
  CString shown;
  int copied = 0;
  for (int at = text.Find(kStagedSuffix); at >= 0; at = text.Find(kStagedSuffix, at + 1)) {
    const int digits = at - kStagedHexDigits;
    if (digits < 1 || at < copied || text[digits - 1] != L'.') continue;
    bool hex = true;
    for (int i = digits; i < at && hex; ++i) hex = IsHexDigit(text[i]);
    if (!hex) continue;
    const std::uint64_t holdDigits = std::wcstoull(text.Mid(digits, 16).GetString(), nullptr, 16);
    const auto number = static_cast<std::uint32_t>(std::wcstoul(text.Mid(digits + 16, 8).GetString(), nullptr, 16));
    const auto hold = state.holdByDigits.find(holdDigits);
    if (hold == state.holdByDigits.end() || number == 0 || number > state.holds[hold->second].outputs.size()) continue;
    const std::uint32_t index = state.holds[hold->second].outputs[number - 1];
    const CString temporary = state.Temporary(index);
    const int start = at + suffixLength - temporary.GetLength();
    if (start < copied || text.Mid(start, temporary.GetLength()) != temporary) continue;
    shown += text.Mid(copied, start - copied);
    shown += state.Final(state.outputs[index]);
    copied = at + suffixLength;
  }
  shown += text.Mid(copied);
  return shown;
}
