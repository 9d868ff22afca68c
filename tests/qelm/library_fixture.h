#pragma once
// What the library's tests share: a private root, the shared test PKI,
// contexts opened on its holders, the error stack as lines, files.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/qelm_api.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace qelmtest {

namespace fs = std::filesystem;

struct StackLine {
  std::string text, file, data;
  uint32_t line = 0;
};

// Drains a context's stack (null: the library's own).
inline std::vector<StackLine> DrainStack(LibraryContext context) {
  std::vector<StackLine> lines;
  DataBlob text{}, file{}, data{};
  uint32_t line = 0;
  while (ORLAX_GetErrorLineEx(context, &text, &file, &line, &data) == 0) {
    lines.push_back({reinterpret_cast<char*>(text.data), reinterpret_cast<char*>(file.data),
                     reinterpret_cast<char*>(data.data), line});
    ORLAX_FreeMem(context, text.data);
    ORLAX_FreeMem(nullptr, file.data);
    ORLAX_FreeMem(context, data.data);
  }
  return lines;
}

inline std::string ErrorText(uint32_t code) {
  char buffer[1024];
  const char* text = ORLAX_GetErrorText(code, buffer, sizeof buffer);
  return text != nullptr ? text : "";
}

inline std::string RandomBytes(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

// Verifies an attached signed file with the copy to LOCAL off, as the
// service does; the library's result code.
inline uint32_t VerifyAttached(LibraryContext context, const fs::path& message) {
  VerifyParams params{};
  params.flags = ORLAX_VERIFY_NOT_COPY_TO_LOCAL;
  VerifyResult result{};
  const uint32_t code = ORLAX_CmsStrAttVerifyFile(context, &params, message.c_str(), nullptr, &result);
  ORLAX_FreeVerifyResult(context, &result);
  return code;
}

inline std::string Read(const fs::path& path) { return testsupport::ReadFileBytes(path); }

inline void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A context that closes itself.
class Ctx {
 public:
  Ctx() = default;
  explicit Ctx(LibraryContext c) : c_(c) {}
  ~Ctx() {
    if (c_ != nullptr) ORLAX_Uninitialize(c_);
  }
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;
  Ctx(Ctx&& other) noexcept : c_(other.c_) { other.c_ = nullptr; }
  LibraryContext get() const { return c_; }
  operator LibraryContext() const { return c_; }

 private:
  LibraryContext c_ = nullptr;
};

class LibraryTest : public ::testing::Test {
 protected:
  LibraryTest() : pki_(testsupport::TestPki::Shared()) {}

  // Opens a context on a holder's PSE and the PKI's LOCAL folder.
  Ctx Open(const std::string& who, const fs::path& local = {}, uint32_t flags = 0x4) {
    std::string pse = pki_.Pse(who).string();
    std::string loc = (local.empty() ? pki_.local : local).string();
    InitParams params{};
    params.size = sizeof params;
    params.flags = flags;
    params.pse = pse.c_str();
    params.local = loc.c_str();
    LibraryContext context = nullptr;
    uint32_t code = ORLAX_InitializeEx(1, &params, &context);
    EXPECT_EQ(code, 0u) << ErrorText(code);
    return Ctx(context);
  }

  fs::path File(const std::string& name) const { return root_.path() / "files" / name; }

  // A LOCAL folder with the shared root alone: a context on it signs for a
  // holder that the PKI's list revokes, since it holds no list.
  fs::path RootOnlyLocal() {
    const fs::path local = root_.path() / "root-only-local";
    if (!fs::exists(local)) {
      fs::create_directories(local);
      fs::copy_file(pki_.Cert("ca"), local / "ca.pem");
    }
    return local;
  }

  // An attached signature (DER) of `data` by a holder of `pki` made with the
  // openssl tool: also for holders the library refuses to sign with.
  fs::path ToolSigned(const testsupport::TestPki& pki, const std::string& who, const fs::path& data,
                      const fs::path& out) {
    std::string log;
    EXPECT_EQ(testsupport::RunOpenssl({"cms", "-sign", "-nodetach", "-binary", "-md", "md_gost12_256", "-signer",
                                       pki.Cert(who).string(), "-inkey", pki.Key(who).string(), "-in", data.string(),
                                       "-outform", "DER", "-out", out.string()},
                                      &log),
              0)
        << log;
    return out;
  }

  fs::path WriteInput(const std::string& name, const std::string& bytes) {
    Write(File(name), bytes);
    return File(name);
  }

  // The first certificate of a holder, found by its DN.
  FindResult Find(LibraryContext context, const std::string& who) {
    CertQuery query{};
    query.subjectKind = 4;
    std::string dn = pki_.Dn(who);
    query.subject = dn.c_str();
    FindResult result{};
    EXPECT_EQ(ORLAX_FindCert(context, &query, &result), 0u) << who;
    return result;
  }

  testsupport::TempRoot root_;
  const testsupport::TestPki& pki_;
};

}  // namespace qelmtest
