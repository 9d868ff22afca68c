// The pages as an operator sees them: columns that fill the list from the
// first look at a page, rows as tall as their own text, a list that keeps
// the newest row in view, and the number of profiles in alarm in the title.

#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTableView>
#include <QTreeWidget>

#include "monitor/journal_pages.h"
#include "monitor/lights_dialog.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_window.h"
#include "tests/monitor/monitor_fixture.h"

using namespace monitortest;

namespace {

constexpr DWORD kAccessDenied = 5;

// The widths of the list's columns add up to its visible width, and the
// column of the time (on the lamps page: of the name) is not squeezed.
bool ColumnsFill(const QAbstractItemView* list, const QHeaderView* header, int wide) {
  int sum = 0;
  for (int column = 0; column < header->count(); ++column) sum += header->sectionSize(column);
  const int width = list->viewport()->width();
  return sum == width && header->sectionSize(wide) > list->fontMetrics().horizontalAdvance("00:00:00");
}

void ShowTab(CmirelMonitorDlg& window, int tab) {
  window.tabs()->setCurrentIndex(tab);
  QCoreApplication::processEvents();
}

}  // namespace

class MonitorPagesTest : public QObject {
  Q_OBJECT
 private slots:
  // Every page, looked at for the first time, has its columns laid out over
  // the list's width; so has a page looked at again after the window grew
  // while it was hidden.
  void ColumnsFillTheListWhenAPageIsShown() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    QVERIFY(machine.WriteStart(L"Касса"));
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    window->resize(1000, 520);
    QCoreApplication::processEvents();
    QVERIFY(window->lights()->list()->viewport()->width() > 800);
    QVERIFY(ColumnsFill(window->lights()->list(), window->lights()->list()->header(), 2));
    for (int tab = 1; tab < window->tabs()->count(); ++tab) {
      ShowTab(*window, tab);
      auto* page = qobject_cast<JournalPage*>(window->tabs()->widget(tab));
      QVERIFY(page);
      QVERIFY2(page->list()->viewport()->width() > 800, qPrintable(QString::number(tab)));
      QVERIFY2(ColumnsFill(page->list(), page->list()->horizontalHeader(), 1),
               qPrintable(QString::number(tab)));
    }
    window->resize(1300, 600);
    QCoreApplication::processEvents();
    for (int tab = 0; tab < window->tabs()->count(); ++tab) {
      ShowTab(*window, tab);
      auto* page = qobject_cast<JournalPage*>(window->tabs()->widget(tab));
      QAbstractItemView* list = page ? static_cast<QAbstractItemView*>(page->list())
                                     : window->lights()->list();
      QHeaderView* header = page ? page->list()->horizontalHeader() : window->lights()->list()->header();
      QVERIFY2(list->viewport()->width() > 1100, qPrintable(QString::number(tab)));
      QVERIFY2(ColumnsFill(list, header, page ? 1 : 2), qPrintable(QString::number(tab)));
    }
  }

  // A record with stack lines is as tall as its lines; the records around it
  // stay one line tall.
  void ErrorsRowsTakeTheirOwnHeight() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'a'",
                           L"1. first stack line\r\n2. second stack line\r\n3. third\r\n"),
             0u);
    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'b'"), 0u);
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    ShowTab(*window, 2);
    ErrorsDialog& page = *window->errorsPage(0);
    QCOMPARE(page.RowCount(), 3);
    auto height = [&](int row) {
      return page.list()->visualRect(page.rows()->index(row, 2)).height();
    };
    const int line = height(0);
    QVERIFY(line > 0);
    QCOMPARE(height(2), line);
    QVERIFY2(height(1) >= 3 * page.list()->fontMetrics().lineSpacing(),
             qPrintable(QString("%1 %2").arg(height(1)).arg(line)));
  }

  // A list at its end follows the new rows; one scrolled up stays where the
  // operator left it.
  void ListFollowsNewRowsAtItsEnd() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    for (int i = 0; i < 100; ++i) QCOMPARE(machine.Write(L"Банк", 0, L"Правило 1. Файл 'a'"), 0u);
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    ShowTab(*window, 1);
    OperationsDialog& page = *window->operationsPage(0);
    QTableView* list = page.list();
    auto lastVisible = [&] {
      const QRect last = list->visualRect(page.rows()->index(page.RowCount() - 1, 1));
      return list->viewport()->rect().contains(last.center());
    };
    QVERIFY(list->verticalScrollBar()->maximum() > 0);
    QVERIFY(lastVisible());

    QCOMPARE(machine.Write(L"Банк", 0, L"Правило 1. Файл 'new'"), 0u);
    QVERIFY(RunPass(*window));
    QCOMPARE(page.RowCount(), 102);
    QVERIFY(lastVisible());

    list->verticalScrollBar()->setValue(0);
    QCOMPARE(machine.Write(L"Банк", 0, L"Правило 1. Файл 'newer'"), 0u);
    QVERIFY(RunPass(*window));
    QCOMPARE(page.RowCount(), 103);
    QCOMPARE(list->verticalScrollBar()->value(), 0);
    QVERIFY(!lastVisible());
  }

  // The window title and the lamps tab count the profiles in alarm.
  void TitleCountsTheProfilesInAlarm() {
    MonitorMachine machine;
    QVERIFY(machine.WriteStart());
    QVERIFY(machine.WriteStart(L"Касса"));
    CountingAlarm alarm;
    auto window = StartMonitor(machine.Folder(), alarm);
    QVERIFY(window);
    const QString caption = QString::fromUtf8(kMonitorCaption);
    QCOMPARE(window->windowTitle(), caption);
    QCOMPARE(window->tabs()->tabText(0), QString("Монитор"));

    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"a"), 0u);
    QCOMPARE(machine.Write(L"Банк", kAccessDenied, L"b"), 0u);
    QCOMPARE(machine.Write(L"Касса", kAccessDenied, L"c"), 0u);
    QVERIFY(RunPass(*window));
    QCOMPARE(alarm.sounds, 3);
    QCOMPARE(window->windowTitle(), caption + " - тревога: 2");
    QCOMPARE(window->tabs()->tabText(0), QString("Монитор (тревога: 2)"));

    window->lights()->list()->topLevelItem(0)->setSelected(true);
    QTest::mouseClick(window->lights()->clearButton(), Qt::LeftButton);
    QCOMPARE(window->windowTitle(), caption + " - тревога: 1");
    window->lights()->list()->topLevelItem(1)->setSelected(true);
    QTest::mouseClick(window->lights()->clearButton(), Qt::LeftButton);
    QCOMPARE(window->windowTitle(), caption);
    QCOMPARE(window->tabs()->tabText(0), QString("Монитор"));
  }
};

QTEST_MAIN(MonitorPagesTest)
#include "monitor_pages_test.moc"
