#include "tests/support/temp_root.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr const char* kVariables[] = {"QELM_ROOT", "XDG_CONFIG_HOME", "TMPDIR"};

}  // namespace

TempRoot::TempRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qelmtest-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  for (const char* name : kVariables) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old != nullptr, old ? old : ""});
  }
  setenv("QELM_ROOT", path_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (path_ / "config").c_str(), 1);
  std::filesystem::create_directories(path_ / "tmp");
  setenv("TMPDIR", (path_ / "tmp").c_str(), 1);
}

TempRoot::~TempRoot() {
  for (const Saved& s : saved_) {
    if (s.had)
      setenv(s.name.c_str(), s.value.c_str(), 1);
    else
      unsetenv(s.name.c_str());
  }
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempRoot::Dir(const std::string& name) const {
  std::filesystem::path dir = path_ / name;
  std::filesystem::create_directories(dir);
  return dir;
}

std::filesystem::path TempRoot::WriteFile(const std::string& relative, const std::string& content) const {
  std::filesystem::path file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << content;
  return file;
}

std::vector<std::string> TempRoot::Environment() const {
  return {"QELM_ROOT=" + path_.string(), "XDG_CONFIG_HOME=" + (path_ / "config").string(),
          "TMPDIR=" + (path_ / "tmp").string()};
}

std::string ReadFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::filesystem::path BuildDir() {
  if (const char* dir = std::getenv("QELM_BUILD_DIR")) return dir;
  return QELM_BUILD_DIR;
}

}  // namespace testsupport
