// The sign-and-encrypt operation in stream mode on one file, or the
// decrypt-and-verify operation on what it wrote, for bench/stream_memory.sh to
// time and measure from outside. SGEN: user1 signs, time-stamps (local
// authority) and encrypts for user2, no archive; DCCX: user2 decrypts and
// verifies, time stamps checked, no archive.
//
//   sgen_stream_driver [--dccx] <input file> <work folder> [cipher setting, default 4]
//
// The input is moved into the rule's input folder; the output lands in
// <work folder>/out. Exits 0 when the output is there. The cipher setting is
// the rule's "Enc algorythm" (4: Кузнечик with its MAC, 3: without).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/config_records.h"
#include "common/qelm_api.h"
#include "platform/codepage.h"
#include "service/core/journal.h"
#include "service/operations/operations.h"
#include "tests/support/http_server.h"
#include "tests/support/library_context.h"
#include "tests/support/test_pki.h"

namespace fs = std::filesystem;

namespace {

CString Wide(const std::string& text) { return CString(platform::MultiByteToWide(text, CP_UTF8).c_str()); }

}  // namespace

int main(int argc, char** argv) {
  const bool dccx = argc > 1 && std::strcmp(argv[1], "--dccx") == 0;
  if (dccx) {
    --argc;
    ++argv;
  }
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s [--dccx] <input file> <work folder> [cipher setting]\n", argv[0]);
    return 2;
  }
  const fs::path input = argv[1], work = argv[2];
  const int cipher = argc == 4 ? std::atoi(argv[3]) : 4;
  for (const char* folder : {"in", "out", "err", "journal", "pse"}) fs::create_directories(work / folder);
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  // SGEN signs as user1 for user2; DCCX opens it as user2.
  const char* holder = dccx ? "user2" : "user1";
  fs::copy_file(pki.Key(holder), work / "pse" / "key.pem", fs::copy_options::overwrite_existing);
  fs::copy_file(pki.Cert(holder), work / "pse" / "cert.pem", fs::copy_options::overwrite_existing);
  testsupport::LocalHttpServer server;
  server.EnableTimeStamping(pki, "/tsa/");

  std::string pse = (work / "pse").string(), local = pki.local.string();
  LibraryContext context = nullptr;
  if (testsupport::OpenLibraryContext(pse, local, &context) != 0) return 1;
  std::string dn = pki.Dn("user2");
  CertQuery query;
  std::memset(&query, 0, sizeof(query));
  query.subjectKind = ORLAX_SUBJECT_KIND_DN;
  query.subject = dn.c_str();
  FindResult found;
  std::memset(&found, 0, sizeof(found));
  if (ORLAX_FindCert(context, &query, &found) != 0) return 1;

  RuleRecord rule;
  rule.zcsProfile = L"Bench";
  rule.pathIn = Wide((work / "in").string());
  rule.pathOut = Wide((work / "out").string());
  rule.pathError = Wide((work / "err").string());
  rule.stream = 1;
  rule.encAlgorithm = cipher;
  rule.recipients = {Wide(dn)};
  ProfileRecord profile;
  profile.rules.push_back(rule);
  profile.zcsProfiles = {L"Bench"};
  profile.serverTsp = {Wide(server.Url("/tsa/"))};
  profile.autoUseTsp = {1};
  profile.autoVerifyTsp = {1};
  DirectoryProfileContext entry;
  entry.name = L"Bench";
  entry.context = context;
  DirectoryProfileTable table{entry};

  const std::string name = input.filename().string();
  fs::rename(input, work / "in" / name);
  CStringArray names;
  names.Add(Wide(name));
  const CString journal = Wide((work / "journal").string());
  const RuleState state;  // the directory profile at position 0 of the table
  WorkerState worker;
  worker.journalFiles.settings = MakeJournalSettings(L"Bench", 4000);
  const OperationCall call{.files = names,
                           .table = &table,
                           .ruleIndex = 0,
                           .rule = profile.rules[0],
                           .state = state,
                           .worker = worker,
                           .journalFolder = journal,
                           .profileName = L"Bench",
                           .settings = ReadRuleSettings(profile, 0)};
  DWORD result = dccx
                     ? DecryptAndVerifyFiles(call, {.sigExt = L"p7s",
                                                    .archExt = L"",
                                                    .encExt = L"p7e",
                                                    .extExt = nullptr,
                                                    .writeReport = false,
                                                    .verifyFileExt = L"vrf"})
                     : SignAndEncryptFiles(call, {.sigExt = L"p7s",
                                                  .archExt = L"",
                                                  .encExt = L"p7e",
                                                  .recipients = std::span<const CertRecord>(found.certs, found.count)});
  ORLAX_FreeFindResult(context, &found);
  ORLAX_Uninitialize(context);
  // DCCX takes the ".p7s.p7e" off; SGEN puts it on.
  const fs::path output =
      work / "out" / (dccx ? fs::path(name).stem().stem().string() : name + ".p7s.p7e");
  const bool done = result == 0 && fs::exists(output);
  if (!done) std::fprintf(stderr, "no %s; see %s\n", output.c_str(), (work / "journal").c_str());
  return done ? 0 : 1;
}
