// B64E and B64D: every input is coded with the Base64 codec into "Path Out",
// under its name + "." + B64Ext (B64E) or its name less that extension or
// the extra ones (B64D).

#include "service/core/file_pipeline.h"
#include "service/core/record_texts.h"
#include "service/operations/base64_codec.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/extension_names.h"
#include "service/operations/operations.h"

namespace {

// The operation's own text for a codec result; empty: the code's own.
CString DecodeDescription(DWORD code) {
  if (code == B64_INVALID_CHARACTER) return L"Недопустимый символ в Base64";
  if (code == B64_CONTROL_RUN || code == B64_ARMOR_WORD_MISSING || code == B64_TEXT_AFTER_FOOTER ||
      code == B64_TOO_MANY_PADS || code == B64_DATA_AFTER_PAD) {
    return L"Недопустимый формат Base64";
  }
  return CString();
}

// The work step of both. What a failed call wrote is deleted with the
// move to the error folder: a cut text or byte file under the output's name
// must not pass for a result.
DWORD CodeFile(PipelineFile& file, int encode, WorkFailure& failure) {
  bool created = false;
  DWORD code = Base64File(LibraryPath(file.claimed), LibraryPath(file.output), encode, &created);
  if (code == 0) return 0;
  failure.code = code;
  if (!encode) failure.description = DecodeDescription(code);
  if (created) failure.partialOutput = file.output;
  return code;
}

DWORD RunBase64(const CStringArray& files, int ruleIndex, ProfileRecord& profile, const CString& journalFolder,
                const CString& profileName, const wchar_t* format, int encode,
                std::function<CString(const CString&)> outputStem, const CString& appended) {
  FilePipeline pipeline(journalFolder, profile, profileName, ruleIndex);
  FileOperation operation;
  operation.outputStem = std::move(outputStem);
  operation.appended = appended;
  // Until its output is settled, a file's records show the size of the
  // claimed name as it was before the claim ("0").
  operation.describe = [format](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    const CString size = file.claimedYet ? inputSize : FileSizeText(file.claimed);
    return FormatText(format, file.source, size, file.output, outputSize);
  };
  operation.work = [encode](PipelineFile& file, WorkFailure& failure) { return CodeFile(file, encode, failure); };
  return RunFileOperation(pipeline, files, operation);
}

}  // namespace

DWORD EncodeFilesBase64(const OperationCall& call, CString b64Ext) {
  return RunBase64(call.files, call.ruleIndex, call.profile, call.journalFolder, call.profileName,
                   L"Кодирование в Base64 файла %s (размер: %s) в файл %s (размер: %s)", 1, nullptr,
                   L"." + b64Ext);
}

DWORD DecodeFilesBase64(const OperationCall& call, const DecodingArguments& arguments) {
  const CString b64Ext = arguments.b64Ext;
  const CStringArray* extExt = arguments.extExt;
  return RunBase64(call.files, call.ruleIndex, call.profile, call.journalFolder, call.profileName,
                   L"Раскодирование из Base64 файла %s (размер: %s) в файл %s (размер: %s)", 0,
                   [b64Ext, extExt](const CString& name) { return StripOwnOrExtraExtensions(name, b64Ext, extExt); },
                   CString());
}
