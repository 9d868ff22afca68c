#include "config/settings_dialogs.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QVBoxLayout>

#include "common/error_box.h"
#include "common/qt_file_dialog.h"
#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/dialog_widgets.h"
#include "config/message_boxes.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

struct ExtensionEdit {
  const char* objectName;  // the value's name
  const char* label;
  CString BaseSettings::*member;
};

const ExtensionEdit kExtensionEdits[8] = {
    {"SigExt", "Подписанные файлы:", &BaseSettings::sigExt},
    {"DsigExt", "Файлы с отсоединённой ЭП:", &BaseSettings::dsigExt},
    {"EncExt", "Зашифрованные файлы:", &BaseSettings::encExt},
    {"B64Ext", "Файлы в кодировке Base64:", &BaseSettings::b64Ext},
    {"HashExt", "Файлы, содержащие хэш:", &BaseSettings::hashExt},
    {"VerifyFileExt", "Файлы, содержащие отчет о проверке подписи:",
     &BaseSettings::verifyFileExt},
    {"ZIPArchiveExt", "ZIP архивы:", &BaseSettings::zipArchiveExt},
    {"GZIPArchiveExt", "GZIP архивы:", &BaseSettings::gzipArchiveExt},
};

// The six extensions the service cannot do without, each with its refusal.
const char* const kMissingExtensionTexts[6] = {
    "Пожалуйста, выберите расширение для файлов с присоединенной подписью.",
    "Пожалуйста, выберите расширение для файлов с отсоединенной подписью.",
    "Пожалуйста, выберите расширение для зашифрованных файлов.",
    "Пожалуйста, выберите расширение для файлов в кодировке b64.",
    "Пожалуйста, выберите расширение для файлов, содержащих хэш.",
    "Пожалуйста, выберите расширение для файлов, содержащих отчет о проверке подписи.",
};

constexpr const char* kAddExtensionText = "Добавить дополнительное расширение файла:";
constexpr const char* kUnsavedQuestion =
    "Некоторые изменения не были сохранены. Выйти без сохранения?";
constexpr const char* kJournalFolderTitle = "Путь журнала";
constexpr const char* kBadJournalFolderText = "Выбран некорректный путь журнала.";

}  // namespace

// ---------------------------------------------------------------- CConfigPage

CConfigPage::CConfigPage(QWidget* parent, const BaseSettings& initial)
    : QDialog(parent), values(initial) {
  setObjectName("CConfigPage");
  setWindowTitle(Utf8("Настройки"));
  auto* grid = new QGridLayout;
  auto* heading = new QLabel(Utf8("Основные расширения имён файлов"), this);
  grid->addWidget(heading, 0, 0, 1, 2);
  for (int i = 0; i < 8; ++i) {
    grid->addWidget(new QLabel(Utf8(kExtensionEdits[i].label), this), i + 1, 0);
    edits_[i] = KeepOnOneLine(new QLineEdit(ToQString(values.*kExtensionEdits[i].member), this));
    edits_[i]->setObjectName(QString::fromLatin1(kExtensionEdits[i].objectName));
    grid->addWidget(edits_[i], i + 1, 1);
  }
  auto* listColumn = new QVBoxLayout;
  listColumn->addWidget(new QLabel(Utf8("Дополнительные расширения имён файлов:"), this));
  list_ = new QListWidget(this);
  list_->setObjectName("ExtraExtensions");
  list_->setSortingEnabled(true);
  for (const CString& extension : values.extExt) list_->addItem(ToQString(extension));
  listColumn->addWidget(list_, 1);
  auto* listButtons = new QVBoxLayout;
  QPushButton* add = MakeButton(this, "AddExtension", QString());
  add->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
  QPushButton* remove = MakeButton(this, "RemoveExtension", QString());
  remove->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  listButtons->addWidget(add);
  listButtons->addWidget(remove);
  listButtons->addStretch(1);
  auto* top = new QHBoxLayout;
  top->addLayout(grid);
  top->addLayout(listColumn);
  top->addLayout(listButtons);
  QPushButton* apply = MakeButton(this, "Apply", Utf8("Применить"));
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  QHBoxLayout* bottom = ButtonRow({apply, ok, exit});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(bottom);
  SizeFromTemplate(this, 290, 204);

  // Connected only now: showing the values is no change.
  for (QLineEdit* edit : edits_) {
    connect(edit, &QLineEdit::textChanged, this, [this] { pendingChanges = 1; });
  }
  connect(add, &QPushButton::clicked, this, &CConfigPage::OnAddExtension);
  connect(remove, &QPushButton::clicked, this, &CConfigPage::OnRemoveExtension);
  connect(apply, &QPushButton::clicked, this, &CConfigPage::OnApply);
  connect(ok, &QPushButton::clicked, this, &CConfigPage::accept);
  connect(exit, &QPushButton::clicked, this, &CConfigPage::reject);
  pendingChanges = 0;
}

void CConfigPage::ReadEdits() {
  for (int i = 0; i < 8; ++i) values.*kExtensionEdits[i].member = FromQString(edits_[i]->text());
}

void CConfigPage::OnAddExtension() {
  CAddExtDlg dialog(this);
  if (RunModal(dialog) != QDialog::Accepted) return;
  // The list box's exact search ignores letter case.
  const QString extension = ToQString(dialog.extension);
  if (!list_->findItems(extension, Qt::MatchFixedString).isEmpty()) return;
  list_->addItem(extension);
  pendingChanges = 1;
}

void CConfigPage::OnRemoveExtension() {
  QListWidgetItem* item = list_->currentItem();
  if (item == nullptr || !item->isSelected()) {
    ProgramMessageBox(this, "Выберите элемент списка для удаления.", MB_ICONWARNING);
    return;
  }
  CString question;
  question.Format(WidenFormat("Удалить дополнительное расширение файла '%s'?"),
                  FromQString(item->text()).GetString());
  if (ProgramMessageBox(this, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  delete list_->takeItem(list_->row(item));
  pendingChanges = 1;
}

void CConfigPage::OnApply() {
  ReadEdits();
  if (pendingChanges == 0) return;
  for (int i = 0; i < 6; ++i) {
    if ((values.*kExtensionEdits[i].member).IsEmpty()) {
      ProgramMessageBox(this, kMissingExtensionTexts[i], MB_ICONWARNING);
      return;
    }
  }
  values.extExt.RemoveAll();
  for (int row = 0; row < list_->count(); ++row) values.extExt.Add(FromQString(list_->item(row)->text()));
  pendingChanges = 0;
}

void CConfigPage::accept() {
  if (pendingChanges == 0) {
    ReadEdits();
    QDialog::accept();
    return;
  }
  if (ProgramMessageBox(this, kUnsavedQuestion, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
      IDYES) {
    reject();
  }
}

// ----------------------------------------------------------------- CAddExtDlg

CAddExtDlg::CAddExtDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("CAddExtDlg");
  setWindowTitle(Utf8(kAddExtensionText));
  edit_ = KeepOnOneLine(new QLineEdit(this));
  edit_->setObjectName("Extension");
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(Utf8(kAddExtensionText), this));
  row->addWidget(edit_);
  QHBoxLayout* buttons = ButtonRow({ok, exit});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addLayout(buttons);
  SizeFromTemplate(this, 226, 64);
  connect(ok, &QPushButton::clicked, this, &CAddExtDlg::accept);
  connect(exit, &QPushButton::clicked, this, &CAddExtDlg::reject);
}

void CAddExtDlg::accept() {
  CString text = FromQString(edit_->text());
  text.Trim();
  if (text.IsEmpty()) return;
  extension = text.MakeLower();
  QDialog::accept();
}

// --------------------------------------------------------------- CConflictDlg

CConflictDlg::CConflictDlg(QWidget* parent, const CString& initialFolder, int initialSize)
    : QDialog(parent), folder(initialFolder), size(initialSize) {
  setObjectName("CConflictDlg");
  setWindowTitle(Utf8(kJournalFolderTitle));
  QPushButton* choose = MakeButton(this, "ChooseJournalFolder", Utf8(kJournalFolderTitle));
  folderEdit_ = KeepOnOneLine(new QLineEdit(ToQString(folder), this));
  folderEdit_->setObjectName("JournalFolder");
  sizeEdit_ = new QLineEdit(QString::number(size), this);
  sizeEdit_->setObjectName("JournalSize");
  sizeEdit_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), sizeEdit_));
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  auto* grid = new QGridLayout;
  grid->addWidget(choose, 0, 0);
  grid->addWidget(folderEdit_, 0, 1);
  grid->addWidget(new QLabel(Utf8("Размер файлов журнала (КБ.):"), this), 1, 0);
  grid->addWidget(sizeEdit_, 1, 1, Qt::AlignLeft);
  QHBoxLayout* buttons = ButtonRow({ok, exit});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  // A journal folder is a long full path: the folder handed in is shown
  // whole where a screen allows.
  ShowWholeText(folderEdit_, 100);
  SizeFromTemplate(this, 264, 75);
  connect(choose, &QPushButton::clicked, this, &CConflictDlg::OnChooseJournalFolder);
  // The least size is checked when the editing ends, not at every keystroke,
  // so that a size such as 1000 can be typed digit by digit.
  connect(sizeEdit_, &QLineEdit::editingFinished, this, &CConflictDlg::OnJournalSizeChanged);
  connect(ok, &QPushButton::clicked, this, &CConflictDlg::accept);
  connect(exit, &QPushButton::clicked, this, &CConflictDlg::reject);
}

bool CConflictDlg::FolderExists(const CString& path) const {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() == ERROR_FILE_EXISTS) return true;
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  return true;
}

void CConflictDlg::ReportUnusableFolder(DWORD code, const CString& path) {
  ::ReportUnusableFolder(this, code, path, WidenFormat(kBadJournalFolderText));
}

void CConflictDlg::OnChooseJournalFolder() {
  QFileDialog picker(this, Utf8(kJournalFolderTitle));
  PrepareFileDialog(picker);
  picker.setDirectory(ToQString(FromQString(folderEdit_->text())));
  picker.setObjectName("JournalFolderPicker");
  picker.setFileMode(QFileDialog::Directory);
  picker.setOption(QFileDialog::ShowDirsOnly, true);
  if (RunModal(picker) != QDialog::Accepted || picker.selectedFiles().isEmpty()) return;
  const CString chosen = FromQString(picker.selectedFiles().first());
  if (!FolderExists(chosen)) ReportUnusableFolder(GetLastError(), chosen);
  folderEdit_->setText(ToQString(chosen));
}

void CConflictDlg::OnJournalSizeChanged() {
  bool isNumber = false;
  const int typed = sizeEdit_->text().toInt(&isNumber);
  if (!isNumber) {
    // The class library's data exchange refuses a text that is no number and
    // keeps the last size.
    ProgramMessageBox(this, "Введите целое число.", MB_ICONWARNING);
  } else {
    size = typed < kMinimumSize ? kMinimumSize : typed;
  }
  sizeEdit_->setText(QString::number(size));
}

void CConflictDlg::accept() {
  const CString shownFolder = FromQString(folderEdit_->text());
  bool isNumber = false;
  const int typed = sizeEdit_->text().toInt(&isNumber);
  if (isNumber) size = typed;
  if (!FolderExists(shownFolder)) {
    ReportUnusableFolder(GetLastError(), shownFolder);
    return;
  }
  if (size < kMinimumSize) {
    ShowMessageBox(this, WidenFormat("Размер файлов журнала должен быть не менее 400 КБ."),
                   WidenFormat("Автоматизированный клиент СКЗИ Квелла: Сервис"), MB_ICONWARNING);
    return;
  }
  // A journal folder is a full path: here one that starts at the root.
  if (shownFolder.IsEmpty() || shownFolder[0] != L'/') {
    ReportUnusableFolder(ERROR_PATH_NOT_FOUND, shownFolder);
    return;
  }
  folder = shownFolder;
  QDialog::accept();
}

// ------------------------------------------------------------------ CAboutDlg

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("CAboutDlg");
  setWindowTitle(Utf8("О программе..."));
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
  auto* lines = new QVBoxLayout;
  const QString texts[3] = {Utf8("ООО «Торвак»"), Utf8("Клиент Квелла"), ToQString(VersionText())};
  const char* names[3] = {"Maker", "Product", "Version"};
  for (int i = 0; i < 3; ++i) {
    auto* line = new QLabel(texts[i], this);
    line->setObjectName(QString::fromLatin1(names[i]));
    line->setAlignment(Qt::AlignCenter);
    lines->addWidget(line);
  }
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(lines, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(ok, 0, Qt::AlignRight);
  SizeFromTemplate(this, 302, 74);
}

CString CAboutDlg::VersionText() {
  CString title;
  title.Format(WidenFormat("АК СКЗИ Квелла Сервис - конфигурация%s Версия 2.0"), L"");
  CString version;
  version.Format(L"%s.0%s.%s", title.GetString(), L"457", L"0");
  return version;
}
