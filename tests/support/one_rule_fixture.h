#pragma once
// One rule on private folders, as the pipeline and operation tests call the
// service's code directly: a TempRoot (its own store and TMPDIR), the rule's
// folders in, out and err and the journal folder below it, the driven clock
// (UTC) at 09/12/2026 14:05:09, journals of profile "P", one rule reading in
// and writing out, the journals read back as text, and the small file
// helpers these tests share. Every test gets all of it anew, so the tests
// run in parallel.
// Header only: test_support does not link the service; its users do.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/config_records.h"
#include "platform/cstring.h"
#include "platform/files.h"
#include "service/core/journal.h"
#include "service/core/rule_settings.h"
#include "service/core/worker_state.h"
#include "service/operations/operations.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace testsupport {

// Random contents of a size, the same for the same seed.
inline std::string Bytes(std::size_t size, unsigned seed = 7) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// Writes a whole file, its folders created.
inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}
inline std::string Read(const std::filesystem::path& path) { return ReadFileBytes(path); }

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every file below a folder, as paths relative to it with "/", sorted;
// folders end in "/".
inline std::vector<std::string> Tree(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    // Lexically: a link is named as itself, never as where it leads.
    std::string name = entry.path().lexically_relative(folder).generic_string();
    if (entry.is_directory() && !entry.is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A claim on a file held by a live process, as another instance working on
// it holds one: the pipeline must pass such a ".stp" over, never take it back.
class LiveClaim {
 public:
  explicit LiveClaim(const std::filesystem::path& path) : handle_(platform::ClaimFile(Wide(path))) {}
  ~LiveClaim() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  LiveClaim(const LiveClaim&) = delete;
  LiveClaim& operator=(const LiveClaim&) = delete;
  bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

class OneRuleTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kNow = 1796825109;  // 09/12/2026 14:05:09 UTC
  static constexpr const char* kDay = "2026.12.09";
  static constexpr const char* kTime = "14:05:09 09/12/2026";

  // The rule's description, as the journal names it: "Правило 1 ('<it>')".
  explicit OneRuleTest(const wchar_t* description = L"Тест") : description_(description) {}

  void SetUp() override {
    worker_.journalFiles.settings = MakeJournalSettings(L"P", 4000);
    in_ = root_.Dir("in");
    out_ = root_.Dir("out");
    err_ = root_.Dir("err");
    journal_ = root_.Dir("journal");
    RuleRecord rule;
    rule.pathIn = Wide(in_);
    rule.pathOut = Wide(out_);
    rule.pathError = Wide(err_);
    rule.description = description_;
    profile_.rules.push_back(rule);
  }

  RuleRecord& Rule() { return profile_.rules[0]; }

  // A list of names as the dispatch hands it to an operation.
  static CStringArray Names(const std::vector<std::string>& names) {
    CStringArray list;
    for (const std::string& name : names) list.Add(Wide(name));
    return list;
  }
  // Writes a file into a folder (the input folder by default).
  static std::filesystem::path Put(const std::filesystem::path& folder, const std::string& name,
                                   const std::string& content) {
    WriteBytes(folder / name, content);
    return folder / name;
  }
  std::filesystem::path Put(const std::string& name, const std::string& content) const {
    return Put(in_, name, content);
  }
  // The file names in a folder, sorted (see Tree for a whole tree).
  static std::vector<std::string> Listing(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Outputs are written under ".~" + their name + "." + 24 hex digits +
  // ".part" first: that many bytes more than their own names.
  static constexpr std::size_t kStagedNameOverhead = 32;

  // Gives the rule new in, out and error folders, named with round: a run
  // takes claims back (and removes what a killed writer left) once per folder
  // it meets, so each case of a table of killed runs needs folders of its own.
  void UseFreshFolders(int round) {
    const std::string tag = std::to_string(round);
    in_ = root_.Dir("in" + tag);
    out_ = root_.Dir("out" + tag);
    err_ = root_.Dir("err" + tag);
    Rule().pathIn = Wide(in_);
    Rule().pathOut = Wide(out_);
    Rule().pathError = Wide(err_);
  }

  // Makes a folder below the root whose path is exactly `length` bytes long
  // and makes it the rule's "Path Out": names in it whose path reaches the
  // layer's limit (4096 bytes) cannot be created, while shorter ones can.
  void UseOutputFolderOfLength(std::size_t length) {
    std::filesystem::path folder = root_.path();
    while (folder.string().size() < length) {
      const std::size_t left = length - folder.string().size() - 1;
      folder /= std::string(std::min<std::size_t>(left, 200), 'd');
    }
    std::filesystem::create_directories(folder);
    ASSERT_EQ(folder.string().size(), length);
    out_ = folder;
    Rule().pathOut = Wide(out_);
  }

  // The journal folder as the operations take it.
  CString Journal() const { return Wide(journal_); }
  // What an operation receives for the rule: the files, a profile's first
  // rule (the fixture's own profile, or another) with the fixture's state of
  // it and its journal files, the directory profile table if the fixture has
  // one, this fixture's journal, profile "P", and
  // the rule's settings read as the dispatch reads them (so set the rule's
  // values before making the call).
  OperationCall Call(const CStringArray& files, const ProfileRecord& profile) {
    return {.files = files,
            .table = Table(),
            .ruleIndex = 0,
            .rule = profile.rules[0],
            .state = state_,
            .worker = worker_,
            .journalFolder = Journal(),
            .profileName = L"P",
            .settings = ReadRuleSettings(profile, 0)};
  }
  OperationCall Call(const CStringArray& files) { return Call(files, profile_); }
  // The library contexts an operation gets: none here (see CryptoRuleTest).
  virtual const DirectoryProfileTable* Table() const { return nullptr; }
  std::string Operations() const { return Read(journal_ / (std::string(kDay) + " P.txt")); }
  std::string Errors() const { return Read(journal_ / (std::string(kDay) + " P - errors.txt")); }
  // What a record of the journals starts with: its time and the separator.
  static std::string Prefix() { return std::string(kTime) + " | "; }

  // The lines of the operations journal.
  std::vector<std::string> Records() const {
    std::vector<std::string> lines;
    const std::string all = Operations();
    for (std::size_t at = 0; at < all.size();) {
      std::size_t end = all.find("\r\n", at);
      if (end == std::string::npos) end = all.size();
      lines.push_back(all.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  }
  // Every line of the operations journal that carries `part`.
  std::vector<std::string> RecordsWith(const std::string& part) const {
    std::vector<std::string> lines;
    for (const std::string& line : Records())
      if (Contains(line, part)) lines.push_back(line);
    return lines;
  }
  // The line of the operations journal where `part` first appears ("" when
  // it does not).
  std::string RecordWith(const std::string& part) const {
    const std::string all = Operations();
    const std::size_t at = all.find(part);
    if (at == std::string::npos) return "";
    std::size_t begin = all.rfind("\r\n", at);
    begin = begin == std::string::npos ? 0 : begin + 2;
    return all.substr(begin, all.find("\r\n", at) - begin);
  }

  TempRoot root_;
  DrivenClock clock_{root_, kNow};
  std::filesystem::path in_, out_, err_, journal_;
  ProfileRecord profile_;
  RuleState state_;     // the worker's state of the rule (its table positions)
  WorkerState worker_;  // the worker's journal files and run memory

 private:
  const wchar_t* description_;
};

}  // namespace testsupport
