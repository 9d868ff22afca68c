#pragma once
// The stream mode of the combined operations: the claimed input is read in
// chunks and passed through an ordered list of the library's stream stages
// (InitMem / UpdateMem / FinalMem), each stage's output becoming the next
// stage's input, and what leaves the last data stage is written to a file.
// Memory stays bounded for inputs of any size: one chunk and one output per
// stage are held at a time.
//
//   StreamFiles files(source, claimed, shownOutput);
//   if (files.OpenInput(failure) || <own preparation> || files.CreateWriter(path, failure) ||
//       files.MeasureInput(failure)) return failure.code;
//   StreamStageChain chain(context, {signing, stamping, encryption}, files);
//   if (DWORD code = chain.Run(failure)) return code;  // files closed, writer's file deleted
//   return files.Close(failure);
//
// The flow, for the default options:
// - Chunk loop: the first stage takes the first chunk by Init and every later
//   chunk by Update. A non-empty output goes to the next switched-on stage:
//   Init when that stage has not started (nothing flows further), else
//   Update, whose output goes on the same way; past the last stage it is
//   written. A switched-off stage is passed over.
// - Closing run, stage by stage in chain order: the empty Update that the
//   stage's rule asks for, then its Final; both outputs are passed down as
//   above, except that a stage first reached by a Final's output starts by
//   its late-start rule.
// - On a failure: what the chain holds is released, the input and the writer
//   are closed, the writer's file is deleted, the other stages get their
//   Final (results ignored, outputs released), and the failure (code, step
//   text, the library's error stack where the options say) is handed back for
//   FailFile. Nothing of the file's state survives it.
//
// The combined operations differ in a few points; each is an option of a
// stage or of the chain, never a copy of this code: stages that only consume
// their input (message information, stamp checks), a consuming stage fanned
// out to one stream per signature, a first stage started before the loop
// with the operation's own input, a stage started with an empty input, empty
// Updates before a Final, which stages get a Final after a failure, and
// which failures carry the error stack.
//
// Worker thread only; the stop event is not polled: a file whose chain has
// started is completed or failed.

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "common/qelm_api.h"
#include "platform/cfile.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/file_pipeline.h"

// The chunk of the chain: 100,000,000 bytes, a decimal number on purpose.
inline constexpr UINT StreamChunkSize = 100000000;

enum class StreamCall { kInit, kUpdate, kFinal };

// How the step texts of the stream calls begin after their directory
// profile: "Инициализация потоковой операции ", "Обновление данных
// потоковой операции " or "Завершение потоковой операции ".
const wchar_t* StreamCallWords(StreamCall call);

// A stage's three library calls, bound by the operation to the library
// function, its context, its parameter record (and URL). index is the stream
// of a fanned-out stage (0 otherwise); the operation sets its parameter
// record for it (a signature number) before the call.
struct StreamCalls {
  // Starts a stream with its first input, which it consumes; gives no data.
  std::function<DWORD(std::size_t index, const DataBlob& input, StreamContext* context)> init;
  // output is null for a consuming stage.
  std::function<DWORD(std::size_t index, StreamContext* context, const DataBlob& input, DataBlob* output)>
      update;
  // output is null for a consuming stage (its result record is the
  // operation's, filled and read inside the call).
  std::function<DWORD(std::size_t index, StreamContext* context, DataBlob* output)> final;
};

enum class StageKind {
  kProducesData,      // Update and Final give data for the next stage
  kConsumes,          // nothing flows on from it
  kConsumesPassingOn  // takes its input without output, and its input flows on
};

// How a stage is started by its first input.
enum class StageStart {
  kWithInput,       // Init takes the input
  kEmptyThenUpdate  // Init with an empty input, then the input by Update
};

// The extra step of a stage that is started in the closing run.
enum class LateStart {
  kInitOnly,                 // the Init alone; the next input goes to Update
  kEmptyUpdateAfterFinal,    // started by a Final's output: Init, then an empty Update
  kEmptyUpdateInClosingRun,  // started by any output of the closing run: Init, then an empty Update
};

// An Update with an empty input before the stage's Final.
enum class EmptyUpdate {
  kNever,
  kWhenNeverUpdated,     // no Update of the stage succeeded so far
  kWhenNotUpdatedInLoop  // no Update of the stage succeeded inside the chunk loop
};

struct StreamStage {
  StreamCalls calls;
  // The step text of a failing call, formatted when the failure happens.
  std::function<CString(StreamCall call, std::size_t index)> stepText;
  StageKind kind = StageKind::kProducesData;
  bool switchedOn = true;
  // More than one stream (or none) only for a consuming stage: every stream
  // gets the same input, in stream order.
  bool fannedOut = false;
  std::size_t streams = 1;
  StageStart start = StageStart::kWithInput;
  LateStart lateStart = LateStart::kInitOnly;
  EmptyUpdate emptyUpdate = EmptyUpdate::kNever;
  // An empty input is handed to the stage too (else it passes nothing on).
  bool takesEmptyInput = false;
  // What the stage takes in is also written to the files' copy once the
  // stage has taken it (the verified content beside a new detached
  // signature); an empty input writes nothing.
  bool copiesInput = false;
  // A stage that nothing has started when its Final comes is started with
  // an empty input first, so that its Final ends a real stream (a signature
  // of empty content) rather than an empty handle.
  bool startsEmptyBeforeFinal = false;
  // After a failure of its own call the stage's started streams still get
  // their Final (a fanned-out stage whose streams are all open).
  bool finalWhenFailing = false;
  // Whose error stack a failure of this stage carries; null: the chain's.
  LibraryContext stackContext = nullptr;

  // Kept by the chain. contexts: one per stream (a fanned-out stage appends
  // one per successful Init), empty (null) until its Init succeeds.
  std::vector<StreamContext> contexts;
  bool started = false;
  bool finished = false;
  bool updatedOnce = false;
  bool updatedInLoop = false;
};

// Where a chain failed: for the operation's own decisions after the record
// and for the stack rule.
enum class StreamFailureKind { kNone, kOpen, kCreate, kAllocation, kRead, kLibrary, kWrite, kCopyWrite };
enum class StreamPhase {
  kOpening,           // before the chunk loop (opens, a stage started early)
  kLoop,              // the chunk loop
  kFirstEmptyUpdate,  // the closing run's empty Update of the first stage and what it passed down
  kClosing            // the rest of the closing run, from the first stage's Final on
};
struct StreamFailurePoint {
  StreamFailureKind kind = StreamFailureKind::kNone;
  StreamPhase phase = StreamPhase::kOpening;
  int stage = -1;  // the failing stage, -1 for a read, write or allocation
  StreamCall call = StreamCall::kInit;
  std::size_t index = 0;  // the failing stream of a fanned-out stage
};

// Which stages get a Final after a failure (never one already finished).
enum class FinalsAfterFailure {
  // After a failing Init, every earlier stage; after any other failure,
  // every stage but the failing one.
  kByCall,
  // Every stage but the failing one, whatever failed.
  kEveryOther,
};

// In which order the stages get those Finals.
enum class FinalsOrder {
  kChainOrder,
  // After a failure in the closing run, the failing stage's streams (when it
  // finishes them) before the other stages; in chain order otherwise.
  kFailingStageFirstWhenClosing,
};

// Stack rules: whether a failure's record carries the library's error stack
// (taken after the other stages' Finals). A failure not of the library never
// does.
bool StackInLoopAndFirstEmptyUpdate(const StreamFailurePoint& point);  // the default
bool StackInLoopOnly(const StreamFailurePoint& point);
bool StackAlways(const StreamFailurePoint& point);

struct StreamOptions {
  UINT chunkSize = StreamChunkSize;
  FinalsAfterFailure finals = FinalsAfterFailure::kByCall;
  FinalsOrder finalsOrder = FinalsOrder::kChainOrder;
  std::function<bool(const StreamFailurePoint&)> attachStack = StackInLoopAndFirstEmptyUpdate;
  // The output of a stage that a Final's output fed is tested for emptiness
  // like any other (else it goes on even when empty).
  bool testEmptyAfterFinalFeed = false;
  // The step text of a chunk that cannot be allocated; empty: the read text.
  CString allocationText;
  // Allocates a zero-filled chunk buffer (released with delete[]); null on
  // failure. Unset: new[].
  std::function<BYTE*(std::size_t size)> allocateChunk;
  // Releases a blob that a stage filled. Unset: ORLAX_FreeMem with the
  // chain's context.
  std::function<void(DataBlob& blob)> release;
};

// The files of a stream run: the claimed input (read-only, exclusive, raw)
// and the writer (created or emptied, write-only, exclusive), with the names
// that the step texts show. The input may serve several chains in turn
// (each reading it from its start).
class StreamFiles {
 public:
  // source: the name the texts show for the input; inputPath: the claimed
  // file read (whose size the texts show); shownOutput: the output name the
  // texts show, which may differ from the file written (a scratch file).
  StreamFiles(const CString& source, const CString& inputPath, const CString& shownOutput);
  ~StreamFiles();
  StreamFiles(const StreamFiles&) = delete;
  StreamFiles& operator=(const StreamFiles&) = delete;

  // Opens the input. Failure: the cause number, "Открытие файла %s (размер: %s)".
  DWORD OpenInput(WorkFailure& failure);
  // Creates the writer's file. Failure: the input is closed; the cause
  // number, "Создание файла %s" with the shown output name.
  DWORD CreateWriter(const CString& path, WorkFailure& failure);
  // Creates a second output, the copy, which receives what a stage with
  // copiesInput takes in. Failure: the input is closed and the writer's file
  // deleted; the cause number, "Создание файла %s" with shownCopy.
  DWORD CreateCopy(const CString& path, const CString& shownCopy, WorkFailure& failure);
  // Takes the input's length once both files are open; a failure is
  // reported as a failed read.
  DWORD MeasureInput(WorkFailure& failure);

  // Closes the input, the writer and the copy after a completed chain. An
  // output that cannot be closed may have lost data: the files of both
  // outputs are deleted and the failure is that of a write ("Запись файла
  // %s (размер: %s)" of the one that failed).
  DWORD Close(WorkFailure& failure);
  // Closes every file, ignoring errors, and deletes the outputs' files.
  void Discard();

  CFile& Input() { return *input_; }
  bool InputOpen() const { return input_->m_hFile != CFile::hFileNull; }
  CFile* Writer() { return hasWriter_ ? writer_.get() : nullptr; }
  CFile* Copy() { return hasCopy_ ? copy_.get() : nullptr; }
  ULONGLONG TotalLength() const { return totalLength_; }
  const CString& WriterPath() const { return writerPath_; }

  CString ReadText() const;   // "Чтение файла %s (размер: %s)"
  CString WriteText() const;  // "Запись файла %s (размер: %s)", after the deletion
  CString CopyWriteText() const;  // the same for the copy

  // Tests put file objects of their own in place before the opens.
  void UseFiles(std::unique_ptr<CFile> input, std::unique_ptr<CFile> writer, std::unique_ptr<CFile> copy = nullptr);

 private:
  CString source_;
  CString inputPath_;
  CString shownOutput_;
  CString writerPath_;
  std::unique_ptr<CFile> input_;
  std::unique_ptr<CFile> writer_;
  bool hasWriter_ = false;
  CString shownCopy_;
  CString copyPath_;
  std::unique_ptr<CFile> copy_;
  bool hasCopy_ = false;
  ULONGLONG totalLength_ = 0;
};

class StreamStageChain {
 public:
  // context: the rule's library context (releases, and the stack of stages
  // that name none). The chain reads files.Input() from its start up to
  // files.TotalLength() and writes to files.Writer() when there is one.
  StreamStageChain(LibraryContext context, std::vector<StreamStage> stages, StreamFiles& files,
                   StreamOptions options = {});
  ~StreamStageChain();
  StreamStageChain(const StreamStageChain&) = delete;
  StreamStageChain& operator=(const StreamStageChain&) = delete;

  // Starts the first stage before the loop with the operation's own input
  // (a whole detached signature); every chunk then goes to its Update. On
  // failure, as Run.
  DWORD StartFirstStage(const DataBlob& input, WorkFailure& failure);

  // The chunk loop and the closing run. 0: every switched-on stage finished
  // and all data written; the files stay open for the operation. Otherwise
  // the failure's code, with failure filled (code, step text, stack or
  // none) and the files closed, the writer's file deleted.
  DWORD Run(WorkFailure& failure);

  const StreamFailurePoint& FailurePoint() const { return point_; }
  StreamStage& Stage(std::size_t index) { return stages_[index]; }
  std::size_t StageCount() const { return stages_.size(); }

 private:
  class Held;
  DWORD ChunkLoop();
  DWORD ClosingRun();
  DWORD Feed(std::size_t from, Held input, bool fromFinal, bool testEmpty);
  DWORD StartStage(std::size_t s, const DataBlob& input);
  DWORD UpdateStage(std::size_t s, const DataBlob& input, Held* output);
  DWORD FinalStage(std::size_t s, Held* output);
  DWORD Write(const DataBlob& blob);
  DWORD CopyInput(const StreamStage& stage, const DataBlob& input);
  DWORD LibraryFailed(std::size_t s, StreamCall call, std::size_t index, DWORD code);
  DWORD OwnFailed(StreamFailureKind kind, DWORD code);
  DWORD Fail(WorkFailure& failure);
  void FinalizeAfterFailure();
  void Release(DataBlob& blob);

  LibraryContext context_;
  std::vector<StreamStage> stages_;
  StreamFiles& files_;
  StreamOptions options_;
  StreamPhase phase_ = StreamPhase::kOpening;
  StreamFailurePoint point_;
  DWORD code_ = 0;
};
