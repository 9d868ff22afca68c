// DELE: every listed file is deleted where it lies, without a claim, a probe
// or an output; a file that cannot be deleted goes to the error folder.

#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/record_texts.h"
#include "service/operations/operations.h"

DWORD DeleteFiles(const OperationCall& call) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  // The size as first described, before anything is done, so that the
  // success record shows the size the file had.
  CString sizeText;
  DescribeFile describe = [&sizeText](const PipelineFile& file, const CString& inputSize, const CString&) {
    if (sizeText.IsEmpty()) sizeText = inputSize;
    return FormatText(L"Удаление файла %s (размер: %s)", file.source, sizeText);
  };

  FileOperation operation;
  operation.describe = describe;
  operation.startFile = [&sizeText](const CString&) { sizeText.Empty(); };
  // Nothing is claimed: the mover and the records work on the file itself.
  operation.gates = {.claim = Gates::Claim::kNone, .probe = false, .outputs = Gates::Outputs::kNone};
  operation.afterPrepare = [](PipelineFile& file, WorkFailure&) -> DWORD {
    file.claimed = file.source;
    return 0;
  };
  operation.work = [](PipelineFile& file, WorkFailure& failure) -> DWORD {
    if (DeleteFileW(file.source)) return 0;
    failure.code = GetLastError();
    return failure.code;
  };
  operation.deleteInputOnSuccess = false;
  return RunFileOperation(pipeline, call.files, operation);
}
