#pragma once
// Small helpers of the operation tests: text conversions, random contents,
// files written and read whole.

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/codepage.h"
#include "platform/cstring.h"
#include "platform/files.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace optest {

inline std::string Utf8(const CString& text) { return platform::WideToMultiByte(text.str(), CP_UTF8); }
using testsupport::Wide;

inline std::string Bytes(size_t size, unsigned seed = 7) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}
inline std::string Read(const std::filesystem::path& path) { return testsupport::ReadFileBytes(path); }

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A claim on a file held by a live process, as another instance working on
// it holds one: the pipeline must pass such a ".stp" over, never take it back.
class LiveClaim {
 public:
  explicit LiveClaim(const std::filesystem::path& path)
      : handle_(platform::ClaimFile(Wide(path.string()))) {}
  ~LiveClaim() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  LiveClaim(const LiveClaim&) = delete;
  LiveClaim& operator=(const LiveClaim&) = delete;
  bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

}  // namespace optest
