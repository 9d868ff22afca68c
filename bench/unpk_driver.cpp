// The unpacking operation (UNPK) on one archive, for bench/unpk_bench.sh to
// time and measure from outside beside `unzip -qq`.
//
//   unpk_driver <archive> <work folder>
//
// The archive is moved into the rule's input folder; its entries land in
// <work folder>/out. Exits 0 when the archive was unpacked (it is gone from
// the input folder and nothing went to the error folder).

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/config_records.h"
#include "platform/codepage.h"
#include "service/core/journal.h"
#include "service/operations/operations.h"

namespace fs = std::filesystem;

namespace {

CString Wide(const std::string& text) { return CString(platform::MultiByteToWide(text, CP_UTF8).c_str()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <archive> <work folder>\n", argv[0]);
    return 2;
  }
  const fs::path archive = argv[1], work = argv[2];
  for (const char* folder : {"in", "out", "err", "journal"}) fs::create_directories(work / folder);

  RuleRecord rule;
  rule.pathIn = Wide((work / "in").string());
  rule.pathOut = Wide((work / "out").string());
  rule.pathError = Wide((work / "err").string());
  ProfileRecord profile;
  profile.rules.push_back(rule);

  const std::string name = archive.filename().string();
  fs::rename(archive, work / "in" / name);
  CStringArray names;
  names.Add(Wide(name));
  const RuleState state;
  WorkerState worker;
  worker.journalFiles.settings = MakeJournalSettings(L"Bench", 4000);
  const OperationCall call{.files = names,
                           .ruleIndex = 0,
                           .rule = profile.rules[0],
                           .state = state,
                           .worker = worker,
                           .journalFolder = Wide((work / "journal").string()),
                           .profileName = L"Bench",
                           .settings = ReadRuleSettings(profile, 0)};
  const DWORD result = UnpackArchives(call);
  const bool done = result == 0 && !fs::exists(work / "in" / name) && fs::is_empty(work / "err");
  if (!done) std::fprintf(stderr, "not unpacked; see %s\n", (work / "journal").c_str());
  return done ? 0 : 1;
}
