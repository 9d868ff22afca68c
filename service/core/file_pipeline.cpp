#include "service/core/file_pipeline.h"

#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/kill_points.h"
#include "platform/sync.h"
#include "platform/utf16.h"
#include "service/core/claim_records.h"
#include "service/core/conflict_names.h"
#include "service/core/error_folder.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"

namespace {

CString OpeningText(const CString& source, const CString& claimed) {
  CString text;
  text.Format(L"Открытие файла %s (размер: %s)", source.GetString(), FileSizeText(claimed).GetString());
  return text;
}

bool IsLink(const CString& path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when the name holds a byte that no character of the file-name
// encoding stands for.
bool HoldsStrayBytes(const CString& name) {
  for (int i = 0; i < name.GetLength(); ++i) {
    if (platform::FileNameByte(name[i]) >= 0) return true;
  }
  return false;
}

// Ends the record of a file that is left where it is for good.
constexpr const wchar_t* kLeftInInputText = L": файл не обрабатывается и остается во входном каталоге";

}  // namespace

// The names of files, quoted, one after another; of a large set (an
// archive's entries) the first few and how many there are, so that one
// record stays a line a reader and the monitor can take.
CString Quoted(const std::vector<CString>& names) {
  constexpr std::size_t kNamedAtMost = 20;
  CString text;
  for (std::size_t i = 0; i < names.size() && i < kNamedAtMost; ++i)
    text += (text.IsEmpty() ? L"'" : L", '") + names[i] + L"'";
  if (names.size() > kNamedAtMost) {
    CString count;
    count.Format(L", ... (файлов всего: %d)", static_cast<int>(names.size()));
    text += count;
  }
  return text;
}

// The description of a taken-back claim's record.
CString TakenBackText(const TakenBackClaim& taken) {
  CString text;
  if (taken.finished && !taken.movedTo.IsEmpty()) {
    if (taken.error != 0) return text;
    text.Format(L"Файл '%s' остался от прерванной обработки, результат которой уже опубликован (%s): файл перемещен "
                L"в '%s' и повторно не обрабатывается",
                taken.claimed.GetString(), Quoted(taken.published).GetString(), taken.movedTo.GetString());
    return text;
  }
  if (taken.finished) {
    if (taken.error != 0) return text;
    text.Format(L"Файл '%s' остался от прерванной обработки, результат которой уже опубликован (%s): файл удален "
                L"и повторно не обрабатывается",
                taken.claimed.GetString(), Quoted(taken.published).GetString());
    return text;
  }
  if (taken.error != 0) return text;
  CString withdrawn;
  if (!taken.withdrawn.empty())
    withdrawn.Format(L"; опубликованная часть результата (%s) удалена", Quoted(taken.withdrawn).GetString());
  if (taken.held)
    text.Format(L"Файл '%s' остался от прерванной обработки%s, и он будет обработан повторно",
                taken.claimed.GetString(), withdrawn.GetString());
  else if (taken.renamed)
    text.Format(L"Файл '%s' остался от прерванной обработки%s; его исходное имя '%s' занято, и он возвращен под "
                L"именем '%s' для повторной обработки",
                taken.claimed.GetString(), withdrawn.GetString(), taken.original.GetString(),
                taken.restored.GetString());
  else
    text.Format(L"Файл '%s' остался от прерванной обработки%s и возвращен под исходным именем '%s' для повторной "
                L"обработки",
                taken.claimed.GetString(), withdrawn.GetString(), taken.original.GetString());
  return text;
}


FilePipeline::FilePipeline(const CString& journalFolder, WorkerState& worker,
                           const CString& profileName, int ruleIndex, const RuleRecord& rule,
                           bool renameConflicts, RecordStyle style)
    : journalFolder_(journalFolder),
      journalFiles_(worker.journalFiles),
      writtenOnce_(worker.writtenOnce),
      stopEvent_(worker.stopEvent),
      profileName_(profileName),
      rule_(rule),
      renameConflicts_(renameConflicts),
      style_(style),
      rulePrefix_(MakeRulePrefix(RuleNumber(rule, ruleIndex), rule.description)) {
  TakeBackAbandonedClaimsOnce();
  RemoveAbandonedOutputs();
}

FilePipeline::~FilePipeline() { DeletePendingInputs(); }

FilePipeline::FilePipeline(const CString& journalFolder, const ProfileRecord& profile, WorkerState& worker,
                           const CString& profileName, int ruleIndex, RecordStyle style)
    : FilePipeline(journalFolder, worker, profileName, ruleIndex,
                   profile.rules.at(static_cast<size_t>(ruleIndex)), profile.renameConfFiles != 0, style) {}

bool FilePipeline::FirstTimeThisRun(DWORD code, const CString& path) {
  CString key;
  key.Format(L"%08X|%s", code, path.GetString());
  return writtenOnce_.insert(std::wstring(key.GetString())).second;
}

bool FilePipeline::StopPoll() const {
  return stopEvent_ != nullptr && WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0;
}

PipelineFile FilePipeline::Prepare(const CString& name, const CString& outputStem,
                                   const CString& appended, DescribeFile describe) {
  PipelineFile file;
  file.name = name;
  file.source = JoinPath(rule_.pathIn, name);
  file.claimed = file.source + L"." + kClaimedExtension;
  file.errorName = JoinPath(rule_.pathError, name);
  file.outputStem = outputStem;
  file.appended = appended;
  file.output = JoinPath(rule_.pathOut, outputStem + appended);
  file.describe = std::move(describe);
  if (style_ == RecordStyle::kOperationText) Describe(file);
  return file;
}

CString ClaimedSizeText(const PipelineFile& file, const CString& inputSize) {
  return file.claimedYet ? inputSize : FileSizeText(file.claimed);
}

void FilePipeline::Describe(PipelineFile& file, bool realOutputSize) const {
  // The input's size: the source's as it stands until the claim; once
  // claimed the input no longer changes, so its size is the one taken then.
  CString inputSize = !file.claimedYet                ? FileSizeText(file.source)
                      : file.claimedSize.IsEmpty() ? FileSizeText(file.claimed)
                                                     : file.claimedSize;
  CString outputSize = realOutputSize ? FileSizeText(file.output) : CString(L"0");
  file.operationText = rulePrefix_;
  if (file.describe) file.operationText += file.describe(file, inputSize, outputSize);
}

bool FilePipeline::Record(DWORD code, const CString& message, const CString& description,
                          const CString& extra, const CString& detail) {
  DWORD rc = WriteJournal(journalFolder_, journalFiles_, profileName_,
                          {.code = code, .message = message, .description = description, .step = extra,
                           .detail = detail});
  if (rc != 0) result_ = rc;
  return rc == 0;
}

CString FilePipeline::ClaimText(const CString& source, const CString& claimed) const {
  CString text;
  text.Format(L"Переименование файла '%s' (размер: %s) во временный формат '%s'", source.GetString(),
              FileSizeText(source).GetString(), claimed.GetString());
  return rulePrefix_ + text;
}

CString FilePipeline::StyleMessage(const PipelineFile& file) const {
  return style_ == RecordStyle::kOperationText ? file.operationText : ClaimText(file.source, file.claimed);
}

Admission FilePipeline::Admit(PipelineFile& file, const Gates& gates) {
  const auto claim = [&] {
    switch (gates.claim) {
      case Gates::Claim::kNone:
        return true;
      case Gates::Claim::kInput:
        return ClaimInputFile(file);
      case Gates::Claim::kHold:
        return HoldInputFile(file);
      case Gates::Claim::kPair:
        return ClaimPair(file, gates.pairExtension);
    }
    return false;
  };
  const auto outputs = [&] {
    switch (gates.outputs) {
      case Gates::Outputs::kNone:
        return true;
      case Gates::Outputs::kOne:
        return ResolveOutputConflict(file);
      case Gates::Outputs::kOwn:
        return gates.ownOutputs(file);
    }
    return false;
  };
  // Fatal() is asked only of a file that a step refused, as every step that
  // fails the journal or the mover refuses its file.
  const auto refused = [&] { return Fatal() ? Admission::kFatal : Admission::kSkip; };
  const auto passedOver = [&] { return gates.passOver && gates.passOver(file); };
  if (gates.passOverFirst && passedOver()) return Admission::kSkip;
  if (gates.skipTemporaryName && !SkipTemporaryName(file)) return refused();
  if (!gates.passOverFirst && passedOver()) return Admission::kSkip;
  if (gates.vanishedFileCheck && !VanishedFileCheck(file)) return refused();
  if (!claim()) return refused();
  if (gates.afterClaim) gates.afterClaim(file);
  if (gates.probe && !ProbeInputFile(file)) return refused();
  if (!outputs()) return refused();
  return Admission::kProceed;
}

bool FilePipeline::SkipTemporaryName(PipelineFile& file) {
  if (!HasLastExtension(file.name, kClaimedExtension)) return true;
  // Claims of this service left by a process that is gone were taken back
  // when the rule first met its folder; what is listed now is a live claim
  // (another instance at work) or a file of somebody else's that merely
  // ends so. Either is left alone.
  if (!FirstTimeThisRun(ERR_TEMPORARY_NAME_SKIPPED, file.source)) return false;
  CString description;
  description.Format(L"Файл '%s' с временным расширением %s был пропущен", file.source.GetString(),
                     kClaimedExtension);
  Record(ERR_TEMPORARY_NAME_SKIPPED, StyleMessage(file), description, CString());
  return false;
}

bool FilePipeline::SetAsideUnencodableNames(CStringArray& names) {
  CStringArray usable;
  for (const CString& name : names) {
    if (!HoldsStrayBytes(name)) {
      usable.Add(name);
      continue;
    }
    const CString source = JoinPath(rule_.pathIn, name);
    if (!FirstTimeThisRun(ERR_FILE_NAME_UNUSABLE, source)) continue;
    CString step;
    step.Format(L"Проверка файла '%s'", source.GetString());
    CString description;
    description.Format(L"Имя файла '%s' недопустимо в кодировке имен файлов", source.GetString());
    if (!Record(ERR_FILE_NAME_UNUSABLE, rulePrefix_ + step, description + kLeftInInputText, rulePrefix_ + step))
      return false;
  }
  names.Copy(usable);
  return true;
}

bool FilePipeline::VanishedFileCheck(PipelineFile& file) {
  if (PathFileExistsW(file.source)) return true;
  RecordVanished(file, file.source);
  return false;
}

void FilePipeline::RecordVanished(const PipelineFile& file, const CString& source) {
  CString description;
  description.Format(L"Файл '%s' был выбран для обработки но не был найден", source.GetString());
  Record(ERR_FILE_VANISHED, StyleMessage(file), description, CString());
}

void FilePipeline::RemoveAbandonedOutputs() {
  // The error folder too: a failed input is copied there under a temporary
  // name when it lies on another file system.
  for (const CString* folder : {&rule_.pathOut, &rule_.pathOut2, &rule_.pathError}) {
    if (folder->IsEmpty() || !FirstTimeThisRun(ERR_ABANDONED_OUTPUT_REMOVED, *folder)) continue;
    for (const CString& removed : RemoveAbandonedStagedOutputs(*folder)) {
      CString message, description;
      message.Format(folder == &rule_.pathError ? L"Проверка каталога ошибок '%s'" : L"Проверка выходного каталога '%s'",
                     folder->GetString());
      description.Format(L"Временный файл '%s' остался от прерванной обработки и удален", removed.GetString());
      if (!Record(ERR_ABANDONED_OUTPUT_REMOVED, rulePrefix_ + message, description, CString())) return;
    }
  }
}

void FilePipeline::TakeBackAbandonedClaimsOnce() {
  if (rule_.pathIn.IsEmpty() || !FirstTimeThisRun(ERR_CLAIM_TAKEN_BACK, rule_.pathIn)) return;
  CString message;
  message.Format(L"Проверка входного каталога '%s'", rule_.pathIn.GetString());
  message = rulePrefix_ + message;
  for (const TakenBackClaim& taken : TakeBackAbandonedClaims(rule_.pathIn)) {
    // A failure keeps the record: the next run tries again.
    CString step;
    if (taken.error != 0 && !taken.movedTo.IsEmpty())
      step = rulePrefix_ + FormatText(L"Перемещение файла '%s' в '%s'", taken.claimed, taken.movedTo);
    else if (taken.error != 0 && taken.finished)
      step = rulePrefix_ + FormatText(L"Удаление файла '%s'", taken.claimed);
    else if (taken.error != 0)
      step = rulePrefix_ + FormatText(L"Возврат файла '%s' под исходным именем '%s'", taken.claimed, taken.original);
    if (!Record(taken.error != 0 ? taken.error : ERR_CLAIM_TAKEN_BACK, message, TakenBackText(taken), step)) return;
  }
}

bool FilePipeline::RefuseLinkedInput(PipelineFile& file) {
  if (!IsLink(file.source)) return true;
  // The link itself goes to the error folder, the way a claimed file would.
  PipelineFile link = file;
  link.claimed = file.source;
  WorkFailure failure;
  failure.code = ERR_INPUT_IS_LINK;
  failure.stageText.Format(L"Проверка файла '%s'", file.source.GetString());
  failure.description.Format(L"Файл '%s' является символической ссылкой: файлы по ссылкам не обрабатываются",
                             file.source.GetString());
  FailFile(link, failure);
  file.errorName = link.errorName;
  return false;
}

// Takes the claim of source and renames it to claimed under that claim
// (claimed empty: the file keeps its name).
bool FilePipeline::TakeClaim(PipelineFile& file, const CString& source, const CString& claimed,
                             HeldClaim& claim) {
  HANDLE handle = platform::ClaimFile(source);
  DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (handle != INVALID_HANDLE_VALUE) {
    if (claimed.IsEmpty()) {
      claim = HeldClaim::Holding(handle, source);
      return true;
    }
    // Written down before the rename, so that a kill at any point after it
    // leaves a claim that is known for ours.
    claim = HeldClaim::Recorded(handle, claimed);
    if (MoveFileW(source, claimed)) return true;
    error = GetLastError();
    claim.Release();
  }
  // Another instance is taking this file right now: a passing state, which
  // a later cycle settles without a record. (A program that has it open in
  // a way that refuses the rename, a sharing violation, is recorded below.)
  if (error == ERROR_LOCK_VIOLATION) return false;
  // Gone since the listing: another instance has claimed it.
  if (error == ERROR_FILE_NOT_FOUND) {
    RecordVanished(file, source);
    return false;
  }
  CString description;
  if (error == ERROR_FILENAME_EXCED_RANGE && handle != INVALID_HANDLE_VALUE) {
    // The source itself could be opened: only its claimed name is too long.
    description.Format(L"Имя файла '%s' слишком длинное для временного имени '%s'", source.GetString(),
                       claimed.GetString());
    description += kLeftInInputText;
    RecordNotClaimed(file, ERR_FILE_NAME_UNUSABLE, source, claimed, description);
    return false;
  }
  RecordNotClaimed(file, error, source, claimed, description);
  return false;
}

void FilePipeline::RecordNotClaimed(PipelineFile& file, DWORD code, const CString& source, const CString& claimed,
                                    const CString& description) {
  // The same failure of the same file is recorded once per run: it would
  // otherwise give a record every cycle.
  if (!FirstTimeThisRun(code, source)) return;
  const CString claimText =
      claimed.IsEmpty() || claimed == source ? rulePrefix_ + OpeningText(source, source) : ClaimText(source, claimed);
  if (style_ == RecordStyle::kOperationText)
    Record(code, file.operationText, description, claimText);
  else
    Record(code, claimText, description, CString());
}

bool FilePipeline::ClaimInputFile(PipelineFile& file) {
  if (!RefuseLinkedInput(file)) return false;
  if (!TakeClaim(file, file.source, file.claimed, file.claim)) return false;
  file.claimedYet = true;
  file.claimedSize = FileSizeText(file.claimed);
  if (style_ == RecordStyle::kClaimTextUntilClaimed) Describe(file);
  return true;
}

bool FilePipeline::HoldInputFile(PipelineFile& file) {
  if (!RefuseLinkedInput(file)) return false;
  return TakeClaim(file, file.source, CString(), file.claim);
}

bool FilePipeline::ClaimPair(PipelineFile& file, const CString& dsigExt) {
  if (HasLastExtension(file.name, dsigExt)) {
    file.listedIsData = false;
    file.partnerName = file.name.Left(file.name.GetLength() - dsigExt.GetLength() - 1);
  } else {
    file.listedIsData = true;
    file.partnerName = file.name + L"." + dsigExt;
  }
  file.partnerSource = JoinPath(rule_.pathIn, file.partnerName);
  file.partnerClaimed = file.partnerSource + L"." + kClaimedExtension;
  file.partnerErrorName = JoinPath(rule_.pathError, file.partnerName);
  if (!PathFileExistsW(file.partnerSource)) return false;  // no pair yet: no record

  if (!ClaimInputFile(file)) return false;
  PipelineFile partner = file;
  partner.name = file.partnerName;
  partner.source = file.partnerSource;
  partner.errorName = file.partnerErrorName;
  if (!RefuseLinkedInput(partner) ||
      !TakeClaim(file, file.partnerSource, file.partnerClaimed, file.partnerClaim)) {
    // Give the listed file its name back, so that the pair is whole again
    // for the next cycle.
    GiveClaimBack(file);
    return false;
  }
  file.pair = true;
  if (style_ == RecordStyle::kClaimTextUntilClaimed) Describe(file);
  return true;
}

bool FilePipeline::RecordUnmoved(PipelineFile& file, DWORD code, const CString& stepText,
                                 const CString& description) {
  Record(code, file.staged.Shown(file.operationText), file.staged.Shown(description),
         stepText.IsEmpty() ? CString() : rulePrefix_ + file.staged.Shown(stepText));
  return false;
}

bool FilePipeline::FailStep(PipelineFile& file, DWORD code, const CString& stepText) {
  WorkFailure failure;
  failure.code = code;
  failure.stageText = stepText;
  FailFile(file, failure);
  return false;
}

// Gives the claimed file(s) their own names back and drops the claims: the
// file is taken again in a later cycle.
void FilePipeline::GiveClaimBack(PipelineFile& file) {
  if (file.pair && file.partnerClaim) MoveFileW(file.partnerClaimed, file.partnerSource);
  if (file.claimedYet) MoveFileW(file.claimed, file.source);
  file.claimedYet = false;
  file.claimedSize = CString();
  file.pair = false;
  file.claim.Release();
  file.partnerClaim.Release();
}

bool FilePipeline::ProbeOne(PipelineFile& file, const CString& source, const CString& claimed, HANDLE claim) {
  DWORD attributes = GetFileAttributesW(claimed);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    CString stays;
    stays.Format(L". Файл остается во входном каталоге под именем '%s'", claimed.GetString());
    return RecordUnmoved(file, error, OpeningText(source, claimed) + stays);
  }
  // Held open by anybody else (a producer still writing it, a reader, an
  // instance sizing it): a passing state, not a fault of the file. The claim
  // answers for every opener but itself, so the open below shares with it.
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SHARING_VIOLATION;
  if (claim == nullptr || !platform::ClaimedFileInUse(claim)) {
    const DWORD share = claim == nullptr ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    handle = CreateFileW(claimed, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) error = GetLastError();
  }
  if (handle == INVALID_HANDLE_VALUE && error == ERROR_SHARING_VIOLATION) {
    // No record: another instance sizing or claiming the same name holds it
    // for an instant, as a reader outside the layer holds it while it reads
    // (a producer still writing it refuses the claim's rename already).
    GiveClaimBack(file);
    return false;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    CString step = OpeningText(source, claimed);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) step += L". Файл доступен только для чтения";
    return FailStep(file, error, step);
  }
  CloseHandle(handle);
  return true;
}

bool FilePipeline::ProbeInputFile(PipelineFile& file) {
  if (!ProbeOne(file, file.source, file.claimed, file.claim.Handle())) return false;
  if (file.pair && !ProbeOne(file, file.partnerSource, file.partnerClaimed, file.partnerClaim.Handle())) return false;
  file.inputPermissions = platform::GetFilePermissions(file.claimed);
  return true;
}

bool FilePipeline::ResolveOutputConflict(PipelineFile& file) {
  const StemOutput output{file.appended, &file.output};
  if (!ResolveStemOutputs(file, rule_.pathOut, file.outputStem, {&output, 1})) return false;
  Describe(file);
  return true;
}

namespace {

bool AnyTaken(std::span<const StemOutput> outputs, const CString& folder, const CString* stem) {
  for (const StemOutput& output : outputs) {
    if (!output.used) continue;
    const CString path = stem != nullptr ? JoinPath(folder, *stem + output.suffix) : *output.path;
    if (PathFileExistsW(path)) return true;
  }
  return false;
}

// The output a refused conflict names: the first of the set, unless only
// companions named alone are taken; then the first of those that is.
const CString& RefusedOutput(std::span<const StemOutput> outputs) {
  for (const StemOutput& output : outputs) {
    if (output.used && !output.namedAlone && PathFileExistsW(*output.path)) return *outputs.front().path;
  }
  for (const StemOutput& output : outputs) {
    if (output.used && PathFileExistsW(*output.path)) return *output.path;
  }
  return *outputs.front().path;
}

}  // namespace

bool FilePipeline::ResolveStemOutputs(PipelineFile& file, const CString& folder, const CString& stem,
                                      std::span<const StemOutput> outputs) {
  if (outputs.empty()) return true;
  if (!AnyTaken(outputs, folder, nullptr)) {
    StageOutputs(file, stem, outputs);
    return true;
  }
  if (!renameConflicts_) return FailStep(file, ERROR_FILE_EXISTS, FormatText(kCreatingFileText, RefusedOutput(outputs)));
  CString marked;
  for (int attempt = 0; attempt < kConflictNameAttempts; ++attempt) {
    marked = MakeConflictName(stem);
    if (AnyTaken(outputs, folder, &marked)) continue;
    for (const StemOutput& output : outputs) {
      if (output.used) *output.path = JoinPath(folder, marked + output.suffix);
    }
    StageOutputs(file, stem, outputs);
    return true;
  }
  return FailStep(file, ERROR_FILE_EXISTS,
                  FormatText(kCreatingFileText, JoinPath(folder, marked + outputs.front().suffix)) +
                      kConflictCounterText);
}

void FilePipeline::StageOutputs(PipelineFile& file, const CString& stem, std::span<const StemOutput> outputs) {
  for (const StemOutput& output : outputs) {
    if (output.used && output.staged) *output.path = file.staged.Stage(*output.path, stem, output.suffix);
  }
}

void FilePipeline::LimitOutputPermissions(const PipelineFile& file) {
  DWORD input = platform::GetFilePermissions(file.claimed);
  // The input itself went to the output (CHCK, DCHK, HASH) and keeps its
  // bits there: what is published beside it, a report, gets the same.
  const bool inputMoved = input == 0xFFFFFFFF;
  if (inputMoved) input = file.inputPermissions;
  if (input == 0xFFFFFFFF) return;
  file.staged.LimitPermissions(input);
  if (inputMoved || file.output.IsEmpty()) return;
  const DWORD output = platform::GetFilePermissions(file.output);
  if (output != 0xFFFFFFFF && output != (input & 0777)) platform::SetFilePermissions(file.output, input & 0777);
}

DWORD FilePipeline::CompleteFile(PipelineFile& file, bool deleteClaimed) {
  LimitOutputPermissions(file);
  // A file that fails at publishing is recorded as any failed file is: with
  // its text as it stood before the success's.
  const CString failureText = file.operationText;
  Describe(file, true);  // the sizes of the outputs while they are staged
  // The claim records say what is published before it is: a kill between
  // the publishing and the deletion of the inputs then leaves a file that
  // the take-back finishes, never one done twice.
  bool begun = false;
  const PublishingNote note = [&](const std::vector<PublishedFile>& files) {
    for (const HeldClaim* claim : {&file.claim, &file.partnerClaim}) {
      if (!begun) claim->BeginPublishing();
      if (!claim->NotePublishing(files)) return false;
    }
    begun = true;
    return true;
  };
  CString taken;
  if (DWORD code = file.staged.Publish(renameConflicts_, taken, note)) {
    file.operationText = failureText;
    WorkFailure failure;
    failure.code = code;
    failure.stageText = FormatText(kCreatingFileText, taken);
    if (code == ERROR_FILE_EXISTS && renameConflicts_) failure.stageText += kConflictCounterText;
    return FailFile(file, failure);
  }
  if (deleteClaimed) {
    file.claim.NotePublished();
    file.partnerClaim.NotePublished();
  }
  platform::KillPoint("outputs-published");
  file.operationText = file.staged.Shown(file.operationText);
  if (!Record(0, file.operationText, CString(), CString())) return result_;
  if (deleteClaimed) DeleteClaimedLater(file);
  return 0;
}

namespace {

// The failure of moves that their claim records could not announce: none of
// them is made.
DWORD FailMovesUnnoted(const std::vector<PublishedFile>& moves, WorkFailure& failure) {
  const DWORD error = GetLastError();
  failure.code = error != 0 ? error : ERROR_WRITE_FAULT;
  if (moves.empty()) return failure.code;
  failure.stageText.Format(L"Перемещение файла '%s' (размер: %s) в '%s' (размер: %s)", moves.front().file.GetString(),
                           FileSizeText(moves.front().file).GetString(), moves.front().final.GetString(),
                           FileSizeText(moves.front().final).GetString());
  return failure.code;
}

}  // namespace

DWORD FilePipeline::PublishBeforeMovingInputs(PipelineFile& file, const std::vector<PublishedFile>& moves,
                                              WorkFailure& failure) {
  // The moved files are the user's own: noted as inputs, which a take-back
  // never withdraws.
  std::vector<PublishedFile> inputs = moves;
  for (PublishedFile& input : inputs) input.input = true;
  for (const HeldClaim* claim : {&file.claim, &file.partnerClaim}) {
    claim->BeginPublishing();
    if (!claim->NotePublishing(inputs)) return FailMovesUnnoted(moves, failure);
  }
  // Without the note that the last file follows the others, a take-back
  // after a kill between the moves would give that file back alone: no move
  // begins.
  if (!moves.empty() && !(moves.back().file == file.claimed ? file.claim : file.partnerClaim).NoteMovedLast())
    return FailMovesUnnoted(moves, failure);
  if (file.inputPermissions != 0xFFFFFFFF) file.staged.LimitPermissions(file.inputPermissions);
  const PublishingNote note = [&file](const std::vector<PublishedFile>& files) {
    return file.claim.NotePublishing(files) && file.partnerClaim.NotePublishing(files);
  };
  CString taken;
  const DWORD code = file.staged.Publish(renameConflicts_, taken, note);
  if (code == 0) return 0;
  failure.code = code;
  failure.stageText = FormatText(kCreatingFileText, taken);
  if (code == ERROR_FILE_EXISTS && renameConflicts_) failure.stageText += kConflictCounterText;
  return code;
}

void FilePipeline::ForgetPublishing(const PipelineFile& file) {
  for (const HeldClaim* claim : {&file.claim, &file.partnerClaim}) {
    claim->BeginPublishing();
    claim->NotePublishing({});
  }
}

void FilePipeline::DeleteClaimedLater(const PipelineFile& file) {
  PendingDeletion pending;
  pending.claimed.push_back(file.claimed);
  pending.claims.push_back(file.claim);
  if (file.pair) {
    pending.claimed.push_back(file.partnerClaimed);
    pending.claims.push_back(file.partnerClaim);
  }
  pending.outputFolders = file.staged.PublishedFolders();
  pending_.push_back(std::move(pending));
  if (pending_.size() >= kDeletionBatch) DeletePendingInputs();
}

bool OutputsOnDisk(const std::vector<CString>& outputFolders) {
  // One sync of each file system the outputs lie on (a sync of each output
  // and of its folder costs a journal commit each: ten times the time of
  // the file's own work for small files), and of the claim records' one,
  // where they lie on another: without their notes a take-back would do a
  // file again beside its output.
  std::set<ULONGLONG> devices;
  bool onDisk = true;
  const auto flush = [&](const CString& folder) {
    platform::FileIdentity identity;
    if (!platform::GetFileIdentityAt(folder, &identity) || devices.insert(identity.device).second)
      onDisk = platform::FlushFileSystemOf(folder) && onDisk;
  };
  for (const CString& folder : outputFolders) flush(folder);
  if (const CString records = ClaimRecordFolder(); !records.IsEmpty()) flush(records);
  return onDisk;
}

void FilePipeline::DeletePendingInputs() {
  if (pending_.empty()) return;
  // The outputs' data and the entries that name them on disk before their
  // inputs go, a power loss included.
  std::vector<CString> folders;
  for (const PendingDeletion& pending : pending_)
    folders.insert(folders.end(), pending.outputFolders.begin(), pending.outputFolders.end());
  if (!OutputsOnDisk(folders)) {
    // Not known to be on disk: the inputs and their records stay, and the
    // next run's take-back finishes the files.
    pending_.clear();
    return;
  }
  for (const PendingDeletion& pending : pending_) {
    // A leftover claimed file keeps its record, and the next run's
    // take-back finishes it: never lost, never done twice.
    for (const CString& claimed : pending.claimed) DeleteFileW(claimed);
  }
  pending_.clear();  // the claims and their records go
}

DWORD FilePipeline::FailFile(PipelineFile& file, const WorkFailure& workFailure) {
  // Nothing of a failed file stays under a temporary name, and its records
  // name the outputs as they would have been called.
  file.staged.Discard();
  WorkFailure failure = workFailure;
  for (CString* text : {&file.operationText, &failure.stageText, &failure.description, &failure.detail})
    *text = file.staged.Shown(*text);
  CString where;
  if (file.pair) {
    CString& dataError = file.listedIsData ? file.errorName : file.partnerErrorName;
    CString& signatureError = file.listedIsData ? file.partnerErrorName : file.errorName;
    const CString dataClaimed = file.DataClaimed();
    const CString signatureClaimed = file.SignatureClaimed();
    ErrorFolderMove data{.source = dataClaimed,
                         .target = dataError,
                         .partialOutput = failure.partialOutput,
                         .claim = file.listedIsData ? file.claim : file.partnerClaim};
    ErrorFolderMove signature{.source = signatureClaimed,
                              .target = signatureError,
                              .partialOutput = failure.partnerPartialOutput,
                              .claim = file.listedIsData ? file.partnerClaim : file.claim};
    DWORD rc = MovePairToErrorFolder(journalFolder_, journalFiles_, data, signature);
    dataError = data.target;
    signatureError = signature.target;
    const bool dataMoved = data.moved;
    const bool signatureMoved = signature.moved;
    if (rc != 0) {
      result_ = rc;
      return rc;
    }
    if (dataMoved && signatureMoved) {
      // The signature's name comes first, as in every record of a pair.
      where.Format(L". Файлы перемещены в каталог ошибок под именами %s ; %s", signatureError.GetString(),
                   dataError.GetString());
    } else {
      CString text;
      if (dataMoved)
        text.Format(L". Файл перемещен в каталог ошибок под именем %s", dataError.GetString());
      else
        text.Format(L". Файл остается во входном каталоге под именем '%s'", dataClaimed.GetString());
      where = text;
      text.Format(L". Файл остается во входном каталоге под именем '%s'", signatureClaimed.GetString());
      where += text;
    }
  } else {
    bool moved = false;
    DWORD rc = MoveToErrorFolder(journalFolder_, journalFiles_, file.claimed, file.errorName,
                                 failure.partialOutput, &moved, file.claim);
    if (rc != 0) {
      result_ = rc;
      return rc;
    }
    // A file the mover could not move is still claimed in the input folder;
    // the record says so rather than naming an error-folder file that does
    // not exist.
    if (moved)
      where.Format(L". Файл перемещен в каталог ошибок под именем %s", file.errorName.GetString());
    else
      where.Format(L". Файл остается во входном каталоге под именем '%s'", file.claimed.GetString());
  }
  Record(failure.code, file.operationText + where, failure.description,
         failure.withoutStageText ? CString() : rulePrefix_ + failure.stageText, failure.detail);
  return result_;
}

TemporaryWorkFile::~TemporaryWorkFile() {
  claim_.Release();
  Delete();
  if (!reserved_.IsEmpty()) DeleteFileW(reserved_);
}

void TemporaryWorkFile::Delete() {
  if (path_.IsEmpty()) return;
  // What was written into it may have made it read-only (an unpacked
  // entry keeps its attributes): it goes all the same.
  if (!DeleteFileW(path_) && SetFileAttributesW(path_, FILE_ATTRIBUTE_NORMAL)) DeleteFileW(path_);
  path_.Empty();
}

void RemoveAbandonedScratchFiles() {
  std::vector<wchar_t> folder(MAX_PATH, L'\0');
  DWORD length = GetTempPathW(MAX_PATH, folder.data());
  if (length == 0 || length >= MAX_PATH) return;
  CStringArray names;
  const CString path(folder.data());
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(path + L"~xx*", &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_DEVICE)) == 0)
      names.Add(CString(entry.cFileName));
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  const CString suffix = L".tmp";
  const CString writerSuffix = L".out.tmp";
  const auto endsWith = [](const CString& name, const CString& end) {
    return name.GetLength() > end.GetLength() && name.Right(end.GetLength()) == end;
  };
  for (const CString& name : names) {
    // A work file that the library wrote beside a scratch file (the scratch
    // file's name, ".~" and hex digits) goes with that file.
    CString owner = name;
    LibraryWorkFileOwner(name, owner);
    if (!endsWith(owner, suffix)) continue;
    // A live process holds the claim of each of its scratch files; a file
    // made for a writer goes with the reservation it was named after.
    const CString reservation =
        endsWith(owner, writerSuffix) ? owner.Left(owner.GetLength() - writerSuffix.GetLength()) + suffix : owner;
    HeldClaim taken;
    if (WriterIsGone(path + reservation, taken)) DeleteFileW(path + name);
  }
}

DWORD TemporaryWorkFile::CreateForWriter(WorkFailure& failure) {
  if (DWORD code = Create(failure)) return code;
  reserved_ = path_;
  path_ = reserved_.Left(reserved_.GetLength() - 4) + L".out.tmp";
  return 0;
}

DWORD TemporaryWorkFile::Create(WorkFailure& failure) {
  std::vector<wchar_t> folder(MAX_PATH, L'\0');
  DWORD length = GetTempPathW(MAX_PATH, folder.data());
  if (length == 0 || length >= MAX_PATH) {
    failure.code = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    failure.stageText = L"Определение директории для временных файлов";
    return failure.code;
  }
  std::vector<wchar_t> name(MAX_PATH + 1, L'\0');
  if (GetTempFileNameW(folder.data(), L"~xx", 0, name.data()) == 0) {
    failure.code = GetLastError();
    failure.stageText.Format(L"Генерация имени для временного файла в каталоге '%s'", folder.data());
    return failure.code;
  }
  path_ = name.data();
  HANDLE claim = platform::ClaimFile(path_);
  claim_ = HeldClaim(claim);
  return 0;
}

DWORD RunFileOperation(FilePipeline& pipeline, const CStringArray& names, const FileOperation& operation) {
  // Fails the file; true when the operation goes on with the next name.
  const auto fail = [&pipeline](PipelineFile& file, WorkFailure& failure, DWORD rc, DWORD& result) {
    if (failure.code == 0) failure.code = rc;
    result = pipeline.FailFile(file, failure);
    return result == 0 && !failure.endsOperation;
  };
  for (const CString& name : names) {
    if (pipeline.StopPoll()) return 0;
    if (operation.startFile) operation.startFile(name);
    CString stem = operation.outputStem ? operation.outputStem(name) : name;
    const CString appended = operation.appendedFor ? operation.appendedFor(name) : operation.appended;
    PipelineFile file = pipeline.Prepare(name, stem, appended, operation.describe);
    DWORD result = 0;
    if (operation.afterPrepare) {
      WorkFailure failure;
      if (DWORD rc = operation.afterPrepare(file, failure)) {
        if (fail(file, failure, rc, result)) continue;
        return result;
      }
    }
    const Admission admission = pipeline.Admit(file, operation.gates);
    if (admission == Admission::kFatal) return pipeline.Result();
    if (admission == Admission::kSkip) continue;
    if (operation.ownWork) {
      if (!operation.ownWork(file)) return pipeline.Result();
      continue;
    }
    WorkFailure failure;
    if (DWORD rc = operation.work(file, failure)) {
      if (fail(file, failure, rc, result)) continue;
      return result;
    }
    if (DWORD fatal = pipeline.CompleteFile(file, operation.deleteInputOnSuccess)) return fatal;
  }
  return 0;
}
