// SGEN: every input leaves as one encrypted message holding an attached
// signature of it (one more signature when the input already is an attached
// signed message), optionally time-stamped and optionally packed into a ZIP
// or GZIP archive before the encryption. This is the frame: the per-file
// steps with SGEN's texts, the check of an input that is already signed, the
// choice between block and stream mode, and the completion record.

#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/result_codes.h"
#include "service/core/whole_file.h"
#include "service/operations/content_ciphers.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"
#include "service/operations/sign_and_encrypt.h"
#include "service/operations/signed_input_check.h"

namespace {

const wchar_t* OperationFormat(bool archives) {
  return archives ? L"Профиль справочника : '%s' | Создание ЭП файла '%s' (размер: %s), архивация и зашифрование в "
                    L"файл '%s' (размер: %s) (количество получателей - %s, сертификатов - %s)"
                  : L"Профиль справочника : '%s' | Создание ЭП файла '%s' (размер: %s) и зашифрование в файл '%s' "
                    L"(размер: %s) (количество получателей - %s, сертификатов - %s)";
}

// The work step after the output's name is settled.
DWORD SignAndEncryptStep(const sgen::Job& job, const PipelineFile& file, bool named, sgen::Target& target,
                         WorkFailure& failure) {
  target.existingSignatureCount = 0;
  bool streamEncoded = false;
  if (named) {
    AttachedInput input;
    if (DWORD code = CheckAttachedInput(job.context, file, input, failure)) return code;
    streamEncoded = input.streamEncoded;
    target.existingSignatureCount = input.signatureCount;
  }
  // A stream-encoded message is read in chunks whatever the rule says; an
  // input named like a signature otherwise fits in memory (it was written
  // whole).
  const bool stream = streamEncoded || (!named && job.settings.stream);
  if (stream) return sgen::SignAndEncryptStream(job, file, target, failure);
  int stage = 0;
  DataBlob data{};
  if (DWORD code = ReadWholeFile(file.claimed, &stage, &data)) return WholeFileReadFailure(file, stage, code, failure);
  return sgen::SignAndEncryptBlock(job, file, target, data, failure);
}

}  // namespace

DWORD SignAndEncryptFiles(const OperationCall& call, const SignAndEncryptArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  const DirectorySwitches& settings = call.settings.directory;
  sgen::Job job{rule,
                call.settings,
                RuleContext(call.table, call.state.tableIndex),
                arguments.sigExt,
                SignParams{},
                settings.stampSignatures,
                settings.serverTsp,
                // A setting outside the table gives flags 0, GOST 28147-89, and no
                // cipher label in the records.
                EncryptParamsFor(call.settings.cipher, arguments.recipients)};
  job.signParams.flags = settings.addCertificate ? ORLAX_SIGN_ADD_CERT : 0;

  const bool archives = Archives(call.settings.archive);
  const CString outputSuffix =
      archives && !arguments.archExt.IsEmpty() ? arguments.archExt + L"." + arguments.encExt : arguments.encExt;
  // The mode label follows the rule, not the mode a file takes.
  const CString labels = CipherLabel(call.settings.cipher) +
                         FormatText(L" (%s %s)", L"Тип операции:", call.settings.stream ? L"Потоковая" : L"Блочная");
  // The counts show in the record of a completed file only: the number of
  // the rule's recipients, in both places.
  bool complete = false;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    CString count = complete ? FormatText(L"%d", static_cast<int>(rule.recipients.size())) : L"0";
    return FormatText(OperationFormat(archives), rule.zcsProfile, file.source, inputSize, file.output, outputSize,
                      count, count) +
           labels;
  };

  bool named = false;
  sgen::Target target;
  FileOperation operation;
  operation.startFile = [&](const CString& name) {
    complete = false;
    // A file named like a signature keeps its name; any other gets the
    // signature's extension first.
    named = HasLastExtension(name, arguments.sigExt);
    target = sgen::Target{};
    target.entryName = named ? name : name + L"." + arguments.sigExt;
  };
  operation.outputStem = [&](const CString&) { return target.entryName; };
  operation.appended = L"." + outputSuffix;
  operation.describe = describe;
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    if (DWORD code = SignAndEncryptStep(job, file, named, target, failure)) return code;
    complete = true;
    return 0;
  };
  return RunFileOperation(pipeline, call.files, operation);
}
