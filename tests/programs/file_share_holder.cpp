// Opens one file through the layer and holds it, so that tests can check
// share modes between two processes.
//
//   file_share_holder <path> <access hex> <share> <disposition>
//   file_share_holder <path> claim
//
// Prints the open's (or the claim's) result code (0: opened) and a newline,
// then keeps the handle until its standard input reaches end of file.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/utf16.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[2]) == "claim") {
    HANDLE claim = platform::ClaimFile(platform::Utf8ToWide(argv[1]).c_str());
    std::printf("%lu\n", claim == INVALID_HANDLE_VALUE ? static_cast<unsigned long>(GetLastError()) : 0UL);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    if (claim != INVALID_HANDLE_VALUE) CloseHandle(claim);
    return 0;
  }
  if (argc != 5) {
    std::fprintf(stderr, "usage: file_share_holder <path> <access hex> <share> <disposition>\n");
    return 2;
  }
  const std::wstring path = platform::Utf8ToWide(argv[1]);
  const DWORD access = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 16));
  const DWORD share = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
  const DWORD disposition = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10));
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::printf("%lu\n", file == INVALID_HANDLE_VALUE ? static_cast<unsigned long>(GetLastError()) : 0UL);
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}
