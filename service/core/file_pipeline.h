#pragma once
// The per-file steps that every file operation of the service runs, once,
// here. An operation builds a FilePipeline for its call and takes its names
// in order:
//
//   for (const CString& name : names) {
//     if (pipeline.StopPoll()) return 0;
//     PipelineFile file = pipeline.Prepare(name, stem, ".p7e", describe);
//     const Admission admission = pipeline.Admit(file, Gates{});
//     if (admission == Admission::kFatal) return pipeline.Result();
//     if (admission == Admission::kSkip) continue;
//     WorkFailure failure;
//     if (<work step>(file, failure) != 0) {
//       if (DWORD fatal = pipeline.FailFile(file, failure)) return fatal;
//       continue;
//     }
//     if (DWORD fatal = pipeline.CompleteFile(file)) return fatal;
//   }
//   return 0;
//
// RunFileOperation does exactly this, with the hooks of a FileOperation
// (below) where the operations differ: the per-file state reset as a name is
// taken (startFile) and the output's stem made from it (outputStem); the
// Gates given to Admit; a step right after Prepare (afterPrepare: DELE and
// EXEC work on the unclaimed file and set file.claimed = file.source there,
// MOVE makes its output folders and may fail the file before any gate); what
// is appended to the output's stem when the listed name decides it
// (appendedFor: SIGN); the work step, which may change the file before it is
// failed or completed (HASH hands on the input it moved and the hash file it
// wrote as file.claimed and file.output); whether CompleteFile deletes the
// input (deleteInputOnSuccess); and, in place of the work step, one that ends
// the file itself (ownWork: EXEC records how its program ended, failing or
// completing the file, and returns false when the operation must end). A
// failure whose endsOperation is set ends the operation with 0 once its file
// is failed: the names not yet taken wait for the next cycle. An operation is
// then its work step and its texts. Two runs stay outside the loop: PACK,
// whose files go into one archive finished as a whole, writes it out around
// Admit, and EXEC's once-per-cycle run is one program for the whole listing,
// no file's way through the steps.
//
// Admit runs the steps that take a file in (SkipTemporaryName,
// VanishedFileCheck, the claim, ProbeInputFile, the settling of the outputs)
// in that fixed order; the Gates an operation passes say which of them it
// takes and where its own steps go in between. Each step that can end a file
// records it in the journals itself; a step returns false when the file is
// finished (passed over, left, or moved to the error folder), and Fatal()
// then tells whether the journal writer or the error-folder mover failed,
// which ends the whole operation with Result() (the worker then stops the
// service).
//
// Paths: source = "Path In"/NAME, claimed = source + ".stp", error name =
// "Path Error"/NAME, output = "Path Out"/stem + appended extension. The
// steps are independent: an operation that leaves some out (DELE, EXEC take
// no claim, MOVE only holds its file) says so in its Gates, and one that
// works on the unclaimed file sets file.claimed = file.source after Prepare,
// so that FailFile moves and CompleteFile deletes the file it really used. An
// operation with conflicts of its own (a move onto a taken name) makes its
// names with MakeConflictName and ends the file with FailFile and its own
// code and step text.
//
// Operations run on the worker thread only; nothing here is locked.

#include <functional>
#include <set>
#include <span>
#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/journal.h"
#include "service/core/worker_state.h"
#include "service/core/claim_records.h"
#include "service/core/held_claim.h"
#include "service/core/staged_outputs.h"

// What the records of a file carry as their message. kOperationText: every
// record carries the file's OperationText. kClaimTextUntilClaimed (signing,
// detached verification, re-signing): the records of the steps before and at
// the claim carry the claim text instead, and OperationText is made only
// after the claim.
enum class RecordStyle { kOperationText, kClaimTextUntilClaimed };

struct PipelineFile;

// Builds the operation's own message (without RulePrefix) from the file and
// the size texts of the input and of the output at that moment.
using DescribeFile =
    std::function<CString(const PipelineFile& file, const CString& inputSize, const CString& outputSize)>;

// One listed name on its way through the steps.
struct PipelineFile {
  CString name;        // the listed bare name
  CString source;      // "Path In"/name
  CString claimed;     // source + ".stp"
  CString errorName;   // "Path Error"/name; the mover sets the name really used
  CString outputStem;  // the output's name without the appended extension
  CString appended;    // what the operation appends to the stem (".p7e", ".zip.p7e", "")
  CString output;      // "Path Out"/outputStem + appended; conflict steps may change it
  CString operationText;  // RulePrefix + the operation's message, remade as the steps go
  bool claimedYet = false;
  CString claimedSize;  // the claimed input's size text, taken once at the claim
  // The claimed input's permission bits once probed (0xFFFFFFFF before):
  // what outputs are published with when the input itself has gone to the
  // output before them.
  DWORD inputPermissions = 0xFFFFFFFF;
  DescribeFile describe;  // the operation's message maker given to Prepare
  // The claim held on the claimed file (and on the partner's) while the file
  // is worked on; released when the last copy of the record goes.
  HeldClaim claim;
  HeldClaim partnerClaim;
  // The outputs settled by the conflict rules, written under temporary
  // names until CompleteFile publishes them (FailFile deletes them).
  StagedOutputs staged;

  // Pairs (a data file and its detached signature): set by ClaimPair. The
  // fields above then describe the listed file; partner* the other one.
  bool pair = false;
  bool listedIsData = true;
  CString partnerName;
  CString partnerSource;
  CString partnerClaimed;
  CString partnerErrorName;

  // The data file and the signature of a pair, whichever was listed.
  const CString& DataClaimed() const { return listedIsData ? claimed : partnerClaimed; }
  const CString& SignatureClaimed() const { return listedIsData ? partnerClaimed : claimed; }
};

// For a DescribeFile whose records show, until the claim, the size of the
// claimed name as it was before the claim ("0" while it does not exist):
// that size, or inputSize once the file is claimed.
CString ClaimedSizeText(const PipelineFile& file, const CString& inputSize);

// One output of a set that shares a stem (FilePipeline::ResolveStemOutputs).
struct StemOutput {
  CString suffix;         // what follows the stem (and its conflict mark)
  CString* path;          // the output's name as formed; receives the settled one
  bool used = true;       // false: not written this time, neither checked nor renamed
  // A companion that a refused conflict names when only it is taken (CHCK's
  // and CHKX's report, checked as an output of its own); otherwise the
  // refusal names the first output of the set.
  bool namedAlone = false;
  // false: an input goes there itself, unchanged, by the operation's own
  // rename from its claimed name (DCHK's pair): the name is settled with
  // the others but never given a temporary one, so that the input is never
  // where the removal of a killed process's temporary files would take it.
  bool staged = true;
};

// A failure of the work step (or of an operation's own step), as FailFile
// records it.
struct WorkFailure {
  DWORD code = 0;
  CString stageText;      // written after RulePrefix as the record's extra
  bool withoutStageText = false;  // the record carries no extra at all, not even RulePrefix
  CString description;    // the operation's own text; empty: ErrorDescription of code
  CString detail;         // the library's error stack, after a library failure
  CString partialOutput;  // deleted before the move (and partnerPartialOutput for pairs)
  CString partnerPartialOutput;
  // RunFileOperation ends the operation (with 0) once the file is failed:
  // the names not yet taken wait for the next cycle.
  bool endsOperation = false;
};

// What Admit made of a file: go on to the work step, the file is done with
// (passed over, left for a later cycle, or failed and recorded), or the
// operation ends at once with Result().
enum class Admission { kProceed, kSkip, kFatal };

// The steps of FilePipeline::Admit that an operation takes, in the order
// Admit runs them. The default is the whole chain with one output.
struct Gates {
  enum class Claim {
    kNone,   // the file is worked on unclaimed (DELE, EXEC)
    kInput,  // ClaimInputFile
    kHold,   // HoldInputFile: the claim alone, the file keeps its name (MOVE)
    kPair,   // ClaimPair with pairExtension (detached signatures)
  };
  enum class Outputs {
    kNone,  // the operation settles its outputs itself, later or never
    kOne,   // ResolveOutputConflict
    kOwn,   // ownOutputs: a set of outputs settled together
  };
  bool skipTemporaryName = true;
  // After SkipTemporaryName: true passes the name over without a record (a
  // partner already taken with its pair, a name that cannot pair).
  std::function<bool(const PipelineFile& file)> passOver = nullptr;
  // passOver is asked before SkipTemporaryName: a partner already taken
  // whose name merely ends in the claim suffix is passed over without the
  // temporary name's record too (SIGN's pairs).
  bool passOverFirst = false;
  bool vanishedFileCheck = true;
  Claim claim = Claim::kInput;
  CString pairExtension = CString();
  // Once the input is claimed, before the probe: the operation's own naming
  // that the records of the probe already show.
  std::function<void(PipelineFile& file)> afterClaim = nullptr;
  bool probe = true;
  Outputs outputs = Outputs::kOne;
  // Outputs::kOwn: a step that ends the file itself as the pipeline's steps
  // do (false: finished, Fatal() telling how).
  std::function<bool(PipelineFile& file)> ownOutputs = nullptr;
};

class FilePipeline {
 public:
  // Per call of an operation: the journal folder, the worker's state (its
  // journal file names, updated by every record, and its records written
  // once per run), the profile name for the records, and the rule's folders
  // and description.
  // The first pipeline of a run for a rule's input folder takes back the
  // claims of this service there whose process is gone (ClaimRecord),
  // whatever the rule's masks: each gets its own name again (or a
  // conflict-free one when a new file took it meanwhile), with one 0xE1718021
  // record, and a later cycle processes it. The first pipeline of a run for
  // a rule's output and error folders ("Path Out", "Path Out 2", "Path
  // Error") removes the temporary files that a process which is gone left
  // there (never those of a live one, which may share the folder), with one
  // record per file removed.
  FilePipeline(const CString& journalFolder, WorkerState& worker, const CString& profileName,
               int ruleIndex, const RuleRecord& rule, bool renameConflicts,
               RecordStyle style = RecordStyle::kOperationText);
  // The same from a profile record (its rule ruleIndex and its "Rename conf
  // files"). worker must outlive this.
  FilePipeline(const CString& journalFolder, const ProfileRecord& profile, WorkerState& worker,
               const CString& profileName, int ruleIndex, RecordStyle style = RecordStyle::kOperationText);
  // Deletes the inputs still waiting for it (DeleteClaimedLater).
  ~FilePipeline();
  FilePipeline(const FilePipeline&) = delete;
  FilePipeline& operator=(const FilePipeline&) = delete;

  // "Правило %d%s. ": the rule's position plus 1 and " ('<Descryption>')"
  // when the description is not empty. Begins every message and step text.
  const CString& RulePrefix() const { return rulePrefix_; }
  const RuleRecord& Rule() const { return rule_; }
  // True once a journal write or a mover failed: the operation must return
  // Result() at once, without any further record.
  bool Fatal() const { return result_ != 0; }
  DWORD Result() const { return result_; }

  // True when the worker's stop event (WorkerState::stopEvent) is set: the
  // operation returns 0 at once and the names not yet taken stay untouched.
  bool StopPoll() const;
  // The worker's stop event, for an operation that waits (null: none).
  HANDLE StopEvent() const { return stopEvent_; }

  // Builds the paths of a listed name and its first OperationText.
  PipelineFile Prepare(const CString& name, const CString& outputStem, const CString& appended,
                       DescribeFile describe);
  // Remakes OperationText with the current sizes (input from the claimed
  // file once claimed, output "0") or, with realOutputSize, the output's
  // real size.
  void Describe(PipelineFile& file, bool realOutputSize = false) const;

  // Takes a prepared file through the steps its gates name, in their
  // order; each step that refuses it ends the chain.
  Admission Admit(PipelineFile& file, const Gates& gates);

  // Passes over a listed name ending in ".stp" (exactly; ".STP" is
  // processed), with one 0xE171800A record per run of the service: a live
  // claim (another instance at work) or somebody else's file that merely
  // ends so, never renamed or read. (Claims of this service whose process is
  // gone were taken back when the rule first met its folder.) False: passed
  // over.
  bool SkipTemporaryName(PipelineFile& file);
  // Refuses a listed name that is a link: nothing is read through it. The
  // link itself (never its target) goes to the error folder with a record.
  // False: refused (or Fatal()).
  bool RefuseLinkedInput(PipelineFile& file);
  // Takes out of names, keeping the order of the rest, every name that is
  // not valid in the file-name encoding (the listing gives its stray bytes
  // as platform::FileNameToWide does, and no call opens such a path). Each
  // gets one 0xE1718024 record per run of the service and stays where it
  // is. The worker calls it on a rule's listing, so that no operation meets
  // such a name. False: Fatal().
  bool SetAsideUnencodableNames(CStringArray& names);
  // Passes over a listed file that no longer exists, with a 0xE171800B
  // record. False: passed over.
  bool VanishedFileCheck(PipelineFile& file);
  // Takes the claim of the source (a lock that lasts while this process
  // works on the file, so that a claim left by a crash can be told from a
  // live one), writes it down (ClaimRecord, so that it is known for ours
  // after a crash), then renames it to its claimed name (never replacing). A link
  // is refused first (RefuseLinkedInput). A file whose claim another process
  // holds at this moment is left for a later cycle without a record; one
  // gone since the listing (another instance took it) gets the 0xE171800B
  // record of VanishedFileCheck. On any other failure (a program that holds
  // it open so that it cannot be renamed included: a sharing violation) the
  // system error is recorded, or 0xE1718024 when the name has no room for
  // the claim suffix, once per run of the service for the same file and
  // error (it would otherwise give a record every cycle), and the file keeps
  // its name for a later cycle.
  // False: not claimed.
  bool ClaimInputFile(PipelineFile& file);
  // The claim alone, for an operation that works on the file under its own
  // name (MOVE): a link is refused, then the claim taken as ClaimInputFile
  // takes it, with its records ("Открытие файла" in place of the rename's
  // text), and the file keeps its name. False: not held.
  bool HoldInputFile(PipelineFile& file);
  // Claims a data file and its detached signature (named data + "." +
  // dsigExt) together, whichever of the two was listed. A pair whose partner
  // is missing is passed over without a record; when the partner cannot be
  // claimed, the listed file gets its name back and the failure is recorded
  // as ClaimInputFile records it (nothing for a passing state).
  bool ClaimPair(PipelineFile& file, const CString& dsigExt);
  // Makes sure nobody else holds the claimed file(s): attributes, then an
  // exclusive open closed at once. Attributes unreadable: recorded, the file
  // stays claimed in the input folder. A file that another program holds
  // open (a reader outside the layer, or another instance sizing it for an
  // instant) is given back under its own name without a record and taken in
  // a later cycle.
  // The claimed input's permission bits are kept (inputPermissions). Open
  // refused otherwise: FailFile (with
  // ". Файл доступен только для чтения" for a read-only file).
  bool ProbeInputFile(PipelineFile& file);
  // Settles file.output: when it exists, with "Rename conf files" 0 the file
  // fails with 80; else up to 100 conflict-free names of the stem (with the
  // appended extension after the mark) are tried. OperationText is remade
  // with the final name.
  bool ResolveOutputConflict(PipelineFile& file);
  // Settles a set of outputs that share one stem in folder (output, copy,
  // report ...): each is folder/stem + its suffix, a conflict mark going
  // after the stem. When none of the used outputs exists, all keep the names
  // they hold. Otherwise with "Rename conf files" 0 the file fails with 80
  // ("Создание файла" of the first output, or of the first taken companion
  // named alone when only such ones are taken); else one mark is drawn per
  // attempt until every used output is free under it, and all of them take
  // it; after 100 attempts the file fails with 80 and the counter text.
  // OperationText is not remade here: the caller describes the file once
  // the names are settled. Every used output's path (but for one not
  // staged, which keeps its settled name) is then its temporary
  // name in its folder (StagedOutputs): the work step writes there, creating
  // the file new, and CompleteFile gives it its settled name. Records show
  // the settled names.
  bool ResolveStemOutputs(PipelineFile& file, const CString& folder, const CString& stem,
                          std::span<const StemOutput> outputs);

  // Success: gives the outputs the input's permission bits (an output is
  // never more readable than its input), remakes OperationText with the real
  // sizes, gives the outputs written under temporary names their settled
  // names (never replacing: a name taken meanwhile goes through the conflict
  // rules again, else the file fails with "Создание файла" of that name),
  // records it with code 0 and deletes the claimed file(s) unless
  // deleteClaimed is false. Each output is noted in the claim record(s)
  // before it is published, so that a kill before the deletion leaves a file
  // the next run finishes rather than does again. The deletion waits for
  // the batch (DeletePendingInputs). Returns 0 or the fatal journal result.
  DWORD CompleteFile(PipelineFile& file, bool deleteClaimed = true);
  // For an operation whose claimed input(s) go to the output themselves,
  // unchanged, by its own renames (moves: each claimed file and its settled
  // name, in the order they are to be moved), after the outputs written
  // beside them: the claim records name the moves and those outputs before
  // any of them, and the record of the file moved last says so
  // (ClaimRecord::NoteMovedLast), then the outputs are published with the
  // input's permission bits, as CompleteFile publishes them. A take-back
  // after a kill then finds nothing published, or only outputs, which it
  // withdraws before giving the input(s) back whole, or everything but the
  // last file, which it moves there. 0, else the failure filled as
  // CompleteFile fails the file (the outputs withdrawn).
  DWORD PublishBeforeMovingInputs(PipelineFile& file, const std::vector<PublishedFile>& moves,
                                  WorkFailure& failure);
  // After a failed move of an input to the output, before the inputs go to
  // the error folder from where they lie now: the records name nothing
  // published any more, so that a take-back after a kill gives the inputs
  // back and never takes a file someone else put under an output name for
  // one of ours. Whatever was published for the file must be withdrawn
  // before this, or a kill right after it would leave it beside an input
  // that is done again.
  static void ForgetPublishing(const PipelineFile& file);
  // Puts the outputs of the completed files waiting for the deletion of
  // their inputs on disk (their data and the folder entries that name
  // them), then deletes those inputs. CompleteFile calls it once a batch is
  // full, the destructor for the rest.
  void DeletePendingInputs();
  // Failure after the claim: deletes the outputs still under temporary
  // names, moves the claimed file(s) to the error folder, then records the
  // failure with OperationText + where the file now is.
  // Returns 0 or the fatal result of the mover or the journal writer.
  DWORD FailFile(PipelineFile& file, const WorkFailure& failure);

  // Records a failure of a step that leaves the file where it is (not
  // moved): message OperationText, extra RulePrefix + stepText (none at all
  // when stepText is empty).
  bool RecordUnmoved(PipelineFile& file, DWORD code, const CString& stepText,
                     const CString& description = CString());

 private:
  // Records that would repeat every cycle for the same file and cause (a
  // name that cannot be claimed, a claim another instance holds) are written
  // once per run of the worker: true the first time a key is seen.
  bool FirstTimeThisRun(DWORD code, const CString& path);
  bool Record(DWORD code, const CString& message, const CString& description, const CString& extra,
              const CString& detail = CString());
  CString ClaimText(const CString& source, const CString& claimed) const;
  CString StyleMessage(const PipelineFile& file) const;
  bool FailStep(PipelineFile& file, DWORD code, const CString& stepText);
  void RecordVanished(const PipelineFile& file, const CString& source);
  bool ProbeOne(PipelineFile& file, const CString& source, const CString& claimed, HANDLE claim);
  bool TakeClaim(PipelineFile& file, const CString& source, const CString& claimed, HeldClaim& claim);
  void GiveClaimBack(PipelineFile& file);
  // The record of a file left under its own name (source) because it could
  // not be claimed as claimed (empty, or source itself: not renamed), once
  // per run of the service for the same file and code.
  void RecordNotClaimed(PipelineFile& file, DWORD code, const CString& source, const CString& claimed,
                        const CString& description);
  void LimitOutputPermissions(const PipelineFile& file);
  void StageOutputs(PipelineFile& file, const CString& stem, std::span<const StemOutput> outputs);
  void RemoveAbandonedOutputs();
  void TakeBackAbandonedClaimsOnce();
  void DeleteClaimedLater(const PipelineFile& file);

  // Completed files whose inputs wait to be deleted, with their claims.
  struct PendingDeletion {
    std::vector<CString> claimed;
    std::vector<HeldClaim> claims;
    std::vector<CString> outputFolders;  // where its outputs lie, each folder once
  };
  static constexpr std::size_t kDeletionBatch = 64;

  CString journalFolder_;
  JournalFiles& journalFiles_;
  std::set<std::wstring>& writtenOnce_;  // the worker's records written once per run
  HANDLE stopEvent_;                     // the worker's stop event
  CString profileName_;
  const RuleRecord& rule_;
  bool renameConflicts_;  // "Rename conf files"
  RecordStyle style_;
  CString rulePrefix_;
  DWORD result_ = 0;
  std::vector<PendingDeletion> pending_;
};

// A scratch file for a work step: a new empty file named "~xx<hex>.tmp" in
// the temporary folder, deleted when the object goes away (every way out of
// the work step), read-only or not.
class TemporaryWorkFile {
 public:
  TemporaryWorkFile() = default;
  ~TemporaryWorkFile();
  TemporaryWorkFile(const TemporaryWorkFile&) = delete;
  TemporaryWorkFile& operator=(const TemporaryWorkFile&) = delete;
  const CString& Path() const { return path_; }

  // Creates the file. On failure returns the system error and fills failure
  // with it and the step text that names what failed.
  DWORD Create(WorkFailure& failure);
  // For a writer that creates its file itself and refuses a name already
  // taken (the library): reserves a "~xx<hex>.tmp" file as Create does and
  // makes Path() a name derived from it ("~xx<hex>.out.tmp") that no other
  // reservation can give and that does not exist yet. Both go away with the
  // object.
  DWORD CreateForWriter(WorkFailure& failure);
  // Deletes the file now (a step done with it early).
  void Delete();

 private:
  CString path_;
  CString reserved_;
  HeldClaim claim_;  // tells live scratch files from abandoned ones
};

// Removes the scratch files ("~xx*.tmp" in the temporary folder, with the
// library's work files named after them) that a process which is gone left
// behind; those of live processes stay. The service calls it when it starts.
void RemoveAbandonedScratchFiles();

// Puts on disk, a power loss included, what was written in the given output
// folders and the claim records' notes: one sync of each file system they
// lie on. False when that is not known to have worked; the inputs must then
// stay, for the next run's take-back to finish their files.
bool OutputsOnDisk(const std::vector<CString>& outputFolders);

// The run of a file operation: every listed name through the steps its
// gates name, its work step in the middle (the loop at the top of this
// file). The defaults are the whole chain with one output, the input
// deleted on success. (PACK, whose files go into one archive finished as a
// whole, writes the loop out around Admit.)
struct FileOperation {
  std::function<CString(const CString& name)> outputStem;  // null: the name itself
  CString appended;                                        // appended to the stem
  // null: appended. What is appended to the stem when it depends on the
  // listed name (SIGN: a signed file signed again keeps its name).
  std::function<CString(const CString& name)> appendedFor;
  DescribeFile describe;
  // null: nothing; sets the per-file state from the listed name before Prepare
  std::function<void(const CString& name)> startFile;
  // What Admit takes the file through.
  Gates gates;
  // null: nothing. Right after Prepare, before Admit: the operation's own
  // naming of the file (file.claimed = file.source for the unclaimed file)
  // or a step of its own before the gates. Returns 0, or a failure's code
  // with failure filled: the file is then failed (FailFile) unadmitted.
  std::function<DWORD(PipelineFile& file, WorkFailure& failure)> afterPrepare;
  // Returns 0 or the failure's code with failure filled. It may change the
  // file (its claimed input, its output) before it is failed or completed.
  std::function<DWORD(PipelineFile& file, WorkFailure& failure)> work;
  bool deleteInputOnSuccess = true;
  // Set in place of work: a work step that ends the file itself (records
  // it, and fails or completes it). False ends the operation with Result()
  // (0 after a stop request, else the fatal result).
  std::function<bool(PipelineFile& file)> ownWork;
};
DWORD RunFileOperation(FilePipeline& pipeline, const CStringArray& names, const FileOperation& operation);
