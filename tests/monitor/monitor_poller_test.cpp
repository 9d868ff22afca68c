// The journal poller against journals written by the service's own writer:
// what a pass hands over, when a failure raises the alarm, and what happens
// at the edges of the journal files (same second, numbered parts, a new
// date, a writer at work during the passes).

#include <gtest/gtest.h>

#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "monitor/journal_pages.h"
#include "monitor/lights_dialog.h"
#include "monitor/monitor_window.h"
#include "service/core/journal.h"
#include "tests/monitor/monitor_fixture.h"
#include "tests/support/qt_printers.h"

using namespace monitortest;

namespace {

constexpr DWORD kAccessDenied = 5;

void AppendBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::app);
  out << bytes;
}

// Writes the file anew in place (cut, then filled), as a restore does.
void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// A pass reads what was appended and nothing else: one record, one row;
// an unchanged file hands over nothing.
TEST(MonitorPollerTest, AppendedRecordGivesOneRow) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(ShownRows(*window, 0, 0),
            QStringList{"0 10:00:00 09/12/2026 | Банк | Запуск АК СКЗИ Квелла: сервис"});
  ASSERT_EQ(ShownRows(*window, 0, 1),
            QStringList{"0 10:00:00 09/12/2026 | Запуск АК СКЗИ Квелла: сервис"});

  machine.SetClock(2026, 12, 9, 10, 0, 7);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"Правило 1. Файл 'a.txt' подписан"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 2);
  ASSERT_EQ(ShownRows(*window, 0, 0).last(),
            QString("0 10:00:07 09/12/2026 | Банк | Правило 1. Файл 'a.txt' подписан"));
  ASSERT_EQ(ShownRows(*window, 0, 1).size(), 1);
  ASSERT_EQ(alarm.sounds, 0);
  ASSERT_EQ(window->lights()->LampImage(0, 0), 0);
  ASSERT_TRUE(machine.boxes.shown.empty());
}

// Each new failure is one alarm (sound and flash) and turns the pair's
// lamps to grey and red; errors records alone raise nothing; "Сброс" on
// the row puts the lamps back.
TEST(MonitorPollerTest, FailuresRaiseOneAlarmEach) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  ASSERT_TRUE(machine.WriteStart(L"Касса"));
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(window->pairs().size(), 2u);
  const int bank = window->pairs()[0].name == L"Банк" ? 0 : 1;

  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'a'", L"1. stack line\r\n"),
            0u);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'b'"), 0u);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"Правило 1. Файл 'c'"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(alarm.sounds, 2);
  ASSERT_EQ(alarm.flashes, 2);
  ASSERT_EQ(window->lights()->LampImage(bank, 0), 2);
  ASSERT_EQ(window->lights()->LampImage(bank, 1), 1);
  ASSERT_EQ(window->lights()->LampImage(1 - bank, 0), 0);
  ASSERT_EQ(window->lastResult(bank), 0);  // the last record handled succeeded
  const QStringList operations = ShownRows(*window, bank, 0);
  ASSERT_EQ(operations.size(), 4);
  ASSERT_TRUE(operations[1].startsWith("1 "));
  ASSERT_TRUE(operations[3].startsWith("0 "));
  const QStringList errors = ShownRows(*window, bank, 1);
  ASSERT_EQ(errors.size(), 3);
  ASSERT_TRUE(errors[1].endsWith(" \r\n1. stack line"));

  window->lights()->list()->topLevelItem(bank)->setSelected(true);
  QTest::mouseClick(window->lights()->clearButton(), Qt::LeftButton);
  ASSERT_EQ(window->lights()->LampImage(bank, 0), 0);
  ASSERT_EQ(window->lights()->LampImage(bank, 1), 2);
}

// A record written in the second of the last record shown is new all the
// same: appended bytes are new whatever their time.
TEST(MonitorPollerTest, RecordsInTheSameSecondAreShown) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"second, same second"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0),
            (QStringList{"0 10:00:00 09/12/2026 | Банк | Запуск АК СКЗИ Квелла: сервис",
                         "1 10:00:00 09/12/2026 | Банк | second, same second"}));
  ASSERT_EQ(alarm.sounds, 1);
}

// Both parts are read at the first pass; from then on only the newest
// part is opened.
TEST(MonitorPollerTest, ReadsOnlyTheNewestPartAfterRotation) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  const auto part0 = machine.FolderPath() / "2026.12.09 Банк.txt";
  AppendBytes(part0, std::string(400001, 'x') + "\r\n");  // past the 400,000-byte limit
  ASSERT_EQ(machine.Write(L"Банк", 0, L"in part 1"), 0u);
  ASSERT_TRUE(std::filesystem::exists(machine.FolderPath() / "2026.12.09.01 Банк.txt"));
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(ShownRows(*window, 0, 0),
            (QStringList{"0 10:00:00 09/12/2026 | Банк | Запуск АК СКЗИ Квелла: сервис",
                         "0 10:00:00 09/12/2026 | Банк | in part 1"}));

  AppendBytes(part0, "10:00:01 09/12/2026 | Профиль: Банк | Ошибка | late in part 0\r\n");
  ASSERT_EQ(machine.Write(L"Банк", 0, L"later in part 1"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 3);
  ASSERT_EQ(ShownRows(*window, 0, 0).last(),
            QString("0 10:00:00 09/12/2026 | Банк | later in part 1"));
}

// When the service begins the next date's file, the records written to
// the old date's file since the last pass still arrive, then the new
// date's.
TEST(MonitorPollerTest, DateChangeKeepsTheOldDaysLastRecords) {
  MonitorMachine machine;
  machine.SetClock(2026, 12, 9, 23, 59, 50);
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"last of the day"), 0u);
  machine.SetClock(2026, 12, 10, 0, 0, 5);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"first of the next day"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0),
            (QStringList{"0 23:59:50 09/12/2026 | Банк | Запуск АК СКЗИ Квелла: сервис",
                         "1 23:59:50 09/12/2026 | Банк | last of the day",
                         "0 00:00:05 10/12/2026 | Банк | first of the next day"}));
  ASSERT_EQ(alarm.sounds, 1);
}

// A file that shrank (replaced, or cut by hand) is read again from its
// start.
TEST(MonitorPollerTest, ShrunkFileIsReadFromItsStart) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  std::filesystem::resize_file(machine.FolderPath() / "2026.12.09 Банк.txt", 0);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"new"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).last(), QString("0 10:00:00 09/12/2026 | Банк | new"));
}

// A journal cut and filled again (a restore, a copy put back, an editor's
// save) shows nothing twice and raises no alarm again: only records later
// than those shown, or of their second but not among them, are new.
TEST(MonitorPollerTest, RefilledJournalGivesOnlyWhatIsNew) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  machine.SetClock(2026, 12, 9, 10, 0, 5);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"a"), 0u);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"b"), 0u);
  const auto file = machine.FolderPath() / "2026.12.09 Банк.txt";
  const std::string held = ReadBytes(file);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 3);
  ASSERT_EQ(alarm.sounds, 2);
  window->lights()->list()->topLevelItem(0)->setSelected(true);
  QTest::mouseClick(window->lights()->clearButton(), Qt::LeftButton);
  const QStringList acknowledged = ShownRows(*window, 0, 0);

  std::filesystem::resize_file(file, 0);
  ASSERT_TRUE(RunPass(*window));
  WriteBytes(file, held);  // put back as it was
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0), acknowledged);
  WriteBytes(file, held.substr(0, held.rfind("\r\n", held.size() - 3) + 2));  // an older copy
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0), acknowledged);
  ASSERT_EQ(alarm.sounds, 2);

  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"c"), 0u);  // appended: new
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 4);
  ASSERT_EQ(alarm.sounds, 3);
  // Saved by an editor with a record of the same second put in before the
  // last one: the file grew, but not at its end.
  const std::string now = ReadBytes(file);
  const std::size_t lastStart = now.rfind("\r\n", now.size() - 3) + 2;
  WriteBytes(file, now.substr(0, lastStart) +
                       "10:00:05 09/12/2026 | Профиль: Банк | Ошибка | d\r\n" +
                       now.substr(lastStart));
  ASSERT_TRUE(RunPass(*window));
  const QStringList rows = ShownRows(*window, 0, 0);
  ASSERT_EQ(rows.size(), 5);
  ASSERT_EQ(rows.last(), QString("1 10:00:05 09/12/2026 | Банк | d"));
  ASSERT_EQ(alarm.sounds, 4);
  ASSERT_EQ(ShownRows(*window, 0, 1).size(), 4);  // start, a, b, c
}

// A last line without a line feed is a row; when the line goes on later,
// the whole line takes the row's place (one row, one alarm). An errors
// record whose stack lines come in a later pass keeps them too.
TEST(MonitorPollerTest, LastLineWithoutLineFeedIsARow) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  const auto operations = machine.FolderPath() / "2026.12.09 Банк.txt";
  const auto errors = machine.FolderPath() / "2026.12.09 Банк - errors.txt";
  AppendBytes(operations, "10:00:01 09/12/2026 | Профиль: Банк | Ошибка | tail");
  AppendBytes(errors, "10:00:01 09/12/2026 | Ошибка x");
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 2);
  ASSERT_EQ(ShownRows(*window, 0, 0).last(), QString("1 10:00:01 09/12/2026 | Банк | tail"));
  ASSERT_EQ(ShownRows(*window, 0, 1).last(), QString("0 10:00:01 09/12/2026 | Ошибка x"));
  ASSERT_EQ(alarm.sounds, 1);

  AppendBytes(operations, " goes on\r\n");
  AppendBytes(errors, "\r\n1. stack line\r\n");
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 2);
  ASSERT_EQ(ShownRows(*window, 0, 0).last(),
            QString("1 10:00:01 09/12/2026 | Банк | tail goes on"));
  ASSERT_EQ(ShownRows(*window, 0, 1).size(), 2);
  ASSERT_EQ(ShownRows(*window, 0, 1).last(),
            QString("0 10:00:01 09/12/2026 | Ошибка x \r\n1. stack line"));
  ASSERT_EQ(alarm.sounds, 1);

  machine.SetClock(2026, 12, 9, 10, 0, 2);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"next"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).size(), 3);
  ASSERT_EQ(ShownRows(*window, 0, 0)[1], QString("1 10:00:01 09/12/2026 | Банк | tail goes on"));
  ASSERT_EQ(ShownRows(*window, 0, 1).size(), 3);
  ASSERT_EQ(ShownRows(*window, 0, 1)[1],
            QString("0 10:00:01 09/12/2026 | Ошибка x \r\n1. stack line"));
  ASSERT_EQ(alarm.sounds, 2);
}

// A failure on the poller thread is shown on the window thread while the
// poller waits for the box, at every pass while it lasts.
TEST(MonitorPollerTest, PollerFailuresAreReportedFromItsThread) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  for (const auto& file : std::filesystem::directory_iterator(machine.FolderPath())) {
    std::filesystem::remove(file.path());
  }
  ASSERT_TRUE(RunPass(*window));
  ASSERT_TRUE(RunPass(*window));
  const QStringList errors = machine.boxes.Texts(MessageBoxes::Icon::Error);
  ASSERT_EQ(errors.size(), 2);
  ASSERT_EQ(machine.boxes.offWindowThread, 0);
  const QString pattern = QString::fromStdWString(machine.Folder().str()) + "/????.??.??* Банк.txt";
  ASSERT_TRUE(errors[0].startsWith("Поиск файлов по шаблону " + pattern + ".\r\nОшибка 0x2 - "))
      << errors[0].toStdString();
}

// The service keeps writing while the monitor passes back to back: no
// write fails, and every record reaches the page.
TEST(MonitorPollerTest, EveryJournalWriteSucceedsWhileThePollerReads) {
  MonitorMachine machine(0);
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  constexpr int kRecords = 300;
  std::atomic<int> failed{0};
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    JournalFiles files{.settings = MakeJournalSettings(L"Банк", 400)};
    for (int i = 0; i < kRecords; ++i) {
      CString message;
      message.Format(L"record %d", i);
      if (WriteJournal(machine.Folder(), files, L"Банк",
                       {.code = i % 10 == 0 ? kAccessDenied : 0, .message = message}) != 0) {
        ++failed;
      }
    }
    finished = true;
  });
  // A failed wait ends the test here: the writer is joined on the way out,
  // so the failure is reported rather than the program ended.
  const auto joinWriter = qScopeGuard([&] {
    if (writer.joinable()) writer.join();
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, 60000));
  writer.join();
  ASSERT_EQ(failed.load(), 0);
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return ShownRows(*window, 0, 0).size() == kRecords + 1; }, 60000));
  ASSERT_EQ(alarm.sounds, kRecords / 10);
}
