// The sign-and-encrypt operation in stream mode on one file, for
// bench/stream_memory.sh to time and measure from outside: a rule that signs,
// time-stamps (local authority) and encrypts with a MAC cipher, no archive.
//
//   sgen_stream_driver <input file> <work folder>
//
// The input is moved into the rule's input folder; the output lands in
// <work folder>/out. Exits 0 when the file was signed and encrypted.

#include <cstdio>
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <input file> <work folder>\n", argv[0]);
    return 2;
  }
  const fs::path input = argv[1], work = argv[2];
  for (const char* folder : {"in", "out", "err", "journal", "pse"}) fs::create_directories(work / folder);
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  fs::copy_file(pki.Key("user1"), work / "pse" / "key.pem", fs::copy_options::overwrite_existing);
  fs::copy_file(pki.Cert("user1"), work / "pse" / "cert.pem", fs::copy_options::overwrite_existing);
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
  rule.encAlgorithm = 4;  // Кузнечик with its MAC
  rule.recipients = {Wide(dn)};
  rule.tableIndex = 0;
  ProfileRecord profile;
  profile.rules.push_back(rule);
  profile.zcsProfiles = {L"Bench"};
  profile.serverTsp = {Wide(server.Url("/tsa/"))};
  profile.autoUseTsp = {1};
  DirectoryProfileEntry entry;
  entry.name = L"Bench";
  entry.context = context;
  entry.initialised = 1;
  DirectoryProfileTable table{entry};
  SetJournalSettings(L"Bench", 4000);

  const std::string name = input.filename().string();
  fs::rename(input, work / "in" / name);
  CStringArray names;
  names.Add(Wide(name));
  DWORD result = SignAndEncryptFiles(names, table, 0, profile, Wide((work / "journal").string()), L"Bench", L"p7s",
                                     L"", L"p7e", found.certs, static_cast<int>(found.count));
  ORLAX_FreeFindResult(context, &found);
  ORLAX_Uninitialize(context);
  const bool done = result == 0 && fs::exists(work / "out" / (name + ".p7s.p7e"));
  if (!done) std::fprintf(stderr, "the file was not signed and encrypted; see %s\n", (work / "journal").c_str());
  return done ? 0 : 1;
}
