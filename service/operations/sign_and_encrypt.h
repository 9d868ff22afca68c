#pragma once
// SGEN's parts, shared by its sources only: the frame
// (sign_and_encrypt_files.cpp) claims and checks every file, names its
// output and chooses the mode; block mode (sign_and_encrypt_block.cpp) works
// on the whole file in memory, stream mode (sign_and_encrypt_stream.cpp) on
// chunks through the stream stage chain; both hand the signed message to the
// archiving step (sign_and_encrypt_archive.cpp) when the rule archives.
//
// Every step returns 0 or fills the WorkFailure for the frame's FailFile;
// nothing of a failed file is left at the output or in the temporary folder.

#include <cstdint>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/file_pipeline.h"
#include "service/core/rule_settings.h"

namespace sgen {

// One call's fixed values.
struct Job {
  const RuleRecord& rule;
  const RuleSettings& settings;
  LibraryContext context;
  CString sigExt;
  SignParams signParams;
  bool stampSignatures;  // "AutoUseTSP" of the rule's directory profile
  CString serverTsp;  // as configured ("ServerTSP" of the rule's directory profile)
  EncryptParams encryptParams;
};

// One file's values beyond the pipeline's names.
struct Target {
  CString entryName;  // the signed file's own name: the ZIP entry, the GZIP header's name
  std::uint32_t existingSignatureCount = 0;  // the 0-based number of the signature added
};

// The file at work: the call's values, the pipeline's file and the file's
// own values.
struct FileWork {
  const Job& job;
  const PipelineFile& file;
  const Target& target;
};

// The whole claimed file in memory (the program's own buffer, released by
// the mode as soon as the signing call returns).
DWORD SignAndEncryptBlock(const Job& job, const PipelineFile& file, const Target& target, DataBlob& data,
                          WorkFailure& failure);
DWORD SignAndEncryptStream(const Job& job, const PipelineFile& file, const Target& target, WorkFailure& failure);

// Block mode's archiving step: the message in a ZIP archive in memory (its
// buffer large enough for the archive of any message of its length) or in
// GZIP form. archive receives the program's own buffer (free()).
DWORD ArchiveInMemory(const FileWork& work, const DataBlob& message, DataBlob& archive, WorkFailure& failure);
// Stream mode's archiving step: the signed message in signedScratch is
// archived into a scratch file of its own and encrypted to the output.
DWORD ArchiveAndEncryptFile(const Job& job, const PipelineFile& file, const Target& target,
                            const CString& signedScratch, WorkFailure& failure);

// The step text of a failed encryption, block or file form.
CString EncryptionText(const Job& job, const PipelineFile& file);
// TspStampParams for the signature this operation adds.
TspStampParams StampParams(const Target& target);

}  // namespace sgen
