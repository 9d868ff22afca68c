#include "service/core/record_texts.h"
#include "service/operations/signed_input_check.h"

#include "common/library_error_stack.h"
#include "service/core/journal.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"

CString InformationText(const CString& examined, const CString& claimed) {
  return FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", examined, FileSizeText(claimed));
}

CString DataText(const CString& examined, const CString& claimed) {
  return FormatText(L"Получение данных о ЭП файла %s (размер: %s)", examined, FileSizeText(claimed));
}

CString WrongFormText(const wchar_t* format, const CString& examined, const CString& claimed) {
  return L". " + FormatText(format, examined, FileSizeText(claimed));
}

DWORD WrongType(WorkFailure& failure, const CString& step, LibraryContext context, bool withStack) {
  if (withStack) LibraryFailure(failure, ERR_WRONG_SIGNATURE_TYPE, context, step);
  return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongTypeText);
}

DWORD CheckAttachedInput(LibraryContext context, const PipelineFile& file, AttachedInput& input,
                         WorkFailure& failure) {
  HeldMessageInfo info(context);
  DWORD code = ORLAX_CmsStrMsgInfFile(context, LibraryPath(file.claimed), info.get(), 0);
  const MessageInfo& message = *info;
  input.streamEncoded = (message.flags & ORLAX_MSG_STREAM) != 0;
  input.signatureCount = 0;
  if (code == 0 && message.type != ORLAX_MSG_SIGNED) {
    CString step = InformationText(file.source, file.claimed);
    if (message.type == ORLAX_MSG_ENVELOPED) step += L". Файл зашифрован";
    return WrongType(failure, step, context, false);
  }
  if (code == ORLAX_E_NOT_SIGNED_MESSAGE) {
    // Plain data that only has the name. The refusal's lines must not turn
    // up in a later record of the context.
    FormatLibraryErrorStack(context);
    return 0;
  }
  if (code != 0) return LibraryFailure(failure, code, context, DataText(file.source, file.claimed));
  if ((message.flags & ORLAX_MSG_DETACHED) != 0) {
    CString step = DataText(file.source, file.claimed) +
                   WrongFormText(L"Файл %s (размер: %s) содержит отсоединённую подпись вместо присоединённой",
                                 file.source, file.claimed);
    return WrongType(failure, step, context, true);
  }
  input.signatureCount = message.signatureCount;
  return 0;
}
