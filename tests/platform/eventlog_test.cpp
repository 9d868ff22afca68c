#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/messages.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

// Reads the process user's SID the way the service's event-source opener
// does: size query, then the read into a buffer of that size.
std::vector<BYTE> ReadTokenUser() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(needed);
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, buffer.data(), needed - 1, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed));
  EXPECT_TRUE(CloseHandle(token));
  return buffer;
}

std::wstring SidString(PSID sid) {
  LPWSTR text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(sid, &text));
  std::wstring result = text ? text : L"";
  LocalFree(text);
  return result;
}

TEST(EventLogTest, TheServiceRecordReadsBackFromTheLogFile) {
  testsupport::TempRoot root;
  std::vector<BYTE> tokenUser = ReadTokenUser();
  PSID sid = reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;

  HANDLE source = RegisterEventSourceW(nullptr, L"qelmservice");
  ASSERT_NE(source, nullptr);
  std::wstring report =
      L"Открытие журнала 'C:|x'.\r\nОшибка 0x5 - Отказано в доступе.\r\n\\\\server\\share\r\n"
      L"имя\x0b\x1b[2J\x7f файла\r\n";
  LPCWSTR strings[3] = {report.c_str(), L"KVELLA AC: Service - handler.exe", L"Process: 0x1F, Thread: 0x2A"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0xC0020002, sid, 3, 0, strings, nullptr));
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));

  std::string file = testsupport::ReadFileBytes(root.path() / "eventlog/Application.log");
  ASSERT_EQ(std::count(file.begin(), file.end(), '\n'), 2) << "one line per record";

  std::vector<platform::EventLogRecord> records = platform::ReadEventLog();
  ASSERT_EQ(records.size(), 2u);
  const platform::EventLogRecord& r = records[0];
  EXPECT_EQ(r.source, "qelmservice");
  EXPECT_EQ(r.type, "ERROR");
  EXPECT_EQ(r.eventId, 0xC0020002u);
  EXPECT_EQ(r.time.size(), 19u);  // YYYY-MM-DD HH:MM:SS
  EXPECT_FALSE(r.user.empty());
  EXPECT_NE(r.user, "N/A");
  ASSERT_EQ(r.strings.size(), 3u);
  EXPECT_EQ(r.strings[0], platform::WideToUtf8(report));
  EXPECT_EQ(r.strings[1], "KVELLA AC: Service - handler.exe");
  EXPECT_EQ(r.strings[2], "Process: 0x1F, Thread: 0x2A");
  EXPECT_NE(file.find("| 0xC0020002 | user="), std::string::npos);
  EXPECT_NE(file.find("\\r\\nОшибка 0x5"), std::string::npos);  // line breaks written escaped
  EXPECT_NE(file.find("имя\\x0B\\x1B[2J\\x7F файла"), std::string::npos);  // and every control character
  EXPECT_EQ(file.find('\x1b'), std::string::npos);

  EXPECT_EQ(records[1].type, "WARNING");
  EXPECT_EQ(records[1].user, "N/A");
  EXPECT_TRUE(records[1].strings.empty());
}

TEST(EventLogTest, SidOfTheProcessUserFollowsTheUid) {
  testsupport::TempRoot root;
  std::vector<BYTE> tokenUser = ReadTokenUser();
  PSID sid = reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;
  ASSERT_TRUE(IsValidSid(sid));
  std::wstring text = SidString(sid);
  // S-1-5-18 for root, S-1-5-21-0-0-0-<uid> for anyone else.
  EXPECT_TRUE(text == L"S-1-5-18" || text.rfind(L"S-1-5-21-0-0-0-", 0) == 0) << platform::WideToUtf8(text);
  EXPECT_EQ(GetLengthSid(sid), text == L"S-1-5-18" ? 12u : 28u);
  // The SID lives inside the caller's buffer: nothing else to free.
  EXPECT_GE(reinterpret_cast<BYTE*>(sid), tokenUser.data());
  EXPECT_LE(reinterpret_cast<BYTE*>(sid) + GetLengthSid(sid), tokenUser.data() + tokenUser.size());
}

TEST(EventLogTest, BadHandlesAndArgumentsFail) {
  testsupport::TempRoot root;
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD needed = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_EQ(RegisterEventSourceW(L"\\\\otherhost", L"qelmservice"), nullptr);
  EXPECT_EQ(RegisterEventSourceW(nullptr, L""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  HANDLE source = RegisterEventSourceW(L"", L"qelmservice");
  ASSERT_NE(source, nullptr);
  LPCWSTR none[1] = {nullptr};
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, none, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  std::wstring huge(31840, L'x');
  LPCWSTR tooLong[1] = {huge.c_str()};
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, tooLong, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
  // After deregistering, the handle is gone: reports fail instead of writing.
  LPCWSTR one[1] = {L"x"};
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, one, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_TRUE(platform::ReadEventLog().empty());
}

TEST(EventLogTest, ConcurrentWritersNeverMixLines) {
  testsupport::TempRoot root;
  constexpr int kThreads = 4, kRecords = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      HANDLE source = RegisterEventSourceW(nullptr, L"qelmservice");
      std::wstring text(2000, static_cast<wchar_t>(L'a' + t));
      LPCWSTR strings[1] = {text.c_str()};
      for (int i = 0; i < kRecords; ++i)
        EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
      DeregisterEventSource(source);
    });
  }
  for (auto& th : threads) th.join();
  std::vector<platform::EventLogRecord> records = platform::ReadEventLog();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kRecords));
  for (const auto& r : records) {
    ASSERT_EQ(r.strings.size(), 1u);
    EXPECT_EQ(r.strings[0], std::string(2000, r.strings[0][0]));
  }
}

}  // namespace
