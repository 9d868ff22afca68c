#include "service/core/gzip_glue.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/extraction_limit.h"
#include "service/core/result_codes.h"

namespace {

struct CodeText {
  DWORD code;
  const char* text;  // UTF-8
};

constexpr CodeText kCompressionTexts[] = {
    {COMPRESS_E_NO_MEMORY, "Не достаточно оперативной памяти"},
    {COMPRESS_E_DEFLATE_INIT, "Ошибка инициализации процедуры сжатия"},
    {COMPRESS_E_INFLATE_INIT, "Ошибка инициализации процедуры распаковки"},
    {COMPRESS_E_CREATE_PACKED, "Ошибка создания файла с запакованными данными"},
    {COMPRESS_E_CREATE_UNPACKED, "Ошибка создания файла с распакованными данными"},
    {COMPRESS_E_PACKED_SIZE, "Ошибка определения размера файла с сжатыми данными"},
    {COMPRESS_E_SOURCE_SIZE, "Ошибка определения размера файла с распакованными данными"},
    {COMPRESS_E_PACKED_EMPTY, "Файл с сжатыми данными имеет нулевую длину"},
    {COMPRESS_E_SOURCE_EMPTY, "Файл с исходными данными имеет нулевую длину"},
    {COMPRESS_E_OPEN_PACKED, "Ошибка открытия файла с сжатыми данными"},
    {COMPRESS_E_OPEN_SOURCE, "Ошибка открытия файла с исходными данными"},
    {COMPRESS_E_READ_PACKED, "Ошибка чтения сжатых данных из файла"},
    {COMPRESS_E_READ_SOURCE, "Ошибка чтения исходных данных из файла"},
    {COMPRESS_E_WRITE_PACKED, "Ошибка записи сжатых данных в файл"},
    {COMPRESS_E_WRITE_UNPACKED, "Ошибка записи распакованных данных в файл"},
    {COMPRESS_E_DEFLATE, "Ошибка сжатия данных"},
    {COMPRESS_E_INFLATE, "Ошибка распаковки данных"},
    {COMPRESS_E_NO_END, "Не удалось определить конец сжатых данных"},
    {ERR_GZIP_TIME, "Не удалось получить время последнего изменения файла с сжатыми данными"},
    {ERR_GZIP_HEADER_SET, "Не удалось задать гаголовок gzip файла с сжатыми данными"},
    {ERR_GZIP_HEADER_GET, "Не удалось получить гаголовок gzip файла с сжатыми данными"},
    {ERR_ARCHIVE_TOO_LARGE, "Распакованные данные архива превышают допустимый объём"},
};
constexpr const char* kUnknownCompressionText = "Описание ошибки не найдено";

using platform::FileHandle;

// Ends a deflate or inflate stream when it goes out of scope.
class ZStream {
 public:
  explicit ZStream(bool deflating) : deflating_(deflating) {}
  ~ZStream() {
    if (initialised_) deflating_ ? deflateEnd(&z) : inflateEnd(&z);
  }
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
  bool InitDeflate() {
    initialised_ = deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return initialised_;
  }
  bool InitInflate() {
    initialised_ = inflateInit2(&z, 15 + 16) == Z_OK;  // gzip only
    return initialised_;
  }
  z_stream z{};

 private:
  bool deflating_;
  bool initialised_ = false;
};

std::unique_ptr<std::uint8_t[]> AllocateChunk() {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[kGzipChunkSize]);
}

std::wstring WidePath(LPCSTR path) { return platform::MultiByteToWide(path != nullptr ? path : "", CP_ACP); }

// The result, with the error text filled in when the caller left it empty.
DWORD Fail(DWORD code, CString& errorText) {
  if (errorText.IsEmpty()) errorText = CompressionErrorDescription(code);
  return code;
}

// Reads exactly size bytes; false on a failed or short read.
bool ReadExactly(HANDLE file, std::uint8_t* buffer, DWORD size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, size, &got, nullptr) || got == 0) return false;
    buffer += got;
    size -= got;
  }
  return true;
}

bool WriteAll(HANDLE file, const std::uint8_t* data, DWORD size) {
  DWORD written = 0;
  return size == 0 || (WriteFile(file, data, size, &written, nullptr) && written == size);
}

// The gzip header of both compressors: text flag, time, name; operating
// system 0 as the files' origin recorded them.
struct GzipHeader {
  gz_header header{};
  std::string name;
  GzipHeader(LPCWSTR headerName, LONGLONG time) {
    name = platform::WideToMultiByte(headerName != nullptr ? headerName : L"", CP_ACP);
    header.text = 1;
    header.time = time < 0 ? 0 : static_cast<uLong>(time & 0xFFFFFFFF);
    header.os = 0;
    header.name = reinterpret_cast<Bytef*>(name.data());
  }
};

// Gives deflate `in` with `flush` and writes all it produces to target.
DWORD DeflateInto(z_stream& z, std::uint8_t* in, DWORD inSize, int flush, std::uint8_t* out, HANDLE target) {
  z.next_in = in;
  z.avail_in = inSize;
  int rc;
  do {
    z.next_out = out;
    z.avail_out = kGzipChunkSize;
    rc = deflate(&z, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return COMPRESS_E_DEFLATE;
    if (!WriteAll(target, out, kGzipChunkSize - z.avail_out)) return COMPRESS_E_WRITE_PACKED;
  } while (z.avail_out == 0);
  if (flush == Z_FINISH && rc != Z_STREAM_END) return COMPRESS_E_DEFLATE;
  return 0;
}

}  // namespace

DWORD CompressionErrorText(DWORD code, char* buffer) {
  const char* utf8 = kUnknownCompressionText;
  for (const auto& t : kCompressionTexts) {
    if (t.code == code) utf8 = t.text;
  }
  std::string text = platform::WideToMultiByte(platform::MultiByteToWide(utf8, CP_UTF8), CP_ACP);
  if (buffer != nullptr) {
    std::size_t n = std::min<std::size_t>(text.size(), 1023);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return 0;
}

CString CompressionErrorDescription(DWORD code) {
  char text[1024];
  CompressionErrorText(code, text);
  return CString(platform::MultiByteToWide(text, CP_ACP).c_str());
}

LONGLONG FileTimeToTime64(FILETIME localTime) {
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(&localTime, &st)) return -1;
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_isdst = -1;  // the zone's rule for that moment
  std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) ? -1 : static_cast<LONGLONG>(t);
}

DWORD GzipOneFile(LPCSTR source, LPCSTR target, LPCWSTR headerName, CString& errorText) {
  auto in = AllocateChunk();
  auto out = AllocateChunk();
  if (!in || !out) return Fail(COMPRESS_E_NO_MEMORY, errorText);

  FileHandle src(CreateFileW(WidePath(source).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!src.valid()) return Fail(COMPRESS_E_OPEN_SOURCE, errorText);
  FileHandle dst(CreateFileW(WidePath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (!dst.valid()) return Fail(COMPRESS_E_CREATE_PACKED, errorText);

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(src.get(), &size)) return Fail(COMPRESS_E_SOURCE_SIZE, errorText);
  if (size.QuadPart == 0) return Fail(COMPRESS_E_SOURCE_EMPTY, errorText);

  FILETIME lastWrite{}, localWrite{};
  if (!GetFileTime(src.get(), nullptr, nullptr, &lastWrite)) return Fail(ERR_GZIP_TIME, errorText);
  LONGLONG time = -1;
  if (FileTimeToLocalFileTime(&lastWrite, &localWrite)) time = FileTimeToTime64(localWrite);

  // Full chunks, then a final piece of 1..kGzipChunkSize bytes given with
  // the finish flag.
  std::uint64_t total = static_cast<std::uint64_t>(size.QuadPart);
  std::uint64_t fullChunks = total / kGzipChunkSize;
  DWORD rest = static_cast<DWORD>(total % kGzipChunkSize);
  if (rest == 0) {
    fullChunks--;
    rest = kGzipChunkSize;
  }

  ZStream zs(true);
  if (!zs.InitDeflate()) return Fail(COMPRESS_E_DEFLATE_INIT, errorText);
  GzipHeader header(headerName, time);
  if (deflateSetHeader(&zs.z, &header.header) != Z_OK) return Fail(ERR_GZIP_HEADER_SET, errorText);

  for (std::uint64_t i = 0; i < fullChunks; i++) {
    if (!ReadExactly(src.get(), in.get(), kGzipChunkSize)) return Fail(COMPRESS_E_READ_SOURCE, errorText);
    DWORD rc = DeflateInto(zs.z, in.get(), kGzipChunkSize, Z_NO_FLUSH, out.get(), dst.get());
    if (rc != 0) return Fail(rc, errorText);
  }
  if (!ReadExactly(src.get(), in.get(), rest)) return Fail(COMPRESS_E_READ_SOURCE, errorText);
  DWORD rc = DeflateInto(zs.z, in.get(), rest, Z_FINISH, out.get(), dst.get());
  if (rc != 0) return Fail(rc, errorText);
  return 0;
}

DWORD GunzipOneFile(LPCSTR source, LPCSTR target, CString& errorText) {
  auto in = AllocateChunk();
  auto out = AllocateChunk();
  if (!in || !out) return Fail(COMPRESS_E_NO_MEMORY, errorText);

  FileHandle src(CreateFileW(WidePath(source).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!src.valid()) return Fail(COMPRESS_E_OPEN_PACKED, errorText);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(src.get(), &size)) return Fail(COMPRESS_E_PACKED_SIZE, errorText);
  if (size.QuadPart == 0) return Fail(COMPRESS_E_PACKED_EMPTY, errorText);

  DWORD got = 0;
  if (!ReadFile(src.get(), in.get(), kGzipChunkSize, &got, nullptr)) return Fail(COMPRESS_E_READ_PACKED, errorText);
  // Data that is not gzip is refused rather than copied through.
  if (got < 2 || in[0] != 0x1F || in[1] != 0x8B) return Fail(ERR_GZIP_HEADER_GET, errorText);

  ZStream zs(false);
  if (!zs.InitInflate()) return Fail(COMPRESS_E_INFLATE_INIT, errorText);
  FileHandle dst(CreateFileW(WidePath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (!dst.valid()) return Fail(COMPRESS_E_CREATE_UNPACKED, errorText);

  ExtractionLimit limit(static_cast<ULONGLONG>(size.QuadPart), CString(WidePath(target).c_str()));
  z_stream& z = zs.z;
  z.next_in = in.get();
  z.avail_in = got;
  bool endOfInput = false;
  auto zlibFailure = [&](int code, const char* message) {
    std::string text = std::string(source != nullptr ? source : "") + ": " + message;
    errorText = CString(platform::MultiByteToWide(text, CP_ACP).c_str());
    return static_cast<DWORD>(code);
  };
  for (;;) {
    if (z.avail_in == 0 && !endOfInput) {
      if (!ReadFile(src.get(), in.get(), kGzipChunkSize, &got, nullptr)) {
        return Fail(COMPRESS_E_READ_PACKED, errorText);
      }
      endOfInput = got == 0;
      z.next_in = in.get();
      z.avail_in = got;
    }
    z.next_out = out.get();
    z.avail_out = kGzipChunkSize;
    int rc = inflate(&z, Z_NO_FLUSH);
    if (!limit.Write(kGzipChunkSize - z.avail_out)) return Fail(ERR_ARCHIVE_TOO_LARGE, errorText);
    if (!WriteAll(dst.get(), out.get(), kGzipChunkSize - z.avail_out)) {
      return Fail(COMPRESS_E_WRITE_UNPACKED, errorText);
    }
    if (rc == Z_STREAM_END) {
      // Another member may follow; anything else after a member is ignored.
      if (z.avail_in == 0 && !endOfInput) {
        if (!ReadFile(src.get(), in.get(), kGzipChunkSize, &got, nullptr)) {
          return Fail(COMPRESS_E_READ_PACKED, errorText);
        }
        endOfInput = got == 0;
        z.next_in = in.get();
        z.avail_in = got;
      }
      if (z.avail_in >= 2 && z.next_in[0] == 0x1F && z.next_in[1] == 0x8B) {
        inflateReset(&z);
        continue;
      }
      return 0;
    }
    if (rc == Z_MEM_ERROR) return Fail(COMPRESS_E_NO_MEMORY, errorText);
    if (rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR || rc == Z_NEED_DICT) {
      return zlibFailure(rc == Z_NEED_DICT ? Z_DATA_ERROR : rc, z.msg != nullptr ? z.msg : "invalid data");
    }
    if (endOfInput && z.avail_in == 0 && z.avail_out != 0) {
      return zlibFailure(Z_BUF_ERROR, "unexpected end of file");
    }
  }
}

DWORD GzipBuffer(const DataBlob& input, DataBlob* output, LPCWSTR headerName, CString& errorText) {
  ZStream zs(true);
  if (!zs.InitDeflate()) return Fail(COMPRESS_E_DEFLATE_INIT, errorText);
  SYSTEMTIME now{};
  FILETIME local{};
  GetLocalTime(&now);
  LONGLONG time = SystemTimeToFileTime(&now, &local) ? FileTimeToTime64(local) : -1;
  GzipHeader header(headerName, time);
  if (deflateSetHeader(&zs.z, &header.header) != Z_OK) return Fail(ERR_GZIP_HEADER_SET, errorText);
  if (input.length == 0 || input.data == nullptr) return Fail(COMPRESS_E_PACKED_EMPTY, errorText);

  // One output chunk of the input's size (at least 16 KiB, at most 1 MiB is
  // enough to keep deflate busy), appended to a growing result.
  std::size_t chunkSize = std::clamp<std::size_t>(input.length, 16384, 1 << 20);
  std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[chunkSize]);
  if (!chunk) return Fail(COMPRESS_E_NO_MEMORY, errorText);
  std::unique_ptr<std::uint8_t, decltype(&std::free)> result(nullptr, &std::free);
  std::size_t resultSize = 0, resultCapacity = 0;

  z_stream& z = zs.z;
  z.next_in = input.data;
  z.avail_in = input.length;
  int rc;
  do {
    z.next_out = chunk.get();
    z.avail_out = static_cast<uInt>(chunkSize);
    rc = deflate(&z, Z_FINISH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return Fail(COMPRESS_E_DEFLATE, errorText);
    std::size_t produced = chunkSize - z.avail_out;
    if (resultSize + produced > 0xFFFFFFFFull) return Fail(COMPRESS_E_DEFLATE, errorText);
    if (resultSize + produced > resultCapacity) {
      std::size_t capacity = std::max(resultCapacity * 2, resultSize + produced);
      void* grown = std::realloc(result.get(), capacity);
      if (grown == nullptr) return Fail(COMPRESS_E_NO_MEMORY, errorText);
      result.release();
      result.reset(static_cast<std::uint8_t*>(grown));
      resultCapacity = capacity;
    }
    if (produced > 0) std::memcpy(result.get() + resultSize, chunk.get(), produced);
    resultSize += produced;
  } while (rc != Z_STREAM_END);

  output->length = static_cast<uint32_t>(resultSize);
  output->data = result.release();
  return 0;
}
