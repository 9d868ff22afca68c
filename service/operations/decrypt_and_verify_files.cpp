// DCCX undoes SGEN: every input is an enveloped message holding an attached
// signed message (optionally packed into a one-file ZIP or GZIP archive). It
// is decrypted, unpacked when the rule archives, its signatures, their time
// stamps and the rule's signer lists are checked, and only then is its
// content given its name in the output folder, with a verification report
// beside it when the profile asks for one. This is the frame: names,
// per-file steps, the envelope check, the first pass and the join.

#include "service/operations/decrypt_and_verify.h"

#include "platform/files.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/content_ciphers.h"
#include "service/operations/operations.h"
#include "service/operations/signature_checks.h"

namespace dccx {

const wchar_t* OperationFormat(bool archives) {
  return archives ? L"Профиль справочника : '%s' | Расшифрование, распаковка и проверка ЭП файла '%s' (размер: %s) "
                    L"и удаление подписей (%s шт.) с записью в файл '%s' (размер: %s)"
                  : L"Профиль справочника : '%s' | Расшифрование и проверка ЭП файла '%s' (размер: %s) и удаление "
                    L"подписей (%s шт.) с записью в файл '%s' (размер: %s)";
}

namespace {

CString EnvelopeText(const PipelineFile& file) {
  return FormatText(L"Получение информации о зашифрованном файле '%s' (размер: %s)", file.source,
                    FileSizeText(file.claimed));
}

// The envelope must be an enveloped message; its cipher names itself in
// every later record.
DWORD CheckEnvelope(const Job& job, const PipelineFile& file, FileState& state, WorkFailure& failure) {
  HeldMessageInfo info(job.context);
  DWORD code = ORLAX_CmsStrMsgInfFile(job.context, LibraryPath(file.claimed), info.get(), 0);
  if (code != 0) return LibraryFailure(failure, code, job.context, EnvelopeText(file));
  const MessageInfo& envelope = *info;
  if (envelope.type != ORLAX_MSG_ENVELOPED) {
    CString step = EnvelopeText(file);
    if (envelope.type == ORLAX_MSG_SIGNED) {
      const wchar_t* kind =
          (envelope.flags & ORLAX_MSG_DETACHED) != 0 ? L"файлом отсоединённой ЭП" : L"подписанным файлом";
      step += L". " + FormatText(L"Файл %s (размер: %s) является %s%s", file.source, FileSizeText(file.claimed),
                                 kind, L"");
    }
    return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongSignatureTypeText);
  }
  state.cipherLabel = CipherLabelOfOid(envelope.cipherOid);
  state.envelopeStreamEncoded = (envelope.flags & ORLAX_MSG_STREAM) != 0;
  return 0;
}

// The output's name: NAME less "EncExt", or else less the "ExtExt" entries
// walked once in list order (the walk ends once no "." is left after the
// first character); then, for an unpacking rule, less the archive
// extension; then less "SigExt". Comparisons are exact. An extension goes
// even when nothing is left before its ".": a name such as ".p7e" gives an
// empty name, so that the output path is the output folder itself, which
// the conflict step meets as a taken name. The file then fails with 80, or
// its output gets a conflict name; nothing is written into the folder's
// place.
CString OutputNameOf(const CString& name, const DecryptAndVerifyArguments& extensions, ArchiveSetting archive) {
  CString out = name;
  if (HasLastExtension(out, extensions.encExt)) {
    out = WithoutLastExtension(out);
  } else if (extensions.extExt != nullptr && out.Find(L'.') >= 0) {
    for (const CString& entry : *extensions.extExt) {
      if (!HasLastExtension(out, entry)) continue;
      out = WithoutLastExtension(out);
      if (out.ReverseFind(L'.') <= 0) break;
    }
  }
  if (Archives(archive) && !extensions.archExt.IsEmpty() && HasLastExtension(out, extensions.archExt))
    out = WithoutLastExtension(out);
  if (HasLastExtension(out, extensions.sigExt)) out = WithoutLastExtension(out);
  return out;
}

// The join: the decrypted content must be an attached signed message with
// at least one signature. A refusal closes the stream pass's input first,
// so that its texts show the claimed file's size.
DWORD CheckContent(const PipelineFile& file, FileState& state, HeldMessageInfo& info, StreamFiles& files,
                   WorkFailure& failure) {
  const MessageInfo content = *info;
  info.Release();
  state.signatureCount = content.signatureCount;
  const bool detached = (content.flags & ORLAX_MSG_DETACHED) != 0;
  // A signed message without a signature proves nothing about its content.
  if (content.type == ORLAX_MSG_SIGNED && !detached && content.signatureCount != 0) {
    state.contentStreamEncoded = (content.flags & ORLAX_MSG_STREAM) != 0;
    return 0;
  }
  files.Discard();
  CString step = ContentInformationText(file);
  if (content.type == ORLAX_MSG_ENVELOPED) {
    step += L". Файл зашифрован";
  } else if (content.type == ORLAX_MSG_SIGNED && detached) {
    step += L". " + FormatText(L"Файл %s (размер: %s) содержит отсоединённую подпись вместо присоединённой",
                               file.source, FileSizeText(file.claimed));
  }
  return OwnFailure(failure, ERR_WRONG_SIGNATURE_TYPE, step, kWrongSignatureTypeText);
}

}  // namespace

// The work step after the names are settled: envelope, first pass, join,
// verification, tail.
DWORD DecryptAndVerifyStep(const Job& job, FilePipeline& pipeline, PipelineFile& file, FileState& state,
                           WorkFailure& failure) {
  if (DWORD code = CheckEnvelope(job, file, state, failure)) return code;
  pipeline.Describe(file);
  state.verifyParams = MakeVerifyParams(true, job.settings.notCopyToLocal);

  // Block mode needs the envelope and the content written whole; a stream
  // encoding of either goes through the stream passes, and every archive
  // through scratch files, so that memory stays bounded.
  const bool archives = Archives(job.archive);
  StreamFiles files(file.source, file.claimed, file.output);
  DecryptedSpool spool;
  HeldMessageInfo info(job.context);
  TemporaryWorkFile message;
  if (DWORD code = archives                      ? FileFirstPass(job, file, message, info, failure)
                   : state.envelopeStreamEncoded ? StreamFirstPass(job, file, {files, spool}, info, failure)
                                                 : BlockFirstPass(job, file, info, failure)) {
    return code;
  }
  if (DWORD code = CheckContent(file, state, info, files, failure)) return code;

  const FileWork work{job, file, state};
  HeldVerifyResult result(job.context);
  if (archives) {
    if (DWORD code = FileVerification(work, message, result, failure)) return code;
    return Tail(work, result, nullptr, failure);
  }
  if (!state.envelopeStreamEncoded && !state.contentStreamEncoded) {
    HeldLibraryBlob content(job.context);
    if (DWORD code = BlockVerification(work, result, content, failure)) return code;
    return Tail(work, result, &content, failure);
  }
  if (DWORD code = StreamVerification(work, {files, spool}, result, failure)) return code;
  return Tail(work, result, nullptr, failure);
}

CString DecryptionText(const Job& job, const PipelineFile& file) {
  return FormatText(L"Профиль справочника : '%s'. Расшифрование файла '%s' (размер: %s) в '%s' (размер: %s)",
                    job.rule.zcsProfile, file.source, FileSizeText(file.claimed), file.output, L"0");
}

CString ContentInformationText(const PipelineFile& file) {
  return FormatText(L"Получение информации об ЭП файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
}

}  // namespace dccx

DWORD DecryptAndVerifyFiles(const OperationCall& call, const DecryptAndVerifyArguments& arguments) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const RuleRecord& rule = pipeline.Rule();
  const dccx::Job job{rule, RuleContext(call.table, call.state.tableIndex),
                      call.settings.directory, call.settings.archive, arguments.writeReport};
  const wchar_t* format = dccx::OperationFormat(Archives(call.settings.archive));

  dccx::FileState state;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    const CString count = state.complete ? FormatText(L"%d", state.signatureCount) : CString(L"0");
    return FormatText(format, rule.zcsProfile, file.source, inputSize, count, file.output,
                      state.complete ? outputSize : CString(L"0")) +
           state.cipherLabel;
  };

  CString outputName;
  FileOperation operation;
  operation.startFile = [&](const CString& name) {
    state = dccx::FileState{};
    outputName = dccx::OutputNameOf(name, arguments, call.settings.archive);
    state.strippedSuffix = name.Mid(outputName.GetLength());
    state.report = JoinPath(rule.pathOut, name + L"." + arguments.verifyFileExt);
  };
  operation.outputStem = [&outputName](const CString&) { return outputName; };
  operation.describe = describe;
  // The output and the report settle together: a conflict on either draws
  // one mark for both, so the report keeps naming its output.
  operation.gates = {.outputs = Gates::Outputs::kOwn, .ownOutputs = [&](PipelineFile& file) {
                       const StemOutput outputs[] = {
                           {CString(), &file.output},
                           {state.strippedSuffix + L"." + arguments.verifyFileExt, &state.report,
                            arguments.writeReport}};
                       return pipeline.ResolveStemOutputs(file, rule.pathOut, file.outputStem, outputs);
                     }};
  operation.work = [&](PipelineFile& file, WorkFailure& failure) {
    pipeline.Describe(file);
    if (DWORD code = dccx::DecryptAndVerifyStep(job, pipeline, file, state, failure)) return code;
    state.complete = true;
    return DWORD{0};
  };
  return RunFileOperation(pipeline, call.files, operation);
}
