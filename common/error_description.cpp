#include "common/error_description.h"

#include "common/library_error_stack.h"
#include "platform/messages.h"

namespace {

CString TrimEnd(CString text) {
  text.TrimRight(L".\r\n");
  return text;
}

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

CString SystemDescription(DWORD code) {
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

CString LibraryDescription(DWORD code, LibraryContext context) {
  char buffer[1024] = {};
  CString text;
  if (ORLAX_GetErrorText(code, buffer, sizeof buffer) != nullptr) {
    buffer[sizeof buffer - 1] = '\0';  // whatever the library wrote, the text ends here
    text = CString(buffer);
  } else {
    text = kNoDescriptionText;
  }
  text.TrimRight(L".\r\n");
  LibraryErrorLines(context, text);
  return text;
}

bool IsLibraryCode(DWORD code) { return code == 0 || (code & 0x20000000u) != 0; }

}  // namespace

CString ErrorDescription(DWORD code, LibraryContext context) {
  if (code >= 0xFFFFFFF7u) return CString(kInvalidParameterText);
  if (IsLibraryCode(code)) return TrimEnd(LibraryDescription(code, context));
  return TrimEnd(SystemDescription(code));
}

namespace monitor {
CString ErrorDescription(DWORD code) { return TrimEnd(SystemDescription(code)); }
}  // namespace monitor
