// The re-signing operation in stream mode on one input, for
// bench/resg_stream_memory.sh to time and measure from outside.
//
//   resg_stream_driver sign <data file> <signature> attached|detached
//       signs the data file as user1, stream-encoded (not measured);
//   resg_stream_driver resign <work folder> <listed name> attached|detached
//       re-signs what <work folder>/in holds (the signed message, or the data
//       file with its ".p7d") as user2, into a detached output.
//
// Exits 0 when the signature (or the output) was made.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/config_records.h"
#include "common/qelm_api.h"
#include "platform/codepage.h"
#include "service/core/journal.h"
#include "service/operations/operations.h"
#include "tests/support/library_context.h"
#include "tests/support/test_pki.h"

namespace fs = std::filesystem;

namespace {

CString Wide(const std::string& text) { return CString(platform::MultiByteToWide(text, CP_UTF8).c_str()); }

// A context on a holder's key and the test PKI's certificates.
LibraryContext OpenContext(const testsupport::TestPki& pki, const std::string& who) {
  LibraryContext context = nullptr;
  return testsupport::OpenLibraryContext(pki.Pse(who).string(), pki.local.string(), &context) == 0 ? context : nullptr;
}

int Sign(const testsupport::TestPki& pki, const fs::path& data, const fs::path& signature, bool detached) {
  LibraryContext context = OpenContext(pki, "user1");
  if (context == nullptr) return 1;
  SignParams params;
  std::memset(&params, 0, sizeof(params));
  params.flags = ORLAX_SIGN_ADD_CERT;
  const uint32_t rc = detached ? ORLAX_CmsStrDetSignFile(context, &params, data.c_str(), nullptr, signature.c_str())
                               : ORLAX_CmsStrAttSignFile(context, &params, data.c_str(), signature.c_str());
  ORLAX_Uninitialize(context);
  return rc == 0 ? 0 : 1;
}

int Resign(const testsupport::TestPki& pki, const fs::path& work, const std::string& name, bool detached) {
  for (const char* folder : {"in", "out", "err", "journal"}) fs::create_directories(work / folder);
  DirectoryProfileTable table(2);
  table[0].name = L"Bench";
  table[0].context = OpenContext(pki, "user1");
  table[1].name = L"Second";
  table[1].context = OpenContext(pki, "user2");
  if (table[0].context == nullptr || table[1].context == nullptr) return 1;

  RuleRecord rule;
  rule.zcsProfile = L"Bench";
  rule.resignProfile = L"Second";
  rule.pathIn = Wide((work / "in").string());
  rule.pathOut = Wide((work / "out").string());
  rule.pathError = Wide((work / "err").string());
  rule.inFormatDet = detached ? 1 : 0;
  rule.outFormatDet = 1;
  ProfileRecord profile;
  profile.rules.push_back(rule);
  profile.zcsProfiles = {L"Bench", L"Second"};

  CStringArray names;
  names.Add(Wide(name));
  RuleState state;
  state.resignTableIndex = 1;
  WorkerState worker;
  worker.journalFiles.settings = MakeJournalSettings(L"Bench", 4000);
  DWORD result = ResignFiles({.files = names,
                              .table = &table,
                              .ruleIndex = 0,
                              .rule = profile.rules[0],
                              .state = state,
                              .worker = worker,
                              .journalFolder = Wide((work / "journal").string()),
                              .profileName = L"Bench",
                              .settings = ReadRuleSettings(profile, 0)},
                             {.sigExt = L"p7s", .dsigExt = L"p7d", .verifyFileExt = L"vrf"});
  for (DirectoryProfileContext& entry : table) ORLAX_Uninitialize(entry.context);
  const std::string dataName = detached ? name : fs::path(name).stem().string();
  const bool done = result == 0 && fs::exists(work / "out" / (dataName + ".p7d"));
  if (!done) std::fprintf(stderr, "the input was not re-signed; see %s\n", (work / "journal").c_str());
  return done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "sign") != 0 && std::strcmp(argv[1], "resign") != 0)) {
    std::fprintf(stderr, "usage: %s sign <data> <signature> attached|detached\n"
                         "       %s resign <work folder> <listed name> attached|detached\n",
                 argv[0], argv[0]);
    return 2;
  }
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  const bool detached = std::strcmp(argv[4], "detached") == 0;
  if (std::strcmp(argv[1], "sign") == 0) return Sign(pki, argv[2], argv[3], detached);
  return Resign(pki, argv[2], argv[3], detached);
}
