#pragma once
// The ZIP writer: builds an archive of one or more entries, each from a file
// or a buffer, in a file it creates, on a file handle the caller owns, or in
// memory. Entries are deflated with the library's own compressor, or stored
// when their name says they are compressed already (.zip, .gz, ...).
//
// The archives are plain ZIP: no encryption, no comment, no ZIP64 records,
// names in the OEM code page with '/' as separator, and an extended time
// stamp ("UT") on every entry. Without ZIP64 an archive ends below 4 GiB and
// holds at most 65535 entries: an add that would pass either limit fails with
// ZIP_E_TOO_LARGE instead of writing a corrupt archive.
//
// Every function sets the process-wide last writer result (ZipResultText(1))
// to the result it returns. Results are the codes of service/zip/zip_result.h.

#include <cstdint>

#include "platform/windows_types.h"
#include "service/zip/zip_handle.h"
#include "service/zip/zip_result.h"

// Modes of ZipWriterCreate.
inline constexpr int kZipToHandle = 1;  // target: the caller's open file handle
inline constexpr int kZipToFile = 2;    // target: a path (LPCWSTR); created new, never replacing
inline constexpr int kZipToMemory = 3;  // target: the caller's buffer of `capacity` bytes, or null

// Makes a writer handle (tag 2), or returns null with the reason in the last
// writer result:
//  - kZipToHandle: the archive starts at the handle's current position, which
//    every offset in the archive includes; the handle stays the caller's. A
//    handle that cannot seek (a pipe) gets data descriptors after each entry.
//  - kZipToFile: ZIP_E_NO_FILE when the file cannot be created (exclusive).
//  - kZipToMemory: ZIP_E_MEMORY_SIZE for capacity 0. With a null target the
//    writer allocates `capacity` bytes itself (ZIP_E_NO_ALLOC when it cannot);
//    that memory lives until ZipWriterClose. A memory archive holds at most
//    capacity - 1 bytes; a write that would reach the capacity fails with
//    ZIP_E_MEMORY_SIZE, which sticks (later adds give ZIP_E_FAILED).
//  - any other mode: ZIP_E_ARGS.
ZipHandle* ZipWriterCreate(void* target, DWORD capacity, int mode);

// The capacity a memory archive needs for one entry of `length` bytes,
// whatever the bytes are: data that does not compress comes out a little
// larger than it went in (stored or fixed-code blocks), and the headers, the
// central directory with the longest name the writer takes, the end record
// and the byte a memory archive leaves free come on top. Above 0xFFFFFFFF
// when no memory archive can hold such an entry.
std::uint64_t ZipMemoryArchiveBound(std::uint64_t length);

// Adds the file at `path` as the entry `name` ('\' becomes '/'), with the
// file's times and attributes. ZIP_E_ARGS for an empty name or one longer than
// 259 bytes in the OEM code page; ZIP_E_NO_FILE when the file cannot be
// opened or described; ZIP_E_READ when reading it fails; ZIP_E_TOO_LARGE for a
// file of 4 GiB or more, or when the archive would pass 4 GiB - 1 bytes or
// 65535 entries; ZIP_E_WRITE when the archive cannot be written (this sticks);
// ZIP_E_FAILED after an earlier failed write; ZIP_E_ENDED after the archive
// was finished. A failure after the entry's local header was written leaves
// that header and its data outside the central directory; the archive stays
// valid and usable unless the failure sticks.
DWORD ZipWriterAddFile(ZipHandle* handle, LPCWSTR name, LPCWSTR path);

// Adds `length` bytes at `data` as the entry `name`, with the current time.
// ZIP_E_ARGS for a null buffer or a length of 0; otherwise as ZipWriterAddFile.
DWORD ZipWriterAddBuffer(ZipHandle* handle, LPCWSTR name, const void* data, DWORD length);

// Finishes the archive (central directory and end record) unless that was
// done, and gives the memory archive and its length. ZIP_E_WRITE when
// finishing failed (data and length must not be used); ZIP_E_NOT_MEMORY for an
// archive that is not in memory (it is finished all the same, *data null);
// ZIP_E_ARGS for a null handle (*data null, *length 0). After this call adds
// give ZIP_E_ENDED. A buffer the writer allocated stays valid until
// ZipWriterClose; a caller's buffer stays the caller's.
DWORD ZipWriterGetBuffer(ZipHandle* handle, void** data, DWORD* length);

// Finishes the archive unless that was done, closes a file the writer
// created, frees the writer's memory and the handle. ZIP_E_WRITE when
// finishing failed (the handle is freed all the same); ZIP_E_MIXED_MODE for a
// reader handle (left open); ZIP_E_ARGS for null. Never deletes the output.
DWORD ZipWriterClose(ZipHandle* handle);
