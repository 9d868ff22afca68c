#include "config/trelcon_app.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>

#include "common/error_box.h"
#include "common/qt_text.h"
#include "common/qt_translations.h"
#include "common/report_text.h"
#include "config/main_dialog.h"
#include "config/message_boxes.h"
#include "platform/errors.h"
#include "platform/registry.h"

void PrepareTrelcon(QApplication& application) {
  SpeakRussian(application);
}

QString SingleInstanceLockPath() {
  // Only where no other user can write: a lock planted by someone else would
  // keep the program from starting. Qt checks that a runtime folder is the
  // user's alone; without one (no XDG_RUNTIME_DIR) the lock goes to the
  // user's own config folder.
  QString folder;
  if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
    folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QFile::decodeName(QByteArray::fromStdString(platform::PrivateUserFolder()));
  return QDir(folder).filePath(ToQString(ProgramCaption()) + QStringLiteral(".lock"));
}

int RunTrelcon(EditorDialogs& editors) {
  QLockFile lock(SingleInstanceLockPath());
  if (!lock.tryLock(0)) {
    if (lock.error() == QLockFile::LockFailedError) {
      ProgramMessageBox(nullptr, FormatReportMessage(WidenFormat("%s уже запущена"), ProgramCaption()),
                        MB_ICONWARNING);
    } else {
      const DWORD code = lock.error() == QLockFile::PermissionError ? ERROR_ACCESS_DENIED
                                                                    : ERROR_GEN_FAILURE;
      ReportErrorBox(ErrorOwner(), nullptr, kErrorBoxShow, code, "Создание индикатора процесса программы",
                     nullptr, nullptr);
    }
    return 0;
  }
  {
    CTrelconDlg dialog;
    dialog.State().editors = &editors;
    if (dialog.OnInitDialog()) RunModal(dialog);
  }
  lock.unlock();
  return 0;
}
