#include "service/core/path_names.h"

#include <string>

#include "platform/files.h"

namespace {

// The absolute form of a folder path without a trailing separator; empty
// when the path is empty or invalid.
std::wstring FullFolderPath(const CString& path) {
  if (path.IsEmpty()) return {};
  const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path, needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  while (full.size() > 1 && full.back() == L'/') full.pop_back();
  return full;
}

}  // namespace

CString JoinPath(const CString& folder, const CString& name) { return folder + L"/" + name; }

CString FolderOf(const CString& path) {
  int slash = path.ReverseFind(L'/');
  return slash < 0 ? CString() : path.Left(slash);
}

CString BareName(const CString& path) {
  int slash = path.ReverseFind(L'/');
  return slash < 0 ? path : path.Mid(slash + 1);
}

CString LastExtension(const CString& name) {
  int dot = name.ReverseFind(L'.');
  return dot < 0 ? CString() : name.Mid(dot + 1);
}

bool HasLastExtension(const CString& name, const CString& extension) {
  return name.ReverseFind(L'.') >= 0 && LastExtension(name) == extension;
}

bool CanStripExtension(const CString& name, const CString& extension) {
  return name.ReverseFind(L'.') > 0 && LastExtension(name) == extension;
}

bool IsBareExtension(const CString& name, const CString& extension) {
  return HasLastExtension(name, extension) && !CanStripExtension(name, extension);
}

CString WithoutLastExtension(const CString& name) {
  int dot = name.ReverseFind(L'.');
  return dot < 0 ? name : name.Left(dot);
}

bool SameFolder(const CString& a, const CString& b) {
  const std::wstring first = FullFolderPath(a);
  return !first.empty() && first == FullFolderPath(b);
}
