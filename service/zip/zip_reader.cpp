#include "service/zip/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "service/zip/zip_internal.h"

namespace {

using namespace zip;

constexpr std::size_t kPieceSize = 16384;
constexpr std::uint64_t kEndRecordSearchLimit = 65535;
constexpr std::size_t kMaxNameBytes = 259;

struct CentralHeader {
  std::uint16_t versionMadeBy = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t nameLength = 0;
  std::uint16_t extraLength = 0;
  std::uint16_t commentLength = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t localHeaderOffset = 0;
  std::string name;  // at most 260 bytes of it

  std::uint64_t RecordSize() const {
    return kCentralHeaderSize + nameLength + extraLength + commentLength;
  }
};

// Where an entry's data lies, from its checked local header.
struct LocalHeader {
  std::uint64_t extraPosition = 0;
  std::uint16_t extraLength = 0;
  std::uint64_t dataPosition = 0;
};

// Closes a file handle on every path.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE h) : h_(h) {}
  ~HandleCloser() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

class ZipReader {
 public:
  ~ZipReader() { CloseArchive(); }

  DWORD Open(LPCWSTR path);
  DWORD EntryInfo(int index, ZipEntryInfo* info);
  DWORD ExtractFirst(LPCWSTR target);
  void SetBaseToRoot() { base_ = L"/"; }

 private:
  void CloseArchive();
  bool ReadAt(std::uint64_t position, void* buffer, std::size_t size);
  DWORD FindEndRecord(std::uint64_t fileSize, std::uint64_t& position);
  bool ReadCentralHeader(std::uint64_t position, CentralHeader& header);
  DWORD GoToEntry(int index);
  DWORD CheckLocalHeader(const CentralHeader& central, LocalHeader& local);
  DWORD FillInfo(int index, const CentralHeader& central, const LocalHeader& local, ZipEntryInfo& info);
  DWORD ExtractData(const CentralHeader& central, const LocalHeader& local, HANDLE target);
  std::wstring FullTargetPath(const std::wstring& target) const;
  void CreateFolders(const std::wstring& path, bool includingLast) const;

  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::uint16_t entryCount_ = 0;
  std::uint32_t centralOffset_ = 0;
  std::uint32_t centralSize_ = 0;
  std::uint64_t bytesBefore_ = 0;  // other data in front of the archive
  int currentIndex_ = -1;
  std::uint64_t currentPosition_ = 0;
  CentralHeader current_;
  bool currentRead_ = false;
  int cachedIndex_ = -1;
  ZipEntryInfo cached_{};
  std::vector<std::uint8_t> input_;
  std::vector<std::uint8_t> output_;
  std::wstring base_;
};

namespace {

ZipReader* ReaderOf(ZipHandle* handle, DWORD& rc) {
  if (handle == nullptr) {
    rc = ZIP_E_ARGS;
    return nullptr;
  }
  if (handle->tag != kZipReaderTag) {
    rc = ZIP_E_MIXED_MODE;
    return nullptr;
  }
  return static_cast<ZipReader*>(handle->object);
}

FILETIME FileTimeFromUnix(std::int32_t seconds) {
  std::int64_t s = static_cast<std::int64_t>(seconds) + platform::kSecondsFrom1601To1970;
  return platform::FileTimeFromTicks(s < 0 ? 0 : static_cast<std::uint64_t>(s) * 10000000ull);
}

// Takes off what would make a name reach outside a folder: a drive, leading
// separators, and everything up to a parent-folder step.
std::wstring CleanName(std::wstring name) {
  static constexpr const wchar_t* kParentSteps[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
  for (;;) {
    if (name.size() >= 2 && name[1] == L':') {
      name.erase(0, 2);
      continue;
    }
    if (!name.empty() && (name[0] == L'\\' || name[0] == L'/')) {
      name.erase(0, 1);
      continue;
    }
    bool cut = false;
    for (const wchar_t* step : kParentSteps) {
      std::size_t at = name.find(step);
      if (at != std::wstring::npos) {
        name.erase(0, at + 4);
        cut = true;
        break;
      }
    }
    if (!cut) return name;
  }
}

DWORD AttributesOf(const CentralHeader& h) {
  unsigned host = h.versionMadeBy >> 8;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    return h.externalAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
  }
  // Other hosts keep a Unix mode in the high 16 bits.
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if ((h.externalAttributes & 0x00800000) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  if ((h.externalAttributes & 0x40000000) != 0) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  return attributes;
}

}  // namespace

void ZipReader::CloseArchive() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

bool ZipReader::ReadAt(std::uint64_t position, void* buffer, std::size_t size) {
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(position);
  if (position > 0x7FFFFFFFFFFFFFFFull || !SetFilePointerEx(file_, to, nullptr, FILE_BEGIN)) return false;
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(file_, p, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &got, nullptr)) return false;
    if (got == 0) return false;  // short: the archive ends too early
    p += got;
    size -= got;
  }
  return true;
}

// The end record nearest the end of the file, in its last 65535 bytes.
DWORD ZipReader::FindEndRecord(std::uint64_t fileSize, std::uint64_t& position) {
  if (fileSize <= 4) return ZIP_E_CORRUPT;
  std::uint64_t span = std::min(fileSize, kEndRecordSearchLimit);
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(span));
  std::uint64_t start = fileSize - span;
  if (!ReadAt(start, tail.data(), tail.size())) return ZIP_E_CORRUPT;
  for (std::size_t i = tail.size() - 4 + 1; i-- > 0;) {
    if (tail[i] == 0x50 && tail[i + 1] == 0x4B && tail[i + 2] == 0x05 && tail[i + 3] == 0x06 &&
        i + kEndRecordSize <= tail.size()) {
      position = start + i;
      return ZIP_OK;
    }
  }
  return ZIP_E_CORRUPT;
}

DWORD ZipReader::Open(LPCWSTR path) {
  CloseArchive();
  wchar_t folder[MAX_PATH] = {};
  DWORD n = GetCurrentDirectoryW(MAX_PATH, folder);
  base_ = n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring();
  if (base_.empty() || base_.back() != L'/') base_ += L'/';

  file_ = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return ZIP_E_NO_FILE;

  LARGE_INTEGER size{};
  std::uint64_t endPosition = 0;
  std::uint8_t r[kEndRecordSize];
  DWORD rc = ZIP_E_CORRUPT;
  if (GetFileSizeEx(file_, &size)) rc = FindEndRecord(static_cast<std::uint64_t>(size.QuadPart), endPosition);
  if (rc == ZIP_OK && !ReadAt(endPosition, r, sizeof r)) rc = ZIP_E_CORRUPT;
  if (rc == ZIP_OK) {
    std::uint16_t thisDisk = Get16(r + 4), centralDisk = Get16(r + 6);
    std::uint16_t entriesHere = Get16(r + 8), entriesTotal = Get16(r + 10);
    centralSize_ = Get32(r + 12);
    centralOffset_ = Get32(r + 16);
    entryCount_ = entriesTotal;
    std::uint8_t locator[4];
    bool zip64 = endPosition >= 20 && ReadAt(endPosition - 20, locator, 4) && Get32(locator) == kZip64LocatorSignature;
    if (thisDisk != 0 || centralDisk != 0 || entriesHere != entriesTotal || zip64 ||
        endPosition < static_cast<std::uint64_t>(centralOffset_) + centralSize_) {
      rc = ZIP_E_CORRUPT;
    }
  }
  if (rc != ZIP_OK) {
    CloseArchive();
    return rc;
  }
  bytesBefore_ = endPosition - centralOffset_ - centralSize_;
  input_.assign(kPieceSize, 0);
  currentIndex_ = -1;
  cachedIndex_ = -1;
  currentRead_ = false;
  if (entryCount_ > 0) GoToEntry(0);  // a damaged first header shows when it is asked for
  return ZIP_OK;
}

bool ZipReader::ReadCentralHeader(std::uint64_t position, CentralHeader& h) {
  std::uint8_t b[kCentralHeaderSize];
  // A header must lie inside the central directory.
  std::uint64_t centralEnd = bytesBefore_ + centralOffset_ + centralSize_;
  if (position + kCentralHeaderSize > centralEnd || !ReadAt(position, b, sizeof b)) return false;
  if (Get32(b) != kCentralHeaderSignature) return false;
  h.versionMadeBy = Get16(b + 4);
  h.flags = Get16(b + 8);
  h.method = Get16(b + 10);
  h.dosTime = Get16(b + 12);
  h.dosDate = Get16(b + 14);
  h.crc = Get32(b + 16);
  h.compressedSize = Get32(b + 20);
  h.uncompressedSize = Get32(b + 24);
  h.nameLength = Get16(b + 28);
  h.extraLength = Get16(b + 30);
  h.commentLength = Get16(b + 32);
  h.externalAttributes = Get32(b + 38);
  h.localHeaderOffset = Get32(b + 42);
  if (position + h.RecordSize() > centralEnd) return false;
  // ZIP64 entries keep their sizes and offset elsewhere; they are refused.
  if (h.compressedSize == 0xFFFFFFFF || h.uncompressedSize == 0xFFFFFFFF || h.localHeaderOffset == 0xFFFFFFFF) {
    return false;
  }
  h.name.resize(std::min<std::size_t>(h.nameLength, 260));
  return h.name.empty() || ReadAt(position + kCentralHeaderSize, h.name.data(), h.name.size());
}

DWORD ZipReader::GoToEntry(int index) {
  if (index < currentIndex_ || currentIndex_ < 0) {
    currentIndex_ = 0;
    currentPosition_ = bytesBefore_ + centralOffset_;
    currentRead_ = ReadCentralHeader(currentPosition_, current_);
  }
  while (currentIndex_ < index) {
    if (!currentRead_) return ZIP_E_CORRUPT;
    currentPosition_ += current_.RecordSize();
    currentIndex_++;
    currentRead_ = ReadCentralHeader(currentPosition_, current_);
  }
  return currentRead_ ? ZIP_OK : ZIP_E_CORRUPT;
}

DWORD ZipReader::CheckLocalHeader(const CentralHeader& c, LocalHeader& local) {
  std::uint64_t position = bytesBefore_ + c.localHeaderOffset;
  std::uint8_t b[kLocalHeaderSize];
  if (!ReadAt(position, b, sizeof b) || Get32(b) != kLocalHeaderSignature) return ZIP_E_CORRUPT;
  std::uint16_t flags = Get16(b + 6);
  std::uint16_t method = Get16(b + 8);
  if (method != c.method || (method != kMethodStored && method != kMethodDeflated)) return ZIP_E_CORRUPT;
  if ((flags & kFlagDataDescriptor) == 0 &&
      (Get32(b + 14) != c.crc || Get32(b + 18) != c.compressedSize || Get32(b + 22) != c.uncompressedSize)) {
    return ZIP_E_CORRUPT;
  }
  if (Get16(b + 26) != c.nameLength) return ZIP_E_CORRUPT;
  local.extraLength = Get16(b + 28);
  local.extraPosition = position + kLocalHeaderSize + c.nameLength;
  local.dataPosition = local.extraPosition + local.extraLength;
  // The data must end before the central directory.
  if (local.dataPosition + c.compressedSize > bytesBefore_ + centralOffset_) return ZIP_E_CORRUPT;
  return ZIP_OK;
}

DWORD ZipReader::FillInfo(int index, const CentralHeader& c, const LocalHeader& local, ZipEntryInfo& info) {
  std::vector<std::uint8_t> extra(local.extraLength);
  if (!extra.empty() && !ReadAt(local.extraPosition, extra.data(), extra.size())) return ZIP_E_READ;

  info = ZipEntryInfo{};
  info.index = index;
  std::string nameBytes = c.name.substr(0, kMaxNameBytes);
  std::wstring name = CleanName(platform::MultiByteToWide(nameBytes, CP_UTF8));
  name.resize(std::min<std::size_t>(name.size(), 259));
  std::copy(name.begin(), name.end(), info.name);
  info.name[name.size()] = L'\0';
  info.attributes = AttributesOf(c);
  info.compressedSize = c.compressedSize;
  info.uncompressedSize = c.uncompressedSize;

  // DOS time is local time; one that is no valid moment leaves the times 0.
  FILETIME localTime{}, utc{};
  if (DosDateTimeToFileTime(c.dosDate, c.dosTime, &localTime) && LocalFileTimeToFileTime(&localTime, &utc)) {
    info.lastAccessTime = info.creationTime = info.lastWriteTime = utc;
  }
  // An extended time stamp ("UT") overrides it with UTC seconds.
  for (std::size_t p = 0; p + 5 <= extra.size();) {
    std::uint16_t id = Get16(&extra[p]);
    std::uint16_t size = Get16(&extra[p + 2]);
    if (id == kExtendedTimestampId) {
      std::uint8_t flags = extra[p + 4];
      std::size_t at = p + 5;
      FILETIME* targets[] = {&info.lastWriteTime, &info.lastAccessTime, &info.creationTime};
      for (int bit = 0; bit < 3; bit++) {
        if ((flags & (1 << bit)) == 0) continue;
        if (at + 4 > extra.size()) break;
        *targets[bit] = FileTimeFromUnix(static_cast<std::int32_t>(Get32(&extra[at])));
        at += 4;
      }
      break;
    }
    p += 4 + static_cast<std::size_t>(size);
  }
  return ZIP_OK;
}

DWORD ZipReader::EntryInfo(int index, ZipEntryInfo* info) {
  if (info == nullptr || index < -1 || index >= static_cast<int>(entryCount_)) return ZIP_E_ARGS;
  if (index == -1) {
    *info = ZipEntryInfo{};
    info->index = entryCount_;
    return ZIP_OK;
  }
  if (index == cachedIndex_) {
    *info = cached_;
    return ZIP_OK;
  }
  DWORD rc = GoToEntry(index);
  LocalHeader local;
  if (rc == ZIP_OK) rc = CheckLocalHeader(current_, local);
  if (rc == ZIP_OK) rc = FillInfo(index, current_, local, *info);
  if (rc != ZIP_OK) return rc;
  cached_ = *info;
  cachedIndex_ = index;
  return ZIP_OK;
}

std::wstring ZipReader::FullTargetPath(const std::wstring& target) const {
  if (!target.empty() && target[0] == L'/') return target;
  return base_ + target;
}

// Creates each missing folder of the path, shortest first; the last component
// too when includingLast. Failures show later, when the target is created.
void ZipReader::CreateFolders(const std::wstring& path, bool includingLast) const {
  for (std::size_t at = path.find(L'/', 1); at != std::wstring::npos; at = path.find(L'/', at + 1)) {
    std::wstring prefix = path.substr(0, at);
    if (GetFileAttributesW(prefix.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(prefix.c_str(), nullptr);
  }
  if (includingLast && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    CreateDirectoryW(path.c_str(), nullptr);
  }
}

DWORD ZipReader::ExtractData(const CentralHeader& c, const LocalHeader& local, HANDLE target) {
  if (output_.empty()) output_.assign(kPieceSize, 0);
  std::uint64_t position = local.dataPosition;
  std::uint64_t compressedLeft = c.compressedSize;
  std::uint64_t uncompressedLeft = c.uncompressedSize;
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, Z_NULL, 0));

  auto writeOut = [&](const std::uint8_t* data, std::size_t n) -> DWORD {
    if (n > uncompressedLeft) return ZIP_E_CORRUPT;  // more data than the entry declares
    DWORD written = 0;
    if (n > 0 && (!WriteFile(target, data, static_cast<DWORD>(n), &written, nullptr) || written != n)) {
      return ZIP_E_WRITE;
    }
    crc = static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(n)));
    uncompressedLeft -= n;
    return ZIP_OK;
  };

  if (c.method == kMethodStored) {
    if (c.compressedSize != c.uncompressedSize) return ZIP_E_CORRUPT;
    while (compressedLeft > 0) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(compressedLeft, kPieceSize));
      if (!ReadAt(position, input_.data(), n)) return ZIP_E_FLATE;
      position += n;
      compressedLeft -= n;
      DWORD rc = writeOut(input_.data(), n);
      if (rc != ZIP_OK) return rc;
    }
  } else {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return ZIP_E_FLATE;
    std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, inflateEnd);
    int zrc = Z_OK;
    while (zrc != Z_STREAM_END) {
      if (z.avail_in == 0 && compressedLeft > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(compressedLeft, kPieceSize));
        if (!ReadAt(position, input_.data(), n)) return ZIP_E_FLATE;
        position += n;
        compressedLeft -= n;
        z.next_in = input_.data();
        z.avail_in = static_cast<uInt>(n);
      }
      z.next_out = output_.data();
      z.avail_out = static_cast<uInt>(output_.size());
      zrc = inflate(&z, Z_NO_FLUSH);
      if (zrc != Z_OK && zrc != Z_STREAM_END) return ZIP_E_FLATE;  // damaged, or ends too early
      std::size_t produced = output_.size() - z.avail_out;
      DWORD rc = writeOut(output_.data(), produced);
      if (rc != ZIP_OK) return rc;
    }
    // The stream must use exactly the entry's compressed bytes.
    if (z.avail_in != 0 || compressedLeft != 0) return ZIP_E_CORRUPT;
  }
  if (uncompressedLeft != 0 || crc != c.crc) return ZIP_E_CORRUPT;
  return ZIP_OK;
}

DWORD ZipReader::ExtractFirst(LPCWSTR targetPath) {
  if (entryCount_ == 0) return ZIP_E_ARGS;
  ZipEntryInfo info{};
  DWORD rc = GoToEntry(0);
  LocalHeader local;
  if (rc == ZIP_OK) rc = CheckLocalHeader(current_, local);
  if (rc == ZIP_OK) rc = FillInfo(0, current_, local, info);
  if (rc != ZIP_OK) return rc;
  cached_ = info;
  cachedIndex_ = 0;

  std::wstring target = targetPath != nullptr ? targetPath : L"";
  if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CreateFolders(target.empty() ? base_ : FullTargetPath(target), true);
    return ZIP_OK;
  }
  if ((current_.flags & kFlagEncrypted) != 0) return ZIP_E_ENCRYPTED;

  std::wstring full = FullTargetPath(target);
  std::size_t slash = full.rfind(L'/');
  if (slash != std::wstring::npos && slash > 0) CreateFolders(full.substr(0, slash), true);
  DWORD fileAttributes = info.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  HandleCloser out(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               fileAttributes | FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (out.get() == INVALID_HANDLE_VALUE) return ZIP_E_NO_FILE;
  rc = ExtractData(current_, local, out.get());
  if (rc != ZIP_OK) return rc;
  auto orNull = [](const FILETIME& t) -> const FILETIME* {
    return t.dwLowDateTime == 0 && t.dwHighDateTime == 0 ? nullptr : &t;
  };
  SetFileTime(out.get(), orNull(info.creationTime), orNull(info.lastAccessTime), orNull(info.lastWriteTime));
  return ZIP_OK;
}

ZipReader* NewZipReader() { return new ZipReader(); }

DWORD OpenZipArchive(ZipReader* reader, LPCWSTR path) {
  if (reader == nullptr || path == nullptr) return ZIP_E_ARGS;
  return reader->Open(path);
}

DWORD GetZipEntryInfo(ZipReader* reader, int index, ZipEntryInfo* info) {
  if (reader == nullptr) return ZIP_E_ARGS;
  return reader->EntryInfo(index, info);
}

void DeleteZipReader(ZipReader* reader) { delete reader; }

ZipHandle* ZipReaderOpen(LPCWSTR path, DWORD* result) {
  std::unique_ptr<ZipReader> reader(NewZipReader());
  DWORD rc = OpenZipArchive(reader.get(), path);
  if (result != nullptr) *result = rc;
  if (rc != ZIP_OK) return nullptr;
  return new ZipHandle{kZipReaderTag, reader.release()};
}

DWORD ZipReaderGetItem(ZipHandle* handle, int index, ZipEntryInfo* info) {
  DWORD rc = ZIP_OK;
  ZipReader* reader = ReaderOf(handle, rc);
  return reader == nullptr ? rc : reader->EntryInfo(index, info);
}

DWORD ZipReaderExtractFirst(ZipHandle* handle, LPCWSTR target) {
  DWORD rc = ZIP_OK;
  ZipReader* reader = ReaderOf(handle, rc);
  return reader == nullptr ? rc : reader->ExtractFirst(target);
}

DWORD ZipReaderSetBaseDir(ZipHandle* handle) {
  DWORD rc = ZIP_OK;
  ZipReader* reader = ReaderOf(handle, rc);
  if (reader == nullptr) return rc;
  reader->SetBaseToRoot();
  return ZIP_OK;
}

DWORD ZipReaderClose(ZipHandle* handle) {
  DWORD rc = ZIP_OK;
  ZipReader* reader = ReaderOf(handle, rc);
  if (reader == nullptr) return rc;
  DeleteZipReader(reader);
  delete handle;
  return ZIP_OK;
}
