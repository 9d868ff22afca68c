#include "service/operations/stream_stage_chain.h"

#include <new>
#include <utility>

#include "common/library_error_stack.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/journal.h"
#include "service/core/record_texts.h"
#include "service/operations/crypto_operation_support.h"

namespace {


DWORD CauseOf(CFileException* e) {
  DWORD cause = static_cast<DWORD>(e->m_cause);
  e->Delete();
  return cause;
}

}  // namespace

const wchar_t* StreamCallWords(StreamCall call) {
  switch (call) {
    case StreamCall::kInit:
      return L"Инициализация потоковой операции ";
    case StreamCall::kUpdate:
      return L"Обновление данных потоковой операции ";
    case StreamCall::kFinal:
      break;
  }
  return L"Завершение потоковой операции ";
}

bool StackInLoopAndFirstEmptyUpdate(const StreamFailurePoint& point) {
  return point.phase == StreamPhase::kOpening || point.phase == StreamPhase::kLoop ||
         point.phase == StreamPhase::kFirstEmptyUpdate;
}
bool StackInLoopOnly(const StreamFailurePoint& point) {
  return point.phase == StreamPhase::kOpening || point.phase == StreamPhase::kLoop;
}
bool StackAlways(const StreamFailurePoint&) { return true; }

// ---------------------------------------------------------------------------
// StreamFiles

StreamFiles::StreamFiles(const CString& source, const CString& inputPath, const CString& shownOutput)
    : source_(source),
      inputPath_(inputPath),
      shownOutput_(shownOutput),
      input_(std::make_unique<CFile>()),
      writer_(std::make_unique<CFile>()),
      copy_(std::make_unique<CFile>()) {}

StreamFiles::~StreamFiles() {
  input_->Abort();
  writer_->Abort();
  copy_->Abort();
}

void StreamFiles::UseFiles(std::unique_ptr<CFile> input, std::unique_ptr<CFile> writer, std::unique_ptr<CFile> copy) {
  if (input) input_ = std::move(input);
  if (writer) writer_ = std::move(writer);
  if (copy) copy_ = std::move(copy);
}

DWORD StreamFiles::OpenInput(WorkFailure& failure) {
  CFileException error;
  if (input_->Open(inputPath_, CFile::modeRead | CFile::shareExclusive | CFile::modeNoTruncate | CFile::typeBinary,
                   &error)) {
    return 0;
  }
  return OwnFailure(failure, static_cast<DWORD>(error.m_cause),
                    FormatText(L"Открытие файла %s (размер: %s)", source_, FileSizeText(inputPath_)));
}

DWORD StreamFiles::CreateWriter(const CString& path, WorkFailure& failure) {
  CFileException error;
  if (writer_->Open(path, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary | CFile::osTemporary,
                    &error)) {
    writerPath_ = path;
    hasWriter_ = true;
    return 0;
  }
  input_->Abort();
  return OwnFailure(failure, static_cast<DWORD>(error.m_cause), FormatText(kCreatingFileText, shownOutput_));
}

DWORD StreamFiles::CreateCopy(const CString& path, const CString& shownCopy, WorkFailure& failure) {
  CFileException error;
  shownCopy_ = shownCopy;
  if (copy_->Open(path, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary | CFile::osTemporary, &error)) {
    copyPath_ = path;
    hasCopy_ = true;
    return 0;
  }
  Discard();
  return OwnFailure(failure, static_cast<DWORD>(error.m_cause), FormatText(kCreatingFileText, shownCopy));
}

DWORD StreamFiles::MeasureInput(WorkFailure& failure) {
  try {
    totalLength_ = input_->GetLength();
    return 0;
  } catch (CFileException* e) {
    DWORD cause = CauseOf(e);
    Discard();
    return OwnFailure(failure, cause, ReadText());
  }
}

DWORD StreamFiles::Close(WorkFailure& failure) {
  input_->Abort();
  // An output that could not be closed may not hold all that was written;
  // its partner is of no use without it.
  for (bool copy : {false, true}) {
    bool& open = copy ? hasCopy_ : hasWriter_;
    if (!open) continue;
    open = false;
    try {
      (copy ? copy_ : writer_)->Close();
    } catch (CFileException* e) {
      DWORD cause = CauseOf(e);
      DeleteFileW(copy ? copyPath_ : writerPath_);
      if (copy && !writerPath_.IsEmpty()) DeleteFileW(writerPath_);
      Discard();
      return OwnFailure(failure, cause, copy ? CopyWriteText() : WriteText());
    }
  }
  return 0;
}

void StreamFiles::Discard() {
  input_->Abort();
  if (hasWriter_) {
    hasWriter_ = false;
    writer_->Abort();
    DeleteFileW(writerPath_);
  }
  if (hasCopy_) {
    hasCopy_ = false;
    copy_->Abort();
    DeleteFileW(copyPath_);
  }
}

CString StreamFiles::ReadText() const {
  return FormatText(L"Чтение файла %s (размер: %s)", source_, FileSizeText(inputPath_));
}

CString StreamFiles::WriteText() const {
  return FormatText(L"Запись файла %s (размер: %s)", shownOutput_, FileSizeText(shownOutput_));
}

CString StreamFiles::CopyWriteText() const {
  return FormatText(L"Запись файла %s (размер: %s)", shownCopy_, FileSizeText(shownCopy_));
}

// ---------------------------------------------------------------------------
// Held: one blob on its way through the chain, released once, at the latest
// when it goes out of scope (every way out of a failure included).

class StreamStageChain::Held {
 public:
  Held() = default;
  explicit Held(StreamStageChain* chain) : chain_(chain) {}
  // A chunk buffer of the chain's own.
  Held(BYTE* buffer, UINT length) : chunk_(true) { blob_ = {length, buffer}; }
  Held(Held&& other) noexcept : chain_(other.chain_), blob_(other.blob_), chunk_(other.chunk_) {
    other.blob_ = {};
  }
  Held& operator=(Held&& other) noexcept {
    if (this != &other) {
      Release();
      chain_ = other.chain_;
      blob_ = other.blob_;
      chunk_ = other.chunk_;
      other.blob_ = {};
    }
    return *this;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { Release(); }

  const DataBlob& blob() const { return blob_; }
  bool Empty() const { return blob_.length == 0; }
  void SetLength(UINT length) { blob_.length = length; }
  // The blob for a stage to fill.
  DataBlob* Out() {
    Release();
    return &blob_;
  }
  void Release() {
    if (chunk_) {
      delete[] blob_.data;
      blob_ = {};
    } else if (blob_.data != nullptr || blob_.length != 0) {
      chain_->Release(blob_);
    }
  }

 private:
  StreamStageChain* chain_ = nullptr;
  DataBlob blob_{};
  bool chunk_ = false;
};

// ---------------------------------------------------------------------------
// StreamStageChain

StreamStageChain::StreamStageChain(LibraryContext context, std::vector<StreamStage> stages, StreamFiles& files,
                                   StreamOptions options)
    : context_(context), stages_(std::move(stages)), files_(files), options_(std::move(options)) {
  for (StreamStage& stage : stages_) {
    // One stream per stage; a fanned-out stage opens its own at its start.
    stage.contexts.assign(stage.fannedOut ? 0 : 1, nullptr);
  }
}

StreamStageChain::~StreamStageChain() = default;

void StreamStageChain::Release(DataBlob& blob) {
  if (options_.release) {
    options_.release(blob);
  } else if (blob.data != nullptr) {
    ORLAX_FreeMem(context_, blob.data);
  }
  blob = {};
}

DWORD StreamStageChain::LibraryFailed(std::size_t s, StreamCall call, std::size_t index, DWORD code) {
  point_ = {StreamFailureKind::kLibrary, phase_, static_cast<int>(s), call, index};
  code_ = code;
  return code;
}

DWORD StreamStageChain::OwnFailed(StreamFailureKind kind, DWORD code) {
  point_ = {kind, phase_, -1, StreamCall::kInit, 0};
  code_ = code;
  return code;
}

DWORD StreamStageChain::StartFirstStage(const DataBlob& input, WorkFailure& failure) {
  phase_ = StreamPhase::kOpening;
  if (StartStage(0, input) != 0) return Fail(failure);
  return 0;
}

DWORD StreamStageChain::Run(WorkFailure& failure) {
  if (ChunkLoop() != 0 || ClosingRun() != 0) return Fail(failure);
  return 0;
}

DWORD StreamStageChain::ChunkLoop() {
  phase_ = StreamPhase::kLoop;
  const ULONGLONG total = files_.TotalLength();
  ULONGLONG position = 0;
  UINT chunk = options_.chunkSize;
  while (position < total) {
    // Only the last chunk is shorter.
    if (total - position < chunk) chunk = static_cast<UINT>(total - position);
    BYTE* buffer = options_.allocateChunk ? options_.allocateChunk(std::size_t{chunk} + 1)
                                          : new (std::nothrow) BYTE[std::size_t{chunk} + 1]();
    if (buffer == nullptr) return OwnFailed(StreamFailureKind::kAllocation, ERROR_NOT_ENOUGH_MEMORY);
    Held data(buffer, chunk);
    UINT got = 0;
    try {
      got = files_.Input().Read(buffer, chunk);
    } catch (CFileException* e) {
      return OwnFailed(StreamFailureKind::kRead, CauseOf(e));
    }
    // The chunk is what the read gave. A file that ends before the length
    // taken at the start has been cut meanwhile: its data must not be
    // signed or encrypted as if it were whole.
    if (got == 0) return OwnFailed(StreamFailureKind::kRead, CFileException::endOfFile);
    data.SetLength(got);
    position += got;
    if (DWORD code = Feed(0, std::move(data), false, true)) return code;
  }
  return 0;
}

DWORD StreamStageChain::ClosingRun() {
  phase_ = StreamPhase::kFirstEmptyUpdate;
  for (std::size_t s = 0; s < stages_.size(); ++s) {
    StreamStage& stage = stages_[s];
    if (!stage.switchedOn) continue;
    if (!stage.started && stage.startsEmptyBeforeFinal) {
      if (DWORD code = StartStage(s, DataBlob{})) return code;
    }
    const bool emptyUpdate = (stage.emptyUpdate == EmptyUpdate::kWhenNeverUpdated && !stage.updatedOnce) ||
                             (stage.emptyUpdate == EmptyUpdate::kWhenNotUpdatedInLoop && !stage.updatedInLoop);
    if (emptyUpdate) {
      Held output(this);
      if (DWORD code = UpdateStage(s, DataBlob{}, &output)) return code;
      if (stage.kind == StageKind::kProducesData) {
        if (DWORD code = Feed(s + 1, std::move(output), false, true)) return code;
      }
    }
    phase_ = StreamPhase::kClosing;
    Held output(this);
    if (DWORD code = FinalStage(s, &output)) return code;
    if (stage.kind == StageKind::kProducesData) {
      if (DWORD code = Feed(s + 1, std::move(output), true, true)) return code;
    }
  }
  phase_ = StreamPhase::kClosing;
  return 0;
}

// Hands input to the first switched-on stage from `from` on, or to the
// writer when there is none; what that stage gives flows on the same way.
DWORD StreamStageChain::Feed(std::size_t from, Held input, bool fromFinal, bool testEmpty) {
  std::size_t s = from;
  while (s < stages_.size() && !stages_[s].switchedOn) ++s;
  if (s == stages_.size()) {
    DWORD code = Write(input.blob());
    input.Release();
    return code;
  }
  StreamStage& stage = stages_[s];
  const bool inLoop = phase_ == StreamPhase::kLoop;
  if (testEmpty && input.Empty() && !(inLoop && stage.takesEmptyInput)) return 0;
  const bool passesOn = stage.kind == StageKind::kConsumesPassingOn;
  // What a stage fed by a Final's output gives goes on untested unless the
  // options say otherwise.
  const bool testNext = fromFinal ? options_.testEmptyAfterFinalFeed : true;

  if (!stage.started) {
    if (stage.start == StageStart::kEmptyThenUpdate) {
      if (DWORD code = StartStage(s, DataBlob{})) return code;
    } else {
      DWORD code = StartStage(s, input.blob());
      if (code == 0) code = CopyInput(stage, input.blob());
      if (!passesOn) input.Release();
      if (code != 0) return code;
      const bool late = !inLoop && ((stage.lateStart == LateStart::kEmptyUpdateAfterFinal && fromFinal) ||
                                    stage.lateStart == LateStart::kEmptyUpdateInClosingRun);
      if (!late) return passesOn ? Feed(s + 1, std::move(input), false, testEmpty) : 0;
      Held output(this);
      if (DWORD code = UpdateStage(s, DataBlob{}, &output)) return code;
      if (stage.kind == StageKind::kConsumes) return 0;
      if (passesOn) return Feed(s + 1, std::move(input), false, testEmpty);
      return Feed(s + 1, std::move(output), false, testNext);
    }
  }
  Held output(this);
  DWORD code = UpdateStage(s, input.blob(), &output);
  if (code == 0) code = CopyInput(stage, input.blob());
  if (!passesOn) input.Release();
  if (code != 0) {
    output.Release();
    return code;
  }
  if (stage.kind == StageKind::kConsumes) return 0;
  if (passesOn) return Feed(s + 1, std::move(input), false, testEmpty);
  return Feed(s + 1, std::move(output), false, testNext);
}

DWORD StreamStageChain::StartStage(std::size_t s, const DataBlob& input) {
  StreamStage& stage = stages_[s];
  if (stage.fannedOut) {
    stage.contexts.clear();
    for (std::size_t i = 0; i < stage.streams; ++i) {
      StreamContext context = nullptr;
      if (DWORD code = stage.calls.init(i, input, &context)) return LibraryFailed(s, StreamCall::kInit, i, code);
      stage.contexts.push_back(context);
    }
  } else if (DWORD code = stage.calls.init(0, input, &stage.contexts[0])) {
    stage.contexts[0] = nullptr;
    return LibraryFailed(s, StreamCall::kInit, 0, code);
  }
  stage.started = true;
  return 0;
}

DWORD StreamStageChain::UpdateStage(std::size_t s, const DataBlob& input, Held* output) {
  StreamStage& stage = stages_[s];
  for (std::size_t i = 0; i < stage.contexts.size(); ++i) {
    DataBlob* out = stage.kind == StageKind::kProducesData ? output->Out() : nullptr;
    if (DWORD code = stage.calls.update(i, &stage.contexts[i], input, out)) {
      output->Release();
      return LibraryFailed(s, StreamCall::kUpdate, i, code);
    }
  }
  stage.updatedOnce = true;
  if (phase_ == StreamPhase::kLoop) stage.updatedInLoop = true;
  return 0;
}

// Every stream of the stage is finished, also after a failing one; the last
// failing stream's code is the stage's.
DWORD StreamStageChain::FinalStage(std::size_t s, Held* output) {
  StreamStage& stage = stages_[s];
  DWORD result = 0;
  std::size_t failing = 0;
  for (std::size_t i = 0; i < stage.contexts.size(); ++i) {
    DataBlob* out = stage.kind == StageKind::kProducesData ? output->Out() : nullptr;
    if (DWORD code = stage.calls.final(i, &stage.contexts[i], out)) {
      result = code;
      failing = i;
    }
    stage.contexts[i] = nullptr;
  }
  stage.finished = true;
  if (result == 0) return 0;
  output->Release();
  return LibraryFailed(s, StreamCall::kFinal, failing, result);
}

DWORD StreamStageChain::Write(const DataBlob& blob) {
  CFile* writer = files_.Writer();
  if (writer == nullptr || blob.length == 0) return 0;
  try {
    writer->Write(blob.data, blob.length);
  } catch (CFileException* e) {
    return OwnFailed(StreamFailureKind::kWrite, CauseOf(e));
  }
  return 0;
}

DWORD StreamStageChain::CopyInput(const StreamStage& stage, const DataBlob& input) {
  CFile* copy = files_.Copy();
  if (!stage.copiesInput || copy == nullptr || input.length == 0) return 0;
  try {
    copy->Write(input.data, input.length);
  } catch (CFileException* e) {
    return OwnFailed(StreamFailureKind::kCopyWrite, CauseOf(e));
  }
  return 0;
}

void StreamStageChain::FinalizeAfterFailure() {
  const bool afterInit = point_.kind == StreamFailureKind::kLibrary && point_.call == StreamCall::kInit;
  std::vector<std::size_t> order;
  const bool closing = phase_ == StreamPhase::kFirstEmptyUpdate || phase_ == StreamPhase::kClosing;
  if (options_.finalsOrder == FinalsOrder::kFailingStageFirstWhenClosing && closing && point_.stage >= 0) {
    order.push_back(static_cast<std::size_t>(point_.stage));
  }
  for (std::size_t s = 0; s < stages_.size(); ++s) {
    if (order.empty() || s != order.front()) order.push_back(s);
  }
  for (std::size_t s : order) {
    StreamStage& stage = stages_[s];
    if (stage.finished) continue;
    const bool failing = static_cast<int>(s) == point_.stage;
    if (failing && !stage.finalWhenFailing) continue;
    if (options_.finals == FinalsAfterFailure::kByCall && afterInit && static_cast<int>(s) > point_.stage) continue;
    for (std::size_t i = 0; i < stage.contexts.size(); ++i) {
      Held output(this);
      stage.calls.final(i, &stage.contexts[i], stage.kind == StageKind::kProducesData ? output.Out() : nullptr);
      stage.contexts[i] = nullptr;
    }
    stage.finished = true;
  }
}

DWORD StreamStageChain::Fail(WorkFailure& failure) {
  files_.Discard();
  FinalizeAfterFailure();
  failure.code = code_;
  failure.description.Empty();
  failure.partialOutput.Empty();
  failure.detail.Empty();
  switch (point_.kind) {
    case StreamFailureKind::kLibrary: {
      const StreamStage& stage = stages_[static_cast<std::size_t>(point_.stage)];
      failure.stageText = stage.stepText ? stage.stepText(point_.call, point_.index) : CString();
      // Read after the Finals; drained also where the record carries none,
      // so that no later record of the context shows these lines.
      CString stack = FormatLibraryErrorStack(stage.stackContext != nullptr ? stage.stackContext : context_);
      if (options_.attachStack && options_.attachStack(point_)) failure.detail = stack;
      break;
    }
    case StreamFailureKind::kWrite:
      failure.stageText = files_.WriteText();
      break;
    case StreamFailureKind::kCopyWrite:
      failure.stageText = files_.CopyWriteText();
      break;
    case StreamFailureKind::kAllocation:
      failure.stageText = options_.allocationText.IsEmpty() ? files_.ReadText() : options_.allocationText;
      break;
    default:
      failure.stageText = files_.ReadText();
      break;
  }
  return code_;
}
