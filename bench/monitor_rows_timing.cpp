// How fast the monitor turns a journal of 1,000,000 records into rows, and
// whether its window thread keeps answering meanwhile: a timer that should
// fire every 10 ms records how late it came at worst.
//
//   build/bin/monitor_rows_timing [records] [copy]
//
// Runs offscreen on a temporary root; prints the time until the operations
// page holds every row, the worst timer lateness and the peak memory. With
// a second argument the journal is also copied there, for a baseline of the
// same file (docs/benchmarks.md).

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

#include "common/journal_format.h"
#include "monitor/alarm_sink.h"
#include "monitor/journal_pages.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_window.h"
#include "platform/codepage.h"
#include "tests/support/temp_root.h"

namespace {

class SilentAlarm : public AlarmSink {
 public:
  void PlayAlarmSound() override {}
  void FlashTaskbar(QWidget*) override {}
};

// Writes the journal pair of profile Банк: records operations lines, one
// failure in a hundred, and the start record in the errors journal.
void WriteJournals(const std::filesystem::path& folder, int records) {
  std::ofstream operations(folder / "2026.12.09 Банк.txt", std::ios::binary);
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 9;
  for (int i = 0; i < records; ++i) {
    time.wHour = static_cast<WORD>(i / 3600 % 24);
    time.wMinute = static_cast<WORD>(i / 60 % 60);
    time.wSecond = static_cast<WORD>(i % 60);
    CString message;
    message.Format(L"Правило 1 ('Подпись входящих'). Файл 'document-%07d.xml' (размер: 123456) "
                   L"подписан в файл 'document-%07d.xml.p7s'",
                   i, i);
    const CString line =
        OperationsJournalLine(JournalTimeText(time), L"Банк", i % 100 != 0, message);
    operations << platform::WideToMultiByte(line.str());
  }
  std::ofstream errors(folder / "2026.12.09 Банк - errors.txt", std::ios::binary);
  errors << platform::WideToMultiByte(
      ErrorsJournalLine(JournalTimeText(time), L"Запуск АК СКЗИ Квелла: сервис").str());
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  testsupport::TempRoot root;
  const auto folder = root.Dir("journal");
  WriteJournals(folder, records);
  if (argc > 2) {
    std::filesystem::copy_file(folder / "2026.12.09 Банк.txt", argv[2],
                               std::filesystem::copy_options::overwrite_existing);
  }

  QtMessageBoxes boxes;
  SilentAlarm alarm;
  QElapsedTimer clock;
  clock.start();
  CmirelMonitorDlg window(CString(folder.wstring().c_str()), alarm, boxes);
  if (!window.OnInitDialog()) {
    std::fprintf(stderr, "the window did not start\n");
    return 1;
  }
  window.show();

  qint64 lastTick = clock.elapsed();
  qint64 worstLateness = 0;
  QTimer probe;
  probe.setInterval(10);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    worstLateness = std::max(worstLateness, now - lastTick - 10);
    lastTick = now;
  });
  probe.start();
  qint64 done = -1;
  QTimer check;
  check.setInterval(1);
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (done < 0 && window.operationsPage(0)->RowCount() >= records) {
      done = clock.elapsed();
      // Not quit(): that asks the windows to close first, and the monitor's
      // window answers a close with its exit protocol, not at once.
      QCoreApplication::exit(0);
    }
  });
  check.start();
  QTimer::singleShot(60000, &application, [] { QCoreApplication::exit(1); });
  application.exec();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("records: %d\nrows after: %lld ms\nworst timer lateness: %lld ms\npeak memory: %ld MiB\n",
              records, static_cast<long long>(done), static_cast<long long>(worstLateness),
              usage.ru_maxrss / 1024);
  boxes.CloseErrorBoxes();
  return done < 0 ? 1 : 0;
}
