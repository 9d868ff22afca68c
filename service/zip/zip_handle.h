#pragma once
// The one handle type of the ZIP library: a reader (tag 1) or a writer (tag 2).
// Handles are allocated with new by ZipReaderOpen / ZipWriterCreate (or by a
// caller that wraps a reader it opened itself with OpenZipArchive) and freed
// with their object by ZipReaderClose / ZipWriterClose. Every function of the
// library answers ZIP_E_ARGS for a null handle and ZIP_E_MIXED_MODE for a
// handle of the other kind, which it leaves untouched. A handle belongs to one
// thread at a time.

#include <cstdint>

inline constexpr std::int32_t kZipReaderTag = 1;
inline constexpr std::int32_t kZipWriterTag = 2;

struct ZipHandle {
  std::int32_t tag;  // kZipReaderTag or kZipWriterTag
  void* object;      // the ZipReader or the ZipWriter
};
