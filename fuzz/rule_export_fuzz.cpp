// Feeds arbitrary bytes to the reader of rule export files (".prx"), which
// the configuration program imports from wherever the user points it.
// Besides crashes and sanitizer reports, it checks the property the export
// relies on: the rules a file gives, when they can be exported, write a file
// that imports as the same rules.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/rule_export.h"
#include "fuzz/fuzz_scratch.h"

namespace {

bool SameRules(const std::vector<RuleRecord>& a, const std::vector<RuleRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (RuleExportRecord(a[i]) != RuleExportRecord(b[i]) || a[i].masks != b[i].masks ||
        a[i].recipients != b[i].recipients || a[i].signerLists.size() != b[i].signerLists.size())
      return false;
    for (std::size_t k = 0; k < a[i].signerLists.size(); ++k)
      if (a[i].signerLists[k].name != b[i].signerLists[k].name ||
          a[i].signerLists[k].signers != b[i].signerLists[k].signers)
        return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Scratch();  // a private store: the ANSI code page is its default
  const std::vector<RuleRecord> rules = ParseRulesExport(std::string(reinterpret_cast<const char*>(data), size));
  std::string written;
  int refused = -1;
  if (!BuildRulesExport(rules, written, refused)) {
    if (refused < 0 || static_cast<std::size_t>(refused) >= rules.size()) std::abort();
    (void)ExportRefusalText(rules[static_cast<std::size_t>(refused)], refused);
    return 0;
  }
  if (!SameRules(rules, ParseRulesExport(written))) std::abort();
  return 0;
}
