#pragma once
// What the tests of the archive operations share beyond the one-rule
// fixture: zip archives patched by hand and the outside archivers run on a
// test's own folder.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/service_runner.h"

namespace fileops {

inline std::uint32_t Le32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
inline void PutLe32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Sets the uncompressed size (or, with crc, the CRC) that the local and the
// central header of every entry declare.
inline void ForgeZipField(std::string& zip, bool crc, std::uint32_t value) {
  for (std::size_t at = 0; (at = zip.find("PK\3\4", at)) != std::string::npos; at += 4)
    PutLe32(zip, at + (crc ? 14 : 22), value);
  for (std::size_t at = 0; (at = zip.find("PK\1\2", at)) != std::string::npos; at += 4)
    PutLe32(zip, at + (crc ? 16 : 24), value);
}

// Runs zip, unzip or gzip in a folder (through sh only to change folder;
// every argument is quoted).
inline testsupport::ProgramResult Tool(const std::filesystem::path& folder, const std::vector<std::string>& command) {
  std::string line = "cd '" + folder.string() + "' &&";
  for (const std::string& part : command) line += " '" + part + "'";
  return testsupport::RunProgram("/bin/sh", {"-c", line});
}

}  // namespace fileops
