// Feeds arbitrary bytes to EntryNameToPath as an archive entry's name: no
// name may give a path that leaves the output folder.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "platform/files.h"
#include "service/core/result_codes.h"
#include "service/operations/unpack_entry_path.h"

namespace {

const CString kOut = L"/out/folder";

void Check(bool holds) {
  if (!holds) std::abort();
}

// A component must be one name: not empty, no separator, not "." or "..".
void CheckComponent(const CString& component) {
  Check(!component.IsEmpty() && component != L"." && component != L"..");
  Check(component.Find(L'/') < 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Scratch();  // the code pages come from a private machine store
  EntryPath path;
  const DWORD rc = EntryNameToPath(std::string(reinterpret_cast<const char*>(data), size), path);
  if (rc != 0) {
    Check(rc == ERR_ARCHIVE_PATH_OUTSIDE || size >= kEntryNameBuffer);
    return 0;
  }
  CString joined = kOut;
  for (const CString& folder : path.folders) {
    CheckComponent(folder);
    joined += L"/" + folder;
  }
  Check(path.folder == path.fileName.IsEmpty());
  if (!path.folder) {
    CheckComponent(path.fileName);
    joined += L"/" + path.fileName;
  }
  // The path as Windows folds it stays below the output folder.
  wchar_t full[8192];
  const DWORD length = GetFullPathNameW(joined, 8192, full, nullptr);
  Check(length > 0 && length < 8192);
  const CString folded(full);
  Check(folded == kOut || folded.Left(kOut.GetLength() + 1) == kOut + L"/");
  return 0;
}
