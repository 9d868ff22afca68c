// Takes a picture of the monitor's main window on a journal folder, as the
// program shows it after its first pass: monitor_picture FOLDER PNG
// [OPERATIONS_PNG]; the second picture shows the operations page of the
// first profile in alarm (else of the first profile).
// The README's picture is made with it (scripts/monitor_picture), so that the
// picture stays true to the program.

#include <QApplication>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "common/qt_translations.h"
#include "monitor/alarm_sink.h"
#include "monitor/lights_dialog.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_window.h"
#include "platform/codepage.h"

namespace {

class SilentAlarm : public AlarmSink {
 public:
  void PlayAlarmSound() override {}
  void FlashTaskbar(QWidget*) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: monitor_picture FOLDER PNG [OPERATIONS_PNG]\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  SpeakRussian(application);
  QtMessageBoxes boxes;
  SilentAlarm alarm;
  CmirelMonitorDlg window(CString(platform::MultiByteToWide(argv[1], CP_UTF8).c_str()), alarm, boxes);
  if (!window.OnInitDialog()) return 1;
  window.resize(1024, 440);
  window.show();
  int status = 1;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (window.context()->CompletedPasses() < 1) return;
    poll.stop();
    status = window.grab().save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    if (argc == 4 && status == 0) {
      int pair = 0;
      for (int row = 0; row < static_cast<int>(window.pairs().size()); ++row) {
        if (window.lights()->LampImage(row, 1) == 1) {
          pair = row;
          break;
        }
      }
      window.tabs()->setCurrentIndex(1 + 2 * pair);
      QCoreApplication::processEvents();
      status = window.grab().save(QString::fromLocal8Bit(argv[3])) ? 0 : 1;
    }
    // Not quit(): that would go through the window's exit protocol.
    QCoreApplication::exit(status);
  });
  poll.start(10);
  QTimer::singleShot(30000, &application, [] { QCoreApplication::exit(1); });
  application.exec();
  boxes.CloseErrorBoxes();
  return status;
}
