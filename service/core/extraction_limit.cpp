#include "service/core/extraction_limit.h"

#include <limits>

#include "platform/process.h"

namespace {

constexpr ULONGLONG kMax = std::numeric_limits<ULONGLONG>::max();

ULONGLONG RatioBound(ULONGLONG archiveSize) {
  return archiveSize > kMax / kDeflateMaxRatio ? kMax : archiveSize * kDeflateMaxRatio;
}

CString FolderOf(const CString& path) {
  int slash = path.ReverseFind(L'/');
  if (slash < 0) return CString(L".");
  return slash == 0 ? CString(L"/") : path.Left(slash);
}

}  // namespace

ExtractionLimit::ExtractionLimit(ULONGLONG archiveSize, const CString& outputPath, bool isFolder)
    : limit_(RatioBound(archiveSize)) {
  ULARGE_INTEGER available{};
  if (GetDiskFreeSpaceExW(isFolder ? outputPath : FolderOf(outputPath), &available, nullptr, nullptr)) {
    const ULONGLONG room = available.QuadPart - available.QuadPart / 20;
    if (room < limit_) limit_ = room;
  }
}

bool ExtractionLimit::Write(ULONGLONG bytes) {
  written_ = bytes > kMax - written_ ? kMax : written_ + bytes;
  return written_ <= limit_;
}
