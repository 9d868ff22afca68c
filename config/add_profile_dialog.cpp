#include "config/add_profile_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/config_records.h"
#include "config/dialog_widgets.h"
#include "config/message_boxes.h"

namespace {

constexpr int kMaxPeriodHours = 8760;
constexpr const char* kSettingsTitle = "Настройки профиля справочника: ";
constexpr const char* kTspMissingText = "Пожалуйста, введите данные TSP.";
constexpr const char* kNotANumberText = "Введите целое число.";
// A profile name is a registry key, the part of a service name after its
// last "-" and part of the journal file names.
constexpr const char* kRefusedNameCharacterText =
    "Имя профиля не может содержать символы '-', '\\', '/' и управляющие символы.";

struct SettingControl {
  const char* objectName;  // the value's name
  const char* text;
  std::vector<int> ProfileRecord::*list;
};

// In the order of CAddProfile::Setting.
const SettingControl kSettings[] = {
    {"NotUseLDAP", "Не использовать ЕСК", &ProfileRecord::notUseLdap},
    {"NotAddCert", "Не добавлять сертификат в ЭП", &ProfileRecord::notAddCert},
    {"NotCopyToLocal", "Не добавлять сертификат в локальный справочник", &ProfileRecord::notCopyToLocal},
    {"NotLoadCrl", "Не обновлять САС из точки распространения", &ProfileRecord::notLoadCrl},
    {"AutoUseTSP", "Использовать TSP сервер:", &ProfileRecord::autoUseTsp},
    {"AutoVerifyTSP", "Проверять штамп времени при проверке подписи", &ProfileRecord::autoVerifyTsp},
    {"NoTSPisError", "Отсутствие штампа времени считать ошибкой", &ProfileRecord::noTspIsError},
    {"UseAIA", "Разрешить доступ к точкам AIA и CDP при построении цепочек", &ProfileRecord::useAia},
};

QCheckBox* MakeCheck(QWidget* parent, const char* objectName, const char* text) {
  auto* box = new QCheckBox(Utf8(text), parent);
  box->setObjectName(QString::fromLatin1(objectName));
  return box;
}

QLineEdit* MakeNumberEdit(QWidget* parent, const char* objectName) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(objectName));
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  return edit;
}

// The parallel lists other than the settings' own: names, servers, periods.
void ResizeLists(ProfileRecord& profile, size_t size) {
  profile.serverTsp.resize(size);
  for (const SettingControl& setting : kSettings) (profile.*setting.list).resize(size, 0);
  profile.crlUpdatePeriod.resize(size, 0);
}

// A new directory-profile entry at the end of every list.
void AppendEntry(ProfileRecord& profile, const CString& name) {
  profile.zcsProfiles.push_back(name);
  profile.serverTsp.push_back(L"0");
  for (const SettingControl& setting : kSettings) {
    (profile.*setting.list).push_back(setting.list == &ProfileRecord::notUseLdap ? 1 : 0);
  }
  profile.crlUpdatePeriod.push_back(1);
}

void RemoveEntry(ProfileRecord& profile, size_t position) {
  auto erase = [position](auto& list) {
    if (position < list.size()) list.erase(list.begin() + static_cast<std::ptrdiff_t>(position));
  };
  erase(profile.zcsProfiles);
  erase(profile.serverTsp);
  for (const SettingControl& setting : kSettings) erase(profile.*setting.list);
  erase(profile.crlUpdatePeriod);
}

bool OnlyBlanks(const CString& name) {
  for (int i = 0; i < name.GetLength(); ++i) {
    if (name[i] != L' ') return false;
  }
  return true;
}

bool HasRefusedCharacter(const CString& name) {
  for (int i = 0; i < name.GetLength(); ++i) {
    const wchar_t c = name[i];
    if (c == L'-' || c == L'\\' || c == L'/' || c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The numbers of the rules that use directory profile name with recipients
// or signer lists, joined by ",".
CString RulesUsingCertificatesOf(const ProfileRecord& profile, const CString& name) {
  CString numbers;
  for (size_t i = 0; i < profile.rules.size(); ++i) {
    const RuleRecord& rule = profile.rules[i];
    if (rule.zcsProfile != name || (rule.recipients.empty() && rule.signerLists.empty())) continue;
    CString number;
    number.Format(L"%d", static_cast<int>(i + 1));
    if (!numbers.IsEmpty()) numbers += L",";
    numbers += number;
  }
  return numbers;
}

}  // namespace

bool RunProfileEditor(QWidget* owner, const TrelconState& state, ProfileRecord& profile,
                      std::vector<CString>& removed) {
  CAddProfile dialog(owner, state, profile);
  if (RunModal(dialog) != QDialog::Accepted) return false;
  profile = dialog.profile;
  removed = dialog.removedDirectoryProfiles;
  return true;
}

// ---------------------------------------------------------------- CAddProfile

CAddProfile::CAddProfile(QWidget* owner, const TrelconState& state, ProfileRecord record)
    : QDialog(owner),
      profile(std::move(record)),
      isNewProfile(profile.name.IsEmpty() ? 1 : 0),
      state_(state) {
  originalName_ = profile.name;
  BuildControls();
  OnInitDialog();
}

void CAddProfile::BuildControls() {
  setObjectName("CAddProfile");
  nameEdit_ = KeepOnOneLine(new QLineEdit(this));
  nameEdit_->setObjectName("ProfileName");
  list_ = new QListWidget(this);
  list_->setObjectName("DirectoryProfiles");
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  QPushButton* add = MakeButton(this, "AddDirectoryProfile", QString());
  add->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
  QPushButton* remove = MakeButton(this, "RemoveDirectoryProfile", QString());
  remove->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  settingsBox_ = new QGroupBox(this);
  settingsBox_->setObjectName("DirectoryProfileSettings");
  for (int i = 0; i < kSettingCount; ++i) settings_[i] = MakeCheck(settingsBox_, kSettings[i].objectName, kSettings[i].text);
  tspEdit_ = KeepOnOneLine(new QLineEdit(settingsBox_));
  tspEdit_->setObjectName("ServerTSP");
  periodEdit_ = MakeNumberEdit(settingsBox_, "CrlUpdatePeriod");
  verifyFile_ = MakeCheck(this, "Verify File", "Создавать файл отчета проверки присоединенной подписи");
  verifyXFile_ = MakeCheck(this, "Verify x file",
                           "Создавать файл отчета проверки присоединенной подписи с удалением подписей");
  verifyDetFile_ = MakeCheck(this, "Verify det file", "Создавать файл отчета проверки отсоединенной подписи");
  verifyResignFile_ = MakeCheck(this, "Verify resign file",
                                "Создавать файл отчета проверки подписи при переподписании файла");
  timeoutEdit_ = MakeNumberEdit(this, "Handler timeout");
  renameConfFiles_ =
      MakeCheck(this, "Rename conf files", "Переименовывать файлы в выходном каталоге при конфликте имен");
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));

  auto* boxLayout = new QGridLayout(settingsBox_);
  int row = 0;
  for (Setting setting : {kNotUseLdap, kNotAddCert, kNotCopyToLocal, kNotLoadCrl}) {
    boxLayout->addWidget(settings_[setting], row++, 0, 1, 2);
  }
  boxLayout->addWidget(new QLabel(Utf8("Периодичность (ч.):"), settingsBox_), row, 0);
  boxLayout->addWidget(periodEdit_, row++, 1);
  boxLayout->addWidget(settings_[kAutoUseTsp], row, 0);
  boxLayout->addWidget(tspEdit_, row++, 1);
  for (Setting setting : {kAutoVerifyTsp, kNoTspIsError, kUseAia}) {
    boxLayout->addWidget(settings_[setting], row++, 0, 1, 2);
  }
  auto* listButtons = new QVBoxLayout;
  listButtons->addWidget(add);
  listButtons->addWidget(remove);
  listButtons->addStretch(1);
  auto* listRow = new QHBoxLayout;
  listRow->addWidget(list_, 1);
  listRow->addLayout(listButtons);
  auto* timeoutRow = new QHBoxLayout;
  timeoutRow->addWidget(new QLabel(Utf8("Таймаут обработчика (сек.):"), this));
  timeoutRow->addWidget(timeoutEdit_);
  timeoutRow->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(exit);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Utf8("Введите название профиля"), this));
  layout->addWidget(nameEdit_);
  layout->addLayout(listRow);
  layout->addWidget(settingsBox_);
  for (QCheckBox* box : {verifyFile_, verifyXFile_, verifyDetFile_, verifyResignFile_}) layout->addWidget(box);
  layout->addLayout(timeoutRow);
  layout->addWidget(renameConfFiles_);
  layout->addLayout(buttons);

  // The fields were made in groups, not in their places: Tab follows the
  // screen, top to bottom.
  SetTabOrder({nameEdit_, list_, add, remove, settings_[kNotUseLdap], settings_[kNotAddCert],
               settings_[kNotCopyToLocal], settings_[kNotLoadCrl], periodEdit_,
               settings_[kAutoUseTsp], tspEdit_, settings_[kAutoVerifyTsp], settings_[kNoTspIsError],
               settings_[kUseAia], verifyFile_, verifyXFile_, verifyDetFile_, verifyResignFile_,
               timeoutEdit_, renameConfFiles_, ok, exit});
  SizeFromTemplate(this, 319, 352);

  connect(list_, &QListWidget::currentRowChanged, this, &CAddProfile::OnDirectoryProfileSelect);
  connect(add, &QPushButton::clicked, this, &CAddProfile::OnAddDirectoryProfile);
  connect(remove, &QPushButton::clicked, this, &CAddProfile::OnRemoveDirectoryProfile);
  connect(settings_[kAutoUseTsp], &QCheckBox::clicked, this, &CAddProfile::OnUseTspClicked);
  connect(settings_[kAutoVerifyTsp], &QCheckBox::clicked, this, &CAddProfile::OnVerifyStampClicked);
  connect(periodEdit_, &QLineEdit::textChanged, this, &CAddProfile::OnPeriodChange);
  connect(ok, &QPushButton::clicked, this, &CAddProfile::accept);
  connect(exit, &QPushButton::clicked, this, &CAddProfile::reject);
}

void CAddProfile::OnInitDialog() {
  setWindowTitle(Utf8(isNewProfile ? "Добавить профиль" : "Изменить профиль"));
  // Every list runs parallel to "ZCSProfile"; a stored profile without any
  // directory profile gets the library's first, as a new one does.
  ResizeLists(profile, profile.zcsProfiles.size());
  if (profile.zcsProfiles.empty() && !state_.libraryProfileNames.IsEmpty()) {
    AppendEntry(profile, state_.libraryProfileNames[0]);
  }
  for (const CString& name : profile.zcsProfiles) list_->addItem(ToQString(name));
  nameEdit_->setText(ToQString(profile.name));
  timeoutEdit_->setText(QString::number(profile.handlerTimeout));
  verifyFile_->setChecked(profile.verifyFile != 0);
  verifyXFile_->setChecked(profile.verifyXFile != 0);
  verifyDetFile_->setChecked(profile.verifyDetFile != 0);
  verifyResignFile_->setChecked(profile.verifyResignFile != 0);
  renameConfFiles_->setChecked(profile.renameConfFiles != 0);
  shownPosition_ = 0;
  SelectRow(0);
  ShowPosition(0);
}

std::vector<int>* CAddProfile::IntList(Setting setting) { return &(profile.*kSettings[setting].list); }

bool CAddProfile::ReadNumbers(int& period, int& timeout) {
  bool periodIsNumber = false, timeoutIsNumber = false;
  period = periodEdit_->text().toInt(&periodIsNumber);
  timeout = timeoutEdit_->text().toInt(&timeoutIsNumber);
  // With no directory profile shown the period field is not in use.
  if (profile.zcsProfiles.empty()) periodIsNumber = true;
  if (periodIsNumber && timeoutIsNumber) return true;
  ProgramMessageBox(this, kNotANumberText, MB_ICONWARNING);
  return false;
}

void CAddProfile::SelectRow(int row) {
  const QSignalBlocker blocker(list_);
  if (row >= 0 && row < list_->count()) list_->setCurrentRow(row);
}

bool CAddProfile::TspMissing() {
  if (!settings_[kAutoUseTsp]->isChecked() || !tspEdit_->text().isEmpty()) return false;
  SelectRow(shownPosition_);
  ProgramMessageBox(this, kTspMissingText, MB_ICONWARNING);
  return true;
}

void CAddProfile::StoreShown(int position) {
  const size_t p = static_cast<size_t>(position);
  if (position < 0 || p >= profile.zcsProfiles.size()) return;
  if (tspEdit_->text().isEmpty()) tspEdit_->setText(QStringLiteral("0"));
  profile.serverTsp[p] = FromQString(tspEdit_->text());
  for (int i = 0; i < kSettingCount; ++i) (*IntList(Setting(i)))[p] = settings_[i]->isChecked() ? 1 : 0;
  profile.crlUpdatePeriod[p] = periodEdit_->text().toInt();
}

void CAddProfile::ShowPosition(int position) {
  const size_t q = static_cast<size_t>(position);
  const bool shown = position >= 0 && q < profile.zcsProfiles.size();
  settingsBox_->setEnabled(shown);
  if (!shown) {
    settingsBox_->setTitle(Utf8(kSettingsTitle));
    return;
  }
  settingsBox_->setTitle(Utf8(kSettingsTitle) + ToQString(profile.zcsProfiles[q]));
  for (int i = 0; i < kSettingCount; ++i) settings_[i]->setChecked((*IntList(Setting(i)))[q] != 0);
  settings_[kNoTspIsError]->setEnabled(profile.autoVerifyTsp[q] != 0);
  tspEdit_->setEnabled(profile.autoUseTsp[q] != 0);
  tspEdit_->setText(ToQString(profile.serverTsp[q]));
  periodEdit_->setText(QString::number(profile.crlUpdatePeriod[q]));
}

void CAddProfile::OnDirectoryProfileSelect() {
  if (TspMissing()) return;
  int period = 0, timeout = 0;
  if (!ReadNumbers(period, timeout)) {
    SelectRow(shownPosition_);
    return;
  }
  const int selected = list_->currentRow();
  if (selected == shownPosition_ || selected < 0) return;
  StoreShown(shownPosition_);
  ShowPosition(selected);
  shownPosition_ = selected;
}

void CAddProfile::OnAddDirectoryProfile() {
  if (TspMissing()) return;
  CAddCSProfDlg choice(this, state_.libraryProfileNames);
  if (RunModal(choice) != QDialog::Accepted) return;
  const CString name = choice.chosenName;
  // The list's own search ignores letter case.
  if (name.IsEmpty() || !list_->findItems(ToQString(name), Qt::MatchFixedString).isEmpty()) return;
  int period = 0, timeout = 0;
  if (!ReadNumbers(period, timeout)) return;
  list_->addItem(ToQString(name));
  StoreShown(shownPosition_);
  AppendEntry(profile, name);
  const int added = static_cast<int>(profile.zcsProfiles.size()) - 1;
  SelectRow(added);
  ShowPosition(added);
  shownPosition_ = added;
  std::erase(removedDirectoryProfiles, name);
}

void CAddProfile::OnRemoveDirectoryProfile() {
  if (list_->count() == 1) {
    ProgramMessageBox(this, "Единственный профиль справичника в списке не подлежит удалению.", MB_ICONWARNING);
    return;
  }
  const int position = list_->currentRow();
  if (position < 0 || list_->selectedItems().isEmpty()) {
    ProgramMessageBox(this, "Выберите элемент списка для удаления.", MB_ICONWARNING);
    return;
  }
  const CString name = FromQString(list_->item(position)->text());
  CString question = FormatReportMessage(WidenFormat("Удалить профиль справочника '%s' из списка?"), name);
  const CString numbers = RulesUsingCertificatesOf(profile, name);
  if (!numbers.IsEmpty()) {
    question = FormatReportMessage(WidenFormat("В правиле(ах) '%s' профиля '%s' используются сертификаты "
                                               "профиля справочника '%s'.\r\nДля корректной работы этих "
                                               "правил их необходимо будет изменить.\r\n"),
                                   numbers, originalName_, name) +
               question;
  }
  // The question passes through the program's 8-bit texts.
  if (ProgramMessageBox(this, CString(CStringA(question)), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  {
    const QSignalBlocker blocker(list_);
    delete list_->takeItem(position);
  }
  RemoveEntry(profile, static_cast<size_t>(position));
  SelectRow(0);
  ShowPosition(0);
  shownPosition_ = 0;
  if (std::find(removedDirectoryProfiles.begin(), removedDirectoryProfiles.end(), name) ==
      removedDirectoryProfiles.end()) {
    removedDirectoryProfiles.push_back(name);
  }
}

void CAddProfile::OnUseTspClicked() {
  const bool use = settings_[kAutoUseTsp]->isChecked();
  tspEdit_->setEnabled(use);
  if (!use) tspEdit_->setText(QStringLiteral("0"));
}

void CAddProfile::OnVerifyStampClicked() {
  const bool verify = settings_[kAutoVerifyTsp]->isChecked();
  settings_[kNoTspIsError]->setEnabled(verify);
  if (!verify) settings_[kNoTspIsError]->setChecked(false);
}

void CAddProfile::OnPeriodChange() {
  bool isNumber = false;
  const int period = periodEdit_->text().toInt(&isNumber);
  // Digits beyond an int's range are no number either: the most hours then.
  if ((isNumber && period > kMaxPeriodHours) || (!isNumber && !periodEdit_->text().isEmpty())) {
    periodEdit_->setText(QString::number(kMaxPeriodHours));
  }
}

bool CAddProfile::CheckName(const CString& name) {
  if (name.IsEmpty()) {
    ProgramMessageBox(this, "Пожалуйста, введите имя профиля.", MB_ICONWARNING);
    return false;
  }
  if (name.GetLength() > kMaxProfileNameLength) {
    CString text;
    text.Format(WidenFormat("Имя профиля не может быть длиннее %d символов."), kMaxProfileNameLength);
    ProgramMessageBox(this, text, MB_ICONWARNING);
    return false;
  }
  if (OnlyBlanks(name)) {
    ProgramMessageBox(this, "Имя профиля не может содержать только пробелы.", MB_ICONWARNING);
    return false;
  }
  if (HasRefusedCharacter(name)) {
    ProgramMessageBox(this, kRefusedNameCharacterText, MB_ICONWARNING);
    return false;
  }
  return true;
}

void CAddProfile::accept() {
  int period = 0, timeout = 0;
  if (!ReadNumbers(period, timeout)) return;
  const CString name = FromQString(nameEdit_->text());
  if (!CheckName(name)) return;
  if (timeout == 0) {
    ProgramMessageBox(this, "Пожалуйста, выберите таймаут обработчика.", MB_ICONWARNING);
    return;
  }
  // A name is a registry key and a service name, both blind to letter case:
  // no two profiles may differ only in it. A profile that keeps its name is
  // not compared.
  if (isNewProfile != 0 || name != originalName_) {
    for (const CString& other : state_.profileNames) {
      if (isNewProfile == 0 && other == originalName_) continue;
      if (other.CompareNoCase(name) != 0) continue;
      ProgramMessageBox(this, CString(CStringA(FormatReportMessage(WidenFormat("Профиль '%s' уже существует."), name))),
                        MB_ICONWARNING);
      return;
    }
  }
  if (settings_[kAutoUseTsp]->isChecked() && tspEdit_->text().isEmpty()) {
    ProgramMessageBox(this, kTspMissingText, MB_ICONWARNING);
    return;
  }
  profile.name = name;
  const int k = list_->currentRow() >= 0 ? list_->currentRow() : shownPosition_;
  if (k >= 0 && k < list_->count()) {
    profile.zcsProfiles[static_cast<size_t>(k)] = FromQString(list_->item(k)->text());
    StoreShown(k);
  }
  profile.verifyFile = verifyFile_->isChecked() ? 1 : 0;
  profile.verifyXFile = verifyXFile_->isChecked() ? 1 : 0;
  profile.verifyDetFile = verifyDetFile_->isChecked() ? 1 : 0;
  profile.verifyResignFile = verifyResignFile_->isChecked() ? 1 : 0;
  profile.renameConfFiles = renameConfFiles_->isChecked() ? 1 : 0;
  profile.handlerTimeout = timeout;
  done(QDialog::Accepted);
}

// -------------------------------------------------------------- CAddCSProfDlg

CAddCSProfDlg::CAddCSProfDlg(QWidget* owner, const CStringArray& libraryProfileNames)
    : QDialog(owner) {
  setObjectName("CAddCSProfDlg");
  setWindowTitle(Utf8("Добавить профиль справочника"));
  choice_ = new QComboBox(this);
  choice_->setObjectName("DirectoryProfileChoice");
  for (const CString& name : libraryProfileNames) choice_->addItem(ToQString(name));
  choice_->setCurrentIndex(choice_->count() > 0 ? 0 : -1);
  QPushButton* ok = MakeButton(this, "OK", Utf8("OK"));
  ok->setDefault(true);
  QPushButton* exit = MakeButton(this, "Exit", Utf8("Выход"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(exit);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Utf8("Выберите профиль справочника"), this));
  layout->addWidget(choice_);
  layout->addLayout(buttons);
  SizeFromTemplate(this, 315, 55);
  connect(ok, &QPushButton::clicked, this, &CAddCSProfDlg::accept);
  connect(exit, &QPushButton::clicked, this, &CAddCSProfDlg::reject);
}

void CAddCSProfDlg::accept() {
  chosenName = choice_->currentIndex() >= 0 ? FromQString(choice_->currentText()) : CString();
  done(QDialog::Accepted);
}
