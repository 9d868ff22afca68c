// RESG block mode: the whole input in memory, one library call for each of
// verification, signing and stamping. Every buffer has an owner that frees
// it, so each failure path releases what it holds before its record.

#include "service/operations/resign_block_mode.h"

#include <cstring>
#include <memory>

#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/core/whole_file.h"
#include "service/operations/signature_checks.h"

namespace {

constexpr std::uint32_t kStampKind = 6;

// The buffer ReadWholeFile hands over, freed with delete[].
struct OwnedInput {
  DataBlob blob{};
  ~OwnedInput() { Release(); }
  void Release() {
    delete[] blob.data;
    blob = DataBlob{};
  }
};

DWORD ReadInput(const PipelineFile& file, OwnedInput& input, WorkFailure& failure) {
  int stage = 0;
  DWORD code = ReadWholeFile(file.claimed, &stage, &input.blob);
  if (code == 0) return 0;
  const CString size = FileSizeText(file.claimed);
  if (stage == kWholeFileStageOpen)
    return OwnFailure(failure, code, FormatText(L"Открытие файла %s (размер: %s)", file.source, size));
  if (stage == kWholeFileStageSize)
    return OwnFailure(failure, code, FormatText(L"Определение размера файла %s", file.source),
                      code == ERR_FILE_SIZE_UNSUPPORTED ? CString(L"Размер файла больше 2ГБ или равен нулю")
                                                        : CString());
  return OwnFailure(failure, code, FormatText(L"Чтение файла %s (размер: %s)", file.source, size));
}

// The file at work: the call's values, the pipeline's file and what the
// file carries from step to step.
struct FileWork {
  const ResignJob& job;
  const PipelineFile& file;
  ResignFile& state;
};

DWORD VerifyInput(const FileWork& work, OwnedInput& input, HeldLibraryBlob& content, HeldVerifyResult& result,
                  WorkFailure& failure) {
  const auto& [job, file, state] = work;
  const VerifyParams params = MakeVerifyParams(true, job.verifySettings.notCopyToLocal);
  DWORD code = ORLAX_CmsBlkAttVerifyMem(job.verifyContext, &params, &input.blob, content.get(), result.get());
  input.Release();
  if (code == 0) return 0;
  content.Release();
  const CString size = FileSizeText(file.claimed);
  SignatureFailure(job.verifyContext, code, result, state.stamps, failure);
  failure.stageText = FormatText(L"Профиль справочника : '%s'. Проверка ЭП файла '%s' (размер: %s)",
                                 job.rule.zcsProfile, file.source, size) +
                      failure.stageText;
  return code;
}

DWORD SignContent(const FileWork& work, const HeldLibraryBlob& content, HeldLibraryBlob& signedMessage,
                  WorkFailure& failure) {
  const auto& [job, file, state] = work;
  const bool detached = !state.dataOutput.IsEmpty();
  DWORD code = 0;
  if (detached) {
    const DataBlob existing{};
    code = ORLAX_CmsBlkDetSignMem(job.resignContext, &job.signParams, &*content, &existing, signedMessage.get());
  } else {
    code = ORLAX_CmsBlkAttSignMem(job.resignContext, &job.signParams, &*content, signedMessage.get());
  }
  if (code == 0) return 0;
  signedMessage.Release();
  const wchar_t* format = detached ? L"Профиль справочника : '%s'. Создание отсоединённой ЭП файла '%s' (размер: "
                                     L"%s) в файл '%s' (размер: %s)"
                                   : L"Профиль справочника : '%s'. Создание ЭП файла '%s' (размер: %s) в файл '%s' "
                                     L"(размер: %s)";
  return LibraryFailure(failure, code, job.resignContext,
                        FormatText(format, job.rule.resignProfile, file.source, FileSizeText(file.claimed),
                                   state.signatureOutput, L"0"));
}

// An output that could not be written: WriteWholeFile leaves whatever it
// wrote, so the caller counts it as written and the failure deletes it.
DWORD WriteOutput(const CString& path, const DataBlob& blob, WorkFailure& failure) {
  int stage = 0;
  DWORD code = WriteWholeFile(path, &stage, blob);
  if (code == 0) return 0;
  return OwnFailure(failure, code,
                    stage == kWholeFileStageOpen ? FormatText(L"Создание файла %s", path)
                                                 : FormatText(L"Открытие файла %s (размер: %s)", path, L"0"));
}

DWORD StampAndWrite(const FileWork& work, HeldLibraryBlob& signedMessage, WorkFailure& failure) {
  const auto& [job, file, state] = work;
  if (!job.addTimeStamp) {
    state.signatureWritten = true;
    DWORD code = WriteOutput(state.signatureOutput, *signedMessage, failure);
    signedMessage.Release();
    return code;
  }
  TspStampParams params;
  std::memset(&params, 0, sizeof(params));
  params.kind = kStampKind;
  HeldLibraryBlob stamped(job.verifyContext);
  const CStringA url = LibraryPath(job.tspUrl);
  DWORD code = ORLAX_TspBlkUrlStampCmsMem(job.resignContext, &params, url, &*signedMessage, stamped.get());
  const std::uint32_t signedLength = signedMessage.get()->length;
  signedMessage.Release();
  if (code != 0) {
    stamped.Release();
    return LibraryFailure(failure, code, job.resignContext,
                          FormatText(L"Установка штампа времени с сервера %s на последнюю ЭП файла %s (размер: %d) с "
                                     L"записью в файл %s (размер: %s)",
                                     job.tspUrl, file.source, static_cast<int>(signedLength), state.signatureOutput,
                                     L"0"));
  }
  state.signatureWritten = true;
  return WriteOutput(state.signatureOutput, *stamped, failure);
}

}  // namespace

DWORD ResignInBlocks(const ResignJob& job, const PipelineFile& file, ResignFile& state, HeldVerifyResult& result,
                     WorkFailure& failure) {
  const FileWork work{job, file, state};
  OwnedInput input;
  if (DWORD code = ReadInput(file, input, failure)) return code;
  HeldLibraryBlob content(job.verifyContext);
  if (DWORD code = VerifyInput(work, input, content, result, failure)) return code;
  // From here on the verification stays open until the frame has checked
  // it; a failure releases it before its record.
  HeldLibraryBlob signedMessage(job.verifyContext);
  DWORD code = SignContent(work, content, signedMessage, failure);
  if (code == 0) code = StampAndWrite(work, signedMessage, failure);
  if (code == 0 && !state.dataOutput.IsEmpty()) {
    state.dataWritten = true;
    code = WriteOutput(state.dataOutput, *content, failure);
  }
  content.Release();
  if (code != 0) result.Release();
  return code;
}
