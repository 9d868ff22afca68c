#pragma once
// A private scratch folder for one fuzzing process: the layer's state
// (QELM_ROOT, registry, TMPDIR) and the files each input is written to.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fuzz {

inline const std::filesystem::path& Scratch() {
  static const std::filesystem::path folder = [] {
    std::random_device rd;
    std::filesystem::path p = std::filesystem::temp_directory_path() / ("qelmfuzz-" + std::to_string(rd()));
    std::filesystem::create_directories(p / "tmp");
    setenv("QELM_ROOT", p.c_str(), 1);
    setenv("XDG_CONFIG_HOME", p.c_str(), 1);
    setenv("TMPDIR", (p / "tmp").c_str(), 1);
    return p;
  }();
  return folder;
}

inline std::filesystem::path WriteInput(const char* name, const std::uint8_t* data, std::size_t size) {
  std::filesystem::path p = Scratch() / name;
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return p;
}

}  // namespace fuzz
