// HASH: every input gets a hash file (GOST R 34.11-2012, 256 bits) in
// "Path Out" and is then moved there beside it. The input is never changed
// or deleted; its conflicts are met where they happen, when the hash file is
// created and when the input is moved.

#include "service/operations/hash_files.h"

#include <vector>

#include "platform/cfile.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/conflict_names.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/staged_outputs.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"

namespace {

constexpr const char* kHashAlgorithm = "1.2.643.7.1.1.2.2";
const wchar_t* const kOperationFormat =
    L"Профиль справочника : '%s' | Вычисление хэша файла %s (размер: %s) и запись в файл %s (размер: %s)";
// "Хэш файла. Формат №" in Windows-1251.
constexpr char kHeading[] = "\xD5\xFD\xF8\x20\xF4\xE0\xE9\xEB\xE0\x2E\x20\xD4\xEE\xF0\xEC\xE0\xF2\x20\xB9";

// The digest, released with the library's own call however the step ends.
class HeldDigest {
 public:
  explicit HeldDigest(LibraryContext context) : context_(context) {}
  ~HeldDigest() {
    if (blob_.length > 0) ORLAX_FreeMem(context_, blob_.data);
  }
  HeldDigest(const HeldDigest&) = delete;
  HeldDigest& operator=(const HeldDigest&) = delete;
  DataBlob* get() { return &blob_; }
  const DataBlob& operator*() const { return blob_; }

 private:
  LibraryContext context_;
  DataBlob blob_{};
};

struct HashJob {
  const RuleRecord& rule;
  LibraryContext context;
  CString hashExt;
  bool renameConflicts;  // "Rename conf files"
};

// Where a file stands once its hash file exists: the stem both end up with,
// the hash file and the input (the claimed file, later the moved one).
struct HashedFile {
  CString stem;
  CString hashFile;
  CString input;
};

// The digest of the claimed file, copied out so that the library's block is
// released at once.
DWORD ComputeDigest(const HashJob& job, const PipelineFile& file, std::vector<BYTE>& digest, WorkFailure& failure) {
  HeldDigest held(job.context);
  DWORD code = ORLAX_StrHashFile(job.context, kHashAlgorithm, LibraryPath(file.claimed), held.get());
  if (code != 0) return LibraryFailure(failure, code, job.context);
  digest.assign((*held).data, (*held).data + (*held).length);
  return 0;
}

// Writes the hash file's whole text (its first line the hash file's own
// path) with one write, under exclusive sharing, into the temporary file,
// which is created new.
DWORD WriteHashFile(const CString& temporary, const HashedFile& hashed, const std::vector<BYTE>& digest,
                    WorkFailure& failure) {
  HANDLE created = CreateFileW(temporary, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (created == INVALID_HANDLE_VALUE)
    return OwnFailure(failure, GetLastError(), FormatText(kCreatingFileText, hashed.hashFile));
  CloseHandle(created);
  auto step = [&] { return FormatText(L"Запись файла %s (размер: %s)", hashed.hashFile, FileSizeText(temporary)); };
  const std::string text = HashFileText(CStringA(hashed.hashFile), digest.data(), static_cast<DWORD>(digest.size()));
  CFile out;
  CFileException opening;
  if (!out.Open(temporary, CFile::modeWrite | CFile::shareExclusive, &opening)) {
    DWORD code = opening.m_lOsError > 0 ? static_cast<DWORD>(opening.m_lOsError) : ERROR_ACCESS_DENIED;
    return OwnFailure(failure, code, step());
  }
  try {
    out.SeekToEnd();
    out.Write(text.data(), static_cast<UINT>(text.size()));
    out.Close();
    // Created readable by its owner only, published as any new file.
    platform::SetFilePermissions(temporary, platform::DefaultFilePermissions());
  } catch (CFileException* e) {
    const auto cause = static_cast<DWORD>(e->m_cause);
    e->Delete();
    out.Abort();
    return OwnFailure(failure, cause, step());
  }
  return 0;
}

// Writes the hash file under a temporary name and gives it its name, never
// replacing: a name taken (before or meanwhile) gives, when the profile
// allows renaming, a conflict-free stem and the text written again for it.
// A crash leaves no hash file, whole or partial, under a hash file's name.
DWORD CreateHashFile(const HashJob& job, const PipelineFile& file, const std::vector<BYTE>& digest,
                     HashedFile& hashed, WorkFailure& failure) {
  hashed.stem = file.name;
  hashed.hashFile = file.output;
  StagedFile staged;
  staged.Stage(hashed.hashFile, job.rule.pathOut);
  if (DWORD code = WriteHashFile(staged.Path(), hashed, digest, failure)) return code;
  CString target = hashed.hashFile;
  // The hash file and the input beside it are one set in the claim record:
  // a kill between them leaves the hash file to be withdrawn by the next
  // run's take-back, and the input is hashed again as a whole.
  bool begun = false;
  const PublishingNote note = [&](const std::vector<PublishedFile>& files) {
    if (!begun) file.claim.BeginPublishing();
    begun = true;
    std::vector<PublishedFile> set = files;
    set.push_back({hashed.input, JoinPath(job.rule.pathOut, hashed.stem)});
    return file.claim.NotePublishing(set);
  };
  const DWORD error = PublishWithConflictNames(
      staged, target, job.renameConflicts,
      [&](CString& next) {
        hashed.stem = MakeConflictName(file.name);
        hashed.hashFile = next = JoinPath(job.rule.pathOut, hashed.stem + L"." + job.hashExt);
        DeleteFileW(staged.Path());
        return WriteHashFile(staged.Path(), hashed, digest, failure);
      },
      note);
  if (error == 0 || failure.code != 0) return error;
  CString step = FormatText(kCreatingFileText, target);
  if (error == ERROR_FILE_EXISTS && job.renameConflicts) step += kConflictCounterText;
  return OwnFailure(failure, error, step);
}

// Moves the input beside its hash file. When the input's name is taken and
// renaming is allowed, both get a new conflict-free stem; the input, once
// moved, counts as the claimed file whatever happens next.
DWORD MoveInput(const HashJob& job, const PipelineFile& file, HashedFile& hashed, WorkFailure& failure) {
  CString target = JoinPath(job.rule.pathOut, hashed.stem);
  int tries = 0;
  for (;;) {
    DWORD error = 0;
    if (tries > 0 && !file.claim.NotePublishing({{hashed.input, target}})) {
      error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    } else if (!MoveFileStaged(hashed.input, target, CString(), file.claim, false)) {
      error = GetLastError();
    } else {
      hashed.input = target;
      const CString hashTarget = JoinPath(job.rule.pathOut, hashed.stem + L"." + job.hashExt);
      if (hashTarget == hashed.hashFile) return 0;
      if (MoveFileW(hashed.hashFile, hashTarget)) {
        hashed.hashFile = hashTarget;
        return 0;
      }
      error = GetLastError();
      target = hashTarget;
    }
    if (!IsNameTakenError(error) || !job.renameConflicts || tries == kConflictNameAttempts) {
      CString step = FormatText(L"Перемещение файла '%s' (размер: %s) в '%s' (размер: %s)", file.source,
                                FileSizeText(hashed.input), target, FileSizeText(target));
      if (tries == kConflictNameAttempts) step += kConflictCounterText;
      failure.partialOutput = hashed.hashFile;
      return OwnFailure(failure, error, step);
    }
    ++tries;
    hashed.stem = MakeConflictName(file.name);
    target = JoinPath(job.rule.pathOut, hashed.stem);
  }
}

}  // namespace

std::string HashFileText(const CStringA& hashFilePath, const BYTE* digest, DWORD length) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string inOrder;
  std::string swapped;
  std::string reversed;
  for (DWORD i = 0; i < length; ++i) {
    const BYTE b = digest[i];
    const BYTE r = digest[length - 1 - i];
    inOrder += {kHex[b >> 4], kHex[b & 15]};
    swapped += {kHex[b & 15], kHex[b >> 4]};
    reversed += {kHex[r >> 4], kHex[r & 15]};
  }
  std::string text = std::string(hashFilePath.GetString()) + "\n";
  const std::string* renderings[] = {&inOrder, &swapped, &reversed};
  for (int i = 0; i < 3; ++i) {
    text += kHeading;
    text += static_cast<char>('1' + i);
    text += "\n" + *renderings[i] + "\n";
  }
  return text;
}

DWORD HashFiles(const OperationCall& call, CString hashExt) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  const HashJob job{rule, RuleContext(call.table, call.state.tableIndex), hashExt, call.settings.renameConflicts};
  // The text is made before the claim, with the size of the claimed name
  // ("0" while it does not exist), and stays the message of every record of
  // the file until its success.
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    return FormatText(kOperationFormat, rule.zcsProfile, file.source, ClaimedSizeText(file, inputSize), file.output,
                      outputSize);
  };

  FileOperation operation;
  operation.appended = L"." + hashExt;
  operation.describe = describe;
  operation.gates = {.outputs = Gates::Outputs::kNone};
  operation.work = [&job](PipelineFile& file, WorkFailure& failure) -> DWORD {
    HashedFile hashed{file.name, file.output, file.claimed};
    std::vector<BYTE> digest;
    DWORD code = ComputeDigest(job, file, digest, failure);
    if (code == 0) code = CreateHashFile(job, file, digest, hashed, failure);
    if (code == 0) code = MoveInput(job, file, hashed, failure);
    // The mover takes the input from wherever it now lies; a success
    // records the hash file as the output.
    file.claimed = hashed.input;
    if (code == 0) file.output = hashed.hashFile;
    return code;
  };
  // The input itself has gone to the output: nothing is left to delete.
  operation.deleteInputOnSuccess = false;
  return RunFileOperation(pipeline, call.files, operation);
}
