#pragma once
// What the tests of the archive and program operations share: a private root
// with input, output, error and journal folders, a driven clock (UTC), a
// profile with one rule, the journals as text, and zip archives patched by
// hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "common/config_records.h"
#include "service/core/journal.h"
#include "service/operations/operations.h"
#include "tests/service/operations/operation_test_files.h"
#include "tests/support/driven_clock.h"
#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"

namespace fileops {

namespace fs = std::filesystem;

using optest::Bytes;
using optest::Contains;
using optest::Read;
using optest::Utf8;
using optest::Wide;
using optest::WriteBytes;

// Every file below a folder, as paths relative to it with "/", sorted;
// folders end in "/".
inline std::vector<std::string> Tree(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    // Lexically: a link is named as itself, never as where it leads.
    std::string name = entry.path().lexically_relative(folder).generic_string();
    if (entry.is_directory() && !entry.is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::uint32_t Le32(const std::string& bytes, size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
inline void PutLe32(std::string& bytes, size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Sets the uncompressed size (or, with crc, the CRC) that the local and the
// central header of every entry declare.
inline void ForgeZipField(std::string& zip, bool crc, std::uint32_t value) {
  for (size_t at = 0; (at = zip.find("PK\3\4", at)) != std::string::npos; at += 4) PutLe32(zip, at + (crc ? 14 : 22), value);
  for (size_t at = 0; (at = zip.find("PK\1\2", at)) != std::string::npos; at += 4) PutLe32(zip, at + (crc ? 16 : 24), value);
}

// Runs zip, unzip or gzip in a folder (through sh only to change folder;
// every argument is quoted).
inline testsupport::ProgramResult Tool(const fs::path& folder, const std::vector<std::string>& command) {
  std::string line = "cd '" + folder.string() + "' &&";
  for (const std::string& part : command) line += " '" + part + "'";
  return testsupport::RunProgram("/bin/sh", {"-c", line});
}

class FileRuleTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kNow = 1796825109;  // 09/12/2026 14:05:09 UTC
  static constexpr const char* kDay = "2026.12.09";

  void SetUp() override {
    SetJournalSettings(L"P", 4000);
    in_ = root_.Dir("in");
    out_ = root_.Dir("out");
    err_ = root_.Dir("err");
    journal_ = root_.Dir("journal");
    RuleRecord rule;
    rule.pathIn = Wide(in_.string());
    rule.pathOut = Wide(out_.string());
    rule.pathError = Wide(err_.string());
    rule.description = L"Проба";
    profile_.rules.push_back(rule);
  }

  RuleRecord& Rule() { return profile_.rules[0]; }
  static CStringArray Names(const std::vector<std::string>& names) {
    CStringArray list;
    for (const std::string& name : names) list.Add(Wide(name));
    return list;
  }
  fs::path Put(const std::string& name, const std::string& content) {
    WriteBytes(in_ / name, content);
    return in_ / name;
  }
  CString Journal() const { return Wide(journal_.string()); }
  std::string Operations() const { return Read(journal_ / (std::string(kDay) + " P.txt")); }
  std::string Errors() const { return Read(journal_ / (std::string(kDay) + " P - errors.txt")); }
  // The lines of the operations journal.
  std::vector<std::string> Records() const {
    std::vector<std::string> lines;
    const std::string all = Operations();
    for (size_t at = 0; at < all.size();) {
      size_t end = all.find("\r\n", at);
      if (end == std::string::npos) end = all.size();
      lines.push_back(all.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  }
  static std::vector<std::string> Listing(const fs::path& folder) { return Tree(folder); }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_, kNow};
  fs::path in_, out_, err_, journal_;
  ProfileRecord profile_;
};

}  // namespace fileops
