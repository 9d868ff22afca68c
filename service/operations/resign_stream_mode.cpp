// RESG stream mode on the stream stage chain. The chain of one file:
//
//   verification -> signing -> stamping (attached output) -> signature output
//                           -> whole-signature stamp (detached output)
//                   signing's input -> data output (detached output)
//
// The attached verification takes the first chunk by Init and gives the
// content by its Updates (an input of one chunk gets one empty Update before
// its Final); the detached verification is started before the loop with the
// whole detached signature, and the chunks themselves are the content. The
// detached signing stage starts with an empty input and takes the content by
// Update; the attached one takes its first content by Init. After a failure
// the failing stage is not finished and the others are.

#include "service/operations/resign_stream_mode.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/cfile.h"
#include "platform/errors.h"
#include "service/core/journal.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/signature_checks.h"
#include "service/operations/stream_stage_chain.h"
#include "service/operations/verification_report.h"

namespace {

// A detached signature is read whole; this is the largest taken.
constexpr ULONGLONG kLargestDetachedSignature = 2100000000;
constexpr std::uint32_t kStampKind = 6;

const wchar_t* const kAllocationText = L"Выделение памяти";

// The fixed values the stages' calls read, alive while the chain runs.
struct StreamValues {
  VerifyParams verifyParams;
  TspStampParams stampParams;
  CStringA tspUrl;  // as the library takes it
};

bool DetachedInput(const ResignJob& job) { return job.detachedInput; }
bool DetachedOutput(const ResignJob& job) { return job.detachedOutput; }

StreamStage VerificationStage(const ResignJob& job, const ResignFile& state, const StreamValues& values,
                              HeldVerifyResult& result) {
  StreamStage stage;
  stage.stackContext = job.verifyContext;
  stage.stepText = [&job, &state, &result](StreamCall call, std::size_t) {
    const CString text = StreamVerificationText(job, state, call);
    return call == StreamCall::kFinal ? text + FailedSignerLines(*result.get(), state.stamps) : text;
  };
  const LibraryContext context = job.verifyContext;
  const VerifyParams* params = &values.verifyParams;
  if (DetachedInput(job)) {
    // Started before the loop; each chunk is hashed and flows on unchanged.
    stage.kind = StageKind::kConsumesPassingOn;
    stage.calls.init = [context, params](std::size_t, const DataBlob& input, StreamContext* stream) {
      return DWORD{ORLAX_CmsStrDetVerifyInitMem(context, params, &input, stream)};
    };
    stage.calls.update = [context, params](std::size_t, StreamContext* stream, const DataBlob& input, DataBlob*) {
      return DWORD{ORLAX_CmsStrDetVerifyUpdateMem(context, params, stream, &input)};
    };
    stage.calls.final = [context, params, &result](std::size_t, StreamContext* stream, DataBlob*) {
      // The content reached the signing stage chunk by chunk already.
      HeldLibraryBlob content(context);
      return DWORD{ORLAX_CmsStrDetVerifyFinalMem(context, params, stream, content.get(), result.get())};
    };
    return stage;
  }
  // An input of one chunk gave its Init alone: an empty Update hands out the
  // content before the Final.
  stage.emptyUpdate = EmptyUpdate::kWhenNotUpdatedInLoop;
  stage.calls = AttachedVerificationCalls(context, params, result);
  return stage;
}

StreamStage SigningStage(const ResignJob& job, const ResignFile& state) {
  StreamStage stage;
  stage.stackContext = job.resignContext;
  // Empty content is still signed: a signature of nothing, never a Final on
  // a stream that was not started.
  stage.startsEmptyBeforeFinal = true;
  const LibraryContext context = job.resignContext;
  const SignParams* params = &job.signParams;
  const bool detached = DetachedOutput(job);
  if (detached) {
    // The detached signature comes whole from the Final; the content it
    // took goes to the data output.
    stage.start = StageStart::kEmptyThenUpdate;
    stage.copiesInput = true;
    stage.calls.init = [context, params](std::size_t, const DataBlob& input, StreamContext* stream) {
      return DWORD{ORLAX_CmsStrDetSignInitMem(context, params, &input, stream)};
    };
    stage.calls.update = [context, params](std::size_t, StreamContext* stream, const DataBlob& input,
                                           DataBlob* output) {
      *output = {};
      return DWORD{ORLAX_CmsStrDetSignUpdateMem(context, params, stream, &input)};
    };
    stage.calls.final = [context, params](std::size_t, StreamContext* stream, DataBlob* output) {
      return DWORD{ORLAX_CmsStrDetSignFinalMem(context, params, stream, output)};
    };
  } else {
    // First reached in the closing run, the stage hands out at once what its
    // Init took.
    stage.lateStart = LateStart::kEmptyUpdateInClosingRun;
    stage.calls.init = [context, params](std::size_t, const DataBlob& input, StreamContext* stream) {
      return DWORD{ORLAX_CmsStrAttSignInitMem(context, params, &input, stream)};
    };
    stage.calls.update = [context, params](std::size_t, StreamContext* stream, const DataBlob& input,
                                           DataBlob* output) {
      return DWORD{ORLAX_CmsStrAttSignUpdateMem(context, params, stream, &input, output)};
    };
    stage.calls.final = [context, params](std::size_t, StreamContext* stream, DataBlob* output) {
      return DWORD{ORLAX_CmsStrAttSignFinalMem(context, params, stream, output)};
    };
  }
  stage.stepText = [&job, &state, detached](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sсоздания %sЭП файла '%s' (размер: %s) в файл '%s' (размер: %s)",
                      job.rule.resignProfile, StreamCallWords(call), detached ? L"отсоединённой " : L"",
                      state.contentSource, state.contentSize, state.signatureOutput, L"0");
  };
  return stage;
}

// The stamp of an attached output, as the new signed message streams out.
StreamStage StampingStage(const ResignJob& job, const ResignFile& state, const StreamValues& values) {
  StreamStage stage;
  stage.switchedOn = job.addTimeStamp && !DetachedOutput(job);
  stage.stackContext = job.resignContext;
  // Started by the signing Final's output, it is updated at once, so that
  // what it holds of the message goes on before its own Final.
  stage.lateStart = LateStart::kEmptyUpdateAfterFinal;
  const LibraryContext context = job.resignContext;
  stage.calls.init = [context, &values](std::size_t, const DataBlob& input, StreamContext* stream) {
    return DWORD{ORLAX_TspStrUrlStampCmsInitMem(context, &values.stampParams, values.tspUrl, &input, stream)};
  };
  stage.calls.update = [context, &values](std::size_t, StreamContext* stream, const DataBlob& input,
                                          DataBlob* output) {
    return DWORD{
        ORLAX_TspStrUrlStampCmsUpdateMem(context, &values.stampParams, values.tspUrl, stream, &input, output)};
  };
  stage.calls.final = [context, &values](std::size_t, StreamContext* stream, DataBlob* output) {
    return DWORD{ORLAX_TspStrUrlStampCmsFinalMem(context, &values.stampParams, values.tspUrl, stream, output)};
  };
  stage.stepText = [&job, &state](StreamCall call, std::size_t) {
    return FormatText(L"Профиль справочника : '%s'. %sустановки штампа времени с сервера %s на последнюю ЭП файла %s "
                      L"(размер: %s) с записью в файл %s (размер: %s)",
                      job.rule.resignProfile, StreamCallWords(call), job.tspUrl, state.contentSource,
                      state.contentSize, state.signatureOutput, L"0");
  };
  return stage;
}

// The stamp of a detached output: one block call on the whole signature
// that the signing Final gives. As a stage its Init makes the stamped
// signature and the Update that follows at once hands it on.
StreamStage WholeSignatureStampStage(const ResignJob& job, const ResignFile& state, const StreamValues& values) {
  StreamStage stage;
  stage.switchedOn = job.addTimeStamp && DetachedOutput(job);
  stage.stackContext = job.resignContext;
  stage.lateStart = LateStart::kEmptyUpdateAfterFinal;
  const LibraryContext context = job.resignContext;
  auto stamped = std::make_shared<HeldLibraryBlob>(job.verifyContext);
  stage.calls.init = [context, &values, stamped](std::size_t, const DataBlob& input, StreamContext* stream) {
    stamped->Release();
    DWORD code = ORLAX_TspBlkUrlStampCmsMem(context, &values.stampParams, values.tspUrl, &input, stamped->get());
    if (code != 0) stamped->Release();
    // Not a library stream: a mark that the stage holds its result.
    *stream = code == 0 ? reinterpret_cast<StreamContext>(stamped.get()) : nullptr;
    return code;
  };
  stage.calls.update = [stamped](std::size_t, StreamContext*, const DataBlob&, DataBlob* output) {
    *output = *stamped->get();
    *stamped->get() = {};
    return DWORD{0};
  };
  stage.calls.final = [stamped](std::size_t, StreamContext* stream, DataBlob* output) {
    stamped->Release();
    *stream = nullptr;
    *output = {};
    return DWORD{0};
  };
  stage.stepText = [&job, &state](StreamCall, std::size_t) {
    return FormatText(L"Установка штампа времени с сервера %s на последнюю ЭП файла %s (размер: %s) с записью в "
                      L"файл %s (размер: %s)",
                      job.tspUrl, state.contentSource, state.contentSize, state.signatureOutput,
                      L"0");
  };
  return stage;
}

// The files of one file's stream run: the input (the attached message or the
// data file), the detached signature, the signature output and the data
// output. Every file still open is closed when the state goes.
struct ResignStreamState {
  explicit ResignStreamState(const ResignFile& state)
      : files(state.contentSource, state.contentClaimed, state.signatureOutput) {}
  StreamFiles files;
  CFile signature;
};

// Opens the detached signature (it stays open, exclusively, until the file
// ends). On failure every file is closed and the outputs are deleted.
DWORD OpenSignature(const ResignFile& state, ResignStreamState& stream, WorkFailure& failure) {
  CFileException error;
  if (stream.signature.Open(state.signatureClaimed,
                            CFile::modeRead | CFile::shareExclusive | CFile::modeNoTruncate | CFile::typeBinary,
                            &error)) {
    return 0;
  }
  stream.files.Discard();
  return OwnFailure(failure, static_cast<DWORD>(error.m_cause),
                    FormatText(L"Открытие файла %s (размер: %s)", state.signatureSource,
                               state.signedSize));
}

// The whole detached signature, the first input of its verification.
struct SignatureBuffer {
  std::unique_ptr<BYTE[]> bytes;
  DataBlob blob{};
};

DWORD ReadSignature(const ResignFile& state, ResignStreamState& stream, SignatureBuffer& buffer,
                    WorkFailure& failure) {
  const CString openingText =
      FormatText(L"Открытие файла %s (размер: %s)", state.signatureSource, state.signedSize);
  try {
    const ULONGLONG length = stream.signature.GetLength();
    if (length == 0 || length > kLargestDetachedSignature) {
      stream.files.Discard();
      return OwnFailure(failure, ERR_FILE_SIZE_UNSUPPORTED, openingText, L"Размер файла больше 2ГБ или равен нулю");
    }
    buffer.bytes.reset(new (std::nothrow) BYTE[static_cast<std::size_t>(length) + 1]());
    if (!buffer.bytes) {
      stream.files.Discard();
      return OwnFailure(failure, ERROR_NOT_ENOUGH_MEMORY, kAllocationText);
    }
    // What the read gave is what is verified: a signature cut short must
    // not be taken with a zero fill.
    const UINT got = stream.signature.Read(buffer.bytes.get(), static_cast<UINT>(length));
    buffer.blob = {got, buffer.bytes.get()};
    return 0;
  } catch (CFileException* e) {
    const DWORD cause = static_cast<DWORD>(e->m_cause);
    e->Delete();
    stream.files.Discard();
    return OwnFailure(failure, cause,
                      FormatText(L"Чтение файла %s (размер: %s)", state.signatureSource,
                                 state.signedSize));
  }
}

}  // namespace

CString StreamVerificationText(const ResignJob& job, const ResignFile& state, StreamCall call) {
  if (DetachedInput(job)) {
    return FormatText(
        L"Профиль справочника : '%s'. %sпроверки отсоединённой ЭП '%s' (размер: %s) файла '%s' (размер: %s)",
        job.rule.zcsProfile, StreamCallWords(call), state.signatureSource, state.signedSize,
        state.contentSource, state.contentSize);
  }
  return FormatText(L"Профиль справочника : '%s'. %sпроверки ЭП файла '%s' (размер: %s)", job.rule.zcsProfile,
                    StreamCallWords(call), state.signatureSource, state.signedSize);
}

DWORD ResignInStreams(const ResignJob& job, const PipelineFile&, ResignFile& state, HeldVerifyResult& result,
                      WorkFailure& failure) {
  state.signedSize = FileSizeText(state.signatureClaimed);
  state.contentSize = FileSizeText(state.contentClaimed);
  ResignStreamState stream(state);
  StreamFiles& files = stream.files;
  if (DWORD code = files.OpenInput(failure)) return code;
  if (DetachedInput(job)) {
    if (DWORD code = OpenSignature(state, stream, failure)) return code;
  }
  if (DWORD code = files.CreateWriter(state.signatureOutput, failure)) return code;
  if (DetachedOutput(job)) {
    if (DWORD code = files.CreateCopy(state.dataOutput, state.dataOutput, failure)) return code;
  }
  if (DWORD code = files.MeasureInput(failure)) return code;

  StreamValues values{MakeVerifyParams(!DetachedInput(job), job.verifySettings.notCopyToLocal),
                      TspStampParams{}, LibraryPath(job.tspUrl)};
  values.stampParams.kind = kStampKind;
  std::vector<StreamStage> stages;
  stages.push_back(VerificationStage(job, state, values, result));
  stages.push_back(SigningStage(job, state));
  stages.push_back(StampingStage(job, state, values));
  stages.push_back(WholeSignatureStampStage(job, state, values));
  StreamOptions options;
  options.attachStack = StackAlways;
  options.testEmptyAfterFinalFeed = true;
  options.allocationText = kAllocationText;
  StreamStageChain chain(job.verifyContext, std::move(stages), files, std::move(options));

  if (DetachedInput(job)) {
    SignatureBuffer signature;
    if (DWORD code = ReadSignature(state, stream, signature, failure)) return code;
    DWORD code = chain.StartFirstStage(signature.blob, failure);
    signature.bytes.reset();
    if (code != 0) {
      result.Release();
      return code;
    }
  }
  if (DWORD code = chain.Run(failure)) {
    result.Release();
    return code;
  }
  if (DWORD code = files.Close(failure)) {
    result.Release();
    return code;
  }
  stream.signature.Abort();
  state.signatureWritten = true;
  state.dataWritten = DetachedOutput(job);
  // A signing Final that gave nothing leaves no signature: nothing that
  // could be checked may pass as re-signed.
  if (FileSizeText(state.signatureOutput) == L"0") {
    result.Release();
    return OwnFailure(failure, ERR_FILE_SIZE_UNSUPPORTED,
                      FormatText(L"Определение размера файла %s", state.signatureOutput),
                      L"Размер файла больше 2ГБ или равен нулю");
  }
  return 0;
}
