// DCCX in stream mode: the claimed input is read up to three times through
// the stream stage chain, in chunks, so that memory stays bounded whatever
// its size.
//
//   pass 1 (stream-encoded envelope): decryption -> message information
//   pass 2 (time stamps checked):     decryption -> one stamp check per signature
//   pass 3:                           decryption -> verification -> staged output
//
// The input stays open, exclusively, from the first pass that opens it to the
// end of the file; every pass reads it from its start. Pass 3 writes the
// content under the staged temporary name: what the library hands out before
// its Finals is unverified (a MAC cipher's verdict, the signatures' too come
// only with Final), and a failure deletes it.

#include <utility>
#include <vector>

#include "platform/cfile.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/decrypt_and_verify.h"
#include "service/operations/signature_checks.h"
#include "service/operations/stream_stage_chain.h"
#include "service/operations/verification_report.h"

namespace dccx {
namespace {

// The decryption that starts every pass. Its result record goes right after
// its Final; an input of one chunk gets one empty Update before the Final.
StreamStage DecryptionStage(const Job& job, const PipelineFile& file, const DecryptParams& params) {
  StreamStage stage;
  stage.emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  const LibraryContext context = job.context;
  const DecryptParams* p = &params;
  stage.calls.init = [context, p](std::size_t, const DataBlob& input, StreamContext* stream) {
    return DWORD{ORLAX_CmsStrDecryptInitMem(context, p, &input, stream)};
  };
  stage.calls.update = [context, p](std::size_t, StreamContext* stream, const DataBlob& input, DataBlob* output) {
    return DWORD{ORLAX_CmsStrDecryptUpdateMem(context, p, stream, &input, output)};
  };
  stage.calls.final = [context, p](std::size_t, StreamContext* stream, DataBlob* output) {
    HeldDecryptResult result(context);
    return DWORD{ORLAX_CmsStrDecryptFinalMem(context, p, stream, output, result.get())};
  };
  stage.stepText = [&job, &file](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sрасшифрования файла '%s' (размер: %s) в '%s' (размер: %s)",
                      job.rule.zcsProfile, StreamCallWords(call), file.source, FileSizeText(file.claimed),
                      file.output, L"0");
  };
  return stage;
}

// The message information of the decrypted content (pass 1): its result
// comes with the Final, into info. It is updated once more before its Final
// unless an Update succeeded inside the chunk loop.
StreamStage InformationStage(const Job& job, const PipelineFile& file, HeldMessageInfo& info) {
  StreamStage stage;
  stage.kind = StageKind::kConsumes;
  stage.emptyUpdate = EmptyUpdate::kWhenNotUpdatedInLoop;
  const LibraryContext context = job.context;
  stage.calls.init = [context](std::size_t, const DataBlob& input, StreamContext* stream) {
    return DWORD{ORLAX_CmsStrMsgInfInitMem(context, &input, stream, 0)};
  };
  stage.calls.update = [context](std::size_t, StreamContext* stream, const DataBlob& input, DataBlob*) {
    return DWORD{ORLAX_CmsStrMsgInfUpdateMem(context, stream, &input)};
  };
  stage.calls.final = [context, &info](std::size_t, StreamContext* stream, DataBlob*) {
    info.Release();
    return DWORD{ORLAX_CmsStrMsgInfFinalMem(context, stream, info.get())};
  };
  stage.stepText = [&job, &file](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sполучения информации об ЭП файла '%s' (размер: %s)",
                      job.rule.zcsProfile, StreamCallWords(call), file.source, FileSizeText(file.claimed));
  };
  return stage;
}

// The stamp checks of pass 2: one stream per signature, all fed the same
// decrypted data. Started in the closing run, every stream gets an empty
// Update at once; one never updated gets it before the Finals. Every Final
// runs, also after a failing one, and records its signature's result in
// state.stamps; the last failing signature's code is the stage's.
StreamStage StampStage(const Job& job, const PipelineFile& file, FileState& state) {
  StreamStage stage;
  stage.kind = StageKind::kConsumes;
  stage.fannedOut = true;
  stage.streams = state.signatureCount;
  stage.finalWhenFailing = true;
  stage.lateStart = LateStart::kEmptyUpdateInClosingRun;
  stage.emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  const LibraryContext context = job.context;
  stage.calls.init = [context](std::size_t index, const DataBlob& input, StreamContext* stream) {
    const TspVerifyParams params = MakeTspVerifyParams(static_cast<std::uint32_t>(index));
    return DWORD{ORLAX_TspStrVerifyCmsInitMem(context, &params, &input, stream)};
  };
  stage.calls.update = [context](std::size_t index, StreamContext* stream, const DataBlob& input, DataBlob*) {
    const TspVerifyParams params = MakeTspVerifyParams(static_cast<std::uint32_t>(index));
    return DWORD{ORLAX_TspStrVerifyCmsUpdateMem(context, &params, stream, &input)};
  };
  const bool noTspIsError = job.settings.noStampIsError;
  stage.calls.final = [context, noTspIsError, &state](std::size_t index, StreamContext* stream, DataBlob*) {
    TimeStampCheckResult record = CheckOneStamp(
        context, static_cast<std::uint32_t>(index), noTspIsError,
        [&](const TspVerifyParams* params, TspVerifyResult* result) {
          return DWORD{ORLAX_TspStrVerifyCmsFinalMem(context, params, stream, result)};
        });
    const DWORD code = record.result;
    state.stamps.push_back(std::move(record));
    return code;
  };
  stage.stepText = [&job, &file, &state](StreamCall call, std::size_t index) {
    if (call == StreamCall::kFinal) {
      return FormatText(L"Профиль справочника : '%s'. Завершение потоковой операции проверки штампов времени ЭП в "
                        L"файле %s (размер: %s)",
                        job.rule.zcsProfile, file.source, FileSizeText(file.claimed)) +
             L"\r\n\r\n" + TimeStampFailureText(state.stamps);
    }
    return FormatText(L"Профиль справочника : '%s'. %sпроверки штампа времени ЭП № %s в файле %s (размер: %s)",
                      job.rule.zcsProfile, StreamCallWords(call), FormatText(L"%d", static_cast<int>(index) + 1),
                      file.source, FileSizeText(file.claimed));
  };
  return stage;
}

// The verification of pass 3: the content it gives goes to the writer; its
// Final fills result.
StreamStage VerificationStage(const Job& job, const PipelineFile& file, const FileState& state,
                              HeldVerifyResult& result) {
  StreamStage stage;
  stage.emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  stage.calls = AttachedVerificationCalls(job.context, &state.verifyParams, result);
  stage.stepText = [&job, &file, &state, &result](StreamCall call, std::size_t) {
    const CString text = FormatText(L"Профиль справочника : '%s'. %sпроверки ЭП файла '%s' (размер: %s)",
                                    job.rule.zcsProfile, StreamCallWords(call), file.source,
                                    FileSizeText(file.claimed));
    return call == StreamCall::kFinal ? text + FailedSignerLines(*result.get(), state.stamps) : text;
  };
  return stage;
}

// Which records of pass 2 carry the library's stack: failures of the chunk
// loop and every failure of the stamp checks, but not the decryption's
// failures in the closing run.
bool StampPassStack(const StreamFailurePoint& point) {
  return StackInLoopOnly(point) || point.stage == 1;
}

// What a pass runs after the decryption: its stage, the chain's options, and
// where the point of a failure is noted (null: nowhere).
struct Pass {
  StreamStage stage;
  StreamOptions options;
  StreamFailurePoint* point = nullptr;
};

// One pass: the decryption, then the pass's stage, over files (and its
// writer, when it has one).
DWORD RunPass(const Job& job, const PipelineFile& file, StreamFiles& files, Pass pass, WorkFailure& failure) {
  const DecryptParams params = MakeDecryptParams();
  std::vector<StreamStage> stages;
  stages.push_back(DecryptionStage(job, file, params));
  stages.push_back(std::move(pass.stage));
  StreamStageChain chain(job.context, std::move(stages), files, std::move(pass.options));
  const DWORD code = chain.Run(failure);
  if (pass.point != nullptr) *pass.point = chain.FailurePoint();
  return code;
}

// Sets the input back to its start for the next pass.
DWORD Rewind(StreamFiles& files, WorkFailure& failure) {
  try {
    files.Input().SeekToBegin();
    return 0;
  } catch (CFileException* e) {
    const DWORD cause = static_cast<DWORD>(e->m_cause);
    e->Delete();
    files.Discard();
    return OwnFailure(failure, cause, files.ReadText());
  }
}

// Pass 2: the stamp of every signature checked on the decrypted content.
DWORD StampPass(const Job& job, const PipelineFile& file, FileState& state, StreamFiles& files,
                WorkFailure& failure) {
  StreamOptions options;
  options.attachStack = StampPassStack;
  options.finalsOrder = FinalsOrder::kFailingStageFirstWhenClosing;
  if (DWORD code = RunPass(job, file, files, {StampStage(job, file, state), std::move(options)}, failure)) return code;
  // A content that gave no decrypted data started no stream: its signatures
  // were never checked.
  if (state.stamps.size() != state.signatureCount) {
    files.Discard();
    return OwnFailure(failure, ERR_SIGNATURE_INFO_MISMATCH,
                      FormatText(L"Заполнение информации об ЭП файла '%s' (размер: %s) %s", file.source,
                                 FileSizeText(file.claimed),
                                 FormatText(L" (%d - %d)", static_cast<int>(state.stamps.size()),
                                            static_cast<int>(state.signatureCount))),
                      kWrongSignatureTypeText);
  }
  return Rewind(files, failure);
}

}  // namespace

DWORD StreamFirstPass(const Job& job, const PipelineFile& file, StreamFiles& files, HeldMessageInfo& info,
                      WorkFailure& failure) {
  if (DWORD code = files.OpenInput(failure)) return code;
  if (DWORD code = files.MeasureInput(failure)) return code;
  StreamOptions options;
  options.attachStack = StackInLoopOnly;
  return RunPass(job, file, files, {InformationStage(job, file, info), std::move(options)}, failure);
}

DWORD StreamVerification(const FileWork& work, StreamFiles& files, HeldVerifyResult& result, WorkFailure& failure) {
  const auto& [job, file, state] = work;
  // After a block first pass nothing holds the input yet.
  if (!files.InputOpen()) {
    if (DWORD code = files.OpenInput(failure)) return code;
    if (DWORD code = files.MeasureInput(failure)) return code;
  } else if (DWORD code = Rewind(files, failure)) {
    return code;
  }
  if (job.settings.verifyStamps) {
    if (DWORD code = StampPass(job, file, state, files, failure)) return code;
  }

  // Pass 3.
  if (DWORD code = files.CreateWriter(file.output, failure)) return code;
  StreamOptions options;
  options.attachStack = StackInLoopOnly;
  StreamFailurePoint point;
  if (DWORD code = RunPass(job, file, files, {VerificationStage(job, file, state, result), std::move(options), &point},
                           failure)) {
    // A content write that fails once the last chunk is read (a full disk)
    // leaves the rest of the listing for the next cycle.
    state.endsOperation = point.kind == StreamFailureKind::kWrite && point.phase != StreamPhase::kLoop;
    result.Release();
    return code;
  }
  if (DWORD code = files.Close(failure)) {
    result.Release();
    return code;
  }
  return 0;
}

}  // namespace dccx
