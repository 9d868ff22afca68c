// The main window and its dialogs: where the journal folder comes from, the
// pairs and tabs of a folder, the per-user state (created when missing, the
// acknowledgments and their return at the next start, the settings and
// their reset), the details dialog and the exit protocol.

#include "monitor/monitor_window.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRect>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>
#include <thread>

#include "common/registry_values.h"
#include "monitor/config_dialog.h"
#include "monitor/journal_folder.h"
#include "monitor/journal_pages.h"
#include "monitor/lights_dialog.h"
#include "monitor/monitor_state.h"
#include "monitor/open_dialog.h"
#include "monitor/read_operation.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "tests/monitor/monitor_fixture.h"
#include "tests/support/qt_printers.h"

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
  LoadStoredMarks(name, marks, ErrorBoxOwner{});
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
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TORVAK\\qelmservice"), ERROR_SUCCESS);
  if (logPath != nullptr) {
    ASSERT_EQ(monitor::WriteStringValue(key.Handle(), "LogPath", logPath, ErrorBoxOwner{}), 1);
  }
}

// Waits for a state of the poller without serving the window's events, so
// that a hand-over stays pending.
bool WaitUnserved(const std::function<bool()>& done) {
  for (int round = 0; round < 2000000 && !done(); ++round) std::this_thread::yield();
  return done();
}

}  // namespace

// "LogPath" empty: the default folder, made when missing.
TEST(MonitorWindowTest, EmptyLogPathWatchesTheDefaultFolder) {
  MonitorMachine machine;
  CreateServiceKey(L"");
  CString folder;
  int prompts = 0;
  const FolderSource source = FindJournalFolder(
      L"", [&](CString&) { return ++prompts, false; }, folder, machine.boxes.Unowned());
  ASSERT_EQ(int(source), int(FolderSource::Found));
  const auto expected = machine.root.path() / "ProgramData" / "TORVAK" / "qelmservice";
  ASSERT_EQ(Text(folder), QString::fromStdString(expected.string()));
  ASSERT_TRUE(std::filesystem::is_directory(expected));
  ASSERT_EQ(prompts, 0);
}

TEST(MonitorWindowTest, LogPathIsTakenAsItIs) {
  MonitorMachine machine;
  CreateServiceKey(L"/srv/journals");
  CString folder;
  ASSERT_EQ(int(FindJournalFolder(
                L"", [](CString&) { return false; }, folder, machine.boxes.Unowned())),
            int(FolderSource::Found));
  ASSERT_EQ(Text(folder), QString("/srv/journals"));
}

// Without the configuration store the command line names the folder; with
// fewer than two quoted arguments the user is asked.
TEST(MonitorWindowTest, MissingStoreTakesTheCommandLine) {
  struct Case {
    const char* name;
    QString commandLine;
    bool answer;
    FolderSource source;
    QString folder;
    int prompts;
  };
  const Case cases[] = {
      {"folder and profile", "'/x/J' 'P'", false, FolderSource::Found, "/x/J", 0},
      {"folder only, picked", "'/x/J'", true, FolderSource::Found, "/picked", 1},
      {"nothing, cancelled", "", false, FolderSource::Cancelled, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    [&] {
      MonitorMachine machine;
      CString found;
      int asked = 0;
      const FolderSource result = FindJournalFolder(
          CString(c.commandLine.toStdWString().c_str()),
          [&](CString& picked) {
            ++asked;
            picked = L"/picked";
            return c.answer;
          },
          found, machine.boxes.Unowned());
      ASSERT_EQ(int(result), int(c.source));
      ASSERT_EQ(asked, c.prompts);
      if (result == FolderSource::Found) {
        ASSERT_EQ(Text(found), c.folder);
      }
    }();
  }
}

// The folder prompt accepts an existing absolute folder only.
TEST(MonitorWindowTest, FolderPromptAcceptsExistingAbsoluteFolders) {
  MonitorMachine machine;
  OpenDialog prompt(machine.boxes);
  auto* edit = prompt.findChild<QLineEdit*>("edit1007");
  ASSERT_TRUE(edit);
  edit->setText("");
  prompt.OnFolderOk();
  edit->setText(QString::fromStdString((machine.root.path() / "missing").string()));
  prompt.OnFolderOk();
  ASSERT_EQ(
      machine.boxes.Texts(MessageBoxes::Icon::Warning),
      (QStringList{"Выбран некорректный путь журнала.", "Выбран некорректный путь журнала."}));
  const auto relative = std::filesystem::relative(machine.FolderPath());
  edit->setText(QString::fromStdString(relative.string()));
  prompt.OnFolderOk();
  ASSERT_EQ(prompt.result(), 0);
  const QStringList errors = machine.boxes.Texts(MessageBoxes::Icon::Error);
  ASSERT_EQ(errors.size(), 1);
  ASSERT_TRUE(errors[0].startsWith("Открытие файла " + QString::fromStdString(relative.string()) +
                                   ".\r\nОшибка 0x3 - "));
  ASSERT_TRUE(errors[0].endsWith(".\r\nВыбран некорректный путь журнала."));
  edit->setText(Text(machine.Folder()));
  prompt.OnFolderOk();
  ASSERT_EQ(prompt.result(), int(QDialog::Accepted));
  ASSERT_EQ(prompt.folder(), Text(machine.Folder()));
}

// The tabs of a folder: one pair per profile with both journals, in
// discovery order; a profile with one journal has none.
TEST(MonitorWindowTest, PairsBecomeTabs) {
  MonitorMachine machine(-1);
  ASSERT_TRUE(machine.WriteStart(L"A.B"));
  ASSERT_TRUE(machine.WriteStart(L"Bank"));
  ASSERT_EQ(machine.Write(L"Solo", 0, L"only an operations journal"), 0u);
  ASSERT_TRUE(!StateKeyExists());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  QStringList tabs;
  for (int i = 0; i < window->tabs()->count(); ++i) tabs.append(window->tabs()->tabText(i));
  ASSERT_EQ(tabs, (QStringList{"Монитор", "A.B - операции", "A.B - ошибки", "Bank - операции",
                               "Bank - ошибки"}));
  ASSERT_EQ(window->lights()->list()->topLevelItemCount(), 2);
  ASSERT_EQ(window->lights()->list()->topLevelItem(1)->text(2), QString("Bank"));
  // A user who never acknowledged anything: the state key is made.
  ASSERT_TRUE(StateKeyExists());
  ASSERT_TRUE(machine.boxes.shown.empty());
}

TEST(MonitorWindowTest, EmptyFolderIsReported) {
  MonitorMachine machine;
  CountingAlarm alarm;
  CmirelMonitorDlg window(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(!window.OnInitDialog());
  const QStringList errors = machine.boxes.Texts(MessageBoxes::Icon::Error);
  ASSERT_EQ(errors.size(), 1);
  ASSERT_TRUE(errors[0].startsWith("Поиск файлов журнала в каталоге " + Text(machine.Folder()) +
                                   ".\r\nОшибка 0x2 - "));
  ASSERT_TRUE(errors[0].endsWith("в конфигурационном модуле."));
}

// "Сброс" three times (nothing acknowledged yet, nothing new, three new
// rows), then a restart that shows the same rows acknowledged.
TEST(MonitorWindowTest, AcknowledgmentsSurviveARestart) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  machine.SetClock(2026, 12, 9, 10, 0, 1);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"failed"), 0u);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(alarm.sounds, 1);
  OperationsDialog& operations = *window->operationsPage(0);
  ErrorsDialog& errors = *window->errorsPage(0);

  window->OnAcknowledge(0);
  ASSERT_EQ(ShownRows(*window, 0, 0),
            (QStringList{"2 10:00:00 09/12/2026 | Банк | Запуск АК СКЗИ Квелла: сервис",
                         "3 10:00:01 09/12/2026 | Банк | failed"}));
  ASSERT_EQ(operations.acknowledgedCount, 2);
  ASSERT_EQ(StoredText(L"Банк", "first_oper"), QString("10:00:00 09/12/2026"));
  ASSERT_EQ(StoredText(L"Банк", "last_oper"), QString("10:00:01 09/12/2026"));
  ASSERT_EQ(StoredText(L"Банк", "first_error"), QString("10:00:00 09/12/2026"));
  ASSERT_EQ(StoredText(L"Банк", "last_error"), QString("10:00:01 09/12/2026"));

  window->OnAcknowledge(0);  // nothing new: nothing removed
  ASSERT_EQ(operations.RowCount(), 2);
  ASSERT_EQ(errors.RowCount(), 2);

  for (int second = 2; second <= 4; ++second) {
    machine.SetClock(2026, 12, 9, 10, 0, second);
    ASSERT_EQ(machine.Write(L"Банк", 0, L"later"), 0u);
  }
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(ShownRows(*window, 0, 0).last(), QString("0 10:00:04 09/12/2026 | Банк | later"));
  window->OnAcknowledge(0);  // the rows of the first "Сброс" go
  ASSERT_EQ(ShownRows(*window, 0, 0), (QStringList{"2 10:00:02 09/12/2026 | Банк | later",
                                                   "2 10:00:03 09/12/2026 | Банк | later",
                                                   "2 10:00:04 09/12/2026 | Банк | later"}));
  ASSERT_EQ(errors.RowCount(), 2);  // no new errors row: none removed
  ASSERT_EQ(StoredText(L"Банк", "first_oper"), QString("10:00:02 09/12/2026"));
  ASSERT_EQ(StoredText(L"Банк", "last_oper"), QString("10:00:04 09/12/2026"));
  window.reset();

  // The next start shows the kept rows acknowledged, without an alarm;
  // a failure after the stored marks raises it.
  machine.SetClock(2026, 12, 9, 10, 0, 5);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"after the restart"), 0u);
  CountingAlarm second;
  window = StartMonitor(machine.Folder(), second, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(
      ShownRows(*window, 0, 0),
      (QStringList{"2 10:00:02 09/12/2026 | Банк | later", "2 10:00:03 09/12/2026 | Банк | later",
                   "2 10:00:04 09/12/2026 | Банк | later",
                   "0 10:00:05 09/12/2026 | Банк | after the restart"}));
  ASSERT_EQ(window->operationsPage(0)->acknowledgedCount, 3);
  ASSERT_EQ(ShownRows(*window, 0, 1).size(), 2);
  ASSERT_EQ(second.sounds, 0);
  ASSERT_EQ(window->lights()->LampImage(0, 1), 2);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"new failure"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(second.sounds, 1);
  ASSERT_EQ(window->lights()->LampImage(0, 1), 1);
}

TEST(MonitorWindowTest, SettingsStoreTheTimeout) {
  MonitorMachine machine(-1);
  Config settings(nullptr, machine.boxes);
  ASSERT_TRUE(settings.OnInitDialog());
  auto* edit = settings.findChild<QLineEdit*>("edit1014");
  ASSERT_EQ(edit->text(), QString("5"));
  edit->setText("0");
  ASSERT_EQ(settings.ApplySettings(), 0);
  ASSERT_EQ(machine.boxes.Texts(MessageBoxes::Icon::Warning),
            QStringList{"Пожалуйста, выберите таймаут монитора."});
  edit->setText("30");
  settings.accept();
  ASSERT_EQ(settings.result(), int(QDialog::Accepted));
  int stored = 0;
  ASSERT_TRUE(ReadMonitorTimeout(machine.boxes.Unowned(), stored));
  ASSERT_EQ(stored, 30);
}

// The reset asks first; then it deletes every journal's subkey and keeps
// the state key's own values.
TEST(MonitorWindowTest, ResetDeletesOnlyTheSubkeys) {
  MonitorMachine machine;
  machine.SetMonitorTimeout(12);
  StoreWindowRectangle(WindowRectangle{10, 20, 300, 400}, machine.boxes.Unowned());
  for (const wchar_t* name : {L"A", L"Б", L"C.D"}) {
    StoreMarks(name, StoredMarks{L"x", L"y", L"z", L"w"}, machine.boxes.Unowned());
    StoreMarks(CString(name) + L"\\below", StoredMarks{}, machine.boxes.Unowned());
  }
  Config settings(nullptr, machine.boxes);
  ASSERT_TRUE(settings.OnInitDialog());
  machine.boxes.answers = {QMessageBox::No};
  settings.OnResetMarks();
  ASSERT_TRUE(StateKeyExists(L"Б"));
  settings.OnResetMarks();  // answered Yes
  for (const wchar_t* name : {L"A", L"Б", L"C.D"}) ASSERT_TRUE(!StateKeyExists(name));
  int stored = 0;
  ASSERT_TRUE(ReadMonitorTimeout(machine.boxes.Unowned(), stored));
  ASSERT_EQ(stored, 12);
  WindowRectangle rectangle;
  ASSERT_EQ(LoadWindowRectangle(rectangle, machine.boxes.Unowned()), ERROR_SUCCESS);
  ASSERT_EQ(rectangle.right, 300);
  ASSERT_EQ(machine.boxes.Texts(MessageBoxes::Icon::Error), QStringList{});
}

// The window's dialogs run through the seam, so a test answers them: the
// details of the selected row, the settings and "О программе".
TEST(MonitorWindowTest, DialogsRunThroughTheSeam) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  machine.SetClock(2026, 12, 9, 10, 0, 1);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'back\\x09slash.txt' (размер: 3). x"), 0u);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  window->operationsPage(0)->SelectRow(1);
  QStringList ran;
  QString details;
  machine.boxes.onDialog = [&](QDialog& dialog) {
    ran.append(QString::fromLatin1(dialog.metaObject()->className()));
    if (auto* read = qobject_cast<ReadOperation*>(&dialog)) details = read->dataText();
    return int{QDialog::Rejected};
  };
  window->OnShowDetails(0, 0);
  window->OnConfig();
  window->OnAbout();
  ASSERT_EQ(ran, (QStringList{"ReadOperation", "Config", "CAboutDlg"}));
  // The name shows as it is, its backslash once.
  ASSERT_EQ(details, QString("Правило 1. Файл 'back\\x09slash.txt' (размер: 3)\r\nx"));
  ASSERT_EQ(machine.boxes.Texts(MessageBoxes::Icon::Error), QStringList{});
}

// The details dialog walks the page and stops at both ends; a right
// double click jumps to the errors row of the same time.
TEST(MonitorWindowTest, DetailsWalkThePageAndJumpToErrors) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  machine.SetClock(2026, 12, 9, 10, 0, 1);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл (размер: 3). x"), 0u);
  machine.SetClock(2026, 12, 9, 10, 0, 2);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"third"), 0u);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  OperationsDialog& operations = *window->operationsPage(0);
  operations.SelectRow(0);
  ReadOperation details(window.get(), "Банк", 0, &operations, window->errorsPage(0));
  ASSERT_EQ(details.currentRow(), 1);
  details.OnUp();
  ASSERT_EQ(details.currentRow(), 1);
  details.OnDown();
  ASSERT_EQ(details.currentRow(), 2);
  ASSERT_EQ(details.timeText(), QString("10:00:01 09/12/2026"));
  ASSERT_EQ(details.dataText(), QString("Правило 1. Файл (размер: 3)\r\nx"));
  ASSERT_EQ(operations.SelectedRow(), 1);
  details.OnDown();
  details.OnDown();
  ASSERT_EQ(details.currentRow(), 3);

  operations.jumpTime = "10:00:01 09/12/2026";
  window->OnShowErrorAtTime(0);
  ASSERT_EQ(window->tabs()->currentIndex(), 2);
  ASSERT_EQ(window->errorsPage(0)->SelectedRow(), 1);
  window->tabs()->setCurrentIndex(1);
  operations.jumpTime = "10:00:02 09/12/2026";  // no errors row of this time
  window->OnShowErrorAtTime(0);
  ASSERT_EQ(window->tabs()->currentIndex(), 1);
}

// The stored rectangle places the window when its top and left are set.
TEST(MonitorWindowTest, RestoresTheStoredPlacement) {
  struct Case {
    const char* name;
    QRect stored;
    bool used;
  };
  const Case cases[] = {
      {"stored", QRect(QPoint(100, 120), QPoint(1299, 899)), true},
      {"left 0", QRect(QPoint(0, 100), QPoint(1299, 899)), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    [&] {
      MonitorMachine machine;
      ASSERT_TRUE(machine.WriteStart());
      StoreWindowRectangle(WindowRectangle{c.stored.left(), c.stored.top(), c.stored.right() + 1,
                                           c.stored.bottom() + 1},
                           machine.boxes.Unowned());
      CountingAlarm alarm;
      auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
      ASSERT_TRUE(window);
      ASSERT_EQ(window->geometry() == c.stored, c.used);
    }();
  }
}

// Between passes the exit asks nothing and waits for the poller.
TEST(MonitorWindowTest, ExitWhileIdleAsksNothing) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->context()->idle.load() == 1; }));
  window->OnExit();
  ASSERT_TRUE(machine.boxes.shown.empty());
  ASSERT_TRUE(window->isHidden());
  ASSERT_TRUE(window->poller()->WaitForEnd(0));
  WindowRectangle rectangle;
  ASSERT_EQ(LoadWindowRectangle(rectangle, machine.boxes.Unowned()), ERROR_SUCCESS);
  ASSERT_TRUE(rectangle.right > rectangle.left);
}

// During a pass the exit asks; "Нет" closes at once while the poller still
// waits on its hand-over, which then ends safely; "Отмена" changes nothing.
TEST(MonitorWindowTest, ExitDuringAPass) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"pending"), 0u);
  window->context()->Tick();
  ASSERT_TRUE(WaitUnserved([&] { return window->context()->busy.load() == 1; }));
  ASSERT_EQ(window->context()->idle.load(), 0);

  machine.boxes.answers = {QMessageBox::Cancel, QMessageBox::No};
  window->OnExit();
  ASSERT_TRUE(!window->isHidden());
  ASSERT_EQ(window->context()->stop.load(), 0);
  window->OnExit();
  ASSERT_EQ(machine.boxes.Texts(MessageBoxes::Icon::Question).size(), 2);
  ASSERT_EQ(machine.boxes.Texts(MessageBoxes::Icon::Question)[1],
            QString::fromUtf8(kExitWhileBusyQuestion));
  ASSERT_TRUE(window->isHidden());
  window.reset();  // waits for the poller, which ends on the stop
}
