#include "service/operations/signature_checks.h"

#include <cstring>

#include "common/library_error_stack.h"
#include "service/core/record_texts.h"
#include "service/operations/crypto_operation_support.h"
#include "service/core/journal.h"
#include "service/core/result_codes.h"
#include "service/operations/signer_lists.h"
#include "service/operations/verification_report.h"

namespace {

constexpr std::uint32_t kTspVerifyMode = 3;
constexpr std::uint32_t kVerifyChecks = 0x407;
constexpr std::uint32_t kWholeContent = 0xFFFFFFFF;

// A time-stamp verification result, released with its own call whatever the
// verification gave.
class HeldTspVerifyResult {
 public:
  explicit HeldTspVerifyResult(LibraryContext context) : context_(context) {
    std::memset(&result_, 0, sizeof(result_));
  }
  ~HeldTspVerifyResult() { ORLAX_TspFreeVerifyResult(context_, &result_); }
  HeldTspVerifyResult(const HeldTspVerifyResult&) = delete;
  HeldTspVerifyResult& operator=(const HeldTspVerifyResult&) = delete;
  TspVerifyResult* get() { return &result_; }

 private:
  LibraryContext context_;
  TspVerifyResult result_;
};

}  // namespace

TspVerifyParams MakeTspVerifyParams(std::uint32_t index) {
  TspVerifyParams params;
  std::memset(&params, 0, sizeof(params));
  params.signatureIndex = index;
  params.mode = kTspVerifyMode;
  return params;
}

TimeStampCheckResult CheckOneStamp(LibraryContext context, std::uint32_t index, bool noTspIsError,
                                   const StampCall& call) {
  const TspVerifyParams params = MakeTspVerifyParams(index);
  HeldTspVerifyResult result(context);
  DWORD code = call(&params, result.get());
  TimeStampCheckResult record;
  record.signatureIndex = index;
  record.result = code == ORLAX_E_NO_TIME_STAMP && !noTspIsError ? 0 : code;
  record.stampTime = static_cast<std::int64_t>(result.get()->stampTime);
  if (const CertRecord* server = result.get()->tsaCert) {
    if (server->issuer != nullptr) record.tspIssuer = server->issuer;
    if (server->serialNumber != nullptr) record.tspSerialNumber = server->serialNumber;
  }
  return record;
}

namespace {

TimeStampChecks CheckEveryStamp(LibraryContext context, std::uint32_t count, bool noTspIsError,
                                const StampCall& call) {
  TimeStampChecks checks;
  for (std::uint32_t index = 0; index < count; ++index) {
    TimeStampCheckResult record = CheckOneStamp(context, index, noTspIsError, call);
    if (record.result != 0) checks.code = record.result;
    checks.records.push_back(record);
  }
  CString stack = FormatLibraryErrorStack(context);
  if (checks.code != 0) checks.stack = stack;
  return checks;
}

}  // namespace

TimeStampChecks CheckTimeStamps(LibraryContext context, const CString& path, std::uint32_t count, bool streamCall,
                                bool noTspIsError) {
  const CStringA libraryPath = LibraryPath(path);
  return CheckEveryStamp(context, count, noTspIsError, [&](const TspVerifyParams* params, TspVerifyResult* result) {
    return streamCall ? ORLAX_TspStrVerifyCmsFile(context, params, libraryPath, result)
                      : ORLAX_TspBlkVerifyCmsFile(context, params, libraryPath, result);
  });
}

CString AttachedStampStepText(const CString& source, const CString& claimed) {
  return FormatText(L"Проверка штампов времени ЭП в файле %s (размер: %s)", source, FileSizeText(claimed));
}

DWORD TimeStampChecksFailure(const CString& stepText, TimeStampChecks&& checks,
                             std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure) {
  stamps = std::move(checks.records);
  if (checks.code == 0) return 0;
  failure.code = checks.code;
  failure.stageText = stepText + L"\r\n\r\n" + TimeStampFailureText(stamps);
  failure.detail = checks.stack;
  return failure.code;
}

VerifyParams MakeVerifyParams(bool giveContent, bool notCopyToLocal) {
  VerifyParams params;
  std::memset(&params, 0, sizeof(params));
  if (giveContent) {
    params.flags |= ORLAX_VERIFY_CONTENT;
    params.contentLimit = kWholeContent;
  }
  if (notCopyToLocal) params.flags |= ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
  params.checks = kVerifyChecks;
  return params;
}

StreamCalls AttachedVerificationCalls(LibraryContext context, const VerifyParams* params, HeldVerifyResult& result) {
  StreamCalls calls;
  calls.init = [context, params](std::size_t, const DataBlob& input, StreamContext* stream) {
    return DWORD{ORLAX_CmsStrAttVerifyInitMem(context, params, &input, stream)};
  };
  calls.update = [context, params](std::size_t, StreamContext* stream, const DataBlob& input, DataBlob* output) {
    return DWORD{ORLAX_CmsStrAttVerifyUpdateMem(context, params, stream, &input, output)};
  };
  calls.final = [context, params, &result](std::size_t, StreamContext* stream, DataBlob* output) {
    result.Release();  // a record filled by an earlier Final is not lost
    return DWORD{ORLAX_CmsStrAttVerifyFinalMem(context, params, stream, output, result.get())};
  };
  return calls;
}

CString FailedSignerLines(const VerifyResult& result, const std::vector<TimeStampCheckResult>& stamps) {
  const CString lines = SignatureFailureText(result, stamps);
  return lines.IsEmpty() ? CString() : L"\r\n" + lines;
}

DWORD FirstUnverifiedStatus(const VerifyResult& result) {
  for (std::uint32_t i = 0; i < SignerEntryCount(result); ++i)
    if (DWORD status = SignerEntryStatus(result.signers[i])) return status;
  return 0;
}

DWORD CheckVerifiedResult(const RuleRecord& rule, const VerifiedFile& file, HeldVerifyResult& result,
                          WorkFailure& failure, const std::function<DWORD(DWORD status)>& signatureFailure) {
  const VerifyResult& verified = *result.get();
  const std::uint32_t entries = SignerEntryCount(verified);
  if (entries != file.announced) {
    result.Release();
    CString counts = FormatText(L" (%d - %d)", entries, file.announced);
    return OwnFailure(failure, ERR_SIGNATURE_INFO_MISMATCH,
                      FormatText(L"Заполнение информации об ЭП файла '%s' (размер: %s) %s", file.countedFile,
                                 FileSizeText(file.countedPath), counts),
                      kWrongSignatureTypeText);
  }
  if (DWORD status = FirstUnverifiedStatus(verified)) return signatureFailure(status);
  std::vector<CString> unsatisfied = CheckSignerLists(rule.signerLists, verified);
  if (!unsatisfied.empty()) {
    result.Release();
    return OwnFailure(failure, ERR_SIGNER_NOT_LISTED,
                      FormatText(L"Проверка подписантов ЭП файла '%s' (размер: %s)", file.listedFile,
                                 FileSizeText(file.listedPath)),
                      SignerListsDescription(unsatisfied));
  }
  return 0;
}

DWORD CheckVerifiedClaimedFile(const RuleRecord& rule, const PipelineFile& file, const VerifiedSignatures& signatures,
                               HeldVerifyResult& result, WorkFailure& failure) {
  const VerifiedFile verified{signatures.announced, file.source, file.claimed, file.source, file.claimed};
  return CheckVerifiedResult(rule, verified, result, failure, [&](DWORD status) {
    return SignatureFailure(signatures.context, status, result, signatures.stamps, failure);
  });
}

DWORD SignatureFailure(LibraryContext context, DWORD code, HeldVerifyResult& result,
                       const std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure) {
  CString lines = SignatureFailureText(*result.get(), stamps);
  result.Release();
  return LibraryFailure(failure, code, context, lines.IsEmpty() ? CString() : L"\r\n" + lines);
}

DWORD CheckAttachedTimeStamps(const TimeStampCheck& check, const CString& source, const CString& claimed,
                              std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure) {
  return TimeStampChecksFailure(
      AttachedStampStepText(source, claimed),
      CheckTimeStamps(check.context, claimed, check.count, check.streamCall, check.noTspIsError), stamps, failure);
}

DWORD CheckDetachedTimeStamps(const TimeStampCheck& check, const DetachedStampNames& names,
                              std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure) {
  return TimeStampChecksFailure(
      FormatText(L"Проверка штампов времени отсоединенной ЭП файла %s (размер: %s) в файле %s (размер: %s)",
                 names.dataSource, FileSizeText(names.dataClaimed), names.signatureSource,
                 FileSizeText(names.signatureClaimed)),
      CheckTimeStamps(check.context, names.signatureClaimed, check.count, check.streamCall, check.noTspIsError),
      stamps, failure);
}

TimeStampChecks CheckTimeStamps(LibraryContext context, const DataBlob& message, std::uint32_t count,
                                bool noTspIsError) {
  return CheckEveryStamp(context, count, noTspIsError, [&](const TspVerifyParams* params, TspVerifyResult* result) {
    return ORLAX_TspBlkVerifyCmsMem(context, params, &message, result);
  });
}
