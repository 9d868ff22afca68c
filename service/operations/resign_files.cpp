// RESG: a file signed by one party is verified (message information, time
// stamps, signatures, the rule's signer lists), its content is signed anew
// with the rule's second directory profile ("ResignProfile"), optionally
// stamped, and written in the form the rule asks for, with a verification
// report when the profile asks for one. Nothing unverified is left in the
// output folder: a file that fails any check goes to the error folder and
// every output written for it is deleted.
//
// Attached signatures in block encoding are re-signed in memory; detached
// pairs (a data file and its signature, claimed together) and stream-encoded
// attached signatures pass through the stream stage chain in chunks.

#include "platform/files.h"
#include "service/core/conflict_names.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"
#include "service/operations/resign_block_mode.h"
#include "service/operations/resign_stream_mode.h"
#include "service/operations/signature_checks.h"
#include "service/operations/signer_lists.h"
#include "service/operations/verification_report.h"

namespace {

LibraryContext ContextAt(const DirectoryProfileTable* table, int index) {
  if (table == nullptr || index < 0 || static_cast<size_t>(index) >= table->size()) return nullptr;
  return (*table)[static_cast<size_t>(index)].context;
}

// The listed name less its last extension; a name without "." or whose
// only "." comes first keeps its whole name.
CString DataNameOf(const CString& name) {
  const int dot = name.ReverseFind(L'.');
  return dot > 0 ? name.Left(dot) : name;
}

// The names of a claimed file: an attached input is its own content; of a
// pair, the content is the data file and the signed file its signature.
void NameInputs(const PipelineFile& file, ResignFile& state) {
  if (!file.pair) {
    state.dataName = DataNameOf(file.name);
    state.signatureSource = state.contentSource = file.source;
    state.signatureClaimed = state.contentClaimed = file.claimed;
    return;
  }
  state.dataName = file.listedIsData ? file.name : file.partnerName;
  state.signatureSource = file.listedIsData ? file.partnerSource : file.source;
  state.contentSource = file.listedIsData ? file.source : file.partnerSource;
  state.signatureClaimed = file.SignatureClaimed();
  state.contentClaimed = file.DataClaimed();
}

// The output names before any conflict: an attached output of an attached
// input keeps the listed name, any other signature output is named after
// the content.
void NameOutputs(const ResignJob& job, const PipelineFile& file, ResignFile& state) {
  const CString& out = job.rule.pathOut;
  state.dataOutput.Empty();
  if (job.detachedOutput) {
    state.dataOutput = JoinPath(out, state.dataName);
    state.signatureOutput = state.dataOutput + L"." + job.dsigExt;
  } else if (file.pair) {
    state.signatureOutput = JoinPath(out, state.dataName + L"." + job.sigExt);
  } else {
    state.signatureOutput = JoinPath(out, file.name);
  }
  state.report = JoinPath(out, state.dataName + L"." + job.verifyFileExt);
}

// The outputs and the report share one stem: a conflict on any of them
// draws one mark for all (a renamed attached output takes SigExt).
bool ResolveOutputs(const ResignJob& job, FilePipeline& pipeline, PipelineFile& file, ResignFile& state) {
  const bool detachedOutput = job.detachedOutput;
  const StemOutput outputs[] = {{L"." + (detachedOutput ? job.dsigExt : job.sigExt), &state.signatureOutput},
                                {CString(), &state.dataOutput, detachedOutput},
                                {L"." + job.verifyFileExt, &state.report, job.writeReport}};
  return pipeline.ResolveStemOutputs(file, job.rule.pathOut, state.dataName, outputs);
}

// ---------------------------------------------------------------------------
// The work step, in its order.

// The signed file must be a signed message of the rule's form (attached, or
// a detached signature) with at least one signature.
DWORD ReadMessageInformation(const ResignJob& job, const PipelineFile& file, ResignFile& state,
                             WorkFailure& failure) {
  const bool detachedInput = job.detachedInput;
  HeldMessageInfo info(job.verifyContext);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.verifyContext, LibraryPath(state.signatureClaimed), info.get(), 0);
  const MessageInfo& message = *info;
  const CString signedSize = FileSizeText(state.signatureClaimed);
  const CString dataText = FormatText(L"Получение данных о ЭП файла %s (размер: %s)", state.contentSource, signedSize);
  if (code == ORLAX_E_NOT_SIGNED_MESSAGE) return LibraryFailure(failure, code, job.verifyContext, dataText);
  if (code == 0 && message.type != ORLAX_MSG_SIGNED) {
    CString step = FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", file.source, signedSize);
    if (message.type == ORLAX_MSG_ENVELOPED) step += L". Файл зашифрован";
    return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongSignatureTypeText);
  }
  if (code != 0) return LibraryFailure(failure, code, job.verifyContext, dataText);
  // A signed message without a single signature proves nothing about its
  // content: it fails like a message of the wrong kind.
  if (message.signatureCount == 0) {
    LibraryFailure(failure, ERR_WRONG_SIGNATURE_TYPE, job.verifyContext, dataText);
    failure.description = kWrongSignatureTypeText;
    return failure.code;
  }
  if (((message.flags & ORLAX_MSG_DETACHED) != 0) != detachedInput) {
    const CString form =
        detachedInput ? FormatText(L"Файл %s (размер: %s) содержит присоединённую подпись вместо отсоединённой",
                                   state.signatureSource, signedSize)
                      : FormatText(L"Файл %s (размер: %s) содержит отсоединённую подпись вместо присоединённой",
                                   file.source, signedSize);
    LibraryFailure(failure, ERR_WRONG_SIGNATURE_TYPE, job.verifyContext, dataText + L". " + form);
    failure.description = kWrongSignatureTypeText;
    return failure.code;
  }
  state.announced = message.signatureCount;
  state.streamEncoded = (message.flags & ORLAX_MSG_STREAM) != 0;
  return 0;
}

DWORD CheckStamps(const ResignJob& job, ResignFile& state, WorkFailure& failure) {
  if (!job.verifySettings.verifyStamps) return 0;
  const TimeStampCheck check{job.verifyContext, state.announced, state.streamEncoded,
                             job.verifySettings.noStampIsError};
  if (!job.detachedInput)
    return CheckAttachedTimeStamps(check, state.signatureSource, state.signatureClaimed, state.stamps, failure);
  const DetachedStampNames names{state.contentSource, state.contentClaimed, state.signatureSource,
                                 state.signatureClaimed};
  return CheckDetachedTimeStamps(check, names, state.stamps, failure);
}

// Block mode takes attached signatures in block encoding; every detached
// pair and every stream-encoded message is streamed.
bool InBlocks(const ResignJob& job, const ResignFile& state) {
  return !job.detachedInput && !state.streamEncoded;
}

// A verification call that returned 0 still has to show every announced
// signature verified and the signer lists met by verified signers, so that a
// broken signature is never re-signed as a success.
DWORD CheckVerification(const ResignJob& job, const PipelineFile& file, const ResignFile& state,
                        HeldVerifyResult& result, WorkFailure& failure) {
  const VerifiedFile verified{state.announced, state.signatureSource, state.signatureClaimed, file.source,
                              state.signatureClaimed};
  return CheckVerifiedResult(job.rule, verified, result, failure, [&](DWORD status) {
    DWORD code = SignatureFailure(job.verifyContext, status, result, state.stamps, failure);
    const CString step =
        InBlocks(job, state) ? FormatText(L"Профиль справочника : '%s'. Проверка ЭП файла '%s' (размер: %s)",
                                          job.rule.zcsProfile, file.source, FileSizeText(file.claimed))
                             : StreamVerificationText(job, state, StreamCall::kFinal);
    failure.stageText = step + failure.stageText;
    return code;
  });
}

DWORD WriteReport(const ResignJob& job, const ResignFile& state, HeldVerifyResult& result, WorkFailure& failure) {
  if (!job.writeReport) return 0;
  ReportWriteResult written = WriteVerificationReport(state.report, *result.get(), state.stamps);
  if (written.stage == ReportStage::kNone) return 0;
  result.Release();
  return OwnFailure(failure, written.code, ReportFailureStepText(written, state.report));
}

// Every output written for a failed file goes (the unchecked content beside
// a detached signature too); the report is never left behind by
// WriteVerificationReport itself.
void DeleteWrittenOutputs(const ResignFile& state) {
  if (state.signatureWritten) DeleteFileW(state.signatureOutput);
  if (state.dataWritten) DeleteFileW(state.dataOutput);
}

DWORD ResignContent(const ResignJob& job, const PipelineFile& file, ResignFile& state, WorkFailure& failure) {
  HeldVerifyResult result(job.verifyContext);
  DWORD code = InBlocks(job, state) ? ResignInBlocks(job, file, state, result, failure)
                                    : ResignInStreams(job, file, state, result, failure);
  if (code != 0) return code;
  if (DWORD code = CheckVerification(job, file, state, result, failure)) return code;
  if (DWORD code = WriteReport(job, state, result, failure)) return code;
  return 0;
}

// The four forms of OperationText: input form by output form.
CString DescribeResigning(const ResignJob& job, const PipelineFile& file, const ResignFile& state) {
  const RuleRecord& rule = job.rule;
  const CString count = state.done ? FormatText(L"%d", static_cast<int>(state.announced)) : CString(L"0");
  const CString signatureSize = state.done ? FileSizeText(state.signatureOutput) : CString(L"0");
  const CString dataSize = state.done ? FileSizeText(state.dataOutput) : CString(L"0");
  const CString signedSize = FileSizeText(state.signatureClaimed);
  const bool detachedOutput = job.detachedOutput;
  if (job.detachedInput) {
    const CString contentSize = FileSizeText(state.contentClaimed);
    if (detachedOutput) {
      return FormatText(L"Профиль справочника : '%s' | Переподписание с проверкой отсоединённой ЭП '%s' (размер: %s) "
                        L"файла '%s' (размер: %s), удаление подписей (%s шт.) и запись в файл '%s' (размер: %s) с "
                        L"добавлением отсоединенной ЭП '%s' (размер: %s) (профиль справочника новой подписи '%s')",
                        rule.zcsProfile, state.signatureSource, signedSize, state.contentSource, contentSize, count,
                        state.dataOutput, dataSize, state.signatureOutput, signatureSize, rule.resignProfile);
    }
    return FormatText(L"Профиль справочника : '%s' | Переподписание с проверкой отсоединённой ЭП '%s' (размер: %s) "
                      L"файла '%s' (размер: %s), удаление подписей (%s шт.) и запись в файл c добавлением "
                      L"присоединенной ЭП '%s' (размер: %s) (профиль справочника новой подписи'%s')",
                      rule.zcsProfile, state.signatureSource, signedSize, state.contentSource, contentSize, count,
                      state.signatureOutput, signatureSize, rule.resignProfile);
  }
  if (detachedOutput) {
    return FormatText(L"Профиль справочника : '%s' | Переподписание с проверкой присоединенной ЭП файла '%s' "
                      L"(размер: %s), удаление подписей (%s шт.) с записью в файл '%s' (размер: %s) с "
                      L"добавлением отсоединенной ЭП '%s' (размер: %s) (профиль справочника новой подписи '%s')",
                      rule.zcsProfile, file.source, signedSize, count, state.dataOutput, dataSize,
                      state.signatureOutput, signatureSize, rule.resignProfile);
  }
  return FormatText(L"Профиль справочника : '%s' | Переподписание с проверкой присоединенной ЭП файла '%s' "
                    L"(размер: %s), удаление подписей (%s шт.) и запись в файл c добавлением присоединенной ЭП "
                    L"'%s' (размер: %s) (профиль справочника новой подписи '%s')",
                    rule.zcsProfile, file.source, signedSize, count, state.signatureOutput, signatureSize,
                    rule.resignProfile);
}

// The listed file is claimed, or for a rule of detached pairs the data file
// and its signature together.
Gates ClaimGates(const ResignJob& job) {
  Gates gates;
  const bool pairs = job.detachedInput;
  // Passed over without a record: a signature gone since the listing (a
  // pair claimed through its data file leaves its signature's entry so), and
  // for pairs a signature named by the extension alone, which no data file
  // pairs with.
  gates.passOver = [&job, pairs](const PipelineFile& file) {
    if (!HasLastExtension(file.name, job.dsigExt)) return false;
    return !PathFileExistsW(file.source) || (pairs && IsBareExtension(file.name, job.dsigExt));
  };
  if (pairs) {
    gates.claim = Gates::Claim::kPair;
    gates.pairExtension = job.dsigExt;
  }
  return gates;
}

}  // namespace

DWORD ResignFiles(const OperationCall& call, const ResigningArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts,
                        RecordStyle::kClaimTextUntilClaimed);
  const RuleRecord& rule = pipeline.Rule();
  const DirectorySwitches& resignSettings = call.settings.resignDirectory;
  ResignJob job{rule,
                call.settings.detachedInput,
                call.settings.detachedOutput,
                ContextAt(call.table, call.state.tableIndex),
                ContextAt(call.table, call.state.resignTableIndex),
                call.settings.directory,
                resignSettings,
                SignParams{},
                StampUrl(resignSettings.serverTsp),
                resignSettings.stampSignatures,
                arguments.writeReport,
                arguments.sigExt,
                arguments.dsigExt,
                arguments.verifyFileExt};
  job.signParams.flags = resignSettings.addCertificate ? ORLAX_SIGN_ADD_CERT : 0;

  ResignFile state;
  DescribeFile describe = [&](const PipelineFile& file, const CString&, const CString&) {
    return DescribeResigning(job, file, state);
  };

  Gates gates = ClaimGates(job);
  // The records of the probe already name the inputs and the outputs.
  gates.afterClaim = [&](PipelineFile& file) {
    NameInputs(file, state);
    NameOutputs(job, file, state);
    pipeline.Describe(file);
  };
  gates.outputs = Gates::Outputs::kOwn;
  gates.ownOutputs = [&](PipelineFile& file) { return ResolveOutputs(job, pipeline, file, state); };

  FileOperation operation;
  operation.describe = describe;
  operation.startFile = [&state](const CString&) { state = ResignFile{}; };
  operation.gates = gates;
  operation.work = [&](PipelineFile& file, WorkFailure& failure) {
    pipeline.Describe(file);
    DWORD code = ReadMessageInformation(job, file, state, failure);
    if (code == 0) code = CheckStamps(job, state, failure);
    if (code == 0) code = ResignContent(job, file, state, failure);
    if (code != 0) {
      DeleteWrittenOutputs(state);
      return code;
    }
    state.done = true;
    return DWORD{0};
  };
  return RunFileOperation(pipeline, call.files, operation);
}
