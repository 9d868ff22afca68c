// DCCX's tail, after a verification call that succeeded: the result must
// still show every signature verified, exactly the announced number of
// them and the rule's signer lists met; then the report, the block mode's
// content, and the content given the output's name. Only then is the file
// complete; on any failure here the content and the report go.

#include "service/core/record_texts.h"
#include "service/core/whole_file.h"
#include "service/operations/decrypt_and_verify.h"
#include "service/operations/signature_checks.h"
#include "service/operations/verification_report.h"

namespace dccx {
namespace {

DWORD WriteReport(const Job& job, const FileState& state, HeldVerifyResult& result, WorkFailure& failure) {
  if (!job.writeReport) return 0;
  ReportWriteResult written = WriteVerificationReport(state.report, *result.get(), state.stamps);
  if (written.stage == ReportStage::kNone) return 0;
  return OwnFailure(failure, written.code, ReportFailureStepText(written, state.report));
}

DWORD WriteContent(const PipelineFile& file, HeldLibraryBlob& content, WorkFailure& failure) {
  int stage = 0;
  DWORD code = WriteWholeFile(file.output, &stage, *content);
  content.Release();
  if (code == 0) return 0;
  return OwnFailure(failure, code,
                    stage == kWholeFileStageOpen ? FormatText(kCreatingFileText, file.output)
                                                 : FormatText(L"Открытие файла %s (размер: %s)", file.output, L"0"));
}

}  // namespace

DWORD Tail(const FileWork& work, HeldVerifyResult& result, HeldLibraryBlob* content, WorkFailure& failure) {
  const auto& [job, file, state] = work;
  const VerifiedSignatures signatures{job.context, state.signatureCount, state.stamps};
  if (DWORD code = CheckVerifiedClaimedFile(job.rule, file, signatures, result, failure)) return code;
  if (DWORD code = WriteReport(job, state, result, failure)) return code;
  result.Release();
  // The report is ours from here: a later failure takes it along.
  if (job.writeReport) failure.partialOutput = state.report;
  if (content != nullptr) return WriteContent(file, *content, failure);
  return 0;
}

}  // namespace dccx
