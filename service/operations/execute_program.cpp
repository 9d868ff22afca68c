// EXEC: an outside program started from the rule's command template, once
// per cycle or once per listed file, and waited for.

#include <algorithm>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "service/core/file_pipeline.h"
#include "service/operations/name_templates.h"
#include "service/operations/operations.h"

namespace {

// The code recorded when a stop request ended the wait.
constexpr DWORD kStoppedCode = 1223;

struct ProgramRun {
  bool started = false;
  DWORD error = 0;       // why it did not start
  DWORD exitCode = 0;
  bool timedOut = false;
  bool stopped = false;
};

// The command's arguments as the program receives them: every inserted value
// stays one piece of the argument where it stands, whatever blanks, quotes
// or backslashes it holds; ANSI text, or OEM text when the template asks.
std::vector<std::string> Arguments(const CString& command, const std::vector<InsertedValue>& inserted, bool oem) {
  std::vector<platform::LiteralSpan> spans;
  for (const InsertedValue& value : inserted) spans.push_back({value.start, value.length});
  std::vector<std::string> arguments;
  for (const std::wstring& argument : platform::SplitCommandLine(std::wstring_view(command.str()), spans)) {
    const std::string ansi = platform::WideToMultiByte(argument, CP_ACP);
    arguments.push_back(oem ? platform::WideToMultiByte(platform::MultiByteToWide(ansi, CP_ACP), CP_OEMCP) : ansi);
  }
  return arguments;
}

// Ends the program and every process of its group, and waits until it has.
void EndProgram(HANDLE process, DWORD code) {
  TerminateProcess(process, code);
  WaitForSingleObject(process, INFINITE);
}

// Starts the program and waits for it, for the stop event (null: none) and for the time
// limit (0: none). A program past its limit or met by a stop is ended with
// its whole group: nothing it started keeps running unwatched.
ProgramRun RunProgram(const std::vector<std::string>& arguments, ULONGLONG limitMs, HANDLE stop) {
  ProgramRun run;
  PROCESS_INFORMATION info{};
  if (!platform::CreateProcessFromArguments(arguments, &info)) {
    run.error = GetLastError();
    return run;
  }
  run.started = true;
  platform::FileHandle process(info.hProcess), thread(info.hThread);
  HANDLE objects[] = {process.get(), stop};
  const DWORD count = stop != nullptr ? 2 : 1;
  ULONGLONG left = limitMs;
  for (;;) {
    // Waits longer than a DWORD can say go in pieces.
    const DWORD piece = limitMs == 0 ? INFINITE : static_cast<DWORD>(std::min<ULONGLONG>(left, INFINITE - 1));
    const DWORD result = WaitForMultipleObjects(count, objects, FALSE, piece);
    if (result == WAIT_OBJECT_0) break;
    if (result == WAIT_OBJECT_0 + 1) {
      run.stopped = true;
      EndProgram(process.get(), kStoppedCode);
      return run;
    }
    if (result == WAIT_TIMEOUT && limitMs != 0) {
      left -= piece;
      if (left > 0) continue;
      run.timedOut = true;
      EndProgram(process.get(), WAIT_TIMEOUT);
      return run;
    }
    if (result == WAIT_FAILED) {
      run.error = GetLastError();
      EndProgram(process.get(), run.error);
      run.started = false;
      return run;
    }
  }
  GetExitCodeProcess(process.get(), &run.exitCode);
  return run;
}

// NAME split at its first "." unless the name begins with it.
void SplitName(const CString& name, CString& namePart, CString& extensionPart) {
  const int dot = name.Find(L'.');
  if (dot > 0) {
    namePart = name.Left(dot);
    extensionPart = name.Mid(dot + 1);
  } else {
    namePart = name;
    extensionPart.Empty();
  }
}

class ExecRun {
 public:
  // limitMs: how long the program may run, 0 without a limit.
  ExecRun(FilePipeline& pipeline, const RuleRecord& rule, ULONGLONG limitMs)
      : pipeline_(pipeline), rule_(rule), limitMs_(limitMs) {}

  DescribeFile TextOf(const CString& shown) const {
    const CString pathIn = rule_.pathIn;
    return [shown, pathIn](const PipelineFile&, const CString&, const CString&) {
      CString text;
      text.Format(L"Исполнение файла '%s' в каталоге '%s'", shown.GetString(), pathIn.GetString());
      return text;
    };
  }

  // Runs the file's command and records how it ended. Returns false when the
  // operation must end (a stop request, or a fatal journal result).
  bool Run(PipelineFile& file, const ExecCommand& built, bool perFile) {
    file.describe = TextOf(built.command);
    pipeline_.Describe(file);
    const ProgramRun run = RunProgram(Arguments(built.command, built.inserted, built.oem), limitMs_, pipeline_.StopEvent());
    if (!run.started) {
      if (perFile) {
        WorkFailure failure;
        failure.code = run.error;
        failure.withoutStageText = true;
        pipeline_.FailFile(file, failure);
      } else {
        pipeline_.RecordUnmoved(file, run.error, CString());
      }
      return !pipeline_.Fatal();
    }
    if (run.stopped) {
      pipeline_.RecordUnmoved(file, kStoppedCode, CString());
      return false;
    }
    if (run.timedOut) {
      pipeline_.RecordUnmoved(file, WAIT_TIMEOUT, CString());
    } else if (run.exitCode != 0) {
      CString description;
      description.Format(L"Программа завершилась с кодом %u", run.exitCode);
      pipeline_.RecordUnmoved(file, run.exitCode, CString(), description);
    } else {
      pipeline_.CompleteFile(file, false);
    }
    return !pipeline_.Fatal();
  }

 private:
  FilePipeline& pipeline_;
  const RuleRecord& rule_;
  ULONGLONG limitMs_;
};

}  // namespace

DWORD ExecuteProgram(const OperationCall& call) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  ExecRun exec(pipeline, rule, call.settings.execTimeLimitMs);
  ExecCommand cycle;
  BuildExecCommand(rule.execName, {.inputFolder = rule.pathIn, .outputFolder = rule.pathOut}, cycle);

  // Once per cycle: one run for the whole listing, not a file's way through
  // the steps, so it takes no part of the per-file loop.
  if (!cycle.perFile) {
    if (pipeline.StopPoll()) return 0;
    PipelineFile run = pipeline.Prepare(CString(), CString(), CString(), exec.TextOf(rule.execName));
    exec.Run(run, cycle, false);
    return pipeline.Result();
  }

  FileOperation operation;
  operation.describe = exec.TextOf(rule.execName);
  operation.gates = {.claim = Gates::Claim::kNone};
  operation.afterPrepare = [](PipelineFile& file, WorkFailure&) -> DWORD {
    file.claimed = file.source;  // nothing is claimed: the program works on the file itself
    file.claimedYet = true;
    return 0;
  };
  // The run records how the program ended, failing or completing the file.
  operation.ownWork = [&exec, &rule](PipelineFile& file) {
    CString namePart, extensionPart;
    SplitName(file.name, namePart, extensionPart);
    ExecCommand built;
    BuildExecCommand(rule.execName, {rule.pathIn, namePart, extensionPart, rule.pathOut, file.name}, built);
    return exec.Run(file, built, true);
  };
  return RunFileOperation(pipeline, call.files, operation);
}
