// SGEN's stream mode: signing, time stamping and encryption as one stream
// stage chain over the claimed file, so that files of any size pass in
// chunks. When the rule archives, the chain stops after the stamp and writes
// the signed message to a scratch file, which the archiving step packs and
// encrypts.

#include <utility>
#include <vector>

#include "service/core/record_texts.h"
#include "service/core/journal.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/sign_and_encrypt.h"
#include "service/operations/stream_stage_chain.h"

namespace sgen {
namespace {

// The fixed values the stages' calls read, alive while the chain runs.
struct StreamValues {
  TspStampParams stampParams;
  CString tspUrl;        // shown in the step texts
  CStringA tspUrlAnsi;   // given to the library
};

StreamStage SigningStage(const Job& job, const PipelineFile& file) {
  StreamStage stage;
  stage.emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  stage.calls.init = [&job](std::size_t, const DataBlob& input, StreamContext* context) {
    return DWORD{ORLAX_CmsStrAttSignInitMem(job.context, &job.signParams, &input, context)};
  };
  stage.calls.update = [&job](std::size_t, StreamContext* context, const DataBlob& input, DataBlob* output) {
    return DWORD{ORLAX_CmsStrAttSignUpdateMem(job.context, &job.signParams, context, &input, output)};
  };
  stage.calls.final = [&job](std::size_t, StreamContext* context, DataBlob* output) {
    return DWORD{ORLAX_CmsStrAttSignFinalMem(job.context, &job.signParams, context, output)};
  };
  stage.stepText = [&job, &file](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sсоздания ЭП файла '%s' (размер: %s) в файл '%s' (размер: %s)",
                      job.rule.zcsProfile, StreamCallWords(call), file.source, FileSizeText(file.claimed),
                      file.output, L"0");
  };
  return stage;
}

StreamStage StampingStage(const Job& job, const PipelineFile& file, const StreamValues& values) {
  StreamStage stage;
  stage.switchedOn = job.stampSignatures;
  // Started by the signing Final's output, it is updated at once, so that
  // what it holds of the message goes on before its own Final.
  stage.lateStart = LateStart::kEmptyUpdateAfterFinal;
  stage.calls.init = [&job, &values](std::size_t, const DataBlob& input, StreamContext* context) {
    return DWORD{ORLAX_TspStrUrlStampCmsInitMem(job.context, &values.stampParams, values.tspUrlAnsi, &input,
                                                context)};
  };
  stage.calls.update = [&job, &values](std::size_t, StreamContext* context, const DataBlob& input,
                                       DataBlob* output) {
    return DWORD{ORLAX_TspStrUrlStampCmsUpdateMem(job.context, &values.stampParams, values.tspUrlAnsi, context,
                                                  &input, output)};
  };
  stage.calls.final = [&job, &values](std::size_t, StreamContext* context, DataBlob* output) {
    return DWORD{
        ORLAX_TspStrUrlStampCmsFinalMem(job.context, &values.stampParams, values.tspUrlAnsi, context, output)};
  };
  stage.stepText = [&job, &file, &values](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sустановки штампа времени с сервера %s на последнюю ЭП файла %s "
                      L"(размер: %s) с записью в файл %s (размер: %s)",
                      job.rule.zcsProfile, StreamCallWords(call), values.tspUrl, file.source,
                      FileSizeText(file.claimed), file.output, L"0");
  };
  return stage;
}

StreamStage EncryptionStage(const Job& job, const PipelineFile& file) {
  StreamStage stage;
  stage.calls.init = [&job](std::size_t, const DataBlob& input, StreamContext* context) {
    return DWORD{ORLAX_CmsStrEncryptInitMem(job.context, &job.encryptParams, &input, context)};
  };
  stage.calls.update = [&job](std::size_t, StreamContext* context, const DataBlob& input, DataBlob* output) {
    return DWORD{ORLAX_CmsStrEncryptUpdateMem(job.context, &job.encryptParams, context, &input, output)};
  };
  stage.calls.final = [&job](std::size_t, StreamContext* context, DataBlob* output) {
    return DWORD{ORLAX_CmsStrEncryptFinalMem(job.context, &job.encryptParams, context, output)};
  };
  stage.stepText = [&job, &file](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sзашифрования файла '%s' (размер: %s) в '%s' (размер: %s) "
                      L"(количество получателей - %s, сертификатов - %s)",
                      job.rule.zcsProfile, StreamCallWords(call), file.source, FileSizeText(file.claimed),
                      file.output, L"0", L"0", L"0");
  };
  return stage;
}

}  // namespace

DWORD SignAndEncryptStream(const Job& job, const PipelineFile& file, const Target& target, WorkFailure& failure) {
  const bool archives = Archives(job.settings.archive);
  StreamFiles files(file.source, file.claimed, file.output);
  if (DWORD code = files.OpenInput(failure)) return code;
  TemporaryWorkFile signedScratch;
  if (archives) {
    if (DWORD code = signedScratch.Create(failure)) return code;
  }
  if (DWORD code = files.CreateWriter(archives ? signedScratch.Path() : file.output, failure)) return code;
  if (DWORD code = files.MeasureInput(failure)) return code;
  if (files.TotalLength() == 0) {
    // As in block mode: an empty file has nothing to sign.
    files.Discard();
    return OwnFailure(failure, ERR_FILE_SIZE_UNSUPPORTED, FormatText(L"Определение размера файла %s", file.source),
                      L"Размер файла больше 2ГБ или равен нулю");
  }

  StreamValues values{StampParams(target), StampUrl(job.serverTsp), CStringA()};
  values.tspUrlAnsi = LibraryPath(values.tspUrl);
  std::vector<StreamStage> stages;
  stages.push_back(SigningStage(job, file));
  stages.push_back(StampingStage(job, file, values));
  if (!archives) stages.push_back(EncryptionStage(job, file));
  StreamStageChain chain(job.context, std::move(stages), files);
  if (DWORD code = chain.Run(failure)) return code;
  if (DWORD code = files.Close(failure)) return code;
  if (!archives) return 0;
  return ArchiveAndEncryptFile(job, file, target, signedScratch.Path(), failure);
}

}  // namespace sgen
