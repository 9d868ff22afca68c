#pragma once
// The monitor's main window: tab "Монитор" with one lamp row per monitored
// journal pair, then per pair its operations tab and its errors tab. It finds
// the pairs in the journal folder, starts the journal poller, turns the
// poller's hand-overs into rows, raises the alarm on new failures and keeps
// the acknowledgments in the per-user state.

#include <QDialog>
#include <memory>
#include <vector>

#include "monitor/alarm_sink.h"
#include "monitor/journal_poller.h"
#include "platform/cstring.h"

class ErrorsDialog;
class LightsDialog;
class MessageBoxes;
class OperationsDialog;
class QPushButton;
class QTabWidget;

// The text of the exit question asked while a pass runs.
extern const char* const kExitWhileBusyQuestion;

class CmirelMonitorDlg : public QDialog {
  Q_OBJECT
 public:
  // The window's boxes and dialogs run through boxes, which must outlive it.
  CmirelMonitorDlg(CString journalFolder, AlarmSink& alarm, MessageBoxes& boxes,
                   QWidget* parent = nullptr);
  ~CmirelMonitorDlg() override;

  // Builds the window: discovery, tabs and pages, stored marks, window
  // placement, and starts the poller. false when the window is to close
  // (the reason has been reported, or the folder holds no journal).
  bool OnInitDialog();

  // The exit protocol (button "Выход", Esc, the close box, menu "Выход").
  void OnExit();
  void OnConfig();
  void OnAbout();

  // Handlers of the poller's hand-overs and of the pages' requests.
  void OnOperationLines(int pairIndex);
  void OnErrorLines(int pairIndex);
  void OnAcknowledge(int pairIndex);
  void OnShowDetails(int pairIndex, int kind);
  void OnShowPage(int pairIndex, int column);
  void OnShowErrorAtTime(int pairIndex);
  // The lamps tab and the window title tell how many profiles are in alarm,
  // so that a red lamp below the visible rows is not missed.
  void OnAlarmCount(int count);

  const std::vector<JournalPair>& pairs() const { return pairs_; }
  QTabWidget* tabs() const { return tabs_; }
  LightsDialog* lights() const { return lights_; }
  OperationsDialog* operationsPage(int pairIndex) const;
  ErrorsDialog* errorsPage(int pairIndex) const;
  // 1 when the operations record handled last for the pair was a failure.
  int lastResult(int pairIndex) const;
  const std::shared_ptr<PollerContext>& context() const { return context_; }
  JournalPoller* poller() const { return poller_.get(); }

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  bool LoadMarks(int pairIndex);
  void RestorePlacement();
  void CloseWindow();

  const CString folder_;
  AlarmSink& alarm_;
  MessageBoxes& boxes_;
  std::vector<JournalPair> pairs_;
  std::vector<int> lastResults_;
  QTabWidget* tabs_;
  QPushButton* exit_;
  LightsDialog* lights_;
  std::vector<OperationsDialog*> operationsPages_;
  std::vector<ErrorsDialog*> errorsPages_;
  std::shared_ptr<PollerContext> context_;
  std::unique_ptr<JournalPoller> poller_;
  bool closed_ = false;
};
