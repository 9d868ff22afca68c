#pragma once
// The ZIP reader: opens an archive file, tells how many entries it holds,
// describes any entry and extracts the first entry to a file that the caller
// names. Entry names are reported, never used as paths: the data goes only to
// the caller's target.
//
// Every entry's data is checked while it is extracted: its CRC-32 and its
// uncompressed size must be those of the central directory (ZIP_E_CORRUPT
// otherwise). ZIP64 archives and entries are refused as ZIP_E_CORRUPT.
// Results are the codes of service/zip/zip_result.h. A reader belongs to one
// thread at a time.

#include "platform/windows_types.h"
#include "service/zip/zip_handle.h"
#include "service/zip/zip_result.h"

class ZipReader;

// What GetZipEntryInfo tells about an entry.
struct ZipEntryInfo {
  std::int32_t index;          // the entry's index; the entry count when -1 was asked for
  wchar_t name[260];           // decoded as UTF-8; drive, leading separators and
                               // everything up to a "/../" taken off
  DWORD attributes;            // Windows attributes (0x10 for a folder)
  FILETIME lastAccessTime;     // UTC
  FILETIME creationTime;       // UTC
  FILETIME lastWriteTime;      // UTC
  DWORD compressedSize;
  DWORD uncompressedSize;
};

// A reader with no archive. Free it with DeleteZipReader, or wrap it in a
// handle (new ZipHandle{kZipReaderTag, reader}) after OpenZipArchive succeeded
// and close that with ZipReaderClose.
ZipReader* NewZipReader();

// Opens the archive read-only (others may read it too) and keeps it open
// until the reader is closed. ZIP_E_NO_FILE when it cannot be opened;
// ZIP_E_CORRUPT when no end record is found in the last 65535 bytes, or the
// end record is not that of a one-disk archive without ZIP64, or lies before
// the end of its central directory. The reader's base folder becomes the
// current folder.
DWORD OpenZipArchive(ZipReader* reader, LPCWSTR path);

// Fills *info for entry `index`; -1 gives the entry count in info->index and
// nothing else. ZIP_E_ARGS for an index below -1 or not below the count, or a
// null argument; ZIP_E_CORRUPT when a central header or the entry's local
// header is damaged or disagrees; ZIP_E_READ when its extra field cannot be
// read. A failure leaves the reader usable.
DWORD GetZipEntryInfo(ZipReader* reader, int index, ZipEntryInfo* info);

// Closes the archive (if open) and frees the reader.
void DeleteZipReader(ZipReader* reader);

// NewZipReader + OpenZipArchive + a handle with tag 1; null on failure with
// the code in *result (which may be null).
ZipHandle* ZipReaderOpen(LPCWSTR path, DWORD* result);

// GetZipEntryInfo through a handle.
DWORD ZipReaderGetItem(ZipHandle* handle, int index, ZipEntryInfo* info);

// Writes entry 0 to `target`, whatever the entry's own name: an absolute
// target is used as it is, a relative one lies under the base folder; missing
// folders are created. The file gets the entry's attributes and times. A
// folder entry only creates the folder `target`. Results: ZIP_E_ARGS for an
// archive without entries; ZIP_E_NO_FILE when the target cannot be created
// (it is created new: a taken name, a link included, is refused);
// ZIP_E_ENCRYPTED for an encrypted entry (nothing is created); ZIP_E_WRITE when
// writing fails; ZIP_E_FLATE when the data cannot be read or inflated;
// ZIP_E_CORRUPT when it does not match its CRC-32 or size. A partial target
// stays for the caller to delete.
DWORD ZipReaderExtractFirst(ZipHandle* handle, LPCWSTR target);

// Makes the root folder "/" the base folder for relative targets.
DWORD ZipReaderSetBaseDir(ZipHandle* handle);

// Closes the archive and frees the reader and the handle. ZIP_E_MIXED_MODE
// for a writer handle (left open), ZIP_E_ARGS for null.
DWORD ZipReaderClose(ZipHandle* handle);
