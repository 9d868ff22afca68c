// ENCR and LENC: every input leaves as a CMS enveloped message for the
// rule's recipients, optionally put into a one-entry ZIP archive or a GZIP
// file first. The library does the reading and the cryptography by path.

#include "platform/files.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/record_texts.h"
#include "service/operations/archive_before_encryption.h"
#include "service/operations/content_ciphers.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"

namespace {

const wchar_t* OperationFormat(TransferMode transfer, bool archives) {
  if (transfer == TransferMode::kBlock) {
    return archives ? L"Профиль справочника : '%s' | Архивация и зашифрование файла '%s' (размер: %s) в "
                      L"'%s' (размер: %s) (количество получателей - %s, сертификатов - %s)"
                    : L"Профиль справочника : '%s' | Зашифрование файла '%s' (размер: %s) в '%s' "
                      L"(размер: %s) (количество получателей - %s, сертификатов - %s)";
  }
  return archives ? L"Профиль справочника : '%s' | Архивация и шифрование в потоковом режиме файла '%s' "
                    L"(размер: %s) в '%s' (размер: %s) (количество получателей - %s, сертификатов - %s)"
                  : L"Профиль справочника : '%s' | Шифрование в потоковом режиме файла '%s' (размер: %s) "
                    L"в '%s' (размер: %s) (количество получателей - %s, сертификатов - %s)";
}

// One call's fixed values: the rule, its context and the recipients.
struct EncryptJob {
  const RuleSettings& settings;
  LibraryContext context;
  TransferMode transfer;
  std::span<const CertRecord> recipients;
};

DWORD EncryptOne(const EncryptJob& job, const CString& input, const CString& output, WorkFailure& failure) {
  EncryptParams params = EncryptParamsFor(job.settings.cipher, job.recipients);
  CStringA in = LibraryPath(input);
  CStringA out = LibraryPath(output);
  DWORD code = job.transfer == TransferMode::kBlock ? ORLAX_CmsBlkEncryptFile(job.context, &params, in, out)
                                                    : ORLAX_CmsStrEncryptFile(job.context, &params, in, out);
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context);
}

// The work step: archive (when the rule asks), then encrypt. Whatever
// happens, the temporary archive is gone when this returns, and nothing of
// a failed file is left at the output.
DWORD EncryptStep(const EncryptJob& job, const PipelineFile& file, WorkFailure& failure) {
  failure.partialOutput = file.output;
  if (!Archives(job.settings.archive)) return EncryptOne(job, file.claimed, file.output, failure);
  TemporaryWorkFile archive;
  if (DWORD code = archive.CreateForWriter(failure)) return code;
  if (DWORD code = ArchiveForEncryption(job.settings.archive, {file.claimed, file.name}, archive.Path(),
                                        ArchiveStepText(file), failure)) {
    return code;
  }
  return EncryptOne(job, archive.Path(), file.output, failure);
}

}  // namespace

DWORD EncryptFiles(const OperationCall& call, const EncryptionArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  const CString& encExt = arguments.encExt;
  const CString& archExt = arguments.archExt;
  EncryptJob job{call.settings, RuleContext(call.table, call.state.tableIndex), arguments.transfer, arguments.recipients};

  const bool archives = Archives(call.settings.archive);
  const CString appended =
      archives && !archExt.IsEmpty() ? L"." + archExt + L"." + encExt : L"." + encExt;
  const CString algorithm = CipherLabel(call.settings.cipher);
  // The counts appear only in the record of a completed file.
  bool complete = false;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    CString recipients = complete ? FormatText(L"%d", static_cast<int>(rule.recipients.size())) : L"0";
    CString count = complete ? FormatText(L"%d", static_cast<int>(arguments.recipients.size())) : L"0";
    return FormatText(OperationFormat(arguments.transfer, archives), rule.zcsProfile, file.source, inputSize,
                      file.output, outputSize, recipients, count) +
           algorithm;
  };

  FileOperation operation;
  operation.appended = appended;
  operation.describe = describe;
  operation.startFile = [&](const CString&) { complete = false; };
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    if (DWORD code = EncryptStep(job, file, failure)) return code;
    complete = true;
    return 0;
  };
  return RunFileOperation(pipeline, call.files, operation);
}
