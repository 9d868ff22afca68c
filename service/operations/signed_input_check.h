#pragma once
// The check of an input named like an attached signature, before another
// signature is added to it (SIGN, SGEN): what its message information says
// it is, with the records that refuse a message of the wrong kind. The texts
// serve the check of a detached signature (DSIG) too.

#include <cstdint>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/file_pipeline.h"

// The description of ERR_WRONG_SIGNATURE_TYPE in the records of the checks.
inline constexpr const wchar_t* kWrongTypeText = L"Неправильный тип подписи";

// What the check found.
struct AttachedInput {
  bool streamEncoded = false;      // the message's flags bit 0, whatever the outcome
  std::uint32_t signatureCount = 0;  // signatures already there; 0 for plain data
};

// Reads the message information of the claimed file. 0 for an attached
// signed message (its count and form in input) and for a file that is no
// signed message at all (plain data, count 0). Otherwise the failure, as the
// records show it: the library's code with "Получение данных о ЭП файла %s
// (размер: %s)" and the stack; ERR_WRONG_SIGNATURE_TYPE ("Неправильный тип
// подписи") for a message of another type (". Файл зашифрован" for an
// enveloped one), no stack, and for a detached signature, with the stack.
DWORD CheckAttachedInput(LibraryContext context, const PipelineFile& file, AttachedInput& input,
                         WorkFailure& failure);

// Step texts of the checks: examined is the name shown, claimed the file
// whose size is shown.
CString InformationText(const CString& examined, const CString& claimed);
CString DataText(const CString& examined, const CString& claimed);
// ". " + format (examined, size of claimed).
CString WrongFormText(const wchar_t* format, const CString& examined, const CString& claimed);
// ERR_WRONG_SIGNATURE_TYPE with its description and the step text; with the
// context's error stack as detail when withStack.
DWORD WrongType(WorkFailure& failure, const CString& step, LibraryContext context, bool withStack);
