#include "monitor/monitor_window.h"

#include <QApplication>
#include <algorithm>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include "common/error_box.h"
#include "common/qt_text.h"
#include "monitor/about_dialog.h"
#include "monitor/config_dialog.h"
#include "monitor/icons.h"
#include "monitor/journal_discovery.h"
#include "monitor/journal_pages.h"
#include "monitor/lights_dialog.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_state.h"
#include "monitor/read_operation.h"

const char* const kExitWhileBusyQuestion =
    "АК СКЗИ Квелла Сервис: монитор в данный выполняет операцию над файлом.\r\n"
    "Нажмите 'Да' чтобы подождать до момента окончания последней операции.\r\n"
    "Нажмите 'Нет' чтобы закрыть обработчик немедленно (ВНИМАНИЕ: возможна потеря данных!).\r\n";

namespace {

// How long the exit protocol waits for the poller to end.
constexpr std::uint64_t kPollerEndWaitMs = 10000;

// The marks of a page from two stored time texts: records before the first
// are not shown again, those up to the last count as acknowledged. Both must
// parse, else the page has no marks.
void SetMarks(JournalPage& page, const CString& first, const CString& last) {
  JournalTime firstTime = 0;
  JournalTime lastTime = 0;
  if (!ReadJournalTime(first, firstTime) || !ReadJournalTime(last, lastTime)) return;
  page.firstMark = firstTime - 1;
  page.lastMark = lastTime;
}

}  // namespace

CmirelMonitorDlg::CmirelMonitorDlg(CString journalFolder, AlarmSink& alarm, MessageBoxes& boxes,
                                   QWidget* parent)
    : QDialog(parent),
      folder_(std::move(journalFolder)),
      alarm_(alarm),
      boxes_(boxes),
      tabs_(new QTabWidget(this)),
      exit_(new QPushButton(QStringLiteral("Выход"), this)),
      lights_(new LightsDialog(alarm, this, nullptr)) {
  setObjectName(QStringLiteral("CmirelMonitorDlg"));
  setWindowTitle(QString::fromUtf8(kMonitorCaption));
  setWindowIcon(MakeMonitorIcon(MonitorIcon::Window));
  setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);
  tabs_->setObjectName(QStringLiteral("tab1000"));
  exit_->setObjectName(QStringLiteral("IDCANCEL"));
  exit_->setAutoDefault(false);

  auto* menu = new QMenuBar(this);
  QMenu* file = menu->addMenu(QStringLiteral("Файл"));
  file->addAction(QStringLiteral("Настройки"), this, &CmirelMonitorDlg::OnConfig);
  file->addAction(QStringLiteral("О программе..."), this, &CmirelMonitorDlg::OnAbout);
  file->addSeparator();
  file->addAction(QStringLiteral("Выход"), this, &CmirelMonitorDlg::OnExit);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(exit_);
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(menu);
  layout->addWidget(tabs_, 1);
  layout->addLayout(buttons);
  resize(900, 460);

  connect(exit_, &QPushButton::clicked, this, &CmirelMonitorDlg::OnExit);
  connect(lights_, &LightsDialog::acknowledge, this, &CmirelMonitorDlg::OnAcknowledge);
  connect(lights_, &LightsDialog::showPage, this, &CmirelMonitorDlg::OnShowPage);
  connect(lights_, &LightsDialog::alarmCountChanged, this, &CmirelMonitorDlg::OnAlarmCount);
}

CmirelMonitorDlg::~CmirelMonitorDlg() {
  // The poller may still run (an exit with "Нет"): it is stopped and waited
  // for before anything it could hand over to goes away.
  poller_.reset();
  if (lights_->parent() == nullptr) delete lights_;
}

bool CmirelMonitorDlg::OnInitDialog() {
  std::vector<CString> files;
  if (DWORD error = ListJournalFiles(JournalFolderPattern(folder_), files); error != 0) {
    ReportError(boxes_.ErrorOwner(this), 0, error, "Поиск файлов журнала в каталоге %s", nullptr,
                L"Не обнаружено файлов журнала в заданном каталоге. Запустите "
                L"сервис-обработчик для создания файлов журнала или проверьте указанный "
                L"путь журнала в конфигурационном модуле.",
                folder_, nullptr, nullptr, nullptr);
    return false;
  }
  const std::vector<CString> names = JournalNames(files);
  if (names.empty()) return false;
  pairs_ = JournalPairs(names);
  lastResults_.assign(pairs_.size(), 0);
  context_ = std::make_shared<PollerContext>(folder_, pairs_);
  context_->errorBoxes = boxes_.ErrorOwner(this, &context_->stop);

  tabs_->addTab(lights_, QStringLiteral("Монитор"));
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    const int index = static_cast<int>(i);
    const QString name = ToQString(pairs_[i].name);
    auto* operations = new OperationsDialog(index, nullptr);
    tabs_->addTab(operations, name + QStringLiteral(" - операции"));
    operationsPages_.push_back(operations);
    lights_->AddLampRow(name);
    auto* errors = new ErrorsDialog(index, nullptr);
    tabs_->addTab(errors, name + QStringLiteral(" - ошибки"));
    errorsPages_.push_back(errors);
    connect(operations, &JournalPage::showDetails, this, &CmirelMonitorDlg::OnShowDetails);
    connect(errors, &JournalPage::showDetails, this, &CmirelMonitorDlg::OnShowDetails);
    connect(operations, &OperationsDialog::showErrorAtTime, this,
            &CmirelMonitorDlg::OnShowErrorAtTime);
    if (!LoadMarks(index)) return false;
  }

  RegistryKey state;
  if (LSTATUS error = OpenMonitorStateKey(state); error != ERROR_SUCCESS) {
    ReportStateKeyFailure(boxes_.ErrorOwner(this), 0, error, kMonitorStateKeyPath);
    return false;
  }
  state.Close();
  RestorePlacement();
  const QSize button = exit_->sizeHint();
  const int scroll = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  setMinimumSize(button.width() * 11 + 2 * scroll, button.height() * 19 + 2 * scroll);

  connect(&context_->handOvers, &PollerSignals::OperationLines, this,
          &CmirelMonitorDlg::OnOperationLines, Qt::QueuedConnection);
  connect(&context_->handOvers, &PollerSignals::ErrorLines, this, &CmirelMonitorDlg::OnErrorLines,
          Qt::QueuedConnection);
  poller_ = std::make_unique<JournalPoller>(context_);
  poller_->Start();
  return true;
}

bool CmirelMonitorDlg::LoadMarks(int pairIndex) {
  const JournalPair& pair = pairs_[static_cast<std::size_t>(pairIndex)];
  StoredMarks marks;
  if (LSTATUS error = LoadStoredMarks(pair.name, marks, boxes_.ErrorOwner(this));
      error != ERROR_SUCCESS) {
    ReportStateKeyFailure(boxes_.ErrorOwner(this), 0, error,
                          CString(kMonitorStateKeyPath) + L"\\" + pair.name);
    return false;
  }
  SetMarks(*operationsPage(pairIndex), marks.firstOperation, marks.lastOperation);
  SetMarks(*errorsPage(pairIndex), marks.firstError, marks.lastError);
  return true;
}

void CmirelMonitorDlg::RestorePlacement() {
  WindowRectangle rectangle;
  if (LoadWindowRectangle(rectangle, boxes_.Unowned()) != ERROR_SUCCESS) return;
  if (rectangle.top == 0 || rectangle.left == 0) return;
  setGeometry(rectangle.left, rectangle.top, rectangle.right - rectangle.left,
              rectangle.bottom - rectangle.top);
}

OperationsDialog* CmirelMonitorDlg::operationsPage(int pairIndex) const {
  return operationsPages_.at(static_cast<std::size_t>(pairIndex));
}

ErrorsDialog* CmirelMonitorDlg::errorsPage(int pairIndex) const {
  return errorsPages_.at(static_cast<std::size_t>(pairIndex));
}

int CmirelMonitorDlg::lastResult(int pairIndex) const {
  return lastResults_.at(static_cast<std::size_t>(pairIndex));
}

namespace {

// Whether record i of a hand-over is shown, and how: -1 left out (shown
// before the last acknowledgment's first row), 1 acknowledged, 0 new. Only
// the first read of the files found at start is held against the stored
// marks; whatever was read later is new, whatever its time.
std::vector<int> ShownAs(const HandOver& handOver, JournalPage& page) {
  std::vector<int> shown(handOver.records.times.size(), 0);
  if (!handOver.fromStartFiles) return shown;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const JournalTime time = handOver.records.times[i];
    if (page.firstMark != 0 && time <= page.firstMark) {
      shown[i] = -1;
    } else if (page.lastMark != 0 && time <= page.lastMark) {
      shown[i] = 1;
      ++page.acknowledgedCount;
    }
  }
  return shown;
}

// Puts the first record of a hand-over in the place of the page's open row
// when that row is still the last; returns true when it did. The record
// then counts as shown already.
bool ReplaceOpenRow(HandOver& handOver, JournalPage& page, std::vector<int>& shown,
                    int image) {
  const bool replace = handOver.replacesOpen && page.openRow >= 0 &&
                       page.openRow == page.RowCount() - 1 && !shown.empty() && shown[0] >= 0;
  if (!replace) return false;
  handOver.records.Unpack();
  page.ReplaceLastRow(handOver.records, image);
  shown[0] = -1;
  return true;
}

// The open row after a hand-over's rows were appended.
void NoteOpenRow(const HandOver& handOver, JournalPage& page, const std::vector<int>& shown,
                 bool replaced) {
  const bool anyAppended = std::any_of(shown.begin(), shown.end(), [](int s) { return s >= 0; });
  if (handOver.lastIsOpen && !shown.empty() && (shown.back() >= 0 || (replaced && shown.size() == 1))) {
    page.openRow = page.RowCount() - 1;
  } else if (anyAppended) {
    page.openRow = -1;
  }
}

}  // namespace

void CmirelMonitorDlg::OnOperationLines(int) {
  HandOver handOver = context_->TakeHandOver();
  const int index = handOver.pairIndex;
  if (static_cast<std::size_t>(index) < pairs_.size() && !handOver.records.empty()) {
    OperationsDialog& page = *operationsPage(index);
    const RecordBatch& records = handOver.records;
    std::vector<int> shown = ShownAs(handOver, page);
    int alarms = 0;
    // A record that completes the open row raises the alarm only when the
    // row did not already.
    const bool wasNewFailure =
        page.openRow >= 0 && page.openRow < page.RowCount() &&
        page.rows()->Image(page.openRow) == kNewFailureImage;
    const bool firstAcknowledged = !shown.empty() && shown[0] == 1;
    const bool replaced = ReplaceOpenRow(
        handOver, page, shown,
        OperationsDialog::ImageOf(records.successes.empty() || records.successes[0] != 0,
                                  firstAcknowledged));
    for (std::size_t i = 0; i < shown.size(); ++i) {
      const bool failure = records.successes[i] == 0;
      if (replaced && i == 0) {
        lastResults_[static_cast<std::size_t>(index)] = failure ? 1 : 0;
        if (failure && !firstAcknowledged && !wasNewFailure) ++alarms;
        continue;
      }
      if (shown[i] < 0) continue;
      lastResults_[static_cast<std::size_t>(index)] = failure ? 1 : 0;
      if (failure && shown[i] == 0) ++alarms;
    }
    const std::vector<int> appended = shown;
    page.AppendRecords(std::move(handOver.records), shown);
    NoteOpenRow(handOver, page, appended, replaced);
    for (int i = 0; i < alarms; ++i) lights_->OnRaiseAlarm(index);
  }
  context_->FinishHandOver();
}

void CmirelMonitorDlg::OnErrorLines(int) {
  HandOver handOver = context_->TakeHandOver();
  const int index = handOver.pairIndex;
  if (static_cast<std::size_t>(index) < pairs_.size() && !handOver.records.empty()) {
    ErrorsDialog& page = *errorsPage(index);
    std::vector<int> shown = ShownAs(handOver, page);
    const bool replaced = ReplaceOpenRow(
        handOver, page, shown, shown[0] == 1 ? kAcknowledgedErrorImage : kNewErrorImage);
    const std::vector<int> appended = shown;
    page.AppendRecords(std::move(handOver.records), shown);
    NoteOpenRow(handOver, page, appended, replaced);
  }
  context_->FinishHandOver();
}

void CmirelMonitorDlg::OnAcknowledge(int pairIndex) {
  if (static_cast<std::size_t>(pairIndex) >= pairs_.size()) return;
  QString firstOperation, lastOperation, firstError, lastError;
  operationsPage(pairIndex)->Acknowledge(firstOperation, lastOperation);
  errorsPage(pairIndex)->Acknowledge(firstError, lastError);
  const StoredMarks marks{FromQString(firstOperation), FromQString(lastOperation),
                          FromQString(firstError), FromQString(lastError)};
  StoreMarks(pairs_[static_cast<std::size_t>(pairIndex)].name, marks, boxes_.ErrorOwner(this));
}

void CmirelMonitorDlg::OnShowDetails(int pairIndex, int kind) {
  ReadOperation details(this, ToQString(pairs_.at(static_cast<std::size_t>(pairIndex)).name), kind,
                        operationsPage(pairIndex), errorsPage(pairIndex));
  RunModal(boxes_, details);
}

void CmirelMonitorDlg::OnShowPage(int pairIndex, int column) {
  tabs_->setCurrentIndex(column + 2 * pairIndex + 1);
  tabs_->currentWidget()->setFocus();
}

void CmirelMonitorDlg::OnShowErrorAtTime(int pairIndex) {
  ErrorsDialog& errors = *errorsPage(pairIndex);
  const int row = errors.FindRowAtTime(operationsPage(pairIndex)->jumpTime);
  if (row < 0) return;
  tabs_->setCurrentIndex(2 * pairIndex + 2);
  errors.SelectRow(row);
  errors.list()->setFocus();
}

void CmirelMonitorDlg::OnAlarmCount(int count) {
  const QString caption = QString::fromUtf8(kMonitorCaption);
  const QString lamps = QStringLiteral("Монитор");
  const int tab = tabs_->indexOf(lights_);
  if (count <= 0) {
    setWindowTitle(caption);
    if (tab >= 0) tabs_->setTabText(tab, lamps);
    return;
  }
  const QString alarm = QStringLiteral("тревога: %1").arg(count);
  setWindowTitle(caption + QStringLiteral(" - ") + alarm);
  if (tab >= 0) tabs_->setTabText(tab, lamps + QStringLiteral(" (") + alarm + QStringLiteral(")"));
}

void CmirelMonitorDlg::OnConfig() {
  Config settings(this, boxes_);
  if (settings.OnInitDialog()) RunModal(boxes_, settings);
}

void CmirelMonitorDlg::OnAbout() {
  CAboutDlg about(this);
  RunModal(boxes_, about);
}

void CmirelMonitorDlg::OnExit() {
  if (context_ == nullptr || poller_ == nullptr) {
    CloseWindow();
    return;
  }
  const bool passRunning = context_->idle.load() == 0;
  if (passRunning) {
    const QMessageBox::StandardButton answer =
        AskQuestion(boxes_, this, QString::fromUtf8(kExitWhileBusyQuestion),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (answer == QMessageBox::Cancel) return;
    context_->RequestStop();
    if (answer == QMessageBox::No) {
      CloseWindow();
      return;
    }
  } else {
    context_->RequestStop();
  }
  if (!poller_->WaitForEnd(kPollerEndWaitMs)) {
    ReportError(boxes_.ErrorOwner(this), kErrorBoxSystemModal, 0,
                "Время ожидания закрытия обработчика истекло",
                L"Время ожидания закрытия обработчика истекло", nullptr, nullptr, nullptr,
                nullptr, nullptr);
    if (passRunning) return;
  }
  CloseWindow();
}

void CmirelMonitorDlg::CloseWindow() {
  if (closed_) return;
  closed_ = true;
  const QRect normal = isVisible() ? normalGeometry() : geometry();
  StoreWindowRectangle(WindowRectangle{normal.left(), normal.top(), normal.right() + 1,
                                       normal.bottom() + 1},
                       boxes_.ErrorOwner(this));
  done(QDialog::Rejected);
}

void CmirelMonitorDlg::reject() { OnExit(); }

void CmirelMonitorDlg::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  event->ignore();
  OnExit();
}
