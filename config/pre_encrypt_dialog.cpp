#include "config/pre_encrypt_dialog.h"

#include <algorithm>

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/qt_file_dialog.h"
#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/dialog_widgets.h"
#include "config/dn_helpers.h"
#include "config/group_file.h"
#include "config/mask_dialogs.h"
#include "config/message_boxes.h"
#include "config/signer_list_names.h"

namespace {

QTreeWidget* MakeOwnerList(QWidget* parent, const char* objectName) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(QString::fromLatin1(objectName));
  list->setColumnCount(1);
  list->setRootIsDecorated(false);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->header()->setSectionsClickable(true);
  list->header()->setStretchLastSection(true);
  return list;
}

bool Contains(const std::vector<CString>& list, const CString& text) {
  return std::find(list.begin(), list.end(), text) != list.end();
}

constexpr const char* kGroupFileFilter = "Файлы групп пользователей (*.grx);;Все файлы (*)";

}  // namespace

// ---------------------------------------------------------------- CFilterDlg

CFilterDlg::CFilterDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("CFilterDlg");
  setWindowTitle(Utf8("Фильтр"));
  field_ = new QComboBox(this);
  field_->setObjectName("Field");
  for (int i = 0; i < CountNamedAttributes(); ++i) field_->addItem(ToQString(DnAttributes()[i]));
  field_->addItem(Utf8("<Поиск по всему имени>"));
  field_->setCurrentIndex(-1);
  pattern_ = KeepOnOneLine(new QLineEdit(this));
  pattern_->setObjectName("Pattern");
  ok_ = MakeButton(this, "OK", Utf8("OK"));
  ok_->setDefault(true);
  QPushButton* cancel = MakeButton(this, "Cancel", Utf8("Отмена"));
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Utf8("Поле для поиска:"), this), 0, 0);
  grid->addWidget(field_, 0, 1);
  grid->addWidget(new QLabel(Utf8("Вводите шаблон для поиска владельцев сертификатов\r\n"
                                  "(* заменяет любые символы):"),
                             this),
                  1, 0, 1, 2);
  grid->addWidget(pattern_, 2, 0, 1, 2);
  QHBoxLayout* buttons = ButtonRow({ok_, cancel});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  SizeFromTemplate(this, 227, 94);
  connect(pattern_, &QLineEdit::textChanged, this, &CFilterDlg::UpdateOk);
  connect(field_, &QComboBox::currentIndexChanged, this, &CFilterDlg::UpdateOk);
  connect(ok_, &QPushButton::clicked, this, &CFilterDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CFilterDlg::reject);
  UpdateOk();
}

void CFilterDlg::UpdateOk() {
  // A pattern of stars and blanks only would ask for everything by accident;
  // "*" alone asks for it on purpose.
  const QString text = pattern_->text();
  bool meaningful = text == QStringLiteral("*");
  for (QChar c : text) {
    if (c != u' ' && c != u'\t' && c != u'*') meaningful = true;
  }
  ok_->setEnabled(meaningful);
}

void CFilterDlg::accept() {
  if (!ok_->isEnabled()) return;
  if (field_->currentIndex() < 0) {
    ShowMessageBox(this, WidenFormat("Выберите поле для фильтра"), ProgramCaption(), MB_ICONWARNING);
    field_->showPopup();
    return;
  }
  field = field_->currentIndex();
  pattern = FromQString(pattern_->text().trimmed());
  QDialog::accept();
}

// ------------------------------------------------------------ CPreEncryptDlg

CPreEncryptDlg::CPreEncryptDlg(QWidget* parent, const PreEncryptParams& params,
                               LibraryContext context, const std::vector<CString>& initial)
    : QDialog(parent), params_(params), context_(context), chosen_(initial) {
  setObjectName("CPreEncryptDlg");
  setWindowIcon(FieldIconImage(this, 200));
  sortField_ = new QComboBox(this);
  sortField_->setObjectName("SortField");
  filter_ = KeepOnOneLine(new QLineEdit(this));
  filter_->setObjectName("Filter");
  listNameLabel_ = new QLabel(this);
  listName_ = KeepOnOneLine(new QLineEdit(this));
  listName_->setObjectName("ListName");
  candidatesView_ = MakeOwnerList(this, "Candidates");
  candidatesView_->setHeaderLabels({Utf8("Владельцы")});
  chosenView_ = MakeOwnerList(this, "Chosen");

  struct Command {
    const char* name;
    const char* text;
    void (CPreEncryptDlg::*handler)();
  };
  const Command commands[] = {
      {"FromDirectory", "Из справочника", &CPreEncryptDlg::OnFromDirectory},
      {"FromGroup", "Из группы", &CPreEncryptDlg::OnFromGroup},
      {"FromNetwork", "Из ЕСК", &CPreEncryptDlg::OnFromNetwork},
      {"CheckAll", "Выделить все", nullptr},
      {"UncheckAll", "Снять выделение", nullptr},
      {"DeleteAll", "Удалить все", &CPreEncryptDlg::OnDeleteAll},
      {"SaveGroup", "Сохранить", &CPreEncryptDlg::OnSaveGroup},
  };
  auto* side = new QVBoxLayout;
  for (const Command& command : commands) {
    QPushButton* button = MakeButton(this, command.name, Utf8(command.text));
    side->addWidget(button);
    if (command.handler != nullptr) {
      connect(button, &QPushButton::clicked, this, command.handler);
    } else {
      const bool check = QString::fromLatin1(command.name) == QStringLiteral("CheckAll");
      connect(button, &QPushButton::clicked, this, [this, check] { OnCheckAll(check); });
    }
    if (QString::fromLatin1(command.name) == QStringLiteral("FromNetwork")) fromNetwork_ = button;
  }
  side->addStretch(1);
  QPushButton* add = MakeButton(this, "AddChosen", QString());
  add->setIcon(FieldIconImage(this, kIconCreate));
  QPushButton* remove = MakeButton(this, "RemoveChosen", QString());
  remove->setIcon(FieldIconImage(this, kIconDelete));

  auto* top = new QGridLayout;
  top->addWidget(new QLabel(Utf8("Поле для сортировки:"), this), 0, 0);
  top->addWidget(sortField_, 0, 1);
  top->addWidget(new QLabel(Utf8("Фильтр:"), this), 0, 2);
  top->addWidget(filter_, 0, 3);
  top->addWidget(listNameLabel_, 1, 0);
  top->addWidget(listName_, 1, 1, 1, 3);
  auto* upper = new QHBoxLayout;
  upper->addWidget(candidatesView_, 1);
  upper->addLayout(side);
  QHBoxLayout* middle = ButtonRow({add, remove});
  middle->addStretch(1);
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  QHBoxLayout* buttons = ButtonRow({ok, exit});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(upper, 1);
  layout->addLayout(middle);
  layout->addWidget(chosenView_, 1);
  layout->addLayout(buttons);
  SizeFromTemplate(this, 419, 258);

  connect(add, &QPushButton::clicked, this, &CPreEncryptDlg::OnAddChosen);
  connect(remove, &QPushButton::clicked, this, &CPreEncryptDlg::OnRemoveChosen);
  connect(ok, &QPushButton::clicked, this, &CPreEncryptDlg::accept);
  connect(exit, &QPushButton::clicked, this, &CPreEncryptDlg::reject);
  connect(filter_, &QLineEdit::textChanged, this, [this] { FillCandidates(); });
  connect(sortField_, &QComboBox::currentIndexChanged, this, [this] { FillCandidates(); });
  connect(candidatesView_->header(), &QHeaderView::sectionClicked, this,
          [this] { OnSortHeader(candidatesView_); });
  connect(chosenView_->header(), &QHeaderView::sectionClicked, this,
          [this] { OnSortHeader(chosenView_); });
  connect(candidatesView_, &QTreeWidget::itemDoubleClicked, this, &CPreEncryptDlg::OnShowOwner);
  connect(chosenView_, &QTreeWidget::itemDoubleClicked, this, &CPreEncryptDlg::OnShowOwner);
}

HWND CPreEncryptDlg::Handle() { return WindowHandle(this); }

int CPreEncryptDlg::DoModal() {
  OnInitDialog();
  return RunModal(*this);
}

void CPreEncryptDlg::OnInitDialog() {
  if (!IsSignerPick()) {
    setWindowTitle(Utf8("Добавить получателей"));
  } else {
    setWindowTitle(Utf8(previousName.IsEmpty() ? "Создать список" : "Изменить список"));
  }
  listNameLabel_->setText(IsSignerPick() ? Utf8("Имя списка:") : QString());
  listName_->setText(ToQString(listName));
  listName_->setVisible(IsSignerPick());
  listName_->setEnabled(IsSignerPick());
  chosenView_->setHeaderLabels({Utf8(IsSignerPick() ? "Подписанты" : "Получатели")});
  {
    const QSignalBlocker blocker(sortField_);
    sortField_->clear();
    for (int i = 0; i < CountNamedAttributes(); ++i) sortField_->addItem(ToQString(DnAttributes()[i]));
    sortField_->setCurrentIndex(-1);
  }
  fromNetwork_->setEnabled(useNetworkDirectory == 1);
  FillChosen();
  chosenView_->setFocus();
}

void CPreEncryptDlg::FillList(QTreeWidget* list, const std::vector<CString>& entries) {
  const QString filter = list == candidatesView_ ? filter_->text().toUpper() : QString();
  std::vector<CString> shown;
  for (const CString& entry : entries) {
    if (entry.IsEmpty()) continue;
    if (!filter.isEmpty() && !ToQString(entry).toUpper().contains(filter)) continue;
    shown.push_back(entry);
  }
  const int attribute = sortField_->currentIndex();
  const int direction = sortDirection_[list == candidatesView_ ? 0 : 1];
  std::stable_sort(shown.begin(), shown.end(), [&](const CString& a, const CString& b) {
    return CompareOwnersForSort(a, b, attribute, direction) < 0;
  });
  list->clear();
  for (const CString& entry : shown) {
    auto* item = new QTreeWidgetItem(list);
    item->setText(0, ToQString(entry));
    item->setCheckState(0, Qt::Unchecked);
  }
}

void CPreEncryptDlg::OnSortHeader(QTreeWidget* list) {
  int& direction = sortDirection_[list == candidatesView_ ? 0 : 1];
  direction = direction == 0 ? 1 : 0;
  FillList(list, list == candidatesView_ ? candidates_ : chosen_);
}

void CPreEncryptDlg::AppendCandidates(const std::vector<CString>& owners) {
  for (const CString& owner : owners) {
    if (!Contains(candidates_, owner)) candidates_.push_back(owner);
  }
  FillCandidates();
}

std::vector<CString> CPreEncryptDlg::CheckedTexts(QTreeWidget* list) const {
  std::vector<CString> texts;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->checkState(0) == Qt::Checked) {
      texts.push_back(FromQString(list->topLevelItem(i)->text(0)));
    }
  }
  return texts;
}

void CPreEncryptDlg::OnFromDirectory() {
  CStringArray owners;
  if (FindAllOwners(owners, Handle(), params_, context_) == 0) return;
  AppendCandidates(std::vector<CString>(owners.begin(), owners.end()));
  groupFilePath_.Empty();
}

void CPreEncryptDlg::OnFromGroup() {
  QFileDialog picker(this);
  PrepareFileDialog(picker);
  picker.setNameFilter(Utf8(kGroupFileFilter));
  if (!groupFilePath_.IsEmpty()) picker.selectFile(ToQString(groupFilePath_));
  picker.setObjectName("GroupFileOpen");
  picker.setFileMode(QFileDialog::ExistingFile);
  picker.setDefaultSuffix(QStringLiteral("grx"));
  if (RunModal(picker) != QDialog::Accepted || picker.selectedFiles().isEmpty()) return;
  groupFilePath_ = FromQString(picker.selectedFiles().first());
  std::vector<CString> read;
  if (ReadGroupFile(this, groupFilePath_, read)) AppendCandidates(read);
}

void CPreEncryptDlg::OnFromNetwork() {
  CFilterDlg filter(this);
  if (RunModal(filter) != QDialog::Accepted) return;
  CString name = filter.pattern;
  if (filter.field < CountNamedAttributes()) name = AttributeShortName(filter.field) + L"=" + filter.pattern;
  CStringArray found;
  if (FindOwnersByName(found, Handle(), params_, context_, name) == 0) return;
  std::vector<CString> owners(found.begin(), found.end());
  FilterByAttribute(filter.pattern, filter.field, owners);
  AppendCandidates(owners);
  if (owners.empty()) {
    ProgramMessageBox(this, "По вашему запросу ни одного сертификата не найдено", MB_ICONWARNING);
  }
  groupFilePath_.Empty();
}

void CPreEncryptDlg::OnCheckAll(bool checked) {
  for (int i = 0; i < candidatesView_->topLevelItemCount(); ++i) {
    candidatesView_->topLevelItem(i)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
  }
}

void CPreEncryptDlg::OnDeleteAll() {
  if (candidatesView_->topLevelItemCount() == 0) return;
  if (ProgramMessageBox(this, "Вы уверены, что хотите удалить все элементы списка?",
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  candidatesView_->clear();
  candidates_.clear();
  groupFilePath_.Empty();
}

void CPreEncryptDlg::OnSaveGroup() {
  std::vector<CString> checked;
  for (const CString& text : CheckedTexts(candidatesView_)) {
    if (Contains(candidates_, text)) checked.push_back(text);
  }
  if (checked.empty()) {
    ProgramMessageBox(this, IsSignerPick() ? "Ни одного подписанта не выбрано."
                                           : "Ни одного получателя не выбрано.",
                      MB_ICONWARNING);
    return;
  }
  const QString proposed =
      groupFilePath_.IsEmpty() ? Utf8("Новая группа.grx") : ToQString(groupFilePath_);
  QFileDialog picker(this);
  PrepareFileDialog(picker);
  picker.setNameFilter(Utf8(kGroupFileFilter));
  picker.setObjectName("GroupFileSave");
  picker.setAcceptMode(QFileDialog::AcceptSave);
  picker.setDefaultSuffix(QStringLiteral("grx"));
  picker.selectFile(proposed);
  if (RunModal(picker) != QDialog::Accepted || picker.selectedFiles().isEmpty()) return;
  groupFilePath_ = FromQString(picker.selectedFiles().first());
  WriteGroupFile(this, groupFilePath_, checked);
}

void CPreEncryptDlg::OnAddChosen() {
  for (const CString& text : CheckedTexts(candidatesView_)) {
    for (const CString& candidate : candidates_) {
      if (candidate == text && !Contains(chosen_, candidate)) chosen_.push_back(candidate);
    }
  }
  CString removed;
  for (const SignerListRecord& other : signerLists) {
    if (other.name == previousName) continue;
    for (const CString& signer : other.signers) {
      auto at = std::find(chosen_.begin(), chosen_.end(), signer);
      if (at == chosen_.end()) continue;
      chosen_.erase(at);
      CString line;
      line.Format(WidenFormat("Подписант\r\n\"%s\"\r\nприсутствует в списке\r\n\"%s\"\r\n\r\n"),
                  signer.GetString(), other.name.GetString());
      removed += line;
    }
  }
  if (!removed.IsEmpty()) {
    WarningBox box(this, 0);
    box.text = WidenFormat(
                   "Следующие подписанты присутствуют в других списках и были исключены из "
                   "выборки:\r\n\r\n") +
               removed;
    box.DoModal();
  }
  FillChosen();
}

void CPreEncryptDlg::OnRemoveChosen() {
  for (int i = chosenView_->topLevelItemCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* item = chosenView_->topLevelItem(i);
    if (item->checkState(0) != Qt::Checked) continue;
    const CString text = FromQString(item->text(0));
    chosen_.erase(std::remove(chosen_.begin(), chosen_.end(), text), chosen_.end());
    delete item;
  }
}

void CPreEncryptDlg::OnShowOwner(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  const char* caption = "Владелец";
  if (item->treeWidget() == chosenView_) caption = IsSignerPick() ? "Подписант" : "Получатель";
  ShowMessageBox(this, OwnerBoxText(FromQString(item->text(0))), WidenFormat(caption),
                 MB_ICONINFORMATION);
}

void CPreEncryptDlg::accept() {
  std::vector<CString> owners;
  for (int i = 0; i < chosenView_->topLevelItemCount(); ++i) {
    owners.push_back(FromQString(chosenView_->topLevelItem(i)->text(0)));
  }
  if (IsSignerPick()) {
    listName = FromQString(listName_->text());
    const char* refusal = SignerListNameRefusal(listName, previousName, signerLists);
    if (refusal != nullptr) {
      ProgramMessageBox(this, refusal, MB_ICONWARNING);
      return;
    }
  }
  std::vector<CString> taken;
  for (const CString& owner : owners) {
    std::vector<FoundCertificate> certificates;
    if (FindOwnerCertificates(owner, Handle(), params_, context_, certificates) == 0) return;
    if (!certificates.empty()) {
      taken.push_back(owner);
      continue;
    }
    CString question;
    question.Format(WidenFormat("Не найдено ни одного сертификата для зашифрования для владельца "
                                "%s.\r\nПродолжить проверку других владельцев?"),
                    owner.GetString());
    if (ProgramMessageBox(this, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
      return;
    }
  }
  if (IsSignerPick() && taken.empty()) {
    ProgramMessageBox(this, "Ни одного подписанта не выбрано.", MB_ICONWARNING);
    return;
  }
  result = std::move(taken);
  QDialog::accept();
}
