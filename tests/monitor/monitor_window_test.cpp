// The main window and its dialogs: where the journal folder comes from, the
// pairs and tabs of a folder, the per-user state (created when missing, the
// acknowledgments and their return at the next start, the settings and
// their reset), the details dialog and the exit protocol.

#include <QLineEdit>
#include <QRect>
#include <QTabWidget>
#include <QTest>
#include <QTableView>
#include <QTreeWidget>
#include <thread>

#include "common/registry_values.h"
#include "monitor/config_dialog.h"
#include "monitor/journal_folder.h"
#include "monitor/journal_pages.h"
#include "monitor/lights_dialog.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_window.h"
#include "monitor/open_dialog.h"
#include "monitor/read_operation.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "tests/monitor/monitor_fixture.h"

using namespace monitortest;

namespace {

constexpr DWORD kAccessDenied = 5;

QString Text(const CString& text) { return QString::fromStdWString(text.str()); }

bool StateKeyExists(const CString& subkey = CString()) {
  CString path = kMonitorStateKeyPath;
  if (!subkey.IsEmpty()) path += L"\\" + subkey;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

QString StoredText(const CString& name, const char* value) {
  StoredMarks marks;
  LoadStoredMarks(name, marks, nullptr);
  const CString texts[] = {marks.firstOperation, marks.lastOperation, marks.firstError,
                           marks.lastError};
  const char* names[] = {"first_oper", "last_oper", "first_error", "last_error"};
  for (int i = 0; i < 4; ++i) {
    if (qstrcmp(names[i], value) == 0) return Text(texts[i]);
  }
  return {};
}

void CreateServiceKey(const wchar_t* logPath) {
  RegistryKey key;
  QCOMPARE(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice"), ERROR_SUCCESS);
  if (logPath != nullptr) QCOMPARE(monitor::WriteStringValue(key.Handle(), "LogPath", logPath, nullptr), 1);
}

// Waits for a state of the poller without serving the window's events, so
// that a hand-over stays pending.
bool WaitUnserved(const std::function<bool()>& done) {
  for (int round = 0; round < 2000000 && !done(); ++round) std::this_thread::yield();
  return done();
}

}  // namespace

class MonitorWindowTest : public QObject {
  Q_OBJECT
 private slots:
  // "LogPath" empty: the default folder, made when missing.
  void EmptyLogPathWatchesTheDefaultFolder() {
    MonitorMachine machine;
    CreateServiceKey(L"");
    CString folder;
    int prompts = 0;
    const FolderSource source =
        FindJournalFolder(L"", [&](CString&) { return ++prompts, false; }, folder);
    QCOMPARE(int(source), int(FolderSource::Found));
    const auto expected = machine.root.path() / "ProgramData" / "TORVAK" / "qelmservice";
    QCOMPARE(Text(folder), QString::fromStdString(expected.string()));
    QVERIFY(std::filesystem::is_directory(expected));
    QCOMPARE(prompts, 0);
  }

  void LogPathIsTakenAsItIs() {
    MonitorMachine machine;
    CreateServiceKey(L"/srv/journals");
    CString folder;
    QCOMPARE(int(FindJournalFolder(L"", [](CString&) { return false; }, folder)),
             int(FolderSource::Found));
    QCOMPARE(Text(folder), QString("/srv/journals"));
  }

  // Without the configuration store the command line names the folder; with
  // fewer than two quoted arguments the user is asked.
  void MissingStoreTakesTheCommandLine_data() {
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<int>("source");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("prompts");
    QTest::newRow("folder and profile") << "'/x/J' 'P'" << false << int(FolderSource::Found)
                                        << "/x/J" << 0;
    QTest::newRow("folder only, picked") << "'/x/J'" << true << int(FolderSource::Found)
                                         << "/picked" << 1;
    QTest::newRow("nothing, cancelled") << "" << false << int(FolderSource::Cancelled) << ""
                                        << 1;
  }
  void MissingStoreTakesTheCommandLine() {
    QFETCH(QString, commandLine);
    QFETCH(bool, answer);
    QFETCH(int, source);
    QFETCH(QString, folder);
    QFETCH(int, prompts);
    MonitorMachine machine;
    CString found;
    int asked = 0;
    const FolderSource result = FindJournalFolder(
        CString(commandLine.toStdWString().c_str()),
        [&](CString& picked) {
          ++asked;
          picked = L"/picked";
          return answer;
        },
        found);
    QCOMPARE(int(result), source);
    QCOMPARE(asked, prompts);
    if (result == FolderSource::Found) QCOMPARE(Text(found), folder);
  }

  // The folder prompt accepts an existing absolute folder only.
  void FolderPromptAcceptsExistingAbsoluteFolders() {
    MonitorMachine machine;
    OpenDialog prompt;
    auto* edit = prompt.findChild<QLineEdit*>("edit1007");
    QVERIFY(edit);
    edit->setText("");
    prompt.OnFolderOk();
    edit->setText(QString::fromStdString((machine.root.path() / "missing").string()));
    prompt.OnFolderOk();
    QCOMPARE(machine.boxes.Texts(MessageBoxes::Icon::Warning),
             (QStringList{"Выбран некорректный путь журнала.", "Выбран некорректный путь журнала."}));
    const auto relative = std::filesystem::relative(machine.FolderPath());
    edit->setText(QString::fromStdString(relative.string()));
    prompt.OnFolderOk();
    QCOMPARE(prompt.result(), 0);
    const QStringList errors = machine.boxes.Texts(MessageBoxes::Icon::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY(errors[0].startsWith("Открытие файла " + QString::fromStdString(relative.string()) +
                                 ".\r\nОшибка 0x3 - "));
    QVERIFY(errors[0].endsWith(".\r\nВыбран некорректный путь журнала."));
    edit->setText(Text(machine.Folder()));
    prompt.OnFolderOk();
    QCOMPARE(prompt.result(), int(QDialog::Accepted));
    QCOMPARE(prompt.folder(), Text(machine.Folder()));
  }

  // The tabs of a folder: one pair per profile with both journals, in
  // discovery order; a profile with one journal has none.
  void PairsBecomeTabs() {
    MonitorMachine machine(-1);
    QVERIFY(machine.WriteStart(L"A.B"));
    QVERIFY(machine.WriteStart(L"Bank"));
    QCOMPARE(machine.Write(L"Solo", 0, L"only an operations journal"), 0u);
    QVERIFY(!StateKeyExists());
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    QStringList tabs;
    for (int i = 0; i < window->tabs()->count(); ++i) tabs.append(window->tabs()->tabText(i));
    QCOMPARE(tabs, (QStringList{"Монитор", "A.B - операции", "A.B - ошибки", "Bank - операции",
                                "Bank - ошибки"}));
    QCOMPARE(window->lights()->list()->topLevelItemCount(), 2);
    QCOMPARE(window->lights()->list()->topLevelItem(1)->text(2), QString("Bank"));
    // A user who never acknowledged anything: the state key is made.
    QVERIFY(StateKeyExists());
    QVERIFY(machine.boxes.shown.empty());
  }

  void EmptyFolderIsReported() {
    MonitorMachine machine;
    CountingAlarm alarm;
    CmirelMonitorDlg window(machine.Folder(), alarm);
    QVERIFY(!window.OnInitDialog());
    const QStringList errors = machine.boxes.Texts(MessageBoxes::Icon::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY(errors[0].startsWith("Поиск файлов журнала в каталоге " + Text(machine.Folder()) +
                                 ".\r\nОшибка 0x2 - "));
    QVERIFY(errors[0].endsWith("в конфигурационном модуле."));
  }

  // "Сброс" three times (nothing acknowledged yet, nothing new, three new
  // rows), then a restart that shows the same rows acknowledged.
  void AcknowledgmentsSurviveARestart() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    machine.SetClock(2026, 12, 9, 10, 0, 1);
    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"failed"), 0u);
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    QCOMPARE(alarm.sounds, 1);
    OperationsDialog& operations = *window->operationsPage(0);
    ErrorsDialog& errors = *window->errorsPage(0);

    window->OnAcknowledge(0);
    QCOMPARE(ShownRows(*window, 0, 0),
             (QStringList{"2 10:00:00 09/12/2026 | Банк | Запуск АК СКЗИ Квелла: сервис",
                          "3 10:00:01 09/12/2026 | Банк | failed"}));
    QCOMPARE(operations.acknowledgedCount, 2);
    QCOMPARE(StoredText(L"Банк", "first_oper"), QString("10:00:00 09/12/2026"));
    QCOMPARE(StoredText(L"Банк", "last_oper"), QString("10:00:01 09/12/2026"));
    QCOMPARE(StoredText(L"Банк", "first_error"), QString("10:00:00 09/12/2026"));
    QCOMPARE(StoredText(L"Банк", "last_error"), QString("10:00:01 09/12/2026"));

    window->OnAcknowledge(0);  // nothing new: nothing removed
    QCOMPARE(operations.RowCount(), 2);
    QCOMPARE(errors.RowCount(), 2);

    for (int second = 2; second <= 4; ++second) {
      machine.SetClock(2026, 12, 9, 10, 0, second);
      QCOMPARE(machine.Write(L"Банк", 0, L"later"), 0u);
    }
    QVERIFY(RunPass(*window));
    QCOMPARE(ShownRows(*window, 0, 0).last(), QString("0 10:00:04 09/12/2026 | Банк | later"));
    window->OnAcknowledge(0);  // the rows of the first "Сброс" go
    QCOMPARE(ShownRows(*window, 0, 0),
             (QStringList{"2 10:00:02 09/12/2026 | Банк | later",
                          "2 10:00:03 09/12/2026 | Банк | later",
                          "2 10:00:04 09/12/2026 | Банк | later"}));
    QCOMPARE(errors.RowCount(), 2);  // no new errors row: none removed
    QCOMPARE(StoredText(L"Банк", "first_oper"), QString("10:00:02 09/12/2026"));
    QCOMPARE(StoredText(L"Банк", "last_oper"), QString("10:00:04 09/12/2026"));
    window.reset();

    // The next start shows the kept rows acknowledged, without an alarm;
    // a failure after the stored marks raises it.
    machine.SetClock(2026, 12, 9, 10, 0, 5);
    QCOMPARE(machine.Write(L"Банк", 0, L"after the restart"), 0u);
    CountingAlarm second;
    window = StartMonitor(machine.Folder(), second);
    QVERIFY(window);
    QCOMPARE(ShownRows(*window, 0, 0),
             (QStringList{"2 10:00:02 09/12/2026 | Банк | later",
                          "2 10:00:03 09/12/2026 | Банк | later",
                          "2 10:00:04 09/12/2026 | Банк | later",
                          "0 10:00:05 09/12/2026 | Банк | after the restart"}));
    QCOMPARE(window->operationsPage(0)->acknowledgedCount, 3);
    QCOMPARE(ShownRows(*window, 0, 1).size(), 2);
    QCOMPARE(second.sounds, 0);
    QCOMPARE(window->lights()->LampImage(0, 1), 2);
    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"new failure"), 0u);
    QVERIFY(RunPass(*window));
    QCOMPARE(second.sounds, 1);
    QCOMPARE(window->lights()->LampImage(0, 1), 1);
  }

  void SettingsStoreTheTimeout() {
    MonitorMachine machine(-1);
    Config settings(nullptr);
    QVERIFY(settings.OnInitDialog());
    auto* edit = settings.findChild<QLineEdit*>("edit1014");
    QCOMPARE(edit->text(), QString("5"));
    edit->setText("0");
    QCOMPARE(settings.ApplySettings(), 0);
    QCOMPARE(machine.boxes.Texts(MessageBoxes::Icon::Warning),
             QStringList{"Пожалуйста, выберите таймаут монитора."});
    edit->setText("30");
    settings.accept();
    QCOMPARE(settings.result(), int(QDialog::Accepted));
    int stored = 0;
    QVERIFY(ReadMonitorTimeout(nullptr, stored));
    QCOMPARE(stored, 30);
  }

  // The reset asks first; then it deletes every journal's subkey and keeps
  // the state key's own values.
  void ResetDeletesOnlyTheSubkeys() {
    MonitorMachine machine;
    machine.SetMonitorTimeout(12);
    StoreWindowRectangle(WindowRectangle{10, 20, 300, 400}, nullptr);
    for (const wchar_t* name : {L"A", L"Б", L"C.D"}) {
      StoreMarks(name, StoredMarks{L"x", L"y", L"z", L"w"}, nullptr);
      StoreMarks(CString(name) + L"\\below", StoredMarks{}, nullptr);
    }
    Config settings(nullptr);
    QVERIFY(settings.OnInitDialog());
    machine.boxes.answers = {QMessageBox::No};
    settings.OnResetMarks();
    QVERIFY(StateKeyExists(L"Б"));
    settings.OnResetMarks();  // answered Yes
    for (const wchar_t* name : {L"A", L"Б", L"C.D"}) QVERIFY(!StateKeyExists(name));
    int stored = 0;
    QVERIFY(ReadMonitorTimeout(nullptr, stored));
    QCOMPARE(stored, 12);
    WindowRectangle rectangle;
    QCOMPARE(LoadWindowRectangle(rectangle), ERROR_SUCCESS);
    QCOMPARE(rectangle.right, 300);
    QCOMPARE(machine.boxes.Texts(MessageBoxes::Icon::Error), QStringList{});
  }

  // The details dialog walks the page and stops at both ends; a right
  // double click jumps to the errors row of the same time.
  void DetailsWalkThePageAndJumpToErrors() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    machine.SetClock(2026, 12, 9, 10, 0, 1);
    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл (размер: 3). x"), 0u);
    machine.SetClock(2026, 12, 9, 10, 0, 2);
    QCOMPARE(machine.Write(L"Банк", 0, L"third"), 0u);
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    OperationsDialog& operations = *window->operationsPage(0);
    operations.SelectRow(0);
    ReadOperation details(window.get(), "Банк", 0, &operations, window->errorsPage(0));
    QCOMPARE(details.currentRow(), 1);
    details.OnUp();
    QCOMPARE(details.currentRow(), 1);
    details.OnDown();
    QCOMPARE(details.currentRow(), 2);
    QCOMPARE(details.timeText(), QString("10:00:01 09/12/2026"));
    QCOMPARE(details.dataText(), QString("Правило 1. Файл (размер: 3)\r\nx"));
    QCOMPARE(operations.SelectedRow(), 1);
    details.OnDown();
    details.OnDown();
    QCOMPARE(details.currentRow(), 3);

    operations.jumpTime = "10:00:01 09/12/2026";
    window->OnShowErrorAtTime(0);
    QCOMPARE(window->tabs()->currentIndex(), 2);
    QCOMPARE(window->errorsPage(0)->SelectedRow(), 1);
    window->tabs()->setCurrentIndex(1);
    operations.jumpTime = "10:00:02 09/12/2026";  // no errors row of this time
    window->OnShowErrorAtTime(0);
    QCOMPARE(window->tabs()->currentIndex(), 1);
  }

  // The stored rectangle places the window when its top and left are set.
  void RestoresTheStoredPlacement_data() {
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<bool>("used");
    QTest::newRow("stored") << QRect(QPoint(100, 120), QPoint(1299, 899)) << true;
    QTest::newRow("left 0") << QRect(QPoint(0, 100), QPoint(1299, 899)) << false;
  }
  void RestoresTheStoredPlacement() {
    QFETCH(QRect, stored);
    QFETCH(bool, used);
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    StoreWindowRectangle(
        WindowRectangle{stored.left(), stored.top(), stored.right() + 1, stored.bottom() + 1},
        nullptr);
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    QCOMPARE(window->geometry() == stored, used);
  }

  // Between passes the exit asks nothing and waits for the poller.
  void ExitWhileIdleAsksNothing() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    QVERIFY(QTest::qWaitFor([&] { return window->context()->idle.load() == 1; }));
    window->OnExit();
    QVERIFY(machine.boxes.shown.empty());
    QVERIFY(window->isHidden());
    QVERIFY(window->poller()->WaitForEnd(0));
    WindowRectangle rectangle;
    QCOMPARE(LoadWindowRectangle(rectangle), ERROR_SUCCESS);
    QVERIFY(rectangle.right > rectangle.left);
  }

  // During a pass the exit asks; "Нет" closes at once while the poller still
  // waits on its hand-over, which then ends safely; "Отмена" changes nothing.
  void ExitDuringAPass() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    QCOMPARE(machine.Write(L"Банк", 0, L"pending"), 0u);
    window->context()->Tick();
    QVERIFY(WaitUnserved([&] { return window->context()->busy.load() == 1; }));
    QCOMPARE(window->context()->idle.load(), 0);

    machine.boxes.answers = {QMessageBox::Cancel, QMessageBox::No};
    window->OnExit();
    QVERIFY(!window->isHidden());
    QCOMPARE(window->context()->stop.load(), 0);
    window->OnExit();
    QCOMPARE(machine.boxes.Texts(MessageBoxes::Icon::Question).size(), 2);
    QCOMPARE(machine.boxes.Texts(MessageBoxes::Icon::Question)[1],
             QString::fromUtf8(kExitWhileBusyQuestion));
    QVERIFY(window->isHidden());
    window.reset();  // waits for the poller, which ends on the stop
  }
};

QTEST_MAIN(MonitorWindowTest)
#include "monitor_window_test.moc"
