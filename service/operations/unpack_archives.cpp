// UNPK: every input file is a ZIP archive whose folders and files are written
// below "Path Out". An archive either unpacks whole or leaves nothing of its
// own behind (no file, no folder it made that is still empty) and goes to
// the error folder.

#include "service/operations/unpack_entry_path.h"

#include <minizip/unzip.h>

#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "service/core/conflict_names.h"
#include "service/core/extraction_limit.h"
#include "service/core/file_pipeline.h"
#include "service/core/gzip_glue.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/minizip_files.h"
#include "service/operations/operations.h"

namespace {

constexpr const wchar_t* kClashText = L"При распаковке директории произрошел конфликт имен с существующим файлом";
constexpr const wchar_t* kOutsideText = L"Путь элемента архива выходит за пределы выходного каталога";
constexpr const wchar_t* kCounterText = L".\r\nСчетчик попыток переименования конфликтного файла достиг 100";

// Windows' mark of a symbolic link, which the layer reports by itself.
constexpr DWORD kLinkAttribute = 0x400;

// A link is never a folder to write into.
bool IsRealFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & kLinkAttribute) == 0;
}

// The entry the reader stands on, opened, with the header that declares it.
struct OpenEntry {
  UnzipReader& zip;
  const unz_file_info64& info;
};

// One archive on its way out. Its files are written under temporary names
// in "Path Out" (the file's outputs, StagedOutputs) and get their names in
// their folders only when the whole archive is unpacked, so that a crash
// leaves no partial file under an entry's name; a failed archive leaves none
// of its files.
class ArchiveUnpacking {
 public:
  ArchiveUnpacking(const RuleRecord& rule, bool renameConflicts)
      : pathOut_(rule.pathOut), renameConflicts_(renameConflicts) {}
  ArchiveUnpacking(const ArchiveUnpacking&) = delete;
  ArchiveUnpacking& operator=(const ArchiveUnpacking&) = delete;

  // Unpacks the claimed archive into file's staged outputs; false with the
  // failure filled.
  bool Run(PipelineFile& file, WorkFailure& failure);
  // Removes the folders this archive made (the last made first) that are
  // still empty: a failed archive leaves nothing of its own behind.
  void RemoveMadeFolders();

 private:
  // A step without a text of its own gives the record none at all.
  bool Fail(WorkFailure& failure, DWORD code, const CString& stepText, const CString& description = CString()) {
    failure.code = code;
    failure.stageText = stepText;
    failure.withoutStageText = stepText.IsEmpty();
    failure.description = description;
    return false;
  }
  bool FailReading(WorkFailure& failure, DWORD code = COMPRESS_E_OPEN_PACKED) {
    return Fail(failure, code, CString(), CompressionErrorDescription(code));
  }
  bool DeclaredSizesFit(unzFile zip, ULONGLONG archiveSize, WorkFailure& failure);
  bool MakeFolders(const CStringArray& folders, const StagedOutputs& staged, CString& path, WorkFailure& failure);
  bool SettleFolder(const CString& parent, const CString& component, const StagedOutputs& staged, CString& path,
                    WorkFailure& failure);
  bool FolderAside(const CString& parent, const CString& component, const StagedOutputs& staged, CString& path,
                   WorkFailure& failure);
  // Makes the folder (its parent exists) and notes it as this archive's.
  int MakeFolder(const CString& path);
  bool WriteFileEntry(const OpenEntry& entry, const CString& folder, const CString& fileName, StagedOutputs& staged,
                      WorkFailure& failure);

  CString pathOut_;
  bool renameConflicts_;  // "Rename conf files"
  // The bits the entries are published with (the archive's own), given
  // each as it is closed; 0xFFFFFFFF when unknown (the publishing gives them).
  DWORD permissions_ = 0xFFFFFFFF;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::unique_ptr<ExtractionLimit> limit_;
  std::vector<CString> madeFolders_;
  // The folders this archive's entries were found to go into: each path
  // (the parent's as settled, "/", the entry's component) with the folder
  // it settled on (itself, or one aside). An archive names the same few
  // folders for thousands of entries: each is made or checked once.
  std::unordered_map<std::wstring, CString> settledFolders_;
  // The folders this archive made: nothing but its own entries is looked
  // for in them before they are published (a name another program takes
  // meanwhile is met by the publishing, which never replaces).
  std::unordered_set<std::wstring> madeHere_;
};

int ArchiveUnpacking::MakeFolder(const CString& path) {
  const int rc = SHCreateDirectoryExW(nullptr, path, nullptr);
  if (rc == ERROR_SUCCESS) {
    madeFolders_.push_back(path);
    madeHere_.emplace(path.GetString());
  }
  return rc;
}

void ArchiveUnpacking::RemoveMadeFolders() {
  for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder) RemoveDirectoryW(*folder);
  madeFolders_.clear();
}

bool ArchiveUnpacking::Run(PipelineFile& file, WorkFailure& failure) {
  LARGE_INTEGER size{};
  {
    platform::FileHandle archive(CreateFileW(file.claimed, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!archive.valid()) {
      DWORD error = GetLastError();
      CString step;
      step.Format(L"Открытие файла %s (размер: %s)", file.source.GetString(), FileSizeText(file.claimed).GetString());
      return Fail(failure, error, step);
    }
    if (!GetFileSizeEx(archive.get(), &size)) {
      DWORD error = GetLastError();
      CString step;
      step.Format(L"Определение размера файла %s", file.source.GetString());
      return Fail(failure, error, step);
    }
    // An archive without entries unpacks as no files.
    if (IsEmptyZipArchive(archive.get(), static_cast<ULONGLONG>(size.QuadPart))) return true;
  }
  zlib_filefunc64_def functions;
  FillLayerFileFunctions(&functions);
  const std::string claimed = platform::WideToMultiByte(file.claimed.str(), CP_ACP);
  UnzipReader zip(unzOpen2_64(claimed.c_str(), &functions));
  if (zip.get() == nullptr) return FailReading(failure);
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK) return FailReading(failure);
  const DWORD archivePermissions = platform::GetFilePermissions(file.claimed);
  if (archivePermissions != 0xFFFFFFFF) permissions_ = archivePermissions & 0777;
  buffer_ = AllocateArchiveChunk();
  if (!buffer_) return Fail(failure, ERROR_NOT_ENOUGH_MEMORY, L"Выделение памяти");
  if (global.number_entry > 0 && !DeclaredSizesFit(zip.get(), static_cast<ULONGLONG>(size.QuadPart), failure))
    return false;

  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    if (i > 0 && unzGoToNextFile(zip.get()) != UNZ_OK) return FailReading(failure);
    unz_file_info64 info{};
    char rawName[kEntryNameBuffer] = {};
    if (GetCurrentEntryInfo(zip.get(), info, rawName, sizeof(rawName)) != UNZ_OK ||
        info.size_filename >= kEntryNameBuffer || !zip.OpenEntry())
      return FailReading(failure);
    EntryPath entry;
    if (DWORD rc = EntryNameToPath(std::string(rawName, info.size_filename), entry)) {
      if (rc == ERR_ARCHIVE_PATH_OUTSIDE) return Fail(failure, rc, CString(), kOutsideText);
      return FailReading(failure, rc);
    }
    CString folder;
    if (!MakeFolders(entry.folders, file.staged, folder, failure)) return false;
    if (!entry.folder && !WriteFileEntry({zip, info}, folder, entry.fileName, file.staged, failure)) return false;
    if (zip.CloseEntry() != UNZ_OK) return FailReading(failure, COMPRESS_E_INFLATE);
  }
  return true;
}

// Archives come from outside: the sizes they declare are held to what their
// size can give and the disk can take before anything is written.
bool ArchiveUnpacking::DeclaredSizesFit(unzFile zip, ULONGLONG archiveSize, WorkFailure& failure) {
  limit_ = std::make_unique<ExtractionLimit>(archiveSize, pathOut_, true);
  ULONGLONG declared = 0;
  int rc = unzGoToFirstFile(zip);
  for (; rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    unz_file_info64 info{};
    if (GetCurrentEntryInfo(zip, info, nullptr, 0) != UNZ_OK) return FailReading(failure);
    declared += std::min<ULONGLONG>(info.uncompressed_size, limit_->Limit() + 1);
    if (!limit_->AllowsDeclared(declared))
      return Fail(failure, ERR_ARCHIVE_TOO_LARGE, CString(), CompressionErrorDescription(ERR_ARCHIVE_TOO_LARGE));
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE || unzGoToFirstFile(zip) != UNZ_OK) return FailReading(failure);
  return true;
}

bool ArchiveUnpacking::MakeFolders(const CStringArray& folders, const StagedOutputs& staged, CString& path,
                                   WorkFailure& failure) {
  path = pathOut_;
  for (const CString& component : folders) {
    const CString parent = path;
    path = parent + L"/" + component;
    std::wstring key(path.GetString());
    if (const auto settled = settledFolders_.find(key); settled != settledFolders_.end()) {
      path = settled->second;
      continue;
    }
    if (!SettleFolder(parent, component, staged, path, failure)) return false;
    settledFolders_.emplace(std::move(key), path);
  }
  return true;
}

// Makes the folder path (parent/component), or takes the folder there, or,
// when a file or a link holds the name, one aside as the profile says.
bool ArchiveUnpacking::SettleFolder(const CString& parent, const CString& component, const StagedOutputs& staged,
                                    CString& path, WorkFailure& failure) {
  CString step;
  // A file an earlier entry of this archive wrote holds the name as a
  // file already there does, though it gets the name only at the end.
  const bool stagedFile = staged.Holds(path);
  int rc = stagedFile ? ERROR_FILE_EXISTS : MakeFolder(path);
  if (rc == ERROR_SUCCESS) return true;
  if (rc != ERROR_FILE_EXISTS && rc != ERROR_ALREADY_EXISTS) {
    step.Format(L"Создание каталога '%s'", pathOut_.GetString());
    return Fail(failure, static_cast<DWORD>(rc), step);
  }
  const DWORD attributes = stagedFile ? FILE_ATTRIBUTE_NORMAL : GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    step.Format(L"Открытие файла %s (размер: %s)", pathOut_.GetString(), FileSizeText(pathOut_).GetString());
    return Fail(failure, error, step);
  }
  if (IsRealFolder(attributes)) return true;
  // A file, or a link that is never followed, holds the name.
  if (!renameConflicts_) {
    step.Format(L"Создание каталога '%s'", pathOut_.GetString());
    return Fail(failure, ERR_UNPACK_NAME_CLASH, step, kClashText);
  }
  return FolderAside(parent, component, staged, path, failure);
}

// The folder made aside for a clashing name: one made before (the name, "~"
// and eight characters), or a new conflict-free one. The mark goes into the
// clashing component alone, so the folder stays beside the name it stands
// for whatever "." the path above holds.
bool ArchiveUnpacking::FolderAside(const CString& parent, const CString& component, const StagedOutputs& staged,
                                   CString& path, WorkFailure& failure) {
  const CString pattern = parent + L"/" + component + L"~????????";
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      CString step;
      step.Format(L"Поиск файлов в директории %s", parent.GetString());
      return Fail(failure, error, step);
    }
  } else {
    bool reused = false;
    do {
      const CString candidate = parent + L"/" + found.cFileName;
      if (found.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY && PathMatchSpecW(candidate, pattern) &&
          IsRealFolder(GetFileAttributesW(candidate))) {
        path = candidate;
        reused = true;
      }
    } while (!reused && FindNextFileW(search, &found));
    FindClose(search);
    if (reused) return true;
  }
  CString candidate;
  for (int attempt = 0; attempt < kConflictNameAttempts; ++attempt) {
    candidate = parent + L"/" + MakeConflictName(component);
    if (PathFileExistsW(candidate) || staged.Holds(candidate)) continue;
    int rc = MakeFolder(candidate);
    if (rc == ERROR_SUCCESS) {
      path = candidate;
      return true;
    }
    if (rc != ERROR_FILE_EXISTS && rc != ERROR_ALREADY_EXISTS) {
      CString step;
      step.Format(L"Создание каталога '%s'", pathOut_.GetString());
      return Fail(failure, static_cast<DWORD>(rc), step);
    }
  }
  CString step;
  step.Format(L"Создание файла %s", pathOut_.GetString());
  return Fail(failure, ERR_UNPACK_NAME_CLASH, step + kCounterText, kClashText);
}

bool ArchiveUnpacking::WriteFileEntry(const OpenEntry& entry, const CString& folder, const CString& fileName,
                                      StagedOutputs& staged, WorkFailure& failure) {
  CString out = folder + L"/" + fileName;
  CString step;
  // A name an earlier entry of the archive took counts as taken too.
  const bool folderMadeHere = madeHere_.count(std::wstring(folder.GetString())) != 0;
  auto taken = [&](const CString& path) {
    const std::wstring key(path.GetString());
    return staged.Holds(path) || settledFolders_.count(key) != 0 || madeHere_.count(key) != 0 ||
           (!folderMadeHere && PathFileExistsW(path));
  };
  if (taken(out)) {
    if (!renameConflicts_) {
      step.Format(L"Создание файла %s", out.GetString());
      return Fail(failure, ERROR_FILE_EXISTS, step);
    }
    bool free = false;
    for (int attempt = 0; attempt < kConflictNameAttempts && !free; ++attempt) {
      out = folder + L"/" + MakeConflictName(fileName);
      free = !taken(out);
    }
    if (!free) {
      step.Format(L"Создание файла %s", out.GetString());
      return Fail(failure, ERROR_FILE_EXISTS, step + kCounterText);
    }
  }
  // Created new: a link in the way is never written through.
  const CString temporary = staged.Stage(out, fileName, CString(), pathOut_);
  platform::FileHandle output(staged.CreateLastStaged());
  if (!output.valid()) {
    const DWORD error = GetLastError();
    step.Format(L"Создание файла %s", out.GetString());
    return Fail(failure, error, step);
  }
  ULONGLONG total = 0;
  EntryCrc crc;
  for (;;) {
    const int got = unzReadCurrentFile(entry.zip.get(), buffer_.get(), kArchiveChunkSize);
    if (got < 0) return FailReading(failure, COMPRESS_E_INFLATE);
    if (got == 0) break;
    if (!limit_->Write(static_cast<ULONGLONG>(got)))
      return Fail(failure, ERR_ARCHIVE_TOO_LARGE, CString(), CompressionErrorDescription(ERR_ARCHIVE_TOO_LARGE));
    DWORD done = 0;
    if (!WriteFile(output.get(), buffer_.get(), static_cast<DWORD>(got), &done, nullptr) ||
        done != static_cast<DWORD>(got)) {
      const DWORD error = GetLastError();
      step.Format(L"Запись файла %s (размер: %s)", out.GetString(), L"0");
      return Fail(failure, error, step);
    }
    total += static_cast<ULONGLONG>(got);
    crc.Add(buffer_.get(), static_cast<unsigned>(got));
  }
  // minizip checks the CRC only of an entry read to its declared end, and
  // never of one whose sizes are in its ZIP64 field.
  if (total != entry.info.uncompressed_size || !crc.Matches(entry.info))
    return FailReading(failure, COMPRESS_E_INFLATE);
  // Whole: it may be as readable as it is published.
  if (!staged.CloseLastStaged(output, permissions_)) {
    const DWORD error = GetLastError();
    step.Format(L"Запись файла %s (размер: %s)", out.GetString(), FileSizeText(temporary).GetString());
    return Fail(failure, error, step);
  }
  return true;
}

}  // namespace

DWORD UnpackArchives(const OperationCall& call) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  // The size is the claimed archive's: "0" until the claim.
  auto describe = [&rule](const PipelineFile& file, const CString&, const CString&) {
    CString text;
    text.Format(L"Распаковка файлов из архива '%s' (размер: %s) в каталог '%s'", file.source.GetString(),
                FileSizeText(file.claimed).GetString(), rule.pathOut.GetString());
    return text;
  };
  FileOperation operation;
  operation.describe = describe;
  // A claimed name is passed over without a record (claims of a process
  // that is gone were taken back when the rule first met its folder); the
  // outputs are the archive's entries, settled one by one as they come.
  operation.gates = {.skipTemporaryName = false,
                     .passOver = [](const PipelineFile& f) { return HasLastExtension(f.name, kClaimedExtension); },
                     .outputs = Gates::Outputs::kNone};
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    ArchiveUnpacking unpacking(rule, call.settings.renameConflicts);
    if (!unpacking.Run(file, failure)) {
      // Every file written from the archive goes before the archive moves
      // (FailFile), and so do the folders made for them.
      file.staged.Discard();
      unpacking.RemoveMadeFolders();
      // A failure is never taken for success: with no code of its own the
      // archive still goes to the error folder, never deleted.
      return failure.code != 0 ? failure.code : ERROR_GEN_FAILURE;
    }
    CString count;
    count.Format(L" (распаковано файлов: %d)", file.staged.Count());
    file.describe = [describe, count](const PipelineFile& done, const CString& in, const CString& out) {
      return describe(done, in, out) + count;
    };
    return 0;
  };
  return RunFileOperation(pipeline, call.files, operation);
}
