#pragma once
// Every operation a rule can name, once: the code stored in a rule's
// "Operation", the name the configuration program shows for it, and what the
// service and the configuration program need to know of it. Both programs
// read this table and nothing else lists operations: whoever adds a row here
// is told by the compiler (the service's dispatch switches over Operation
// without a default) what else to fill.
//
// Also the names of the content ciphers that "Enc algorythm" selects.

#include <span>

#include "platform/cstring.h"

// In the order the configuration program lists them: a rule editor's
// position in its operation list is the value.
enum class Operation {
  kEncr, kDecr, kHash, kB64e, kB64d, kSign, kChck, kChkx,
  kMove, kDele, kLenc, kLdec, kCdsg, kDsig, kDchk, kDels,
  kResg, kSgen, kDccx, kArch, kUnar, kPack, kUnpk, kExec,
};
inline constexpr int kOperationCount = 24;

// What "ZipFile" means to an operation.
enum class ArchiveUse {
  kNone,      // not used
  kOptional,  // 0 none, 1 ZIP, 2 GZIP
  kRequired,  // 1 ZIP or 2 GZIP (the archive is the operation)
};

struct OperationTraits {
  Operation operation;
  const wchar_t* code;         // as stored in "Operation"
  const wchar_t* displayName;  // as the configuration program shows it
  // Files go to "Path Out" (DELE writes none; EXEC only hands the folder to
  // its program), so the folder must not be "Path In".
  bool writesOutput;
  // The rule's recipients ("C%d") are searched in the directory before the
  // operation runs.
  bool searchesRecipients;
  // The rule carries signer lists that a verification checks.
  bool checksSigners;
  // A second directory profile ("ZCSProfile2") signs anew.
  bool usesResignProfile;
  // The rule chooses between block and stream mode ("Stream").
  bool choosesMode;
  // The rule needs a directory profile ("ZCSProfile").
  bool usesDirectoryProfile;
  ArchiveUse archive;
};

// Every operation, indexed by its Operation value.
std::span<const OperationTraits> OperationCatalogue();
const OperationTraits& TraitsOf(Operation operation);
// The operation whose code equals code exactly (letter case included), or
// null for a code no operation has.
const OperationTraits* FindOperation(const CString& code);
// True when code is exactly operation's code.
bool IsOperation(const CString& code, Operation operation);
// True when code names an operation with trait set; false for a code no
// operation has.
bool OperationHas(const CString& code, bool OperationTraits::*trait);
// What "ZipFile" means to the operation of code (kNone for an unknown code).
ArchiveUse ArchiveUseOf(const CString& code);
// The display name of code, or code itself when no operation has it.
CString OperationDisplayName(const CString& code);

// The content ciphers of "Enc algorythm" 0 to 4, by setting.
inline constexpr int kEncAlgorithmCount = 5;
inline constexpr const wchar_t* kEncAlgorithmNames[kEncAlgorithmCount] = {
    L"ГОСТ Р 28147-89", L"ГОСТ Р 34.12-2015 Магма", L"ГОСТ Р 34.12-2015 Магма с имитовставкой",
    L"ГОСТ Р 34.12-2015 Кузнечик", L"ГОСТ Р 34.12-2015 Кузнечик с имитовставкой"};
// The name of a cipher setting, or null for a value outside 0 to 4.
const wchar_t* EncAlgorithmName(int value);
