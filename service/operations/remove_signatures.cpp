// DELS: every input, an attached CMS signed message, gives back its content;
// the signatures go to a scratch file that is dropped.

#include "platform/files.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"

namespace {

const wchar_t* const kOperationFormat =
    L"Профиль справочника : '%s' | Удаление ЭП из файла '%s' (размер: %s) с записью в файл '%s' (размер: %s)";

struct RemovalJob {
  LibraryContext context;
};

// Reads what the file holds: only an attached signed message is accepted.
// streamEncoded tells which removal call fits it.
DWORD CheckSignedMessage(const RemovalJob& job, const PipelineFile& file, bool& streamEncoded,
                         WorkFailure& failure) {
  HeldMessageInfo info(job.context);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.context, LibraryPath(file.claimed), info.get(), 0);
  CString step =
      FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
  if (code != 0) return LibraryFailure(failure, code, job.context, step);
  const MessageInfo& message = *info;
  if (message.type == ORLAX_MSG_ENVELOPED) step += L". Файл зашифрован";
  // A detached signature has no content to give back.
  if (message.type == ORLAX_MSG_SIGNED && (message.flags & ORLAX_MSG_DETACHED) != 0) {
    step += FormatText(L". Файл %s (размер: %s) содержит отсоединённую подпись вместо присоединённой",
                       file.source, FileSizeText(file.claimed));
  }
  if (message.type != ORLAX_MSG_SIGNED || (message.flags & ORLAX_MSG_DETACHED) != 0) {
    failure.partialOutput = file.output;
    return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongSignatureTypeText);
  }
  streamEncoded = (message.flags & ORLAX_MSG_STREAM) != 0;
  return 0;
}

// Splits the claimed file into the output (content) and the scratch file
// (signatures). Nothing of a failed file stays at the output.
DWORD DetachContent(const RemovalJob& job, const PipelineFile& file, bool streamEncoded, WorkFailure& failure) {
  TemporaryWorkFile signatures;
  if (DWORD code = signatures.CreateForWriter(failure)) return code;
  CStringA in = LibraryPath(file.claimed);
  CStringA out = LibraryPath(file.output);
  CStringA removed = LibraryPath(signatures.Path());
  DWORD code = streamEncoded ? ORLAX_CmsStrSignDetachFile(job.context, in, out, removed, 0)
                             : ORLAX_CmsBlkSignDetachFile(job.context, in, out, removed, 0);
  if (code == 0) return 0;
  failure.partialOutput = file.output;
  return LibraryFailure(failure, code, job.context);
}

}  // namespace

DWORD RemoveSignatures(const OperationCall& call, CString sigExt) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  RemovalJob job{RuleContext(call.table, call.state.tableIndex)};
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    return FormatText(kOperationFormat, rule.zcsProfile, file.source, inputSize, file.output, outputSize);
  };

  // Until the message is accepted, the records name the output as it was
  // first formed (the steps before ResolveOutputConflict keep the text).
  CString firstText;
  FileOperation operation;
  operation.outputStem = [&sigExt](const CString& name) {
    return CanStripExtension(name, sigExt) ? WithoutLastExtension(name) : name;
  };
  operation.describe = describe;
  operation.afterPrepare = [&firstText](PipelineFile& file, WorkFailure&) -> DWORD {
    firstText = file.operationText;
    return 0;
  };
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    file.operationText = firstText;
    bool streamEncoded = false;
    DWORD code = CheckSignedMessage(job, file, streamEncoded, failure);
    if (code != 0) return code;
    pipeline.Describe(file);
    return DetachContent(job, file, streamEncoded, failure);
  };
  return RunFileOperation(pipeline, call.files, operation);
}
