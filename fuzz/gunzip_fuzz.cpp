// Feeds arbitrary bytes to GunzipOneFile as a gzip file.

#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_scratch.h"
#include "service/core/gzip_glue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::filesystem::path source = fuzz::WriteInput("input.gz", data, size);
  std::filesystem::path target = fuzz::Scratch() / "output.bin";
  CString error;
  GunzipOneFile(source.c_str(), target.c_str(), error);
  std::error_code ec;
  std::filesystem::remove(target, ec);
  return 0;
}
