#include "service/operations/unpack_entry_path.h"

#include "service/core/gzip_glue.h"
#include "service/core/result_codes.h"
#include "service/operations/minizip_files.h"
#include "service/operations/name_templates.h"

CString ToBackslashes(const CString& path) {
  CString result = path;
  result.Replace(L'/', L'\\');
  return result;
}

DWORD EntryNameToPath(const std::string& rawName, EntryPath& path) {
  path = EntryPath{};
  if (rawName.size() >= kEntryNameBuffer) return COMPRESS_E_OPEN_PACKED;
  path.folder = rawName.empty() || rawName.back() == '/' || rawName.back() == '\\';
  // ExpandDateTemplates trims "\" and "/" from both ends before it splits.
  CStringArray components;
  ExpandDateTemplates(ToBackslashes(EntryNameFromOem(rawName)), components);
  if (!path.folder) {
    path.fileName = components.IsEmpty() ? CString() : components[components.GetSize() - 1];
    if (!components.IsEmpty()) components.RemoveAt(components.GetSize() - 1);
    if (path.fileName.IsEmpty() || path.fileName == L"." || path.fileName == L"..") return ERR_ARCHIVE_PATH_OUTSIDE;
  }
  for (const CString& component : components) {
    if (component == L"..") return ERR_ARCHIVE_PATH_OUTSIDE;
    if (component.IsEmpty() || component == L".") continue;
    path.folders.Add(component);
  }
  return 0;
}

