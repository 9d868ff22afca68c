// PACK: the listed files of a rule gathered into one ZIP archive in "Path
// Out", once enough of them are there, or once they have waited long enough.
// An archive is either written whole, and then its inputs are deleted, or
// deleted itself, and then every input it had taken gets its name back (the
// one file that broke it goes to the error folder).

// Before minizip's headers, whose ZIP_OK macro would otherwise rename this
// library's constant of that name.
#include "service/zip/zip_result.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/kill_points.h"
#include "service/core/conflict_names.h"
#include "service/core/file_pipeline.h"
#include "service/core/gzip_glue.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/staged_outputs.h"
#include "service/operations/minizip_files.h"
#include "service/operations/name_templates.h"
#include "service/operations/operations.h"

namespace {

// One minute in the 100-ns units of FILETIME.
constexpr std::int64_t kMinuteTicks = 600000000;
// The end-of-central-directory record that closes every archive.
constexpr ULONGLONG kEndRecordBytes = 22;
constexpr const wchar_t* kCounterText = L".\r\nСчетчик попыток переименования конфликтного файла достиг 100";

CString PackMessage(int count, const CString& pathIn, const CString& archive) {
  CString text;
  text.Format(L"Упаковка '%d' файлов из каталога '%s' в архив '%s' (размер: %s)", count, pathIn.GetString(),
              archive.GetString(), L"0");
  return text;
}

std::int64_t LocalNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  FILETIME now{};
  SystemTimeToFileTime(&local, &now);
  return static_cast<std::int64_t>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// How many listed names the count and the waiting time let into an archive
// now (0: none this cycle). Stores the start of a wait in waitStart.
int GateCount(const PackTriggers& triggers, int listed, std::int64_t& waitStart) {
  const int wanted = triggers.fileCount.value_or(listed);
  if (wanted <= listed) return wanted;
  if (!triggers.waitMinutes) return 0;
  const std::int64_t now = LocalNow();
  if (waitStart == 0) {
    waitStart = now;
    return 0;
  }
  const std::int64_t deadline = waitStart + static_cast<std::int64_t>(*triggers.waitMinutes) * kMinuteTicks;
  if (deadline > now) return 0;
  waitStart = now;
  return listed;
}

// "ArchSize": drops the claimed names and the files above the limit from the
// list (they stay where they are, unrecorded), then counts the names from the
// first whose sizes reach past the limit, the one that passes it included.
int SizeLimitCount(const RuleRecord& rule, ULONGLONG limit, CStringArray& names) {
  std::vector<ULONGLONG> sizes(static_cast<size_t>(names.GetCount()));
  for (int i = names.GetCount() - 1; i >= 0; --i) {
    if (HasLastExtension(names[i], kClaimedExtension)) {
      names.RemoveAt(i);
      sizes.erase(sizes.begin() + i);
      continue;
    }
    sizes[static_cast<size_t>(i)] = FileSizeOf(JoinPath(rule.pathIn, names[i]));
    if (sizes[static_cast<size_t>(i)] > limit) {
      names.RemoveAt(i);
      sizes.erase(sizes.begin() + i);
    }
  }
  ULONGLONG sum = 0;
  int count = 0;
  for (ULONGLONG size : sizes) {
    sum += size;
    ++count;
    if (sum > limit) break;
  }
  return count;
}

// How many of the first n names an archive without ZIP64 records can hold:
// at most 65535 entries, and their worst-case sizes below 4 GiB - 1 bytes. A
// first file too large on its own is let in; packing refuses it.
int CountWithoutZip64(const RuleRecord& rule, const CStringArray& names, int n) {
  ULONGLONG total = kEndRecordBytes;
  const int most = std::min<int>(n, static_cast<int>(kZipMaxEntries));
  for (int i = 0; i < most; ++i) {
    total += ZipEntryWorstCase(FileSizeOf(JoinPath(rule.pathIn, names[i])), OemEntryName(names[i]).size());
    if (total > kZipMaxBytes) return std::max(i, 1);
  }
  return most;
}

// The archive of one call, written under a temporary name in "Path Out" and
// given its name only when finished, so that a crash never leaves a partial
// archive under an archive's name. Until Complete, leaving it (a stop, a
// fatal journal result, a broken archive) deletes the archive and gives
// every input it took its name back.
class ArchiveInProgress {
 public:
  enum class Added { kPacked, kFailed, kWaits, kBroken };

  explicit ArchiveInProgress(const CString& path) : path_(path) {}
  ~ArchiveInProgress() {
    if (!completed_) Abandon();
  }
  ArchiveInProgress(const ArchiveInProgress&) = delete;
  ArchiveInProgress& operator=(const ArchiveInProgress&) = delete;

  // A new archive (never one that exists); false when it cannot be made.
  bool Create();
  // Adds the claimed file as one entry. kFailed: the file alone failed and
  // the archive goes on; kBroken: the archive cannot be finished; kWaits: the
  // file no longer fits and has its name back. failure is filled for
  // kFailed and kBroken.
  Added Add(const PipelineFile& file, WorkFailure& failure);
  // Completes the archive; false (the archive then abandoned) when its end
  // cannot be written.
  bool Finish();
  // Gives the finished archive the name path (or, when it is taken
  // meanwhile, the one nextName gives: PublishWithConflictNames), never
  // replacing. 0, or the error with path the last name tried; the archive
  // then stays under its temporary name until Abandon. Each packed input's
  // claim record names the archive before each name is tried: a kill once
  // it is published leaves inputs that the next run's take-back deletes,
  // never packs again.
  DWORD Publish(CString& path, bool renameConflicts, const std::function<DWORD(CString& next)>& nextName);
  // Deletes the archive and gives the packed inputs their names back.
  void Abandon();
  // The archive is kept: deletes the packed inputs once it is on disk.
  void Complete();

 private:
  CString path_;
  StagedFile staged_;
  std::optional<ZipWriter> zip_;
  ULONGLONG used_ = kEndRecordBytes;
  std::vector<PipelineFile> packed_;
  // What a new file gets, less what any packed file lacks: the archive is
  // never more readable than one of its inputs.
  DWORD permissions_ = platform::DefaultFilePermissions();
  bool created_ = false;
  bool completed_ = false;
};

bool ArchiveInProgress::Create() {
  zlib_filefunc64_def functions;
  FillLayerFileFunctions(&functions);
  staged_.Stage(path_, FolderOf(path_));
  const std::string path = platform::WideToMultiByte(staged_.Path().str(), CP_ACP);
  zip_.emplace(zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions));
  created_ = zip_->get() != nullptr;
  return created_;
}

ArchiveInProgress::Added ArchiveInProgress::Add(const PipelineFile& file, WorkFailure& failure) {
  auto fail = [&failure](Added kind, DWORD code, const CString& step, const CString& description = CString()) {
    failure.code = code == 0 ? ERROR_GEN_FAILURE : code;  // never a success code for a failure
    failure.stageText = step;
    failure.description = description;
    return kind;
  };
  auto archiving = [&file, this]() {
    CString step;
    step.Format(L"Архивация файла '%s' (размер: %s) с записью в файл '%s' (размер: %s)", file.source.GetString(),
                FileSizeText(file.claimed).GetString(), path_.GetString(), FileSizeText(staged_.Path()).GetString());
    return step;
  };
  CString step;
  platform::FileHandle input(CreateFileW(file.claimed, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!input.valid()) {
    const DWORD error = GetLastError();
    step.Format(L"Открытие файла %s (размер: %s)", file.source.GetString(), FileSizeText(file.claimed).GetString());
    return fail(Added::kFailed, error, step);
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(input.get(), &size)) {
    const DWORD error = GetLastError();
    step.Format(L"Определение размера файла %s", file.source.GetString());
    return fail(Added::kFailed, error, step);
  }
  auto buffer = AllocateArchiveChunk();
  if (!buffer) return fail(Added::kFailed, ERROR_NOT_ENOUGH_MEMORY, L"Выделение памяти");
  FILETIME lastWrite{};
  zip_fileinfo info{};
  if (!GetFileTime(input.get(), nullptr, nullptr, &lastWrite) || !ZipEntryDate(lastWrite, info)) {
    const DWORD error = GetLastError();
    step.Format(L"Получение времени создания файла '%s' (размер: %s)", file.source.GetString(),
                FileSizeText(file.claimed).GetString());
    return fail(Added::kFailed, error, step);
  }

  // Without ZIP64 records an archive past 4 GiB would be corrupt, and its
  // inputs deleted: a file that cannot fit any archive is refused whole, one
  // that has grown past what is left of this one waits for the next.
  const std::string name = OemEntryName(file.name);
  const ULONGLONG total = static_cast<ULONGLONG>(size.QuadPart);
  const ULONGLONG worst = ZipEntryWorstCase(total, name.size());
  if (kEndRecordBytes + worst > kZipMaxBytes)
    return fail(Added::kFailed, ZIP_E_TOO_LARGE, archiving(), ZipTooLargeDescription());
  if (used_ + worst > kZipMaxBytes) {
    input.Close();
    MoveFileW(file.claimed, file.source);  // a name taken meanwhile leaves the claimed file, passed over later
    return Added::kWaits;
  }

  const CString writeFailed = CompressionErrorDescription(COMPRESS_E_WRITE_PACKED);
  if (zipOpenNewFileInZip3_64(zip_->get(), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0,
                              -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0) != ZIP_OK)
    return fail(Added::kBroken, COMPRESS_E_WRITE_PACKED, archiving(), writeFailed);
  for (ULONGLONG done = 0; done < total;) {
    const DWORD piece = static_cast<DWORD>(std::min<ULONGLONG>(kArchiveChunkSize, total - done));
    if (!ReadArchiveChunk(input.get(), buffer.get(), piece)) {
      const DWORD error = GetLastError() != 0 ? GetLastError() : ERROR_HANDLE_EOF;  // a short read
      step.Format(L"Чтение файла %s (размер: %s)", file.source.GetString(), FileSizeText(file.claimed).GetString());
      return fail(Added::kBroken, error, step);
    }
    if (zipWriteInFileInZip(zip_->get(), buffer.get(), piece) != ZIP_OK)
      return fail(Added::kBroken, COMPRESS_E_WRITE_PACKED, archiving(), writeFailed);
    done += piece;
  }
  input.Close();
  if (zipCloseFileInZip(zip_->get()) != ZIP_OK)
    return fail(Added::kBroken, COMPRESS_E_WRITE_PACKED, archiving(), writeFailed);
  used_ += worst;
  const DWORD permissions = platform::GetFilePermissions(file.claimed);
  if (permissions != 0xFFFFFFFF) permissions_ &= permissions;
  packed_.push_back(file);
  return Added::kPacked;
}

bool ArchiveInProgress::Finish() {
  if (zip_->Close() == ZIP_OK) return true;
  Abandon();
  return false;
}

DWORD ArchiveInProgress::Publish(CString& path, bool renameConflicts,
                                  const std::function<DWORD(CString& next)>& nextName) {
  staged_.SetPermissions(permissions_);
  bool begun = false;
  const PublishingNote note = [&](const std::vector<PublishedFile>& files) {
    for (const PipelineFile& file : packed_) {
      if (!begun) file.claim.BeginPublishing();
      if (!file.claim.NotePublishing(files)) return false;
    }
    begun = true;
    return true;
  };
  return PublishWithConflictNames(staged_, path, renameConflicts, nextName, note);
}

void ArchiveInProgress::Abandon() {
  if (zip_) zip_->Close();
  if (created_) staged_.Discard();
  created_ = false;
  // Non-replacing: a name taken meanwhile leaves the claimed file, which is
  // passed over later and never lost.
  for (const PipelineFile& file : packed_) MoveFileW(file.claimed, file.source);
  packed_.clear();
}

void ArchiveInProgress::Complete() {
  completed_ = true;
  for (const PipelineFile& file : packed_) file.claim.NotePublished();
  platform::KillPoint("outputs-published");
  // The archive on disk before its inputs go, as every other operation's
  // outputs are; when that is not known, the inputs stay claimed and the
  // next run's take-back deletes them beside the archive.
  if (!OutputsOnDisk({FolderOf(path_)})) return;
  for (const PipelineFile& file : packed_) DeleteFileW(file.claimed);
}

}  // namespace

DWORD PackFiles(const OperationCall& call, const PackingArguments& arguments) {
  if (call.files.GetCount() == 0) return 0;
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  auto record = [&](DWORD code, const CString& message, const CString& description, const CString& step) {
    return WriteJournal(call.journalFolder, call.worker.journalFiles, call.profileName,
                        {.code = code, .message = message, .description = description, .step = step});
  };

  CString name;
  ExpandPackName(rule.archName, name);
  const CString extension = arguments.archExt.IsEmpty() ? CString() : L"." + arguments.archExt;
  const CString built = JoinPath(rule.pathOut, name + extension);

  CStringArray names(call.files);
  std::int64_t unused = 0;
  const PackTriggers& triggers = call.settings.pack;
  int n = GateCount(triggers, names.GetCount(), arguments.waitStart != nullptr ? *arguments.waitStart : unused);
  if (n > 0 && triggers.sizeLimit) n = std::min(n, SizeLimitCount(rule, *triggers.sizeLimit, names));
  if (n > 0) n = CountWithoutZip64(rule, names, n);
  if (n == 0) return 0;

  const CString message = PackMessage(n, rule.pathIn, built);
  const CString operationText = pipeline.RulePrefix() + message;
  CString archive = built;
  if (PathFileExistsW(archive)) {
    CString step;
    if (!call.settings.renameConflicts) {
      step.Format(L"Создание файла %s", archive.GetString());
      return record(ERROR_FILE_EXISTS, operationText, CString(), pipeline.RulePrefix() + step);
    }
    bool free = false;
    for (int attempt = 0; attempt < kConflictNameAttempts && !free; ++attempt) {
      archive = JoinPath(rule.pathOut, name + MakeConflictName(CString()) + extension);
      free = !PathFileExistsW(archive);
    }
    if (!free) {
      step.Format(L"Создание файла %s", archive.GetString());
      return record(ERROR_FILE_EXISTS, operationText, CString(), pipeline.RulePrefix() + step + kCounterText);
    }
  }

  ArchiveInProgress packing(archive);
  if (!packing.Create())
    return record(COMPRESS_E_CREATE_PACKED, operationText, CompressionErrorDescription(COMPRESS_E_CREATE_PACKED),
                  CString());
  auto describe = [message](const PipelineFile&, const CString&, const CString&) { return message; };
  // Files packed or failed (moved to the error folder) in this call: an
  // archive is made once one is, however many fail. Names only passed over
  // or given back (claimed elsewhere, still being written) make none: they
  // would make an empty archive in every cycle.
  bool taken = false;
  // Not the one per-file loop: the files are gathered into one archive that
  // is finished, published or abandoned as a whole after the last of them,
  // so no file is completed on its own, a broken archive ends the batch,
  // and a stop leaves the archive unfinished.
  for (int i = 0; i < n; ++i) {
    if (pipeline.StopPoll()) return 0;
    PipelineFile file = pipeline.Prepare(names[i], names[i], CString(), describe);
    const Admission admission = pipeline.Admit(file, {.outputs = Gates::Outputs::kNone});
    if (admission == Admission::kFatal) return pipeline.Result();
    if (admission == Admission::kSkip) {
      // Only the probe refuses a file that is claimed by then.
      taken |= file.claimedYet && !PathFileExistsW(file.claimed);  // refused and moved
      continue;
    }
    WorkFailure failure;
    switch (packing.Add(file, failure)) {
      case ArchiveInProgress::Added::kPacked:
        taken = true;
        continue;
      case ArchiveInProgress::Added::kWaits:
        continue;
      case ArchiveInProgress::Added::kFailed:
        taken = true;
        if (DWORD fatal = pipeline.FailFile(file, failure)) return fatal;
        continue;
      case ArchiveInProgress::Added::kBroken:
        // The archive goes, and the others' names come back, before this
        // file moves: the record then tells the whole outcome.
        packing.Abandon();
        return pipeline.FailFile(file, failure);
    }
  }
  // The archive and its record are the call's result whatever became of
  // each file taken, even when none was packed: each file that failed has
  // its own record, and the count is that of the names taken up.
  if (!taken) return 0;
  if (!packing.Finish()) {
    CString step;
    step.Format(L"Запись файла %s (размер: %s)", archive.GetString(), FileSizeText(archive).GetString());
    return record(COMPRESS_E_WRITE_PACKED, operationText, CompressionErrorDescription(COMPRESS_E_WRITE_PACKED),
                  pipeline.RulePrefix() + step);
  }
  // A name taken while the archive was written goes through the conflict
  // rules as a name taken before.
  if (DWORD code = packing.Publish(archive, call.settings.renameConflicts, [&](CString& next) {
        next = JoinPath(rule.pathOut, name + MakeConflictName(CString()) + extension);
        return DWORD{0};
      })) {
    packing.Abandon();
    CString step;
    step.Format(L"Создание файла %s", archive.GetString());
    if (code == ERROR_FILE_EXISTS && call.settings.renameConflicts) step += kCounterText;
    return record(code, operationText, CString(), pipeline.RulePrefix() + step);
  }
  packing.Complete();
  return record(0, pipeline.RulePrefix() + PackMessage(n, rule.pathIn, archive), CString(), CString());
}
