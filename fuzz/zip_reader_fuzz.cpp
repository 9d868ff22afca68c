// Feeds arbitrary bytes to the ZIP reader as an archive file: open it, describe
// every entry, extract the first. Nothing may crash, leak or read out of
// bounds, and extraction writes only to the target named here.

#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_scratch.h"
#include "service/zip/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::filesystem::path archive = fuzz::WriteInput("input.zip", data, size);
  std::filesystem::path target = fuzz::Scratch() / "out" / "first.bin";
  DWORD rc = 0;
  ZipHandle* h = ZipReaderOpen(archive.wstring().c_str(), &rc);
  if (h != nullptr) {
    ZipEntryInfo info{};
    if (ZipReaderGetItem(h, -1, &info) == ZIP_OK) {
      int count = info.index;
      for (int i = 0; i < count && i < 64; i++) ZipReaderGetItem(h, i, &info);
      ZipReaderGetItem(h, count, &info);
    }
    ZipReaderExtractFirst(h, target.wstring().c_str());
    ZipReaderClose(h);
  }
  std::error_code ec;
  std::filesystem::remove_all(fuzz::Scratch() / "out", ec);
  return 0;
}
