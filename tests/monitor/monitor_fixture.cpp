#include "tests/monitor/monitor_fixture.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "common/qt_translations.h"
#include "monitor/journal_pages.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_window.h"
#include "platform/datetime.h"
#include "service/core/journal.h"
#include "tests/support/gui_test_main.h"

namespace monitortest {

QMessageBox::StandardButton RecordingBoxes::Show(QWidget*, Icon icon, const QString& text,
                                                 QMessageBox::StandardButtons,
                                                 QMessageBox::StandardButton, bool) {
  if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offWindowThread;
  shown.push_back(Shown{icon, text});
  if (!answers.empty()) {
    const QMessageBox::StandardButton answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return icon == Icon::Question ? QMessageBox::Yes : QMessageBox::Ok;
}

int RecordingBoxes::RunDialog(QDialog& dialog) {
  return onDialog ? onDialog(dialog) : QDialog::Rejected;
}

QStringList RecordingBoxes::Texts(Icon icon) const {
  QStringList texts;
  for (const Shown& box : shown) {
    if (box.icon == icon) texts.append(box.text);
  }
  return texts;
}

MonitorMachine::MonitorMachine(int monitorTimeout)
    : folder_(root.Dir("journal")), clock_(root, 0) {
  SetClock(2026, 12, 9, 10, 0, 0);
  if (monitorTimeout >= 0) SetMonitorTimeout(monitorTimeout);
}

void MonitorMachine::SetClock(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  const sys_days date = year_month_day{std::chrono::year{year},
                                       std::chrono::month{static_cast<unsigned>(month)},
                                       std::chrono::day{static_cast<unsigned>(day)}};
  const long long seconds =
      date.time_since_epoch().count() * 86400LL + hour * 3600 + minute * 60 + second;
  clock_.Set(seconds);
}

DWORD MonitorMachine::Write(const CString& profile, const JournalRecord& record) {
  JournalFiles files{.settings = MakeJournalSettings(profile, 400)};
  return WriteJournal(Folder(), files, profile, record);
}

DWORD MonitorMachine::Write(const CString& profile, DWORD code, const CString& message,
                            const CString& detail) {
  return Write(profile, {.code = code, .message = message, .detail = detail});
}

bool MonitorMachine::WriteStart(const CString& profile) {
  return Write(profile, {.kind = JournalRecordKind::kStartStop, .message = kServiceStartMessage}) == 0;
}

void MonitorMachine::SetMonitorTimeout(int seconds) {
  RegistryKey key;
  OpenMonitorStateKey(key);
  monitor::WriteDwordValue(key.Handle(), "Monitor timeout", seconds, boxes.Unowned());
}

CString MonitorMachine::Folder() const { return CString(folder_.wstring().c_str()); }

std::unique_ptr<CmirelMonitorDlg> StartMonitor(const CString& folder, AlarmSink& alarm,
                                               MessageBoxes& boxes) {
  auto window = std::make_unique<CmirelMonitorDlg>(folder, alarm, boxes);
  if (!window->OnInitDialog() || window->pairs().empty()) return nullptr;
  window->show();
  if (!QTest::qWaitFor([&] { return window->context()->CompletedPasses() >= 1; }, 20000)) {
    return nullptr;
  }
  return window;
}

bool RunPass(CmirelMonitorDlg& window) {
  // A pass begun after this point has seen everything written before it.
  const int begun = window.context()->StartedPasses();
  window.context()->Tick();
  return QTest::qWaitFor([&] { return window.context()->CompletedPasses() > begun; }, 20000);
}

QStringList ShownRows(const CmirelMonitorDlg& window, int pair, int kind) {
  const JournalPage& page = kind == 0 ? static_cast<const JournalPage&>(*window.operationsPage(pair))
                                      : *window.errorsPage(pair);
  QStringList rows;
  for (int row = 0; row < page.RowCount(); ++row) {
    QStringList texts;
    for (int column = 0; column < page.rows()->TextCount(row); ++column) {
      texts.append(page.rows()->Text(row, column));
    }
    rows.append(QString::number(page.rows()->Image(row)) + QStringLiteral(" ") +
                texts.join(QStringLiteral(" | ")));
  }
  return rows;
}

}  // namespace monitortest

// As the program does at start: Qt's texts in Russian.
void PrepareTestApplication(QApplication& application) {
  SpeakRussian(application);
}
