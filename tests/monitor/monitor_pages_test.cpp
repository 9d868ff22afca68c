// The pages as an operator sees them: columns that fill the list from the
// first look at a page, rows as tall as their own text, a list that keeps
// the newest row in view, and the number of profiles in alarm in the title.

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>

#include "monitor/journal_pages.h"
#include "monitor/lights_dialog.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_window.h"
#include "tests/monitor/monitor_fixture.h"
#include "tests/support/qt_printers.h"

using namespace monitortest;

namespace {

constexpr DWORD kAccessDenied = 5;

// The widths of the list's columns add up to its visible width, and the
// column of the time (on the lamps page: of the name) is not squeezed.
bool ColumnsFill(const QAbstractItemView* list, const QHeaderView* header, int wide) {
  int sum = 0;
  for (int column = 0; column < header->count(); ++column) sum += header->sectionSize(column);
  const int width = list->viewport()->width();
  return sum == width &&
         header->sectionSize(wide) > list->fontMetrics().horizontalAdvance("00:00:00");
}

void ShowTab(CmirelMonitorDlg& window, int tab) {
  window.tabs()->setCurrentIndex(tab);
  QCoreApplication::processEvents();
}

}  // namespace

// Every page, looked at for the first time, has its columns laid out over
// the list's width; so has a page looked at again after the window grew
// while it was hidden.
TEST(MonitorPagesTest, ColumnsFillTheListWhenAPageIsShown) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  ASSERT_TRUE(machine.WriteStart(L"Касса"));
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  window->resize(1000, 520);
  QCoreApplication::processEvents();
  ASSERT_TRUE(window->lights()->list()->viewport()->width() > 800);
  ASSERT_TRUE(ColumnsFill(window->lights()->list(), window->lights()->list()->header(), 2));
  for (int tab = 1; tab < window->tabs()->count(); ++tab) {
    ShowTab(*window, tab);
    auto* page = qobject_cast<JournalPage*>(window->tabs()->widget(tab));
    ASSERT_TRUE(page);
    ASSERT_TRUE(page->list()->viewport()->width() > 800) << "tab " << tab;
    ASSERT_TRUE(ColumnsFill(page->list(), page->list()->horizontalHeader(), 1)) << "tab " << tab;
  }
  window->resize(1300, 600);
  QCoreApplication::processEvents();
  for (int tab = 0; tab < window->tabs()->count(); ++tab) {
    ShowTab(*window, tab);
    auto* page = qobject_cast<JournalPage*>(window->tabs()->widget(tab));
    QAbstractItemView* list =
        page ? static_cast<QAbstractItemView*>(page->list()) : window->lights()->list();
    QHeaderView* header =
        page ? page->list()->horizontalHeader() : window->lights()->list()->header();
    ASSERT_TRUE(list->viewport()->width() > 1100) << "tab " << tab;
    ASSERT_TRUE(ColumnsFill(list, header, page ? 1 : 2)) << "tab " << tab;
  }
}

// The time column is wide enough for its caption and for the whole time of
// every row, year included: at the window's first size and at its least,
// where the column's share of the list's width is not.
TEST(MonitorPagesTest, TheTimeColumnShowsTheWholeTimeAtFirstShow) {
  MonitorMachine machine;
  machine.SetClock(2026, 12, 28, 23, 58, 59);
  ASSERT_TRUE(machine.WriteStart());
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'a'"), 0u);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  const QSize first = window->size();
  for (const QSize size : {first, window->minimumSize()}) {
    window->resize(size);
    QCoreApplication::processEvents();
    for (int tab = 1; tab < window->tabs()->count(); ++tab) {
      ShowTab(*window, tab);
      auto* page = qobject_cast<JournalPage*>(window->tabs()->widget(tab));
      ASSERT_TRUE(page);
      ASSERT_GT(page->RowCount(), 0) << "tab " << tab;
      const QHeaderView* header = page->list()->horizontalHeader();
      SCOPED_TRACE(testing::Message() << "tab " << tab << ", window " << size.width() << " x "
                                      << size.height() << ", time " << page->TimeText(0).toStdString());
      const QAbstractItemView* list = page->list();
      EXPECT_GE(header->sectionSize(1), list->sizeHintForColumn(1));
      EXPECT_GE(header->sectionSize(1), header->sectionSizeHint(1));
    }
  }
}

// A record with stack lines is as tall as its lines; the records around it
// stay one line tall.
TEST(MonitorPagesTest, ErrorsRowsTakeTheirOwnHeight) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'a'",
                          L"1. first stack line\r\n2. second stack line\r\n3. third\r\n"),
            0u);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"Правило 1. Файл 'b'"), 0u);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ShowTab(*window, 2);
  ErrorsDialog& page = *window->errorsPage(0);
  ASSERT_EQ(page.RowCount(), 3);
  auto height = [&](int row) {
    return page.list()->visualRect(page.rows()->index(row, 2)).height();
  };
  const int line = height(0);
  ASSERT_TRUE(line > 0);
  ASSERT_EQ(height(2), line);
  ASSERT_TRUE(height(1) >= 3 * page.list()->fontMetrics().lineSpacing())
      << height(1) << " " << line;
}

// A list at its end follows the new rows; one scrolled up stays where the
// operator left it.
TEST(MonitorPagesTest, ListFollowsNewRowsAtItsEnd) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  for (int i = 0; i < 100; ++i) ASSERT_EQ(machine.Write(L"Банк", 0, L"Правило 1. Файл 'a'"), 0u);
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  ShowTab(*window, 1);
  OperationsDialog& page = *window->operationsPage(0);
  QTableView* list = page.list();
  auto lastVisible = [&] {
    const QRect last = list->visualRect(page.rows()->index(page.RowCount() - 1, 1));
    return list->viewport()->rect().contains(last.center());
  };
  ASSERT_TRUE(list->verticalScrollBar()->maximum() > 0);
  ASSERT_TRUE(lastVisible());

  ASSERT_EQ(machine.Write(L"Банк", 0, L"Правило 1. Файл 'new'"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(page.RowCount(), 102);
  ASSERT_TRUE(lastVisible());

  list->verticalScrollBar()->setValue(0);
  ASSERT_EQ(machine.Write(L"Банк", 0, L"Правило 1. Файл 'newer'"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(page.RowCount(), 103);
  ASSERT_EQ(list->verticalScrollBar()->value(), 0);
  ASSERT_TRUE(!lastVisible());
}

// The window title and the lamps tab count the profiles in alarm.
TEST(MonitorPagesTest, TitleCountsTheProfilesInAlarm) {
  MonitorMachine machine;
  ASSERT_TRUE(machine.WriteStart());
  ASSERT_TRUE(machine.WriteStart(L"Касса"));
  CountingAlarm alarm;
  auto window = StartMonitor(machine.Folder(), alarm, machine.boxes);
  ASSERT_TRUE(window);
  const QString caption = QString::fromUtf8(kMonitorCaption);
  ASSERT_EQ(window->windowTitle(), caption);
  ASSERT_EQ(window->tabs()->tabText(0), QString("Монитор"));

  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"a"), 0u);
  ASSERT_EQ(machine.Write(L"Банк", kAccessDenied, L"b"), 0u);
  ASSERT_EQ(machine.Write(L"Касса", kAccessDenied, L"c"), 0u);
  ASSERT_TRUE(RunPass(*window));
  ASSERT_EQ(alarm.sounds, 3);
  ASSERT_EQ(window->windowTitle(), caption + " - тревога: 2");
  ASSERT_EQ(window->tabs()->tabText(0), QString("Монитор (тревога: 2)"));

  window->lights()->list()->topLevelItem(0)->setSelected(true);
  QTest::mouseClick(window->lights()->clearButton(), Qt::LeftButton);
  ASSERT_EQ(window->windowTitle(), caption + " - тревога: 1");
  window->lights()->list()->topLevelItem(1)->setSelected(true);
  QTest::mouseClick(window->lights()->clearButton(), Qt::LeftButton);
  ASSERT_EQ(window->windowTitle(), caption);
  ASSERT_EQ(window->tabs()->tabText(0), QString("Монитор"));
}
