#pragma once
// The operation functions that the dispatch calls, one per operation family.
// Every function takes an OperationCall (what every operation receives), then
// its own arguments: one plain parameter where it has one, a small record of
// named fields where it has more. It returns 0 when every file was handled,
// recorded or passed over, or the non-zero result of the journal writer or
// the error-folder mover, on which the worker stops the service.

#include <cstdint>
#include <span>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "common/config_records.h"
#include "service/core/directory_profile_table.h"
#include "service/core/rule_settings.h"
#include "service/core/worker_state.h"

// What every operation receives for one rule with listed files.
struct OperationCall {
  const CStringArray& files;  // bare names listed in the rule's "Path In"
  // The worker's library contexts, one per directory profile; only the
  // operations that call the library read it, the others may leave it null
  // (a null table gives a null context, which the library refuses).
  const DirectoryProfileTable* table = nullptr;
  int ruleIndex = 0;  // position in the profile's rules
  const RuleRecord& rule;      // as loaded
  const RuleState& state;      // the worker's state of the rule (its table positions)
  WorkerState& worker;         // the worker's journal files (every record updates them) and run memory
  CString journalFolder;
  CString profileName;
  // The rule's stored numbers (and the profile's and directory profiles'
  // switches it runs with) as what they mean: ReadRuleSettings of the rule.
  RuleSettings settings;
};

// How the library takes a file: whole, with block calls, or in chunks, with
// stream calls (ENCR/DECR against LENC/LDEC).
enum class TransferMode { kBlock, kStream };

// ENCR and LENC.
struct EncryptionArguments {
  CString encExt;
  CString archExt;  // of the archive made first when the rule's "ZipFile" asks for one
  TransferMode transfer = TransferMode::kBlock;
  std::span<const CertRecord> recipients;  // the certificates found for the rule's recipients
};
DWORD EncryptFiles(const OperationCall& call, const EncryptionArguments& arguments);

// DECR and LDEC.
struct DecryptionArguments {
  CString encExt;
  CString archExt;
  const CStringArray* extExt = nullptr;  // the extensions an output name may keep
  TransferMode transfer = TransferMode::kBlock;
};
DWORD DecryptFiles(const OperationCall& call, const DecryptionArguments& arguments);

// HASH.
DWORD HashFiles(const OperationCall& call, CString hashExt);

// B64E and B64D.
DWORD EncodeFilesBase64(const OperationCall& call, CString b64Ext);
struct DecodingArguments {
  CString b64Ext;
  const CStringArray* extExt = nullptr;
};
DWORD DecodeFilesBase64(const OperationCall& call, const DecodingArguments& arguments);

// SIGN makes an attached signature of each input, CDSG a detached one, DSIG
// adds a signature to a detached signature of its data file.
enum class SignatureKind { kAttached, kDetached, kAddedToDetached };
struct SigningArguments {
  CString sigExt;  // of the signature made (or, for DSIG, listed)
  SignatureKind kind = SignatureKind::kAttached;
};
DWORD SignFiles(const OperationCall& call, const SigningArguments& arguments);

// CHCK, and CHKX, which also gives back the content without its signatures.
struct AttachedVerificationArguments {
  CString sigExt;
  bool removeSignatures = false;  // CHKX
  bool writeReport = false;       // the profile's "Verify File" (CHCK) or "Verify x file" (CHKX)
  CString verifyFileExt;
};
DWORD VerifyAttachedSignatures(const OperationCall& call, const AttachedVerificationArguments& arguments);

// DCHK.
struct DetachedVerificationArguments {
  CString dsigExt;
  bool writeReport = false;  // the profile's "Verify det file"
  CString verifyFileExt;
};
DWORD VerifyDetachedSignatures(const OperationCall& call, const DetachedVerificationArguments& arguments);

// RESG.
struct ResigningArguments {
  CString sigExt;
  CString dsigExt;
  bool writeReport = false;  // the profile's "Verify resign file"
  CString verifyFileExt;
};
DWORD ResignFiles(const OperationCall& call, const ResigningArguments& arguments);

// DELS.
DWORD RemoveSignatures(const OperationCall& call, CString sigExt);

// SGEN.
struct SignAndEncryptArguments {
  CString sigExt;
  CString archExt;
  CString encExt;
  std::span<const CertRecord> recipients;
};
DWORD SignAndEncryptFiles(const OperationCall& call, const SignAndEncryptArguments& arguments);

// DCCX.
struct DecryptAndVerifyArguments {
  CString sigExt;
  CString archExt;
  CString encExt;
  const CStringArray* extExt = nullptr;
  bool writeReport = false;  // the profile's "Verify x file"
  CString verifyFileExt;
};
DWORD DecryptAndVerifyFiles(const OperationCall& call, const DecryptAndVerifyArguments& arguments);

// DELE and MOVE.
DWORD DeleteFiles(const OperationCall& call);
DWORD MoveFiles(const OperationCall& call);

// ARCH and UNAR.
DWORD ArchiveFiles(const OperationCall& call, CString archExt);
DWORD UnarchiveFiles(const OperationCall& call, CString archExt);

// PACK, UNPK and EXEC.
struct PackingArguments {
  CString archExt;
  // When the rule's wait for more files began; kept by the worker between
  // runs (null: no wait is carried over).
  std::int64_t* waitStart = nullptr;
};
DWORD PackFiles(const OperationCall& call, const PackingArguments& arguments);
DWORD UnpackArchives(const OperationCall& call);
DWORD ExecuteProgram(const OperationCall& call);
