#include "platform/handles.h"

#include <mutex>
#include <unordered_map>

#include "platform/errors.h"

namespace platform {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<HANDLE, std::unique_ptr<KernelObject>> objects;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives as long as the process
  return *table;
}

}  // namespace

HANDLE RegisterHandle(std::unique_ptr<KernelObject> object) {
  HandleTable& table = Table();
  HANDLE handle = object.get();
  std::lock_guard guard(table.lock);
  table.objects.emplace(handle, std::move(object));
  return handle;
}

KernelObject* LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  auto it = table.objects.find(handle);
  if (it == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second.get();
}

}  // namespace platform

BOOL CloseHandle(HANDLE handle) {
  std::unique_ptr<platform::KernelObject> object;
  {
    platform::HandleTable& table = platform::Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(handle);
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.objects.erase(it);
  }
  // Destroyed outside the table's lock: closing a file may take other locks.
  object.reset();
  return TRUE;
}
