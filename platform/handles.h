#pragma once
// Kernel objects behind HANDLE values: files, find searches, events, mutexes,
// threads, processes, event sources. Each area of the layer derives its own
// object from KernelObject; the table below owns them until CloseHandle.

#include <memory>

#include "platform/windows_types.h"

// Closes any handle made by the layer. FALSE with 6 (ERROR_INVALID_HANDLE)
// for a null, INVALID_HANDLE_VALUE or unknown handle.
BOOL CloseHandle(HANDLE handle);

namespace platform {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
};

// Takes ownership and returns the new handle.
HANDLE RegisterHandle(std::unique_ptr<KernelObject> object);

// The object behind a handle of the wanted type, or null with last error 6.
// The object stays valid until CloseHandle of that handle; callers must not
// close a handle that another thread is using.
KernelObject* LookupHandle(HANDLE handle);

template <typename T>
T* LookupHandleAs(HANDLE handle);

}  // namespace platform

namespace platform {

// Owns one handle of the layer and closes it on every way out. Close() closes
// it early and returns CloseHandle's result (TRUE when nothing was held), for
// callers that report a failed close. Not copyable.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  BOOL Close() {
    if (!valid()) return TRUE;
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h);
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace platform

// Implementation of the template lookup: a handle of another type counts as
// invalid (6), as on Windows when a file handle is waited on as an event.
#include "platform/errors.h"
template <typename T>
T* platform::LookupHandleAs(HANDLE handle) {
  KernelObject* object = LookupHandle(handle);
  if (object == nullptr) return nullptr;
  T* typed = dynamic_cast<T*>(object);
  if (typed == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}
