#pragma once
// A private machine for one test: a fresh temporary folder that serves as
// QELM_ROOT (machine registry, event log, services, ProgramData), as
// XDG_CONFIG_HOME (user registry) and as TMPDIR. The previous environment is
// restored and the folder removed when the object goes away, so tests never
// touch the real store and can run in parallel (one test program per process).

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A folder below the root, created on first use.
  std::filesystem::path Dir(const std::string& name) const;
  // Writes a file below the root (folders created) and returns its path.
  std::filesystem::path WriteFile(const std::string& relative, const std::string& content) const;
  // The environment assignments that hand this root to a child program.
  std::vector<std::string> Environment() const;

 private:
  struct Saved {
    std::string name;
    bool had;
    std::string value;
  };
  std::filesystem::path path_;
  std::vector<Saved> saved_;
};

// Reads a whole file as bytes ("" when missing).
std::string ReadFileBytes(const std::filesystem::path& file);

// The build folder (bin/, lib/) of the programs under test.
std::filesystem::path BuildDir();

}  // namespace testsupport
