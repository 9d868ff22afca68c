// mirelMonitor: watches the journals of the service's profiles.

#include <QApplication>

#include "common/qt_translations.h"
#include "monitor/monitor_program.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  SpeakRussian(application);
  return RunMonitor(argc, argv);
}
