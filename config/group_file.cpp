#include "config/group_file.h"

#include <algorithm>

#include "platform/codepage.h"
#include "config/whole_file.h"

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

bool ReadGroupFile(QWidget* owner, const CString& path, std::vector<CString>& candidates) {
  std::string bytes;
  if (!ReadWholeFile(owner, path, bytes)) return false;
  for (CString& dn : GroupFileOwners(bytes)) {
    if (std::find(candidates.begin(), candidates.end(), dn) == candidates.end()) {
      candidates.push_back(std::move(dn));
    }
  }
  return true;
}

bool WriteGroupFile(QWidget* owner, const CString& path, const std::vector<CString>& owners) {
  return WriteWholeFile(owner, path, GroupFileBytes(owners));
}
