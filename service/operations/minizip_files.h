#pragma once
// What the archive operations (ARCH, UNAR, PACK, UNPK) share around minizip:
// its file access through the layer, entry names in the OEM code page, entry
// dates, and the size bounds of archives written without ZIP64 records.
// Any thread; nothing is shared between calls.

#include <minizip/ioapi.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// The chunk in which entry data is read and written.
inline constexpr DWORD kArchiveChunkSize = 524288;

// Largest entry count and archive size without ZIP64 records.
inline constexpr ULONGLONG kZipMaxEntries = 65535;
inline constexpr ULONGLONG kZipMaxBytes = 0xFFFFFFFEull;

// minizip's file access through the layer, for zipOpen2_64 and unzOpen2_64
// with 8-bit paths in the ANSI code page: an archive is read with no sharing
// (OPEN_EXISTING) and created new (CREATE_NEW: an existing name or a link in
// the way fails, nothing is replaced).
void FillLayerFileFunctions(zlib_filefunc64_def* functions);

// The bytes that a file of `size` bytes can take in a ZIP archive at most,
// deflated (worst-case growth of incompressible data) with its local and
// central headers for an entry name of nameBytes bytes.
ULONGLONG ZipEntryWorstCase(ULONGLONG size, ULONGLONG nameBytes);

// An entry name as archives of this system carry it: the name in the ANSI
// code page, then in the OEM code page; no UTF-8 flag.
std::string OemEntryName(const CString& name);
// An entry name read from an archive (OEM code page), as wide text by way of
// the ANSI code page.
CString EntryNameFromOem(const std::string& oemName);

// The entry date of a file: its last-write time in local time.
// False when the time cannot be converted.
bool ZipEntryDate(const FILETIME& lastWrite, zip_fileinfo& info);

// The chunk buffer of one file's data; null when memory is short.
std::unique_ptr<std::uint8_t[]> AllocateArchiveChunk();

// Reads exactly size bytes; false on a failed or short read.
bool ReadArchiveChunk(HANDLE file, std::uint8_t* buffer, DWORD size);

// True when the file of `size` bytes, read from its start, is an archive
// without a single entry: its end record alone, with its comment. minizip
// cannot open such an archive (an end record at the file's very start is
// one it takes for none found).
bool IsEmptyZipArchive(HANDLE file, ULONGLONG size);

// unzGetCurrentFileInfo64 of the entry the reader stands on (name may be
// null), with its true sizes: where the central directory's 32-bit size
// fields hold 0xFFFFFFFF, the sizes of the entry's ZIP64 extended
// information. The minizip of this system's distribution leaves those
// fields as they stand (an entry of a `zip -fz` archive of 3 bytes declares
// 0xFFFFFFFF), and it then never checks the entry's CRC either: the reader
// of such an entry checks it (EntryCrc). Sizes without their ZIP64 field
// stay 0xFFFFFFFF.
int GetCurrentEntryInfo(unzFile zip, unz_file_info64& info, char* name, uLong nameSize);

// The CRC-32 of an entry's data as it is read, to compare with the CRC its
// header declares.
class EntryCrc {
 public:
  void Add(const std::uint8_t* bytes, unsigned count) { value_ = crc32(value_, bytes, count); }
  bool Matches(const unz_file_info64& info) const { return value_ == info.crc; }

 private:
  uLong value_ = crc32(0, nullptr, 0);
};

// The text of ZIP_E_TOO_LARGE, for a file that an archive without ZIP64
// records cannot hold.
CString ZipTooLargeDescription();

// An archive being written (zipOpen2_64), closed when the holder goes;
// Close reports the completion's result.
class ZipWriter {
 public:
  explicit ZipWriter(zipFile file) : file_(file) {}
  ~ZipWriter() { Close(); }
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  zipFile get() const { return file_; }
  int Close() {
    int rc = file_ != nullptr ? zipClose(file_, nullptr) : ZIP_OK;
    file_ = nullptr;
    return rc;
  }

 private:
  zipFile file_;
};

// An archive opened for reading (unzOpen2_64), closed with its open entry
// when the holder goes.
class UnzipReader {
 public:
  explicit UnzipReader(unzFile file) : file_(file) {}
  ~UnzipReader() {
    if (entryOpen_) unzCloseCurrentFile(file_);
    if (file_ != nullptr) unzClose(file_);
  }
  UnzipReader(const UnzipReader&) = delete;
  UnzipReader& operator=(const UnzipReader&) = delete;
  unzFile get() const { return file_; }
  bool OpenEntry() { return entryOpen_ = unzOpenCurrentFile(file_) == UNZ_OK; }
  // The entry's own result: UNZ_CRCERROR for data whose CRC does not match.
  int CloseEntry() {
    entryOpen_ = false;
    return unzCloseCurrentFile(file_);
  }

 private:
  unzFile file_;
  bool entryOpen_ = false;
};
