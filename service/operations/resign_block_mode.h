#pragma once
// What the re-signing operation (RESG) hands to the mode that re-signs one
// file's content, and the block mode itself: an attached signature that is
// not stream-encoded is read whole, verified with its content given back,
// signed anew, optionally stamped, and its outputs are written whole.
//
// Runs on the worker thread.

#include <cstdint>
#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/file_pipeline.h"
#include "service/core/rule_settings.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/time_stamp_check_result.h"

// One call's fixed values.
struct ResignJob {
  const RuleRecord& rule;
  bool detachedInput;   // the rule's "In format det"
  bool detachedOutput;  // the rule's "Out format det"
  LibraryContext verifyContext;  // every verification, and the release of every library buffer
  LibraryContext resignContext;  // the new signature and its stamp
  DirectorySwitches verifySettings;
  DirectorySwitches resignSettings;
  SignParams signParams;
  CString tspUrl;
  bool addTimeStamp;
  bool writeReport;  // "Verify resign file"
  CString sigExt;
  CString dsigExt;
  CString verifyFileExt;
};

// One file's names and what it carries from step to step.
struct ResignFile {
  CString dataName;
  // The signed file and the content as the texts show them (names before the
  // claim) and their claimed paths, whose sizes the texts show. For an
  // attached input both are the listed file.
  CString signatureSource;
  CString signatureClaimed;
  CString contentSource;
  CString contentClaimed;
  // Their size texts, taken before streaming: a file held open exclusively
  // shows no size.
  CString signedSize;
  CString contentSize;
  CString signatureOutput;
  CString dataOutput;  // empty for an attached output
  CString report;
  std::uint32_t announced = 0;
  bool streamEncoded = false;
  std::vector<TimeStampCheckResult> stamps;
  // The outputs written so far: a failure of the file deletes them.
  bool signatureWritten = false;
  bool dataWritten = false;
  bool done = false;  // the success record shows the real count and sizes
};

// Re-signs the claimed attached input in memory. On success the outputs are
// written and result holds the verification; otherwise failure is filled
// (result released) and the code returned.
DWORD ResignInBlocks(const ResignJob& job, const PipelineFile& file, ResignFile& state, HeldVerifyResult& result,
                     WorkFailure& failure);
