#include "common/error_description.h"

#include "platform/messages.h"

// Kept apart from the library branch, so that the monitor, which has no
// cryptographic library, links none of it.

namespace {

// A text the system allocated for FormatMessageW, released on every exit.
class LocalText {
 public:
  LocalText() = default;
  ~LocalText() {
    if (text_ != nullptr) LocalFree(text_);
  }
  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;
  LPWSTR* receiver() { return &text_; }
  const wchar_t* get() const { return text_; }

 private:
  LPWSTR text_ = nullptr;
};

bool MessageFrom(DWORD source, LPCVOID module, DWORD code, CString& text) {
  LocalText buffer;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source, module, code, 0,
      reinterpret_cast<LPWSTR>(buffer.receiver()), 0, nullptr);
  if (length == 0 || buffer.get() == nullptr) return false;
  text = CString(buffer.get(), static_cast<int>(length));
  return true;
}

}  // namespace

CString SystemErrorText(DWORD code) {
  CString text;
  if (MessageFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, text)) return text;
  // The internet library's texts are used only when the program has loaded
  // it for its own work.
  if (HMODULE wininet = GetModuleHandleW(L"wininet");
      wininet != nullptr && MessageFrom(FORMAT_MESSAGE_FROM_HMODULE, wininet, code, text)) {
    return text;
  }
  return CString(kNoDescriptionText);
}

namespace monitor {
CString ErrorDescription(DWORD code) {
  CString text = SystemErrorText(code);
  text.TrimRight(L".\r\n");
  return text;
}
}  // namespace monitor
