// Feeds arbitrary bytes to the .reg file reader of the reg tool. Besides
// crashes and sanitizer reports, it checks the property the tool relies on:
// whatever a file parses to, writing it out and reading it back gives the
// same keys and the same value bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/tools/reg_file.h"

namespace {

bool SameValues(const std::vector<regtool::RegSection>& a, const std::vector<regtool::RegSection>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || a[i].values.size() != b[i].values.size()) return false;
    for (std::size_t k = 0; k < a[i].values.size(); ++k) {
      const regtool::RegValue& x = a[i].values[k];
      const regtool::RegValue& y = b[i].values[k];
      if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
    }
  }
  return true;
}

bool HasDeletions(const std::vector<regtool::RegSection>& sections) {
  for (const regtool::RegSection& s : sections) {
    if (s.remove) return true;
    for (const regtool::RegValue& v : s.values)
      if (v.remove) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  if (!regtool::DecodeRegFile(std::string(reinterpret_cast<const char*>(data), size), text)) return 0;
  std::vector<regtool::RegSection> sections;
  std::wstring error;
  if (!regtool::ParseRegFile(text, sections, error) || HasDeletions(sections)) return 0;

  std::string written = regtool::EncodeRegFile(regtool::FormatRegFile(sections));
  std::wstring reread;
  std::vector<regtool::RegSection> again;
  if (!regtool::DecodeRegFile(written, reread) || !regtool::ParseRegFile(reread, again, error) ||
      !SameValues(sections, again))
    std::abort();
  return 0;
}
