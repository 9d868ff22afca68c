// DECR and LDEC: every input, a CMS enveloped message, is decrypted with the
// rule's context; for an archiving rule the decrypted data is a one-file ZIP
// or GZIP archive that is unpacked into the output.

#include <cstring>

#include "platform/files.h"
#include "service/core/file_pipeline.h"
#include "service/core/gzip_glue.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/decrypt_files.h"
#include "service/operations/extension_names.h"
#include "service/operations/operations.h"
#include "service/zip/zip_reader.h"

namespace {

constexpr DWORD kDecryptMode = 0x8003;
constexpr DWORD kFolderAttribute = 0x10;

// The names the journal gives the content ciphers, by OID.
struct CipherName {
  const char* oid;
  const wchar_t* name;
};
constexpr CipherName kCipherNames[] = {
    {"1.2.643.7.1.1.5.2.2", L"ГОСТ Р 34.12-2015 Кузнечик с имитовставкой"},
    {"1.2.643.7.1.1.5.2.1", L"ГОСТ Р 34.12-2015 Кузнечик"},
    {"1.2.643.7.1.1.5.1.2", L"ГОСТ Р 34.12-2015 Магма с имитовставкой"},
    {"1.2.643.7.1.1.5.1.1", L"ГОСТ Р 34.12-2015 Магма"},
    {"1.2.643.2.2.21", L"ГОСТ Р 28147-89"},
};

CString AlgorithmText(const char* oid) {
  if (oid == nullptr) return CString();
  for (const CipherName& cipher : kCipherNames) {
    if (std::strcmp(oid, cipher.oid) == 0) return FormatText(L" (%s %s)", L"Алгоритм шифрования:", cipher.name);
  }
  return CString();
}

const wchar_t* OperationFormat(int streamMode, bool unpacks) {
  if (streamMode == 0) {
    return unpacks ? L"Профиль справочника : '%s' | Расшифрование и распаковка файла '%s' (размер: %s) в '%s' "
                     L"(размер: %s)"
                   : L"Профиль справочника : '%s' | Расшифрование файла '%s' (размер: %s) в '%s' (размер: %s)";
  }
  return unpacks ? L"Профиль справочника : '%s' | Расшифрование и распаковка в потоковом режиме файла '%s' "
                   L"(размер: %s) в '%s' (размер: %s)"
                 : L"Профиль справочника : '%s' | Расшифрование в потоковом режиме файла '%s' (размер: %s) в "
                   L"'%s' (размер: %s)";
}

struct DecryptJob {
  const RuleRecord& rule;
  LibraryContext context;
  int streamMode;
};

CString UnpackStepText(const PipelineFile& file) {
  return FormatText(L"Разархивирование файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
}

DWORD ZipFailure(const PipelineFile& file, DWORD code, WorkFailure& failure) {
  char text[1024] = {};
  ZipResultText(code, text);
  return OwnFailure(failure, code, UnpackStepText(file), CString(text));
}

// The reader of an opened archive, wrapped in a handle and closed on every
// way out.
class OpenedArchive {
 public:
  ~OpenedArchive() {
    if (handle_ != nullptr) ZipReaderClose(handle_);
  }
  DWORD Open(const CString& path) {
    ZipReader* reader = NewZipReader();
    if (reader == nullptr) return ZIP_E_NO_ALLOC;
    DWORD code = OpenZipArchive(reader, path);
    if (code != ZIP_OK) {
      DeleteZipReader(reader);
      return code;
    }
    handle_ = new ZipHandle{kZipReaderTag, reader};
    return ZIP_OK;
  }
  ZipHandle* handle() const { return handle_; }
  ZipReader* reader() const { return static_cast<ZipReader*>(handle_->object); }

 private:
  ZipHandle* handle_ = nullptr;
};

// Only an archive of exactly one file is unpacked.
DWORD UnzipSingleFile(const PipelineFile& file, const CString& archive, WorkFailure& failure) {
  OpenedArchive opened;
  if (DWORD code = opened.Open(archive)) return ZipFailure(file, code, failure);
  if (DWORD code = ZipReaderSetBaseDir(opened.handle())) return ZipFailure(file, code, failure);
  ZipEntryInfo info{};
  if (DWORD code = GetZipEntryInfo(opened.reader(), -1, &info)) return ZipFailure(file, code, failure);
  bool single = info.index == 1;
  if (single) {
    if (DWORD code = GetZipEntryInfo(opened.reader(), 0, &info)) return ZipFailure(file, code, failure);
    single = (info.attributes & kFolderAttribute) == 0;
  }
  if (!single) {
    return OwnFailure(failure, ERR_ARCHIVE_NOT_SINGLE, UnpackStepText(file),
                      L"Поддерживаются только архивы, содержащие один файл");
  }
  if (DWORD code = ZipReaderExtractFirst(opened.handle(), file.output)) return ZipFailure(file, code, failure);
  return 0;
}

DWORD GunzipSingleFile(const PipelineFile& file, const CString& archive, WorkFailure& failure) {
  CString errorText;
  DWORD code = GunzipOneFile(LibraryPath(archive), LibraryPath(file.output), errorText);
  if (code == 0) return 0;
  return OwnFailure(failure, code, UnpackStepText(file), errorText);
}

// The algorithm text of the file's message, or a failure.
DWORD ReadAlgorithm(const DecryptJob& job, const PipelineFile& file, CString& algorithm, WorkFailure& failure) {
  HeldMessageInfo info(job.context);
  CStringA path = LibraryPath(file.claimed);
  DWORD code = job.streamMode == 0 ? ORLAX_CmsBlkMsgInfFile(job.context, path, info.get(), 0)
                                   : ORLAX_CmsStrMsgInfFile(job.context, path, info.get(), 0);
  if (code != 0) {
    return LibraryFailure(failure, code, job.context,
                          FormatText(L"Получение информации о зашифрованном файле '%s' (размер: %s)",
                                     file.source, FileSizeText(file.claimed)));
  }
  algorithm = AlgorithmText((*info).cipherOid);
  return 0;
}

DWORD DecryptTo(const DecryptJob& job, const PipelineFile& file, const CString& target, WorkFailure& failure) {
  DecryptParams params;
  std::memset(&params, 0, sizeof(params));
  params.mode = kDecryptMode;
  HeldDecryptResult result(job.context);
  CStringA in = LibraryPath(file.claimed);
  CStringA out = LibraryPath(target);
  DWORD code = job.streamMode == 0 ? ORLAX_CmsBlkDecryptFile(job.context, &params, in, out, result.get())
                                   : ORLAX_CmsStrDecryptFile(job.context, &params, in, out, result.get());
  result.Release();
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context);
}

// The work step after the message information: decrypt, then unpack when
// the rule archives. Nothing of a failed file stays at the output, and the
// scratch file is gone when this returns.
DWORD DecryptStep(const DecryptJob& job, const PipelineFile& file, WorkFailure& failure) {
  failure.partialOutput = file.output;
  if (job.rule.zipFile == 0) return DecryptTo(job, file, file.output, failure);
  TemporaryWorkFile scratch;
  if (DWORD code = scratch.CreateForWriter(failure)) return code;
  if (DWORD code = DecryptTo(job, file, scratch.Path(), failure)) return code;
  return job.rule.zipFile == 1 ? UnzipSingleFile(file, scratch.Path(), failure)
                               : GunzipSingleFile(file, scratch.Path(), failure);
}

}  // namespace

CString DecryptedName(const CString& name, const CString& encExt, const CStringArray* extExt, int zipFile,
                      const CString& archExt) {
  CString out = StripOwnOrExtraExtensions(name, encExt, extExt);
  if (zipFile != 0 && !archExt.IsEmpty() && CanStripExtension(out, archExt)) out = WithoutLastExtension(out);
  return out;
}

DWORD DecryptFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                   ProfileRecord& profile, CString journalFolder, CString profileName, CString encExt,
                   CString archExt, const CStringArray* extExt, int streamMode) {
  FilePipeline pipeline(journalFolder, profile, profileName, ruleIndex);
  const RuleRecord& rule = pipeline.Rule();
  DecryptJob job{rule, RuleContext(table, rule), streamMode};
  const wchar_t* format = OperationFormat(streamMode, rule.zipFile != 0);
  // Known once the message information has been read, then part of every
  // later record of the file.
  CString algorithm;
  DescribeFile describe = [&](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    return FormatText(format, rule.zcsProfile, file.source, inputSize, file.output, outputSize) + algorithm;
  };

  FileOperation operation;
  operation.outputStem = [&](const CString& name) { return DecryptedName(name, encExt, extExt, rule.zipFile, archExt); };
  operation.describe = describe;
  operation.startFile = [&] { algorithm.Empty(); };
  operation.work = [&](PipelineFile& file, WorkFailure& failure) -> DWORD {
    if (DWORD code = ReadAlgorithm(job, file, algorithm, failure)) return code;
    pipeline.Describe(file);
    return DecryptStep(job, file, failure);
  };
  return RunFileOperation(pipeline, files, operation);
}
