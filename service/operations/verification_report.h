#pragma once
// What the verifying operations (CHCK, CHKX, DCHK, and decrypt-and-verify)
// make of the library's verification results: the verification report
// written beside the output, the texts that explain a failed time-stamp
// check or a failed signature in a journal record, and the time text they
// share.
//
// Inputs are the VerifyResult of one verification and the time-stamp checks
// of the same file (one TimeStampCheckResult per checked signature, in
// signature order; empty when the stamps were not checked). Nothing here
// calls the library or keeps anything of its records.
//
// Everything runs on the worker thread.

#include <cstdint>
#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/operations/time_stamp_check_result.h"

// "%02d.%02d.%02d %02d/%02d/%d" of the local time of `seconds` since 1970:
// hour, minute, second, day, month, four-digit year ("15.04.09 03/11/2023").
// A time that cannot be converted gives -1 for hour, minute and second and 0
// for day, month and year.
CStringA ReportTimeText(std::int64_t seconds);

// The current time of the layer's clock, in seconds since 1970.
std::int64_t CurrentTimeSeconds();

// The number of entries a result really holds (0 when it has no entry array).
std::uint32_t SignerEntryCount(const VerifyResult& result);

// The status an entry stands for: its own status, or, for an entry that
// claims success but carries no signer certificate, SIGNER_CERT_NOT_FOUND (a
// signature whose signer is unknown is not a verified signature).
DWORD SignerEntryStatus(const SignerEntry& entry);

// The whole report as 8-bit text in the ANSI code page, CR LF line ends:
// "Количество ЭП: %d" with the entry count, then one block per entry (number,
// owner, serial number, issuer, signing time, check time read as the block is
// made, the certificate's OIDs when it has any, then for each time-stamp
// check of that signature the server's certificate when known and the stamp
// time when above 0). An entry without a certificate shows empty owner,
// serial number and issuer.
CStringA ComposeVerificationReport(const VerifyResult& result, const std::vector<TimeStampCheckResult>& stamps);

// Where writing the report failed.
enum class ReportStage { kNone, kOpen, kWrite };

struct ReportWriteResult {
  ReportStage stage = ReportStage::kNone;
  DWORD code = 0;  // the class library's file-exception cause (2, 3, 5, 11, 13 ...), 0 on success
};

// Writes the report to path in one piece: the file is created or emptied,
// others may read but not write it while it is open. On a failed write the
// file is closed and deleted, so a failure never leaves a partial report; a
// failed open touches nothing (whatever holds the name is not ours).
ReportWriteResult WriteVerificationReport(const CString& path, const VerifyResult& result,
                                          const std::vector<TimeStampCheckResult>& stamps);

// The step text of a failed report for the journal record:
// "Открытие файла %s (размер: %s)" or "Запись файла %s (размер: %s)" with the
// report path and its size now.
CString ReportFailureStepText(const ReportWriteResult& failure, const CString& path);

// "Ошибка ORLAX 0x%X - <description>" (or "Ошибка 0x%X - ...") of a code, as
// the failure texts below list it.
CString CodeLabelText(DWORD code);

// For each time-stamp check that failed (result not 0): its number (position
// + 1), the code label, the server's certificate when its serial number is
// known, and the stamp time when known; CR LF after every line.
CString TimeStampFailureText(const std::vector<TimeStampCheckResult>& stamps);

// For each entry whose status (SignerEntryStatus) is not 0: its number, the
// code label, and, when it has a certificate, the owner, serial number and
// issuer it has, the signing and check times and the OIDs; then, with or
// without a certificate, the time-stamp lines of that signature as in the
// report. CR LF after every line; empty when every entry verified.
CString SignatureFailureText(const VerifyResult& result, const std::vector<TimeStampCheckResult>& stamps);
