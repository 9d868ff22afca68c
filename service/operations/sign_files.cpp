// SIGN, CDSG and DSIG: an attached signature of each input, a detached one
// beside a copy of the data, or one more signature added to an existing
// detached signature; each optionally time-stamped. What an input already
// holds is read first, and existing signatures are verified before another
// is added.

#include <cstring>
#include <set>

#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/file_pipeline.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/operations.h"
#include "service/operations/signed_input_check.h"

namespace {

constexpr std::uint32_t kStampKind = 6;

// One call's fixed values.
struct SignJob {
  SignatureKind kind;
  const RuleRecord& rule;
  LibraryContext context;
  CString extension;  // X: "SigExt" or "DsigExt"
  SignParams params;
  bool stampSignatures;  // "AutoUseTSP" of the rule's directory profile
  CString serverTsp;
  bool stream;           // the rule's "Stream"
};

// One file's names and what the check of its input found.
struct SignTarget {
  CString dataCopy;          // CDSG, DSIG: Path Out\D; empty when there is none
  CString dataSource;        // Path In\D (DSIG), else the source
  CString signatureSource;   // Path In\S (DSIG), else the source
  bool stream = false;       // the calls' mode
  std::uint32_t priorCount = 0;
};

const CString& DataClaimed(const SignJob& job, const PipelineFile& file) {
  return job.kind == SignatureKind::kAddedToDetached ? file.DataClaimed() : file.claimed;
}
const CString& SignatureClaimed(const SignJob& job, const PipelineFile& file) {
  return job.kind == SignatureKind::kAddedToDetached ? file.SignatureClaimed() : file.claimed;
}

const wchar_t* OperationFormat(SignatureKind kind) {
  switch (kind) {
    case SignatureKind::kAttached:
      return L"Профиль справочника : '%s' | Создание ЭП файла '%s' (размер: %s) в файл '%s' (размер: %s)";
    case SignatureKind::kDetached:
      return L"Профиль справочника : '%s' | Создание отсоединённой ЭП файла '%s' (размер: %s) в файл '%s' "
             L"(размер: %s)";
    case SignatureKind::kAddedToDetached:
      break;
  }
  return L"Профиль справочника : '%s' | Добавление отсоединённой ЭП файла '%s' (размер: %s) в файл '%s' "
         L"(размер: %s)";
}

// ---------------------------------------------------------------------------
// Output names.

// The stem and appended extension of the signature written: SIGN and CDSG
// sign NAME, DSIG the data file D of the pair.
void SignatureName(const SignJob& job, const CString& name, CString& stem, CString& appended) {
  const bool named = HasLastExtension(name, job.extension);
  if (job.kind == SignatureKind::kAddedToDetached) {
    stem = named ? WithoutLastExtension(name) : name;
    appended = L"." + job.extension;
  } else if (job.kind == SignatureKind::kAttached && named) {
    // A signed file signed again keeps its name.
    stem = name;
    appended.Empty();
  } else {
    // CDSG: a data file named like a detached signature still gets a
    // signature of its own name plus X beside an unchanged copy, so the two
    // never collide.
    stem = name;
    appended = L"." + job.extension;
  }
}

// CDSG and DSIG write two files with one stem: the signature (stem + X) and
// the data copy (stem). A conflict on either draws a new stem for both.
bool ResolveSignatureAndCopy(const SignJob& job, FilePipeline& pipeline, PipelineFile& file,
                             SignTarget& target) {
  const StemOutput outputs[] = {{file.appended, &file.output},
                                {CString(), &target.dataCopy, !target.dataCopy.IsEmpty()}};
  if (!pipeline.ResolveStemOutputs(file, job.rule.pathOut, file.outputStem, outputs)) return false;
  pipeline.Describe(file);
  return true;
}

// ---------------------------------------------------------------------------
// The existing-signature check.

// DSIG: the listed signature must be a detached signed message with at least
// one signature.
DWORD CheckDetachedInput(const SignJob& job, const PipelineFile& file, SignTarget& target, WorkFailure& failure) {
  const CString& claimed = file.SignatureClaimed();
  HeldMessageInfo info(job.context);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.context, LibraryPath(claimed), info.get(), 0);
  const MessageInfo& message = *info;
  target.stream = (message.flags & ORLAX_MSG_STREAM) != 0;
  const CString& examined = target.signatureSource;
  if (code == 0 && message.type != ORLAX_MSG_SIGNED) {
    CString step = InformationText(examined, claimed);
    if (message.type == ORLAX_MSG_ENVELOPED) step += L". Файл зашифрован";
    return WrongType(failure, step, job.context, false);
  }
  if (code != 0) {
    LibraryFailure(failure, code, job.context, DataText(examined, claimed));
    failure.description = kWrongSignatureTypeText;
    return code;
  }
  if (message.signatureCount == 0) return WrongType(failure, DataText(examined, claimed), job.context, true);
  if ((message.flags & ORLAX_MSG_DETACHED) == 0) {
    CString step = DataText(examined, claimed) +
                   WrongFormText(L"Файл %s (размер: %s) содержит присоединённую подпись вместо отсоединённой",
                                 examined, claimed);
    return WrongType(failure, step, job.context, true);
  }
  target.priorCount = message.signatureCount;
  return 0;
}

DWORD VerifyExisting(const SignJob& job, const PipelineFile& file, const SignTarget& target,
                     WorkFailure& failure) {
  VerifyParams params;
  std::memset(&params, 0, sizeof(params));
  HeldVerifyResult result(job.context);
  DWORD code = 0;
  CString step;
  if (job.kind == SignatureKind::kAddedToDetached) {
    const CString& data = file.DataClaimed();
    const CString& signature = file.SignatureClaimed();
    code = ORLAX_CmsStrDetVerifyFile(job.context, &params, LibraryPath(data), LibraryPath(signature), nullptr,
                                     result.get());
    if (code != 0) {
      step = FormatText(L"Профиль справочника : '%s'. Проверка отсоединённой ЭП '%s' (размер: %s) файла '%s' "
                        L"(размер: %s)",
                        job.rule.zcsProfile, target.signatureSource, FileSizeText(signature), target.dataSource,
                        FileSizeText(data));
    }
  } else {
    code = ORLAX_CmsStrAttVerifyFile(job.context, &params, LibraryPath(file.claimed), nullptr, result.get());
    if (code != 0) {
      step = FormatText(L"Профиль справочника : '%s'. Проверка ЭП файла '%s' (размер: %s)", job.rule.zcsProfile,
                        file.claimed, FileSizeText(file.claimed));
    }
  }
  result.Release();
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context, step);
}

// Reads what the input holds, where the operation looks at it, and settles
// the calls' mode and the prior signature count.
DWORD CheckInput(const SignJob& job, const PipelineFile& file, SignTarget& target, WorkFailure& failure) {
  target.stream = job.stream;
  target.priorCount = 0;
  if (job.kind == SignatureKind::kDetached) return 0;
  if (job.kind == SignatureKind::kAttached && !HasLastExtension(file.name, job.extension)) return 0;
  DWORD code = 0;
  if (job.kind == SignatureKind::kAddedToDetached) {
    code = CheckDetachedInput(job, file, target, failure);
  } else {
    AttachedInput input;
    code = CheckAttachedInput(job.context, file, input, failure);
    target.stream = input.streamEncoded;
    target.priorCount = input.signatureCount;
  }
  if (code != 0 || target.priorCount == 0) return code;
  return VerifyExisting(job, file, target, failure);
}

// ---------------------------------------------------------------------------
// Signing, time stamp, data copy.

DWORD Sign(const SignJob& job, const PipelineFile& file, const SignTarget& target, WorkFailure& failure) {
  CStringA out = LibraryPath(file.output);
  DWORD code = 0;
  if (job.kind == SignatureKind::kAttached) {
    CStringA in = LibraryPath(file.claimed);
    code = target.stream ? ORLAX_CmsStrAttSignFile(job.context, &job.params, in, out)
                         : ORLAX_CmsBlkAttSignFile(job.context, &job.params, in, out);
  } else {
    CStringA data = LibraryPath(DataClaimed(job, file));
    CStringA existing = job.kind == SignatureKind::kAddedToDetached ? LibraryPath(file.SignatureClaimed()) : CStringA();
    const char* existingPath = job.kind == SignatureKind::kAddedToDetached ? existing.GetString() : nullptr;
    code = target.stream ? ORLAX_CmsStrDetSignFile(job.context, &job.params, data, existingPath, out)
                         : ORLAX_CmsBlkDetSignFile(job.context, &job.params, data, existingPath, out);
  }
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context);
}

CString CopyText(const CString& from, const CString& fromSize, const CString& to) {
  return FormatText(L"Копирование файла '%s' (размер: %s) в '%s' (размер: %s)", from, fromSize, to,
                    FileSizeText(to));
}

// Stamps the new (last) signature: the stamped message goes to a scratch file
// that then takes the output's place.
DWORD TimeStamp(const SignJob& job, const PipelineFile& file, const SignTarget& target, WorkFailure& failure) {
  TspStampParams params;
  std::memset(&params, 0, sizeof(params));
  params.kind = kStampKind;
  params.signatureIndex = target.priorCount;
  TemporaryWorkFile stamped;
  if (DWORD code = stamped.CreateForWriter(failure)) return code;
  CStringA url = LibraryPath(StampUrl(job.serverTsp));
  CStringA signedFile = LibraryPath(file.output);
  CStringA scratch = LibraryPath(stamped.Path());
  DWORD code = target.stream ? ORLAX_TspStrUrlStampCmsFile(job.context, &params, url, signedFile, scratch)
                             : ORLAX_TspBlkUrlStampCmsFile(job.context, &params, url, signedFile, scratch);
  if (code != 0) {
    CString step = FormatText(L"Установка штампа времени с сервера %s на последнюю ЭП файла %s (размер: %s) с "
                              L"записью в файл %s (размер: %s)",
                              job.serverTsp, target.signatureSource, FileSizeText(SignatureClaimed(job, file)),
                              file.output, L"0");
    return LibraryFailure(failure, code, job.context, step);
  }
  if (!DeleteFileW(file.output)) {
    DWORD error = GetLastError();
    return OwnFailure(failure, error,
                      FormatText(L"Удаление файла %s (размер: %s)", file.output, FileSizeText(file.output)));
  }
  if (!CopyFileW(stamped.Path(), file.output, TRUE)) {
    DWORD error = GetLastError();
    DeleteFileW(stamped.Path());
    return OwnFailure(failure, error, CopyText(stamped.Path(), FileSizeText(stamped.Path()), file.output));
  }
  return 0;
}

DWORD CopyData(const SignJob& job, const PipelineFile& file, const SignTarget& target, WorkFailure& failure) {
  const CString& data = DataClaimed(job, file);
  if (CopyFileW(data, target.dataCopy, TRUE)) return 0;
  DWORD error = GetLastError();
  CString step = CopyText(target.dataSource, FileSizeText(data), target.dataCopy);
  // A copy that broke off must not stay behind; a name someone else took
  // meanwhile is theirs.
  if (error != ERROR_FILE_EXISTS) DeleteFileW(target.dataCopy);
  return OwnFailure(failure, error, step);
}

// The work step after the conflict check. A failure leaves nothing at the
// output: the signature already written is deleted with the input's move.
DWORD SignStep(const SignJob& job, const PipelineFile& file, SignTarget& target, WorkFailure& failure) {
  if (DWORD code = CheckInput(job, file, target, failure)) return code;
  failure.partialOutput = file.output;
  if (DWORD code = Sign(job, file, target, failure)) return code;
  if (job.stampSignatures) {
    if (DWORD code = TimeStamp(job, file, target, failure)) return code;
  }
  if (!target.dataCopy.IsEmpty()) return CopyData(job, file, target, failure);
  return 0;
}

}  // namespace

DWORD SignFiles(const OperationCall& call, const SigningArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts,
                        RecordStyle::kClaimTextUntilClaimed);
  const RuleRecord& rule = pipeline.Rule();
  const DirectorySwitches& settings = call.settings.directory;
  SignJob job{arguments.kind,
              rule,
              RuleContext(call.table, call.state.tableIndex),
              arguments.sigExt,
              SignParams{},
              settings.stampSignatures,
              settings.serverTsp,
              call.settings.stream};
  job.params.flags = settings.addCertificate ? ORLAX_SIGN_ADD_CERT : 0;

  const CString typeText =
      FormatText(L" (%s %s)", L"Тип операции:", call.settings.stream ? L"Потоковая" : L"Блочная");
  SignTarget target;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    // DSIG names the data file of the pair, whichever of the two was listed.
    CString size = job.kind == SignatureKind::kAddedToDetached ? FileSizeText(file.DataClaimed()) : inputSize;
    return FormatText(OperationFormat(job.kind), rule.zcsProfile, target.dataSource, size, file.output,
                      outputSize) +
           typeText;
  };

  // DSIG: the partner of a pair already taken in this call, when listed too,
  // is no vanished file.
  std::set<std::wstring> takenPartners;
  // DSIG claims the pair and remembers the partner as soon as it is claimed
  // (a pair the probe then moves to the error folder is taken all the same).
  // CDSG and DSIG settle the signature and the data copy together.
  Gates gates;
  if (job.kind == SignatureKind::kAddedToDetached) {
    // Passed over without a record, before any other step: a taken partner,
    // and a signature named ".p7d" alone, which has no data file that could
    // pair with it (like any unpaired file it waits, untouched).
    gates.passOver = [&](const PipelineFile& file) {
      if (takenPartners.count(file.name.str()) != 0 && !PathFileExistsW(file.source)) return true;
      return HasLastExtension(file.name, job.extension) && !CanStripExtension(file.name, job.extension);
    };
    gates.passOverFirst = true;
    gates.claim = Gates::Claim::kPair;
    gates.pairExtension = job.extension;
    gates.afterClaim = [&](PipelineFile& file) { takenPartners.insert(file.partnerName.str()); };
  }
  if (job.kind != SignatureKind::kAttached) {
    gates.outputs = Gates::Outputs::kOwn;
    gates.ownOutputs = [&](PipelineFile& file) {
      if (file.appended.GetLength() > 0) target.dataCopy = JoinPath(rule.pathOut, file.outputStem);
      return ResolveSignatureAndCopy(job, pipeline, file, target);
    };
  }

  CString stem, appended;
  FileOperation operation;
  operation.startFile = [&](const CString& name) { SignatureName(job, name, stem, appended); };
  operation.outputStem = [&stem](const CString&) { return stem; };
  operation.appendedFor = [&appended](const CString&) { return appended; };
  operation.describe = describe;
  operation.afterPrepare = [&](PipelineFile& file, WorkFailure&) -> DWORD {
    target = SignTarget{};
    target.dataSource = file.source;
    target.signatureSource = file.source;
    if (job.kind == SignatureKind::kAddedToDetached) {
      // Named before the claim: the text ClaimPair makes once the pair is
      // claimed names the data file. (The records before the claim carry the
      // claim text and read none of it.)
      target.dataSource = JoinPath(rule.pathIn, file.outputStem);
      target.signatureSource = JoinPath(rule.pathIn, file.outputStem + file.appended);
    }
    return 0;
  };
  operation.gates = gates;
  operation.work = [&](PipelineFile& file, WorkFailure& failure) { return SignStep(job, file, target, failure); };
  return RunFileOperation(pipeline, call.files, operation);
}
