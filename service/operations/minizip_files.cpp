// Before minizip's headers, whose ZIP_OK macro would otherwise rename this
// library's constant of that name.
#include "service/zip/zip_result.h"

#include "service/operations/minizip_files.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// An archive opened through the layer. minizip reads its headers a byte or
// a few at a time and leaves buffering to its file functions: reads of an
// archive go through two small read-ahead windows, so that an entry costs a
// few calls of the layer, not one per byte. Two, since minizip goes back and
// forth between the central directory and each entry's local header.
// Larger reads (entry data) bypass them. The file's own pointer is moved
// only when a read or write needs it somewhere else.
struct LayerStream {
  static constexpr DWORD kReadAhead = 4096;

  explicit LayerStream(HANDLE opened) : file(opened) {}
  ~LayerStream() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  LayerStream(const LayerStream&) = delete;
  LayerStream& operator=(const LayerStream&) = delete;

  struct Window {
    ZPOS64_T offset = 0;
    DWORD length = 0;
    std::uint8_t bytes[kReadAhead];
  };

  // The window holding the byte at position, or null.
  Window* Holding() {
    for (Window& window : windows) {
      if (position >= window.offset && position - window.offset < window.length) return &window;
    }
    return nullptr;
  }
  void Forget() {
    for (Window& window : windows) window.length = 0;
  }
  // Brings the file's pointer to position.
  bool Reach() {
    if (at == position) return true;
    LARGE_INTEGER distance{}, moved{};
    distance.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(file, distance, &moved, FILE_BEGIN)) return false;
    at = static_cast<ZPOS64_T>(moved.QuadPart);
    return true;
  }
  // Reads at position, moving it on.
  bool Read(void* into, DWORD size, DWORD& got) {
    got = 0;
    if (!Reach() || !ReadFile(file, into, size, &got, nullptr)) return false;
    at += got;
    position += got;
    return true;
  }

  HANDLE file;
  ZPOS64_T position = 0;  // where the next read or write begins
  ZPOS64_T at = 0;        // where the file's own pointer stands
  Window windows[2];
  unsigned refill = 0;  // the window the next miss reads into
};

LayerStream* AsStream(voidpf stream) { return static_cast<LayerStream*>(stream); }

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
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  auto* stream = new (std::nothrow) LayerStream(file);
  if (stream == nullptr) CloseHandle(file);
  return stream;
}

uLong ZCALLBACK ReadStream(voidpf, voidpf opaque, void* buffer, uLong size) {
  LayerStream& stream = *AsStream(opaque);
  auto* out = static_cast<std::uint8_t*>(buffer);
  uLong done = 0;
  while (done < size) {
    LayerStream::Window* window = stream.Holding();
    if (window == nullptr) {
      DWORD got = 0;
      if (size - done >= LayerStream::kReadAhead) {
        stream.Read(out + done, static_cast<DWORD>(size - done), got);
        return done + got;
      }
      window = &stream.windows[stream.refill];
      stream.refill ^= 1u;
      window->offset = stream.position;
      window->length = 0;
      if (!stream.Read(window->bytes, LayerStream::kReadAhead, got) || got == 0) return done;
      window->length = got;
      stream.position = window->offset;
    }
    const auto from = static_cast<DWORD>(stream.position - window->offset);
    const DWORD n = std::min<DWORD>(window->length - from, static_cast<DWORD>(size - done));
    std::memcpy(out + done, window->bytes + from, n);
    stream.position += n;
    done += n;
  }
  return done;
}

uLong ZCALLBACK WriteStream(voidpf, voidpf opaque, const void* buffer, uLong size) {
  LayerStream& stream = *AsStream(opaque);
  stream.Forget();
  if (!stream.Reach()) return 0;
  DWORD written = 0;
  WriteFile(stream.file, buffer, static_cast<DWORD>(size), &written, nullptr);
  stream.at += written;
  stream.position += written;
  return written;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf opaque) { return AsStream(opaque)->position; }

long ZCALLBACK SeekStream(voidpf, voidpf opaque, ZPOS64_T offset, int origin) {
  LayerStream& stream = *AsStream(opaque);
  if (origin == ZLIB_FILEFUNC_SEEK_END) {
    LARGE_INTEGER distance{}, moved{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(stream.file, distance, &moved, FILE_END)) return -1;
    stream.at = stream.position = static_cast<ZPOS64_T>(moved.QuadPart);
    return 0;
  }
  // Nothing is read or moved until a read or write needs it: minizip seeks
  // to every header it reads.
  stream.position = origin == ZLIB_FILEFUNC_SEEK_CUR ? stream.position + offset : offset;
  return 0;
}

int ZCALLBACK CloseStream(voidpf, voidpf opaque) {
  LayerStream* stream = AsStream(opaque);
  const HANDLE file = stream->file;
  stream->file = INVALID_HANDLE_VALUE;
  delete stream;
  return CloseHandle(file) ? 0 : -1;
}

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

namespace {

constexpr ZPOS64_T kSizeInZip64Field = 0xFFFFFFFF;
constexpr unsigned kZip64ExtraId = 0x0001;

unsigned LittleEndian16(const unsigned char* bytes) { return bytes[0] | (bytes[1] << 8); }
ZPOS64_T LittleEndian64(const unsigned char* bytes) {
  ZPOS64_T value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// The sizes of a ZIP64 extended information field in extra: it holds, in
// this order, the uncompressed and the compressed size, each only when its
// 32-bit field says it is there.
void ApplyZip64Sizes(const std::string& extra, unz_file_info64& info) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(extra.data());
  for (size_t at = 0; at + 4 <= extra.size();) {
    const unsigned id = LittleEndian16(bytes + at);
    const size_t size = LittleEndian16(bytes + at + 2);
    const size_t data = at + 4;
    if (data + size > extra.size()) return;
    if (id == kZip64ExtraId) {
      size_t field = data;
      for (ZPOS64_T* value : {&info.uncompressed_size, &info.compressed_size}) {
        if (*value != kSizeInZip64Field) continue;
        if (field + 8 > data + size) return;
        *value = LittleEndian64(bytes + field);
        field += 8;
      }
      return;
    }
    at = data + size;
  }
}

}  // namespace

int GetCurrentEntryInfo(unzFile zip, unz_file_info64& info, char* name, uLong nameSize) {
  int rc = unzGetCurrentFileInfo64(zip, &info, name, nameSize, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return rc;
  if (info.uncompressed_size != kSizeInZip64Field && info.compressed_size != kSizeInZip64Field) return UNZ_OK;
  if (info.size_file_extra == 0) return UNZ_OK;
  std::string extra(info.size_file_extra, '\0');
  unz_file_info64 again{};
  rc = unzGetCurrentFileInfo64(zip, &again, nullptr, 0, extra.data(), static_cast<uLong>(extra.size()), nullptr, 0);
  if (rc != UNZ_OK) return rc;
  ApplyZip64Sizes(extra, info);
  return UNZ_OK;
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
