#pragma once
// How much an archive may unpack to. Archives come from outside: a few
// kilobytes of DEFLATE data can claim, or really give, gigabytes (a "bomb").
// An extraction is held to the less of two bounds:
//  - what DEFLATE can give for the archive's size: at most 1032 bytes out
//    per byte in (258 bytes for every 2 bits of code);
//  - the free space of the output folder's disk, less 5 %, as it was when
//    the extraction began.
// Both the sizes an archive declares and the bytes really written are held
// to it. One object per extraction (all entries of one archive together).
// Any thread; an object is used by one thread.

#include "platform/cstring.h"
#include "platform/windows_types.h"

// Bytes of output that DEFLATE can give at most for one byte of input.
inline constexpr ULONGLONG kDeflateMaxRatio = 1032;

class ExtractionLimit {
 public:
  // archiveSize: the size of the compressed file; outputPath: a path in the
  // folder that receives what is unpacked, or that folder itself with
  // isFolder (its disk's free space is read now; when it cannot be read,
  // only the ratio bound holds).
  ExtractionLimit(ULONGLONG archiveSize, const CString& outputPath, bool isFolder = false);

  // False when a declared total of `bytes` would pass the limit.
  bool AllowsDeclared(ULONGLONG bytes) const { return bytes <= limit_; }
  // Counts bytes really written; false once the count passes the limit.
  bool Write(ULONGLONG bytes);
  ULONGLONG Limit() const { return limit_; }

 private:
  ULONGLONG limit_;
  ULONGLONG written_ = 0;
};
