#include "config/group_file.h"

#include "platform/codepage.h"

std::vector<CString> GroupFileOwners(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  std::vector<CString> owners;
  size_t start = 0;
  for (size_t end = bytes.find("\r\n"); end != std::string_view::npos; end = bytes.find("\r\n", start)) {
    const std::string_view line = bytes.substr(start, end - start);
    if (line.find('=') != std::string_view::npos) {
      owners.emplace_back(platform::MultiByteToWide(line).c_str());
    }
    start = end + 2;
  }
  return owners;
}

std::string GroupFileBytes(const std::vector<CString>& owners) {
  std::string bytes;
  for (const CString& owner : owners) {
    bytes += platform::WideToMultiByte(owner.GetString());
    bytes += "\r\n";
  }
  return bytes;
}
