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

  for (const CString& name : call.files) {
    if (pipeline.StopPoll()) return 0;
    sizeText.Empty();
    PipelineFile file = pipeline.Prepare(name, name, CString(), describe);
    // Nothing is claimed: the mover and the records work on the file itself.
    file.claimed = file.source;
    const Admission admission =
        pipeline.Admit(file, {.claim = Gates::Claim::kNone, .probe = false, .outputs = Gates::Outputs::kNone});
    if (admission == Admission::kFatal) return pipeline.Result();
    if (admission == Admission::kSkip) continue;
    if (!DeleteFileW(file.source)) {
      WorkFailure failure;
      failure.code = GetLastError();
      if (DWORD fatal = pipeline.FailFile(file, failure)) return fatal;
      continue;
    }
    if (DWORD fatal = pipeline.CompleteFile(file, false)) return fatal;
  }
  return 0;
}
