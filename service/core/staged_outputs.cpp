#include "service/core/staged_outputs.h"

#include <map>
#include <random>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
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

DWORD PublishWithConflictNames(StagedFile& staged, CString& final, int renameConfFiles,
                               const std::function<DWORD(CString& next)>& nextName) {
  for (int attempt = 0;; ++attempt) {
    const DWORD error = staged.Publish(final);
    if (error == 0) return 0;
    if (!IsNameTakenError(error)) return error;
    if (renameConfFiles == 0 || attempt == kConflictNameAttempts) return ERROR_FILE_EXISTS;
    if (DWORD failed = nextName(final)) return failed;
  }
}

BOOL MoveFileStaged(const CString& existing, const CString& target, const CString& stagingFolder) {
  if (MoveFileExW(existing, target, 0)) return TRUE;
  DWORD error = GetLastError();
  if (error != ERROR_NOT_SAME_DEVICE) return FALSE;
  // The copy's error is the move's: it is set again once the partial copy
  // is gone, whose clean-up calls set errors of their own.
  DWORD failed = 0;
  {
    StagedFile copy;
    copy.Stage(target, stagingFolder.IsEmpty() ? FolderOf(target) : stagingFolder);
    failed = CopyFileW(existing, copy.Path(), TRUE) ? copy.Publish(target) : GetLastError();
  }
  if (failed != 0) {
    SetLastError(failed);
    return FALSE;
  }
  if (DeleteFileW(existing)) return TRUE;
  // The file is never in two places.
  error = GetLastError();
  DeleteFileW(target);
  SetLastError(error);
  return FALSE;
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
    // or was of a time without reservations.
    HeldClaim taken;
    if (!WriterIsGone(reservation, taken)) continue;
    for (const CString& workFile : workFiles) {
      if (DeleteOwnFile(workFile)) removed.push_back(workFile);
    }
    if (PathFileExistsW(part) && DeleteOwnFile(part)) removed.push_back(part);
    if (taken) DeleteFileW(reservation);
  }
  return removed;
}

CString StagedOutputs::Stage(const CString& final, const CString& stem, const CString& suffix,
                             const CString& stagingFolder) {
  auto output = std::make_shared<Output>();
  output->final = final;
  output->stem = stem;
  output->suffix = suffix;
  output->file.Stage(final, stagingFolder.IsEmpty() ? FolderOf(final) : stagingFolder);
  output->temporary = output->file.Path();
  outputs_.push_back(output);
  return output->temporary;
}

bool StagedOutputs::Holds(const CString& final) const {
  for (const auto& output : outputs_) {
    if (output->final == final) return true;
  }
  return false;
}

void StagedOutputs::LimitPermissions(DWORD permissions) const {
  for (const auto& output : outputs_) {
    if (!output->file.Written()) continue;
    const DWORD current = platform::GetFilePermissions(output->temporary);
    if (current != 0xFFFFFFFF && current != (permissions & 0777))
      platform::SetFilePermissions(output->temporary, permissions & 0777);
  }
}

DWORD StagedOutputs::Publish(int renameConfFiles, CString& failedName) {
  for (const auto& output : outputs_) {
    if (output->published || !output->file.Written()) continue;  // not written this time
    CString target = output->final;
    const DWORD error = PublishWithConflictNames(output->file, target, renameConfFiles, [&](CString& next) {
      next = JoinPath(FolderOf(output->final), MakeConflictName(output->stem) + output->suffix);
      return DWORD{0};
    });
    if (error != 0) {
      failedName = target;
      for (const auto& done : outputs_) {
        if (done->published) DeleteFileW(done->final);
        done->published = false;
      }
      Discard();
      return error;
    }
    output->final = target;
    output->published = true;
  }
  return 0;
}

void StagedOutputs::Discard() {
  for (const auto& output : outputs_) {
    if (!output->published) output->file.Discard();
  }
}

CString StagedOutputs::Shown(const CString& text) const {
  CString shown = text;
  for (const auto& output : outputs_) {
    if (!output->temporary.IsEmpty()) shown.Replace(output->temporary, output->final);
  }
  return shown;
}
