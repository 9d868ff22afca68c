#include "config/signer_list_dialog.h"

#include <set>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/certificate_pick.h"
#include "config/dialog_widgets.h"
#include "config/message_boxes.h"
#include "config/pre_encrypt_dialog.h"

SignerList::SignerList(QWidget* parent, const RuleRecord& rule, const ProfileRecord& profile, int k)
    : QDialog(parent), rule_(rule), profile_(profile), k_(k) {
  setObjectName("SignerList");
  setWindowTitle(Utf8("Списки подписантов"));
  setMinimumSize(150, 75);
  view_ = new QTreeWidget(this);
  view_->setObjectName("Lists");
  view_->setColumnCount(2);
  view_->setHeaderLabels({Utf8("Имя списка"), Utf8("Подписанты")});
  view_->setRootIsDecorated(false);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->header()->setSectionResizeMode(QHeaderView::Stretch);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  QPushButton* create = MakeButton(this, "Create", Utf8("Создать"));
  QPushButton* change = MakeButton(this, "Change", Utf8("Изменить"));
  QPushButton* remove = MakeButton(this, "Delete", Utf8("Удалить"));
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(create);
  buttons->addWidget(change);
  buttons->addWidget(remove);
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(exit);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view_, 1);
  layout->addLayout(buttons);
  SizeFromTemplate(this, 320, 200);
  connect(create, &QPushButton::clicked, this, &SignerList::OnCreate);
  connect(change, &QPushButton::clicked, this, &SignerList::OnChange);
  connect(remove, &QPushButton::clicked, this, &SignerList::OnDelete);
  connect(view_, &QTreeWidget::itemDoubleClicked, this, &SignerList::OnChange);
  connect(view_, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { OnShowList(view_->itemAt(at)); });
  connect(ok, &QPushButton::clicked, this, &SignerList::accept);
  connect(exit, &QPushButton::clicked, this, &SignerList::reject);
  RefreshSignerLists();
}

void SignerList::RefreshSignerLists() {
  view_->clear();
  for (const SignerListRecord& list : rule_.signerLists) {
    if (list.name.IsEmpty()) continue;
    auto* item = new QTreeWidgetItem(view_);
    item->setText(0, ToQString(list.name));
    item->setText(1, QString::number(list.signers.size()));
  }
}

bool SignerList::PickSigners(const CString& previousName, const std::vector<CString>& initial,
                             SignerListRecord& list) {
  return RunCertificatePicker(
      this, profile_, k_, PickKind::SignerList,
      [&](const PreEncryptParams& params, LibraryContext context, int useNetworkDirectory) {
        CPreEncryptDlg picker(this, params, context, initial);
        picker.listMode = 1;
        picker.useNetworkDirectory = useNetworkDirectory;
        picker.listName = previousName;
        picker.previousName = previousName;
        picker.signerLists = rule_.signerLists;
        if (picker.DoModal() != QDialog::Accepted) return false;
        list.name = picker.listName;
        list.signers = picker.result;
        return true;
      });
}

void SignerList::OnCreate() {
  SignerListRecord list;
  if (!PickSigners(CString(), {}, list)) return;
  rule_.signerLists.push_back(std::move(list));
  RefreshSignerLists();
}

void SignerList::OnChange() {
  const QList<QTreeWidgetItem*> selected = view_->selectedItems();
  if (selected.isEmpty()) return;
  const CString name = FromQString(selected.first()->text(0));
  int position = -1;
  for (size_t i = 0; i < rule_.signerLists.size(); ++i) {
    if (rule_.signerLists[i].name == name) position = static_cast<int>(i);
  }
  if (position < 0) return;
  SignerListRecord changed;
  if (!PickSigners(name, rule_.signerLists[static_cast<size_t>(position)].signers, changed)) return;
  rule_.signerLists[static_cast<size_t>(position)] = std::move(changed);
  RefreshSignerLists();
}

void SignerList::OnDelete() {
  std::set<size_t> positions;
  for (QTreeWidgetItem* item : view_->selectedItems()) {
    const CString name = FromQString(item->text(0));
    for (size_t i = 0; i < rule_.signerLists.size(); ++i) {
      if (rule_.signerLists[i].name == name) positions.insert(i);
    }
  }
  if (positions.empty()) return;
  CString question;
  question.Format(WidenFormat("Вы уверены, что хотите удалить %d список(ов)?"),
                  static_cast<int>(positions.size()));
  if (ProgramMessageBox(this, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
    rule_.signerLists.erase(rule_.signerLists.begin() + static_cast<std::ptrdiff_t>(*it));
  }
  RefreshSignerLists();
}

void SignerList::OnShowList(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  const CString name = FromQString(item->text(0));
  CString text;
  for (const SignerListRecord& list : rule_.signerLists) {
    if (list.name != name) continue;
    text += WidenFormat("Имя списка") + L": " + list.name;
    for (size_t i = 0; i < list.signers.size(); ++i) {
      CString number;
      number.Format(L" %d:", static_cast<int>(i + 1));
      text += CString(L"\r\n\r\n") + WidenFormat("Подписант") + number + L"\r\n" + list.signers[i];
    }
  }
  WarningBox box(this, 0);
  box.details = 1;
  box.caption = WidenFormat("Список подписантов");
  box.text = text;
  box.DoModal();
}
