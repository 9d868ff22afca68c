#include "service/core/path_names.h"

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
