#include "config/mask_dialogs.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/dialog_widgets.h"
#include "config/message_boxes.h"

QIcon FieldIconImage(QWidget* widget, int icon) {
  QStyle::StandardPixmap picture = QStyle::SP_MessageBoxWarning;
  switch (icon) {
    case 200: picture = QStyle::SP_FileDialogDetailedView; break;  // recipients
    case 201: picture = QStyle::SP_ArrowRight; break;              // input folder
    case 204: picture = QStyle::SP_ArrowLeft; break;               // output folder
    case 205: picture = QStyle::SP_MessageBoxCritical; break;      // error folder
    case 206: picture = QStyle::SP_DirIcon; break;                 // second output folder
    case 212: picture = QStyle::SP_MediaPlay; break;               // executable
    case kIconCreate: picture = QStyle::SP_FileDialogNewFolder; break;
    case kIconChange: picture = QStyle::SP_FileDialogContentsView; break;
    case kIconDelete: picture = QStyle::SP_TrashIcon; break;
    default: break;
  }
  return widget->style()->standardIcon(picture);
}

// -------------------------------------------------------------------- AddMask

AddMask::AddMask(QWidget* parent, const std::vector<CString>& suggested, const CString& initial)
    : QDialog(parent) {
  setObjectName("AddMask");
  setWindowTitle(Utf8("Маска"));
  mask_ = new QComboBox(this);
  mask_->setObjectName("Mask");
  mask_->setEditable(true);
  KeepOnOneLine(mask_);
  mask_->setInsertPolicy(QComboBox::NoInsert);
  for (const CString& entry : suggested) mask_->addItem(ToQString(entry));
  mask_->setEditText(ToQString(initial));
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  QHBoxLayout* buttons = ButtonRow({ok, exit});
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(mask_);
  layout->addLayout(buttons);
  SizeFromTemplate(this, 231, 54);
  connect(ok, &QPushButton::clicked, this, &AddMask::accept);
  connect(exit, &QPushButton::clicked, this, &AddMask::reject);
}

void AddMask::accept() {
  const CString typed = FromQString(mask_->currentText());
  if (typed.IsEmpty()) {
    ProgramMessageBox(this, "Не выбрана маска.", MB_ICONWARNING);
    return;
  }
  result = typed;
  QDialog::accept();
}

// --------------------------------------------------------------------- ErrBox

ErrBox::ErrBox(QWidget* parent, const CString& text, int iconId)
    : QDialog(parent), message(text), icon(iconId) {
  setObjectName("ErrBox");
  setWindowTitle(Utf8("Ошибка"));
  auto* picture = new QLabel(this);
  picture->setObjectName("Icon");
  picture->setPixmap(FieldIconImage(this, icon).pixmap(32, 32));
  auto* line = new QLabel(ToQString(message), this);
  line->setObjectName("Message");
  line->setWordWrap(true);
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &ErrBox::accept);
  auto* top = new QHBoxLayout;
  top->addWidget(picture, 0, Qt::AlignTop);
  top->addWidget(line, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(ok, 0, Qt::AlignRight);
  SizeFromTemplate(this, 244, 65);
}

int ErrBox::DoModal() { return RunModal(*this); }

// ------------------------------------------------------------------- MaskList

MaskList::MaskList(QWidget* owner, QTreeWidget* view, std::vector<CString>& masks,
                   const std::vector<CString>& suggested)
    : owner_(owner), view_(view), masks_(masks), suggested_(suggested) {}

void MaskList::SetupMaskList() {
  view_->setColumnCount(1);
  view_->setHeaderLabels({Utf8("Маски")});
  view_->setRootIsDecorated(false);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->header()->setStretchLastSection(true);
}

void MaskList::FillMaskList() {
  view_->clear();
  for (const CString& mask : masks_) {
    auto* item = new QTreeWidgetItem(view_);
    item->setText(0, ToQString(mask));
  }
}

int MaskList::FirstSelected() const {
  for (int i = 0; i < view_->topLevelItemCount(); ++i) {
    if (view_->topLevelItem(i)->isSelected()) return i;
  }
  return -1;
}

void MaskList::OnAddMask() {
  AddMask dialog(owner_, suggested_, CString());
  if (RunModal(dialog) != QDialog::Accepted) return;
  masks_.push_back(dialog.result);
  FillMaskList();
}

void MaskList::OnEditMask() {
  const int position = FirstSelected();
  if (position < 0 || position >= static_cast<int>(masks_.size())) return;
  AddMask dialog(owner_, suggested_, masks_[static_cast<size_t>(position)]);
  if (RunModal(dialog) != QDialog::Accepted) return;
  masks_[static_cast<size_t>(position)] = dialog.result;
  FillMaskList();
}

void MaskList::OnDeleteMasks() {
  std::vector<int> positions;
  for (int i = 0; i < view_->topLevelItemCount(); ++i) {
    if (view_->topLevelItem(i)->isSelected()) positions.push_back(i);
  }
  if (positions.empty()) return;
  CString question;
  question.Format(WidenFormat("Вы уверены, что хотите удалить %d маску(ок)?"),
                  static_cast<int>(positions.size()));
  if (ProgramMessageBox(owner_, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  // From the highest down, so the positions still to remove stay valid.
  for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
    if (*it < static_cast<int>(masks_.size())) masks_.erase(masks_.begin() + *it);
  }
  FillMaskList();
}

void MaskList::OnMaskDoubleClick(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  OnEditMask();
}

void MaskList::OnMaskRightClick(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  ShowMessageBox(owner_, FromQString(item->text(0)), WidenFormat("Маска"), MB_ICONINFORMATION);
}
