#include "monitor/open_dialog.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/error_box.h"
#include "common/qt_file_dialog.h"
#include "common/qt_text.h"
#include "monitor/message_boxes.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

const QString kBadFolderText = QStringLiteral("Выбран некорректный путь журнала.");

bool PathExists(const QString& path) {
  return !path.isEmpty() && PathFileExistsW(FromQString(path));
}

}  // namespace

OpenDialog::OpenDialog(MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), boxes_(boxes), path_(new QLineEdit(this)) {
  setObjectName(QStringLiteral("OpenDialog"));
  setWindowTitle(QStringLiteral("Путь журнала"));
  path_->setObjectName(QStringLiteral("edit1007"));
  auto* browse = new QPushButton(QStringLiteral("Путь журнала"), this);
  browse->setObjectName(QStringLiteral("button1006"));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("IDOK"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Отмена"), this);
  cancel->setObjectName(QStringLiteral("IDCANCEL"));
  auto* row = new QHBoxLayout;
  row->addWidget(browse);
  row->addWidget(path_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addLayout(buttons);
  resize(480, 120);

  pickFolder = [this](QWidget* owner) {
    QFileDialog picker(owner);
    PrepareFileDialog(picker);
    picker.setFileMode(QFileDialog::Directory);
    picker.setOption(QFileDialog::ShowDirsOnly, true);
    if (RunModal(boxes_, picker) != QDialog::Accepted || picker.selectedFiles().isEmpty()) return QString();
    return picker.selectedFiles().first();
  };
  connect(browse, &QPushButton::clicked, this, &OpenDialog::OnBrowseFolder);
  connect(ok, &QPushButton::clicked, this, &OpenDialog::OnFolderOk);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void OpenDialog::OnBrowseFolder() {
  const QString picked = pickFolder(this);
  if (picked.isEmpty()) return;
  if (!PathExists(picked)) ShowWarningBox(boxes_, this, kBadFolderText);
  path_->setText(picked);
}

void OpenDialog::OnFolderOk() {
  const QString path = path_->text();
  if (!PathExists(path)) {
    ShowWarningBox(boxes_, this, kBadFolderText);
    return;
  }
  // Windows accepted drive and network paths only; here that is an absolute
  // path, since a relative one would depend on where the program started.
  if (path.startsWith(u'/')) {
    accept();
    return;
  }
  ReportError(boxes_.ErrorOwner(this), 0, ERROR_PATH_NOT_FOUND, "Открытие файла %s", nullptr,
              FromQString(kBadFolderText), FromQString(path), nullptr,
              nullptr, nullptr);
}

QString OpenDialog::folder() const { return path_->text(); }
