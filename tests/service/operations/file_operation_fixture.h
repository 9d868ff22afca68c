#pragma once
// A rule of the file utility operations on private folders: in, out, err and
// journal below a TempRoot, one rule ("Тест") reading in and writing out, the
// journals of profile P on the driven clock at 09/12/2026 14:05:09.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/cstring.h"
#include "common/config_records.h"
#include "service/core/journal.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace fileops {

namespace fs = std::filesystem;

inline std::string Utf8(const CString& text) { return platform::WideToMultiByte(text.str(), CP_UTF8); }
using testsupport::Wide;

class FileOperationTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kNow = 1796825109;  // 09/12/2026 14:05:09

  void SetUp() override {
    SetJournalSettings(L"P", 4000);
    in_ = root_.Dir("in");
    out_ = root_.Dir("out");
    err_ = root_.Dir("err");
    journal_ = root_.Dir("journal");
    RuleRecord rule;
    rule.pathIn = Wide(in_);
    rule.pathOut = Wide(out_);
    rule.pathError = Wide(err_);
    rule.description = L"Тест";
    profile_.rules.push_back(rule);
  }

  RuleRecord& rule() { return profile_.rules[0]; }

  static fs::path Put(const fs::path& folder, const std::string& name, const std::string& content) {
    std::ofstream(folder / name, std::ios::binary) << content;
    return folder / name;
  }
  static CStringArray List(const std::vector<std::string>& names) {
    CStringArray list;
    for (const std::string& name : names) list.Add(Wide(name));
    return list;
  }
  // The names in a folder, sorted.
  static std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Operations() const { return testsupport::ReadFileBytes(journal_ / "2026.12.09 P.txt"); }
  std::string Errors() const { return testsupport::ReadFileBytes(journal_ / "2026.12.09 P - errors.txt"); }
  CString JournalFolder() const { return Wide(journal_); }
  static std::string Prefix() { return "14:05:09 09/12/2026 | "; }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_, kNow};
  fs::path in_, out_, err_, journal_;
  ProfileRecord profile_;
};

}  // namespace fileops
