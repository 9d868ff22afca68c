#include <QApplication>

#include "config/message_boxes.h"
#include "config/trelcon_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  InstallProgramReporters();
  return RunTrelcon();
}
