// Before minizip's headers, whose ZIP_OK macro would otherwise rename this
// library's constant of that name.
#include "service/zip/zip_result.h"

#include "service/operations/minizip_files.h"

#include <new>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

HANDLE AsHandle(voidpf stream) { return static_cast<HANDLE>(stream); }

voidpf ZCALLBACK OpenFile(voidpf, const void* name, int mode) {
  if (name == nullptr) return nullptr;
  const std::wstring path = platform::MultiByteToWide(static_cast<const char*>(name), CP_ACP);
  HANDLE file;
  if ((mode & ZLIB_FILEFUNC_MODE_CREATE) != 0) {
    file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_TEMPORARY, nullptr);
  } else if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
    file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    return nullptr;  // appending to an archive is never asked for
  }
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

uLong ZCALLBACK ReadStream(voidpf, voidpf stream, void* buffer, uLong size) {
  DWORD got = 0;
  if (!ReadFile(AsHandle(stream), buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
  return got;
}

uLong ZCALLBACK WriteStream(voidpf, voidpf stream, const void* buffer, uLong size) {
  DWORD written = 0;
  if (!WriteFile(AsHandle(stream), buffer, static_cast<DWORD>(size), &written, nullptr)) return written;
  return written;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf stream) {
  LARGE_INTEGER zero{}, position{};
  if (!SetFilePointerEx(AsHandle(stream), zero, &position, FILE_CURRENT)) return static_cast<ZPOS64_T>(-1);
  return static_cast<ZPOS64_T>(position.QuadPart);
}

long ZCALLBACK SeekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  DWORD method = FILE_BEGIN;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) method = FILE_CURRENT;
  if (origin == ZLIB_FILEFUNC_SEEK_END) method = FILE_END;
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(AsHandle(stream), distance, nullptr, method) ? 0 : -1;
}

int ZCALLBACK CloseStream(voidpf, voidpf stream) { return CloseHandle(AsHandle(stream)) ? 0 : -1; }

int ZCALLBACK StreamError(voidpf, voidpf) { return 0; }

}  // namespace

void FillLayerFileFunctions(zlib_filefunc64_def* functions) {
  functions->zopen64_file = OpenFile;
  functions->zread_file = ReadStream;
  functions->zwrite_file = WriteStream;
  functions->ztell64_file = TellStream;
  functions->zseek64_file = SeekStream;
  functions->zclose_file = CloseStream;
  functions->zerror_file = StreamError;
  functions->opaque = nullptr;
}

ULONGLONG ZipEntryWorstCase(ULONGLONG size, ULONGLONG nameBytes) {
  // zlib's bound for deflate's output plus the local header (30), the data
  // descriptor (16) and the central header (46), each with the name.
  const ULONGLONG deflated = size + (size >> 12) + (size >> 14) + (size >> 25) + 13;
  return deflated + 30 + 16 + 46 + 2 * nameBytes;
}

std::string OemEntryName(const CString& name) {
  const std::wstring ansi = platform::MultiByteToWide(platform::WideToMultiByte(name.str(), CP_ACP), CP_ACP);
  return platform::WideToMultiByte(ansi, CP_OEMCP);
}

CString EntryNameFromOem(const std::string& oemName) {
  const std::string ansi = platform::WideToMultiByte(platform::MultiByteToWide(oemName, CP_OEMCP), CP_ACP);
  return CString(platform::MultiByteToWide(ansi, CP_ACP).c_str());
}

bool ZipEntryDate(const FILETIME& lastWrite, zip_fileinfo& info) {
  FILETIME local{};
  SYSTEMTIME time{};
  if (!FileTimeToLocalFileTime(&lastWrite, &local) || !FileTimeToSystemTime(&local, &time)) return false;
  info = zip_fileinfo{};
  info.tmz_date.tm_sec = time.wSecond;
  info.tmz_date.tm_min = time.wMinute;
  info.tmz_date.tm_hour = time.wHour;
  info.tmz_date.tm_mday = time.wDay;
  info.tmz_date.tm_mon = time.wMonth - 1;
  info.tmz_date.tm_year = time.wYear;
  return true;
}

std::unique_ptr<std::uint8_t[]> AllocateArchiveChunk() {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[kArchiveChunkSize]);
}

bool ReadArchiveChunk(HANDLE file, std::uint8_t* buffer, DWORD size) {
  DWORD got = 0;
  return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

bool IsEmptyZipArchive(HANDLE file, ULONGLONG size) {
  constexpr ULONGLONG kEndRecord = 22;
  if (size < kEndRecord || size > kEndRecord + 0xFFFF) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!ReadArchiveChunk(file, reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<DWORD>(size))) return false;
  const auto at = [&bytes](size_t offset) { return static_cast<unsigned char>(bytes[offset]); };
  if (bytes.compare(0, 4, "PK\5\6") != 0) return false;
  // Disk numbers, entry counts, directory size and offset: all 0.
  for (size_t offset = 4; offset < 20; ++offset) {
    if (at(offset) != 0) return false;
  }
  return kEndRecord + (at(20) | (at(21) << 8)) == size;  // the comment fills the rest
}

CString ZipTooLargeDescription() {
  char text[1024];
  ZipResultText(ZIP_E_TOO_LARGE, text);
  return CString(platform::MultiByteToWide(text, CP_ACP).c_str());
}
