// DCHK: pairs of a data file D and its detached CMS signature D.DsigExt are
// verified together (message information, time stamps, signatures, the
// announced number of signatures, the rule's signer lists); a verified pair
// moves unchanged to the output folder, with a verification report beside it
// when the profile asks for one, and a pair that fails any check goes to the
// error folder, both files together. A file whose partner has not arrived
// waits, untouched and unrecorded.

#include "platform/files.h"
#include "platform/kill_points.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"
#include "service/operations/signature_checks.h"
#include "service/operations/signer_lists.h"
#include "service/operations/verification_report.h"

namespace {

const wchar_t* const kMoveText = L"Перемещение файла '%s' (размер: %s) в '%s' (размер: %s)";

// One call's fixed values.
struct DetachedJob {
  const RuleRecord& rule;
  LibraryContext context;
  bool writeReport;  // "Verify det file"
  CString dsigExt;
  CString verifyFileExt;
  DirectorySwitches settings;
};

// One pair's names and what it carries from step to step.
struct DetachedPair {
  CString dataSource;       // Path In/D
  CString signatureSource;  // Path In/S
  CString dataName;         // D
  CString dataOutput;       // Path Out/D, or Path Out/N after a conflict
  CString signatureOutput;  // Path Out/S, or Path Out/N.DsigExt
  CString report;           // Path Out/D.VerifyFileExt, or Path Out/N.VerifyFileExt
  std::uint32_t announced = 0;
  bool streamEncoded = false;
  std::vector<TimeStampCheckResult> stamps;
  bool reportWritten = false;
};

// The data file and the signature of a claimed pair, whichever was listed.
void NamePair(const DetachedJob& job, const PipelineFile& file, DetachedPair& pair) {
  pair.dataSource = file.listedIsData ? file.source : file.partnerSource;
  pair.signatureSource = file.listedIsData ? file.partnerSource : file.source;
  pair.dataName = file.listedIsData ? file.name : file.partnerName;
  pair.dataOutput = JoinPath(job.rule.pathOut, pair.dataName);
  pair.signatureOutput = pair.dataOutput + L"." + job.dsigExt;
  pair.report = pair.dataOutput + L"." + job.verifyFileExt;
}

// OperationText is made once, right after the claim, and every later record
// of the pair shows it unchanged (the success record too, when both files
// have left their claimed names).
void FreezeOperationText(const FilePipeline& pipeline, PipelineFile& file) {
  const CString fixed = file.operationText.Mid(pipeline.RulePrefix().GetLength());
  file.describe = [fixed](const PipelineFile&, const CString&, const CString&) { return fixed; };
}

// ---------------------------------------------------------------------------
// Output names: the signature, the data file and, with the report flag, the
// report share one stem; a conflict on any of them draws one mark for all.

bool ResolveOutputs(const DetachedJob& job, FilePipeline& pipeline, PipelineFile& file, DetachedPair& pair) {
  // The pair itself goes to its names from its claimed ones (MoveToOutput).
  const StemOutput outputs[] = {{L"." + job.dsigExt, &pair.signatureOutput, true, false, false},
                                {CString(), &pair.dataOutput, true, false, false},
                                {L"." + job.verifyFileExt, &pair.report, job.writeReport}};
  return pipeline.ResolveStemOutputs(file, job.rule.pathOut, pair.dataName, outputs);
}

// ---------------------------------------------------------------------------
// The work step, in its order.

CString SignatureDataText(const PipelineFile& file, const DetachedPair& pair) {
  return FormatText(L"Получение данных о ЭП файла %s (размер: %s)", pair.signatureSource,
                    FileSizeText(file.SignatureClaimed()));
}

DWORD WrongSignature(const DetachedJob& job, WorkFailure& failure, DWORD code, const CString& step) {
  LibraryFailure(failure, code, job.context, step);
  failure.description = kWrongSignatureTypeText;
  return code;
}

// The signature file must be a detached signed message with at least one
// signature.
DWORD ReadMessageInformation(const DetachedJob& job, const PipelineFile& file, DetachedPair& pair,
                             WorkFailure& failure) {
  const CString& claimed = file.SignatureClaimed();
  HeldMessageInfo info(job.context);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.context, LibraryPath(claimed), info.get(), 0);
  const MessageInfo& message = *info;
  pair.streamEncoded = (message.flags & ORLAX_MSG_STREAM) != 0;
  if (code == ORLAX_E_NOT_SIGNED_MESSAGE) return WrongSignature(job, failure, code, SignatureDataText(file, pair));
  if (code == 0 && message.type != ORLAX_MSG_SIGNED) {
    CString step =
        FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", file.source, FileSizeText(claimed));
    if (message.type == ORLAX_MSG_ENVELOPED) step += L". Файл зашифрован";
    return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongSignatureTypeText);
  }
  if (code != 0 || message.signatureCount == 0)
    return WrongSignature(job, failure, code != 0 ? code : ERR_WRONG_SIGNATURE_TYPE, SignatureDataText(file, pair));
  if ((message.flags & ORLAX_MSG_DETACHED) == 0) {
    CString step = SignatureDataText(file, pair) + L". " +
                   FormatText(L"Файл %s (размер: %s) содержит присоединённую подпись вместо отсоединённой",
                              pair.signatureSource, FileSizeText(claimed));
    return WrongSignature(job, failure, ERR_WRONG_SIGNATURE_TYPE, step);
  }
  pair.announced = message.signatureCount;
  return 0;
}

DWORD CheckStamps(const DetachedJob& job, const PipelineFile& file, DetachedPair& pair, WorkFailure& failure) {
  if (!job.settings.verifyStamps) return 0;
  // Detached signatures are small: the block call reads them whatever their
  // encoding.
  const DetachedStampNames names{pair.dataSource, file.DataClaimed(), pair.signatureSource, file.SignatureClaimed()};
  const TimeStampCheck check{job.context, pair.announced, false, job.settings.noStampIsError};
  return CheckDetachedTimeStamps(check, names, pair.stamps, failure);
}

DWORD Verify(const DetachedJob& job, const PipelineFile& file, const DetachedPair& pair, HeldVerifyResult& result,
             WorkFailure& failure) {
  const VerifyParams params = MakeVerifyParams(false, job.settings.notCopyToLocal);
  const CStringA data = LibraryPath(file.DataClaimed());
  const CStringA signature = LibraryPath(file.SignatureClaimed());
  DWORD code = pair.streamEncoded
                   ? ORLAX_CmsStrDetVerifyFile(job.context, &params, data, signature, nullptr, result.get())
                   : ORLAX_CmsBlkDetVerifyFile(job.context, &params, data, signature, nullptr, result.get());
  if (code == 0) return 0;
  return SignatureFailure(job.context, code, result, pair.stamps, failure);
}

DWORD CheckVerifiedResult(const DetachedJob& job, const PipelineFile& file, const DetachedPair& pair,
                          HeldVerifyResult& result, WorkFailure& failure) {
  const VerifiedFile verified{pair.announced, pair.signatureSource, file.SignatureClaimed(), file.source,
                              file.SignatureClaimed()};
  return CheckVerifiedResult(job.rule, verified, result, failure, [&](DWORD status) {
    return SignatureFailure(job.context, status, result, pair.stamps, failure);
  });
}

DWORD WriteReport(const DetachedJob& job, DetachedPair& pair, HeldVerifyResult& result, WorkFailure& failure) {
  if (!job.writeReport) return 0;
  ReportWriteResult written = WriteVerificationReport(pair.report, *result.get(), pair.stamps);
  if (written.stage == ReportStage::kNone) {
    pair.reportWritten = true;
    return 0;
  }
  result.Release();
  return OwnFailure(failure, written.code, ReportFailureStepText(written, pair.report));
}

// The report goes first, then both files go to the output, the signature
// before the data file; each move never replaces. The claim records name
// all three first: a kill between the two moves leaves a pair that the
// take-back completes (the data file follows its signature), never one
// split between the input and the output. A failure takes the report back
// out of the output folder, and a signature already moved goes back to its
// claimed name and from there to the error folder with its data file.
DWORD MoveToOutput(FilePipeline& pipeline, PipelineFile& file, const DetachedPair& pair, WorkFailure& failure) {
  const std::vector<PublishedFile> moves{{file.SignatureClaimed(), pair.signatureOutput},
                                         {file.DataClaimed(), pair.dataOutput}};
  if (DWORD code = pipeline.PublishBeforeMovingInputs(file, moves, failure)) return code;
  if (pair.reportWritten) failure.partialOutput = file.staged.Shown(pair.report);
  CString& signatureClaimed = file.listedIsData ? file.partnerClaimed : file.claimed;
  if (!MoveFileW(signatureClaimed, pair.signatureOutput)) {
    DWORD error = GetLastError();
    return OwnFailure(failure, error,
                      FormatText(kMoveText, pair.signatureSource, FileSizeText(signatureClaimed), pair.signatureOutput,
                                 FileSizeText(pair.signatureOutput)));
  }
  platform::KillPoint("signature-moved");
  const CString& dataClaimed = file.DataClaimed();
  const DWORD refused = platform::FailPoint("data-move");
  if (refused == 0 && MoveFileW(dataClaimed, pair.dataOutput)) return 0;
  DWORD error = refused != 0 ? refused : GetLastError();
  CString step =
      FormatText(kMoveText, pair.dataSource, FileSizeText(dataClaimed), pair.dataOutput, FileSizeText(pair.dataOutput));
  // The signature goes back to its claimed name before anything else, its
  // records left as they are: a kill from here on leaves a pair the
  // take-back gives back whole (the report withdrawn), never a data file
  // given back alone beside a signature and a report that say the pair was
  // verified. Where it cannot go back, it goes to the error folder from the
  // output, and until then a take-back moves the data file beside it.
  if (!MoveFileW(pair.signatureOutput, signatureClaimed)) signatureClaimed = pair.signatureOutput;
  platform::KillPoint("data-move-failed");
  return OwnFailure(failure, error, step);
}

DWORD VerifyPair(const DetachedJob& job, FilePipeline& pipeline, PipelineFile& file, DetachedPair& pair,
                 WorkFailure& failure) {
  if (DWORD code = ReadMessageInformation(job, file, pair, failure)) return code;
  if (DWORD code = CheckStamps(job, file, pair, failure)) return code;
  HeldVerifyResult result(job.context);
  if (DWORD code = Verify(job, file, pair, result, failure)) return code;
  if (DWORD code = CheckVerifiedResult(job, file, pair, result, failure)) return code;
  if (DWORD code = WriteReport(job, pair, result, failure)) return code;
  result.Release();
  return MoveToOutput(pipeline, file, pair, failure);
}

}  // namespace

DWORD VerifyDetachedSignatures(const OperationCall& call, const DetachedVerificationArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts,
                        RecordStyle::kClaimTextUntilClaimed);
  const RuleRecord& rule = pipeline.Rule();
  const DetachedJob job{rule,
                        RuleContext(call.table, call.state.tableIndex),
                        arguments.writeReport,
                        arguments.dsigExt,
                        arguments.verifyFileExt,
                        call.settings.directory};

  DescribeFile describe = [&](const PipelineFile& file, const CString&, const CString&) {
    const CString& signature = file.listedIsData ? file.partnerSource : file.source;
    const CString& data = file.listedIsData ? file.source : file.partnerSource;
    return FormatText(
        L"Профиль справочника : '%s' | Проверка отсоединённой ЭП '%s' (размер: %s) файла '%s' "
        L"(размер: %s)",
        rule.zcsProfile, signature, FileSizeText(file.SignatureClaimed()), data, FileSizeText(file.DataClaimed()));
  };

  DetachedPair pair;
  Gates gates;
  // A file gone since the listing (often the partner of a pair already
  // taken in this call) and a file without its partner are passed over
  // silently, in place of the vanished file's record.
  gates.passOver = [&](const PipelineFile& file) {
    return !PathFileExistsW(file.source) || IsBareExtension(file.name, arguments.dsigExt);
  };
  gates.vanishedFileCheck = false;
  gates.claim = Gates::Claim::kPair;
  gates.pairExtension = arguments.dsigExt;
  gates.afterClaim = [&](PipelineFile& file) {
    FreezeOperationText(pipeline, file);
    NamePair(job, file, pair);
  };
  gates.outputs = Gates::Outputs::kOwn;
  gates.ownOutputs = [&](PipelineFile& file) { return ResolveOutputs(job, pipeline, file, pair); };

  FileOperation operation;
  operation.describe = describe;
  operation.startFile = [&](const CString&) { pair = DetachedPair{}; };
  operation.gates = gates;
  operation.work = [&](PipelineFile& file, WorkFailure& failure) {
    return VerifyPair(job, pipeline, file, pair, failure);
  };
  // Both files are in the output folder: nothing is left to delete.
  operation.deleteInputOnSuccess = false;
  return RunFileOperation(pipeline, call.files, operation);
}
