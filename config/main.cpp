#include <QApplication>

#include "config/editor_dialogs.h"
#include "config/program_editors.h"
#include "config/trelcon_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  PrepareTrelcon(application);
  ProgramEditors editors;
  SetEditorDialogs(&editors);
  return RunTrelcon();
}
