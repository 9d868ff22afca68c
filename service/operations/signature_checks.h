#pragma once
// The library calls and checks that the attached and the detached
// verification share: the time stamps of every signature of a message, the
// verification parameters, and what a successful verification must still
// show before a file counts as verified.
//
// Everything runs on the worker thread, with the rule's library context.

#include <cstdint>
#include <functional>
#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/operations/time_stamp_check_result.h"
#include "service/core/file_pipeline.h"
#include "service/operations/stream_stage_chain.h"

class HeldVerifyResult;

// The outcome of the time-stamp checks of one message.
struct TimeStampChecks {
  std::vector<TimeStampCheckResult> records;  // one per signature, in order
  DWORD code = 0;                             // the code of the last signature that failed; 0 when none did
  CString stack;                              // the context's error stack after the last check, when one failed
};

// The parameters of the time-stamp check of signature index (from 0).
TspVerifyParams MakeTspVerifyParams(std::uint32_t index);

// One signature's stamp checked by call (a file, memory or stream form),
// its result record released whatever the call gave. A missing stamp
// (ORLAX_E_NO_TIME_STAMP) passes, with result 0, unless noTspIsError.
using StampCall = std::function<DWORD(const TspVerifyParams* params, TspVerifyResult* result)>;
TimeStampCheckResult CheckOneStamp(LibraryContext context, std::uint32_t index, bool noTspIsError,
                                   const StampCall& call);

// Checks the time stamp of each of `count` signatures of the message at path
// (the stream call when streamCall, else the block call), every signature
// even after a failure. A missing stamp (ORLAX_E_NO_TIME_STAMP) passes, with
// result 0 in its record, unless noTspIsError. The error stack is drained
// after the last check in every case, so lines of tolerated failures never
// reach a later record.
TimeStampChecks CheckTimeStamps(LibraryContext context, const CString& path, std::uint32_t count, bool streamCall,
                                bool noTspIsError);

// How the time stamps of one message are checked, as CheckTimeStamps does:
// with the rule's library context, the stamps of `count` signatures, by the
// stream call when streamCall (else the block call); a missing stamp fails
// only when noTspIsError.
struct TimeStampCheck {
  LibraryContext context;
  std::uint32_t count;
  bool streamCall;
  bool noTspIsError;
};

// The time-stamp checks of an attached message (source: its name before the
// claim, claimed: the file checked) as a failure of the file: the records go
// to stamps; when a check fails, failure gets the code of the last failing
// signature, "Проверка штампов времени ЭП в файле ..." with the failing
// signatures' lines, and the stack. Returns the code, 0 when every check
// passed.
DWORD CheckAttachedTimeStamps(const TimeStampCheck& check, const CString& source, const CString& claimed,
                              std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure);

// The files of a detached pair as the stamp checks name them: each name
// before the claim with its claimed path, whose size is shown.
struct DetachedStampNames {
  CString dataSource;
  CString dataClaimed;
  CString signatureSource;
  CString signatureClaimed;
};

// The same for a detached signature (the claimed signature is checked):
// "Проверка штампов времени отсоединенной ЭП файла ... в файле ...".
DWORD CheckDetachedTimeStamps(const TimeStampCheck& check, const DetachedStampNames& names,
                              std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure);

// The same checks on a message in memory (the block call over message).
TimeStampChecks CheckTimeStamps(LibraryContext context, const DataBlob& message, std::uint32_t count,
                                bool noTspIsError);

// "Проверка штампов времени ЭП в файле %s (размер: %s)": source, the size of
// claimed.
CString AttachedStampStepText(const CString& source, const CString& claimed);

// The checks as the record of the file: the records go to stamps; when a
// check failed, failure gets its code, stepText with the failing signatures'
// lines, and the stack. Returns the code, 0 when every check passed.
DWORD TimeStampChecksFailure(const CString& stepText, TimeStampChecks&& checks,
                             std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure);

// The verification parameters: zeroed, the checks word 0x407, content handed
// out (flag 0x4 and the 0xFFFFFFFF limit) when giveContent, and 0x4000 when
// the directory profile's "NotCopyToLocal" is set.
VerifyParams MakeVerifyParams(bool giveContent, bool notCopyToLocal);

// The status of the first entry that did not verify (SignerEntryStatus), or
// 0 when every entry did. The library's call result speaks for the message;
// this holds each signature to the same standard, so that an entry marked
// failed, or without its signer's certificate, never passes.
DWORD FirstUnverifiedStatus(const VerifyResult& result);

// The calls of an attached verification stage on the stream stage chain:
// its Updates and Final hand out the content; the Final fills result.
StreamCalls AttachedVerificationCalls(LibraryContext context, const VerifyParams* params, HeldVerifyResult& result);

// The lines of the signatures that failed (with their stamps) after a failed
// stream verification Final, starting on a line of their own; empty when no
// entry reports a failure.
CString FailedSignerLines(const VerifyResult& result, const std::vector<TimeStampCheckResult>& stamps);

// A signature that failed with code: the lines of the failing entries (with
// their stamps) follow the rule prefix, the library's stack is the detail,
// and the result is released. Returns code.
DWORD SignatureFailure(LibraryContext context, DWORD code, HeldVerifyResult& result,
                       const std::vector<TimeStampCheckResult>& stamps, WorkFailure& failure);

// The file a verification passed: the number of signatures its information
// announced, and how the checks below name it in their step texts: the file
// whose signatures were counted and the one whose signers were listed, each
// with the (claimed) path whose size is shown.
struct VerifiedFile {
  std::uint32_t announced;
  CString countedFile;
  CString countedPath;
  CString listedFile;
  CString listedPath;
};

// What a successful verification must still show before the file counts as
// verified: exactly the announced number of entries (else
// ERR_SIGNATURE_INFO_MISMATCH), every entry verified (else the first entry's
// status, handed to signatureFailure, whose result is returned), and every
// signer list of the rule met by verified signers (else ERR_SIGNER_NOT_LISTED).
// The library's result is released on the failures this reports itself.
DWORD CheckVerifiedResult(const RuleRecord& rule, const VerifiedFile& file, HeldVerifyResult& result,
                          WorkFailure& failure, const std::function<DWORD(DWORD status)>& signatureFailure);

// The signatures of a message that a verification call passed: the context
// that verified them, how many the message announced, and the records of
// their stamp checks (empty when none were checked).
struct VerifiedSignatures {
  LibraryContext context;
  std::uint32_t announced;
  const std::vector<TimeStampCheckResult>& stamps;
};

// CheckVerifiedResult for a claimed file that every text names by its
// source name with the claimed file's size; an unverified entry fails as
// SignatureFailure does (its lines with their stamps, the stack).
DWORD CheckVerifiedClaimedFile(const RuleRecord& rule, const PipelineFile& file, const VerifiedSignatures& signatures,
                               HeldVerifyResult& result, WorkFailure& failure);
