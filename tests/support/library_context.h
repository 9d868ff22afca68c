#pragma once
// Opening a library context on a holder's PSE folder and a LOCAL folder, as
// the tests and the bench drivers do: nothing is copied into LOCAL.
// Header only: test_support does not link the library; its users do.

#include <cstdint>
#include <cstring>
#include <string>

#include "common/qelm_api.h"

namespace testsupport {

inline std::uint32_t OpenLibraryContext(const std::string& pse, const std::string& local, LibraryContext* context) {
  InitParams params;
  std::memset(&params, 0, sizeof(params));
  params.size = sizeof(params);
  params.flags = ORLAX_INIT_NOT_COPY_TO_LOCAL;
  params.pse = pse.c_str();
  params.local = local.c_str();
  *context = nullptr;
  return ORLAX_InitializeEx(1, &params, context);
}

}  // namespace testsupport
