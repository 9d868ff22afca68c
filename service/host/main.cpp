// mirelservice: the service program and the command line that controls it.

#include <clocale>
#include <string>
#include <vector>

#include "platform/utf16.h"
#include "service/host/command_line.h"

int main(int argc, char** argv) {
  // Text conversions and console output follow the user's locale.
  std::setlocale(LC_ALL, "");
  std::vector<std::wstring> wide;
  for (int i = 0; i < argc; ++i) wide.push_back(platform::Utf8ToWide(argv[i]));
  std::vector<wchar_t*> wideArgv;
  for (std::wstring& arg : wide) wideArgv.push_back(arg.data());
  wideArgv.push_back(nullptr);
  return wmain(argc, wideArgv.data());
}
