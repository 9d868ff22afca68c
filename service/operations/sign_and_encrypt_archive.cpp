// SGEN's archiving step: the signed (and stamped) message packed into a
// one-entry ZIP archive or a GZIP file, named like the signed file would be
// on its own, before it is encrypted. Block mode packs in memory; stream
// mode packs the scratch file that the chain wrote and encrypts the archive
// from its own scratch file.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/record_texts.h"
#include "service/core/gzip_glue.h"
#include "service/operations/archive_before_encryption.h"
#include "service/operations/crypto_operation_support.h"
#include "service/operations/sign_and_encrypt.h"
#include "service/zip/zip_writer.h"

namespace sgen {
namespace {

DWORD ZipFailure(const PipelineFile& file, DWORD code, WorkFailure& failure) {
  char text[1024] = {};
  ZipResultText(code, text);
  return OwnFailure(failure, code, ArchiveStepText(file), CString(text));
}

// The memory archive's buffer holds the archive of any message: a message
// that does not shrink (random data, something compressed already) makes an
// archive a little larger than itself, and must not fail for it. Only an
// archive past the 32-bit capacity cannot be made (ZIP_E_MEMORY_SIZE).
DWORD ZipInMemory(const PipelineFile& file, const Target& target, const DataBlob& message, DataBlob& archive,
                  WorkFailure& failure) {
  const DWORD capacity =
      static_cast<DWORD>(std::min<std::uint64_t>(ZipMemoryArchiveBound(message.length), 0xFFFFFFFF));
  // Released with free(), as GZIP's buffer is. Pages the archive does not
  // reach are never touched.
  std::unique_ptr<BYTE, decltype(&std::free)> buffer(static_cast<BYTE*>(std::malloc(capacity)), &std::free);
  if (!buffer) return OwnFailure(failure, ERROR_NOT_ENOUGH_MEMORY, L"Выделение памяти");
  ZipHandle* handle = ZipWriterCreate(buffer.get(), capacity, kZipToMemory);
  if (handle == nullptr) {
    return OwnFailure(failure, ZIP_E_NO_FILE, ArchiveStepText(file), L"Не удалось создать/открыть файл");
  }
  DWORD code = ZipWriterAddBuffer(handle, target.entryName, message.data, message.length);
  void* data = nullptr;
  DWORD length = 0;
  if (code == ZIP_OK) code = ZipWriterGetBuffer(handle, &data, &length);
  ZipWriterClose(handle);
  if (code != ZIP_OK) return ZipFailure(file, code, failure);
  archive = {length, buffer.release()};
  return 0;
}

DWORD GzipInMemory(const PipelineFile& file, const Target& target, const DataBlob& message, DataBlob& archive,
                   WorkFailure& failure) {
  CString errorText;
  DWORD code = GzipBuffer(message, &archive, target.entryName, errorText);
  if (code == 0) return 0;
  return OwnFailure(failure, code, ArchiveStepText(file), errorText);
}

}  // namespace

DWORD ArchiveInMemory(const FileWork& work, const DataBlob& message, DataBlob& archive, WorkFailure& failure) {
  return ZipSingleEntry(work.job.settings.archive) ? ZipInMemory(work.file, work.target, message, archive, failure)
                                    : GzipInMemory(work.file, work.target, message, archive, failure);
}

DWORD ArchiveAndEncryptFile(const Job& job, const PipelineFile& file, const Target& target,
                            const CString& signedScratch, WorkFailure& failure) {
  // No unfinished archive and no partial output stays behind.
  failure.partialOutput = file.output;
  TemporaryWorkFile archive;
  if (DWORD code = archive.CreateForWriter(failure)) return code;
  if (DWORD code = ArchiveForEncryption(job.settings.archive, {signedScratch, target.entryName}, archive.Path(),
                                        ArchiveStepText(file), failure)) {
    return code;
  }
  DeleteFileW(signedScratch);  // archived: no longer needed
  DWORD code = ORLAX_CmsStrEncryptFile(job.context, &job.encryptParams, LibraryPath(archive.Path()),
                                       LibraryPath(file.output));
  if (code == 0) return 0;
  return LibraryFailure(failure, code, job.context, EncryptionText(job, file));
}

}  // namespace sgen
