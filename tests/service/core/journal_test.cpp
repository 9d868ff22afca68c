// The journals as the monitor reads them: file names, numbered parts, the
// change of date and the exact bytes of every kind of line, in both ANSI code
// pages the service meets.

#include "service/core/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/error_description.h"
#include "common/journal_reader.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "service/core/record_texts.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

namespace fs = std::filesystem;

namespace {

long long Seconds(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  using namespace std::chrono;
  sys_days date = year_month_day{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
  return date.time_since_epoch().count() * 86400LL + hour * 3600 + minute * 60 + second;
}

void SetAnsiCodePage(const wchar_t* page) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::u16string text(page, page + wcslen(page));
  ASSERT_EQ(RegSetValueExW(key, L"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * 2)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  platform::ReloadCodePages();
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClock(2026, 12, 9, 14, 5, 9);
    folder_ = root_.Dir("journal");
  }
  void TearDown() override {
    platform::ReloadCodePages();
  }

  void SetClock(int year, unsigned month, unsigned day, int hour, int minute, int second) {
    clock_.Set(Seconds(year, month, day, hour, minute, second));
  }
  // A writer's journals of profile with a "Log filesize" of 400, no file chosen yet.
  static JournalFiles Fresh(const CString& profile = L"Банк") {
    return {.settings = MakeJournalSettings(profile, 400)};
  }
  CString Folder() const { return CString(platform::MultiByteToWide(folder_.string(), CP_UTF8).c_str()); }
  fs::path File(const std::string& utf8Name) const { return folder_ / utf8Name; }
  std::string Read(const std::string& utf8Name) const { return testsupport::ReadFileBytes(File(utf8Name)); }
  // Expected journal bytes: the text in the ANSI page in effect.
  static std::string Ansi(const std::wstring& text) { return platform::WideToMultiByte(text, CP_ACP); }
  void MakeFile(const std::string& utf8Name, size_t size) const {
    std::ofstream out(File(utf8Name), std::ios::binary);
    out << std::string(size, 'x');
  }

  DWORD Write(DWORD code, const CString& message, const CString& description = CString(),
              const CString& extra = CString(), const CString& detail = CString()) {
    return WriteJournal(Folder(), files_, L"Банк",
                        {.code = code, .message = message, .description = description, .step = extra,
                         .detail = detail});
  }
  DWORD WriteStart() {
    return WriteJournal(Folder(), files_, L"Банк",
                        {.kind = JournalRecordKind::kStartStop, .message = kServiceStartMessage});
  }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_};
  fs::path folder_;
  JournalFiles files_ = Fresh();
};

const char kOps[] = "2026.12.09 Банк.txt";
const char kErrs[] = "2026.12.09 Банк - errors.txt";

class JournalCodePageTest : public JournalTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(JournalCodePageTest, StartRecordCreatesBothJournalsWithExactLines) {
  SetAnsiCodePage(GetParam());
  ASSERT_EQ(WriteStart(), 0u);
  EXPECT_EQ(Read(kOps), Ansi(L"14:05:09 09/12/2026 | Профиль: Банк | Успех | Запуск АК СКЗИ Квелла: сервис\r\n"));
  EXPECT_EQ(Read(kErrs), Ansi(L"14:05:09 09/12/2026 | Запуск АК СКЗИ Квелла: сервис\r\n"));
  EXPECT_EQ(files_.operationsFile, CString(L"2026.12.09 Банк.txt"));
  EXPECT_EQ(files_.errorsFile, CString(L"2026.12.09 Банк - errors.txt"));
}

TEST_P(JournalCodePageTest, FailureRecordWritesOperationsAndErrorsLinesWithDetail) {
  SetAnsiCodePage(GetParam());
  const CString description = ErrorDescription(5, nullptr);
  ASSERT_EQ(Write(5, L"Правило 1. Файл", CString(), L"Правило 1. Открытие", L"ORLAX стек\r\nError: x\r\n"), 0u);
  EXPECT_EQ(Read(kOps), Ansi(L"14:05:09 09/12/2026 | Профиль: Банк | Ошибка | Правило 1. Файл\r\n"));
  EXPECT_EQ(Read(kErrs), Ansi(L"14:05:09 09/12/2026 | Ошибка 0x5 - " + description.str() +
                              L". Правило 1. Открытие\r\nORLAX стек\r\nError: x\r\n"));
}

TEST_P(JournalCodePageTest, MoveRecordGoesToErrorsJournalOnly) {
  SetAnsiCodePage(GetParam());
  ASSERT_EQ(Write(0, L"первая"), 0u);  // both files are current now
  ASSERT_EQ(WriteJournal(Folder(), files_, L"Банк",
                         {.kind = JournalRecordKind::kMove,
                          .code = 183,
                          .message = L"Перемещение файла 'in/a' (размер: 1) в каталог ошибок 'err/a' (размер: 1)",
                          .description = L"Уже есть",
                          .step = L". Переименование файла 'a' (размер: 1) в 'b' (размер: 1)"}),
            0u);
  EXPECT_EQ(Read(kOps), Ansi(L"14:05:09 09/12/2026 | Профиль: Банк | Успех | первая\r\n"));
  EXPECT_EQ(Read(kErrs),
            Ansi(L"14:05:09 09/12/2026 | Перемещение файла 'in/a' (размер: 1) в каталог ошибок 'err/a' "
                 L"(размер: 1). Ошибка 0xB7 - Уже есть. . Переименование файла 'a' (размер: 1) в 'b' "
                 L"(размер: 1). \r\n"));
}

INSTANTIATE_TEST_SUITE_P(AnsiPages, JournalCodePageTest, ::testing::Values(L"65001", L"1251"),
                         [](const auto& info) { return info.param[0] == L'6' ? "Utf8" : "Cp1251"; });

// The record's kind, never its text, says which journals it reaches.
TEST_F(JournalTest, KindDecidesWhichJournalsARecordReaches) {
  const struct {
    JournalRecordKind kind;
    const wchar_t* message;
    const char* operations;
    const char* errors;
  } cases[] = {
      {JournalRecordKind::kOrdinary, kServiceStartMessage,
       "14:05:09 09/12/2026 | Профиль: Банк | Успех | Запуск АК СКЗИ Квелла: сервис\r\n", ""},
      {JournalRecordKind::kStartStop, kServiceStopMessage,
       "14:05:09 09/12/2026 | Профиль: Банк | Успех | Остановка АК СКЗИ Квелла: сервис\r\n",
       "14:05:09 09/12/2026 | Остановка АК СКЗИ Квелла: сервис\r\n"},
      {JournalRecordKind::kMove, L"Перемещение файла 'a'", "",
       "14:05:09 09/12/2026 | Перемещение файла 'a'\r\n"},
  };
  for (const auto& c : cases) {
    fs::remove(File(kOps));
    fs::remove(File(kErrs));
    JournalFiles files = Fresh();
    ASSERT_EQ(WriteJournal(Folder(), files, L"Банк", {.kind = c.kind, .message = c.message}), 0u);
    EXPECT_EQ(Read(kOps), c.operations) << c.errors;
    EXPECT_EQ(Read(kErrs), c.errors) << c.operations;
  }
}

TEST_F(JournalTest, ErrorsLineKeepsItsFullStopWhenTheExtraIsEmpty) {
  ASSERT_EQ(Write(5, L"m", L"Отказано в доступе"), 0u);
  EXPECT_EQ(Read(kErrs), "14:05:09 09/12/2026 | Ошибка 0x5 - Отказано в доступе. \r\n");
}

TEST_F(JournalTest, CodeTextFormDependsOnTheLibraryBit) {
  const struct {
    DWORD code;
    const char* text;
  } cases[] = {{0xE0700001, "Ошибка ORLAX 0xE0700001"},
               {0xE171800A, "Ошибка ORLAX 0xE171800A"},
               {0xFFFFFFFF, "Ошибка 0xFFFFFFFF"},
               {5, "Ошибка 0x5"}};
  for (const auto& c : cases) {
    JournalFiles files = Fresh();
    fs::remove(File(kErrs));
    ASSERT_EQ(WriteJournal(Folder(), files, L"Банк", {.code = c.code, .message = L"m", .description = L"d"}),
              0u);
    EXPECT_EQ(Read(kErrs), std::string("14:05:09 09/12/2026 | ") + c.text + " - d. \r\n") << c.text;
  }
}

TEST_F(JournalTest, FinishedMessageKeepsPercentSignsAndArgumentsFillPlaceholders) {
  ASSERT_EQ(Write(0, L"Файл 'in/100%s%d.txt'"), 0u);
  ASSERT_EQ(Write(0, FormatText(L"Профиль справочника : '%s' | 50%", CString(L"a%sb"))), 0u);
  EXPECT_EQ(Read(kOps),
            "14:05:09 09/12/2026 | Профиль: Банк | Успех | Файл 'in/100%s%d.txt'\r\n"
            "14:05:09 09/12/2026 | Профиль: Банк | Успех | Профиль справочника : 'a%sb' | 50%\r\n");
}

TEST_F(JournalTest, LaterRecordRecreatesRemovedJournals) {
  ASSERT_EQ(WriteStart(), 0u);
  fs::remove(File(kOps));
  fs::remove(File(kErrs));
  ASSERT_EQ(Write(0, L"второй"), 0u);
  EXPECT_EQ(Read(kOps), "14:05:09 09/12/2026 | Профиль: Банк | Успех | второй\r\n");
  EXPECT_TRUE(fs::exists(File(kErrs)));
  EXPECT_EQ(fs::file_size(File(kErrs)), 0u);
}

TEST_F(JournalTest, FullFilePassesToTheNextPartOfItsDate) {
  MakeFile(kOps, 400000);  // exactly the limit: still current
  ASSERT_EQ(Write(0, L"a"), 0u);
  EXPECT_EQ(files_.operationsFile, CString(L"2026.12.09 Банк.txt"));
  // Now 400,000 + one line: full. Parts 01..05 exist, 05 left full by someone.
  for (const char* part : {"2026.12.09.01 Банк.txt", "2026.12.09.02 Банк.txt", "2026.12.09.03 Банк.txt",
                           "2026.12.09.04 Банк.txt"})
    MakeFile(part, 400001);
  MakeFile("2026.12.09.05 Банк.txt", 400001);
  ASSERT_EQ(Write(0, L"b"), 0u);
  EXPECT_EQ(files_.operationsFile, CString(L"2026.12.09.06 Банк.txt"));
  EXPECT_EQ(Read("2026.12.09.06 Банк.txt"), "14:05:09 09/12/2026 | Профиль: Банк | Успех | b\r\n");

  // A new instance (empty names) finds the same part by listing the folder.
  JournalFiles fresh = Fresh();
  ASSERT_EQ(WriteJournal(Folder(), fresh, L"Банк", {.message = L"c"}), 0u);
  EXPECT_EQ(fresh.operationsFile, CString(L"2026.12.09.06 Банк.txt"));
}

TEST_F(JournalTest, ListingChoosesTheGreatestPartAndThenRotates) {
  MakeFile("2026.12.09 Банк.txt", 10);
  MakeFile("2026.12.09.99 Банк.txt", 400001);
  MakeFile("2026.12.08.100 Банк.txt", 1);
  CString name;
  ASSERT_EQ(SelectJournalFile(Folder(), L"Банк", 400000, name), 0u);
  EXPECT_EQ(name, CString(L"2026.12.09.100 Банк.txt"));
}

TEST_F(JournalTest, NewLocalDateBeginsANewFile) {
  ASSERT_EQ(Write(0, L"вечер"), 0u);
  SetClock(2026, 12, 10, 0, 0, 1);
  ASSERT_EQ(Write(0, L"утро"), 0u);
  EXPECT_EQ(files_.operationsFile, CString(L"2026.12.10 Банк.txt"));
  EXPECT_EQ(Read("2026.12.10 Банк.txt"), "00:00:01 10/12/2026 | Профиль: Банк | Успех | утро\r\n");
  EXPECT_EQ(Read(kOps), "14:05:09 09/12/2026 | Профиль: Банк | Успех | вечер\r\n");
}

TEST_F(JournalTest, NewestFileOfALaterDateStaysInUseWhenTheClockGoesBack) {
  MakeFile("2026.12.11 Банк.txt", 3);
  ASSERT_EQ(Write(0, L"x"), 0u);
  EXPECT_EQ(files_.operationsFile, CString(L"2026.12.11 Банк.txt"));
  EXPECT_EQ(Read("2026.12.11 Банк.txt"), "xxx14:05:09 09/12/2026 | Профиль: Банк | Успех | x\r\n");
}

TEST_F(JournalTest, OtherProfilesFilesAreNeverChosen) {
  MakeFile("2026.12.09.07 Банк 1.txt", 5);
  MakeFile("2026.12.09.03 1 - errors.txt", 5);
  JournalFiles files = Fresh(L"1");
  ASSERT_EQ(WriteJournal(Folder(), files, L"1", {.message = L"m"}), 0u);
  EXPECT_EQ(files.operationsFile, CString(L"2026.12.09 1.txt"));
  EXPECT_EQ(files.errorsFile, CString(L"2026.12.09.03 1 - errors.txt"));
  EXPECT_EQ(testsupport::ReadFileBytes(File("2026.12.09.07 Банк 1.txt")), "xxxxx");
}

TEST_F(JournalTest, JournalNamesAndKeys) {
  EXPECT_EQ(JournalFileName(2026, 1, 2, L"P"), CString(L"2026.01.02 P.txt"));
  EXPECT_EQ(JournalPartFileName(2026, 1, 2, 3, L"P - errors"), CString(L"2026.01.02.03 P - errors.txt"));
  EXPECT_EQ(JournalPartFileName(2026, 1, 2, 100, L"P"), CString(L"2026.01.02.100 P.txt"));
  JournalNameKey key;
  ASSERT_TRUE(ParseJournalName(L"2026.12.09.04 Банк.txt", L"Банк", key));
  EXPECT_EQ(key, (JournalNameKey{2026, 12, 9, 4}));
  EXPECT_FALSE(ParseJournalName(L"2026.12.09 Банк - errors.txt", L"Банк", key));
  EXPECT_FALSE(ParseJournalName(L"2026.12 Банк.txt", L"Банк", key));
  EXPECT_FALSE(ParseJournalName(L" 2026.12.09 Банк.txt", L"Банк", key));
}

TEST_F(JournalTest, LargeSizeSettingDoesNotWrap) {
  EXPECT_EQ(MakeJournalSettings(L"Банк", 5000000).sizeLimit, 5000000000ull);
}

TEST_F(JournalTest, UnwritableJournalFailsWithCauseFiveAndIsReported) {
  // A folder in the place of today's journal cannot be opened for writing,
  // even by root (chmod would not stop root).
  fs::create_directories(File(kOps));
  EXPECT_EQ(Write(0, L"m"), 5u);
  std::string log = testsupport::ReadFileBytes(root_.path() / "eventlog" / "Application.log");
  EXPECT_NE(log.find("Запись в журнал в директории"), std::string::npos);
  EXPECT_NE(log.find("Профиль: Банк"), std::string::npos);  // the record as extra text
}

TEST_F(JournalTest, ReadOnlyErrorsJournalFailsWithCauseFive) {
  ASSERT_EQ(WriteStart(), 0u);
  // The read-only attribute holds for every user of the layer, root included.
  ASSERT_TRUE(SetFileAttributesW(Folder() + L"/2026.12.09 Банк - errors.txt", FILE_ATTRIBUTE_READONLY));
  // Both journals are chosen (opened) before anything is written, so the
  // record is not written at all.
  EXPECT_EQ(Write(5, L"m", L"d"), 5u);
  EXPECT_EQ(Read(kOps), "14:05:09 09/12/2026 | Профиль: Банк | Успех | Запуск АК СКЗИ Квелла: сервис\r\n");
}

TEST_F(JournalTest, FileSizeTextOfMissingHeldAndPlainFiles) {
  EXPECT_EQ(FileSizeText(Folder() + L"/none"), CString(L"0"));
  MakeFile("f", 1234);
  CString path = Folder() + L"/f";
  EXPECT_EQ(FileSizeText(path), CString(L"1234"));
  HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FileSizeText(path), CString(L"0"));  // held open for writing
  CloseHandle(writer);
}

}  // namespace

namespace {

// A column of a record read back, as wide text.
CString Text(const JournalRecords& records, int record, int column) {
  return CString(std::wstring_view(platform::MultiByteToWide(records.Column(record, column), CP_ACP)));
}

SYSTEMTIME TimeOf(const JournalRecords& records, int record) {
  SYSTEMTIME time{};
  EXPECT_TRUE(ReadJournalTime(records.Column(record, 0), time));
  return time;
}

}  // namespace

// What the service writes is what the monitor's reader takes apart: every
// record kind, a message holding the field separator, an errors record with
// extra lines and a library stack, in both ANSI code pages.
TEST_P(JournalCodePageTest, WrittenRecordsParseBackWithTheSharedReader) {
  SetAnsiCodePage(GetParam());
  ASSERT_EQ(WriteStart(), 0u);
  ASSERT_EQ(Write(0, L"Правило 1 | Файл 'a | b.txt' подписан"), 0u);
  SetClock(2026, 12, 9, 14, 5, 10);
  ASSERT_EQ(Write(0x20000005, L"Правило 2. Файл", L"Нет ключа", L"Шаг\r\nвторая строка",
                  L"ORLAX стек, ошибка номер 1 \r\nError: x\r\n"),
            0u);

  const std::string operationsBytes = Read(kOps);
  const JournalRecords records = ReadJournalText(JournalKind::Operations, operationsBytes);
  // Every line is a record.
  ASSERT_EQ(static_cast<std::size_t>(records.size()),
            static_cast<std::size_t>(std::count(operationsBytes.begin(), operationsBytes.end(), '\n')));
  ASSERT_EQ(records.size(), 3);
  EXPECT_EQ(Text(records, 0, 0), CString(L"14:05:09 09/12/2026"));
  EXPECT_EQ(Text(records, 0, 1), CString(L"Банк"));
  EXPECT_TRUE(records.successes[0]);
  EXPECT_EQ(Text(records, 0, 2), CString(kServiceStartMessage));
  EXPECT_EQ(Text(records, 1, 2), CString(L"Правило 1 | Файл 'a | b.txt' подписан"));
  EXPECT_FALSE(records.successes[2]);
  const SYSTEMTIME time = TimeOf(records, 2);
  EXPECT_EQ(time.wYear, 2026);
  EXPECT_EQ(time.wMonth, 12);
  EXPECT_EQ(time.wDay, 9);
  EXPECT_EQ(time.wHour, 14);
  EXPECT_EQ(time.wMinute, 5);
  EXPECT_EQ(time.wSecond, 10);

  // The start record and the failure with its four further lines.
  const JournalRecords errors = ReadJournalText(JournalKind::Errors, Read(kErrs));
  ASSERT_EQ(errors.size(), 2);
  EXPECT_EQ(Text(errors, 0, 1), CString(kServiceStartMessage));
  EXPECT_EQ(Text(errors, 1, 0), CString(L"14:05:10 09/12/2026"));
  EXPECT_EQ(Text(errors, 1, 1), CString(L"Ошибка ORLAX 0x20000005 - Нет ключа. Шаг \r\nвторая строка \r\n"
                                        L"ORLAX стек, ошибка номер 1  \r\nError: x"));
}

// A backslash in a name and the escape of a control character never write
// the same text: each name reads back as itself.
TEST_P(JournalCodePageTest, NamesReadBackAsThemselves) {
  SetAnsiCodePage(GetParam());
  const wchar_t* const names[] = {L"back\\tslash.txt", L"back\tslash.txt", L"back\\\tslash.txt",
                                  L"C:\\new\\x41.txt",  L"end\\",            L"a\xDCFF\\\x85.txt"};
  for (const wchar_t* name : names) {
    ASSERT_EQ(Write(0, CString(L"Файл '") + name + L"'"), 0u);
    ASSERT_EQ(Write(2, L"Правило 1", CString(L"Нет файла '") + name + L"'", name), 0u);
  }
  const JournalRecords operations = ReadJournalText(JournalKind::Operations, Read(kOps));
  const JournalRecords errors = ReadJournalText(JournalKind::Errors, Read(kErrs));
  ASSERT_EQ(operations.size(), 2 * static_cast<int>(std::size(names)));
  ASSERT_EQ(errors.size(), static_cast<int>(std::size(names)));
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const int record = static_cast<int>(i);
    EXPECT_EQ(UnescapeJournalText(Text(operations, 2 * record, 2)), CString(L"Файл '") + names[i] + L"'")
        << i;
    EXPECT_EQ(UnescapeJournalText(Text(errors, record, 1)),
              CString(L"Ошибка 0x2 - Нет файла '") + names[i] + L"'. " + names[i])
        << i;
  }
  // The two names of the same look in the past now differ in the journal.
  EXPECT_NE(operations.Column(0, 2), operations.Column(2, 2));
  // A backslash is doubled only where it could begin an escape.
  EXPECT_EQ(Text(operations, 6, 2), CString(L"Файл 'C:\\new\\\\x41.txt'"));
  EXPECT_EQ(Text(operations, 8, 2), CString(L"Файл 'end\\'"));
}

// A journal folder others may write to: a link planted under a journal's
// name is never followed, neither to an existing file nor to a new one, and
// the record fails instead.
TEST_F(JournalTest, ALinkUnderAJournalNameIsNeverWrittenThrough) {
  const fs::path target = root_.Dir("private") / "secret";
  { std::ofstream(target) << "root's"; }
  for (const fs::path& pointee : {target, target.parent_path() / "created"}) {
    SCOPED_TRACE(pointee.string());
    fs::remove(File(kOps));
    fs::create_symlink(pointee, File(kOps));
    files_ = Fresh();
    EXPECT_NE(Write(0, L"запись"), 0u);
    EXPECT_EQ(testsupport::ReadFileBytes(target), "root's");
    EXPECT_FALSE(fs::exists(target.parent_path() / "created"));
    EXPECT_TRUE(fs::is_symlink(File(kOps)));
  }
}
