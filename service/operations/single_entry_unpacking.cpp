#include "service/operations/single_entry_unpacking.h"

#include "platform/files.h"
#include "service/core/extraction_limit.h"
#include "service/core/gzip_glue.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/crypto_operation_support.h"
#include "service/zip/zip_reader.h"

namespace {

constexpr DWORD kFolderAttribute = 0x10;

DWORD ZipFailure(DWORD code, const CString& stepText, WorkFailure& failure) {
  char text[1024] = {};
  ZipResultText(code, text);
  return OwnFailure(failure, code, stepText, CString(text));
}

// The reader of an opened archive, wrapped in a handle and closed on every
// way out.
class OpenedArchive {
 public:
  OpenedArchive() = default;
  ~OpenedArchive() {
    if (handle_ != nullptr) ZipReaderClose(handle_);
  }
  OpenedArchive(const OpenedArchive&) = delete;
  OpenedArchive& operator=(const OpenedArchive&) = delete;
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

DWORD UnzipSingleEntry(const CString& archive, const CString& target, const CString& stepText,
                       WorkFailure& failure) {
  OpenedArchive opened;
  if (DWORD code = opened.Open(archive)) return ZipFailure(code, stepText, failure);
  if (DWORD code = ZipReaderSetBaseDir(opened.handle())) return ZipFailure(code, stepText, failure);
  ZipEntryInfo info{};
  if (DWORD code = GetZipEntryInfo(opened.reader(), -1, &info)) return ZipFailure(code, stepText, failure);
  bool single = info.index == 1;
  if (single) {
    if (DWORD code = GetZipEntryInfo(opened.reader(), 0, &info)) return ZipFailure(code, stepText, failure);
    single = (info.attributes & kFolderAttribute) == 0;
  }
  if (!single)
    return OwnFailure(failure, ERR_ARCHIVE_NOT_SINGLE, stepText, L"Поддерживаются только архивы, содержащие один файл");
  // The reader never writes more than the entry declares; a few bytes of
  // archive must not claim more than they can give, nor the disk.
  if (!ExtractionLimit(FileSizeOf(archive), target).AllowsDeclared(info.uncompressedSize))
    return OwnFailure(failure, ERR_ARCHIVE_TOO_LARGE, stepText);
  if (DWORD code = ZipReaderExtractFirst(opened.handle(), target)) return ZipFailure(code, stepText, failure);
  return 0;
}

DWORD GunzipSingleEntry(const CString& archive, const CString& target, const CString& stepText,
                        WorkFailure& failure) {
  CString errorText;
  DWORD code = GunzipOneFile(LibraryPath(archive), LibraryPath(target), errorText);
  if (code == 0) return 0;
  return OwnFailure(failure, code, stepText, errorText);
}

}  // namespace

DWORD UnpackSingleEntry(ArchiveSetting setting, const CString& archive, const CString& target, const CString& stepText,
                        WorkFailure& failure) {
  return ZipSingleEntry(setting) ? UnzipSingleEntry(archive, target, stepText, failure)
                      : GunzipSingleEntry(archive, target, stepText, failure);
}
