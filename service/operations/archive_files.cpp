// ARCH and UNAR: one file into a ZIP or GZIP archive of its own, and back.

#include "service/operations/archive_files.h"

// Before minizip's headers, whose ZIP_OK macro would otherwise rename this
// library's constant of that name.
#include "service/zip/zip_result.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <string>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "service/core/extraction_limit.h"
#include "service/core/file_pipeline.h"
#include "service/core/gzip_glue.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/result_codes.h"
#include "service/operations/minizip_files.h"
#include "service/operations/operations.h"

namespace {

std::string Ansi(const CString& path) { return platform::WideToMultiByte(path.str(), CP_ACP); }
CString Wide(LPCSTR path) { return CString(platform::MultiByteToWide(path != nullptr ? path : "", CP_ACP).c_str()); }

// The result, with the error text filled in when the caller left it empty.
DWORD Fail(DWORD code, CString& errorText) {
  if (errorText.IsEmpty()) {
    errorText = code == ZIP_E_TOO_LARGE ? ZipTooLargeDescription() : CompressionErrorDescription(code);
  }
  return code;
}

// The entry's DOS date and time, read as local time, as a FILETIME in UTC.
bool EntryTime(uLong dosDate, FILETIME& utc) {
  FILETIME local{};
  return DosDateTimeToFileTime(static_cast<WORD>(dosDate >> 16), static_cast<WORD>(dosDate & 0xFFFF), &local) &&
         LocalFileTimeToFileTime(&local, &utc);
}

bool IsFolderEntry(const char* name) {
  const std::string text = name;
  return text.empty() || text.back() == '/' || text.back() == '\\';
}

}  // namespace

DWORD ZipOneFile(LPCSTR source, LPCSTR archive, const CString& entryName, CString& errorText) {
  auto buffer = AllocateArchiveChunk();
  if (!buffer) return Fail(COMPRESS_E_NO_MEMORY, errorText);
  platform::FileHandle input(CreateFileW(Wide(source), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!input.valid()) return Fail(COMPRESS_E_OPEN_SOURCE, errorText);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(input.get(), &size)) return Fail(COMPRESS_E_SOURCE_SIZE, errorText);
  if (size.QuadPart == 0) return Fail(COMPRESS_E_SOURCE_EMPTY, errorText);
  const std::string name = OemEntryName(entryName);
  const ULONGLONG total = static_cast<ULONGLONG>(size.QuadPart);
  // Without ZIP64 records an archive past 4 GiB would be corrupt, and ARCH
  // deletes the input after a success: such a file is refused whole.
  if (ZipEntryWorstCase(total, name.size()) + 22 > kZipMaxBytes) return Fail(ZIP_E_TOO_LARGE, errorText);

  zlib_filefunc64_def functions;
  FillLayerFileFunctions(&functions);
  ZipWriter zip(zipOpen2_64(archive, APPEND_STATUS_CREATE, nullptr, &functions));
  if (zip.get() == nullptr) return Fail(COMPRESS_E_CREATE_PACKED, errorText);
  FILETIME lastWrite{};
  zip_fileinfo info{};
  if (!GetFileTime(input.get(), nullptr, nullptr, &lastWrite) || !ZipEntryDate(lastWrite, info))
    return Fail(ERR_GZIP_TIME, errorText);
  if (zipOpenNewFileInZip3_64(zip.get(), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0,
                              -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0) != ZIP_OK)
    return Fail(COMPRESS_E_WRITE_PACKED, errorText);
  for (ULONGLONG done = 0; done < total;) {
    const DWORD piece = static_cast<DWORD>(std::min<ULONGLONG>(kArchiveChunkSize, total - done));
    if (!ReadArchiveChunk(input.get(), buffer.get(), piece)) return Fail(COMPRESS_E_READ_SOURCE, errorText);
    if (zipWriteInFileInZip(zip.get(), buffer.get(), piece) != ZIP_OK) return Fail(COMPRESS_E_WRITE_PACKED, errorText);
    done += piece;
  }
  if (zipCloseFileInZip(zip.get()) != ZIP_OK || zip.Close() != ZIP_OK) return Fail(COMPRESS_E_WRITE_PACKED, errorText);
  return 0;
}

DWORD UnzipOneFile(LPCSTR archive, LPCSTR target, CString& errorText) {
  auto buffer = AllocateArchiveChunk();
  if (!buffer) return Fail(COMPRESS_E_NO_MEMORY, errorText);
  LARGE_INTEGER size{};
  {
    platform::FileHandle packed(
        CreateFileW(Wide(archive), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!packed.valid()) return Fail(COMPRESS_E_OPEN_PACKED, errorText);
    if (!GetFileSizeEx(packed.get(), &size)) return Fail(COMPRESS_E_PACKED_SIZE, errorText);
    if (size.QuadPart == 0) return Fail(COMPRESS_E_PACKED_EMPTY, errorText);
  }
  zlib_filefunc64_def functions;
  FillLayerFileFunctions(&functions);
  UnzipReader zip(unzOpen2_64(archive, &functions));
  if (zip.get() == nullptr) return Fail(COMPRESS_E_OPEN_PACKED, errorText);
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK) return Fail(COMPRESS_E_OPEN_PACKED, errorText);
  if (global.number_entry > 1) {
    errorText = L"Поддерживаются только архивы, содержащие один файл";
    return ERR_ARCHIVE_NOT_SINGLE;
  }
  unz_file_info64 entry{};
  char name[256] = {};
  if (GetCurrentEntryInfo(zip.get(), entry, name, sizeof(name)) != UNZ_OK)
    return Fail(COMPRESS_E_OPEN_PACKED, errorText);
  if (IsFolderEntry(name)) {
    errorText = L"Поддерживаются только архивы, содержащие один файл";
    return ERR_ARCHIVE_NOT_SINGLE;
  }
  ExtractionLimit limit(static_cast<ULONGLONG>(size.QuadPart), Wide(target));
  if (!limit.AllowsDeclared(entry.uncompressed_size)) return Fail(ERR_ARCHIVE_TOO_LARGE, errorText);
  if (!zip.OpenEntry()) return Fail(COMPRESS_E_OPEN_PACKED, errorText);

  platform::FileHandle output(CreateFileW(Wide(target), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (!output.valid()) return Fail(COMPRESS_E_CREATE_UNPACKED, errorText);
  ULONGLONG written = 0;
  EntryCrc crc;
  for (;;) {
    int got = unzReadCurrentFile(zip.get(), buffer.get(), kArchiveChunkSize);
    if (got < 0) return Fail(COMPRESS_E_INFLATE, errorText);
    if (got == 0) break;
    if (!limit.Write(static_cast<ULONGLONG>(got))) return Fail(ERR_ARCHIVE_TOO_LARGE, errorText);
    DWORD done = 0;
    if (!WriteFile(output.get(), buffer.get(), static_cast<DWORD>(got), &done, nullptr) ||
        done != static_cast<DWORD>(got))
      return Fail(COMPRESS_E_WRITE_UNPACKED, errorText);
    written += static_cast<ULONGLONG>(got);
    crc.Add(buffer.get(), static_cast<unsigned>(got));
  }
  // An entry that gives fewer bytes than it declares, or whose sizes are in
  // its ZIP64 field, is never checked against its CRC by minizip: count it
  // as damaged data.
  if (zip.CloseEntry() != UNZ_OK || written != entry.uncompressed_size || !crc.Matches(entry))
    return Fail(COMPRESS_E_INFLATE, errorText);
  FILETIME stamp{};
  if (EntryTime(entry.dosDate, stamp)) SetFileTime(output.get(), &stamp, nullptr, &stamp);
  if (!output.Close()) return Fail(COMPRESS_E_WRITE_UNPACKED, errorText);
  return 0;
}

DWORD ArchiveFiles(const OperationCall& call, CString archExt) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const bool gzip = GzipArchive(call.settings.archive);
  FileOperation operation;
  if (!archExt.IsEmpty()) operation.appended = L"." + archExt;
  operation.describe = [](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    CString text;
    text.Format(L"Архивация файла '%s' (размер: %s) с записью в файл '%s' (размер: %s)", file.source.GetString(),
                ClaimedSizeText(file, inputSize).GetString(), file.output.GetString(), outputSize.GetString());
    return text;
  };
  operation.work = [gzip](PipelineFile& file, WorkFailure& failure) {
    CString errorText;
    const std::string source = Ansi(file.claimed), target = Ansi(file.output);
    DWORD rc = gzip ? GzipOneFile(source.c_str(), target.c_str(), file.name, errorText)
                    : ZipOneFile(source.c_str(), target.c_str(), file.name, errorText);
    failure.code = rc;
    failure.description = errorText;
    failure.withoutStageText = true;  // the error text says what failed
    failure.partialOutput = file.output;
    return rc;
  };
  return RunFileOperation(pipeline, call.files, operation);
}

DWORD UnarchiveFiles(const OperationCall& call, CString archExt) {
  FilePipeline pipeline(call.journalFolder, call.worker, call.profileName, call.ruleIndex, call.rule,
                        call.settings.renameConflicts);
  const bool gzip = GzipArchive(call.settings.archive);
  // UNAR passes over claimed names without a record.
  CStringArray names;
  for (const CString& name : call.files) {
    if (!HasLastExtension(name, kClaimedExtension)) names.Add(name);
  }
  FileOperation operation;
  operation.outputStem = [archExt](const CString& name) {
    return !archExt.IsEmpty() && HasLastExtension(name, archExt) ? WithoutLastExtension(name) : name;
  };
  operation.describe = [](const PipelineFile& file, const CString& inputSize, const CString& outputSize) {
    CString text;
    text.Format(L"Распаковка файла '%s' (размер: %s) с записью в файл '%s' (размер: %s)", file.source.GetString(),
                ClaimedSizeText(file, inputSize).GetString(), file.output.GetString(), outputSize.GetString());
    return text;
  };
  operation.work = [gzip](PipelineFile& file, WorkFailure& failure) {
    CString errorText;
    const std::string source = Ansi(file.claimed), target = Ansi(file.output);
    DWORD rc = gzip ? GunzipOneFile(source.c_str(), target.c_str(), errorText)
                    : UnzipOneFile(source.c_str(), target.c_str(), errorText);
    failure.code = rc;
    failure.description = errorText;
    failure.withoutStageText = true;  // the error text says what failed
    failure.partialOutput = file.output;
    return rc;
  };
  return RunFileOperation(pipeline, names, operation);
}
