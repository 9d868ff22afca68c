// MOVE: every listed file is moved to "Path Out" (in dated subfolders when
// "Folders" asks for them), with its extension changed by "DelExt" and
// "AddExt", and optionally copied first to "Path Out 2" (in "Copyfolders").
// The file is held under its own name (never renamed) and not probed; the
// move and its copy meet their conflicts together, under one name.

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/kill_points.h"
#include "service/core/conflict_names.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/staged_outputs.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/name_templates.h"
#include "service/operations/operations.h"

namespace {

const wchar_t* const kMoveText = L"Перемещение файла '%s' (размер: %s) в '%s' (размер: %s)";
const wchar_t* const kMoveAndCopyText =
    L"Перемещение файла '%s' (размер: %s) в '%s' (размер: %s) и копирование в '%s' (размер: %s)";

// The names of one file on its way.
struct MoveTargets {
  CString sizeText;    // the source's size, taken once
  CString folder;      // "Path Out" and its subfolders
  CString copyFolder;  // "Path Out 2" and its subfolders; empty: no copy
  CString target;
  CString copyTarget;
  bool moved = false;  // the success record shows the real sizes
};

CString OutputName(const CString& name, const RuleRecord& rule) {
  CString out = name;
  if (!rule.delExt.IsEmpty() && HasLastExtension(out, rule.delExt)) out = WithoutLastExtension(out);
  if (!rule.addExt.IsEmpty()) out += L"." + rule.addExt;
  return out;
}

// Creates base and the subfolders of the template under it; folder receives
// the path. A folder (or file) already there is no failure.
DWORD MakeSubfolders(const CString& base, const CString& folderTemplate, CString& folder, WorkFailure& failure) {
  folder = base;
  if (folderTemplate.IsEmpty()) return 0;
  CStringArray components;
  ExpandDateTemplates(folderTemplate, components);
  for (const CString& component : components) folder = JoinPath(folder, component);
  const int rc = SHCreateDirectoryExW(nullptr, folder, nullptr);
  if (rc == ERROR_SUCCESS || rc == static_cast<int>(ERROR_FILE_EXISTS) ||
      rc == static_cast<int>(ERROR_ALREADY_EXISTS)) {
    return 0;
  }
  return OwnFailure(failure, static_cast<DWORD>(rc), FormatText(L"Создание каталога '%s'", folder));
}

// The output folders, held for the rest of the call once they exist: those
// that were missing at the worker's folder check (MOVE makes them) are held
// from here on as the check holds those that exist, so that no move goes
// through a link put in their place. A folder reached through a link that
// another user could have made fails the file; one still missing fails it
// with the move's own error, and is held once a later file made it.
struct HeldOutputs {
  platform::HeldFolders folders;
  bool out = false;
  bool copy = false;
};
DWORD HoldOutputFolders(const RuleRecord& rule, HeldOutputs& held, WorkFailure& failure) {
  for (const CString* folder : {&rule.pathOut, &rule.pathOut2}) {
    bool& done = folder == &rule.pathOut ? held.out : held.copy;
    if (done || folder->IsEmpty()) continue;
    const DWORD code = held.folders.Hold(*folder);
    done = code == 0;
    if (code != ERROR_CANT_RESOLVE_FILENAME) continue;
    const wchar_t* step =
        folder == &rule.pathOut ? L"Проверка выходного каталога '%s'" : L"Проверка доп. выходного каталога '%s'";
    return OwnFailure(failure, code, FormatText(step, *folder));
  }
  return 0;
}

bool Taken(const MoveTargets& targets) {
  return PathFileExistsW(targets.target) || (!targets.copyFolder.IsEmpty() && PathFileExistsW(targets.copyTarget));
}

void NameTargets(MoveTargets& targets, const CString& outputName) {
  targets.target = JoinPath(targets.folder, outputName);
  if (!targets.copyFolder.IsEmpty()) targets.copyTarget = JoinPath(targets.copyFolder, outputName);
}

// Settles one name under which neither the target nor the copy target exists.
DWORD ResolveConflicts(const PipelineFile& file, bool renameConflicts, MoveTargets& targets, WorkFailure& failure) {
  if (!Taken(targets)) return 0;
  auto failed = [&](const wchar_t* tail) {
    CString step = FormatText(kMoveText, file.source, targets.sizeText, targets.target, FileSizeText(targets.target));
    return OwnFailure(failure, ERROR_FILE_EXISTS, step + tail);
  };
  if (!renameConflicts) return failed(L"");
  for (int attempt = 0; attempt < kConflictNameAttempts; ++attempt) {
    NameTargets(targets, MakeConflictName(file.outputStem));
    if (!Taken(targets)) return 0;
  }
  return failed(kConflictCounterText);
}

// The copy is written under a temporary name and published, never
// replacing, before the move; a move across file systems is written the
// same way. Neither leaves a partial file under its name. The copy and the
// move are one set in the claim record: a kill between them leaves the copy
// to be withdrawn by the next run's take-back, and the file is moved again
// as a whole, never copied twice.
DWORD CopyAndMove(const PipelineFile& file, const RuleRecord& rule, const MoveTargets& targets,
                  WorkFailure& failure) {
  const bool copies = !targets.copyFolder.IsEmpty();
  if (copies) {
    StagedFile copy;
    copy.Stage(targets.copyTarget, rule.pathOut2);
    DWORD error = CopyFileW(file.source, copy.Path(), TRUE) ? 0 : GetLastError();
    if (error == 0) {
      platform::FlushFileData(copy.Path());
      file.claim.BeginPublishing();
      if (!file.claim.NotePublishing({{copy.Path(), targets.copyTarget}, {file.source, targets.target}}))
        error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
      else
        error = copy.Publish(targets.copyTarget);
    }
    if (error == 0) {
      // On disk before the input leaves its folder.
      platform::FlushFolder(FolderOf(targets.copyTarget));
      platform::KillPoint("copy-published");
    }
    if (error != 0)
      return OwnFailure(failure, error,
                        FormatText(L"Копирование файла '%s' (размер: %s) в '%s' (размер: %s)", file.source,
                                   targets.sizeText, targets.copyTarget, FileSizeText(targets.copyTarget)));
  }
  if (!MoveFileStaged(file.source, targets.target, rule.pathOut, file.claim, !copies)) {
    const DWORD error = GetLastError();
    // A copy without its moved original must not stay behind.
    if (copies) failure.partialOutput = targets.copyTarget;
    return OwnFailure(failure, error, CString());
  }
  return 0;
}

// A name taken after the conflicts were settled (by another program, in
// the meantime) goes through the conflict rules again: both names get a
// new mark when the profile allows renaming.
DWORD CopyAndMoveResolving(const PipelineFile& file, const RuleRecord& rule, bool renameConflicts,
                           MoveTargets& targets, WorkFailure& failure) {
  for (int attempt = 0;; ++attempt) {
    const DWORD code = CopyAndMove(file, rule, targets, failure);
    if (code == 0 || !IsNameTakenError(code) || !renameConflicts) return code;
    if (attempt == kConflictNameAttempts) {
      failure.stageText += kConflictCounterText;
      return code;
    }
    if (!failure.partialOutput.IsEmpty()) DeleteFileW(failure.partialOutput);
    failure = WorkFailure();
    NameTargets(targets, MakeConflictName(file.outputStem));
  }
}

}  // namespace

DWORD MoveFiles(const OperationCall& call) {
  HeldOutputs held;
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  const bool copies = !rule.pathOut2.IsEmpty();
  MoveTargets targets;
  DescribeFile describe = [&](const PipelineFile& file, const CString&, const CString&) {
    const CString targetSize = targets.moved ? FileSizeText(targets.target) : CString(L"0");
    if (!copies) return FormatText(kMoveText, file.source, targets.sizeText, targets.target, targetSize);
    const CString copySize = targets.moved ? FileSizeText(targets.copyTarget) : CString(L"0");
    return FormatText(kMoveAndCopyText, file.source, targets.sizeText, targets.target, targetSize,
                      targets.copyTarget, copySize);
  };

  FileOperation operation;
  operation.outputStem = [&rule](const CString& name) { return OutputName(name, rule); };
  operation.describe = describe;
  operation.startFile = [&](const CString& name) {
    targets = MoveTargets();
    targets.sizeText = FileSizeText(JoinPath(rule.pathIn, name));
    targets.folder = rule.pathOut;
    if (copies) targets.copyFolder = rule.pathOut2;
    NameTargets(targets, OutputName(name, rule));
  };
  // The file keeps its name, but is held as every claimed input is: a link
  // goes to the error folder unread, and a file that another instance is
  // moving is left to it. MOVE takes no temporary-name step: it renames
  // nothing to a claimed name, and only holds the file under its own.
  operation.gates = {.skipTemporaryName = false,
                     .claim = Gates::Claim::kHold,
                     .probe = false,
                     .outputs = Gates::Outputs::kNone};
  // The output folders are made before the file is held; a folder that
  // cannot be made fails the file.
  operation.afterPrepare = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    // Nothing is renamed: the mover and the records work on the file itself.
    file.claimed = file.source;
    DWORD code = MakeSubfolders(rule.pathOut, rule.folders, targets.folder, failure);
    if (code == 0 && copies) code = MakeSubfolders(rule.pathOut2, rule.copyFolders, targets.copyFolder, failure);
    if (code == 0) code = HoldOutputFolders(rule, held, failure);
    if (code == 0) NameTargets(targets, file.outputStem);
    return code;
  };
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    DWORD code = ResolveConflicts(file, call.settings.renameConflicts, targets, failure);
    if (code == 0) code = CopyAndMoveResolving(file, rule, call.settings.renameConflicts, targets, failure);
    if (code != 0) return code;
    targets.moved = true;
    file.output = targets.target;
    return 0;
  };
  // The input itself has gone to the output.
  operation.deleteInputOnSuccess = false;
  return RunFileOperation(pipeline, call.files, operation);
}
