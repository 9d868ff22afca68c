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
DWORD CodeFile(PipelineFile& file, bool encode, WorkFailure& failure) {
  bool created = false;
  DWORD code = Base64File(LibraryPath(file.claimed), LibraryPath(file.output), encode, &created);
  if (code == 0) return 0;
  failure.code = code;
  if (!encode) failure.description = DecodeDescription(code);
  if (created) failure.partialOutput = file.output;
  return code;
}

// What sets the two codings apart.
struct Base64Coding {
  bool encode = false;
  const wchar_t* format = nullptr;  // the records' message: source, its size, output, its size
  std::function<CString(const CString&)> outputStem{};  // the output's stem from the listed name; null: the name
  CString appended{};                                    // after the stem
};

DWORD RunBase64(const OperationCall& call, Base64Coding coding) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  FileOperation operation;
  operation.outputStem = std::move(coding.outputStem);
  operation.appended = coding.appended;
  // Until its output is settled, a file's records show the size of the
  // claimed name as it was before the claim ("0").
  operation.describe = [format = coding.format](const PipelineFile& file, const CString& inputSize,
                                                const CString& outputSize) {
    return FormatText(format, file.source, ClaimedSizeText(file, inputSize), file.output, outputSize);
  };
  operation.work = [encode = coding.encode](PipelineFile& file, WorkFailure& failure) {
    return CodeFile(file, encode, failure);
  };
  return RunFileOperation(pipeline, call.files, operation);
}

}  // namespace

DWORD EncodeFilesBase64(const OperationCall& call, CString b64Ext) {
  return RunBase64(call, {.encode = true,
                          .format = L"Кодирование в Base64 файла %s (размер: %s) в файл %s (размер: %s)",
                          .appended = L"." + b64Ext});
}

DWORD DecodeFilesBase64(const OperationCall& call, const DecodingArguments& arguments) {
  const CString b64Ext = arguments.b64Ext;
  const CStringArray* extExt = arguments.extExt;
  return RunBase64(
      call, {.encode = false,
             .format = L"Раскодирование из Base64 файла %s (размер: %s) в файл %s (размер: %s)",
             .outputStem = [b64Ext, extExt](const CString& name) {
               return StripOwnOrExtraExtensions(name, b64Ext, extExt);
             }});
}
