#include <QApplication>

#include "config/program_editors.h"
#include "config/trelcon_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  PrepareTrelcon(application);
  ProgramEditors editors;
  return RunTrelcon(editors);
}
