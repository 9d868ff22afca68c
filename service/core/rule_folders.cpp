#include "service/core/rule_folders.h"

#include <optional>

#include "common/operation_catalogue.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "service/core/path_names.h"

namespace {

// Where a folder lies on disk, every link on its path followed.
struct FolderIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  bool operator==(const FolderIdentity&) const = default;
};

// Nothing when the path is empty, missing, not a folder, or cannot be
// opened; the open holds nothing (no access asked) and shares everything.
std::optional<FolderIdentity> IdentityOf(const CString& path) {
  if (path.IsEmpty()) return std::nullopt;
  platform::FileHandle folder(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return std::nullopt;
  return FolderIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool SameFolderOnDisk(const std::optional<FolderIdentity>& input, const CString& other) {
  if (!input) return false;
  const std::optional<FolderIdentity> identity = IdentityOf(other);
  return identity && *identity == *input;
}

}  // namespace

RuleFolder FolderThatIsInput(const RuleRecord& rule) {
  struct Written {
    RuleFolder folder;
    bool written;
  };
  const Written folders[] = {
      {{L"Path Out", &rule.pathOut}, OperationHas(rule.operation, &OperationTraits::writesOutput)},
      {{L"Path Error", &rule.pathError}, true},
      {{L"Path Out 2", &rule.pathOut2}, IsOperation(rule.operation, Operation::kMove)},
  };
  const std::optional<FolderIdentity> input = IdentityOf(rule.pathIn);
  for (const Written& candidate : folders) {
    const CString& path = *candidate.folder.path;
    if (!candidate.written || path.IsEmpty()) continue;
    if (SameFolder(path, rule.pathIn) || SameFolderOnDisk(input, path)) return candidate.folder;
  }
  return RuleFolder{};
}

CString FolderIsInputText(const RuleRecord& rule, const RuleFolder& folder, const wchar_t* outcome) {
  CString text;
  text.Format(L"Значение '%s' совпадает со значением 'Path In' (%s)%s", folder.name, rule.pathIn.GetString(),
              outcome);
  return text;
}
