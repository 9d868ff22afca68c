#include "config/add_rule_dialog.h"

#include <algorithm>
#include <climits>
#include <iterator>

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/qt_file_dialog.h"
#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/certificate_pick.h"
#include "config/dialog_widgets.h"
#include "config/mask_dialogs.h"
#include "config/message_boxes.h"
#include "config/pre_encrypt_dialog.h"
#include "config/signer_list_dialog.h"

namespace {

template <typename Widget>
Widget* Named(Widget* widget, const char* objectName) {
  widget->setObjectName(QString::fromLatin1(objectName));
  return widget;
}

void SetEntries(QComboBox* list, const std::vector<CString>& entries, int position) {
  const QSignalBlocker blocker(list);
  list->clear();
  for (const CString& entry : entries) list->addItem(ToQString(entry));
  list->setCurrentIndex(position < list->count() ? position : -1);
}

// What the form shows in its changing places for any operation: the texts
// of the row labels and of the directory profile's label, and the entries
// of the option rows' lists. The editor keeps room for the widest of each,
// so that it keeps one shape whichever operation is chosen.
struct FormTexts {
  std::vector<CString> labels;
  CString directoryProfileLabel;
  std::vector<CString> entries;
};

FormTexts EveryOperationsTexts(const ProfileRecord& profile) {
  TrelconState scratch;
  RuleForm probe(scratch, profile, RuleRecord{});
  probe.Init();
  FormTexts texts;
  texts.directoryProfileLabel = probe.directoryProfileLabel;
  for (int operation = 0; operation < kOperationCount; ++operation) {
    probe.OnOperationChange(operation);
    texts.labels.insert(texts.labels.end(), std::begin(probe.rowLabels), std::end(probe.rowLabels));
    texts.labels.push_back(probe.copiesOrArchiveNameLabel);
    for (const ChoiceRow& row : probe.rows) {
      const std::vector<CString> entries = ChoiceEntries(row.list, probe.DirectoryProfiles());
      texts.entries.insert(texts.entries.end(), entries.begin(), entries.end());
    }
  }
  return texts;
}

// The width label needs for the widest of texts; it keeps its own text.
int WidestLabelWidth(QLabel* label, const std::vector<CString>& texts) {
  const QString own = label->text();
  int widest = 0;
  for (const CString& text : texts) {
    label->setText(ToQString(text));
    widest = std::max(widest, label->sizeHint().width());
  }
  label->setText(own);
  return widest;
}

// The width a list needs to show the widest of entries whole, closed.
int WidestListWidth(QWidget* parent, const std::vector<CString>& entries) {
  QComboBox probe(parent);
  probe.setSizeAdjustPolicy(QComboBox::AdjustToContents);
  for (const CString& entry : entries) probe.addItem(ToQString(entry));
  return probe.sizeHint().width();
}

}  // namespace

CAddRule::CAddRule(QWidget* parent, TrelconState& state, const ProfileRecord& profile,
                   const std::vector<CString>& suggestedMasks, const RuleRecord& rule)
    : QDialog(parent), form_(state, profile, rule) {
  setObjectName("CAddRule");
  // The closed list shows every operation's name whole: SIGN and SGEN, or
  // DCCX and DECR, differ only at the end of their names.
  operation_ = Named(new QComboBox(this), "Operation");
  operation_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  for (int i = 0; i < kOperationCount; ++i) operation_->addItem(ToQString(OperationDisplayNames()[i]));
  directoryProfileLabel_ = Named(new QLabel(this), "DirectoryProfileLabel");
  directoryProfile_ = Named(new QComboBox(this), "DirectoryProfile");
  directoryProfile_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  for (const CString& name : profile.zcsProfiles) directoryProfile_->addItem(ToQString(name));
  // The description is one line of the rule list, the journals and the
  // export file: Tab leaves it, and no line break enters it.
  description_ = KeepOnOneLine(Named(new QLineEdit(this), "Description"));

  // Whatever an operation hides keeps its room, and each changing text
  // the room of the widest it can take: the form has one shape for all
  // operations, and choosing one never squeezes the mask list.
  auto* grid = new QGridLayout;
  // Room to spare goes to the fields, not to the buttons and labels.
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  int line = 0;
  grid->addWidget(operation_, line, 0, 1, 4);
  ++line;
  grid->addWidget(directoryProfileLabel_, line, 0, 1, 2);
  grid->addWidget(directoryProfile_, line, 2, 1, 2);
  ++line;
  grid->addWidget(new QLabel(ToQString(form_.descriptionLabel), this), line, 0);
  grid->addWidget(description_, line, 1, 1, 3);
  ++line;
  struct FolderRow {
    const char* button;
    const char* edit;
    int icon;
    const char* tooltip;
    QLineEdit** target;
  };
  const FolderRow folders[3] = {
      {"InputFolderButton", "PathIn", kIconInput, "Входная папка", &pathIn_},
      {"OutputFolderButton", "PathOut", kIconOutput, "Выходная папка", &pathOut_},
      {"ErrorFolderButton", "PathError", kIconError, "Папка ошибок", &pathError_}};
  QPushButton* folderButtons[3];
  for (int i = 0; i < 3; ++i) {
    folderButtons[i] = MakeButton(this, folders[i].button, QString());
    folderButtons[i]->setIcon(FieldIconImage(this, folders[i].icon));
    folderButtons[i]->setToolTip(Utf8(folders[i].tooltip));
    *folders[i].target = KeepOnOneLine(Named(new QLineEdit(this), folders[i].edit));
    grid->addWidget(folderButtons[i], line, 0);
    grid->addWidget(*folders[i].target, line, 1, 1, 3);
    ++line;
  }
  outputButton_ = folderButtons[1];
  certButton_ = MakeButton(this, "CertificateButton", QString());
  certField_ = KeepOnOneLine(Named(new QLineEdit(this), "CertificateField"));
  grid->addWidget(certButton_, line, 0);
  grid->addWidget(certField_, line, 1, 1, 3);
  ++line;

  const FormTexts texts = EveryOperationsTexts(profile);
  const int listWidth = WidestListWidth(this, texts.entries);
  const char* labelNames[4] = {"Row1Label", "Row2Label", "Row3Label", "Row4Label"};
  const char* listNames[3] = {"Row1List", "Row2List", "Row3List"};
  const char* moveNames[3] = {"DelExt", "AddExt", "Folders"};
  const char* numberNames[3] = {"Number1", "Number2", "Number3"};
  for (int i = 0; i < 4; ++i) {
    rowLabels_[i] = Named(new QLabel(this), labelNames[i]);
    grid->addWidget(rowLabels_[i], line + i, 0, 1, 2);
  }
  // Each option row's field is one of a list, an edit or a number, or none:
  // one place that shows one of them at a time.
  for (int i = 0; i < 3; ++i) {
    rowCells_[i] = new QStackedWidget(this);
    rowCells_[i]->setMinimumWidth(listWidth);
    // The place, not the list, is as wide as the widest entry: the list's
    // own size must not follow the entries it holds now.
    rowLists_[i] = Named(new QComboBox(rowCells_[i]), listNames[i]);
    rowLists_[i]->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    moveEdits_[i] = KeepOnOneLine(Named(new QLineEdit(rowCells_[i]), moveNames[i]));
    limitEdits_[i] = Named(new QSpinBox(rowCells_[i]), numberNames[i]);
    limitEdits_[i]->setRange(0, INT_MAX);
    emptyCells_[i] = new QWidget(rowCells_[i]);
    for (QWidget* field : {emptyCells_[i], static_cast<QWidget*>(rowLists_[i]),
                           static_cast<QWidget*>(moveEdits_[i]), static_cast<QWidget*>(limitEdits_[i])}) {
      rowCells_[i]->addWidget(field);
    }
    rowCells_[i]->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    grid->addWidget(rowCells_[i], line + i, 2, 1, 2);
  }
  // Height to spare goes below the rows, not between them.
  grid->setRowStretch(line + 4, 1);
  copiesOrArchiveNameEdit_ = KeepOnOneLine(Named(new QLineEdit(this), "Row4Text"));
  grid->addWidget(copiesOrArchiveNameEdit_, line + 3, 2, 1, 2);
  const int labelWidth = WidestLabelWidth(rowLabels_[0], texts.labels);
  for (QLabel* label : rowLabels_) label->setMinimumWidth(labelWidth);
  directoryProfileLabel_->setMinimumWidth(
      WidestLabelWidth(directoryProfileLabel_, {texts.directoryProfileLabel}));
  for (QWidget* hidden : {static_cast<QWidget*>(directoryProfile_),
                          static_cast<QWidget*>(copiesOrArchiveNameEdit_)}) {
    QSizePolicy policy = hidden->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    hidden->setSizePolicy(policy);
  }

  maskView_ = Named(new QTreeWidget(this), "MaskList");
  maskView_->setMinimumWidth(24 * maskView_->fontMetrics().averageCharWidth());
  QPushButton* addMask = MakeButton(this, "AddMaskButton", QString());
  QPushButton* editMask = MakeButton(this, "EditMaskButton", QString());
  QPushButton* deleteMasks = MakeButton(this, "DeleteMasksButton", QString());
  const std::pair<QPushButton*, std::pair<int, const char*>> maskButtons[3] = {
      {addMask, {kIconCreate, "Создать"}},
      {editMask, {kIconChange, "Изменить"}},
      {deleteMasks, {kIconDelete, "Удалить"}}};
  auto* maskCommands = new QVBoxLayout;
  for (const auto& [button, look] : maskButtons) {
    button->setIcon(FieldIconImage(this, look.first));
    button->setToolTip(Utf8(look.second));
    maskCommands->addWidget(button);
  }
  maskCommands->addStretch(1);
  auto* maskArea = new QHBoxLayout;
  maskArea->addWidget(maskView_, 1);
  maskArea->addLayout(maskCommands);

  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  QHBoxLayout* buttons = ButtonRow({ok, exit});
  auto* columns = new QHBoxLayout;
  columns->addLayout(grid, 3);
  columns->addLayout(maskArea, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addLayout(buttons);

  masks_ = std::make_unique<MaskList>(this, maskView_, form_.edited.masks, suggestedMasks);
  form_.Init();
  setWindowTitle(Utf8(form_.IsNewRule() ? "Добавить правило" : "Редактировать правило"));
  masks_->SetupMaskList();
  ShowFields();
  masks_->FillMaskList();
  SizeFromTemplate(this, 394, 224);

  connect(operation_, &QComboBox::currentIndexChanged, this, &CAddRule::OnOperationChange);
  connect(directoryProfile_, &QComboBox::currentIndexChanged, this,
          &CAddRule::OnDirectoryProfileChange);
  connect(folderButtons[0], &QPushButton::clicked, this, &CAddRule::OnInputFolder);
  connect(folderButtons[1], &QPushButton::clicked, this, &CAddRule::OnOutputFolder);
  connect(folderButtons[2], &QPushButton::clicked, this, &CAddRule::OnErrorFolder);
  connect(certButton_, &QPushButton::clicked, this, &CAddRule::OnCertificateButton);
  connect(addMask, &QPushButton::clicked, this, [this] { masks_->OnAddMask(); });
  connect(editMask, &QPushButton::clicked, this, [this] { masks_->OnEditMask(); });
  connect(deleteMasks, &QPushButton::clicked, this, [this] { masks_->OnDeleteMasks(); });
  connect(maskView_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { masks_->OnMaskDoubleClick(item); });
  maskView_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(maskView_, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { masks_->OnMaskRightClick(maskView_->itemAt(at)); });
  connect(ok, &QPushButton::clicked, this, &CAddRule::accept);
  connect(exit, &QPushButton::clicked, this, &CAddRule::reject);
}

CAddRule::~CAddRule() = default;

void CAddRule::ReadFields() {
  form_.operation = operation_->currentIndex();
  form_.directoryProfile = directoryProfile_->currentIndex();
  for (int i = 0; i < 3; ++i) {
    form_.rows[i].position = rowLists_[i]->currentIndex();
    form_.limits[i] = limitEdits_[i]->value();
  }
  form_.pathIn = FromQString(pathIn_->text());
  form_.pathOut = FromQString(pathOut_->text());
  form_.pathError = FromQString(pathError_->text());
  form_.certField = FromQString(certField_->text());
  form_.description = FromQString(description_->text());
  form_.delExt = FromQString(moveEdits_[0]->text());
  form_.addExt = FromQString(moveEdits_[1]->text());
  form_.folders = FromQString(moveEdits_[2]->text());
  form_.copiesOrArchiveName = FromQString(copiesOrArchiveNameEdit_->text());
}

void CAddRule::ShowFields() {
  {
    const QSignalBlocker blockOperation(operation_);
    const QSignalBlocker blockProfile(directoryProfile_);
    operation_->setCurrentIndex(form_.operation);
    directoryProfile_->setCurrentIndex(form_.directoryProfile);
  }
  directoryProfileLabel_->setText(ToQString(form_.directoryProfileLabel));
  directoryProfile_->setVisible(form_.directoryProfileShown);
  const CString* labels[4] = {&form_.rowLabels[0], &form_.rowLabels[1], &form_.rowLabels[2],
                              &form_.copiesOrArchiveNameLabel};
  for (int i = 0; i < 4; ++i) rowLabels_[i]->setText(ToQString(*labels[i]));
  for (int i = 0; i < 3; ++i) {
    const ChoiceRow& row = form_.rows[i];
    SetEntries(rowLists_[i], ChoiceEntries(row.list, form_.DirectoryProfiles()), row.position);
    moveEdits_[i]->setEnabled(form_.moveEditsShown);
    limitEdits_[i]->setEnabled(form_.limitsShown[i]);
    limitEdits_[i]->setValue(form_.limits[i]);
    QWidget* shown = emptyCells_[i];
    if (row.shown) {
      shown = rowLists_[i];
    } else if (form_.moveEditsShown) {
      shown = moveEdits_[i];
    } else if (form_.limitsShown[i]) {
      shown = limitEdits_[i];
    }
    rowCells_[i]->setCurrentWidget(shown);
  }
  moveEdits_[0]->setText(ToQString(form_.delExt));
  moveEdits_[1]->setText(ToQString(form_.addExt));
  moveEdits_[2]->setText(ToQString(form_.folders));
  copiesOrArchiveNameEdit_->setText(ToQString(form_.copiesOrArchiveName));
  copiesOrArchiveNameEdit_->setVisible(form_.copiesOrArchiveNameShown);
  copiesOrArchiveNameEdit_->setEnabled(form_.copiesOrArchiveNameShown);
  pathIn_->setText(ToQString(form_.pathIn));
  pathOut_->setText(ToQString(form_.pathOut));
  pathError_->setText(ToQString(form_.pathError));
  pathOut_->setEnabled(form_.outputEnabled);
  outputButton_->setEnabled(form_.outputEnabled);
  certField_->setText(ToQString(form_.certField));
  certField_->setReadOnly(!form_.certEditable);
  certButton_->setEnabled(form_.certEnabled);
  certButton_->setIcon(FieldIconImage(this, form_.certIcon));
  certButton_->setToolTip(ToQString(form_.certTooltip));
  if (description_->text() != ToQString(form_.description)) {
    description_->setText(ToQString(form_.description));
  }
}

void CAddRule::OnOperationChange() {
  const int old = form_.operation;
  ReadFields();
  const int chosen = form_.operation;
  form_.operation = old;
  form_.OnOperationChange(chosen);
  ShowFields();
}

void CAddRule::OnDirectoryProfileChange() {
  ReadFields();
  form_.OnDirectoryProfileChange(form_.directoryProfile, [this](const CString& question) {
    return ProgramMessageBox(this, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
  });
  ShowFields();
}

void CAddRule::PickFolder(QLineEdit* target) {
  QFileDialog picker(this);
  PrepareFileDialog(picker);
  picker.setObjectName("FolderPicker");
  picker.setFileMode(QFileDialog::Directory);
  picker.setOption(QFileDialog::ShowDirsOnly, true);
  if (RunModal(picker) != QDialog::Accepted || picker.selectedFiles().isEmpty()) return;
  ReadFields();
  target->setText(picker.selectedFiles().first());
  ReadFields();
  ShowFields();
}

void CAddRule::OnInputFolder() { PickFolder(pathIn_); }
void CAddRule::OnOutputFolder() { PickFolder(pathOut_); }
void CAddRule::OnErrorFolder() { PickFolder(pathError_); }

void CAddRule::OnCertificateButton() {
  ReadFields();
  const Operation operation = static_cast<Operation>(form_.operation);
  const OperationTraits* traits =
      form_.operation >= 0 && form_.operation < kOperationCount ? &TraitsOf(operation) : nullptr;
  if (traits != nullptr && traits->checksSigners) {
    EditSignerLists();
  } else if (traits != nullptr && operation == Operation::kMove) {
    PickFolder(certField_);
  } else if (traits != nullptr && operation == Operation::kExec) {
    QFileDialog picker(this);
    PrepareFileDialog(picker);
    picker.setNameFilter(Utf8("Все файлы (*)"));
    picker.setObjectName("ExecutablePicker");
    picker.setFileMode(QFileDialog::ExistingFile);
    if (RunModal(picker) != QDialog::Accepted || picker.selectedFiles().isEmpty()) return;
    form_.certField = FromQString(picker.selectedFiles().first());
    ShowFields();
  } else {
    PickRecipients();
  }
}

void CAddRule::PickRecipients() {
  RunCertificatePicker(
      this, form_.Profile(), form_.directoryProfile, PickKind::Recipients,
      [this](const PreEncryptParams& params, LibraryContext context, int useNetworkDirectory) {
        CPreEncryptDlg picker(this, params, context, form_.recipients);
        picker.listMode = 0;
        picker.useNetworkDirectory = useNetworkDirectory;
        if (picker.DoModal() != QDialog::Accepted) return false;
        form_.SetRecipients(picker.result);
        return true;
      });
  ShowFields();
}

void CAddRule::EditSignerLists() {
  SignerList dialog(this, form_.edited, form_.Profile(), form_.directoryProfile);
  if (RunModal(dialog) != QDialog::Accepted) return;
  form_.SetSignerLists(dialog.Lists());
  ShowFields();
}

void CAddRule::accept() {
  ReadFields();
  const RuleFormRefusal refusal = form_.Ok(result_);
  switch (refusal.kind) {
    case RuleFormRefusal::kNone:
      QDialog::accept();
      return;
    case RuleFormRefusal::kMessage:
      ProgramMessageBox(this, refusal.text, MB_ICONWARNING);
      return;
    case RuleFormRefusal::kErrorBox: {
      ErrBox box(this, refusal.text, refusal.icon);
      box.DoModal();
      return;
    }
    case RuleFormRefusal::kFolderReport:
      ReportUnusableFolder(this, refusal.code, refusal.path, refusal.text);
      return;
  }
}
