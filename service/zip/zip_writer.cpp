#include "service/zip/zip_writer.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "service/zip/crc32.h"
#include "service/zip/deflate.h"
#include "service/zip/zip_internal.h"

namespace zip {
namespace {

constexpr std::uint16_t kVersionMadeBy = 0x0B17;  // host 11 (NTFS), version 2.3
constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::size_t kLocalExtraSize = 17;
constexpr std::size_t kCentralExtraSize = 9;
constexpr std::size_t kMaxNameBytes = 259;
constexpr std::size_t kIoBufferSize = 16384;
constexpr std::uint64_t kMaxArchiveBytes = 0xFFFFFFFFull;  // every offset fits 32 bits
constexpr std::size_t kMaxEntries = 0xFFFF;
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFF;
constexpr std::int64_t kFileTimeTicksAt1970 = 116444736000000000LL;

// External attributes: the low byte holds the Windows attributes, the high 16
// bits a Unix mode (regular file, owner read, owner write unless read-only).
constexpr std::uint32_t kUnixRegularFile = 0x80000000;
constexpr std::uint32_t kUnixOwnerRead = 0x01000000;
constexpr std::uint32_t kUnixOwnerWrite = 0x00800000;

// Names whose data is compressed already; their entries are stored.
constexpr const wchar_t* kStoredSuffixes[] = {L".z",   L".zip", L".zoo", L".arc",
                                              L".lzh", L".arj", L".gz",  L".tgz"};

struct CentralEntry {
  std::uint16_t flags = 0;
  std::uint16_t localFlags = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDateTime = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t localHeaderOffset = 0;  // initial offset included
  std::uint32_t times[3] = {};          // last write, last access, creation (UTC seconds)
  std::string name;                     // OEM code page bytes
};

// Seconds since 1970 (UTC) of a FILETIME.
std::int64_t UnixSeconds(const FILETIME& time) {
  std::int64_t ticks = static_cast<std::int64_t>(platform::FileTimeTicks(time));
  return (ticks - kFileTimeTicksAt1970) / 10000000;
}

// MS-DOS date (high 16 bits) and time (low 16 bits) of a UTC FILETIME, in
// local time; 1980-01-01 00:00 for a moment DOS cannot express.
std::uint32_t DosDateTime(const FILETIME& utc) {
  FILETIME local{};
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) {
    return (static_cast<std::uint32_t>((1 << 5) | 1) << 16);
  }
  return static_cast<std::uint32_t>(date) << 16 | time;
}

bool IsStoredName(const std::wstring& name) {
  std::size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  std::wstring suffix = name.substr(dot);
  for (auto& c : suffix) c = static_cast<wchar_t>(std::towlower(c));
  for (const wchar_t* s : kStoredSuffixes) {
    if (suffix == s) return true;
  }
  return false;
}

class ZipWriter : public DeflateIo {
 public:
  ~ZipWriter() override;

  DWORD CreateOnHandle(HANDLE handle);
  DWORD CreateOnFile(LPCWSTR path);
  DWORD CreateInMemory(void* buffer, DWORD capacity);

  DWORD AddEntry(LPCWSTR name, LPCWSTR path, const std::uint8_t* data, DWORD length);
  DWORD Finish();
  bool InMemory() const { return memory_ != nullptr; }
  std::uint8_t* Memory() const { return memory_; }
  std::uint64_t Written() const { return written_; }

  // DeflateIo: the current source and the archive.
  long ReadSource(std::uint8_t* buffer, std::size_t size) override;
  bool WriteArchive(const std::uint8_t* data, std::size_t size) override { return Write(data, size); }

 private:
  struct Source {
    HANDLE file = INVALID_HANDLE_VALUE;
    const std::uint8_t* buffer = nullptr;
    std::uint64_t length = 0;
    std::uint64_t position = 0;
    bool sizeKnown = false;
    std::uint64_t expectedSize = 0;
    std::uint64_t bytesRead = 0;
    std::uint32_t crc = 0;
    bool readFailed = false;
    bool tooLarge = false;
  };

  DWORD OpenFileSource(LPCWSTR path, CentralEntry& entry);
  void DescribeBufferSource(CentralEntry& entry);
  void CloseSource();
  DWORD WriteData(CentralEntry& entry, std::uint64_t& compressedSize);
  DWORD CompleteEntry(CentralEntry& entry, std::uint64_t compressedSize);
  bool WriteLocalHeader(const CentralEntry& entry);
  bool WriteCentralHeader(const CentralEntry& entry);

  // Every byte of the archive goes through Write; position_ and written_ are
  // counted from the initial offset.
  bool Write(const void* data, std::size_t size);
  bool Seek(std::uint64_t position);
  void Stick(DWORD error) {
    if (sticky_ == ZIP_OK) sticky_ = error;
  }

  HANDLE output_ = INVALID_HANDLE_VALUE;
  bool ownsOutput_ = false;
  std::unique_ptr<std::uint8_t[]> ownMemory_;
  std::uint8_t* memory_ = nullptr;
  std::uint64_t capacity_ = 0;
  std::uint64_t initialOffset_ = 0;
  DWORD sticky_ = ZIP_OK;
  std::uint64_t written_ = 0;
  std::uint64_t position_ = 0;
  bool canSeek_ = false;
  bool finished_ = false;
  std::vector<CentralEntry> entries_;
  std::unique_ptr<DeflateState> compressor_;
  Source source_;
  std::array<std::uint8_t, kIoBufferSize> io_{};
};

ZipWriter::~ZipWriter() {
  CloseSource();
  if (ownsOutput_ && output_ != INVALID_HANDLE_VALUE) CloseHandle(output_);
}

DWORD ZipWriter::CreateOnHandle(HANDLE handle) {
  output_ = handle;
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) {
    canSeek_ = true;
    initialOffset_ = static_cast<std::uint64_t>(position.QuadPart);
  }
  return ZIP_OK;
}

DWORD ZipWriter::CreateOnFile(LPCWSTR path) {
  output_ = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (output_ == INVALID_HANDLE_VALUE) return ZIP_E_NO_FILE;
  ownsOutput_ = true;
  canSeek_ = true;
  return ZIP_OK;
}

DWORD ZipWriter::CreateInMemory(void* buffer, DWORD capacity) {
  if (capacity == 0) return ZIP_E_MEMORY_SIZE;
  if (buffer == nullptr) {
    // Left uninitialised so that a large capacity costs only what is used.
    ownMemory_.reset(new (std::nothrow) std::uint8_t[capacity]);
    if (!ownMemory_) return ZIP_E_NO_ALLOC;
    buffer = ownMemory_.get();
  }
  memory_ = static_cast<std::uint8_t*>(buffer);
  capacity_ = capacity;
  canSeek_ = true;
  return ZIP_OK;
}

bool ZipWriter::Write(const void* data, std::size_t size) {
  if (size == 0) return true;
  if (initialOffset_ + position_ + size > kMaxArchiveBytes) {
    Stick(ZIP_E_TOO_LARGE);
    return false;
  }
  if (memory_ != nullptr) {
    // Strictly below the capacity: a memory archive holds capacity - 1 bytes.
    if (position_ + size >= capacity_) {
      Stick(ZIP_E_MEMORY_SIZE);
      return false;
    }
    std::memcpy(memory_ + position_, data, size);
  } else {
    DWORD done = 0;
    if (!WriteFile(output_, data, static_cast<DWORD>(size), &done, nullptr) || done != size) {
      // The archive on disk no longer matches what the writer knows of it.
      Stick(ZIP_E_WRITE);
      return false;
    }
  }
  position_ += size;
  written_ = std::max(written_, position_);
  return true;
}

bool ZipWriter::Seek(std::uint64_t position) {
  if (memory_ == nullptr) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(initialOffset_ + position);
    if (!SetFilePointerEx(output_, to, nullptr, FILE_BEGIN)) return false;
  }
  position_ = position;
  return true;
}

long ZipWriter::ReadSource(std::uint8_t* buffer, std::size_t size) {
  Source& s = source_;
  if (s.readFailed || s.tooLarge) return -1;
  std::size_t n = 0;
  if (s.buffer != nullptr) {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(size, s.length - s.position));
    std::memcpy(buffer, s.buffer + s.position, n);
    s.position += n;
  } else {
    DWORD got = 0;
    DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(s.file, buffer, ask, &got, nullptr)) {
      // The entry must not end quietly at a read failure: the writer fails it.
      s.readFailed = true;
      return -1;
    }
    n = got;
  }
  if (n == 0) return 0;
  s.bytesRead += n;
  if (s.bytesRead > kMaxArchiveBytes) {
    s.tooLarge = true;
    return -1;
  }
  s.crc = UpdateCrc32(s.crc, buffer, n);
  return static_cast<long>(n);
}

DWORD ZipWriter::OpenFileSource(LPCWSTR path, CentralEntry& entry) {
  Source& s = source_;
  s.file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (s.file == INVALID_HANDLE_VALUE) return ZIP_E_NO_FILE;
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(s.file, zero, nullptr, FILE_CURRENT)) {
    // A pipe or a device: read as a stream of unknown size.
    DescribeBufferSource(entry);
    s.sizeKnown = false;
    return ZIP_OK;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(s.file, &info) || !SetFilePointerEx(s.file, zero, nullptr, FILE_BEGIN)) {
    CloseSource();
    return ZIP_E_NO_FILE;
  }
  s.sizeKnown = true;
  s.expectedSize = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  if (s.expectedSize > kMaxArchiveBytes) {
    CloseSource();
    return ZIP_E_TOO_LARGE;
  }
  DWORD attributes = info.dwFileAttributes;
  entry.externalAttributes = (attributes & 0x37) | kUnixRegularFile | kUnixOwnerRead;
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) entry.externalAttributes |= kUnixOwnerWrite;
  entry.times[0] = static_cast<std::uint32_t>(UnixSeconds(info.ftLastWriteTime));
  entry.times[1] = static_cast<std::uint32_t>(UnixSeconds(info.ftLastAccessTime));
  entry.times[2] = static_cast<std::uint32_t>(UnixSeconds(info.ftCreationTime));
  entry.dosDateTime = DosDateTime(info.ftLastWriteTime);
  return ZIP_OK;
}

void ZipWriter::DescribeBufferSource(CentralEntry& entry) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  entry.externalAttributes = kUnixRegularFile;
  std::uint32_t seconds = static_cast<std::uint32_t>(UnixSeconds(now));
  entry.times[0] = entry.times[1] = entry.times[2] = seconds;
  entry.dosDateTime = DosDateTime(now);
  source_.sizeKnown = true;
  source_.expectedSize = source_.length;
}

void ZipWriter::CloseSource() {
  if (source_.file != INVALID_HANDLE_VALUE) CloseHandle(source_.file);
  source_ = Source{};
}

bool ZipWriter::WriteLocalHeader(const CentralEntry& e) {
  std::uint8_t h[kLocalHeaderSize + kLocalExtraSize];
  std::uint8_t* p = Put32(h, kLocalHeaderSignature);
  p = Put16(p, kVersionNeeded);
  p = Put16(p, e.localFlags);
  p = Put16(p, e.method);
  p = Put32(p, e.dosDateTime);
  p = Put32(p, e.crc);
  p = Put32(p, e.compressedSize);
  p = Put32(p, e.uncompressedSize);
  p = Put16(p, static_cast<std::uint16_t>(e.name.size()));
  p = Put16(p, kLocalExtraSize);
  // The extra field follows the name; build it after the fixed part.
  std::uint8_t extra[kLocalExtraSize];
  std::uint8_t* x = Put16(extra, kExtendedTimestampId);
  x = Put16(x, 13);
  *x++ = 7;  // last write, last access and creation times follow
  x = Put32(x, e.times[0]);
  x = Put32(x, e.times[1]);
  Put32(x, e.times[2]);
  return Write(h, kLocalHeaderSize) && Write(e.name.data(), e.name.size()) && Write(extra, kLocalExtraSize);
}

bool ZipWriter::WriteCentralHeader(const CentralEntry& e) {
  std::uint8_t h[kCentralHeaderSize];
  std::uint8_t* p = Put32(h, kCentralHeaderSignature);
  p = Put16(p, kVersionMadeBy);
  p = Put16(p, kVersionNeeded);
  p = Put16(p, e.flags);
  p = Put16(p, e.method);
  p = Put32(p, e.dosDateTime);
  p = Put32(p, e.crc);
  p = Put32(p, e.compressedSize);
  p = Put32(p, e.uncompressedSize);
  p = Put16(p, static_cast<std::uint16_t>(e.name.size()));
  p = Put16(p, kCentralExtraSize);
  p = Put16(p, 0);  // comment length
  p = Put16(p, 0);  // disk number start
  p = Put16(p, 0);  // internal attributes
  p = Put32(p, e.externalAttributes);
  Put32(p, e.localHeaderOffset);
  std::uint8_t extra[kCentralExtraSize];
  std::uint8_t* x = Put16(extra, kExtendedTimestampId);
  x = Put16(x, 5);
  *x++ = 7;
  Put32(x, e.times[0]);
  return Write(h, sizeof h) && Write(e.name.data(), e.name.size()) && Write(extra, sizeof extra);
}

DWORD ZipWriter::AddEntry(LPCWSTR name, LPCWSTR path, const std::uint8_t* data, DWORD length) {
  if (sticky_ != ZIP_OK) return ZIP_E_FAILED;
  if (finished_) return ZIP_E_ENDED;
  if (name == nullptr || *name == L'\0') return ZIP_E_ARGS;
  if (path == nullptr && (data == nullptr || length == 0)) return ZIP_E_ARGS;
  if (entries_.size() >= kMaxEntries) return ZIP_E_TOO_LARGE;

  std::wstring wideName(name);
  std::replace(wideName.begin(), wideName.end(), L'\\', L'/');
  CentralEntry entry;
  entry.method = IsStoredName(wideName) ? kMethodStored : kMethodDeflated;
  // Names go in the ANSI code page; characters it lacks become its default
  // character. Under UTF-8 (the default page here) a name that is not plain
  // ASCII carries the language-encoding flag, so that other archivers do
  // not read it in their OEM page, and the reader, which decodes names as
  // UTF-8, gives it back unchanged.
  entry.name = platform::WideToMultiByte(wideName, CP_ACP);
  const bool utf8Name = GetACP() == CP_UTF8 && std::any_of(entry.name.begin(), entry.name.end(), [](char c) {
                          return static_cast<unsigned char>(c) >= 0x80;
                        });
  if (entry.name.empty() || entry.name.size() > kMaxNameBytes) return ZIP_E_ARGS;

  source_ = Source{};
  if (path != nullptr) {
    DWORD rc = OpenFileSource(path, entry);
    if (rc != ZIP_OK) return rc;
  } else {
    source_.buffer = data;
    source_.length = length;
    DescribeBufferSource(entry);
  }

  entry.flags = entry.localFlags =
      static_cast<std::uint16_t>(kFlagDataDescriptor | (utf8Name ? kFlagUtf8Name : 0));
  entry.crc = 0;
  entry.compressedSize =
      entry.method == kMethodStored && source_.sizeKnown ? static_cast<std::uint32_t>(source_.expectedSize) : 0;
  entry.uncompressedSize = source_.sizeKnown ? static_cast<std::uint32_t>(source_.expectedSize) : kUnknownSize;
  entry.localHeaderOffset = static_cast<std::uint32_t>(initialOffset_ + written_);
  if (initialOffset_ + written_ > kMaxArchiveBytes) {
    CloseSource();
    return ZIP_E_TOO_LARGE;
  }
  if (!WriteLocalHeader(entry)) {
    CloseSource();
    return sticky_ != ZIP_OK ? sticky_ : ZIP_E_WRITE;
  }

  std::uint64_t compressedSize = 0;
  DWORD rc = WriteData(entry, compressedSize);
  bool readFailed = source_.readFailed;
  bool tooLarge = source_.tooLarge;
  std::uint64_t bytesRead = source_.bytesRead;
  std::uint32_t crc = source_.crc;
  CloseSource();
  if (sticky_ != ZIP_OK) return sticky_;
  if (tooLarge) return ZIP_E_TOO_LARGE;
  if (readFailed) return ZIP_E_READ;
  if (rc != ZIP_OK) return rc;

  entry.crc = crc;
  entry.uncompressedSize = static_cast<std::uint32_t>(bytesRead);
  rc = CompleteEntry(entry, compressedSize);
  if (rc != ZIP_OK) return rc;
  if (sticky_ != ZIP_OK) return sticky_;
  entries_.push_back(std::move(entry));
  return ZIP_OK;
}

DWORD ZipWriter::WriteData(CentralEntry& entry, std::uint64_t& compressedSize) {
  if (entry.method == kMethodStored) {
    for (;;) {
      long n = ReadSource(io_.data(), io_.size());
      if (n <= 0) break;
      if (!Write(io_.data(), static_cast<std::size_t>(n))) return ZIP_E_WRITE;
      compressedSize += static_cast<std::uint64_t>(n);
    }
    return ZIP_OK;
  }
  if (!compressor_) {
    compressor_.reset(new (std::nothrow) DeflateState());
    if (!compressor_) return ZIP_E_NO_ALLOC;
  }
  compressor_->SetLevel(8);
  compressedSize = compressor_->DeflateEntry(entry.flags, io_.data(), *this);
  if (compressor_->ErrorText() != nullptr || compressor_->WriteFailed()) return ZIP_E_WRITE;
  return ZIP_OK;
}

// Gives the entry its final CRC and sizes: rewrites the local header on an
// output that can seek, else appends a data descriptor.
DWORD ZipWriter::CompleteEntry(CentralEntry& entry, std::uint64_t compressedSize) {
  if (compressedSize > kMaxArchiveBytes) return ZIP_E_TOO_LARGE;
  std::uint32_t headerCompressedSize = entry.compressedSize;
  entry.compressedSize = static_cast<std::uint32_t>(compressedSize);
  if (canSeek_) {
    entry.flags = static_cast<std::uint16_t>(entry.flags & ~kFlagDataDescriptor);
    entry.localFlags = entry.flags;
    std::uint64_t end = written_;
    if (!Seek(entry.localHeaderOffset - initialOffset_) || !WriteLocalHeader(entry) || !Seek(end)) {
      Stick(ZIP_E_WRITE);
      return ZIP_E_WRITE;
    }
    return ZIP_OK;
  }
  if (entry.method == kMethodStored && headerCompressedSize != entry.compressedSize) return ZIP_E_NO_CHANGE;
  std::uint8_t d[16];
  std::uint8_t* p = Put32(d, kDataDescriptorSignature);
  p = Put32(p, entry.crc);
  p = Put32(p, entry.compressedSize);
  Put32(p, entry.uncompressedSize);
  if (!Write(d, sizeof d)) return ZIP_E_WRITE;
  entry.flags = entry.localFlags;
  return ZIP_OK;
}

DWORD ZipWriter::Finish() {
  if (finished_) return ZIP_OK;
  finished_ = true;
  std::uint64_t start = written_;
  for (const auto& e : entries_) {
    if (!WriteCentralHeader(e)) return ZIP_E_WRITE;
  }
  std::uint8_t r[kEndRecordSize];
  std::uint8_t* p = Put32(r, kEndRecordSignature);
  p = Put16(p, 0);
  p = Put16(p, 0);
  p = Put16(p, static_cast<std::uint16_t>(entries_.size()));
  p = Put16(p, static_cast<std::uint16_t>(entries_.size()));
  p = Put32(p, static_cast<std::uint32_t>(written_ - start));
  p = Put32(p, static_cast<std::uint32_t>(start + initialOffset_));
  Put16(p, 0);
  entries_.clear();
  entries_.shrink_to_fit();
  if (!Write(r, sizeof r)) return ZIP_E_WRITE;
  return ZIP_OK;
}

// The writer behind a handle, or null with the code in rc.
ZipWriter* WriterOf(ZipHandle* handle, DWORD& rc) {
  if (handle == nullptr) {
    rc = ZIP_E_ARGS;
    return nullptr;
  }
  if (handle->tag != kZipWriterTag) {
    rc = ZIP_E_MIXED_MODE;
    return nullptr;
  }
  return static_cast<ZipWriter*>(handle->object);
}

}  // namespace
}  // namespace zip

std::uint64_t ZipMemoryArchiveBound(std::uint64_t length) {
  // The compressor sends a block as stored when that is not larger than its
  // coded form, else in fixed or dynamic codes; fixed codes spend at most 9
  // bits on a byte, and every block but the last holds at least 4096 bytes,
  // so that its header, end code and byte alignment stay below 1/256 of it.
  const std::uint64_t deflated = length + length / 8 + length / 256 + 64;
  const std::uint64_t headers = zip::kLocalHeaderSize + zip::kLocalExtraSize + zip::kCentralHeaderSize +
                                zip::kCentralExtraSize + 2 * zip::kMaxNameBytes + zip::kEndRecordSize;
  return deflated + headers + 1;
}

ZipHandle* ZipWriterCreate(void* target, DWORD capacity, int mode) {
  auto writer = std::make_unique<zip::ZipWriter>();
  DWORD rc;
  switch (mode) {
    case kZipToHandle: rc = writer->CreateOnHandle(static_cast<HANDLE>(target)); break;
    case kZipToFile:
      rc = target == nullptr ? ZIP_E_ARGS : writer->CreateOnFile(static_cast<LPCWSTR>(target));
      break;
    case kZipToMemory: rc = writer->CreateInMemory(target, capacity); break;
    default: rc = ZIP_E_ARGS; break;
  }
  zip::SetLastWriterResult(rc);
  if (rc != ZIP_OK) return nullptr;
  return new ZipHandle{kZipWriterTag, writer.release()};
}

DWORD ZipWriterAddFile(ZipHandle* handle, LPCWSTR name, LPCWSTR path) {
  DWORD rc = ZIP_OK;
  zip::ZipWriter* writer = zip::WriterOf(handle, rc);
  if (writer != nullptr) rc = path == nullptr ? ZIP_E_ARGS : writer->AddEntry(name, path, nullptr, 0);
  return zip::SetLastWriterResult(rc);
}

DWORD ZipWriterAddBuffer(ZipHandle* handle, LPCWSTR name, const void* data, DWORD length) {
  DWORD rc = ZIP_OK;
  zip::ZipWriter* writer = zip::WriterOf(handle, rc);
  if (writer != nullptr) {
    rc = data == nullptr || length == 0
             ? ZIP_E_ARGS
             : writer->AddEntry(name, nullptr, static_cast<const std::uint8_t*>(data), length);
  }
  return zip::SetLastWriterResult(rc);
}

DWORD ZipWriterGetBuffer(ZipHandle* handle, void** data, DWORD* length) {
  DWORD rc = ZIP_OK;
  zip::ZipWriter* writer = zip::WriterOf(handle, rc);
  if (writer == nullptr) {
    if (handle == nullptr) {
      if (data != nullptr) *data = nullptr;
      if (length != nullptr) *length = 0;
    }
    return zip::SetLastWriterResult(rc);
  }
  rc = writer->Finish();
  if (data != nullptr) *data = writer->InMemory() ? writer->Memory() : nullptr;
  if (length != nullptr) *length = static_cast<DWORD>(writer->Written());
  if (rc == ZIP_OK && !writer->InMemory()) rc = ZIP_E_NOT_MEMORY;
  return zip::SetLastWriterResult(rc);
}

DWORD ZipWriterClose(ZipHandle* handle) {
  DWORD rc = ZIP_OK;
  zip::ZipWriter* writer = zip::WriterOf(handle, rc);
  if (writer == nullptr) return zip::SetLastWriterResult(rc);
  rc = writer->Finish();
  delete writer;
  delete handle;
  return zip::SetLastWriterResult(rc);
}
