#include "service/core/record_texts.h"
#include "service/operations/archive_before_encryption.h"

#include "service/core/gzip_glue.h"
#include "service/core/journal.h"
#include "service/operations/crypto_operation_support.h"
#include "service/zip/zip_writer.h"

namespace {

DWORD ZipOneFile(const ArchiveEntry& entry, const CString& archive, const CString& stepText, WorkFailure& failure) {
  ZipHandle* handle = ZipWriterCreate(const_cast<wchar_t*>(archive.GetString()), 0, kZipToFile);
  if (handle == nullptr) return OwnFailure(failure, ZIP_E_NO_FILE, stepText, L"Не удалось создать/открыть файл");
  DWORD added = ZipWriterAddFile(handle, entry.name, entry.source);
  DWORD closed = ZipWriterClose(handle);
  DWORD code = added != ZIP_OK ? added : closed;
  if (code == ZIP_OK) return 0;
  char text[1024] = {};
  ZipResultText(code, text);
  return OwnFailure(failure, code, stepText, CString(text));
}

DWORD GzipFile(const ArchiveEntry& entry, const CString& archive, const CString& stepText, WorkFailure& failure) {
  CString errorText;
  DWORD code = GzipOneFile(LibraryPath(entry.source), LibraryPath(archive), entry.name, errorText);
  if (code == 0) return 0;
  return OwnFailure(failure, code, stepText, errorText);
}

}  // namespace

CString ArchiveStepText(const PipelineFile& file) {
  return FormatText(L"Архивирование файла '%s' (размер: %s)", file.source, FileSizeText(file.claimed));
}

DWORD ArchiveForEncryption(ArchiveSetting setting, const ArchiveEntry& entry, const CString& archive, const CString& stepText,
                           WorkFailure& failure) {
  return ZipSingleEntry(setting) ? ZipOneFile(entry, archive, stepText, failure)
                                 : GzipFile(entry, archive, stepText, failure);
}
