// The stream stage chain with scripted stages and a chunk of 10 bytes: what
// each stage is called with and in which order, what reaches the written
// file, and what every failure point leaves (the Finals called, the file
// written gone, the step text, the stack).
//
// A scripted stage keeps what its Init takes; an Update gives what it held
// plus its input; a Final gives what it held plus the stage's letter. So a
// completed run writes the input followed by the letters of the data stages
// in chain order, whatever the chunking.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/library_error_stack.h"
#include "platform/cfile.h"
#include "platform/files.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "service/operations/stream_stage_chain.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;

constexpr UINT kChunk = 10;
constexpr DWORD kStageCode = 0xE0700777;

using testsupport::Wide;
using testsupport::Utf8;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

// A failing call of a scripted stage: its nth call of that kind (from 1).
struct Fault {
  std::string stage;
  StreamCall call;
  int occurrence = 1;
};

// The calls made, the blobs handed out and not yet released.
struct Script {
  std::vector<std::string> log;
  std::set<const uint8_t*> live;
  std::optional<Fault> fault;
  std::map<std::string, int> counts;
  size_t faultAt = 0;  // log entries before the failure's Finals

  bool Fails(const std::string& stage, StreamCall call, const char* kind) {
    int n = ++counts[stage + kind];
    if (!fault || fault->stage != stage || fault->call != call || fault->occurrence != n) return false;
    faultAt = log.size();
    // A real failure leaves a line on the library's stack: a call without a
    // context leaves one on the library's own.
    ORLAX_CmsStrMsgInfUpdateMem(nullptr, nullptr, nullptr);
    return true;
  }
  void Give(DataBlob* out, const std::string& bytes) {
    *out = {};
    if (bytes.empty()) return;
    out->data = new uint8_t[bytes.size()];
    std::copy(bytes.begin(), bytes.end(), out->data);
    out->length = static_cast<uint32_t>(bytes.size());
    live.insert(out->data);
  }
  void Release(DataBlob& blob) {
    EXPECT_EQ(live.erase(blob.data), 1u) << "released twice or never handed out";
    delete[] blob.data;
  }
};

std::string Bytes(const DataBlob& blob) {
  return blob.length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(blob.data), blob.length);
}

struct StageState {
  std::string held;
};

// A scripted stage named by one letter.
StreamStage Scripted(Script& script, const std::string& name, StageKind kind = StageKind::kProducesData) {
  auto state = std::make_shared<StageState>();
  StreamStage stage;
  stage.kind = kind;
  stage.stepText = [name](StreamCall call, std::size_t index) {
    const char* what = call == StreamCall::kInit ? "Init" : call == StreamCall::kUpdate ? "Update" : "Final";
    return Wide(name + " " + what + " " + std::to_string(index));
  };
  stage.calls.init = [&script, name, state](std::size_t index, const DataBlob& input, StreamContext* context) {
    script.log.push_back(name + ".Init(" + std::to_string(input.length) + ")" +
                         (index != 0 ? "#" + std::to_string(index) : ""));
    if (script.Fails(name, StreamCall::kInit, "I")) return kStageCode;
    state->held = Bytes(input);
    *context = reinterpret_cast<StreamContext>(state.get());
    return DWORD{0};
  };
  stage.calls.update = [&script, name, state](std::size_t index, StreamContext* context, const DataBlob& input,
                                              DataBlob* output) {
    script.log.push_back(name + ".Update(" + std::to_string(input.length) + ")" +
                         (*context == nullptr ? "-" : "") + (index != 0 ? "#" + std::to_string(index) : ""));
    if (script.Fails(name, StreamCall::kUpdate, "U")) return kStageCode;
    std::string bytes = state->held + Bytes(input);
    state->held.clear();
    if (output != nullptr) script.Give(output, bytes);
    return DWORD{0};
  };
  stage.calls.final = [&script, name, state](std::size_t index, StreamContext* context, DataBlob* output) {
    script.log.push_back(name + ".Final" + (*context == nullptr ? "-" : "") +
                         (index != 0 ? "#" + std::to_string(index) : ""));
    *context = nullptr;
    if (script.Fails(name, StreamCall::kFinal, "F")) return kStageCode;
    if (output != nullptr) script.Give(output, state->held + name);
    state->held.clear();
    return DWORD{0};
  };
  return stage;
}

// A file object whose nth read or write (from 1) fails with a cause, or
// whose close fails; a read may also come back empty (a file cut short).
class ScriptedFile : public CFile {
 public:
  explicit ScriptedFile(Script& script) : script_(script) {}
  int failRead = 0, failWrite = 0, emptyRead = 0;
  int cause = CFileException::hardIO;
  bool failClose = false;

  UINT Read(void* buffer, UINT count) override {
    ++reads_;
    if (reads_ == failRead || reads_ == emptyRead) script_.faultAt = script_.log.size();
    if (reads_ == failRead) AfxThrowFileException(cause);
    if (reads_ == emptyRead) return 0;
    return CFile::Read(buffer, count);
  }
  void Write(const void* buffer, UINT count) override {
    if (++writes_ == failWrite) {
      script_.faultAt = script_.log.size();
      AfxThrowFileException(cause);
    }
    CFile::Write(buffer, count);
  }
  void Close() override {
    CFile::Close();
    if (failClose) AfxThrowFileException(CFileException::diskFull);
  }

 private:
  Script& script_;
  int reads_ = 0, writes_ = 0;
};

// A writer that notes its file's permission bits at every write, while the
// file is open and being written.
class ObservedFile : public CFile {
 public:
  explicit ObservedFile(std::vector<DWORD>& modes) : modes_(modes) {}
  void Write(const void* buffer, UINT count) override {
    modes_.push_back(platform::GetFilePermissions(GetFilePath()));
    CFile::Write(buffer, count);
  }

 private:
  std::vector<DWORD>& modes_;
};

struct Outcome {
  DWORD code = 0;
  WorkFailure failure;
  StreamFailurePoint point;
  std::vector<std::string> log;
  bool outputExists = false;
  std::string written;
};

class StreamStageChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = root_.path() / "in.dat.stp";
    output_ = root_.path() / "out.dat";
    FormatLibraryErrorStack(nullptr);  // nothing left from elsewhere
  }
  void TearDown() override { EXPECT_TRUE(script_.live.empty()) << "blobs never released"; }

  // The three data stages of signing, stamping and encrypting: S, then P
  // (started late by Init and an empty Update), then L.
  std::vector<StreamStage> SignStampEncrypt(bool stampOn = true) {
    std::vector<StreamStage> stages{Scripted(script_, "S"), Scripted(script_, "P"), Scripted(script_, "L")};
    stages[0].emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
    stages[1].lateStart = LateStart::kEmptyUpdateAfterFinal;
    stages[1].switchedOn = stampOn;
    return stages;
  }

  Outcome Run(size_t inputSize, std::vector<StreamStage> stages, StreamOptions options = {},
              std::unique_ptr<CFile> input = nullptr, std::unique_ptr<CFile> writer = nullptr,
              bool withWriter = true) {
    root_.WriteFile("in.dat.stp", Pattern(inputSize));
    fs::remove(output_);
    options.chunkSize = kChunk;
    options.release = [this](DataBlob& blob) { script_.Release(blob); };
    StreamFiles files(L"in.dat", Wide(input_.string()), Wide(output_.string()));
    files.UseFiles(std::move(input), std::move(writer));
    Outcome outcome;
    EXPECT_EQ(files.OpenInput(outcome.failure), 0u);
    if (withWriter) {
      EXPECT_EQ(files.CreateWriter(Wide(output_.string()), outcome.failure), 0u);
    }
    EXPECT_EQ(files.MeasureInput(outcome.failure), 0u);
    StreamStageChain chain(nullptr, std::move(stages), files, std::move(options));
    outcome.code = chain.Run(outcome.failure);
    if (outcome.code == 0) outcome.code = files.Close(outcome.failure);
    outcome.point = chain.FailurePoint();
    outcome.log = script_.log;
    outcome.outputExists = fs::exists(output_);
    outcome.written = testsupport::ReadFileBytes(output_);
    return outcome;
  }

  // The Finals in a log after the entry at `from`.
  static std::vector<std::string> FinalsAfter(const std::vector<std::string>& log, size_t from) {
    std::vector<std::string> finals;
    for (size_t i = from; i < log.size(); ++i)
      if (log[i].find(".Final") != std::string::npos) finals.push_back(log[i]);
    return finals;
  }

  testsupport::TempRoot root_;
  fs::path input_, output_;
  Script script_;
};

// ---------------------------------------------------------------------------
// Completed runs.

// What a stream writes (decrypted or not yet verified content) is its
// owner's alone while it is written; the publisher gives it its final bits.
TEST_F(StreamStageChainTest, TheOutputIsItsOwnersAloneWhileItIsWritten) {
  std::vector<DWORD> modes;
  const Outcome outcome = Run(3 * kChunk + 5, {Scripted(script_, "S")}, {}, nullptr,
                              std::make_unique<ObservedFile>(modes));
  EXPECT_EQ(outcome.code, 0u);
  ASSERT_FALSE(modes.empty());
  EXPECT_EQ(modes, std::vector<DWORD>(modes.size(), 0600u));
}

TEST_F(StreamStageChainTest, ChunksAreReadAsFarAsTheInputGoesAndEveryByteReachesTheWriterInOrder) {
  struct Case {
    size_t size;
    std::vector<std::string> firstStageCalls;
  };
  const Case cases[] = {
      // One chunk: the Init takes it all; the closing run's empty Update gives it.
      {10, {"S.Init(10)", "S.Update(0)", "S.Final"}},
      {11, {"S.Init(10)", "S.Update(1)", "S.Final"}},
      {25, {"S.Init(10)", "S.Update(10)", "S.Update(5)", "S.Final"}},
      {1, {"S.Init(1)", "S.Update(0)", "S.Final"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    script_.log.clear();
    Outcome outcome = Run(c.size, SignStampEncrypt());
    ASSERT_EQ(outcome.code, 0u) << Utf8(outcome.failure.stageText);
    std::vector<std::string> first;
    for (const std::string& call : outcome.log)
      if (call.rfind("S.", 0) == 0) first.push_back(call);
    EXPECT_EQ(first, c.firstStageCalls);
    EXPECT_EQ(outcome.written, Pattern(c.size) + "SPL");
  }
}

TEST_F(StreamStageChainTest, StagesStartWithTheFirstDataThatReachesThemAndFinishInChainOrder) {
  Outcome outcome = Run(25, SignStampEncrypt());
  ASSERT_EQ(outcome.code, 0u);
  const std::vector<std::string> expected{
      "S.Init(10)",   "S.Update(10)", "P.Init(20)",  // the first output starts the stamp
      "S.Update(5)",  "P.Update(5)",  "L.Init(25)",  // and the stamp's first output the last stage
      "S.Final",      "P.Update(1)",  "L.Update(1)", "P.Final", "L.Update(1)", "L.Final"};
  EXPECT_EQ(outcome.log, expected);
}

TEST_F(StreamStageChainTest, StageStartedByAFinalsOutputGetsItsLateEmptyUpdateAndEmptyOutputsStartNothing) {
  // S gathers everything and gives it with its Final: its Updates give
  // nothing, so nothing further is called for them; P is started by the
  // Final's output and at once updated with an empty input.
  std::vector<StreamStage> stages = SignStampEncrypt();
  auto gathered = std::make_shared<std::string>();
  stages[0].calls.init = [this, gathered](std::size_t, const DataBlob& input, StreamContext* context) {
    script_.log.push_back("S.Init(" + std::to_string(input.length) + ")");
    *gathered = Bytes(input);
    *context = reinterpret_cast<StreamContext>(gathered.get());
    return DWORD{0};
  };
  stages[0].calls.update = [this, gathered](std::size_t, StreamContext*, const DataBlob& input, DataBlob* output) {
    script_.log.push_back("S.Update(" + std::to_string(input.length) + ")");
    *gathered += Bytes(input);
    *output = {};
    return DWORD{0};
  };
  stages[0].calls.final = [this, gathered](std::size_t, StreamContext* context, DataBlob* output) {
    script_.log.push_back("S.Final");
    *context = nullptr;
    script_.Give(output, *gathered + "S");
    return DWORD{0};
  };
  Outcome outcome = Run(15, std::move(stages));
  ASSERT_EQ(outcome.code, 0u);
  const std::vector<std::string> expected{"S.Init(10)", "S.Update(5)", "S.Final", "P.Init(16)", "P.Update(0)",
                                          "L.Init(16)", "P.Final",     "L.Update(1)", "L.Final"};
  EXPECT_EQ(outcome.log, expected);
  EXPECT_EQ(outcome.written, Pattern(15) + "SPL");
}

TEST_F(StreamStageChainTest, SwitchedOffStageIsPassedOver) {
  Outcome outcome = Run(25, SignStampEncrypt(/*stampOn=*/false));
  ASSERT_EQ(outcome.code, 0u);
  const std::vector<std::string> expected{"S.Init(10)", "S.Update(10)", "L.Init(20)",  "S.Update(5)",
                                          "L.Update(5)", "S.Final",     "L.Update(1)", "L.Final"};
  EXPECT_EQ(outcome.log, expected);
  EXPECT_EQ(outcome.written, Pattern(25) + "SL");
}

// ---------------------------------------------------------------------------
// Failures: one table of failure points for 25 bytes (chunks 10, 10, 5)
// through S, P, L. The log before the failure is the completed run's; what
// follows the failing call are the Finals of the other stages.

struct FailureCase {
  const char* name;
  std::optional<Fault> fault;
  int failRead = 0, failWrite = 0, emptyRead = 0, failAllocation = 0;
  size_t size = 25;
  DWORD code;
  const char* stepText;
  std::vector<std::string> finals;  // after the failure, in order
  bool stack;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class StreamChainFailures : public StreamStageChainTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StreamChainFailures, FinalisesTheOtherStagesDeletesTheOutputAndReportsTheStep) {
  const FailureCase& c = GetParam();
  script_.fault = c.fault;
  auto input = std::make_unique<ScriptedFile>(script_);
  input->failRead = c.failRead;
  input->emptyRead = c.emptyRead;
  StreamOptions options;
  int allocations = 0;
  if (c.failAllocation != 0) {
    options.allocateChunk = [&](std::size_t size) -> BYTE* {
      if (++allocations != c.failAllocation) return new BYTE[size]();
      script_.faultAt = script_.log.size();
      return nullptr;
    };
  }
  Outcome outcome = Run(c.size, SignStampEncrypt(), options, std::move(input));
  EXPECT_EQ(outcome.code, c.code);
  EXPECT_EQ(outcome.failure.code, c.code);
  EXPECT_EQ(Utf8(outcome.failure.stageText), c.stepText);
  EXPECT_FALSE(outcome.outputExists);
  EXPECT_TRUE(outcome.failure.partialOutput.IsEmpty());
  EXPECT_EQ(!outcome.failure.detail.IsEmpty(), c.stack) << Utf8(outcome.failure.detail);
  if (c.stack) {
    EXPECT_NE(Utf8(outcome.failure.detail).find("ORLAX_CmsStrMsgInfUpdateMem"), std::string::npos);
  }
  // The stack is drained whether or not the record carries it.
  EXPECT_TRUE(FormatLibraryErrorStack(nullptr).IsEmpty());
  EXPECT_EQ(FinalsAfter(outcome.log, script_.faultAt), c.finals);
}

const FailureCase kFailureCases[] = {
    {"SigningInit", Fault{"S", StreamCall::kInit}, 0, 0, 0, 0, 25, kStageCode, "S Init 0", {}, true},
    {"SigningUpdate", Fault{"S", StreamCall::kUpdate}, 0, 0, 0, 0, 25, kStageCode, "S Update 0",
     {"P.Final-", "L.Final-"}, true},
    // A failing Init of the second stage finalises the first only.
    {"StampInit", Fault{"P", StreamCall::kInit}, 0, 0, 0, 0, 25, kStageCode, "P Init 0", {"S.Final"}, true},
    {"StampUpdate", Fault{"P", StreamCall::kUpdate}, 0, 0, 0, 0, 25, kStageCode, "P Update 0",
     {"S.Final", "L.Final-"}, true},
    {"EncryptionInit", Fault{"L", StreamCall::kInit}, 0, 0, 0, 0, 25, kStageCode, "L Init 0",
     {"S.Final", "P.Final"}, true},
    {"EncryptionUpdate", Fault{"L", StreamCall::kUpdate}, 0, 0, 0, 0, 35, kStageCode, "L Update 0",
     {"S.Final", "P.Final"}, true},
    // The closing run's empty Update of the first stage still carries the stack.
    {"FirstEmptyUpdate", Fault{"S", StreamCall::kUpdate}, 0, 0, 0, 0, 10, kStageCode, "S Update 0",
     {"P.Final-", "L.Final-"}, true},
    // From the first stage's Final on, no stack; only the later stages finish.
    {"SigningFinal", Fault{"S", StreamCall::kFinal}, 0, 0, 0, 0, 25, kStageCode, "S Final 0",
     {"P.Final", "L.Final"}, false},
    {"StampUpdateInClosingRun", Fault{"P", StreamCall::kUpdate, 2}, 0, 0, 0, 0, 25, kStageCode, "P Update 0",
     {"L.Final"}, false},
    {"StampFinal", Fault{"P", StreamCall::kFinal}, 0, 0, 0, 0, 25, kStageCode, "P Final 0", {"L.Final"}, false},
    {"EncryptionFinal", Fault{"L", StreamCall::kFinal}, 0, 0, 0, 0, 25, kStageCode, "L Final 0", {}, false},
    {"Read", std::nullopt, 2, 0, 0, 0, 25, CFileException::hardIO, "Чтение файла in.dat (размер: 25)",
     {"S.Final", "P.Final-", "L.Final-"}, false},
    // A file cut short after its length was taken fails as the end of the file.
    {"ReadEndsEarly", std::nullopt, 0, 0, 3, 0, 25, CFileException::endOfFile, "Чтение файла in.dat (размер: 25)",
     {"S.Final", "P.Final", "L.Final-"}, false},
    {"Allocation", std::nullopt, 0, 0, 0, 2, 25, ERROR_NOT_ENOUGH_MEMORY, "Чтение файла in.dat (размер: 25)",
     {"S.Final", "P.Final-", "L.Final-"}, false},
};

std::string WriteText(const fs::path& output) { return "Запись файла " + output.string() + " (размер: 0)"; }

INSTANTIATE_TEST_SUITE_P(Points, StreamChainFailures, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamStageChainTest, FailingWriteDeletesWhatWasWrittenAndFinalisesEveryStage) {
  // The first write is L's output of the closing run; the second comes after P's Final.
  auto writer = std::make_unique<ScriptedFile>(script_);
  writer->failWrite = 2;
  writer->cause = CFileException::diskFull;
  Outcome outcome = Run(25, SignStampEncrypt(), {}, nullptr, std::move(writer));
  EXPECT_EQ(outcome.code, static_cast<DWORD>(CFileException::diskFull));
  EXPECT_EQ(Utf8(outcome.failure.stageText), WriteText(output_));
  EXPECT_TRUE(outcome.failure.detail.IsEmpty());
  EXPECT_FALSE(outcome.outputExists);
  const std::vector<std::string> tail(outcome.log.end() - 2, outcome.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"L.Update(1)", "L.Final"}));
  EXPECT_EQ(outcome.point.kind, StreamFailureKind::kWrite);
  EXPECT_EQ(outcome.point.phase, StreamPhase::kClosing);
}

TEST_F(StreamStageChainTest, WriterThatCannotBeClosedFailsLikeAWriteAndLeavesNoOutput) {
  auto writer = std::make_unique<ScriptedFile>(script_);
  writer->failClose = true;
  Outcome outcome = Run(25, SignStampEncrypt(), {}, nullptr, std::move(writer));
  EXPECT_EQ(outcome.code, static_cast<DWORD>(CFileException::diskFull));
  EXPECT_EQ(Utf8(outcome.failure.stageText), WriteText(output_));
  EXPECT_FALSE(outcome.outputExists);
}

TEST_F(StreamStageChainTest, SwitchedOffStageIsFinalisedWithItsEmptyContextOnFailure) {
  script_.fault = Fault{"L", StreamCall::kUpdate};
  Outcome outcome = Run(25, SignStampEncrypt(/*stampOn=*/false));
  EXPECT_EQ(outcome.code, kStageCode);
  EXPECT_EQ(FinalsAfter(outcome.log, 0), (std::vector<std::string>{"S.Final", "P.Final-"}));
}

TEST_F(StreamStageChainTest, OpensReportTheirCauseAndTheNamesShown) {
  WorkFailure failure;
  StreamFiles missing(L"in.dat", Wide((root_.path() / "absent.stp").string()), L"shown.out");
  EXPECT_EQ(missing.OpenInput(failure), static_cast<DWORD>(CFileException::fileNotFound));
  EXPECT_EQ(Utf8(failure.stageText), "Открытие файла in.dat (размер: 0)");

  root_.WriteFile("in.dat.stp", Pattern(3));
  StreamFiles files(L"in.dat", Wide(input_.string()), L"shown.out");
  ASSERT_EQ(files.OpenInput(failure), 0u);
  EXPECT_EQ(files.CreateWriter(Wide((root_.path() / "no-folder" / "x").string()), failure),
            static_cast<DWORD>(CFileException::badPath));
  EXPECT_EQ(Utf8(failure.stageText), "Создание файла shown.out");
  // The input was closed: it can be opened exclusively again.
  StreamFiles again(L"in.dat", Wide(input_.string()), L"shown.out");
  EXPECT_EQ(again.OpenInput(failure), 0u);
}

// ---------------------------------------------------------------------------
// Options of the chain for the other combined operations.

TEST_F(StreamStageChainTest, EveryOtherStageIsFinalisedAfterAFailingInitWhenTheOptionsSaySo) {
  script_.fault = Fault{"P", StreamCall::kInit};
  StreamOptions options;
  options.finals = FinalsAfterFailure::kEveryOther;
  options.attachStack = StackAlways;
  Outcome outcome = Run(25, SignStampEncrypt(), options);
  EXPECT_EQ(FinalsAfter(outcome.log, 0), (std::vector<std::string>{"S.Final", "L.Final-"}));
  EXPECT_FALSE(outcome.failure.detail.IsEmpty());
}

TEST_F(StreamStageChainTest, StackRuleDecidesForClosingRunFailures) {
  script_.fault = Fault{"S", StreamCall::kUpdate};  // the closing run's empty Update (one chunk)
  StreamOptions options;
  options.attachStack = StackInLoopOnly;
  Outcome outcome = Run(10, SignStampEncrypt(), options);
  EXPECT_EQ(outcome.point.phase, StreamPhase::kFirstEmptyUpdate);
  EXPECT_TRUE(outcome.failure.detail.IsEmpty());
}

// Decryption followed by a consuming stage fanned out to three streams, one
// per signature, started late with an empty Update, without a writer.
TEST_F(StreamStageChainTest, FannedOutConsumingStageGivesEveryStreamTheSameDataAndFinishesThemAll) {
  std::vector<StreamStage> stages{Scripted(script_, "D"), Scripted(script_, "T", StageKind::kConsumes)};
  stages[0].emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  stages[1].fannedOut = true;
  stages[1].streams = 3;
  stages[1].lateStart = LateStart::kEmptyUpdateInClosingRun;
  stages[1].emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  Outcome outcome = Run(8, std::move(stages), {}, nullptr, nullptr, /*withWriter=*/false);
  ASSERT_EQ(outcome.code, 0u);
  const std::vector<std::string> expected{
      "D.Init(8)",   "D.Update(0)", "T.Init(8)",   "T.Init(8)#1", "T.Init(8)#2", "T.Update(0)", "T.Update(0)#1",
      "T.Update(0)#2", "D.Final",   "T.Update(1)", "T.Update(1)#1", "T.Update(1)#2", "T.Final", "T.Final#1",
      "T.Final#2"};
  EXPECT_EQ(outcome.log, expected);
}

TEST_F(StreamStageChainTest, FannedOutStageThatFailsFinishesItsOpenStreamsAfterTheEarlierStage) {
  std::vector<StreamStage> stages{Scripted(script_, "D"), Scripted(script_, "T", StageKind::kConsumes)};
  stages[1].fannedOut = true;
  stages[1].streams = 3;
  stages[1].finalWhenFailing = true;
  script_.fault = Fault{"T", StreamCall::kInit, 3};  // the third signature's stream
  Outcome outcome = Run(25, std::move(stages), {}, nullptr, nullptr, false);
  EXPECT_EQ(outcome.code, kStageCode);
  EXPECT_EQ(Utf8(outcome.failure.stageText), "T Init 2");
  EXPECT_EQ(outcome.point.index, 2u);
  EXPECT_EQ(FinalsAfter(outcome.log, 0), (std::vector<std::string>{"D.Final", "T.Final", "T.Final#1"}));
}

// The order of the Finals after a failure of the fanned-out stage: in chain
// order in the loop; with the failing stage first, the option set, once the
// closing run has begun (a late start of one chunk's data).
TEST_F(StreamStageChainTest, FailingStageFirstOrderAppliesOnlyInTheClosingRun) {
  struct Case {
    const char* name;
    size_t size;
    FinalsOrder order;
    std::vector<std::string> finals;
  };
  const Case cases[] = {
      {"closing run, option set", 8, FinalsOrder::kFailingStageFirstWhenClosing,
       {"T.Final", "T.Final#1", "D.Final"}},
      {"closing run, chain order", 8, FinalsOrder::kChainOrder, {"D.Final", "T.Final", "T.Final#1"}},
      {"chunk loop, option set", 25, FinalsOrder::kFailingStageFirstWhenClosing,
       {"D.Final", "T.Final", "T.Final#1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script_ = Script{};
    std::vector<StreamStage> stages{Scripted(script_, "D"), Scripted(script_, "T", StageKind::kConsumes)};
    stages[0].emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
    stages[1].fannedOut = true;
    stages[1].streams = 3;
    stages[1].finalWhenFailing = true;
    stages[1].lateStart = LateStart::kEmptyUpdateInClosingRun;
    script_.fault = Fault{"T", StreamCall::kInit, 3};
    StreamOptions options;
    options.finalsOrder = c.order;
    Outcome outcome = Run(c.size, std::move(stages), options, nullptr, nullptr, false);
    EXPECT_EQ(outcome.code, kStageCode);
    EXPECT_EQ(FinalsAfter(outcome.log, script_.faultAt), c.finals);
  }
}

TEST_F(StreamStageChainTest, FannedOutFinalFinishesEveryStreamAndTheLastFailingOneDecides) {
  std::vector<StreamStage> stages{Scripted(script_, "D"), Scripted(script_, "T", StageKind::kConsumes)};
  stages[1].fannedOut = true;
  stages[1].streams = 3;
  auto inner = stages[1].calls.final;
  stages[1].calls.final = [inner](std::size_t i, StreamContext* context, DataBlob* output) {
    DWORD code = inner(i, context, output);
    return i == 0 ? DWORD{0xE0700106} : i == 1 ? DWORD{0xE0700062} : code;
  };
  Outcome outcome = Run(25, std::move(stages), {}, nullptr, nullptr, false);
  EXPECT_EQ(outcome.code, 0xE0700062u);
  EXPECT_EQ(Utf8(outcome.failure.stageText), "T Final 1");
  const std::vector<std::string> tail(outcome.log.end() - 3, outcome.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"T.Final", "T.Final#1", "T.Final#2"}));
}

TEST_F(StreamStageChainTest, FirstStageStartedBeforeTheLoopTakesEveryChunkByUpdate) {
  // A detached verification: started with the whole signature, it takes
  // every chunk without output, and the chunk itself flows on.
  std::vector<StreamStage> stages{Scripted(script_, "V", StageKind::kConsumesPassingOn), Scripted(script_, "S")};
  stages[1].start = StageStart::kEmptyThenUpdate;
  root_.WriteFile("in.dat.stp", Pattern(15));
  StreamOptions options;
  options.chunkSize = kChunk;
  options.release = [this](DataBlob& blob) { script_.Release(blob); };
  StreamFiles files(L"in.dat", Wide(input_.string()), Wide(output_.string()));
  WorkFailure failure;
  ASSERT_EQ(files.OpenInput(failure), 0u);
  ASSERT_EQ(files.CreateWriter(Wide(output_.string()), failure), 0u);
  ASSERT_EQ(files.MeasureInput(failure), 0u);
  StreamStageChain chain(nullptr, std::move(stages), files, options);
  const std::string signature = "sig";
  DataBlob blob{3, reinterpret_cast<uint8_t*>(const_cast<char*>(signature.data()))};
  ASSERT_EQ(chain.StartFirstStage(blob, failure), 0u);
  ASSERT_EQ(chain.Run(failure), 0u);
  ASSERT_EQ(files.Close(failure), 0u);
  const std::vector<std::string> expected{"V.Init(3)",   "V.Update(10)", "S.Init(0)", "S.Update(10)",
                                          "V.Update(5)", "S.Update(5)",  "V.Final",   "S.Final"};
  EXPECT_EQ(script_.log, expected);
  EXPECT_EQ(testsupport::ReadFileBytes(output_), Pattern(15) + "S");
}

TEST_F(StreamStageChainTest, EmptyUpdateBeforeFinalCanDependOnTheLoopAlone) {
  // Message information after decryption: its empty Update comes when no
  // Update of its own succeeded inside the loop, even after closing-run ones.
  std::vector<StreamStage> stages{Scripted(script_, "D"), Scripted(script_, "M", StageKind::kConsumes)};
  stages[0].emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
  stages[1].emptyUpdate = EmptyUpdate::kWhenNotUpdatedInLoop;
  Outcome outcome = Run(10, std::move(stages), {}, nullptr, nullptr, false);
  ASSERT_EQ(outcome.code, 0u);
  const std::vector<std::string> expected{"D.Init(10)", "D.Update(0)", "M.Init(10)", "D.Final",
                                          "M.Update(1)", "M.Update(0)", "M.Final"};
  EXPECT_EQ(outcome.log, expected);
}

// A re-signing into a detached signature: the verified content that the
// signing stage takes is also written, as it comes, to a second output.
class StreamChainCopyTest : public StreamStageChainTest {
 protected:
  struct CopyOutcome {
    DWORD code = 0;
    WorkFailure failure;
    std::vector<std::string> log;
    bool outputExists = false, copyExists = false;
    std::string written, copied;
  };

  CopyOutcome RunWithCopy(size_t size, std::unique_ptr<CFile> copyFile = nullptr, StreamOptions options = {}) {
    root_.WriteFile("in.dat.stp", Pattern(size));
    const fs::path copy = root_.path() / "copy.dat";
    std::vector<StreamStage> stages{Scripted(script_, "V"), Scripted(script_, "S")};
    stages[0].emptyUpdate = EmptyUpdate::kWhenNeverUpdated;
    stages[1].start = StageStart::kEmptyThenUpdate;
    stages[1].copiesInput = true;
    stages[1].startsEmptyBeforeFinal = true;
    options.chunkSize = kChunk;
    options.release = [this](DataBlob& blob) { script_.Release(blob); };
    StreamFiles files(L"in.dat", Wide(input_.string()), Wide(output_.string()));
    files.UseFiles(nullptr, nullptr, std::move(copyFile));
    CopyOutcome outcome;
    EXPECT_EQ(files.OpenInput(outcome.failure), 0u);
    EXPECT_EQ(files.CreateWriter(Wide(output_.string()), outcome.failure), 0u);
    EXPECT_EQ(files.CreateCopy(Wide(copy.string()), L"shown.copy", outcome.failure), 0u);
    EXPECT_EQ(files.MeasureInput(outcome.failure), 0u);
    StreamStageChain chain(nullptr, std::move(stages), files, std::move(options));
    outcome.code = chain.Run(outcome.failure);
    if (outcome.code == 0) outcome.code = files.Close(outcome.failure);
    outcome.log = script_.log;
    outcome.outputExists = fs::exists(output_);
    outcome.copyExists = fs::exists(copy);
    outcome.written = testsupport::ReadFileBytes(output_);
    outcome.copied = testsupport::ReadFileBytes(copy);
    return outcome;
  }
};

TEST_F(StreamChainCopyTest, WhatTheStageTakesReachesTheCopyInOrder) {
  // V hands out what it holds with each Update: 10 (the Init's chunk with
  // the second), 5, then its letter from the Final.
  CopyOutcome outcome = RunWithCopy(25);
  ASSERT_EQ(outcome.code, 0u) << Utf8(outcome.failure.stageText);
  EXPECT_EQ(outcome.copied, Pattern(25) + "V");
  EXPECT_EQ(outcome.written, Pattern(25) + "VS");
}

TEST_F(StreamChainCopyTest, StageThatNothingReachedIsStartedEmptyBeforeItsFinal) {
  // An empty input: no pass, V gives nothing, and S still signs the empty
  // content instead of being finished as an empty handle.
  CopyOutcome outcome = RunWithCopy(0);
  ASSERT_EQ(outcome.code, 0u);
  // V's Final gives its letter, which S takes by Update after its Init.
  const std::vector<std::string> expected{"V.Update(0)-", "V.Final-", "S.Init(0)", "S.Update(1)", "S.Final"};
  EXPECT_EQ(outcome.log, expected);
  script_.log.clear();
  // A stage with nothing at all for it.
  std::vector<StreamStage> stages{Scripted(script_, "S")};
  stages[0].startsEmptyBeforeFinal = true;
  Outcome alone = Run(0, std::move(stages));
  ASSERT_EQ(alone.code, 0u);
  EXPECT_EQ(alone.log, (std::vector<std::string>{"S.Init(0)", "S.Final"}));
  EXPECT_EQ(alone.written, "S");
}

TEST_F(StreamChainCopyTest, FailingCopyWriteRemovesBothOutputsAndFinishesEveryOtherStage) {
  auto copy = std::make_unique<ScriptedFile>(script_);
  copy->failWrite = 2;
  copy->cause = CFileException::diskFull;
  CopyOutcome outcome = RunWithCopy(25, std::move(copy));
  EXPECT_EQ(outcome.code, static_cast<DWORD>(CFileException::diskFull));
  EXPECT_EQ(Utf8(outcome.failure.stageText), "Запись файла shown.copy (размер: 0)");
  EXPECT_TRUE(outcome.failure.detail.IsEmpty());
  EXPECT_FALSE(outcome.outputExists);
  EXPECT_FALSE(outcome.copyExists);
  // The second write is S's input of the last pass; S took it, so both
  // stages are finished.
  EXPECT_EQ(FinalsAfter(outcome.log, script_.faultAt), (std::vector<std::string>{"V.Final", "S.Final"}));
}

TEST_F(StreamChainCopyTest, CopyThatCannotBeClosedTakesTheWriterWithIt) {
  auto copy = std::make_unique<ScriptedFile>(script_);
  copy->failClose = true;
  CopyOutcome outcome = RunWithCopy(25, std::move(copy));
  EXPECT_EQ(outcome.code, static_cast<DWORD>(CFileException::diskFull));
  EXPECT_EQ(Utf8(outcome.failure.stageText), "Запись файла shown.copy (размер: 0)");
  EXPECT_FALSE(outcome.outputExists);
  EXPECT_FALSE(outcome.copyExists);
}

TEST_F(StreamChainCopyTest, AllocationFailureTakesTheOperationsOwnText) {
  StreamOptions options;
  options.allocationText = L"Выделение памяти";
  options.allocateChunk = [](std::size_t) -> BYTE* { return nullptr; };
  CopyOutcome outcome = RunWithCopy(25, nullptr, options);
  EXPECT_EQ(outcome.code, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(Utf8(outcome.failure.stageText), "Выделение памяти");
  EXPECT_FALSE(outcome.copyExists);
}

}  // namespace
