#include "platform/messages.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"

namespace {

constexpr DWORD kSystemFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
const DWORD kDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The system text of a code as the error-text helpers ask for it; "" when
// there is none, with the last error left for the caller.
std::wstring SystemText(DWORD code) {
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(kSystemFlags, nullptr, code, kDefaultLanguage, reinterpret_cast<LPWSTR>(&text), 0,
                                nullptr);
  std::wstring result = length ? std::wstring(text, length) : std::wstring();
  if (length) {
    EXPECT_EQ(result.size(), std::wcslen(text));
  }
  LocalFree(text);
  return result;
}

// Every code of the layer's error list has a Russian text shaped as system
// texts are: non-empty, ending ".\r\n", with no insert sequences.
TEST(MessagesTest, EveryLayerCodeHasARussianSystemText) {
  const DWORD codes[] = {
      ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES,
      ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA, ERROR_OUTOFMEMORY,
      ERROR_INVALID_DRIVE, ERROR_CURRENT_DIRECTORY, ERROR_NOT_SAME_DEVICE, ERROR_NO_MORE_FILES, ERROR_WRITE_PROTECT,
      ERROR_NOT_READY, ERROR_SEEK, ERROR_WRITE_FAULT, ERROR_READ_FAULT, ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION,
      ERROR_LOCK_VIOLATION, ERROR_HANDLE_EOF, ERROR_HANDLE_DISK_FULL, ERROR_NOT_SUPPORTED, ERROR_BAD_NETPATH,
      ERROR_NETWORK_ACCESS_DENIED, ERROR_BAD_NET_NAME, ERROR_FILE_EXISTS, ERROR_CANNOT_MAKE, ERROR_INVALID_PARAMETER,
      ERROR_BROKEN_PIPE, ERROR_OPEN_FAILED, ERROR_BUFFER_OVERFLOW, ERROR_DISK_FULL, ERROR_CALL_NOT_IMPLEMENTED,
      ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_NAME, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_NEGATIVE_SEEK,
      ERROR_DIR_NOT_EMPTY, ERROR_BUSY, ERROR_BAD_PATHNAME, ERROR_ALREADY_EXISTS, ERROR_FILENAME_EXCED_RANGE,
      ERROR_BAD_EXE_FORMAT, ERROR_FILE_TOO_LARGE, ERROR_MORE_DATA, WAIT_TIMEOUT_ERROR, ERROR_NO_MORE_ITEMS,
      ERROR_DIRECTORY, ERROR_NOT_OWNER, ERROR_TOO_MANY_POSTS, ERROR_MR_MID_NOT_FOUND, ERROR_INVALID_ADDRESS,
      ERROR_ARITHMETIC_OVERFLOW, ERROR_IO_DEVICE, ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_DEPENDENT_SERVICES_RUNNING,
      ERROR_INVALID_SERVICE_CONTROL, ERROR_SERVICE_ALREADY_RUNNING, ERROR_INVALID_SERVICE_ACCOUNT,
      ERROR_SERVICE_DISABLED, ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
      ERROR_SERVICE_NOT_ACTIVE, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, ERROR_SERVICE_MARKED_FOR_DELETE,
      ERROR_SERVICE_EXISTS, ERROR_INVALID_SERVICE_LOCK, ERROR_SERVICE_NEVER_STARTED, ERROR_DUPLICATE_SERVICE_NAME,
      ERROR_INVALID_FLAGS, ERROR_BADDB, ERROR_BADKEY, ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE,
      ERROR_REGISTRY_CORRUPT, ERROR_KEY_DELETED, ERROR_CHILD_MUST_BE_VOLATILE, ERROR_NO_UNICODE_TRANSLATION,
      ERROR_NONE_MAPPED, ERROR_INVALID_SID, ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_ACL,
      ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_TIMEOUT, ERROR_CANT_RESOLVE_FILENAME, ERROR_DISK_QUOTA_EXCEEDED,
      ERROR_INTERNAL_ERROR};
  for (DWORD code : codes) {
    SCOPED_TRACE(code);
    std::wstring text = SystemText(code);
    ASSERT_GT(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 3), L".\r\n");
    EXPECT_EQ(text.find(L'%'), std::wstring::npos);
    bool cyrillic = false;
    for (wchar_t c : text) cyrillic = cyrillic || (c >= 0x410 && c <= 0x44F);
    EXPECT_TRUE(cyrillic);
  }
  EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), L"Отказано в доступе.\r\n");
  EXPECT_EQ(SystemText(0x80070005), SystemText(ERROR_ACCESS_DENIED));  // HRESULT wrapping a Windows code
}

TEST(MessagesTest, UnknownCodesAndLibraryCodesHaveNoSystemText) {
  for (DWORD code : {0xE0700046u, 0x20000001u, 12002u /* an internet-library code */, 0xFFFFFFFFu}) {
    SetLastError(0);
    LPWSTR text = reinterpret_cast<LPWSTR>(0x1);
    EXPECT_EQ(FormatMessageW(kSystemFlags, nullptr, code, kDefaultLanguage, reinterpret_cast<LPWSTR>(&text), 0,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(text, nullptr);  // nothing to free
  }
}

TEST(MessagesTest, CallerBufferMustHoldTextAndTerminator) {
  std::wstring expected = L"Отказано в доступе.\r\n";
  wchar_t buffer[64];
  DWORD exact = static_cast<DWORD>(expected.size() + 1);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, exact, nullptr), expected.size());
  EXPECT_EQ(std::wstring(buffer), expected);
  SetLastError(0);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, exact - 1, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, nullptr, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // An allocated text has the asked minimum, up to the system's 64 KiB.
  LPWSTR allocated = nullptr;
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0,
                           reinterpret_cast<LPWSTR>(&allocated), 32768, nullptr),
            expected.size());
  ASSERT_NE(allocated, nullptr);
  allocated[32767] = L'\0';  // the whole minimum is there to write
  LocalFree(allocated);
  allocated = nullptr;
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0,
                           reinterpret_cast<LPWSTR>(&allocated), 0xFFFFFFFF, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(allocated, nullptr);

  // Width bits 0xFF turn the text's own line breaks into blanks.
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, 5, 0, buffer, 64,
                           nullptr),
            expected.size() - 1);
  EXPECT_EQ(std::wstring(buffer), L"Отказано в доступе. ");
}

TEST(MessagesTest, WininetIsNeverLoadedSoItsTableIsNeverSearched) {
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(L"wininet.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetModuleHandleW(L"wininet"), nullptr);
  EXPECT_EQ(LoadLibraryW(L"wininet.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_NE(GetModuleHandleW(nullptr), nullptr);  // the program itself

  // A module's own table is empty; with the system table added the system
  // text is found.
  HMODULE self = GetModuleHandleW(nullptr);
  wchar_t buffer[128];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, self, 12002, 0, buffer, 128,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, self, 2, 0, buffer, 128, nullptr),
            0u);
}

DWORD FormatFromArguments(wchar_t* buffer, DWORD size, const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING, format, 0, 0, buffer, size, &arguments);
  va_end(arguments);
  return n;
}

TEST(MessagesTest, StringSourceWithAndWithoutInserts) {
  wchar_t buffer[128];
  const wchar_t* format = L"Файл %1 (%2!d! байт)%n100%% %3";
  DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(L"a.txt"), 42, reinterpret_cast<DWORD_PTR>(L"готово")};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, format, 0, 0, buffer, 128,
                           reinterpret_cast<va_list*>(args));
  EXPECT_EQ(std::wstring(buffer, n), L"Файл a.txt (42 байт)\r\n100% готово");
  n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, format, 0, 0, buffer, 128, nullptr);
  EXPECT_EQ(std::wstring(buffer, n), format);

  // Number forms keep flags and width; the size prefix follows the argument.
  DWORD_PTR numbers[] = {0xC0020002, 0x1122334455667788ull, 7};
  n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, L"%1!08lX! %2!I64x! %3!3d!%0", 0,
                     0, buffer, 128, reinterpret_cast<va_list*>(numbers));
  EXPECT_EQ(std::wstring(buffer, n), L"C0020002 1122334455667788   7");

  // From a va_list, inserts may come in any order and repeat.
  n = FormatFromArguments(buffer, 128, L"%2 после %1, снова %2", L"первый", L"второй");
  EXPECT_EQ(std::wstring(buffer, n), L"второй после первый, снова второй");
}

TEST(MessagesTest, LocalAllocZeroesOnRequestAndLocalFreeAcceptsNull) {
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
}

}  // namespace
