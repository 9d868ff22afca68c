#include "service/operations/crypto_operation_support.h"

#include <cstring>

#include "common/library_error_stack.h"
#include "platform/files.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/core/whole_file.h"

LibraryContext RuleContext(const DirectoryProfileTable* table, int tableIndex) {
  if (table == nullptr || tableIndex < 0 || tableIndex >= static_cast<int>(table->size())) return nullptr;
  return (*table)[static_cast<size_t>(tableIndex)].context;
}

CStringA LibraryPath(const CString& path) { return CStringA(CString(platform::PathThroughHeld(path).c_str())); }

DWORD LibraryFailure(WorkFailure& failure, DWORD code, LibraryContext context, const CString& stageText) {
  failure.code = code;
  failure.stageText = stageText;
  failure.detail = FormatLibraryErrorStack(context);
  return code;
}

DWORD OwnFailure(WorkFailure& failure, DWORD code, const CString& stageText, const CString& description) {
  failure.code = code;
  failure.stageText = stageText;
  failure.description = description;
  return code;
}

DWORD WholeFileReadFailure(const PipelineFile& file, int stage, DWORD code, WorkFailure& failure) {
  switch (stage) {
    case kWholeFileStageOpen:
      return OwnFailure(failure, code,
                        FormatText(L"Открытие файла %s (размер: %s)", file.source, FileSizeText(file.claimed)));
    case kWholeFileStageSize:
      return OwnFailure(failure, code, FormatText(L"Определение размера файла %s", file.source),
                        code == ERR_FILE_SIZE_UNSUPPORTED ? L"Размер файла больше 2ГБ или равен нулю" : L"");
    default:
      return OwnFailure(failure, code,
                        FormatText(L"Чтение файла %s (размер: %s)", file.source, FileSizeText(file.claimed)));
  }
}

HeldMessageInfo::HeldMessageInfo(LibraryContext context) : context_(context) {
  std::memset(&info_, 0, sizeof(info_));
}
HeldMessageInfo::~HeldMessageInfo() { Release(); }
void HeldMessageInfo::Release() { ORLAX_CmsFreeMsgInf(context_, &info_); }

HeldVerifyResult::HeldVerifyResult(LibraryContext context) : context_(context) {
  std::memset(&result_, 0, sizeof(result_));
}
HeldVerifyResult::~HeldVerifyResult() { Release(); }
void HeldVerifyResult::Release() { ORLAX_FreeVerifyResult(context_, &result_); }

DecryptParams MakeDecryptParams() {
  DecryptParams params;
  std::memset(&params, 0, sizeof(params));
  params.mode = 0x8003;
  return params;
}

HeldDecryptResult::HeldDecryptResult(LibraryContext context) : context_(context) {
  std::memset(&result_, 0, sizeof(result_));
}
HeldDecryptResult::~HeldDecryptResult() { Release(); }
void HeldDecryptResult::Release() { ORLAX_FreeDecryptResult(context_, &result_); }

void HeldLibraryBlob::Release() {
  if (blob_.data != nullptr) ORLAX_FreeMem(context_, blob_.data);
  blob_ = {};
}

CString StampUrl(const CString& serverTsp) {
  CString url = serverTsp;
  url.TrimRight(L"/\\");
  return url + L"/";
}
