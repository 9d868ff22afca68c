#pragma once
// GZIP glue shared by the operations that compress a file before encrypting
// it or decompress a decrypted one: file to file, and memory to memory. The
// compression is zlib's (level 9, a gzip wrapper carrying the header name and
// a modification time); these routines drive it in 512 KiB chunks and turn
// every failure into a compression code with a Russian text.
//
// Sizes are 64-bit: files of 4 GiB and more are compressed and decompressed
// (the gzip trailer keeps the size modulo 2^32, as the format says).
//
// Error texts: when a call fails and the caller's errorText is empty, it
// receives CompressionErrorText of the result; a text the caller gave stays.
// GunzipOneFile sets zlib's own message for a damaged stream.
// Every function may be called from any thread; calls share nothing.

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// Compression result codes.
inline constexpr DWORD COMPRESS_E_NO_MEMORY = 0x40001;
inline constexpr DWORD COMPRESS_E_DEFLATE_INIT = 0x40018;
inline constexpr DWORD COMPRESS_E_INFLATE_INIT = 0x40019;
inline constexpr DWORD COMPRESS_E_CREATE_PACKED = 0x4001A;
inline constexpr DWORD COMPRESS_E_CREATE_UNPACKED = 0x4001B;
inline constexpr DWORD COMPRESS_E_PACKED_SIZE = 0x4001C;
inline constexpr DWORD COMPRESS_E_SOURCE_SIZE = 0x4001D;
inline constexpr DWORD COMPRESS_E_PACKED_EMPTY = 0x4001E;
inline constexpr DWORD COMPRESS_E_SOURCE_EMPTY = 0x4001F;
inline constexpr DWORD COMPRESS_E_OPEN_PACKED = 0x40020;
inline constexpr DWORD COMPRESS_E_OPEN_SOURCE = 0x40021;
inline constexpr DWORD COMPRESS_E_READ_PACKED = 0x40022;
inline constexpr DWORD COMPRESS_E_READ_SOURCE = 0x40023;
inline constexpr DWORD COMPRESS_E_WRITE_PACKED = 0x40024;
inline constexpr DWORD COMPRESS_E_WRITE_UNPACKED = 0x40025;
inline constexpr DWORD COMPRESS_E_DEFLATE = 0x40026;
inline constexpr DWORD COMPRESS_E_INFLATE = 0x40027;
inline constexpr DWORD COMPRESS_E_NO_END = 0x40028;

// Chunk of the file routines: one input and one output buffer of this size.
inline constexpr DWORD kGzipChunkSize = 524288;

// Copies the code's text (8-bit, ANSI code page) with its NUL into buffer
// (1024 bytes; a longer text would be cut to 1023 bytes). Unknown codes give
// "Описание ошибки не найдено". Returns 0.
DWORD CompressionErrorText(DWORD code, char* buffer);
// The same text as wide text, for a record's description.
CString CompressionErrorDescription(DWORD code);

// A local time as seconds since 1970, taking the zone's daylight-saving rule
// for that moment; milliseconds are dropped. -1 when it cannot be converted.
LONGLONG FileTimeToTime64(FILETIME localTime);

// Writes the gzip form of `source` to `target` (created new: a name already
// taken, a link included, fails with COMPRESS_E_CREATE_PACKED; both paths
// 8-bit in the ANSI code page), with headerName (in the ANSI code page) and
// the source's last-write time in the gzip header. Returns 0, or:
// COMPRESS_E_NO_MEMORY, COMPRESS_E_OPEN_SOURCE (source missing or in use),
// COMPRESS_E_CREATE_PACKED, COMPRESS_E_SOURCE_SIZE, COMPRESS_E_SOURCE_EMPTY (a
// source of 0 bytes), ERR_GZIP_TIME, COMPRESS_E_DEFLATE_INIT,
// ERR_GZIP_HEADER_SET, COMPRESS_E_READ_SOURCE (a failed or short read),
// COMPRESS_E_WRITE_PACKED, COMPRESS_E_DEFLATE. A partial target may remain; the
// caller deletes it.
DWORD GzipOneFile(LPCSTR source, LPCSTR target, LPCWSTR headerName, CString& errorText);

// Writes the decompressed gzip file `source` to `target` (created new: a
// taken name, a link included, fails with COMPRESS_E_CREATE_UNPACKED; paths
// 8-bit in the ANSI code page). Concatenated gzip members are decompressed one
// after another; bytes after the last member that do not
// start a member are ignored. The name and time in the gzip header are not
// used. Returns 0, or: COMPRESS_E_NO_MEMORY, COMPRESS_E_OPEN_PACKED,
// COMPRESS_E_PACKED_SIZE, COMPRESS_E_PACKED_EMPTY, ERR_GZIP_HEADER_GET (the
// source is not gzip data; no target is made), COMPRESS_E_INFLATE_INIT,
// COMPRESS_E_CREATE_UNPACKED, COMPRESS_E_READ_PACKED, COMPRESS_E_WRITE_UNPACKED,
// or zlib's error number as an unsigned code (0xFFFFFFFD for damaged data,
// 0xFFFFFFFB for data that ends too early) with errorText set to
// "<source>: <zlib's message>", or ERR_ARCHIVE_TOO_LARGE once the output
// passes what the source can give or the target's disk can take
// (ExtractionLimit). A partial target may remain.
DWORD GunzipOneFile(LPCSTR source, LPCSTR target, CString& errorText);

// Compresses input into a gzip buffer with headerName and the current time in
// its header. On success output->data is a malloc'ed buffer that the caller
// releases with free(). Returns 0, or COMPRESS_E_DEFLATE_INIT,
// ERR_GZIP_HEADER_SET, COMPRESS_E_PACKED_EMPTY (input of length 0),
// COMPRESS_E_NO_MEMORY, COMPRESS_E_DEFLATE (also when the result would not
// fit the blob's 32-bit length); *output is not touched on failure.
DWORD GzipBuffer(const DataBlob& input, DataBlob* output, LPCWSTR headerName, CString& errorText);
