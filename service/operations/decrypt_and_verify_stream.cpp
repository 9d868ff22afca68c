// DCCX in stream mode: the claimed input is read up to three times through
// the stream stage chain, in chunks, so that memory stays bounded whatever
// its size.
//
//   pass 1 (stream-encoded envelope): decryption -> message information
//   pass 2 (time stamps checked):     decryption -> one stamp check per signature
//   pass 3:                           decryption -> verification -> staged output
//
// Only the first of them decrypts: it keeps what its decryption handed out
// in a scratch file (DecryptedSpool), and the decryption stage of the later
// passes hands the same out again, call for call, without the library.
//
// The input stays open, exclusively, from the first pass that opens it to the
// end of the file; every pass reads it from its start. Pass 3 writes the
// content under the staged temporary name: what the library hands out before
// its Finals is unverified (a MAC cipher's verdict, the signatures' too come
// only with Final), and a failure deletes it.

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

#include "platform/cfile.h"
#include "platform/errors.h"
#include "platform/files.h"
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
// Once spool holds a pass's outputs, the stage gives them back instead of
// decrypting; until then, a pass that keeps them has each one kept.
StreamStage DecryptionStage(const Job& job, const PipelineFile& file, const DecryptParams& params,
                            DecryptedSpool& spool) {
  StreamStage stage;
  stage.emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  if (spool.Kept()) {
    stage.calls.init = [](std::size_t, const DataBlob&, StreamContext*) { return DWORD{0}; };
    stage.calls.update = [&spool](std::size_t, StreamContext*, const DataBlob&, DataBlob* output) {
      return spool.Next(output);
    };
    stage.calls.final = [&spool](std::size_t, StreamContext*, DataBlob* output) { return spool.Next(output); };
  } else {
    const LibraryContext context = job.context;
    const DecryptParams* p = &params;
    stage.calls.init = [context, p](std::size_t, const DataBlob& input, StreamContext* stream) {
      return DWORD{ORLAX_CmsStrDecryptInitMem(context, p, &input, stream)};
    };
    stage.calls.update = [context, p, &spool](std::size_t, StreamContext* stream, const DataBlob& input,
                                              DataBlob* output) {
      const DWORD code = ORLAX_CmsStrDecryptUpdateMem(context, p, stream, &input, output);
      if (code == 0 && spool.Keeping()) spool.Keep(*output);
      return code;
    };
    stage.calls.final = [context, p, &spool](std::size_t, StreamContext* stream, DataBlob* output) {
      HeldDecryptResult result(context);
      const DWORD code = ORLAX_CmsStrDecryptFinalMem(context, p, stream, output, result.get());
      if (code == 0 && spool.Keeping()) spool.Keep(*output);
      return code;
    };
  }
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

// What a pass runs after the decryption: its stage, the chain's options,
// where the point of a failure is noted (null: nowhere), and whether the
// decryption's outputs are kept for a later pass.
struct Pass {
  StreamStage stage;
  StreamOptions options;
  StreamFailurePoint* point = nullptr;
  bool keep = false;
};

// One pass: the decryption (or what an earlier pass kept of it), then the
// pass's stage, over files (and its writer, when it has one).
DWORD RunPass(const Job& job, const PipelineFile& file, StreamInput input, Pass pass, WorkFailure& failure) {
  DecryptedSpool& spool = input.spool;
  const DecryptParams params = MakeDecryptParams();
  if (spool.Kept() && spool.Rewind() == 0) {
    const LibraryContext context = job.context;
    pass.options.release = [context, &spool](DataBlob& blob) {
      if (!spool.Release(blob) && blob.data != nullptr) ORLAX_FreeMem(context, blob.data);
    };
  } else if (pass.keep) {
    spool.StartKeeping();
  }
  std::vector<StreamStage> stages;
  stages.push_back(DecryptionStage(job, file, params, spool));
  stages.push_back(std::move(pass.stage));
  StreamStageChain chain(job.context, std::move(stages), input.files, std::move(pass.options));
  const DWORD code = chain.Run(failure);
  if (pass.point != nullptr) *pass.point = chain.FailurePoint();
  if (code == 0 && spool.Keeping()) spool.EndKeeping();
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
DWORD StampPass(const Job& job, const PipelineFile& file, FileState& state, StreamInput input,
                WorkFailure& failure) {
  StreamFiles& files = input.files;
  StreamOptions options;
  options.attachStack = StampPassStack;
  options.finalsOrder = FinalsOrder::kFailingStageFirstWhenClosing;
  if (DWORD code = RunPass(job, file, input, {StampStage(job, file, state), std::move(options), nullptr, true}, failure))
    return code;
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

DWORD StreamFirstPass(const Job& job, const PipelineFile& file, StreamInput input, HeldMessageInfo& info,
                      WorkFailure& failure) {
  StreamFiles& files = input.files;
  if (DWORD code = files.OpenInput(failure)) return code;
  if (DWORD code = files.MeasureInput(failure)) return code;
  StreamOptions options;
  options.attachStack = StackInLoopOnly;
  return RunPass(job, file, input, {InformationStage(job, file, info), std::move(options), nullptr, true}, failure);
}

DWORD StreamVerification(const FileWork& work, StreamInput input, HeldVerifyResult& result, WorkFailure& failure) {
  StreamFiles& files = input.files;
  const auto& [job, file, state] = work;
  // After a block first pass nothing holds the input yet.
  if (!files.InputOpen()) {
    if (DWORD code = files.OpenInput(failure)) return code;
    if (DWORD code = files.MeasureInput(failure)) return code;
  } else if (DWORD code = Rewind(files, failure)) {
    return code;
  }
  if (job.settings.verifyStamps) {
    if (DWORD code = StampPass(job, file, state, input, failure)) return code;
  }

  // Pass 3.
  if (DWORD code = files.CreateWriter(file.output, failure)) return code;
  StreamOptions options;
  options.attachStack = StackInLoopOnly;
  StreamFailurePoint point;
  if (DWORD code = RunPass(job, file, input, {VerificationStage(job, file, state, result), std::move(options), &point},
                           failure)) {
    // A content write that fails once the last chunk is read (a full disk)
    // leaves the rest of the listing for the next cycle.
    failure.endsOperation = point.kind == StreamFailureKind::kWrite && point.phase != StreamPhase::kLoop;
    result.Release();
    return code;
  }
  if (DWORD code = files.Close(failure)) {
    result.Release();
    return code;
  }
  return 0;
}

DecryptedSpool::DecryptedSpool() = default;

DecryptedSpool::~DecryptedSpool() {
  for (const std::uint8_t* data : given_) delete[] data;
  if (file_ != nullptr) std::fclose(file_);
}

void DecryptedSpool::Drop() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  keeping_ = kept_ = false;
}

void DecryptedSpool::StartKeeping() {
  Drop();
  file_ = platform::CreateTemporaryFileStream();
  keeping_ = file_ != nullptr;
}

void DecryptedSpool::Keep(const DataBlob& output) {
  if (!keeping_) return;
  const std::uint32_t length = output.data != nullptr ? output.length : 0;
  if (std::fwrite(&length, sizeof length, 1, file_) != 1 ||
      (length > 0 && std::fwrite(output.data, 1, length, file_) != length)) {
    Drop();  // the later passes decrypt again
  }
}

void DecryptedSpool::EndKeeping() {
  if (!keeping_) return;
  keeping_ = false;
  kept_ = std::fflush(file_) == 0;
  if (!kept_) Drop();
}

DWORD DecryptedSpool::Rewind() {
  if (!kept_) return ERROR_INVALID_FUNCTION;
  if (std::fseek(file_, 0, SEEK_SET) == 0) return 0;
  Drop();  // the pass decrypts again
  return ERROR_SEEK;
}

DWORD DecryptedSpool::Next(DataBlob* output) {
  *output = {};
  std::uint32_t length = 0;
  if (!kept_ || std::fread(&length, sizeof length, 1, file_) != 1) return ERROR_READ_FAULT;
  if (length == 0) return 0;
  auto* data = new (std::nothrow) std::uint8_t[length];
  if (data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (std::fread(data, 1, length, file_) != length) {
    delete[] data;
    return ERROR_READ_FAULT;
  }
  given_.push_back(data);
  *output = {length, data};
  return 0;
}

bool DecryptedSpool::Release(DataBlob& blob) {
  const auto it = std::find(given_.begin(), given_.end(), blob.data);
  if (blob.data == nullptr || it == given_.end()) return false;
  delete[] *it;
  given_.erase(it);
  blob = {};
  return true;
}

}  // namespace dccx
