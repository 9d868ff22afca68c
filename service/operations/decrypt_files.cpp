// DECR and LDEC: every input, a CMS enveloped message, is decrypted with the
// rule's context; for an archiving rule the decrypted data is a one-file ZIP
// or GZIP archive that is unpacked into the output.

#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/content_ciphers.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/decrypt_files.h"
#include "service/operations/extension_names.h"
#include "service/operations/operations.h"
#include "service/operations/single_entry_unpacking.h"

namespace {

const wchar_t* OperationFormat(TransferMode transfer, bool unpacks) {
  if (transfer == TransferMode::kBlock) {
    return unpacks ? L"Профиль справочника : '%s' | Расшифрование и распаковка файла '%s' (размер: %s) в '%s' "
                     L"(размер: %s)"
                   : L"Профиль справочника : '%s' | Расшифрование файла '%s' (размер: %s) в '%s' (размер: %s)";
  }
  return unpacks ? L"Профиль справочника : '%s' | Расшифрование и распаковка в потоковом режиме файла '%s' "
                   L"(размер: %s) в '%s' (размер: %s)"
                 : L"Профиль справочника : '%s' | Расшифрование в потоковом режиме файла '%s' (размер: %s) в "
                   L"'%s' (размер: %s)";
}

struct DecryptJob {
  const RuleSettings& settings;
  LibraryContext context;
  TransferMode transfer;
};

CString UnpackStepText(const PipelineFile& file) {
  return FormatText(L"Разархивирование файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
}

// The algorithm text of the file's message, or a failure.
DWORD ReadAlgorithm(const DecryptJob& job, const PipelineFile& file, CString& algorithm, WorkFailure& failure) {
  HeldMessageInfo info(job.context);
  CStringA path = LibraryPath(file.claimed);
  DWORD code = job.transfer == TransferMode::kBlock ? ORLAX_CmsBlkMsgInfFile(job.context, path, info.get(), 0)
                                                    : ORLAX_CmsStrMsgInfFile(job.context, path, info.get(), 0);
  if (code != 0) {
    return LibraryFailure(failure, code, job.context,
                          FormatText(L"Получение информации о зашифрованном файле '%s' (размер: %s)",
                                     file.source, FileSizeText(file.claimed)));
  }
  algorithm = CipherLabelOfOid((*info).cipherOid);
  return 0;
}

DWORD DecryptTo(const DecryptJob& job, const PipelineFile& file, const CString& target, WorkFailure& failure) {
  DecryptParams params = MakeDecryptParams();
  HeldDecryptResult result(job.context);
  CStringA in = LibraryPath(file.claimed);
  CStringA out = LibraryPath(target);
  DWORD code = job.transfer == TransferMode::kBlock
                   ? ORLAX_CmsBlkDecryptFile(job.context, &params, in, out, result.get())
                   : ORLAX_CmsStrDecryptFile(job.context, &params, in, out, result.get());
  result.Release();
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context);
}

// The work step after the message information: decrypt, then unpack when
// the rule archives. Nothing of a failed file stays at the output, and the
// scratch file is gone when this returns.
DWORD DecryptStep(const DecryptJob& job, const PipelineFile& file, WorkFailure& failure) {
  failure.partialOutput = file.output;
  if (!Archives(job.settings.archive)) return DecryptTo(job, file, file.output, failure);
  TemporaryWorkFile scratch;
  if (DWORD code = scratch.CreateForWriter(failure)) return code;
  if (DWORD code = DecryptTo(job, file, scratch.Path(), failure)) return code;
  return UnpackSingleEntry(job.settings.archive, scratch.Path(), file.output, UnpackStepText(file), failure);
}

}  // namespace

CString DecryptedName(const CString& name, const CString& encExt, const CStringArray* extExt, ArchiveSetting setting,
                      const CString& archExt) {
  CString out = StripOwnOrExtraExtensions(name, encExt, extExt);
  if (Archives(setting) && !archExt.IsEmpty() && CanStripExtension(out, archExt)) out = WithoutLastExtension(out);
  return out;
}

DWORD DecryptFiles(const OperationCall& call, const DecryptionArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  DecryptJob job{call.settings, RuleContext(call.table, call.state.tableIndex), arguments.transfer};
  const wchar_t* format = OperationFormat(arguments.transfer, Archives(call.settings.archive));
  // Known once the message information has been read, then part of every
  // later record of the file.
  CString algorithm;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    return FormatText(format, rule.zcsProfile, file.source, inputSize, file.output, outputSize) + algorithm;
  };

  FileOperation operation;
  operation.outputStem = [&](const CString& name) {
    return DecryptedName(name, arguments.encExt, arguments.extExt, call.settings.archive, arguments.archExt);
  };
  operation.describe = describe;
  operation.startFile = [&](const CString&) { algorithm.Empty(); };
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    if (DWORD code = ReadAlgorithm(job, file, algorithm, failure)) return code;
    pipeline.Describe(file);
    return DecryptStep(job, file, failure);
  };
  return RunFileOperation(pipeline, call.files, operation);
}
