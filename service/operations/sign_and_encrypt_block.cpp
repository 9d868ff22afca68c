// SGEN's block mode: the whole file in memory, one library call per step
// (sign, time stamp, archive, encrypt), the result written in one piece.
// Every block is released as soon as the step that reads it returns, so at
// most the input and three transformed copies are held at once.

#include <cstdlib>
#include <memory>

#include "service/core/record_texts.h"
#include "service/core/journal.h"
#include "service/core/whole_file.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/sign_and_encrypt.h"

namespace sgen {

CString EncryptionText(const Job& job, const PipelineFile& file) {
  return FormatText(L"Профиль справочника : '%s'. Зашифрование файла '%s' (размер: %s) в '%s' (размер: %s) "
                    L"(количество получателей - %s, сертификатов - %s)",
                    job.rule.zcsProfile, file.source, FileSizeText(file.claimed), file.output, L"0", L"0", L"0");
}

TspStampParams StampParams(const Target& target) {
  TspStampParams params{};
  params.kind = 6;
  params.signatureIndex = target.existingSignatureCount;
  return params;
}

namespace {

DWORD Sign(const Job& job, const PipelineFile& file, DataBlob& data, HeldLibraryBlob& signedMessage,
           WorkFailure& failure) {
  DWORD code = ORLAX_CmsBlkAttSignMem(job.context, &job.signParams, &data, signedMessage.get());
  delete[] data.data;  // ReadWholeFile's buffer
  data = {};
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context,
                        FormatText(L"Профиль справочника : '%s'. Создание ЭП файла '%s' (размер: %s) в файл '%s' "
                                   L"(размер: %s)",
                                   job.rule.zcsProfile, file.source, FileSizeText(file.claimed), file.output, L"0"));
}

DWORD Stamp(const FileWork& work, HeldLibraryBlob& signedMessage, HeldLibraryBlob& stamped, WorkFailure& failure) {
  const auto& [job, file, target] = work;
  const TspStampParams params = StampParams(target);
  DWORD code = ORLAX_TspBlkUrlStampCmsMem(job.context, &params, LibraryPath(StampUrl(job.serverTsp)),
                                          signedMessage.get(), stamped.get());
  signedMessage.Release();
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context,
                        FormatText(L"Установка штампа времени с сервера %s на последнюю ЭП файла %s (размер: %s) с "
                                   L"записью в файл %s (размер: %s)",
                                   job.serverTsp, file.source, FileSizeText(file.claimed), file.output, L"0"));
}

DWORD Write(const PipelineFile& file, HeldLibraryBlob& encrypted, WorkFailure& failure) {
  int stage = 0;
  DWORD code = WriteWholeFile(file.output, &stage, *encrypted);
  encrypted.Release();
  if (code == 0) return 0;
  // What was written of it goes with the input's move.
  failure.partialOutput = file.output;
  return OwnFailure(failure, code,
                    stage == kWholeFileStageOpen ? FormatText(L"Создание файла %s", file.output)
                                                 : FormatText(L"Открытие файла %s (размер: %s)", file.output, L"0"));
}

}  // namespace

DWORD SignAndEncryptBlock(const Job& job, const PipelineFile& file, const Target& target, DataBlob& data,
                          WorkFailure& failure) {
  const FileWork work{job, file, target};
  HeldLibraryBlob signedMessage(job.context), stamped(job.context), encrypted(job.context);
  if (DWORD code = Sign(job, file, data, signedMessage, failure)) return code;
  if (job.stampSignatures) {
    if (DWORD code = Stamp(work, signedMessage, stamped, failure)) return code;
  }
  const DataBlob& message = job.stampSignatures ? *stamped : *signedMessage;
  std::unique_ptr<BYTE, decltype(&std::free)> archiveBuffer(nullptr, &std::free);
  DataBlob archive{};
  if (Archives(job.settings.archive)) {
    DWORD code = ArchiveInMemory(work, message, archive, failure);
    archiveBuffer.reset(archive.data);
    signedMessage.Release();
    stamped.Release();
    if (code != 0) return code;
  }
  const DataBlob& input = Archives(job.settings.archive) ? archive : message;
  DWORD code = ORLAX_CmsBlkEncryptMem(job.context, &job.encryptParams, &input, encrypted.get());
  signedMessage.Release();
  stamped.Release();
  archiveBuffer.reset();
  if (code != 0) return LibraryFailure(failure, code, job.context, EncryptionText(job, file));
  return Write(file, encrypted, failure);
}

}  // namespace sgen
