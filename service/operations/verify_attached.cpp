// CHCK and CHKX: every input, an attached CMS signed message, is verified
// (time stamps, signatures, the announced number of signatures, the rule's
// signer lists) and then moved unchanged to the output folder (CHCK) or
// written there as its content alone (CHKX); a verification report may go
// beside it. Nothing unverified reaches the output folder: a file that fails
// any check goes to the error folder, and CHKX removes the content it wrote.

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


// One call's fixed values.
struct AttachedJob {
  const RuleRecord& rule;
  LibraryContext context;
  bool removeSignatures;  // CHKX
  bool writeReport;
  CString sigExt;
  CString verifyFileExt;
  DirectorySwitches settings;
};

// What one file carries from step to step.
struct AttachedFile {
  CString report;               // Path Out/NAME.VerifyFileExt, or its conflict-free form
  CString removedPart;          // CHKX: "." + SigExt when it was taken off NAME, else ""
  std::uint32_t announced = 0;  // signatures the message information announces
  bool streamEncoded = false;
  std::vector<TimeStampCheckResult> stamps;
  CString finalInputSize;  // the claimed file's size taken before the end
  CString signatureCount = L"0";
};

CString InformationText(const PipelineFile& file) {
  return FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
}

// ---------------------------------------------------------------------------
// Output and report names.

// The output and, with the report flag, the report are settled together: a
// conflict on either draws one mark for both, so the report keeps naming its
// output.
bool ResolveOutputAndReport(const AttachedJob& job, FilePipeline& pipeline, PipelineFile& file, AttachedFile& state) {
  // CHCK's input goes to its output name itself, from its claimed one
  // (MoveToOutput).
  const StemOutput outputs[] = {{CString(), &file.output, true, false, job.removeSignatures},
                                {state.removedPart + L"." + job.verifyFileExt, &state.report, job.writeReport, true}};
  if (!pipeline.ResolveStemOutputs(file, job.rule.pathOut, file.outputStem, outputs)) return false;
  pipeline.Describe(file);
  return true;
}

// ---------------------------------------------------------------------------
// The work step, in its order.

DWORD ReadMessageInformation(const AttachedJob& job, const PipelineFile& file, AttachedFile& state,
                             WorkFailure& failure) {
  HeldMessageInfo info(job.context);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.context, LibraryPath(file.claimed), info.get(), 0);
  CString step = InformationText(file);
  // The stack is read here, before the holder releases the record.
  if (code != 0) return LibraryFailure(failure, code, job.context, step);
  const MessageInfo& message = *info;
  if (message.type == ORLAX_MSG_ENVELOPED) step += L". Файл зашифрован";
  // A signed message without a single signature proves nothing about its
  // content; it fails like a message of the wrong kind.
  if (message.type != ORLAX_MSG_SIGNED || message.signatureCount == 0)
    return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongSignatureTypeText);
  state.streamEncoded = (message.flags & ORLAX_MSG_STREAM) != 0;
  state.announced = message.signatureCount;
  return 0;
}

DWORD CheckStamps(const AttachedJob& job, const PipelineFile& file, AttachedFile& state, WorkFailure& failure) {
  if (!job.settings.verifyStamps) return 0;
  const TimeStampCheck check{job.context, state.announced, state.streamEncoded, job.settings.noStampIsError};
  return CheckAttachedTimeStamps(check, file.source, file.claimed, state.stamps, failure);
}

DWORD Verify(const AttachedJob& job, const PipelineFile& file, const AttachedFile& state, HeldVerifyResult& result,
             WorkFailure& failure) {
  const VerifyParams params = MakeVerifyParams(job.removeSignatures, job.settings.notCopyToLocal);
  const CStringA content = LibraryPath(file.output);
  DWORD code = ORLAX_CmsStrAttVerifyFile(job.context, &params, LibraryPath(file.claimed),
                                         job.removeSignatures ? content.GetString() : nullptr, result.get());
  if (code == 0) return 0;
  return SignatureFailure(job.context, code, result, state.stamps, failure);
}

DWORD WriteReport(const AttachedJob& job, const AttachedFile& state, HeldVerifyResult& result, WorkFailure& failure) {
  if (!job.writeReport) return 0;
  ReportWriteResult written = WriteVerificationReport(state.report, *result.get(), state.stamps);
  if (written.stage == ReportStage::kNone) return 0;
  result.Release();
  return OwnFailure(failure, written.code, ReportFailureStepText(written, state.report));
}

// CHCK: the signed file itself goes to the output, after its report, and
// the claim record names both first: a kill between them leaves a file the
// take-back moves beside its report. A failed move takes the report with it
// (the move never replaces, so whatever holds the output name is someone
// else's and stays). The report goes before the records forget what was
// published: a kill between the two then leaves a record of outputs that
// are not all there, which the take-back gives back to be checked again,
// and a kill after both leaves nothing published; never a report in the
// output beside a file checked again.
DWORD MoveToOutput(const AttachedJob& job, FilePipeline& pipeline, PipelineFile& file, const AttachedFile& state,
                   WorkFailure& failure) {
  if (DWORD code = pipeline.PublishBeforeMovingInputs(file, {{file.claimed, file.output}}, failure)) return code;
  const DWORD refused = platform::FailPoint("signed-file-move");
  if (refused == 0 && MoveFileW(file.claimed, file.output)) return 0;
  DWORD error = refused != 0 ? refused : GetLastError();
  if (job.writeReport) {
    const CString report = file.staged.Shown(state.report);
    // What cannot go now the error move tries again, and journals.
    if (!DeleteFileW(report)) failure.partialOutput = report;
  }
  platform::KillPoint("report-withdrawn");
  FilePipeline::ForgetPublishing(file);
  platform::KillPoint("publishing-forgotten");
  return OwnFailure(failure, error,
                    FormatText(L"Перемещение файла '%s' (размер: %s) в '%s' (размер: %s)", file.claimed,
                               FileSizeText(file.claimed), file.output, FileSizeText(file.output)));
}

DWORD VerifyFile(const AttachedJob& job, FilePipeline& pipeline, PipelineFile& file, AttachedFile& state,
                 WorkFailure& failure) {
  if (DWORD code = ReadMessageInformation(job, file, state, failure)) return code;
  if (DWORD code = CheckStamps(job, file, state, failure)) return code;
  // From here CHKX has content at the output, which must not outlive a
  // failure of the file.
  if (job.removeSignatures) failure.partialOutput = file.output;
  HeldVerifyResult result(job.context);
  if (DWORD code = Verify(job, file, state, result, failure)) return code;
  const VerifiedSignatures signatures{job.context, state.announced, state.stamps};
  if (DWORD code = CheckVerifiedClaimedFile(job.rule, file, signatures, result, failure)) return code;
  if (DWORD code = WriteReport(job, state, result, failure)) return code;
  state.finalInputSize = FileSizeText(file.claimed);
  result.Release();
  if (job.removeSignatures) {
    state.signatureCount = FormatText(L"%d", state.announced);
    return 0;
  }
  return MoveToOutput(job, pipeline, file, state, failure);
}

}  // namespace

DWORD VerifyAttachedSignatures(const OperationCall& call, const AttachedVerificationArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  const AttachedJob job{rule,
                        RuleContext(call.table, call.state.tableIndex),
                        arguments.removeSignatures,
                        arguments.writeReport,
                        arguments.sigExt,
                        arguments.verifyFileExt,
                        call.settings.directory};

  AttachedFile state;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    const CString& size = state.finalInputSize.IsEmpty() ? inputSize : state.finalInputSize;
    if (!job.removeSignatures)
      return FormatText(L"Профиль справочника : '%s' | Проверка ЭП файла '%s' (размер: %s)", rule.zcsProfile,
                        file.source, size);
    return FormatText(
        L"Профиль справочника : '%s' | Проверка ЭП файла '%s' (размер: %s) и удаление подписей (%s "
        L"шт.) с записью в файл '%s' (размер: %s)",
        rule.zcsProfile, file.source, size, state.signatureCount, file.output, outputSize);
  };

  // The output and the report settle together.
  const Gates gates{.outputs = Gates::Outputs::kOwn, .ownOutputs = [&](PipelineFile& file) {
                      return ResolveOutputAndReport(job, pipeline, file, state);
                    }};

  // A name that is all extension (".p7s") keeps it: taking it off would
  // leave the output folder itself as the output.
  const auto strip = [&](const CString& name) {
    return job.removeSignatures && CanStripExtension(name, arguments.sigExt);
  };
  FileOperation operation;
  operation.outputStem = [&](const CString& name) { return strip(name) ? WithoutLastExtension(name) : name; };
  operation.describe = describe;
  operation.startFile = [&](const CString& name) {
    state = AttachedFile{};
    if (strip(name)) state.removedPart = L"." + arguments.sigExt;
    state.report = JoinPath(rule.pathOut, name + L"." + arguments.verifyFileExt);
  };
  operation.gates = gates;
  operation.work = [&](PipelineFile& file, WorkFailure& failure) {
    return VerifyFile(job, pipeline, file, state, failure);
  };
  // CHCK has moved the claimed file to the output already.
  operation.deleteInputOnSuccess = job.removeSignatures;
  return RunFileOperation(pipeline, call.files, operation);
}
