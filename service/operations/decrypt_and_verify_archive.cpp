// DCCX of archived content: the library decrypts the claimed input into a
// scratch file, which is unpacked into a second one; the signed message
// there is checked, its stamps verified and its signatures verified with the
// content written straight into the staged output. No file is read into
// memory on this path, so any size passes. Scratch files are gone on every
// way out.

#include "service/core/record_texts.h"
#include "service/operations/decrypt_and_verify.h"
#include "service/operations/signature_checks.h"
#include "service/operations/single_entry_unpacking.h"

namespace dccx {
namespace {

CString UnpackText(const PipelineFile& file) {
  return FormatText(L"Разархивирование файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
}

// The claimed file decrypted into message (the file call reads either
// encoding in pieces).
DWORD DecryptToScratch(const Job& job, const PipelineFile& file, TemporaryWorkFile& message, WorkFailure& failure) {
  if (DWORD code = message.CreateForWriter(failure)) return code;
  DecryptParams params = MakeDecryptParams();
  HeldDecryptResult result(job.context);
  const CStringA in = LibraryPath(file.claimed);
  const CStringA out = LibraryPath(message.Path());
  DWORD code = ORLAX_CmsStrDecryptFile(job.context, &params, in, out, result.get());
  if (code == 0) return 0;
  // The stack first: the release is a library call on the same context.
  LibraryFailure(failure, code, job.context, DecryptionText(job, file));
  result.Release();
  message.Delete();
  return code;
}

}  // namespace

DWORD FileFirstPass(const Job& job, const PipelineFile& file, TemporaryWorkFile& message, HeldMessageInfo& info,
                    WorkFailure& failure) {
  {  // the decrypted archive goes as soon as its entry is out
    TemporaryWorkFile archive;
    if (DWORD code = DecryptToScratch(job, file, archive, failure)) return code;
    if (DWORD code = message.CreateForWriter(failure)) return code;
    if (DWORD code = UnpackSingleEntry(job.archive, archive.Path(), message.Path(), UnpackText(file), failure)) {
      message.Delete();
      return code;
    }
  }
  DWORD code = ORLAX_CmsStrMsgInfFile(job.context, LibraryPath(message.Path()), info.get(), 0);
  if (code == 0) return 0;
  LibraryFailure(failure, code, job.context, ContentInformationText(file));
  message.Delete();
  return code;
}

DWORD FileVerification(const FileWork& work, TemporaryWorkFile& message, HeldVerifyResult& result,
                       WorkFailure& failure) {
  const auto& [job, file, state] = work;
  if (job.settings.verifyStamps) {
    TimeStampChecks checks =
        CheckTimeStamps(job.context, message.Path(), state.signatureCount, true, job.settings.noStampIsError);
    if (DWORD code = TimeStampChecksFailure(AttachedStampStepText(file.source, file.claimed), std::move(checks),
                                              state.stamps, failure))
      return code;
  }
  DWORD code = ORLAX_CmsStrAttVerifyFile(job.context, &state.verifyParams, LibraryPath(message.Path()),
                                         LibraryPath(file.output), result.get());
  message.Delete();
  if (code == 0) return 0;
  return SignatureFailure(job.context, code, result, state.stamps, failure);
}

}  // namespace dccx
