// mirelMonitor: watches the journals of the service's profiles.

#include <QApplication>

#include "monitor/monitor_program.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  return RunMonitor(argc, argv);
}
