#include "service/core/staged_outputs.h"

#include <random>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "service/core/conflict_names.h"
#include "service/core/path_names.h"

namespace {

const wchar_t* const kStagedPrefix = L".~";
const wchar_t* const kStagedSuffix = L".part";
constexpr int kStagedHexDigits = 24;  // process number and 64 random bits
// At most this much of the final name goes into the temporary one, so that
// the temporary name stays within the file system's limit.
constexpr int kShownNameLength = 48;

bool IsTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

bool IsHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

}  // namespace

bool IsStagedOutputName(const CString& name) {
  const CString prefix(kStagedPrefix), suffix(kStagedSuffix);
  const int length = name.GetLength();
  if (length < prefix.GetLength() + 1 + kStagedHexDigits + suffix.GetLength()) return false;
  if (name.Left(prefix.GetLength()) != prefix || name.Right(suffix.GetLength()) != suffix) return false;
  const int hexStart = length - suffix.GetLength() - kStagedHexDigits;
  if (name[hexStart - 1] != L'.') return false;
  for (int i = hexStart; i < hexStart + kStagedHexDigits; ++i) {
    if (!IsHexDigit(name[i])) return false;
  }
  return true;
}

CString StagedOutputs::Stage(const CString& final, const CString& stem, const CString& suffix) {
  // ".~" + the final name (its start) + "." + the process number, which
  // tells instances apart, and random bits, which tell the outputs of one
  // process apart + ".part".
  std::random_device source;
  CString name;
  name.Format(L"%s%s.%08X%08X%08X%s", kStagedPrefix, BareName(final).Left(kShownNameLength).GetString(),
              static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(source()),
              static_cast<unsigned>(source()), kStagedSuffix);
  Output output;
  output.final = final;
  output.temporary = JoinPath(FolderOf(final), name);
  output.stem = stem;
  output.suffix = suffix;
  outputs_.push_back(output);
  return output.temporary;
}

void StagedOutputs::LimitPermissions(DWORD permissions) const {
  for (const Output& output : outputs_) {
    const DWORD current = platform::GetFilePermissions(output.temporary);
    if (current != 0xFFFFFFFF && current != (permissions & 0777))
      platform::SetFilePermissions(output.temporary, permissions & 0777);
  }
}

DWORD StagedOutputs::Publish(int renameConfFiles, CString& failedName) {
  for (Output& output : outputs_) {
    if (!PathFileExistsW(output.temporary)) continue;  // not written this time
    CString target = output.final;
    DWORD error = 0;
    for (int attempt = 0;; ++attempt) {
      if (MoveFileW(output.temporary, target)) break;
      error = GetLastError();
      if (!IsTaken(error) || renameConfFiles == 0 || attempt == kConflictNameAttempts) break;
      target = JoinPath(FolderOf(output.final), MakeConflictName(output.stem) + output.suffix);
    }
    if (PathFileExistsW(output.temporary)) {
      failedName = target;
      for (Output& done : outputs_) {
        if (done.published) DeleteFileW(done.final);
        done.published = false;
      }
      Discard();
      // A taken name fails as the conflict rules fail it (80).
      return error == 0 || IsTaken(error) ? ERROR_FILE_EXISTS : error;
    }
    output.final = target;
    output.published = true;
  }
  return 0;
}

void StagedOutputs::Discard() {
  for (const Output& output : outputs_) {
    if (!output.published) DeleteFileW(output.temporary);
  }
}

CString StagedOutputs::Shown(const CString& text) const {
  CString shown = text;
  for (const Output& output : outputs_) shown.Replace(output.temporary, output.final);
  return shown;
}
