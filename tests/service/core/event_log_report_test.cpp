#include "service/core/event_log_report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/error_description.h"
#include "common/library_error_stack.h"
#include "common/registry_values.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

std::string Utf8(const CString& text) { return platform::WideToUtf8(text.str()); }

bool IsUpperHex(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

// "Process: 0x%X, Thread: 0x%X"
bool IsProcessText(std::string_view text) {
  const std::string_view process = "Process: 0x";
  const std::string_view thread = ", Thread: 0x";
  const size_t middle = text.find(thread);
  return text.substr(0, process.size()) == process && middle != std::string_view::npos &&
         IsUpperHex(text.substr(process.size(), middle - process.size())) &&
         IsUpperHex(text.substr(middle + thread.size()));
}

// A private root with the event source registered; stdout is captured by the
// tests that look at the console.
class EventLogReportTest : public ::testing::Test {
 protected:
  void SetUp() override { source_.emplace(); }
  void TearDown() override { source_.reset(); }
  const EventSource* Source() const { return source_ ? &*source_ : nullptr; }

  testsupport::TempRoot root_;
  std::optional<EventSource> source_;  // registered in the private root
};

TEST_F(EventLogReportTest, BothDestinationsGetTheirOwnLayout) {
  const CString description5 = ErrorDescription(5, nullptr);
  testing::internal::CaptureStdout();
  const DWORD result =
      ReportFailure(kReportConsole | kReportEventLog,
                    {.code = 5, .format = "Создание файла %s", .args = {"/in/100%d%s.txt"}, .extra = L"Подробности"},
                    Source());
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 5u);

  // The console line: ". " between the parts, a "%" of the file name printed as it is.
  EXPECT_EQ(console, Utf8(L"Создание файла /in/100%d%s.txt. Ошибка 0x5 - " + description5 +
                          L". Подробности\n"));

  const std::vector<platform::EventLogRecord> records = platform::ReadEventLog();
  ASSERT_EQ(records.size(), 1u);
  const platform::EventLogRecord& record = records[0];
  EXPECT_EQ(record.source, "qelmservice");
  EXPECT_EQ(record.type, "ERROR");
  EXPECT_EQ(record.eventId, 0xC0020002u);
  EXPECT_NE(record.user, "N/A") << "the record carries the process user";
  ASSERT_EQ(record.strings.size(), 3u);
  EXPECT_EQ(record.strings[0], Utf8(L"Создание файла /in/100%d%s.txt.\r\nОшибка 0x5 - " +
                                    description5 + L".\r\nПодробности\r\n"));
  EXPECT_EQ(record.strings[1], "KVELLA AC: Service - handler.exe");
  EXPECT_TRUE(IsProcessText(record.strings[2])) << record.strings[2];
}

TEST_F(EventLogReportTest, FlagsChooseTheDestinations) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReportFailure(0, {.code = 87, .format = "Ничего"}), 87u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(platform::ReadEventLog().empty());

  testing::internal::CaptureStdout();
  ReportFailure(kReportEventLog, {.code = 87, .format = "Только журнал"}, Source());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(platform::ReadEventLog().size(), 1u);

  testing::internal::CaptureStdout();
  ReportFailure(kReportConsole, {.code = 87, .format = "Только консоль"});
  EXPECT_NE(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(platform::ReadEventLog().size(), 1u);
}

TEST_F(EventLogReportTest, CodesAreLabelledAndArgumentsFilled) {
  struct Case {
    DWORD code;
    const char* format;
    const char* description;
    const char* arg1;
    const char* arg2;
    CString line;
  } cases[] = {
      {0xFFFFFFFF, "Запуск", nullptr, nullptr, nullptr,
       L"Запуск. Ошибка 0xFFFFFFFF - Неправильный параметр. \n"},
      {0xE0700046, "Поиск '%s'", "Сертификат не найден", "CN=Иванов", nullptr,
       L"Поиск 'CN=Иванов'. Ошибка ORLAX 0xE0700046 - Сертификат не найден. \n"},
      // A missing argument prints as an empty text.
      {0xE1718001, "Доступ '%s' для '%s'", "Нет в списке", "служба", nullptr,
       L"Доступ 'служба' для ''. Ошибка ORLAX 0xE1718001 - Нет в списке. \n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    ReportFailure(kReportConsole,
                  {.code = c.code, .format = c.format, .args = {c.arg1, c.arg2}, .description = c.description});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Utf8(c.line));
  }
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

TEST_F(EventLogReportTest, GivenDescriptionLeavesTheLibraryStackUnread) {
  ScopedEnv fail("QELM_TEST_FAIL", "ORLAX_FindCert=0xE0700046");
  LibraryContext context = nullptr;
  ASSERT_EQ(ORLAX_InitMinimal(&context), 0u);
  CertQuery query{};
  FindResult found{};
  ASSERT_EQ(ORLAX_FindCert(context, &query, &found), ORLAX_E_CERT_NOT_FOUND);

  ReportFailure(
      kReportEventLog,
      {.code = ORLAX_E_CERT_NOT_FOUND, .format = "Поиск", .description = "своё описание", .context = context},
      Source());
  EXPECT_FALSE(FormatLibraryErrorStack(context).IsEmpty()) << "the stack was not read";

  ASSERT_EQ(ORLAX_FindCert(context, &query, &found), ORLAX_E_CERT_NOT_FOUND);
  ReportFailure(kReportEventLog, {.code = ORLAX_E_CERT_NOT_FOUND, .format = "Поиск", .context = context}, Source());
  EXPECT_TRUE(FormatLibraryErrorStack(context).IsEmpty()) << "the description took the stack";
  ORLAX_Uninitialize(context);

  const std::vector<platform::EventLogRecord> records = platform::ReadEventLog();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].strings[0].find("своё описание"), std::string::npos);
  EXPECT_NE(records[1].strings[0].find("Отказ по заданию теста,\r\nфайл: "), std::string::npos);
}

TEST_F(EventLogReportTest, LongTextIsCutTo16000CharactersAndEllipsis) {
  source_->Write(CString(L'я', 16001));
  source_->Write(CString(L'ё', 16000));
  const std::vector<platform::EventLogRecord> records = platform::ReadEventLog();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].strings[0], Utf8(CString(L'я', 16000) + L"..."));
  EXPECT_EQ(records[1].strings[0], Utf8(CString(L'ё', 16000)));
}

TEST_F(EventLogReportTest, FailedRecordIsReportedOnTheConsole) {
  // A file where the log's folder belongs: the record cannot be appended.
  root_.WriteFile("eventlog", "not a folder");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReportFailure(kReportEventLog, {.code = 2, .format = "Запуск"}, Source()), 2u);
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.rfind(Utf8(L"Запись события в EventLog. Ошибка 0x"), 0), 0u) << console;
  EXPECT_EQ(console.back(), '\n');
}

TEST_F(EventLogReportTest, NothingIsWrittenWithoutASource) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReportFailure(kReportEventLog, {.code = 2, .format = "Без источника"}), 2u);
  source_.reset();  // deregistered
  EXPECT_EQ(ReportFailure(kReportEventLog, {.code = 2, .format = "После закрытия"}, Source()), 2u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(platform::ReadEventLog().empty());
}

TEST_F(EventLogReportTest, ServiceRegistryReadsReportWithTheServicesFlags) {
  RegistryValues registry(ServiceRegistryReporter(Source()));
  ASSERT_EQ(registry.Key().Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice\\Банк"),
            ERROR_SUCCESS);
  const std::string number(4, '\0');
  for (const wchar_t* name : {L"ZCSProfile", L"ExtExt"}) {
    ASSERT_EQ(RegSetValueExW(registry.Key().Handle(), name, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(number.data()), 4),
              ERROR_SUCCESS);
  }
  const CString description13 = ErrorDescription(13, nullptr);

  testing::internal::CaptureStdout();
  std::vector<CString> zcs;
  EXPECT_EQ(registry.ReadStringList("ZCSProfile", zcs, nullptr), 0);  // flags 2: event log only
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  CStringArray ext;
  EXPECT_EQ(registry.ReadStringArray("ExtExt", ext, nullptr), 0);  // flags 3: console too
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            Utf8(L"Чтение из реестра мультистрокового значения 'ExtExt'. Ошибка 0xD - " +
                 description13 + L". \n"));
  registry.Key().Close();

  const std::vector<platform::EventLogRecord> records = platform::ReadEventLog();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].strings[0],
            Utf8(L"Чтение из реестра мультистрокового значения 'ZCSProfile'.\r\nОшибка 0xD - " +
                 description13 + L".\r\n\r\n"));
}

}  // namespace
