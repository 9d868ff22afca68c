// Feeds arbitrary bytes to the reader of user-group files (".grx"), which
// the configuration program reads from wherever the user points it. Besides
// crashes and sanitizer reports, it checks that the owners a file names,
// written again, are read back as the same owners.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "config/group_file.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Scratch();  // a private store: the ANSI code page is its default
  const std::vector<CString> owners = GroupFileOwners(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const CString& owner : owners)
    if (owner.Find(L'=') < 0) std::abort();
  if (GroupFileOwners(GroupFileBytes(owners)) != owners) std::abort();
  return 0;
}
