// RESG: a file signed by one party is verified (message information, time
// stamps, signatures, the rule's signer lists), its content is signed anew
// with the rule's second directory profile ("ResignProfile"), optionally
// stamped, and written in the form the rule asks for, with a verification
// report when the profile asks for one. Nothing unverified is left in the
// output folder: a file that fails any check goes to the error folder and
// every output written for it is deleted.
//
// Attached signatures in block encoding are re-signed in memory. A rule of
// detached pairs and a stream-encoded attached signature need the stream
// chain; until it serves this operation they stay in the input folder
// under their own names, untouched and unrecorded.

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
#include "service/operations/signature_checks.h"
#include "service/operations/signer_lists.h"
#include "service/operations/verification_report.h"

namespace {

const wchar_t* const kCreatingText = L"Создание файла %s";
const wchar_t* const kCounterText = L".\r\nСчетчик попыток переименования конфликтного файла достиг 100";

LibraryContext ContextAt(const DirectoryProfileTable& table, int index) {
  if (index < 0 || static_cast<size_t>(index) >= table.size()) return nullptr;
  return table[static_cast<size_t>(index)].context;
}

// The listed name less its last extension; a name without "." or whose
// only "." comes first keeps its whole name.
CString DataNameOf(const CString& name) {
  const int dot = name.ReverseFind(L'.');
  return dot > 0 ? name.Left(dot) : name;
}

void NameOutputs(const ResignJob& job, const CString& stem, bool renamed, const CString& listedName,
                 ResignFile& state) {
  const CString& out = job.rule.pathOut;
  if (job.rule.outFormatDet != 0) {
    state.dataOutput = JoinPath(out, stem);
    state.signatureOutput = state.dataOutput + L"." + job.dsigExt;
  } else {
    state.dataOutput.Empty();
    state.signatureOutput = renamed ? JoinPath(out, stem + L"." + job.sigExt) : JoinPath(out, listedName);
  }
  state.report = JoinPath(out, stem + L"." + job.verifyFileExt);
}

bool OutputsTaken(const ResignJob& job, const ResignFile& state) {
  return PathFileExistsW(state.signatureOutput) ||
         (!state.dataOutput.IsEmpty() && PathFileExistsW(state.dataOutput)) ||
         (job.reportFlag != 0 && PathFileExistsW(state.report));
}

// The outputs and the report share one stem: a conflict on any of them
// draws one mark for all.
bool ResolveOutputs(const ResignJob& job, int renameConfFiles, FilePipeline& pipeline, PipelineFile& file,
                    ResignFile& state) {
  if (!OutputsTaken(job, state)) return true;
  WorkFailure failure;
  failure.code = ERROR_FILE_EXISTS;
  if (renameConfFiles == 0) {
    failure.stageText = FormatText(kCreatingText, state.signatureOutput);
    pipeline.FailFile(file, failure);
    return false;
  }
  for (int attempt = 0; attempt < kConflictNameAttempts; ++attempt) {
    NameOutputs(job, MakeConflictName(state.dataName), true, file.name, state);
    if (!OutputsTaken(job, state)) return true;
  }
  failure.stageText = FormatText(kCreatingText, state.signatureOutput) + kCounterText;
  pipeline.FailFile(file, failure);
  return false;
}

// ---------------------------------------------------------------------------
// The work step, in its order.

// The input must be an attached signed message with at least one signature.
DWORD ReadMessageInformation(const ResignJob& job, const PipelineFile& file, ResignFile& state,
                             WorkFailure& failure) {
  HeldMessageInfo info(job.verifyContext);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.verifyContext, LibraryPath(file.claimed), info.get(), 0);
  const MessageInfo& message = *info;
  const CString dataText =
      FormatText(L"Получение данных о ЭП файла %s (размер: %s)", file.source, FileSizeText(file.claimed));
  if (code == ORLAX_E_NOT_SIGNED_MESSAGE) return LibraryFailure(failure, code, job.verifyContext, dataText);
  if (code == 0 && message.type != ORLAX_MSG_SIGNED) {
    CString step =
        FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
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
  if ((message.flags & ORLAX_MSG_DETACHED) != 0) {
    LibraryFailure(failure, ERR_WRONG_SIGNATURE_TYPE, job.verifyContext,
                   dataText + L". " +
                       FormatText(L"Файл %s (размер: %s) содержит отсоединённую подпись вместо присоединённой",
                                  file.source, FileSizeText(file.claimed)));
    failure.description = kWrongSignatureTypeText;
    return failure.code;
  }
  state.announced = message.signatureCount;
  state.streamEncoded = (message.flags & ORLAX_MSG_STREAM) != 0;
  return 0;
}

DWORD CheckStamps(const ResignJob& job, const PipelineFile& file, ResignFile& state, WorkFailure& failure) {
  if (job.verifySettings.autoVerifyTsp == 0) return 0;
  return CheckAttachedTimeStamps(job.verifyContext, file.source, file.claimed, state.announced, state.streamEncoded,
                                 job.verifySettings.noTspIsError != 0, state.stamps, failure);
}

// A verification call that returned 0 still has to show every announced
// signature verified and the signer lists met by verified signers, so that a
// broken signature is never re-signed as a success.
DWORD CheckVerification(const ResignJob& job, const PipelineFile& file, const ResignFile& state,
                        HeldVerifyResult& result, WorkFailure& failure) {
  VerifiedFileNames names{file.source, file.claimed, file.source, file.claimed};
  return CheckVerifiedResult(job.rule, state.announced, names, result, failure, [&](DWORD status) {
    DWORD code = SignatureFailure(job.verifyContext, status, result, state.stamps, failure);
    failure.stageText = FormatText(L"Профиль справочника : '%s'. Проверка ЭП файла '%s' (размер: %s)",
                                   job.rule.zcsProfile, file.source, FileSizeText(file.claimed)) +
                        failure.stageText;
    return code;
  });
}

DWORD WriteReport(const ResignJob& job, const ResignFile& state, HeldVerifyResult& result, WorkFailure& failure) {
  if (job.reportFlag == 0) return 0;
  ReportWriteResult written = WriteVerificationReport(state.report, *result.get(), state.stamps);
  if (written.stage == ReportStage::kNone) return 0;
  result.Release();
  return OwnFailure(failure, written.code, ReportFailureStepText(written, state.report));
}

// Every output written for a failed file goes; the report is never left
// behind by WriteVerificationReport itself.
void DeleteWrittenOutputs(const ResignFile& state) {
  if (state.signatureWritten) DeleteFileW(state.signatureOutput);
  if (state.dataWritten) DeleteFileW(state.dataOutput);
}

DWORD ResignContent(const ResignJob& job, const PipelineFile& file, ResignFile& state, WorkFailure& failure) {
  HeldVerifyResult result(job.verifyContext);
  if (DWORD code = ResignInBlocks(job, file, state, result, failure)) return code;
  if (DWORD code = CheckVerification(job, file, state, result, failure)) return code;
  if (DWORD code = WriteReport(job, state, result, failure)) return code;
  return 0;
}

// A file the operation cannot take yet goes back to its own name.
void Unclaim(PipelineFile& file) { MoveFileW(file.claimed, file.source); }

}  // namespace

DWORD ResignFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex, ProfileRecord& profile,
                  CString journalFolder, CString profileName, CString sigExt, CString dsigExt,
                  CString verifyFileExt) {
  FilePipeline pipeline(journalFolder, profile, profileName, ruleIndex, RecordStyle::kB);
  const RuleRecord& rule = pipeline.Rule();
  // Detached pairs are re-signed by the stream chain only.
  if (rule.inFormatDet != 0) return 0;
  const DirectoryProfileSettings resignSettings =
      DirectoryProfileSettingsAt(profile, DirectoryProfileIndex(profile, rule.resignProfile));
  ResignJob job{rule,
                ContextAt(table, rule.tableIndex),
                ContextAt(table, rule.resignTableIndex),
                DirectoryProfileSettingsAt(profile, DirectoryProfileIndex(profile, rule.zcsProfile)),
                resignSettings,
                SignParams{},
                StampUrl(resignSettings.serverTsp),
                resignSettings.autoUseTsp != 0,
                profile.verifyResignFile,
                sigExt,
                dsigExt,
                verifyFileExt};
  job.signParams.flags = resignSettings.notAddCert == 0 ? ORLAX_SIGN_ADD_CERT : 0;

  ResignFile state;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString&) {
    const CString count = state.done ? FormatText(L"%d", static_cast<int>(state.announced)) : CString(L"0");
    const CString signatureSize = state.done ? FileSizeText(state.signatureOutput) : CString(L"0");
    if (!state.dataOutput.IsEmpty()) {
      const CString dataSize = state.done ? FileSizeText(state.dataOutput) : CString(L"0");
      return FormatText(L"Профиль справочника : '%s' | Переподписание с проверкой присоединенной ЭП файла '%s' "
                        L"(размер: %s), удаление подписей (%s шт.) с записью в файл '%s' (размер: %s) с "
                        L"добавлением отсоединенной ЭП '%s' (размер: %s) (профиль справочника новой подписи '%s')",
                        rule.zcsProfile, file.source, inputSize, count, state.dataOutput, dataSize,
                        state.signatureOutput, signatureSize, rule.resignProfile);
    }
    return FormatText(L"Профиль справочника : '%s' | Переподписание с проверкой присоединенной ЭП файла '%s' "
                      L"(размер: %s), удаление подписей (%s шт.) и запись в файл c добавлением присоединенной ЭП "
                      L"'%s' (размер: %s) (профиль справочника новой подписи '%s')",
                      rule.zcsProfile, file.source, inputSize, count, state.signatureOutput, signatureSize,
                      rule.resignProfile);
  };

  for (const CString& name : files) {
    if (pipeline.StopPoll()) return 0;
    state = ResignFile{};
    state.dataName = DataNameOf(name);
    NameOutputs(job, state.dataName, false, name, state);
    PipelineFile file = pipeline.Prepare(name, name, CString(), describe);
    if (!pipeline.SkipTemporaryName(file) || !pipeline.VanishedFileCheck(file) || !pipeline.ClaimInputFile(file)) {
      if (pipeline.Fatal()) return pipeline.Result();
      continue;
    }
    pipeline.Describe(file);
    if (!pipeline.ProbeInputFile(file) ||
        !ResolveOutputs(job, profile.renameConfFiles, pipeline, file, state)) {
      if (pipeline.Fatal()) return pipeline.Result();
      continue;
    }
    pipeline.Describe(file);
    WorkFailure failure;
    DWORD code = ReadMessageInformation(job, file, state, failure);
    if (code == 0 && state.streamEncoded) {
      Unclaim(file);
      continue;
    }
    if (code == 0) code = CheckStamps(job, file, state, failure);
    if (code == 0) code = ResignContent(job, file, state, failure);
    if (code != 0) {
      DeleteWrittenOutputs(state);
      if (DWORD fatal = pipeline.FailFile(file, failure)) return fatal;
      continue;
    }
    state.done = true;
    if (DWORD fatal = pipeline.CompleteFile(file)) return fatal;
  }
  return 0;
}
