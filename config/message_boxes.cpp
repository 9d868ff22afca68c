#include "config/message_boxes.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "common/error_box.h"
#include "common/qt_message_box.h"
#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/dialog_widgets.h"
#include "platform/codepage.h"

namespace {

ModalRunner& InstalledRunner() {
  static ModalRunner runner;
  return runner;
}

QMessageBox::Icon IconOf(UINT style) {
  switch (style & 0xF0) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

QMessageBox::StandardButtons ButtonsOf(UINT style) {
  switch (style & 0xF) {
    case MB_OKCANCEL: return QMessageBox::Ok | QMessageBox::Cancel;
    case MB_YESNOCANCEL: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MB_YESNO: return QMessageBox::Yes | QMessageBox::No;
    default: return QMessageBox::Ok;
  }
}

int ButtonResult(int standardButton) {
  switch (standardButton) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return 0;
  }
}

// Holds nothing: its boxes go through the program's message boxes and their
// modal runner.
class ProgramErrorBoxPresenter : public ErrorBoxPresenter {
 public:
  void ShowErrorBox(HWND owner, const CString& text, bool /*systemModal*/,
                    const std::atomic<int>* /*stop*/) override {
    ProgramMessageBox(WidgetOf(owner), text, MB_ICONERROR);
  }
};

ErrorBoxPresenter* ProgramErrorBoxes() {
  static ProgramErrorBoxPresenter presenter;
  return &presenter;
}

}  // namespace

CString ProgramCaption() { return WidenFormat(kProgramCaption); }

void ReportUnusableFolder(QWidget* owner, DWORD code, const CString& path, const CString& sentence) {
  CString extra = sentence;
  const std::string argument = platform::WideToMultiByte(path.GetString());
  ReportErrorBox(ErrorOwner(owner), nullptr, kErrorBoxShow, code, "Открытие файла %s", &extra,
                 argument.c_str());
}

int RunModal(QDialog& dialog) {
  const ModalRunner& runner = InstalledRunner();
  return runner ? runner(dialog) : dialog.exec();
}

ModalRunner SetModalRunner(ModalRunner runner) {
  ModalRunner previous = std::move(InstalledRunner());
  InstalledRunner() = std::move(runner);
  return previous;
}

int ShowMessageBox(QWidget* owner, const CString& text, const CString& title, UINT style) {
  QMessageBox box(IconOf(style), ToQString(title), ToQString(text), ButtonsOf(style), owner);
  box.setObjectName(kMessageBoxObjectName);
  // The style's default button: the first of the row, or the second with
  // MB_DEFBUTTON2 (No of Yes/No, Cancel of OK/Cancel).
  const QMessageBox::StandardButton order[] = {QMessageBox::Ok, QMessageBox::Yes,
                                               QMessageBox::No, QMessageBox::Cancel};
  int position = 0;
  const int wanted = (style & MB_DEFBUTTON2) != 0 ? 1 : 0;
  for (QMessageBox::StandardButton button : order) {
    if ((ButtonsOf(style) & button) == 0) continue;
    if (position++ == wanted) box.setDefaultButton(button);
  }
  KeepCaptionWhole(box);
  return ButtonResult(RunModal(box));
}

int ProgramMessageBox(QWidget* owner, const char* text, UINT style) {
  return ShowMessageBox(owner, WidenFormat(text), ProgramCaption(), style);
}

int ProgramMessageBox(QWidget* owner, const CString& text, UINT style) {
  return ShowMessageBox(owner, text, ProgramCaption(), style);
}

HWND WindowHandle(QWidget* widget) { return reinterpret_cast<HWND>(widget); }

QWidget* WidgetOf(HWND handle) { return reinterpret_cast<QWidget*>(handle); }

ErrorBoxOwner ErrorOwner(QWidget* owner) {
  return {.presenter = ProgramErrorBoxes(), .window = WindowHandle(owner)};
}

RegistryReporter ProgramRegistryReporter() { return ConfigRegistryReporter(ProgramErrorBoxes()); }

WarningBox::WarningBox(QWidget* parent, int failure)
    : QDialog(parent), failure_(failure) {
  setObjectName("WarningBox");
  setSizeGripEnabled(true);
  icon_ = new QLabel(this);
  icon_->setObjectName("icon");
  edit_ = new QPlainTextEdit(this);
  edit_->setObjectName("text");
  edit_->setReadOnly(true);
  edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  continueButton_ = new QPushButton(this);
  continueButton_->setObjectName("continueButton");
  okButton_ = new QPushButton(this);
  okButton_->setObjectName("okButton");
  connect(okButton_, &QPushButton::clicked, this, &QDialog::reject);

  auto* top = new QHBoxLayout;
  top->addWidget(icon_, 0, Qt::AlignTop);
  top->addWidget(edit_, 1);
  QHBoxLayout* buttons = ButtonRow({continueButton_, okButton_});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(buttons);
}

void WarningBox::OnInitDialog() {
  QStyle::StandardPixmap pixmap = QStyle::SP_MessageBoxInformation;
  if (failure_ != 0) pixmap = QStyle::SP_MessageBoxCritical;
  if (details != 0) pixmap = QStyle::SP_FileDialogDetailedView;
  const QIcon icon = style()->standardIcon(pixmap);
  setWindowIcon(icon);
  icon_->setPixmap(icon.pixmap(32, 32));
  // "Продолжить" belongs to the dialog's template, but the box only informs:
  // OK (IDCANCEL, as Escape) is its one visible button.
  continueButton_->setText(QString::fromUtf8("Продолжить"));
  continueButton_->setEnabled(false);
  continueButton_->hide();
  okButton_->setText(QString::fromUtf8("OK"));
  okButton_->setDefault(true);
  setWindowTitle(caption.IsEmpty() ? QString::fromUtf8("Внимание:") : ToQString(caption));
  // The edit control of the template takes CR LF line ends; Qt's takes LF.
  edit_->setPlainText(ToQString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  setMinimumSize(6 * okButton_->sizeHint().width() + 2 * style()->pixelMetric(QStyle::PM_ScrollBarExtent),
                 10 * okButton_->sizeHint().height() + 2 * style()->pixelMetric(QStyle::PM_ScrollBarExtent));
  SizeFromTemplate(this, 321, 200);
}

int WarningBox::DoModal() {
  OnInitDialog();
  return RunModal(*this);
}

QString WarningBox::ShownText() const { return edit_->toPlainText(); }
