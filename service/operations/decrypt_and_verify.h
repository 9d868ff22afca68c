#pragma once
// DCCX's parts, shared by its sources only. The frame
// (decrypt_and_verify_files.cpp) claims each file, names its output and
// report, checks the envelope, runs a first pass that learns what the
// envelope holds and, at the join, chooses the verification: block mode
// (decrypt_and_verify_block.cpp) works on whole files in memory, stream
// mode (decrypt_and_verify_stream.cpp) reads the claimed input in chunks
// through the stream stage chain, and the archive path
// (decrypt_and_verify_archive.cpp) decrypts into a scratch file, unpacks it
// and verifies file to file. Every verification that passed ends in the tail
// (decrypt_and_verify_tail.cpp): report, content, final record.
//
// Nothing unverified reaches "Path Out" under the output's name: the
// content is written to file.output, the temporary name the pipeline gave
// the output, which gets its name, never replacing, only when the file
// completes, that is once every check has passed. A
// failed file leaves neither content nor report nor scratch file behind.
//
// Every step returns 0 or fills the WorkFailure for the frame's FailFile.
// Worker thread only.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/config_records.h"
#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/file_pipeline.h"
#include "service/core/rule_settings.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/stream_stage_chain.h"
#include "service/operations/time_stamp_check_result.h"

namespace dccx {

// One call's fixed values.
struct Job {
  const RuleRecord& rule;
  LibraryContext context;
  DirectorySwitches settings;  // of the rule's directory profile
  ArchiveSetting archive;      // the rule's "ZipFile"
  bool writeReport;            // "Verify x file"
};

// One file's state between the frame, the passes and the tail.
struct FileState {
  CString report;          // ReportPath
  CString strippedSuffix;  // what naming cut off the listed name
  CString cipherLabel;     // " (Алгоритм шифрования: ...)", or empty
  bool envelopeStreamEncoded = false;
  bool contentStreamEncoded = false;
  std::uint32_t signatureCount = 0;  // of the decrypted content's information
  VerifyParams verifyParams{};
  std::vector<TimeStampCheckResult> stamps;  // one per signature when checked
  bool complete = false;                     // the final record shows the count and sizes
};

// The file at work, as every step after the envelope check sees it: the
// call's values, the pipeline's file and the file's state.
struct FileWork {
  const Job& job;
  const PipelineFile& file;
  FileState& state;
};

// The message of every record: the first form for an archiving rule; "%s"
// for the directory profile, source, its size, the signature count, the
// output and its size.
const wchar_t* OperationFormat(bool archives);
// The work step of a file whose names are settled.
DWORD DecryptAndVerifyStep(const Job& job, FilePipeline& pipeline, PipelineFile& file, FileState& state,
                           WorkFailure& failure);

// "Профиль справочника : '%s'. Расшифрование файла ..." of a failed decryption.
CString DecryptionText(const Job& job, const PipelineFile& file);
// "Получение информации об ЭП файла '%s' (размер: %s)".
CString ContentInformationText(const PipelineFile& file);

// Block first pass: the claimed file read whole, decrypted and its content's
// information taken into info.
DWORD BlockFirstPass(const Job& job, const PipelineFile& file, HeldMessageInfo& info, WorkFailure& failure);
// Block verification: the claimed file decrypted again, the stamps checked,
// the signatures verified with the content given back in content.
DWORD BlockVerification(const FileWork& work, HeldVerifyResult& result, HeldLibraryBlob& content,
                        WorkFailure& failure);

// The plaintext that the decryption of a file's first stream pass handed
// out, call by call, kept in a scratch file (anonymous, readable by its owner
// only, in $TMPDIR, gone with the object or the process) so that the later
// passes take it from there instead of decrypting the input once more. They
// read the same input in the same chunks and so make the same decryption
// calls in the same order: each call gets what the same call gave before,
// and everything after the decryption (its checks, records and outputs) sees
// what it saw. Where the scratch file cannot be made or written, nothing is
// kept and every pass decrypts.
class DecryptedSpool {
 public:
  DecryptedSpool();
  ~DecryptedSpool();
  DecryptedSpool(const DecryptedSpool&) = delete;
  DecryptedSpool& operator=(const DecryptedSpool&) = delete;

  // True while a pass's decryption outputs are being kept.
  bool Keeping() const { return keeping_; }
  // True once a whole pass was kept: later passes take it back.
  bool Kept() const { return kept_; }
  // Starts keeping (before the first stream pass); nothing when there is no
  // scratch file.
  void StartKeeping();
  // Appends one call's output; a write that fails drops what was kept.
  void Keep(const DataBlob& output);
  // Ends a pass that kept everything: from now on the passes take it back.
  void EndKeeping();
  // Goes back to the first kept output (each later pass starts there).
  DWORD Rewind();
  // The next kept output, in a buffer of its own (released by Release).
  // 0, or the cause of a failed read.
  DWORD Next(DataBlob* output);
  // Releases a buffer that Next gave; false for any other buffer.
  bool Release(DataBlob& blob);

 private:
  void Drop();

  std::FILE* file_ = nullptr;
  bool keeping_ = false;
  bool kept_ = false;
  std::vector<const std::uint8_t*> given_;
};

// What the stream passes of a file read: the claimed input (with the
// writer of the content) and what the first decryption handed out.
struct StreamInput {
  StreamFiles& files;
  DecryptedSpool& spool;
};

// Stream first pass (a stream-encoded envelope): the input opened and read
// through the decryption into the message information, which info gets; the
// decryption's outputs are kept in the spool. The input stays open for the
// verification; a failure closes it.
DWORD StreamFirstPass(const Job& job, const PipelineFile& file, StreamInput input, HeldMessageInfo& info,
                      WorkFailure& failure);
// Stream verification: the claimed input (opened here after a block first
// pass) read again, first for the time stamps when the profile checks them,
// then for the signatures, with the content written to file.output; result holds
// the verification's result. The decrypted content comes from the spool where
// an earlier pass kept it (else the first of these passes keeps it for the
// next). On success the files are closed.
DWORD StreamVerification(const FileWork& work, StreamInput input, HeldVerifyResult& result, WorkFailure& failure);

// Archive first pass: the claimed file decrypted into a scratch file and
// unpacked into message; info gets the information of the signed message in
// it.
DWORD FileFirstPass(const Job& job, const PipelineFile& file, TemporaryWorkFile& message, HeldMessageInfo& info,
                    WorkFailure& failure);
// File verification: the stamps of the message checked, its signatures
// verified with the content written to file.output; message is deleted.
DWORD FileVerification(const FileWork& work, TemporaryWorkFile& message, HeldVerifyResult& result,
                       WorkFailure& failure);

// What every verification must still show (every signature verified, their
// number as announced, the signer lists met), then the report and the
// content (block mode: from content into file.output). 0: the file is ready
// to complete.
DWORD Tail(const FileWork& work, HeldVerifyResult& result, HeldLibraryBlob* content, WorkFailure& failure);

}  // namespace dccx
