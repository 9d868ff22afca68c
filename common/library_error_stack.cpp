#include "common/library_error_stack.h"

#include "platform/files.h"

namespace {

// A stack keeps a bounded number of lines; the bound here only guards the
// reader against a library that never reports the end.
constexpr size_t kMaxEntries = 4096;

// The blob's text up to its first NUL or its length, whichever comes first.
CStringA BlobText(const DataBlob& blob) {
  if (blob.data == nullptr || blob.length == 0) return CStringA();
  const char* bytes = reinterpret_cast<const char*>(blob.data);
  size_t length = 0;
  while (length < blob.length && bytes[length] != '\0') ++length;
  return CStringA(bytes, static_cast<int>(length));
}

void Release(LibraryContext context, DataBlob& blob) {
  if (blob.data != nullptr && blob.length > 0) ORLAX_FreeMem(context, blob.data);
  blob = DataBlob{};
}

}  // namespace

std::vector<LibraryErrorEntry> ReadLibraryErrorEntries(LibraryContext context,
                                                       LibraryContext releaseContext) {
  std::vector<LibraryErrorEntry> entries;
  while (entries.size() < kMaxEntries) {
    DataBlob text{};
    DataBlob file{};
    DataBlob data{};
    uint32_t line = 0;
    const uint32_t rc = ORLAX_GetErrorLineEx(context, &text, &file, &line, &data);
    // The library was handed held folders and claimed files by descriptor
    // (platform::PathThroughHeld); its lines name them as configured.
    if (rc == 0)
      entries.push_back({BlobText(text), BlobText(file), line,
                         CStringA(CString(platform::ShownHeldPaths(CString(BlobText(data)).GetString()).c_str()))});
    // Released on the end result too: a library may hand out buffers with it.
    Release(releaseContext, text);
    Release(releaseContext, file);
    Release(releaseContext, data);
    if (rc != 0) break;
  }
  return entries;
}

CString FormatLibraryErrorEntries(const std::vector<LibraryErrorEntry>& entries) {
  CString text;
  int number = 0;
  for (const LibraryErrorEntry& entry : entries) {
    text.AppendFormat(L"ORLAX стек, ошибка номер %d ", ++number);
    text += L"\r\nError: ";
    text += CString(entry.text);
    text += L"\r\nFile: ";
    text += CString(entry.file);
    text += L"\r\nData: ";
    text += CString(entry.data);
    text += L"\r\n";
  }
  return text;
}

CString LibraryErrorLineText(const std::vector<LibraryErrorEntry>& entries) {
  CString text;
  for (const LibraryErrorEntry& entry : entries) {
    text.AppendFormat(L"%s,\r\nфайл: %s, строка %d, данные: %s.\r\n", CString(entry.text),
                      CString(entry.file), static_cast<int>(entry.line), CString(entry.data));
  }
  return text;
}

CString FormatLibraryErrorStack(LibraryContext context) {
  // The buffers are released without a context, which the library allows.
  return FormatLibraryErrorEntries(ReadLibraryErrorEntries(context, nullptr));
}

void LibraryErrorLines(LibraryContext context, CString& text) {
  if (context == nullptr) return;
  const CString lines = LibraryErrorLineText(ReadLibraryErrorEntries(context, context));
  text += L"\r\n";
  text += lines;
}

void DropLibraryErrorLines(LibraryContext context) { ReadLibraryErrorEntries(context, context); }
