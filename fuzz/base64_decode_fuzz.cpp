// The Base64 decoder on arbitrary bytes: it must answer with a code without
// reading or writing outside its buffers. Then the same bytes are encoded
// and decoded again, which must give them back exactly.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "service/operations/base64_codec.h"

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

DWORD Code(const std::filesystem::path& source, const std::filesystem::path& target, int encode) {
  std::error_code ec;
  std::filesystem::remove(target, ec);
  return Base64File(CStringA(source.c_str()), CStringA(target.c_str()), encode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path input = fuzz::WriteInput("input", data, size);
  const std::filesystem::path decoded = fuzz::Scratch() / "decoded";
  const std::filesystem::path encoded = fuzz::Scratch() / "encoded";
  const std::filesystem::path again = fuzz::Scratch() / "again";
  Code(input, decoded, 0);

  if (Code(input, encoded, 1) != 0 || Code(encoded, again, 0) != 0) std::abort();
  if (ReadAll(again) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  return 0;
}
