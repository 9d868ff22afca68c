#pragma once
// Result codes of the ZIP library (writer and reader) and their texts.
// Every call of the library returns one of these; 0 is success.

#include "platform/windows_types.h"

inline constexpr DWORD ZIP_OK = 0;
// Stands for the last writer result in ZipResultText.
inline constexpr DWORD ZIP_LAST_WRITER_RESULT = 1;
inline constexpr DWORD ZIP_E_NO_DUPLICATE = 0x100;       // never raised
inline constexpr DWORD ZIP_E_NO_FILE = 0x200;            // a file cannot be created or opened
inline constexpr DWORD ZIP_E_NO_ALLOC = 0x300;           // memory for a memory archive
inline constexpr DWORD ZIP_E_WRITE = 0x400;              // a write to the archive or a target failed
inline constexpr DWORD ZIP_E_NOT_FOUND = 0x500;          // never raised
inline constexpr DWORD ZIP_E_MORE = 0x600;               // never raised
inline constexpr DWORD ZIP_E_CORRUPT = 0x700;            // damaged, or not a ZIP archive
inline constexpr DWORD ZIP_E_READ = 0x800;               // a file cannot be read
inline constexpr DWORD ZIP_E_ENCRYPTED = 0x1000;         // an encrypted entry (no text of its own)
inline constexpr DWORD ZIP_E_ARGS = 0x10000;             // bad arguments
inline constexpr DWORD ZIP_E_NOT_MEMORY = 0x20000;       // buffer asked of an archive not in memory
inline constexpr DWORD ZIP_E_MEMORY_SIZE = 0x30000;      // the memory archive is full
inline constexpr DWORD ZIP_E_FAILED = 0x40000;           // an earlier write failed
inline constexpr DWORD ZIP_E_ENDED = 0x50000;            // the archive is finished already
inline constexpr DWORD ZIP_E_MISSIZE = 0x60000;          // never returned
inline constexpr DWORD ZIP_E_PARTIAL_UNZIP = 0x70000;    // never raised
inline constexpr DWORD ZIP_E_MIXED_MODE = 0x80000;       // a handle of the other kind
// A source, an entry count or an archive past the limits of the ZIP format
// without ZIP64 records (4 GiB - 1 bytes, 65535 entries). The archive would
// be corrupt, so the writer refuses it.
inline constexpr DWORD ZIP_E_TOO_LARGE = 0x90000;
inline constexpr DWORD ZIP_E_NOT_INITED = 0x1000000;     // never raised
inline constexpr DWORD ZIP_E_SEEK = 0x2000000;           // never raised
inline constexpr DWORD ZIP_E_NO_CHANGE = 0x4000000;      // a stored entry changed size on an unseekable output
inline constexpr DWORD ZIP_E_FLATE = 0x5000000;          // reading or inflating an entry's data failed

// The text of a result code (ZIP_LAST_WRITER_RESULT: of the last writer
// result), 8-bit in the ANSI code page, as the journals take it. Copies at
// most 1023 bytes and a NUL into buffer (1024 bytes) when buffer is not null;
// returns the full length of the text in bytes. Unknown codes give
// "Неизвестный возвратный zip код". Any thread.
DWORD ZipResultText(DWORD code, char* buffer);

// The result of the last ZipWriterCreate, ZipWriterAddFile,
// ZipWriterAddBuffer, ZipWriterGetBuffer or ZipWriterClose of the process.
DWORD ZipLastWriterResult();
