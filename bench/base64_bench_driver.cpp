// The Base64 codec as bench/base64_bench.sh times it from outside, next to
// coreutils base64: base64_bench_driver encode|decode SOURCE TARGET. The
// target must not exist (the codec never replaces a file).

#include <cstdio>
#include <cstring>

#include "service/operations/base64_codec.h"

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[1], "encode") != 0 && std::strcmp(argv[1], "decode") != 0)) {
    std::fprintf(stderr, "usage: %s encode|decode SOURCE TARGET\n", argv[0]);
    return 2;
  }
  const int encode = std::strcmp(argv[1], "encode") == 0 ? 1 : 0;
  const DWORD result = Base64File(argv[2], argv[3], encode);
  if (result != 0) {
    std::fprintf(stderr, "Base64File: 0x%X\n", static_cast<unsigned>(result));
    return 1;
  }
  return 0;
}
