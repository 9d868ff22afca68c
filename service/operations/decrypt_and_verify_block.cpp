// DCCX's block mode: an envelope and a signed content both written whole are
// handled in memory. The first pass only learns what the content is; the
// verification pass decrypts the file again, checks the stamps and verifies
// the signatures, keeping the content for the tail. Every block is released
// as soon as its last reader has run.

#include <memory>

#include "service/core/record_texts.h"
#include "service/core/whole_file.h"
#include "service/operations/decrypt_and_verify.h"
#include "service/operations/signature_checks.h"

namespace dccx {
namespace {

// ReadWholeFile's buffer, released with delete[].
using WholeFile = std::unique_ptr<BYTE[]>;

// The claimed file decrypted by call (the first pass's or the verification's
// form) into decrypted; the input is released as soon as the call returns.
template <typename DecryptCall>
DWORD ReadAndDecrypt(const Job& job, const PipelineFile& file, DecryptCall call, HeldLibraryBlob& decrypted,
                     WorkFailure& failure) {
  int stage = 0;
  DataBlob input{};
  if (DWORD code = ReadWholeFile(file.claimed, &stage, &input)) return WholeFileReadFailure(file, stage, code, failure);
  WholeFile owned(input.data);
  DecryptParams params = MakeDecryptParams();
  HeldDecryptResult result(job.context);
  DWORD code = call(job.context, &params, &input, decrypted.get(), result.get());
  owned.reset();
  result.Release();
  if (code == 0) return 0;
  decrypted.Release();
  return LibraryFailure(failure, code, job.context, DecryptionText(job, file));
}

}  // namespace

DWORD BlockFirstPass(const Job& job, const PipelineFile& file, HeldMessageInfo& info, WorkFailure& failure) {
  HeldLibraryBlob decrypted(job.context);
  if (DWORD code = ReadAndDecrypt(job, file, ORLAX_CmsBlkDecryptMem, decrypted, failure)) return code;
  DWORD code = ORLAX_CmsBlkMsgInfMem(job.context, decrypted.get(), info.get(), 0);
  decrypted.Release();
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context, ContentInformationText(file));
}

DWORD BlockVerification(const FileWork& work, HeldVerifyResult& result, HeldLibraryBlob& content,
                        WorkFailure& failure) {
  const auto& [job, file, state] = work;
  HeldLibraryBlob decrypted(job.context);
  if (DWORD code = ReadAndDecrypt(job, file, ORLAX_DecryptMem, decrypted, failure)) return code;
  if (job.settings.verifyStamps) {
    TimeStampChecks checks =
        CheckTimeStamps(job.context, *decrypted, state.signatureCount, job.settings.noStampIsError);
    if (DWORD code = TimeStampChecksFailure(AttachedStampStepText(file.source, file.claimed), std::move(checks),
                                              state.stamps, failure))
      return code;
  }
  DWORD code = ORLAX_CmsBlkAttVerifyMem(job.context, &state.verifyParams, decrypted.get(), content.get(), result.get());
  decrypted.Release();
  if (code == 0) return 0;
  content.Release();
  return SignatureFailure(job.context, code, result, state.stamps, failure);
}

}  // namespace dccx
