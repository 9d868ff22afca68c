#include "config/main_dialog.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/qt_text.h"
#include "common/report_text.h"
#include "config/configuration_store.h"
#include "config/dialog_widgets.h"
#include "config/message_boxes.h"
#include "config/settings_dialogs.h"

namespace {

CString Decimal(long long value) {
  CString text;
  text.Format(L"%lld", value);
  return text;
}

CString SignatureForm(int detached) {
  return WidenFormat(detached != 0 ? "Отсоединённая ЭП" : "Присоединённая ЭП");
}

CString ArchiveName(int zipFile) {
  if (zipFile == 1) return WidenFormat("ZIP архивация");
  if (zipFile == 2) return WidenFormat("GZIP архивация");
  return CString();
}

// The name of a cipher setting; empty for a value that names none.
CString EncAlgorithmLabel(int encAlgorithm) {
  const wchar_t* name = EncAlgorithmName(encAlgorithm);
  return name != nullptr ? CString(name) : CString();
}

void AppendPart(CString& text, const CString& part) {
  if (!text.IsEmpty()) text += L"; ";
  text += part;
}

// A mark in a corner of a toolbar picture.
enum class Badge { kNone, kAdd, kCopy, kRemove };

// The style's pictures of a blank page, a linked page and a bin are pale
// grey and white: enabled, they looked like the disabled commands around
// them. A coloured mark in their corner (green plus, blue pages, red cross)
// shows them open at a glance; their disabled look turns it grey and faint.
QPixmap Badged(const QPixmap& picture, Badge badge) {
  if (badge == Badge::kNone) return picture;
  QPixmap marked = picture;
  const QSizeF size = QSizeF(picture.size()) / picture.devicePixelRatio();
  const qreal side = std::min(size.width(), size.height()) * 0.6;
  const QRectF disc(size.width() - side, size.height() - side, side, side);
  const QColor colours[] = {QColor(), QColor(0x2e, 0x7d, 0x32), QColor(0x15, 0x65, 0xc0),
                            QColor(0xc6, 0x28, 0x28)};
  const QColor colour = colours[static_cast<int>(badge)];
  QPainter painter(&marked);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::white, side / 12));
  painter.setBrush(colour);
  painter.drawEllipse(disc.adjusted(side / 24, side / 24, -side / 24, -side / 24));
  const QPointF c = disc.center();
  const qreal arm = side * 0.24;
  painter.setPen(QPen(Qt::white, side / 6, Qt::SolidLine, Qt::RoundCap));
  painter.setBrush(Qt::NoBrush);
  switch (badge) {
    case Badge::kAdd:
      painter.drawLine(QPointF(c.x() - arm, c.y()), QPointF(c.x() + arm, c.y()));
      painter.drawLine(QPointF(c.x(), c.y() - arm), QPointF(c.x(), c.y() + arm));
      break;
    case Badge::kCopy: {
      // Two pages, one over the other.
      painter.setPen(QPen(Qt::white, side / 12));
      const QSizeF page(arm * 1.2, arm * 1.5);
      painter.drawRect(QRectF(QPointF(c.x() - arm * 0.9, c.y() - arm * 0.9), page));
      painter.setBrush(colour);
      painter.drawRect(QRectF(QPointF(c.x() - arm * 0.3, c.y() - arm * 0.6), page));
      break;
    }
    case Badge::kRemove:
      painter.drawLine(QPointF(c.x() - arm, c.y() - arm), QPointF(c.x() + arm, c.y() + arm));
      painter.drawLine(QPointF(c.x() - arm, c.y() + arm), QPointF(c.x() + arm, c.y() - arm));
      break;
    case Badge::kNone:
      break;
  }
  painter.end();
  return marked;
}

// A toolbar picture whose disabled look is plainly fainter than its own.
// Several pictures are grey already, and the style's disabled version of a
// grey picture is nearly the same picture; with no frame around a tool
// button, that left an operator unable to tell which commands are open.
QIcon ToolIcon(const QIcon& picture, Badge badge, QSize size, qreal pixelRatio) {
  const QPixmap own = Badged(picture.pixmap(size, pixelRatio), badge);
  QIcon icon;
  icon.addPixmap(own, QIcon::Normal);
  const QPixmap grey = QIcon(own).pixmap(size, pixelRatio, QIcon::Disabled);
  QPixmap faint(grey.size());
  faint.setDevicePixelRatio(grey.devicePixelRatio());
  faint.fill(Qt::transparent);
  QPainter painter(&faint);
  painter.setOpacity(0.3);
  painter.drawPixmap(0, 0, grey);
  painter.end();
  icon.addPixmap(faint, QIcon::Disabled);
  return icon;
}

// The rule-list columns, right to left as they are inserted.
constexpr const char* kColumnCaptions[9] = {
    "Дополнительно", "Профиль справочника", "Маски",   "Папка ошибок", "Выходная папка",
    "Входная папка", "Правила",             "Описание", ""};

}  // namespace

// ------------------------------------------------------------ data of a rule

CString RuleFurtherSettings(const RuleRecord& rule) {
  CString text;
  const CString& code = rule.operation;
  if (IsOperation(code, Operation::kMove)) {
    for (const CString* part : {&rule.pathOut2, &rule.delExt, &rule.addExt, &rule.folders,
                                &rule.copyFolders}) {
      if (!part->IsEmpty()) AppendPart(text, *part);
    }
    return text;
  }
  if (IsOperation(code, Operation::kResg)) {
    if (!rule.signerLists.empty()) text = Decimal(rule.signerLists.size()) + L"; ";
    return text + rule.resignProfile + L"; " + SignatureForm(rule.inFormatDet) + L"->" +
           SignatureForm(rule.outFormatDet);
  }
  if (const OperationTraits* traits = FindOperation(code); traits != nullptr && traits->checksSigners) {
    if (!rule.signerLists.empty()) text = Decimal(rule.signerLists.size());
  } else if (!rule.recipients.empty()) {
    text = Decimal(rule.recipients.size()) + L"; " + EncAlgorithmLabel(rule.encAlgorithm);
  }
  if (rule.zipFile != 0) {
    if (!rule.recipients.empty() || !rule.signerLists.empty()) text += L"; ";
    text += ArchiveName(rule.zipFile);
  }
  if (IsOperation(code, Operation::kPack)) {
    for (int value : {rule.archCount, rule.archSize, rule.archTimeout}) {
      if (value > 0) AppendPart(text, Decimal(value));
    }
    if (!rule.archName.IsEmpty()) AppendPart(text, rule.archName);
  }
  if (IsOperation(code, Operation::kExec)) {
    AppendPart(text, rule.execName);
    if (rule.execTimeout > 0) text += L"; " + Decimal(rule.execTimeout);
  }
  if (const OperationTraits* traits = FindOperation(code); traits != nullptr && traits->choosesMode) {
    AppendPart(text, WidenFormat(rule.stream != 0 ? "Потоковая" : "Блочная"));
  }
  return text;
}

CString RuleDetailsText(const RuleRecord& rule) {
  const CString end = L"\r\n\r\n";
  const auto labelled = [](const char* label, const CString& value) {
    return WidenFormat(label) + L" " + value;
  };
  CString text;
  if (!rule.resignProfile.IsEmpty()) {
    text += WidenFormat("Переподписание на профиль справочника: ") + rule.resignProfile +
            L"\r\n" + SignatureForm(rule.inFormatDet) + L"->" +
            SignatureForm(rule.outFormatDet) + end;
  }
  if (!rule.recipients.empty()) {
    text += labelled("Алгоритм шифрования:", EncAlgorithmLabel(rule.encAlgorithm)) + end;
  }
  for (size_t i = 0; i < rule.recipients.size(); ++i) {
    text += WidenFormat("Получатель") + L" " + Decimal(i + 1) + L":\r\n" + rule.recipients[i] + end;
  }
  for (const SignerListRecord& list : rule.signerLists) {
    text += WidenFormat("Имя списка") + L": " + list.name;
    for (size_t i = 0; i < list.signers.size(); ++i) {
      text += L"\r\n" + WidenFormat("Подписант") + L" " + Decimal(i + 1) + L":\r\n" +
              list.signers[i];
    }
    text += end;
  }
  if (rule.zipFile != 0) text += ArchiveName(rule.zipFile) + end;
  if (!rule.pathOut2.IsEmpty()) text += WidenFormat("Доп. выходная папка") + L": " + rule.pathOut2 + end;
  const std::pair<const char*, const CString*> texts[] = {
      {"Удалить расширение:", &rule.delExt},
      {"Добавить расширение:", &rule.addExt},
      {"Формат отчетности:", &rule.folders},
      {"Формат отчетности копий:", &rule.copyFolders}};
  for (const auto& [label, value] : texts) {
    if (!value->IsEmpty()) text += labelled(label, *value) + end;
  }
  const std::pair<const char*, int> numbers[] = {{"Количество файлов:", rule.archCount},
                                                 {"Размер архива (КБ.):", rule.archSize},
                                                 {"Таймаут архивации (мин.):", rule.archTimeout}};
  for (const auto& [label, value] : numbers) {
    if (value != 0) text += labelled(label, Decimal(value)) + end;
  }
  if (!rule.archName.IsEmpty()) text += labelled("Формат имён архивов:", rule.archName) + end;
  if (!rule.execName.IsEmpty()) {
    text += labelled("Исполняемый файл:", rule.execName) + end;
    if (rule.execTimeout > 0) {
      text += labelled("Таймаут исполнения (мин.):", Decimal(rule.execTimeout)) + end;
    }
  }
  if (const OperationTraits* traits = FindOperation(rule.operation); traits != nullptr && traits->choosesMode) {
    text += labelled("Тип операции:", WidenFormat(rule.stream != 0 ? "Потоковая" : "Блочная")) + end;
  }
  return text;
}

std::vector<CString> RuleColumnTexts(const RuleRecord& rule, int number) {
  std::vector<CString> texts(9);
  texts[0] = Decimal(number);
  texts[1] = rule.description;
  texts[2] = OperationDisplayName(rule.operation);
  texts[3] = rule.pathIn;
  texts[4] = rule.pathOut == L"0" ? CString() : rule.pathOut;
  texts[5] = rule.pathError;
  texts[6] = rule.masks.size() == 1 ? rule.masks[0] : Decimal(rule.masks.size());
  texts[7] = rule.zcsProfile == L"0" ? CString() : rule.zcsProfile;
  texts[8] = RuleFurtherSettings(rule);
  return texts;
}

std::vector<CString> SuggestedMasks(const ProfileRecord& profile, const BaseSettings& extensions) {
  std::vector<CString> masks;
  for (const CString* extension :
       {&extensions.sigExt, &extensions.dsigExt, &extensions.encExt, &extensions.b64Ext,
        &extensions.hashExt, &extensions.verifyFileExt}) {
    masks.push_back(L"*." + *extension);
  }
  for (const CString& extension : extensions.extExt) masks.push_back(L"*." + extension);
  for (auto rule = profile.rules.rbegin(); rule != profile.rules.rend(); ++rule) {
    for (auto mask = rule->masks.rbegin(); mask != rule->masks.rend(); ++mask) {
      if (std::find(masks.begin(), masks.end(), *mask) == masks.end()) {
        masks.insert(masks.begin(), *mask);
      }
    }
  }
  return masks;
}

// ------------------------------------------------------------------ the dialog

CTrelconDlg::CTrelconDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("CTrelconDlg");
  setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
  setSizeGripEnabled(true);
  BuildControls();
  BuildMenu();
}

CTrelconDlg::~CTrelconDlg() = default;

QToolButton* CTrelconDlg::ToolButton(const char* objectName, const char* toolTip, int icon,
                                      int badge) {
  auto* button = new QToolButton(this);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setToolTip(Utf8(toolTip));
  button->setIconSize(QSize(24, 24));
  button->setIcon(ToolIcon(style()->standardIcon(static_cast<QStyle::StandardPixmap>(icon)),
                           static_cast<Badge>(badge), button->iconSize(),
                           button->devicePixelRatioF()));
  button->setAutoRaise(true);
  return button;
}

void CTrelconDlg::BuildControls() {
  struct Tool {
    const char* name;
    const char* tip;
    QStyle::StandardPixmap icon;
    void (CTrelconDlg::*handler)();
    bool profileDependent;
    Badge badge = Badge::kNone;
  };
  const Tool tools[] = {
      {"SaveButton", "Сохранить", QStyle::SP_DialogSaveButton, &CTrelconDlg::SaveConfiguration, false},
      {"JournalSettingsButton", "Путь журнала", QStyle::SP_DirIcon, &CTrelconDlg::OnJournalSettings, false},
      {"AddRuleButton", "Добавить правило", QStyle::SP_FileIcon, &CTrelconDlg::OnAddRule, true,
       Badge::kAdd},
      {"CopyRuleButton", "Копировать правило", QStyle::SP_FileLinkIcon, &CTrelconDlg::OnCopyRule, true,
       Badge::kCopy},
      {"EditRuleButton", "Редактировать правило", QStyle::SP_FileDialogContentsView, &CTrelconDlg::OnEditRule, true},
      {"DeleteRuleButton", "Удалить правило", QStyle::SP_TrashIcon, &CTrelconDlg::OnDeleteRule, true,
       Badge::kRemove},
      {"MoveRuleFirstButton", "Сделать первым", QStyle::SP_MediaSkipBackward, &CTrelconDlg::OnMoveRuleFirst, true},
      {"MoveRuleUpButton", "Сдвинуть вверх", QStyle::SP_ArrowUp, &CTrelconDlg::OnMoveRuleUp, true},
      {"MoveRuleDownButton", "Сдвинуть вниз", QStyle::SP_ArrowDown, &CTrelconDlg::OnMoveRuleDown, true},
      {"MoveRuleLastButton", "Сделать последним", QStyle::SP_MediaSkipForward, &CTrelconDlg::OnMoveRuleLast, true},
      {"AddProfileButton", "Добавить профиль", QStyle::SP_FileDialogNewFolder, &CTrelconDlg::OnAddProfile, false},
      {"EditProfileButton", "Изменить профиль", QStyle::SP_FileDialogDetailedView, &CTrelconDlg::OnEditProfile, true},
      {"DeleteProfileButton", "Удалить профиль", QStyle::SP_DialogDiscardButton, &CTrelconDlg::OnDeleteProfile, true,
       Badge::kRemove},
      {"ExportRulesButton", "Экспорт правил профиля", QStyle::SP_ArrowForward, &CTrelconDlg::ExportProfileRules, true},
      {"ImportRulesButton", "Импорт правил профиля", QStyle::SP_DialogOpenButton, &CTrelconDlg::ImportProfileRules, true},
  };
  auto* toolbar = new QHBoxLayout;
  for (const Tool& tool : tools) {
    QToolButton* button = ToolButton(tool.name, tool.tip, tool.icon, static_cast<int>(tool.badge));
    connect(button, &QToolButton::clicked, this, tool.handler);
    if (tool.profileDependent) profileControls_.push_back(button);
    toolbar->addWidget(button);
    if (std::string(tool.name) == "JournalSettingsButton" ||
        std::string(tool.name) == "MoveRuleLastButton") {
      toolbar->addSpacing(8);
    }
  }
  toolbar->addStretch(1);
  auto* search = new QVBoxLayout;
  search->addWidget(new QLabel(Utf8("Поиск по полю \"описание\""), this));
  searchEdit_ = KeepOnOneLine(new QLineEdit(this));
  searchEdit_->setObjectName("SearchEdit");
  search->addWidget(searchEdit_);
  toolbar->addLayout(search);
  connect(searchEdit_, &QLineEdit::textChanged, this, &CTrelconDlg::OnSearchChanged);

  profileEdit_ = new QLineEdit(this);
  profileEdit_->setObjectName("ProfileEdit");
  profileEdit_->setReadOnly(true);
  directoryProfilesEdit_ = new QLineEdit(this);
  directoryProfilesEdit_->setObjectName("DirectoryProfilesEdit");
  directoryProfilesEdit_->setReadOnly(true);
  profileControls_.push_back(profileEdit_);
  profileControls_.push_back(directoryProfilesEdit_);

  profileList_ = new QTreeWidget(this);
  profileList_->setObjectName("ProfileList");
  profileList_->setRootIsDecorated(false);
  profileList_->setSelectionMode(QAbstractItemView::SingleSelection);
  profileList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  profileList_->setColumnCount(1);
  profileList_->setHeaderLabels({Utf8("Профили")});
  connect(profileList_, &QTreeWidget::itemClicked, this, [this] { OnOpenProfile(); });
  connect(profileList_, &QTreeWidget::itemDoubleClicked, this, [this] { OnEditProfile(); });

  ruleList_ = new QTreeWidget(this);
  ruleList_->setObjectName("RuleList");
  ruleList_->setRootIsDecorated(false);
  ruleList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ruleList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  ruleList_->setContextMenuPolicy(Qt::CustomContextMenu);
  ruleList_->viewport()->installEventFilter(this);
  profileControls_.push_back(ruleList_);
  connect(ruleList_, &QTreeWidget::itemDoubleClicked, this, [this] { OnEditRule(); });
  connect(ruleList_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QTreeWidgetItem* item = ruleList_->itemAt(at);
    if (item == nullptr) return;
    ShowRuleDetails(ruleList_->indexOfTopLevelItem(item), ruleList_->columnAt(at.x()));
  });
  // A tick is taken over at once, so that a save by menu or Enter, or
  // leaving, keeps it.
  connect(ruleList_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem*, int column) {
    if (!filling_ && column == 0) StoreRuleSwitches();
  });
  auto* deleteKey = new QShortcut(QKeySequence::Delete, ruleList_, nullptr, nullptr,
                                  Qt::WidgetShortcut);
  connect(deleteKey, &QShortcut::activated, this, &CTrelconDlg::OnDeleteRule);

  auto* settingsButton = ToolButton("SettingsButton", "Настройки", QStyle::SP_ComputerIcon);
  settingsButton->setEnabled(false);
  settingsButton->hide();
  auto* openProfileButton = new QPushButton(Utf8("Открыть профиль"), this);
  openProfileButton->setObjectName("OpenProfileButton");
  openProfileButton->setEnabled(false);
  openProfileButton->hide();

  auto* save = new QPushButton(Utf8("Сохранить"), this);
  save->setObjectName("SaveConfigurationButton");
  auto* saveAndExit = new QPushButton(Utf8("Сохранить и выйти"), this);
  saveAndExit->setObjectName("SaveAndExitButton");
  auto* exit = new QPushButton(Utf8("Выйти без сохранения"), this);
  exit->setObjectName("ExitButton");
  // Enter anywhere in the dialog is "Сохранить и выйти", the default command.
  for (QPushButton* button : {save, saveAndExit, exit, openProfileButton}) {
    button->setAutoDefault(false);
  }
  saveAndExit->setDefault(true);
  connect(save, &QPushButton::clicked, this, &CTrelconDlg::SaveConfiguration);
  connect(saveAndExit, &QPushButton::clicked, this, &CTrelconDlg::OnSaveAndExit);
  connect(exit, &QPushButton::clicked, this, &CTrelconDlg::OnExit);

  auto* left = new QVBoxLayout;
  left->addWidget(profileEdit_);
  left->addWidget(profileList_, 1);
  left->addWidget(openProfileButton);
  left->addWidget(settingsButton);
  auto* right = new QVBoxLayout;
  right->addWidget(directoryProfilesEdit_);
  right->addWidget(ruleList_, 1);
  auto* lists = new QHBoxLayout;
  lists->addLayout(left, 1);
  lists->addLayout(right, 4);
  QHBoxLayout* buttons = ButtonRow({save, saveAndExit, exit});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(toolbar);
  layout->addLayout(lists, 1);
  layout->addLayout(buttons);

  // The least size is 11 widths and 10 heights of "Сохранить и выйти" as the
  // dialog template sizes it: 50 x 19 dialog units (a unit is a quarter of
  // the average character width and an eighth of the font height).
  const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int buttonWidth = 50 * fontMetrics().averageCharWidth() / 4;
  const int buttonHeight = 19 * fontMetrics().height() / 8;
  setMinimumSize(11 * buttonWidth + 2 * scrollBar, 10 * buttonHeight + 2 * scrollBar);
  resize(1100, 420);
}

void CTrelconDlg::BuildMenu() {
  struct Item {
    const char* menu;
    const char* objectName;
    const char* text;
    void (CTrelconDlg::*handler)();
    bool profileDependent;
  };
  const Item items[] = {
      {"Файл", "SaveAction", "Сохранить", &CTrelconDlg::SaveConfiguration, false},
      {"Файл", "JournalSettingsAction", "Путь журнала", &CTrelconDlg::OnJournalSettings, false},
      {"Файл", "SettingsAction", "Настройки", &CTrelconDlg::OnSettings, false},
      {"Файл", "ExitAction", "Выход", &CTrelconDlg::OnExit, false},
      {"Файл", "AboutAction", "О программе...", &CTrelconDlg::OnAbout, false},
      {"Профили", "AddProfileAction", "Добавить профиль", &CTrelconDlg::OnAddProfile, false},
      {"Профили", "EditProfileAction", "Изменить профиль", &CTrelconDlg::OnEditProfile, true},
      {"Профили", "DeleteProfileAction", "Удалить профиль", &CTrelconDlg::OnDeleteProfile, true},
      {"Профили", "ImportRulesAction", "Импорт правил профиля", &CTrelconDlg::ImportProfileRules, true},
      {"Профили", "ExportRulesAction", "Экспорт правил профиля", &CTrelconDlg::ExportProfileRules, true},
      {"Правила", "AddRuleAction", "Добавить правило", &CTrelconDlg::OnAddRule, true},
      {"Правила", "CopyRuleAction", "Копировать правило", &CTrelconDlg::OnCopyRule, true},
      {"Правила", "EditRuleAction", "Редактировать правило", &CTrelconDlg::OnEditRule, true},
      {"Правила", "DeleteRuleAction", "Удалить правило", &CTrelconDlg::OnDeleteRule, true},
      {"Правила", "MoveRuleFirstAction", "Сделать первым", &CTrelconDlg::OnMoveRuleFirst, true},
      {"Правила", "MoveRuleUpAction", "Сдвинуть вверх", &CTrelconDlg::OnMoveRuleUp, true},
      {"Правила", "MoveRuleDownAction", "Сдвинуть вниз", &CTrelconDlg::OnMoveRuleDown, true},
      {"Правила", "MoveRuleLastAction", "Сделать последним", &CTrelconDlg::OnMoveRuleLast, true},
  };
  auto* bar = new QMenuBar(this);
  bar->setObjectName("MenuBar");
  std::map<std::string, QMenu*> menus;
  for (const Item& item : items) {
    QMenu*& menu = menus[item.menu];
    if (menu == nullptr) menu = bar->addMenu(Utf8(item.menu));
    // The class library's system menu has no counterpart here: the about box
    // is the last item of "Файл", after a separator.
    if (std::string(item.objectName) == "AboutAction") menu->addSeparator();
    QAction* action = menu->addAction(Utf8(item.text));
    action->setObjectName(QString::fromLatin1(item.objectName));
    connect(action, &QAction::triggered, this, item.handler);
    if (item.profileDependent) profileActions_.push_back(action);
  }
  layout()->setMenuBar(bar);
}

bool CTrelconDlg::OnInitDialog() {
  setWindowTitle(ToQString(ProgramCaption()));
  setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
  profileEdit_->setText(Utf8("Профиль: "));
  directoryProfilesEdit_->setText(Utf8("Профиль справочника: "));
  SetProfileControlsEnabled(false);
  state_.modified = 0;
  LayOutListColumns(false);
  QRect placement;
  if (!LoadConfigurationStore(this, state_, logFileSize, placement)) return false;
  if (placement.isValid()) setGeometry(placement);
  FillProfileList();
  profileList_->setFocus();
  if (profileList_->topLevelItemCount() > 0) {
    profileList_->setCurrentItem(profileList_->topLevelItem(0));
    OnOpenProfile();
  }
  return true;
}

void CTrelconDlg::LayOutListColumns(bool resizeOnly) {
  const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  if (!resizeOnly) {
    state_.ruleColumnNames.RemoveAll();
    QStringList captions;
    for (const char* caption : kColumnCaptions) {
      state_.ruleColumnNames.Add(WidenFormat(caption));
      captions.prepend(Utf8(caption));
    }
    ruleList_->setColumnCount(9);
    ruleList_->setHeaderLabels(captions);
  }
  int width = ruleList_->viewport()->width();
  if (!resizeOnly) width -= scrollBar;
  ruleList_->setColumnWidth(0, 3 * scrollBar);
  for (int column = 1; column < 9; ++column) {
    ruleList_->setColumnWidth(column, std::max(0, (width - 3 * scrollBar) / 8));
  }
}

bool CTrelconDlg::eventFilter(QObject* watched, QEvent* event) {
  // The columns share the rule list's width once the layout has given it.
  if (watched == ruleList_->viewport() && event->type() == QEvent::Resize) LayOutListColumns(true);
  return QDialog::eventFilter(watched, event);
}

void CTrelconDlg::FillProfileList() {
  for (const CString& name : state_.profileNames) {
    if (name.IsEmpty()) continue;
    // The list control's exact search ignores letter case.
    const QString text = ToQString(name);
    if (!profileList_->findItems(text, Qt::MatchFixedString).isEmpty()) continue;
    auto* item = new QTreeWidgetItem(QStringList{text});
    // A name cut by a narrow list is shown whole on hover, as a rule's cells are.
    item->setToolTip(0, text);
    profileList_->addTopLevelItem(item);
  }
  LayOutListColumns(true);
}

void CTrelconDlg::FillRuleList(const std::vector<RuleRecord>& rules) {
  filling_ = true;
  const CString search = FromQString(searchEdit_->text()).MakeUpper();
  for (size_t i = 0; i < rules.size(); ++i) {
    const RuleRecord& rule = rules[i];
    if (rule.operation.IsEmpty()) continue;
    if (!search.IsEmpty()) {
      CString description = rule.description;
      if (description.MakeUpper().Find(search) < 0) continue;
    }
    QStringList texts;
    for (const CString& text : RuleColumnTexts(rule, static_cast<int>(i) + 1)) {
      texts << ToQString(text);
    }
    auto* item = new QTreeWidgetItem(texts);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, rule.isOn != 0 ? Qt::Checked : Qt::Unchecked);
    for (int column = 0; column < 9; ++column) item->setToolTip(column, texts[column]);
    ruleList_->addTopLevelItem(item);
  }
  filling_ = false;
  LayOutListColumns(true);
}

void CTrelconDlg::ShowRuleDetails(int row, int column) {
  if (row < 0 || row >= ruleList_->topLevelItemCount() || column < 0 || column > 8) return;
  const CString caption = state_.ruleColumnNames[8 - column];
  const ProfileRecord* profile = state_.OpenProfile();
  const int number = RuleNumberOfRow(row);
  const bool ruleFound = profile != nullptr && number >= 1 &&
                         number <= static_cast<int>(profile->rules.size());
  if (column == 8) {
    if (!ruleFound) return;
    WarningBox box(this, 0);
    box.text = RuleDetailsText(profile->rules[number - 1]);
    box.caption = caption;
    box.details = 1;
    box.DoModal();
    return;
  }
  CString text;
  if (column == 6) {
    if (!ruleFound) return;
    for (const CString& mask : profile->rules[number - 1].masks) text += L"\r\n" + mask;
  } else {
    text = FromQString(ruleList_->topLevelItem(row)->text(column));
  }
  ShowMessageBox(this, text, caption, MB_ICONINFORMATION);
}

void CTrelconDlg::OnSearchChanged() {
  ruleList_->clear();
  if (const ProfileRecord* profile = state_.OpenProfile()) FillRuleList(profile->rules);
}

void CTrelconDlg::OnJournalSettings() {
  CConflictDlg dialog(this, state_.baseSettings.logPath, logFileSize);
  if (RunModal(dialog) != QDialog::Accepted) return;
  state_.baseSettings.logPath = dialog.folder;
  logFileSize = dialog.size;
  state_.modified = 1;
}

void CTrelconDlg::OnSettings() {
  CConfigPage dialog(this, state_.baseSettings);
  if (RunModal(dialog) != QDialog::Accepted) return;
  state_.baseSettings = dialog.values;
  state_.modified = 1;
}

void CTrelconDlg::OnAbout() {
  CAboutDlg about(this);
  RunModal(about);
}

void CTrelconDlg::LeaveWithResult(int result) {
  ruleList_->clear();
  done(result);
}

void CTrelconDlg::OnSaveAndExit() {
  SaveConfiguration();
  if (state_.modified != 0 &&
      ProgramMessageBox(this, "Некоторые изменения не были сохранены. Выйти без сохранения?",
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  LeaveWithResult(QDialog::Accepted);
}

void CTrelconDlg::OnExit() {
  if (state_.modified != 0 &&
      ProgramMessageBox(this, "Некоторые изменения не были сохранены. Выйти без сохранения?",
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  LeaveWithResult(QDialog::Rejected);
}

void CTrelconDlg::reject() { OnExit(); }

void CTrelconDlg::SaveConfiguration() { SaveConfigurationStore(this, state_, logFileSize); }
